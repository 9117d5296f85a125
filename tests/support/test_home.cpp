#include "test_home.h"
#include "test_util.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace testing_support {
namespace {

using Footprint = std::set<std::string>;

// The base folder a variable names when it is absolute, else under `home`.
fs::path base(const char* variable, const char* under_home, const fs::path& home)
{
    const char* v = std::getenv(variable);
    if (v && *v == '/')
        return v;
    return home / under_home;
}

bool ours(const std::string& name)
{
    std::string lower(name);
    std::ranges::transform(lower, lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return lower.find("vistrope") != std::string::npos;
}

void note(Footprint& out, const fs::path& path)
{
    std::error_code ec;
    if (fs::exists(fs::symlink_status(path, ec)))
        out.insert(path.string());
}

// Everything under `dir` (when `all`) or only the entries whose name says
// they are ours, with what lies under those.
void walk(Footprint& out, const fs::path& dir, bool all, int depth = 6)
{
    std::error_code ec;
    for (fs::directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec), end; !ec && it != end;
         it.increment(ec)) {
        const fs::path& p = it->path();
        const bool take = all || ours(p.filename().string());
        if (take)
            note(out, p);
        if (depth > 0 && it->is_directory(ec) && !it->is_symlink(ec))
            walk(out, p, take, depth - 1);
    }
}

// What of ours the program could leave in a home: its settings, state and
// cache folders, desktop entries, icons, the autostart entry and the link
// registration, the older places it moves files from, and captures in the
// desktop folder.
// Each base folder is looked at where its variable points and where it lies
// without one: a program started with the variable removed uses the latter.
Footprint footprint(const fs::path& home, const fs::path& config, const fs::path& state, const fs::path& data,
                    const fs::path& cache)
{
    Footprint out;
    for (const fs::path& c : { config, home / ".config" }) {
        walk(out, c, false, 1);
        walk(out, c / "autostart", false, 0);
        note(out, c / "mimeapps.list");
    }
    for (const fs::path& s : { state, home / ".local/state" })
        walk(out, s, false, 1);
    for (const fs::path& c : { cache, home / ".cache" })
        walk(out, c, false, 1);
    for (const fs::path& d : { data, home / ".local/share" }) {
        walk(out, d / "applications", false, 0);
        walk(out, d / "icons" / "hicolor", false, 3);
    }
    walk(out, home / "Library", false, 3);
    for (const char* desktop : { "Desktop", "Escritorio" }) {
        std::error_code ec;
        for (fs::directory_iterator it(home / desktop, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string ext = it->path().extension().string();
            if (ext == ".png" || ext == ".mp4" || ext == ".gif" || ext == ".mov")
                note(out, it->path());
        }
    }
    return out;
}

struct Start {
    fs::path home, config, state, data, cache;
    Footprint before;
    fs::path run_home;
};

Start& start()
{
    static Start* s = new Start;
    return *s;
}

void point_at(const fs::path& home)
{
    const std::pair<const char*, const char*> places[] = {
        { "XDG_CONFIG_HOME", ".config" },
        { "XDG_STATE_HOME", ".local/state" },
        { "XDG_DATA_HOME", ".local/share" },
        { "XDG_CACHE_HOME", ".cache" },
    };
    std::error_code ec;
    fs::create_directories(home, ec);
    ::setenv("HOME", home.c_str(), 1);
    for (const auto& [variable, under] : places) {
        fs::create_directories(home / under, ec);
        ::setenv(variable, (home / under).c_str(), 1);
    }
}

// A fresh home for every test; the run's own again after it.
class HomePerTest final : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo& info) override
    {
        m_home = start().run_home / (std::string(info.test_suite_name()) + "." + info.name());
        point_at(m_home);
    }
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        point_at(start().run_home);
        std::error_code ec;
        fs::remove_all(m_home, ec);
    }
    fs::path m_home;
};

} // namespace

void guard_home()
{
    Start& s = start();
    const char* home = std::getenv("HOME");
    s.home = home && *home ? home : "/nonexistent";
    s.config = base("XDG_CONFIG_HOME", ".config", s.home);
    s.state = base("XDG_STATE_HOME", ".local/state", s.home);
    s.data = base("XDG_DATA_HOME", ".local/share", s.home);
    s.cache = base("XDG_CACHE_HOME", ".cache", s.home);
    s.before = footprint(s.home, s.config, s.state, s.data, s.cache);
    // What the desktop's own libraries find through the starting home keeps
    // its place: the X authority file and the sound server's cookie.
    std::error_code ec;
    if (!std::getenv("XAUTHORITY") && fs::exists(s.home / ".Xauthority", ec))
        ::setenv("XAUTHORITY", (s.home / ".Xauthority").c_str(), 1);
    if (!std::getenv("PULSE_COOKIE") && fs::exists(s.config / "pulse" / "cookie", ec))
        ::setenv("PULSE_COOKIE", (s.config / "pulse" / "cookie").c_str(), 1);
    s.run_home = make_private_dir(fs::temp_directory_path()) / "home";
    point_at(s.run_home);
    ::testing::UnitTest::GetInstance()->listeners().Append(new HomePerTest);
}

int home_checked(int status)
{
    const Start& s = start();
    if (s.run_home.empty())
        return status;
    std::error_code ec;
    fs::remove_all(s.run_home.parent_path(), ec);
    const Footprint after = footprint(s.home, s.config, s.state, s.data, s.cache);
    std::vector<std::string> changed;
    // Only what appeared counts: a copy of the program the user has running
    // keeps writing its own log and settings meanwhile.
    for (const std::string& path : after)
        if (!s.before.contains(path))
            changed.push_back(path);
    if (changed.empty())
        return status;
    std::cerr << "[  FAILED  ] the tests wrote into the home they were started with (" << s.home.string() << "):\n";
    for (const std::string& path : changed)
        std::cerr << "    " << path << "\n";
    return 1;
}

} // namespace testing_support
