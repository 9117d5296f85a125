// scroll: hands a stream's frames over to a thread of their own.
//
// The stream's grab waits for its listener, and a push into the stitcher
// preempted on a busy machine would cost the grab its next slots. So the
// listener only copies the borrowed pixels into a recycled buffer and
// returns; the relay's thread runs the handler on each frame, in order. When
// the handler stalls (a busy machine may not run it for a tenth of a second)
// more buffers are made, up to a budget: a grab that missed slots instead
// would lose the frames a fast scroll cannot do without. Past the budget the
// listener waits for a buffer: a handler that slow costs the grab its slots,
// but no frame is skipped. When the system refuses the relay a thread, the
// handler runs on the listener's thread instead.
#pragma once

#include "base/util_thread.h"
#include "codec/stitch.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace scroll {

class FrameRelay final {
public:
    // Called on the relay's thread with a frame of packed rows, valid for
    // the call only.
    using Handler = std::function<void(const stitch::Frame&)>;

    // Starts the thread, named `thread_name` (at most 15 characters). Room
    // for frames: `buffers` (at least 1), and more while all of them would
    // take at most `budget` bytes.
    FrameRelay(std::size_t buffers, std::size_t budget, std::string thread_name, Handler handler);
    // Takes no more frames, drops those still queued and ends the thread.
    // Any thread but the relay's.
    ~FrameRelay();
    FrameRelay(const FrameRelay&) = delete;
    FrameRelay& operator=(const FrameRelay&) = delete;

    // Copies the frame and queues it; false once the relay is closed (the
    // frame is not taken). Throws std::bad_alloc when its copy does not fit
    // in memory. Any thread.
    bool offer(const stitch::Frame& frame);

    // Takes no more frames and waits until the queued ones have gone through
    // the handler. Any thread but the relay's.
    void close();

    // Waits until every frame offered so far has gone through the handler.
    // Any thread but the relay's.
    void wait_idle();

private:
    struct Slot {
        std::vector<std::uint8_t> pixels;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
    };

    const Handler m_handler;
    const std::size_t m_buffers;
    const std::size_t m_budget;
    std::mutex m_mutex;
    std::size_t m_slots = 0; // with m_mutex: buffers made so far
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<Slot>> m_free; // with m_mutex
    bool m_closed = false;   // with m_mutex: no more frames taken
    util::Worker m_worker;   // last: it starts once the rest is built
};

} // namespace scroll
