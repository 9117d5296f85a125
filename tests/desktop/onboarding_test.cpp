// The first-run window and the settings self-check as a user meets them: a
// fresh home opens "Bienvenido a Vistrope", Return ("Empezar") ends the first
// run for good; --prefs-render checks the settings without touching them,
// and what its windows say is read from their widgets.
#include "base/config.h"
#include "base/hotkeys.h"
#include "base/state.h"
#include "settings/onboarding.h"
#include "settings/prefs.h"
#include "settings/widgets.h"

#include "program.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLayout>
#include <QProcess>
#include <QTextDocumentFragment>
#include <QThread>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <utility>
#include <vector>

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
        const std::string shot = screenshot("onboarding.png");
        EXPECT_FALSE(std::filesystem::exists(marker)) << "screen: " << shot;

        run("xdotool", { "windowactivate", "--sync", QString::fromStdString(id) });
        QThread::msleep(200);
        run("xdotool", { "key", "--window", QString::fromStdString(id), "Return" });
        ASSERT_TRUE(poll([&] { return window_named("Bienvenido a Vistrope").empty(); }, 100))
            << "Empezar closes it; the window before Return: " << shot;
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

    // A folder that cannot be made: one line, status 1.
    QProcess refused;
    refused.setProcessEnvironment(env);
    refused.start(VISTROPE_BINARY, { "--prefs-render", QString::fromStdString((config_file / "sub").string()) });
    ASSERT_TRUE(refused.waitForFinished(60000));
    EXPECT_EQ(refused.exitCode(), 1);
    EXPECT_NE(refused.readAllStandardError().toStdString().find("vistrope: no puedo escribir en "), std::string::npos);
}

// The settings may live outside the home folder: the check leaves them,
// and the log beside them, exactly as they were.
TEST(PrefsRenderDesktop, LeavesSettingsNamedByTheXdgVariablesByteIdentical)
{
    TempHome home;
    const auto config_home = home.path() / "ajustes";
    const auto state_home = home.path() / "estado";
    const auto config_file = config_home / "vistrope/config.toml";
    std::filesystem::create_directories(config_file.parent_path());
    const std::string mine = "# mis ajustes\nself_timer_seconds = 7\n\n[recording]\nfps = 24\n";
    write_file(config_file, mine);
    QProcess check;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config_home.string()));
    env.insert("XDG_STATE_HOME", QString::fromStdString(state_home.string()));
    env.insert("XDG_DATA_HOME", QString::fromStdString((home.path() / "datos").string()));
    check.setProcessEnvironment(env);
    check.start(VISTROPE_BINARY, { "--prefs-render", QString::fromStdString((home.path() / "fotos").string()) });
    ASSERT_TRUE(check.waitForFinished(60000));
    const std::string err = check.readAllStandardError().toStdString();
    EXPECT_EQ(check.exitCode(), 0) << err;
    EXPECT_EQ(read_file(config_file), mine);
    std::vector<std::string> left;
    for (const auto& e : std::filesystem::recursive_directory_iterator(config_home))
        left.push_back(e.path().string());
    EXPECT_EQ(left, (std::vector<std::string> { config_file.parent_path().string(), config_file.string() }));
    EXPECT_FALSE(std::filesystem::exists(state_home)) << "no log written in the user's state folder";
    EXPECT_FALSE(std::filesystem::exists(home.path() / "datos"));
    EXPECT_FALSE(std::filesystem::exists(home.path() / ".config"));
}

