#include "wait_slack.h"
#include "base/util_parallel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

namespace {

struct Ran {
    std::mutex lock;
    std::vector<std::pair<std::size_t, std::size_t>> chunks;
    std::vector<std::thread::id> threads;
    std::vector<int> hits;

    explicit Ran(std::size_t items)
        : hits(items, 0)
    {
    }
    void operator()(std::size_t begin, std::size_t end)
    {
        std::lock_guard l(lock);
        chunks.emplace_back(begin, end);
        threads.push_back(std::this_thread::get_id());
        for (std::size_t i = begin; i < end; ++i)
            ++hits[i];
    }
};

class ParallelFor : public testing::Test {
protected:
    // Every test leaves an ordinary pool behind, whatever it did to it.
    void TearDown() override { util::restart_parallel_pool_for_tests(); }
};

TEST_F(ParallelFor, EveryIndexRunsExactlyOnceInConsecutiveChunks)
{
    for (const std::size_t items : { 1u, 2u, 7u, 97u, 1001u })
        for (const std::size_t chunks : { 0u, 1u, 3u, 8u, 13u, 5000u })
            for (const std::size_t threads : { 0u, 1u, 2u, 5u, 64u }) {
                SCOPED_TRACE(testing::Message() << items << " items, " << chunks << " chunks, " << threads << " threads");
                Ran ran(items);
                util::parallel_for(items, { .chunks = chunks, .threads = threads }, ran);
                EXPECT_TRUE(std::ranges::all_of(ran.hits, [](int h) { return h == 1; }));
                // The chunks tile [0, items) without gaps, none empty, none
                // larger than the first.
                std::ranges::sort(ran.chunks);
                std::size_t at = 0;
                for (const auto& [b, e] : ran.chunks) {
                    EXPECT_EQ(b, at);
                    EXPECT_LT(b, e);
                    EXPECT_LE(e - b, ran.chunks.front().second);
                    at = e;
                }
                EXPECT_EQ(at, items);
                if (threads == 1 || chunks == 1) {
                    EXPECT_EQ(ran.chunks.size(), 1u);
                } else if (chunks > 1 && items % chunks == 0 && util::parallel_workers() > 0) {
                    EXPECT_EQ(ran.chunks.size(), chunks);
                }
            }
    Ran none(0);
    util::parallel_for(0, {}, none);
    EXPECT_TRUE(none.chunks.empty());
}

TEST_F(ParallelFor, TheCallerTakesPartAndWorkersRunAlongside)
{
    // The caller's chunk and a worker's wait for each other: a caller that
    // only waited, or workers that never ran beside it, time out here. Each
    // worker holds its first chunk, and there are fewer of them than chunks,
    // so one is always left to the caller.
    const std::thread::id caller = std::this_thread::get_id();
    const bool has_workers = util::parallel_workers() > 0;
    std::atomic<bool> caller_in { false }, worker_in { false };
    std::atomic<int> timed_out { 0 };
    const auto meet = [&](std::atomic<bool>& mine, const std::atomic<bool>& other) {
        mine = true;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10) * testing_support::wait_slack();
        while (!other && std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        if (!other)
            ++timed_out;
    };
    Ran ran(4);
    util::parallel_for(4, { .chunks = 4, .threads = 4 }, [&](std::size_t b, std::size_t e) {
        if (std::this_thread::get_id() != caller)
            meet(worker_in, caller_in);
        else if (has_workers && !caller_in)
            meet(caller_in, worker_in);
        else
            caller_in = true;
        ran(b, e);
    });
    EXPECT_TRUE(caller_in);
    EXPECT_EQ(worker_in, has_workers);
    EXPECT_EQ(timed_out, 0);
    EXPECT_EQ(ran.hits, std::vector<int>(4, 1));
}

TEST_F(ParallelFor, WorkersThatCannotStartLeaveTheWorkToTheCaller)
{
    const std::thread::id caller = std::this_thread::get_id();
    util::restart_parallel_pool_for_tests(0);
    EXPECT_EQ(util::parallel_workers(), 0u);
    Ran ran(1000);
    EXPECT_NO_THROW(util::parallel_for(1000, { .chunks = 10, .threads = 8 }, ran));
    EXPECT_EQ(ran.hits, std::vector<int>(1000, 1));
    EXPECT_TRUE(std::ranges::all_of(ran.threads, [&](std::thread::id t) { return t == caller; }));

    // A pool cut short keeps the workers that did start.
    util::restart_parallel_pool_for_tests(1);
    EXPECT_LE(util::parallel_workers(), 1u);
    Ran part(1000);
    EXPECT_NO_THROW(util::parallel_for(1000, { .chunks = 10, .threads = 8 }, part));
    EXPECT_EQ(part.hits, std::vector<int>(1000, 1));
}

TEST_F(ParallelFor, ACallFromInsideAChunkRunsInlineOnThatThread)
{
    std::vector<std::atomic<int>> hits(16 * 50);
    std::atomic<int> moved { 0 };
    util::parallel_for(16, { .chunks = 16, .threads = 8 }, [&](std::size_t b, std::size_t e) {
        for (std::size_t outer = b; outer < e; ++outer) {
            const std::thread::id here = std::this_thread::get_id();
            util::parallel_for(50, { .chunks = 5, .threads = 8 }, [&](std::size_t ib, std::size_t ie) {
                if (std::this_thread::get_id() != here)
                    ++moved;
                for (std::size_t i = ib; i < ie; ++i)
                    ++hits[outer * 50 + i];
            });
        }
    });
    EXPECT_EQ(moved, 0);
    EXPECT_TRUE(std::ranges::all_of(hits, [](const std::atomic<int>& h) { return h == 1; }));
}

TEST_F(ParallelFor, TheFirstExceptionReachesTheCallerOnceRunningChunksEnded)
{
    std::atomic<int> running { 0 };
    std::atomic<int> still_running_at_return { -1 };
    try {
        util::parallel_for(64, { .chunks = 64, .threads = 4 }, [&](std::size_t b, std::size_t) {
            ++running;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (b == 5) {
                --running;
                throw std::runtime_error("trozo 5");
            }
            --running;
        });
        ADD_FAILURE() << "no exception reached the caller";
    } catch (const std::runtime_error& e) {
        still_running_at_return = running.load();
        EXPECT_STREQ(e.what(), "trozo 5");
    }
    EXPECT_EQ(still_running_at_return, 0);
    // On the calling thread alone the exception comes straight through.
    EXPECT_THROW(util::parallel_for(3, { .threads = 1 }, [](std::size_t, std::size_t) { throw std::logic_error("x"); }),
        std::logic_error);
    // The pool is whole afterwards.
    Ran ran(300);
    util::parallel_for(300, { .chunks = 30 }, ran);
    EXPECT_EQ(ran.hits, std::vector<int>(300, 1));
}

} // namespace
