// The settings window on the test session's X server, driven as a user would:
// the tray menu opens it, clicks save at once, a shortcut field records keys
// with the real hot keys released, Ctrl+W hides it.
#include "program.h"
#include "qt_wait.h"
#include "app/app.h"
#include "app/app_hotkeys.h"
#include "platform/system.h"
#include "base/state.h"
#include "capture/overlay.h"
#include "platform/hot_keys.h"
#include "settings/prefs.h"
#include "settings/widgets.h"
#include "test_util.h"
#include "x_tools.h"

#include <QCheckBox>
#include <QLabel>
#include <QProcess>
#include <QStackedWidget>
#include <QThread>
#include <QToolBar>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

// "Preferencias…" is third from the bottom of the status menu. Keys pressed
// before the menu holds the keyboard are lost on a loaded machine: try again
// until the window shows.
void choose_preferences(const Geometry& icon)
{
    const QString cx = QString::number(icon.x + icon.w / 2), cy = QString::number(icon.y + icon.h / 2);
    for (int attempt = 0; attempt < 3; ++attempt) {
        run("xdotool", { "mousemove", cx, cy, "click", "1" });
        poll([] { return open_menu().has_value(); });
        QThread::msleep(300 + 300 * attempt); // the menu takes the keyboard once mapped
        for (int i = 0; i < 3; ++i) {
            run("xdotool", { "key", "Up" });
            QThread::msleep(80);
        }
        run("xdotool", { "key", "Return" });
        if (poll([] { return !window_named("Vistrope").empty(); }, 30))
            return;
        if (open_menu())
            run("xdotool", { "key", "Escape" });
    }
}

// Runs xdotool while this process keeps serving its windows.
void xdo(const QStringList& args)
{
    run_serving("xdotool", args);
    pump_for(50);
}

void click(QWidget* w)
{
    const QPoint at = w->mapToGlobal(QPoint(w->width() / 2, w->height() / 2));
    xdo({ "mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1" });
}

void click_left_part(QWidget* w)
{
    const QPoint at = w->mapToGlobal(QPoint(10, w->height() / 2));
    xdo({ "mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1" });
}

config::Config on_disk()
{
    return config::load_from(config::Config::path());
}

} // namespace

TEST(DesktopPrefs, TrayMenuOpensItCtrlWHidesItAndItComesBackInPlaceAdoptingHandEdits)
{
    TempHome home;
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("[vistrope] listo")) << program.err();
    const std::optional<Geometry> icon = wait_for_tray_icon();
    ASSERT_TRUE(icon);

    choose_preferences(*icon);
    std::string id;
    ASSERT_TRUE(poll([&] { return !(id = window_named("Vistrope")).empty(); })) << program.err();
    const auto first = window_geometry(id);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->w, 600);
    const std::string shot = screenshot("prefs.png");

    run("xdotool", { "windowactivate", "--sync", QString::fromStdString(id) });
    run("xdotool", { "key", "ctrl+shift+w" });
    QThread::msleep(300);
    EXPECT_FALSE(window_named("Vistrope").empty()) << "only an exact Ctrl+W closes; the window shown: " << shot;
    run("xdotool", { "key", "ctrl+w" });
    ASSERT_TRUE(poll([] { return window_named("Vistrope").empty(); })) << "Ctrl+W hides the window; the window shown: " << shot;

    // Edited by hand while hidden: adopted when the window comes back.
    const auto path = home.path() / ".config/vistrope/config.toml";
    std::string text = read_file(path);
    const auto at = text.find("fps = 60");
    ASSERT_NE(at, std::string::npos) << text;
    write_file(path, text.replace(at, 8, "fps = 24"));
    choose_preferences(*icon);
    ASSERT_TRUE(poll([&] { return !(id = window_named("Vistrope")).empty(); })) << program.err();
    EXPECT_TRUE(program.wait_for("config.toml cambió fuera de Preferencias; lo aplico")) << program.err();
    const auto again = window_geometry(id);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->x, first->x);
    EXPECT_EQ(again->y, first->y);
    EXPECT_NE(read_file(path).find("fps = 24"), std::string::npos) << "the adopted file is not rewritten";
}

class DesktopPrefsWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        overlay::set_roads(overlay::default_roads());
        app::set_hotkey_backend(platform::create_x11_hot_keys());
        app::register_hotkeys();
        prefs::show();
        m_ui = prefs::ui();
        ASSERT_TRUE(wait_until([this] { return m_ui->window->isActiveWindow(); }, 5000));
        pump_for(200);
    }
    void TearDown() override
    {
        overlay::cancel();
        prefs::reset();
        app::set_hotkey_backend(nullptr);
        pump_for(100);
        state::reset_for_tests();
    }

    prefs::ShortcutField* field(std::string_view id)
    {
        for (const auto& [f, label] : m_ui->shortcut_rows)
            if (f->id() == id)
                return f;
        return nullptr;
    }
    void open_tab(int index)
    {
        click(m_ui->toolbar->widgetForAction(m_ui->tab_actions[static_cast<std::size_t>(index)]));
        ASSERT_TRUE(wait_until([&] { return m_ui->pages->currentIndex() == index; }));
        pump_for(100);
    }
    bool overlay_opens()
    {
        const bool opened = wait_until([] { return overlay::is_open(); }, 3000);
        overlay::cancel();
        pump_for(200);
        return opened;
    }

    TempHome m_home;
    std::shared_ptr<prefs::Ui> m_ui;
};

TEST_F(DesktopPrefsWindow, ClicksSaveAtOnceAndAFieldRecordsWithTheHotKeysReleased)
{
    // A checkbox click is in the file at once.
    ASSERT_TRUE(on_disk().after_capture.play_sound);
    click_left_part(m_ui->toggles[0]);
    EXPECT_TRUE(wait_until([] { return !on_disk().after_capture.play_sound; }));

    // The login checkbox writes and removes the autostart entry.
    const auto entry = sys::autostart_path();
    click_left_part(m_ui->login);
    EXPECT_TRUE(wait_until([&] { return std::filesystem::exists(entry); })) << entry;
    EXPECT_TRUE(m_ui->login->isChecked());
    click_left_part(m_ui->login);
    EXPECT_TRUE(wait_until([&] { return !std::filesystem::exists(entry); }));
    EXPECT_FALSE(m_ui->login->isChecked());

    open_tab(2);
    EXPECT_EQ(m_ui->window->windowTitle().toStdString(), "Vistrope");
    prefs::ShortcutField* area = field("capture_area");
    ASSERT_TRUE(area);

    // While the field records, the capture shortcut reaches the field, not the overlay.
    click(area);
    ASSERT_TRUE(area->recording());
    pump_for(200);
    const std::string shot = screenshot("prefs-recording.png");
    xdo({ "key", "ctrl+alt+shift+4" });
    ASSERT_TRUE(wait_until([&] { return !area->recording(); })) << "the field recording: " << shot;
    pump_for(300);
    EXPECT_FALSE(overlay::is_open()) << "the field recording: " << shot;
    EXPECT_EQ(m_ui->hint->text().toStdString(), "Guardado: Ctrl+Alt+Mayús+4 para «Capturar área».");

    // Escape cancels, and the hot keys work again.
    click(area);
    ASSERT_TRUE(area->recording());
    xdo({ "key", "Escape" });
    ASSERT_TRUE(wait_until([&] { return !area->recording(); }));
    EXPECT_EQ(m_ui->hint->text().toStdString(), prefs::HINT_IDLE);
    xdo({ "key", "ctrl+alt+shift+4" });
    EXPECT_TRUE(overlay_opens());

    // Super+Ctrl+K is saved as control + command and then opens the overlay.
    m_ui->window->activateWindow();
    wait_until([this] { return m_ui->window->isActiveWindow(); });
    click(area);
    ASSERT_TRUE(area->recording());
    xdo({ "key", "super+ctrl+k" });
    ASSERT_TRUE(wait_until([&] { return on_disk().shortcuts.capture_area == "ctrl+cmd+k"; }))
        << on_disk().shortcuts.capture_area;
    EXPECT_EQ(area->spec(), "ctrl+cmd+k");
    xdo({ "key", "super+ctrl+k" });
    EXPECT_TRUE(overlay_opens());

    // Another tab: the window takes that page's height, its top-left corner staying.
    const QRect before = m_ui->window->geometry();
    open_tab(4);
    const int height = m_ui->toolbar->height() + m_ui->pages->currentWidget()->sizeHint().height();
    ASSERT_NE(height, before.height());
    EXPECT_TRUE(wait_until([&] { return m_ui->window->geometry().height() == height; }))
        << m_ui->window->geometry().height() << " instead of " << height;
    EXPECT_EQ(m_ui->window->geometry().topLeft(), before.topLeft());
    EXPECT_EQ(m_ui->window->windowTitle().toStdString(), "Vistrope");
}

