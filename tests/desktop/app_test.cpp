// The tray application in the test session, driven as a user would:
// the tray icon, its menu, URLs handed to the running instance, quitting.
#include "wait_slack.h"
#include "program.h"
#include "test_util.h"
#include "base/util.h"

#include <QImage>
#include <QRect>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>

using namespace testing_support;

TEST(DesktopApp, TrayIconMenuUrlsAndQuit)
{
    TempHome home;
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("[vistrope] listo")) << program.err();

    // The status item stands in the tray.
    const std::optional<Geometry> icon = wait_for_tray_icon();
    ASSERT_TRUE(icon) << run("xwininfo", { "-root", "-tree" });

    // A left click opens the menu.
    ASSERT_TRUE(open_tray_menu(*icon)) << run("xwininfo", { "-root", "-tree" });
    const std::string menu_shot = screenshot("menu.png");
    run("xdotool", { "key", "Escape" });
    for (int i = 0; i < 30 && open_menu(); ++i)
        QThread::msleep(100);
    ASSERT_FALSE(open_menu()) << "Escape closes the menu; the menu open: " << menu_shot;

    // URLs handed over by a second process run in the first; unknown hosts
    // are logged, and the launch that brought them fails.
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    second.setProcessEnvironment(env);
    second.start(VISTROPE_BINARY, { "vistrope://no-such-host", "vistrope://Capture-Area" });
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(program.wait_for("URL desconocida: vistrope://no-such-host")) << program.err();
    EXPECT_TRUE(program.wait_for("URL desconocida: vistrope://Capture-Area")) << program.err();
    EXPECT_EQ(program.process().state(), QProcess::Running);

    // The self-timer's toast: a dark capsule 28 points below the pointer, centred on it.
    run("xdotool", { "mousemove", "600", "500" });
    const std::string before_shot = screenshot("before-toast.png");
    const QImage before(QString::fromStdString(before_shot));
    ASSERT_FALSE(before.isNull()) << before_shot;
    QProcess timer;
    timer.setProcessEnvironment(env);
    timer.start(VISTROPE_BINARY, { "vistrope://self-timer" });
    ASSERT_TRUE(timer.waitForFinished(10000));
    EXPECT_TRUE(program.wait_for("captura en 5 s")) << program.err();
    QThread::msleep(300);
    const std::string toast_shot = screenshot("toast.png");
    SCOPED_TRACE("screen before the toast: " + before_shot + ", with it: " + toast_shot);
    const QImage shot(QString::fromStdString(toast_shot));
    ASSERT_FALSE(shot.isNull());
    // Rows 528..568 hold the capsule; its left part (x 540..560 for a width of
    // about 120) is the capsule's fill, and the text leaves white pixels.
    auto dark = [](QColor c) { return c.red() < 60 && c.green() < 60 && c.blue() < 60; };
    EXPECT_TRUE(dark(shot.pixelColor(600, 531))) << "capsule fill below the pointer";
    EXPECT_EQ(shot.pixel(600, 520), before.pixel(600, 520)) << "the capsule starts 28 points below the pointer";
    int white = 0;
    for (int y = 530; y < 566; ++y)
        for (int x = 520; x < 680; ++x)
            white += shot.pixelColor(x, y).lightness() > 200;
    EXPECT_GT(white, 30) << "the text and the symbol are white";

    // "Salir de Vistrope", the menu's last item, ends the program with status 0.
    ASSERT_TRUE(open_tray_menu(*icon));
    // The menu takes the keyboard once it is mapped; give it that moment.
    QThread::msleep(300);
    run("xdotool", { "key", "Up" });
    QThread::msleep(100);
    run("xdotool", { "key", "Return" });
    const bool finished = program.process().waitForFinished(10000);
    ASSERT_TRUE(finished) << program.err() << "\nscreen: " << screenshot("quit-failed.png");
    EXPECT_EQ(program.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.process().exitCode(), 0);
}

// Without a display the program says so and ends with status 1 instead of
// Qt's abort; reading a picture's text needs no display at all.
TEST(DesktopApp, WithoutADisplayItSaysSoAndTextReadingStillWorks)
{
    TempDir home;
    auto env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    const auto start = [&](const QStringList& args) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env);
        p->start(VISTROPE_BINARY, args);
        EXPECT_TRUE(p->waitForFinished(20000));
        return p;
    };
    const auto app = start({});
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app->exitCode(), 1);
    EXPECT_EQ(app->readAllStandardError().toStdString(), "vistrope: no hay pantalla (DISPLAY)\n");

    QImage blank(120, 40, QImage::Format_RGB32);
    blank.fill(Qt::white);
    const auto png = home.path() / "blanco.png";
    ASSERT_TRUE(blank.save(QString::fromStdString(png.string()), "PNG"));
    const auto ocr = start({ "--ocr", QString::fromStdString(png.string()) });
    EXPECT_EQ(ocr->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(ocr->exitCode(), 0) << ocr->readAllStandardError().toStdString();
}

