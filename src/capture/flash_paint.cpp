#include "capture/flash_paint.h"

#include "base/simd.h"
#include "base/util_queue.h"
#include "codec/imageops.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <numbers>
#include <vector>

#include <sys/mman.h>

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

// The sheen's colour table holds 2^10 colours around the turn, as fine as
// the raster engine's own gradient tables.
constexpr int SHEEN_COLOURS_BITS = 10;

// The sheen's colours evenly spaced around the turn, blended linearly, one
// per 1/1024 turn (opaque).
std::vector<QRgb> sheen_colours()
{
    const QColor white = util::rgba(1, 1, 1, 1);
    const QColor pale = util::rgba(0.78, 0.80, 1.00, 1);
    const QColor blue = util::rgba(0.52, 0.50, 0.98, 1);
    const std::array<QColor, 7> stops { white, pale, blue, pale, white, pale, white };
    constexpr int n = 1 << SHEEN_COLOURS_BITS;
    std::vector<QRgb> table(n);
    for (int i = 0; i < n; ++i) {
        const double pos = (i + 0.5) / n * (stops.size() - 1);
        const auto k = static_cast<std::size_t>(pos);
        const double u = pos - static_cast<double>(k);
        const QColor& a = stops[k];
        const QColor& b = stops[std::min(k + 1, stops.size() - 1)];
        auto mix = [u](double x, double y) { return static_cast<int>(std::lround(((1 - u) * x + u * y) * 255)); };
        table[static_cast<std::size_t>(i)] = qRgb(mix(a.redF(), b.redF()), mix(a.greenF(), b.greenF()), mix(a.blueF(), b.blueF()));
    }
    return table;
}

// An opaque colour at `alpha`, premultiplied.
inline QRgb premultiplied(QRgb c, std::uint8_t alpha)
{
    auto mul = [alpha](int v) { return (v * alpha + 127) / 255; };
    return qRgba(mul(qRed(c)), mul(qGreen(c)), mul(qBlue(c)), alpha);
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

// The largest rectangle round the middle of a premultiplied mask whose
// pixels are all opaque; empty when the middle is not.
QRect opaque_core(const QImage& mask)
{
    const int w = mask.width(), h = mask.height();
    auto opaque = [&](int x, int y) { return qAlpha(reinterpret_cast<const QRgb*>(mask.constScanLine(y))[x]) == 255; };
    const int cx = w / 2, cy = h / 2;
    if (w == 0 || h == 0 || !opaque(cx, cy))
        return {};
    int x0 = cx, x1 = cx, y0 = cy, y1 = cy;
    while (x0 > 0 && opaque(x0 - 1, cy))
        --x0;
    while (x1 + 1 < w && opaque(x1 + 1, cy))
        ++x1;
    while (y0 > 0 && opaque(cx, y0 - 1))
        --y0;
    while (y1 + 1 < h && opaque(cx, y1 + 1))
        ++y1;
    // Rounded corners leave the cross's ends short of a rectangle: shrink
    // until every pixel inside is opaque.
    auto all_opaque = [&] {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                if (!opaque(x, y))
                    return false;
        return true;
    };
    while (x0 <= x1 && y0 <= y1 && !all_opaque()) {
        x0 = std::min(x0 + 1, cx), x1 = std::max(x1 - 1, cx);
        y0 = std::min(y0 + 1, cy), y1 = std::max(y1 - 1, cy);
        if (x0 == cx && x1 == cx && y0 == cy && y1 == cy)
            break;
    }
    return all_opaque() ? QRect(QPoint(x0, y0), QPoint(x1, y1)) : QRect();
}

// The halved pictures of finished flashes, kept for the next flash: the
// halved copies of a 4K picture are ten megabytes, and fresh memory is
// faulted in and cleared by the system first, which cost more than halving.
constexpr std::size_t SPARE_PICTURES = 8;
std::mutex g_spare_mutex;
std::vector<std::unique_ptr<imageops::Image>> g_spare_pictures;

// An image with room for `bytes` of pixels: the smallest spare that holds
// them, else fresh memory on huge pages where the system gives them on
// request (far fewer faults).
std::unique_ptr<imageops::Image> picture_buffer(std::size_t bytes)
{
    {
        std::lock_guard lock(g_spare_mutex);
        auto best = g_spare_pictures.end();
        for (auto it = g_spare_pictures.begin(); it != g_spare_pictures.end(); ++it)
            if ((*it)->pixels.capacity() >= bytes
                && (best == g_spare_pictures.end() || (*it)->pixels.capacity() < (*best)->pixels.capacity()))
                best = it;
        if (best != g_spare_pictures.end()) {
            std::unique_ptr<imageops::Image> image = std::move(*best);
            g_spare_pictures.erase(best);
            return image;
        }
    }
    constexpr std::uintptr_t HUGE_PAGE = 2 << 20;
    auto image = std::make_unique<imageops::Image>();
    image->pixels.reserve(bytes);
    const auto start = reinterpret_cast<std::uintptr_t>(image->pixels.data());
    const std::uintptr_t first = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t end = (start + bytes) & ~(HUGE_PAGE - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE); // advice only: failure changes nothing
    return image;
}

// A halved picture's cleanup (any thread): kept as a spare while there is room.
void keep_spare_picture(void* pixels)
{
    std::unique_ptr<imageops::Image> image(static_cast<imageops::Image*>(pixels));
    std::lock_guard lock(g_spare_mutex);
    if (g_spare_pictures.size() < SPARE_PICTURES)
        g_spare_pictures.push_back(std::move(image));
}

} // namespace

