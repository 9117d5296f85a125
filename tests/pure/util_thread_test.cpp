#include "wait_slack.h"
#include "base/util_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Polls `done` until it holds or a generous deadline passes (a loaded
// machine may not run the thread under test for a while).
template <class F>
bool wait_for(F done)
{
    const auto deadline = std::chrono::steady_clock::now() + 20s * testing_support::wait_slack();
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

class Gate {
public:
    void wait()
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [&] { return m_open; });
    }
    void open()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
};

// Counts how many of the objects it hands out were let go.
struct Drops {
    std::atomic<int> count { 0 };
    std::shared_ptr<int> token()
    {
        return std::shared_ptr<int>(new int(0), [this](int* p) {
            delete p;
            ++count;
        });
    }
};

class Threads : public testing::Test {
protected:
    void TearDown() override { util::refuse_threads_for_tests(false); }
};

TEST_F(Threads, AWorkerRunsItsJobsInOrderOnItsNamedThreadAndFinishLetsTheQueueThrough)
{
    Gate gate;
    std::mutex lock;
    std::vector<int> order;
    std::vector<std::string> names;
    util::Worker worker("vistrope-test", util::Worker::Refused::Fail);
    ASSERT_TRUE(worker.started());
    ASSERT_TRUE(worker.post([&] { gate.wait(); }));
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(worker.post([&, i] {
            std::lock_guard l(lock);
            order.push_back(i);
            names.push_back(util::thread_name());
            // A job may queue more work behind the rest.
            if (i == 0) {
                EXPECT_TRUE(worker.post([&] {
                    std::lock_guard l2(lock);
                    order.push_back(50);
                }));
            }
        }));
    gate.open();
    worker.wait_idle();
    {
        std::lock_guard l(lock);
        ASSERT_EQ(order.size(), 51u) << "wait_idle returned before every posted job ran";
        for (int i = 0; i <= 50; ++i)
            EXPECT_EQ(order[i], i);
        for (const auto& n : names)
            EXPECT_EQ(n, "vistrope-test");
    }

    // finish runs what is queued, then takes nothing more.
    Gate second;
    ASSERT_TRUE(worker.post([&] { second.wait(); }));
    std::atomic<int> late { 0 };
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(worker.post([&] { ++late; }));
    std::thread finisher([&] { worker.finish(); });
    // The finisher closes the queue before it joins: from then on a post is
    // refused and its job let go uncalled; what was taken before still runs.
    Drops drops;
    std::atomic<int> accepted { 0 };
    std::atomic<int> probed { 0 };
    ASSERT_TRUE(wait_for([&] {
        if (!worker.post([&, t = drops.token()] { ++probed; }))
            return true;
        ++accepted;
        return false;
    })) << "finish never closed the queue";
    second.open();
    finisher.join();
    EXPECT_EQ(late.load(), 5);
    EXPECT_EQ(probed.load(), accepted.load());
    EXPECT_EQ(drops.count.load(), accepted.load() + 1);
    worker.finish(); // a second finish does nothing
}

TEST_F(Threads, DestroyingAWorkerDropsQueuedJobsBeforeWaitingForTheRunningOne)
{
    Gate gate;
    std::atomic<bool> entered { false };
    std::atomic<int> ran { 0 };
    Drops drops;
    auto worker = std::make_unique<util::Worker>("vistrope-test", util::Worker::Refused::Fail);
    ASSERT_TRUE(worker->post([&] {
        entered = true;
        gate.wait();
        ++ran;
    }));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(worker->post([&, t = drops.token()] { ++ran; }));
    ASSERT_TRUE(wait_for([&] { return entered.load(); })) << "the first job never began";
    // The gate opens only once the queued jobs were let go: a destructor
    // that waited for them would never return.
    std::thread opener([&] {
        EXPECT_TRUE(wait_for([&] { return drops.count.load() == 3; })) << "the queued jobs were not dropped";
        gate.open();
    });
    worker.reset();
    opener.join();
    EXPECT_EQ(ran.load(), 1);
}

TEST_F(Threads, ARefusedThreadIsNeverWaitedOnAndItsWorkRunsInlineOrFails)
{
    util::refuse_threads_for_tests(true);
    const auto caller = std::this_thread::get_id();

    // One-body threads: empty, the body dropped uncalled.
    Drops drops;
    util::Thread t = util::Thread::start("vistrope-test", [t = drops.token()] { ADD_FAILURE() << "refused body ran"; });
    EXPECT_FALSE(t.started());
    t.join(); // nothing to wait for
    EXPECT_FALSE(util::start_detached("vistrope-test", [t = drops.token()] { ADD_FAILURE() << "refused body ran"; }));
    EXPECT_EQ(drops.count.load(), 2);

    // A worker that may run inline does each job at once on the caller,
    // a job it posts included.
    {
        util::Worker inline_worker("vistrope-test", util::Worker::Refused::RunInline);
        EXPECT_FALSE(inline_worker.started());
        std::vector<int> order;
        EXPECT_TRUE(inline_worker.post([&] {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            order.push_back(1);
            EXPECT_TRUE(inline_worker.post([&] { order.push_back(2); }));
            order.push_back(3);
        }));
        EXPECT_EQ(order, (std::vector<int> { 1, 2, 3 }));
        inline_worker.wait_idle();
        inline_worker.finish();
        EXPECT_FALSE(inline_worker.post([] { ADD_FAILURE() << "ran after finish"; }));
    }

    // A worker that fails takes nothing, and ends at once.
    {
        util::Worker failing("vistrope-test", util::Worker::Refused::Fail);
        EXPECT_FALSE(failing.started());
        EXPECT_FALSE(failing.post([t = drops.token()] { ADD_FAILURE() << "refused job ran"; }));
        EXPECT_EQ(drops.count.load(), 3);
        failing.wait_idle();
    }

    // Once threads are to be had again, the same calls start them.
    util::refuse_threads_for_tests(false);
    std::atomic<bool> ran { false };
    util::Thread again = util::Thread::start("vistrope-test", [&] { ran = true; });
    EXPECT_TRUE(again.started());
    again.join();
    EXPECT_TRUE(ran.load());
}

TEST_F(Threads, NamesAreCutToWhatTheKernelKeepsAndPassToThreadsStartedUnderThem)
{
    std::string seen;
    util::Thread::start("vistrope-a-very-long-name", [&] { seen = util::thread_name(); }).join();
    EXPECT_EQ(seen, "vistrope-a-very");

    const std::string before = util::thread_name();
    std::string child;
    {
        util::ThreadName named("vistrope-enc");
        EXPECT_EQ(util::thread_name(), "vistrope-enc");
        // What a library does when it starts its own threads.
        std::thread([&] { child = util::thread_name(); }).join();
    }
    EXPECT_EQ(child, "vistrope-enc");
    EXPECT_EQ(util::thread_name(), before);
}

} // namespace
