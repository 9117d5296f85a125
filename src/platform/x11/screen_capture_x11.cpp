// Shareable content and still capture on X11.
//
// A connection of our own (Qt's belongs to the GUI thread) serves one worker
// thread that lists windows and grabs pixels. Display grabs have the server
// draw the root straight into a shared-memory pixmap of 32 bits with RENDER
// (one copy, alpha set to opaque on the way), and the image we hand out is
// that very memory; without RENDER's shared pixmaps they read the root
// through MIT-SHM GetImage and copy out, and without MIT-SHM through plain
// GetImage. Segments are 0600 and removed as soon as the server attached them. Windows are read from their Composite pixmaps, so covered parts
// come out as well; the same pixmaps rebuild what lies under the program's
// own panels when a capture leaves the program out.
#include "platform/screen_capture.h"
#include "platform/x11/x11_pixels.h"

#include "base/util.h"
#include "base/util_parallel.h"
#include "base/util_queue.h"

#include <QGuiApplication>
#include <QPainter>
#include <QRegion>
#include <QWindow>

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace platform {

namespace {

// A shaped window's shape in the coordinates of a hole being painted.
QRegion shape_in(const x11::TopLevel& t, const PixelRect& hole)
{
    QRegion shape;
    for (const PixelRect& r : *t.shape)
        shape += QRect(t.outer.x + r.x - hole.x, t.outer.y + r.y - hole.y, r.w, r.h);
    return shape;
}

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
PixelRect intersect(const PixelRect& a, const PixelRect& b)
{
    const std::int32_t x0 = std::max(a.x, b.x);
    const std::int32_t y0 = std::max(a.y, b.y);
    const std::int32_t x1 = std::min(a.x + a.w, b.x + b.w);
    const std::int32_t y1 = std::min(a.y + a.h, b.y + b.h);
    if (x1 <= x0 || y1 <= y0)
        return { x0, y0, 0, 0 };
    return { x0, y0, x1 - x0, y1 - y0 };
}

using x11::TopLevel;

// Copies rows out of the server's buffer into the image, forcing alpha to
// 255 when the drawable has no alpha (X leaves the padding byte undefined).
// Split over a few threads of the shared pool: one core cannot saturate
// memory bandwidth.
void copy_pixels(const std::uint8_t* src, std::size_t src_stride, QImage& dst, bool keep_alpha)
{
    const int h = dst.height();
    const std::size_t row_bytes = static_cast<std::size_t>(dst.width()) * 4;
    auto rows = [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const auto* s = reinterpret_cast<const std::uint32_t*>(src + static_cast<std::size_t>(y) * src_stride);
            auto* d = reinterpret_cast<std::uint32_t*>(dst.scanLine(y));
            if (keep_alpha) {
                std::memcpy(d, s, row_bytes);
                continue;
            }
            const int w = dst.width();
            int x = 0;
#if defined(__SSE2__)
            const __m128i opaque = _mm_set1_epi32(static_cast<int>(0xff000000u));
            for (; x + 4 <= w; x += 4)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x),
                    _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x)), opaque));
#endif
            for (; x < w; ++x)
                d[x] = s[x] | 0xff000000u;
        }
    };
    const std::size_t bytes = row_bytes * static_cast<std::size_t>(h);
    const unsigned threads = bytes < (1u << 20) ? 1u : std::min(4u, util::parallelism());
    util::parallel_for(static_cast<std::size_t>(h), { .chunks = threads, .threads = threads },
        [&](std::size_t y0, std::size_t y1) { rows(static_cast<int>(y0), static_cast<int>(y1)); });
}

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

    SegmentPool(xcb_connection_t* conn, std::size_t keep)
        : m_keep(keep)
        , m_conn(conn)
    {
    }

    // The smallest idle segment that holds width × height pixels.
    std::optional<Segment> take(int width, int height)
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

    void give_back(const Segment& s)
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

    void destroy(const Segment& s) // with m_mutex held, or before sharing
    {
        if (m_conn) {
            xcb_render_free_picture(m_conn, s.picture);
            xcb_free_pixmap(m_conn, s.pixmap);
            xcb_shm_detach(m_conn, s.seg);
            xcb_flush(m_conn);
        }
        shmdt(s.addr);
    }

    // While held, no segment is kept idle.
    void hold(bool on)
    {
        std::lock_guard lock(m_mutex);
        m_holds = std::max(0, m_holds + (on ? 1 : -1));
        if (m_holds > 0)
            release_idle();
    }

    bool held()
    {
        std::lock_guard lock(m_mutex);
        return m_holds > 0;
    }

    // The connection is closing: release every idle segment; later returns only unmap.
    void close()
    {
        std::lock_guard lock(m_mutex);
        release_idle();
        m_conn = nullptr;
    }

private:
    using Clock = std::chrono::steady_clock;

    void release_idle() // with m_mutex held
    {
        for (const Segment& s : m_idle)
            destroy(s);
        m_idle.clear();
    }

    // One timer at a time on the main queue, armed again while the pool is
    // in use, so a recording's returns every frame arm none. With m_mutex held.
    void release_later(double seconds)
    {
        if (m_release_armed)
            return;
        m_release_armed = true;
        util::after(seconds, [weak = weak_from_this()] {
            if (auto pool = weak.lock())
                pool->release_if_idle();
        });
    }

    void release_if_idle()
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

void return_segment(void* info)
{
    auto* lease = static_cast<SegmentLease*>(info);
    lease->pool->give_back(lease->segment);
    delete lease;
}

// Watches the root on a connection of its own until the screen holds still
// (see after_screen_settles); without DAMAGE it can only wait a moment.
void wait_for_still_screen()
{
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    // One frame of stillness after a change; the unchanged wait covers a
    // server that repainted before we started watching.
    constexpr milliseconds STILL { 20 };
    constexpr milliseconds UNCHANGED { 100 };
    constexpr milliseconds LIMIT { 400 };
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const auto blind = [&] {
        std::this_thread::sleep_for(UNCHANGED);
        if (c)
            xcb_disconnect(c);
    };
    if (!c || xcb_connection_has_error(c))
        return blind();
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_damage_id);
    if (!ext || !ext->present)
        return blind();
    std::free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_damage_create(c, damage, root, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    const auto start = Clock::now();
    std::optional<Clock::time_point> last_change;
    pollfd fd { xcb_get_file_descriptor(c), POLLIN, 0 };
    while (!xcb_connection_has_error(c)) {
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            if ((e->response_type & 0x7f) == ext->first_event + XCB_DAMAGE_NOTIFY)
                last_change = Clock::now();
            std::free(e);
        }
        const auto now = Clock::now();
        const auto deadline = std::min(start + LIMIT, last_change ? *last_change + STILL : start + UNCHANGED);
        if (now >= deadline)
            break;
        const auto wait = std::chrono::duration_cast<milliseconds>(deadline - now).count() + 1;
        ::poll(&fd, 1, static_cast<int>(wait));
    }
    xcb_damage_destroy(c, damage);
    xcb_disconnect(c);
}