void release_spare_pictures()
{
    std::vector<std::unique_ptr<imageops::Image>> gone;
    std::lock_guard lock(g_spare_mutex);
    gone.swap(g_spare_pictures);
}

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

// The rim's strips, which depend only on the picture's size and corners and
// the pixel ratio.
struct SheenRim {
    struct Strip {
        QRectF rect;                      // picture coordinates, points
        std::vector<std::uint8_t> alpha;  // the rim's strokes inside `rect`, per pixel
        std::vector<std::uint16_t> turn;  // per pixel: its direction from the centre, in 1/65536 turns
        int pw = 0, ph = 0;               // pixels
    };
    double w = 0, h = 0, radius = 0, ratio = 0;
    std::array<Strip, 4> strips;

    bool fits(double w_, double h_, double radius_, double ratio_) const
    {
        return w == w_ && h == h_ && radius == radius_ && ratio == ratio_;
    }
};

namespace {

// The last rim made: captures of one screen or one window, one after
// another, have the same size, and a 4K rim's arctangents cost more than a
// frame.
std::mutex g_rim_mutex;
std::shared_ptr<const SheenRim> g_last_rim;

// The rim of a w × h picture (points) with these corners at `pixel_ratio`:
// the last one when it fits, else made anew. Any thread.
std::shared_ptr<const SheenRim> rim_for(double w, double h, double radius, double pixel_ratio)
{
    {
        std::lock_guard lock(g_rim_mutex);
        if (g_last_rim && g_last_rim->fits(w, h, radius, pixel_ratio))
            return g_last_rim;
    }
    auto rim = std::make_shared<SheenRim>();
    rim->w = w, rim->h = h, rim->radius = radius, rim->ratio = pixel_ratio;
    const double bx = std::min(SHEEN_BAND, w / 2), by = std::min(SHEEN_BAND, h / 2);
    const std::array<QRectF, 4> rects { QRectF(0, 0, w, by), QRectF(0, h - by, w, by), QRectF(0, by, bx, h - 2 * by),
        QRectF(w - bx, by, bx, h - 2 * by) };
    const QPainterPath path = rounded(w, h, radius);
    struct Stroke {
        double alpha, width;
    };
    constexpr std::array<Stroke, 3> strokes { Stroke { 0.16, 34 }, Stroke { 0.4, 14 }, Stroke { 1.0, 3 } };
    for (std::size_t i = 0; i < rects.size(); ++i) {
        SheenRim::Strip& s = rim->strips[i];
        s.rect = rects[i];
        if (s.rect.width() <= 0 || s.rect.height() <= 0)
            continue;
        const int pw = std::max(1, static_cast<int>(std::ceil(s.rect.width() * pixel_ratio)));
        const int ph = std::max(1, static_cast<int>(std::ceil(s.rect.height() * pixel_ratio)));
        s.pw = pw, s.ph = ph;
        QImage mask(pw, ph, QImage::Format_ARGB32_Premultiplied);
        mask.fill(Qt::transparent);
        {
            QPainter p(&mask);
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
        // The mask's fills leave the vector unit's upper halves in use, which
        // makes every arctangent below several times dearer.
        simd::clear_upper_halves();
        const std::size_t n = static_cast<std::size_t>(pw) * static_cast<std::size_t>(ph);
        s.alpha.resize(n);
        s.turn.resize(n);
        for (int y = 0; y < ph; ++y) {
            const auto* row = reinterpret_cast<const QRgb*>(mask.constScanLine(y));
            const double dy = s.rect.y() + (y + 0.5) / pixel_ratio - h / 2;
            for (int x = 0; x < pw; ++x) {
                const std::size_t at = static_cast<std::size_t>(y) * pw + x;
                s.alpha[at] = static_cast<std::uint8_t>(qAlpha(row[x]));
                const double dx = s.rect.x() + (x + 0.5) / pixel_ratio - w / 2;
                // A conic gradient's position is 1 − (direction + start) / 2π,
                // the direction measured with y down; here its first part.
                const double turns = -std::atan2(dy, dx) / (2 * std::numbers::pi);
                s.turn[at] = static_cast<std::uint16_t>(std::lround((turns - std::floor(turns)) * 65536) & 0xffff);
            }
        }
    }
    std::lock_guard lock(g_rim_mutex);
    g_last_rim = rim;
    return rim;
}

} // namespace

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
    m_shadow_core = opaque_core(m_shadow);
}

