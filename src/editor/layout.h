// editor: where the image sits in the window. The view mapping every pointer
// and drawing conversion uses, the stage layout that fits the output into the
// stage, and the window's first content size. Pure: no toolkit types.
//
// View coordinates are the overlay's own points, top-left origin, y downwards;
// image coordinates are image pixels (see editor/model.h).
#pragma once

#include "editor/model.h"

#include <optional>
#include <vector>

namespace editor {

// How image pixels map to view points: v = offset + (p − canvas origin) × zoom.
struct ViewMapping {
    model::Rect source;  // the output's part of the image: the crop or the whole image
    model::Rect canvas;  // the source grown by the frame margin when the frame is on
    model::Point offset; // where the canvas origin lies in the view (points)
    double zoom = 1.0;   // view points per image pixel
    bool operator==(const ViewMapping&) const = default;

    model::Point to_view(model::Point p) const;
    model::Point to_image(model::Point v) const;
    model::Rect to_view_rect(const model::Rect& r) const;
};

// What the stage layout decides; the window places its views from it.
struct Layout {
    ViewMapping mapping;
    double corner_radius = 0; // of the clip view, in points
    model::Rect clip_frame;   // the source area on screen, in stage points
    model::Rect image_frame;  // the whole image inside the clip view, in clip points
    bool image_hidden = false; // with the frame the stage draws the image itself
    bool operator==(const Layout&) const = default;
};

// Fits the document's output into a stage of `stage` points: never above one
// image pixel per device pixel, 28 points free on each side, zoom at least
// 0.01, centred. In the Crop tool the whole image shows, without the frame.
// `scale` is the editor's (normalised) scale; image size in pixels.
Layout stage_layout(model::Size stage, model::Size image, const model::Doc& doc, bool crop_tool, double scale);

// The editor window's first content size in points, for an image of
// `image_px` pixels at `scale`, a toolbar that needs `toolbar_min_width`
// points and the main screen's visible frame (none: 1440 × 900).
model::Size window_content_size(model::Size image_px, double scale, double toolbar_min_width,
    std::optional<model::Size> visible_frame);
// The window's minimum content width for that toolbar (the minimum height is 420).
double window_min_width(double toolbar_min_width);

// Where a window of `size` opens in the `visible` frame (top-left origin):
// centred, unless that covers one of `keep_clear` (the after-capture cards).
// Then it is centred in the wider free band left or right of them, narrowed
// to the band down to `min_width`; where no band is that wide it stays centred.
model::Rect window_frame(model::Rect visible, model::Size size, double min_width,
    const std::vector<model::Rect>& keep_clear);

} // namespace editor
