#include "base/hotkeys.h"

#include "base/util.h"

#include <array>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

namespace hotkeys {

namespace {

// Search order matters: display() and system_conflict() name a code by the
// first entry that carries it.
// Codes above 127 name keys of PC keyboards that have no position code of
// their own (Print, Pause).
constexpr std::array<Key, 102> KEYS = { {
    { "a", 0 }, { "s", 1 }, { "d", 2 }, { "f", 3 }, { "h", 4 }, { "g", 5 }, { "z", 6 }, { "x", 7 },
    { "c", 8 }, { "v", 9 }, { "b", 11 }, { "q", 12 }, { "w", 13 }, { "e", 14 }, { "r", 15 },
    { "y", 16 }, { "t", 17 }, { "o", 31 }, { "u", 32 }, { "i", 34 }, { "p", 35 }, { "l", 37 },
    { "j", 38 }, { "k", 40 }, { "n", 45 }, { "m", 46 },
    { "1", 18 }, { "2", 19 }, { "3", 20 }, { "4", 21 }, { "5", 23 }, { "6", 22 }, { "7", 26 },
    { "8", 28 }, { "9", 25 }, { "0", 29 },
    { "=", 24 }, { "-", 27 }, { "]", 30 }, { "[", 33 }, { "'", 39 }, { ";", 41 }, { "\\", 42 },
    { ",", 43 }, { "/", 44 }, { ".", 47 }, { "`", 50 },
    { "space", 49 }, { "return", 36 }, { "tab", 48 }, { "escape", 53 }, { "delete", 51 },
    { "forwarddelete", 117 }, { "left", 123 }, { "right", 124 }, { "down", 125 }, { "up", 126 },
    { "home", 115 }, { "end", 119 }, { "pageup", 116 }, { "pagedown", 121 },
    { "f1", 122 }, { "f2", 120 }, { "f3", 99 }, { "f4", 118 }, { "f5", 96 }, { "f6", 97 },
    { "f7", 98 }, { "f8", 100 }, { "f9", 101 }, { "f10", 109 }, { "f11", 103 }, { "f12", 111 },
    { "f13", 105 }, { "f14", 107 }, { "f15", 113 }, { "f16", 106 }, { "f17", 64 }, { "f18", 79 },
    { "f19", 80 }, { "f20", 90 },
    { "print", 128 }, { "insert", 114 }, { "pause", 129 }, { "menu", 110 },
    { "kp0", 82 }, { "kp1", 83 }, { "kp2", 84 }, { "kp3", 85 }, { "kp4", 86 }, { "kp5", 87 }, { "kp6", 88 },
    { "kp7", 89 }, { "kp8", 91 }, { "kp9", 92 }, { "kpdecimal", 65 }, { "kpmultiply", 67 }, { "kpplus", 69 },
    { "kpdivide", 75 }, { "kpenter", 76 }, { "kpminus", 78 }, { "kpequal", 81 },
} };

struct Alias {
    std::string_view from;
    std::string_view to;
};
constexpr Alias ALIASES[] = { { "esc", "escape" }, { "backspace", "delete" }, { "enter", "return" },
    { "printscreen", "print" }, { "ins", "insert" } };

struct ModifierWord {
    std::string_view word;
    std::uint32_t bit;
};
constexpr ModifierWord MODIFIER_WORDS[] = {
    { "cmd", COMMAND }, { "command", COMMAND }, { "⌘", COMMAND },
    { "shift", SHIFT }, { "⇧", SHIFT },
    { "opt", OPTION }, { "option", OPTION }, { "alt", OPTION }, { "⌥", OPTION },
    { "ctrl", CONTROL }, { "control", CONTROL }, { "⌃", CONTROL },
};

// The names printed on the keys of a Spanish PC keyboard; a name not listed
// shows in capitals ("a" is "A", "f5" is "F5", punctuation as it is).
struct Label {
    std::string_view name;
    std::string_view shown;
};
constexpr Label LABELS[] = {
    { "return", "Intro" }, { "escape", "Esc" }, { "delete", "Retroceso" }, { "forwarddelete", "Supr" },
    { "left", "←" }, { "right", "→" }, { "down", "↓" }, { "up", "↑" },
    { "home", "Inicio" }, { "end", "Fin" }, { "pageup", "Re Pág" }, { "pagedown", "Av Pág" },
    { "tab", "Tab" }, { "space", "Espacio" },
    { "print", "Impr Pant" }, { "insert", "Insert" }, { "pause", "Pausa" }, { "menu", "Menú" },
    { "kp0", "Num 0" }, { "kp1", "Num 1" }, { "kp2", "Num 2" }, { "kp3", "Num 3" }, { "kp4", "Num 4" },
    { "kp5", "Num 5" }, { "kp6", "Num 6" }, { "kp7", "Num 7" }, { "kp8", "Num 8" }, { "kp9", "Num 9" },
    { "kpdecimal", "Num ." }, { "kpmultiply", "Num *" }, { "kpplus", "Num +" }, { "kpdivide", "Num /" },
    { "kpenter", "Num Intro" }, { "kpminus", "Num -" }, { "kpequal", "Num =" },
};

constexpr std::uint32_t PRINT_CODE = 128;

using util::lower_ascii;
using util::trim;

std::optional<std::uint32_t> modifier_bit(std::string_view piece)
{
    for (const ModifierWord& m : MODIFIER_WORDS)
        if (m.word == piece)
            return m.bit;
    return std::nullopt;
}

std::optional<std::uint32_t> code_for(std::string_view name)
{
    for (const Alias& a : ALIASES)
        if (a.from == name) {
            name = a.to;
            break;
        }
    for (const Key& k : KEYS)
        if (k.name == name)
            return k.code;
    return std::nullopt;
}

} // namespace

std::span<const Key> key_table()
{
    return KEYS;
}

std::optional<std::string_view> key_name(std::uint32_t code)
{
    for (const Key& k : KEYS)
        if (k.code == code)
            return k.name;
    return std::nullopt;
}

std::expected<Shortcut, std::string> parse(std::string_view text)
{
    Shortcut result;
    bool have_key = false;
    std::size_t start = 0;
    while (true) {
        const std::size_t plus = text.find('+', start);
        const std::string_view raw = text.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start);
        const std::string piece = lower_ascii(trim(raw));
        if (auto bit = modifier_bit(piece)) {
            result.modifiers |= *bit;
        } else if (have_key) {
            return std::unexpected(fmt::format("«{}» tiene más de una tecla", text));
        } else if (auto code = code_for(piece)) {
            result.key_code = *code;
            have_key = true;
        } else {
            return std::unexpected(fmt::format("tecla desconocida «{}» en «{}»", piece, text));
        }
        if (plus == std::string_view::npos)
            break;
        start = plus + 1;
    }
    if (!have_key)
        return std::unexpected(fmt::format("«{}» no tiene tecla", text));
    if (result.modifiers == 0 && result.key_code != PRINT_CODE)
        return std::unexpected(fmt::format("«{}» necesita al menos un modificador", text));
    return result;
}

