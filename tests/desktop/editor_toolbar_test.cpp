// The editor's drag handle as a user drags it: a press and a drag from
// "Arrastrar" onto another program's window hands over the file URL in this
// user's own temporary folder and the PNG bytes, and the file is the export.
// "Guardar como…" clicked and a name typed saves under that name with .png
// added; the same name again asks first, and Escape leaves the file alone.
// The toolbar's controls clicked: a tool, a colour and a size change what a
// saved file shows, the history buttons step back and forth, "Fondo" frames
// the picture, "Copiar" puts the same picture on the clipboard.
#include "editor/mod.h"
#include "editor/views.h"
#include "editor/editing.h"
#include "editor/window.h"

#include "base/config.h"
#include "base/state.h"
#include "base/util_queue.h"

#include "qt_wait.h"
#include "test_util.h"
#include "x_tools.h"

#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWindow>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

namespace {

using testing_support::run_serving;
using testing_support::wait_until;

QString n(int v) { return QString::number(v); }

// The drop lands in a window of another process, as on any desktop.
class DropTargetProcess {
public:
    DropTargetProcess(QRect at, const std::filesystem::path& png_out)
    {
        m_process.start(VISTROPE_DROP_TARGET_WINDOW, { n(at.x()), n(at.y()), n(at.width()), n(at.height()),
                                                         QString::fromStdString(png_out.string()) });
    }
    ~DropTargetProcess()
    {
        m_process.kill(); // the child this test started
        m_process.waitForFinished(5000);
    }
    // The next line it prints, waiting for it while serving this process's windows.
    QByteArray line(int ms)
    {
        wait_until([&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, ms);
        return m_process.readLine().trimmed();
    }

private:
    QProcess m_process;
};

// An editor on a plain picture, shown at (40, 40); `drawn` waits until its
// window is on screen.
auto shown_editor(QSize size, QColor fill)
{
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(fill);
    auto controller = editor::build(picture, 1);
    auto* window = controller->window();
    window->move(40, 40);
    window->show();
    window->activateWindow();
    return controller;
}

bool drawn(const QWidget* window)
{
    return wait_until([&] { return window->windowHandle() && window->windowHandle()->isExposed(); });
}

TEST(EditorToolbarDesktop, DraggingTheHandleDropsTheAnnotatedPictureAsAFile)
{
    namespace fs = std::filesystem;
    testing_support::TempHome home;
    testing_support::ScopedEnv tmp("TMPDIR", home.path().string());
    auto controller = shown_editor({ 300, 200 }, QColor(40, 160, 90));
    auto* window = controller->window();
    const QRect area(1000, 300, 300, 300);
    const fs::path dropped_png = home.path() / "soltado.png";
    DropTargetProcess target(area, dropped_png);
    ASSERT_EQ(target.line(10000), "listo");
    ASSERT_TRUE(drawn(window));
    testing_support::pump_for(300);

    const QWidget* handle = window->toolbar().drag;
    ASSERT_TRUE(handle);
    const QPoint c = handle->mapToGlobal(handle->rect().center());
    const QPoint t = area.center();
    run_serving("xdotool", { "mousemove", n(c.x()), n(c.y()), "mousedown", "1", "sleep", "0.2", "mousemove",
                               n(c.x() + 10), n(c.y() - 10), "sleep", "0.3", "mousemove", n(t.x()), n(t.y()), "sleep",
                               "0.3", "mousemove", n(t.x() + 5), n(t.y() + 5), "sleep", "0.3", "mouseup", "1" });
    std::vector<QUrl> urls;
    for (QByteArray line = target.line(8000); line.startsWith("url "); line = target.line(3000))
        urls.push_back(QUrl::fromEncoded(line.mid(4)));
    ASSERT_EQ(urls.size(), 1u);
    const fs::path file = urls.front().toLocalFile().toStdString();
    EXPECT_EQ(file.parent_path().filename(), "Vistrope");
    EXPECT_EQ(file.parent_path().parent_path().parent_path(), home.path());
    const std::string png = testing_support::read_file(dropped_png);
    EXPECT_EQ(png, testing_support::read_file(file));
    const QImage dropped = QImage::fromData(QByteArray::fromStdString(png), "PNG");
    EXPECT_EQ(dropped.size(), QSize(300, 200));
    EXPECT_EQ(dropped.pixelColor(150, 100), QColor(40, 160, 90));
    window->close();
    testing_support::pump_for(50);
}

// A temporary home whose capture folder is the settings' save_dir.
struct CaptureFolder {
    testing_support::TempHome home;
    std::filesystem::path folder = home.path() / "capturas";
    CaptureFolder()
    {
        std::filesystem::create_directories(folder);
        state::reset_for_tests();
        config::Config cfg;
        cfg.save_dir = folder.string();
        state::set_config(std::make_shared<const config::Config>(cfg));
    }
};

void press_keys(const QString& keys) { run_serving("xdotool", { "key", "--delay", "80", keys }); }

TEST(EditorToolbarDesktop, SaveAsWritesTheTypedNameAndAsksBeforeReplacingIt)
{
    namespace fs = std::filesystem;
    const CaptureFolder capture;
    const fs::path& folder = capture.folder;
    {
        auto controller = shown_editor({ 300, 200 }, QColor(200, 60, 60));
        auto* window = controller->window();
        ASSERT_TRUE(drawn(window));
        testing_support::pump_for(300);
        const QWidget* button = window->toolbar().save_as;
        const QPoint b = button->mapToGlobal(button->rect().center());
        auto open_dialog = [&] {
            run_serving("xdotool", { "mousemove", n(b.x()), n(b.y()), "click", "1" });
            QFileDialog* dialog = nullptr;
            wait_until([&] {
                dialog = window->findChild<QFileDialog*>();
                return dialog && dialog->isVisible() && QApplication::focusWidget()
                    && dialog->isAncestorOf(QApplication::focusWidget());
            });
            testing_support::pump_for(300);
            return dialog;
        };
        ASSERT_TRUE(open_dialog());
        run_serving("xdotool", { "type", "--delay", "60", "prueba" });
        press_keys("Return");
        const fs::path saved = folder / "prueba.png";
        ASSERT_TRUE(wait_until([&] { return QImage(QString::fromStdString(saved.string()), "PNG").width() == 300; }, 8000));
        EXPECT_EQ(QImage(QString::fromStdString(saved.string())).pixelColor(150, 100), QColor(200, 60, 60));
        const std::string first = testing_support::read_file(saved);

        // The same name again: the question comes; Escape keeps the file.
        // The question runs its own loop inside the dialog's, so one xdotool
        // run answers it while a timer notes what it asked.
        ASSERT_TRUE(open_dialog());
        run_serving("xdotool", { "type", "--delay", "60", "prueba" });
        QString asked;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
                asked = box->text();
        });
        watch.start(50);
        run_serving("xdotool", { "key", "Return", "sleep", "1.5", "key", "Escape", "sleep", "0.5" });
        watch.stop();
        EXPECT_TRUE(asked.contains(QStringLiteral("prueba.png"))) << asked.toStdString();
        EXPECT_FALSE(qobject_cast<QMessageBox*>(QApplication::activeModalWidget()));
        press_keys("Escape");
        EXPECT_TRUE(wait_until([&] { return !window->findChild<QFileDialog*>(); }));
        util::wait_for_background();
        testing_support::pump_for(200);
        EXPECT_EQ(testing_support::read_file(saved), first);
        window->close();
        testing_support::pump_for(50);
    }
    util::wait_for_background();
    state::reset_for_tests();
}

