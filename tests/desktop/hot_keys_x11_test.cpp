// Global hot keys against the test session's X server, pressed with xdotool.
#include "qt_wait.h"
#include "app/app_hotkeys.h"

#include "base/hotkeys.h"
#include "platform/hot_keys.h"
#include "platform/x11/key_positions.h"
#include "test_util.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

using app::AppAction;

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

constexpr std::uint16_t X_CTRL_ALT_SHIFT = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_SHIFT;

void shell(const std::string& command)
{
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

bool lock_on(const std::string& name)
{
    return std::system(("xset q | grep -q '" + name + ": *on'").c_str()) == 0;
}

// Another X client, on a connection of its own.
class OtherClient {
public:
    OtherClient()
    {
        m_conn = xcb_connect(nullptr, &m_screen);
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_conn));
        for (int i = 0; i < m_screen; ++i)
            xcb_screen_next(&it);
        m_root = it.data->root;
        m_symbols = xcb_key_symbols_alloc(m_conn);
    }
    ~OtherClient()
    {
        xcb_key_symbols_free(m_symbols);
        xcb_disconnect(m_conn);
    }

    // The server's keycode for a keysym (ASCII letters and digits are their own keysyms).
    xcb_keycode_t keycode(char c)
    {
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(m_symbols, static_cast<xcb_keysym_t>(c));
        const xcb_keycode_t code = codes ? codes[0] : 0;
        std::free(codes);
        return code;
    }

    // Every keycode that carries the keysym in the server's keymap.
    std::vector<std::uint32_t> keycodes(xcb_keysym_t sym)
    {
        std::vector<std::uint32_t> out;
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(m_symbols, sym);
        for (xcb_keycode_t* c = codes; c && *c != XCB_NO_SYMBOL; ++c)
            out.push_back(*c);
        std::free(codes);
        return out;
    }

    bool grab(char key, std::uint16_t modifiers)
    {
        auto cookie = xcb_grab_key_checked(m_conn, 0, m_root, modifiers, keycode(key), XCB_GRAB_MODE_ASYNC,
                                           XCB_GRAB_MODE_ASYNC);
        xcb_generic_error_t* error = xcb_request_check(m_conn, cookie);
        std::free(error);
        return error == nullptr;
    }

private:
    xcb_connection_t* m_conn = nullptr;
    int m_screen = 0;
    xcb_window_t m_root = 0;
    xcb_key_symbols_t* m_symbols = nullptr;
};

class X11HotKeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        app::set_hotkey_backend(platform::create_x11_hot_keys());
        shell("xset r on");
    }
    void TearDown() override
    {
        app::set_hotkey_backend(nullptr);
        if (lock_on("Caps Lock"))
            std::system("xdotool key Caps_Lock");
        if (lock_on("Num Lock"))
            std::system("xdotool key Num_Lock");
    }

    void register_defaults()
    {
        app::register_hotkeys(app::hotkey_bindings(config::Shortcuts{}, [this](AppAction a) { m_ran.push_back(a); }));
    }

    // Presses the combination and waits for the first action, then a little
    // longer so that a second one would be seen.
    void press_and_settle(const std::string& xdotool_args)
    {
        shell("xdotool " + xdotool_args);
        wait_until([this] { return !m_ran.empty(); }, 3000);
        pump_for(400);
    }

    testing_support::TempHome m_home;
    std::vector<AppAction> m_ran;
};

} // namespace

TEST_F(X11HotKeys, DefaultAreaShortcutRunsItsActionOnce)
{
    register_defaults();
    ASSERT_TRUE(app::hotkey_table().failed.empty());
    ASSERT_EQ(app::hotkey_table().callbacks.size(), 9u);
    press_and_settle("key ctrl+alt+shift+4");
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureArea });

    m_ran.clear();
    press_and_settle("key ctrl+alt+shift+p");
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::PinLast });

    // Another modifier set is not the shortcut.
    m_ran.clear();
    shell("xdotool key ctrl+shift+4 alt+shift+4");
    pump_for(400);
    EXPECT_TRUE(m_ran.empty());
}

TEST_F(X11HotKeys, WorksWithCapsLockAndNumLockOn)
{
    register_defaults();
    shell("xdotool key Caps_Lock");
    ASSERT_TRUE(lock_on("Caps Lock"));
    press_and_settle("key ctrl+alt+shift+4");
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureArea });

    m_ran.clear();
    shell("xdotool key Num_Lock");
    ASSERT_TRUE(lock_on("Num Lock"));
    press_and_settle("key ctrl+alt+shift+3");
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureFullscreen });
}

