#include "scroll/frame_relay.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace scroll {

FrameRelay::FrameRelay(std::size_t buffers, std::size_t budget, std::string thread_name, Handler handler)
    : m_handler(std::move(handler))
    , m_buffers(std::max<std::size_t>(buffers, 1))
    , m_budget(budget)
{
    m_thread = std::thread([this, name = std::move(thread_name)] { run(name); });
}

FrameRelay::~FrameRelay()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_quitting = true;
    }
    m_changed.notify_all();
    m_thread.join();
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
        m_queued.push_back(std::move(slot));
    }
    m_changed.notify_all();
    return true;
}

void FrameRelay::close()
{
    std::unique_lock lock(m_mutex);
    m_closed = true;
    m_changed.notify_all();
    m_changed.wait(lock, [&] { return m_quitting || (m_queued.empty() && !m_busy); });
}

void FrameRelay::wait_idle()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_quitting || (m_queued.empty() && !m_busy); });
}

void FrameRelay::run(std::string name)
{
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_quitting || !m_queued.empty(); });
        if (m_quitting)
            return;
        std::unique_ptr<Slot> slot = std::move(m_queued.front());
        m_queued.pop_front();
        m_busy = true;
        lock.unlock();
        const Slot& s = *slot;
        m_handler({ s.pixels, s.width, s.height, 4 * std::size_t(s.width) });
        lock.lock();
        m_busy = false;
        m_free.push_back(std::move(slot));
        m_changed.notify_all();
    }
}

} // namespace scroll
