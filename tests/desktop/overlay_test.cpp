// The selection overlay on the test session's X server, driven with xdotool
// as a user would drive it.
#include "qt_wait.h"
#include "program.h"
#include "x_tools.h"
#include "app/app.h"
#include "capture/capture.h"
#include "capture/modebar.h"
#include "capture/output.h"
#include "capture/overlay.h"
#include "capture/overlay_view.h"
#include "base/state.h"
#include "test_util.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/panels.h"
#include "platform/screens.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QWidget>
#include <QProcess>
#include <QStringList>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

using namespace testing_support;

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

// Runs xdotool while the event loop keeps turning (the overlay answers the
// synthetic input as it arrives).
void xdo(const QStringList& args)
{
    ASSERT_TRUE(testing_support::xdotool_serving(args)) << args.join(' ').toStdString();
    pump_for(30);
}

// The count of pixels that differ by more than `tolerance` in any channel.
int differing_pixels(const QImage& a, const QImage& b, int tolerance = 0)
{
    if (a.size() != b.size())
        return -1;
    const QImage x = a.convertToFormat(QImage::Format_ARGB32);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32);
    int n = 0;
    for (int r = 0; r < x.height(); ++r)
        for (int c = 0; c < x.width(); ++c) {
            const QRgb p = x.pixel(c, r);
            const QRgb q = y.pixel(c, r);
            if (std::abs(qRed(p) - qRed(q)) > tolerance || std::abs(qGreen(p) - qGreen(q)) > tolerance
                || std::abs(qBlue(p) - qBlue(q)) > tolerance)
                ++n;
        }
    return n;
}


// Runs one test of this binary in a private session of its own, started by
// scripts/x-session with `options`: its exit status and output.
struct Nested {
    int status = -1;
    std::string out;
};

Nested run_nested(const QStringList& options, const QString& test)
{
    QProcess session;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("VISTROPE_NESTED_SESSION", "1");
    session.setProcessEnvironment(env);
    session.setProcessChannelMode(QProcess::MergedChannels);
    session.start(VISTROPE_SOURCE_DIR "/scripts/x-session",
        options + QStringList { QCoreApplication::applicationFilePath(), "--gtest_filter=" + test });
    if (!session.waitForFinished(180000)) {
        session.kill();
        session.waitForFinished(5000);
        return { -1, "the session did not end: " + session.readAll().toStdString() };
    }
    return { session.exitCode(), session.readAll().toStdString() };
}

class OverlayDesktop : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_home = std::make_unique<TempHome>();
        m_captures = m_home->path() / "capturas";
        std::filesystem::create_directories(m_captures);
        write_file(m_home->path() / ".config/vistrope/config.toml",
            "save_dir = \"" + m_captures.string() + "\"\nwindow_shadow = false\n[after_capture]\nshow_quick_access = false\nplay_sound = false\n");
        state::reset_for_tests();
        overlay::set_roads(overlay::default_roads());
        output::set_delivered_listener([this](const output::Delivered& d) { m_delivered.push_back(d); });
        overlay::prewarm();
        xdo({ "mousemove", "960", "700" });
    }

    void TearDown() override
    {
        overlay::cancel();
        pump_for(50);
        stop_test_window();
        output::set_delivered_listener({});
        state::reset_for_tests();
    }

    void open(overlay::Mode mode)
    {
        overlay::begin(mode, overlay::Purpose::Screenshot);
        ASSERT_TRUE(wait_until([] { return !overlay::panels().empty() && overlay::panels().front()->on_screen(); }))
            << "the panels never appeared";
        // The panel takes the pointer when it shows: a press before that
        // reaches the windows underneath, however long a loaded machine takes.
        ASSERT_TRUE(wait_until([] { return QWidget::mouseGrabber() == overlay::panels().front(); }))
            << "the panel never took the pointer";
        pump_for(150);
    }

    // A window of another process, orange, at a known place.
    void start_test_window()
    {
        m_window.start("xmessage", { "-geometry", "420x260+520+300", "-bg", "#ff8800", "-fg", "#202060", "-center", "ventana de prueba" });
        ASSERT_TRUE(m_window.waitForStarted(3000));
        ASSERT_TRUE(wait_until(
            [] {
                auto list = capture::backend().window_list();
                if (!list)
                    return false;
                for (const auto& w : *list)
                    if (w.title.find("xmessage") != std::string::npos && w.on_screen)
                        return true;
                return false;
            },
            5000))
            << "the test window never showed up";
        pump_for(300);
    }

    void stop_test_window()
    {
        if (m_window.state() != QProcess::NotRunning) {
            m_window.kill();
            m_window.waitForFinished(2000);
        }
    }

    std::unique_ptr<TempHome> m_home;
    std::filesystem::path m_captures;
    std::vector<output::Delivered> m_delivered;

    // The one PNG delivery wrote into the capture folder.
    QImage delivered_png()
    {
        EXPECT_EQ(m_delivered.size(), 1u);
        if (m_delivered.empty() || !m_delivered.front().path)
            return {};
        const auto& path = *m_delivered.front().path;
        EXPECT_EQ(path.parent_path(), m_captures);
        EXPECT_EQ(path.extension(), ".png");
        QImage image(QString::fromStdString(path.string()));
        EXPECT_FALSE(image.isNull()) << path;
        return image;
    }
    QProcess m_window;
};

} // namespace

