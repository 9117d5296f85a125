// hotkeys: shortcut texts such as "opt+shift+cmd+4".
//
// Turns a text into a key code and a modifier mask, shows it in the
// desktop's notation, judges whether it is usable and whether it collides with a
// shortcut the desktop itself owns, and composes a text back from a recorded
// key press, and writes every shortcut a person reads. Pure: no Qt, no X11. The registration of global hot keys lives in
// app_hotkeys.h; the platform maps these codes and masks to the display server.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace hotkeys {

// Modifier mask bits, as stored codes and masks travel through the program.
inline constexpr std::uint32_t COMMAND = 0x100;
inline constexpr std::uint32_t SHIFT = 0x200;
inline constexpr std::uint32_t OPTION = 0x800;
inline constexpr std::uint32_t CONTROL = 0x1000;

// One key of the table: its lower-case name and its virtual key code. A
// virtual key code names a physical position on the keyboard (the position of
// "a" on a US layout is 0 whatever the active layout prints on it).
struct Key {
    std::string_view name;
    std::uint32_t code;
};

// The codes of the keys that steer a session of ours (finish, cancel).
inline constexpr std::uint32_t KEY_RETURN = 36;
inline constexpr std::uint32_t KEY_KEYPAD_ENTER = 76;
inline constexpr std::uint32_t KEY_ESCAPE = 53;

// A parsed shortcut.
struct Shortcut {
    std::uint32_t key_code = 0;
    std::uint32_t modifiers = 0;
    bool operator==(const Shortcut&) const = default;
};

// The 102 keys a shortcut may name, in search order: letters, digits and
// punctuation by their US positions, the named keys, F1–F20, Print ("print"),
// Insert, Pause, Menu and the keypad ("kp0"–"kp9", "kpdecimal", "kpmultiply",
// "kpplus", "kpdivide", "kpenter", "kpminus", "kpequal").
std::span<const Key> key_table();

// The name of the first table entry with that code, or nothing.
std::optional<std::string_view> key_name(std::uint32_t code);

// Parses a shortcut text: pieces separated by "+", blanks around pieces and
// letter case ignored, at least one modifier (none needed for Print) and
// exactly one key. The error is
// the user-facing message; the first failing piece decides which one.
std::expected<Shortcut, std::string> parse(std::string_view text);

// What a person reads, one notation everywhere: the modifiers' key names in
// the order Super, Ctrl, Alt, Mayús ("cmd" is the Ctrl key, "opt" Alt,
// "ctrl" the Super key), then the key as the keyboard labels it, joined by
// "+": "Ctrl+Alt+Mayús+4", "Super+Mayús+2", "Ctrl+Impr Pant". Empty (after
// trimming) gives empty; a text that does not parse comes back unchanged.
std::string display(std::string_view text);
// The modifier part alone ("Ctrl+Alt"; empty for no modifier).
std::string modifiers_text(std::uint32_t modifiers);
// A key of the table as the keyboard labels it: "Intro", "Esc", "Supr",
// "Retroceso", "Tab", "Espacio", "←", "F5", "A".
std::string key_text(std::string_view key_name);
// Modifiers and key together, as display() shows a parsed text.
std::string shown(std::uint32_t modifiers, std::string_view key_name);

// Whether a combination makes a sensible global shortcut: command, option or
// control present, or shift alone with a function key ("f" and digits), or
// the key is Print, with or without modifiers.
bool usable(std::uint32_t modifiers, std::string_view key_name);

// True when both texts parse to the same key code and mask. A text that does
// not parse is never the same as anything.
bool same(std::string_view a, std::string_view b);

// Why a text collides with a shortcut the desktop already uses, naming the
// desktop ("GNOME la usa para sus capturas"), or why Ctrl with a key alone
// collides with applications; nothing otherwise (also for a text that does
// not parse). Masks are compared exactly. The desktops are GNOME, KDE Plasma
// and Xfce: where XDG_CURRENT_DESKTOP names one of them only its shortcuts
// count, elsewhere every one of them does.
std::optional<std::string> system_conflict(std::string_view text);
// The same for an explicit XDG_CURRENT_DESKTOP value ("ubuntu:GNOME").
std::optional<std::string> system_conflict(std::string_view text, std::string_view current_desktop);

// Composes a shortcut text: the present modifiers as "ctrl", "opt", "shift",
// "cmd" in that order, then the key name, joined with "+".
std::string spec_from(std::uint32_t modifiers, std::string_view key_name);


enum class Modifier : unsigned { Shift = 1, Control = 2, Option = 4, Command = 8 };

struct KeyEquivalent {
    std::string key;        // one character, or empty
    unsigned modifiers = 0; // Modifier bits
    bool operator==(const KeyEquivalent&) const = default;
};
// The menu's key equivalent for a shortcut text (none when it does not parse).
KeyEquivalent key_equivalent(std::string_view shortcut);
// The same from the text alone, once it is known to parse.
KeyEquivalent key_equivalent_of_valid(std::string_view shortcut);
// Shown as display() shows shortcuts: "Ctrl+Alt+Mayús+4", "Ctrl+,".
std::string key_equivalent_text(const KeyEquivalent& key);

} // namespace hotkeys
