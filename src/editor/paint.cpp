#include "editor/paint.h"

#include "base/simd.h"
#include "base/util.h"
#include "base/util_parallel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace paint {

namespace {

// dst[c][r] = src[r][c] for a src of `rows` × `cols` bytes, in tiles.
void transpose(const std::uint8_t* src, std::size_t src_step, std::size_t rows, std::size_t cols, std::uint8_t* dst,
    std::size_t dst_step)
{
    constexpr std::size_t T = 32;
    for (std::size_t r0 = 0; r0 < rows; r0 += T)
        for (std::size_t c0 = 0; c0 < cols; c0 += T)
            for (std::size_t r = r0; r < std::min(r0 + T, rows); ++r)
                for (std::size_t c = c0; c < std::min(c0 + T, cols); ++c)
                    dst[c * dst_step + r] = src[r * src_step + c];
}

// One box pass down the columns, row by row so that memory is read in order
// and many columns are summed side by side.
VECTOR_CLONES void box_columns(const std::uint8_t* __restrict in, std::uint8_t* __restrict out, std::size_t w, std::size_t h,
    std::size_t stride, std::size_t r, float inv, std::vector<std::uint32_t>& sum_buffer)
{
    sum_buffer.assign(w, 0);
    std::uint32_t* __restrict sums = sum_buffer.data();
    // The window of row 0: rows 0 … r (rows past the end count as 0).
    for (std::size_t y = 0; y <= std::min(r, h - 1); ++y) {
        const std::uint8_t* __restrict row = in + y * stride;
        for (std::size_t x = 0; x < w; ++x)
            sums[x] += row[x];
    }
    for (std::size_t y = 0; y < h; ++y) {
        std::uint8_t* __restrict dst = out + y * stride;
        for (std::size_t x = 0; x < w; ++x)
            dst[x] = static_cast<std::uint8_t>(static_cast<float>(sums[x]) * inv + 0.5f);
        // Slide: row y + r + 1 enters, row y − r leaves.
        const std::uint8_t* __restrict add = y + r + 1 < h ? in + (y + r + 1) * stride : nullptr;
        const std::uint8_t* __restrict sub = y >= r ? in + (y - r) * stride : nullptr;
        if (add && sub) {
            for (std::size_t x = 0; x < w; ++x)
                sums[x] = sums[x] + add[x] - sub[x];
        } else if (add) {
            for (std::size_t x = 0; x < w; ++x)
                sums[x] += add[x];
        } else if (sub) {
            for (std::size_t x = 0; x < w; ++x)
                sums[x] -= sub[x];
        }
    }
}

// Below this many pixels a shadow is blurred on the calling thread alone.
constexpr std::size_t PARALLEL_PIXELS = 1 << 18;
// Columns a thread blurs together: a few cache lines across.
constexpr std::size_t STRIP = 256;

// Wide shadows are blurred at a fraction of the resolution and magnified
// smoothly: a sigma of many pixels leaves nothing finer.
int reduction(std::size_t radius)
{
    return radius >= 8 ? static_cast<int>(radius / 4) : 1;
}

int shadow_pad(std::size_t radius, int k)
{
    return (static_cast<int>(3 * radius) + 1 + k - 1) / k * k;
}

// Draws a shadow picture made at 1/k resolution for content at `rect`
// (device pixels), outside `hidden`. The painter's state is kept.
QRectF shadow_rect(const QImage& s, const QRect& rect, int pad, int k, const Shadow& shadow)
{
    return { rect.x() - pad + shadow.dx, rect.y() - pad + shadow.dy, double(s.width()) * k, double(s.height()) * k };
}

void draw_shadow_image(QPainter& p, const QImage& s, const QRectF& at, const QRegion& hidden)
{
    if (s.isNull())
        return;
    p.save();
    p.resetTransform();
    if (!hidden.isEmpty())
        p.setClipRegion(QRegion(at.toAlignedRect()).subtracted(hidden), Qt::IntersectClip);
    p.setRenderHint(QPainter::SmoothPixmapTransform, true);
    p.drawImage(at, s);
    p.restore();
}

QImage make_shadow(const QImage& content, const Shadow& shadow, int pad, int k, std::size_t blur_radius);

} // namespace

std::size_t shadow_box_radius(double blur)
{
    if (!(blur > 0))
        return 0;
    const double sigma = blur / 2;
    const double r = std::round(std::sqrt(4 * sigma * sigma + 1) / 2 - 0.5);
    return r > 0 ? static_cast<std::size_t>(std::min(r, 1000.0)) : 0;
}

