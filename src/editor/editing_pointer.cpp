// editor: presses, drags and releases in the overlay view.
#include "editor/editing.h"

#include <algorithm>
#include <cmath>

namespace editor {

using model::Point;
using model::Rect;
using model::Tool;

namespace {

constexpr double GRAB_RADIUS = 9;      // view points around a handle or crop corner
constexpr double HIT_TOLERANCE = 5;    // view points around an annotation
constexpr double MIN_STROKE_STEP = 1;  // view points between stroke samples
constexpr double MIN_SHAPE_LENGTH = 3; // view points; a shorter click is no shape
constexpr double MIN_CROP = 4;         // image pixels on each side
constexpr double SAME_CORNER = 1e-6;

double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

std::array<Point, 4> corners(const Rect& r)
{
    return { { { r.x, r.y }, { r.x + r.w, r.y }, { r.x + r.w, r.y + r.h }, { r.x, r.y + r.h } } };
}

// The index of the corner that lies at q, if any.
template <typename Corners>
std::optional<int> corner_at(const Corners& cs, Point q)
{
    for (std::size_t i = 0; i < cs.size(); ++i)
        if (std::abs(cs[i].x - q.x) <= SAME_CORNER && std::abs(cs[i].y - q.y) <= SAME_CORNER)
            return static_cast<int>(i);
    return std::nullopt;
}

bool is_stroke_kind(int kind)
{
    return kind == static_cast<int>(Tool::Pencil) || kind == static_cast<int>(Tool::Highlighter);
}

} // namespace

void Editing::mouse_down(bool /*shift*/, int clicks, Point view)
{
    enter("mouse_down");
    m_drag = drag::Idle {};
    if (m_text) {
        commit_text();
        return;
    }
    const Point p = m_mapping.to_image(view);
    if (m_tool == Tool::Crop) {
        press_crop(clicks, view, p);
        return;
    }
    if (m_selection) {
        if (const model::Annotation* a = m_doc.find(*m_selection)) {
            const auto handles = a->handles();
            for (std::size_t i = 0; i < handles.size(); ++i) {
                if (distance(m_mapping.to_view(handles[i]), view) <= GRAB_RADIUS) {
                    m_drag = drag::Resize { m_doc, a->id, static_cast<int>(i) };
                    return;
                }
            }
        }
    }
    if (const auto hit = m_doc.hit(p, HIT_TOLERANCE / m_mapping.zoom, m_scale)) {
        const model::Annotation& a = *m_doc.find(*hit);
        if (m_tool == Tool::Select || static_cast<int>(m_tool) == a.kind) {
            if (const auto* text = std::get_if<model::Text>(&a.geom); text && clicks >= 2) {
                begin_text(true, a.id, text->origin);
                return;
            }
            select(a.id);
            m_drag = drag::Move { m_doc, a.id, p };
            return;
        }
    }
    select(std::nullopt);
    switch (m_tool) {
    case Tool::Select:
    case Tool::Crop:
        return;
    case Tool::Text:
        begin_text(false, 0, p);
        return;
    case Tool::Counter: {
        take_checkpoint();
        const std::uint64_t id = add_annotation(model::Counter { p, m_doc.next_counter() }, m_tool, m_color, m_size);
        m_selection = id;
        // Dragging right after placing moves the counter within the same undo entry.
        m_drag = drag::Move { std::nullopt, id, p };
        redraw(id);
        sync_controls();
        return;
    }
    case Tool::Pencil:
    case Tool::Highlighter: {
        take_checkpoint();
        const std::uint64_t id = add_annotation(model::Stroke { { p } }, m_tool, m_color, m_size);
        m_drag = drag::Create { p, id, std::nullopt, m_undo.size() }; // strokes are never taken back
        redraw(id);
        return;
    }
    default: {
        auto dropped = take_checkpoint();
        const std::uint64_t id = add_annotation(model::TwoPoint { p, p }, m_tool, m_color, m_size);
        m_drag = drag::Create { p, id, std::move(dropped), m_undo.size() };
        return;
    }
    }
}

void Editing::press_crop(int clicks, Point view, Point p)
{
    if (m_crop_edit) {
        const auto cs = corners(*m_crop_edit);
        for (std::size_t i = 0; i < cs.size(); ++i) {
            if (distance(m_mapping.to_view(cs[i]), view) <= GRAB_RADIUS) {
                m_drag = drag::CropResize { static_cast<int>(i) };
                return;
            }
        }
        if (m_crop_edit->contains(p)) {
            if (clicks >= 2)
                apply_crop();
            else
                m_drag = drag::CropMove { p };
            return;
        }
    }
    const Point anchor { std::clamp(p.x, 0.0, double(m_width)), std::clamp(p.y, 0.0, double(m_height)) };
    m_drag = drag::CropNew { anchor };
    m_crop_edit.reset();
    redraw_all();
}

void Editing::mouse_dragged(bool shift, Point view)
{
    enter("mouse_dragged");
    const Point p = m_mapping.to_image(view);
    const auto clamp_into_image = [&](Point q) {
        return Point { std::clamp(q.x, 0.0, double(m_width)), std::clamp(q.y, 0.0, double(m_height)) };
    };
    if (auto* g = std::get_if<drag::Create>(&m_drag)) {
        drag_create(*g, shift, p);
    } else if (auto* g = std::get_if<drag::Move>(&m_drag)) {
        if (g->before) {
            push_undo(std::move(*g->before));
            g->before.reset();
        }
        if (model::Annotation* a = m_doc.find(g->id)) {
            const Rect earlier = a->bounds(m_scale);
            a->translate(p.x - g->anchor.x, p.y - g->anchor.y);
            invalidate_change(g->id, earlier);
        }
        g->anchor = p;
    } else if (auto* g = std::get_if<drag::Resize>(&m_drag)) {
        drag_resize(*g, shift, p);
    } else if (auto* g = std::get_if<drag::CropNew>(&m_drag)) {
        const Point target = clamp_into_image(shift ? model::constrain(static_cast<int>(Tool::Crop), g->anchor, p) : p);
        m_crop_edit = Rect::between(g->anchor, target);
        redraw_all();
    } else if (auto* g = std::get_if<drag::CropMove>(&m_drag)) {
        if (m_crop_edit) {
            Rect& r = *m_crop_edit;
            r.x = std::clamp(r.x + p.x - g->anchor.x, 0.0, std::max(0.0, m_width - r.w));
            r.y = std::clamp(r.y + p.y - g->anchor.y, 0.0, std::max(0.0, m_height - r.h));
        }
        g->anchor = p;
        redraw_all();
    } else if (auto* g = std::get_if<drag::CropResize>(&m_drag)) {
        if (m_crop_edit) {
            const Point q = clamp_into_image(p);
            const Point fixed = corners(*m_crop_edit)[g->handle ^ 2];
            m_crop_edit = Rect::between(q, fixed);
            g->handle = corner_at(corners(*m_crop_edit), q).value_or(g->handle);
        }
        redraw_all();
    }
}

void Editing::drag_create(drag::Create& g, bool shift, Point p)
{
    model::Annotation* a = m_doc.find(g.id);
    if (!a)
        return;
    const Rect earlier = a->bounds(m_scale);
    if (auto* stroke = std::get_if<model::Stroke>(&a->geom)) {
        if (shift) {
            stroke->points.edit() = { g.start, model::constrain(a->kind, g.start, p) };
        } else {
            if (!stroke->points.empty() && distance(stroke->points.back(), p) * m_mapping.zoom < MIN_STROKE_STEP)
                return;
            stroke->points.push_back(p);
        }
    } else if (auto* two = std::get_if<model::TwoPoint>(&a->geom)) {
        two->end = shift ? model::constrain(a->kind, two->start, p) : p;
    }
    invalidate_change(g.id, earlier);
}

void Editing::drag_resize(drag::Resize& g, bool shift, Point p)
{
    if (g.before) {
        push_undo(std::move(*g.before));
        g.before.reset();
    }
    model::Annotation* a = m_doc.find(g.id);
    auto* two = a ? std::get_if<model::TwoPoint>(&a->geom) : nullptr;
    if (!two)
        return;
    const Rect earlier = a->bounds(m_scale);
    const auto handles = a->handles();
    if (g.handle < 0 || static_cast<std::size_t>(g.handle) >= handles.size())
        return;
    const bool two_handles = handles.size() == 2;
    const Point fixed = two_handles ? handles[1 - g.handle] : handles[g.handle ^ 2];
    const Point q = shift ? model::constrain(a->kind, fixed, p) : p;
    if (two_handles) {
        (g.handle == 0 ? two->start : two->end) = q;
    } else {
        two->start = fixed;
        two->end = q;
        // Dragging across the opposite corner flips the shape; the handle
        // under the pointer is the corner that now lies at q.
        if (model::square_kind(a->kind))
            g.handle = corner_at(a->handles(), q).value_or(g.handle);
    }
    invalidate_change(g.id, earlier);
}

void Editing::mouse_up()
{
    enter("mouse_up");
    release(std::exchange(m_drag, drag::Idle {}));
    sync_controls();
}

void Editing::release(Drag gesture)
{
    if (auto* g = std::get_if<drag::Create>(&gesture)) {
        const model::Annotation* a = m_doc.find(g->id);
        if (!a)
            return;
        const auto* two = std::get_if<model::TwoPoint>(&a->geom);
        if (two && distance(two->start, two->end) * m_mapping.zoom < MIN_SHAPE_LENGTH) {
            // A click that drew nothing: the document and its history go back
            // to exactly what they were before the press. Should anything
            // have been recorded since, only the shape goes.
            const Rect earlier = a->bounds(m_scale);
            if (m_undo.size() == g->history) {
                m_doc = std::move(m_undo.back());
                m_undo.pop_back();
                if (g->dropped)
                    m_undo.push_front(std::move(*g->dropped));
            } else {
                m_doc.remove(g->id);
            }
            invalidate_change(g->id, earlier);
            return;
        }
        if (!is_stroke_kind(a->kind))
            m_selection = g->id;
        redraw(g->id);
    } else if (auto* g = std::get_if<drag::Move>(&gesture)) {
        redraw(g->id);
    } else if (auto* g = std::get_if<drag::Resize>(&gesture)) {
        redraw(g->id);
    } else if (std::holds_alternative<drag::CropNew>(gesture) || std::holds_alternative<drag::CropResize>(gesture)) {
        if (m_crop_edit && (m_crop_edit->w < MIN_CROP || m_crop_edit->h < MIN_CROP))
            m_crop_edit.reset();
        redraw_all();
    }
}

} // namespace editor