// A settings file that cannot be written. The tests run as root, whom
// permission bits do not stop: the settings folder becomes a plain file,
// into which nobody can write one.
TEST_F(DesktopPrefsWindow, AChangeThatCannotBeSavedHoldsAndEveryTabSaysItIsUnsaved)
{
    const auto folder = config::Config::path().parent_path();
    std::filesystem::remove_all(folder);
    write_file(folder, "no es una carpeta");
    const bool stored = state::config()->after_capture.play_sound;
    ASSERT_EQ(m_ui->toggles[0]->isChecked(), stored);
    ASSERT_TRUE(m_ui->save_status->isHidden());
    const int height = m_ui->window->height();

    click_left_part(m_ui->toggles[0]);
    ASSERT_TRUE(wait_until([this] { return m_ui->save_status->isVisible(); })) << "the status line shows";
    EXPECT_EQ(m_ui->pages->currentIndex(), 0) << "on General, where the change was made";
    const std::string said = m_ui->save_status->text().toStdString();
    EXPECT_EQ(said.rfind("Cambios sin guardar: ", 0), 0u) << said;
    EXPECT_NE(said.find("config.toml"), std::string::npos) << said;
    EXPECT_EQ(said.find(".tmp"), std::string::npos) << said;
    // The change holds for the session.
    EXPECT_EQ(m_ui->toggles[0]->isChecked(), !stored);
    EXPECT_EQ(state::config()->after_capture.play_sound, !stored);
    // Inside the window, under the page.
    EXPECT_TRUE(wait_until([&] { return m_ui->window->height() > height; })) << m_ui->window->height();
    const QRect line(m_ui->save_status->mapTo(m_ui->window.get(), QPoint(0, 0)), m_ui->save_status->size());
    EXPECT_TRUE(m_ui->window->rect().contains(line))
        << line.y() << "+" << line.height() << " in " << m_ui->window->height() << "; screen: " << screenshot("prefs-save-failed.png");

    // Every tab says it.
    for (int tab = 1; tab < m_ui->pages->count(); ++tab) {
        open_tab(tab);
        EXPECT_TRUE(m_ui->save_status->isVisible()) << "tab " << tab;
        EXPECT_EQ(m_ui->save_status->text().toStdString(), said) << "tab " << tab;
    }
    // Once a save succeeds the line goes and the file holds what the box shows.
    open_tab(0);
    std::filesystem::remove(folder);
    click_left_part(m_ui->toggles[0]);
    ASSERT_TRUE(wait_until([&] { return on_disk().after_capture.play_sound == stored; }));
    EXPECT_TRUE(wait_until([this] { return m_ui->save_status->isHidden(); }));
    EXPECT_EQ(m_ui->toggles[0]->isChecked(), stored);
}

TEST_F(DesktopPrefsWindow, PrintAloneRecordsAsAShortcutAndOpensTheOverlay)
{
    ScopedEnv desktop("XDG_CURRENT_DESKTOP", "XFCE");
    open_tab(2);
    prefs::ShortcutField* area = field("capture_area");
    ASSERT_TRUE(area);
    click(area);
    ASSERT_TRUE(area->recording());
    xdo({ "key", "Print" });
    ASSERT_TRUE(wait_until([&] { return on_disk().shortcuts.capture_area == "print"; })) << on_disk().shortcuts.capture_area;
    EXPECT_EQ(m_ui->hint->text().toStdString(), "Guardado Impr Pant. Ojo: Xfce la usa para sus capturas.");
    // The keypad and Insert record too, with a modifier.
    click(area);
    ASSERT_TRUE(area->recording());
    xdo({ "key", "ctrl+KP_Add" });
    ASSERT_TRUE(wait_until([&] { return on_disk().shortcuts.capture_area == "cmd+kpplus"; })) << on_disk().shortcuts.capture_area;
    xdo({ "key", "ctrl+KP_Add" });
    EXPECT_TRUE(overlay_opens());
    m_ui->window->activateWindow();
    wait_until([this] { return m_ui->window->isActiveWindow(); });
    click(area);
    ASSERT_TRUE(area->recording());
    xdo({ "key", "Print" });
    ASSERT_TRUE(wait_until([&] { return on_disk().shortcuts.capture_area == "print"; }));
    // Print, grabbed alone, opens the overlay.
    xdo({ "key", "Print" });
    EXPECT_TRUE(overlay_opens());
}