TEST_F(OverlayDesktop, DragDeliversExactlyThatRegionAndThePreviousAreaRepeatsIt)
{
    start_test_window();
    const QImage before = screen_now();
    open(overlay::Mode::Area);
    xdo({ "mousemove", "100", "100", "mousedown", "1" });
    xdo({ "mousemove", "180", "170" });
    xdo({ "mousemove", "300", "250" });
    // Mid-drag: the panel shows the picture dimmed, with the selection as a
    // clear hole (once the server has shown what it painted).
    QImage mid;
    EXPECT_TRUE(wait_until([&] {
        mid = screen_now();
        return !mid.isNull() && std::abs(qRed(mid.pixel(700, 600)) - qRed(before.pixel(700, 600)) * 0.68) <= 3;
    })) << "the screen outside the selection was never dimmed";
    if (const char* dir = std::getenv("VISTROPE_SHOTS"))
        mid.save(QString::fromUtf8(dir) + "/overlay-drag.png");
    ASSERT_FALSE(mid.isNull());
    const QRgb hole = mid.pixel(150, 200);
    const QRgb orig = before.pixel(150, 200);
    EXPECT_NEAR(qRed(hole), qRed(orig), 2) << "inside the selection the screen is not dimmed";
    const QRgb dimmed = mid.pixel(700, 600);
    const QRgb under = before.pixel(700, 600);
    EXPECT_NEAR(qRed(dimmed), qRed(under) * 0.68, 3) << "outside the selection the screen is dimmed by 0.32";
    xdo({ "mouseup", "1" });

    ASSERT_TRUE(wait_until([&] { return !m_delivered.empty(); }));
    EXPECT_FALSE(overlay::is_open());
    EXPECT_EQ(m_delivered.front().kind, output::Kind::Area);
    // The pixels under the press and under the release are both inside.
    const QImage png = delivered_png();
    ASSERT_EQ(png.size(), QSize(201, 151));
    EXPECT_EQ(differing_pixels(png, before.copy(100, 100, 201, 151)), 0);
    const auto area = state::last_area();
    ASSERT_TRUE(area.has_value());
    EXPECT_EQ(area->x, 100);
    EXPECT_EQ(area->y, 100);
    EXPECT_EQ(area->width, 201);
    EXPECT_EQ(area->height, 151);

    // The previous area again: the same rectangle, without the overlay.
    m_delivered.clear();
    app::capture_previous_area();
    ASSERT_TRUE(wait_until([&] { return !m_delivered.empty(); }));
    EXPECT_FALSE(overlay::is_open());
    const QImage again = delivered_png();
    ASSERT_EQ(again.size(), QSize(201, 151));
    EXPECT_EQ(differing_pixels(again, before.copy(100, 100, 201, 151)), 0);
}

