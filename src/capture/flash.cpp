#include "capture/flash.h"

#include "ui/hud.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "capture/capture.h"
#include "capture/flash_paint.h"
#include "capture/glass/glass.h"
#include "platform/accessibility.h"
#include "platform/gpu.h"
#include "platform/panels.h"

#include <QElapsedTimer>
#include <QPaintEvent>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace flash {

namespace {

constexpr int FRAME_MS = 16; // 60 Hz

bool flash_setting() { return state::config()->after_capture.flash; }

// The time a test holds every flash at; none: each flash's own clock.
std::optional<double>& held_time()
{
    static std::optional<double> held;
    return held;
}

// Gives the panel's backing store and the halved pictures back KEEP_AFTER
// seconds after this close, unless another flash came meanwhile.
void release_later();

// The panel's content: paints the newest flash at the time its clock says.
class FlashView final : public QWidget {
public:
    explicit FlashView(QWidget* parent)
        : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(FRAME_MS);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { tick(); });
    }

    void start(Plan plan, std::optional<QImage> image, std::optional<std::uint64_t> lens_run)
    {
        m_painter = std::make_unique<Painter>(std::move(plan), std::move(image));
        m_lens_run = lens_run;
        m_clock.start();
        m_timer.start();
        m_dirty = rect();
        shape();
    }

    void clear()
    {
        m_timer.stop();
        m_painter.reset();
        m_lens_run.reset();
        window()->clearMask();
    }

    Painter* painter() { return m_painter.get(); }
    double elapsed() const
    {
        if (held_time())
            return *held_time();
        return m_clock.isValid() ? m_clock.nsecsElapsed() / 1e9 : 0;
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        if (!m_painter)
            return;
        QPainter p(this);
        // A window with alpha has what is repainted cleared by its backing
        // store before this paint; clearing it again cost a 4K frame
        // milliseconds.
        const QWindow* handle = window()->windowHandle();
        if (!handle || !handle->format().hasAlpha()) {
            p.setCompositionMode(QPainter::CompositionMode_Source);
            p.fillRect(rect(), Qt::transparent);
            p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        }
        // The lens's newest frame stands in for the picture; without one, the picture.
        if (m_lens_run)
            m_painter->set_lens_frame(glass::lens::newest_frame(*m_lens_run));
        m_painter->paint(p, elapsed(), devicePixelRatioF(), opaque_fades());
    }

private:
    // Without a compositor nothing is translucent: the window is cut to the
    // carrier and the picture shows whole until its fade ends.
    static bool opaque_fades() { return !platform::compositor_running(); }

    void tick()
    {
        if (!m_painter)
            return;
        const double t = elapsed();
        if (opaque_fades() && m_painter->plan().at(t).carrier_opacity <= 0) {
            // Nothing more shows: this is the close.
            window()->hide();
            clear();
            release_later();
            return;
        }
        if (t > m_painter->plan().duration() + 0.05)
            m_timer.stop();
        shape();
        // Only where the carrier was and now is: a flight into the card
        // leaves most of a screen-sized panel clear, and clearing, painting
        // and sending all of it every frame was most of a 4K flash's cost.
        const QRect now = m_painter->bounds(t).toAlignedRect().adjusted(-2, -2, 2, 2) & rect();
        update(m_dirty | now);
        m_dirty = now;
    }

    void shape()
    {
        if (!opaque_fades() || !m_painter)
            return;
        static bool logged = false;
        if (!logged) {
            logged = true;
            util::log("destello: sin compositor, el panel se recorta a la imagen");
        }
        window()->setMask(m_painter->carrier_region(elapsed()));
    }

    std::unique_ptr<Painter> m_painter;
    std::optional<std::uint64_t> m_lens_run;
    QTimer m_timer;
    QElapsedTimer m_clock;
    QRect m_dirty; // what the last frame painted
};

struct Flash {
    QWidget* panel = nullptr;
    FlashView* view = nullptr;
    std::uint64_t generation = 0;
};

Flash& flash_state()
{
    util::require_main_thread("hilo principal");
    static Flash f;
    return f;
}

