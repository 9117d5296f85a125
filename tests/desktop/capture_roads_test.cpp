// The capture roads that need no overlay, end to end in the test session:
// the real X server, the real clipboard (read with xclip), files decoded with
// libpng.
#include "quadrants.h"
#include "qt_wait.h"
#include "x_tools.h"
#include "app/app.h"
#include "capture/capture.h"
#include "base/config.h"
#include "capture/output.h"
#include "base/state.h"
#include "test_util.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QProcess>
#include <QThread>
#include <QWidget>
#include <gtest/gtest.h>
#include <png.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

using testing_support::pump_for;
using testing_support::wait_until;
using testing_support::xclip_png;

namespace {

// A window painted in four flat quadrants: red, green, blue, yellow.
class Quadrants final : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        testing_support::paint_quadrants(p, width(), height());
    }
};

struct Decoded {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
    std::array<int, 4> at(int x, int y) const
    {
        const std::size_t i = 4 * (static_cast<std::size_t>(y) * width + x);
        return { rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3] };
    }
};

std::optional<Decoded> decode_png(const fs::path& path)
{
    png_image image {};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return std::nullopt;
    image.format = PNG_FORMAT_RGBA;
    Decoded d;
    d.width = static_cast<int>(image.width);
    d.height = static_cast<int>(image.height);
    d.rgba.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, d.rgba.data(), 0, nullptr))
        return std::nullopt;
    return d;
}

class CaptureRoads : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_cfg.save_dir = (m_home.path() / "capturas").string();
        m_cfg.after_capture.play_sound = false;
        m_cfg.self_timer_seconds = 1;
        ASSERT_TRUE(config::save_to(m_cfg, config::Config::path()));
        state::reset_for_tests(); // the next read loads the file above
        capture::reset_for_tests();
        output::set_delivered_listener([this](const output::Delivered& d) { m_done.push_back(d); });
        QProcess::execute("xdotool", { "mousemove", "5", "600" });

        // The window of known colours belongs to another process: captures
        // that leave the program out leave every window of this one out.
        m_other.start(VISTROPE_QUADRANTS_WINDOW, { "400", "300", "240", "160" });
        ASSERT_TRUE(wait_until([&] { return m_other.canReadLine() || m_other.state() == QProcess::NotRunning; }, 10000));
        const QList<QByteArray> words = m_other.readLine().trimmed().split(' ');
        ASSERT_EQ(words.size(), 3);
        ASSERT_EQ(words[0], "listo");
        m_origin = QPoint(words[1].toInt(), words[2].toInt());
    }
    void TearDown() override
    {
        m_other.kill(); // the child this fixture started
        m_other.waitForFinished(5000);
        output::set_delivered_listener(nullptr);
        capture::reset_for_tests();
        state::reset_for_tests();
    }

    testing_support::TempHome m_home;
    config::Config m_cfg;
    std::vector<output::Delivered> m_done;
    QProcess m_other;
    QPoint m_origin;
};

const std::array<int, 4> RED { 255, 0, 0, 255 };
const std::array<int, 4> GREEN { 0, 255, 0, 255 };
const std::array<int, 4> BLUE { 0, 0, 255, 255 };
const std::array<int, 4> YELLOW { 255, 255, 0, 255 };

TEST_F(CaptureRoads, FullScreenWritesTheDatedFileCopiesItAndLeavesOurPanelOut)
{
    // A panel of ours over the red quadrant, as the toast would stand.
    QWidget panel(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
    panel.setStyleSheet("background: rgb(255, 0, 255)");
    panel.setGeometry(m_origin.x() + 10, m_origin.y() + 10, 80, 40);
    panel.show();
    pump_for(400);
    // It is on screen: a grab that keeps the program shows it.
    const auto screen = platform::shareable_displays().front();
    auto kept = capture::backend().grab_display_now({ screen, std::nullopt, screen.pixel_width, screen.pixel_height, {} });
    ASSERT_TRUE(kept) << kept.error();
    ASSERT_EQ(kept->pixel(m_origin.x() + 30, m_origin.y() + 30), qRgb(255, 0, 255));

    app::capture_fullscreen();
    ASSERT_TRUE(wait_until([&] { return !m_done.empty(); }));
    const output::Delivered& d = m_done.front();
    EXPECT_EQ(d.kind, output::Kind::Fullscreen);
    ASSERT_TRUE(d.path);
    EXPECT_EQ(d.path->parent_path(), m_home.path() / "capturas");
    const std::string name = d.path->filename().string();
    EXPECT_TRUE(std::regex_match(name, std::regex(R"(Vistrope \d{4}-\d\d-\d\d a las \d\d\.\d\d\.\d\d\.png)"))) << name;

    const auto png = decode_png(*d.path);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->width, 1920);
    EXPECT_EQ(png->height, 1080);
    const int x = m_origin.x();
    const int y = m_origin.y();
    EXPECT_EQ(png->at(x + 100, y + 60), RED);
    EXPECT_EQ(png->at(x + 140, y + 20), GREEN);
    EXPECT_EQ(png->at(x + 20, y + 140), BLUE);
    EXPECT_EQ(png->at(x + 220, y + 140), YELLOW);
    // Where our panel stands, the window under it shows.
    for (int py = y + 10; py < y + 50; py += 4)
        for (int px = x + 10; px < x + 90; px += 4)
            ASSERT_EQ(png->at(px, py), RED) << px << "," << py;

    EXPECT_TRUE(d.copied);
    EXPECT_EQ(xclip_png(), QByteArray::fromStdString(testing_support::read_file(*d.path)));
    EXPECT_EQ(state::last_shot()->file, d.path);
}