TEST_F(OverlayDesktop, EscapeCancelsWithNothingDelivered)
{
    open(overlay::Mode::Area);
    ASSERT_TRUE(overlay::is_open());
    xdo({ "key", "Escape" });
    ASSERT_TRUE(wait_until([] { return !overlay::is_open(); }, 2000));
    pump_for(200);
    EXPECT_TRUE(m_delivered.empty());
    EXPECT_FALSE(overlay::panels().front()->on_screen());
}

TEST_F(OverlayDesktop, SpaceSwitchesToWindowMode)
{
    open(overlay::Mode::Area);
    xdo({ "key", "space" });
    ASSERT_TRUE(overlay::session().has_value());
    EXPECT_EQ(overlay::session()->mode, overlay::Mode::Window);
    EXPECT_EQ(modebar::selected(), static_cast<std::uint8_t>(modebar::Choice::Window));
    xdo({ "key", "space" });
    EXPECT_EQ(overlay::session()->mode, overlay::Mode::Area);
}

TEST_F(OverlayDesktop, ClickOnAWindowDeliversThatWindow)
{
    start_test_window();
    const QImage before = screen_now();
    open(overlay::Mode::Window);
    ASSERT_TRUE(overlay::session().has_value());
    // The test window's centre, wherever the window manager placed it.
    std::optional<platform::RectF> frame;
    const auto list = capture::backend().window_list();
    ASSERT_TRUE(list.has_value());
    for (const auto& w : *list)
        if (w.title.find("xmessage") != std::string::npos)
            frame = w.frame;
    ASSERT_TRUE(frame.has_value());
    const double cx = frame->x + frame->w / 2;
    const double cy = frame->y + frame->h / 2;
    std::optional<overlay::WindowInfo> target;
    const auto open_session = overlay::session();
    for (const auto& w : open_session->windows)
        if (!target && w.rect().contains(cx, cy))
            target = w;
    ASSERT_TRUE(target.has_value()) << "the test window is not selectable";
    const int qx = static_cast<int>(cx);
    const int qy = static_cast<int>(platform::primary_height() - cy);
    xdo({ "mousemove", QString::number(qx), QString::number(qy) });
    if (const char* dir = std::getenv("VISTROPE_SHOTS"))
        screen_now().save(QString::fromUtf8(dir) + "/overlay-window.png");
    xdo({ "click", "1" });
    ASSERT_TRUE(wait_until([&] { return !m_delivered.empty(); }));
    EXPECT_EQ(m_delivered.front().kind, output::Kind::Window);
    const QImage png = delivered_png();
    ASSERT_EQ(png.width(), static_cast<int>(target->w));
    ASSERT_EQ(png.height(), static_cast<int>(target->h));
    // The window as it looked on screen (it is not covered).
    const int top = static_cast<int>(platform::primary_height() - target->y - target->h);
    EXPECT_LT(differing_pixels(png, before.copy(static_cast<int>(target->x), top, png.width(), png.height()), 2),
        png.width() * png.height() / 100);
}

TEST_F(OverlayDesktop, ModeBarScreenButtonDeliversTheFullScreen)
{
    open(overlay::Mode::Area);
    const auto frame = modebar::frame();
    ASSERT_TRUE(frame.has_value()) << "the mode bar is not shown";
    if (const char* dir = std::getenv("VISTROPE_SHOTS"))
        screen_now().save(QString::fromUtf8(dir) + "/overlay-bar.png");
    const auto* layout = modebar::current_layout();
    ASSERT_NE(layout, nullptr);
    const auto& screen_button = layout->buttons[1];
    ASSERT_EQ(screen_button.choice, modebar::Choice::Fullscreen);
    const double gx = frame->x + screen_button.frame.x + screen_button.frame.w / 2;
    const double gy = frame->y + screen_button.frame.y + screen_button.frame.h / 2;
    const int qx = static_cast<int>(gx);
    const int qy = static_cast<int>(platform::primary_height() - gy);
    xdo({ "mousemove", QString::number(qx), QString::number(qy) });
    EXPECT_EQ(modebar::hovered(), 1) << "the hovered button is not highlighted";
    xdo({ "click", "1" });
    ASSERT_TRUE(wait_until([&] { return !m_delivered.empty(); }));
    EXPECT_EQ(m_delivered.front().kind, output::Kind::Area);
    const auto screen = platform::screens().front();
    EXPECT_EQ(delivered_png().size(), QSize(static_cast<int>(screen.frame.w * screen.scale), static_cast<int>(screen.frame.h * screen.scale)));
    EXPECT_FALSE(overlay::is_open());
}

