// A media module cut short (an update or a copy that stopped half way) beside
// the program: the program starts, stays up, takes screenshots (which need
// no media library), and says in its log what is missing, where the loader
// used to end it with SIGBUS a second after launch.
#include "program.h"
#include "test_util.h"

#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace testing_support;
namespace fs = std::filesystem;

TEST(DesktopMediaModule, ACutModuleLeavesTheProgramRunningAndCapturing)
{
    TempHome home;
    const fs::path built = fs::path(VISTROPE_BINARY).parent_path();
    const fs::path bin = home.path() / "bin";
    fs::create_directories(bin);
    fs::copy_file(built / "vistrope-app", bin / "vistrope-app");
    const std::string module = read_file(built / "vistrope-media.so");
    // Cut in half, whatever the build type made of it.
    ASSERT_TRUE(module.size() > 64 && module.starts_with("\x7f" "ELF")) << module.size() << " bytes";
    const fs::path cut = bin / "vistrope-media.so";
    std::ofstream(cut, std::ios::binary).write(module.data(), static_cast<std::streamsize>(module.size() / 2));
    const std::string missing = "no pude cargar el módulo de medios (" + cut.string() + "): el archivo está cortado";

    const fs::path captures = home.path() / "capturas";
    write_file(home.path() / ".config/vistrope/config.toml",
        "save_dir = \"" + captures.string() + "\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n");
    Program::finish_first_run(home.path());
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");

    QProcess app;
    app.setProcessEnvironment(env);
    app.start(QString::fromStdString((bin / "vistrope-app").string()), {});
    ASSERT_TRUE(app.waitForStarted(5000));
    std::string err;
    const auto wait_for = [&](const std::string& text) {
        return poll([&] {
            app.waitForReadyRead(50);
            err += app.readAllStandardError().toStdString();
            return err.find(text) != std::string::npos;
        }, 200);
    };
    ASSERT_TRUE(wait_for("[vistrope] listo")) << err;
    // The module is loaded in the background a second after launch.
    ASSERT_TRUE(wait_for(missing)) << err;

    QProcess url;
    url.setProcessEnvironment(env);
    url.start(VISTROPE_BINARY, { "vistrope://capture-fullscreen" });
    ASSERT_TRUE(url.waitForFinished(10000));
    ASSERT_TRUE(poll([&] {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(captures, ec))
            if (e.path().extension() == ".png")
                return true;
        return false;
    }, 200)) << err;
    QThread::msleep(500);
    EXPECT_EQ(app.state(), QProcess::Running) << err;
    app.terminate();
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}