// The panel's backing store (a screenful and the margin: 35 MB at 4K) and
// the flight's halved pictures stay a few seconds after a flash, for the next
// capture of a run: fresh memory that size is faulted in and cleared first,
// which cost a 4K flash more than its painting.
constexpr double KEEP_AFTER = 3.0;

void release_later()
{
    const std::uint64_t generation = flash_state().generation;
    util::after(KEEP_AFTER, [generation] {
        Flash& f = flash_state();
        if (f.generation != generation || !f.panel)
            return;
        platform::release_backing_store(f.panel);
        release_spare_pictures();
    });
}

// Closes flash `generation`, unless a newer one came meanwhile.
void close(std::uint64_t generation)
{
    Flash& f = flash_state();
    if (f.generation != generation || !f.panel || !f.view->painter())
        return;
    f.panel->hide();
    f.view->clear();
    release_later();
}

Flash& built()
{
    Flash& f = flash_state();
    if (!f.panel) {
        f.panel = hud::panel({ 0, 0, 100, 100 }, true);
        f.view = new FlashView(f.panel);
        f.view->setGeometry(0, 0, 100, 100);
    }
    return f;
}

void take_snapshot(std::uint32_t display_id, const std::optional<platform::RectF>& region, double scale,
    std::move_only_function<void(std::optional<Origin>)> done)
{
    capture::capture_display_with(
        display_id, region, true,
        [display_id, region, done = std::move(done)](std::optional<QImage> image) mutable {
            if (!image) {
                done(std::nullopt);
                return;
            }
            done(Origin::on_display(display_id, region, std::move(image)));
        },
        scale);
}

} // namespace

std::optional<Origin> Origin::on_display(std::uint32_t display_id, const std::optional<platform::RectF>& region,
    std::optional<QImage> image)
{
    util::require_main_thread("hilo principal");
    for (const platform::Screen& screen : platform::screens()) {
        if (screen.display_id != display_id)
            continue;
        const platform::RectF& f = screen.frame;
        Origin origin;
        origin.rect = region ? platform::rect_from_display(f, *region) : f;
        origin.image = std::move(image);
        origin.corner_radius = 0;
        return origin;
    }
    return std::nullopt;
}

std::optional<double> landing_delay(const Origin& origin)
{
    util::require_main_thread("hilo principal");
    LandingQuestion q;
    q.flash_on = flash_setting();
    q.w = origin.rect.w;
    q.h = origin.rect.h;
    q.has_image = origin.image.has_value() && !origin.image->isNull();
    q.reduce_motion = platform::accessibility().reduce_motion;
    const platform::PointF mouse = platform::pointer_location();
    if (auto screen = platform::screen_for_point(mouse.x, mouse.y))
        q.pointer_display = platform::screen_display_id(*screen);
    if (auto screen = platform::screen_for_point(origin.rect.x + origin.rect.w / 2, origin.rect.y + origin.rect.h / 2))
        q.origin_display = platform::screen_display_id(*screen);
    return flash::landing_delay(q);
}

void play(const Origin& origin, std::optional<platform::RectF> landing)
{
    util::require_main_thread("hilo principal");
    if (!flash_setting())
        return;
    if (!(origin.rect.w >= MIN_SIDE) || !(origin.rect.h >= MIN_SIDE))
        return;
    Flash& f = built();
    const std::uint64_t generation = ++f.generation;

    const bool has_image = origin.image.has_value() && !origin.image->isNull();
    PlanInput in;
    in.origin = origin.rect;
    in.corner_radius = origin.corner_radius;
    in.landing = landing;
    in.reduce_motion = platform::accessibility().reduce_motion;
    in.plain = in.reduce_motion || !has_image;
    std::optional<std::uint64_t> lens_run;
    if (!in.plain) {
        const double w = origin.rect.w, h = origin.rect.h;
        const double radius = std::max(0.0, std::min({ origin.corner_radius, w / 2, h / 2 }));
        lens_run = glass::lens::play(radius, 0.4, *origin.image, { 0, 0, w, h });
    }
    in.lens = lens_run.has_value();
    Plan plan(in);

    const QRect frame = platform::window_rect(plan.panel());
    f.panel->setGeometry(frame);
    f.view->setGeometry(0, 0, frame.width(), frame.height());
    f.view->start(std::move(plan), in.plain ? std::nullopt : origin.image, lens_run);
    f.panel->show();
    f.panel->raise();
    platform::restack_panels();
    f.view->update();

    util::after(CLOSE_AFTER, [generation] {
        // A test holding the time closes the flash itself by moving it on.
        if (!held_time() || *held_time() >= CLOSE_AFTER)
            close(generation);
    });
}

