// The recording engine against FFmpeg's own screen recorder, in one run:
//  1. one grab of the whole screen against a memcpy of a frame of that size,
//     and the same grab with a capsule-sized panel of ours left out;
//  2. a recording of the whole screen over an animated window: frames missing
//     from the frame grid of the file and CPU (user + system over wall), beside
//     `ffmpeg -f x11grab … -c:v libx264 -preset ultrafast`;
//  3. the same recording with the controls and the keys-and-clicks panel
//     drawing 10 clicks and 5 keys a second: CPU and frames missing beside
//     the engine alone;
//  4. a click's ring in the file: XTest clicks in a recorded region with the
//     keys-and-clicks panel on its own monitor; the first frame of the file
//     that shows each ring against the time of its click, in frame intervals;
//  5. sync: a window flips from black to white as a tone burst reaches the
//     null sink; where the flip and the onset land in our file and in
//     ffmpeg's x11grab + pulse recording of the same scene.
//
//   scripts/x-session [--size WxH] build/bench/bench_record [--fps N] [--seconds S] [--only K]
//
// --only K runs part K alone (1 to 5).
//
//   build/bench/bench_record --in-app [--seconds S] [--rounds N] [--size WxH@FPS]
//
// records with the program itself as a user does, beside ffmpeg, at
// 1920×1080@60 and 3840×2160@30, each in a test session of its own
// (bench_record_app.cpp); it needs no display of its own.
//
// Without an X display (or under Qt's offscreen platform) it says it skipped
// and succeeds, so the --smoke run always passes; --smoke records one short clip.
#include "bench_common.h"
#include "bench_record_app.h"
#include "flat_window.h"

#include "platform/capture_stream.h"
#include "platform/screen_capture.h"
#include "platform/sound_out.h"
#include "platform/x11/x11_pixels.h"
#include "platform/fake/raw_input_fake.h"
#include "record/input_overlay.h"
#include "record/recorder_stream.h"
#include "record/recorder_ui.h"

#include <QApplication>

#include <unistd.h>

#include <QElapsedTimer>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <fmt/format.h>
#include <sys/resource.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using Flat = testing_support::FlatWindow;

// Moving bars and a counter over the whole screen, repainted at 60 Hz.
class Animated final : public QWidget {
public:
    Animated()
        : QWidget(nullptr, Qt::FramelessWindowHint)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            ++m_tick;
            update();
        });
        m_timer.start(16);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), QColor(20, 24, 32));
        for (int i = 0; i < 12; ++i) {
            const int x = (m_tick * (4 + i) + i * 160) % std::max(1, width());
            p.fillRect(x, i * height() / 12, 220, height() / 12 - 4, QColor::fromHsv((i * 30 + m_tick) % 360, 200, 230));
        }
        p.setPen(Qt::white);
        p.setFont(QFont("DejaVu Sans", 48));
        p.drawText(rect(), Qt::AlignCenter, QString::number(m_tick));
    }

private:
    QTimer m_timer;
    int m_tick = 0;
};

void pump(int ms)
{
    QElapsedTimer t;
    t.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    } while (t.elapsed() < ms);
}