TEST_F(X11HotKeys, HoldingTheKeyDownRunsTheActionOnce)
{
    register_defaults();
    // X repeats a held key about every 40 ms after a 660 ms delay.
    shell("xdotool keydown ctrl+alt+shift+4 && sleep 1.5 && xdotool keyup ctrl+alt+shift+4");
    wait_until([this] { return !m_ran.empty(); }, 3000);
    pump_for(400);
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureArea });

    // The next physical press counts again.
    m_ran.clear();
    press_and_settle("key ctrl+alt+shift+4");
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureArea });
}

TEST_F(X11HotKeys, CombinationHeldByAnotherClientFailsAndUnregisterFreesTheRest)
{
    OtherClient other;
    ASSERT_TRUE(other.grab('4', X_CTRL_ALT_SHIFT));
    register_defaults();

    const auto& table = app::hotkey_table();
    EXPECT_EQ(table.failed, std::vector<std::string>{ "opt+shift+cmd+4" });
    EXPECT_EQ(table.callbacks.size(), 8u);
    press_and_settle("key ctrl+alt+shift+3");
    EXPECT_EQ(m_ran, std::vector<AppAction>{ AppAction::CaptureFullscreen });

    // Ours now, Caps Lock variant included.
    EXPECT_FALSE(other.grab('3', X_CTRL_ALT_SHIFT));
    EXPECT_FALSE(other.grab('3', X_CTRL_ALT_SHIFT | XCB_MOD_MASK_LOCK));

    app::unregister_hotkeys();
    for (char key : std::string("36875pe9")) {
        EXPECT_TRUE(other.grab(key, X_CTRL_ALT_SHIFT)) << key;
        EXPECT_TRUE(other.grab(key, X_CTRL_ALT_SHIFT | XCB_MOD_MASK_LOCK)) << key;
    }
}

namespace {

// The keysym a US layout puts on each named key, for an independent look at
// where the server's keymap has that key.
xcb_keysym_t us_keysym(std::string_view name)
{
    if (name.size() == 1)
        return static_cast<unsigned char>(name[0]);
    if (name.size() >= 2 && name[0] == 'f' && name[1] >= '0' && name[1] <= '9')
        return 0xffbe + std::stoi(std::string(name.substr(1))) - 1;
    const std::pair<std::string_view, xcb_keysym_t> named[] = {
        { "space", 0x20 }, { "return", 0xff0d }, { "tab", 0xff09 }, { "escape", 0xff1b },
        { "delete", 0xff08 }, { "forwarddelete", 0xffff }, { "left", 0xff51 }, { "up", 0xff52 },
        { "right", 0xff53 }, { "down", 0xff54 }, { "home", 0xff50 }, { "end", 0xff57 },
        { "pageup", 0xff55 }, { "pagedown", 0xff56 }, { "print", 0xff61 }, { "insert", 0xff63 },
        { "pause", 0xff13 }, { "menu", 0xff67 }, { "kp0", 0xffb0 }, { "kp1", 0xffb1 }, { "kp2", 0xffb2 },
        { "kp3", 0xffb3 }, { "kp4", 0xffb4 }, { "kp5", 0xffb5 }, { "kp6", 0xffb6 }, { "kp7", 0xffb7 },
        { "kp8", 0xffb8 }, { "kp9", 0xffb9 }, { "kpdecimal", 0xffae }, { "kpmultiply", 0xffaa },
        { "kpplus", 0xffab }, { "kpdivide", 0xffaf }, { "kpenter", 0xff8d }, { "kpminus", 0xffad },
        { "kpequal", 0xffbd },
    };
    for (const auto& [n, sym] : named)
        if (n == name)
            return sym;
    return 0;
}

} // namespace

TEST(X11KeyPositions, EveryNamedKeyMapsToWhereTheServerHasIt)
{
    OtherClient server;
    int checked = 0;
    for (const auto& key : hotkeys::key_table()) {
        const auto evdev = platform::x11::evdev_key(key.code);
        ASSERT_TRUE(evdev.has_value()) << key.name;
        const auto where = server.keycodes(us_keysym(key.name));
        if (where.empty())
            continue; // the test keymap puts other symbols on F13..F20
        ++checked;
        const std::uint32_t ours = platform::x11::x_keycode_from_evdev(*evdev);
        EXPECT_NE(std::find(where.begin(), where.end(), ours), where.end()) << key.name << " -> " << ours;
    }
    EXPECT_GE(checked, 94);
}
