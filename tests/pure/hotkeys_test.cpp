#include "base/hotkeys.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>
#include <string>

using hotkeys::COMMAND;
using hotkeys::CONTROL;
using hotkeys::OPTION;
using hotkeys::SHIFT;

namespace {

hotkeys::Shortcut parsed(std::string_view text)
{
    auto r = hotkeys::parse(text);
    EXPECT_TRUE(r.has_value()) << text << ": " << (r ? "" : r.error());
    return r.value_or(hotkeys::Shortcut{});
}

std::string error_of(std::string_view text)
{
    auto r = hotkeys::parse(text);
    EXPECT_FALSE(r.has_value()) << text;
    return r ? std::string() : r.error();
}

} // namespace

TEST(HotkeysTable, HasDistinctNamesAndKnownCodes)
{
    const auto table = hotkeys::key_table();
    ASSERT_EQ(table.size(), 102u);
    std::set<std::string_view> names;
    std::set<std::uint32_t> codes;
    for (const auto& k : table) {
        names.insert(k.name);
        codes.insert(k.code);
    }
    EXPECT_EQ(names.size(), 102u);
    EXPECT_EQ(codes.size(), 102u);
    EXPECT_EQ(parsed("cmd+a").key_code, 0u);
    EXPECT_EQ(parsed("cmd+4").key_code, 21u);
    EXPECT_EQ(parsed("cmd+5").key_code, 23u);
    EXPECT_EQ(parsed("cmd+6").key_code, 22u);
    EXPECT_EQ(parsed("cmd+\\").key_code, 42u);
    EXPECT_EQ(parsed("cmd+`").key_code, 50u);
    EXPECT_EQ(parsed("cmd+f1").key_code, 122u);
    EXPECT_EQ(parsed("cmd+f20").key_code, 90u);
    EXPECT_EQ(parsed("cmd+forwarddelete").key_code, 117u);
}

TEST(HotkeysParse, DefaultsAndModifierWords)
{
    EXPECT_EQ(parsed("opt+shift+cmd+4"), (hotkeys::Shortcut{ 21, OPTION | SHIFT | COMMAND }));
    EXPECT_EQ(parsed("command+option+control+shift+p").modifiers, COMMAND | OPTION | CONTROL | SHIFT);
    EXPECT_EQ(parsed("alt+ctrl+p").modifiers, OPTION | CONTROL);
    EXPECT_EQ(parsed("⌃+⌥+⇧+⌘+p").modifiers, CONTROL | OPTION | SHIFT | COMMAND);
    // A modifier may repeat and may follow the key.
    EXPECT_EQ(parsed("cmd+cmd+e"), (hotkeys::Shortcut{ 14, COMMAND }));
    EXPECT_EQ(parsed("e+cmd"), (hotkeys::Shortcut{ 14, COMMAND }));
}

TEST(HotkeysParse, BlanksAndCapitalsParseLikeTheTrimmedLowerCaseForm)
{
    EXPECT_EQ(parsed("  Opt + SHIFT+ Cmd +4 "), parsed("opt+shift+cmd+4"));
    EXPECT_EQ(parsed("CMD+\tSpace"), parsed("cmd+space"));
    EXPECT_EQ(parsed("Ctrl+F5"), parsed("ctrl+f5"));
}

TEST(HotkeysParse, Aliases)
{
    EXPECT_EQ(parsed("cmd+esc"), parsed("cmd+escape"));
    EXPECT_EQ(parsed("cmd+backspace"), parsed("cmd+delete"));
    EXPECT_EQ(parsed("cmd+Enter"), parsed("cmd+return"));
    EXPECT_EQ(parsed("cmd+escape").key_code, 53u);
}

TEST(HotkeysParse, PrintAloneIsTheOneKeyWithoutAModifier)
{
    EXPECT_EQ(parsed("print"), (hotkeys::Shortcut{ 128, 0 }));
    EXPECT_EQ(parsed("PrintScreen"), parsed("print"));
    EXPECT_EQ(parsed("shift+print"), (hotkeys::Shortcut{ 128, SHIFT }));
    EXPECT_EQ(hotkeys::display("print"), "Impr Pant");
    EXPECT_EQ(hotkeys::display("opt+print"), "Alt+Impr Pant");
    EXPECT_EQ(hotkeys::spec_from(0, "print"), "print");
    for (const char* alone : { "insert", "pause", "menu", "kp1", "kpenter", "f5" })
        EXPECT_EQ(error_of(alone), fmt::format("«{}» necesita al menos un modificador", alone));
    EXPECT_TRUE(hotkeys::usable(0, "print"));
    EXPECT_TRUE(hotkeys::usable(SHIFT, "print"));
    EXPECT_FALSE(hotkeys::usable(0, "insert"));
    EXPECT_FALSE(hotkeys::usable(SHIFT, "kp1"));
    EXPECT_EQ(parsed("cmd+ins"), (hotkeys::Shortcut{ 114, COMMAND }));
    EXPECT_EQ(parsed("ctrl+kp9"), (hotkeys::Shortcut{ 92, CONTROL }));
}

