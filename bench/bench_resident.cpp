// What the program holds and spends as a resident tray program across
// whole-screen captures, driven as a user drives it.
//
// For each size (3840×2160, then 1920×1080) a private test session of that
// size is started (scripts/x-session), with a still full-screen window of
// this benchmark's as the scene. Inside it the program is launched through
// its front executable with its default settings (flash, card, clipboard and
// file) but for the capture folder, and takes 20 whole-screen captures by
// link ("vistrope://capture-fullscreen"), one after the other once the last
// is on disk and its flash and card have settled. After each it prints the
// time from the link to the PNG on disk, the CPU (user + system) the capture
// cost the program, and its resident size split as the kernel counts it
// (/proc/PID/status: anonymous, shared memory, file-backed); then the same
// 30 s after the last capture. When flameshot is installed its daemon takes
// as many captures (`flameshot full`) and its resident size is printed
// beside ours; without it that column is left out.
//
//   bench_resident [--captures N] [--size WxH]
//   bench_resident --smoke      one session of 1280×720, 2 captures
#include "bench_common.h"
#include "bench_process.h"
#include "bench_scene.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace bench_process;

// Resident size and its split, MiB.
struct Resident {
    double rss = 0, anon = 0, shmem = 0, file = 0;
};

Resident resident(qint64 pid)
{
    return { status_mb(pid, "VmRSS:"), status_mb(pid, "RssAnon:"), status_mb(pid, "RssShmem:"), status_mb(pid, "RssFile:") };
}

std::string columns(const Resident& r)
{
    return fmt::format("{:7.1f} MiB (anónima {:6.1f}, compartida {:5.1f}, de archivos {:5.1f})", r.rss, r.anon, r.shmem, r.file);
}

// The scene and the program run in processes of their own: waiting is sleeping.
void rest(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
}

// The daemon's resident size across as many captures; none when flameshot
// is not installed.
std::vector<double> flameshot_column(int captures, const QString& folder)
{
    const QString flameshot = QStandardPaths::findExecutable("flameshot");
    if (flameshot.isEmpty())
        return {};
    QProcess daemon;
    daemon.start(flameshot, {});
    if (!daemon.waitForStarted(10000))
        return {};
    rest(3000);
    std::vector<double> rss { status_mb(daemon.processId(), "VmRSS:") };
    for (int i = 0; i < captures; ++i) {
        QProcess shot;
        shot.start(flameshot, { "full", "--path", folder });
        shot.waitForFinished(30000);
        rest(1500);
        rss.push_back(status_mb(daemon.processId(), "VmRSS:"));
    }
    daemon.terminate();
    if (!daemon.waitForFinished(5000))
        daemon.kill();
    return rss;
}

// One size, inside its own test session.
int round_in_session(int captures, int last_wait_ms)
{
    const auto size = display_size();
    if (!size) {
        fmt::print("sin pantalla X\n");
        return 1;
    }
    const auto [w, h] = *size;
    QTemporaryDir home;
    const QString folder = prepare_home(home);
    QProcess scene;
    scene.start(QCoreApplication::applicationFilePath(), { "--scene" });
    scene.waitForStarted();
    rest(1500);

    fmt::print("{}×{}: {} capturas de pantalla completa por enlace (carga {})\n", w, h, captures, loadavg());
    App app(VISTROPE_FRONT, home.path());
    if (!app.wait_count("[vistrope] listo", 1, 30)) {
        fmt::print("el programa no arrancó:\n{}\n", app.log());
        return 1;
    }
    rest(3000);
    fmt::print("  en reposo:        {}\n", columns(resident(app.pid())));
    std::fflush(stdout);
    std::vector<double> to_disk, cpu;
    for (int i = 1; i <= captures; ++i) {
        const double cpu0 = process_cpu(app.pid());
        QElapsedTimer t;
        t.start();
        app.link("vistrope://capture-fullscreen");
        if (!app.wait_count("listo en portapapeles y disco", static_cast<std::size_t>(i), 30)) {
            fmt::print("la captura {} no llegó al disco:\n{}\n", i, app.log());
            return 1;
        }
        to_disk.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        // The flash (under half a second), the card's fade and the glass's
        // late work are part of what a capture costs.
        rest(2000);
        cpu.push_back(process_cpu(app.pid()) - cpu0);
        fmt::print("  captura {:2}: {:6.0f} ms al disco, CPU {:.2f} s, {}\n", i, to_disk.back(), cpu.back(),
            columns(resident(app.pid())));
        std::fflush(stdout);
    }
    rest(last_wait_ms);
    const Resident last = resident(app.pid());
    fmt::print("  {:.0f} s tras la última: {}\n", last_wait_ms / 1000.0, columns(last));
    const std::vector<double> theirs = flameshot_column(captures, folder);
    if (!theirs.empty()) {
        std::string line = fmt::format("  flameshot (demonio), en reposo {:.1f} MiB, tras cada captura:", theirs.front());
        for (std::size_t i = 1; i < theirs.size(); ++i)
            line += fmt::format(" {:.1f}", theirs[i]);
        fmt::print("{}\n", line);
    }
    const bench::Timing disk_t = bench::summarize(to_disk);
    const bench::Timing cpu_t = bench::summarize(cpu); // seconds, though the helper names them ms
    fmt::print("RESUMEN {}×{}: enlace → PNG en disco mediana {:.0f} ms; CPU por captura mediana {:.2f} s (máx. {:.2f}); "
               "RSS {:.1f} MiB {:.0f} s tras la última{}\n",
        w, h, disk_t.median_ms, cpu_t.median_ms, *std::max_element(cpu.begin(), cpu.end()), last.rss,
        last_wait_ms / 1000.0, theirs.empty() ? "" : fmt::format("; flameshot {:.1f} MiB", theirs.back()));
    scene.terminate();
    scene.waitForFinished(5000);
    return 0;
}

int show_scene(int argc, char** argv)
{
    QApplication app(argc, argv);
    bench::Busy busy;
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    busy.setGeometry(screen);
    busy.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv)
{
    int captures = 20;
    std::vector<QString> sizes { "3840x2160", "1920x1080" };
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--scene") == 0)
            return show_scene(argc, argv);
        if (std::strcmp(argv[i], "--round") == 0 && i + 2 < argc) {
            QCoreApplication app(argc, argv);
            return round_in_session(std::atoi(argv[i + 1]), std::atoi(argv[i + 2]));
        }
        if (std::strcmp(argv[i], "--captures") == 0 && i + 1 < argc)
            captures = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--size") == 0 && i + 1 < argc)
            sizes = { QString(argv[i + 1]) };
    }
    int last_wait_ms = 30000;
    if (bench::smoke(argc, argv)) {
        sizes = { "1280x720" };
        captures = 2;
        last_wait_ms = 1000;
    }
    QCoreApplication app(argc, argv);
    int failed = 0;
    for (const QString& size : sizes) {
        QProcess session;
        session.setProcessChannelMode(QProcess::ForwardedChannels);
        // The session's programs draw on its X display, not Qt's offscreen platform.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("QT_QPA_PLATFORM");
        session.setProcessEnvironment(env);
        session.start(QString(VISTROPE_SOURCE_DIR) + "/scripts/x-session",
            { "--size", size, QCoreApplication::applicationFilePath(), "--round", QString::number(captures),
                QString::number(last_wait_ms) });
        session.waitForFinished(-1);
        if (session.exitCode() != 0) {
            fmt::print("la sesión de {} terminó con {}\n", size.toStdString(), session.exitCode());
            ++failed;
        }
    }
    return failed ? 1 : 0;
}
