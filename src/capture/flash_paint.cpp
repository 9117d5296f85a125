#include "capture/flash_paint.h"

#include "base/util_queue.h"

#include <QConicalGradient>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace flash {

namespace {

// The longest side of the shadow's mask in pixels; the blur hides the stretch.
constexpr double SHADOW_MASK_SIDE = 160;

QPainterPath rounded(double w, double h, double radius)
{
    QPainterPath path;
    radius = std::clamp(radius, 0.0, std::min(w, h) / 2);
    if (radius > 0)
        path.addRoundedRect(QRectF(0, 0, w, h), radius, radius);
    else
        path.addRect(QRectF(0, 0, w, h));
    return path;
}

QGradientStops sheen_stops()
{
    const QColor white = util::rgba(1, 1, 1, 1);
    const QColor pale = util::rgba(0.78, 0.80, 1.00, 1);
    const QColor blue = util::rgba(0.52, 0.50, 0.98, 1);
    const std::array<QColor, 7> colours { white, pale, blue, pale, white, pale, white };
    QGradientStops stops;
    for (std::size_t i = 0; i < colours.size(); ++i)
        stops.push_back({ static_cast<double>(i) / (colours.size() - 1), colours[i] });
    return stops;
}

// One direction of a box blur over rows (or columns) of alpha values.
void box_pass(std::vector<std::uint8_t>& a, int w, int h, int radius, bool rows)
{
    const int lines = rows ? h : w, len = rows ? w : h;
    const int stride = rows ? 1 : w, step = rows ? w : 1;
    std::vector<std::uint8_t> line(static_cast<std::size_t>(len));
    const int window = 2 * radius + 1;
    for (int l = 0; l < lines; ++l) {
        std::uint8_t* base = a.data() + static_cast<std::ptrdiff_t>(l) * step;
        for (int i = 0; i < len; ++i)
            line[static_cast<std::size_t>(i)] = base[static_cast<std::ptrdiff_t>(i) * stride];
        int sum = 0;
        auto at = [&](int i) { return i < 0 || i >= len ? 0 : line[static_cast<std::size_t>(i)]; };
        for (int i = -radius; i <= radius; ++i)
            sum += at(i);
        for (int i = 0; i < len; ++i) {
            base[static_cast<std::ptrdiff_t>(i) * stride] = static_cast<std::uint8_t>((sum + window / 2) / window);
            sum += at(i + radius + 1) - at(i - radius);
        }
    }
}

} // namespace

void blur_alpha(QImage& image, int radius)
{
    if (radius <= 0 || image.isNull())
        return;
    image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const int w = image.width(), h = image.height();
    std::vector<std::uint8_t> a(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
    for (int y = 0; y < h; ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < w; ++x)
            a[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint8_t>(qAlpha(row[x]));
    }
    for (int pass = 0; pass < 3; ++pass) {
        box_pass(a, w, h, radius, true);
        box_pass(a, w, h, radius, false);
    }
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x)
            row[x] = qRgba(0, 0, 0, a[static_cast<std::size_t>(y) * w + x]);
    }
}

