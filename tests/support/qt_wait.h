// Turning the Qt event loop while a test waits for the program or the
// display server to catch up.
#pragma once

#include "wait_slack.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>
#include <string_view>

namespace testing_support {

// Processes events for `ms` milliseconds (at least once). Only for a window
// in which something must NOT happen: a test that expects an effect waits
// for it (EXPECT_SOON, wait_until), never for a fixed time.
inline void pump_for(int ms = 0)
{
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (ms > 0)
            QThread::msleep(2);
    } while (t.elapsed() < ms);
}

// Processes events until `done`, or until the deadline: `ms` stretched by
// wait_slack(), since a deadline only bounds a failure and a loaded machine
// must not turn a slow pass into one. Returns done().
inline bool wait_until(const std::function<bool()>& done, int ms = 5000)
{
    const qint64 deadline = qint64(ms) * wait_slack();
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return done();
}

// wait_until for the assertion macros below: the failure names what was
// awaited and how long the test waited for it.
inline ::testing::AssertionResult soon(const std::function<bool()>& done, std::string_view what, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    if (wait_until(done, ms))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "waited " << t.elapsed() << " ms for: " << what;
}

// Runs `fn` from the event loop, as the program's own handlers run, and
// returns once it ran: objects it hands to deleteLater are then deleted by
// the loop like in the program.
inline void from_event_loop(const std::function<void()>& fn)
{
    bool ran = false;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { fn(); ran = true; }, Qt::QueuedConnection);
    wait_until([&] { return ran; }, 60000);
}

} // namespace testing_support

// Turn the event loop until the condition holds; fail, naming it, at the
// (stretched) deadline.
#define EXPECT_SOON(...) EXPECT_TRUE(::testing_support::soon([&] { return bool(__VA_ARGS__); }, #__VA_ARGS__))
#define ASSERT_SOON(...) ASSERT_TRUE(::testing_support::soon([&] { return bool(__VA_ARGS__); }, #__VA_ARGS__))
