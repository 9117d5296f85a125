#include "scroll/scroll_session.h"

#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "capture/flash.h"
#include "capture/overlay_geometry.h"

#include <QApplication>

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <new>

namespace scroll {

namespace {

// On the heap: the session owns a grab thread and panels, which must end
// while the application exists (app::close_windows cancels it), never in the
// static destructors.
std::optional<Session>& g_session = *new std::optional<Session>();
std::uint64_t g_next_id = 1;
bool g_include_self = false;

bool debug_on()
{
    static const bool on = std::getenv("VISTROPE_SCROLL_DEBUG") != nullptr;
    return on;
}

double elapsed_ms(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// One frame's news for the main thread.
struct Report {
    stitch::Step step;
    std::uint64_t frames = 0;
    QImage preview;
    std::uint32_t lost_streak = 0;
};

void apply(std::uint64_t id, const Report& report);

// The stream's screen output and listener: hands every frame to the relay,
// which copies the borrowed pixels, and returns to the grab.
class Receiver final : public platform::StreamOutput, public platform::StreamListener {
public:
    explicit Receiver(std::shared_ptr<Engine> engine)
        : m_engine(std::move(engine))
    {
    }

    void stream_output(platform::StreamOutputType) override { }

    void screen_frame(const platform::ScreenFrame& f) override
    {
        if (!f.data || f.width == 0 || f.height == 0)
            return;
        const auto entered = Clock::now();
        const stitch::Frame frame { { f.data, f.stride * (f.height - 1) + std::size_t(f.width) * 4 }, f.width, f.height,
            f.stride };
        bool taken = false;
        try {
            taken = m_engine->relay.offer(frame);
        } catch (const std::bad_alloc&) {
            util::on_main([id = m_engine->id] { fail(id, "sin memoria para unir la captura"); });
            return;
        }
        if (!taken)
            return; // finishing
        const float ms = float(elapsed_ms(entered));
        std::lock_guard lock(m_engine->listener_mutex);
        m_engine->listener_ms.push_back(ms);
    }

    void stream_stopped(const std::string& error) override
    {
        util::on_main([id = m_engine->id, error] { fail(id, fmt::format("el stream se detuvo: {}", error)); });
    }

private:
    const std::shared_ptr<Engine> m_engine;
};

// Hides the windows, drops the key monitors and stops the stream.
void teardown(Session& s)
{
    hide_ui(s.ui);
    s.grabs.reset(); // releases the keys' grabs
    if (s.keys)
        s.keys->stop();
    s.keys.reset();
    s.local_keys.reset();
    if (s.stream) {
        s.stream->stop([](std::optional<std::string>) { });
        // Dropping it waits for the grab thread, which may be asleep until
        // its next slot: the stitcher's last frames and the final image do
        // not wait for that.
        util::in_background([stream = std::shared_ptr<platform::CaptureStream>(std::move(s.stream))]() mutable {
            stream.reset();
        });
    }
}

std::optional<Session> take()
{
    std::optional<Session> s = std::move(g_session);
    g_session.reset();
    return s;
}

void prepare(std::uint64_t id, capture::Content content, bool /*retried*/)
{
    Session* s = live(id);
    if (!s)
        return;
    if (!content)
        return fail(id, "el servidor X no dio sus pantallas");
    const platform::ShareableDisplay* display = capture::find_display(*content, s->display_id);
    if (!display)
        return fail(id, fmt::format("no encontré la pantalla {}", s->display_id));

    platform::ContentFilter filter;
    filter.kind = platform::ContentFilter::Kind::Display;
    filter.display = *display;
    // This process is left out by its pid, listed or not: with no window of
    // ours mapped yet it is not among the shareable applications, and the
    // stream reads the window list again as our panels appear.
    if (!g_include_self)
        filter.excluded_applications.push_back(::getpid());

    platform::StreamConfiguration c;
    c.source_rect = s->region;
    // The frames keep the region's own size in pixels; the configured size is
    // what a recording output would scale to, which wants even numbers.
    auto even = [](double v) { return std::max<std::uint32_t>(2, static_cast<std::uint32_t>(std::lround(v / 2)) * 2); };
    c.width = even(s->region.w * s->scale);
    c.height = even(s->region.h * s->scale);
    c.minimum_frame_interval = { 1, 30 };
    c.queue_depth = 4;
    c.shows_cursor = false;
    const std::uint32_t width = static_cast<std::uint32_t>(std::lround(s->region.w * s->scale));
    const std::uint32_t height = static_cast<std::uint32_t>(std::lround(s->region.h * s->scale));

    auto receiver = std::make_shared<Receiver>(s->engine);
    auto stream = services().create_stream(std::move(filter), c, receiver);
    if (!stream)
        return fail(id, fmt::format("no pude empezar a capturar: {}", stream.error()));
    if (auto added = (*stream)->add_stream_output(receiver, platform::StreamOutputType::Screen); !added)
        return fail(id, fmt::format("no pude añadir la salida de la captura: {}", added.error()));
    (*stream)->start([id](std::optional<std::string> error) {
        if (error)
            util::on_main([id, e = *error] { fail(id, fmt::format("no pude empezar a capturar: {}", e)); });
    });
    s = live(id);
    if (!s) {
        (*stream)->stop([](std::optional<std::string>) { });
        return;
    }
    s->stopwatch->lap(fmt::format("stream listo, {}×{} px", width, height));
    s->stream = std::move(*stream);
}

void apply(std::uint64_t id, const Report& report)
{
    Session* s = live(id);
    if (!s)
        return;
    s->frames = report.frames;
    s->slow = report.lost_streak >= 2;
    auto_report(*s, report.step, report.lost_streak);
    if (!report.preview.isNull() && s->ui.preview)
        show_preview(*s, report.preview);
    refresh_ui(id);
    if (report.step.kind == stitch::Step::Kind::Full) {
        hud::toast_through(services().toast, "arrow.down.to.line", "Se alcanzó el largo máximo", 1.4);
        finish();
    }
}

constexpr double ALONE_TOAST_SECONDS = 2.0;
constexpr std::string_view UNJOINED_TEXT = "No se pudo unir el desplazamiento";
constexpr std::string_view STILL_TEXT = "La página no se movió: se guardó una sola pantalla";

// Finishes the stitcher off the main thread and delivers the image.
void stitch_job(std::shared_ptr<Engine> engine, std::optional<flash::Origin> origin, double scale,
    util::Stopwatch stopwatch)
{
    util::in_background([engine = std::move(engine), origin = std::move(origin), scale, stopwatch] {
        // The frames grabbed before the end was asked for are still stitched.
        engine->relay.close();
        std::optional<stitch::Stitcher> stitcher;
        bool failed = false;
        {
            std::lock_guard lock(engine->mutex);
            util::log(fmt::format("desplazamiento: {} cuadros, {:.2f} ms de media, {:.2f} ms el peor", engine->frames,
                engine->total_ms / double(std::max<std::uint64_t>(engine->frames, 1)), engine->worst_ms));
            stitcher = std::move(engine->stitcher);
            engine->stitcher.reset();
            failed = engine->failed;
        }
        QImage image;
        // One screen only: either frames changed but never joined the first
        // (the page moved in a way the search could not follow), or nothing
        // ever moved (a page that does not scroll, a wheel that did nothing).
        // Either way the picture is the first screen, and the user is told
        // which before it comes, not handed it as a plain success.
        std::optional<std::string_view> alone;
        if (stitcher && stitcher->frames() == 1) {
            if (stitcher->unjoined() > 0) {
                util::log(fmt::format("desplazamiento: ningún cuadro se unió; {} cuadros, {} cambiaron sin poder unirse",
                    engine->frames, stitcher->unjoined()));
                alone = UNJOINED_TEXT;
            } else {
                util::log(fmt::format("desplazamiento: la página no se movió en {} cuadros", engine->frames));
                alone = STILL_TEXT;
            }
        }
        if (stitcher && !failed) {
            try {
                if (auto done = std::move(*stitcher).finish()) {
                    stopwatch.lap(fmt::format("imagen unida de {}×{} px", done->width, done->height));
                    image = make_image(done->pixels.release(), done->width, done->height);
                }
            } catch (const std::bad_alloc&) {
                util::log("desplazamiento: sin memoria para la imagen unida");
            }
        }
        util::on_main([image, origin, scale, stopwatch, failed, alone] {
            if (failed)
                return; // the session's failure said so already
            if (image.isNull()) {
                hud::toast_through(services().toast, "exclamationmark.triangle", "No hubo nada que capturar", 1.4);
                return;
            }
            if (!alone) {
                services().deliver(output::Shot { origin, image, scale, output::Kind::Scrolling }, stopwatch);
                return;
            }
            // The first screen follows once the toast has been read: the
            // delivery's own panels would cover it at once.
            hud::toast_through(services().toast, "exclamationmark.triangle", *alone, ALONE_TOAST_SECONDS);
            util::after(ALONE_TOAST_SECONDS, [image, origin, scale, stopwatch] {
                services().deliver(output::Shot { origin, image, scale, output::Kind::Scrolling }, stopwatch);
            });
        });
    });
}

} // namespace

Engine::Engine(std::uint64_t session_id, std::uint32_t preview_width)
    : id(session_id)
    , preview(preview_width)
    , relay(4, std::size_t(64) << 20, "vistrope-stitch", [this](const stitch::Frame& frame) { stitch_frame(*this, frame); })
{
}

void stitch_frame(Engine& e, const stitch::Frame& frame)
{
    Report report;
    {
        std::lock_guard lock(e.mutex);
        if (!e.stitcher || e.failed)
            return; // finishing, or out of memory already
        const auto t0 = Clock::now();
        try {
            report.step = e.stitcher->push(frame);
        } catch (const std::bad_alloc&) {
            // Hundreds of megabytes of rows may not fit; the session fails,
            // the process goes on.
            e.failed = true;
            util::on_main([id = e.id] { fail(id, "sin memoria para unir la captura"); });
            return;
        }
        const double ms = elapsed_ms(t0);
        e.frames += 1;
        e.total_ms += ms;
        e.worst_ms = std::max(e.worst_ms, ms);
        e.push_ms.push_back(float(ms));
        e.lost_streak = report.step.kind == stitch::Step::Kind::Lost ? e.lost_streak + 1 : 0;
        if (debug_on())
            util::log(fmt::format("cuadro {}: {} en {:.2f} ms, largo {} px", e.stitcher->frames(),
                stitch::debug_text(report.step), ms, e.stitcher->length()));
        const auto kind = report.step.kind;
        if ((kind == stitch::Step::Kind::Moved || kind == stitch::Step::Kind::Full) && e.preview.update(*e.stitcher)) {
            stitch::Image image = e.preview.image();
            report.preview = make_image(image.pixels.release(), image.width, image.height);
        }
        report.frames = e.stitcher->frames();
        report.lost_streak = e.lost_streak;
    }
    switch (report.step.kind) {
    case stitch::Step::Kind::Unchanged:
    case stitch::Step::Kind::Mismatch:
        return;
    default:
        util::on_main([id = e.id, report = std::move(report)] { apply(id, report); });
    }
}

namespace {

Services real_services()
{
    Services s;
    s.with_content = [](std::move_only_function<void(capture::Content, bool)> k) { capture::with_content(std::move(k)); };
    s.refresh_content = [](capture::Waiter w) { capture::refresh(std::move(w)); };
    s.create_stream = [](platform::ContentFilter f, platform::StreamConfiguration c,
                          std::shared_ptr<platform::StreamListener> l) {
        return platform::create_capture_stream(std::move(f), std::move(c), std::move(l));
    };
    s.create_hot_keys = [] { return platform::create_x11_hot_keys(); };
    s.create_raw_input = [] { return platform::create_raw_input(); };
    s.still = [](std::uint32_t display, platform::RectF region, double scale, capture::Completion done) {
        capture::capture_display_with(display, region, true, std::move(done), scale);
    };
    s.deliver = [](output::Shot shot, util::Stopwatch sw) { output::deliver(std::move(shot), std::move(sw)); };
    s.flash_on = [] { return state::config()->after_capture.flash; };
    s.accessibility_trusted = [] { return platform::accessibility_trusted(); };
    s.post_scroll = [](platform::RectF rect, double delta) { platform::post_wheel(rect, delta); };
    s.now = [] { return Clock::now(); };
    s.own_window_focused = [] { return QApplication::activeWindow() != nullptr || QApplication::focusWindow() != nullptr; };
    return s;
}

Services g_services = real_services();

} // namespace

Services& services()
{
    return g_services;
}

void reset_services()
{
    g_services = real_services();
}

Session* live()
{
    return g_session ? &*g_session : nullptr;
}

Session* live(std::uint64_t id)
{
    return g_session && g_session->id == id ? &*g_session : nullptr;
}

void set_include_self(bool include)
{
    g_include_self = include;
}

double initial_step(double height)
{
    return std::clamp(0.22 * height, 24.0, 400.0);
}

QImage make_image(std::uint8_t* bytes, std::uint32_t width, std::uint32_t height)
{
    if (!bytes || width == 0 || height == 0) {
        std::free(bytes);
        return {};
    }
    QImage image(bytes, int(width), int(height), qsizetype(width) * 4, QImage::Format_ARGB32_Premultiplied,
        [](void* p) { std::free(p); }, bytes);
    if (image.isNull())
        std::free(bytes);
    return image;
}

void start(std::uint32_t display_id, platform::RectF region, double scale)
{
    if (!util::is_main_thread() || g_session)
        return;
    std::optional<platform::Screen> screen;
    for (const platform::Screen& s : platform::screens())
        if (platform::screen_display_id(s) == display_id)
            screen = s;
    if (!screen) {
        util::log(fmt::format("no encontré la pantalla {}", display_id));
        return;
    }
    // An empty region, or one wholly off the display, never reaches the
    // display server.
    const auto on_screen = capture::clip_region(region, screen->frame.w, screen->frame.h);
    if (!on_screen || std::lround(on_screen->w * scale) < 1 || std::lround(on_screen->h * scale) < 1) {
        util::log(fmt::format("desplazamiento: la región ({:.1f}, {:.1f}, {:.1f}, {:.1f}) está vacía o fuera de la pantalla",
            region.x, region.y, region.w, region.h));
        return;
    }
    region = *on_screen;

    Session s;
    s.id = g_next_id++;
    s.stopwatch.emplace("desplazamiento");
    s.region = region;
    s.scale = scale;
    s.display_id = display_id;
    s.screen_rect = platform::rect_from_display(screen->frame, region);
    s.ui = build_ui(s.screen_rect, screen->visible_frame);
    s.engine = std::make_shared<Engine>(s.id, static_cast<std::uint32_t>(scale * 92));
    s.step = initial_step(region.h);
    s.last_progress = services().now();
    g_session = std::move(s);
    install_keys(*g_session);
    const std::uint64_t id = g_session->id;
    refresh_ui(id);
    services().with_content([id](capture::Content content, bool) { prepare(id, std::move(content), false); });
}

void start_in_global(platform::RectF r)
{
    const auto screen = platform::screen_for_point(r.x + r.w / 2, r.y + r.h / 2);
    if (!screen)
        return;
    const double x0 = std::max(r.x, screen->frame.x);
    const double x1 = std::min(r.x + r.w, screen->frame.x + screen->frame.w);
    const double y0 = std::max(r.y, screen->frame.y);
    const double y1 = std::min(r.y + r.h, screen->frame.y + screen->frame.h);
    // An empty clip goes on as it is: start refuses it.
    start(platform::screen_display_id(*screen), platform::rect_to_display(screen->frame, { x0, y0, x1 - x0, y1 - y0 }),
        screen->scale);
}

bool running()
{
    return g_session.has_value();
}

std::optional<Status> status()
{
    if (!g_session)
        return std::nullopt;
    const Session& s = *g_session;
    return Status { s.id, s.frames, s.slow, s.auto_scroll, s.step, s.screen_rect, s.stream != nullptr };
}

std::optional<Measurements> measurements()
{
    if (!g_session)
        return std::nullopt;
    Engine& e = *g_session->engine;
    Measurements m;
    {
        std::lock_guard lock(e.mutex);
        m.frames = e.frames;
        m.push_ms = e.push_ms;
    }
    std::lock_guard lock(e.listener_mutex);
    m.listener_ms = e.listener_ms;
    return m;
}

void finish()
{
    std::optional<Session> s = take();
    if (!s)
        return;
    teardown(*s);
    std::shared_ptr<Engine> engine = s->engine;
    const std::uint32_t display = s->display_id;
    const platform::RectF region = s->region;
    const double scale = s->scale;
    util::Stopwatch stopwatch = *s->stopwatch;
    s.reset(); // windows, monitors and stream go now
    if (!services().flash_on()) {
        stitch_job(std::move(engine), std::nullopt, scale, stopwatch);
        return;
    }
    services().still(display, region, scale, [engine, display, region, scale, stopwatch](std::optional<QImage> image) {
        std::optional<flash::Origin> origin;
        if (image)
            origin = flash::Origin::on_display(display, region, std::move(image));
        stitch_job(engine, std::move(origin), scale, stopwatch);
    });
}

void cancel()
{
    std::optional<Session> s = take();
    if (!s)
        return;
    teardown(*s);
    s.reset();
    hud::toast_through(services().toast, "xmark.circle", "Captura cancelada", 1.2);
}

void fail(std::uint64_t id, const std::string& message)
{
    util::log(message);
    if (!live(id))
        return;
    std::optional<Session> s = take();
    teardown(*s);
    s.reset();
    hud::toast_through(services().toast, "exclamationmark.triangle", "No se pudo capturar", 1.6);
}

} // namespace scroll
