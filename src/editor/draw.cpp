#include "editor/draw.h"

#include <QFontMetricsF>
#include <QPainterPath>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

namespace editor {

namespace {

QRectF qrect(const model::Rect& r)
{
    return { r.x, r.y, r.w, r.h };
}

// Image pixels to view points.
QTransform image_to_view(const ViewMapping& m)
{
    return QTransform(m.zoom, 0, 0, m.zoom, m.offset.x - m.canvas.x * m.zoom, m.offset.y - m.canvas.y * m.zoom);
}

bool frame_shown(const Editing& e)
{
    return e.doc().background && e.tool() != model::Tool::Crop;
}

render::DrawCtx screen_ctx(Editor& editor, QPainter* painter, double dpr)
{
    const double s = editor.base().scale();
    return { .painter = painter, .scale = s, .unit = s * editor.editing().mapping().zoom * dpr, .on_screen = true, .from_srgb = &editor.base().from_srgb() };
}

void rebuild_stage(Editor& editor, StageCache& cache, double dpr)
{
    const ViewMapping& m = editor.editing().mapping();
    cache.mapping = m;
    cache.dpr = dpr;
    const QSize size(int(std::ceil(m.canvas.w * m.zoom * dpr)), int(std::ceil(m.canvas.h * m.zoom * dpr)));
    cache.image = QImage(size, QImage::Format_ARGB32_Premultiplied);
    if (cache.image.isNull())
        return;
    cache.image.fill(Qt::transparent);
    QPainter p(&cache.image);
    p.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    p.scale(m.zoom * dpr, m.zoom * dpr);
    p.translate(-m.canvas.x, -m.canvas.y);
    render::DrawCtx ctx = screen_ctx(editor, &p, dpr);
    const QRectF source = qrect(m.source);
    const bool opaque = editor.base().opaque();
    render::draw_background(ctx, qrect(m.canvas), opaque ? render::floating_core(p, source, ctx.scale) : QRegion());
    render::Floating floating(ctx, source, ctx.scale, opaque);
    QPainter& q = floating.painter();
    q.setClipRect(source, Qt::IntersectClip);
    q.drawImage(QPointF(0, 0), editor.base().image());
    floating.end();
}

void draw_crop(QPainter& p, const Editing& e)
{
    const ViewMapping& m = e.mapping();
    const QRectF s = qrect(m.to_view_rect(m.source));
    if (!e.crop_edit()) {
        draw_pill(p, QStringLiteral("Arrastra para elegir el recorte"), s);
        return;
    }
    const model::Rect crop = *e.crop_edit();
    const QRectF r = qrect(m.to_view_rect(crop));
    QPainterPath dim;
    dim.setFillRule(Qt::OddEvenFill);
    dim.addRect(s);
    dim.addRect(r);
    p.fillPath(dim, QColor::fromRgbF(0, 0, 0, 0.55f));

    p.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.35f), 1));
    for (double k : { 1.0 / 3, 2.0 / 3 }) {
        p.drawLine(QPointF(r.x() + r.width() * k, r.y()), QPointF(r.x() + r.width() * k, r.bottom()));
        p.drawLine(QPointF(r.x(), r.y() + r.height() * k), QPointF(r.right(), r.y() + r.height() * k));
    }
    const QColor white = QColor::fromRgbF(1, 1, 1, 0.95f);
    p.setPen(QPen(white, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(r.x() + 0.5, r.y() + 0.5, r.width() - 1, r.height() - 1));
    const double l = corner_arm(r);
    QPainterPath arms;
    const auto corner = [&](QPointF c, double dx, double dy) {
        arms.moveTo(c + QPointF(dx * l, 0));
        arms.lineTo(c);
        arms.lineTo(c + QPointF(0, dy * l));
    };
    corner(r.topLeft(), 1, 1);
    corner(r.topRight(), -1, 1);
    corner(r.bottomRight(), -1, -1);
    corner(r.bottomLeft(), 1, -1);
    p.strokePath(arms, QPen(white, 4, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    // The size the crop will have, not the rectangle's own rounded size.
    const model::Rect result = e.crop_result().value_or(crop);
    draw_pill(p, crop_hint(result.w, result.h), r);
}

void draw_selection(QPainter& p, Editor& editor, double dpr)
{
    const Editing& e = editor.editing();
    if (!e.selection() || std::holds_alternative<drag::Create>(e.gesture()))
        return;
    const model::Annotation* a = e.doc().find(*e.selection());
    if (!a)
        return;
    const ViewMapping& m = e.mapping();
    const double s = editor.base().scale();
    if (a->kind != 1 && a->kind != 5) {
        model::Rect box;
        if (const auto* g = std::get_if<model::TwoPoint>(&a->geom))
            box = model::Rect::between(g->start, g->end);
        else
            box = a->bounds(s).grown(-4 * s);
        const QRectF v = qrect(m.to_view_rect(box));
        dashed_rect(p, v.adjusted(-0.5, -0.5, 0.5, 0.5));
    }
    for (const model::Point& h : a->handles()) {
        const model::Point c = m.to_view(h);
        const QRectF disc(c.x - 5, c.y - 5, 10, 10);
        {
            paint::Layer layer(p, disc.adjusted(-1, -1, 1, 1), paint::Shadow { 0, 0.5 * dpr, 2 * dpr, QColor::fromRgbF(0, 0, 0, 0.4f) });
            QPainter& q = layer.painter();
            q.setPen(Qt::NoPen);
            q.setBrush(Qt::white);
            q.drawEllipse(disc);
        }
        p.setBrush(Qt::NoBrush);
        p.setPen(QPen(QColor::fromRgbF(0, 0.48f, 1), 1.5));
        p.drawEllipse(disc);
    }
}

} // namespace

void draw_stage(Editor& editor, QPainter& painter, const QRectF& dirty, StageCache& cache, double dpr)
{
    if (!painter.isActive() || !editor.has_window())
        return;
    const render::DrawCtx ctx = screen_ctx(editor, &painter, dpr);
    painter.fillRect(dirty, ctx.color(0.118, 0.118, 0.129));
    const Editing& e = editor.editing();
    if (!frame_shown(e))
        return;
    if (!cache.mapping || *cache.mapping != e.mapping() || cache.dpr != dpr)
        rebuild_stage(editor, cache, dpr);
    if (cache.image.isNull())
        return;
    const ViewMapping& m = e.mapping();
    const QRectF canvas(m.offset.x, m.offset.y, cache.image.width() / dpr, cache.image.height() / dpr);
    const QRectF part = canvas & dirty;
    if (part.isEmpty())
        return;
    const QRectF from((part.x() - canvas.x()) * dpr, (part.y() - canvas.y()) * dpr, part.width() * dpr, part.height() * dpr);
    painter.drawImage(part, cache.image, from);
}

void draw_overlay(Editor& editor, QPainter& painter, const QRectF& dirty, double dpr)
{
    if (!painter.isActive())
        return;
    const Editing& e = editor.editing();
    const ViewMapping& m = e.mapping();
    const QRectF source = qrect(m.source);
    const model::Point a = m.to_image({ dirty.x(), dirty.y() });
    const model::Point b = m.to_image({ dirty.right(), dirty.bottom() });
    QRectF visible = QRectF(QPointF(a.x, a.y), QPointF(b.x, b.y)) & source;
    if (visible.width() < 0 || visible.height() < 0)
        visible = QRectF(visible.topLeft(), QSizeF(0, 0));

    painter.save();
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    painter.setClipRect(dirty, Qt::IntersectClip);
    painter.setTransform(image_to_view(m), true);
    if (frame_shown(e)) {
        const double r = render::floating_radius(source, editor.base().scale());
        QPainterPath clip;
        clip.addRoundedRect(source, r, r);
        painter.setClipPath(clip, Qt::IntersectClip);
    } else {
        painter.setClipRect(source, Qt::IntersectClip);
    }
    render::DrawCtx ctx = screen_ctx(editor, &painter, dpr);
    render::trim_sprites(editor.sprites(), render::SPRITE_BUDGET);
    ctx.sprites = &editor.sprites();
    ctx.layer_within = painter.transform().mapRect(source).toAlignedRect();
    render::draw_items(ctx, editor.base(), editor.effects(), e.doc().annotations, visible, e.editing_text_id());
    painter.restore();

    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    if (e.tool() == model::Tool::Crop)
        draw_crop(painter, e);
    else
        draw_selection(painter, editor, dpr);
    painter.restore();
}

void dashed_rect(QPainter& painter, const QRectF& rect)
{
    painter.save();
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.9f), 1, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin));
    painter.drawRect(rect);
    QPen dash(QColor::fromRgbF(0, 0.48f, 1), 1, Qt::CustomDashLine, Qt::FlatCap, Qt::MiterJoin);
    dash.setDashPattern({ 4, 3 });
    dash.setDashOffset(0);
    painter.setPen(dash);
    painter.drawRect(rect);
    painter.restore();
}