bool Painter::picture_opaque()
{
    if (!m_picture_opaque) {
        bool opaque = !m_picture.isNull();
        if (opaque && m_picture.hasAlphaChannel()) {
            simd::clear_upper_halves();
            for (int y = 0; y < m_picture.height() && opaque; ++y) {
                const auto* row = reinterpret_cast<const std::uint32_t*>(m_picture.constScanLine(y));
                std::uint32_t all = 0xffffffffu;
                for (int x = 0; x < m_picture.width(); ++x)
                    all &= row[x];
                opaque = all >> 24 == 0xff;
            }
        }
        m_picture_opaque = opaque;
    }
    return *m_picture_opaque;
}

QRectF Painter::covered_by_picture(const QPainter& p, const Frame& f, double opacity)
{
    if (opacity < 1 || !m_lens_frame.isNull() || !picture_opaque())
        return {};
    const double w = m_plan.w(), h = m_plan.h(), s = f.picture_scale;
    const double on_screen = std::sqrt(std::abs(p.worldTransform().determinant())) * p.device()->devicePixelRatioF();
    if (!(on_screen > 0))
        return {};
    // The rounded corners and the antialiased edge are not covered.
    const double margin = f.corner_radius * s + 2 / on_screen;
    const QRectF picture(w / 2 * (1 - s), h / 2 * (1 - s), w * s, h * s);
    const QRectF covered = picture.adjusted(margin, margin, -margin, -margin);
    return covered.isValid() ? covered : QRectF();
}

void Painter::paint_shadow(QPainter& p, const QRectF& covered) const
{
    const double w = m_plan.w(), h = m_plan.h();
    const QRectF target(-m_shadow_pad, -m_shadow_pad + SHADOW_OFFSET, w + 2 * m_shadow_pad, h + 2 * m_shadow_pad);
    if (m_shadow_core.isEmpty()) {
        p.drawImage(target, m_shadow);
        return;
    }
    // Stretching the whole mask filters every pixel the carrier covers, most
    // of a 4K frame; only the blurred border needs it. Nine pieces: the edges
    // stretched from the mask, the opaque middle a plain fill. Without
    // antialiasing the pieces meet without a seam.
    const int iw = m_shadow.width(), ih = m_shadow.height();
    const std::array<int, 4> xs { 0, m_shadow_core.left(), m_shadow_core.right() + 1, iw };
    const std::array<int, 4> ys { 0, m_shadow_core.top(), m_shadow_core.bottom() + 1, ih };
    auto at_x = [&](int i) { return target.x() + target.width() * i / iw; };
    auto at_y = [&](int j) { return target.y() + target.height() * j / ih; };
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t c = 0; c < 3; ++c) {
            const QRect source(xs[c], ys[r], xs[c + 1] - xs[c], ys[r + 1] - ys[r]);
            if (source.isEmpty())
                continue;
            const QRectF piece(QPointF(at_x(xs[c]), at_y(ys[r])), QPointF(at_x(xs[c + 1]), at_y(ys[r + 1])));
            if (r == 1 && c == 1)
                fill_around(p, piece, covered);
            else
                p.drawImage(piece, m_shadow, source);
        }
    p.restore();
}