void prewarm()
{
    util::require_main_thread("hilo principal");
    built();
}

void prepare_glass()
{
    util::require_main_thread("hilo principal");
    // Unasked until the first action; then the child's answer says whether
    // GL is used at all.
    enum class Road { Unasked, Asking, Plain, Gl };
    static Road road = Road::Unasked;
    if (road == Road::Gl) {
        // Given back after an idle spell: built again ahead of this action's flash.
        if (!glass::ready())
            util::in_background([] { glass::build(); });
        return;
    }
    if (road != Road::Unasked)
        return;
    road = Road::Asking;
    // A child process says first which renderer GL would use. On a software
    // renderer the effects stay plain and its driver never loads here:
    // llvmpipe kept some sixty megabytes of compiler resident for good, and
    // drawing the lens on the CPU cost more than the capture it confirmed.
    // Elsewhere the surface loads the GL driver (tens of milliseconds),
    // which must happen on this thread: a moment after the action that
    // asked, so its panels map and its picture is taken first. Compiling the
    // programs happens in the background.
    util::after(0.3, [] {
        util::in_utility([] {
            std::optional<std::string> renderer = platform::probe_renderer();
            util::on_main([renderer = std::move(renderer)] {
                if (renderer && platform::software_renderer(*renderer)) {
                    road = Road::Plain;
                    util::log("vidrio: " + *renderer + " dibuja en la CPU; los efectos se dibujan sin GL");
                    return;
                }
                road = Road::Gl;
                glass::prepare();
                util::in_background([] { glass::build(); });
            });
        });
    });
}

void snapshot(std::uint32_t display_id, const std::optional<platform::RectF>& region, double scale)
{
    util::require_main_thread("hilo principal");
    if (!flash_setting())
        return;
    take_snapshot(display_id, region, scale, [](std::optional<Origin> origin) {
        if (origin)
            play(*origin, std::nullopt);
    });
}

void snapshot(std::uint32_t display_id, const std::optional<platform::RectF>& region, double scale,
    std::move_only_function<void(std::optional<Origin>)> done)
{
    util::require_main_thread("hilo principal");
    if (!flash_setting()) {
        done(std::nullopt);
        return;
    }
    take_snapshot(display_id, region, scale, std::move(done));
}

QWidget* panel() { return flash_state().panel; }

std::uint64_t generation() { return flash_state().generation; }

std::optional<Plan> current_plan()
{
    Flash& f = flash_state();
    if (!f.view || !f.view->painter())
        return std::nullopt;
    return f.view->painter()->plan();
}

void hold_time_for_tests(std::optional<double> seconds)
{
    held_time() = seconds;
    Flash& f = flash_state();
    if (f.view && f.view->painter() && f.view->elapsed() >= CLOSE_AFTER)
        close(f.generation);
}

QImage paint_at(double seconds, double pixel_ratio)
{
    Flash& f = flash_state();
    if (!f.view || !f.view->painter())
        return {};
    Painter& painter = *f.view->painter();
    const platform::RectF& panel = painter.plan().panel();
    QImage out(static_cast<int>(std::ceil(panel.w * pixel_ratio)), static_cast<int>(std::ceil(panel.h * pixel_ratio)),
        QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(pixel_ratio);
    out.fill(Qt::transparent);
    QPainter p(&out);
    painter.paint(p, seconds, pixel_ratio, false);
    return out;
}

} // namespace flash