Painter::Painter(Plan plan, std::optional<QImage> image)
    : m_plan(std::move(plan))
{
    if (image && !image->isNull()) {
        const QImage::Format f = image->format();
        // The raster engine's fast paths take these two as they are.
        m_picture = f == QImage::Format_RGB32 || f == QImage::Format_ARGB32_Premultiplied
            ? *image
            : image->convertToFormat(image->hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    }
    if (m_plan.flies())
        build_shadow();
}

void Painter::build_shadow()
{
    const double w = m_plan.w(), h = m_plan.h();
    m_shadow_pad = 2 * SHADOW_RADIUS;
    const double side = std::max(w, h) + 2 * m_shadow_pad;
    const double q = std::min(1.0, SHADOW_MASK_SIDE / side);
    const int iw = std::max(1, static_cast<int>(std::ceil((w + 2 * m_shadow_pad) * q)));
    const int ih = std::max(1, static_cast<int>(std::ceil((h + 2 * m_shadow_pad) * q)));
    m_shadow = QImage(iw, ih, QImage::Format_ARGB32_Premultiplied);
    m_shadow.fill(Qt::transparent);
    {
        QPainter p(&m_shadow);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(q, q);
        p.translate(m_shadow_pad, m_shadow_pad);
        p.fillPath(rounded(w, h, m_plan.radius()), Qt::black);
    }
    // A shadow radius reads as about twice the Gaussian's sigma; three box
    // passes of radius sigma come close to it.
    blur_alpha(m_shadow, std::max(1, static_cast<int>(std::lround(SHADOW_RADIUS / 2 * q))));
}

void Painter::build_sheen(double pixel_ratio)
{
    m_sheen_ratio = pixel_ratio;
    const double w = m_plan.w(), h = m_plan.h();
    const double bx = std::min(SHEEN_BAND, w / 2), by = std::min(SHEEN_BAND, h / 2);
    const std::array<QRectF, 4> rects { QRectF(0, 0, w, by), QRectF(0, h - by, w, by), QRectF(0, by, bx, h - 2 * by),
        QRectF(w - bx, by, bx, h - 2 * by) };
    const QPainterPath path = rounded(w, h, m_plan.radius());
    struct Stroke {
        double alpha, width;
    };
    constexpr std::array<Stroke, 3> strokes { Stroke { 0.16, 34 }, Stroke { 0.4, 14 }, Stroke { 1.0, 3 } };
    for (std::size_t i = 0; i < rects.size(); ++i) {
        Strip& s = m_strips[i];
        s.rect = rects[i];
        if (s.rect.width() <= 0 || s.rect.height() <= 0) {
            s.mask = QImage();
            s.scratch = QImage();
            continue;
        }
        const int pw = std::max(1, static_cast<int>(std::ceil(s.rect.width() * pixel_ratio)));
        const int ph = std::max(1, static_cast<int>(std::ceil(s.rect.height() * pixel_ratio)));
        s.mask = QImage(pw, ph, QImage::Format_ARGB32_Premultiplied);
        s.mask.fill(Qt::transparent);
        s.scratch = QImage(pw, ph, QImage::Format_ARGB32_Premultiplied);
        QPainter p(&s.mask);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(pixel_ratio, pixel_ratio);
        p.translate(-s.rect.x(), -s.rect.y());
        for (const Stroke& stroke : strokes) {
            p.setPen(QPen(util::rgba(1, 1, 1, stroke.alpha), stroke.width));
            p.drawPath(path);
        }
        // The picture's rounded corners cut the rim's outer half.
        QPainterPath outside;
        outside.addRect(s.rect.adjusted(-1, -1, 1, 1));
        outside = outside.subtracted(path);
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.fillPath(outside, Qt::black);
    }
}

QTransform Painter::carrier_transform(const Frame& f) const
{
    QTransform t;
    t.translate(f.carrier_x, m_plan.panel().h - f.carrier_y);
    t.scale(f.carrier_scale, f.carrier_scale);
    t.translate(-m_plan.w() / 2, -m_plan.h() / 2);
    return t;
}

QRegion Painter::carrier_region(double t) const
{
    const Frame f = m_plan.at(t);
    QTransform picture;
    picture.translate(m_plan.w() / 2, m_plan.h() / 2);
    picture.scale(f.picture_scale, f.picture_scale);
    picture.translate(-m_plan.w() / 2, -m_plan.h() / 2);
    const QPainterPath path = rounded(m_plan.w(), m_plan.h(), f.corner_radius);
    return QRegion(path.toFillPolygon(picture * carrier_transform(f)).toPolygon());
}

void Painter::paint(QPainter& p, double t, double pixel_ratio, bool opaque_fades)
{
    const Frame f = m_plan.at(t);
    if (f.carrier_opacity <= 0)
        return;
    const double w = m_plan.w(), h = m_plan.h();
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setTransform(carrier_transform(f), true);
    const double opacity = opaque_fades ? 1.0 : f.carrier_opacity;
    if (f.shadow_opacity > 0 && !m_shadow.isNull() && !opaque_fades) {
        p.setOpacity(opacity * f.shadow_opacity);
        p.drawImage(QRectF(-m_shadow_pad, -m_shadow_pad + SHADOW_OFFSET, w + 2 * m_shadow_pad, h + 2 * m_shadow_pad),
            m_shadow);
    }
    p.setOpacity(opacity);
    p.translate(w / 2, h / 2);
    p.scale(f.picture_scale, f.picture_scale);
    p.translate(-w / 2, -h / 2);
    paint_picture(p, f);
    if (m_plan.sheen() && f.sheen_opacity > 0) {
        p.setOpacity(opacity * f.sheen_opacity);
        paint_sheen(p, f, pixel_ratio);
    }
    p.restore();
}

void Painter::paint_picture(QPainter& p, const Frame& f)
{
    const QImage& source = m_lens_frame.isNull() ? m_picture : m_lens_frame;
    if (source.isNull())
        return;
    const double w = m_plan.w(), h = m_plan.h();
    QBrush brush(source);
    brush.setTransform(QTransform::fromScale(w / source.width(), h / source.height()));
    // Filtering costs most of a large frame; within a few percent of the
    // picture's own size (the pulse of a full screen) nearest pixels look
    // the same while it moves.
    const QTransform t = brush.transform() * p.worldTransform();
    const double on_screen = std::sqrt(std::abs(t.determinant())) * p.device()->devicePixelRatioF();
    p.setRenderHint(QPainter::SmoothPixmapTransform, std::abs(on_screen - 1) > 0.02);
    p.setPen(Qt::NoPen);
    p.setBrush(brush);
    p.drawPath(rounded(w, h, f.corner_radius));
}

void Painter::paint_sheen(QPainter& p, const Frame& f, double pixel_ratio)
{
    if (m_sheen_ratio != pixel_ratio)
        build_sheen(pixel_ratio);
    const double w = m_plan.w(), h = m_plan.h();
    // The gradient starts straight down and turns clockwise with the rotation.
    QConicalGradient gradient(QPointF(w / 2, h / 2), 270 + f.sheen_rotation * 180 / std::numbers::pi);
    gradient.setStops(sheen_stops());
    for (Strip& s : m_strips) {
        if (s.mask.isNull())
            continue;
        {
            QPainter sp(&s.scratch);
            sp.setCompositionMode(QPainter::CompositionMode_Source);
            sp.scale(pixel_ratio, pixel_ratio);
            sp.translate(-s.rect.x(), -s.rect.y());
            sp.fillRect(s.rect, gradient);
            sp.resetTransform();
            sp.setCompositionMode(QPainter::CompositionMode_DestinationIn);
            sp.drawImage(0, 0, s.mask);
        }
        p.drawImage(s.rect, s.scratch);
    }
}

} // namespace flash
