#include "editor/layout.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace editor {

namespace {

constexpr double STAGE_PADDING = 56;  // 28 points free on each side
constexpr double TOOLBAR_ROWS = 96;   // two rows of 48 points
constexpr double MIN_HEIGHT = 420;
constexpr model::Size DEFAULT_VISIBLE { 1440, 900 };

// The largest zoom at which `length` pixels fit into `room` points; a canvas
// without extent puts no limit (and no NaN) into the zoom.
double fit(double room, double length)
{
    return length > 0 ? room / length : std::numeric_limits<double>::infinity();
}

} // namespace

model::Point ViewMapping::to_view(model::Point p) const
{
    return { offset.x + (p.x - canvas.x) * zoom, offset.y + (p.y - canvas.y) * zoom };
}

model::Point ViewMapping::to_image(model::Point v) const
{
    return { canvas.x + (v.x - offset.x) / zoom, canvas.y + (v.y - offset.y) / zoom };
}

model::Rect ViewMapping::to_view_rect(const model::Rect& r) const
{
    const model::Point o = to_view(model::Point { r.x, r.y });
    return { o.x, o.y, r.w * zoom, r.h * zoom };
}

Layout stage_layout(model::Size stage, model::Size image, const model::Doc& doc, bool crop_tool, double raw_scale)
{
    const double scale = model::normalized_scale(raw_scale);
    const model::Rect whole { 0, 0, image.w, image.h };
    model::Rect source = whole;
    double margin = 0;
    if (!crop_tool) {
        source = doc.crop.value_or(whole);
        if (doc.background)
            margin = model::frame_margin(source.w, source.h, scale);
    }
    const model::Rect canvas = source.grown(margin);
    const double zoom = std::max(std::min({ 1 / scale, fit(stage.w - STAGE_PADDING, canvas.w),
                                     fit(stage.h - STAGE_PADDING, canvas.h) }),
        0.01);
    Layout out;
    out.mapping.source = source;
    out.mapping.canvas = canvas;
    out.mapping.zoom = zoom;
    out.mapping.offset = { std::round((stage.w - canvas.w * zoom) / 2), std::round((stage.h - canvas.h * zoom) / 2) };
    out.corner_radius = doc.background && !crop_tool ? 10 * scale * zoom : 0;
    out.clip_frame = out.mapping.to_view_rect(source);
    out.image_frame = { -source.x * zoom, -source.y * zoom, image.w * zoom, image.h * zoom };
    out.image_hidden = out.corner_radius > 0;
    return out;
}

double window_min_width(double toolbar_min_width) { return std::max(toolbar_min_width, 640.0); }

model::Size window_content_size(model::Size image_px, double scale, double toolbar_min_width,
    std::optional<model::Size> visible_frame)
{
    const model::Size visible = visible_frame.value_or(DEFAULT_VISIBLE);
    const double s = model::normalized_scale(scale);
    const double min_w = window_min_width(toolbar_min_width);
    const double max_w = std::max(0.9 * visible.w, min_w);
    const double max_h = std::max(0.9 * visible.h, MIN_HEIGHT);
    return { std::clamp(image_px.w / s + STAGE_PADDING, min_w, max_w),
        std::clamp(image_px.h / s + STAGE_PADDING + TOOLBAR_ROWS, MIN_HEIGHT, max_h) };
}

model::Rect window_frame(model::Rect visible, model::Size size, double min_width,
    const std::vector<model::Rect>& keep_clear)
{
    const auto centred_in = [&](double left, double width) {
        const double w = std::min(size.w, width);
        return model::Rect { left + (width - w) / 2, visible.y + (visible.h - size.h) / 2, w, size.h };
    };
    const model::Rect centred = centred_in(visible.x, visible.w);
    const auto overlaps = [](const model::Rect& a, const model::Rect& b) {
        return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
    };
    constexpr double GAP = 12;
    double lowest = visible.x + visible.w;
    double highest = visible.x;
    bool covers = false;
    for (const model::Rect& r : keep_clear) {
        if (r.w <= 0 || r.h <= 0 || !overlaps(r, visible))
            continue;
        lowest = std::min(lowest, r.x);
        highest = std::max(highest, r.x + r.w);
        covers = covers || overlaps(r, centred);
    }
    if (!covers)
        return centred;
    const double left_band = lowest - GAP - visible.x;
    const double right_band = visible.x + visible.w - highest - GAP;
    const double band = std::max(left_band, right_band);
    if (band < std::max(min_width, 1.0))
        return centred;
    return right_band >= left_band ? centred_in(highest + GAP, right_band) : centred_in(visible.x, left_band);
}

} // namespace editor