void click_at(const QWidget* w)
{
    const QPoint c = w->mapToGlobal(w->rect().center());
    run_serving("xdotool", { "mousemove", n(c.x()), n(c.y()), "click", "1" });
    testing_support::pump_for(100);
}

TEST(EditorToolbarDesktop, TheControlsChangeWhatIsSavedAndCopied)
{
    namespace fs = std::filesystem;
    const CaptureFolder capture;
    const fs::path& folder = capture.folder;
    {
        auto controller = shown_editor({ 400, 300 }, QColor(230, 230, 230));
        auto* window = controller->window();
        const auto& bar = window->toolbar();
        ASSERT_TRUE(drawn(window));
        testing_support::pump_for(300);
        auto& editing = controller->editor()->editing();
        auto screen = [&](double x, double y) {
            const auto v = editing.mapping().to_view({ x, y });
            return window->overlay()->mapToGlobal(QPointF(v.x, v.y)).toPoint();
        };
        // Each save is a new file; the newest one, decoded.
        std::size_t saves = 0;
        auto save = [&] {
            click_at(bar.save);
            ++saves;
            QImage out;
            wait_until([&] {
                std::vector<fs::path> files;
                for (const auto& e : fs::directory_iterator(folder))
                    files.push_back(e.path());
                if (files.size() != saves)
                    return false;
                std::sort(files.begin(), files.end(), [](const fs::path& a, const fs::path& b) {
                    return fs::last_write_time(a) < fs::last_write_time(b);
                });
                out = QImage(QString::fromStdString(files.back().string()), "PNG");
                return !out.isNull();
            }, 8000);
            return out.convertToFormat(QImage::Format_RGB32);
        };

        // The rectangle tool, a drag: a red outline, selected.
        click_at(bar.tools->segment(2));
        const QPoint a = screen(100, 80), b = screen(300, 220);
        run_serving("xdotool", { "mousemove", n(a.x()), n(a.y()), "mousedown", "1", "mousemove", n(a.x() + 20),
                                   n(a.y() + 20), "mousemove", n(b.x()), n(b.y()), "mouseup", "1" });
        testing_support::pump_for(200);
        const QImage red = save();
        ASSERT_EQ(red.size(), QSize(400, 300));
        EXPECT_EQ(red.pixelColor(100, 150), QColor(255, 59, 48));

        // "Azul" recolours the selected rectangle; the undo button brings the red back.
        click_at(bar.colors->segment(4));
        EXPECT_EQ(save().pixelColor(100, 150), QColor(0, 122, 255));
        click_at(bar.history->segment(0));
        EXPECT_EQ(save().pixelColor(100, 150), QColor(255, 59, 48));
        auto width_at = [](const QImage& image) {
            int w = 0;
            for (int x = 85; x < 115; ++x)
                w += image.pixelColor(x, 150) == QColor(0, 122, 255);
            return w;
        };
        click_at(bar.history->segment(1));
        const int medium = width_at(save());
        EXPECT_GE(medium, 3);
        // "Grueso": a thicker blue outline.
        click_at(bar.sizes->segment(2));
        EXPECT_GT(width_at(save()), medium);

        // "Fondo": 28 pixels of gradient frame each way, the corners not the picture's grey.
        click_at(bar.background);
        const QImage framed = save();
        EXPECT_EQ(framed.size(), QSize(456, 356));
        EXPECT_NE(framed.pixelColor(2, 2), QColor(230, 230, 230));
        EXPECT_NE(framed.pixelColor(2, 2), framed.pixelColor(453, 353)); // a gradient

        // "Copiar": the same picture on the clipboard.
        click_at(bar.copy);
        QImage copied;
        wait_until([&] {
            copied = QImage::fromData(testing_support::xclip_png(), "PNG").convertToFormat(QImage::Format_RGB32);
            return !copied.isNull();
        }, 8000);
        EXPECT_EQ(copied, framed);
        window->close();
        testing_support::pump_for(50);
    }
    util::wait_for_background();
    state::reset_for_tests();
}

} // namespace