void Painter::fill_around(QPainter& p, const QRectF& piece, const QRectF& covered)
{
    const QRectF hole = piece & covered;
    if (hole.isEmpty()) {
        p.fillRect(piece, Qt::black);
        return;
    }
    // Above, below, left and right of the hole. Where these meet the hole
    // the picture covers them by two pixels and more, so how their edges
    // round does not show.
    const std::array<QRectF, 4> around { QRectF(QPointF(piece.left(), piece.top()), QPointF(piece.right(), hole.top())),
        QRectF(QPointF(piece.left(), hole.bottom()), QPointF(piece.right(), piece.bottom())),
        QRectF(QPointF(piece.left(), hole.top()), QPointF(hole.left(), hole.bottom())),
        QRectF(QPointF(hole.right(), hole.top()), QPointF(piece.right(), hole.bottom())) };
    for (const QRectF& band : around)
        if (!band.isEmpty())
            p.fillRect(band, Qt::black);
}

QTransform Painter::carrier_transform(const Frame& f) const
{
    QTransform t;
    t.translate(f.carrier_x, m_plan.panel().h - f.carrier_y);
    t.scale(f.carrier_scale, f.carrier_scale);
    t.translate(-m_plan.w() / 2, -m_plan.h() / 2);
    return t;
}