class ScreenCaptureX11 final : public ScreenCapture, public x11::PixelSource {
public:
    static std::expected<std::unique_ptr<ScreenCaptureX11>, std::string> create(X11CaptureOptions options, std::size_t keep_segments = 2)
    {
        int screen_number = 0;
        xcb_connection_t* conn = xcb_connect(nullptr, &screen_number);
        if (!conn || xcb_connection_has_error(conn)) {
            if (conn)
                xcb_disconnect(conn);
            return std::unexpected(std::string("no pude abrir la pantalla X"));
        }
        auto it = xcb_setup_roots_iterator(xcb_get_setup(conn));
        for (int i = 0; i < screen_number && it.rem; ++i)
            xcb_screen_next(&it);
        if (!it.rem) {
            xcb_disconnect(conn);
            return std::unexpected(std::string("la pantalla X no tiene raíz"));
        }
        std::unique_ptr<ScreenCaptureX11> self(new ScreenCaptureX11(conn, *it.data, keep_segments));
        if (auto ok = self->check_pixel_format(); !ok)
            return std::unexpected(ok.error());
        self->probe_extensions(options);
        self->update_geometry(shareable_displays());
        self->m_worker = std::thread([p = self.get()] { p->run_worker(); });
        return self;
    }

    ~ScreenCaptureX11() override
    {
        {
            // Work not started yet is dropped: whoever asked for it is gone.
            std::lock_guard lock(m_jobs_mutex);
            m_stopping = true;
            m_jobs.clear();
        }
        m_jobs_cv.notify_all();
        if (m_worker.joinable())
            m_worker.join();
        release_segment();
        m_pool->close();
        xcb_disconnect(m_conn);
    }

    void fetch_content(std::function<void(ContentResult)> done) override
    {
        std::vector<ShareableDisplay> displays = shareable_displays();
        update_geometry(displays);
        post([this, displays = std::move(displays), done = std::move(done)]() mutable {
            auto windows = window_list();
            if (!windows) {
                done(std::unexpected(windows.error()));
                return;
            }
            ShareableContent content;
            content.displays = std::move(displays);
            content.windows = std::move(*windows);
            std::set<std::int64_t> seen;
            for (const auto& w : content.windows)
                if (w.pid > 0 && seen.insert(w.pid).second)
                    content.applications.push_back({ w.pid });
            done(std::move(content));
        });
    }

    void grab_display(DisplayGrab grab, std::function<void(ImageResult)> done) override
    {
        post([this, grab = std::move(grab), done = std::move(done)] { done(grab_display_now(grab)); });
    }

    void grab_window(WindowGrab grab, std::function<void(ImageResult)> done) override
    {
        post([this, grab, done = std::move(done)] { done(grab_window_now(grab)); });
    }

    ImageResult grab_display_now(const DisplayGrab& grab) override
    {
        std::lock_guard lock(m_conn_mutex);
        PixelRect rect = intersect(native_rect(grab.display, grab.region), root_rect());
        if (rect.w <= 0 || rect.h <= 0)
            return std::unexpected(std::string("la región no toca la pantalla"));
        ImageResult image = std::unexpected(std::string());
        if (auto in_place = read_root_in_place(rect))
            image = std::move(*in_place);
        else
            image = read_pixels(m_root.root, rect, false);
        if (!image)
            return image;
        if (!grab.excluded.empty())
            leave_out(*image, rect, grab.excluded);
        const int w = static_cast<int>(grab.width ? grab.width : static_cast<std::uint32_t>(rect.w));
        const int h = static_cast<int>(grab.height ? grab.height : static_cast<std::uint32_t>(rect.h));
        if (image->width() != w || image->height() != h)
            *image = image->scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        return image;
    }

    std::expected<std::vector<ShareableWindow>, std::string> window_list() override
    {
        std::lock_guard lock(m_conn_mutex);
        return list_windows();
    }

    void hold_idle(bool hold) override
    {
        m_pool->hold(hold);
        if (hold)
            post([this] {
                std::lock_guard lock(m_conn_mutex);
                release_segment();
            });
    }

    std::vector<std::uint32_t> own_windows() override
    {
        util::require_main_thread("hilo principal");
        std::vector<std::uint32_t> ids;
        for (QWindow* w : QGuiApplication::allWindows())
            if (w->isTopLevel() && w->isVisible() && w->handle())
                ids.push_back(static_cast<std::uint32_t>(w->winId()));
        return ids;
    }

    void after_screen_settles(std::function<void()> done) override
    {
        util::require_main_thread("hilo principal");
        // Our unmaps travel on Qt's connection: once it has made a round
        // trip, the server has carried them out.
        if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr)
            if (xcb_connection_t* qt = x11->connection())
                std::free(xcb_get_input_focus_reply(qt, xcb_get_input_focus(qt), nullptr));
        // The watch needs nothing of this backend, so it may outlive it.
        std::thread([done = std::move(done)]() mutable {
            wait_for_still_screen();
            util::on_main(std::move(done));
        }).detach();
    }

    CaptureCapabilities capabilities() const override
    {
        CaptureCapabilities caps = m_caps;
        caps.shared_memory = m_use_shm.load();
        return caps;
    }