QFont pill_font()
{
    QFont font(QStringLiteral("Inter"));
    font.setPixelSize(12);
    font.setWeight(QFont::Medium);
    return font;
}

QRectF pill_frame(QSizeF text, const QRectF& a)
{
    const double w = text.width() + 20, h = text.height() + 8;
    const double x = std::round(a.x() + (a.width() - w) / 2);
    double y = std::round(a.y() - h - 8);
    if (y < 4)
        y = a.y() + 8;
    return { x, y, w, h };
}

void draw_pill(QPainter& painter, const QString& text, const QRectF& anchor)
{
    const QFont font = pill_font();
    const QFontMetricsF metrics(font);
    const QSizeF size(metrics.horizontalAdvance(text), metrics.height());
    const QRectF frame = pill_frame(size, anchor);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor::fromRgbF(0.08f, 0.08f, 0.1f, 0.85f));
    painter.drawRoundedRect(frame, frame.height() / 2, frame.height() / 2);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(frame.x() + 10, frame.y() + 4, size.width() + 1, size.height()), Qt::AlignLeft | Qt::AlignTop, text);
    painter.restore();
}

QString crop_hint(double width, double height)
{
    const auto whole = [](double v) { return static_cast<long long>(std::round(v)); };
    return QString::fromStdString(fmt::format("{} × {}   ·   Intro aplica · Esc cancela", whole(width), whole(height)));
}

double corner_arm(const QRectF& crop)
{
    return std::min({ crop.width() / 2, 18.0, crop.height() / 2 });
}

} // namespace editor