double cpu_seconds(int who)
{
    rusage u {};
    getrusage(who, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

QByteArray run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(300000);
    return p.readAllStandardOutput();
}

// The times of a file's video frames, in seconds, as ffprobe lists them.
std::vector<double> frame_times(const QString& file)
{
    const QList<QByteArray> lines = run("ffprobe", { "-v", "error", "-select_streams", "v", "-show_entries", "frame=pts_time",
        "-of", "csv=p=0", file }).split('\n');
    std::vector<double> times;
    for (const QByteArray& l : lines)
        if (!l.trimmed().isEmpty())
            times.push_back(l.trimmed().toDouble());
    return times;
}

// Frames of the file against its grid: (frames, slots the span covers).
std::pair<int, int> grid(const QString& file, int fps)
{
    std::vector<double> t = frame_times(file);
    if (t.size() < 2)
        return { static_cast<int>(t.size()), static_cast<int>(t.size()) };
    std::sort(t.begin(), t.end());
    return { static_cast<int>(t.size()), static_cast<int>(std::lround((t.back() - t.front()) * fps)) + 1 };
}

struct Recorded {
    double cores = 0;
    double main_cores = 0; // the calling (main) thread's share
    int frames = 0;
    int slots = 0;
    double dropped_percent() const { return slots ? 100.0 * (slots - frames) / slots : 0; }
};

// Records with our stream; the CPU this process spent over the wall time.
Recorded record_ours(const platform::ShareableDisplay& display, std::optional<platform::RectF> region, int fps, double seconds,
    const QString& file, bool audio, const std::function<void(double)>& during = {},
    const std::function<void(platform::ContentFilter&)>& adjust = {})
{
    recorder::StreamWish wish;
    wish.region = region;
    const double w = region ? region->w : display.frame.w, h = region ? region->h : display.frame.h;
    wish.size = recorder::pixel_size(w, h, display.scale, platform::VideoCodec::H264);
    wish.fps = static_cast<std::uint32_t>(fps);
    wish.system_audio = audio;
    auto configuration = recorder::stream_configuration(wish);
    configuration.excludes_current_process_audio = false; // the burst is ours
    platform::ContentFilter filter;
    filter.display = display;
    if (adjust)
        adjust(filter);
    std::atomic<bool> ended = false;
    auto delegate = std::make_shared<recorder::RecorderDelegate>(1, [&](recorder::Report r) {
        if (r.kind == recorder::Report::Kind::RecordingFinished || r.kind == recorder::Report::Kind::RecordingFailed) {
            if (!r.error.empty())
                fmt::print("  la grabación falló: {}\n", r.error);
            ended = true;
        }
    });
    auto stream = platform::create_capture_stream(filter, configuration, delegate);
    if (!stream) {
        fmt::print("  sin stream: {}\n", stream.error());
        return {};
    }
    if (auto ok = (*stream)->add_recording_output({ file.toStdString(), platform::VideoCodec::H264 }, delegate); !ok) {
        fmt::print("  sin salida: {}\n", ok.error());
        return {};
    }
    const double cpu0 = cpu_seconds(RUSAGE_SELF);
    const double main0 = cpu_seconds(RUSAGE_THREAD);
    QElapsedTimer wall;
    wall.start();
    (*stream)->start([](std::optional<std::string>) {});
    while (wall.elapsed() < seconds * 1000) {
        if (during)
            during(wall.elapsed() / 1000.0);
        pump(2);
    }
    (*stream)->stop([](std::optional<std::string>) {});
    while (!ended)
        pump(5);
    const double elapsed = wall.elapsed() / 1000.0;
    Recorded r;
    r.cores = (cpu_seconds(RUSAGE_SELF) - cpu0) / elapsed;
    r.main_cores = (cpu_seconds(RUSAGE_THREAD) - main0) / elapsed;
    std::tie(r.frames, r.slots) = grid(file, fps);
    stream->reset();
    return r;
}

// The same with ffmpeg's x11grab (and pulse when asked); its CPU from the children's usage.
Recorded record_ffmpeg(QRect native, int fps, double seconds, const QString& file, bool audio,
    const std::function<void(double)>& during = {})
{
    // Both inputs keep their wall-clock times (-copyts): otherwise each input
    // would start at zero by itself and the sound would move by the time the
    // sound server took to open. The recording ends with "q" on standard input.
    QStringList args = { "-v", "error", "-y", "-f", "x11grab", "-framerate", QString::number(fps), "-video_size",
        QString("%1x%2").arg(native.width()).arg(native.height()), "-i",
        QString("%1+%2,%3").arg(qEnvironmentVariable("DISPLAY")).arg(native.x()).arg(native.y()) };
    if (audio)
        args << "-f" << "pulse" << "-i" << "vistrope_null.monitor" << "-copyts";
    args << "-c:v" << "libx264" << "-preset" << "ultrafast" << "-fps_mode" << "passthrough";
    if (audio)
        args << "-c:a" << "aac";
    args << file;
    const double cpu0 = cpu_seconds(RUSAGE_CHILDREN);
    QElapsedTimer wall;
    wall.start();
    QProcess p;
    p.start("ffmpeg", args);
    p.waitForStarted();
    bool asked = false;
    while (p.state() != QProcess::NotRunning) {
        if (during)
            during(wall.elapsed() / 1000.0);
        if (!asked && wall.elapsed() >= seconds * 1000) {
            asked = true;
            p.write("q");
            p.closeWriteChannel();
        }
        p.waitForFinished(2);
        QCoreApplication::processEvents();
    }
    Recorded r;
    r.cores = (cpu_seconds(RUSAGE_CHILDREN) - cpu0) / (wall.elapsed() / 1000.0);
    std::tie(r.frames, r.slots) = grid(file, fps);
    return r;
}

// Seconds from the flip to white (centre of the picture) to the tone's onset, in a file.
std::optional<double> onset_after_flip(const QString& file)
{
    const QByteArray pixels = run("ffmpeg", { "-v", "error", "-i", file, "-vf", "scale=1:1:flags=area,format=gray", "-f",
        "rawvideo", "-" });
    const std::vector<double> times = frame_times(file);
    std::optional<double> flip;
    for (int i = 0; i < std::min<int>(pixels.size(), static_cast<int>(times.size())); ++i)
        if (static_cast<unsigned char>(pixels[i]) > 128) {
            flip = times[static_cast<std::size_t>(i)];
            break;
        }
    const QByteArray raw = run("ffmpeg", { "-v", "error", "-i", file, "-map", "0:a", "-ac", "1", "-ar", "48000", "-f", "f32le", "-" });
    const auto* s = reinterpret_cast<const float*>(raw.constData());
    const qsizetype n = raw.size() / 4;
    // The audio's own start time in the file (both tracks may not start at 0).
    const double audio_start = run("ffprobe", { "-v", "error", "-select_streams", "a", "-show_entries", "stream=start_time",
        "-of", "csv=p=0", file }).trimmed().toDouble();
    std::optional<double> onset;
    for (qsizetype i = 0; i < n; ++i)
        if (std::abs(s[i]) > 0.05f) {
            onset = audio_start + double(i) / 48000.0;
            break;
        }
    if (!flip || !onset)
        return std::nullopt;
    return *onset - *flip;
}

// One left click at a root pixel through XTEST, on a connection of its own;
// true once the server has handled it.
bool xtest_click(QPoint at)
{
    xcb_connection_t* conn = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(conn)) {
        xcb_disconnect(conn);
        return false;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn)).data->root;
    xcb_test_fake_input(conn, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, static_cast<std::int16_t>(at.x()),
        static_cast<std::int16_t>(at.y()), 0);
    xcb_test_fake_input(conn, XCB_BUTTON_PRESS, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_test_fake_input(conn, XCB_BUTTON_RELEASE, 1, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    // A round trip: every request before it has been handled.
    free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
    xcb_disconnect(conn);
    return true;
}

struct Click {
    QPoint at;      // pixels in the recorded region
    double t = -1;  // seconds from the stream's start; negative: not sent
};

// For each click, the seconds from it to the first frame of the file that
// shows its ring (blue around the spot); none when no frame does.
std::vector<std::optional<double>> ring_lags(const QString& file, const std::vector<Click>& clicks)
{
    const QList<QByteArray> size = run("ffprobe", { "-v", "error", "-select_streams", "v", "-show_entries", "stream=width,height",
        "-of", "csv=p=0", file }).trimmed().split(',');
    const std::vector<double> times = frame_times(file);
    std::vector<std::optional<double>> lags(clicks.size());
    if (size.size() != 2)
        return lags;
    const int w = size[0].toInt(), h = size[1].toInt();
    const QByteArray rgb = run("ffmpeg", { "-v", "error", "-i", file, "-f", "rawvideo", "-pix_fmt", "rgb24", "-" });
    const qsizetype frame_bytes = qsizetype(w) * h * 3;
    auto ring_in = [&](std::size_t frame, QPoint at) {
        const auto* px = reinterpret_cast<const unsigned char*>(rgb.constData()) + qsizetype(frame) * frame_bytes;
        int blue = 0;
        for (int y = std::max(0, at.y() - 24); y < std::min(h, at.y() + 25); ++y)
            for (int x = std::max(0, at.x() - 24); x < std::min(w, at.x() + 25); ++x) {
                const unsigned char* p = px + (qsizetype(y) * w + x) * 3;
                blue += p[2] > 120 && p[2] > p[0] + 60;
            }
        return blue >= 6;
    };
    const std::size_t frames = std::min(times.size(), static_cast<std::size_t>(frame_bytes ? rgb.size() / frame_bytes : 0));
    for (std::size_t c = 0; c < clicks.size(); ++c) {
        if (clicks[c].t < 0)
            continue;
        for (std::size_t f = 0; f < frames; ++f)
            if (times[f] >= clicks[c].t - 0.1 && ring_in(f, clicks[c].at)) {
                lags[c] = times[f] - clicks[c].t;
                break;
            }
    }
    return lags;
}

// A 1 kHz burst of 300 ms, played at once on a thread of its own.
std::thread burst()
{
    return std::thread([] {
        std::vector<std::int16_t> s(48000 * 3 / 10);
        for (std::size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<std::int16_t>(12000 * std::sin(2 * M_PI * 1000.0 * double(i) / 48000.0));
        platform::play_pcm16_blocking(s, 48000, 1);
    });
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--in-app") == 0 || std::strcmp(argv[i], "--in-app-round") == 0)
            return bench_record::in_app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--animate") == 0) {
        QApplication app(argc, argv);
        Animated window;
        window.setGeometry(QGuiApplication::primaryScreen()->geometry());
        window.show();
        return app.exec();
    }
    QApplication app(argc, argv);
    if (QGuiApplication::platformName() != "xcb") {
        fmt::print("bench_record: sin pantalla X; omitido\n");
        return 0;
    }
    const bool smoke = bench::smoke(argc, argv);
    int fps = 60;
    double seconds = 10;
    int only = 0;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--only") == 0)
            only = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--fps") == 0)
            fps = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
    }
    const auto displays = platform::shareable_displays();
    if (displays.empty()) {
        fmt::print("bench_record: sin pantallas; omitido\n");
        return 0;
    }
    const platform::ShareableDisplay display = displays.front();
    QTemporaryDir dir;

    if (smoke) {
        const Recorded r = record_ours(display, platform::RectF { 0, 0, 160, 120 }, 30, 0.5, dir.filePath("smoke.mp4"), false);
        fmt::print("bench_record --smoke: {} cuadros de {} posibles\n", r.frames, r.slots);
        return r.frames > 0 ? 0 : 1;
    }

    // 1. One grab against a memcpy.
    auto source = platform::x11::create_pixel_source();
    if (!source) {
        fmt::print("bench_record: {}\n", source.error());
        return 1;
    }
    const platform::PixelRect full = (*source)->clip(display, std::nullopt);
    auto part = [only](int k) { return only == 0 || only == k; };
    QProcess animator;
    if (part(1)) {
        const std::size_t bytes = std::size_t(full.w) * std::size_t(full.h) * 4;
        std::vector<std::uint8_t> from(bytes, 7), to(bytes);
        const auto copy = bench::time_runs(60, [&] { std::memcpy(to.data(), from.data(), bytes); });
        const auto grab = bench::time_runs(60, [&] { (void)(*source)->read_root(full); });
        Flat capsule(Qt::black, QRect(full.w / 2 - 100, full.h - 120, 200, 44));
        pump(400);
        const auto plan = (*source)->plan_leave_out(full, { static_cast<std::uint32_t>(capsule.winId()) });
        const auto grab_left_out = bench::time_runs(60, [&] {
            auto image = (*source)->read_root(full);
            if (image)
                (*source)->paint(*image, full, plan);
        });
        const auto planning = bench::time_runs(20, [&] { (void)(*source)->plan_leave_out(full, { static_cast<std::uint32_t>(capsule.winId()) }); });
        capsule.hide();
        fmt::print("una captura {}×{}: memcpy {:.2f} ms, captura {:.2f} ms ({:.2f}× el memcpy), sin la cápsula {:.2f} ms ({:.2f}×); "
                   "plan de ventanas {:.2f} ms (cada 250 ms)\n",
            full.w, full.h, copy.median_ms, grab.median_ms, grab.median_ms / copy.median_ms, grab_left_out.median_ms,
            grab_left_out.median_ms / copy.median_ms, planning.median_ms);
    }

    // 2. A recording over an animated screen.
    if (part(2)) {
        animator.start(QCoreApplication::applicationFilePath(), { "--animate" });
        animator.waitForStarted();
        pump(1500);
        const Recorded ours = record_ours(display, std::nullopt, fps, seconds, dir.filePath("nuestro.mp4"), false);
        const Recorded theirs = record_ffmpeg(QRect(full.x, full.y, full.w, full.h), fps, seconds, dir.filePath("ffmpeg.mp4"), false);
        animator.kill(); // the child this benchmark started
        animator.waitForFinished(5000);
        fmt::print("grabación {}×{} a {} cuadros/s, {:.0f} s:\n", full.w, full.h, fps, seconds);
        fmt::print("  nuestra: {} de {} cuadros, {:.2f} % perdidos, {:.2f} núcleos\n", ours.frames, ours.slots, ours.dropped_percent(), ours.cores);
        fmt::print("  ffmpeg x11grab ultrafast: {} de {} cuadros, {:.2f} % perdidos, {:.2f} núcleos\n", theirs.frames, theirs.slots,
            theirs.dropped_percent(), theirs.cores);
        fmt::print("  núcleos ffmpeg / nuestros: {}\n", bench::ratio(theirs.cores, ours.cores));
    }

    // 3. The same with the controls on screen and the keys-and-clicks panel busy,
    //    two rounds of each, alternating, so a change in the machine's load
    //    falls on both.
    if (part(3)) {
        animator.start(QCoreApplication::applicationFilePath(), { "--animate" });
        animator.waitForStarted();
        pump(1500);
        Recorded alone, busy;
        auto add = [](Recorded& sum, const Recorded& r) {
            sum.cores += r.cores / 2;
            sum.main_cores += r.main_cores / 2;
            sum.frames += r.frames;
            sum.slots += r.slots;
        };
        int clicks = 0, keys = 0;
        for (int round = 0; round < 2; ++round) {
            add(alone, record_ours(display, std::nullopt, fps, seconds, dir.filePath("solo.mp4"), false));
            auto ui = recorder::Ui::create(display.frame, display.frame, false);
            auto overlay = input_overlay::InputOverlay::start(display.frame, display.frame,
                recorder::SHOW_CLICKS | recorder::SHOW_KEYS, display.scale, std::make_unique<platform::RawInputFake>());
            pump(500);
            const auto panel = overlay->window_id();
            int round_clicks = 0, round_keys = 0;
            std::uint64_t shown_second = ~0ull;
            add(busy, record_ours(display, std::nullopt, fps, seconds, dir.filePath("con_controles.mp4"), false,
                [&](double t) {
                    // The recorder's clock ticks once a second.
                    if (const auto second = static_cast<std::uint64_t>(t); second != shown_second) {
                        shown_second = second;
                        ui->set_time(recorder::time_text(second));
                    }
                    for (; round_clicks < t * 10; ++round_clicks) {
                        const int i = round_clicks;
                        overlay->shared()->ring_at(200 + (i * 97) % 1400, 200 + (i * 53) % 600, i % 3 != 0);
                    }
                    for (; round_keys < t * 5; ++round_keys)
                        overlay->shared()->push({ round_keys % 2 ? "⇧⌘F" : "⌘C", true });
                },
                [&](platform::ContentFilter& f) {
                    f.excluded_applications = { static_cast<std::int64_t>(::getpid()) };
                    if (panel)
                        f.excepted_windows = { *panel };
                }));
            clicks += round_clicks;
            keys += round_keys;
            overlay.reset();
            ui.reset();
            pump(200);
        }
        animator.kill(); // the child this benchmark started
        animator.waitForFinished(5000);
        fmt::print("con cápsula y {} clics y {} teclas dibujados: {} de {} cuadros, {:.2f} % perdidos, {:.2f} núcleos "
                   "({:.3f} en el hilo principal)\n",
            clicks, keys, busy.frames, busy.slots, busy.dropped_percent(), busy.cores, busy.main_cores);
        fmt::print("  solo el motor: {:.2f} % perdidos, {:.2f} núcleos ({:.3f} en el hilo principal); núcleos con controles / solo: {}; "
                   "puntos de pérdida de más: {:+.2f}\n",
            alone.dropped_percent(), alone.cores, alone.main_cores, bench::ratio(busy.cores, alone.cores),
            busy.dropped_percent() - alone.dropped_percent());
    }

    // 4. A click's ring in the file.
    if (part(4)) {
        const QRect area(200, 200, 480, 320);
        Flat scene(QColor(40, 40, 40), area);
        const platform::RectF region { double(area.x()), double(area.y()), double(area.width()), double(area.height()) };
        auto overlay = input_overlay::InputOverlay::start(display.frame, recorder::global_area(display.frame, region),
            recorder::SHOW_CLICKS, display.scale);
        pump(500);
        if (!overlay->monitoring()) {
            fmt::print("clic → anillo: sin monitor de clics; omitido\n");
        } else {
            std::vector<Click> clicks;
            const QString file = dir.filePath("clics.mp4");
            record_ours(display, region, fps, 5, file, false, [&](double t) {
                // One click every 0.713 s from 0.5 s on (each at its own phase
                // of the frame grid), each at its own spot.
                if (clicks.size() < 6 && t >= 0.5 + 0.713 * double(clicks.size())) {
                    const int i = static_cast<int>(clicks.size());
                    const QPoint at(area.x() + 80 + (i % 3) * 140, area.y() + 90 + (i / 3) * 140);
                    clicks.push_back({ at - area.topLeft(), xtest_click(at) ? t : -1 });
                }
            });
            std::vector<double> intervals;
            for (const std::optional<double>& lag : ring_lags(file, clicks))
                if (lag)
                    intervals.push_back(*lag * fps);
            std::sort(intervals.begin(), intervals.end());
            if (intervals.empty())
                fmt::print("clic → anillo: ningún anillo en el archivo\n");
            else
                fmt::print("clic → anillo en el archivo ({} de {} clics, un intervalo = {:.1f} ms): mediana {:.2f} intervalos, "
                           "máximo {:.2f} (meta ≤ 2)\n",
                    intervals.size(), clicks.size(), 1000.0 / fps, intervals[intervals.size() / 2], intervals.back());
        }
        overlay.reset();
    }

    // 5. Sync of picture and sound.
    if (!part(5))
        return 0;
    const QRect area(100, 100, 320, 240);
    Flat scene(Qt::black, area);
    pump(500);
    auto flip_at = [&scene](double at) {
        return [&scene, at, done = false](double t) mutable {
            if (!done && t >= at) {
                done = true;
                burst().detach();
                scene.set_colour(Qt::white);
            }
        };
    };
    const platform::RectF region { double(area.x()), double(area.y()), double(area.width()), double(area.height()) };
    const platform::PixelRect native = (*source)->clip(display, region);
    // Each recording twice, alternating, the second round counted: a null
    // sink that nobody recorded from runs far ahead (up to its 2 s latency),
    // and the first recording after that hears every sound late.
    std::optional<double> our_offset, their_offset;
    for (int round = 0; round < 2; ++round) {
        scene.set_colour(Qt::black);
        pump(500);
        record_ffmpeg(QRect(native.x, native.y, native.w, native.h), fps, 3, dir.filePath("sync_ffmpeg.mp4"), true, flip_at(1.5));
        their_offset = onset_after_flip(dir.filePath("sync_ffmpeg.mp4"));
        scene.set_colour(Qt::black);
        pump(500);
        record_ours(display, region, fps, 3, dir.filePath("sync.mp4"), true, flip_at(1.5));
        our_offset = onset_after_flip(dir.filePath("sync.mp4"));
    }
    auto ms = [](std::optional<double> v) { return v ? fmt::format("{:+.1f} ms", *v * 1000) : std::string("no medido"); };
    fmt::print("sincronía (sonido − imagen; un cuadro = {:.1f} ms): nuestra {}, ffmpeg x11grab + pulse {}\n", 1000.0 / fps,
        ms(our_offset), ms(their_offset));
    return 0;
}
