// config: the settings record and its TOML file.
//
// One table of typed descriptors per record names every key once; reading,
// writing and the settings window all walk the same tables.
#pragma once

#include "base/util.h"

#include <cstdint>
#include <expected>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace config {

// The current default update-feed address, and the older one that loading
// migrates to it.
inline constexpr std::string_view DEFAULT_FEED = "https://vtrope.dev/vistrope/appcast.json";
inline constexpr std::string_view OLD_DEFAULT_FEED = "https://vistrope.app/appcast.json";

struct AfterCapture {
    bool copy_to_clipboard = true;
    bool save = true;
    bool show_quick_access = true;
    bool play_sound = true;
    bool flash = true;
    bool operator==(const AfterCapture&) const = default;
};

struct Shortcuts {
    std::string capture_area = "opt+shift+cmd+4";
    std::string capture_fullscreen = "opt+shift+cmd+3";
    std::string capture_window = "opt+shift+cmd+6";
    std::string capture_previous_area = "opt+shift+cmd+8";
    std::string capture_text = "opt+shift+cmd+7";
    std::string record_screen = "opt+shift+cmd+5";
    std::string pin_last = "opt+shift+cmd+p";
    std::string open_last_in_editor = "opt+shift+cmd+e";
    std::string capture_scrolling = "opt+shift+cmd+9";
    bool operator==(const Shortcuts&) const = default;
};

struct Recording {
    std::uint32_t fps = 60;
    bool hevc = false;
    bool show_cursor = true;
    bool system_audio = false;
    bool microphone = false;
    std::uint32_t countdown_seconds = 0;
    bool reveal_in_folder = false;
    std::uint32_t gif_fps = 15;
    std::uint32_t gif_max_width = 800;
    bool show_clicks = true;
    bool show_keys = false;
    bool show_all_keys = false;
    bool operator==(const Recording&) const = default;
};

struct Config {
    std::string save_dir = "~/Desktop";
    AfterCapture after_capture;
    double quick_access_seconds = 0.0;
    bool freeze_screen = true;
    bool show_magnifier = true;
    bool show_crosshair = true;
    bool show_mode_bar = true;
    bool window_shadow = true;
    std::uint32_t self_timer_seconds = 5;
    std::string update_feed = std::string(DEFAULT_FEED);
    Shortcuts shortcuts;
    Recording recording;

    bool operator==(const Config&) const = default;

    // $XDG_CONFIG_HOME/vistrope/config.toml (~/.config; "/tmp" for HOME when unset).
    static std::filesystem::path path();
    // Reads the file; never fails: a missing file is created with the defaults,
    // an invalid or unreadable one gives the defaults and is left as it is.
    static Config load();
    // Writes the whole file atomically (temporary "config.toml.tmp<pid>", synced,
    // then renamed), through a symbolic link to the file it names. A failure
    // leaves no temporary behind. A file there that does not parse is first
    // kept as "config.toml.invalido" (see save_to).
    std::expected<struct Saved, std::string> save() const;
};

// What a save did besides writing the file.
struct Saved {
    // The file it replaced did not parse: it was kept here first.
    std::optional<std::filesystem::path> kept_invalid;
};

// Where a settings file that does not parse is kept before it is written over.
std::filesystem::path invalid_copy_path(const std::filesystem::path& path);

// Larger documents, and dotted keys or table headers of more parts, are
// refused before the TOML library sees them.
inline constexpr size_t MAX_FILE_BYTES = 1 << 20;
inline constexpr size_t MAX_KEY_SEGMENTS = 64;

