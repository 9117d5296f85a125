// prefs (rules): what the settings window shows and edits, without the window.
//
// The checkbox table, the counters' ranges and labels, the close-delay
// presets, the home abbreviation, the order of the shortcut rows, their
// warnings and the hints that report a shortcut edit. Pure: no Qt.
#pragma once

#include "base/actions.h"
#include "base/config.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace prefs {

// --- Checkboxes -------------------------------------------------------------------

// Where a checkbox's value lives: a flag of the record or of one of its tables.
using ToggleMember = std::variant<bool config::Config::*, bool config::AfterCapture::*, bool config::Recording::*>;

// One checkbox: its tag (the link between the box and its field), its title
// and the flag it edits.
struct Toggle {
    int tag;
    std::string_view title;
    ToggleMember member;
};

// The checkboxes by tag; the tabs place them in another order.
inline constexpr auto TOGGLES = std::to_array<Toggle>({
    { 0, "Reproducir sonido de obturador", &config::AfterCapture::play_sound },
    { 1, "Copiar al portapapeles", &config::AfterCapture::copy_to_clipboard },
    { 2, "Guardar en la carpeta", &config::AfterCapture::save },
    { 3, "Mostrar la vista rápida", &config::AfterCapture::show_quick_access },
    { 4, "Congelar la pantalla al seleccionar", &config::Config::freeze_screen },
    { 5, "Mostrar la lupa", &config::Config::show_magnifier },
    { 6, "Mostrar guías en cruz", &config::Config::show_crosshair },
    { 7, "Incluir la sombra de la ventana", &config::Config::window_shadow },
    { 8, "Usar HEVC (H.265)", &config::Recording::hevc },
    { 9, "Mostrar el cursor en el video", &config::Recording::show_cursor },
    { 10, "Grabar el audio del sistema", &config::Recording::system_audio },
    { 11, "Grabar el micrófono", &config::Recording::microphone },
    { 12, "Mostrar el video en la carpeta", &config::Recording::reveal_in_folder },
    { 13, "Resaltar cada clic", &config::Recording::show_clicks },
    { 14, "Mostrar atajos de teclado", &config::Recording::show_keys },
    { 15, "Mostrar también el texto que escribo", &config::Recording::show_all_keys },
    { 16, "Mostrar la barra de modos", &config::Config::show_mode_bar },
    { 17, "Animar el área capturada", &config::AfterCapture::flash },
});
inline constexpr int TOGGLE_COUNT = static_cast<int>(TOGGLES.size());

// A tag is its row's place, which the window and toggle_value look it up by.
constexpr bool toggle_tags_are_places()
{
    for (std::size_t i = 0; i < TOGGLES.size(); ++i)
        if (TOGGLES[i].tag != static_cast<int>(i))
            return false;
    return true;
}
static_assert(toggle_tags_are_places(), "TOGGLES: each row's tag is its place");

// The flag a tag edits; none for a tag outside the table.
std::optional<bool> toggle_value(const config::Config& config, int tag);
// Sets the flag of a tag; false (nothing changed) for a tag outside the table.
bool set_toggle(config::Config& config, int tag, bool on);

// --- Counters ---------------------------------------------------------------------

enum class Counter : int { SelfTimer = 0, Countdown = 1 };

struct CounterRange {
    int minimum;
    int maximum;
};
CounterRange counter_range(Counter kind);
// "Sin cuenta regresiva" for a countdown of 0, "1 segundo", "{} segundos".
std::string counter_text(Counter kind, std::uint32_t value);
std::uint32_t counter_value(const config::Config& config, Counter kind);
// A stepper's value stored in its field, limited to the counter's range
// (negative taken as 0); false for a tag outside 0..1.
bool set_counter(config::Config& config, int tag, long long value);

// --- Pop-ups ----------------------------------------------------------------------

// The close delays offered for the after-capture card, in tenths of a second.
inline constexpr std::array<std::int64_t, 7> QUICK_ACCESS_PRESETS = { 0, 30, 50, 100, 150, 300, 600 };
inline constexpr std::array<std::uint32_t, 2> FPS_PRESETS = { 30, 60 };

