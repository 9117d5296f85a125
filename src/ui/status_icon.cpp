#include "ui/status_icon.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace ui {

namespace {

// The outline with its notches: the square the star is cut from.
const QPointF OUTLINE[] = { { 3.909375, 1.96875 }, { 16.03125, 1.96875 }, { 16.03125, 14.090625 }, { 14.090625, 14.090625 },
    { 14.090625, 16.03125 }, { 1.96875, 16.03125 }, { 1.96875, 3.909375 }, { 3.909375, 3.909375 } };

QPainterPath status_icon_path()
{
    QPainterPath path;
    path.setFillRule(Qt::OddEvenFill);
    // The outline: a square with notches cut from two opposite corners.
    path.moveTo(OUTLINE[0]);
    for (size_t i = 1; i < std::size(OUTLINE); ++i)
        path.lineTo(OUTLINE[i]);
    path.closeSubpath();

    // The four-pointed star, designed on a 64-unit grid; each quadratic side
    // is added as its equivalent cubic.
    constexpr double k = 0.28125;
    const QPointF anchors[] = { { 32, 12 }, { 52, 32 }, { 32, 52 }, { 12, 32 }, { 32, 12 } };
    const QPointF controls[] = { { 34.6, 29.4 }, { 34.6, 34.6 }, { 29.4, 34.6 }, { 29.4, 29.4 } };
    path.moveTo(anchors[0] * k);
    for (int i = 0; i < 4; ++i) {
        const QPointF start = anchors[i], end = anchors[i + 1], c = controls[i];
        const QPointF c1 = start + (c - start) * (2.0 / 3.0);
        const QPointF c2 = end + (c - end) * (2.0 / 3.0);
        path.cubicTo(c1 * k, c2 * k, end * k);
    }
    path.closeSubpath();

    // Two rings in the notches: a small square inside each large one.
    path.addRect(0.309375, 0.309375, 3.6, 3.6);
    path.addRect(1.265625, 1.265625, 1.6875, 1.6875);
    path.addRect(14.090625, 14.090625, 3.6, 3.6);
    path.addRect(15.046875, 15.046875, 1.6875, 1.6875);
    return path;
}

} // namespace

QImage status_icon(double scale, const QColor& tint)
{
    const int side = static_cast<int>(std::lround(18 * scale));
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(status_icon_path(), tint);
    return image;
}

QImage app_icon(double scale, const QColor& tint)
{
    QImage image = status_icon(scale, tint);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // White under the tinted icon, inside the outline only: the star shows it.
    p.setCompositionMode(QPainter::CompositionMode_DestinationOver);
    QPainterPath outline;
    outline.moveTo(OUTLINE[0]);
    for (size_t i = 1; i < std::size(OUTLINE); ++i)
        outline.lineTo(OUTLINE[i]);
    outline.closeSubpath();
    p.fillPath(outline, Qt::white);
    return image;
}

} // namespace ui
