// The program's global shortcuts pressed while the selection overlay holds the
// keyboard: each runs its action, as it would with the overlay closed, and the
// overlay never takes the digit for a mode-bar button.
#include "qt_wait.h"
#include "x_tools.h"
#include "app/app_hotkeys.h"
#include "capture/modebar.h"
#include "capture/overlay.h"
#include "capture/overlay_view.h"
#include "base/state.h"
#include "platform/hot_keys.h"
#include "test_util.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QWidget>
#include <gtest/gtest.h>

#include <vector>

using testing_support::pump_for;

namespace {

void xdo_key(const QString& combination)
{
    ASSERT_TRUE(testing_support::xdotool_serving({ "key", combination })) << combination.toStdString();
}

// The server's key repeat off while it lives: xdotool lets go of a chord's
// modifiers before its digit, and held up that long on a loaded machine it
// would have the digit repeat on its own, a plain digit the bar takes.
struct NoKeyRepeat {
    NoKeyRepeat() { testing_support::run_serving("xset", { "r", "off" }); }
    ~NoKeyRepeat() { testing_support::run_serving("xset", { "r", "on" }); }
};

} // namespace

TEST(OverlayKeysDesktop, ShortcutsRunTheirActionsAndLeaveTheBarAlone)
{
    testing_support::TempHome home;
    state::reset_for_tests();
    overlay::Roads roads = overlay::default_roads();
    int timers = 0;
    roads.self_timer = [&] { ++timers; };
    overlay::set_roads(roads);
    overlay::prewarm();
    app::set_hotkey_backend(platform::create_x11_hot_keys());
    std::vector<app::AppAction> ran;
    app::register_hotkeys(app::hotkey_bindings(config::Shortcuts {}, [&](app::AppAction a) { ran.push_back(a); }));
    ASSERT_TRUE(app::hotkey_table().failed.empty());

    const NoKeyRepeat no_repeat;
    overlay::begin(overlay::Mode::Area, overlay::Purpose::Screenshot);
    ASSERT_SOON(!overlay::panels().empty() && overlay::panels().front()->on_screen());
    // The panel takes the keyboard after its first paint.
    ASSERT_SOON(QWidget::keyboardGrabber() == overlay::panels().front());
    const std::uint8_t bar_before = modebar::selected();

    // Digits that on their own would choose scrolling, window, text, record
    // and the self-timer on the bar, here with the shortcuts' modifiers held.
    for (const char* digit : { "4", "3", "6", "7", "5" })
        xdo_key(QString("ctrl+alt+shift+") + digit);
    ASSERT_SOON(ran.size() == 5) << ran.size();
    pump_for(200);
    const std::vector<app::AppAction> expected = {
        app::AppAction::CaptureArea, app::AppAction::CaptureFullscreen, app::AppAction::CaptureWindow,
        app::AppAction::CaptureText, app::AppAction::RecordScreen,
    };
    EXPECT_EQ(ran, expected);
    EXPECT_EQ(timers, 0) << "a digit reached the bar as the self-timer";
    ASSERT_TRUE(overlay::is_open());
    EXPECT_EQ(overlay::session()->mode, overlay::Mode::Area);
    EXPECT_EQ(overlay::session()->purpose, overlay::Purpose::Screenshot);
    EXPECT_EQ(modebar::selected(), bar_before);

    // A chord that is no shortcut of ours chooses nothing either; the plain
    // digit still does (a chord taken for the bar's "2" would end the
    // session before the "6" comes).
    xdo_key("ctrl+2");
    pump_for(200);
    ASSERT_TRUE(overlay::is_open()) << "ctrl+2 ended the session";
    EXPECT_EQ(overlay::session()->purpose, overlay::Purpose::Screenshot);
    EXPECT_EQ(modebar::selected(), bar_before);
    xdo_key("6");
    ASSERT_SOON(overlay::session() && overlay::session()->purpose == overlay::Purpose::Text);

    overlay::cancel();
    pump_for(50);
    app::set_hotkey_backend(nullptr);
    state::reset_for_tests();
}

// A key already down when the selector takes the keyboard (the Return that
// chose "Capturar área" in a menu, a shortcut's digit held on) repeats into
// the panel as presses it never saw begin: none acts until the key is let go
// and pressed again.
TEST(OverlayKeysDesktop, AKeyHeldWhileTheSelectorOpensActsOnlyWhenPressedAgain)
{
    testing_support::TempHome home;
    state::reset_for_tests();
    overlay::set_roads(overlay::default_roads());
    overlay::prewarm();
    testing_support::run_serving("xset", { "r", "on" });
    ASSERT_TRUE(testing_support::xdotool_serving({ "keydown", "Return" }));
    struct LetGo {
        ~LetGo() { testing_support::xdotool_serving({ "keyup", "Return" }); }
    } let_go;

    overlay::begin(overlay::Mode::Area, overlay::Purpose::Screenshot);
    ASSERT_SOON(!overlay::panels().empty() && overlay::panels().front()->on_screen());
    VistropeOverlayWindow* panel = overlay::panels().front();
    ASSERT_SOON(QWidget::keyboardGrabber() == panel);
    // The server's repeats of the held Return reach the panel.
    ASSERT_SOON(panel->held_presses_passed() >= 2) << "no repeat of the held Return reached the selector";
    ASSERT_TRUE(overlay::is_open()) << "a Return held since before the selector opened captured the screen";
    // A repeat whose release and press came apart, as on a loaded machine,
    // reaches the panel unmarked; the key is still down.
    const quint32 ret = 36;
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier, ret, 0, 0);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, ret, 0, 0);
    QCoreApplication::sendEvent(panel, &release);
    QCoreApplication::sendEvent(panel, &press);
    ASSERT_TRUE(overlay::is_open()) << "an unpaired repeat of the held Return captured the screen";
    EXPECT_EQ(overlay::session()->purpose, overlay::Purpose::Screenshot);

    // Let go and pressed anew before the panel hears of either, as on a
    // loaded machine: the panel finds the key down when the release
    // reaches it, and the new press acts all the same.
    ASSERT_EQ(QProcess::execute("xdotool", { "keyup", "Return", "sleep", "0.1", "keydown", "Return" }), 0);
    ASSERT_SOON(!overlay::is_open()) << "Return let go and pressed anew did not capture the screen";
    pump_for(50);
    state::reset_for_tests();
}
