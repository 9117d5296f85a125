#include "platform/system.h"

#include "platform/process.h"
#include "platform/url_scheme.h"
#include "base/files.h"
#include "base/util.h"
#include "base/xdg.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <system_error>

#include <fmt/format.h>

namespace sys {

namespace fs = std::filesystem;

namespace {

// Replaces every invalid UTF-8 sequence with U+FFFD (one per maximal bad
// prefix), so byte-level name rules see what a user would see.
std::string lossy_utf8(std::string_view in)
{
    std::string out;
    out.reserve(in.size());
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(in[i]); };
    std::size_t i = 0;
    while (i < in.size()) {
        const unsigned char c = byte(i);
        std::size_t len = 0;
        unsigned char lo = 0x80, hi = 0xbf;
        if (c < 0x80)
            len = 1;
        else if (c >= 0xc2 && c <= 0xdf)
            len = 2;
        else if (c >= 0xe0 && c <= 0xef) {
            len = 3;
            if (c == 0xe0)
                lo = 0xa0;
            if (c == 0xed)
                hi = 0x9f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            len = 4;
            if (c == 0xf0)
                lo = 0x90;
            if (c == 0xf4)
                hi = 0x8f;
        }
        if (len == 0) {
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        std::size_t good = 1;
        while (good < len && i + good < in.size()) {
            const unsigned char b = byte(i + good);
            const unsigned char l = good == 1 ? lo : 0x80;
            const unsigned char h = good == 1 ? hi : 0xbf;
            if (b < l || b > h)
                break;
            ++good;
        }
        if (good == len)
            out.append(in.substr(i, len));
        else
            out += "\xef\xbf\xbd";
        i += good;
    }
    return out;
}

bool is_capture_name(std::string_view name)
{
    return name.size() >= 9 && name.starts_with("Vistrope ") && (name.ends_with(".png") || name.ends_with(".mp4"));
}

void log_login_error(std::string_view why)
{
    util::log(fmt::format("inicio de sesión: {}", why));
}

// The value of `key` in the [Desktop Entry] group, raw (still escaped).
std::optional<std::string> entry_value(std::string_view text, std::string_view key)
{
    std::istringstream in{ std::string(text) };
    std::string line;
    bool in_group = false;
    while (std::getline(in, line)) {
        const std::string_view l = util::trim(line);
        if (l.empty() || l.front() == '#')
            continue;
        if (l.front() == '[') {
            in_group = l == "[Desktop Entry]";
            continue;
        }
        if (!in_group)
            continue;
        const std::size_t eq = l.find('=');
        if (eq == std::string_view::npos || util::trim(l.substr(0, eq)) != key)
            continue;
        return std::string(util::trim(l.substr(eq + 1)));
    }
    return std::nullopt;
}

// The Desktop Entry string escapes: \s \n \t \r \\.
std::string unescape_value(std::string_view v)
{
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        const char n = v[++i];
        switch (n) {
        case 's': out += ' '; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case '\\': out += '\\'; break;
        default: out += '\\'; out += n; break;
        }
    }
    return out;
}

// One Exec argument, always quoted: inside the quotes ", `, $ and \ take a
// backslash, and % doubles because Exec reserves it for field codes. The
// string escapes of the file format come on top.
std::optional<fs::path> this_executable(std::string* why)
{
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        if (why)
            *why = ec.message();
        return std::nullopt;
    }
    return exe;
}

// A desktop's own setting for its icons, read and written through its tool.
struct IconSetting {
    std::string_view desktop; // a name of XDG_CURRENT_DESKTOP, compared without case
    std::string program;
    std::vector<std::string> read;
    std::vector<std::string> hide;
    std::vector<std::string> show;
};

const std::vector<IconSetting>& icon_settings()
{
    // Xfce's icon style: 0 none, 1 minimised windows, 2 files and launchers.
    static const std::vector<IconSetting> settings = {
        { "xfce", "xfconf-query",
          { "-c", "xfce4-desktop", "-p", "/desktop-icons/style" },
          { "-c", "xfce4-desktop", "-p", "/desktop-icons/style", "-n", "-t", "int", "-s", "0" },
          { "-c", "xfce4-desktop", "-p", "/desktop-icons/style", "-n", "-t", "int", "-s", "2" } },
        { "mate", "gsettings",
          { "get", "org.mate.background", "show-desktop-icons" },
          { "set", "org.mate.background", "show-desktop-icons", "false" },
          { "set", "org.mate.background", "show-desktop-icons", "true" } },
        { "x-cinnamon", "gsettings",
          { "get", "org.nemo.desktop", "show-desktop-icons" },
          { "set", "org.nemo.desktop", "show-desktop-icons", "false" },
          { "set", "org.nemo.desktop", "show-desktop-icons", "true" } },
    };
    return settings;
}

const IconSetting* session_icon_setting()
{
    const char* current = std::getenv("XDG_CURRENT_DESKTOP");
    if (!current)
        return nullptr;
    std::string_view names = current;
    while (!names.empty()) {
        const std::size_t colon = names.find(':');
        const std::string name = util::lower_ascii(names.substr(0, colon));
        for (const IconSetting& s : icon_settings())
            if (name == s.desktop)
                return &s;
        if (colon == std::string_view::npos)
            break;
        names.remove_prefix(colon + 1);
    }
    return nullptr;
}

constexpr std::chrono::milliseconds SETTING_TIMEOUT{ 10'000 };

} // namespace

