// The selection overlay's two hot paths:
//  1. opening: from begin() to the first panel on screen, against one
//     full-screen grab plus one full repaint of a panel (the least any
//     opening over a fresh picture of the screen can cost); openings in a
//     run, then after an idle spell (panels' picture memory given back);
//  2. a pointer move: only the changed rectangles repainted, against a full
//     repaint of the panel per move.
// Inside the test session (DISPLAY set, xcb) it grabs the real screen; with
// the offscreen platform (--smoke in CTest) a fake capture stands in.
#include "bench_common.h"

#include "app/app.h"

#include "capture/capture.h"
#include "capture/overlay.h"
#include "capture/overlay_view.h"
#include "platform/fake/screen_capture_fake.h"
#include "platform/panels.h"
#include "base/state.h"
#include "base/util.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

double now_ms()
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

platform::ScreenCaptureFake* g_fake = nullptr;

// Turns the event loop until `done` or the timeout.
bool spin_until(const std::function<bool()>& done, int timeout_ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (g_fake)
            while (g_fake->pending_fetches() > 0)
                g_fake->answer_fetch();
        if (t.elapsed() > timeout_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void close_session()
{
    overlay::cancel();
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::smoke(argc, argv);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    // The wiring between the floors, as the program has it (the selector's roads among it).
    app::install_listeners();
    const bool real = QGuiApplication::platformName() == QLatin1String("xcb");

    platform::ScreenCaptureFake* fake = nullptr;
    if (!real) {
        auto f = std::make_unique<platform::ScreenCaptureFake>();
        f->content.displays = platform::shareable_displays();
        f->fill = QColor(40, 90, 160);
        // The program is listed, so captures that leave it out need no second fetch.
        f->content.applications.push_back({ static_cast<std::int64_t>(QCoreApplication::applicationPid()) });
        fake = f.get();
        g_fake = fake;
        capture::set_backend(std::move(f));
        capture::refresh();
        fake->answer_fetch();
    }
    overlay::prewarm();
    if (overlay::panels().empty()) {
        std::fprintf(stderr, "bench_overlay: no screen\n");
        return 1;
    }
    VistropeOverlayWindow* panel = overlay::panels().front();
    const auto& st = panel->state();
    const int width_px = static_cast<int>(st.frame.w * st.scale);
    const int height_px = static_cast<int>(st.frame.h * st.scale);
    std::printf("overlay on %s, %dx%d pixels at scale %.2f\n", real ? "X11" : "offscreen (fake capture)", width_px, height_px, st.scale);
    const int runs = smoke ? 1 : 15;

    // Reference 1: one full-screen grab.
    platform::DisplayGrab grab;
    grab.display = platform::shareable_displays().front();
    grab.width = static_cast<std::uint32_t>(width_px);
    grab.height = static_cast<std::uint32_t>(height_px);
    const bench::Timing grab_t = bench::time_runs(runs, [&] {
        auto image = capture::backend().grab_display_now(grab);
        if (!image)
            util::fatal("la captura de referencia falló");
    });

    // Opening: begin() until the key panel's first paint has been flushed to
    // the X server (what the log line "selector visible en" reports).
    std::vector<double> open_ms;
    for (int i = 0; i < runs + 1; ++i) {
        overlay::begin(overlay::Mode::Area, overlay::Purpose::Screenshot);
        if (!spin_until([&] { return overlay::last_open_ms() > 0; }))
            util::fatal("el selector no apareció");
        if (i > 0) // the first opening warms caches up
            open_ms.push_back(overlay::last_open_ms());
        if (i == runs)
            break;
        close_session();
        std::this_thread::sleep_for(std::chrono::milliseconds(smoke ? 1 : 60));
    }
    const bench::Timing open_t = bench::summarize(open_ms);
    // Openings after an idle spell: the hidden panels have given their
    // picture memory back (as they do RELEASE_DELAY_MS after closing) and
    // their windows are unmapped (platform::PARKED_MS after closing). The
    // program makes it again while the picture is taken; alternated with
    // openings whose road leaves that to the first paint, as it once did.
    const overlay::Roads ahead = overlay::default_roads();
    overlay::Roads at_paint = ahead;
    at_paint.screen_picture = [road = ahead.screen_picture](std::uint32_t display, double scale, std::function<void()>,
                                  overlay::CaptureDone done) { road(display, scale, nullptr, std::move(done)); };
    std::vector<double> idle_ms, idle_at_paint_ms;
    for (int i = 0; i < (smoke ? 2 : 20); ++i) {
        const bool now = i % 2 == 0;
        if (real)
            overlay::set_roads(now ? ahead : at_paint);
        close_session();
        // What an idle spell leaves: parked windows unmapped, picture memory given back.
        platform::unmap_parked_panels();
        for (auto* p : overlay::panels())
            platform::release_backing_store(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(smoke ? 1 : 60));
        overlay::begin(overlay::Mode::Area, overlay::Purpose::Screenshot);
        if (!spin_until([&] { return overlay::last_open_ms() > 0; }))
            util::fatal("el selector no apareció");
        (now ? idle_ms : idle_at_paint_ms).push_back(overlay::last_open_ms());
    }
    if (real)
        overlay::set_roads(ahead);
    const bench::Timing idle_t = bench::summarize(idle_ms);
    const bench::Timing idle_at_paint_t = bench::summarize(idle_at_paint_ms);
    // Reference 2: one full repaint of the open panel.
    const bench::Timing repaint_t = bench::time_runs(runs, [&] { panel->repaint(); });
    const double reference = grab_t.median_ms + repaint_t.median_ms;
    std::printf("full-screen grab           %8.2f ms (median)\n", grab_t.median_ms);
    std::printf("full repaint of a panel    %8.2f ms (median)\n", repaint_t.median_ms);
    std::printf("selector visible en        %8.2f ms (median, p99 %.2f)\n", open_t.median_ms, open_t.p99_ms);
    std::printf("visible / (grab + repaint) %8.2f  (target: at most 2)\n", open_t.median_ms / reference);
    std::printf("after an idle spell        %8.2f ms (median of %zu, panels unmapped, memory given back), %.2f x (grab + repaint)\n",
        idle_t.median_ms, idle_ms.size(), idle_t.median_ms / reference);
    if (real)
        std::printf("  memory made at the first paint instead %8.2f ms (median of %zu), %.2f x (grab + repaint)\n",
            idle_at_paint_t.median_ms, idle_at_paint_ms.size(), idle_at_paint_t.median_ms / reference);

    // Pointer moves: a diagonal sweep with the magnifier and crosshair on.
    const int moves = smoke ? 20 : 1000;
    // Reference: the same moves, each followed by a full repaint.
    const auto full_sweep = [&] {
        std::vector<double> ms;
        ms.reserve(static_cast<std::size_t>(moves));
        for (int i = 0; i < moves; ++i) {
            const overlay::PointF p { 200 + (st.frame.w - 400) * i / moves, 200 + (st.frame.h - 400) * (i % 97) / 97.0 };
            const double t0 = now_ms();
            panel->pointer_moved(p, false);
            panel->repaint();
            ms.push_back(now_ms() - t0);
        }
        return bench::summarize(ms);
    };
    // Partial: pointer_moved() marks only the damaged rectangles; processing
    // the update request paints just those.
    std::vector<double> partial_ms;
    for (int i = 0; i < moves; ++i) {
        const overlay::PointF p { 200 + (st.frame.w - 400) * i / moves, 200 + (st.frame.h - 400) * (i % 97) / 97.0 };
        const double t0 = now_ms();
        panel->pointer_moved(p, false);
        QCoreApplication::sendPostedEvents(panel, QEvent::UpdateRequest);
        QCoreApplication::processEvents();
        partial_ms.push_back(now_ms() - t0);
    }
    const bench::Timing partial_t = bench::summarize(partial_ms);
    const bench::Timing full_t = full_sweep();
    std::printf("%d moves, damaged rectangles only %8.3f ms per move (median, p99 %.3f)\n", moves, partial_t.median_ms, partial_t.p99_ms);
    std::printf("%d moves, full repaint each       %8.3f ms per move (median)\n", moves, full_t.median_ms);
    std::printf("full / partial                     %s\n", bench::ratio(full_t.median_ms, partial_t.median_ms).c_str());
    close_session();
    return 0;
}
