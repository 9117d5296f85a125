// xdg: where the program keeps its files, by the XDG base directories and the
// user's named folders (user-dirs.dirs).
//
// Every function reads the environment when called (HOME, XDG_CONFIG_HOME,
// XDG_STATE_HOME), so a test that changes a variable sees the change at once.
// Any thread may call them.
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace xdg {

// $variable ("XDG_DATA_HOME", "XDG_CACHE_HOME", …) when it holds an absolute
// path, else `under_home` (".local/share") under `home`, or the home folder.
std::filesystem::path base_dir(const char* variable, const char* under_home, const std::filesystem::path& home);
std::filesystem::path base_dir(const char* variable, const char* under_home);

// $XDG_CONFIG_HOME, or <home>/.config when the variable is unset, empty or
// relative (the base directory rules ignore relative values).
std::filesystem::path config_home();
// $XDG_STATE_HOME, or <home>/.local/state, by the same rules.
std::filesystem::path state_home();

// The program's own folders under those: <config>/vistrope and <state>/vistrope.
std::filesystem::path config_dir();
std::filesystem::path state_dir();

// The user's desktop folder: XDG_DESKTOP_DIR from <config>/user-dirs.dirs (what
// `xdg-user-dir DESKTOP` answers), else <home>/Desktop.
std::filesystem::path desktop_dir();
// The same for an explicit home folder.
std::filesystem::path desktop_dir(const std::filesystem::path& home);
// The folder a user-dirs.dirs text names for `name` ("DESKTOP"): its
// XDG_<name>_DIR line, a quoted "$HOME/…" or absolute path; empty when the
// text has no usable line for it.
std::filesystem::path user_dir_from(std::string_view dirs_text, std::string_view name, const std::filesystem::path& home);

// The folders older versions kept their files in, under the home folder.
std::filesystem::path old_config_dir();
std::filesystem::path old_log_path();

// Moves what older versions left in their folders to today's ones: the
// settings folder's files (config.toml, the first-run mark, the update
// stamp) and the log. A file whose new place is taken stays where it is.
// Returns one log line per file moved or left; nothing when there was nothing.
std::vector<std::string> move_old_files();

// Gives this process a home of its own: a new private folder (mkdtemp) with
// HOME, XDG_CONFIG_HOME, XDG_STATE_HOME and XDG_DATA_HOME pointed into it, so
// nothing it does reads or writes the user's files. What the desktop's own
// libraries find through the old home keeps its place: the cache (where the
// single-instance lock lives without a runtime folder), the X authority
// file and the sound server's cookie. Before any other thread starts. The
// folder made, or why none could be.
std::expected<std::filesystem::path, std::string> isolate_home(std::string_view prefix);

} // namespace xdg
