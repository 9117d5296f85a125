// The X11 capture backend against the test session's real X server.
#include "platform/screen_capture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QThread>
#include <QWidget>
#include <gtest/gtest.h>

#include <unistd.h>

#include <memory>

namespace {

// Processes events for `ms` milliseconds so the window manager and the
// compositor catch up.
void settle(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

// A window painted in four flat quadrants: red, green, blue, yellow.
class Quadrants final : public QWidget {
public:
    Quadrants() { setWindowTitle("cuadrantes"); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        const int w = width() / 2;
        const int h = height() / 2;
        p.fillRect(0, 0, w, h, QColor(255, 0, 0));
        p.fillRect(w, 0, width() - w, h, QColor(0, 255, 0));
        p.fillRect(0, h, w, height() - h, QColor(0, 0, 255));
        p.fillRect(w, h, width() - w, height() - h, QColor(255, 255, 0));
    }
};

std::unique_ptr<platform::ScreenCapture> make_backend()
{
    auto created = platform::create_x11_screen_capture();
    if (!created)
        ADD_FAILURE() << created.error();
    return created ? std::move(*created) : nullptr;
}

TEST(ScreenCaptureX11, ListsOurWindowFrontmostWithPidAndDecoratedFrame)
{
    auto backend = make_backend();
    ASSERT_TRUE(backend);
    EXPECT_TRUE(backend->capabilities().window_manager);
    Quadrants window;
    window.setGeometry(200, 150, 320, 240);
    window.show();
    window.raise();
    window.activateWindow();
    settle(400);

    auto list = backend->window_list();
    ASSERT_TRUE(list) << list.error();
    const auto id = static_cast<std::uint32_t>(window.winId());
    auto it = std::find_if(list->begin(), list->end(), [&](const auto& w) { return w.window_id == id; });
    ASSERT_NE(it, list->end());
    EXPECT_EQ(it->pid, ::getpid());
    EXPECT_EQ(it->layer, platform::layer::NORMAL);
    EXPECT_TRUE(it->on_screen);
    EXPECT_EQ(it->title, "cuadrantes");
    EXPECT_DOUBLE_EQ(it->opacity, 1.0);
    // The frame holds the decorations: at least as large as the client area.
    EXPECT_GE(it->frame.w, 320);
    EXPECT_GT(it->frame.h, 240);
    // Managed windows are listed front to back: ours was raised last.
    auto first_managed = std::find_if(list->begin(), list->end(), [](const auto& w) { return w.layer == platform::layer::NORMAL && w.on_screen; });
    EXPECT_EQ(first_managed->window_id, id);
    // The panel of the tray is a dock.
    EXPECT_TRUE(std::any_of(list->begin(), list->end(), [](const auto& w) { return w.layer == platform::layer::DOCK; }));
}

} // namespace
