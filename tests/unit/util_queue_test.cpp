#include "qt_wait.h"
#include "test_util.h"
#include "base/util.h"
#include "base/util_queue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cmath>
#include <limits>
#include <mutex>

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

} // namespace

TEST(Queue, OnMainNeverRunsInlineAndKeepsOrder)
{
    std::vector<int> order;
    util::on_main([&] { order.push_back(1); });
    util::on_main([&] { order.push_back(2); });
    util::after(0, [&] { order.push_back(3); });
    EXPECT_TRUE(order.empty()) << "a queued job ran inline";
    ASSERT_TRUE(wait_until([&] { return order.size() == 3; }));
    EXPECT_EQ(order[0], 1);
    EXPECT_EQ(order[1], 2);
    EXPECT_EQ(order[2], 3);
}

TEST(Queue, BackgroundWorkComesBackOnTheMainThread)
{
    std::atomic<bool> ran_off_main { false };
    std::atomic<bool> back_on_main { false };
    util::in_background([&] {
        ran_off_main = !util::is_main_thread();
        util::on_main([&] { back_on_main = util::is_main_thread(); });
    });
    ASSERT_TRUE(wait_until([&] { return back_on_main.load(); }));
    EXPECT_TRUE(ran_off_main);

    std::atomic<bool> utility_ran { false };
    std::atomic<bool> timer_from_thread { false };
    util::in_utility([&] {
        utility_ran = true;
        util::after(0.01, [&] { timer_from_thread = util::is_main_thread(); });
    });
    ASSERT_TRUE(wait_until([&] { return timer_from_thread.load(); }));
    EXPECT_TRUE(utility_ran);
}

// Claimed work runs exactly once: on the pool when a worker is free, on the
// taker's thread when every worker is busy (the taker never waits behind them).
TEST(Queue, ClaimableWorkRunsOnceOnThePoolOrOnTheTakerWhenThePoolIsBusy)
{
    std::atomic<int> runs { 0 };
    std::atomic<bool> off_main { false };
    util::Claimable<int> free_pool([&] {
        ++runs;
        off_main = !util::is_main_thread();
        return 7;
    });
    ASSERT_TRUE(wait_until([&] { return runs.load() == 1; }));
    EXPECT_EQ(free_pool.take(), 7);
    EXPECT_TRUE(off_main);
    EXPECT_FALSE(free_pool.valid());

    // Every worker of the pool held until the work was taken.
    std::atomic<bool> release { false };
    std::atomic<int> held { 0 };
    const int workers = QThreadPool::globalInstance()->maxThreadCount();
    for (int i = 0; i < workers; ++i)
        util::in_background([&] {
            ++held;
            while (!release)
                QThread::msleep(1);
        });
    ASSERT_TRUE(wait_until([&] { return held.load() == workers; }));
    std::atomic<bool> on_main { false };
    util::Claimable<int> busy_pool([&] {
        ++runs;
        on_main = util::is_main_thread();
        return 8;
    });
    EXPECT_EQ(busy_pool.take(), 8);
    EXPECT_TRUE(on_main) << "the taker waited for a busy pool";
    release = true;
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(runs.load(), 2) << "claimed work ran twice";
}

TEST(Queue, AfterWaitsAboutTheDelay)
{
    QElapsedTimer t;
    t.start();
    bool ran = false;
    qint64 at = 0;
    util::after(0.15, [&] {
        ran = true;
        at = t.elapsed();
    });
    ASSERT_TRUE(wait_until([&] { return ran; }));
    EXPECT_GE(at, 140);
    EXPECT_LT(at, 2000);

    // Long delays are never early either (a coarse timer fires up to 5 % before).
    ran = false;
    t.restart();
    util::after(2.5, [&] {
        ran = true;
        at = t.elapsed();
    });
    ASSERT_TRUE(wait_until([&] { return ran; }, 10000));
    EXPECT_GE(at, 2500);
}

TEST(Queue, DelaysSaturate)
{
    EXPECT_EQ(util::timer_slice(0).ms, 0);
    EXPECT_EQ(util::timer_slice(-5).ms, 0);
    EXPECT_EQ(util::timer_slice(std::nan("")).ms, 0);
    EXPECT_EQ(util::timer_slice(1.2).ms, 1200);
    EXPECT_DOUBLE_EQ(util::timer_slice(1.2).remainder_s, 0);
    const auto huge = util::timer_slice(1e12);
    EXPECT_EQ(huge.ms, INT_MAX);
    EXPECT_NEAR(huge.remainder_s, 1e12 - INT_MAX / 1000.0, 1e-3);
    EXPECT_LT(util::timer_slice(std::numeric_limits<double>::infinity()).ms, 0);
    // Scheduling them must not fire now, nor crash.
    bool fired = false;
    util::after(1e12, [&] { fired = true; });
    util::after(std::numeric_limits<double>::infinity(), [&] { fired = true; });
    wait_until([] { return false; }, 100);
    EXPECT_FALSE(fired);
}

TEST(Colour, RgbaIsSrgb)
{
    const QColor c = util::rgba(0.11, 0.11, 0.12, 0.92);
    EXPECT_EQ(c.spec(), QColor::Rgb);
    EXPECT_NEAR(c.redF(), 0.11, 1e-3);
    EXPECT_NEAR(c.blueF(), 0.12, 1e-3);
    EXPECT_NEAR(c.alphaF(), 0.92, 1e-3);
}
