// sys: small operations that touch the operating system outside the
// program's own windows: recent captures, launch at login, desktop icons,
// the program's icon in the icon theme.
//
// (The module is the system helpers; its namespace is `sys` because a
// namespace called `system` would collide with the C library's system().)
//
// They keep no state; every call asks the system afresh. All run on the main
// thread and block it for their duration: the desktop-icon operations wait
// for child processes.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sys {

// The newest "Vistrope …" .png and .mp4 entries of a folder (not recursive),
// newest first, at most `limit`. Entries with equal modification times keep
// the order in which the folder listed them. An unreadable folder gives none.
std::vector<std::filesystem::path> recent_captures(const std::filesystem::path& folder, unsigned limit);

// Adds (on) or removes (off) the XDG autostart entry that starts the
// program's front (platform::front_executable of this executable) when the
// user logs in. A failure is logged as "inicio de sesión: " + why and
// otherwise ignored.
void set_launch_at_login(bool on);

// Whether the autostart entry exists, is not hidden or disabled, and starts
// the front or this executable (as entries of earlier versions do).
bool launch_at_login_enabled();

// An enabled entry that starts this executable alone, as earlier versions
// wrote it, is written anew for the front; any other is left as it is.
void refresh_launch_at_login();

// $XDG_CONFIG_HOME/autostart/vistrope.desktop ($XDG_CONFIG_HOME defaults to
// ~/.config; a relative value is ignored, as the XDG rules say).
std::filesystem::path autostart_path();

// The autostart entry's text for an executable.
std::string autostart_entry(const std::filesystem::path& executable);

// The command line an entry's Exec key runs (unquoted, unescaped), or empty
// when the entry has no Exec key.
std::vector<std::string> autostart_command(std::string_view entry_text);

// One PNG file of the program's icon for the icon theme: `size` × `size`
// pixels.
struct ThemeIcon {
    int size = 0;
    std::vector<std::uint8_t> png;
};

// $XDG_DATA_HOME/icons/hicolor ($XDG_DATA_HOME defaults to ~/.local/share).
std::filesystem::path icon_theme_dir();

// Writes each icon as <icon_theme_dir>/<N>x<N>/apps/<platform::ICON_NAME>.png,
// whole, leaving a file that already holds the same bytes untouched. The
// first failure's reason; the icons before it are written. Any thread.
std::expected<void, std::string> install_theme_icons(const std::vector<ThemeIcon>& icons);

// Whether the session's desktop has a setting for its icons (Xfce, MATE,
// Cinnamon, by XDG_CURRENT_DESKTOP); elsewhere there is nothing to toggle.
bool desktop_icons_setting_exists();

// Whether the desktop shows its icons. Asks the desktop's own setting (Xfce,
// MATE, Cinnamon) through its command-line tool; anything unexpected, a
// session without such a setting included, counts as visible.
bool desktop_icons_visible();

// Shows or hides the desktop icons through the desktop's own setting. When
// that fails, or the session has none, logs
// "no pude cambiar los íconos del escritorio".
void set_desktop_icons_visible(bool visible);

} // namespace sys
