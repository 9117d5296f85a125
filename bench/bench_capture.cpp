// Full-screen grab against a memcpy of a frame of the same size, and one
// full-screen delivery against the PNG encode alone.
//
// Runs on the X display of the session (scripts/x-session [--size WxH]
// build/bench/bench_capture). Without an X display (or under Qt's offscreen
// platform) it says it skipped and succeeds, so the --smoke run always passes.
#include "bench_common.h"
#include "bench_scene.h"

#include "capture/capture.h"
#include "base/config.h"
#include "capture/output.h"
#include "base/state.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QThread>
#include <QWidget>

#include <fmt/format.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

namespace {

void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::smoke(argc, argv);
    if (!std::getenv("DISPLAY")) {
        std::printf("bench_capture: sin pantalla X (DISPLAY); omitido\n");
        return 0;
    }
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
        std::printf("bench_capture: la plataforma de Qt es %s, no xcb; omitido\n", qPrintable(QGuiApplication::platformName()));
        return 0;
    }
    auto created = platform::create_x11_screen_capture();
    if (!created) {
        std::printf("bench_capture: %s; omitido\n", created.error().c_str());
        return 0;
    }
    platform::ScreenCapture& backend = **created;
    const auto displays = platform::shareable_displays();
    if (displays.empty()) {
        std::printf("bench_capture: sin pantallas; omitido\n");
        return 0;
    }
    const platform::ShareableDisplay display = displays.front();
    const auto caps = backend.capabilities();
    std::printf("pantalla %ux%u, memoria compartida %s, Composite %s\n", display.pixel_width, display.pixel_height,
        caps.shared_memory ? "sí" : "no", caps.composite ? "sí" : "no");

    bench::Busy busy;
    busy.setGeometry(0, 0, static_cast<int>(display.pixel_width), static_cast<int>(display.pixel_height));
    busy.show();
    settle(smoke ? 200 : 600);

    const int runs = smoke ? 1 : 30;
    const platform::DisplayGrab grab { display, std::nullopt, display.pixel_width, display.pixel_height, {} };
    const bench::Timing grab_t = bench::time_runs(runs, [&] {
        auto image = backend.grab_display_now(grab);
        if (!image)
            std::abort();
    });
    // The reference: one frame's bytes copied into a frame already in memory,
    // and into a fresh one (what a grab has to produce).
    const std::size_t bytes = std::size_t { display.pixel_width } * display.pixel_height * 4;
    std::vector<std::uint8_t> src(bytes, 0x5a), dst(bytes);
    const bench::Timing warm_t = bench::time_runs(runs, [&] {
        std::memcpy(dst.data(), src.data(), bytes);
        asm volatile("" : : "r"(dst.data()) : "memory");
    });
    const bench::Timing fresh_t = bench::time_runs(runs, [&] {
        std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[bytes]);
        std::memcpy(out.get(), src.data(), bytes);
        asm volatile("" : : "r"(out.get()) : "memory");
    });
    std::printf("captura completa %ux%u: mediana %.2f ms (p99 %.2f)\n", display.pixel_width, display.pixel_height,
        grab_t.median_ms, grab_t.p99_ms);
    std::printf("memcpy a un marco en memoria: %.2f ms; a un marco nuevo: %.2f ms\n", warm_t.median_ms, fresh_t.median_ms);
    std::printf("captura / memcpy (marco en memoria): %.2f  (objetivo <= 2)\n", grab_t.median_ms / warm_t.median_ms);
    std::printf("captura / memcpy (marco nuevo): %.2f\n", grab_t.median_ms / fresh_t.median_ms);
    // The fallbacks, for comparison: MIT-SHM GetImage with a copy out, and plain GetImage.
    for (const auto& [name, options] : { std::pair { "MIT-SHM GetImage", platform::X11CaptureOptions { false, true } },
             std::pair { "GetImage", platform::X11CaptureOptions { false, false } } }) {
        auto fallback = platform::create_x11_screen_capture(options);
        if (!fallback)
            continue;
        const bench::Timing t = bench::time_runs(smoke ? 1 : 10, [&] { (void)(*fallback)->grab_display_now(grab); });
        std::printf("  por %s: %.2f ms, %.2f × memcpy\n", name, t.median_ms, t.median_ms / warm_t.median_ms);
    }

    // One full-screen delivery, as the road runs it, against the PNG alone.
    const std::filesystem::path home = std::filesystem::temp_directory_path() / fmt::format("vistrope-bench-{}", ::getpid());
    ::setenv("HOME", home.c_str(), 1);
    config::Config cfg;
    cfg.save_dir = (home / "capturas").string();
    cfg.after_capture.play_sound = false;
    cfg.after_capture.show_quick_access = false;
    state::set_config(std::make_shared<const config::Config>(cfg));
    auto image = backend.grab_display_now(grab);
    if (!image)
        return 1;
    const bench::Timing encode_t = bench::time_runs(smoke ? 1 : 10, [&] { (void)output::encode(*image, 1.0); });
    // The road of a full-screen capture from the grab on, with the program's
    // windows kept (here they are the screen's content).
    std::vector<double> deliveries;
    int done = 0;
    output::set_delivered_listener([&](const output::Delivered&) { ++done; });
    capture::refresh();
    while (!capture::cached())
        QApplication::processEvents(QEventLoop::AllEvents, 1);
    auto deliver_once = [&] {
        const int before = done;
        QElapsedTimer t;
        t.start();
        util::Stopwatch stopwatch("pantalla completa");
        capture::capture_display_with(display.display_id, std::nullopt, false,
            [stopwatch](std::optional<QImage> shot) {
                stopwatch.lap("pantalla capturada");
                if (shot)
                    output::deliver({ std::nullopt, std::move(*shot), 1.0, output::Kind::Fullscreen }, stopwatch);
            },
            1.0);
        while (done == before)
            QApplication::processEvents(QEventLoop::AllEvents, 1);
        return static_cast<double>(t.nsecsElapsed()) / 1e6;
    };
    for (int i = 0; i < (smoke ? 1 : 10); ++i)
        deliveries.push_back(deliver_once());
    const bench::Timing deliver_t = bench::summarize(deliveries);
    std::printf("PNG solo: %.2f ms; captura y entrega hasta \"listo en portapapeles y disco\": %.2f ms; entrega / PNG: %.2f  (objetivo <= 3)\n",
        encode_t.median_ms, deliver_t.median_ms, deliver_t.median_ms / encode_t.median_ms);
    // A capture after a few seconds of rest, as a hot key comes: the idle
    // grab segments have been given back meanwhile and it attaches a new one.
    if (!smoke) {
        std::vector<double> rested;
        for (int i = 0; i < 5; ++i) {
            settle(4500);
            rested.push_back(deliver_once());
        }
        const double rested_ms = bench::summarize(rested).median_ms;
        std::printf("la misma tras 4.5 s en reposo: %.2f ms, %.3f × la seguida  (objetivo <= 1.10)\n", rested_ms,
            rested_ms / deliver_t.median_ms);
    }
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return 0;
}