std::vector<fs::path> recent_captures(const fs::path& folder, unsigned limit)
{
    struct Found {
        fs::file_time_type modified;
        fs::path path;
    };
    std::vector<Found> found;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec)
        return {};
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const fs::path& path = it->path();
        if (!is_capture_name(lossy_utf8(path.filename().native())))
            continue;
        std::error_code meta_ec;
        (void)fs::status(path, meta_ec);
        if (meta_ec)
            continue;
        const auto modified = fs::last_write_time(path, meta_ec);
        if (meta_ec)
            continue;
        found.push_back({ modified, path });
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.modified > b.modified; });
    std::vector<fs::path> out;
    for (std::size_t i = 0; i < found.size() && i < limit; ++i)
        out.push_back(std::move(found[i].path));
    return out;
}

fs::path autostart_path()
{
    return xdg::config_home() / "autostart" / "vistrope.desktop";
}

std::string autostart_entry(const fs::path& executable)
{
    return fmt::format("[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=Vistrope\n"
                       "Exec={}\n"
                       "Icon={}\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n",
                       platform::desktop_exec_argument(executable.native()), platform::ICON_NAME);
}

std::vector<std::string> autostart_command(std::string_view entry_text)
{
    const auto raw = entry_value(entry_text, "Exec");
    if (!raw)
        return {};
    const std::string exec = unescape_value(*raw);
    std::vector<std::string> args;
    std::string current;
    bool have = false;
    bool quoted = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted) {
            if (c == '\\' && i + 1 < exec.size()) {
                current += exec[++i];
            } else if (c == '"') {
                quoted = false;
            } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
                current += '%';
                ++i;
            } else {
                current += c;
            }
        } else if (c == '"') {
            quoted = true;
            have = true;
        } else if (c == ' ' || c == '\t') {
            if (have)
                args.push_back(std::move(current));
            current.clear();
            have = false;
        } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
            current += '%';
            have = true;
            ++i;
        } else {
            current += c;
            have = true;
        }
    }
    if (have)
        args.push_back(std::move(current));
    return args;
}

void set_launch_at_login(bool on)
{
    const fs::path path = autostart_path();
    std::error_code ec;
    if (!on) {
        if (!fs::remove(path, ec) && ec)
            log_login_error(ec.message());
        return;
    }
    std::string why;
    const auto exe = this_executable(&why);
    if (!exe) {
        log_login_error(why);
        return;
    }
    // The front, as the menu starts it: the session's autostart runner does
    // not wait for the whole session, and a second start finds the first.
    const fs::path front = platform::front_executable(*exe);
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
        log_login_error(ec.message());
        return;
    }
    // Written next to its final name and renamed, so a crash never leaves a
    // half-written entry that the session would try to start.
    if (auto written = files::replace(path, autostart_entry(front)); !written)
        log_login_error(written.error());
}

namespace {

// The autostart entry's text when it is enabled and starts the front or
// this executable (`command` its command line); none otherwise.
std::optional<std::string> enabled_entry(std::vector<std::string>* command)
{
    auto read = files::read_regular(autostart_path(), 1 << 20);
    if (!read)
        return std::nullopt;
    const std::string text = std::move(*read);
    if (util::lower_ascii(entry_value(text, "Hidden").value_or("")) == "true")
        return std::nullopt;
    if (util::lower_ascii(entry_value(text, "X-GNOME-Autostart-enabled").value_or("")) == "false")
        return std::nullopt;
    const auto args = autostart_command(text);
    const auto exe = this_executable(nullptr);
    if (args.empty() || !exe)
        return std::nullopt;
    std::error_code ec, front_ec;
    const bool ours = (fs::equivalent(args.front(), *exe, ec) && !ec)
        || (fs::equivalent(args.front(), platform::front_executable(*exe), front_ec) && !front_ec);
    if (!ours)
        return std::nullopt;
    if (command)
        *command = args;
    return text;
}

} // namespace

bool launch_at_login_enabled()
{
    return enabled_entry(nullptr).has_value();
}

void refresh_launch_at_login()
{
    std::vector<std::string> command;
    const auto exe = this_executable(nullptr);
    if (!exe || !enabled_entry(&command) || command.size() != 1 || platform::front_executable(*exe) == *exe)
        return;
    std::error_code ec;
    if (fs::equivalent(command.front(), *exe, ec) && !ec)
        set_launch_at_login(true);
}

fs::path icon_theme_dir()
{
    return xdg::base_dir("XDG_DATA_HOME", ".local/share") / "icons" / "hicolor";
}

std::expected<void, std::string> install_theme_icons(const std::vector<ThemeIcon>& icons)
{
    for (const ThemeIcon& icon : icons) {
        const fs::path folder = icon_theme_dir() / fmt::format("{0}x{0}", icon.size) / "apps";
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (ec)
            return std::unexpected(fmt::format("{}: {}", folder.string(), ec.message()));
        const std::string_view bytes(reinterpret_cast<const char*>(icon.png.data()), icon.png.size());
        if (auto written = files::update(folder / fmt::format("{}.png", platform::ICON_NAME), bytes); !written)
            return written;
    }
    return {};
}

bool desktop_icons_setting_exists()
{
    return session_icon_setting() != nullptr;
}

bool desktop_icons_visible()
{
    const IconSetting* setting = session_icon_setting();
    if (!setting)
        return true;
    const auto result = platform::run_process(setting->program, setting->read, SETTING_TIMEOUT);
    if (!result)
        return true;
    // The exit status is not examined: an answer is what was printed.
    const std::string answer(util::trim(lossy_utf8(result->standard_output)));
    return !(answer == "false" || answer == "0");
}

void set_desktop_icons_visible(bool visible)
{
    const IconSetting* setting = session_icon_setting();
    if (!setting) {
        util::log("no pude cambiar los íconos del escritorio");
        return;
    }
    const auto result = platform::run_process(setting->program, visible ? setting->show : setting->hide, SETTING_TIMEOUT);
    if (!result || !result->succeeded())
        util::log("no pude cambiar los íconos del escritorio");
}

} // namespace sys
