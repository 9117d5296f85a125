// The menu-bar application in the test session, driven as a user would:
// the tray icon, its menu, URLs handed to the running instance, quitting.
#include "test_util.h"
#include "base/util.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>

using namespace testing_support;

namespace {

std::string run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    return p.readAllStandardOutput().toStdString();
}

struct Geometry {
    int w, h, x, y;
};

// The program's viewable windows with their sizes and places on the root.
std::vector<Geometry> program_windows()
{
    std::vector<Geometry> out;
    std::istringstream ids(run("xdotool", { "search", "--onlyvisible", "--classname", "vistrope" }));
    std::string id;
    static const QRegularExpression position(R"(Position: (-?\d+),(-?\d+))");
    static const QRegularExpression size(R"(Geometry: (\d+)x(\d+))");
    while (ids >> id) {
        const QString info = QString::fromStdString(run("xdotool", { "getwindowgeometry", QString::fromStdString(id) }));
        const auto p = position.match(info);
        const auto g = size.match(info);
        if (p.hasMatch() && g.hasMatch())
            out.push_back({ g.captured(1).toInt(), g.captured(2).toInt(), p.captured(1).toInt(), p.captured(2).toInt() });
    }
    return out;
}

class Program {
public:
    explicit Program(const std::filesystem::path& home)
    {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(home.string()));
        m_process.setProcessEnvironment(env);
        m_process.start(VISTROPE_BINARY, {});
        m_process.waitForStarted(5000);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            m_process.waitForFinished(5000);
        }
    }
    // Waits until standard error holds `text`.
    bool wait_for(const std::string& text, int seconds = 15)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            m_err += m_process.readAllStandardError().toStdString();
            if (m_err.find(text) != std::string::npos)
                return true;
            m_process.waitForReadyRead(100);
        }
        m_err += m_process.readAllStandardError().toStdString();
        return m_err.find(text) != std::string::npos;
    }
    const std::string& err() const { return m_err; }
    QProcess& process() { return m_process; }

private:
    QProcess m_process;
    std::string m_err;
};

std::optional<Geometry> tray_icon()
{
    for (const auto& g : program_windows())
        if (g.w <= 64 && g.h <= 64 && g.w > 4)
            return g;
    return std::nullopt;
}

std::optional<Geometry> open_menu()
{
    for (const auto& g : program_windows())
        if (g.w >= 150 && g.h >= 300)
            return g;
    return std::nullopt;
}

} // namespace

TEST(DesktopApp, TrayIconMenuUrlsAndQuit)
{
    TempHome home;
    Program program(home.path());
    ASSERT_TRUE(program.wait_for("[vistrope] listo")) << program.err();

    // The status item stands in the tray.
    std::optional<Geometry> icon;
    for (int i = 0; i < 20 && !(icon = tray_icon()); ++i)
        QThread::msleep(100);
    ASSERT_TRUE(icon) << run("xwininfo", { "-root", "-tree" });

    // A left click opens the menu.
    const QString cx = QString::number(icon->x + icon->w / 2), cy = QString::number(icon->y + icon->h / 2);
    run("xdotool", { "mousemove", cx, cy, "click", "1" });
    std::optional<Geometry> menu;
    for (int i = 0; i < 30 && !(menu = open_menu()); ++i)
        QThread::msleep(100);
    ASSERT_TRUE(menu) << run("xwininfo", { "-root", "-tree" });
    run("import", { "-window", "root", "/tmp/vistrope-desktop-menu.png" });
    run("xdotool", { "key", "Escape" });
    for (int i = 0; i < 30 && open_menu(); ++i)
        QThread::msleep(100);
    ASSERT_FALSE(open_menu()) << "Escape closes the menu";

    // URLs handed over by a second process run in the first; unknown hosts are logged.
    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(home.path().string()));
    second.setProcessEnvironment(env);
    second.start(VISTROPE_BINARY, { "vistrope://no-such-host", "vistrope://Capture-Area" });
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(program.wait_for("URL desconocida: vistrope://no-such-host")) << program.err();
    EXPECT_TRUE(program.wait_for("URL desconocida: vistrope://Capture-Area")) << program.err();
    EXPECT_EQ(program.process().state(), QProcess::Running);

    // The self-timer's toast: a dark capsule 28 points below the pointer, centred on it.
    run("xdotool", { "mousemove", "600", "500" });
    QProcess timer;
    timer.setProcessEnvironment(env);
    timer.start(VISTROPE_BINARY, { "vistrope://self-timer" });
    ASSERT_TRUE(timer.waitForFinished(10000));
    EXPECT_TRUE(program.wait_for("captura en 5 s")) << program.err();
    QThread::msleep(300);
    run("import", { "-window", "root", "/tmp/vistrope-desktop-toast.png" });
    const QImage shot("/tmp/vistrope-desktop-toast.png");
    ASSERT_FALSE(shot.isNull());
    // Rows 528..568 hold the capsule; its left part (x 540..560 for a width of
    // about 120) is the capsule's fill, and the text leaves white pixels.
    auto dark = [](QColor c) { return c.red() < 60 && c.green() < 60 && c.blue() < 60; };
    EXPECT_TRUE(dark(shot.pixelColor(600, 531))) << "capsule fill below the pointer";
    EXPECT_FALSE(dark(shot.pixelColor(600, 520))) << "the capsule starts 28 points below the pointer";
    int white = 0;
    for (int y = 530; y < 566; ++y)
        for (int x = 520; x < 680; ++x)
            white += shot.pixelColor(x, y).lightness() > 200;
    EXPECT_GT(white, 30) << "the text and the symbol are white";

    // "Salir de Vistrope", the menu's last item, ends the program with status 0.
    run("xdotool", { "mousemove", cx, cy, "click", "1" });
    for (int i = 0; i < 30 && !open_menu(); ++i)
        QThread::msleep(100);
    ASSERT_TRUE(open_menu());
    // The menu takes the keyboard once it is mapped; give it that moment.
    QThread::msleep(300);
    run("xdotool", { "key", "Up" });
    QThread::msleep(100);
    run("xdotool", { "key", "Return" });
    const bool finished = program.process().waitForFinished(10000);
    if (!finished)
        run("import", { "-window", "root", "/tmp/vistrope-desktop-quit-failed.png" });
    ASSERT_TRUE(finished) << program.err();
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
