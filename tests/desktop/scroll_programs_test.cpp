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

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QWidget>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

void xdo(const std::string& args)
{
    ASSERT_EQ(std::system(("xdotool " + args).c_str()), 0) << args;
}

// The numbers tesseract reads in the picture, top to bottom.
std::vector<int> numbers_read(const QImage& image, const fs::path& png)
{
    // The numbers stand at the left: the rest of the width only slows the reading.
    image.copy(0, 0, std::min(image.width(), 320), image.height()).save(QString::fromStdString(png.string()));
    QProcess tesseract;
    // One thread: on a busy machine tesseract's own threads wait on each other for minutes.
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("OMP_THREAD_LIMIT", "1");
    tesseract.setProcessEnvironment(env);
    tesseract.start("tesseract", { QString::fromStdString(png.string()), "-", "--psm", "6" });
    tesseract.waitForFinished(120000);
    const QString text = QString::fromUtf8(tesseract.readAllStandardOutput());
    if (const char* keep = std::getenv("VISTROPE_KEEP_PICTURES"))
        image.save(QString("%1/%2").arg(keep, QString::fromStdString(png.filename().string())));
    std::vector<int> out;
    static const QRegularExpression number(R"(\d+)");
    for (auto it = number.globalMatch(text); it.hasNext();)
        out.push_back(it.next().captured(0).toInt());
    return out;
}

// How far the numbers read are from 1 … n in order: missing, wrong and
// extra ones (a line stitched twice reads as an extra number).
int misreads(const std::vector<int>& read, int n)
{
    // The longest run of 1 … n found in order among the numbers read.
    std::vector<int> lcs(std::size_t(n) + 1, 0);
    for (const int v : read) {
        int before = 0;
        for (int k = 1; k <= n; ++k) {
            const int here = lcs[std::size_t(k)];
            if (v == k)
                lcs[std::size_t(k)] = std::max(here, before + 1);
            else
                lcs[std::size_t(k)] = std::max(here, lcs[std::size_t(k - 1)]);
            before = here;
        }
    }
    const int found = lcs[std::size_t(n)];
    return std::max(n - found, int(read.size()) - found);
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

    // The finished capture's numbers, 1 … 300 in order give or take three.
    void expect_lines_1_to_300()
    {
        ASSERT_TRUE(wait_until([&] { return !shots.empty(); }, 30000)) << (toasts.empty() ? "" : toasts[0]);
        EXPECT_TRUE(toasts.empty()) << toasts[0];
        const QImage& image = shots[0].image;
        const std::vector<int> read = numbers_read(image, dir.path() / (::testing::UnitTest::GetInstance()->current_test_info()->name() + std::string(".png")));
        EXPECT_LE(misreads(read, 300), 3) << fmt::format("{}×{} px, {} numbers read, the last {}", image.width(),
            image.height(), read.size(), read.empty() ? 0 : read.back());
    }

    // An xterm holding "line 001" … "line 300", scrolled back to its top.
    void xterm_from_the_top(RealProgram& xterm)
    {
        ASSERT_TRUE(xterm.start_xterm(300, 200, 40, 16, "seq -f 'line %03g' 1 300; exec sleep 600"));
        const Geometry g = xterm.geometry();
        xdo(fmt::format("mousemove {} {} click --repeat 80 --delay 10 4", g.x + g.w / 2, g.y + g.h / 2));
        pump_for(500);
    }

    // Wheel clicks at the middle of the window, one at a time, slower than
    // the stream's frames.
    void wheel_down(const RealProgram& program, int clicks)
    {
        const Geometry g = program.geometry();
        xdo(fmt::format("mousemove {} {}", g.x + g.w / 2, g.y + g.h / 2));
        for (int i = 0; i < clicks; ++i) {
            xdo("click 5");
            pump_for(120);
        }
        pump_for(500); // the last frames reach the stitcher
    }

    void click_auto()
    {
        QWidget* controls = scroll::capsule_controls();
        ASSERT_NE(controls, nullptr);
        const QPoint button = controls->mapToGlobal(scroll::capsule_button(0).center().toPoint());
        xdo(fmt::format("mousemove {} {} click 1", button.x(), button.y()));
        ASSERT_TRUE(wait_until([] { return scroll::status() && scroll::status()->auto_scroll; }, 5000));
    }

    TempDir dir;
    std::vector<output::Shot> shots;
    std::vector<std::string> toasts;
};

} // namespace

TEST_F(ScrollPrograms, AnXtermScrolledByTheWheelFromItsTopReadsOneToThreeHundred)
{
    RealProgram xterm;
    xterm_from_the_top(xterm);
    start(xterm);
    wheel_down(xterm, 64);
    xdo("key Return");
    expect_lines_1_to_300();
}