private:
    ScreenCaptureX11(xcb_connection_t* conn, const xcb_screen_t& root, std::size_t keep_segments)
        : m_conn(conn)
        , m_root(root)
        , m_pool(std::make_shared<SegmentPool>(conn, keep_segments))
    {
        intern_atoms();
    }

    // --- the worker ---------------------------------------------------------

    void post(std::function<void()> job)
    {
        {
            std::lock_guard lock(m_jobs_mutex);
            m_jobs.push_back(std::move(job));
        }
        m_jobs_cv.notify_one();
    }

    void run_worker()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_jobs_mutex);
                m_jobs_cv.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
                if (m_jobs.empty())
                    return;
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

    // --- setup --------------------------------------------------------------

    std::expected<void, std::string> check_pixel_format()
    {
        const xcb_setup_t* setup = xcb_get_setup(m_conn);
        if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST)
            return std::unexpected(std::string("orden de bytes de imagen no admitido"));
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it))
            if (it.data->depth == m_root.root_depth && it.data->bits_per_pixel != 32)
                return std::unexpected(fmt::format("profundidad de pantalla no admitida: {} bits por píxel", it.data->bits_per_pixel));
        if (m_root.root_depth != 24 && m_root.root_depth != 32)
            return std::unexpected(fmt::format("profundidad de pantalla no admitida: {}", m_root.root_depth));
        return {};
    }

    void probe_extensions(const X11CaptureOptions& options)
    {
        const auto* shm_ext = options.shared_memory ? xcb_get_extension_data(m_conn, &xcb_shm_id) : nullptr;
        if (shm_ext && shm_ext->present) {
            auto r = own(xcb_shm_query_version_reply(m_conn, xcb_shm_query_version(m_conn), nullptr));
            m_caps.shared_memory = r != nullptr;
            if (r && r->shared_pixmaps && options.render)
                m_use_render = setup_render();
        }
        if (const auto* ext = xcb_get_extension_data(m_conn, &xcb_composite_id); ext && ext->present) {
            auto r = own(xcb_composite_query_version_reply(m_conn, xcb_composite_query_version(m_conn, 0, 4), nullptr));
            if (r && (r->major_version > 0 || r->minor_version >= 2)) {
                // Automatic redirection keeps the server painting the screen
                // as before while every top-level window also gets a pixmap
                // of its own. It coexists with a compositor's manual one.
                auto err = own(xcb_request_check(m_conn,
                    xcb_composite_redirect_subwindows_checked(m_conn, m_root.root, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
                m_caps.composite = !err;
            }
        }
        m_caps.window_manager = wm_running();
        m_use_shm = m_caps.shared_memory;
        if (!m_caps.shared_memory)
            util::log("captura: sin memoria compartida (MIT-SHM); uso GetImage");
        if (!m_caps.composite)
            util::log("captura: sin Composite; las ventanas tapadas salen tal como se ven");
    }


    // The picture formats for the root's visual and for 32-bit ARGB, and a
    // picture of the root that includes its children.
    bool setup_render()
    {
        if (const auto* ext = xcb_get_extension_data(m_conn, &xcb_render_id); !ext || !ext->present)
            return false;
        auto version = own(xcb_render_query_version_reply(m_conn, xcb_render_query_version(m_conn, 0, 11), nullptr));
        if (!version)
            return false;
        auto formats = own(xcb_render_query_pict_formats_reply(m_conn, xcb_render_query_pict_formats(m_conn), nullptr));
        if (!formats)
            return false;
        xcb_render_pictformat_t root_format = 0;
        for (auto it = xcb_render_query_pict_formats_formats_iterator(formats.get()); it.rem;
             xcb_render_pictforminfo_next(&it)) {
            const auto& f = *it.data;
            if (f.type == XCB_RENDER_PICT_TYPE_DIRECT && f.depth == 32 && f.direct.alpha_mask == 0xff
                && f.direct.alpha_shift == 24 && f.direct.red_shift == 16 && f.direct.green_shift == 8
                && f.direct.blue_shift == 0)
                m_argb_format = f.id;
        }
        for (auto sc = xcb_render_query_pict_formats_screens_iterator(formats.get()); sc.rem; xcb_render_pictscreen_next(&sc))
            for (auto d = xcb_render_pictscreen_depths_iterator(sc.data); d.rem; xcb_render_pictdepth_next(&d))
                for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem; xcb_render_pictvisual_next(&v))
                    if (v.data->visual == m_root.root_visual)
                        root_format = v.data->format;
        if (!m_argb_format || !root_format)
            return false;
        m_root_picture = xcb_generate_id(m_conn);
        const std::uint32_t include_inferiors = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
        auto err = own(xcb_request_check(m_conn, xcb_render_create_picture_checked(m_conn, m_root_picture, m_root.root,
            root_format, XCB_RENDER_CP_SUBWINDOW_MODE, &include_inferiors)));
        return !err;
    }

    std::optional<Segment> make_segment(int width, int height)
    {
        const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            return std::nullopt;
        void* addr = shmat(id, nullptr, 0);
        if (addr == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            return std::nullopt;
        }
        Segment s;
        s.addr = static_cast<std::uint8_t*>(addr);
        s.width = width;
        s.height = height;
        s.seg = xcb_generate_id(m_conn);
        auto err = own(xcb_request_check(m_conn, xcb_shm_attach_checked(m_conn, s.seg, static_cast<std::uint32_t>(id), 0)));
        shmctl(id, IPC_RMID, nullptr);
        if (err) {
            shmdt(addr);
            return std::nullopt;
        }
        s.pixmap = xcb_generate_id(m_conn);
        s.picture = xcb_generate_id(m_conn);
        xcb_shm_create_pixmap(m_conn, s.pixmap, m_root.root, static_cast<std::uint16_t>(width),
            static_cast<std::uint16_t>(height), 32, s.seg, 0);
        auto perr = own(xcb_request_check(m_conn,
            xcb_render_create_picture_checked(m_conn, s.picture, s.pixmap, m_argb_format, 0, nullptr)));
        if (perr) {
            xcb_free_pixmap(m_conn, s.pixmap);
            xcb_shm_detach(m_conn, s.seg);
            shmdt(addr);
            return std::nullopt;
        }
        return s;
    }

    // The root's pixels of `r`, drawn by the server into shared memory that
    // the returned image wraps; none when this path is not available.
    std::optional<QImage> read_root_in_place(const PixelRect& r)
    {
        if (!m_use_render.load())
            return std::nullopt;
        std::optional<Segment> s = m_pool->take(r.w, r.h);
        if (!s) {
            // A region gets a segment of the whole root, so later grabs of
            // any size fit in it.
            const PixelRect full = root_rect();
            s = make_segment(std::max(r.w, full.w), std::max(r.h, full.h));
        }
        if (!s) {
            disable_render("no pude crear el mapa de píxeles compartido");
            return std::nullopt;
        }
        // SRC from an x8r8g8b8 root into a8r8g8b8 stores alpha 255.
        auto err = own(xcb_request_check(m_conn, xcb_render_composite_checked(m_conn, XCB_RENDER_PICT_OP_SRC,
            m_root_picture, XCB_NONE, s->picture, static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y), 0, 0,
            0, 0, static_cast<std::uint16_t>(r.w), static_cast<std::uint16_t>(r.h))));
        if (err) {
            m_pool->give_back(*s);
            disable_render(fmt::format("error X {}", err->error_code));
            return std::nullopt;
        }
        auto* lease = new SegmentLease { m_pool, *s };
        // The picture lies in the segment's top-left corner, rows as wide as the segment.
        return QImage(s->addr, r.w, r.h, static_cast<qsizetype>(s->width) * 4, QImage::Format_ARGB32_Premultiplied,
            &return_segment, lease);
    }

    void disable_render(const std::string& why)
    {
        m_use_render = false;
        if (!m_render_failed_logged.exchange(true))
            util::log("captura: la copia directa con RENDER falló (" + why + "); uso GetImage");
    }

    void intern_atoms()
    {
        const char* names[] = { "_NET_CLIENT_LIST_STACKING", "_NET_SUPPORTING_WM_CHECK", "_NET_WM_PID",
            "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE", "_NET_WM_STATE_ABOVE", "_NET_WM_WINDOW_OPACITY", "_NET_WM_NAME",
            "UTF8_STRING", "_XROOTPMAP_ID", "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK",
            "_NET_WM_CM_S0",
            "_NET_WM_WINDOW_TYPE_MENU", "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU",
            "_NET_WM_WINDOW_TYPE_TOOLTIP", "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_WM_WINDOW_TYPE_COMBO",
            "_NET_WM_WINDOW_TYPE_DND" };
        constexpr size_t N = std::size(names);
        xcb_intern_atom_cookie_t cookies[N];
        for (size_t i = 0; i < N; ++i)
            cookies[i] = xcb_intern_atom(m_conn, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
        xcb_atom_t atoms[N];
        for (size_t i = 0; i < N; ++i) {
            auto r = own(xcb_intern_atom_reply(m_conn, cookies[i], nullptr));
            atoms[i] = r ? r->atom : XCB_NONE;
        }
        m_atoms.client_list_stacking = atoms[0];
        m_atoms.supporting_wm_check = atoms[1];
        m_atoms.wm_pid = atoms[2];
        m_atoms.wm_type = atoms[3];
        m_atoms.wm_state = atoms[4];
        m_atoms.state_above = atoms[5];
        m_atoms.opacity = atoms[6];
        m_atoms.wm_name = atoms[7];
        m_atoms.utf8 = atoms[8];
        m_atoms.root_pixmap = atoms[9];
        m_atoms.type_desktop = atoms[10];
        m_atoms.type_dock = atoms[11];
        m_atoms.compositor = atoms[12];
        m_atoms.popup_types.assign(atoms + 13, atoms + N);
    }

    void update_geometry(const std::vector<ShareableDisplay>& displays)
    {
        std::lock_guard lock(m_geometry_mutex);
        if (displays.empty())
            return;
        m_primary_height = displays.front().frame.h;
        m_ratio = displays.front().scale > 0 ? displays.front().scale : 1.0;
    }

    // The root's size now: it grows and shrinks with the monitors (RandR), so
    // the size from the connection's setup is only the answer at start.
    PixelRect root_rect()
    {
        auto geometry = own(xcb_get_geometry_reply(m_conn, xcb_get_geometry(m_conn, m_root.root), nullptr));
        if (geometry) {
            m_root.width_in_pixels = geometry->width;
            m_root.height_in_pixels = geometry->height;
        }
        return { 0, 0, m_root.width_in_pixels, m_root.height_in_pixels };
    }

    // --- properties ---------------------------------------------------------

    xcb_get_property_cookie_t ask(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type, std::uint32_t longs = 64)
    {
        return xcb_get_property(m_conn, 0, w, prop, type, 0, longs);
    }

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

    std::string text(xcb_get_property_cookie_t cookie)
    {
        auto r = own(xcb_get_property_reply(m_conn, cookie, nullptr));
        if (!r || r->format != 8)
            return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
            static_cast<size_t>(xcb_get_property_value_length(r.get())));
    }

    bool wm_running()
    {
        auto check = values<std::uint32_t>(ask(m_root.root, m_atoms.supporting_wm_check, XCB_ATOM_WINDOW, 1));
        if (check.empty())
            return false;
        // The check window must exist and point at itself (EWMH).
        auto self = values<std::uint32_t>(ask(check[0], m_atoms.supporting_wm_check, XCB_ATOM_WINDOW, 1));
        return !self.empty() && self[0] == check[0];
    }

    // --- windows ------------------------------------------------------------

    // The root's children, bottom to top, with their places and states.
    std::vector<TopLevel> top_levels()
    {
        std::vector<TopLevel> out;
        auto tree = own(xcb_query_tree_reply(m_conn, xcb_query_tree(m_conn, m_root.root), nullptr));
        if (!tree)
            return out;
        const xcb_window_t* kids = xcb_query_tree_children(tree.get());
        const int n = xcb_query_tree_children_length(tree.get());
        std::vector<xcb_get_window_attributes_cookie_t> ac(static_cast<size_t>(n));
        std::vector<xcb_get_geometry_cookie_t> gc(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            ac[static_cast<size_t>(i)] = xcb_get_window_attributes(m_conn, kids[i]);
            gc[static_cast<size_t>(i)] = xcb_get_geometry(m_conn, kids[i]);
        }
        out.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            auto a = own(xcb_get_window_attributes_reply(m_conn, ac[static_cast<size_t>(i)], nullptr));
            auto g = own(xcb_get_geometry_reply(m_conn, gc[static_cast<size_t>(i)], nullptr));
            if (!a || !g)
                continue; // gone meanwhile
            TopLevel t;
            t.id = kids[i];
            t.outer = { g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width };
            t.depth = g->depth;
            t.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
            t.input_output = a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
            t.override_redirect = a->override_redirect;
            t.border = g->border_width;
            out.push_back(t);
        }
        return out;
    }

    // The child of the root that holds `w` (w itself for a top-level); 0 when gone.
    xcb_window_t top_level_of(xcb_window_t w)
    {
        for (int depth = 0; depth < 64; ++depth) {
            auto tree = own(xcb_query_tree_reply(m_conn, xcb_query_tree(m_conn, w), nullptr));
            if (!tree)
                return 0;
            if (tree->parent == m_root.root || tree->parent == XCB_NONE)
                return w == m_root.root ? 0 : w;
            w = tree->parent;
        }
        return 0;
    }

    // top_level_of for many windows at once, one round trip per level of
    // nesting instead of one per window and level.
    std::vector<xcb_window_t> top_levels_of(const std::vector<xcb_window_t>& windows)
    {
        std::vector<xcb_window_t> top(windows.size(), 0);
        std::vector<xcb_window_t> at = windows;
        std::vector<size_t> open(windows.size());
        for (size_t i = 0; i < open.size(); ++i)
            open[i] = i;
        for (int depth = 0; depth < 64 && !open.empty(); ++depth) {
            std::vector<xcb_query_tree_cookie_t> cookies;
            cookies.reserve(open.size());
            for (size_t i : open)
                cookies.push_back(xcb_query_tree(m_conn, at[i]));
            std::vector<size_t> still;
            for (size_t k = 0; k < open.size(); ++k) {
                const size_t i = open[k];
                auto tree = own(xcb_query_tree_reply(m_conn, cookies[k], nullptr));
                if (!tree)
                    continue; // gone
                if (tree->parent == m_root.root || tree->parent == XCB_NONE)
                    top[i] = at[i] == m_root.root ? 0 : at[i];
                else {
                    at[i] = tree->parent;
                    still.push_back(i);
                }
            }
            open.swap(still);
        }
        return top;
    }

    RectF to_points(const PixelRect& r) const
    {
        std::lock_guard lock(m_geometry_mutex);
        const RectF top_left { r.x / m_ratio, r.y / m_ratio, r.w / m_ratio, r.h / m_ratio };
        return rect_from_top_left(top_left, m_primary_height);
    }

    std::expected<std::vector<ShareableWindow>, std::string> list_windows()
    {
        const std::vector<TopLevel> tops = top_levels();
        if (tops.empty())
            return std::unexpected(std::string("no pude leer las ventanas de la pantalla"));
        std::unordered_map<xcb_window_t, const TopLevel*> by_id;
        for (const auto& t : tops)
            by_id.emplace(t.id, &t);

        struct Entry {
            xcb_window_t client;
            const TopLevel* top;
        };
        std::vector<Entry> entries; // front to back
        auto stacking = m_caps.window_manager
            ? values<std::uint32_t>(ask(m_root.root, m_atoms.client_list_stacking, XCB_ATOM_WINDOW, 16384))
            : std::vector<std::uint32_t> {};
        if (!stacking.empty()) {
            // Override-redirect windows (menus, tooltips, our own panels) are
            // not managed; they stand above every managed window.
            for (auto it = tops.rbegin(); it != tops.rend(); ++it)
                if (it->override_redirect && it->input_output && it->viewable)
                    entries.push_back({ it->id, &*it });
            const std::vector<xcb_window_t> clients(stacking.rbegin(), stacking.rend());
            const std::vector<xcb_window_t> frames = top_levels_of(clients);
            for (size_t i = 0; i < clients.size(); ++i) {
                const auto found = by_id.find(frames[i]);
                if (found != by_id.end())
                    entries.push_back({ clients[i], found->second });
            }
        } else {
            for (auto it = tops.rbegin(); it != tops.rend(); ++it)
                if (it->input_output)
                    entries.push_back({ it->id, &*it });
        }

        struct Cookies {
            xcb_get_property_cookie_t pid, type, state, opacity, frame_opacity, name, old_name;
            xcb_get_window_attributes_cookie_t attrs;
        };
        std::vector<Cookies> cookies;
        cookies.reserve(entries.size());
        for (const auto& e : entries)
            cookies.push_back({ ask(e.client, m_atoms.wm_pid, XCB_ATOM_CARDINAL, 1),
                ask(e.client, m_atoms.wm_type, XCB_ATOM_ATOM), ask(e.client, m_atoms.wm_state, XCB_ATOM_ATOM),
                ask(e.client, m_atoms.opacity, XCB_ATOM_CARDINAL, 1),
                ask(e.top->id, m_atoms.opacity, XCB_ATOM_CARDINAL, 1), ask(e.client, m_atoms.wm_name, m_atoms.utf8, 256),
                ask(e.client, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 256), xcb_get_window_attributes(m_conn, e.client) });

        std::vector<ShareableWindow> out;
        out.reserve(entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const Cookies& c = cookies[i];
            ShareableWindow w;
            w.window_id = e.client;
            w.frame = to_points(e.top->outer);
            const auto pid = values<std::uint32_t>(c.pid);
            w.pid = pid.empty() ? 0 : pid[0];
            const auto types = values<std::uint32_t>(c.type);
            const auto states = values<std::uint32_t>(c.state);
            w.layer = e.top->override_redirect ? layer::POPUP : layer_of(types, states);
            auto op = values<std::uint32_t>(c.opacity);
            if (op.empty())
                op = values<std::uint32_t>(c.frame_opacity);
            w.opacity = op.empty() ? 1.0 : op[0] / 4294967295.0;
            auto attrs = own(xcb_get_window_attributes_reply(m_conn, c.attrs, nullptr));
            w.on_screen = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE && e.top->viewable;
            w.title = text(c.name);
            std::string old = text(c.old_name);
            if (w.title.empty())
                w.title = std::move(old);
            if (!attrs)
                continue; // destroyed while we were asking
            out.push_back(std::move(w));
        }
        return out;
    }

    int layer_of(const std::vector<std::uint32_t>& types, const std::vector<std::uint32_t>& states) const
    {
        for (std::uint32_t t : types) {
            if (t == m_atoms.type_desktop)
                return layer::DESKTOP;
            if (t == m_atoms.type_dock)
                return layer::DOCK;
            if (std::find(m_atoms.popup_types.begin(), m_atoms.popup_types.end(), t) != m_atoms.popup_types.end())
                return layer::POPUP;
        }
        if (std::find(states.begin(), states.end(), m_atoms.state_above) != states.end())
            return layer::FLOATING;
        return layer::NORMAL;
    }

    // --- pixels -------------------------------------------------------------

    void release_segment()
    {
        if (m_shm_addr) {
            xcb_shm_detach(m_conn, m_shm_seg);
            xcb_flush(m_conn);
            shmdt(m_shm_addr);
        }
        m_shm_addr = nullptr;
        m_shm_size = 0;
    }

    // A segment of at least `bytes`, attached on both sides. The segment
    // holds screen contents: only we may read it (0600), and it is marked
    // for removal as soon as the server has attached it, so it disappears
    // with the last detach even if we crash.
    bool ensure_segment(std::size_t bytes)
    {
        if (m_shm_addr && m_shm_size >= bytes)
            return true;
        release_segment();
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            return false;
        void* addr = shmat(id, nullptr, 0);
        if (addr == reinterpret_cast<void*>(-1)) {
            shmctl(id, IPC_RMID, nullptr);
            return false;
        }
        const xcb_shm_seg_t seg = xcb_generate_id(m_conn);
        auto err = own(xcb_request_check(m_conn, xcb_shm_attach_checked(m_conn, seg, static_cast<std::uint32_t>(id), 0)));
        shmctl(id, IPC_RMID, nullptr);
        if (err) {
            shmdt(addr);
            return false;
        }
        m_shm_addr = static_cast<std::uint8_t*>(addr);
        m_shm_size = bytes;
        m_shm_seg = seg;
        return true;
    }

    // Reads a rectangle of a drawable (coordinates in the drawable) as a
    // premultiplied ARGB image. Drawables without alpha come out opaque.
    ImageResult read_pixels(xcb_drawable_t drawable, const PixelRect& r, bool has_alpha)
    {
        QImage image(r.w, r.h, QImage::Format_ARGB32_Premultiplied);
        if (image.isNull())
            return std::unexpected(fmt::format("sin memoria para una imagen de {}×{}", r.w, r.h));
        const std::size_t bytes = static_cast<std::size_t>(r.w) * static_cast<std::size_t>(r.h) * 4;
        if (m_use_shm.load() && ensure_segment(bytes)) {
            xcb_generic_error_t* e = nullptr;
            auto reply = own(xcb_shm_get_image_reply(m_conn,
                xcb_shm_get_image(m_conn, drawable, static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y),
                    static_cast<std::uint16_t>(r.w), static_cast<std::uint16_t>(r.h), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP,
                    m_shm_seg, 0),
                &e));
            if (reply) {
                copy_pixels(m_shm_addr, static_cast<std::size_t>(r.w) * 4, image, has_alpha || reply->depth == 32);
                if (m_pool->held())
                    release_segment(); // kept for the next read only when nothing holds the pictures
                return image;
            }
            const int code = e ? e->error_code : 0;
            std::free(e);
            if (code != XCB_MATCH) {
                if (!m_shm_failed_logged.exchange(true))
                    util::log(fmt::format("captura: la memoria compartida falló (error X {}); uso GetImage", code));
                m_use_shm = false;
            }
            if (code != XCB_MATCH || m_pool->held())
                release_segment();
        }
        xcb_generic_error_t* e = nullptr;
        auto reply = own(xcb_get_image_reply(m_conn,
            xcb_get_image(m_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, static_cast<std::int16_t>(r.x),
                static_cast<std::int16_t>(r.y), static_cast<std::uint16_t>(r.w), static_cast<std::uint16_t>(r.h), ~0u),
            &e));
        if (!reply) {
            const int code = e ? e->error_code : 0;
            std::free(e);
            return std::unexpected(fmt::format("el servidor X no entregó la imagen (error {})", code));
        }
        if (static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < bytes)
            return std::unexpected(std::string("el servidor X entregó una imagen corta"));
        copy_pixels(xcb_get_image_data(reply.get()), static_cast<std::size_t>(r.w) * 4, image,
            has_alpha || reply->depth == 32);
        return image;
    }

    // A window's own pixels (its Composite pixmap), border included.
    ImageResult window_pixels(const TopLevel& top, const PixelRect& part)
    {
        const xcb_pixmap_t pixmap = xcb_generate_id(m_conn);
        auto err = own(xcb_request_check(m_conn, xcb_composite_name_window_pixmap_checked(m_conn, top.id, pixmap)));
        if (err)
            return std::unexpected(std::string("la ventana no tiene imagen propia"));
        auto image = read_pixels(pixmap, part, top.depth == 32);
        xcb_free_pixmap(m_conn, pixmap);
        return image;
    }

    ImageResult grab_window_now(const WindowGrab& grab)
    {
        std::lock_guard lock(m_conn_mutex);
        const xcb_window_t top_id = top_level_of(grab.window_id);
        if (!top_id)
            return std::unexpected(fmt::format("la ventana {} ya no existe", grab.window_id));
        std::optional<TopLevel> top;
        for (const auto& t : top_levels())
            if (t.id == top_id)
                top = t;
        if (!top || !top->viewable)
            return std::unexpected(fmt::format("la ventana {} no está en pantalla", grab.window_id));
        ImageResult image = m_caps.composite
            ? window_pixels(*top, { 0, 0, top->outer.w, top->outer.h })
            : std::unexpected(std::string());
        // Where the picture's first pixel lies on the root.
        PixelRect origin = top->outer;
        if (image) {
            // Its own pixels keep what it painted before it was cut: outside
            // its shape the picture is clear, as the window is on screen.
            std::vector<TopLevel> one { *top };
            read_shapes(one);
            if (one[0].shape) {
                QRegion kept;
                for (const PixelRect& r : *one[0].shape)
                    kept += QRect(r.x, r.y, r.w, r.h);
                QPainter painter(&*image);
                painter.setCompositionMode(QPainter::CompositionMode_Clear);
                painter.setClipRegion(QRegion(image->rect()).subtracted(kept));
                painter.fillRect(image->rect(), Qt::transparent);
            }
        } else {
            // Without a pixmap, what shows on screen is all there is.
            const PixelRect visible = intersect(top->outer, root_rect());
            if (visible.w <= 0 || visible.h <= 0)
                return std::unexpected(fmt::format("la ventana {} está fuera de la pantalla", grab.window_id));
            image = read_pixels(m_root.root, visible, false);
            if (!image)
                return image;
            origin = visible;
        }
        if (grab.part == WindowPart::Content && grab.window_id != top_id) {
            // The client window inside the window manager's frame: the title
            // bar and the borders are the frame's pixels, never the program's.
            const std::optional<PixelRect> area = client_area(grab.window_id);
            if (!area)
                return std::unexpected(fmt::format("la ventana {} ya no existe", grab.window_id));
            const QRect kept = QRect(area->x - origin.x, area->y - origin.y, area->w, area->h).intersected(image->rect());
            if (kept.isEmpty())
                return std::unexpected(fmt::format("la ventana {} está fuera de la pantalla", grab.window_id));
            *image = image->copy(kept);
        }
        if (grab.with_shadow) {
            std::lock_guard g(m_geometry_mutex);
            *image = with_window_shadow(*image, m_ratio);
        }
        return image;
    }

    // A window's own area (inside its border) on the root; none when it is gone.
    std::optional<PixelRect> client_area(xcb_window_t window)
    {
        const auto geometry = xcb_get_geometry(m_conn, window);
        const auto where = xcb_translate_coordinates(m_conn, window, m_root.root, 0, 0);
        auto g = own(xcb_get_geometry_reply(m_conn, geometry, nullptr));
        auto t = own(xcb_translate_coordinates_reply(m_conn, where, nullptr));
        if (!g || !t)
            return std::nullopt;
        return PixelRect { t->dst_x, t->dst_y, g->width, g->height };
    }

    // Paints over our own panels what lies under them: the desktop's
    // background, then every other top-level window's pixmap, bottom to top.
    void leave_out(QImage& image, const PixelRect& rect, const std::vector<std::uint32_t>& excluded)
    {
        const x11::Underlay plan = underlay_without(rect, excluded);
        paint_underlay(image, rect, plan);
    }

    x11::Underlay underlay_without(const PixelRect& rect, const std::vector<std::uint32_t>& excluded)
    {
        // A top-level is ours when it is one of our windows, or the window
        // manager's frame around one. A window of ours embedded in another
        // program's (the tray icon inside the tray) leaves that program's
        // window alone.
        const std::vector<xcb_window_t> ids(excluded.begin(), excluded.end());
        const auto managed_list = m_caps.window_manager
            ? values<std::uint32_t>(ask(m_root.root, m_atoms.client_list_stacking, XCB_ATOM_WINDOW, 16384))
            : std::vector<std::uint32_t> {};
        const std::set<xcb_window_t> managed(managed_list.begin(), managed_list.end());
        std::set<xcb_window_t> own_tops;
        const std::vector<xcb_window_t> tops_of = top_levels_of(ids);
        for (size_t i = 0; i < ids.size(); ++i)
            if (tops_of[i] && (tops_of[i] == ids[i] || managed.count(ids[i])))
                own_tops.insert(tops_of[i]);
        x11::Underlay plan;
        if (own_tops.empty())
            return plan;
        const std::vector<TopLevel> tops = top_levels();
        std::vector<TopLevel> ours;
        for (const auto& t : tops)
            if (own_tops.count(t.id) && t.viewable)
                ours.push_back(t);
        // A shaped panel covers only its shape: the outline of a whole-screen
        // recording spans the screen but is a thin frame, and repainting the
        // whole picture under it on every frame costs more than the frame.
        read_shapes(ours);
        for (const auto& t : ours) {
            if (!t.shape) {
                if (const PixelRect hole = intersect(t.outer, rect); hole.w > 0 && hole.h > 0)
                    plan.holes.push_back(hole);
                continue;
            }
            for (const PixelRect& r : *t.shape)
                if (const PixelRect hole = intersect({ t.outer.x + r.x, t.outer.y + r.y, r.w, r.h }, rect); hole.w > 0 && hole.h > 0)
                    plan.holes.push_back(hole);
        }
        if (plan.holes.empty())
            return plan;
        for (const auto& t : tops)
            if (t.viewable && t.input_output && !own_tops.count(t.id))
                plan.windows.push_back(t);
        read_shapes(plan.windows);
        set_backdrop(plan, tops);
        return plan;
    }

    // The bounding shapes of windows, asked for all at once.
    void read_shapes(std::vector<TopLevel>& windows)
    {
        std::vector<xcb_shape_query_extents_cookie_t> extents;
        extents.reserve(windows.size());
        for (const auto& t : windows)
            extents.push_back(xcb_shape_query_extents(m_conn, t.id));
        std::vector<std::optional<xcb_shape_get_rectangles_cookie_t>> rects(windows.size());
        for (std::size_t i = 0; i < windows.size(); ++i)
            if (auto e = own(xcb_shape_query_extents_reply(m_conn, extents[i], nullptr)); e && e->bounding_shaped)
                rects[i] = xcb_shape_get_rectangles(m_conn, windows[i].id, XCB_SHAPE_SK_BOUNDING);
        for (std::size_t i = 0; i < windows.size(); ++i) {
            if (!rects[i])
                continue;
            auto r = own(xcb_shape_get_rectangles_reply(m_conn, *rects[i], nullptr));
            if (!r)
                continue;
            // Shapes are given from the window's origin, inside its border.
            std::vector<PixelRect> shape;
            const xcb_rectangle_t* it = xcb_shape_get_rectangles_rectangles(r.get());
            for (int k = 0; k < xcb_shape_get_rectangles_rectangles_length(r.get()); ++k)
                shape.push_back({ it[k].x + windows[i].border, it[k].y + windows[i].border, it[k].width, it[k].height });
            windows[i].shape = std::move(shape);
        }
    }

    x11::Underlay underlay_of(const PixelRect& rect, const std::vector<std::uint32_t>& windows)
    {
        x11::Underlay plan;
        plan.holes = { rect };
        const std::vector<xcb_window_t> tops_of = top_levels_of(std::vector<xcb_window_t>(windows.begin(), windows.end()));
        const std::vector<TopLevel> tops = top_levels();
        set_backdrop(plan, tops);
        for (xcb_window_t id : tops_of)
            for (const auto& t : tops)
                if (id && t.id == id && t.viewable && t.input_output)
                    plan.windows.push_back(t);
        read_shapes(plan.windows);
        return plan;
    }

    std::uint32_t wallpaper()
    {
        const auto ids = values<std::uint32_t>(ask(m_root.root, m_atoms.root_pixmap, XCB_ATOM_PIXMAP, 1));
        return ids.empty() ? 0 : ids[0];
    }

    void set_backdrop(x11::Underlay& plan, const std::vector<TopLevel>& tops)
    {
        plan.wallpaper = wallpaper();
        if (plan.wallpaper)
            return;
        std::vector<TopLevel> standing;
        for (const auto& t : tops)
            if (t.viewable && t.input_output)
                standing.push_back(t);
        // A window cut to its shape covers only that: the keys-and-clicks
        // panel spans the screen but is cut to nothing between clicks.
        read_shapes(standing);
        plan.bare_tile = bare_tile(standing);
    }

    // A root set to a plain colour (or a pattern) keeps no pixmap to read,
    // and a compositor paints a backdrop of its own: either way the screen
    // shows it wherever no window stands. A block far enough from every
    // window that no shadow reaches it, aligned so that a pattern repeating
    // from the root's origin tiles on, stands for the whole desktop.
    QImage bare_tile(const std::vector<TopLevel>& standing)
    {
        constexpr int tile = 16;
        constexpr int margin = 48; // beyond a compositor's window shadows
        constexpr int edge = 16;   // where a clear panel draws its frame (the outline's dashes)
        constexpr int max_looks = 8;
        const bool composed = compositor_running();
        int looks = 0;
        const PixelRect root = root_rect();
        // Two passes: first only blocks well inside every clear window they
        // meet, then any. A clear panel as large as the screen (the outline
        // of a whole-screen recording) draws its frame along the screen's
        // edges, where the scan starts: looking there first would spend
        // every look on its dashes.
        for (const bool inside_first : { true, false })
            for (int y = 0; y + tile <= root.h; y += tile)
                for (int x = 0; x + tile <= root.w; x += tile) {
                    const PixelRect reach { x - margin, y - margin, tile + 2 * margin, tile + 2 * margin };
                    const auto meets = [&](const PixelRect& r) {
                        const PixelRect overlap = intersect(r, reach);
                        return overlap.w > 0 && overlap.h > 0;
                    };
                    std::vector<const TopLevel*> clear_there;
                    const bool covered = std::ranges::any_of(standing, [&](const TopLevel& t) {
                        if (t.shape)
                            return std::ranges::any_of(*t.shape, [&](const PixelRect& r) {
                                return meets({ t.outer.x + r.x, t.outer.y + r.y, r.w, r.h });
                            });
                        if (!meets(t.outer))
                            return false;
                        if (composed && t.depth == 32) {
                            clear_there.push_back(&t);
                            return false;
                        }
                        return true;
                    });
                    if (covered)
                        continue;
                    const bool off_frames = std::ranges::all_of(clear_there, [&](const TopLevel* t) {
                        const PixelRect inner { t->outer.x + edge, t->outer.y + edge, t->outer.w - 2 * edge, t->outer.h - 2 * edge };
                        return intersect(inner, reach) == reach;
                    });
                    if (inside_first && !off_frames)
                        continue;
                    // With a compositor a window with an alpha channel covers
                    // only what it paints: the keys-and-clicks panel spans the
                    // screen, clear between clicks. A few looks at such pixels
                    // at most; after them such windows cover what they meet.
                    const bool clear = std::ranges::all_of(clear_there, [&](const TopLevel* t) {
                        if (looks++ >= max_looks)
                            return false;
                        const PixelRect part = intersect(t->outer, reach);
                        const auto pixels = window_pixels(*t, { part.x - t->outer.x, part.y - t->outer.y, part.w, part.h });
                        return pixels && fully_clear(*pixels);
                    });
                    if (clear)
                        if (auto block = read_pixels(m_root.root, { x, y, tile, tile }, false))
                            return std::move(*block);
                }
        return {};
    }

    bool compositor_running()
    {
        auto owner = own(xcb_get_selection_owner_reply(m_conn, xcb_get_selection_owner(m_conn, m_atoms.compositor), nullptr));
        return owner && owner->owner != XCB_NONE;
    }

    static bool fully_clear(const QImage& image)
    {
        for (int y = 0; y < image.height(); ++y) {
            const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
            if (std::any_of(row, row + image.width(), [](QRgb p) { return qAlpha(p) != 0; }))
                return false;
        }
        return true;
    }

    void paint_underlay(QImage& image, const PixelRect& rect, const x11::Underlay& plan)
    {
        if (plan.holes.empty())
            return;
        if (!m_caps.composite) {
            if (!m_no_composite_logged.exchange(true))
                util::log("captura: sin Composite no puedo dejar fuera las ventanas propias");
            return;
        }
        std::int64_t area = 0;
        for (const PixelRect& hole : plan.holes)
            area += std::int64_t { hole.w } * hole.h;
        if (area <= SMALL_HOLES_AREA) {
            paint_small_holes(image, rect, plan);
            return;
        }
        for (const PixelRect& hole : plan.holes) {
            QImage patch(hole.w, hole.h, QImage::Format_ARGB32_Premultiplied);
            patch.fill(0xff000000u);
            QPainter painter(&patch);
            if (plan.wallpaper) {
                if (auto bg = read_pixels(plan.wallpaper, hole, false))
                    painter.drawImage(0, 0, *bg);
            } else if (!plan.bare_tile.isNull()) {
                painter.setBrushOrigin(-hole.x, -hole.y);
                painter.fillRect(patch.rect(), QBrush(plan.bare_tile));
            }
            for (const auto& t : plan.windows) {
                const PixelRect part = intersect(t.outer, hole);
                if (part.w <= 0 || part.h <= 0)
                    continue;
                auto pixels = window_pixels(t, { part.x - t.outer.x, part.y - t.outer.y, part.w, part.h });
                if (!pixels)
                    continue;
                if (t.shape) {
                    painter.setClipRegion(shape_in(t, hole));
                }
                painter.drawImage(part.x - hole.x, part.y - hole.y, *pixels);
                painter.setClipping(false);
            }
            painter.end();
            QPainter onto(&image);
            onto.setCompositionMode(QPainter::CompositionMode_Source);
            onto.drawImage(hole.x - rect.x, hole.y - rect.y, patch);
        }
    }

    // Up to this many pixels of holes, every piece is read in one batch.
    static constexpr std::int64_t SMALL_HOLES_AREA = 512 * 1024;

    // Small holes (a panel's frame cut to a few strips, the capsule) come in
    // many pieces, one per window each meets: reading them one by one costs
    // two round trips to the server a piece, more than the frame's own grab
    // on a busy server. Here every piece is asked for at once and the replies
    // are read after: one round trip for the lot.
    void paint_small_holes(QImage& image, const PixelRect& rect, const x11::Underlay& plan)
    {
        struct Piece {
            std::size_t hole;
            std::size_t window;
            PixelRect part; // root pixels
            xcb_get_image_cookie_t cookie;
        };
        std::vector<xcb_pixmap_t> pixmaps(plan.windows.size(), XCB_NONE);
        std::vector<xcb_void_cookie_t> named(plan.windows.size());
        std::vector<std::optional<xcb_get_image_cookie_t>> backdrops(plan.holes.size());
        std::vector<Piece> pieces;
        for (std::size_t h = 0; h < plan.holes.size(); ++h) {
            const PixelRect& hole = plan.holes[h];
            if (plan.wallpaper)
                backdrops[h] = xcb_get_image(m_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, plan.wallpaper, static_cast<std::int16_t>(hole.x),
                    static_cast<std::int16_t>(hole.y), static_cast<std::uint16_t>(hole.w), static_cast<std::uint16_t>(hole.h), ~0u);
            for (std::size_t w = 0; w < plan.windows.size(); ++w) {
                const TopLevel& t = plan.windows[w];
                const PixelRect part = intersect(t.outer, hole);
                if (part.w <= 0 || part.h <= 0)
                    continue;
                if (pixmaps[w] == XCB_NONE) {
                    pixmaps[w] = xcb_generate_id(m_conn);
                    named[w] = xcb_composite_name_window_pixmap_checked(m_conn, t.id, pixmaps[w]);
                }
                pieces.push_back({ h, w, part,
                    xcb_get_image(m_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmaps[w], static_cast<std::int16_t>(part.x - t.outer.x),
                        static_cast<std::int16_t>(part.y - t.outer.y), static_cast<std::uint16_t>(part.w),
                        static_cast<std::uint16_t>(part.h), ~0u) });
            }
        }
        // A reply as an image; none for a window gone meanwhile (its piece is skipped).
        auto take = [this](xcb_get_image_cookie_t cookie, const PixelRect& r, bool has_alpha) -> std::optional<QImage> {
            xcb_generic_error_t* e = nullptr;
            auto reply = own(xcb_get_image_reply(m_conn, cookie, &e));
            std::free(e);
            if (!reply || static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < std::size_t(r.w) * std::size_t(r.h) * 4)
                return std::nullopt;
            QImage pixels(r.w, r.h, QImage::Format_ARGB32_Premultiplied);
            if (pixels.isNull())
                return std::nullopt;
            copy_pixels(xcb_get_image_data(reply.get()), std::size_t(r.w) * 4, pixels, has_alpha || reply->depth == 32);
            return pixels;
        };
        std::size_t next = 0;
        QPainter onto(&image);
        onto.setCompositionMode(QPainter::CompositionMode_Source);
        for (std::size_t h = 0; h < plan.holes.size(); ++h) {
            const PixelRect& hole = plan.holes[h];
            QImage patch(hole.w, hole.h, QImage::Format_ARGB32_Premultiplied);
            patch.fill(0xff000000u);
            QPainter painter(&patch);
            if (backdrops[h]) {
                if (auto bg = take(*backdrops[h], { 0, 0, hole.w, hole.h }, false))
                    painter.drawImage(0, 0, *bg);
            } else if (!plan.bare_tile.isNull()) {
                painter.setBrushOrigin(-hole.x, -hole.y);
                painter.fillRect(patch.rect(), QBrush(plan.bare_tile));
            }
            for (; next < pieces.size() && pieces[next].hole == h; ++next) {
                const Piece& piece = pieces[next];
                const TopLevel& t = plan.windows[piece.window];
                auto pixels = take(piece.cookie, piece.part, t.depth == 32);
                if (!pixels)
                    continue;
                if (t.shape) {
                    painter.setClipRegion(shape_in(t, hole));
                }
                painter.drawImage(piece.part.x - hole.x, piece.part.y - hole.y, *pixels);
                painter.setClipping(false);
            }
            painter.end();
            onto.drawImage(hole.x - rect.x, hole.y - rect.y, patch);
        }
        // Every reply is in: the names' outcomes are known without a round trip.
        for (std::size_t w = 0; w < pixmaps.size(); ++w)
            if (pixmaps[w] != XCB_NONE)
                if (auto err = own(xcb_request_check(m_conn, named[w])); !err)
                    xcb_free_pixmap(m_conn, pixmaps[w]);
    }

    // --- the recorder's grab thread -----------------------------------------

