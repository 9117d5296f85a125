// editor: what the editor draws on screen around and over the picture: the
// stage backdrop with the framed picture, the live annotations, the crop
// overlay with its hint pills, and the selection outline with its handles.
//
// Both views are top-left origin, y downwards, in view points; the painter
// may stand on a device with a pixel ratio (`dpr` device pixels a point).
// Only the dirty rectangle is drawn. Main thread.
#pragma once

#include "editor/editor.h"

#include <QImage>
#include <QPainter>
#include <QRectF>
#include <QString>

#include <optional>

namespace editor {

// The stage's framed, shadowed picture at the current zoom, drawn once per
// layout (a relayout changes the mapping and rebuilds it). The stage view owns it.
struct StageCache {
    QImage image; // the canvas at zoom × dpr, device pixels
    std::optional<ViewMapping> mapping;
    double dpr = 0;
};

// The stage: the dark backdrop, and with the frame on (outside the Crop
// tool) the gradient frame and the floating picture.
void draw_stage(Editor& editor, QPainter& painter, const QRectF& dirty, StageCache& cache, double dpr = 1);

// The overlay: the annotations inside the source (clipped round with the
// frame on), then the crop overlay in the Crop tool, or the selection.
void draw_overlay(Editor& editor, QPainter& painter, const QRectF& dirty, double dpr = 1);

// The selection outline: white, then a blue 4-on 3-off dash over it.
void dashed_rect(QPainter& painter, const QRectF& rect);

// A hint capsule centred above `anchor` (inside its top when there is no
// room above), in view points.
void draw_pill(QPainter& painter, const QString& text, const QRectF& anchor);
// Where that capsule goes for a text of `text` size.
QRectF pill_frame(QSizeF text, const QRectF& anchor);
// The pills' font: the interface font at 12 pixels, medium weight.
QFont pill_font();

// The crop hint while a crop is edited: "W × H   ·   Intro aplica · Esc cancela".
QString crop_hint(double width, double height);
// The length of the crop rectangle's corner brackets.
double corner_arm(const QRectF& crop);

} // namespace editor
