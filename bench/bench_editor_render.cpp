// The editor's renderer on a 3840×2160 picture at scale 2 with 50 annotations
// about a tenth of its width: exports against clearing an image and drawing
// the picture into it (the least an export does), cold blur and pixelate
// regions against OpenCV, and one whole-stage repaint against a frame.
// Offscreen; with --smoke a quarter-size picture, one run each.
#include "bench_common.h"
#include "screenshot_gen.h"

#include "editor_bench_doc.h"
#include "editor/draw.h"

#include <QGuiApplication>
#include <QPainter>

#ifdef VISTROPE_HAVE_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

#include <cstdio>
#include <cstdlib>

namespace {

using editor::model::Point;
using editor::model::Tool;

void row(const char* what, double ours, double ref, const char* ref_name, const char* goal)
{
    std::printf("  %-34s %9.2f ms  %-30s %9.2f ms  ratio %6.2f  (%s)\n", what, ours, ref_name, ref, ref > 0 ? ours / ref : 0.0, goal);
}

} // namespace

int main(int argc, char** argv)
{
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const bool smoke = bench::smoke(argc, argv);
    const int runs = smoke ? 1 : 9;
    const std::uint32_t w = smoke ? 960 : 3840, h = smoke ? 540 : 2160;
    const bench::Picture pic = bench::make_screenshot(w, h, false, 3);
    const QImage picture = QImage(pic.bgra.data(), int(w), int(h), int(4 * w), QImage::Format_ARGB32_Premultiplied).copy();

    editor_test::FakeHost host;
    host.stage = { 1296, 714 };
    auto ed = editor::Editor::create(picture, 2);
    ed->attach_window(&host);
    editor::Editing& e = ed->editing();
    e.relayout();
    bench::annotate(e, host, w);
    std::printf("editor render benchmark: %ux%u at scale 2, %zu annotations, median of %d runs%s\n", w, h,
        e.doc().annotations.size(), runs, smoke ? " [smoke]" : "");

    // The least an export does: a zero-filled image with the picture drawn in.
    const auto base_line = bench::time_runs(runs, [&] {
        std::vector<std::uint8_t> px(std::size_t(w) * h * 4);
        QImage target(px.data(), int(w), int(h), int(4 * w), QImage::Format_ARGB32_Premultiplied);
        QPainter p(&target);
        p.drawImage(QPointF(0, 0), ed->base().image());
    });
    const auto warm = bench::time_runs(runs, [&] { (void)render::export_doc(ed->base(), e.doc(), ed->effects()); });
    row("export, warm cache", warm.median_ms, base_line.median_ms, "clear + draw picture", "goal <= 15");
    e.set_background(true);
    const auto framed = bench::time_runs(runs, [&] { (void)render::export_doc(ed->base(), e.doc(), ed->effects()); });
    row("export with frame, warm cache", framed.median_ms, base_line.median_ms, "clear + draw picture", "goal <= 25");
    e.set_background(false);

    // Cold regions of 1600 × 900 (a quarter of that in smoke runs).
    const double rw = smoke ? 400 : 1600, rh = smoke ? 225 : 900;
    const int ox = smoke ? 150 : 400, oy = smoke ? 150 : 300;
    const auto region = [&](std::uint8_t kind, std::uint8_t size) {
        return editor::model::Annotation { editor::model::TwoPoint { { double(ox), double(oy) }, { ox + rw, oy + rh } }, 1, {}, size, kind };
    };
    // The export draws in image pixels; the screen at the view's fit zoom.
    QImage scratch(int(w), int(h), QImage::Format_ARGB32_Premultiplied);
    QImage view(1296, 714, QImage::Format_ARGB32_Premultiplied);
    const editor::ViewMapping& fit = e.mapping();
    const auto cold = [&](const editor::model::Annotation& a, bool on_screen) {
        render::EffectCache cache;
        QPainter p(on_screen ? &view : &scratch);
        p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        if (on_screen) {
            p.translate(fit.offset.x - fit.canvas.x * fit.zoom, fit.offset.y - fit.canvas.y * fit.zoom);
            p.scale(fit.zoom, fit.zoom);
        }
        render::DrawCtx ctx { .painter = &p, .scale = 2, .unit = on_screen ? 2 * fit.zoom : 2, .on_screen = on_screen, .from_srgb = &ed->base().from_srgb() };
        const editor::model::Annotation items[] = { a };
        render::draw_items(ctx, ed->base(), cache, items, QRectF(0, 0, w, h), std::nullopt);
    };
    // The picture's pixels and preview, prepared in the background when an editor opens.
    (void)ed->base().preview();
    const auto blur_export = bench::time_runs(runs, [&] { cold(region(11, 2), false); });
    const auto blur_screen = bench::time_runs(runs, [&] { cold(region(11, 2), true); });
    const auto pixelate = bench::time_runs(runs, [&] { cold(region(10, 1), false); });
#ifdef VISTROPE_HAVE_OPENCV
    const std::shared_ptr<const output::Raster> raster = ed->base().raster();
    cv::Mat whole(int(h), int(w), CV_8UC4, const_cast<std::uint8_t*>(raster->pixels.data()));
    const int m = 144; // the blur's margin at radius 48
    cv::Mat grown = whole(cv::Rect(ox - m, oy - m, int(rw) + 2 * m, int(rh) + 2 * m)).clone(), a, b;
    const auto cv_blur = bench::time_runs(runs, [&] {
        cv::blur(grown, a, cv::Size(97, 97), cv::Point(-1, -1), cv::BORDER_REPLICATE);
        cv::blur(a, b, cv::Size(97, 97), cv::Point(-1, -1), cv::BORDER_REPLICATE);
        cv::blur(b, a, cv::Size(97, 97), cv::Point(-1, -1), cv::BORDER_REPLICATE);
    });
    cv::Mat part = whole(cv::Rect(ox, oy, int(rw), int(rh))), small, big;
    const auto cv_pixelate = bench::time_runs(runs, [&] {
        cv::resize(part, small, cv::Size(int(rw) / 20, int(rh) / 20), 0, 0, cv::INTER_AREA);
        cv::resize(small, big, cv::Size(int(rw), int(rh)), 0, 0, cv::INTER_NEAREST);
    });
    row("cold blur, export path", blur_export.median_ms, cv_blur.median_ms, "OpenCV 3 x blur 97x97", "goal <= 1.5");
    row("cold pixelate, cell 20", pixelate.median_ms, cv_pixelate.median_ms, "OpenCV area + nearest", "goal <= 1.2");
#else
    row("cold blur, export path", blur_export.median_ms, 0, "(OpenCV not installed)", "-");
    row("cold pixelate, cell 20", pixelate.median_ms, 0, "(OpenCV not installed)", "-");
#endif
    row("cold blur, on screen at fit zoom", blur_screen.median_ms, blur_export.median_ms, "export path", "goal <= 0.125");

    // One whole repaint of the stage and the overlay at fit zoom.
    QImage stage(1296, 714, QImage::Format_ARGB32_Premultiplied);
    editor::StageCache stage_cache;
    e.set_background(true);
    e.relayout();
    const auto repaint = bench::time_runs(runs, [&] {
        QPainter p(&stage);
        editor::draw_stage(*ed, p, QRectF(0, 0, 1296, 714), stage_cache);
        editor::draw_overlay(*ed, p, QRectF(0, 0, 1296, 714));
    });
    row("stage + overlay repaint, fit zoom", repaint.median_ms, 1000.0 / 60, "one 60 Hz frame", "goal <= 0.5");
    return 0;
}