TEST(HotkeysParse, ErrorsQuoteTheTextAndTheFirstFailingPieceDecides)
{
    EXPECT_EQ(error_of("4"), "«4» necesita al menos un modificador");
    EXPECT_EQ(error_of("cmd+a+b"), "«cmd+a+b» tiene más de una tecla");
    EXPECT_EQ(error_of("cmd+shift"), "«cmd+shift» no tiene tecla");
    EXPECT_EQ(error_of(""), "tecla desconocida «» en «»");
    EXPECT_EQ(error_of("cmd++4"), "tecla desconocida «» en «cmd++4»");
    EXPECT_EQ(error_of("cmd+4+"), "«cmd+4+» tiene más de una tecla");
    EXPECT_EQ(error_of(" Cmd + Foo "), "tecla desconocida «foo» en « Cmd + Foo »");
    // The unknown piece comes first, so it decides over the second key.
    EXPECT_EQ(error_of("cmd+zz+a+b"), "tecla desconocida «zz» en «cmd+zz+a+b»");
    // A second key decides over a later unknown piece.
    EXPECT_EQ(error_of("a+b+zz"), "«a+b+zz» tiene más de una tecla");
    // No modifier and no key: the missing key is reported.
    EXPECT_EQ(error_of("  "), "tecla desconocida «» en «  »");
}

TEST(HotkeysDisplay, EveryKeyAsTheKeyboardLabelsIt)
{
    // Every key of the table, with the label a person reads.
    const std::map<std::string_view, std::string_view> labels = {
        { "a", "A" }, { "s", "S" }, { "d", "D" }, { "f", "F" }, { "h", "H" }, { "g", "G" }, { "z", "Z" }, { "x", "X" },
        { "c", "C" }, { "v", "V" }, { "b", "B" }, { "q", "Q" }, { "w", "W" }, { "e", "E" }, { "r", "R" }, { "y", "Y" },
        { "t", "T" }, { "o", "O" }, { "u", "U" }, { "i", "I" }, { "p", "P" }, { "l", "L" }, { "j", "J" }, { "k", "K" },
        { "n", "N" }, { "m", "M" }, { "1", "1" }, { "2", "2" }, { "3", "3" }, { "4", "4" }, { "5", "5" }, { "6", "6" },
        { "7", "7" }, { "8", "8" }, { "9", "9" }, { "0", "0" }, { "=", "=" }, { "-", "-" }, { "]", "]" }, { "[", "[" },
        { "'", "'" }, { ";", ";" }, { "\\", "\\" }, { ",", "," }, { "/", "/" }, { ".", "." }, { "`", "`" },
        { "space", "Espacio" }, { "return", "Intro" }, { "tab", "Tab" }, { "escape", "Esc" }, { "delete", "Retroceso" },
        { "forwarddelete", "Supr" }, { "left", "←" }, { "right", "→" }, { "down", "↓" }, { "up", "↑" },
        { "home", "Inicio" }, { "end", "Fin" }, { "pageup", "Re Pág" }, { "pagedown", "Av Pág" },
        { "f1", "F1" }, { "f2", "F2" }, { "f3", "F3" }, { "f4", "F4" }, { "f5", "F5" }, { "f6", "F6" }, { "f7", "F7" },
        { "f8", "F8" }, { "f9", "F9" }, { "f10", "F10" }, { "f11", "F11" }, { "f12", "F12" }, { "f13", "F13" },
        { "f14", "F14" }, { "f15", "F15" }, { "f16", "F16" }, { "f17", "F17" }, { "f18", "F18" }, { "f19", "F19" },
        { "f20", "F20" }, { "print", "Impr Pant" }, { "insert", "Insert" }, { "pause", "Pausa" }, { "menu", "Menú" },
        { "kp0", "Num 0" }, { "kp1", "Num 1" }, { "kp2", "Num 2" }, { "kp3", "Num 3" }, { "kp4", "Num 4" },
        { "kp5", "Num 5" }, { "kp6", "Num 6" }, { "kp7", "Num 7" }, { "kp8", "Num 8" }, { "kp9", "Num 9" },
        { "kpdecimal", "Num ." }, { "kpmultiply", "Num *" }, { "kpplus", "Num +" }, { "kpdivide", "Num /" },
        { "kpenter", "Num Intro" }, { "kpminus", "Num -" }, { "kpequal", "Num =" },
    };
    ASSERT_EQ(labels.size(), hotkeys::key_table().size());
    for (const auto& key : hotkeys::key_table()) {
        ASSERT_TRUE(labels.contains(key.name)) << key.name;
        const std::string label(labels.at(key.name));
        EXPECT_EQ(hotkeys::display("cmd+" + std::string(key.name)), "Ctrl+" + label) << key.name;
        EXPECT_EQ(hotkeys::key_text(key.name), label);
    }
    // Aliases show as the key they name.
    EXPECT_EQ(hotkeys::display("cmd+backspace"), "Ctrl+Retroceso");
    EXPECT_EQ(hotkeys::display("opt+esc"), "Alt+Esc");
}

