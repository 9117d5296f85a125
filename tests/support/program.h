// The program as a desktop test drives it: started in its own process with a
// home of the test's, its windows found with xdotool, its tray icon and menu.
#pragma once

#include "test_util.h"
#include "wait_slack.h"

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QThread>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

inline std::string run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    return p.readAllStandardOutput().toStdString();
}

// The whole screen as `import` sees it, saved in this run's folder; the
// file's full path, for the failure messages that point at it.
inline std::string screenshot(std::string_view name)
{
    const std::string path = run_file(name);
    run("import", { "-window", "root", QString::fromStdString(path) });
    return path;
}

struct Geometry {
    int w, h, x, y;
};

// A window's size and place on the root, as xdotool reports them.
inline std::optional<Geometry> window_geometry(const std::string& id)
{
    static const QRegularExpression position(R"(Position: (-?\d+),(-?\d+))");
    static const QRegularExpression size(R"(Geometry: (\d+)x(\d+))");
    const QString info = QString::fromStdString(run("xdotool", { "getwindowgeometry", QString::fromStdString(id) }));
    const auto p = position.match(info);
    const auto g = size.match(info);
    if (!p.hasMatch() || !g.hasMatch())
        return std::nullopt;
    return Geometry{ g.captured(1).toInt(), g.captured(2).toInt(), p.captured(1).toInt(), p.captured(2).toInt() };
}

// The program's viewable windows on the screen by id, with their sizes and
// places on the root. A panel kept mapped out of sight between showings
// lies left of the root's origin: it is left out.
inline std::map<std::string, Geometry> program_windows_by_id()
{
    std::map<std::string, Geometry> out;
    std::istringstream ids(run("xdotool", { "search", "--onlyvisible", "--classname", "vistrope" }));
    std::string id;
    while (ids >> id)
        if (const auto g = window_geometry(id); g && g->x + g->w > 0)
            out.emplace(id, *g);
    return out;
}

inline std::vector<Geometry> program_windows()
{
    std::vector<Geometry> out;
    for (const auto& [id, g] : program_windows_by_id())
        out.push_back(g);
    return out;
}

// The first viewable window with exactly this title; empty when none.
inline std::string window_named(const char* title)
{
    std::istringstream ids(run("xdotool", { "search", "--onlyvisible", "--name", QString("^%1$").arg(title) }));
    std::string id;
    ids >> id;
    return id;
}

// Checks `done` every 100 ms, `tries` times (stretched by wait_slack()),
// without turning the event loop.
inline bool poll(const std::function<bool()>& done, int tries = 50)
{
    for (int i = 0; i < tries * wait_slack(); ++i) {
        if (done())
            return true;
        QThread::msleep(100);
    }
    return done();
}

class Program {
public:
    // Unless the test is about the first run, the user has finished it: the
    // first-run window would otherwise open over whatever the test looks at.
    enum class FirstRun { Done, Pending };
    explicit Program(const std::filesystem::path& home, FirstRun first_run = FirstRun::Done,
                     const QProcessEnvironment& extra = {})
    {
        if (first_run == FirstRun::Done)
            finish_first_run(home);
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(home.string()));
        env.remove("XDG_CONFIG_HOME");
        env.remove("XDG_STATE_HOME");
        for (const QString& key : extra.keys())
            env.insert(key, extra.value(key));
        m_process.setProcessEnvironment(env);
        m_process.start(VISTROPE_BINARY, {});
        m_process.waitForStarted(5000);
    }
    static void finish_first_run(const std::filesystem::path& home)
    {
        const auto folder = home / ".config/vistrope";
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "onboarded");
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(5000);
        }
    }
    // Waits until standard error holds `text`.
    bool wait_for(const std::string& text, int seconds = 15)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds) * wait_slack();
        while (std::chrono::steady_clock::now() < until) {
            m_err += m_process.readAllStandardError().toStdString();
            if (m_err.find(text) != std::string::npos)
                return true;
            m_process.waitForReadyRead(100);
        }
        m_err += m_process.readAllStandardError().toStdString();
        return m_err.find(text) != std::string::npos;
    }
    const std::string& err() const { return m_err; }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    std::string m_err;
};

inline std::optional<Geometry> tray_icon()
{
    for (const auto& g : program_windows())
        if (g.w <= 64 && g.h <= 64 && g.w > 4)
            return g;
    return std::nullopt;
}

inline std::optional<Geometry> open_menu()
{
    for (const auto& g : program_windows())
        if (g.w >= 150 && g.h >= 300)
            return g;
    return std::nullopt;
}

// The status icon once it stands in the tray (none after about five seconds).
inline std::optional<Geometry> wait_for_tray_icon()
{
    std::optional<Geometry> icon;
    poll([&] { return (icon = tray_icon()).has_value(); });
    return icon;
}

// Clicks the status icon and waits for its menu, clicking again when a click
// is lost (a closing window may still hold the pointer); the menu's frame.
inline std::optional<Geometry> open_tray_menu(const Geometry& icon)
{
    const QString cx = QString::number(icon.x + icon.w / 2), cy = QString::number(icon.y + icon.h / 2);
    std::optional<Geometry> menu;
    for (int attempt = 0; attempt < 3 && !menu; ++attempt) {
        run("xdotool", { "mousemove", cx, cy, "click", "1" });
        poll([&] { return (menu = open_menu()).has_value(); }, 30);
    }
    return menu;
}

// The running vistrope-app whose HOME is `home`: the instance a front started
// in a session of its own, which the test must stop itself.
inline std::optional<pid_t> instance_in_home(const std::filesystem::path& home)
{
    const std::string wanted = "HOME=" + home.string();
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path() / "exe", ec).filename() != "vistrope-app")
            continue;
        std::ifstream environ(e.path() / "environ", std::ios::binary);
        for (std::string entry; std::getline(environ, entry, '\0');)
            if (entry == wanted)
                return static_cast<pid_t>(std::stol(name));
    }
    return std::nullopt;
}

} // namespace testing_support