QRectF Painter::bounds(double t) const
{
    const Frame f = m_plan.at(t);
    if (f.carrier_opacity <= 0)
        return {};
    const double pad = std::max(8.0, m_shadow.isNull() ? 0 : m_shadow_pad);
    const QRectF carrier(-pad, -pad, m_plan.w() + 2 * pad, m_plan.h() + 2 * pad + SHADOW_OFFSET);
    return carrier_transform(f).mapRect(carrier);
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
    // What was painted before (a backing store's clear) may have left the
    // vector unit's upper halves in use; the raster engine's SSE paths that
    // draw the picture would pay for it on every pixel.
    simd::clear_upper_halves();
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setTransform(carrier_transform(f), true);
    const double opacity = opaque_fades ? 1.0 : f.carrier_opacity;
    if (f.shadow_opacity > 0 && !m_shadow.isNull() && !opaque_fades) {
        p.setOpacity(opacity * f.shadow_opacity);
        // Under an opaque picture at full opacity the shadow never shows:
        // filling it there was most of a large frame's shadow.
        paint_shadow(p, covered_by_picture(p, f, opacity));
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

const QImage& Painter::picture_level(std::size_t level)
{
    if (m_levels.empty())
        m_levels.push_back(m_picture);
    while (m_levels.size() <= level) {
        const QImage& last = m_levels.back();
        const imageops::View view { { last.constBits(), static_cast<std::size_t>(last.sizeInBytes()) },
            static_cast<std::size_t>(last.width()), static_cast<std::size_t>(last.height()),
            static_cast<std::size_t>(last.bytesPerLine()) };
        // The image wraps the halved pixels where they are, and gives them
        // back as a spare when it goes.
        std::unique_ptr<imageops::Image> half = picture_buffer(
            4 * static_cast<std::size_t>((last.width() + 1) / 2) * static_cast<std::size_t>((last.height() + 1) / 2));
        imageops::downscale(view, 2, *half);
        QImage next(half->pixels.data(), static_cast<int>(half->width), static_cast<int>(half->height),
            static_cast<qsizetype>(4 * half->width), last.format(), &keep_spare_picture, half.get());
        if (!next.isNull())
            half.release(); // the image's cleanup owns it now
        m_levels.push_back(std::move(next));
    }
    return m_levels[level];
}

void Painter::paint_picture(QPainter& p, const Frame& f)
{
    if (m_lens_frame.isNull() && m_picture.isNull())
        return;
    const double w = m_plan.w(), h = m_plan.h();
    const double ratio = p.device()->devicePixelRatioF();
    auto scale_on_screen = [&](const QImage& image) {
        const QTransform t = QTransform::fromScale(w / image.width(), h / image.height()) * p.worldTransform();
        return std::sqrt(std::abs(t.determinant())) * ratio;
    };
    const QImage* chosen = &m_lens_frame;
    if (m_lens_frame.isNull()) {
        // Shrinking a large picture filters it from pixels far apart, which
        // costs most of a flight's frame: a copy halved until it is no more
        // than twice the size it shows at reads far fewer (and looks smoother).
        std::size_t level = 0;
        const double s = scale_on_screen(m_picture);
        for (double k = s; k < 0.5 && level < 6 && (m_picture.width() >> (level + 1)) >= 1
             && (m_picture.height() >> (level + 1)) >= 1;
             k *= 2)
            ++level;
        chosen = &picture_level(level);
    }
    const QImage& source = *chosen;
    QBrush brush(source);
    brush.setTransform(QTransform::fromScale(w / source.width(), h / source.height()));
    // Filtering costs most of a large frame; within a few percent of the
    // picture's own size (the pulse of a full screen) nearest pixels look
    // the same while it moves.
    const double on_screen = scale_on_screen(source);
    p.setRenderHint(QPainter::SmoothPixmapTransform, std::abs(on_screen - 1) > 0.02);
    p.setPen(Qt::NoPen);
    p.setBrush(brush);
    p.drawPath(rounded(w, h, f.corner_radius));
}

void Painter::paint_sheen(QPainter& p, const Frame& f, double pixel_ratio)
{
    if (!m_rim || m_rim->ratio != pixel_ratio) {
        m_rim = rim_for(m_plan.w(), m_plan.h(), m_plan.radius(), pixel_ratio);
        for (std::size_t i = 0; i < m_rim->strips.size(); ++i) {
            const SheenRim::Strip& s = m_rim->strips[i];
            m_sheen_frames[i] = s.alpha.empty() ? QImage() : QImage(s.pw, s.ph, QImage::Format_ARGB32_Premultiplied);
        }
    }
    if (m_sheen_colours.empty())
        m_sheen_colours = sheen_colours();
    // The gradient starts straight down and turns clockwise with the rotation.
    const double start = (270 + f.sheen_rotation * 180 / std::numbers::pi) / 360;
    const auto offset = static_cast<std::uint16_t>(std::lround((-start - std::floor(-start)) * 65536) & 0xffff);
    const QRgb* colours = m_sheen_colours.data();
    // The strips meet edge to edge and their outer edge is the rim's soft
    // glow: without antialiasing they tile as well, and a flight's scaled
    // strips cost a third of what they did.
    p.save();
    p.setRenderHint(QPainter::Antialiasing, false);
    for (std::size_t i = 0; i < m_rim->strips.size(); ++i) {
        const SheenRim::Strip& s = m_rim->strips[i];
        QImage& frame = m_sheen_frames[i];
        if (frame.isNull())
            continue;
        for (int y = 0; y < s.ph; ++y) {
            auto* row = reinterpret_cast<QRgb*>(frame.scanLine(y));
            const std::size_t base = static_cast<std::size_t>(y) * s.pw;
            for (int x = 0; x < s.pw; ++x) {
                const std::uint16_t at = static_cast<std::uint16_t>(s.turn[base + x] + offset);
                row[x] = premultiplied(colours[at >> (16 - SHEEN_COLOURS_BITS)], s.alpha[base + x]);
            }
        }
        p.drawImage(s.rect, frame);
    }
    p.restore();
}

} // namespace flash