TEST_F(OverlayDesktop, AnswerForACancelledSessionIsDropped)
{
    // A picture answer that comes after its session was replaced never shows
    // or finishes anything: the second session opens on its own pictures.
    overlay::begin(overlay::Mode::Area, overlay::Purpose::Screenshot);
    const auto first = overlay::generation();
    overlay::begin(overlay::Mode::Window, overlay::Purpose::Screenshot);
    EXPECT_GT(overlay::generation(), first);
    ASSERT_TRUE(wait_until([] { return !overlay::panels().empty() && overlay::panels().front()->on_screen(); }));
    EXPECT_EQ(overlay::session()->mode, overlay::Mode::Window);
    overlay::cancel();
    pump_for(300);
    EXPECT_FALSE(overlay::panels().front()->on_screen()) << "a late answer reopened the panels";
    EXPECT_TRUE(m_delivered.empty());
}

TEST_F(OverlayDesktop, WithoutFreezeAWindowMovedAfterOpeningIsSeenAndCapturedWhereItIsNow)
{
    auto config = std::make_shared<config::Config>(*state::config());
    config->freeze_screen = false;
    state::set_config(config);
    start_test_window();
    open(overlay::Mode::Area);
    ASSERT_TRUE(overlay::panels().front()->state().frozen.isNull());
    // The window moves while the overlay is up (the test session runs a compositor).
    xdo({ "search", "--class", "Xmessage", "windowmove", "%@", "1200", "600" });
    std::optional<platform::RectF> frame;
    ASSERT_TRUE(wait_until(
        [&] {
            const auto list = capture::backend().window_list();
            if (list)
                for (const auto& w : *list)
                    if (w.title.find("xmessage") != std::string::npos && w.frame.x >= 1190)
                        frame = w.frame;
            return frame.has_value();
        },
        5000))
        << "the window did not move";
    pump_for(200);
    // The user sees it at its new place, under the dimming.
    const int left = static_cast<int>(frame->x);
    const int top = static_cast<int>(platform::primary_height() - frame->y - frame->h);
    const QImage seen = screen_now();
    if (const char* dir = std::getenv("VISTROPE_SHOTS"))
        seen.save(QString::fromUtf8(dir) + "/overlay-live.png");
    const QRgb dimmed = seen.pixel(left + 30, top + 40);
    if (platform::compositor_running()) {
        EXPECT_NEAR(qRed(dimmed), 0xff * 0.68, 4) << "the moved window shows through the panel";
        EXPECT_NEAR(qGreen(dimmed), 0x88 * 0.68, 4);
    } else {
        // An opaque panel can only show the screen as it was when it opened.
        EXPECT_NE(qRed(dimmed), static_cast<int>(std::lround(0xff * 0.68))) << "the panel shows the live screen";
    }
    // A selection over its new place captures it as it is now.
    xdo({ "mousemove", QString::number(left + 20), QString::number(top + 30), "mousedown", "1" });
    xdo({ "mousemove", QString::number(left + 60), QString::number(top + 60) });
    xdo({ "mouseup", "1" });
    ASSERT_TRUE(wait_until([&] { return !m_delivered.empty(); }));
    const QImage png = delivered_png();
    ASSERT_EQ(png.size(), QSize(41, 31));
    EXPECT_EQ(png.pixel(5, 5), qRgb(0xff, 0x88, 0x00)) << "undimmed, live, the window's own colour";
}

