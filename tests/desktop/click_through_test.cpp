// Panels that take no input: while a recording's outline or a scrolling
// capture's outline covers another program, that program still gets every
// click and wheel turn, and the tray icon under a recorded area still takes
// its click.
#include "program.h"
#include "qt_wait.h"
#include "real_programs.h"
#include "test_util.h"
#include "x_tools.h"

#include "base/util_queue.h"
#include "platform/screens.h"
#include "scroll/scroll.h"

#include <fmt/format.h>

#include <QProcess>

#include <memory>
#include <QThread>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void xdo(const std::string& args)
{
    ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << args;
    QThread::msleep(40);
}

std::string primary_selection()
{
    return run("xclip", { "-o", "-selection", "primary" });
}

// The program's small windows by id: its tray icons.
std::map<std::string, Geometry> tray_icons()
{
    std::map<std::string, Geometry> icons;
    for (const auto& [id, g] : program_windows_by_id())
        if (g.w <= 64 && g.h <= 64 && g.w > 4)
            icons.emplace(id, g);
    return icons;
}

} // namespace

// The record command, a drag over nearly the whole screen (the tray
// included), then a double click into the xterm under the outline and a
// click on the recording's tray icon.
TEST(ClickThrough, AProgramAndTheTrayIconInsideARecordedAreaTakeTheirClicks)
{
    TempHome home;
    write_file(home.path() / ".config/vistrope/config.toml",
        fmt::format("save_dir = \"{}\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n"
                    "copy_to_clipboard = false\n[recording]\ncountdown_seconds = 0\nshow_clicks = false\n",
            (home.path() / "capturas").string()));
    RealProgram xterm;
    ASSERT_TRUE(xterm.start_xterm(400, 300, 40, 8, "echo vistropeclic; exec sleep 600"));
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("[vistrope] listo")) << program.err();
    std::map<std::string, Geometry> before;
    ASSERT_TRUE(poll([&] { return !(before = tray_icons()).empty(); })) << "the program's own tray icon";

    QProcess url;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    url.setProcessEnvironment(env);
    url.start(VISTROPE_BINARY, { "vistrope://record-screen" });
    ASSERT_TRUE(url.waitForFinished(10000));
    ASSERT_TRUE(program.wait_for("selector visible")) << program.err();
    QThread::msleep(600);
    xdo("mousemove 3 3 mousedown 1");
    xdo("mousemove 900 500");
    xdo("mousemove 1916 1076");
    xdo("mouseup 1");
    ASSERT_TRUE(program.wait_for("grabando", 20)) << program.err();
    QThread::msleep(800); // the outline is up

    // A double click in the xterm selects the word under it.
    const Geometry g = xterm.geometry();
    xdo(fmt::format("mousemove {} {} click --repeat 2 --delay 80 1", g.x + 30, g.y + 10));
    EXPECT_TRUE(poll([] { return primary_selection() == "vistropeclic"; }, 30)) << primary_selection();

    std::optional<Geometry> icon;
    ASSERT_TRUE(poll([&] {
        for (const auto& [id, geometry] : tray_icons())
            if (!before.count(id))
                icon = geometry;
        return icon.has_value();
    })) << "the recording's tray icon";
    xdo(fmt::format("mousemove {} {} click 1", icon->x + icon->w / 2, icon->y + icon->h / 2));
    EXPECT_TRUE(program.wait_for("video de", 20)) << program.err();
}

// A scrolling capture over an xterm: the wheel under the outline scrolls it.
TEST(ClickThrough, TheWheelInsideAScrollingCaptureScrollsTheXterm)
{
    RealProgram xterm;
    ASSERT_TRUE(xterm.start_xterm(300, 200, 70, 20, "seq -f '%03g pasa la rueda por aqui sin parar' 1 200; exec sleep 600"));
    // Whatever ends the test, the session and the services go with it: the
    // toasts' list outlives both.
    struct Cleanup {
        ~Cleanup()
        {
            scroll::cancel();
            util::wait_for_background();
            scroll::reset_services();
        }
    } cleanup;
    auto toasts = std::make_shared<std::vector<std::string>>();
    scroll::services().toast = [toasts](std::string_view, std::string_view text, double) { toasts->emplace_back(text); };
    scroll::services().deliver = [](output::Shot, util::Stopwatch) {};
    scroll::services().flash_on = [] { return false; };
    const Geometry g = xterm.geometry();
    const platform::Screen screen = platform::screens().front();
    scroll::start(platform::screen_display_id(screen), { double(g.x), double(g.y), double(g.w), double(g.h) }, screen.scale);
    ASSERT_TRUE(wait_until([] { return scroll::status() && scroll::status()->frames >= 1; }, 10000));
    pump_for(500);
    const QRect inside(g.x + 4, g.y + 4, g.w - 8, g.h - 8);
    const QImage first = screen_now().copy(inside);
    // The xterm shows its page's end: the wheel goes up through its history.
    xdo(fmt::format("mousemove {} {}", g.x + g.w / 2, g.y + g.h / 2));
    for (int i = 0; i < 4; ++i) {
        xdo("click 4");
        pump_for(100);
    }
    EXPECT_TRUE(wait_until([&] { return screen_now().copy(inside) != first; })) << "the wheel never reached the xterm";
    scroll::cancel();
    EXPECT_SOON(!toasts->empty());
    EXPECT_EQ(*toasts, std::vector<std::string> { "Captura cancelada" });
}
