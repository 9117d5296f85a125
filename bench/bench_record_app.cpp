// bench_record --in-app: the program itself as a user drives it, beside
// `ffmpeg -f x11grab … -c:v libx264 -preset ultrafast` on the same scene.
//
// For each size (1920×1080 at 60 frames a second, 3840×2160 at 30) a private
// test session of that size is started (scripts/x-session), with a full-screen
// animated window of this benchmark's as the scene. Inside it the program
// runs with its default settings (cursor and clicks shown) but for the frame
// rate and the capture folder; each round records the whole screen through
// the link ("vistrope://record-screen", then Return) for a fixed time and
// stops it with the link again, then ffmpeg records the same scene as long.
// Per recorder it prints the share of the frame grid kept in the file, the
// CPU (user + system) per kept frame, the peak resident size during the
// recording and, for the program, the resident size at rest before anything,
// after the selection overlay has been opened once and left with Escape (what
// any capture loads for good), and after each recording has settled. The
// machine's load is printed beside each size.
#include "bench_record_app.h"
#include "bench_common.h"
#include "bench_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <fmt/format.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bench_process;

double children_cpu()
{
    rusage u {};
    getrusage(RUSAGE_CHILDREN, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

// Frames of a file and the slots of the frame grid its span covers.
std::pair<int, int> grid(const QString& file, int fps)
{
    std::vector<double> t;
    for (const QByteArray& l : output_of("ffprobe", { "-v", "error", "-select_streams", "v", "-show_entries", "frame=pts_time",
                                              "-of", "csv=p=0", file })
                                   .split('\n'))
        if (!l.trimmed().isEmpty())
            t.push_back(l.trimmed().toDouble());
    if (t.size() < 2)
        return { static_cast<int>(t.size()), static_cast<int>(t.size()) };
    std::sort(t.begin(), t.end());
    return { static_cast<int>(t.size()), static_cast<int>(std::lround((t.back() - t.front()) * fps)) + 1 };
}

struct Figures {
    int frames = 0;
    int slots = 0;
    double cpu = 0;  // seconds
    double peak = 0; // MB
    double share() const { return slots ? double(frames) / slots : 0; }
    double cpu_per_frame_ms() const { return frames ? 1000 * cpu / frames : 0; }
    void add(const Figures& f)
    {
        frames += f.frames;
        slots += f.slots;
        cpu += f.cpu;
        peak = std::max(peak, f.peak);
    }
};

// Keeps `peak` at the highest resident size of `pid` seen while `for_ms` passes.
void watch_rss(qint64 pid, double& peak, int for_ms)
{
    QElapsedTimer t;
    t.start();
    do {
        peak = std::max(peak, status_mb(pid, "VmRSS:"));
        QThread::msleep(50);
    } while (t.elapsed() < for_ms);
}

// One size, inside its own test session: prints progress lines and one
// "RESULT" line the parent reads.
int round_in_session(int fps, double seconds, int rounds)
{
    const auto size = display_size();
    if (!size) {
        fmt::print("sin pantalla X\n");
        return 1;
    }
    const auto [w, h] = *size;
    const std::string load_before = loadavg();
    QTemporaryDir home;
    const QString captures = prepare_home(home, fmt::format("[recording]\nfps = {}\n", fps));

    // The scene: a full-screen window of ours, repainted at 60 Hz.
    QProcess scene;
    scene.start(QCoreApplication::applicationFilePath(), { "--animate" });
    scene.waitForStarted();
    QThread::msleep(1500);

    App app(VISTROPE_FRONT, home.path());
    if (!app.wait_count("[vistrope] listo", 1, 30)) {
        fmt::print("el programa no arrancó:\n{}\n", app.log());
        return 1;
    }
    QThread::msleep(3000);
    const double rest = status_mb(app.pid(), "VmRSS:");
    // The selection overlay once, left with Escape: what any capture loads
    // for good (its frozen screen, the glass effects' GL), apart from what a
    // recording keeps.
    app.link("vistrope://record-screen");
    if (!app.wait_count("selector visible", 1, 20)) {
        fmt::print("el selector no se abrió:\n{}\n", app.log());
        return 1;
    }
    QThread::msleep(600);
    xdo({ "key", "Escape" });
    QThread::msleep(3000);
    const double warm = status_mb(app.pid(), "VmRSS:");
    Figures ours, theirs;
    std::vector<double> after;
    const int threads = std::clamp(static_cast<int>(std::ceil(4.0 * w * h * fps / (1920.0 * 1080 * 60))), 1,
        static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u)));
    for (int round = 1; round <= rounds; ++round) {
        // Ours: the link, Return (the whole screen), the time, the link again.
        Figures f;
        app.link("vistrope://record-screen");
        if (!app.wait_count("selector visible", static_cast<std::size_t>(round) + 1, 20)) {
            fmt::print("el selector no se abrió:\n{}\n", app.log());
            return 1;
        }
        QThread::msleep(600);
        xdo({ "mousemove", QString::number(w / 2), QString::number(h / 2) });
        QThread::msleep(200);
        xdo({ "key", "Return" });
        if (!app.wait_count("grabando en", static_cast<std::size_t>(round), 20)) {
            fmt::print("la grabación no empezó:\n{}\n", app.log());
            return 1;
        }
        const double cpu0 = process_cpu(app.pid());
        watch_rss(app.pid(), f.peak, static_cast<int>(seconds * 1000));
        app.link("vistrope://record-screen");
        if (!app.wait_count("publicado como", static_cast<std::size_t>(round), 60,
                [&] { f.peak = std::max(f.peak, status_mb(app.pid(), "VmRSS:")); })) {
            fmt::print("la grabación no se publicó:\n{}\n", app.log());
            return 1;
        }
        f.cpu = process_cpu(app.pid()) - cpu0;
        // Settled: the card and its thumbnail made, the recording's memory given back.
        watch_rss(app.pid(), f.peak, 3000);
        after.push_back(status_mb(app.pid(), "VmRSS:"));
        QStringList files = QDir(captures).entryList({ "*.mp4" }, QDir::Files);
        if (files.size() != 1) {
            fmt::print("esperaba un MP4 en {}, hay {}\n", captures.toStdString(), files.size());
            return 1;
        }
        std::tie(f.frames, f.slots) = grid(QDir(captures).filePath(files[0]), fps);
        QFile::remove(QDir(captures).filePath(files[0]));
        // The capture thread's own count of what it lost, from the program's log.
        const std::string& log = app.log();
        const auto line = log.rfind("cuadros capturados en");
        const auto begin = line == std::string::npos ? line : log.rfind('\n', line);
        const std::string said = line == std::string::npos ? "" : log.substr(begin + 1, log.find('\n', line) - begin - 1);
        fmt::print("  {}×{} ronda {}: nuestra {} de {} cuadros, {:.1f} ms de CPU por cuadro, pico {:.0f} MB, luego {:.0f} MB ({})\n", w, h,
            round, f.frames, f.slots, f.cpu_per_frame_ms(), f.peak, after.back(), said);
        std::fflush(stdout);
        ours.add(f);

        // ffmpeg, with our encoder's settings: yuv420p, BT.709 limited range,
        // a keyframe every two seconds, as many threads, fragments.
        Figures g;
        const QString file = QDir(captures).filePath("ffmpeg.mp4");
        const QStringList args = { "-v", "error", "-y", "-f", "x11grab", "-framerate", QString::number(fps), "-video_size",
            QString("%1x%2").arg(w).arg(h), "-i", qEnvironmentVariable("DISPLAY"), "-c:v", "libx264", "-preset", "ultrafast",
            "-threads", QString::number(threads), "-g", QString::number(2 * fps), "-pix_fmt", "yuv420p", "-vf",
            "scale=out_color_matrix=bt709:out_range=tv", "-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace",
            "bt709", "-fps_mode", "passthrough", "-movflags", "+frag_keyframe+empty_moov+default_base_moof",
            "-frag_duration", "1000000", file };
        const double c0 = children_cpu();
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", args);
        if (!ffmpeg.waitForStarted(5000)) {
            fmt::print("sin ffmpeg\n");
            return 1;
        }
        watch_rss(ffmpeg.processId(), g.peak, static_cast<int>(seconds * 1000));
        g.peak = std::max(g.peak, status_mb(ffmpeg.processId(), "VmHWM:"));
        ffmpeg.write("q");
        ffmpeg.closeWriteChannel();
        ffmpeg.waitForFinished(60000);
        g.cpu = children_cpu() - c0;
        std::tie(g.frames, g.slots) = grid(file, fps);
        QFile::remove(file);
        fmt::print("  {}×{} ronda {}: ffmpeg  {} de {} cuadros, {:.1f} ms de CPU por cuadro, pico {:.0f} MB\n", w, h, round, g.frames,
            g.slots, g.cpu_per_frame_ms(), g.peak);
        std::fflush(stdout);
        theirs.add(g);
        QThread::msleep(1000);
    }
    scene.kill(); // the child this benchmark started
    scene.waitForFinished(5000);
    std::string afters;
    for (double a : after)
        afters += fmt::format("{}{:.0f}", afters.empty() ? "" : ",", a);
    fmt::print("RESULT {} {} {} {} {} {:.3f} {:.1f} {} {} {:.3f} {:.1f} {:.1f} {:.1f} {} | {} | {}\n", w, h, fps, ours.frames, ours.slots,
        ours.cpu, ours.peak, theirs.frames, theirs.slots, theirs.cpu, theirs.peak, rest, warm, afters, load_before, loadavg());
    return 0;
}

