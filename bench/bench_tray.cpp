// Start-up: from the exec of `vistrope-app` until its tray icon is on the panel,
// against a bare Qt program that shows one tray icon (the floor of any Qt tray
// program) and `true` (the floor of starting any process), in one run; and the
// program's run that ends at once (`vistrope-app` without a display: it says
// so and ends), which is almost all loading and linking. Runs inside the test session (trayer is its tray);
// without a display (the smoke run) only the last two are timed.
//
// The icon counts as shown when its window, reparented into the tray, is
// mapped: this process watches the root's new windows for that.
#include "bench_common.h"

#include <xcb/xcb.h>

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string_view>
#include <fstream>
#include <set>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// Starts argv with its standard error thrown away.
pid_t spawn(const std::vector<std::string>& argv, char** env)
{
    std::vector<char*> raw;
    for (const auto& a : argv)
        raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, raw[0], &quiet, nullptr, raw.data(), env);
    posix_spawn_file_actions_destroy(&quiet);
    if (failed) {
        std::fprintf(stderr, "no pude ejecutar %s\n", raw[0]);
        std::exit(1);
    }
    return pid;
}

// Runs argv to its end; stops the benchmark unless it ends with `expected`.
double run_to_end(const std::vector<std::string>& argv, int expected = 0)
{
    const auto t0 = Clock::now();
    int status = 0;
    waitpid(spawn(argv, environ), &status, 0);
    const double ms = ms_since(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != expected) {
        std::fprintf(stderr, "%s terminó con error\n", argv[0].c_str());
        std::exit(1);
    }
    return ms;
}

// Watches the root's new windows; `wait_icon` answers when one of at most
// 64×64 pixels is mapped inside another window (the tray's).
class IconWatch {
public:
    IconWatch()
    {
        m_c = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_c)) {
            std::fprintf(stderr, "sin conexión con la pantalla\n");
            std::exit(1);
        }
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_c, m_root, XCB_CW_EVENT_MASK, &mask);
        xcb_flush(m_c);
    }
    ~IconWatch() { xcb_disconnect(m_c); }

    // Milliseconds from t0 to the icon's map; negative after `limit_ms`.
    double wait_icon(Clock::time_point t0, double limit_ms)
    {
        auto checked = Clock::now();
        while (ms_since(t0) < limit_ms) {
            while (xcb_generic_event_t* e = xcb_poll_for_event(m_c)) {
                const bool found = handle(e);
                std::free(e);
                if (found)
                    return ms_since(t0);
            }
            // A window mapped and reparented before this process's selection
            // on it took effect sends nothing: look at them now and then.
            if (ms_since(checked) > 20) {
                if (any_docked())
                    return ms_since(t0);
                checked = Clock::now();
            }
            pollfd p { xcb_get_file_descriptor(m_c), POLLIN, 0 };
            ::poll(&p, 1, 5);
        }
        return -1;
    }

private:
    bool handle(xcb_generic_event_t* e)
    {
        switch (e->response_type & 0x7f) {
        case XCB_CREATE_NOTIFY: {
            auto* ev = reinterpret_cast<xcb_create_notify_event_t*>(e);
            if (ev->parent == m_root && ev->width <= 64 && ev->height <= 64) {
                // Its own map and reparenting, wherever it goes.
                const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
                xcb_change_window_attributes(m_c, ev->window, XCB_CW_EVENT_MASK, &mask);
                xcb_flush(m_c);
                m_small.insert(ev->window);
            }
            return false;
        }
        case XCB_REPARENT_NOTIFY: {
            auto* ev = reinterpret_cast<xcb_reparent_notify_event_t*>(e);
            if (ev->event == ev->window && m_small.count(ev->window) && ev->parent != m_root)
                return viewable(ev->window); // mapped before the reparenting reached us
            return false;
        }
        case XCB_MAP_NOTIFY: {
            auto* ev = reinterpret_cast<xcb_map_notify_event_t*>(e);
            return ev->event == ev->window && m_small.count(ev->window) && viewable(ev->window) && !on_root(ev->window);
        }
        default:
            return false;
        }
    }

    // True when a small window seen created is now viewable inside another
    // window; forgets those that are gone.
    bool any_docked()
    {
        for (auto it = m_small.begin(); it != m_small.end();) {
            auto* a = xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, *it), nullptr);
            if (!a) {
                it = m_small.erase(it);
                continue;
            }
            const bool mapped = a->map_state == XCB_MAP_STATE_VIEWABLE;
            std::free(a);
            if (mapped && !on_root(*it))
                return true;
            ++it;
        }
        return false;
    }

    bool viewable(xcb_window_t w)
    {
        auto* a = xcb_get_window_attributes_reply(m_c, xcb_get_window_attributes(m_c, w), nullptr);
        const bool yes = a && a->map_state == XCB_MAP_STATE_VIEWABLE;
        std::free(a);
        return yes && !on_root(w);
    }

    bool on_root(xcb_window_t w)
    {
        auto* t = xcb_query_tree_reply(m_c, xcb_query_tree(m_c, w), nullptr);
        const bool yes = !t || t->parent == m_root;
        std::free(t);
        return yes;
    }

    xcb_connection_t* m_c = nullptr;
    xcb_window_t m_root = 0;
    std::set<xcb_window_t> m_small;
};

