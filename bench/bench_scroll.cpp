// A live scrolling capture of another program's long page (a 1280 × 900
// viewport over a generated page of 20,000 rows between a fixed header and
// footer), scrolled by XTEST wheel clicks of 60 px: N = 60, 120 and 240 px
// every 1/30 s, while the real capture stream and stitcher run. For each N it
// prints the frames handled per second ÷ 30, the stream listener's p50 and
// p99 ÷ the 33.3 ms frame interval (and, beside them, the p99 of the push on
// the stitcher's own thread), the time from Return to the PNG file on
// disk ÷ encoding and writing the same image alone (and, beside it, the part
// of that time before the encoding starts), and whether the result equals the
// page byte for byte.
//
// Needs an X display (run it in scripts/x-session); without one it says it
// skipped and succeeds. --smoke runs one short page at N = 240.
#include "bench_common.h"
#include "scroll_page.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "capture/output.h"
#include "platform/raw_input.h"
#include "scroll/scroll.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <fmt/format.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

void pump_until(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

double percentile(std::vector<float> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5))];
}

void write_png(const QImage& image, const std::filesystem::path& path)
{
    const auto bytes = output::encode(image, 1.0);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

struct Result {
    double fps_ratio = 0, p50_ratio = 0, p99_ratio = 0, push_p99_ratio = 0, file_ratio = 0, image_ratio = 0;
    double step_ms = 0; // one wheel step's work: the frame's capture in the listener and its push, medians
    bool exact = false;
    bool ok = false;
};

Result run(const testing_support::ScrollPage& page, std::uint32_t n)
{
    Result r;
    QProcess helper;
    helper.start(VISTROPE_SCROLL_PAGE_WINDOW, { "0", "0", QString::number(page.width), QString::number(page.viewport),
        QString::number(page.rows) });
    pump_until([&] { return helper.canReadLine() || helper.state() == QProcess::NotRunning; }, 20000);
    const QList<QByteArray> words = helper.readLine().trimmed().split(' ');
    if (words.size() != 3 || words[0] != "listo") {
        fmt::print("bench_scroll: la página no apareció\n");
        return r;
    }
    const double x = words[1].toDouble(), y = words[2].toDouble();

    const auto path = std::filesystem::temp_directory_path() / fmt::format("bench-scroll-{}.png", ::getpid());
    std::optional<QImage> delivered;
    QElapsedTimer since_return;
    double return_to_file_ms = 0;
    double return_to_image_ms = 0;
    scroll::Services& s = scroll::services();
    s.flash_on = [] { return false; };
    s.toast = [](std::string_view, std::string_view text, double) { fmt::print("bench_scroll: aviso «{}»\n", text); };
    s.deliver = [&](output::Shot shot, util::Stopwatch) {
        return_to_image_ms = double(since_return.nsecsElapsed()) / 1e6;
        write_png(shot.image, path);
        return_to_file_ms = double(since_return.nsecsElapsed()) / 1e6;
        delivered = shot.image;
    };

    const platform::Screen screen = platform::screens().front();
    scroll::start(platform::screen_display_id(screen), { x, y, double(page.width), double(page.window_height()) }, 1.0);
    pump_until([] { return scroll::status() && scroll::status()->frames >= 1; }, 10000);
    if (!scroll::status()) {
        fmt::print("bench_scroll: la captura no empezó\n");
        return r;
    }
    const platform::RectF rect = scroll::status()->screen_rect;
    const auto first = scroll::measurements()->frames;
    QElapsedTimer clock;
    clock.start();
    bool end = false;
    // A wheel step every 1/30 s on the grid of the stream's interval. A
    // tick this thread was too late for is skipped, not made up for: steps
    // sent back to back would move the page further between two frames than
    // a user's scrolling does.
    for (std::int64_t tick = 0; !end && clock.elapsed() < 120000;) {
        platform::post_wheel(rect, -double(n));
        tick = std::max<std::int64_t>(tick + 1, clock.elapsed() * 30 / 1000);
        const qint64 due = tick * 1000 / 30;
        pump_until([&] { return clock.elapsed() >= due; }, 1000);
        while (helper.canReadLine())
            end = end || helper.readLine().trimmed() == "fin";
    }
    pump_until([] { return false; }, 300); // the last frames
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const scroll::Measurements m = *scroll::measurements();
    r.fps_ratio = double(m.frames - first) / seconds / 30;
    r.p50_ratio = percentile(m.listener_ms, 0.50) / (1000.0 / 30);
    r.p99_ratio = percentile(m.listener_ms, 0.99) / (1000.0 / 30);
    r.push_p99_ratio = percentile(m.push_ms, 0.99) / (1000.0 / 30);
    r.step_ms = percentile(m.listener_ms, 0.50) + percentile(m.push_ms, 0.50);

    since_return.start();
    scroll::finish();
    pump_until([&] { return delivered.has_value(); }, 60000);
    helper.kill(); // the helper this run started
    helper.waitForFinished(5000);
    scroll::reset_services();
    if (!delivered) {
        fmt::print("bench_scroll: nada entregado\n");
        return r;
    }
    // The reference: the same image encoded and written alone, each time to
    // a new file as the capture was, and none removed before all are
    // written: a file written over pages another has just given back is
    // several times cheaper on a virtual machine than one needing pages the
    // guest has not touched for a while, as the capture's file does.
    std::vector<std::string> references;
    const bench::Timing alone = bench::time_runs(3, [&] {
        references.push_back(path.string() + fmt::format(".{}", references.size()));
        write_png(*delivered, references.back());
    });
    for (const std::string& reference : references)
        std::filesystem::remove(reference);
    std::filesystem::remove(path);
    r.file_ratio = return_to_file_ms / alone.median_ms;
    r.image_ratio = return_to_image_ms / alone.median_ms;

    const auto expected = testing_support::scroll_page_whole(page);
    r.exact = delivered->width() == int(page.width) && delivered->height() == int(page.header + page.rows + page.footer);
    int row = 0;
    for (; r.exact && row < delivered->height(); ++row)
        r.exact = std::memcmp(delivered->constScanLine(row), expected.data() + std::size_t(row) * page.width * 4,
                      page.width * 4)
            == 0;
    if (!r.exact)
        fmt::print("bench_scroll: {}×{} px, esperado {}×{}; fila {} distinta\n", delivered->width(), delivered->height(),
            page.width, page.header + page.rows + page.footer, row - 1);
    r.ok = true;
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() != "xcb") {
        fmt::print("bench_scroll: sin pantalla X; omitido\n");
        return 0;
    }
    const bool smoke = bench::smoke(argc, argv);
    testing_support::ScrollPage page;
    page.width = smoke ? 400 : 1280;
    page.viewport = smoke ? 300 : 900;
    page.rows = smoke ? 2000 : 20000;
    const std::vector<std::uint32_t> steps = smoke ? std::vector<std::uint32_t> { 240 } : std::vector<std::uint32_t> { 60, 120, 240 };
    fmt::print("bench_scroll: página {}×{} (ventana {} filas), clics de 60 px\n", page.width, page.rows, page.viewport);
    fmt::print("{:>6} {:>10} {:>10} {:>10} {:>14} {:>14} {:>18} {:>8}\n", "N px", "cuadros/30", "p50/33ms", "p99/33ms",
        "unir p99/33ms", "Return→PNG/enc", "Return→imagen/enc", "exacta");
    bool all = true;
    std::vector<std::pair<std::uint32_t, double>> step_ms;
    for (std::uint32_t n : steps) {
        const Result r = run(page, n);
        all = all && r.ok;
        step_ms.emplace_back(n, r.step_ms);
        fmt::print("{:>6} {:>10.2f} {:>10.3f} {:>10.3f} {:>14.3f} {:>14.2f} {:>18.3f} {:>8}\n", n, r.fps_ratio,
            r.p50_ratio, r.p99_ratio, r.push_p99_ratio, r.file_ratio, r.image_ratio, r.exact ? "sí" : "no");
    }
    for (const auto& [n, ms] : step_ms)
        fmt::print("paso de rueda a N = {} px (captura + unir, medianas): {:.2f} ms / cuadro de 16.7 ms = {:.3f} (objetivo <= 0.5)\n", n,
            ms, ms / (1000.0 / 60));
    fmt::print("{}\n", bench::load());
    util::wait_for_background();
    return all ? 0 : 1;
}
