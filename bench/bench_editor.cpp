// The editor window on a 3840×2160 picture at scale 2 with 50 annotations, in
// a 1296 × 810 window, against a 16.7 ms frame: pointer moves drawing a
// rectangle and moving a spotlight, each with a synchronous repaint of what
// it invalidated; undoing an applied crop to the end of its repaint, beside
// one smooth scale of the picture to the view (the floor of that repaint);
// dragging the picture out, to the drag's start, beside one export and
// encoding; and opening a window. Run inside scripts/x-session; with --smoke a
// quarter-size picture and few moves, offscreen when there is no display.
#include "bench_common.h"
#include "editor_bench_doc.h"
#include "screenshot_gen.h"

#include "editor/draw.h"
#include "editor/mod.h"
#include "editor/outputs.h"
#include "editor/render.h"
#include "editor/views.h"
#include "editor/window.h"

#include <QApplication>
#include <QDrag>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace {

constexpr double FRAME_MS = 1000.0 / 60;

void pump_until(const std::function<bool()>& done, int ms = 5000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done() && std::chrono::steady_clock::now() < until)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Paints and flushes what is marked for redrawing, now.
void repaint_now(QWidget* window) { QCoreApplication::sendPostedEvents(window, QEvent::UpdateRequest); }

void send_mouse(QWidget* overlay, QEvent::Type type, QPointF at, Qt::MouseButtons held)
{
    QMouseEvent event(type, at, overlay->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(overlay, &event);
}

void report(const char* what, const bench::Timing& t, double median_goal, double p99_goal)
{
    std::printf("  %-40s median %7.3f ms (%5.2f frame, goal <= %.2f)  p99 %7.3f ms (%5.2f frame", what, t.median_ms,
        t.median_ms / FRAME_MS, median_goal, t.p99_ms, t.p99_ms / FRAME_MS);
    if (p99_goal > 0)
        std::printf(", goal <= %.2f", p99_goal);
    std::printf(")\n");
}

// Moves the pointer `moves` times from `from` to `to` with the button held,
// each move repainted before the next; the press and release are not timed.
bench::Timing pointer_moves(QWidget* window, QWidget* overlay, QPointF from, QPointF to, int moves)
{
    send_mouse(overlay, QEvent::MouseButtonPress, from, Qt::LeftButton);
    repaint_now(window);
    std::vector<double> ms;
    for (int i = 1; i <= moves; ++i) {
        // Back and forth, so every move changes the shape.
        const double f = double(i % 200) / 200;
        const QPointF at = from + (to - from) * (i / 200 % 2 ? 1 - f : f);
        const auto t0 = std::chrono::steady_clock::now();
        send_mouse(overlay, QEvent::MouseMove, at, Qt::LeftButton);
        repaint_now(window);
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    send_mouse(overlay, QEvent::MouseButtonRelease, to, Qt::NoButton);
    repaint_now(window);
    return bench::summarize(std::move(ms));
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const bool smoke = bench::smoke(argc, argv);
    const int moves = smoke ? 50 : 1000;
    const int runs = smoke ? 1 : 9;
    const std::uint32_t w = smoke ? 960 : 3840, h = smoke ? 540 : 2160;
    const bench::Picture pic = bench::make_screenshot(w, h, false, 3);
    const QImage picture = QImage(pic.bgra.data(), int(w), int(h), int(4 * w), QImage::Format_ARGB32_Premultiplied).copy();

    auto controller = editor::build(picture, 2);
    const std::shared_ptr<editor::Editor> ed = controller->editor();
    editor::EditorWindow* window = controller->window();
    window->resize(1296, 810);
    window->show();
    pump_until([&] { return window->windowHandle() && window->windowHandle()->isExposed(); });
    QCoreApplication::processEvents();
    editor::Editing& e = ed->editing();

    // The document is made against a recording host with the same stage.
    editor_test::FakeHost host;
    host.stage = { double(window->stage()->width()), double(window->stage()->height()) };
    ed->attach_window(&host);
    e.relayout();
    bench::annotate(e, host, w);
    ed->attach_window(window);
    e.relayout();
    window->repaint();
    std::printf("editor window benchmark: %ux%u at scale 2, %zu annotations, stage %.0f × %.0f, zoom %.3f, %s%s\n", w, h,
        e.doc().annotations.size(), host.stage.w, host.stage.h, e.mapping().zoom, qPrintable(QGuiApplication::platformName()),
        smoke ? " [smoke]" : "");

    QWidget* overlay = window->overlay();
    const auto view = [&](double x, double y) {
        const auto v = e.mapping().to_view({ x * w / 3840, y * w / 3840 });
        return QPointF(v.x, v.y);
    };

    e.set_tool(editor::model::Tool::Rectangle);
    report("pointer move drawing a rectangle", pointer_moves(window, overlay, view(900, 1300), view(2600, 2000), moves), 0.35, 1);
    e.undo();

    // A spotlight moved: the whole overlay each time.
    e.set_tool(editor::model::Tool::Select);
    const QPointF spot = view(2000 + 192, 100 + 192);
    const auto spotlight = pointer_moves(window, overlay, spot, spot + QPointF(150, 90), moves);
    report("pointer move dragging a spotlight", spotlight, 0.5, 0);
    if (e.undo_stack().empty() || e.undo_stack().back() == e.doc())
        std::printf("  (the spotlight did not move: the figure above is not a spotlight drag)\n");
    // Of that, the renderer's share: the whole overlay drawn into an image.
    QImage target(window->overlay()->size(), QImage::Format_ARGB32_Premultiplied);
    const auto drawn = bench::time_runs(runs, [&] {
        target.fill(Qt::transparent);
        QPainter p(&target);
        editor::draw_overlay(*ed, p, QRectF(target.rect()));
    });
    std::printf("  %-40s median %7.3f ms (%5.2f frame)\n", "  of which drawing the overlay", drawn.median_ms, drawn.median_ms / FRAME_MS);

    // Undo of an applied crop: the stage lays out the whole picture again.
    e.set_tool(editor::model::Tool::Crop);
    send_mouse(overlay, QEvent::MouseButtonPress, view(500, 300), Qt::LeftButton);
    send_mouse(overlay, QEvent::MouseMove, view(1500, 900), Qt::LeftButton);
    send_mouse(overlay, QEvent::MouseMove, view(2500, 1500), Qt::LeftButton);
    send_mouse(overlay, QEvent::MouseButtonRelease, view(2500, 1500), Qt::NoButton);
    e.apply_crop();
    repaint_now(window);
    std::vector<double> undo_ms;
    QSize shown;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        e.undo();
        repaint_now(window);
        undo_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        shown = window->image()->size();
        e.redo();
        repaint_now(window);
    }
    const auto undo = bench::summarize(undo_ms);
    const auto floor = bench::time_runs(runs, [&] { (void)picture.scaled(shown, Qt::IgnoreAspectRatio, Qt::SmoothTransformation); });
    std::printf("  %-40s median %7.3f ms (%5.2f frame, goal <= 1)   smooth scale to %d × %d: %7.3f ms  ratio %5.2f\n",
        "undo of an applied crop, repainted", undo.median_ms, undo.median_ms / FRAME_MS, shown.width(), shown.height(),
        floor.median_ms, floor.median_ms > 0 ? undo.median_ms / floor.median_ms : 0.0);

    // Drag out: from the handle's first drag event to the drag ready to
    // start, beside one export and one PNG encoding of it alone.
    const auto drag_ready = bench::time_runs(runs, [&] {
        QDrag* drag = editor::prepare_drag(ed, window->toolbar().drag);
        if (drag && !drag->mimeData()->urls().isEmpty())
            std::filesystem::remove(drag->mimeData()->urls().front().toLocalFile().toStdString());
        delete drag;
    });
    const auto export_encode = bench::time_runs(runs, [&] {
        auto exported = editor::export_editor(*ed);
        if (exported)
            (void)editor::encode(exported->first, exported->second);
    });
    std::printf("  %-40s median %7.3f ms   export + encode alone %7.3f ms  ratio %5.2f (goal <= 1.2)\n",
        "drag out, to the drag's start", drag_ready.median_ms, export_encode.median_ms,
        export_encode.median_ms > 0 ? drag_ready.median_ms / export_encode.median_ms : 0.0);

    // Opening: from the call to the window shown (the lap "ventana del editor visible").
    std::vector<double> open_ms;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        editor::open(picture, 2);
        open_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
        editor::state().editors.back()->window()->close();
        pump_until([] { return editor::state().editors.empty(); });
    }
    const auto open = bench::summarize(open_ms);
    std::printf("  %-40s median %7.3f ms (%5.2f frames, goal <= 6)\n", "opening a window", open.median_ms, open.median_ms / FRAME_MS);
    editor::state().editors.clear();
    controller.reset();
    QCoreApplication::processEvents();
    return 0;
}