TEST(HotkeysDisplay, ModifiersInOneOrderWhateverTheTextsOrder)
{
    // Every set of modifiers, written in every order: Super, Ctrl, Alt, Mayús.
    const std::pair<std::string_view, std::string_view> words[] = {
        { "ctrl", "Super" }, { "cmd", "Ctrl" }, { "opt", "Alt" }, { "shift", "Mayús" }
    };
    for (unsigned set = 1; set < 16; ++set) {
        std::vector<int> chosen;
        std::string expected;
        for (int i = 0; i < 4; ++i)
            if (set & (1u << i)) {
                chosen.push_back(i);
                expected += std::string(words[i].second) + "+";
            }
        expected += "4";
        do {
            std::string text;
            for (int i : chosen)
                text += std::string(words[i].first) + "+";
            EXPECT_EQ(hotkeys::display(text + "4"), expected) << text;
            EXPECT_EQ(hotkeys::display("4+" + text.substr(0, text.size() - 1)), expected) << text;
        } while (std::next_permutation(chosen.begin(), chosen.end()));
    }
    EXPECT_EQ(hotkeys::display("opt+shift+cmd+4"), "Ctrl+Alt+Mayús+4");
    EXPECT_EQ(hotkeys::display("ctrl+shift+2"), "Super+Mayús+2");
    EXPECT_EQ(hotkeys::display("shift+cmd+a"), "Ctrl+Mayús+A");
    // The menu's key equivalents come out the same way.
    EXPECT_EQ(hotkeys::key_equivalent_text(hotkeys::key_equivalent("opt+shift+cmd+4")), "Ctrl+Alt+Mayús+4");
    EXPECT_EQ(hotkeys::key_equivalent_text(hotkeys::key_equivalent("ctrl+shift+2")), "Super+Mayús+2");
    EXPECT_EQ(hotkeys::modifiers_text(0), "");
}

TEST(HotkeysDisplay, EmptyAndInvalidTexts)
{
    EXPECT_EQ(hotkeys::display("   "), "");
    EXPECT_EQ(hotkeys::display(""), "");
    EXPECT_EQ(hotkeys::display("cmd+nope"), "cmd+nope");
    EXPECT_EQ(hotkeys::display("  4 "), "  4 ");
}

TEST(HotkeysUsable, ModifiersAndFunctionKeys)
{
    EXPECT_TRUE(hotkeys::usable(SHIFT, "f5"));
    EXPECT_TRUE(hotkeys::usable(SHIFT, "f12"));
    EXPECT_FALSE(hotkeys::usable(SHIFT, "a"));
    EXPECT_FALSE(hotkeys::usable(SHIFT, "f"));
    EXPECT_FALSE(hotkeys::usable(SHIFT, "fa"));
    EXPECT_FALSE(hotkeys::usable(0, "f5"));
    EXPECT_TRUE(hotkeys::usable(COMMAND, "a"));
    EXPECT_TRUE(hotkeys::usable(OPTION | SHIFT, "a"));
    EXPECT_TRUE(hotkeys::usable(CONTROL, "space"));
}

TEST(HotkeysSame, ComparesParsedCodesAndMasks)
{
    EXPECT_TRUE(hotkeys::same("opt+shift+cmd+4", "⌘+⇧+⌥+4"));
    EXPECT_TRUE(hotkeys::same("cmd+esc", "Command+Escape"));
    EXPECT_FALSE(hotkeys::same("cmd+4", "cmd+shift+4"));
    EXPECT_FALSE(hotkeys::same("4", "4"));
    EXPECT_FALSE(hotkeys::same("", ""));
}

