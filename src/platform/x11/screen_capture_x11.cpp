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
//
// The backend's other files: shm_segments_x11.cpp (segments),
// window_list_x11.cpp (the window tree), underlay_x11.cpp (what lies under
// the program's own panels); screen_capture_x11_parts.h is what they share.
#include "platform/panels.h"
#include "platform/screen_capture.h"
#include "platform/x11/screen_capture_x11_parts.h"

#include "base/util.h"
#include "base/util_parallel.h"
#include "base/util_queue.h"

#include <QGuiApplication>
#include <QPainter>
#include <QRegion>
#include <QWindow>

#include <xcb/composite.h>
#include <xcb/damage.h>

#include <poll.h>

#include <fmt/format.h>

#include <cstring>
#include <set>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace platform::x11 {

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

namespace {

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

} // namespace

std::expected<std::unique_ptr<ScreenCaptureX11>, std::string> ScreenCaptureX11::create(X11CaptureOptions options, std::size_t keep_segments)
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
    self->m_worker = std::make_unique<util::Worker>("vistrope-still", util::Worker::Refused::RunInline);
    return self;
}

ScreenCaptureX11::~ScreenCaptureX11()
{
    // Work not started yet is dropped: whoever asked for it is gone.
    m_worker.reset();
    release_segment();
    m_pool->close();
    xcb_disconnect(m_conn);
}

void ScreenCaptureX11::fetch_content(std::function<void(ContentResult)> done)
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

void ScreenCaptureX11::grab_display(DisplayGrab grab, std::function<void(ImageResult)> done)
{
    post([this, grab = std::move(grab), done = std::move(done)] { done(grab_display_now(grab)); });
}

void ScreenCaptureX11::grab_window(WindowGrab grab, std::function<void(ImageResult)> done)
{
    post([this, grab, done = std::move(done)] { done(grab_window_now(grab)); });
}

ImageResult ScreenCaptureX11::grab_display_now(const DisplayGrab& grab)
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

std::expected<std::vector<ShareableWindow>, std::string> ScreenCaptureX11::window_list()
{
    std::lock_guard lock(m_conn_mutex);
    return list_windows();
}

void ScreenCaptureX11::hold_idle(bool hold)
{
    m_pool->hold(hold);
    if (hold)
        post([this] {
            std::lock_guard lock(m_conn_mutex);
            release_segment();
        });
}

std::vector<std::uint32_t> ScreenCaptureX11::own_windows()
{
    util::require_main_thread("hilo principal");
    std::vector<std::uint32_t> ids;
    // A parked panel is mapped but shows nothing: nothing to leave out.
    for (QWindow* w : QGuiApplication::allWindows())
        if (w->isTopLevel() && w->isVisible() && w->handle() && !is_parked(w))
            ids.push_back(static_cast<std::uint32_t>(w->winId()));
    return ids;
}

void ScreenCaptureX11::after_screen_settles(std::function<void()> done)
{
    util::require_main_thread("hilo principal");
    // Our unmaps travel on Qt's connection: once it has made a round
    // trip, the server has carried them out.
    if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr)
        if (xcb_connection_t* qt = x11->connection())
            std::free(xcb_get_input_focus_reply(qt, xcb_get_input_focus(qt), nullptr));
    // The watch needs nothing of this backend, so it may outlive it. Without
    // a thread for it, `done` goes at once: the screen has had its round trip.
    auto shared = std::make_shared<std::function<void()>>(std::move(done));
    if (!util::start_detached("vistrope-settle", [shared] {
            wait_for_still_screen();
            util::on_main(std::move(*shared));
        }))
        util::on_main(std::move(*shared));
}

CaptureCapabilities ScreenCaptureX11::capabilities() const
{
    CaptureCapabilities caps = m_caps;
    caps.shared_memory = m_use_shm.load();
    return caps;
}

ScreenCaptureX11::ScreenCaptureX11(xcb_connection_t* conn, const xcb_screen_t& root, std::size_t keep_segments)
    : m_conn(conn)
    , m_root(root)
    , m_pool(std::make_shared<SegmentPool>(conn, keep_segments))
{
    intern_atoms();
}

void ScreenCaptureX11::post(std::function<void()> job)
{
    m_worker->post(std::move(job));
}

std::expected<void, std::string> ScreenCaptureX11::check_pixel_format()
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

void ScreenCaptureX11::probe_extensions(const X11CaptureOptions& options)
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
bool ScreenCaptureX11::setup_render()
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

// The root's pixels of `r`, drawn by the server into shared memory that
// the returned image wraps; none when this path is not available.
std::optional<QImage> ScreenCaptureX11::read_root_in_place(const PixelRect& r)
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

