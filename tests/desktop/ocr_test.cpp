// Text recognition in the test session: a window with Spanish text and a QR
// code is grabbed from the screen, recognised, and the clipboard read back
// with xclip as another program would.
#include "qt_wait.h"
#include "capture/ocr.h"
#include "capture/overlay.h"
#include "platform/text_recognizer.h"
#include "base/state.h"
#include "test_util.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPainter>
#include <QProcess>
#include <QScreen>
#include <QWidget>

#include <gtest/gtest.h>

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

const char* PAYLOAD = "VTRP-2024";
const char* LINE_1 = "Reunión del equipo: miércoles a las 10:30";
const char* LINE_2 = "Traer el informe de diseño y las cuentas";

// Two lines of Spanish text with a QR code to their left.
void paint_sample(QPainter& p, int width, int height)
{
    p.fillRect(QRect(0, 0, width, height), QColor(250, 250, 250));
    const QImage qr = platform::render_qr_code(PAYLOAD, 4);
    p.drawImage(QPointF(12, (height - qr.height()) / 2.0), qr);
    QFont f("DejaVu Sans");
    f.setPixelSize(14);
    p.setFont(f);
    p.setPen(QColor(25, 25, 25));
    p.drawText(QPointF(qr.width() + 40, 70), LINE_1);
    p.drawText(QPointF(qr.width() + 40, 92), LINE_2);
}

class TextWindow final : public QWidget {
public:
    TextWindow()
    {
        setWindowTitle("prueba de texto");
        resize(620, 180);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        paint_sample(p, width(), height());
    }
};

// Runs a program while this process keeps answering X requests (the
// clipboard's owner must serve xclip's conversion).
QProcess* start(const QString& program, const QStringList& args, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    auto* proc = new QProcess;
    proc->setProcessEnvironment(env);
    proc->start(program, args);
    return proc;
}

bool wait(QProcess* proc, int ms)
{
    return wait_until([proc] { return proc->state() == QProcess::NotRunning; }, ms);
}

std::string read_clipboard_with_xclip()
{
    std::unique_ptr<QProcess> proc(start("xclip", { "-selection", "clipboard", "-o" }));
    if (!wait(proc.get(), 5000))
        return "<xclip no terminó>";
    return proc->readAllStandardOutput().toStdString();
}

// The clipboard's text once it no longer holds "antes" (15 s at most).
std::string clipboard_after_recognition()
{
    std::string got;
    wait_until([&] {
        pump_for(100);
        got = read_clipboard_with_xclip();
        return got != "antes";
    }, 15000);
    return got;
}

} // namespace

TEST(OcrDesktop, GrabbedWindowTextGoesToTheClipboard)
{
    ocr::set_recognizer(nullptr);
    ocr::warm_up();
    QGuiApplication::clipboard()->setText("antes");

    TextWindow window;
    window.move(200, 200);
    window.show();
    pump_for(800); // mapped, painted and composited

    QScreen* screen = window.screen();
    ASSERT_NE(screen, nullptr);
    const QPixmap grab = screen->grabWindow(window.winId());
    ASSERT_FALSE(grab.isNull());
    ocr::start_text_capture(grab.toImage(), window.devicePixelRatio(), util::Stopwatch("captura"));

    const std::string expected = std::string(PAYLOAD) + "\n\n" + LINE_1 + "\n" + LINE_2;
    const std::string got = clipboard_after_recognition();
    EXPECT_EQ(got, expected);
}

