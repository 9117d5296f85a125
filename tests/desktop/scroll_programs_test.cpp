// Scrolling captures of real programs (xterm, mousepad) driven through the
// pointer and the keyboard: the keys that end a capture stay with us.
#include "program.h"
#include "qt_wait.h"
#include "real_programs.h"
#include "test_util.h"

#include "base/util_queue.h"
#include "platform/screens.h"
#include "scroll/scroll.h"

#include <fmt/format.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void xdo(const std::string& args)
{
    ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << args;
}

class ScrollPrograms : public ::testing::Test {
protected:
    void SetUp() override
    {
        scroll::Services& s = scroll::services();
        s.deliver = [this](output::Shot shot, util::Stopwatch) { shots.push_back(std::move(shot)); };
        s.toast = [this](std::string_view, std::string_view text, double) { toasts.emplace_back(text); };
        s.flash_on = [] { return false; };
    }

    void TearDown() override
    {
        scroll::cancel();
        pump_for(50);
        util::wait_for_background();
        scroll::reset_services();
    }

    // A capture of the program's whole window, streaming once this returns.
    void start(const RealProgram& program)
    {
        const Geometry g = program.geometry();
        const platform::Screen screen = platform::screens().front();
        scroll::start(platform::screen_display_id(screen), { double(g.x), double(g.y), double(g.w), double(g.h) }, screen.scale);
        ASSERT_TRUE(scroll::running());
        ASSERT_TRUE(wait_until([] { return scroll::status() && scroll::status()->frames >= 1; }, 10000));
        pump_for(300);
    }

    TempDir dir;
    std::vector<output::Shot> shots;
    std::vector<std::string> toasts;
};

} // namespace

TEST_F(ScrollPrograms, ReturnFinishesAndTheMousepadDocumentStaysUnchanged)
{
    const fs::path doc = dir.path() / "numeros.txt";
    std::string text;
    for (int i = 1; i <= 300; ++i)
        text += fmt::format("Línea {:03} del documento\n", i);
    write_file(doc, text);
    RealProgram mousepad;
    ASSERT_TRUE(mousepad.start("mousepad", { QString::fromStdString(doc.string()) }));
    xdo(fmt::format("windowsize --sync {} 700 600 windowmove --sync {} 300 150", mousepad.window(), mousepad.window()));
    ASSERT_TRUE(mousepad.settle());
    mousepad.focus();
    ASSERT_EQ(mousepad.title().find('*'), std::string::npos) << mousepad.title();
    start(mousepad);
    xdo("key Return");
    ASSERT_TRUE(wait_until([&] { return !shots.empty() || !toasts.empty(); }, 20000));
    EXPECT_EQ(shots.size(), 1u);
    pump_for(300);
    EXPECT_EQ(mousepad.title().find('*'), std::string::npos) << mousepad.title();
    EXPECT_EQ(read_file(doc), text);
}

TEST_F(ScrollPrograms, EscapeCancelsAndTheXtermReceivesNothing)
{
    const fs::path typed = dir.path() / "tecleado";
    RealProgram xterm;
    ASSERT_TRUE(xterm.start_xterm(300, 200, 60, 15, fmt::format("cat -v > '{}'", typed.string())));
    xterm.focus();
    start(xterm);
    xdo("key Escape");
    ASSERT_TRUE(wait_until([] { return !scroll::running(); }, 10000));
    pump_for(200);
    EXPECT_EQ(toasts, std::vector<std::string> { "Captura cancelada" });
    // The keys are the xterm's again once the capture is over.
    xdo("type x");
    xdo("key Return");
    EXPECT_TRUE(poll([&] { return read_file(typed) == "x\n"; }, 30)) << read_file(typed);
}
