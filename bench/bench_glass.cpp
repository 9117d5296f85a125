// The glass effects and the flash's painting, as ratios to one frame interval
// (16.7 ms) or to the upload's 0.12 s deadline.
//
// Inside the test session (scripts/x-session, Mesa's llvmpipe) it times the
// lens frame, the ring's strips against one full-screen ring pass, and the
// upload of a 4K picture; the flash painting runs anywhere. With --smoke
// (offscreen, CTest) the sizes are tiny, and the GPU part is skipped when
// there is no OpenGL.
#include "bench_common.h"

#include "base/config.h"
#include "base/state.h"
#include "capture/flash.h"
#include "capture/flash_paint.h"
#include "capture/flash_timeline.h"
#include "capture/glass/glass.h"
#include "capture/glass/ring.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QPainter>
#include <QWidget>

#include <cmath>
#include <ctime>
#include <vector>
#include <cstdio>

namespace {

constexpr double FRAME_MS = 1000.0 / 60;

QImage picture(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = qRgb((x * 7) & 255, (y * 5) & 255, ((x + y) * 3) & 255);
    }
    return image;
}

void report(const char* what, const bench::Timing& t, double reference_ms, const char* reference)
{
    std::printf("%-52s %8.2f ms (p99 %7.2f)  ratio %.2f of %s\n", what, t.median_ms, t.p99_ms, t.median_ms / reference_ms,
        reference);
}

void gpu_part(bool smoke)
{
    glass::prepare();
    glass::build();
    if (!glass::ready()) {
        std::printf("sin OpenGL: se omiten la lente, el anillo y la subida\n");
        return;
    }
    const auto gpu = glass::gpu();
    std::printf("GL_RENDERER: %s (%s)\n", gpu->renderer().c_str(), gpu->software() ? "software" : "hardware");
    auto made = gpu->context();
    if (!made) {
        std::printf("sin contexto: %s\n", made.error().c_str());
        return;
    }
    platform::GpuContext& context = **made;
    const int runs = smoke ? 1 : 15;

    // The lens: one frame (draw + readback) of a 1080p picture at its drawable size, and at 6 MP.
    {
        const int w = smoke ? 64 : 1920, h = smoke ? 36 : 1080;
        auto texture = glass::upload(context, picture(w, h));
        if (!texture)
            return;
        glass::Lens lens = glass::lens_uniforms(w, h, 0, w);
        lens.env = 0.7f;
        QImage out;
        const glass::PixelSize size = glass::drawable_size(w, h, gpu->software());
        const auto t = bench::time_runs(runs, [&] {
            (void)context.draw(platform::GpuProgram::Lens, **texture, glass::block(lens), size.w, size.h, std::nullopt, out);
        });
        char label[96];
        std::snprintf(label, sizeof label, "lens frame %d×%d → %d×%d", w, h, size.w, size.h);
        report(label, t, FRAME_MS, "a frame");
        if (!smoke) {
            const auto six = bench::time_runs(5, [&] {
                (void)context.draw(platform::GpuProgram::Lens, **texture, glass::block(lens), 3000, 2000, std::nullopt, out);
            });
            report("lens frame at 6 MP (3000×2000)", six, FRAME_MS, "a frame");
        }
    }
    // The upload of a frozen 4K screen.
    const int sw = smoke ? 96 : 3840, sh = smoke ? 54 : 2160;
    const QImage screen = picture(sw, sh);
    {
        const auto t = bench::time_runs(smoke ? 1 : 7, [&] { (void)glass::upload(context, screen); });
        report("upload of the frozen screen", t, 120, "the 0.12 s deadline");
    }
    // The ring: the band's strips of a 2400×1400-pixel window at scale 2, against one full-screen pass.
    {
        auto texture = glass::upload(context, screen);
        if (!texture)
            return;
        glass::Ring ring;
        const float scale = 2;
        ring.rect[0] = smoke ? 10 : 700, ring.rect[1] = smoke ? 8 : 380;
        ring.rect[2] = smoke ? 60 : 2400, ring.rect[3] = smoke ? 30 : 1400;
        ring.size[0] = static_cast<float>(sw), ring.size[1] = static_cast<float>(sh);
        ring.radius = 12 * scale, ring.width = 18 * scale, ring.alpha = 1, ring.scale = scale;
        const auto strips = glass::ring::band_strips({ ring.rect[0], ring.rect[1], ring.rect[2], ring.rect[3] }, scale, sw, sh);
        std::vector<QImage> outs(strips.size());
        const auto band = bench::time_runs(runs, [&] {
            for (std::size_t i = 0; i < strips.size(); ++i) {
                const QRect& r = strips[i];
                (void)context.draw(platform::GpuProgram::Ring, **texture, glass::block(ring), sw, sh,
                    platform::GpuRect { r.x(), r.y(), r.width(), r.height() }, outs[i]);
            }
        });
        QImage full;
        const auto whole = bench::time_runs(smoke ? 1 : 5, [&] {
            (void)context.draw(platform::GpuProgram::Ring, **texture, glass::block(ring), sw, sh, std::nullopt, full);
        });
        report("ring frame: the band's four strips", band, FRAME_MS, "a frame");
        report("ring frame: the whole screen (reference)", whole, FRAME_MS, "a frame");
        std::printf("%-52s %8.1f× faster\n", "strips against the whole screen", whole.median_ms / band.median_ms);
    }
}