TEST_F(OverlayDesktop, AShiftSquareAtTheBottomEdgeAndItsRepeatAreTheSameSquare)
{
    start_test_window();
    const int bottom = static_cast<int>(platform::primary_height()) - 1;
    open(overlay::Mode::Area);
    // Press 180 rows above the last one, Shift, drag to the last row.
    xdo({ "mousemove", "1000", QString::number(bottom - 179), "mousedown", "1" });
    xdo({ "keydown", "shift" });
    xdo({ "mousemove", "1200", QString::number(bottom - 20) });
    xdo({ "mousemove", "1400", QString::number(bottom) });
    const auto selection = overlay::panels().front()->state().selection;
    ASSERT_TRUE(selection.has_value());
    EXPECT_EQ(selection->w, 180);
    EXPECT_EQ(selection->h, 180);
    xdo({ "mouseup", "1" });
    xdo({ "keyup", "shift" });
    ASSERT_TRUE(wait_until([&] { return !m_delivered.empty(); }));
    const QImage square = delivered_png();
    ASSERT_EQ(square.size(), QSize(180, 180));
    const auto area = state::last_area();
    ASSERT_TRUE(area.has_value());
    EXPECT_EQ((platform::RectF { area->x, area->y, area->width, area->height }),
        (platform::RectF { 1000, static_cast<double>(bottom - 179), 180, 180 }));

    m_delivered.clear();
    app::capture_previous_area();
    ASSERT_TRUE(wait_until([&] { return !m_delivered.empty(); }));
    const QImage again = delivered_png();
    ASSERT_EQ(again.size(), QSize(180, 180));
    EXPECT_EQ(differing_pixels(again, square), 0) << "the repeat is the same square, not a stretched strip";
}

TEST_F(OverlayDesktop, AWindowOpenedAfterTheLastFetchIsCapturedOnTheFirstClick)
{
    // The cached content is fetched before the window exists.
    capture::refresh();
    ASSERT_TRUE(wait_until([] { return !capture::refreshing() && capture::cached(); }, 5000));
    start_test_window();
    for (const auto& w : capture::cached()->windows)
        ASSERT_EQ(w.title.find("xmessage"), std::string::npos) << "the cache already lists the window";
    open(overlay::Mode::Window);
    std::optional<overlay::WindowInfo> target;
    const auto open_session = overlay::session();
    ASSERT_TRUE(open_session.has_value());
    const auto list = capture::backend().window_list();
    ASSERT_TRUE(list.has_value());
    for (const auto& w : open_session->windows) {
        for (const auto& e : *list)
            if (e.window_id == w.number && e.title.find("xmessage") != std::string::npos)
                target = w;
    }
    ASSERT_TRUE(target.has_value());
    const int qx = static_cast<int>(target->x + target->w / 2);
    const int qy = static_cast<int>(platform::primary_height() - target->y - target->h / 2);
    xdo({ "mousemove", QString::number(qx), QString::number(qy) });
    xdo({ "click", "1" });
    ASSERT_TRUE(wait_until([&] { return !m_delivered.empty(); }, 5000)) << "the window was not captured";
    EXPECT_EQ(m_delivered.front().kind, output::Kind::Window);
    const QImage png = delivered_png();
    EXPECT_EQ(png.size(), QSize(static_cast<int>(target->w), static_cast<int>(target->h)));
}

TEST(OverlayWithoutCompositor, WithoutFreezeTheSelectionIsStillCapturedLive)
{
    // The same selection over a moved window on a desktop without a
    // compositor: a private session without picom runs it.
    if (std::getenv("VISTROPE_NESTED_SESSION"))
        GTEST_SKIP() << "already in the session without a compositor";
    const auto [status, out] = run_nested({ "--no-compositor" },
        "OverlayDesktop.WithoutFreezeAWindowMovedAfterOpeningIsSeenAndCapturedWhereItIsNow");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
    EXPECT_NE(out.find("sin compositor: el selector muestra la pantalla congelada"), std::string::npos) << out;
}

