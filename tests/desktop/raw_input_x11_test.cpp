// The raw-input monitor against the test session's X server, typed and
// clicked with xdotool (XTEST), as another program's input would arrive.
#include "qt_wait.h"

#include "base/hotkeys.h"
#include "platform/raw_input.h"
#include "platform/screens.h"

#include <QGuiApplication>
#include <QScreen>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using testing_support::wait_until;

namespace {

void shell(const std::string& command)
{
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

struct Seen {
    std::vector<platform::RawKey> keys;
    std::vector<platform::RawButton> buttons;
};

} // namespace

TEST(RawInputX11, KeysArriveWithPositionCodeModifiersAndCharacters)
{
    // XTEST and XInput2 are there; a test may still say otherwise.
    ASSERT_TRUE(platform::accessibility_trusted());
    platform::set_accessibility_trusted_for_tests(false);
    EXPECT_FALSE(platform::accessibility_trusted());
    platform::set_accessibility_trusted_for_tests(std::nullopt);
    EXPECT_TRUE(platform::accessibility_trusted());

    auto monitor = platform::create_raw_input();
    Seen seen;
    ASSERT_TRUE(monitor->start([&](const platform::RawKey& k) { seen.keys.push_back(k); }, nullptr));

    // No combination the window manager binds (it has Super+D, menus on
    // the right and middle buttons and desktops on the wheel).
    shell("xdotool key Return KP_Enter Escape ctrl+shift+a alt+s super+f");
    ASSERT_TRUE(wait_until([&] { return seen.keys.size() >= 10; }, 10000)) << seen.keys.size();

    // The modifier keys are presses too; keep the others in typing order.
    std::vector<platform::RawKey> keys;
    for (const auto& k : seen.keys)
        if (k.code >= 0)
            keys.push_back(k);
    ASSERT_EQ(keys.size(), 6u);
    EXPECT_EQ(keys[0].code, 36);
    EXPECT_EQ(keys[0].modifiers, 0u);
    EXPECT_EQ(keys[1].code, 76); // keypad Enter
    EXPECT_EQ(keys[2].code, 53);
    EXPECT_EQ(keys[2].characters, ""); // Escape types nothing printable

    EXPECT_EQ(keys[3].code, 0);        // where a US layout has A
    EXPECT_EQ(keys[3].modifiers, hotkeys::COMMAND | hotkeys::SHIFT);
    EXPECT_EQ(keys[3].characters, "A");
    EXPECT_EQ(keys[3].unmodified_characters, "a");
    EXPECT_EQ(keys[4].code, 1);
    EXPECT_EQ(keys[4].modifiers, hotkeys::OPTION);
    EXPECT_EQ(keys[5].code, 3);
    EXPECT_EQ(keys[5].modifiers, hotkeys::CONTROL);
    EXPECT_EQ(keys[5].characters, "f");

    // Each press once, though the keyboard is both a slave and the master.
    testing_support::pump_for(200);
    EXPECT_EQ(seen.keys.size(), 10u);
    monitor->stop();
}

TEST(RawInputX11, ButtonsArriveWithThePointerAndStopEndsDelivery)
{
    auto monitor = platform::create_raw_input();
    Seen seen;
    ASSERT_TRUE(monitor->start(nullptr, [&](const platform::RawButton& b) { seen.buttons.push_back(b); }));

    shell("xdotool mousemove 120 200 click 8 click 9");
    ASSERT_TRUE(wait_until([&] { return seen.buttons.size() >= 2; }, 10000));
    ASSERT_EQ(seen.buttons.size(), 2u);
    const double h = QGuiApplication::primaryScreen()->geometry().height();
    const platform::PointF expected = platform::point_from_top_left(120, 200, h);
    EXPECT_EQ(seen.buttons[0].button, 8);
    EXPECT_DOUBLE_EQ(seen.buttons[0].x, expected.x);
    EXPECT_DOUBLE_EQ(seen.buttons[0].y, expected.y);
    EXPECT_EQ(seen.buttons[1].button, 9);

    // A handler that stops the monitor gets no second press, even of a burst.
    Seen after;
    ASSERT_TRUE(monitor->start(nullptr, [&](const platform::RawButton& b) {
        after.buttons.push_back(b);
        monitor->stop();
    }));
    shell("xdotool click 1 click 1 click 1");
    ASSERT_TRUE(wait_until([&] { return !after.buttons.empty(); }, 10000));
    testing_support::pump_for(300);
    EXPECT_EQ(after.buttons.size(), 1u);
    EXPECT_EQ(after.buttons[0].button, 1);

    shell("xdotool click 1");
    testing_support::pump_for(300);
    EXPECT_EQ(after.buttons.size(), 1u);
}

TEST(RawInputX11, AHandlerMayDestroyTheMonitorAndStillUseWhatItHolds)
{
    auto monitor = platform::create_raw_input();
    std::vector<std::string> noted;
    // Long enough to live on the heap, so a freed copy would not read back.
    const std::string name = "la tecla que detuvo el monitor de teclas y clics";
    ASSERT_TRUE(monitor->start(
        [&monitor, &noted, name](const platform::RawKey&) {
            monitor.reset();
            noted.push_back(name);
        },
        [&monitor, &noted, name](const platform::RawButton&) {
            monitor.reset();
            noted.push_back(name + " (clic)");
        }));
    shell("xdotool key x key y");
    ASSERT_TRUE(wait_until([&] { return !noted.empty(); }, 10000));
    testing_support::pump_for(300);
    ASSERT_EQ(noted.size(), 1u);
    EXPECT_EQ(noted[0], name);
    EXPECT_EQ(monitor, nullptr);

    monitor = platform::create_raw_input();
    ASSERT_TRUE(monitor->start(nullptr, [&monitor, &noted, name](const platform::RawButton&) {
        monitor.reset();
        noted.push_back(name + " (clic)");
    }));
    shell("xdotool click 1 click 1");
    ASSERT_TRUE(wait_until([&] { return noted.size() >= 2; }, 10000));
    testing_support::pump_for(300);
    ASSERT_EQ(noted.size(), 2u);
    EXPECT_EQ(noted[1], name + " (clic)");
}