namespace {

// What a window shows a person, read from its widgets: the labels, buttons,
// chosen pop-up items and shortcut fields drawn in it (hidden steps and the
// other pages left out), one a line.
std::string shown_texts(QWidget* window)
{
    // Drawn as the self-check draws its pictures: that lays out every part,
    // the tab bar's buttons too.
    if (QLayout* layout = window->layout())
        layout->activate();
    window->grab();
    QStringList texts;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(window))
            continue;
        if (const auto* label = qobject_cast<QLabel*>(w)) {
            const bool rich = label->textFormat() == Qt::RichText
                || (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()));
            texts << (rich ? QTextDocumentFragment::fromHtml(label->text()).toPlainText() : label->text());
        } else if (const auto* button = qobject_cast<QAbstractButton*>(w))
            texts << QString(button->text()).remove('&');
        else if (const auto* pop_up = qobject_cast<QComboBox*>(w))
            texts << pop_up->currentText();
        else if (const auto* field = dynamic_cast<const prefs::ShortcutField*>(w))
            texts << field->text();
    }
    texts.removeAll(QString());
    return texts.join('\n').toStdString();
}

} // namespace

// The windows --prefs-render draws, built here by the same code in the states
// it draws them and read from their widgets: no other platform's names or
// keys, and the shortcuts in this desktop's notation.
TEST(PrefsRenderDesktop, ItsWindowsSpeakThisDesktopsLanguage)
{
    TempHome home;
    state::reset_for_tests();
    state::set_config(std::make_shared<const config::Config>());
    std::vector<std::pair<std::string, std::string>> pictures; // what each picture would show
    // The first-run window first: it shows the shortcuts as the settings hold
    // them, before the settings window changes one.
    {
        onboarding::reset();
        const auto u = onboarding::build();
        for (const onboarding::DrawnState& s : onboarding::DRAWN_STATES) {
            u->needs_restart = s.needs_restart;
            onboarding::update_status(*u, s.granted);
            pictures.emplace_back(fmt::format("onboarding-{}", s.name), shown_texts(u->window.get()));
        }
        u->window->on_close = nullptr;
        u->window->close();
    }

    {
        const auto u = prefs::ensure();
        QWidget* window = u->window.get();
        for (size_t i = 0; i < prefs::TABS.size(); ++i) {
            prefs::select_tab(*u, static_cast<int>(i));
            pictures.emplace_back(prefs::TABS[i].id, shown_texts(window));
        }
        prefs::select_tab(*u, 2);
        ASSERT_FALSE(u->shortcut_rows.empty());
        prefs::ShortcutField* first = u->shortcut_rows.front().first;
        first->show_recording_look(true, hotkeys::OPTION | hotkeys::SHIFT);
        prefs::set_hint(prefs::HINT_RECORDING, false);
        pictures.emplace_back("atajos-grabando", shown_texts(window));
        first->show_recording_look(false, 0);
        prefs::set_shortcut("capture_area", "print");
        pictures.emplace_back("atajos-avisos", shown_texts(window));
        prefs::reset();
    }
    const auto text_of = [&](std::string_view name) {
        const auto it = std::ranges::find(pictures, name, &std::pair<std::string, std::string>::first);
        return it == pictures.end() ? std::string() : it->second;
    };
    for (const auto& [name, text] : pictures)
        for (const char* foreign : { "⌘", "⌥", "⌃", "⇧", "macOS", "Finder", "Ajustes del Sistema", "barra de men" })
            EXPECT_EQ(text.find(foreign), std::string::npos) << foreign << " in " << name << ":\n" << text;
    for (const auto& [name, expected] : std::initializer_list<std::pair<const char*, const char*>>{
             { "atajos", "Ctrl+Alt+Mayús+4" },
             { "atajos-grabando", "Alt+Mayús+…" },
             { "onboarding-pendiente", "bandeja del sistema" },
             { "onboarding-reiniciar", "Reiniciar Vistrope" },
             { "onboarding-listo", "Ctrl+Alt+Mayús+4" },
             { "grabacion", "Mostrar el video en la carpeta" } })
        EXPECT_NE(text_of(name).find(expected), std::string::npos) << expected << " not in " << name << ":\n" << text_of(name);
    EXPECT_EQ(text_of("onboarding-listo").find("Reiniciar Vistrope"), std::string::npos) << "a hidden step is not read";
    state::reset_for_tests();
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
