// The relay between a stream's grab and the stitcher: frames copied out of
// borrowed memory, handed over in order, more buffers within a budget and
// back-pressure past it, and the two ways it ends.
#include "scroll/frame_relay.h"

#include "base/util_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A gate the handler waits at until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool open = false;
    void wait()
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return open; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        cv.notify_all();
    }
};

// A frame of w × h pixels whose every byte tells its row and a tag, in rows
// `stride` bytes apart (the padding holds 0xEE).
std::vector<std::uint8_t> rows(std::uint32_t w, std::uint32_t h, std::size_t stride, std::uint8_t tag)
{
    std::vector<std::uint8_t> out(stride * h, 0xEE);
    for (std::uint32_t r = 0; r < h; ++r)
        std::fill_n(out.begin() + std::ptrdiff_t(r * stride), 4 * w, std::uint8_t(tag + r));
    return out;
}

struct Seen {
    std::uint8_t first_byte;
    std::uint32_t width, height;
    std::size_t stride;
    bool packed_rows; // every row holds its own bytes, no padding
};

} // namespace

TEST(FrameRelay, CopiesFramesOutHandsThemOverInOrderAndHoldsTheGrabOnlyPastTheBudget)
{
    Gate gate;
    std::mutex seen_mutex;
    std::vector<Seen> seen;
    // One buffer, and a second while two frames of 3 × 4 pixels fit the budget.
    scroll::FrameRelay relay(1, 2 * 48, "test-relay", [&](const stitch::Frame& f) {
        gate.wait();
        bool packed = f.data.size() == 4 * std::size_t(f.width) * f.height;
        for (std::uint32_t r = 0; packed && r < f.height; ++r)
            packed = f.data[r * f.stride] == std::uint8_t(f.data[0] + r) && f.data[r * f.stride + 4 * f.width - 1] == f.data[r * f.stride];
        std::lock_guard lock(seen_mutex);
        seen.push_back({ f.data[0], f.width, f.height, f.stride, packed });
    });

    // Padded rows: the copy is packed, and the caller's memory may change
    // as soon as offer returns.
    for (std::uint8_t tag : { 10, 50 }) {
        std::vector<std::uint8_t> px = rows(3, 4, 16, tag);
        ASSERT_TRUE(relay.offer({ px, 3, 4, 16 }));
        std::fill(px.begin(), px.end(), 0);
    }
    // One frame in the handler and one queued fill the budget: the next
    // offer waits until the handler gives a buffer back.
    std::vector<std::uint8_t> third = rows(3, 4, 16, 90);
    auto waiting = std::async(std::launch::async, [&] { return relay.offer({ third, 3, 4, 16 }); });
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    gate.release();
    EXPECT_TRUE(waiting.get());
    const std::vector<std::uint8_t> packed = rows(3, 4, 12, 130);
    EXPECT_TRUE(relay.offer({ packed, 3, 4, 12 }));
    relay.wait_idle();

    std::lock_guard lock(seen_mutex);
    ASSERT_EQ(seen.size(), 4u);
    const std::uint8_t tags[] = { 10, 50, 90, 130 };
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(seen[i].first_byte, tags[i]);
        EXPECT_EQ(seen[i].width, 3u);
        EXPECT_EQ(seen[i].height, 4u);
        EXPECT_EQ(seen[i].stride, 12u);
        EXPECT_TRUE(seen[i].packed_rows) << i;
    }
}

TEST(FrameRelay, CloseLetsQueuedFramesThroughAndFreesAWaitingGrab)
{
    Gate gate;
    std::atomic<int> handled { 0 };
    auto relay = std::make_unique<scroll::FrameRelay>(2, 0, "test-relay", [&](const stitch::Frame&) {
        gate.wait();
        ++handled;
    });
    const std::vector<std::uint8_t> px = rows(2, 2, 8, 0);
    ASSERT_TRUE(relay->offer({ px, 2, 2, 8 }));
    ASSERT_TRUE(relay->offer({ px, 2, 2, 8 }));
    // Both buffers are taken: a third frame waits, and close frees it
    // without taking the frame.
    auto third = std::async(std::launch::async, [&] { return relay->offer({ px, 2, 2, 8 }); });
    EXPECT_EQ(third.wait_for(100ms), std::future_status::timeout);
    auto closing = std::async(std::launch::async, [&] { relay->close(); });
    EXPECT_FALSE(third.get());
    // close waits for the queued frames, held at the gate.
    EXPECT_EQ(closing.wait_for(100ms), std::future_status::timeout);
    gate.release();
    closing.get();
    EXPECT_EQ(handled.load(), 2);
    EXPECT_FALSE(relay->offer({ px, 2, 2, 8 }));
    relay->wait_idle(); // nothing queued: returns at once
    relay.reset();
    EXPECT_EQ(handled.load(), 2);
}

TEST(FrameRelay, DestroyingItDropsWhatIsStillQueued)
{
    Gate gate;
    std::atomic<int> handled { 0 };
    std::atomic<bool> entered { false };
    auto relay = std::make_unique<scroll::FrameRelay>(3, 0, "test-relay", [&](const stitch::Frame&) {
        entered = true;
        gate.wait();
        ++handled;
    });
    const std::vector<std::uint8_t> px = rows(2, 2, 8, 0);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(relay->offer({ px, 2, 2, 8 }));
    while (!entered)
        std::this_thread::sleep_for(1ms);
    // With frames queued, waiting for the relay to go idle returns only
    // once its end has begun: the gate opens after the queue was given up.
    scroll::FrameRelay* ending = relay.get();
    std::thread opener([&] {
        ending->wait_idle();
        gate.release();
    });
    relay.reset(); // waits for the frame in the handler only
    opener.join();
    EXPECT_EQ(handled.load(), 1);
}

TEST(FrameRelay, WithoutAThreadTheHandlerRunsOnTheGrabInOrder)
{
    util::refuse_threads_for_tests(true);
    std::vector<std::uint8_t> seen;
    std::vector<std::thread::id> threads;
    std::unique_ptr<scroll::FrameRelay> relay;
    relay = std::make_unique<scroll::FrameRelay>(1, 0, "test-relay", [&](const stitch::Frame& f) {
        seen.push_back(f.data[0]);
        threads.push_back(std::this_thread::get_id());
    });
    util::refuse_threads_for_tests(false);
    for (std::uint8_t tag = 1; tag <= 5; ++tag) {
        const std::vector<std::uint8_t> px = rows(3, 2, 16, tag);
        ASSERT_TRUE(relay->offer({ px, 3, 2, 16 }));
    }
    // One buffer and no thread: every frame went through before its offer
    // returned, none waited for a buffer that only a thread would free.
    EXPECT_EQ(seen, (std::vector<std::uint8_t> { 1, 2, 3, 4, 5 }));
    for (auto id : threads)
        EXPECT_EQ(id, std::this_thread::get_id());
    relay->wait_idle();
    relay->close();
    const std::vector<std::uint8_t> px = rows(3, 2, 16, 9);
    EXPECT_FALSE(relay->offer({ px, 3, 2, 16 }));
    relay.reset();
    EXPECT_EQ(seen.size(), 5u);
}
