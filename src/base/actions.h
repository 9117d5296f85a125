// actions: the program's actions, each named once.
//
// An action is what the status menu, a global hot key and a vistrope://
// link all start. Its row says everything the other tables used to repeat:
// the link's host, the settings key (which is also the settings window's id
// for its shortcut row) with the shortcut member, the menu title, the symbol
// the first-run window shows beside it, whether it waits for the menu to
// leave the screen, its group in the menu and its button on the capture-mode
// bar. The link hosts, the hot-key registration, the [shortcuts] table of the
// settings file, the status menu with its separators, the dispatcher, the
// settings window's names, the first-run list and the mode bar's buttons are
// all read from ACTIONS, and their sizes follow from it. Pure.
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

// The status menu's groups, in menu order, a separator between two:
// captures, then text and recording, then what acts on the last capture.
enum class MenuGroup : unsigned char { Captures, TextAndRecording, LastCapture };

// A button of the capture-mode bar; an empty label: the action has none.
struct BarButton {
    std::string_view label;
    std::string_view symbol;
};

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
    MenuGroup group;
    BarButton bar;
};

// In the order of the action codes, which is also the order of the
// [shortcuts] table in the settings file and of hot-key registration (an
// earlier action keeps a combination that a later one repeats).
inline constexpr std::array ACTIONS = std::to_array<ActionRow>({
    { Action::CaptureArea, "capture-area", "capture_area", &config::Shortcuts::capture_area, "Capturar área", "viewfinder",
        AfterMenu::WaitForScreen, MenuGroup::Captures, { "Área", "viewfinder" } },
    { Action::CaptureFullscreen, "capture-fullscreen", "capture_fullscreen", &config::Shortcuts::capture_fullscreen,
        "Capturar pantalla completa", "display", AfterMenu::WaitForScreen, MenuGroup::Captures, { "Pantalla", "display" } },
    { Action::CaptureWindow, "capture-window", "capture_window", &config::Shortcuts::capture_window, "Capturar ventana",
        "macwindow", AfterMenu::WaitForScreen, MenuGroup::Captures, { "Ventana", "macwindow" } },
    { Action::CapturePreviousArea, "capture-previous-area", "capture_previous_area",
        &config::Shortcuts::capture_previous_area, "Repetir área anterior", "", AfterMenu::WaitForScreen,
        MenuGroup::Captures, {} },
    { Action::CaptureText, "capture-text", "capture_text", &config::Shortcuts::capture_text, "Copiar texto (OCR)",
        "text.viewfinder", AfterMenu::WaitForScreen, MenuGroup::TextAndRecording, { "Texto", "textformat" } },
    { Action::RecordScreen, "record-screen", "record_screen", &config::Shortcuts::record_screen, "Grabar pantalla",
        "record.circle", AfterMenu::WaitForScreen, MenuGroup::TextAndRecording, { "Grabar", "video" } },
    { Action::RecordGif, "record-gif", "record_gif", nullptr, "Grabar GIF", "", AfterMenu::WaitForScreen,
        MenuGroup::TextAndRecording, {} },
    { Action::SelfTimer, "self-timer", "self_timer", nullptr, "Temporizador", "", AfterMenu::RunAtOnce, MenuGroup::Captures,
        { "Temporizador", "timer" } },
    { Action::PinLast, "pin", "pin_last", &config::Shortcuts::pin_last, "Fijar última captura", "", AfterMenu::RunAtOnce,
        MenuGroup::LastCapture, {} },
    { Action::OpenLastInEditor, "open-annotate", "open_last_in_editor", &config::Shortcuts::open_last_in_editor,
        "Anotar última captura", "", AfterMenu::RunAtOnce, MenuGroup::LastCapture, {} },
    { Action::CaptureScrolling, "capture-scrolling", "capture_scrolling", &config::Shortcuts::capture_scrolling,
        "Captura con desplazamiento", "", AfterMenu::WaitForScreen, MenuGroup::Captures, { "Desplazamiento", "arrow.down" } },
});

// How the status menu and the settings window's shortcut rows order the
// actions: every action once, each menu group together (the menu puts its
// separators between the groups).
inline constexpr std::array<Action, ACTIONS.size()> MENU_ORDER = {
    Action::CaptureArea, Action::CaptureFullscreen, Action::CaptureWindow, Action::CapturePreviousArea,
    Action::CaptureScrolling, Action::SelfTimer, Action::CaptureText, Action::RecordScreen, Action::RecordGif,
    Action::PinLast, Action::OpenLastInEditor,
};

// The first-run window lists these, in this order, with their symbols.
inline constexpr auto FIRST_RUN_ORDER = std::to_array<Action>({
    Action::CaptureArea, Action::CaptureFullscreen, Action::CaptureWindow, Action::RecordScreen, Action::CaptureText,
});

constexpr const ActionRow& row(Action action)
{
    return ACTIONS[static_cast<std::size_t>(action)];
}

// row() finds an action by its code: each row's place is its code.
constexpr bool rows_in_code_order()
{
    for (std::size_t i = 0; i < ACTIONS.size(); ++i)
        if (static_cast<std::size_t>(ACTIONS[i].action) != i)
            return false;
    return true;
}
static_assert(rows_in_code_order(), "ACTIONS: each row's place is its action's code");

// Every action once in MENU_ORDER (an entry left out leaves a repeated
// first action in its place), and each group in one run, in group order.
constexpr bool menu_order_is_whole()
{
    std::array<bool, ACTIONS.size()> seen {};
    for (std::size_t i = 0; i < MENU_ORDER.size(); ++i) {
        const auto code = static_cast<std::size_t>(MENU_ORDER[i]);
        if (code >= seen.size() || seen[code])
            return false;
        seen[code] = true;
        if (i > 0 && row(MENU_ORDER[i]).group < row(MENU_ORDER[i - 1]).group)
            return false;
    }
    return true;
}
static_assert(menu_order_is_whole(), "MENU_ORDER: every action once, each menu group in one run");

// The capture-mode bar's buttons: the actions with one, in menu order.
constexpr std::size_t bar_count()
{
    std::size_t n = 0;
    for (const ActionRow& r : ACTIONS)
        n += !r.bar.label.empty();
    return n;
}
inline constexpr std::array<Action, bar_count()> BAR_ORDER = [] {
    std::array<Action, bar_count()> out {};
    std::size_t i = 0;
    for (const Action a : MENU_ORDER)
        if (!row(a).bar.label.empty())
            out[i++] = a;
    return out;
}();

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
