#include "scroll/frame_relay.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace scroll {

FrameRelay::FrameRelay(std::size_t buffers, std::size_t budget, std::string thread_name, Handler handler)
    : m_handler(std::move(handler))
    , m_buffers(std::max<std::size_t>(buffers, 1))
    , m_budget(budget)
    , m_worker(std::move(thread_name), util::Worker::Refused::RunInline)
{
}

FrameRelay::~FrameRelay()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
    // The worker goes first (the last member): frames still queued are dropped.
}

bool FrameRelay::offer(const stitch::Frame& frame)
{
    const std::size_t row = 4 * std::size_t(frame.width);
    const std::size_t need = row * frame.height;
    std::unique_ptr<Slot> slot;
    {
        std::unique_lock lock(m_mutex);
        const auto may_grow = [&] { return m_slots < m_buffers || (m_slots + 1) <= m_budget / std::max<std::size_t>(need, 1); };
        m_changed.wait(lock, [&] { return m_closed || !m_free.empty() || may_grow(); });
        if (m_closed)
            return false;
        if (!m_free.empty()) {
            slot = std::move(m_free.back());
            m_free.pop_back();
        } else {
            slot = std::make_unique<Slot>();
            ++m_slots;
        }
    }
    try {
        // Frames keep one size, so after the first few this allocates nothing.
        slot->pixels.resize(need);
    } catch (const std::bad_alloc&) {
        {
            std::lock_guard lock(m_mutex);
            m_free.push_back(std::move(slot));
        }
        m_changed.notify_all();
        throw;
    }
    if (frame.stride == row) {
        if (!slot->pixels.empty())
            std::memcpy(slot->pixels.data(), frame.data.data(), slot->pixels.size());
    } else {
        for (std::uint32_t r = 0; r < frame.height; ++r)
            std::memcpy(slot->pixels.data() + r * row, frame.data.data() + r * frame.stride, row);
    }
    slot->width = frame.width;
    slot->height = frame.height;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) {
            m_free.push_back(std::move(slot));
            return false;
        }
    }
    return m_worker.post([this, slot = std::move(slot)]() mutable {
        const Slot& s = *slot;
        m_handler({ s.pixels, s.width, s.height, 4 * std::size_t(s.width) });
        {
            std::lock_guard lock(m_mutex);
            m_free.push_back(std::move(slot));
        }
        m_changed.notify_all();
    });
}

void FrameRelay::close()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
    m_worker.finish();
}

void FrameRelay::wait_idle()
{
    m_worker.wait_idle();
}

} // namespace scroll
