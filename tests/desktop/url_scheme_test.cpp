// The running program with a broken desktop registration, links whose URLs
// carry terminal controls, and links that name nothing the program does.
#include "platform/instance.h"
#include "program.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

QProcessEnvironment environment_in(const TempDir& dir)
{
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(dir.path().string()));
    env.remove("XDG_STATE_HOME");
    env.insert("XDG_CONFIG_HOME", QString::fromStdString((dir.path() / "conf").string()));
    env.insert("XDG_DATA_HOME", QString::fromStdString((dir.path() / "data").string()));
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString((dir.path() / "run").string()));
    return env;
}

// A private runtime folder and a user past the first run whose captures go,
// with no card, sound or flash, to the folder returned.
fs::path quiet_home(const TempDir& dir)
{
    fs::create_directories(dir.path() / "run");
    fs::permissions(dir.path() / "run", fs::perms::owner_all);
    const fs::path captures = dir.path() / "capturas";
    write_file(dir.path() / "conf/vistrope/config.toml",
        "save_dir = \"" + captures.string() + "\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n");
    write_file(dir.path() / "conf/vistrope/onboarded", "");
    return captures;
}

bool wait_for(QProcess& process, std::string& err, const std::string& text, int seconds = 30)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds) * testing_support::wait_slack();
    while (err.find(text) == std::string::npos && std::chrono::steady_clock::now() < until) {
        process.waitForReadyRead(100);
        err += process.readAllStandardError().toStdString();
    }
    return err.find(text) != std::string::npos;
}

} // namespace

TEST(UrlSchemeDesktop, AFolderForMimeappsIsAFailedRegistrationAndControlsAreEscaped)
{
    TempDir dir;
    fs::create_directories(dir.path() / "conf/mimeapps.list/kept");
    fs::create_directories(dir.path() / "run");
    fs::permissions(dir.path() / "run", fs::perms::owner_all);

    QProcess program;
    program.setProcessEnvironment(environment_in(dir));
    program.start(VISTROPE_BINARY, {});
    ASSERT_TRUE(program.waitForStarted(5000));
    std::string err;
    EXPECT_TRUE(wait_for(program, err, "no pude registrar el esquema vistrope://")) << err;
    ASSERT_TRUE(wait_for(program, err, "listo")) << err;
    EXPECT_EQ(program.state(), QProcess::Running) << err;
    EXPECT_TRUE(fs::is_directory(dir.path() / "conf/mimeapps.list/kept"));

    // An unknown link whose URL would clear the terminal and forge a line.
    QProcess second;
    second.setProcessEnvironment(environment_in(dir));
    second.start(VISTROPE_BINARY, { QString::fromUtf8("vistrope://x\x1b[2J\nlisto\x7f\xc2\x9b") });
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 1) << "an unknown link is an error for its launch";
    EXPECT_TRUE(wait_for(program, err, "URL desconocida: vistrope://x\\x1B[2J%0Alisto\\x7F\\xC2\\x9B\n")) << err;
    EXPECT_EQ(err.find('\x1b'), std::string::npos) << "a raw control reached the log";
    EXPECT_EQ(err.find("URL desconocida: listo"), std::string::npos) << "the URL was split in two";

    program.terminate();
    EXPECT_TRUE(program.waitForFinished(10000));
}

TEST(UrlSchemeDesktop, XdgOpenOfALinkCaptures)
{
    TempDir dir;
    const fs::path captures = quiet_home(dir);
    QProcessEnvironment env = environment_in(dir);
    // A bare window manager: xdg-open takes its generic road, reading the
    // desktop entry's Exec itself.
    for (const char* desktop : { "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID" })
        env.remove(desktop);

    QProcess program;
    program.setProcessEnvironment(env);
    program.start(VISTROPE_BINARY, {});
    ASSERT_TRUE(program.waitForStarted(5000));
    std::string err;
    ASSERT_TRUE(wait_for(program, err, "listo")) << err;

    QProcess open;
    open.setProcessEnvironment(env);
    open.start("xdg-open", { "vistrope://capture-fullscreen" });
    ASSERT_TRUE(open.waitForFinished(30000));
    EXPECT_EQ(open.exitCode(), 0) << open.readAllStandardError().toStdString();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20) * testing_support::wait_slack();
    while (pngs_in(captures).empty() && std::chrono::steady_clock::now() < until) {
        program.waitForReadyRead(100);
        err += program.readAllStandardError().toStdString();
    }
    EXPECT_EQ(pngs_in(captures).size(), 1u) << err;
    program.terminate();
    program.waitForFinished(5000);
}

