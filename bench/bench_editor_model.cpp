// The editor's hot paths on a heavy document (500 annotations: 100 pencil
// strokes of 1,000 points, texts, shapes, counters, spotlights): one drag
// event extending a stroke and one press on empty space, each against the
// 16.7 ms frame interval; one history checkpoint against a memcpy of the
// document's bytes measured in the same run; undo/redo alternations against
// one checkpoint and the memcpy.
#include "bench_common.h"
#include "editor/editing.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

using editor::model::Point;
using editor::model::Rect;
using editor::model::Size;

constexpr double FRAME_MS = 1000.0 / 60;

// A window that does nothing: the editing core's own cost is measured.
struct QuietHost final : editor::Host {
    bool has_window() const override { return true; }
    void invalidate(const Rect&) override { }
    void invalidate_all() override { }
    void show_controls(const editor::Controls& c) override { sink += c.status.size(); }
    Size stage_size() const override { return { 1600, 1000 }; }
    void apply_layout(const editor::Layout&) override { }
    void focus_overlay() override { }
    void set_cursor(editor::Cursor) override { }
    void open_text_field(std::string_view, const editor::model::Color&, const editor::TextFieldFrame&) override { }
    void place_text_field(const editor::TextFieldFrame&) override { }
    void recolor_text_field(const editor::model::Color&) override { }
    std::string text_field_text() const override { return {}; }
    void close_text_field() override { }
    Size measure_text(std::string_view text, int, double, double) override { return { 12.0 * double(text.size()), 36 }; }
    void purge_effects(std::span<const std::uint64_t>) override { }
    void schedule_status_expiry(std::uint64_t) override { }
    std::size_t sink = 0;
};

struct Heavy {
    editor::model::Doc doc;
    std::size_t bytes = 0; // what the annotations hold, heap included
};

Heavy heavy_doc(double w, double h, int strokes, int points)
{
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> ux(0, w), uy(0, h), step(-4, 4);
    Heavy out;
    std::uint64_t id = 1'000'000; // far above the ids the editor hands out
    auto add = [&](editor::model::Geom g, int kind) {
        out.doc.annotations.push_back({ std::move(g), id++, editor::model::PALETTE[id % 8].color, std::uint8_t(id % 3), std::uint8_t(kind) });
        out.bytes += sizeof(editor::model::Annotation);
    };
    for (int s = 0; s < strokes; ++s) {
        std::vector<Point> pts;
        Point p { ux(rng), uy(rng) };
        for (int i = 0; i < points; ++i) {
            pts.push_back(p);
            p = { std::clamp(p.x + step(rng), 0.0, w), std::clamp(p.y + step(rng), 0.0, h) };
        }
        out.bytes += pts.size() * sizeof(Point);
        add(editor::model::Stroke { editor::model::StrokePoints(std::move(pts)) }, s % 2 ? 8 : 9);
    }
    for (int i = 0; i < 100; ++i) {
        std::string text = "Nota número " + std::to_string(i) + " sobre la captura";
        out.bytes += text.size();
        add(editor::model::Text { text, { ux(rng), uy(rng) }, { 300, 40 }, 400 }, 6);
    }
    const int shape_kinds[] = { 1, 2, 3, 4, 5, 10, 11 };
    for (int i = 0; i < 150; ++i) {
        const Point a { ux(rng), uy(rng) };
        add(editor::model::TwoPoint { a, { a.x + 80, a.y + 50 } }, shape_kinds[i % 7]);
    }
    for (int i = 0; i < 100; ++i)
        add(editor::model::Counter { { ux(rng), uy(rng) }, std::uint32_t(i + 1) }, 7);
    for (int i = 0; i < 50; ++i) {
        const Point a { ux(rng), uy(rng) };
        add(editor::model::TwoPoint { a, { a.x + 60, a.y + 60 } }, 12);
    }
    return out;
}

