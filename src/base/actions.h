// actions: the program's actions, each named once.
//
// An action is what the status menu, a global hot key and a vistrope://
// link all start. Its row says everything the other tables used to repeat:
// the link's host, the settings key (which is also the settings window's id
// for its shortcut row) with the shortcut member, the menu title, the symbol
// the first-run window shows beside it, and whether it waits for the menu to
// leave the screen. The link hosts, the hot-key registration, the [shortcuts]
// table of the settings file, the status menu, the dispatcher, the settings
// window's names and the first-run list are all read from ACTIONS. Pure.
#pragma once

#include "base/config.h"

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace actions {

// The command code shared by the status menu, the hot keys and the links.
enum class Action : unsigned char {
    CaptureArea = 0,
    CaptureFullscreen = 1,
    CaptureWindow = 2,
    CapturePreviousArea = 3,
    CaptureText = 4,
    RecordScreen = 5,
    RecordGif = 6,
    SelfTimer = 7,
    PinLast = 8,
    OpenLastInEditor = 9,
    CaptureScrolling = 10,
};

// What a recording action asks for; the choice travels with the selector's
// session to the recorder.
enum class RecordingFormat : unsigned char { Video, Gif };

// Whether a menu row's action needs the screen free of the menu first: a
// capture (or the selector's picture of the screen) waits until the menu is
// gone; the others start at once.
enum class AfterMenu : unsigned char { RunAtOnce, WaitForScreen };

struct ActionRow {
    Action action;
    std::string_view host;  // vistrope://HOST
    std::string_view key;   // the settings key and the settings window's id
    // The shortcut's member in the settings record; null for an action
    // without a hot key of its own.
    std::string config::Shortcuts::* shortcut;
    std::string_view title;  // the status menu's row
    std::string_view symbol; // shown in the first-run window; empty: not listed there
    AfterMenu after_menu;
};

// In the order of the action codes, which is also the order of the
// [shortcuts] table in the settings file and of hot-key registration (an
// earlier action keeps a combination that a later one repeats).
inline constexpr std::array<ActionRow, 11> ACTIONS = { {
    { Action::CaptureArea, "capture-area", "capture_area", &config::Shortcuts::capture_area, "Capturar área", "viewfinder",
        AfterMenu::WaitForScreen },
    { Action::CaptureFullscreen, "capture-fullscreen", "capture_fullscreen", &config::Shortcuts::capture_fullscreen,
        "Capturar pantalla completa", "display", AfterMenu::WaitForScreen },
    { Action::CaptureWindow, "capture-window", "capture_window", &config::Shortcuts::capture_window, "Capturar ventana",
        "macwindow", AfterMenu::WaitForScreen },
    { Action::CapturePreviousArea, "capture-previous-area", "capture_previous_area",
        &config::Shortcuts::capture_previous_area, "Repetir área anterior", "", AfterMenu::WaitForScreen },
    { Action::CaptureText, "capture-text", "capture_text", &config::Shortcuts::capture_text, "Copiar texto (OCR)",
        "text.viewfinder", AfterMenu::WaitForScreen },
    { Action::RecordScreen, "record-screen", "record_screen", &config::Shortcuts::record_screen, "Grabar pantalla",
        "record.circle", AfterMenu::WaitForScreen },
    { Action::RecordGif, "record-gif", "record_gif", nullptr, "Grabar GIF", "", AfterMenu::WaitForScreen },
    { Action::SelfTimer, "self-timer", "self_timer", nullptr, "Temporizador", "", AfterMenu::RunAtOnce },
    { Action::PinLast, "pin", "pin_last", &config::Shortcuts::pin_last, "Fijar última captura", "", AfterMenu::RunAtOnce },
    { Action::OpenLastInEditor, "open-annotate", "open_last_in_editor", &config::Shortcuts::open_last_in_editor,
        "Anotar última captura", "", AfterMenu::RunAtOnce },
    { Action::CaptureScrolling, "capture-scrolling", "capture_scrolling", &config::Shortcuts::capture_scrolling,
        "Captura con desplazamiento", "", AfterMenu::WaitForScreen },
} };

// How the status menu and the settings window's shortcut rows order the
// actions (the menu puts its separators between the groups).
inline constexpr std::array<Action, 11> MENU_ORDER = {
    Action::CaptureArea, Action::CaptureFullscreen, Action::CaptureWindow, Action::CapturePreviousArea,
    Action::CaptureScrolling, Action::SelfTimer, Action::CaptureText, Action::RecordScreen, Action::RecordGif,
    Action::PinLast, Action::OpenLastInEditor,
};

// The first-run window lists these, in this order, with their symbols.
inline constexpr std::array<Action, 5> FIRST_RUN_ORDER = {
    Action::CaptureArea, Action::CaptureFullscreen, Action::CaptureWindow, Action::RecordScreen, Action::CaptureText,
};

constexpr const ActionRow& row(Action action)
{
    return ACTIONS[static_cast<std::size_t>(action)];
}

// The actions with a shortcut, in ACTIONS order.
constexpr std::size_t shortcut_count()
{
    std::size_t n = 0;
    for (const ActionRow& r : ACTIONS)
        n += r.shortcut != nullptr;
    return n;
}
inline constexpr std::size_t SHORTCUT_COUNT = shortcut_count();

constexpr std::array<const ActionRow*, SHORTCUT_COUNT> with_shortcuts()
{
    std::array<const ActionRow*, SHORTCUT_COUNT> out {};
    std::size_t i = 0;
    for (const ActionRow& r : ACTIONS)
        if (r.shortcut)
            out[i++] = &r;
    return out;
}
inline constexpr std::array<const ActionRow*, SHORTCUT_COUNT> SHORTCUT_ROWS = with_shortcuts();

// The action a link's host names (exactly, case-sensitively); none otherwise.
constexpr std::optional<Action> for_host(std::string_view host)
{
    for (const ActionRow& r : ACTIONS)
        if (r.host == host)
            return r.action;
    return std::nullopt;
}

// The action a settings key names; none otherwise.
constexpr std::optional<Action> for_key(std::string_view key)
{
    for (const ActionRow& r : ACTIONS)
        if (r.key == key)
            return r.action;
    return std::nullopt;
}

} // namespace actions

namespace config {

// The [shortcuts] table of the settings file: each action's key and member,
// in ACTIONS order.
inline const std::array<Field<Shortcuts>, actions::SHORTCUT_COUNT> SHORTCUT_FIELDS = [] {
    std::array<Field<Shortcuts>, actions::SHORTCUT_COUNT> out;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = { actions::SHORTCUT_ROWS[i]->key, actions::SHORTCUT_ROWS[i]->shortcut };
    return out;
}();

} // namespace config