void ScreenCaptureX11::disable_render(const std::string& why)
{
    m_use_render = false;
    if (!m_render_failed_logged.exchange(true))
        util::log("captura: la copia directa con RENDER falló (" + why + "); uso GetImage");
}

void ScreenCaptureX11::update_geometry(const std::vector<ShareableDisplay>& displays)
{
    std::lock_guard lock(m_geometry_mutex);
    if (displays.empty())
        return;
    m_primary_height = displays.front().frame.h;
    m_ratio = displays.front().scale > 0 ? displays.front().scale : 1.0;
}

// The root's size now: it grows and shrinks with the monitors (RandR), so
// the size from the connection's setup is only the answer at start.
PixelRect ScreenCaptureX11::root_rect()
{
    auto geometry = own(xcb_get_geometry_reply(m_conn, xcb_get_geometry(m_conn, m_root.root), nullptr));
    if (geometry) {
        m_root.width_in_pixels = geometry->width;
        m_root.height_in_pixels = geometry->height;
    }
    return { 0, 0, m_root.width_in_pixels, m_root.height_in_pixels };
}

// Reads a rectangle of a drawable (coordinates in the drawable) as a
// premultiplied ARGB image. Drawables without alpha come out opaque.
ImageResult ScreenCaptureX11::read_pixels(xcb_drawable_t drawable, const PixelRect& r, bool has_alpha)
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
ImageResult ScreenCaptureX11::window_pixels(const TopLevel& top, const PixelRect& part)
{
    const xcb_pixmap_t pixmap = xcb_generate_id(m_conn);
    auto err = own(xcb_request_check(m_conn, xcb_composite_name_window_pixmap_checked(m_conn, top.id, pixmap)));
    if (err)
        return std::unexpected(std::string("la ventana no tiene imagen propia"));
    auto image = read_pixels(pixmap, part, top.depth == 32);
    xcb_free_pixmap(m_conn, pixmap);
    return image;
}

ImageResult ScreenCaptureX11::grab_window_now(const WindowGrab& grab)
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
std::optional<PixelRect> ScreenCaptureX11::client_area(xcb_window_t window)
{
    const auto geometry = xcb_get_geometry(m_conn, window);
    const auto where = xcb_translate_coordinates(m_conn, window, m_root.root, 0, 0);
    auto g = own(xcb_get_geometry_reply(m_conn, geometry, nullptr));
    auto t = own(xcb_translate_coordinates_reply(m_conn, where, nullptr));
    if (!g || !t)
        return std::nullopt;
    return PixelRect { t->dst_x, t->dst_y, g->width, g->height };
}

PixelRect ScreenCaptureX11::clip(const ShareableDisplay& display, const std::optional<RectF>& region)
{
    std::lock_guard lock(m_conn_mutex);
    return intersect(native_rect(display, region), root_rect());
}

ImageResult ScreenCaptureX11::read_root(const PixelRect& rect)
{
    std::lock_guard lock(m_conn_mutex);
    if (auto in_place = read_root_in_place(rect))
        return std::move(*in_place);
    return read_pixels(m_root.root, rect, false);
}

x11::Underlay ScreenCaptureX11::plan_leave_out(const PixelRect& rect, const std::vector<std::uint32_t>& excluded)
{
    std::lock_guard lock(m_conn_mutex);
    return underlay_without(rect, excluded);
}

x11::Underlay ScreenCaptureX11::plan_windows(const PixelRect& rect, const std::vector<std::uint32_t>& windows)
{
    std::lock_guard lock(m_conn_mutex);
    return underlay_of(rect, windows);
}

void ScreenCaptureX11::paint(QImage& image, const PixelRect& rect, const x11::Underlay& plan)
{
    std::lock_guard lock(m_conn_mutex);
    paint_underlay(image, rect, plan);
}

void ScreenCaptureX11::ask_cursor()
{
    std::lock_guard lock(m_conn_mutex);
    if (!xfixes())
        return;
    if (m_cursor_asked)
        xcb_discard_reply(m_conn, m_cursor_asked->sequence);
    m_cursor_asked = xcb_xfixes_get_cursor_image(m_conn);
    xcb_flush(m_conn);
}

std::optional<x11::Cursor> ScreenCaptureX11::cursor()
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

// Whether XFixes can give the pointer's image; with m_conn_mutex held.
bool ScreenCaptureX11::xfixes()
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

} // namespace platform::x11

namespace platform {

std::expected<std::unique_ptr<ScreenCapture>, std::string> create_x11_screen_capture(X11CaptureOptions options)
{
    auto made = x11::ScreenCaptureX11::create(options);
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