TEST_F(CaptureRoads, AWindowOfOursEmbeddedInAnotherProgramsLeavesThatWindowIn)
{
    // As the tray icon sits inside the tray: a window of ours reparented
    // into the other program's window.
    QWidget icon;
    icon.setStyleSheet("background: rgb(0, 255, 255)");
    icon.setGeometry(0, 0, 24, 24);
    icon.show();
    pump_for(300);
    auto list = capture::backend().window_list();
    ASSERT_TRUE(list);
    auto host = std::find_if(list->begin(), list->end(), [&](const auto& w) { return w.pid == m_other.processId(); });
    ASSERT_NE(host, list->end());
    QProcess::execute("xdotool", { "windowreparent", QString::number(icon.winId()), QString::number(host->window_id) });
    pump_for(500);

    app::capture_fullscreen();
    ASSERT_TRUE(wait_until([&] { return !m_done.empty(); }));
    ASSERT_TRUE(m_done.front().path);
    const auto png = decode_png(*m_done.front().path);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->at(m_origin.x() + 100, m_origin.y() + 60), RED);
    EXPECT_EQ(png->at(m_origin.x() + 220, m_origin.y() + 140), YELLOW);
}

TEST_F(CaptureRoads, PreviousAreaCapturesTheRememberedRectangle)
{
    const std::uint32_t display = platform::screens().front().display_id;
    state::set_last_area({ display, double(m_origin.x() + 100), double(m_origin.y() + 60), 40, 40 });
    app::capture_previous_area();
    ASSERT_TRUE(wait_until([&] { return !m_done.empty(); }));
    const output::Delivered& d = m_done.front();
    EXPECT_EQ(d.kind, output::Kind::Area);
    ASSERT_TRUE(d.path);
    const auto png = decode_png(*d.path);
    ASSERT_TRUE(png);
    ASSERT_EQ(png->width, 40);
    ASSERT_EQ(png->height, 40);
    EXPECT_EQ(png->at(5, 5), RED);     // top-left of the rectangle: the red quadrant
    EXPECT_EQ(png->at(35, 5), GREEN);  // across the middle line
    EXPECT_EQ(png->at(5, 35), BLUE);
    EXPECT_EQ(png->at(35, 35), YELLOW);
}

TEST_F(CaptureRoads, PreviousAreaOnAGoneDisplayDeliversNothing)
{
    state::set_last_area({ 987654, 0, 0, 10, 10 });
    app::capture_previous_area();
    pump_for(1500);
    EXPECT_TRUE(m_done.empty());
}

TEST_F(CaptureRoads, SelfTimerDeliversAfterItsSeconds)
{
    QElapsedTimer t;
    t.start();
    app::self_timer();
    pump_for(300);
    EXPECT_TRUE(m_done.empty());
    ASSERT_TRUE(wait_until([&] { return !m_done.empty(); }, 10000));
    EXPECT_GE(t.elapsed(), 1000);
    EXPECT_EQ(m_done.front().kind, output::Kind::Fullscreen);
    ASSERT_TRUE(m_done.front().path);
}

TEST_F(CaptureRoads, WindowCaptureShowsTheCoveredPart)
{
    Quadrants m_window;
    m_window.setGeometry(400, 300, 240, 160);
    m_window.show();
    pump_for(300);
    QWidget cover;
    cover.setStyleSheet("background: rgb(0, 255, 255)");
    const QPoint origin = m_window.mapToGlobal(QPoint(0, 0));
    cover.setGeometry(origin.x() - 20, origin.y() - 20, 150, 120);
    cover.show();
    cover.raise();
    pump_for(400);
    std::optional<QImage> got;
    bool called = false;
    capture::capture_window(static_cast<std::uint32_t>(m_window.winId()), false, [&](std::optional<QImage> image) {
        called = true;
        got = std::move(image);
    });
    ASSERT_TRUE(wait_until([&] { return called; }));
    ASSERT_TRUE(got);
    // The client area sits at the bottom centre of the frame.
    const int left = (got->width() - 240) / 2;
    const int top = got->height() - 160 - left;
    EXPECT_EQ(got->pixel(left + 30, top + 30), qRgb(255, 0, 0)); // under the cover on screen
    EXPECT_EQ(got->pixel(left + 220, top + 140), qRgb(255, 255, 0));
}

} // namespace

namespace {

// The running program, reached through its URL scheme as another program would.
TEST(CaptureUrl, CaptureFullscreenUrlWritesTheFileAndFillsTheClipboard)
{
    testing_support::TempHome home;
    config::Config cfg;
    cfg.save_dir = (home.path() / "capturas").string();
    cfg.after_capture.play_sound = false;
    ASSERT_TRUE(config::save_to(cfg, config::Config::path()));
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");

    QProcess program;
    program.setProcessEnvironment(env);
    program.start(VISTROPE_BINARY, {});
    std::string err;
    auto wait_for = [&](const std::string& text) {
        return wait_until([&] {
            err += program.readAllStandardError().toStdString();
            return err.find(text) != std::string::npos;
        });
    };
    ASSERT_TRUE(wait_for("[vistrope] listo")) << err;

    QProcess second;
    second.setProcessEnvironment(env);
    second.start(VISTROPE_BINARY, { "vistrope://capture-fullscreen" });
    ASSERT_TRUE(wait_for("listo en portapapeles y disco")) << err;
    second.waitForFinished(5000);

    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(home.path() / "capturas"))
        files.push_back(e.path());
    ASSERT_EQ(files.size(), 1u);
    const auto png = decode_png(files[0]);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->width, 1920);
    EXPECT_EQ(png->height, 1080);
    EXPECT_EQ(xclip_png(), QByteArray::fromStdString(testing_support::read_file(files[0])));

    program.terminate();
    program.waitForFinished(5000);
}

} // namespace