// Starts `argv` and times its tray icon; stops it after.
double time_icon(IconWatch& watch, const std::vector<std::string>& argv, char** env)
{
    const auto t0 = Clock::now();
    const pid_t pid = spawn(argv, env);
    const double ms = watch.wait_icon(t0, 10000);
    ::kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    if (ms < 0) {
        std::fprintf(stderr, "%s no mostró su ícono en la bandeja\n", argv[0].c_str());
        std::exit(1);
    }
    return ms;
}

std::string loadavg()
{
    std::ifstream f("/proc/loadavg");
    std::string line;
    std::getline(f, line);
    return line;
}

void print(const char* label, const std::vector<double>& ms)
{
    const auto t = bench::summarize(ms);
    std::printf("%-40s %7.1f ms median, %7.1f ms min, %7.1f ms p99\n", label, t.median_ms, t.min_ms, t.p99_ms);
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = bench::smoke(argc, argv);
    const std::filesystem::path front = VISTROPE_FRONT;
    const std::filesystem::path app = front.parent_path() / "vistrope-app";
    const int runs = quick ? 2 : 15;
    // --compare DIR: another build's programs (DIR/vistrope, DIR/vistrope-app) timed in the same run.
    std::optional<std::filesystem::path> other;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string_view(argv[i]) == "--compare")
            other = std::filesystem::path(argv[i + 1]);
    std::printf("carga al empezar: %s\n", loadavg().c_str());

    // The program's run that ends before any window: without a display it
    // stops in main, so this is loading, linking and the libraries' start.
    std::vector<double> floor_ms, version_ms, other_version_ms;
    {
        std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
        ::unsetenv("DISPLAY");
        ::unsetenv("QT_QPA_PLATFORM"); // offscreen (the smoke run) would be a display
        for (int i = 0; i < runs; ++i) {
            floor_ms.push_back(run_to_end({ "/bin/true" }));
            version_ms.push_back(run_to_end({ app.string() }, 1));
            if (other)
                other_version_ms.push_back(run_to_end({ (*other / "vistrope-app").string() }, 1));
        }
        if (!display.empty())
            ::setenv("DISPLAY", display.c_str(), 1);
    }
    print("true (the process floor):", floor_ms);
    print("vistrope-app, no display, to its end:", version_ms);
    if (other)
        print(fmt::format("{}/vistrope-app, the same:", other->string()).c_str(), other_version_ms);

    if (!std::getenv("DISPLAY")) {
        std::printf("sin pantalla: la bandeja no se mide\n");
        return 0;
    }
    // A home and runtime folder of the run's own: a fresh instance, its first run done.
    char folder[] = "/tmp/vistrope-bench-tray-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    const std::filesystem::path home = folder;
    std::filesystem::create_directories(home / ".config/vistrope");
    std::ofstream(home / ".config/vistrope/onboarded");
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        const std::string s = *e;
        if (s.rfind("HOME=", 0) && s.rfind("XDG_", 0))
            env_strings.push_back(s);
    }
    env_strings.push_back("HOME=" + home.string());
    env_strings.push_back("XDG_RUNTIME_DIR=" + home.string());
    std::vector<char*> env;
    for (auto& s : env_strings)
        env.push_back(s.data());
    env.push_back(nullptr);

    IconWatch watch;
    std::vector<double> bare_ms, ours_ms, other_ms;
    for (int i = 0; i < runs; ++i) {
        bare_ms.push_back(time_icon(watch, { VISTROPE_TRAY_FLOOR }, env.data()));
        // The program itself: the front would start it in a session of its
        // own and end, leaving nothing here to stop.
        ours_ms.push_back(time_icon(watch, { app.string() }, env.data()));
        if (other)
            other_ms.push_back(time_icon(watch, { (*other / "vistrope-app").string() }, env.data()));
    }
    std::filesystem::remove_all(home);
    print("a bare Qt tray icon, exec to icon:", bare_ms);
    print("vistrope-app, exec to icon:", ours_ms);
    if (other)
        print(fmt::format("{}/vistrope-app, exec to icon:", other->string()).c_str(), other_ms);
    std::printf("vistrope against the bare Qt icon: %s of its time (goal: the icon within 150 ms)\n",
        fmt::format("{:.2f}x", bench::summarize(ours_ms).median_ms / bench::summarize(bare_ms).median_ms).c_str());
    std::printf("carga al terminar: %s\n", loadavg().c_str());
    return 0;
}
