#include "platform/screen_capture.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <vector>

namespace platform {

std::uint32_t pixels_for(double points, double scale)
{
    const double px = std::round(points * scale);
    if (!(px >= 1.0))
        return 1;
    if (px > 1'000'000'000.0)
        return 1'000'000'000u;
    return static_cast<std::uint32_t>(px);
}

PixelRect native_rect(const ShareableDisplay& display, const std::optional<RectF>& region)
{
    const std::int32_t dw = static_cast<std::int32_t>(display.pixel_width);
    const std::int32_t dh = static_cast<std::int32_t>(display.pixel_height);
    if (!region)
        return { display.native_x, display.native_y, dw, dh };
    // The screen's own pixels per point, which may differ from the scale the
    // caller asked for (the result is resampled to the requested size).
    const double sx = display.frame.w > 0 ? dw / display.frame.w : display.scale;
    const double sy = display.frame.h > 0 ? dh / display.frame.h : display.scale;
    const double x0 = std::clamp(std::round(region->x * sx), 0.0, static_cast<double>(dw));
    const double y0 = std::clamp(std::round(region->y * sy), 0.0, static_cast<double>(dh));
    const double x1 = std::clamp(std::round((region->x + region->w) * sx), 0.0, static_cast<double>(dw));
    const double y1 = std::clamp(std::round((region->y + region->h) * sy), 0.0, static_cast<double>(dh));
    if (x1 <= x0 || y1 <= y0)
        return { display.native_x, display.native_y, 0, 0 };
    return { display.native_x + static_cast<std::int32_t>(x0), display.native_y + static_cast<std::int32_t>(y0),
        static_cast<std::int32_t>(x1 - x0), static_cast<std::int32_t>(y1 - y0) };
}

std::vector<ShareableDisplay> shareable_displays()
{
    std::vector<ShareableDisplay> out;
    for (const Screen& s : screens()) {
        ShareableDisplay d;
        d.display_id = s.display_id;
        d.frame = s.frame;
        d.scale = s.scale;
        d.pixel_width = pixels_for(s.frame.w, s.scale);
        d.pixel_height = pixels_for(s.frame.h, s.scale);
        if (s.qt) {
            // Qt places screens in device-independent pixels; the X root
            // counts device pixels. With one ratio for all screens (the only
            // case X11 offers) the native origin is the logical one scaled.
            const QRect g = s.qt->geometry();
            d.native_x = static_cast<std::int32_t>(std::lround(g.x() * s.scale));
            d.native_y = static_cast<std::int32_t>(std::lround(g.y() * s.scale));
        }
        out.push_back(d);
    }
    return out;
}

int shadow_margin(double scale)
{
    return static_cast<int>(std::lround(28.0 * std::max(scale, 1.0)));
}

namespace {

// One horizontal and one vertical box pass over an 8-bit plane.
void box_blur(std::vector<float>& plane, int w, int h, int radius)
{
    if (radius <= 0)
        return;
    std::vector<float> tmp(plane.size());
    const float norm = 1.0f / static_cast<float>(2 * radius + 1);
    for (int y = 0; y < h; ++y) {
        const float* src = &plane[static_cast<size_t>(y) * w];
        float* dst = &tmp[static_cast<size_t>(y) * w];
        float acc = 0;
        for (int x = 0; x <= radius && x < w; ++x)
            acc += src[x];
        for (int x = 0; x < w; ++x) {
            dst[x] = acc * norm;
            const int out = x - radius;
            const int in = x + radius + 1;
            if (out >= 0)
                acc -= src[out];
            if (in < w)
                acc += src[in];
        }
    }
    for (int x = 0; x < w; ++x) {
        float acc = 0;
        for (int y = 0; y <= radius && y < h; ++y)
            acc += tmp[static_cast<size_t>(y) * w + x];
        for (int y = 0; y < h; ++y) {
            plane[static_cast<size_t>(y) * w + x] = acc * norm;
            const int out = y - radius;
            const int in = y + radius + 1;
            if (out >= 0)
                acc -= tmp[static_cast<size_t>(out) * w + x];
            if (in < h)
                acc += tmp[static_cast<size_t>(in) * w + x];
        }
    }
}

} // namespace

QImage with_window_shadow(const QImage& image, double scale)
{
    if (image.isNull())
        return image;
    const QImage src = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int m = shadow_margin(scale);
    const int drop = static_cast<int>(std::lround(10.0 * std::max(scale, 1.0)));
    const int w = src.width() + 2 * m;
    const int h = src.height() + 2 * m;
    std::vector<float> alpha(static_cast<size_t>(w) * h, 0.0f);
    for (int y = 0; y < src.height(); ++y) {
        const int ty = y + m + drop;
        if (ty >= h)
            break;
        const auto* row = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        float* dst = &alpha[static_cast<size_t>(ty) * w + m];
        for (int x = 0; x < src.width(); ++x)
            dst[x] = static_cast<float>(qAlpha(row[x]));
    }
    // Three box passes approximate a Gaussian with sigma about m / 3.
    const int radius = std::max(1, m / 3);
    for (int i = 0; i < 3; ++i)
        box_blur(alpha, w, h, radius);
    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    constexpr float STRENGTH = 0.45f;
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        const float* a = &alpha[static_cast<size_t>(y) * w];
        for (int x = 0; x < w; ++x)
            row[x] = qRgba(0, 0, 0, static_cast<int>(std::lround(std::clamp(a[x] * STRENGTH, 0.0f, 255.0f))));
    }
    QPainter painter(&out);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.drawImage(m, m, src);
    painter.end();
    return out;
}

} // namespace platform