std::string modifiers_text(std::uint32_t mask)
{
    // The order of the desktop's own shortcut editors: Super first, Shift last.
    std::string out;
    const auto add = [&out](std::string_view word) {
        if (!out.empty())
            out += '+';
        out += word;
    };
    if (mask & CONTROL)
        add("Super");
    if (mask & COMMAND)
        add("Ctrl");
    if (mask & OPTION)
        add("Alt");
    if (mask & SHIFT)
        add("Mayús");
    return out;
}

std::string key_text(std::string_view key_name)
{
    for (const Label& l : LABELS)
        if (l.name == key_name)
            return std::string(l.shown);
    std::string out;
    for (char c : key_name)
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    return out;
}

std::string shown(std::uint32_t mask, std::string_view key_name)
{
    std::string out = modifiers_text(mask);
    if (!out.empty())
        out += '+';
    return out + key_text(key_name);
}

std::string display(std::string_view text)
{
    if (trim(text).empty())
        return {};
    const auto parsed = parse(text);
    if (!parsed)
        return std::string(text);
    // Every parsed code comes from the table, so the name is always found.
    return shown(parsed->modifiers, key_name(parsed->key_code).value_or(""));
}

bool usable(std::uint32_t modifiers, std::string_view key_name)
{
    // Print is the key a desktop's capture tools answer to, alone or not.
    if (modifiers & (COMMAND | OPTION | CONTROL) || key_name == "print")
        return true;
    if (modifiers != SHIFT)
        return false;
    if (key_name.size() < 2 || key_name.front() != 'f')
        return false;
    for (char c : key_name.substr(1))
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool same(std::string_view a, std::string_view b)
{
    const auto pa = parse(a);
    const auto pb = parse(b);
    return pa && pb && *pa == *pb;
}

namespace {

// The desktops whose default shortcuts we know, as XDG_CURRENT_DESKTOP names them.
enum Desktop : unsigned { GNOME = 1, KDE = 2, XFCE = 4, ALL_DESKTOPS = GNOME | KDE | XFCE };

struct DesktopShortcut {
    unsigned desktops;
    std::string_view key;
    std::uint32_t mask; // the stored masks: command is the Ctrl key, option Alt, control Super
    std::string_view use;
};

// What GNOME, KDE Plasma and Xfce take out of the box (each desktop's stock
// keyboard settings); the first entry with the key and mask that one of the
// desktops considered takes decides.
constexpr DesktopShortcut DESKTOP_SHORTCUTS[] = {
    { GNOME | KDE | XFCE, "print", 0, "para sus capturas" },
    { GNOME | KDE | XFCE, "print", SHIFT, "para sus capturas" },
    { GNOME | XFCE, "print", OPTION, "para sus capturas" },
    { GNOME, "print", COMMAND, "para sus capturas" },
    { GNOME, "print", COMMAND | SHIFT, "para sus capturas" },
    { GNOME, "print", COMMAND | OPTION, "para sus capturas" },
    { KDE, "print", CONTROL, "para sus capturas" },
    { KDE, "print", CONTROL | SHIFT, "para sus capturas" },
    { KDE, "print", CONTROL | COMMAND, "para sus capturas" },
    { GNOME | KDE, "l", CONTROL, "para bloquear la pantalla" },
    { XFCE, "l", COMMAND | OPTION, "para bloquear la pantalla" },
    { GNOME | KDE | XFCE, "tab", OPTION, "para cambiar de ventana" },
    { GNOME | KDE | XFCE, "tab", OPTION | SHIFT, "para cambiar de ventana" },
    { GNOME | KDE | XFCE, "f4", OPTION, "para cerrar ventanas" },
    { GNOME | KDE | XFCE, "f2", OPTION, "para ejecutar una orden" },
    { GNOME | KDE | XFCE, "t", COMMAND | OPTION, "para abrir la terminal" },
    { GNOME | KDE | XFCE, "forwarddelete", COMMAND | OPTION, "para cerrar la sesión" },
    { GNOME | XFCE, "left", COMMAND | OPTION, "para cambiar de escritorio" },
    { GNOME | XFCE, "right", COMMAND | OPTION, "para cambiar de escritorio" },
    { GNOME | XFCE, "up", COMMAND | OPTION, "para cambiar de escritorio" },
    { GNOME | XFCE, "down", COMMAND | OPTION, "para cambiar de escritorio" },
    { GNOME, "space", CONTROL, "para cambiar la distribución del teclado" },
    { KDE, "escape", COMMAND, "para ver la actividad del sistema" },
    { XFCE, "escape", COMMAND, "para abrir su menú" },
};

unsigned desktops_named(std::string_view current_desktop)
{
    unsigned found = 0;
    while (!current_desktop.empty()) {
        const size_t colon = current_desktop.find(':');
        const std::string name = util::lower_ascii(current_desktop.substr(0, colon));
        current_desktop = colon == std::string_view::npos ? std::string_view() : current_desktop.substr(colon + 1);
        if (name == "gnome" || name == "ubuntu" || name == "gnome-classic")
            found |= GNOME;
        else if (name == "kde")
            found |= KDE;
        else if (name == "xfce")
            found |= XFCE;
    }
    return found;
}

std::string desktop_names(unsigned desktops)
{
    std::vector<std::string_view> names;
    if (desktops & GNOME)
        names.push_back("GNOME");
    if (desktops & KDE)
        names.push_back("KDE Plasma");
    if (desktops & XFCE)
        names.push_back("Xfce");
    std::string out;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += i + 1 == names.size() ? " y " : ", ";
        out += names[i];
    }
    return out;
}

} // namespace