void flash_part(bool smoke)
{
    for (const auto& [w, h] : { std::pair { 1920, 1080 }, std::pair { 3840, 2160 } }) {
        const int pw = smoke ? w / 20 : w, ph = smoke ? h / 20 : h;
        flash::PlanInput in;
        in.origin = { 0, 0, double(pw), double(ph) };
        const flash::Plan plan(in);
        flash::Painter painter(plan, picture(pw, ph));
        QImage target(static_cast<int>(plan.panel().w), static_cast<int>(plan.panel().h), QImage::Format_ARGB32_Premultiplied);
        const auto t = bench::time_runs(smoke ? 1 : 15, [&] {
            target.fill(Qt::transparent);
            QPainter p(&target);
            painter.paint(p, 0.12, 1, false);
        });
        char label[96];
        std::snprintf(label, sizeof label, "flash frame paint %d×%d (pulse + sheen)", pw, ph);
        report(label, t, FRAME_MS, "a frame");
        if (w == 3840) {
            const flash::Frame f = plan.at(0.12);
            const auto sheen = bench::time_runs(smoke ? 1 : 15, [&] {
                QPainter p(&target);
                painter.paint_sheen(p, f, 1);
            });
            report("the sheen alone at 4K", sheen, FRAME_MS, "a frame");
        }
    }
}

double cpu_seconds()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A whole flash flying into a card, every frame at 60 Hz painted into a
// panel-sized picture as the panel would be (cleared and painted where the
// carrier was and is): the CPU (every thread) it costs.
void flight_part(bool smoke)
{
    for (const auto& [w, h] : { std::pair { 1280, 720 }, std::pair { 1920, 1080 }, std::pair { 3840, 2160 } }) {
        const int pw = smoke ? w / 20 : w, ph = smoke ? h / 20 : h;
        flash::PlanInput in;
        in.origin = { 0, 0, double(pw), double(ph) };
        in.landing = platform::RectF { pw - 260.0, 20, 240, 240.0 * ph / pw };
        const flash::Plan plan(in);
        const QImage shot = picture(pw, ph);
        std::vector<double> runs;
        for (int run = 0; run < (smoke ? 1 : 5); ++run) {
            const double c0 = cpu_seconds();
            flash::Painter painter(plan, shot);
            QImage target(static_cast<int>(plan.panel().w), static_cast<int>(plan.panel().h),
                QImage::Format_ARGB32_Premultiplied);
            QRect dirty = target.rect();
            for (double t = 0; t <= plan.duration(); t += FRAME_MS / 1000) {
                // As the panel does: only where the carrier was and now is.
                const QRect now = painter.bounds(t).toAlignedRect().adjusted(-2, -2, 2, 2) & target.rect();
                QPainter p(&target);
                p.setClipRect(dirty | now);
                p.setCompositionMode(QPainter::CompositionMode_Source);
                p.fillRect(target.rect(), Qt::transparent);
                p.setCompositionMode(QPainter::CompositionMode_SourceOver);
                painter.paint(p, t, 1, false);
                dirty = now;
            }
            runs.push_back((cpu_seconds() - c0) * 1000);
        }
        char label[96];
        std::snprintf(label, sizeof label, "whole flight CPU %d×%d (%.2f s)", pw, ph, plan.duration());
        report(label, bench::summarize(runs), FRAME_MS, "a frame");
    }
}

// Notes when the watched widget first paints.
class FirstPaint final : public QObject {
public:
    QElapsedTimer clock;
    double ms = -1;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && ms < 0)
            ms = clock.nsecsElapsed() / 1e6;
        return false;
    }
};

// From flash::play to the flash panel's first paint, on the real panel.
void play_part(bool smoke)
{
    state::set_config(std::make_shared<config::Config>());
    flash::prewarm();
    QWidget* panel = flash::panel();
    const auto children = panel->findChildren<QWidget*>();
    if (children.isEmpty())
        return;
    for (const auto& [w, h] : { std::pair { 1920, 1080 }, std::pair { 3840, 2160 } }) {
        const int pw = smoke ? w / 20 : w, ph = smoke ? h / 20 : h;
        flash::Origin origin;
        origin.rect = { 0, 0, double(pw), double(ph) };
        origin.image = picture(pw, ph);
        std::vector<double> samples, calls;
        for (int run = 0; run < (smoke ? 1 : 5); ++run) {
            FirstPaint watch;
            children.front()->installEventFilter(&watch);
            watch.clock.start();
            flash::play(origin, std::nullopt);
            calls.push_back(watch.clock.nsecsElapsed() / 1e6);
            while (watch.ms < 0 && watch.clock.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            children.front()->removeEventFilter(&watch);
            if (watch.ms >= 0)
                samples.push_back(watch.ms);
            // Let the panel close before the next flash.
            while (panel->isVisible() && watch.clock.elapsed() < 3000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        char label[96];
        std::snprintf(label, sizeof label, "flash::play to the first paint %d×%d", pw, ph);
        report(label, bench::summarize(samples), FRAME_MS, "a frame");
        std::snprintf(label, sizeof label, "  of which the play call itself");
        report(label, bench::summarize(calls), FRAME_MS, "a frame");
    }
}

} // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::smoke(argc, argv);
    QApplication app(argc, argv);
    flash_part(smoke);
    flight_part(smoke);
    play_part(smoke);
    gpu_part(smoke);
    glass::reset_for_tests();
    return 0;
}