// The magnifier and the coordinate label under it, with the pointer in each
// corner of the screen and at the end of a drag near its bottom edge: both
// stay whole on the screen, and the label is really drawn there (dark over a
// light desktop). Run on the shared session here, and at 4K below.
TEST_F(OverlayDesktop, TheMagnifierAndItsCoordinateLabelStayOnScreenInEveryCorner)
{
    const auto screen = platform::screens().front();
    const int w = static_cast<int>(screen.frame.w);
    const int h = static_cast<int>(screen.frame.h);
    // Bright colours all over the screen, so that the label's dark plate
    // stands out of the dimming. The window is another process's: captures
    // leave this program's own windows out of the frozen picture.
    QProcess colours;
    colours.start(VISTROPE_QUADRANTS_WINDOW, { "0", "0", QString::number(w), QString::number(h) });
    ASSERT_TRUE(wait_until([&] { return colours.canReadLine() || colours.state() == QProcess::NotRunning; }, 10000));
    ASSERT_TRUE(colours.readLine().startsWith("listo 0 0"));
    open(overlay::Mode::Area);
    auto& panel = *overlay::panels().front();
    const double scale = panel.state().scale;

    const auto check = [&](const std::string& where) {
        const overlay::Scene s = panel.current_scene();
        ASSERT_TRUE(s.magnifier && s.coord_label) << where;
        for (const auto& [name, r] : { std::pair { "magnifier", *s.magnifier }, { "label", s.coord_label->frame } }) {
            EXPECT_GE(r.x, 0) << where << ": " << name;
            EXPECT_GE(r.y, 0) << where << ": " << name;
            EXPECT_LE(r.x + r.w, w) << where << ": " << name;
            EXPECT_LE(r.y + r.h, h) << where << ": " << name;
        }
        // Points of the label's plate clear of its text and rounded corners,
        // top-left screen pixels.
        const auto& f = s.coord_label->frame;
        const double top = h - f.y - f.h;
        std::vector<QPoint> plate;
        for (const QPointF q : { QPointF(f.x + 3, top + f.h / 2), QPointF(f.x + f.w - 3, top + f.h / 2),
                                 QPointF(f.x + f.w / 2, top + 1.5), QPointF(f.x + f.w / 2, top + f.h - 1.5) })
            plate.emplace_back(static_cast<int>(q.x() * scale), static_cast<int>(q.y() * scale));
        const auto dark = [](const QImage& shot, QPoint px) {
            const QRgb c = shot.pixel(px);
            return std::max({ qRed(c), qGreen(c), qBlue(c) }) < 90;
        };
        for (const QPoint px : plate)
            ASSERT_TRUE(QRect(0, 0, static_cast<int>(w * scale), static_cast<int>(h * scale)).contains(px))
                << where << ": the label is off the screen at " << px.x() << "," << px.y();
        // The panel repaints after the pointer moved, and the compositor after it.
        QImage shot;
        wait_until([&] {
            shot = screen_now();
            return std::all_of(plate.begin(), plate.end(), [&](QPoint px) { return dark(shot, px); });
        }, 3000);
        if (const char* dir = std::getenv("VISTROPE_SHOTS"))
            shot.save(QString::fromUtf8(dir) + "/overlay-label.png");
        for (const QPoint px : plate)
            EXPECT_TRUE(dark(shot, px)) << where << ": no label drawn at " << px.x() << "," << px.y();
    };
    const std::pair<int, int> corners[] = { { 0, 0 }, { w - 1, 0 }, { 0, h - 1 }, { w - 1, h - 1 } };
    for (const auto& [x, y] : corners) {
        xdo({ "mousemove", QString::number(x), QString::number(y) });
        ASSERT_TRUE(wait_until([&] { return panel.state().pointer.has_value(); }));
        pump_for(100);
        check(fmt::format("pointer at {},{}", x, y));
    }
    // Dragging towards the bottom edge: 160 rows above it, as at (3000, 2000) on 4K.
    xdo({ "mousemove", QString::number(w / 2), QString::number(h / 2), "mousedown", "1" });
    xdo({ "mousemove", QString::number(w - 840), QString::number(h - 200) });
    xdo({ "mousemove", QString::number(w - 840), QString::number(h - 160) });
    ASSERT_TRUE(panel.state().selection.has_value());
    pump_for(100);
    check(fmt::format("dragging to {},{}", w - 840, h - 160));
    xdo({ "key", "Escape" });
    xdo({ "mouseup", "1" });
    colours.kill();
    colours.waitForFinished(5000);
}

