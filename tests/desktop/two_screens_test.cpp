// Two monitors side by side on one X screen: the program opens its selection
// on both and an area on the right-hand one is delivered with its pixels. A
// display's picture is then a view into a frame twice its width, which the
// overlay must read with the frame's stride. The test runs its own private
// X session of 3840×1080 split into two RandR monitors.
#include "test_util.h"

#include <QImage>
#include <QProcess>
#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;

TEST(TwoScreens, AnAreaOnTheRightMonitorIsDelivered)
{
    TempHome home;
    const auto script = home.path() / "session.sh";
    write_file(script, R"(set -e
xrandr --setmonitor izquierda 1920/508x1080/286+0+0 screen >/dev/null 2>&1
xrandr --setmonitor derecha 1920/508x1080/286+1920+0 none >/dev/null
display -geometry +2000+120 -size 600x400 xc:'#336699' &
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
    QProcess session;
    session.setProcessChannelMode(QProcess::MergedChannels);
    session.start(VISTROPE_SOURCE_DIR "/scripts/x-session", { "--size", "3840x1080", "bash", QString::fromStdString(script.string()) });
    ASSERT_TRUE(session.waitForFinished(60000));
    const std::string log = read_file(home.path() / "err.log");
    EXPECT_EQ(session.exitCode(), 0) << session.readAll().toStdString() << log;
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
