// platform (X11, private to the capture backend): what the backend's files
// share. screen_capture_x11.cpp is the backend (its worker, setup, grabs and
// the recorder's reads), shm_segments_x11.cpp the shared-memory segments,
// window_list_x11.cpp the window tree and its properties, underlay_x11.cpp
// what is painted under the program's own panels. Only those files include this.
//
// Units: root pixels (the X root window's coordinates, top-left origin).
#pragma once

#include "base/util_thread.h"
#include "platform/screen_capture.h"
#include "platform/x11/x11_pixels.h"

#include <QImage>

#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace platform::x11 {

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> own(T* p)
{
    return Reply<T>(p, &std::free);
}

struct Atoms {
    xcb_atom_t client_list_stacking = XCB_NONE;
    xcb_atom_t supporting_wm_check = XCB_NONE;
    xcb_atom_t wm_pid = XCB_NONE;
    xcb_atom_t wm_type = XCB_NONE;
    xcb_atom_t wm_state = XCB_NONE;
    xcb_atom_t state_above = XCB_NONE;
    xcb_atom_t opacity = XCB_NONE;
    xcb_atom_t wm_name = XCB_NONE;
    xcb_atom_t utf8 = XCB_NONE;
    xcb_atom_t root_pixmap = XCB_NONE;
    xcb_atom_t type_desktop = XCB_NONE;
    xcb_atom_t type_dock = XCB_NONE;
    xcb_atom_t compositor = XCB_NONE; // the selection a compositor owns
    std::vector<xcb_atom_t> popup_types;
};

// The pixel rectangle's intersection; w or h 0 when they do not meet.
inline PixelRect intersect(const PixelRect& a, const PixelRect& b)
{
    const std::int32_t x0 = std::max(a.x, b.x);
    const std::int32_t y0 = std::max(a.y, b.y);
    const std::int32_t x1 = std::min(a.x + a.w, b.x + b.w);
    const std::int32_t y1 = std::min(a.y + a.h, b.y + b.h);
    if (x1 <= x0 || y1 <= y0)
        return { x0, y0, 0, 0 };
    return { x0, y0, x1 - x0, y1 - y0 };
}

// Copies rows out of the server's buffer into the image (screen_capture_x11.cpp).
void copy_pixels(const std::uint8_t* src, std::size_t src_stride, QImage& dst, bool keep_alpha);

// --- shared memory (shm_segments_x11.cpp) -----------------------------------

// A System V segment attached in this process and on the server.
struct ShmAttachment {
    std::uint8_t* addr = nullptr;
    xcb_shm_seg_t seg = 0;
};

// A fresh segment of `bytes`, attached on both sides; none when either side
// refuses. The segment holds screen contents: only we may read it (0600), and
// it is marked for removal as soon as the server has attached it, so it
// disappears with the last detach even if we crash.
std::optional<ShmAttachment> attach_shm(xcb_connection_t* conn, std::size_t bytes);

// A shared-memory segment with a 32-bit pixmap over it and a RENDER
// picture of that pixmap: the server draws into it, we read it in place.
struct Segment {
    std::uint8_t* addr = nullptr;
    int width = 0;
    int height = 0;
    xcb_shm_seg_t seg = 0;
    xcb_pixmap_t pixmap = 0;
    xcb_render_picture_t picture = 0;
};

// Idle segments kept for the next grab that fits in one. Images handed out
// own their segment until their last copy goes; the cleanup (any thread)
// gives it back. The pool outlives the backend when images do: once the
// connection is gone a returned segment is only unmapped (closing the
// connection released the server's side). Once the pool has been idle for
// IDLE_RELEASE seconds it keeps only the largest segment, the one the next
// grab needs: a screenful each, held by a tray program between captures
// minutes apart. A fresh 4K segment costs its first grab some 100-190 ms of
// page faults, more than the capture itself, so the last one stays.
class SegmentPool : public std::enable_shared_from_this<SegmentPool> {
public:
    static constexpr double IDLE_RELEASE = 3.0;

    SegmentPool(xcb_connection_t* conn, std::size_t keep);

    // The smallest idle segment that holds width × height pixels.
    std::optional<Segment> take(int width, int height);
    void give_back(const Segment& s);
    void destroy(const Segment& s); // with m_mutex held, or before sharing
    // While held, no segment is kept idle.
    void hold(bool on);
    bool held();
    // The connection is closing: release every idle segment; later returns only unmap.
    void close();

private:
    using Clock = std::chrono::steady_clock;

    void release_idle(); // with m_mutex held
    void release_later(double seconds);
    void release_if_idle();

    // Idle segments hold a screenful each: two cover a still grab in flight
    // and the next; a recording keeps up to 64 MB of them, two at least.
    const std::size_t m_keep;
    int m_holds = 0;
    Clock::time_point m_last_use;
    bool m_release_armed = false;
    std::mutex m_mutex;
    xcb_connection_t* m_conn;
    std::vector<Segment> m_idle;
};

struct SegmentLease {
    std::shared_ptr<SegmentPool> pool;
    Segment segment;
};

// A wrapped image's cleanup: gives its segment back to the pool.
void return_segment(void* info);

// --- the backend ------------------------------------------------------------

class ScreenCaptureX11 final : public ScreenCapture, public PixelSource {
public:
    static std::expected<std::unique_ptr<ScreenCaptureX11>, std::string> create(X11CaptureOptions options, std::size_t keep_segments = 2);
    ~ScreenCaptureX11() override;