std::optional<std::string> system_conflict(std::string_view text, std::string_view current_desktop)
{
    const auto parsed = parse(text);
    if (!parsed)
        return std::nullopt;
    const std::string_view key = key_name(parsed->key_code).value_or("");
    const std::uint32_t mask = parsed->modifiers;

    // On a desktop we know, only its own shortcuts count; elsewhere any of them may.
    const unsigned here = desktops_named(current_desktop);
    const unsigned considered = here ? here : ALL_DESKTOPS;
    for (const DesktopShortcut& d : DESKTOP_SHORTCUTS) {
        if (d.key != key || d.mask != mask)
            continue;
        const unsigned taking = d.desktops & considered;
        if (!taking)
            continue;
        const bool several = (taking & (taking - 1)) != 0;
        return fmt::format("{} la {} {}", desktop_names(taking), several ? "usan" : "usa", d.use);
    }
    // Ctrl with a key alone is what every application's own shortcuts are made of.
    if (mask == COMMAND)
        return "Choca con los atajos de las apps";
    return std::nullopt;
}

std::optional<std::string> system_conflict(std::string_view text)
{
    const char* current = std::getenv("XDG_CURRENT_DESKTOP");
    return system_conflict(text, current ? current : "");
}

std::string spec_from(std::uint32_t modifiers, std::string_view key_name)
{
    std::string out;
    const auto add = [&out](std::string_view part) {
        if (!out.empty())
            out += '+';
        out += part;
    };
    if (modifiers & CONTROL)
        add("ctrl");
    if (modifiers & OPTION)
        add("opt");
    if (modifiers & SHIFT)
        add("shift");
    if (modifiers & COMMAND)
        add("cmd");
    add(key_name);
    return out;
}