TEST_F(ScrollPrograms, AnXtermScrolledByAutoReadsOneToThreeHundred)
{
    RealProgram xterm;
    xterm_from_the_top(xterm);
    start(xterm);
    click_auto();
    ASSERT_TRUE(wait_until([] { return !scroll::running(); }, 60000)); // the end reached, 1.5 s without motion
    expect_lines_1_to_300();
}

namespace {

constexpr std::string_view STILL_TOAST = "La página no se movió: se guardó una sola pantalla";

// An xterm whose content cannot scroll: a few lines and no history, so the
// wheel moves nothing.
void static_xterm(RealProgram& xterm)
{
    ASSERT_TRUE(xterm.start_xterm(300, 200, 40, 12, "printf 'nada que desplazar\\n'; exec sleep 600"));
    pump_for(300);
}

} // namespace

// A page that never moves, whether the user turned the wheel or asked for
// "Auto": its one screen is delivered, and the user is told it is only that.
TEST_F(ScrollPrograms, AStaticXtermGivesOneScreenAndSaysThePageDidNotMove)
{
    RealProgram xterm;
    static_xterm(xterm);
    start(xterm);
    wheel_down(xterm, 10);
    xdo("key Return");
    ASSERT_TRUE(wait_until([&] { return !shots.empty(); }, 30000)) << (toasts.empty() ? "" : toasts[0]);
    EXPECT_EQ(toasts, std::vector<std::string> { std::string(STILL_TOAST) });
    const Geometry g = xterm.geometry();
    EXPECT_EQ(shots[0].image.height(), int(std::lround(g.h * platform::screens().front().scale)));

    // Automatic scrolling measures no step, ends by itself and says the same.
    shots.clear();
    toasts.clear();
    start(xterm);
    click_auto();
    ASSERT_TRUE(wait_until([] { return !scroll::running(); }, 30000));
    ASSERT_TRUE(wait_until([&] { return !shots.empty(); }, 30000)) << (toasts.empty() ? "" : toasts[0]);
    EXPECT_EQ(toasts, std::vector<std::string> { std::string(STILL_TOAST) });
    EXPECT_EQ(shots[0].image.height(), int(std::lround(g.h * platform::screens().front().scale)));
}

namespace {

// A mousepad window on a document of 300 numbered lines, focused.
void mousepad_on(RealProgram& mousepad, const fs::path& doc, std::string& text)
{
    for (int i = 1; i <= 300; ++i)
        text += fmt::format("Línea {:03} del documento\n", i);
    write_file(doc, text);
    ASSERT_TRUE(mousepad.start("mousepad", { QString::fromStdString(doc.string()) }));
    xdo(fmt::format("windowsize --sync {} 700 600 windowmove --sync {} 300 150", mousepad.window(), mousepad.window()));
    ASSERT_TRUE(mousepad.settle());
    mousepad.focus();
    ASSERT_EQ(mousepad.title().find('*'), std::string::npos) << mousepad.title();
}

} // namespace

TEST_F(ScrollPrograms, AMousepadDocumentScrolledByTheWheelReadsOneToThreeHundred)
{
    RealProgram mousepad;
    std::string text;
    mousepad_on(mousepad, dir.path() / "numeros.txt", text);
    start(mousepad);
    wheel_down(mousepad, 100);
    xdo("key Return");
    expect_lines_1_to_300();
}

TEST_F(ScrollPrograms, AMousepadDocumentScrolledByAutoReadsOneToThreeHundred)
{
    RealProgram mousepad;
    std::string text;
    mousepad_on(mousepad, dir.path() / "numeros.txt", text);
    start(mousepad);
    click_auto();
    ASSERT_TRUE(wait_until([] { return !scroll::running(); }, 60000));
    expect_lines_1_to_300();
}

TEST_F(ScrollPrograms, ReturnFinishesAndTheMousepadDocumentStaysUnchanged)
{
    const fs::path doc = dir.path() / "numeros.txt";
    RealProgram mousepad;
    std::string text;
    mousepad_on(mousepad, doc, text);
    start(mousepad);
    xdo("key Return");
    // Nothing scrolled: the one screen comes with its word.
    ASSERT_TRUE(wait_until([&] { return !shots.empty(); }, 20000));
    EXPECT_EQ(shots.size(), 1u);
    EXPECT_EQ(toasts, std::vector<std::string> { std::string(STILL_TOAST) });
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
    EXPECT_SOON(!toasts.empty());
    EXPECT_EQ(toasts, std::vector<std::string> { "Captura cancelada" });
    // The keys are the xterm's again once the capture is over.
    xdo("type x");
    xdo("key Return");
    EXPECT_TRUE(poll([&] { return read_file(typed) == "x\n"; }, 30)) << read_file(typed);
}
