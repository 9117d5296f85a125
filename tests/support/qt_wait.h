// Turning the Qt event loop while a test waits for the program or the
// display server to catch up.
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace testing_support {

// Processes events for `ms` milliseconds (at least once).
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

// Processes events until `done` or `ms` milliseconds; returns done().
inline bool wait_until(const std::function<bool()>& done, int ms = 5000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return done();
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