namespace {

// One user-visible character: a UTF-8 sequence of one code point.
bool one_character(const std::string& s)
{
    if (s.empty())
        return false;
    const auto lead = static_cast<unsigned char>(s[0]);
    const size_t len = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    return len == s.size();
}

} // namespace

KeyEquivalent key_equivalent_of_valid(std::string_view shortcut)
{
    KeyEquivalent key;
    size_t start = 0;
    while (true) {
        const size_t plus = shortcut.find('+', start);
        const std::string piece = util::lower_ascii(util::trim(shortcut.substr(start, plus == std::string_view::npos ? std::string_view::npos : plus - start)));
        if (piece == "cmd" || piece == "command")
            key.modifiers |= static_cast<unsigned>(Modifier::Command);
        else if (piece == "ctrl" || piece == "control")
            key.modifiers |= static_cast<unsigned>(Modifier::Control);
        else if (piece == "shift")
            key.modifiers |= static_cast<unsigned>(Modifier::Shift);
        else if (piece == "opt" || piece == "option" || piece == "alt")
            key.modifiers |= static_cast<unsigned>(Modifier::Option);
        else if (one_character(piece))
            key.key = piece; // glyph modifiers are single characters: keys here
        if (plus == std::string_view::npos)
            break;
        start = plus + 1;
    }
    return key;
}

KeyEquivalent key_equivalent(std::string_view shortcut)
{
    if (!parse(shortcut))
        return {};
    return key_equivalent_of_valid(shortcut);
}

std::string key_equivalent_text(const KeyEquivalent& key)
{
    if (key.key.empty())
        return {};
    std::uint32_t mask = 0;
    if (key.modifiers & static_cast<unsigned>(Modifier::Command))
        mask |= COMMAND;
    if (key.modifiers & static_cast<unsigned>(Modifier::Control))
        mask |= CONTROL;
    if (key.modifiers & static_cast<unsigned>(Modifier::Option))
        mask |= OPTION;
    if (key.modifiers & static_cast<unsigned>(Modifier::Shift))
        mask |= SHIFT;
    return shown(mask, key.key);
}

} // namespace hotkeys