public:
    PixelRect clip(const ShareableDisplay& display, const std::optional<RectF>& region) override
    {
        std::lock_guard lock(m_conn_mutex);
        return intersect(native_rect(display, region), root_rect());
    }

    ImageResult read_root(const PixelRect& rect) override
    {
        std::lock_guard lock(m_conn_mutex);
        if (auto in_place = read_root_in_place(rect))
            return std::move(*in_place);
        return read_pixels(m_root.root, rect, false);
    }

    x11::Underlay plan_leave_out(const PixelRect& rect, const std::vector<std::uint32_t>& excluded) override
    {
        std::lock_guard lock(m_conn_mutex);
        return underlay_without(rect, excluded);
    }

    x11::Underlay plan_windows(const PixelRect& rect, const std::vector<std::uint32_t>& windows) override
    {
        std::lock_guard lock(m_conn_mutex);
        return underlay_of(rect, windows);
    }

    void paint(QImage& image, const PixelRect& rect, const x11::Underlay& plan) override
    {
        std::lock_guard lock(m_conn_mutex);
        paint_underlay(image, rect, plan);
    }

    void ask_cursor() override
    {
        std::lock_guard lock(m_conn_mutex);
        if (!xfixes())
            return;
        if (m_cursor_asked)
            xcb_discard_reply(m_conn, m_cursor_asked->sequence);
        m_cursor_asked = xcb_xfixes_get_cursor_image(m_conn);
        xcb_flush(m_conn);
    }

    std::optional<x11::Cursor> cursor() override
    {
        std::lock_guard lock(m_conn_mutex);
        if (!xfixes())
            return std::nullopt;
        const xcb_xfixes_get_cursor_image_cookie_t cookie = m_cursor_asked ? *m_cursor_asked : xcb_xfixes_get_cursor_image(m_conn);
        m_cursor_asked.reset();
        auto reply = own(xcb_xfixes_get_cursor_image_reply(m_conn, cookie, nullptr));
        if (!reply || reply->width == 0 || reply->height == 0)
            return std::nullopt;
        // XFixes hands out premultiplied ARGB, one 32-bit value per pixel.
        QImage image(reinterpret_cast<const uchar*>(xcb_xfixes_get_cursor_image_cursor_image(reply.get())), reply->width,
            reply->height, QImage::Format_ARGB32_Premultiplied);
        return x11::Cursor { image.copy(), reply->x - reply->xhot, reply->y - reply->yhot };
    }

    bool broken() override { return xcb_connection_has_error(m_conn) != 0; }

    // Whether XFixes can give the pointer's image; with m_conn_mutex held.
    bool xfixes()
    {
        if (!m_xfixes_probed) {
            m_xfixes_probed = true;
            if (const auto* ext = xcb_get_extension_data(m_conn, &xcb_xfixes_id); ext && ext->present)
                m_xfixes = own(xcb_xfixes_query_version_reply(m_conn, xcb_xfixes_query_version(m_conn, 4, 0), nullptr)) != nullptr;
            if (!m_xfixes)
                util::log("grabación: sin XFixes; el puntero no sale en el video");
        }
        return m_xfixes;
    }

private:
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

    std::mutex m_jobs_mutex;
    std::condition_variable m_jobs_cv;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::thread m_worker;
};

} // namespace

std::expected<std::unique_ptr<ScreenCapture>, std::string> create_x11_screen_capture(X11CaptureOptions options)
{
    auto made = ScreenCaptureX11::create(options);
    if (!made)
        return std::unexpected(made.error());
    return std::unique_ptr<ScreenCapture>(std::move(*made));
}

std::expected<std::unique_ptr<x11::PixelSource>, std::string> x11::create_pixel_source(std::size_t keep_idle)
{
    auto made = ScreenCaptureX11::create({}, keep_idle);
    if (!made)
        return std::unexpected(made.error());
    return std::unique_ptr<x11::PixelSource>(std::move(*made));
}

} // namespace platform
