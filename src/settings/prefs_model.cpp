#include "settings/prefs_model.h"

#include "base/actions.h"
#include "base/hotkeys.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#ifndef VISTROPE_VERSION
#error "the build passes VISTROPE_VERSION"
#endif

namespace prefs {

using config::AfterCapture;
using config::Config;
using config::Recording;

namespace {

// The flag a tag names in a record, const or not; null outside the table.
template <class C>
auto* toggle_flag(C& config, int tag)
{
    using Flag = std::conditional_t<std::is_const_v<C>, const bool, bool>;
    if (tag < 0 || tag >= TOGGLE_COUNT)
        return static_cast<Flag*>(nullptr);
    return std::visit(
        [&config]<class R>(bool R::*m) -> Flag* {
            if constexpr (std::is_same_v<R, Config>)
                return &(config.*m);
            else if constexpr (std::is_same_v<R, AfterCapture>)
                return &(config.after_capture.*m);
            else
                return &(config.recording.*m);
        },
        TOGGLES[static_cast<std::size_t>(tag)].member);
}

std::string seconds_text(std::uint32_t n)
{
    return n == 1 ? std::string("1 segundo") : fmt::format("{} segundos", n);
}

bool blank(std::string_view s)
{
    return s.find_first_not_of(" \t\n\r\v\f") == std::string_view::npos;
}

} // namespace

std::optional<bool> toggle_value(const Config& config, int tag)
{
    const bool* flag = toggle_flag(config, tag);
    if (!flag)
        return std::nullopt;
    return *flag;
}

bool set_toggle(Config& config, int tag, bool on)
{
    bool* flag = toggle_flag(config, tag);
    if (!flag)
        return false;
    *flag = on;
    return true;
}

CounterRange counter_range(Counter kind)
{
    const config::Range r = kind == Counter::SelfTimer ? config::range_of(&Config::self_timer_seconds)
                                                       : config::range_of(&Recording::countdown_seconds);
    return { static_cast<int>(r.minimum), static_cast<int>(r.maximum) };
}

std::string counter_text(Counter kind, std::uint32_t value)
{
    if (kind == Counter::Countdown && value == 0)
        return "Sin cuenta regresiva";
    return seconds_text(value);
}

std::uint32_t counter_value(const Config& config, Counter kind)
{
    return kind == Counter::SelfTimer ? config.self_timer_seconds : config.recording.countdown_seconds;
}

bool set_counter(Config& config, int tag, long long value)
{
    if (tag != 0 && tag != 1)
        return false;
    const Counter kind = static_cast<Counter>(tag);
    const CounterRange r = counter_range(kind);
    const auto v = static_cast<std::uint32_t>(std::clamp<long long>(std::max(value, 0LL), r.minimum, r.maximum));
    (kind == Counter::SelfTimer ? config.self_timer_seconds : config.recording.countdown_seconds) = v;
    return true;
}

std::string quick_access_title(std::int64_t tenths)
{
    if (tenths <= 0)
        return "Hasta que la cierre";
    if (tenths % 10 != 0)
        return fmt::format("Tras {} segundos", static_cast<double>(tenths) / 10.0);
    const auto n = tenths / 10;
    return n == 1 ? std::string("Tras 1 segundo") : fmt::format("Tras {} segundos", n);
}

std::int64_t quick_access_tenths(double seconds)
{
    // TOML accepts inf and 1e300; converting those to an integer is undefined.
    constexpr double CENTURY = 100.0 * 365.0 * 86400.0;
    if (!(seconds > 0))
        return 0;
    return static_cast<std::int64_t>(std::round(std::min(seconds, CENTURY) * 10.0));
}

std::string fps_title(std::uint32_t fps)
{
    return fmt::format("{} fps", fps);
}

std::string abbreviate_home(std::string_view path, std::string_view home)
{
    while (!home.empty() && home.back() == '/')
        home.remove_suffix(1);
    if (home.empty())
        return std::string(path);
    if (path == home)
        return "~";
    if (path.size() > home.size() && path.starts_with(home) && path[home.size()] == '/')
        return "~/" + std::string(path.substr(home.size() + 1));
    return std::string(path);
}

std::string_view version()
{
    return VISTROPE_VERSION;
}

std::string version_line()
{
    return fmt::format("Versión {}", version());
}

std::optional<std::size_t> action_position(std::string_view id)
{
    for (std::size_t i = 0; i < ACTIONS.size(); ++i)
        if (ACTIONS[i].id == id)
            return i;
    return std::nullopt;
}

bool action_before(std::string_view a, std::string_view b)
{
    const auto pa = action_position(a).value_or(std::numeric_limits<std::size_t>::max());
    const auto pb = action_position(b).value_or(std::numeric_limits<std::size_t>::max());
    if (pa != pb)
        return pa < pb;
    return a < b; // bytewise, the shorter first on a common prefix
}

std::vector<ShortcutEntry> shortcut_entries(const config::Shortcuts& shortcuts)
{
    std::vector<ShortcutEntry> out;
    for (const auto& f : config::SHORTCUT_FIELDS)
        if (const auto* m = std::get_if<std::string config::Shortcuts::*>(&f.member))
            out.push_back({ std::string(f.key), shortcuts.**m });
    std::stable_sort(out.begin(), out.end(),
                     [](const ShortcutEntry& a, const ShortcutEntry& b) { return action_before(a.id, b.id); });
    return out;
}

config::Shortcuts with_shortcut(const config::Shortcuts& shortcuts, std::string_view id, std::string_view text)
{
    config::Shortcuts out = shortcuts;
    for (const auto& f : config::SHORTCUT_FIELDS)
        if (const auto* m = std::get_if<std::string config::Shortcuts::*>(&f.member); m && f.key == id)
            out.**m = std::string(text);
    return out;
}

std::optional<std::string> conflict_owner(std::span<const ShortcutEntry> entries, std::string_view id,
                                          std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    for (const ShortcutEntry& e : entries)
        if (e.id != id && hotkeys::same(e.text, text))
            return e.id;
    return std::nullopt;
}

namespace {

bool failed_to_register(std::string_view text, std::span<const std::string> failed)
{
    return std::any_of(failed.begin(), failed.end(), [&](const std::string& f) { return hotkeys::same(f, text); });
}

} // namespace

std::string row_warning(std::string_view text, std::span<const std::string> failed)
{
    if (blank(text))
        return {};
    if (!hotkeys::parse(text))
        return "Atajo no válido";
    if (failed_to_register(text, failed))
        return "No disponible: lo usa otra app";
    return hotkeys::system_conflict(text).value_or(std::string());
}

Hint conflict_hint(std::string_view text, std::string_view owner_label)
{
    return { fmt::format("{} ya lo usa «{}». Bórralo ahí primero.", hotkeys::display(text), owner_label), true };
}

std::string unsaved_text(std::string_view why)
{
    return fmt::format("Cambios sin guardar: {}. Siguen en uso hasta que salgas de Vistrope.", why);
}

Hint saved_hint(std::string_view label, std::string_view text, std::span<const std::string> failed)
{
    if (text.empty())
        return { fmt::format("«{}» ya no tiene atajo.", label), false };
    const std::string shown = hotkeys::display(text);
    if (failed_to_register(text, failed))
        return { fmt::format("{} no se pudo registrar: otra app lo usa.", shown), true };
    if (const auto reason = hotkeys::system_conflict(text))
        return { fmt::format("Guardado {}. Ojo: {}.", shown, *reason), true };
    return { fmt::format("Guardado: {} para «{}».", shown, label), false };
}

bool differs(const Config& on_disk, const Config& held)
{
    return config::serialize(on_disk) != config::serialize(held);
}

} // namespace prefs
