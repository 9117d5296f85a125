// The front as the desktop starts it for a link, with no instance running:
// the caller gets its answer at once, the program runs on in a session of its
// own whatever happens to the caller, and the first capture sounds with its
// flash. A relaunch while the instance ends or right after it died, a caller
// that hangs up during the launch, a crowded socket, and the mode of first
// captures.
#include "wait_slack.h"
#include "platform/url_scheme.h"
#include "program.h"
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
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
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
    // Whether `pid` is a vistrope-app that has not ended (a zombie has no program).
    static bool is_instance(pid_t pid)
    {
        std::error_code ec;
        return fs::read_symlink(fs::path("/proc") / std::to_string(pid) / "exe", ec).filename() == "vistrope-app";
    }
    // The running instance of this home: a vistrope-app whose HOME is ours
    // (while an ending one is still there, either).
    std::optional<pid_t> instance() const { return instance_in_home(dir.path()); }
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
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms) * testing_support::wait_slack();
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
    caller.start("/bin/sh", { "-c", "xdg-open \"$0\"; echo \"$? $(date +%s.%N)\" > \"$1\"; exec sleep 60",
                                "vistrope://capture-fullscreen", QString::fromStdString(status.string()) });
    ASSERT_TRUE(caller.waitForStarted(5000));
    ASSERT_TRUE(Home::wait_until_true([&] { return read_file(status).ends_with('\n'); }, 20000)) << "xdg-open never returned";
    const qint64 ms = took.elapsed();
    std::istringstream said(read_file(status));
    int code = -1;
    double returned_at = 0;
    said >> code >> returned_at;
    EXPECT_EQ(code, 0);
    std::cout << "xdg-open of a link without an instance returned after " << ms << " ms\n";

    ASSERT_TRUE(Home::wait_until_true([&] { return pngs_in(home.captures()).size() == 1; }, 20000)) << home.log();
    // At once: before the program it started was even ready, however long
    // this machine took for either (a front that waited for the instance to
    // take the link returns after it).
    const auto ready_at = logged_at(home.log(), " listo");
    ASSERT_TRUE(ready_at) << home.log();
    EXPECT_LT(returned_at, *ready_at) << "xdg-open returned " << returned_at - *ready_at << " s after the program was ready";
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
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10) * testing_support::wait_slack();
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