// A link that names nothing the program does is logged and shown nowhere;
// its launch says so on one line and fails, whether it started the instance
// or found it running. A known one still succeeds.
TEST(UrlSchemeDesktop, AnUnknownHostFailsItsLaunchAloudAndShowsNothing)
{
    TempDir dir;
    const fs::path captures = quiet_home(dir);
    const QProcessEnvironment env = environment_in(dir);
    const fs::path log = dir.path() / ".local/state/vistrope/vistrope.log";
    const auto launch = [&](const char* url) {
        QProcess front;
        front.setProcessEnvironment(env);
        front.start(VISTROPE_FRONT, { url });
        EXPECT_TRUE(front.waitForFinished(30000));
        return std::pair(front.exitCode(), front.readAllStandardError().toStdString());
    };

    // No instance yet: the launch starts it, and hears the link was unknown.
    const auto [first_status, first_err] = launch("vistrope://capture-nada");
    EXPECT_EQ(first_status, 1) << first_err;
    EXPECT_EQ(first_err, "vistrope: enlace desconocido, no hice nada: vistrope://capture-nada\n");
    ASSERT_TRUE(wait_until([&] { return read_file(log).find("listo") != std::string::npos; }, 30000)) << read_file(log);
    const auto windows = program_windows_by_id();

    // The instance runs: the same again, answered by it.
    const auto [status, err] = launch("vistrope://capture-nada/otra");
    EXPECT_EQ(status, 1) << err;
    EXPECT_EQ(err, "vistrope: enlace desconocido, no hice nada: vistrope://capture-nada/otra\n");
    EXPECT_NE(read_file(log).find("URL desconocida: vistrope://capture-nada/otra"), std::string::npos) << read_file(log);
    EXPECT_EQ(program_windows_by_id().size(), windows.size()) << "an unknown link showed a window";

    const auto [known_status, known_err] = launch("vistrope://capture-fullscreen");
    EXPECT_EQ(known_status, 0) << known_err;
    EXPECT_TRUE(wait_until([&] { return pngs_in(captures).size() == 1; }, 20000));

    const auto instance = instance_in_home(dir.path());
    ASSERT_TRUE(instance);
    ::kill(*instance, SIGTERM);
    EXPECT_TRUE(wait_until([&] { return !fs::exists(fs::path("/proc") / std::to_string(*instance)); }, 15000));
}

// A client of the same user floods the instance with links it does not know
// for ten seconds, one the same link over and over, one a new link each
// time: the log and its older file stay small, and a capture link sent
// during the flood is taken and captures.
TEST(UrlSchemeDesktop, AFloodOfUnknownLinksNeitherFillsTheDiskNorBlocksACapture)
{
    using namespace std::chrono_literals;
    TempDir dir;
    const fs::path captures = quiet_home(dir);
    const QProcessEnvironment env = environment_in(dir);
    QProcess program;
    program.setProcessEnvironment(env);
    program.setStandardErrorFile(QProcess::nullDevice());
    program.start(VISTROPE_BINARY, {});
    ASSERT_TRUE(program.waitForStarted(5000));
    const fs::path log = dir.path() / ".local/state/vistrope/vistrope.log";
    ASSERT_TRUE(wait_until([&] { return read_file(log).find(" listo\n") != std::string::npos; }, 30000));

    const fs::path socket = dir.path() / "run/vistrope.sock";
    std::atomic<bool> flooding = true;
    std::atomic<size_t> sent = 0;
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&, c] {
            for (size_t n = 0; flooding; ++n) {
                std::vector<std::string> urls(platform::RequestReader::MAX_URLS,
                    c == 0 ? fmt::format("vistrope://z{}", n) : std::string("vistrope://z"));
                if (platform::forward_urls(socket, urls, 10s).outcome == platform::Handover::Outcome::Taken)
                    sent += urls.size();
            }
        });
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(wait_until([&] { return sent > 10'000; }, 10000)) << "the flood never got going";

    QProcess front;
    front.setProcessEnvironment(env);
    front.start(VISTROPE_FRONT, { "vistrope://capture-fullscreen" });
    ASSERT_TRUE(front.waitForFinished(30000));
    EXPECT_EQ(front.exitCode(), 0) << front.readAllStandardError().toStdString();
    EXPECT_TRUE(wait_until([&] { return pngs_in(captures).size() == 1; }, 20000)) << "no capture during the flood";

    while (std::chrono::steady_clock::now() - started < 10s)
        QThread::msleep(50);
    flooding = false;
    for (auto& client : clients)
        client.join();
    const auto size_of = [&](const fs::path& file) { return fs::exists(file) ? fs::file_size(file) : 0; };
    const auto total = size_of(log) + size_of(log.string() + ".1");
    EXPECT_LT(total, 32u * 1024 * 1024) << sent << " links sent";
    EXPECT_GT(sent, 10'000u);
    EXPECT_NE(read_file(log).find("URL desconocida: vistrope://z (repetida") , std::string::npos)
        << "the counted repeats never reached the file";
    program.terminate();
    EXPECT_TRUE(program.waitForFinished(10000));
}
