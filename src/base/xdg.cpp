#include "base/xdg.h"

#include "base/files.h"
#include "base/util.h"

#include <fmt/format.h>

#include <cstdlib>
#include <system_error>

namespace xdg {

namespace fs = std::filesystem;

fs::path base_dir(const char* variable, const char* under_home, const fs::path& home)
{
    const char* value = std::getenv(variable);
    // "If an implementation encounters a relative path in any of these
    // variables it should consider the path invalid and ignore it."
    if (value && value[0] == '/')
        return fs::path(value);
    return home / under_home;
}

fs::path base_dir(const char* variable, const char* under_home)
{
    return base_dir(variable, under_home, util::home_dir());
}

namespace {

// Renames `from` to `to`, copying across file systems (a config folder
// elsewhere than the home folder).
std::error_code move_file(const fs::path& from, const fs::path& to)
{
    std::error_code ec;
    fs::create_directories(to.parent_path(), ec);
    if (ec)
        return ec;
    fs::rename(from, to, ec);
    if (ec != std::errc::cross_device_link)
        return ec;
    ec.clear();
    fs::copy(from, to, fs::copy_options::recursive, ec);
    if (!ec)
        fs::remove_all(from, ec);
    return ec;
}

void move_one(const fs::path& from, const fs::path& to, std::vector<std::string>& lines)
{
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(from, ec)))
        return;
    if (fs::exists(fs::symlink_status(to, ec))) {
        lines.push_back(fmt::format("dejo {} donde está: {} ya existe", from.string(), to.string()));
        return;
    }
    if (const auto failed = move_file(from, to))
        lines.push_back(fmt::format("no pude mover {} a {}: {}", from.string(), to.string(), failed.message()));
    else
        lines.push_back(fmt::format("moví {} a {}", from.string(), to.string()));
}

} // namespace

fs::path config_home()
{
    return base_dir("XDG_CONFIG_HOME", ".config", util::home_dir());
}

fs::path state_home()
{
    return base_dir("XDG_STATE_HOME", ".local/state", util::home_dir());
}

fs::path config_dir()
{
    return config_home() / "vistrope";
}

fs::path state_dir()
{
    return state_home() / "vistrope";
}

fs::path user_dir_from(std::string_view dirs_text, std::string_view name, const fs::path& home)
{
    const std::string key = fmt::format("XDG_{}_DIR", name);
    fs::path found;
    while (!dirs_text.empty()) {
        const size_t end = dirs_text.find('\n');
        std::string_view line = util::trim(dirs_text.substr(0, end));
        dirs_text = end == std::string_view::npos ? std::string_view() : dirs_text.substr(end + 1);
        if (!line.starts_with(key))
            continue;
        line = util::trim(line.substr(key.size()));
        if (!line.starts_with('='))
            continue;
        line = util::trim(line.substr(1));
        // The value is a double-quoted "$HOME/…" or absolute path; backslash
        // escapes the next character.
        if (line.size() < 2 || line.front() != '"')
            continue;
        std::string value;
        bool closed = false;
        for (size_t i = 1; i < line.size(); ++i) {
            if (line[i] == '\\' && i + 1 < line.size())
                value += line[++i];
            else if (line[i] == '"') {
                closed = true;
                break;
            } else
                value += line[i];
        }
        if (!closed)
            continue;
        // A folder "set to $HOME" is the user's way of having none: the home
        // folder itself, as xdg-user-dir answers.
        if (value == "$HOME" || value == "$HOME/")
            found = home;
        else if (value.starts_with("$HOME/"))
            found = home / value.substr(6);
        else if (value.starts_with('/'))
            found = fs::path(value);
        // The last valid line wins, as the shell that sources the file sees it.
    }
    return found;
}

fs::path desktop_dir()
{
    return desktop_dir(util::home_dir());
}

fs::path desktop_dir(const fs::path& home)
{
    const fs::path dirs = base_dir("XDG_CONFIG_HOME", ".config", home) / "user-dirs.dirs";
    if (const auto text = files::read_regular(dirs, 1 << 16)) {
        if (fs::path named = user_dir_from(*text, "DESKTOP", home); !named.empty())
            return named;
    }
    return home / "Desktop";
}

fs::path old_config_dir()
{
    return util::home_dir() / "Library/Application Support/Vistrope";
}

fs::path old_log_path()
{
    return util::home_dir() / "Library/Logs/Vistrope/vistrope.log";
}

std::vector<std::string> move_old_files()
{
    std::vector<std::string> lines;
    std::error_code ec;
    const fs::path old_config = old_config_dir();
    if (fs::is_directory(old_config, ec)) {
        std::vector<fs::path> names;
        for (const auto& entry : fs::directory_iterator(old_config, ec))
            names.push_back(entry.path().filename());
        for (const auto& name : names)
            move_one(old_config / name, config_dir() / name, lines);
        // Gone only when everything left it.
        fs::remove(old_config, ec);
    }
    move_one(old_log_path(), util::log_path(), lines);
    fs::remove(old_log_path().parent_path(), ec);
    return lines;
}

namespace {

// Sets `variable` to `value` unless it holds a value already, and only when
// that place exists.
void keep(const char* variable, const fs::path& value)
{
    std::error_code ec;
    if (!std::getenv(variable) && fs::exists(value, ec))
        ::setenv(variable, value.c_str(), 1);
}

} // namespace

std::expected<fs::path, std::string> isolate_home(std::string_view prefix)
{
    auto folder = files::make_private_folder(prefix);
    if (!folder)
        return std::unexpected(folder.error());
    const fs::path old_home = util::home_dir();
    const fs::path old_config = config_home();
    if (!std::getenv("XDG_CACHE_HOME"))
        ::setenv("XDG_CACHE_HOME", base_dir("XDG_CACHE_HOME", ".cache", old_home).c_str(), 1);
    keep("XAUTHORITY", old_home / ".Xauthority");
    keep("PULSE_COOKIE", old_config / "pulse" / "cookie");
    const fs::path home = *folder / "home";
    const std::pair<const char*, fs::path> places[] = {
        { "HOME", home },
        { "XDG_CONFIG_HOME", home / ".config" },
        { "XDG_STATE_HOME", home / ".local/state" },
        { "XDG_DATA_HOME", home / ".local/share" },
    };
    for (const auto& [variable, place] : places) {
        std::error_code ec;
        fs::create_directories(place, ec);
        if (ec)
            return std::unexpected(fmt::format("no pude crear {}: {}", place.string(), ec.message()));
        ::setenv(variable, place.c_str(), 1);
    }
    return *folder;
}

} // namespace xdg