void blur_alpha(std::span<std::uint8_t> data, std::size_t width, std::size_t height, std::size_t stride, std::size_t radius)
{
    if (radius == 0 || width == 0 || height == 0)
        return;
    if (stride < width || data.size() < stride * (height - 1) + width)
        util::fatal("paint::blur_alpha: vista de píxeles incoherente");
    // Column passes run many columns side by side (the compiler vectorises
    // them); the row passes are column passes over the transposed image.
    // Large layers (the frame's picture) share column strips among threads.
    const bool parallel = width * height >= PARALLEL_PIXELS;
    thread_local std::vector<std::uint8_t> t1, t2, tr; // kept: every shadowed annotation blurs one
    const std::size_t n = std::max(stride * height, width * height);
    t1.resize(std::max(t1.size(), n));
    t2.resize(std::max(t2.size(), n));
    tr.resize(std::max(tr.size(), width * height));
    std::uint8_t* const p1 = t1.data(); // this thread's buffers, shared with the workers
    std::uint8_t* const p2 = t2.data();
    std::uint8_t* const pt = tr.data();
    const auto three_passes = [&](std::uint8_t* img, std::size_t w, std::size_t h, std::size_t step) {
        const float inv = 1.0f / static_cast<float>(2 * radius + 1);
        const std::size_t strips = (w + STRIP - 1) / STRIP;
        util::parallel_for(strips, { .chunks = strips, .threads = parallel ? 0u : 1u }, [&](std::size_t from, std::size_t to) {
            std::vector<std::uint32_t> sums;
            for (std::size_t i = from; i < to; ++i) {
                const std::size_t x0 = i * STRIP, sw = std::min(STRIP, w - x0);
                box_columns(img + x0, p1 + x0, sw, h, step, radius, inv, sums);
                box_columns(p1 + x0, p2 + x0, sw, h, step, radius, inv, sums);
                box_columns(p2 + x0, img + x0, sw, h, step, radius, inv, sums);
            }
        });
    };
    three_passes(data.data(), width, height, stride);
    transpose(data.data(), stride, height, width, pt, height);
    three_passes(pt, height, width, height);
    transpose(pt, height, width, height, data.data(), stride);
}

QImage shadow_image(const QImage& content, const Shadow& shadow, int pad, int reduce)
{
    const int k = std::max(reduce, 1);
    const std::size_t radius = shadow_box_radius(shadow.blur);
    return make_shadow(content, shadow, pad, k, radius == 0 ? 0 : std::max<std::size_t>((radius + std::size_t(k) / 2) / std::size_t(k), 1));
}

namespace {

QImage make_shadow(const QImage& content, const Shadow& shadow, int pad, int k, std::size_t blur_radius)
{
    const int cw = content.width(), ch = content.height();
    // Padding and content both in reduced pixels; the content's box averages
    // are what a smooth magnification needs.
    const int kp = (pad + k - 1) / k;
    const int w = (cw + k - 1) / k + 2 * kp;
    const int h = (ch + k - 1) / k + 2 * kp;
    QImage alpha(w, h, QImage::Format_Alpha8);
    if (alpha.isNull())
        return {};
    alpha.fill(0);
    if (k == 1) {
        for (int y = 0; y < ch; ++y) {
            const auto* src = reinterpret_cast<const std::uint32_t*>(content.constScanLine(y));
            std::uint8_t* dst = alpha.scanLine(y + kp) + kp;
            for (int x = 0; x < cw; ++x)
                dst[x] = static_cast<std::uint8_t>(src[x] >> 24);
        }
    }
    std::vector<std::uint32_t> acc(std::size_t((cw + k - 1) / k));
    for (int by = 0; k > 1 && by < (ch + k - 1) / k; ++by) {
        std::fill(acc.begin(), acc.end(), 0);
        const int y0 = by * k, y1 = std::min(ch, y0 + k);
        for (int y = y0; y < y1; ++y) {
            const auto* src = reinterpret_cast<const std::uint32_t*>(content.constScanLine(y));
            for (int bx = 0, x = 0; x < cw; ++bx) {
                std::uint32_t a = 0;
                for (const int end = std::min(cw, x + k); x < end; ++x)
                    a += src[x] >> 24;
                acc[std::size_t(bx)] += a;
            }
        }
        std::uint8_t* dst = alpha.scanLine(by + kp) + kp;
        const std::uint32_t area = std::uint32_t(k * k);
        for (std::size_t i = 0; i < acc.size(); ++i)
            dst[i] = static_cast<std::uint8_t>((acc[i] + area / 2) / area);
    }
    blur_alpha({ alpha.bits(), static_cast<std::size_t>(alpha.sizeInBytes()) }, std::size_t(w), std::size_t(h),
        std::size_t(alpha.bytesPerLine()), blur_radius);

    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return {};
    // The premultiplied tint for each blurred alpha: every channel scaled by
    // that alpha and the colour's own.
    const QColor c = shadow.color.toRgb();
    const double tint[4] = { c.blueF(), c.greenF(), c.redF(), 1.0 };
    std::array<std::uint32_t, 256> lut {};
    for (int a = 0; a < 256; ++a)
        for (int i = 0; i < 4; ++i)
            lut[std::size_t(a)] |= std::uint32_t(std::lround(tint[i] * c.alphaF() * a)) << (8 * i);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* src = alpha.constScanLine(y);
        auto* dst = reinterpret_cast<std::uint32_t*>(out.scanLine(y));
        for (int x = 0; x < w; ++x)
            dst[x] = lut[src[x]];
    }
    return out;
}

} // namespace

