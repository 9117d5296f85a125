// platform: the raw-input monitor, which sees every key press and mouse
// button press on the display, whichever program has them.
//
// The keys-and-clicks overlay of a recording and the scrolling capture's
// Return/Escape keys read it. On X11 it listens to XInput2 raw events on the
// root window over an xcb connection of its own; a raw event never takes the
// key from the program that has it (unlike a grab). The program's own windows
// are covered too: callers that must ignore keys typed into the program check
// for its focus themselves.
//
// Threads: create, start, stop and destroy on the main thread; the handlers run
// on the main thread, from the run loop. Positions are global points with a
// bottom-left origin, like every position at the platform's boundary.
#pragma once

#include "platform/screens.h"

#include <bitset>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

struct RawKey {
    // The key's position as a virtual key code (the codes of
    // hotkeys::key_table(), keypad Enter = 76); none (-1) for a key without one.
    int code = -1;
    // hotkeys::COMMAND, SHIFT, OPTION, CONTROL as held at the press (the
    // project's mapping: Ctrl = command, Alt = option, Super = control; AltGr
    // is not option).
    std::uint32_t modifiers = 0;
    std::string characters;             // UTF-8 the key types with its modifiers
    std::string unmodified_characters;  // UTF-8 of its level-0 keysym
};

struct RawButton {
    // X11 button numbers after the pointer mapping: 1 left, 2 middle,
    // 3 right, 4–7 wheel, 8 and up extra buttons.
    int button = 0;
    double x = 0; // global points, bottom-left origin
    double y = 0;
};

class RawInput {
public:
    using KeyHandler = std::function<void(const RawKey&)>;
    using ButtonHandler = std::function<void(const RawButton&)>;

    virtual ~RawInput() = default;
    // Starts delivering presses to the handlers (either may be empty). Fails
    // with a description when the display has no XInput2 raw events.
    virtual std::expected<void, std::string> start(KeyHandler keys, ButtonHandler buttons) = 0;
    // No handler runs after stop returns. Idempotent.
    virtual void stop() = 0;
};

// The display's monitor (X11 XInput2). Main thread.
std::unique_ptr<RawInput> create_raw_input();

// Whether raw global input can be read at all (X11: XInput2 raw events, and
// XTEST for synthetic scrolling, exist). X11 has no permission or prompt for
// it. Tests may set the answer. Main thread.
bool accessibility_trusted();
void set_accessibility_trusted_for_tests(std::optional<bool> answer);

// The X keycodes held down on the display now (the server's key map), none
// without a display. A window that takes the keyboard while a key is held
// then receives that key's repeats as presses of its own. Main thread.
std::bitset<256> keys_down();

// What one synthetic wheel click stands for, in points: a delta becomes
// wheel_clicks(delta) whole clicks. How far a click really scrolls is the
// program's own choice.
inline constexpr double WHEEL_CLICK_POINTS = 60;
int wheel_clicks(double delta);

// Scrolls what lies under the centre of `rect` (global points, bottom-left
// origin) by `delta` points, negative forward: synthetic wheel clicks through
// XTEST (wheel_clicks(delta) of them, at least one), the pointer moved there
// and back. Main thread.
void post_wheel(const RectF& rect, double delta);

} // namespace platform