// Parses a settings document. On error, the description of what is wrong and where.
std::expected<Config, std::string> parse(std::string_view toml_text);
// The document save() writes: plain keys in declared order, then the three tables.
std::string serialize(const Config& config);
// A TOML basic string (quoted, with escapes) that parses back to `text`.
std::string basic_string(std::string_view text);
// Loads from an explicit path (the same rules as Config::load).
Config load_from(const std::filesystem::path& path);
// Writes `config` to `path`. When the file there exists but cannot be read
// or does not parse, the user's text is kept first as "<name>.invalido" (the
// same text is not written twice; a kept copy of another text is replaced by
// the newer one) and the log says so; should that fail, nothing is written.
// Errors name the settings file, never the temporary.
std::expected<Saved, std::string> save_to(const Config& config, const std::filesystem::path& path);
// The capture folder: `save_dir` with a leading "~" or "~/" expanded to the home folder,
// and a relative one taken inside the home folder; an empty `save_dir` means the
// default folder, and the default "~/Desktop" means the user's desktop folder
// (xdg::desktop_dir).
std::filesystem::path save_dir(const Config& config);
// The same expansion against an explicit home folder.
std::filesystem::path expand_save_dir(std::string_view save_dir, const std::filesystem::path& home);

// The key tables: every key of the file is named once here, with its member.
// Reading, writing and the settings window walk these; defaults come from the
// default-constructed records.
template <class R>
using Member = std::variant<bool R::*, std::uint32_t R::*, double R::*, std::string R::*>;

// The values a whole-number setting takes: what the settings window offers,
// and what the code that reads it holds a hand-edited value to.
struct Range {
    std::uint32_t minimum;
    std::uint32_t maximum;
    bool operator==(const Range&) const = default;
};

template <class R>
struct Field {
    std::string_view key;
    Member<R> member;
    std::optional<Range> range = std::nullopt;
};

inline const Field<Config> CONFIG_FIELDS[] = {
    { "save_dir", &Config::save_dir },
    { "quick_access_seconds", &Config::quick_access_seconds },
    { "freeze_screen", &Config::freeze_screen },
    { "show_magnifier", &Config::show_magnifier },
    { "show_crosshair", &Config::show_crosshair },
    { "show_mode_bar", &Config::show_mode_bar },
    { "window_shadow", &Config::window_shadow },
    { "self_timer_seconds", &Config::self_timer_seconds, Range { 1, 60 } },
    { "update_feed", &Config::update_feed },
};

inline const Field<AfterCapture> AFTER_CAPTURE_FIELDS[] = {
    { "copy_to_clipboard", &AfterCapture::copy_to_clipboard },
    { "save", &AfterCapture::save },
    { "show_quick_access", &AfterCapture::show_quick_access },
    { "play_sound", &AfterCapture::play_sound },
    { "flash", &AfterCapture::flash },
};

// The [shortcuts] table's keys are the actions' (SHORTCUT_FIELDS, base/actions.h).

inline const Field<Recording> RECORDING_FIELDS[] = {
    { "fps", &Recording::fps },
    { "hevc", &Recording::hevc },
    { "show_cursor", &Recording::show_cursor },
    { "system_audio", &Recording::system_audio },
    { "microphone", &Recording::microphone },
    { "countdown_seconds", &Recording::countdown_seconds, Range { 0, 10 } },
    // The key keeps the name files written by earlier versions carry.
    { "reveal_in_finder", &Recording::reveal_in_folder },
    { "gif_fps", &Recording::gif_fps, Range { 1, 50 } },
    { "gif_max_width", &Recording::gif_max_width },
    { "show_clicks", &Recording::show_clicks },
    { "show_keys", &Recording::show_keys },
    { "show_all_keys", &Recording::show_all_keys },
};

// The range in a whole-number member's row; a member without one stops the
// program (a reader asked for a range its row does not carry).
template <class R, std::size_t N>
Range range_in(const Field<R> (&fields)[N], std::uint32_t R::* member)
{
    for (const Field<R>& f : fields)
        if (const auto* m = std::get_if<std::uint32_t R::*>(&f.member); m && *m == member && f.range)
            return *f.range;
    util::fatal("un ajuste numérico sin rango en su fila");
}
inline Range range_of(std::uint32_t Config::* member)
{
    return range_in(CONFIG_FIELDS, member);
}
inline Range range_of(std::uint32_t Recording::* member)
{
    return range_in(RECORDING_FIELDS, member);
}

} // namespace config
