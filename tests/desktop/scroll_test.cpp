// Scrolling captures of another program's long page on the test display:
// the real stream and stitcher, wheel clicks and keys through XTEST.
#include "program.h"
#include "qt_wait.h"
#include "scroll_page.h"
#include "test_util.h"

#include "base/util_queue.h"
#include "platform/screens.h"
#include "scroll/scroll.h"
#include "scroll/scroll_test.h"

#include <QCursor>
#include <QImage>
#include <QWidget>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

void shell(const std::string& command)
{
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// The other program showing the long page: where it stands, and whether it
// said its page's end is shown.
class PageProgram {
public:
    ~PageProgram()
    {
        m_process.kill(); // the child this test started
        m_process.waitForFinished(5000);
    }

    void start(int x, int y)
    {
        m_process.start(VISTROPE_SCROLL_PAGE_WINDOW, { QString::number(x), QString::number(y) });
        ASSERT_TRUE(wait_until([&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 15000));
        const QList<QByteArray> words = m_process.readLine().trimmed().split(' ');
        ASSERT_EQ(words.size(), 3);
        ASSERT_EQ(words[0], "listo");
        m_origin = QPoint(words[1].toInt(), words[2].toInt());
    }

    bool end_shown()
    {
        return wait_until([&] {
            while (m_process.canReadLine())
                if (m_process.readLine().trimmed() == "fin")
                    m_end = true;
            return m_end;
        }, 15000);
    }

    QPoint origin() const { return m_origin; }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
    QPoint m_origin;
    bool m_end = false;
};

// Header, page and footer, byte for byte.
void expect_whole_page(const testing_support::ScrollPage& page, const QImage& image)
{
    const std::vector<std::uint8_t> expected = testing_support::scroll_page_whole(page);
    ASSERT_EQ(image.width(), int(page.width));
    ASSERT_EQ(image.height(), int(page.header + page.rows + page.footer));
    int first_wrong = -1;
    for (int y = 0; y < image.height() && first_wrong < 0; ++y)
        if (std::memcmp(image.constScanLine(y), expected.data() + std::size_t(y) * page.width * 4, page.width * 4))
            first_wrong = y;
    EXPECT_EQ(first_wrong, -1);
}

class ScrollDesktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        scroll::Services& s = scroll::services();
        s.deliver = [this](output::Shot shot, util::Stopwatch) { shots.push_back(std::move(shot)); };
        s.toast = [this](std::string_view, std::string_view text, double) { toasts.emplace_back(text); };
        s.flash_on = [] { return false; };
        m_page.start(150, 120);
        origin = m_page.origin();
    }

    void TearDown() override
    {
        scroll::cancel();
        pump_for(50);
        util::wait_for_background();
        scroll::reset_services();
    }

    // A capture of the page window, streaming once this returns.
    void start()
    {
        const platform::Screen screen = platform::screens().front();
        scroll::start(platform::screen_display_id(screen),
            { double(origin.x()), double(origin.y()), double(page.width), double(page.window_height()) }, screen.scale);
        ASSERT_TRUE(scroll::running());
        ASSERT_TRUE(wait_until([] { return scroll::status() && scroll::status()->frames >= 1; }, 10000));
    }

    bool page_end_shown() { return m_page.end_shown(); }

    // A capsule button (0 Auto, 1 Cancelar, 2 Listo) clicked as a user
    // would; where it was.
    QPoint click_capsule(int index)
    {
        pump_for(500); // the capsule is on the screen
        QWidget* controls = scroll::capsule_controls();
        if (!controls) {
            ADD_FAILURE() << "no capsule";
            return {};
        }
        const QPoint button = controls->mapToGlobal(scroll::capsule_button(index).center().toPoint());
        shell("xdotool mousemove " + std::to_string(button.x()) + " " + std::to_string(button.y()) + " click 1");
        return button;
    }

    void expect_whole_page(const QImage& image) { ::expect_whole_page(page, image); }

    testing_support::ScrollPage page;
    QPoint origin;
    std::vector<output::Shot> shots;
    std::vector<std::string> toasts;

private:
    PageProgram m_page;
};

} // namespace

