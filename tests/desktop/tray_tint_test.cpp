// The status icon's tint follows the tray it sits in: light on a dark tray,
// dark on a light one, also when the tray changes colour while the program
// runs. Each tray is a trayer of the test's own, in a private desktop of its
// own (the shared session's tray keeps one colour).
#include "test_util.h"

#include <QImage>
#include <QProcess>
#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;

namespace {

// Starts a dark tray and the program, then swaps the tray for a light one and
// opens the program's menu once; a picture of the tray's corner after each step.
const char* SCRIPT = R"(#!/bin/sh
tray() { trayer --edge top --align right --widthtype request --height 24 --transparent true --alpha 0 --tint "$1" >/dev/null 2>&1 & echo $!; }
t=$(tray 0x202020)
sleep 0.5
HOME="$2" "$1" >/dev/null 2>&1 &
app=$!
sleep 3
import -window root -crop 24x24+1896+0 "$2/oscura.png"
kill $t; wait $t 2>/dev/null
t=$(tray 0xf0f0f0)
sleep 3
xdotool mousemove 1908 12 click 1
sleep 1
xdotool key Escape
sleep 1
import -window root -crop 24x24+1896+0 "$2/clara.png"
kill $app $t
wait $app $t 2>/dev/null
)";

double luminance(QColor c)
{
    return 0.2126 * c.redF() + 0.7152 * c.greenF() + 0.0722 * c.blueF();
}

struct Contrast {
    double tray = 0;     // the tray's luminance, at the picture's bottom-right corner
    int lighter = 0;     // icon pixels well above it
    int darker = 0;      // and well below it
};

Contrast contrast(const std::filesystem::path& png)
{
    const QImage img(QString::fromStdString(png.string()));
    Contrast c;
    if (img.isNull())
        return c;
    c.tray = luminance(img.pixelColor(img.width() - 1, img.height() - 1));
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) {
            const double l = luminance(img.pixelColor(x, y));
            c.lighter += l > c.tray + 0.4;
            c.darker += l < c.tray - 0.4;
        }
    return c;
}

} // namespace

TEST(TrayTintDesktop, LightOnDarkDarkOnLightAlsoAfterTheTrayChanges)
{
    TempDir dir;
    const auto script = dir.path() / "bandeja.sh";
    write_file(script, SCRIPT);
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    QProcess session;
    session.start(QString(VISTROPE_SOURCE_DIR) + "/scripts/x-session",
                  { "--no-tray", QString::fromStdString(script.string()), VISTROPE_BINARY,
                    QString::fromStdString(dir.path().string()) });
    ASSERT_TRUE(session.waitForFinished(60000)) << session.readAllStandardError().toStdString();

    const Contrast dark = contrast(dir.path() / "oscura.png");
    EXPECT_LT(dark.tray, 0.3);
    EXPECT_GT(dark.lighter, 40) << "a light icon on the dark tray";
    EXPECT_EQ(dark.darker, 0);
    const Contrast light = contrast(dir.path() / "clara.png");
    EXPECT_GT(light.tray, 0.8);
    EXPECT_GT(light.darker, 40) << "a dark icon once the tray turned light";
    EXPECT_EQ(light.lighter, 0);
}
