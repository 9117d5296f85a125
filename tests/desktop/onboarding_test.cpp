// The first-run window and the settings self-check as a user meets them: a
// fresh home opens "Bienvenido a Vistrope", Return ("Empezar") ends the first
// run for good; --prefs-render checks the settings without touching them.
#include "program.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QProcess>
#include <QThread>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <regex>

using namespace testing_support;

TEST(OnboardingDesktop, FreshHomeShowsTheWindowEmpezarEndsTheFirstRun)
{
    TempHome home;
    const auto marker = home.path() / ".config/vistrope/onboarded";
    {
        Program program(home.path(), Program::FirstRun::Pending);
        ASSERT_TRUE(program.wait_for("listo")) << program.err();
        std::string id;
        ASSERT_TRUE(poll([&] { return !(id = window_named("Bienvenido a Vistrope")).empty(); }, 100)) << program.err();
        const auto g = window_geometry(id);
        ASSERT_TRUE(g);
        EXPECT_GE(g->w, 540);
        EXPECT_GE(g->h, 500) << "the shortcuts step and the buttons, no permission step on X11";
        QThread::msleep(300);
        run("import", { "-window", "root", "/tmp/vistrope-desktop-onboarding.png" });
        EXPECT_FALSE(std::filesystem::exists(marker));

        run("xdotool", { "windowactivate", "--sync", QString::fromStdString(id) });
        QThread::msleep(200);
        run("xdotool", { "key", "--window", QString::fromStdString(id), "Return" });
        ASSERT_TRUE(poll([&] { return window_named("Bienvenido a Vistrope").empty(); }, 100)) << "Empezar closes it";
        EXPECT_TRUE(std::filesystem::exists(marker));
        EXPECT_EQ(program.process().state(), QProcess::Running) << "closing it leaves the program running";
    }
    // The next launch goes straight to the tray.
    Program again(home.path(), Program::FirstRun::Pending);
    ASSERT_TRUE(again.wait_for("listo")) << again.err();
    QThread::msleep(1500);
    EXPECT_TRUE(window_named("Bienvenido a Vistrope").empty());
}

TEST(PrefsRenderDesktop, ChecksEverythingOffscreenAndLeavesTheUsersSettingsAlone)
{
    TempHome home;
    const auto config_file = home.path() / ".config/vistrope/config.toml";
    std::filesystem::create_directories(config_file.parent_path());
    const std::string mine = "save_dir = \"~/Mis capturas\"\nfreeze_screen = true\n";
    write_file(config_file, mine);
    const auto out = home.path() / "fotos";

    QProcess check;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    check.setProcessEnvironment(env);
    check.start(VISTROPE_BINARY, { "--prefs-render", QString::fromStdString(out.string()) });
    ASSERT_TRUE(check.waitForFinished(60000));
    const std::string err = check.readAllStandardError().toStdString();
    EXPECT_EQ(check.exitCode(), 0) << err;

    const std::regex ok_line("\\[vistrope\\] ok: ");
    const auto oks = std::distance(std::sregex_iterator(err.begin(), err.end(), ok_line), std::sregex_iterator());
    EXPECT_EQ(oks, 19) << err;
    EXPECT_NE(err.find("comprobación de Preferencias completa"), std::string::npos);
    size_t pictures = 0;
    for (const auto& e : std::filesystem::directory_iterator(out))
        pictures += e.path().extension() == ".png";
    EXPECT_EQ(pictures, 19U);
    for (const char* name : { "prefs-3-atajos-dark.png", "prefs-3-atajos-grabando-light.png", "prefs-3-atajos-avisos.png",
                              "onboarding-reiniciar-dark.png", "onboarding-listo-light.png", "prefs-5-acerca-light.png" })
        EXPECT_TRUE(std::filesystem::exists(out / name)) << name;
    EXPECT_EQ(read_file(config_file), mine) << "the real settings are neither read nor written";
    EXPECT_FALSE(std::filesystem::exists(home.path() / ".config/vistrope/onboarded"));

    // What the pictures say, read back: no other platform's names or keys,
    // and the shortcuts in the desktop's notation.
    std::string everything;
    for (const auto& e : std::filesystem::directory_iterator(out)) {
        if (e.path().extension() != ".png")
            continue;
        QProcess read;
        read.setProcessEnvironment(env);
        read.start(VISTROPE_BINARY, { "--ocr", QString::fromStdString(e.path().string()) });
        ASSERT_TRUE(read.waitForFinished(60000));
        const std::string text = read.readAllStandardOutput().toStdString();
        for (const char* foreign : { "⌘", "⌥", "⌃", "macOS", "Finder", "Ajustes del Sistema", "barra de men" })
            EXPECT_EQ(text.find(foreign), std::string::npos) << foreign << " in " << e.path() << ":\n" << text;
        everything += text;
    }
    for (const char* expected : { "Ctrl+Alt+Mayús+4", "bandeja del sistema", "Mostrar el video en la carpeta" })
        EXPECT_NE(everything.find(expected), std::string::npos) << expected << " in none of the pictures:\n" << everything;

    // A folder that cannot be made: one line, status 1.
    QProcess refused;
    refused.setProcessEnvironment(env);
    refused.start(VISTROPE_BINARY, { "--prefs-render", QString::fromStdString((config_file / "sub").string()) });
    ASSERT_TRUE(refused.waitForFinished(60000));
    EXPECT_EQ(refused.exitCode(), 1);
    EXPECT_NE(refused.readAllStandardError().toStdString().find("no pude crear las carpetas: "), std::string::npos);
}