TEST(OcrDesktop, CommandLineNeedsNoDisplay)
{
    // A picture with known text, then the program itself without DISPLAY.
    QImage img(460, 70, QImage::Format_RGB32);
    img.fill(Qt::white);
    {
        QPainter p(&img);
        QFont f("DejaVu Sans");
        f.setPixelSize(16);
        p.setFont(f);
        p.setPen(Qt::black);
        p.drawText(QPointF(12, 40), "Guardar la captura en el escritorio");
    }
    testing_support::TempDir dir;
    const QString png = QString::fromStdString((dir.path() / "linea.png").string());
    ASSERT_TRUE(img.save(png, "PNG"));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    env.insert("HOME", QString::fromStdString(dir.path().string()));
    env.remove("XDG_CONFIG_HOME");
    env.remove("XDG_STATE_HOME");
    std::unique_ptr<QProcess> run(start(VISTROPE_BINARY, { "--ocr", png }, env));
    ASSERT_TRUE(wait(run.get(), 30000));
    EXPECT_EQ(run->exitCode(), 0) << run->readAllStandardError().toStdString();
    EXPECT_EQ(run->readAllStandardOutput().toStdString(), "Guardar la captura en el escritorio\n");

    std::unique_ptr<QProcess> usage(start(VISTROPE_BINARY, { "--ocr" }, env));
    ASSERT_TRUE(wait(usage.get(), 30000));
    EXPECT_EQ(usage->exitCode(), 2);
    EXPECT_EQ(usage->readAllStandardError().toStdString(), "uso: vistrope --ocr <imagen.png>\n");
}

TEST(OcrDesktop, TextSelectionWithTheOverlayGoesToTheClipboard)
{
    // The sample in a window of another process (captures leave our own
    // windows out), at a known place.
    testing_support::TempHome home;
    testing_support::write_file(home.path() / ".config/vistrope/config.toml",
                                "[after_capture]\nshow_quick_access = false\nplay_sound = false\n");
    state::reset_for_tests();
    ocr::set_recognizer(nullptr);
    ocr::warm_up();
    QImage sample(620, 180, QImage::Format_RGB32);
    {
        QPainter p(&sample);
        paint_sample(p, sample.width(), sample.height());
    }
    const QString png = QString::fromStdString((home.path() / "muestra.png").string());
    ASSERT_TRUE(sample.save(png, "PNG"));
    QProcess viewer;
    viewer.start("display", { "-title", "muestra-ocr", "-geometry", "+300+260", png });
    ASSERT_TRUE(viewer.waitForStarted(3000));
    // Where the window's picture is on screen.
    int x = -1, y = -1;
    for (int i = 0; i < 50 && x < 0; ++i) {
        pump_for(100);
        std::unique_ptr<QProcess> where(start("xdotool", { "search", "--onlyvisible", "--name", "muestra-ocr", "getwindowgeometry", "--shell" }));
        if (!wait(where.get(), 3000))
            continue;
        for (const QString& line : QString::fromUtf8(where->readAllStandardOutput()).split('\n')) {
            if (line.startsWith("X="))
                x = line.mid(2).toInt();
            if (line.startsWith("Y="))
                y = line.mid(2).toInt();
        }
    }
    ASSERT_GE(x, 0) << "the sample window never showed up";
    pump_for(500);
    QGuiApplication::clipboard()->setText("antes");

    overlay::prewarm();
    overlay::begin(overlay::Mode::Area, overlay::Purpose::Text);
    pump_for(400);
    const auto xdo = [](const QStringList& args) {
        std::unique_ptr<QProcess> p(start("xdotool", args));
        ASSERT_TRUE(wait(p.get(), 5000));
        pump_for(40);
    };
    xdo({ "mousemove", QString::number(x + 4), QString::number(y + 4), "mousedown", "1" });
    xdo({ "mousemove", QString::number(x + 300), QString::number(y + 90) });
    xdo({ "mousemove", QString::number(x + 616), QString::number(y + 176) });
    xdo({ "mouseup", "1" });

    const std::string expected = std::string(PAYLOAD) + "\n\n" + LINE_1 + "\n" + LINE_2;
    const std::string got = clipboard_after_recognition();
    overlay::cancel();
    viewer.kill();
    viewer.waitForFinished(2000);
    state::reset_for_tests();
    EXPECT_EQ(got, expected);
}