namespace {

struct FrontRun {
    int status = -1;
    std::string err;
};

// The front as a user runs it, to its end; its status and what it said.
FrontRun run_front(const Home& home, const QStringList& args)
{
    QProcess front;
    front.setProcessEnvironment(home.environment());
    front.setChildProcessModifier([] { ::umask(022); });
    front.start(VISTROPE_FRONT, args);
    FrontRun r;
    if (!front.waitForFinished(60000)) {
        front.kill();
        front.waitForFinished(5000);
        r.err = "the front did not end within a minute";
        return r;
    }
    r.status = front.exitStatus() == QProcess::NormalExit ? front.exitCode() : 128 + front.exitCode();
    r.err = front.readAllStandardError().toStdString();
    return r;
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

} // namespace

// A relaunch while the instance ends (SIGTERM, as at logout) or right after
// it died (SIGKILL) starts a new instance that takes the link, or says why
// it did not; it never returns 0 having handed the link to the dying one.
TEST(FrontDesktop, ARelaunchRightAfterTheInstanceEndsOrDiesStartsANewOne)
{
    Home home(false);
    FrontRun first = run_front(home, { "vistrope://capture-fullscreen" });
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_TRUE(Home::wait_until_true([&] { return pngs_in(home.captures()).size() == 1; }, 20000)) << home.log();
    size_t captures = 1;
    for (const int signal : { SIGTERM, SIGKILL }) {
        int started = 0, refused = 0;
        double slowest_ms = 0;
        for (int round = 0; round < 20; ++round) {
            const auto old = home.instance();
            ASSERT_TRUE(old) << "round " << round << "\n" << home.log();
            ASSERT_EQ(::kill(*old, signal), 0);
            QElapsedTimer took;
            took.start();
            const FrontRun again = run_front(home, { "vistrope://capture-fullscreen" });
            if (again.status != 0) {
                // Allowed, when it says why.
                ++refused;
                EXPECT_EQ(again.err.rfind("vistrope: ", 0), 0u) << "status " << again.status << " without a reason: " << again.err;
                ASSERT_TRUE(Home::wait_until_true([&] { return !home.instance(); }, 15000));
                ASSERT_EQ(run_front(home, {}).status, 0);
                ASSERT_TRUE(Home::wait_until_true([&] { return home.instance().has_value(); }, 10000));
                continue;
            }
            // The front returns once a new instance holds the lock, and the
            // link is acted on (how long that takes says nothing: the
            // machine may be loaded).
            slowest_ms = std::max(slowest_ms, static_cast<double>(took.elapsed()));
            // The ending instance gave the lock up before it was gone, and may
            // still be there: it is awaited, and then an instance must run.
            // One that took the link while it ended would leave none.
            ASSERT_TRUE(Home::wait_until_true([&] { return !Home::is_instance(*old); }, 15000))
                << "the instance that was sent signal " << signal << " never ended, round " << round;
            const auto now = home.instance();
            ASSERT_TRUE(now) << "status 0 and no instance: the link went to the instance that was ending, signal " << signal
                             << " round " << round << "\n" << home.log();
            EXPECT_NE(*now, *old);
            ++captures;
            ASSERT_TRUE(Home::wait_until_true([&] { return pngs_in(home.captures()).size() == captures; }, 20000))
                << "the new instance did not act on the link, signal " << signal << " round " << round << "\n" << home.log();
            ++started;
        }
        std::cout << "after signal " << signal << ": a new instance took the link " << started << " times of 20, a reason "
                  << refused << " times; the slowest relaunch took " << slowest_ms << " ms\n";
    }
    home.stop();
}

// The caller hangs up (its terminal closes, Ctrl+C reaches its group, its
// pipes lose their reader) at any moment of the launch: an instance the front
// has started stays up; none is half started and killed.
TEST(FrontDesktop, ACallerThatHangsUpAnyTimeDuringTheLaunchLeavesTheInstanceUp)
{
    Home home(false);
    // Orphans of the front (the new instance, once the front is gone) become
    // this process's children, so that one that dies is seen, not reaped unseen.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const QProcessEnvironment qenv = home.environment();
    std::vector<std::string> env_text;
    for (const QString& entry : qenv.toStringList())
        env_text.push_back(entry.toStdString());
    std::vector<char*> envp;
    for (std::string& e : env_text)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string front_path = VISTROPE_FRONT;
    char* argv[] = { front_path.data(), nullptr };
    const auto adopted = [] {
        // Children of ours that the front left: their pids and states.
        std::vector<std::pair<pid_t, char>> found;
        for (const auto& e : fs::directory_iterator("/proc")) {
            const std::string name = e.path().filename();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            const std::string stat = read_file(e.path() / "stat");
            const size_t close = stat.rfind(')');
            if (close == std::string::npos || stat.find("(vistrope") == std::string::npos)
                continue;
            char state = 0;
            int ppid = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == ::getpid())
                found.emplace_back(static_cast<pid_t>(std::stol(name)), state);
        }
        return found;
    };

