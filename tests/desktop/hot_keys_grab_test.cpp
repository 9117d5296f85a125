// A window that grabs the keyboard while a hot key is held (the selection
// overlay does) receives the key's release; the next press must still count.
#include "qt_wait.h"
#include "app/app_hotkeys.h"
#include "platform/hot_keys.h"
#include "platform/panels.h"
#include "test_util.h"
#include <QWidget>
#include <gtest/gtest.h>
#include <cstdlib>
#include <memory>

using testing_support::pump_for;
using testing_support::wait_until;

TEST(X11HotKeysWithOverlay, APressAfterAKeyboardGrabDuringThePressStillCounts)
{
    testing_support::TempHome home;
    app::set_hotkey_backend(platform::create_x11_hot_keys());
    std::system("xset r on");
    int ran = 0;
    std::unique_ptr<QWidget> w;
    app::register_hotkeys(app::hotkey_bindings(config::Shortcuts{}, [&](app::AppAction) {
        ++ran;
        if (!w) {
            w = std::make_unique<QWidget>();
            platform::make_panel(w.get(), platform::OVERLAY_LEVEL, platform::Mouse::Accepts);
            w->setGeometry(10, 10, 200, 200);
        }
        w->show();
        w->raise();
    }));
    // First press: the key stays down while the "overlay" grabs the keyboard.
    std::system("(xdotool keydown ctrl+alt+shift+4; sleep 0.6; xdotool keyup ctrl+alt+shift+4) &");
    ASSERT_TRUE(wait_until([&] { return ran == 1; }, 3000));
    pump_for(100);
    w->grabKeyboard();
    pump_for(1000); // the release happens during the grab
    w->releaseKeyboard();
    w->hide();
    pump_for(200);
    // Second, ordinary press.
    std::system("xdotool key ctrl+alt+shift+4");
    wait_until([&] { return ran == 2; }, 2000);
    pump_for(300);
    EXPECT_EQ(ran, 2) << "the second physical press was taken for a repeat";
    app::set_hotkey_backend(nullptr);
}
