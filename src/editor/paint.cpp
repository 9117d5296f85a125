#include "editor/paint.h"

#include "base/util.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace paint {

namespace {

// One box pass along a row: out[i] = mean of in[i − r … i + r], zero outside.
void box_row(const std::uint8_t* in, std::uint8_t* out, std::size_t n, std::size_t r, float inv)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < std::min(r, n); ++i)
        sum += in[i];
    for (std::size_t i = 0; i < n; ++i) {
        if (i + r < n)
            sum += in[i + r];
        out[i] = static_cast<std::uint8_t>(static_cast<float>(sum) * inv + 0.5f);
        if (i >= r)
            sum -= in[i - r];
    }
}

// One box pass down the columns, row by row so that memory is read in order.
void box_columns(const std::uint8_t* in, std::uint8_t* out, std::size_t w, std::size_t h, std::size_t stride,
    std::size_t r, float inv, std::vector<std::uint32_t>& sums)
{
    sums.assign(w, 0);
    for (std::size_t y = 0; y < std::min(r, h); ++y) {
        const std::uint8_t* row = in + y * stride;
        for (std::size_t x = 0; x < w; ++x)
            sums[x] += row[x];
    }
    for (std::size_t y = 0; y < h; ++y) {
        if (y + r < h) {
            const std::uint8_t* add = in + (y + r) * stride;
            for (std::size_t x = 0; x < w; ++x)
                sums[x] += add[x];
        }
        std::uint8_t* dst = out + y * stride;
        for (std::size_t x = 0; x < w; ++x)
            dst[x] = static_cast<std::uint8_t>(static_cast<float>(sums[x]) * inv + 0.5f);
        if (y >= r) {
            const std::uint8_t* sub = in + (y - r) * stride;
            for (std::size_t x = 0; x < w; ++x)
                sums[x] -= sub[x];
        }
    }
}

QRect device_bounds(const QPainter& p, const QRectF& bounds)
{
    QRect r = p.transform().mapRect(bounds).toAlignedRect();
    if (p.hasClipping())
        r &= p.transform().mapRect(p.clipBoundingRect()).toAlignedRect();
    if (const QPaintDevice* dev = p.device())
        r &= QRect(0, 0, dev->width() * int(dev->devicePixelRatio()), dev->height() * int(dev->devicePixelRatio()));
    return r;
}

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
    const float inv = 1.0f / static_cast<float>(2 * radius + 1);
    std::vector<std::uint8_t> a(width), b(width);
    for (std::size_t y = 0; y < height; ++y) {
        std::uint8_t* row = data.data() + y * stride;
        box_row(row, a.data(), width, radius, inv);
        box_row(a.data(), b.data(), width, radius, inv);
        box_row(b.data(), row, width, radius, inv);
    }
    std::vector<std::uint8_t> t1(stride * height), t2(stride * height);
    std::vector<std::uint32_t> sums;
    box_columns(data.data(), t1.data(), width, height, stride, radius, inv, sums);
    box_columns(t1.data(), t2.data(), width, height, stride, radius, inv, sums);
    box_columns(t2.data(), data.data(), width, height, stride, radius, inv, sums);
}

QImage shadow_image(const QImage& content, const Shadow& shadow, int pad)
{
    const int w = content.width() + 2 * pad;
    const int h = content.height() + 2 * pad;
    QImage alpha(w, h, QImage::Format_Alpha8);
    if (alpha.isNull())
        return {};
    alpha.fill(0);
    for (int y = 0; y < content.height(); ++y) {
        const auto* src = reinterpret_cast<const std::uint32_t*>(content.constScanLine(y));
        std::uint8_t* dst = alpha.scanLine(y + pad) + pad;
        for (int x = 0; x < content.width(); ++x)
            dst[x] = static_cast<std::uint8_t>(src[x] >> 24);
    }
    blur_alpha({ alpha.bits(), static_cast<std::size_t>(alpha.sizeInBytes()) }, std::size_t(w), std::size_t(h),
        std::size_t(alpha.bytesPerLine()), shadow_box_radius(shadow.blur));

    QImage out(w, h, QImage::Format_ARGB32_Premultiplied);
    if (out.isNull())
        return {};
    const QColor c = shadow.color.toRgb();
    const float k = static_cast<float>(c.alphaF()) / 255.0f;
    const float cr = static_cast<float>(c.redF()) * 255.0f, cg = static_cast<float>(c.greenF()) * 255.0f,
                cb = static_cast<float>(c.blueF()) * 255.0f;
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* src = alpha.constScanLine(y);
        auto* dst = reinterpret_cast<std::uint32_t*>(out.scanLine(y));
        for (int x = 0; x < w; ++x) {
            const float a = static_cast<float>(src[x]) * k; // 0 … 1
            const auto ch = [a](float v) { return static_cast<std::uint32_t>(v * a + 0.5f); };
            dst[x] = (ch(255.0f) << 24) | (ch(cr) << 16) | (ch(cg) << 8) | ch(cb);
        }
    }
    return out;
}

Layer::Layer(QPainter& parent, const QRectF& bounds, std::optional<Shadow> shadow)
    : m_parent(&parent)
    , m_rect(device_bounds(parent, bounds))
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
    const QTransform to_layer = QTransform::fromTranslate(-m_rect.x(), -m_rect.y());
    if (parent.hasClipping()) {
        m_painter->setTransform(parent.transform() * to_layer);
        m_painter->setClipPath(parent.clipPath());
    } else {
        m_painter->setTransform(parent.transform() * to_layer);
    }
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
    if (m_ended)
        return;
    m_ended = true;
    m_painter->end();
    if (m_rect.isEmpty())
        return;
    m_parent->save();
    m_parent->resetTransform();
    if (m_shadow && m_shadow->color.alpha() > 0) {
        const int pad = static_cast<int>(3 * shadow_box_radius(m_shadow->blur)) + 1;
        const QImage s = shadow_image(m_image, *m_shadow, pad);
        if (!s.isNull())
            m_parent->drawImage(QPointF(m_rect.x() - pad + m_shadow->dx, m_rect.y() - pad + m_shadow->dy), s);
    }
    m_parent->drawImage(m_rect.topLeft(), m_image);
    m_parent->restore();
}

} // namespace paint