TEST_F(ScrollDesktop, WheelClicksThenReturnGiveTheWholePage)
{
    start();
    const QPoint centre = origin + QPoint(int(page.width) / 2, int(page.window_height()) / 2);
    shell("xdotool mousemove " + std::to_string(centre.x()) + " " + std::to_string(centre.y()));
    // One click at a time, slower than the stream's frames.
    shell("for i in $(seq 40); do xdotool click 5; sleep 0.1; done");
    ASSERT_TRUE(page_end_shown());
    pump_for(400); // the last frames reach the stitcher
    shell("xdotool key Return");
    ASSERT_TRUE(wait_until([&] { return !shots.empty() || !toasts.empty(); }, 20000));
    EXPECT_FALSE(scroll::running());
    ASSERT_EQ(shots.size(), 1u) << (toasts.empty() ? "" : toasts[0]);
    EXPECT_EQ(shots[0].kind, output::Kind::Scrolling);
    expect_whole_page(shots[0].image);
}

TEST_F(ScrollDesktop, EscapeDeliversNothing)
{
    start();
    shell("xdotool key Escape");
    ASSERT_TRUE(wait_until([] { return !scroll::running(); }, 10000));
    pump_for(300);
    EXPECT_TRUE(shots.empty());
    EXPECT_EQ(toasts, std::vector<std::string> { "Captura cancelada" });
}

TEST_F(ScrollDesktop, CancelarClickedInTheCapsuleDeliversNothing)
{
    start();
    click_capsule(1);
    ASSERT_TRUE(wait_until([] { return !scroll::running(); }, 10000));
    pump_for(300);
    util::wait_for_background();
    pump_for(50);
    EXPECT_TRUE(shots.empty());
    EXPECT_EQ(toasts, std::vector<std::string> { "Captura cancelada" });
}

TEST_F(ScrollDesktop, AutoScrollsToTheEndByItselfAndPutsThePointerBack)
{
    start();
    const QPoint button = click_capsule(0);
    ASSERT_TRUE(wait_until([] { return scroll::status() && scroll::status()->auto_scroll; }, 5000));
    ASSERT_TRUE(page_end_shown());
    ASSERT_TRUE(wait_until([] { return !scroll::running(); }, 20000)); // 1.5 s after the last move
    ASSERT_TRUE(wait_until([&] { return !shots.empty() || !toasts.empty(); }, 20000));
    ASSERT_EQ(shots.size(), 1u);
    expect_whole_page(shots[0].image);
    EXPECT_EQ(QCursor::pos(), button);
}

TEST(ScrollSelfTestRun, PassesTwiceInOneFolder)
{
    // The self-check's pictures stay in the run's folder when this fails.
    const std::string dir = testing_support::run_file("scroll-selftest");
    std::filesystem::remove_all(dir);
    const testing_support::TempDir home;
    for (int run = 0; run < 2; ++run) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(home.path().string()));
        env.remove("XDG_CONFIG_HOME");
        env.remove("XDG_STATE_HOME");
        p.setProcessEnvironment(env);
        p.start(VISTROPE_BINARY, { "--scroll-test", QString::fromStdString(dir) });
        ASSERT_TRUE(p.waitForFinished(120000));
        const QString log = QString::fromUtf8(p.readAll());
        EXPECT_EQ(p.exitCode(), 0) << log.toStdString() << "\nits folder: " << dir;
        // "resultado <file> con alto <n> px; esperado <m> px"
        const QRegularExpression line("con alto (\\d+) px; esperado (\\d+) px");
        const auto m = line.match(log);
        ASSERT_TRUE(m.hasMatch()) << log.toStdString();
        EXPECT_NEAR(m.captured(1).toDouble(), m.captured(2).toDouble(), 4) << log.toStdString();
    }
    const auto names = scroll::capture_names(dir);
    EXPECT_EQ(names.size(), 2u) << fmt::format("{} in {}", fmt::join(names, ", "), dir); // one capture per run
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(dir) / "capsula.png")) << dir;
}