TEST(SelftestDesktop, LeavesItsReportAndPicturesAndQuits)
{
    TempHome home;
    Program::finish_first_run(home.path());
    const auto out = home.path() / "autoprueba";
    // The pointer rests on the desktop, away from the tray and the mode bar.
    run("xdotool", { "mousemove", "300", "300" });
    // Another program's window under the screen's centre, where the window
    // round clicks: it must capture something to pass.
    QProcess window;
    window.start(VISTROPE_QUADRANTS_WINDOW, { "760", "390", "400", "300" });
    ASSERT_TRUE(wait_until([&] { return window.canReadLine() || window.state() == QProcess::NotRunning; }, 10000));
    ASSERT_TRUE(window.readLine().startsWith("listo"));
    QProcess program;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    program.setProcessEnvironment(env);
    program.start(VISTROPE_BINARY, { "--selftest", QString::fromStdString(out.string()) });
    ASSERT_TRUE(program.waitForFinished(90000)) << "the run ends the program itself";
    EXPECT_EQ(program.exitCode(), 0);
    const std::string report = read_file(out / "report.txt");
    EXPECT_TRUE(report.starts_with("pantalla ")) << report;
    EXPECT_NE(report.find("captura de pantalla completa #4: "), std::string::npos) << report;
    // What the pointer shows depends on what earlier tests left under it; the line is always there.
    EXPECT_NE(report.find("\ncursor de cruz en el selector: "), std::string::npos) << report;
    EXPECT_NE(report.find("\ncapturas guardadas: [\""), std::string::npos) << report;
    EXPECT_TRUE(report.ends_with("]\n"));
    EXPECT_TRUE(std::filesystem::exists(out / "full.png"));
    for (const char* name : { "overlay.png", "overlay-ventana.png", "flash-despegue.png", "flash-lente.png",
                              "flash-vuelo.png", "quick_access.png", "pin.png", "editor.png" }) {
        EXPECT_TRUE(std::filesystem::exists(out / name)) << name;
        EXPECT_NE(report.find(fmt::format("\n{} guardado\n", name)), std::string::npos) << name;
    }
    // The area capture was delivered into the run's folder, not the user's.
    bool delivered = false;
    for (const auto& e : std::filesystem::directory_iterator(out))
        delivered = delivered || e.path().filename().string().starts_with("Vistrope ");
    EXPECT_TRUE(delivered);
    EXPECT_FALSE(std::filesystem::exists(home.path() / "Desktop"));
}