TEST(OverlayAt4K, TheMagnifierAndItsCoordinateLabelStayOnScreenInEveryCorner)
{
    if (std::getenv("VISTROPE_NESTED_SESSION"))
        GTEST_SKIP() << "already in the 4K session";
    const auto [status, out] = run_nested({ "--size", "3840x2160" },
        "OverlayDesktop.TheMagnifierAndItsCoordinateLabelStayOnScreenInEveryCorner");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

// Closed, the selector's windows stay mapped out of sight (a screen-sized
// window costs the X server milliseconds to map). Walked as a user meets it:
// nothing of the closed selector is on the screen or in the next picture,
// the next opening shows the screen as it is then (not what the windows
// held when they were put away), and once unmapped the selector opens as
// before.
TEST_F(OverlayDesktop, AClosedSelectorWaitsOutOfSightAndReopensOverTheScreenAsItIsNow)
{
    auto& panel = *overlay::panels().front();
    const QImage desktop = screen_now();
    open(overlay::Mode::Area);
    xdo({ "key", "Escape" });
    ASSERT_TRUE(wait_until([] { return !overlay::is_open(); }, 2000));
    pump_for(200);
    EXPECT_FALSE(panel.on_screen());
    EXPECT_TRUE(panel.isVisible() && platform::is_parked(&panel)) << "the closed panel was unmapped";
    EXPECT_FALSE(modebar::frame().has_value());
    for (const auto& g : program_windows())
        EXPECT_LT(g.w, 1000) << "a screen-sized window of the program is still on the screen";
    EXPECT_LE(differing_pixels(screen_now(), desktop, 2), 64) << "the closed selector still shows";
    const int paints = panel.paints();
    panel.render();
    pump_for(100);
    EXPECT_EQ(panel.paints(), paints) << "a parked panel painted";

    // Something new on the screen, then the selector again: it dims what is
    // there now, and its bar is up.
    start_test_window();
    std::optional<platform::RectF> frame;
    if (const auto list = capture::backend().window_list())
        for (const auto& w : *list)
            if (w.title.find("xmessage") != std::string::npos)
                frame = w.frame;
    ASSERT_TRUE(frame.has_value());
    // Inside the message's orange box, clear of its text and button (top-left pixels).
    const QPoint in(static_cast<int>(frame->x + frame->w * 0.7), static_cast<int>(platform::primary_height() - frame->y - frame->h * 0.55));
    const QImage now = screen_now();
    const QRgb orange = now.pixel(in);
    ASSERT_GT(qRed(orange), 200);
    ASSERT_LT(qBlue(orange), 60);
    open(overlay::Mode::Area);
    EXPECT_GT(overlay::last_open_ms(), 0);
    EXPECT_FALSE(platform::is_parked(&panel));
    EXPECT_TRUE(modebar::frame().has_value());
    const QImage shown = screen_now();
    EXPECT_NEAR(qRed(shown.pixel(in)), qRed(orange) * 0.68, 3) << "the panel came back with an old picture";
    EXPECT_NEAR(qRed(shown.pixel(200, 900)), qRed(now.pixel(200, 900)) * 0.68, 3);
    xdo({ "key", "Escape" });
    ASSERT_TRUE(wait_until([] { return !overlay::is_open(); }, 2000));

    // Unmapped, as after a long idle spell: the next opening maps it again.
    platform::unmap_parked_panels();
    pump_for(100);
    EXPECT_FALSE(panel.isVisible());
    EXPECT_FALSE(platform::is_parked(&panel));
    stop_test_window();
    pump_for(300);
    open(overlay::Mode::Area);
    EXPECT_TRUE(panel.isVisible());
    const QImage again = screen_now();
    EXPECT_NEAR(qRed(again.pixel(in)), qRed(desktop.pixel(in)) * 0.68, 3);
    const auto where = program_windows();
    EXPECT_TRUE(std::any_of(where.begin(), where.end(), [](const Geometry& g) { return g.x == 0 && g.y == 0 && g.w >= 1000; }))
        << "the panel was not mapped back in its place";
}

TEST(OverlayWithoutCompositor, AClosedSelectorWaitsOutOfSightAndReopensOverTheScreenAsItIsNow)
{
    if (std::getenv("VISTROPE_NESTED_SESSION"))
        GTEST_SKIP() << "already in the session without a compositor";
    const auto [status, out] = run_nested({ "--no-compositor" },
        "OverlayDesktop.AClosedSelectorWaitsOutOfSightAndReopensOverTheScreenAsItIsNow");
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}