namespace {

// Waits until the folder holds `count` published captures.
bool wait_for_pngs(const std::filesystem::path& dir, std::size_t count, int seconds = 15)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds) * testing_support::wait_slack();
    while (pngs_in(dir).size() < count && std::chrono::steady_clock::now() < until)
        QThread::msleep(50);
    return pngs_in(dir).size() >= count;
}

} // namespace

TEST(DesktopApp, FullScreenCapturesFromTheMenuNeverHoldTheMenu)
{
    TempHome home;
    const auto captures = home.path() / "capturas";
    write_file(home.path() / ".config/vistrope/config.toml",
        "save_dir = \"" + captures.string() + "\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n");
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("[vistrope] listo")) << program.err();
    const std::optional<Geometry> icon = wait_for_tray_icon();
    ASSERT_TRUE(icon);
    const QString cx = QString::number(icon->x + icon->w / 2), cy = QString::number(icon->y + icon->h / 2);
    // The pointer rests away from the icon (whose tooltip would come and go)
    // and from the menu.
    run("xdotool", { "mousemove", "600", "500" });
    QThread::msleep(1000); // the icon takes its tint for the panel half a second after launch

    // The screen without the menu, taken the same way.
    QProcess url;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    url.setProcessEnvironment(env);
    url.start(VISTROPE_BINARY, { "vistrope://capture-fullscreen" });
    ASSERT_TRUE(url.waitForFinished(10000));
    ASSERT_TRUE(wait_for_pngs(captures, 1)) << program.err();
    const QImage reference(QString::fromStdString(pngs_in(captures).front().string()));
    ASSERT_FALSE(reference.isNull());

    constexpr int ROUNDS = 20;
    std::optional<Geometry> menu;
    for (int round = 1; round <= ROUNDS; ++round) {
        run("xdotool", { "mousemove", cx, cy, "click", "1", "mousemove", "600", "500" });
        std::optional<Geometry> shown;
        for (int i = 0; i < 50 && !(shown = open_menu()); ++i)
            QThread::msleep(50);
        ASSERT_TRUE(shown) << "round " << round;
        menu = shown;
        QThread::msleep(250); // the menu takes the keyboard once mapped
        // The second row: "Capturar pantalla completa".
        run("xdotool", { "key", "Down", "Down", "Return" });
        ASSERT_TRUE(wait_for_pngs(captures, static_cast<std::size_t>(round) + 1)) << "round " << round << "\n" << program.err();
    }
    ASSERT_TRUE(menu);
    const auto files = pngs_in(captures);
    ASSERT_EQ(files.size(), static_cast<std::size_t>(ROUNDS) + 1);
    int with_menu = 0;
    for (const auto& file : files) {
        const QImage shot(QString::fromStdString(file.string()));
        ASSERT_EQ(shot.size(), reference.size()) << file;
        int differing = 0;
        QRect where;
        for (int y = std::max(menu->y, 0); y < std::min(menu->y + menu->h, shot.height()); ++y)
            for (int x = std::max(menu->x, 0); x < std::min(menu->x + menu->w, shot.width()); ++x)
                if (!(x >= icon->x && x < icon->x + icon->w && y >= icon->y && y < icon->y + icon->h) // the icon is ours
                    && shot.pixel(x, y) != reference.pixel(x, y)) {
                    ++differing;
                    where |= QRect(x, y, 1, 1);
                }
        if (differing > 0) {
            ++with_menu;
            ADD_FAILURE() << file << ": " << differing << " pixels of the menu in " << where.x() << "," << where.y() << " "
                          << where.width() << "×" << where.height() << " (menu " << menu->x << "," << menu->y << " " << menu->w
                          << "×" << menu->h << ")";
        }
    }
    EXPECT_EQ(with_menu, 0);
}

TEST(DesktopApp, APrintPressCapturesTheScreen)
{
    TempHome home;
    const auto captures = home.path() / "capturas";
    write_file(home.path() / ".config/vistrope/config.toml",
        "save_dir = \"" + captures.string() + "\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n"
        "[shortcuts]\ncapture_fullscreen = \"print\"\n");
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("[vistrope] listo")) << program.err();
    run("xdotool", { "key", "Print" });
    EXPECT_TRUE(wait_for_pngs(captures, 1)) << program.err();
}

TEST(DesktopApp, CtrlQInTheOpenMenuQuits)
{
    TempHome home;
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("[vistrope] listo")) << program.err();
    const std::optional<Geometry> icon = wait_for_tray_icon();
    ASSERT_TRUE(icon);
    ASSERT_TRUE(open_tray_menu(*icon));
    QThread::msleep(300); // the menu takes the keyboard once mapped
    run("xdotool", { "key", "ctrl+q" });
    ASSERT_TRUE(program.process().waitForFinished(10000)) << program.err();
    EXPECT_EQ(program.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.process().exitCode(), 0);
}
