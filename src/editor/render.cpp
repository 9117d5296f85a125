#include "editor/render.h"

#include "base/util.h"
#include "codec/encode.h"
#include "editor/editor.h"

#include <QGlyphRun>
#include <QLinearGradient>
#include <QPainterPathStroker>
#include <QRawFont>
#include <QTextLayout>

#include <fmt/format.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include <sys/mman.h>

namespace render {

namespace model = editor::model;

namespace {

constexpr double UNLIMITED = 10'000'000;
// QPainter's raster engine keeps coordinates in 16 bits on some paths.
constexpr double MAX_CANVAS_SIDE = 32767;

QRectF qrect(const model::Rect& r)
{
    return { r.x, r.y, r.w, r.h };
}

QColor contrast_color(const DrawCtx& ctx, const model::Color& c)
{
    if (0.299 * c.r + 0.587 * c.g + 0.114 * c.b > 0.7)
        return ctx.color(0.1, 0.1, 0.12);
    return ctx.color(1, 1, 1);
}

// A QImage that owns the processed pixels without copying them. Pixels of
// an opaque picture stay opaque through averaging, and say so: drawing them
// is then a copy rather than a blend.
QImage wrap_pixels(imageops::Image image, bool opaque)
{
    if (image.width == 0 || image.height == 0 || image.width > INT_MAX / 4 || image.height > INT_MAX)
        return {};
    auto* owned = new std::vector<std::uint8_t>(std::move(image.pixels));
    QImage q(owned->data(), int(image.width), int(image.height), int(4 * image.width),
        opaque ? QImage::Format_RGB32 : QImage::Format_ARGB32_Premultiplied,
        [](void* p) { delete static_cast<std::vector<std::uint8_t>*>(p); }, owned);
    if (q.isNull())
        delete owned;
    return q;
}

imageops::View sub_view(std::span<const std::uint8_t> pixels, std::size_t width, const imageops::Rect& r)
{
    const std::size_t stride = 4 * width;
    const std::size_t offset = r.y * stride + 4 * r.x;
    return { pixels.subspan(std::min(offset, pixels.size())), r.w, r.h, stride };
}

imageops::View sub_view(const output::Raster& raster, const imageops::Rect& r)
{
    return sub_view(raster.pixels, raster.width, r);
}

// The processed entry of a pixelate or blur region, made (or remade) when
// the cached one does not match; none when the region is empty or its
// picture cannot be made.
const EffectEntry* effect_entry(DrawCtx& ctx, Base& base, EffectCache& cache, const model::Annotation& a, const imageops::Rect& p)
{
    const std::uint8_t kind = a.kind;
    const bool reduced = kind == KIND_BLUR && ctx.on_screen;
    if (auto it = cache.find(a.id); it != cache.end()) {
        const EffectEntry& e = it->second;
        if (e.kind == kind && e.size == a.size && e.reduced == reduced && e.pixels == p)
            return &e;
    }
    const std::shared_ptr<const output::Raster> raster = base.raster();
    if (!raster || raster->width == 0 || raster->height == 0)
        return nullptr;
    const imageops::View whole { raster->pixels, raster->width, raster->height, 4 * std::size_t(raster->width) };
    const double t = ctx.scale * model::EFFECT_STRENGTHS[std::min<std::size_t>(a.size, 2)];
    QImage image;
    QRectF draw;
    if (kind == KIND_PIXELATE) {
        const imageops::Rect r = p.clamp(raster->width, raster->height);
        const std::size_t cell = static_cast<std::size_t>(std::max(std::round(t), 2.0));
        imageops::Image cells = imageops::downscale(sub_view(*raster, r), cell);
        draw = QRectF(double(p.x), double(p.y), double(cells.width * cell), double(cells.height * cell));
        image = wrap_pixels(std::move(cells), base.opaque());
    } else {
        const double sigma = 1.5 * t;
        const std::size_t radius = static_cast<std::size_t>(std::max(std::round(std::sqrt(4 * sigma * sigma + 1) / 2 - 0.5), 0.0));
        const std::size_t f = std::max<std::size_t>(radius, 1);
        const std::size_t m = 3 * f;
        const std::size_t ex = p.x > m ? p.x - m : 0;
        const std::size_t ey = p.y > m ? p.y - m : 0;
        const imageops::Rect e = imageops::Rect { ex, ey, p.x + p.w + m - ex, p.y + p.h + m - ey }.clamp(base.width(), base.height());
        std::size_t k = 1;
        std::size_t x = e.x, y = e.y; // where the region's first pixel goes
        imageops::Image region;
        const std::size_t reduce = reduced && radius >= 8 ? std::max<std::size_t>(f / 4, 1) : 1;
        const std::shared_ptr<const imageops::Image> preview = reduce >= PREVIEW_FACTOR ? base.preview() : nullptr;
        if (preview) {
            // Whole preview pixels around the region: it moves by less than
            // one, which its blur hides.
            constexpr std::size_t F = PREVIEW_FACTOR;
            const imageops::Rect r = imageops::Rect { e.x / F, e.y / F, (e.x + e.w + F - 1) / F - e.x / F,
                (e.y + e.h + F - 1) / F - e.y / F }.clamp(preview->width, preview->height);
            k = reduce / F * F;
            x = r.x * F;
            y = r.y * F;
            region = imageops::downscale(sub_view(preview->pixels, preview->width, r), k / F);
        } else if (reduce > 1) {
            k = reduce;
            region = imageops::downscale(sub_view(*raster, e.clamp(raster->width, raster->height)), k);
        } else {
            const imageops::Rect c = e.clamp(raster->width, raster->height);
            region = { imageops::crop(whole, c), c.w, c.h };
        }
        if (region.width > 0 && region.height > 0)
            imageops::blur({ region.pixels, region.width, region.height, 4 * region.width }, std::max<std::size_t>(f / k, 1));
        draw = QRectF(double(x), double(y), double(k * region.width), double(k * region.height));
        image = wrap_pixels(std::move(region), base.opaque());
    }
    if (image.isNull())
        return nullptr;
    EffectEntry& entry = cache[a.id];
    entry = EffectEntry { draw, std::move(image), p, kind, a.size, reduced };
    return &entry;
}

void draw_effect(DrawCtx& ctx, Base& base, EffectCache& cache, const model::Annotation& a, const model::TwoPoint& g)
{
    const double left = std::min(g.start.x, g.end.x), top = std::min(g.start.y, g.end.y);
    const double right = left + std::abs(g.end.x - g.start.x), bottom = top + std::abs(g.end.y - g.start.y);
    const auto lo = [](double v) { return static_cast<std::uint64_t>(std::max(std::floor(v), 0.0)); };
    const auto hi = [](double v, std::uint64_t limit) {
        return std::min(static_cast<std::uint64_t>(std::max(std::ceil(v), 0.0)), limit);
    };
    const std::uint64_t x0 = lo(left), y0 = lo(top);
    const std::uint64_t x1 = hi(right, base.width()), y1 = hi(bottom, base.height());
    if (x0 >= x1 || y0 >= y1)
        return;
    const imageops::Rect p { x0, y0, x1 - x0, y1 - y0 };
    const EffectEntry* e = effect_entry(ctx, base, cache, a, p);
    if (!e)
        return;
    QPainter& q = *ctx.painter;
    q.save();
    q.setClipRect(QRectF(double(p.x), double(p.y), double(p.w), double(p.h)), Qt::IntersectClip);
    q.setRenderHint(QPainter::SmoothPixmapTransform, a.kind == KIND_BLUR);
    q.drawImage(e->draw, e->image);
    q.restore();
}

void draw_highlighter(DrawCtx& ctx, const Base& base, const model::Annotation& a, const model::Stroke& s)
{
    const double w = ctx.scale * model::STROKE_WIDTHS[std::min<std::size_t>(a.size, 2)];
    QPainterPath path;
    add_smooth_path(path, s.points.get());
    QPainterPathStroker stroker;
    stroker.setWidth(4 * w);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    QPainter& q = *ctx.painter;
    q.save();
    q.setClipPath(stroker.createStroke(path), Qt::IntersectClip);
    q.drawImage(QPointF(0, 0), base.image());
    q.setCompositionMode(QPainter::CompositionMode_Multiply);
    q.fillRect(qrect(a.bounds(ctx.scale)), ctx.color(a.color.r, a.color.g, a.color.b));
    q.restore();
}

void draw_spotlights(DrawCtx& ctx, std::span<const model::Annotation> items, const QRectF& visible, std::optional<std::uint64_t> skip)
{
    std::vector<QRectF> holes_at;
    for (const model::Annotation& a : items)
        if (a.kind == 12 && !(skip && a.id == *skip))
            if (const auto* g = std::get_if<model::TwoPoint>(&a.geom))
                holes_at.push_back(qrect(model::Rect::between(g->start, g->end)));
    if (holes_at.empty())
        return;
    // One dimming fill with the holes cut out: everything outside is dimmed
    // once however many spotlights overlap there.
    QPainterPath holes;
    for (const QRectF& r : holes_at) {
        const double radius = std::max(0.0, std::min({ 6 * ctx.scale, r.width() / 2, r.height() / 2 }));
        QPainterPath hole;
        hole.addRoundedRect(r, radius, radius);
        holes = holes.united(hole);
    }
    QPainterPath dim;
    dim.addRect(visible);
    ctx.painter->fillPath(dim.subtracted(holes), ctx.color(0, 0, 0, 0.55));
}

// A text's glyph outlines and its stroked contour, kept while the same text
// is drawn again at the same size: shaping and stroking glyphs cost more than
// filling them, and every repaint of the overlay draws every visible text.
struct ShapedText {
    TextShape shape;
    QPainterPath contour; // the outline stroke's area, when asked for
};

const ShapedText& shaped(std::string_view text, double pixel_size, double limit, double contour_width)
{
    thread_local std::unordered_map<std::string, ShapedText> cache;
    std::string key = fmt::format("{}|{}|{}|{}", pixel_size, limit, contour_width, text);
    if (const auto it = cache.find(key); it != cache.end())
        return it->second;
    if (cache.size() >= 512)
        cache.clear();
    ShapedText made { shape_text(text, text_font(pixel_size), limit), {} };
    if (contour_width > 0) {
        QPainterPathStroker stroker;
        stroker.setWidth(contour_width);
        stroker.setCapStyle(Qt::RoundCap);
        stroker.setJoinStyle(Qt::RoundJoin);
        made.contour = stroker.createStroke(made.shape.path).simplified();
    }
    return cache.emplace(std::move(key), std::move(made)).first->second;
}

void draw_text(DrawCtx& ctx, QPainter& q, const model::Annotation& a, const model::Text& t)
{
    const double f = ctx.scale * model::TEXT_SIZES[std::min<std::size_t>(a.size, 2)];
    const double pad = 0.075 * f;
    const double limit = t.wrap_width > 0 ? std::max(t.wrap_width - 2 * pad, 1.0) : UNLIMITED;
    const ShapedText& s = shaped(t.text, f, limit, 2 * pad);
    q.save();
    q.translate(t.origin.x + pad, t.origin.y + pad);
    q.fillPath(s.contour, contrast_color(ctx, a.color));
    q.fillPath(s.shape.path, ctx.color(a.color.r, a.color.g, a.color.b));
    q.restore();
}

void draw_counter(DrawCtx& ctx, QPainter& q, const model::Annotation& a, const model::Counter& c)
{
    const double r = ctx.scale * model::COUNTER_RADII[std::min<std::size_t>(a.size, 2)];
    const double cx = c.center.x, cy = c.center.y;
    q.setPen(Qt::NoPen);
    q.setBrush(ctx.color(a.color.r, a.color.g, a.color.b));
    q.drawEllipse(QRectF(cx - r, cy - r, 2 * r, 2 * r));
    q.setBrush(Qt::NoBrush);
    q.setPen(QPen(ctx.color(1, 1, 1), 0.12 * r));
    q.drawEllipse(QRectF(cx - 0.94 * r, cy - 0.94 * r, 1.88 * r, 1.88 * r));
    const std::string digits = std::to_string(c.number);
    const TextShape& shape = shaped(digits, digits.size() == 1 ? r * 1.15 : r, UNLIMITED, 0).shape;
    q.save();
    q.translate(cx - shape.size.width() / 2, cy - shape.size.height() / 2);
    q.fillPath(shape.path, contrast_color(ctx, a.color));
    q.restore();
}

void draw_two_point(QPainter& q, const model::Annotation& a, const model::TwoPoint& g, const QPen& pen, double w)
{
    const QColor color = pen.color();
    const QRectF box = qrect(model::Rect::between(g.start, g.end));
    const auto radius = [&](double r) { return std::max(0.0, std::min({ r, box.width() / 2, box.height() / 2 })); };
    switch (a.kind) {
    case 1: {
        const std::vector<model::Point> outline = model::arrow_polygon(g.start, g.end, w);
        if (outline.empty())
            return;
        QPainterPath path;
        path.moveTo(outline[0].x, outline[0].y);
        for (std::size_t i = 1; i < outline.size(); ++i)
            path.lineTo(outline[i].x, outline[i].y);
        path.closeSubpath();
        q.fillPath(path, color);
        QPen thin = pen;
        thin.setWidthF(0.3 * w);
        q.strokePath(path, thin);
        return;
    }
    case 2:
        q.setPen(pen);
        q.setBrush(Qt::NoBrush);
        q.drawRoundedRect(box, radius(1.2 * w), radius(1.2 * w));
        return;
    case 3:
        q.setPen(Qt::NoPen);
        q.setBrush(color);
        q.drawRoundedRect(box, radius(w), radius(w));
        return;
    case 4:
        q.setPen(pen);
        q.setBrush(Qt::NoBrush);
        q.drawEllipse(box);
        return;
    case 5:
        q.setPen(pen);
        q.drawLine(QPointF(g.start.x, g.start.y), QPointF(g.end.x, g.end.y));
        return;
    default:
        return;
    }
}

void draw_shape(DrawCtx& ctx, const model::Annotation& a)
{
    const double w = ctx.scale * model::STROKE_WIDTHS[std::min<std::size_t>(a.size, 2)];
    const double u = ctx.unit;
    QPainter& parent = *ctx.painter;
    const QRect rect = paint::layer_rect(parent, qrect(a.bounds(ctx.scale)), ctx.layer_within);
    SpriteEntry* cached = nullptr;
    if (ctx.sprites) {
        cached = &(*ctx.sprites)[a.id];
        if (cached->annotation == a && cached->transform == parent.transform() && cached->unit == u && cached->sprite.rect == rect
            && !rect.isEmpty()) {
            paint::draw_sprite(parent, cached->sprite);
            return;
        }
    }
    paint::Layer layer(parent, rect, paint::Shadow { 0, u, 3 * u, ctx.color(0, 0, 0, 0.28) });
    QPainter& q = layer.painter();
    const QPen pen(ctx.color(a.color.r, a.color.g, a.color.b), w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    if (const auto* s = std::get_if<model::Stroke>(&a.geom)) {
        QPainterPath path;
        add_smooth_path(path, s->points.get());
        q.strokePath(path, pen);
    } else if (const auto* g = std::get_if<model::TwoPoint>(&a.geom)) {
        draw_two_point(q, a, *g, pen, w);
    } else if (const auto* t = std::get_if<model::Text>(&a.geom)) {
        draw_text(ctx, q, a, *t);
    } else if (const auto* c = std::get_if<model::Counter>(&a.geom)) {
        draw_counter(ctx, q, a, *c);
    }
    if (!cached) {
        layer.end();
        return;
    }
    *cached = SpriteEntry { a, parent.transform(), u, layer.finish() };
    paint::draw_sprite(parent, cached->sprite);
}

// `size` zero bytes in fresh memory. A picture of tens of megabytes is
// faulted in page by page as it is cleared, which on a busy system costs
// more than painting it; huge pages, where the system allows them on
// request, make those faults 512 times fewer.
std::vector<std::uint8_t> zeroed(std::size_t size)
{
    constexpr std::uintptr_t HUGE_PAGE = 2 << 20;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(size);
    const auto start = reinterpret_cast<std::uintptr_t>(bytes.data());
    const std::uintptr_t first = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t end = (start + size) & ~(HUGE_PAGE - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE); // advice only: failure changes nothing
    bytes.resize(size);
    return bytes;
}

// A paint device whose logical resolution is 72 dots per inch, so that a
// font's point size is its pixel size: QFont only takes whole pixel sizes.
QPaintDevice* text_device()
{
    static QImage* device = [] {
        auto* image = new QImage(1, 1, QImage::Format_ARGB32_Premultiplied);
        image->setDotsPerMeterX(2835); // 72.009 dots per inch
        image->setDotsPerMeterY(2835);
        return image;
    }();
    return device;
}

} // namespace

QColor DrawCtx::color(double r, double g, double b, double a) const
{
    const QColor c = QColor::fromRgbF(float(r), float(g), float(b), float(a));
    if (from_srgb && *from_srgb)
        return (**from_srgb).map(c);
    return c;
}

Base::Base(QImage image, double scale)
    : m_scale(model::normalized_scale(scale))
{
    const QImage::Format format = image.format();
    m_image = format == QImage::Format_ARGB32_Premultiplied || format == QImage::Format_RGB32
        ? std::move(image)
        : image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    m_width = static_cast<std::uint64_t>(std::max(m_image.width(), 0));
    m_height = static_cast<std::uint64_t>(std::max(m_image.height(), 0));
    const QColorSpace srgb(QColorSpace::SRgb);
    m_space = m_image.colorSpace().isValid() ? m_image.colorSpace() : srgb;
    if (m_space != srgb)
        m_from_srgb = srgb.transformationToColorSpace(m_space);
}

void Base::set_raster(output::Raster raster, std::optional<imageops::Image> preview)
{
    m_raster = std::make_shared<const output::Raster>(std::move(raster));
    if (preview)
        m_preview = std::make_shared<const imageops::Image>(std::move(*preview));
}

imageops::Image preview_of(const output::Raster& raster)
{
    return imageops::downscale({ raster.pixels, raster.width, raster.height, 4 * std::size_t(raster.width) }, PREVIEW_FACTOR);
}

std::shared_ptr<const imageops::Image> Base::preview()
{
    if (!m_preview)
        m_preview = std::make_shared<const imageops::Image>(preview_of(*raster()));
    return m_preview;
}

bool Base::opaque()
{
    if (!m_opaque) {
        bool all = true;
        if (m_image.hasAlphaChannel())
            for (int y = 0; all && y < m_image.height(); ++y) {
                const auto* row = reinterpret_cast<const std::uint32_t*>(m_image.constScanLine(y));
                std::uint32_t acc = 0xff000000u;
                for (int x = 0; x < m_image.width(); ++x)
                    acc &= row[x];
                all = (acc >> 24) == 0xff;
            }
        m_opaque = all;
    }
    return *m_opaque;
}

std::shared_ptr<const output::Raster> Base::raster()
{
    if (!m_raster)
        m_raster = std::make_shared<const output::Raster>(output::rasterize(m_image));
    return m_raster;
}

void add_smooth_path(QPainterPath& path, std::span<const model::Point> pts)
{
    const std::size_t n = pts.size();
    if (n == 0)
        return;
    path.moveTo(pts[0].x, pts[0].y);
    if (n == 1) {
        path.lineTo(pts[0].x + 0.01, pts[0].y);
        return;
    }
    for (std::size_t k = 0; k + 2 < n; ++k) {
        const QPointF mid((pts[k].x + pts[k + 1].x) / 2, (pts[k].y + pts[k + 1].y) / 2);
        if (pts[k] == pts[0])
            path.lineTo(mid);
        else
            path.quadTo(QPointF(pts[k].x, pts[k].y), mid);
    }
    path.quadTo(QPointF(pts[n - 2].x, pts[n - 2].y), QPointF(pts[n - 1].x, pts[n - 1].y));
}

void draw_items(DrawCtx& ctx, Base& base, EffectCache& cache, std::span<const model::Annotation> items, const QRectF& v,
    std::optional<std::uint64_t> skip)
{
    const double s = ctx.scale;
    const auto visible = [&](const model::Annotation& a) {
        if (skip && a.id == *skip)
            return false;
        const model::Rect b = a.bounds(s);
        return b.x < v.x() + v.width() && v.x() < b.x + b.w && b.y < v.y() + v.height() && v.y() < b.y + b.h;
    };
    for (const model::Annotation& a : items)
        if (a.kind == 9 && visible(a))
            if (const auto* st = std::get_if<model::Stroke>(&a.geom))
                draw_highlighter(ctx, base, a, *st);
    for (const model::Annotation& a : items)
        if ((a.kind == KIND_PIXELATE || a.kind == KIND_BLUR) && visible(a))
            if (const auto* g = std::get_if<model::TwoPoint>(&a.geom))
                draw_effect(ctx, base, cache, a, *g);
    draw_spotlights(ctx, items, v, skip);
    for (const model::Annotation& a : items)
        if ((a.kind < 9 || a.kind > 12) && visible(a))
            draw_shape(ctx, a);
}

void draw_background(DrawCtx& ctx, const QRectF& canvas, const QRegion& hidden)
{
    QPainter& q = *ctx.painter;
    q.save();
    q.setClipRect(canvas, Qt::IntersectClip);
    if (!hidden.isEmpty()) {
        const QRect device = q.transform().mapRect(canvas).toAlignedRect();
        const QTransform to_device = q.transform();
        q.resetTransform();
        q.setClipRegion(QRegion(device).subtracted(hidden), Qt::IntersectClip);
        q.setTransform(to_device);
    }
    QLinearGradient gradient(canvas.topLeft(), canvas.bottomRight());
    gradient.setSpread(QGradient::PadSpread);
    gradient.setColorAt(0, ctx.color(0.35, 0.55, 1.0));
    gradient.setColorAt(0.55, ctx.color(0.62, 0.42, 0.96));
    gradient.setColorAt(1, ctx.color(0.96, 0.46, 0.68));
    q.fillRect(canvas, gradient);
    q.restore();
}

double floating_radius(const QRectF& source, double scale)
{
    return std::max(0.0, std::min({ 10 * scale, source.width() / 2, source.height() / 2 }));
}

QRegion floating_core(const QPainter& painter, const QRectF& source, double scale)
{
    const double r = floating_radius(source, scale);
    const auto inner = [&](const QRectF& rect) {
        const QRectF d = painter.transform().mapRect(rect);
        const QRect whole(QPoint(int(std::ceil(d.left())), int(std::ceil(d.top()))),
            QPoint(int(std::floor(d.right())) - 1, int(std::floor(d.bottom())) - 1));
        return whole.isValid() ? QRegion(whole) : QRegion();
    };
    return inner(source.adjusted(r, 0, -r, 0)).united(inner(source.adjusted(0, r, 0, -r)));
}

Floating::Floating(DrawCtx& ctx, const QRectF& source, double scale, bool opaque)
    : m_parent(ctx.painter)
{
    const double u = ctx.unit;
    const paint::Shadow shadow { 0, 10 * u, 28 * u, ctx.color(0, 0, 0, 0.35) };
    const double r = floating_radius(source, scale);
    QPainterPath rounded;
    rounded.addRoundedRect(source, r, r);
    if (opaque) {
        m_parent->save();
        paint::draw_shadow(*m_parent, rounded, shadow, floating_core(*m_parent, source, scale));
        m_parent->setClipPath(rounded, Qt::IntersectClip);
    } else {
        m_layer = std::make_unique<paint::Layer>(*m_parent, source, shadow);
        m_layer->painter().setClipPath(rounded, Qt::IntersectClip);
    }
}

void Floating::end()
{
    if (m_ended)
        return;
    m_ended = true;
    if (m_layer)
        m_layer->end();
    else
        m_parent->restore();
}

QFont text_font(double pixel_size)
{
    QFont font(QStringLiteral("Inter"));
    font.setPointSizeF(std::max(pixel_size, 0.01));
    font.setWeight(QFont::Bold);
    font.setHintingPreference(QFont::PreferNoHinting);
    font.setKerning(true);
    return font;
}

TextShape shape_text(std::string_view text, const QFont& font, double width_limit)
{
    QString s = QString::fromUtf8(text.data(), qsizetype(text.size()));
    s.replace(QChar(u'\n'), QChar(QChar::LineSeparator));
    QTextLayout layout(s, font, text_device());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    double y = 0, width = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(std::min(width_limit, UNLIMITED));
        line.setPosition(QPointF(0, y));
        y += line.height();
        width = std::max(width, line.naturalTextWidth());
    }
    layout.endLayout();
    TextShape shape;
    shape.size = QSizeF(width, y);
    for (const QGlyphRun& run : layout.glyphRuns()) {
        const QRawFont raw = run.rawFont();
        const QList<quint32> glyphs = run.glyphIndexes();
        const QList<QPointF> positions = run.positions();
        for (qsizetype i = 0; i < glyphs.size() && i < positions.size(); ++i)
            shape.path.addPath(raw.pathForGlyph(glyphs[i]).translated(positions[i]));
    }
    return shape;
}

model::Size measure_text(std::string_view text, int size, double scale, double max_width)
{
    const double f = scale * model::TEXT_SIZES[std::clamp(size, 0, 2)];
    const double pad = 2 * 0.075 * f;
    const double limit = max_width > 0 ? std::max(max_width - pad, 1.0) : UNLIMITED;
    const TextShape shape = shape_text(text.empty() ? std::string_view(" ") : text, text_font(f), limit);
    return { pad + std::ceil(shape.size.width()), pad + std::ceil(shape.size.height()) };
}

double margin_for(const Base& base, const model::Doc& doc)
{
    if (!doc.background)
        return 0;
    const QRectF s = source_rect(base, doc);
    return model::frame_margin(s.width(), s.height(), base.scale());
}

QRectF source_rect(const Base& base, const model::Doc& doc)
{
    if (doc.crop)
        return qrect(*doc.crop);
    return { 0, 0, double(base.width()), double(base.height()) };
}

std::optional<output::Raster> export_doc(Base& base, const model::Doc& doc, EffectCache& cache)
{
    const QRectF source = source_rect(base, doc);
    const double m = margin_for(base, doc);
    const QRectF canvas = source.adjusted(-m, -m, m, m);
    const auto whole = [](double v) { return v > 0 ? std::round(v) : 0.0; };
    const double pw = whole(canvas.width()), ph = whole(canvas.height());
    if (pw < 1 || ph < 1 || pw > MAX_CANVAS_SIDE || ph > MAX_CANVAS_SIDE || pw * ph * 4 > double(INT_MAX))
        return std::nullopt;
    output::Raster raster;
    raster.width = static_cast<std::uint32_t>(pw);
    raster.height = static_cast<std::uint32_t>(ph);
    raster.pixels = zeroed(std::size_t(raster.width) * raster.height * 4);
    // The painter writes straight into the raster's bytes.
    QImage target(raster.pixels.data(), int(raster.width), int(raster.height), int(4 * raster.width),
        QImage::Format_ARGB32_Premultiplied);
    if (target.isNull())
        return std::nullopt;
    {
        QPainter painter(&target);
        if (!painter.isActive())
            return std::nullopt;
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        painter.translate(-canvas.x(), -canvas.y());
        DrawCtx ctx { .painter = &painter, .scale = base.scale(), .unit = base.scale(), .from_srgb = &base.from_srgb() };
        std::unique_ptr<Floating> floating;
        if (doc.background) {
            const bool opaque = base.opaque();
            draw_background(ctx, canvas, opaque ? floating_core(painter, source, base.scale()) : QRegion());
            floating = std::make_unique<Floating>(ctx, source, base.scale(), opaque);
            ctx.painter = &floating->painter();
        }
        QPainter& q = *ctx.painter;
        q.save();
        q.setClipRect(source, Qt::IntersectClip);
        q.drawImage(QPointF(0, 0), base.image());
        draw_items(ctx, base, cache, doc.annotations, source, std::nullopt);
        q.restore();
        if (floating)
            floating->end();
    }
    const QByteArray icc = base.color_space().iccProfile();
    if (!icc.isEmpty())
        raster.icc = std::vector<std::uint8_t>(icc.begin(), icc.end());
    return raster;
}

} // namespace render

namespace editor {

std::optional<std::pair<output::Raster, double>> export_editor(Editor& editor)
{
    const util::Stopwatch stopwatch("editor");
    editor.editing().commit_text();
    std::optional<output::Raster> raster = render::export_doc(editor.base(), editor.editing().doc(), editor.effects());
    if (!raster)
        return std::nullopt;
    stopwatch.lap(fmt::format("exportado {}×{}", raster->width, raster->height));
    return std::pair { std::move(*raster), editor.base().scale() };
}

std::vector<std::uint8_t> encode(const output::Raster& raster, double scale)
{
    if (raster.width == 0 || raster.height == 0)
        return {};
    encode::PngOptions options;
    options.icc = raster.icc;
    options.scale = scale;
    options.threads = 0;
    return encode::encode_png({ raster.pixels, raster.width, raster.height, 4 * std::size_t(raster.width), false }, std::move(options));
}

} // namespace editor
