// Two monitors side by side on one X screen: the program opens its selection
// on both and an area on the right-hand one is delivered with its pixels. A
// display's picture is then a view into a frame twice its width, which the
// overlay must read with the frame's stride. The test runs its own private
// X session of 3840×1080 split into two RandR monitors.
#include "test_util.h"

#include <QImage>
#include <QProcess>
#include <QRect>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace testing_support;

namespace {

// Runs `body` with bash in a private session of 3840×1080 split into two
// monitors; the program's standard error, which the body writes to
// $HOME/err.log. The session must end well.
std::string run_on_two_monitors(const TempHome& home, const std::string& body)
{
    const auto script = home.path() / "session.sh";
    write_file(script, "set -e\n"
                       "xrandr --setmonitor izquierda 1920/508x1080/286+0+0 screen >/dev/null 2>&1\n"
                       "xrandr --setmonitor derecha 1920/508x1080/286+1920+0 none >/dev/null\n"
        + body);
    QProcess session;
    session.setProcessChannelMode(QProcess::MergedChannels);
    session.start(VISTROPE_SOURCE_DIR "/scripts/x-session", { "--size", "3840x1080", "bash", QString::fromStdString(script.string()) });
    const bool ended = session.waitForFinished(60000);
    const std::string log = read_file(home.path() / "err.log");
    EXPECT_TRUE(ended);
    EXPECT_EQ(session.exitCode(), 0) << session.readAll().toStdString() << log;
    return log;
}

} // namespace

TEST(TwoScreens, AnAreaOnTheRightMonitorIsDelivered)
{
    TempHome home;
    const std::string log = run_on_two_monitors(home, R"(display -geometry +2000+120 -size 600x400 xc:'#336699' &
w=$!
for i in $(seq 1 50); do xdotool search --onlyvisible --class display >/dev/null 2>&1 && break; sleep 0.1; done
sleep 0.5
")" VISTROPE_BINARY R"(" 2>"$HOME/err.log" & p=$!
for i in $(seq 1 100); do grep -q 'listo$' "$HOME/err.log" 2>/dev/null && break; sleep 0.1; done
")" VISTROPE_BINARY R"(" vistrope://capture-area
for i in $(seq 1 50); do grep -q 'selector visible' "$HOME/err.log" && break; sleep 0.1; done
sleep 0.5
xdotool mousemove 2100 200 mousedown 1
sleep 0.2
xdotool mousemove 2300 300
sleep 0.2
xdotool mousemove 2400 350 mouseup 1
for i in $(seq 1 50); do grep -q 'listo en portapapeles y disco' "$HOME/err.log" && break; sleep 0.1; done
kill $p $w
wait $p || true
)");
    ASSERT_NE(log.find("listo en portapapeles y disco"), std::string::npos) << log;

    std::vector<std::filesystem::path> pngs;
    for (const auto& entry : std::filesystem::directory_iterator(home.path() / "Desktop"))
        pngs.push_back(entry.path());
    ASSERT_EQ(pngs.size(), 1u);
    const QImage png(QString::fromStdString(pngs[0].string()));
    // The pixels under the press and the release are both inside.
    ASSERT_EQ(png.size(), QSize(301, 151));
    for (const QPoint p : { QPoint(0, 0), QPoint(150, 75), QPoint(300, 150) })
        EXPECT_EQ(png.pixelColor(p).name().toStdString(), "#336699") << p.x() << "," << p.y();
}

// The same two monitors at scale 2 (Qt places each screen's top-left corner
// where the server has it and scales from there): the mode bar, kept mapped
// out of sight between sessions, comes back to the right-hand monitor under
// the pointer at every opening, where the first one put it.
TEST(TwoScreens, AtScaleTwoTheModeBarReturnsToTheMonitorUnderThePointer)
{
    TempHome home;
    const std::string log = run_on_two_monitors(home, R"sh(QT_SCALE_FACTOR=2 ")sh" VISTROPE_BINARY R"sh(" 2>"$HOME/err.log" & p=$!
for i in $(seq 1 100); do grep -q 'listo$' "$HOME/err.log" 2>/dev/null && break; sleep 0.1; done
xdotool mousemove 2800 500
for n in 1 2 3; do
  ")sh" VISTROPE_BINARY R"sh(" vistrope://capture-area
  for i in $(seq 1 50); do [ "$(grep -c 'selector visible' "$HOME/err.log")" -ge $n ] && break; sleep 0.1; done
  sleep 0.5
  xdotool search --onlyvisible --name '^Vistrope barra$' getwindowgeometry --shell >>"$HOME/bar.txt"
  xdotool key Escape
  sleep 0.5
done
kill $p
wait $p || true
)sh");

    // xdotool's lines: WINDOW=, X=, Y=, WIDTH=, HEIGHT=, SCREEN= per opening.
    std::vector<QRect> bars;
    std::istringstream lines(read_file(home.path() / "bar.txt"));
    std::map<std::string, int> v;
    for (std::string line; std::getline(lines, line);) {
        const auto eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        v[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
        if (line.starts_with("SCREEN="))
            bars.emplace_back(v["X"], v["Y"], v["WIDTH"], v["HEIGHT"]);
    }
    ASSERT_EQ(bars.size(), 3u) << log;
    const QRect right(1920, 0, 1920, 1080);
    for (const QRect& bar : bars) {
        EXPECT_TRUE(right.contains(bar)) << bar.x() << "," << bar.y() << " " << bar.width() << "x" << bar.height();
        EXPECT_EQ(bar.x(), bars.front().x());
        EXPECT_EQ(bar.y(), bars.front().y());
    }
    EXPECT_NEAR(bars.front().center().x(), right.center().x(), 2) << "the bar is centred on the monitor under the pointer";
}