// "Hasta que la cierre" for 0 or less, else "Tras 1 segundo", "Tras {} segundos"
// with the shortest decimal form (0.5 for 5 tenths).
std::string quick_access_title(std::int64_t tenths);
// The stored seconds as the pop-up's tag: NaN and negatives count as 0, a
// hand-edited huge or infinite value is held at a century before rounding.
std::int64_t quick_access_tenths(double seconds);
std::string fps_title(std::uint32_t fps);

// --- Paths and version ------------------------------------------------------------

// The path with the home folder written as "~" ("~" alone, or "~/" and the rest).
std::string abbreviate_home(std::string_view path, std::string_view home);
// The About tab's version line: "Versión " and the build's version.
std::string version_line();
std::string_view version();

// --- Shortcuts --------------------------------------------------------------------

struct ShortcutEntry {
    std::string id;
    std::string text;
    bool operator==(const ShortcutEntry&) const = default;
};

// The rows' order and names: the actions' settings keys and menu titles in
// their menu order (base/actions.h), each older id beside the action it
// names now. Three ids have no shortcut of their own and only take part in
// ordering and naming.
struct Action {
    std::string_view id;
    std::string_view label;
};

// Ids older versions wrote, still named in files and links.
struct OldId {
    ::actions::Action action;
    std::string_view id;
};
inline constexpr std::array<OldId, 1> OLD_IDS = { { { ::actions::Action::CaptureScrolling, "capture_scroll" } } };

// Sized by the tables it is made from: an action or an old id added there
// has its place here, and nothing is written past the end.
inline constexpr std::array<Action, ::actions::MENU_ORDER.size() + OLD_IDS.size()> ACTIONS = [] {
    std::array<Action, ::actions::MENU_ORDER.size() + OLD_IDS.size()> out {};
    std::size_t i = 0;
    for (const ::actions::Action a : ::actions::MENU_ORDER) {
        const ::actions::ActionRow& r = ::actions::row(a);
        out[i++] = { r.key, r.title };
        for (const OldId& old : OLD_IDS)
            if (old.action == a)
                out[i++] = { old.id, r.title };
    }
    return out;
}();

// An id's place in ACTIONS, or none.
std::optional<std::size_t> action_position(std::string_view id);
// True when `a` sorts before `b`: by place, ids without one after all others
// and among themselves bytewise.
bool action_before(std::string_view a, std::string_view b);

// Every shortcut of the record with its text, in the rows' order.
std::vector<ShortcutEntry> shortcut_entries(const config::Shortcuts& shortcuts);
// The record with one shortcut replaced; an id that is not a shortcut leaves it as it is.
config::Shortcuts with_shortcut(const config::Shortcuts& shortcuts, std::string_view id, std::string_view text);
// The first other entry whose text is the same combination; none for an empty text.
std::optional<std::string> conflict_owner(std::span<const ShortcutEntry> entries, std::string_view id,
                                          std::string_view text);
// A row's warning: none for a blank text, "Atajo no válido", "No disponible:
// lo usa otra app" for a text whose registration failed, else the system
// collision's reason or none.
std::string row_warning(std::string_view text, std::span<const std::string> failed);

// A line under the shortcut grid, orange when it warns.
struct Hint {
    std::string text;
    bool warning = false;
    bool operator==(const Hint&) const = default;
};
inline constexpr std::string_view HINT_IDLE = "Haz clic en un atajo y pulsa la nueva combinación.";
inline constexpr std::string_view HINT_RECORDING = "Pulsa la nueva combinación. Esc cancela; Retroceso borra el atajo.";
inline constexpr std::string_view HINT_RESET = "Se restauraron los atajos predeterminados.";
inline constexpr std::string_view HINT_BAD_KEY = "Esa tecla no se puede usar en un atajo.";
inline constexpr std::string_view HINT_NEEDS_MODIFIER = "Agrega Ctrl, Alt o Super a la combinación.";
inline constexpr std::string_view HINT_BAD_COMBINATION = "Esa combinación no se puede usar.";

Hint conflict_hint(std::string_view text, std::string_view owner_label);
// The outcome of a saved shortcut, `label` naming its action.
Hint saved_hint(std::string_view label, std::string_view text, std::span<const std::string> failed);

// The status line under every tab while a change is not saved: `why` the
// save failed, and that the change holds until the program ends.
std::string unsaved_text(std::string_view why);

// Whether a settings file read back differs from the held settings: their
// serialised documents differ (reordered keys and whitespace do not count).
bool differs(const config::Config& on_disk, const config::Config& held);

} // namespace prefs
