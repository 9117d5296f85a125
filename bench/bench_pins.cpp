// A pinned 3840×2160 capture at its starting zoom against a QLabel that
// scales the same picture to the same size: first paint (beside its floor,
// the smooth scale alone), repaint, and one
// wheel step (resize and repaint), beside the wheel step's floor: an empty
// panel of the pin's kind and size resized and repainted alike. Run inside
// scripts/x-session for the real X server; with --smoke (CTest, offscreen) a
// small picture, one run each.
#include "bench_common.h"
#include "cards/pin.h"
#include "platform/panels.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QTimer>
#include <QWindow>

#include <cstdio>

namespace {

QImage screenshot_like(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(236, 236, 236));
    QPainter p(&image);
    for (int y = 40; y < h; y += 90) {
        p.fillRect(60, y, w / 2, 28, QColor(40, 90, 160));
        p.fillRect(w / 2 + 100, y + 10, w / 4, 18, QColor(60, 60, 60));
    }
    return image;
}

double ms_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Until the window manager has mapped the window, a repaint draws nothing.
void wait_exposed(QWidget* w)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!(w->windowHandle() && w->windowHandle()->isExposed()) && std::chrono::steady_clock::now() < until)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    QApplication::processEvents();
}

} // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::smoke(argc, argv);
    QApplication app(argc, argv);
    const QImage image = smoke ? screenshot_like(384, 216) : screenshot_like(3840, 2160);
    const int runs = smoke ? 1 : 15;

    std::vector<double> scale_alone, pin_first, label_first, pin_repaint, label_repaint, pin_wheel, label_wheel, empty_wheel;
    for (int i = 0; i < runs; ++i) {
        pin::pin(image, 1.0);
        VistropePinPanel* panel = pin::pins().back();
        VistropePinView* view = panel->view();
        // The first paint, before anything was kept, into an offscreen picture.
        QPixmap first(view->size());
        auto t0 = std::chrono::steady_clock::now();
        view->render(&first);
        pin_first.push_back(ms_since(t0));
        wait_exposed(panel);
        t0 = std::chrono::steady_clock::now();
        view->repaint();
        pin_repaint.push_back(ms_since(t0));
        t0 = std::chrono::steady_clock::now();
        view->set_zoom(view->record().zoom * 1.05);
        view->repaint();
        pin_wheel.push_back(ms_since(t0));

        // What both first paints must do at least: the smooth scale alone.
        t0 = std::chrono::steady_clock::now();
        const QImage scaled = image.scaled(view->size() * view->devicePixelRatioF(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        scale_alone.push_back(ms_since(t0));

        QLabel label;
        label.setWindowFlags(Qt::FramelessWindowHint);
        label.setScaledContents(true);
        label.setPixmap(QPixmap::fromImage(image));
        label.setGeometry(panel->geometry());
        QPixmap label_first_paint(label.size());
        t0 = std::chrono::steady_clock::now();
        label.render(&label_first_paint);
        label_first.push_back(ms_since(t0));
        label.show();
        wait_exposed(&label);
        t0 = std::chrono::steady_clock::now();
        label.repaint();
        label_repaint.push_back(ms_since(t0));
        t0 = std::chrono::steady_clock::now();
        label.resize(label.size() * 1.05);
        label.repaint();
        label_wheel.push_back(ms_since(t0));

        QWidget empty; // the pin's kind of window: its level, its flags
        platform::make_panel(&empty, 3, platform::Mouse::Accepts, platform::Focus::Accepts);
        empty.setGeometry(panel->geometry());
        empty.show();
        wait_exposed(&empty);
        t0 = std::chrono::steady_clock::now();
        empty.resize(empty.size() * 1.05);
        empty.repaint();
        empty_wheel.push_back(ms_since(t0));

        QTimer::singleShot(0, [] { pin::close_all(); });
        QApplication::processEvents();
        QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    const auto pf = bench::summarize(pin_first), lf = bench::summarize(label_first), sa = bench::summarize(scale_alone);
    const auto pr = bench::summarize(pin_repaint), lr = bench::summarize(label_repaint);
    const auto pw = bench::summarize(pin_wheel), lw = bench::summarize(label_wheel), ew = bench::summarize(empty_wheel);
    std::printf("pin of %dx%d at its starting zoom (%s), medians of %d, %s:\n", image.width(), image.height(),
        qPrintable(QGuiApplication::platformName()), runs, bench::load().c_str());
    std::printf("  first paint: pin %.3f ms, QLabel %.3f ms -> pin/QLabel %.2f (goal <= 1.0)\n", pf.median_ms, lf.median_ms,
        pf.median_ms / lf.median_ms);
    std::printf("  first paint floor: the smooth scale alone (QImage::scaled) %.3f ms; pin/floor %.2f, QLabel/floor %.2f\n",
        sa.median_ms, pf.median_ms / sa.median_ms, lf.median_ms / sa.median_ms);
    std::printf("  repaint:     pin %.3f ms, QLabel %.3f ms -> pin/QLabel %.2f (goal <= 1.2)\n", pr.median_ms, lr.median_ms,
        pr.median_ms / lr.median_ms);
    std::printf("  wheel step:  pin %.3f ms, QLabel %.3f ms -> pin/QLabel %.2f (goal <= 1.0); / 16.7 ms frame = %.2f (goal <= 0.5)\n",
        pw.median_ms, lw.median_ms, pw.median_ms / lw.median_ms, pw.median_ms / 16.7);
    std::printf("  wheel step floor: an empty panel of the pin's size resized and repainted %.3f ms -> / 16.7 ms frame = %.2f; "
                "pin/floor %.2f\n",
        ew.median_ms, ew.median_ms / 16.7, pw.median_ms / ew.median_ms);
    std::printf("  %s\n", bench::load().c_str());
    return 0;
}
