// Shared-memory segments of the X11 capture backend: the one way a segment is
// made and attached, the pool of segments the server draws the root into, and
// the single segment MIT-SHM GetImage reads through.
#include "platform/x11/screen_capture_x11_parts.h"

#include "base/util_queue.h"

#include <sys/ipc.h>
#include <sys/shm.h>

namespace platform::x11 {

std::optional<ShmAttachment> attach_shm(xcb_connection_t* conn, std::size_t bytes)
{
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0)
        return std::nullopt;
    void* addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return std::nullopt;
    }
    const xcb_shm_seg_t seg = xcb_generate_id(conn);
    auto err = own(xcb_request_check(conn, xcb_shm_attach_checked(conn, seg, static_cast<std::uint32_t>(id), 0)));
    shmctl(id, IPC_RMID, nullptr);
    if (err) {
        shmdt(addr);
        return std::nullopt;
    }
    return ShmAttachment { static_cast<std::uint8_t*>(addr), seg };
}

// --- the pool ---------------------------------------------------------------

SegmentPool::SegmentPool(xcb_connection_t* conn, std::size_t keep)
    : m_keep(keep)
    , m_conn(conn)
{
}

std::optional<Segment> SegmentPool::take(int width, int height)
{
    std::lock_guard lock(m_mutex);
    auto best = m_idle.end();
    for (auto it = m_idle.begin(); it != m_idle.end(); ++it)
        if (it->width >= width && it->height >= height
            && (best == m_idle.end() || std::int64_t { it->width } * it->height < std::int64_t { best->width } * best->height))
            best = it;
    if (best == m_idle.end())
        return std::nullopt;
    Segment s = *best;
    m_idle.erase(best);
    m_last_use = Clock::now();
    return s;
}

void SegmentPool::give_back(const Segment& s)
{
    std::lock_guard lock(m_mutex);
    if (m_conn && m_holds == 0 && m_idle.size() < m_keep) {
        m_idle.push_back(s);
        m_last_use = Clock::now();
        release_later(IDLE_RELEASE);
        return;
    }
    destroy(s);
}

void SegmentPool::destroy(const Segment& s)
{
    if (m_conn) {
        xcb_render_free_picture(m_conn, s.picture);
        xcb_free_pixmap(m_conn, s.pixmap);
        xcb_shm_detach(m_conn, s.seg);
        xcb_flush(m_conn);
    }
    shmdt(s.addr);
}

void SegmentPool::hold(bool on)
{
    std::lock_guard lock(m_mutex);
    m_holds = std::max(0, m_holds + (on ? 1 : -1));
    if (m_holds > 0)
        release_idle();
}

bool SegmentPool::held()
{
    std::lock_guard lock(m_mutex);
    return m_holds > 0;
}

void SegmentPool::close()
{
    std::lock_guard lock(m_mutex);
    release_idle();
    m_conn = nullptr;
}

void SegmentPool::release_idle()
{
    for (const Segment& s : m_idle)
        destroy(s);
    m_idle.clear();
}

// One timer at a time on the main queue, armed again while the pool is
// in use, so a recording's returns every frame arm none. With m_mutex held.
void SegmentPool::release_later(double seconds)
{
    if (m_release_armed)
        return;
    m_release_armed = true;
    util::after(seconds, [weak = weak_from_this()] {
        if (auto pool = weak.lock())
            pool->release_if_idle();
    });
}

void SegmentPool::release_if_idle()
{
    std::lock_guard lock(m_mutex);
    m_release_armed = false;
    if (m_idle.empty())
        return;
    const double idle = std::chrono::duration<double>(Clock::now() - m_last_use).count();
    if (idle < IDLE_RELEASE) {
        release_later(IDLE_RELEASE - idle);
        return;
    }
    const auto area = [](const Segment& s) { return std::int64_t { s.width } * s.height; };
    const auto largest = std::max_element(m_idle.begin(), m_idle.end(),
        [&](const Segment& a, const Segment& b) { return area(a) < area(b); });
    std::swap(*largest, m_idle.front());
    for (std::size_t i = 1; i < m_idle.size(); ++i)
        destroy(m_idle[i]);
    m_idle.resize(1);
}

void return_segment(void* info)
{
    auto* lease = static_cast<SegmentLease*>(info);
    lease->pool->give_back(lease->segment);
    delete lease;
}

// --- the backend's segments -------------------------------------------------

std::optional<Segment> ScreenCaptureX11::make_segment(int width, int height)
{
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    const std::optional<ShmAttachment> attached = attach_shm(m_conn, bytes);
    if (!attached)
        return std::nullopt;
    Segment s;
    s.addr = attached->addr;
    s.width = width;
    s.height = height;
    s.seg = attached->seg;
    s.pixmap = xcb_generate_id(m_conn);
    s.picture = xcb_generate_id(m_conn);
    xcb_shm_create_pixmap(m_conn, s.pixmap, m_root.root, static_cast<std::uint16_t>(width),
        static_cast<std::uint16_t>(height), 32, s.seg, 0);
    auto perr = own(xcb_request_check(m_conn,
        xcb_render_create_picture_checked(m_conn, s.picture, s.pixmap, m_argb_format, 0, nullptr)));
    if (perr) {
        xcb_free_pixmap(m_conn, s.pixmap);
        xcb_shm_detach(m_conn, s.seg);
        shmdt(s.addr);
        return std::nullopt;
    }
    return s;
}

void ScreenCaptureX11::release_segment()
{
    if (m_shm_addr) {
        xcb_shm_detach(m_conn, m_shm_seg);
        xcb_flush(m_conn);
        shmdt(m_shm_addr);
    }
    m_shm_addr = nullptr;
    m_shm_size = 0;
}

// A segment of at least `bytes`, attached on both sides (see attach_shm).
bool ScreenCaptureX11::ensure_segment(std::size_t bytes)
{
    if (m_shm_addr && m_shm_size >= bytes)
        return true;
    release_segment();
    const std::optional<ShmAttachment> attached = attach_shm(m_conn, bytes);
    if (!attached)
        return false;
    m_shm_addr = attached->addr;
    m_shm_size = bytes;
    m_shm_seg = attached->seg;
    return true;
}

} // namespace platform::x11