TEST(HotkeysConflict, DesktopShortcutsNameTheDesktop)
{
    using hotkeys::system_conflict;
    // Unknown desktop: every known desktop that takes the combination is named.
    const struct {
        const char* text;
        const char* anywhere;
    } table[] = {
        { "print", "GNOME, KDE Plasma y Xfce la usan para sus capturas" },
        { "shift+print", "GNOME, KDE Plasma y Xfce la usan para sus capturas" },
        { "opt+print", "GNOME y Xfce la usan para sus capturas" },
        { "cmd+print", "GNOME la usa para sus capturas" },
        { "ctrl+print", "KDE Plasma la usa para sus capturas" },
        { "ctrl+l", "GNOME y KDE Plasma la usan para bloquear la pantalla" },
        { "cmd+opt+l", "Xfce la usa para bloquear la pantalla" },
        { "opt+tab", "GNOME, KDE Plasma y Xfce la usan para cambiar de ventana" },
        { "opt+f4", "GNOME, KDE Plasma y Xfce la usan para cerrar ventanas" },
        { "cmd+opt+t", "GNOME, KDE Plasma y Xfce la usan para abrir la terminal" },
        { "cmd+opt+forwarddelete", "GNOME, KDE Plasma y Xfce la usan para cerrar la sesión" },
        { "opt+cmd+left", "GNOME y Xfce la usan para cambiar de escritorio" },
        { "opt+cmd+down", "GNOME y Xfce la usan para cambiar de escritorio" },
        { "ctrl+space", "GNOME la usa para cambiar la distribución del teclado" },
        { "cmd+esc", "KDE Plasma la usa para ver la actividad del sistema" },
    };
    for (const auto& row : table)
        EXPECT_EQ(system_conflict(row.text, ""), row.anywhere) << row.text;

    // On a known desktop only its own count; the value may list several names.
    EXPECT_EQ(system_conflict("print", "ubuntu:GNOME"), "GNOME la usa para sus capturas");
    EXPECT_EQ(system_conflict("print", "KDE"), "KDE Plasma la usa para sus capturas");
    EXPECT_EQ(system_conflict("opt+print", "KDE"), std::nullopt);
    EXPECT_EQ(system_conflict("ctrl+l", "XFCE"), std::nullopt);
    EXPECT_EQ(system_conflict("cmd+opt+l", "XFCE"), "Xfce la usa para bloquear la pantalla");
    EXPECT_EQ(system_conflict("cmd+esc", "XFCE"), "Xfce la usa para abrir su menú");
    EXPECT_EQ(system_conflict("cmd+esc", "GNOME"), "Choca con los atajos de las apps");
    EXPECT_EQ(system_conflict("opt+cmd+up", "Openbox"), "GNOME y Xfce la usan para cambiar de escritorio");

    // Masks compare exactly; Ctrl with a key alone collides with applications.
    EXPECT_EQ(system_conflict("cmd+opt+shift+print", ""), std::nullopt);
    EXPECT_EQ(system_conflict("opt+shift+cmd+4", ""), std::nullopt);
    EXPECT_EQ(system_conflict("cmd+shift+4", ""), std::nullopt);
    EXPECT_EQ(system_conflict("cmd+q", ""), "Choca con los atajos de las apps");
    EXPECT_EQ(system_conflict("cmd+nope", ""), std::nullopt);
    // Without an argument, the running desktop's own.
    {
        testing_support::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "KDE");
        EXPECT_EQ(hotkeys::system_conflict("opt+print"), std::nullopt);
    }
    testing_support::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "XFCE");
    EXPECT_EQ(hotkeys::system_conflict("opt+print"), "Xfce la usa para sus capturas");
}

TEST(HotkeysSpecFrom, ComposesInFixedOrderAndRoundTripsEveryKey)
{
    EXPECT_EQ(hotkeys::spec_from(COMMAND | OPTION | SHIFT, "4"), "opt+shift+cmd+4");
    EXPECT_EQ(hotkeys::spec_from(CONTROL | COMMAND, "q"), "ctrl+cmd+q");
    const std::uint32_t masks[] = { COMMAND, SHIFT | OPTION, CONTROL | OPTION | SHIFT | COMMAND };
    for (const auto& key : hotkeys::key_table()) {
        for (std::uint32_t mask : masks) {
            const std::string text = hotkeys::spec_from(mask, key.name);
            const auto r = hotkeys::parse(text);
            ASSERT_TRUE(r.has_value()) << text;
            EXPECT_EQ(r->key_code, key.code) << text;
            EXPECT_EQ(r->modifiers, mask) << text;
        }
    }
}