TEST(ScrollSelfTestRun, IntoAFolderItCannotWriteEndsAtOnceWithTheReason)
{
    const testing_support::TempDir home;
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    p.setProcessEnvironment(env);
    // No folder can be made under /proc, whoever runs the test.
    p.start(VISTROPE_BINARY, { "--scroll-test", "/proc/vistrope-prueba/capturas" });
    ASSERT_TRUE(p.waitForFinished(30000));
    const std::string log = p.readAll().toStdString();
    EXPECT_NE(p.exitCode(), 0) << log;
    EXPECT_NE(log.find("vistrope: no puedo escribir en /proc/vistrope-prueba/capturas: "), std::string::npos) << log;
}

namespace {

namespace fs = std::filesystem;

// The road a user takes, in the running program: its URL, a drag over the
// other program's page, the wheel, Return typed while that program has the
// keyboard; the capture folder holds the result.
class ScrollRoad : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_captures = m_home.path() / "capturas";
        testing_support::write_file(m_home.path() / ".config/vistrope/config.toml",
            "save_dir = \"" + m_captures.string()
                + "\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n");
        m_page.start(300, 200);
        m_origin = m_page.origin();
        m_program = std::make_unique<testing_support::Program>(m_home.path());
        ASSERT_TRUE(m_program->wait_for("[vistrope] listo")) << m_program->err();
    }

    void TearDown() override { m_program.reset(); }

    // vistrope://capture-scrolling, then the page dragged over, corner to
    // corner (both corners' pixels belong to the selection).
    void select_page()
    {
        QProcess url;
        url.setProcessEnvironment(m_program->process().processEnvironment());
        url.start(VISTROPE_BINARY, { "vistrope://capture-scrolling" });
        ASSERT_TRUE(url.waitForFinished(10000));
        ASSERT_TRUE(testing_support::poll([] {
            for (const auto& g : testing_support::program_windows())
                if (g.w >= 1920 && g.h >= 1080)
                    return true;
            return false;
        })) << "the selection never appeared";
        QThread::msleep(300);
        const QPoint last = m_origin + QPoint(int(m_layout.width) - 1, int(m_layout.window_height()) - 1);
        shell(fmt::format("xdotool mousemove {} {} mousedown 1", m_origin.x(), m_origin.y()));
        shell(fmt::format("xdotool mousemove {} {}", (m_origin.x() + last.x()) / 2, (m_origin.y() + last.y()) / 2));
        shell(fmt::format("xdotool mousemove {} {}", last.x(), last.y()));
        shell("xdotool mouseup 1");
        ASSERT_TRUE(m_program->wait_for("desplazamiento: stream listo")) << m_program->err();
    }

    std::vector<fs::path> captures() const { return testing_support::pngs_in(m_captures); }

    testing_support::TempHome m_home;
    fs::path m_captures;
    testing_support::ScrollPage m_layout; // the helper's default page
    PageProgram m_page;
    QPoint m_origin;
    std::unique_ptr<testing_support::Program> m_program;
};

} // namespace

TEST_F(ScrollRoad, DragWheelAndReturnTypedIntoThePageWriteTheWholePage)
{
    select_page();
    // The keyboard goes to the page's program, as after a click on it.
    // Its window, once the server lists it as visible (a loaded machine may take a while).
    std::string page_window;
    ASSERT_TRUE(testing_support::poll([&] {
        std::istringstream ids(testing_support::run("xdotool", { "search", "--onlyvisible", "--pid", QString::number(m_page.pid()) }));
        return static_cast<bool>(ids >> page_window);
    }, 200)) << "the page's window was never listed as visible";
    shell("xdotool windowfocus --sync " + page_window);
    const QPoint centre = m_origin + QPoint(int(m_layout.width) / 2, int(m_layout.window_height()) / 2);
    shell(fmt::format("xdotool mousemove {} {}", centre.x(), centre.y()));
    shell("for i in $(seq 40); do xdotool click 5; sleep 0.1; done");
    ASSERT_TRUE(m_page.end_shown());
    QThread::msleep(400); // the last frames reach the stitcher
    shell("xdotool key Return");

    ASSERT_TRUE(testing_support::poll([&] { return !captures().empty(); }, 200)) << m_program->err();
    const std::vector<fs::path> files = captures();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].filename().string().starts_with("Vistrope ")) << files[0];
    QImage png(QString::fromStdString(files[0].string()));
    ASSERT_FALSE(png.isNull());
    expect_whole_page(m_layout, png.convertToFormat(QImage::Format_ARGB32));
}
