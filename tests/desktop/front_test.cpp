// The front as the desktop starts it for a link, with no instance running:
// the caller gets its answer at once, the program runs on in a session of its
// own whatever happens to the caller, and the first capture sounds with its
// flash.
#include "platform/url_scheme.h"
#include "test_util.h"

#include <QElapsedTimer>
#include <QProcess>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A home of the test's own with every XDG folder in it; the link scheme
// registered there for the front, as a first run of the program leaves it.
struct Home {
    explicit Home(bool sound)
    {
        fs::create_directories(dir.path() / "run");
        fs::permissions(dir.path() / "run", fs::perms::owner_all);
        write_file(dir.path() / "conf/vistrope/config.toml",
            "save_dir = \"" + captures().string() + "\"\n[after_capture]\nshow_quick_access = false\nplay_sound = "
                + (sound ? "true" : "false") + "\nflash = true\n");
        write_file(dir.path() / "conf/vistrope/onboarded", "");
        ScopedEnv data("XDG_DATA_HOME", (dir.path() / "data").string());
        ScopedEnv conf("XDG_CONFIG_HOME", (dir.path() / "conf").string());
        EXPECT_TRUE(platform::install_desktop_entry(VISTROPE_FRONT));
    }
    fs::path captures() const { return dir.path() / "capturas"; }
    std::string log() const { return read_file(dir.path() / "state/vistrope/vistrope.log"); }
    QProcessEnvironment environment() const
    {
        auto env = QProcessEnvironment::systemEnvironment();
        const QString root = QString::fromStdString(dir.path().string());
        env.insert("HOME", root);
        env.insert("XDG_CONFIG_HOME", root + "/conf");
        env.insert("XDG_DATA_HOME", root + "/data");
        env.insert("XDG_STATE_HOME", root + "/state");
        env.insert("XDG_RUNTIME_DIR", root + "/run");
        // A bare window manager: xdg-open reads the desktop entry itself.
        for (const char* desktop : { "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID" })
            env.remove(desktop);
        return env;
    }
    // The running instance of this home: a vistrope-app whose HOME is ours.
    std::optional<pid_t> instance() const
    {
        const std::string wanted = "HOME=" + dir.path().string();
        for (const auto& e : fs::directory_iterator("/proc")) {
            const std::string name = e.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::error_code ec;
            if (fs::read_symlink(e.path() / "exe", ec).filename() != "vistrope-app")
                continue;
            std::ifstream environ(e.path() / "environ", std::ios::binary);
            for (std::string entry; std::getline(environ, entry, '\0');)
                if (entry == wanted)
                    return static_cast<pid_t>(std::stol(name));
        }
        return std::nullopt;
    }
    // Stops the instance, if one runs, and waits for it to end.
    void stop() const
    {
        if (const auto pid = instance()) {
            ::kill(*pid, SIGTERM);
            wait_until_true([&] { return !fs::exists(fs::path("/proc") / std::to_string(*pid)); }, 15000);
        }
    }
    static bool wait_until_true(const std::function<bool()>& done, int ms)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done() && std::chrono::steady_clock::now() < until)
            ::usleep(20'000);
        return done();
    }

    TempDir dir;
};

// Unix seconds of the first log line that holds `text`.
std::optional<double> logged_at(const std::string& log, const std::string& text)
{
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.find(text) != std::string::npos)
            return std::stod(line.substr(0, line.find(' ')));
    return std::nullopt;
}

double unix_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace

TEST(FrontDesktop, XdgOpenWithoutAnInstanceReturnsAtOnceAndTheProgramOutlivesTheCallersGroup)
{
    Home home(false);
    ASSERT_FALSE(home.instance());
    const fs::path status = home.dir.path() / "estado";
    // The caller: a shell in a process group of its own, as a terminal's
    // job is, that opens the link and then waits, as a terminal would.
    QProcess caller;
    caller.setProcessEnvironment(home.environment());
    caller.setChildProcessModifier([] { ::setpgid(0, 0); });
    QElapsedTimer took;
    took.start();
    caller.start("/bin/sh", { "-c", "xdg-open \"$0\"; echo $? > \"$1\"; exec sleep 60", "vistrope://capture-fullscreen",
                                QString::fromStdString(status.string()) });
    ASSERT_TRUE(caller.waitForStarted(5000));
    ASSERT_TRUE(Home::wait_until_true([&] { return !read_file(status).empty(); }, 20000)) << "xdg-open never returned";
    const qint64 ms = took.elapsed();
    EXPECT_EQ(read_file(status), "0\n");
    EXPECT_LT(ms, 1000) << "xdg-open returned after " << ms << " ms";
    std::cout << "xdg-open of a link without an instance returned after " << ms << " ms\n";

    ASSERT_TRUE(Home::wait_until_true([&] { return pngs_in(home.captures()).size() == 1; }, 20000)) << home.log();
    const auto pid = home.instance();
    ASSERT_TRUE(pid) << home.log();
    EXPECT_EQ(::getsid(*pid), *pid) << "the program leads a session of its own";

    // The caller's terminal hangs up, then Ctrl+C reaches its group.
    const pid_t group = static_cast<pid_t>(caller.processId());
    ::kill(-group, SIGHUP);
    ::kill(-group, SIGINT);
    EXPECT_TRUE(caller.waitForFinished(5000));
    ::usleep(500'000);
    EXPECT_EQ(home.instance(), pid) << home.log();
    EXPECT_EQ(home.log().find("recibí la señal"), std::string::npos) << home.log();

    // A link to the running instance returns as before, and is taken.
    QProcess again;
    again.setProcessEnvironment(home.environment());
    again.start(VISTROPE_FRONT, { "vistrope://capture-fullscreen" });
    ASSERT_TRUE(again.waitForFinished(10000));
    EXPECT_EQ(again.exitCode(), 0);
    EXPECT_TRUE(Home::wait_until_true([&] { return pngs_in(home.captures()).size() == 2; }, 20000)) << home.log();
    home.stop();
    EXPECT_FALSE(home.instance());
}

// Without a display the program cannot start: the front says why, with the
// program's own words and status, rather than return as if it had.
TEST(FrontDesktop, AProgramThatCannotStartIsReportedByTheFront)
{
    Home home(false);
    QProcessEnvironment env = home.environment();
    env.remove("DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    QProcess front;
    front.setProcessEnvironment(env);
    front.start(VISTROPE_FRONT, {});
    ASSERT_TRUE(front.waitForFinished(20000));
    EXPECT_EQ(front.exitCode(), 1);
    EXPECT_EQ(front.readAllStandardError().toStdString(), "vistrope: no hay pantalla (DISPLAY)\n");
}

// The first capture of a program started by its link: the shutter, heard on
// the session's null sink, begins within 100 ms of the flash (the delivery's
// log line, which the flash follows in the same turn).
TEST(FrontDesktop, TheFirstCaptureAfterLaunchSoundsWithItsFlash)
{
    Home home(true);
    const std::string sink = QString::fromLocal8Bit(
        [] {
            QProcess p;
            p.start("pactl", { "get-default-sink" });
            p.waitForFinished(10000);
            return p.readAllStandardOutput();
        }())
                                 .trimmed()
                                 .toStdString();
    ASSERT_FALSE(sink.empty()) << "no PulseAudio in the session";
    QProcess record;
    record.start("parec", { "-d", QString::fromStdString(sink + ".monitor"), "--raw", "--format=s16le", "--rate=44100",
                              "--channels=1", "--latency-msec=10" });
    ASSERT_TRUE(record.waitForStarted(5000));
    ASSERT_TRUE(record.waitForReadyRead(5000)) << "the monitor gives nothing";
    // The session's first playback stream starts half a second late, whoever
    // plays it: a short silence takes that first.
    QProcess silence;
    silence.start("pacat", { "--raw", "--format=s16le", "--rate=44100", "--channels=1" });
    ASSERT_TRUE(silence.waitForStarted(5000));
    silence.write(QByteArray(8820, '\0'));
    silence.closeWriteChannel();
    ASSERT_TRUE(silence.waitForFinished(10000));
    record.waitForReadyRead(200);
    record.readAll();

    QProcess front;
    front.setProcessEnvironment(home.environment());
    front.start(VISTROPE_FRONT, { "vistrope://capture-fullscreen" });
    // Each portion's arrival dates its samples: the onset is the first loud
    // sample, as long before its portion's arrival as the samples after it
    // last (an estimate that is never early by more than the sink's latency).
    std::optional<double> onset;
    QByteArray pending;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!onset && std::chrono::steady_clock::now() < until) {
        record.waitForReadyRead(5);
        pending += record.readAll();
        const double arrived = unix_now();
        const qsizetype samples = pending.size() / 2;
        for (qsizetype i = 0; i < samples && !onset; ++i) {
            const auto value = static_cast<std::int16_t>(static_cast<std::uint8_t>(pending[2 * i])
                | static_cast<std::uint8_t>(pending[2 * i + 1]) << 8);
            if (std::abs(value) > 500)
                onset = arrived - static_cast<double>(samples - i) / 44100.0;
        }
        pending.remove(0, samples * 2);
    }
    record.kill();
    record.waitForFinished(5000);
    EXPECT_TRUE(front.waitForFinished(10000));
    ASSERT_TRUE(Home::wait_until_true([&] { return pngs_in(home.captures()).size() == 1; }, 20000)) << home.log();
    const auto flash = logged_at(home.log(), "lista para entregar");
    home.stop();
    ASSERT_TRUE(flash) << home.log();
    ASSERT_TRUE(onset) << "no shutter was heard\n" << home.log();
    const double late_ms = (*onset - *flash) * 1000.0;
    std::cout << "the first shutter began " << late_ms << " ms after its flash\n";
    EXPECT_LT(late_ms, 100.0) << home.log();
    EXPECT_GT(late_ms, -50.0) << "a sound before the capture is not its shutter\n" << home.log();
}
