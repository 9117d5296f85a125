// The after-capture card against one 60 Hz frame: show_card of a 5120×2880
// capture (it must not wait for anything full-sized), a repaint of the card,
// and show_card until the panel is on screen, beside the floor of that last
// one: an empty window of the card's size, with the card's window flags and
// (override-redirect) without the window manager, made and shown until mapped. Run
// inside scripts/x-session; with --smoke (CTest, offscreen) a small capture,
// one run each.
#include "bench_common.h"
#include "cards/card_layout.h"
#include "cards/quick_access.h"
#include "platform/panels.h"

#include <QApplication>
#include <QPainter>
#include <QWindow>

#include <cstdio>

namespace {

constexpr double FRAME_MS = 1000.0 / 60;

QImage capture_like(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(240, 240, 240));
    QPainter p(&image);
    for (int y = 0; y < h; y += 64)
        p.fillRect(0, y, w, 24, QColor(30 + y % 200, 90, 160));
    return image;
}

double ms_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

bool exposed(const QWidget* w)
{
    return w->windowHandle() && w->windowHandle()->isExposed();
}

// From making an empty window (its native window included, as show_card
// makes the card's) to its first expose.
double empty_window_mapped(double height, bool managed)
{
    const auto t0 = std::chrono::steady_clock::now();
    QWidget w;
    if (managed)
        platform::make_panel(&w, 25, platform::Mouse::Accepts);
    else
        w.setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | Qt::BypassWindowManagerHint);
    w.setGeometry(40, 40, int(quick_access::CARD_WIDTH), int(height));
    w.winId();
    w.show();
    while (!exposed(&w) && ms_since(t0) < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 1);
    const double ms = ms_since(t0);
    w.hide();
    for (int k = 0; k < 10; ++k)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    return ms;
}

} // namespace

int main(int argc, char** argv)
{
    const bool smoke = bench::smoke(argc, argv);
    QApplication app(argc, argv);
    const QImage image = smoke ? capture_like(512, 288) : capture_like(5120, 2880);
    const int runs = smoke ? 1 : 20;

    std::vector<double> show, mapped, repaint, bare_managed, bare_override;
    const double card_h = quick_access::card_height(image.width(), image.height());
    for (int i = 0; i < runs; ++i) {
        bare_managed.push_back(empty_window_mapped(card_h, true));
        bare_override.push_back(empty_window_mapped(card_h, false));
        auto t0 = std::chrono::steady_clock::now();
        quick_access::show_card(image, quick_access::CardKind::Image, std::nullopt, std::nullopt, std::nullopt, 2.0);
        show.push_back(ms_since(t0));
        VistropeQuickCard* card = quick_access::cards().back();
        while (!exposed(card) && ms_since(t0) < 5000)
            QApplication::processEvents(QEventLoop::AllEvents, 1);
        mapped.push_back(ms_since(t0));
        QApplication::processEvents();
        t0 = std::chrono::steady_clock::now();
        card->repaint();
        repaint.push_back(ms_since(t0));
        card->close();
        for (int k = 0; k < 30; ++k)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    const auto s = bench::summarize(show), m = bench::summarize(mapped), r = bench::summarize(repaint);
    const auto bm = bench::summarize(bare_managed), bo = bench::summarize(bare_override);
    std::printf("card of a %dx%d capture (%s), medians of %d, %s:\n", image.width(), image.height(),
        qPrintable(QGuiApplication::platformName()), runs, bench::load().c_str());
    std::printf("  show_card returns     %.3f ms -> %.3f frame (goal <= 0.5)\n", s.median_ms, s.median_ms / FRAME_MS);
    std::printf("  card repaint          %.3f ms -> %.3f frame (goal <= 0.05)\n", r.median_ms, r.median_ms / FRAME_MS);
    std::printf("  show_card to mapped   %.3f ms -> %.3f frame (goal <= 1); p99 %.3f ms\n", m.median_ms, m.median_ms / FRAME_MS,
        m.p99_ms);
    std::printf("  floor: empty %gx%g panel with the card's flags, made and shown to mapped %.3f ms -> %.3f frame; card/floor %.2f\n",
        quick_access::CARD_WIDTH, card_h, bm.median_ms, bm.median_ms / FRAME_MS, m.median_ms / bm.median_ms);
    std::printf("  floor: empty override-redirect window (no window manager), made and shown to mapped %.3f ms -> %.3f frame\n",
        bo.median_ms, bo.median_ms / FRAME_MS);
    std::printf("  %s\n", bench::load().c_str());
    return 0;
}