// An empty spot inside as many strokes' boxes as possible: a press there
// reaches the segment tests of those strokes.
Point empty_spot(const editor::model::Doc& doc, double w, double h, double tol, double scale, int& boxes)
{
    Point best { -1, -1 };
    boxes = -1;
    for (double y = 5; y < h; y += 37)
        for (double x = 5; x < w; x += 41) {
            if (doc.hit({ x, y }, tol, scale))
                continue;
            int n = 0;
            for (const auto& a : doc.annotations)
                if (std::holds_alternative<editor::model::Stroke>(a.geom) && a.bounds(scale).contains({ x, y }))
                    ++n;
            if (n > boxes) {
                boxes = n;
                best = { x, y };
            }
        }
    return best;
}

void install(editor::Editing& ed, editor::model::Doc doc)
{
    ed.push_undo(std::move(doc));
    ed.undo(); // the pushed document becomes the current one
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = bench::smoke(argc, argv);
    const double W = 3000, H = 2000;
    const Heavy heavy = heavy_doc(W, H, quick ? 10 : 100, quick ? 100 : 1000);
    QuietHost host;
    editor::Editing ed { host, int(W), int(H), 2.0 };
    ed.relayout();
    install(ed, heavy.doc);
    const double zoom = ed.mapping().zoom;
    auto view = [&](Point p) { return ed.mapping().to_view(p); };

    // One press on empty space with the Select tool: the hit test over everything.
    int boxes = 0;
    const Point spot = empty_spot(ed.doc(), W, H, 5 / zoom, ed.scale(), boxes);
    ed.set_tool(editor::model::Tool::Select);
    const auto press = bench::time_runs(quick ? 10 : 2000, [&] {
        ed.mouse_down(false, 1, view(spot));
        ed.mouse_up();
    });

    // Drag events extending a new pencil stroke to 2,000 points.
    ed.set_tool(editor::model::Tool::Pencil);
    ed.mouse_down(false, 1, view({ 10, 10 }));
    std::vector<double> drag_ms;
    const int drags = quick ? 50 : 2000;
    for (int i = 1; i <= drags; ++i) {
        const Point v = view({ 10 + i * 1.4, 10 + (i % 7) * 3.0 });
        const auto t0 = std::chrono::steady_clock::now();
        ed.mouse_dragged(false, v);
        drag_ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    ed.mouse_up();
    const auto drag = bench::summarize(drag_ms);

    // A checkpoint at the history limit (each drops the oldest entry) against
    // a memcpy of as many bytes as the document holds.
    const std::size_t fill = quick ? 20 : editor::Editing::UNDO_LIMIT;
    while (ed.undo_stack().size() < fill)
        ed.checkpoint();
    const auto checkpoint = bench::time_runs(quick ? 5 : 100, [&] { ed.checkpoint(); });
    std::vector<unsigned char> src(heavy.bytes, 1), dst(heavy.bytes);
    const auto copy = bench::time_runs(quick ? 5 : 100, [&] {
        std::memcpy(dst.data(), src.data(), src.size());
        host.sink += dst[dst.size() / 2];
    });

    // 1,000 alternations of undo and redo move whole documents, never copy them.
    const int alternations = 1000;
    const auto history = bench::time_runs(quick ? 2 : 20, [&] {
        for (int i = 0; i < alternations / 2; ++i) {
            ed.undo();
            ed.redo();
        }
    });

    std::printf("editor document: %zu annotations, %.2f MB; press spot inside %d stroke boxes\n",
        heavy.doc.annotations.size(), double(heavy.bytes) / 1e6, boxes);
    std::printf("press on empty space: median %.4f ms, p99 %.4f ms = %.2f %% of a frame\n", press.median_ms,
        press.p99_ms, 100 * press.median_ms / FRAME_MS);
    std::printf("drag extending a stroke: median %.4f ms, p99 %.4f ms = %.2f %% of a frame\n", drag.median_ms,
        drag.p99_ms, 100 * drag.median_ms / FRAME_MS);
    std::printf("checkpoint: median %.3f ms; memcpy of %.2f MB: %.3f ms; checkpoint / memcpy = %.2f\n",
        checkpoint.median_ms, double(heavy.bytes) / 1e6, copy.median_ms, checkpoint.median_ms / copy.median_ms);
    std::printf("%d undo/redo alternations: %.3f ms = %.2f checkpoints = %.2f memcpy\n", alternations,
        history.median_ms, history.median_ms / checkpoint.median_ms, history.median_ms / copy.median_ms);
    return host.sink == 0 ? 1 : 0;
}