    int up = 0, never_started = 0;
    for (int ms = 0; ms <= 200; ms += 10) {
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        // A job of a terminal: a group of its own, and the signals a
        // terminal sends with their default action, whatever this process
        // was started with.
        posix_spawnattr_setpgroup(&attr, 0);
        sigset_t defaults, none;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGHUP);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGPIPE);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t front = 0;
        const size_t ready_before = count_of(home.log(), " listo\n");
        ASSERT_EQ(::posix_spawn(&front, argv[0], &actions, &attr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        ::close(out[1]);
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        ::kill(-front, SIGHUP);
        ::kill(-front, SIGINT);
        ::close(out[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(front, &status, 0), front);
        // The front is gone: a child it forked is ours now, living or dead.
        const auto children = adopted();
        ASSERT_LE(children.size(), 1u) << "at " << ms << " ms";
        if (children.empty()) {
            ++never_started;
            EXPECT_TRUE(WIFSIGNALED(status)) << "the front ended by itself at " << ms << " ms and started nothing";
            continue;
        }
        const pid_t child = children[0].first;
        // Up means it told the front, went on to finish its launch, and runs.
        const bool launched = Home::wait_until_true([&] {
            const auto now = adopted();
            return count_of(home.log(), " listo\n") > ready_before || now.empty() || now[0].second == 'Z';
        }, 20000);
        const auto after = adopted();
        const bool alive = !after.empty() && after[0].second != 'Z';
        int child_status = 0;
        if (!alive)
            ::waitpid(child, &child_status, WNOHANG);
        EXPECT_TRUE(launched && alive) << "hang-up at " << ms << " ms: the new instance "
                                       << (alive ? "never finished its launch"
                                                 : fmt::format("died (signal {})", WIFSIGNALED(child_status) ? WTERMSIG(child_status) : 0))
                                       << "\n" << home.log();
        up += alive;
        ::kill(child, SIGTERM);
        ::waitpid(child, &child_status, 0);
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
    std::cout << "hang-ups from 0 to 200 ms: the instance was up after " << up << " launches; the front was stopped before it "
              << "started one " << never_started << " times\n";
    // A loaded machine may be slow to even start the front: only a few of
    // the early hang-ups may stop it before it forks.
    EXPECT_GE(up, 10) << "too few launches got as far as an instance to tell anything";
}

// With every connection the instance allows held open by another client, a
// link is either taken or refused aloud; it is never dropped with status 0.
TEST(FrontDesktop, ALinkWhileThirtyTwoConnectionsAreHeldIsTakenOrRefusedAloud)
{
    Home home(false);
    ASSERT_EQ(run_front(home, {}).status, 0);
    ASSERT_TRUE(Home::wait_until_true([&] { return home.log().find(" listo\n") != std::string::npos; }, 20000)) << home.log();
    const fs::path socket = home.dir.path() / "run/vistrope.sock";
    std::vector<int> held;
    for (int i = 0; i < 32; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
        held.push_back(fd);
    }
    const FrontRun crowded = run_front(home, { "vistrope://capture-fullscreen" });
    if (crowded.status == 0) {
        EXPECT_TRUE(Home::wait_until_true([&] { return pngs_in(home.captures()).size() == 1; }, 20000))
            << "status 0, and the link was dropped\n" << home.log();
    } else {
        EXPECT_NE(crowded.err.find("demasiadas conexiones"), std::string::npos) << crowded.err;
        EXPECT_TRUE(pngs_in(home.captures()).empty());
    }
    std::cout << "a link while 32 connections are held: status " << crowded.status << " " << crowded.err;
    for (const int fd : held)
        ::close(fd);
    const size_t before = pngs_in(home.captures()).size();
    const FrontRun after = run_front(home, { "vistrope://capture-fullscreen" });
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_TRUE(Home::wait_until_true([&] { return pngs_in(home.captures()).size() == before + 1; }, 20000)) << home.log();
    home.stop();
}

// The shutter's sound client narrows the process's mask for a moment on
// another thread while the first capture's file is made: under a mask of 022
// every first capture of a fresh launch is still readable by others (0644).
// Fifty launches, five at a time in homes of their own.
TEST(FrontDesktop, FirstCapturesOfFreshLaunchesTakeTheUsersMask)
{
    constexpr int AT_ONCE = 5;
    std::vector<std::string> modes;
    for (int round = 0; round < 50 / AT_ONCE; ++round) {
        std::vector<std::unique_ptr<Home>> homes;
        for (int i = 0; i < AT_ONCE; ++i)
            homes.push_back(std::make_unique<Home>(true));
        std::vector<std::unique_ptr<QProcess>> fronts;
        for (const auto& home : homes) {
            auto& front = *fronts.emplace_back(std::make_unique<QProcess>());
            front.setProcessEnvironment(home->environment());
            front.setChildProcessModifier([] { ::umask(022); });
            front.start(VISTROPE_FRONT, { "vistrope://capture-fullscreen" });
        }
        for (auto& front : fronts) {
            ASSERT_TRUE(front->waitForFinished(60000));
            ASSERT_EQ(front->exitCode(), 0) << front->readAllStandardError().toStdString();
        }
        std::vector<pid_t> instances;
        for (const auto& home : homes) {
            ASSERT_TRUE(Home::wait_until_true([&] { return pngs_in(home->captures()).size() == 1; }, 30000)) << home->log();
            const auto png = pngs_in(home->captures())[0];
            const auto perms = fs::status(png).permissions() & fs::perms::all;
            modes.push_back(fmt::format("{:o}", static_cast<unsigned>(perms)));
            if (const auto pid = home->instance())
                instances.push_back(*pid);
        }
        // All five end at once.
        for (const pid_t pid : instances)
            ::kill(pid, SIGTERM);
        for (const pid_t pid : instances)
            Home::wait_until_true([&] { return !fs::exists(fs::path("/proc") / std::to_string(pid)); }, 15000);
    }
    ASSERT_EQ(modes.size(), 50u);
    EXPECT_EQ(std::count(modes.begin(), modes.end(), "644"), 50) << fmt::format("{}", fmt::join(modes, " "));
}
