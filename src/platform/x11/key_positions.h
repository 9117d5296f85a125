// platform (X11): where each virtual key code sits on a PC keyboard.
//
// Virtual key codes name positions ("the key where a US layout has A"), not
// characters, so they map to the Linux input layer's key numbers (evdev) by
// position. An X server with the evdev keycode set, the usual one and Xvfb's,
// numbers the same key evdev + 8.
//
// FIXME: a server with another keycode set (the old xfree86 one) would need
// the keycodes looked up by XKB key name instead.
#pragma once

#include <cstdint>
#include <optional>

namespace platform::x11 {

// The evdev key number at the position of a virtual key code, or nothing for
// a code with no PC key.
std::optional<std::uint16_t> evdev_key(std::uint32_t virtual_code);

// The inverse: the virtual key code at an evdev key's position, or nothing for
// a key without a code (ISO keys, modifiers).
std::optional<std::uint32_t> virtual_code_for_evdev(std::uint16_t evdev);

// The X keycode under the evdev keycode set: evdev + 8.
inline std::uint32_t x_keycode_from_evdev(std::uint16_t evdev) { return evdev + 8u; }

} // namespace platform::x11