    void fetch_content(std::function<void(ContentResult)> done) override;
    void grab_display(DisplayGrab grab, std::function<void(ImageResult)> done) override;
    void grab_window(WindowGrab grab, std::function<void(ImageResult)> done) override;
    ImageResult grab_display_now(const DisplayGrab& grab) override;
    std::expected<std::vector<ShareableWindow>, std::string> window_list() override;
    void hold_idle(bool hold) override;
    std::vector<std::uint32_t> own_windows() override;
    void after_screen_settles(std::function<void()> done) override;
    CaptureCapabilities capabilities() const override;

    // The recorder's grab thread.
    PixelRect clip(const ShareableDisplay& display, const std::optional<RectF>& region) override;
    ImageResult read_root(const PixelRect& rect) override;
    Underlay plan_leave_out(const PixelRect& rect, const std::vector<std::uint32_t>& excluded) override;
    Underlay plan_windows(const PixelRect& rect, const std::vector<std::uint32_t>& windows) override;
    void paint(QImage& image, const PixelRect& rect, const Underlay& plan) override;
    void ask_cursor() override;
    std::optional<Cursor> cursor() override;
    bool broken() override { return xcb_connection_has_error(m_conn) != 0; }

private:
    ScreenCaptureX11(xcb_connection_t* conn, const xcb_screen_t& root, std::size_t keep_segments);

    // Queues a job on the worker (screen_capture_x11.cpp).
    void post(std::function<void()> job);

    // Setup (screen_capture_x11.cpp).
    std::expected<void, std::string> check_pixel_format();
    void probe_extensions(const X11CaptureOptions& options);
    bool setup_render();
    void disable_render(const std::string& why);
    void update_geometry(const std::vector<ShareableDisplay>& displays);
    PixelRect root_rect();
    bool xfixes();

    // Pixels (screen_capture_x11.cpp).
    std::optional<QImage> read_root_in_place(const PixelRect& r);
    ImageResult read_pixels(xcb_drawable_t drawable, const PixelRect& r, bool has_alpha);
    ImageResult window_pixels(const TopLevel& top, const PixelRect& part);
    ImageResult grab_window_now(const WindowGrab& grab);
    std::optional<PixelRect> client_area(xcb_window_t window);

    // Segments (shm_segments_x11.cpp).
    std::optional<Segment> make_segment(int width, int height);
    void release_segment();
    bool ensure_segment(std::size_t bytes);

    // Properties and windows (window_list_x11.cpp).
    void intern_atoms();
    xcb_get_property_cookie_t ask(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type, std::uint32_t longs = 64);
    template <class T>
    std::vector<T> values(xcb_get_property_cookie_t cookie)
    {
        auto r = own(xcb_get_property_reply(m_conn, cookie, nullptr));
        std::vector<T> out;
        if (!r || r->format != sizeof(T) * 8)
            return out;
        const auto* p = static_cast<const T*>(xcb_get_property_value(r.get()));
        out.assign(p, p + xcb_get_property_value_length(r.get()) / static_cast<int>(sizeof(T)));
        return out;
    }
    std::string text(xcb_get_property_cookie_t cookie);
    bool wm_running();
    std::vector<TopLevel> top_levels();
    xcb_window_t top_level_of(xcb_window_t w);
    std::vector<xcb_window_t> top_levels_of(const std::vector<xcb_window_t>& windows);
    RectF to_points(const PixelRect& r) const;
    std::expected<std::vector<ShareableWindow>, std::string> list_windows();
    int layer_of(const std::vector<std::uint32_t>& types, const std::vector<std::uint32_t>& states) const;

    // What lies under the program's panels (underlay_x11.cpp).
    void leave_out(QImage& image, const PixelRect& rect, const std::vector<std::uint32_t>& excluded);
    Underlay underlay_without(const PixelRect& rect, const std::vector<std::uint32_t>& excluded);
    void read_shapes(std::vector<TopLevel>& windows);
    Underlay underlay_of(const PixelRect& rect, const std::vector<std::uint32_t>& windows);
    std::uint32_t wallpaper();
    void set_backdrop(Underlay& plan, const std::vector<TopLevel>& tops);
    QImage bare_tile(const std::vector<TopLevel>& standing);
    bool compositor_running();
    void paint_underlay(QImage& image, const PixelRect& rect, const Underlay& plan);
    void paint_small_holes(QImage& image, const PixelRect& rect, const Underlay& plan);

    xcb_connection_t* m_conn;
    xcb_screen_t m_root;
    Atoms m_atoms;
    CaptureCapabilities m_caps;
    std::mutex m_conn_mutex; // one request sequence at a time on the connection

    mutable std::mutex m_geometry_mutex;
    double m_primary_height = 0;
    double m_ratio = 1.0;

    std::shared_ptr<SegmentPool> m_pool;
    std::atomic<bool> m_use_render { false };
    std::atomic<bool> m_render_failed_logged { false };
    xcb_render_picture_t m_root_picture = 0;
    xcb_render_pictformat_t m_argb_format = 0;

    std::uint8_t* m_shm_addr = nullptr;
    std::size_t m_shm_size = 0;
    xcb_shm_seg_t m_shm_seg = 0;
    std::atomic<bool> m_use_shm { false };
    std::atomic<bool> m_shm_failed_logged { false };
    std::atomic<bool> m_no_composite_logged { false };
    bool m_xfixes_probed = false;
    bool m_xfixes = false;
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> m_cursor_asked; // with m_conn_mutex

    // Grabs, window lists and releases, one at a time; on the calling
    // thread when the system refused the worker.
    std::unique_ptr<util::Worker> m_worker;
};

} // namespace platform::x11