struct Row {
    int w = 0, h = 0, fps = 0;
    Figures ours, theirs;
    double rest = 0; // before anything
    double warm = 0; // after the selection overlay once
    std::vector<double> after;
    std::string load_before, load_after;
};

std::optional<Row> parse(const std::string& line)
{
    const auto bar = line.find(" | ");
    std::istringstream s(line.substr(7, bar - 7));
    Row r;
    std::string afters;
    if (!(s >> r.w >> r.h >> r.fps >> r.ours.frames >> r.ours.slots >> r.ours.cpu >> r.ours.peak >> r.theirs.frames
            >> r.theirs.slots >> r.theirs.cpu >> r.theirs.peak >> r.rest >> r.warm >> afters))
        return std::nullopt;
    std::istringstream a(afters);
    for (std::string v; std::getline(a, v, ',');)
        r.after.push_back(std::stod(v));
    const auto bar2 = line.find(" | ", bar + 3);
    r.load_before = line.substr(bar + 3, bar2 - bar - 3);
    r.load_after = bar2 == std::string::npos ? "" : line.substr(bar2 + 3);
    return r;
}

} // namespace

namespace bench_record {

int in_app(int argc, char** argv)
{
    double seconds = 10;
    int rounds = 5;
    std::vector<std::tuple<int, int, int>> sizes = { { 1920, 1080, 60 }, { 3840, 2160, 30 } };
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--in-app-round") == 0) {
            QCoreApplication app(argc, argv);
            int fps = 60;
            for (int j = 1; j + 1 < argc; ++j) {
                if (std::strcmp(argv[j], "--fps") == 0)
                    fps = std::atoi(argv[j + 1]);
                if (std::strcmp(argv[j], "--seconds") == 0)
                    seconds = std::atof(argv[j + 1]);
                if (std::strcmp(argv[j], "--rounds") == 0)
                    rounds = std::atoi(argv[j + 1]);
            }
            return round_in_session(fps, seconds, rounds);
        }
        if (i + 1 < argc && std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        if (i + 1 < argc && std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
        if (i + 1 < argc && std::strcmp(argv[i], "--size") == 0) {
            // One size alone: WxH@fps.
            int w = 0, h = 0, fps = 0;
            if (std::sscanf(argv[i + 1], "%dx%d@%d", &w, &h, &fps) == 3)
                sizes = { { w, h, fps } };
        }
    }
    QCoreApplication app(argc, argv);
    std::vector<Row> rows;
    for (const auto& [w, h, fps] : sizes) {
        fmt::print("{}×{} a {} cuadros/s: {} rondas de {:.0f} s (carga {})\n", w, h, fps, rounds, seconds, loadavg());
        std::fflush(stdout);
        QProcess session;
        session.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        session.start(QString(VISTROPE_SOURCE_DIR) + "/scripts/x-session",
            { "--size", QString("%1x%2").arg(w).arg(h), QCoreApplication::applicationFilePath(), "--in-app-round", "--fps",
                QString::number(fps), "--seconds", QString::number(seconds), "--rounds", QString::number(rounds) });
        while (session.state() != QProcess::NotRunning || session.bytesAvailable()) {
            session.waitForReadyRead(200);
            while (session.canReadLine()) {
                std::string line = session.readLine().toStdString();
                if (!line.starts_with("RESULT")) {
                    fmt::print("{}", line);
                    continue;
                }
                while (!line.empty() && line.back() == '\n')
                    line.pop_back();
                if (auto row = parse(line))
                    rows.push_back(*row);
            }
            std::fflush(stdout);
        }
        if (session.exitCode() != 0)
            fmt::print("la sesión de {}×{} terminó con {}\n", w, h, session.exitCode());
    }
    fmt::print("\nGrabación en la app (pantalla entera, ajustes por omisión) frente a ffmpeg x11grab + libx264 ultrafast, {} × {:.0f} s:\n",
        rounds, seconds);
    fmt::print("{:<14} {:<16} {:>20} {:>14} {:>10} {:>34}  {}\n", "tamaño", "quién", "cuadros guardados", "CPU/cuadro", "RSS pico",
        "RSS reposo, tras el selector → tras cada grabación", "carga antes → después");
    for (const Row& r : rows) {
        const std::string size = fmt::format("{}×{}@{}", r.w, r.h, r.fps);
        std::string afters = fmt::format("{:.0f}, {:.0f} →", r.rest, r.warm);
        for (double a : r.after)
            afters += fmt::format(" {:.0f}", a);
        fmt::print("{:<14} {:<16} {:>9}/{:<5} {:>5.1f} % {:>11.1f} ms {:>7.0f} MB {:>34}  {} → {}\n", size, "nuestra", r.ours.frames,
            r.ours.slots, 100 * r.ours.share(), r.ours.cpu_per_frame_ms(), r.ours.peak, afters, r.load_before, r.load_after);
        fmt::print("{:<14} {:<16} {:>9}/{:<5} {:>5.1f} % {:>11.1f} ms {:>7.0f} MB {:>34}\n", "", "ffmpeg", r.theirs.frames,
            r.theirs.slots, 100 * r.theirs.share(), r.theirs.cpu_per_frame_ms(), r.theirs.peak, "—");
        // Growth over the rest once the overlay has been shown.
        double growth = 0;
        for (double a : r.after)
            growth = std::max(growth, a - r.warm);
        fmt::print("{:<14} {:<16} {:>17.2f}  {:>14.2f} {:>10.2f} {:>34}\n", "", "nuestra/ffmpeg",
            r.theirs.share() ? r.ours.share() / r.theirs.share() : 0.0,
            r.theirs.cpu_per_frame_ms() ? r.ours.cpu_per_frame_ms() / r.theirs.cpu_per_frame_ms() : 0.0,
            r.theirs.peak ? r.ours.peak / r.theirs.peak : 0.0, fmt::format("+{:.0f} MB máx.", growth));
    }
    return rows.size() == sizes.size() ? 0 : 1;
}

} // namespace bench_record
