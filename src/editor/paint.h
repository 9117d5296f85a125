// paint: the two drawing tools the editor needs that QPainter lacks:
// transparency layers and soft shadows.
//
// A layer collects drawing in an offscreen premultiplied image and puts it
// back into its parent in one go, so that a group of strokes and fills casts
// one shadow, is clipped once and blends once. Layers nest: a layer's painter
// can be the parent of another.
//
// Units: shadow offsets and blur lengths are device pixels of the parent
// painter (image pixels in an export); a positive dy falls downwards.
// Main thread, like every QPainter on a window; an export may run anywhere.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPoint>
#include <QRectF>
#include <QRegion>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

namespace paint {

struct Shadow {
    double dx = 0;
    double dy = 0;    // positive: downwards
    double blur = 0;  // the blur length; the Gaussian's sigma is half of it
    QColor color;     // premultiplied on use; alpha scales the whole shadow
};

// The radius of each of the three box passes that approximate a Gaussian
// blur of length `blur` (sigma = blur / 2); 0 means no blur.
std::size_t shadow_box_radius(double blur);

// Blurs one 8-bit channel in place: three horizontal then three vertical box
// passes of `radius`, everything outside the image counting as 0 (a shadow
// fades out at the edges of its padded image).
void blur_alpha(std::span<std::uint8_t> data, std::size_t width, std::size_t height, std::size_t stride, std::size_t radius);

// A layer's finished pictures, ready to be composited (again): the content
// at its device rectangle and the shadow picture under it.
struct Sprite {
    QRect rect;       // device pixels of the content; empty when nothing shows
    QImage content;   // premultiplied ARGB32
    QImage shadow;    // null without a shadow
    QRectF shadow_at; // the device rectangle the shadow picture is stretched over
};

// Composites a sprite into the painter with its clip and composition mode:
// the shadow first, then the content. The painter's state is kept.
void draw_sprite(QPainter& painter, const Sprite& sprite);

// The device rectangle a layer over `bounds` covers: cut to `within` (device
// pixels) when given, else to the bounds of the painter's clip, and to the
// device.
QRect layer_rect(const QPainter& painter, const QRectF& bounds, const std::optional<QRect>& within = std::nullopt);

// A transparency layer over `bounds` (the parent's user coordinates), cut to
// the parent's clip and device. Draw through painter(), which has the
// parent's transform, clip and render hints; end() (or the destructor)
// composites the layer into the parent with the parent's clip and
// composition mode, casting the shadow first when one is given.
class Layer {
public:
    Layer(QPainter& parent, const QRectF& bounds, std::optional<Shadow> shadow = std::nullopt);
    // A layer over a device rectangle worked out by layer_rect().
    Layer(QPainter& parent, const QRect& device_rect, std::optional<Shadow> shadow);
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;
    ~Layer();

    QPainter& painter();
    // The device rectangle the layer covers; empty when nothing can show.
    QRect device_rect() const { return m_rect; }
    void end();
    // Ends the drawing and hands over the pictures without compositing them:
    // end() is draw_sprite() of this.
    Sprite finish();

private:
    QPainter* m_parent;
    QRect m_rect;
    QImage m_image;
    std::unique_ptr<QPainter> m_painter;
    // Stands in when the layer is empty: drawing goes nowhere.
    QImage m_null_image;
    std::optional<Shadow> m_shadow;
    bool m_ended = false;
};

// Casts the shadow an opaque `shape` (the painter's user coordinates) would
// cast as a layer's content, without drawing the shape: what the layer would
// give when its content is known to be opaque exactly inside the shape.
// Nothing is drawn over `hidden` (device pixels), where the shape's own
// content will cover the shadow.
void draw_shadow(QPainter& painter, const QPainterPath& shape, const Shadow& shadow, const QRegion& hidden);

// The shadow picture of a premultiplied ARGB32 image: its alpha, padded on
// every side by `pad` pixels, blurred and tinted; with `reduce` k above 1 at
// 1/k of the resolution (each pixel the mean of a k × k box, the blur radius
// divided by k), to be drawn k times larger. Exposed for tests.
QImage shadow_image(const QImage& content, const Shadow& shadow, int pad, int reduce = 1);

} // namespace paint
