// Screen helpers against Qt's offscreen platform with two screens of scales
// 1 and 2, side by side and one above the other. Xvfb offers one monitor
// only, so each layout runs this executable again with its own screens file.
#include "platform/screens.h"
#include "test_util.h"
#include "base/util_queue.h"

#include <QProcess>
#include <QRectF>
#include <QProcessEnvironment>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

using namespace testing_support;

namespace {

struct ChildScreen {
    std::uint32_t id;
    platform::RectF frame;
    double scale;
    std::string name;
};

// Runs the child test under a screens configuration; returns what it printed.
std::string run_child(const std::string& screens_json, const std::string& points)
{
    TempDir dir;
    write_file(dir.path() / "screens.json", screens_json);
    QProcess child;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", QString::fromStdString("offscreen:configfile=" + (dir.path() / "screens.json").string()));
    env.insert("VISTROPE_SCREENS_CHILD", QString::fromStdString(points));
    child.setProcessEnvironment(env);
    child.start("/proc/self/exe", { "--gtest_filter=ScreensChild.Report" });
    EXPECT_TRUE(child.waitForFinished(30000));
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardError().toStdString();
    return child.readAllStandardOutput().toStdString();
}

std::string lines_with(const std::string& out, const std::string& prefix)
{
    std::istringstream in(out);
    std::string line, result;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            result += line.substr(prefix.size()) + "\n";
    return result;
}

} // namespace

// Not a test of its own: prints what the helpers answer, for the tests below.
TEST(ScreensChild, Report)
{
    const char* points = std::getenv("VISTROPE_SCREENS_CHILD");
    if (!points)
        GTEST_SKIP() << "runs only as a child of the screen tests";
    for (const auto& s : platform::screens())
        std::printf("screen: %s %g %g %g %g %g\n", s.name.c_str(), s.frame.x, s.frame.y, s.frame.w, s.frame.h, s.scale);
    std::printf("primary: %g\n", platform::primary_height());
    std::istringstream in(points);
    double x, y;
    while (in >> x >> y) {
        auto s = platform::screen_for_point(x, y);
        std::printf("point: %g %g %s\n", x, y, s ? s->name.c_str() : "-");
    }
}

TEST(Screens, SideBySideScales1And2)
{
    const std::string json = R"({"screens":[
        {"name":"A","x":0,"y":0,"width":1920,"height":1080,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1},
        {"name":"B","x":1920,"y":0,"width":1440,"height":900,"logicalDpi":96,"logicalBaseDpi":96,"dpr":2}]})";
    const std::string out = run_child(json, "0 0  1919 1079  1920 1079  1920 180  1919.5 500  3359 1079  3360 500  1920 179  -1 0");
    // Frames flipped about the primary's bottom edge: B's top is level with A's top.
    EXPECT_EQ(lines_with(out, "screen: "), "A 0 0 1920 1080 1\nB 1920 180 1440 900 2\n");
    EXPECT_EQ(lines_with(out, "primary: "), "1080\n");
    EXPECT_EQ(lines_with(out, "point: "),
        "0 0 A\n1919 1079 A\n1920 1079 B\n1920 180 B\n1919.5 500 A\n3359 1079 B\n3360 500 -\n1920 179 -\n-1 0 -\n");
}

TEST(Screens, SecondScreenAbove)
{
    const std::string json = R"({"screens":[
        {"name":"A","x":0,"y":0,"width":1920,"height":1080,"logicalDpi":96,"logicalBaseDpi":96,"dpr":1},
        {"name":"B","x":0,"y":-900,"width":1440,"height":900,"logicalDpi":96,"logicalBaseDpi":96,"dpr":2}]})";
    const std::string out = run_child(json, "10 1079  10 1080  10 1979  10 1980  1439 1500  1440 1500");
    EXPECT_EQ(lines_with(out, "screen: "), "A 0 0 1920 1080 1\nB 0 1080 1440 900 2\n");
    EXPECT_EQ(lines_with(out, "point: "), "10 1079 A\n10 1080 B\n10 1979 B\n10 1980 -\n1439 1500 B\n1440 1500 -\n");
}

TEST(Screens, EveryPixelOfAScreenLiesInsideItsFrame)
{
    // Top-left pixel positions, the top row and the rightmost column included,
    // map into their own screen's frame under the half-open rule.
    const std::vector<platform::QtScreenGeometry> geometry = {
        { { 0, 0, 1920, 1080 }, { 0, 24, 1920, 1056 }, 1.0, "A" },
        { { 1920, -300, 1440, 900 }, { 1920, -300, 1440, 900 }, 2.0, "B" },
    };
    const auto screens = platform::screens_from_geometry(geometry);
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].visible_frame, (platform::RectF { 0, 0, 1920, 1056 }));
    for (const auto& g : geometry) {
        for (double px : { g.geometry.x, g.geometry.x + g.geometry.w - 1 })
            for (double py : { g.geometry.y, g.geometry.y + g.geometry.h - 1 }) {
                const auto p = platform::point_from_top_left(px, py, 1080);
                int inside = 0;
                std::string where;
                for (const auto& s : screens)
                    if (s.frame.contains(p.x, p.y)) {
                        ++inside;
                        where = s.name;
                    }
                EXPECT_EQ(inside, 1) << px << "," << py;
                EXPECT_EQ(where, g.name) << px << "," << py;
            }
    }
    // Rectangles flip back exactly.
    const platform::RectF r { 10, 20, 30, 40 };
    EXPECT_EQ(platform::rect_to_top_left(platform::rect_from_top_left(r, 1080), 1080), r);
}

// A capture region is counted from its screen's top-left corner: on a
// right-hand screen that stands lower than the primary one, the region's
// top row lies below the screen's top edge by its y, and it comes back.
TEST(DisplayRegions, ARegionLandsOnItsScreenAndComesBack)
{
    const auto screens = platform::screens_from_geometry({
        { { 0, 0, 1920, 1080 }, { 0, 0, 1920, 1080 }, 1.0, "primary" },
        { { 1920, 200, 1280, 1024 }, { 1920, 200, 1280, 1024 }, 2.0, "right" },
    });
    ASSERT_EQ(screens.size(), 2u);
    const platform::RectF& right = screens[1].frame;
    const platform::RectF region { 100, 50, 300, 200 };
    const platform::RectF global = platform::rect_from_display(right, region);
    // The same rectangle as the top-left flip of the region moved onto the screen.
    EXPECT_EQ(global, platform::rect_from_top_left({ 1920 + 100, 200 + 50, 300, 200 }, 1080));
    EXPECT_EQ(platform::rect_to_display(right, global), region);
    // The whole screen as a region is the screen's frame.
    EXPECT_EQ(platform::rect_from_display(right, { 0, 0, right.w, right.h }), right);
}

// A panel draws in its own bottom-left points; its widget paints top-left.
TEST(PanelRect, ABottomLeftRectangleLandsAtTheSameDistanceFromTheWidgetsBottom)
{
    // Flush with the bottom edge, then with the top edge, of a 36-point panel.
    EXPECT_EQ(platform::panel_rect({ 10, 0, 30, 8 }, 36), QRectF(10, 28, 30, 8));
    EXPECT_EQ(platform::panel_rect({ 0, 28.5, 12.25, 7.5 }, 36), QRectF(0, 0, 12.25, 7.5));
    // Nothing of the panel's own height leaks into width or x.
    EXPECT_EQ(platform::panel_rect({ 4, 10, 16, 16 }, 100), QRectF(4, 74, 16, 16));
}