QRect layer_rect(const QPainter& p, const QRectF& bounds, const std::optional<QRect>& within)
{
    QRect r = p.transform().mapRect(bounds).toAlignedRect();
    if (within)
        r &= *within;
    else if (p.hasClipping())
        r &= p.transform().mapRect(p.clipBoundingRect()).toAlignedRect();
    if (const QPaintDevice* dev = p.device())
        r &= QRect(0, 0, dev->width() * int(dev->devicePixelRatio()), dev->height() * int(dev->devicePixelRatio()));
    return r;
}

void draw_sprite(QPainter& p, const Sprite& sprite)
{
    if (sprite.rect.isEmpty())
        return;
    p.save();
    p.resetTransform();
    draw_shadow_image(p, sprite.shadow, sprite.shadow_at, QRegion());
    p.drawImage(sprite.rect.topLeft(), sprite.content);
    p.restore();
}

Layer::Layer(QPainter& parent, const QRectF& bounds, std::optional<Shadow> shadow)
    : Layer(parent, layer_rect(parent, bounds), std::move(shadow))
{
}

Layer::Layer(QPainter& parent, const QRect& device_rect, std::optional<Shadow> shadow)
    : m_parent(&parent)
    , m_rect(device_rect)
    , m_shadow(std::move(shadow))
{
    if (!m_rect.isEmpty())
        m_image = QImage(m_rect.size(), QImage::Format_ARGB32_Premultiplied);
    if (m_image.isNull()) {
        // Nothing can show: draw into a pixel that is never put back.
        m_rect = QRect();
        m_null_image = QImage(1, 1, QImage::Format_ARGB32_Premultiplied);
        m_painter = std::make_unique<QPainter>(&m_null_image);
        m_painter->setClipRect(QRect(), Qt::ReplaceClip);
        return;
    }
    m_image.fill(Qt::transparent);
    m_painter = std::make_unique<QPainter>(&m_image);
    m_painter->setRenderHints(parent.renderHints());
    m_painter->setTransform(parent.transform() * QTransform::fromTranslate(-m_rect.x(), -m_rect.y()));
    // The layer is already cut to the bounds of the parent's clip; the exact
    // clip applies when it is put back. Turning a rounded clip into a path
    // for every layer would cost more than an annotation's whole drawing.
}

Layer::~Layer()
{
    end();
}

QPainter& Layer::painter()
{
    return *m_painter;
}

void Layer::end()
{
    if (!m_ended)
        draw_sprite(*m_parent, finish());
}

Sprite Layer::finish()
{
    if (m_ended)
        return {};
    m_ended = true;
    m_painter->end();
    if (m_rect.isEmpty())
        return {};
    Sprite sprite { m_rect, std::move(m_image), {}, {} };
    if (m_shadow && m_shadow->color.alpha() > 0) {
        const std::size_t radius = shadow_box_radius(m_shadow->blur);
        const int k = reduction(radius);
        const int pad = shadow_pad(radius, k);
        sprite.shadow = shadow_image(sprite.content, *m_shadow, pad, k);
        sprite.shadow_at = shadow_rect(sprite.shadow, m_rect, pad, k, *m_shadow);
    }
    return sprite;
}

} // namespace paint

namespace paint {

void draw_shadow(QPainter& painter, const QPainterPath& shape, const Shadow& shadow, const QRegion& hidden)
{
    if (shadow.color.alpha() == 0)
        return;
    const QRect rect = painter.transform().mapRect(shape.boundingRect()).toAlignedRect();
    if (rect.isEmpty())
        return;
    const std::size_t radius = shadow_box_radius(shadow.blur);
    const int k = reduction(radius);
    const int pad = shadow_pad(radius, k);
    // The shape's coverage drawn straight at 1/k: what shadow_image would
    // average from the full-size content.
    QImage small((rect.width() + k - 1) / k, (rect.height() + k - 1) / k, QImage::Format_ARGB32_Premultiplied);
    if (small.isNull())
        return;
    small.fill(Qt::transparent);
    {
        QPainter q(&small);
        q.setRenderHint(QPainter::Antialiasing);
        q.scale(1.0 / k, 1.0 / k);
        q.translate(-rect.x(), -rect.y());
        q.setTransform(painter.transform(), true);
        q.fillPath(shape, Qt::black);
    }
    // Blurred as shadow_image blurs content it reduced itself.
    const std::size_t blur = radius == 0 ? 0 : std::max<std::size_t>((radius + std::size_t(k) / 2) / std::size_t(k), 1);
    const QImage s = make_shadow(small, shadow, pad / k, 1, blur);
    draw_shadow_image(painter, s, shadow_rect(s, rect, pad, k, shadow), hidden);
}

} // namespace paint
