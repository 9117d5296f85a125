#include "editor/editing.h"

#include "base/util.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace editor {

using model::Point;
using model::Rect;
using model::Tool;

namespace {

// Points of slack around every redraw: handles and the selection outline
// reach outside an annotation's bounds.
constexpr double REDRAW_SLACK = 13;

// Ctrl shortcuts: what the window does, and while a text is typed, what the
// field's own editing does instead.
struct CommandKey {
    char32_t key;
    KeyAction plain;
    KeyAction shifted;
};
constexpr CommandKey WINDOW_KEYS[] = {
    { U'c', KeyAction::Copy, KeyAction::Copy },
    { U's', KeyAction::Save, KeyAction::SaveAs },
    { U'w', KeyAction::Close, KeyAction::Close },
    { U'z', KeyAction::Undo, KeyAction::Redo },
};
constexpr CommandKey FIELD_KEYS[] = {
    { U'a', KeyAction::FieldSelectAll, KeyAction::FieldSelectAll },
    { U'c', KeyAction::FieldCopy, KeyAction::FieldCopy },
    { U'v', KeyAction::FieldPaste, KeyAction::FieldPaste },
    { U'x', KeyAction::FieldCut, KeyAction::FieldCut },
    { U'z', KeyAction::FieldUndo, KeyAction::FieldRedo },
};

// The single character of a key's text, lower-cased; none unless exactly one.
std::optional<char32_t> single_char(std::string_view text)
{
    std::size_t at = 0;
    if (text.empty())
        return std::nullopt;
    const char32_t c = next_code_point(text, at);
    if (at != text.size())
        return std::nullopt;
    return c >= U'A' && c <= U'Z' ? c - U'A' + U'a' : c;
}

} // namespace

char32_t next_code_point(std::string_view text, std::size_t& at)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        ++at;
        return lead;
    }
    const int extra = (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || at + extra >= text.size()) {
        ++at;
        return 0xFFFD;
    }
    char32_t c = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            ++at;
            return 0xFFFD;
        }
        c = c << 6 | (byte(at + i) & 0x3F);
    }
    at += extra + 1;
    return c;
}

Cursor cursor_for(Tool tool)
{
    switch (tool) {
    case Tool::Select:
        return Cursor::Arrow;
    case Tool::Text:
        return Cursor::IBeam;
    default:
        return Cursor::Crosshair;
    }
}

Editing::Editing(Host& host, int width, int height, double scale)
    : m_host(host)
    , m_width(std::max(width, 0))
    , m_height(std::max(height, 0))
    , m_scale(model::normalized_scale(scale))
{
    const Rect whole { 0, 0, double(m_width), double(m_height) };
    m_mapping.source = whole;
    m_mapping.canvas = whole;
}

void Editing::enter(std::string_view operation) const
{
    if (m_in_host > 0)
        util::fatal(fmt::format("editor: {} llamado desde la ventana durante otra operación", operation));
}

// ---------------------------------------------------------------------------
// History and document-level edits

std::optional<model::Doc> Editing::take_checkpoint()
{
    std::optional<model::Doc> dropped;
    if (m_undo.size() >= UNDO_LIMIT) {
        dropped = std::move(m_undo.front());
        m_undo.pop_front();
    }
    m_undo.push_back(m_doc);
    m_redo.clear();
    return dropped;
}

void Editing::checkpoint()
{
    enter("checkpoint");
    take_checkpoint();
}

void Editing::push_undo(model::Doc doc)
{
    enter("push_undo");
    m_undo.push_back(std::move(doc));
    m_redo.clear();
}

void Editing::swap_history(std::deque<model::Doc>& from, std::deque<model::Doc>& to)
{
    commit_text();
    if (from.empty())
        return;
    to.push_back(std::move(m_doc));
    m_doc = std::move(from.back());
    from.pop_back();
    if (m_selection && !m_doc.find(*m_selection))
        m_selection.reset();
    m_drag = drag::Idle {};
    if (m_tool == Tool::Crop)
        m_crop_edit = m_doc.crop;
    sync_controls();
    redraw_all();
    relayout();
}

void Editing::undo()
{
    enter("undo");
    swap_history(m_undo, m_redo);
}

void Editing::redo()
{
    enter("redo");
    swap_history(m_redo, m_undo);
}

void Editing::delete_selected()
{
    enter("delete_selected");
    if (!m_selection)
        return;
    const std::uint64_t id = *std::exchange(m_selection, std::nullopt);
    const model::Annotation* a = m_doc.find(id);
    if (!a)
        return;
    const Rect earlier = a->bounds(m_scale);
    const bool spotlight = a->kind == static_cast<int>(Tool::Spotlight);
    take_checkpoint();
    m_doc.remove(id);
    std::vector<std::uint64_t> live;
    live.reserve(m_doc.annotations.size());
    for (const auto& other : m_doc.annotations)
        live.push_back(other.id);
    host()->purge_effects(live);
    if (spotlight)
        redraw_all();
    else
        invalidate_px(earlier);
    sync_controls();
}

std::optional<Rect> Editing::crop_result() const
{
    if (!m_crop_edit)
        return std::nullopt;
    // Round the edges, not the sizes: a rounded size added to a rounded origin
    // can reach one pixel past the image.
    const Rect r = *m_crop_edit;
    const auto edge = [](double v, int limit) { return std::clamp(std::round(v), 0.0, double(limit)); };
    const double x0 = edge(r.x, m_width), x1 = edge(r.x + r.w, m_width);
    const double y0 = edge(r.y, m_height), y1 = edge(r.y + r.h, m_height);
    return Rect { x0, y0, x1 - x0, y1 - y0 };
}

void Editing::apply_crop()
{
    enter("apply_crop");
    if (!m_crop_edit)
        return;
    const Rect rounded = *crop_result();
    const bool partial = rounded.w < m_width || rounded.h < m_height;
    const bool empty = rounded.w <= 0 || rounded.h <= 0;
    const bool changes = !empty && (m_doc.crop ? (!partial || *m_doc.crop != rounded) : partial);
    if (changes) {
        take_checkpoint();
        m_doc.crop = partial ? std::optional(rounded) : std::nullopt;
    }
    set_tool(Tool::Select);
}

void Editing::set_background(bool on)
{
    enter("set_background");
    commit_text();
    if (on == m_doc.background)
        return;
    take_checkpoint();
    m_doc.background = on;
    sync_controls();
    focus_overlay_unless_typing();
    relayout();
}

// ---------------------------------------------------------------------------
// Selection, redraws, controls, status

void Editing::select(std::optional<std::uint64_t> id)
{
    if (m_selection && m_selection != id) {
        const std::uint64_t old = *m_selection;
        m_selection = id;
        redraw(old);
        return;
    }
    m_selection = id;
}

std::uint64_t Editing::add_annotation(model::Geom geom, Tool kind, int color, int size)
{
    const std::uint64_t id = m_next_id++;
    m_doc.annotations.push_back(model::Annotation { std::move(geom), id, model::PALETTE[color].color,
        static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(kind) });
    return id;
}

std::uint64_t Editing::append(model::Geom geom, Tool kind, int color, int size)
{
    enter("append");
    return add_annotation(std::move(geom), kind, std::clamp(color, 0, 7), std::clamp(size, 0, 2));
}

std::optional<Rect> Editing::bounds_of(std::uint64_t id) const
{
    const model::Annotation* a = m_doc.find(id);
    if (!a)
        return std::nullopt;
    return a->bounds(m_scale);
}

void Editing::invalidate_px(const Rect& r)
{
    enter("invalidate_px");
    if (!m_host.has_window())
        return;
    host()->invalidate(m_mapping.to_view_rect(r).grown(REDRAW_SLACK));
}

void Editing::invalidate_change(std::uint64_t id, std::optional<Rect> earlier)
{
    enter("invalidate_change");
    const model::Annotation* a = m_doc.find(id);
    if (a && a->kind == static_cast<int>(Tool::Spotlight)) {
        redraw_all();
        return;
    }
    if (a) {
        const Rect now = a->bounds(m_scale);
        invalidate_px(earlier ? earlier->united(now) : now);
    } else if (earlier) {
        invalidate_px(*earlier);
    }
}

Controls Editing::controls() const
{
    Controls c;
    c.tool = static_cast<int>(m_tool);
    c.color = m_color;
    c.size = m_size;
    c.undo_enabled = !m_undo.empty();
    c.redo_enabled = !m_redo.empty();
    c.background = m_doc.background;
    if (m_status) {
        c.status = m_status->first;
    } else {
        double w = m_doc.crop ? m_doc.crop->w : m_width;
        double h = m_doc.crop ? m_doc.crop->h : m_height;
        if (m_doc.background) {
            const double m = model::frame_margin(w, h, m_scale);
            w += 2 * m;
            h += 2 * m;
        }
        c.status = fmt::format("{} × {} px", std::llround(w), std::llround(h));
    }
    return c;
}

void Editing::sync_controls()
{
    enter("sync_controls");
    if (m_host.has_window())
        host()->show_controls(controls());
}

void Editing::set_status(std::string text)
{
    enter("set_status");
    const std::uint64_t generation = m_status ? m_status->second + 1 : 1;
    m_status = std::pair { std::move(text), generation };
    sync_controls();
    host()->schedule_status_expiry(generation);
}

void Editing::expire_status(std::uint64_t generation)
{
    enter("expire_status");
    if (!m_status || m_status->second != generation)
        return;
    m_status.reset();
    sync_controls();
}

void Editing::relayout()
{
    enter("relayout");
    if (!m_host.has_window())
        return;
    const model::Size stage = host()->stage_size();
    const Layout layout = stage_layout(stage, image_size(), m_doc, m_tool == Tool::Crop, m_scale);
    m_mapping = layout.mapping;
    host()->apply_layout(layout);
    if (m_text)
        fit_text_field();
}

void Editing::redraw_all()
{
    if (m_host.has_window())
        host()->invalidate_all();
}

void Editing::focus_overlay_unless_typing()
{
    if (!m_text && m_host.has_window())
        host()->focus_overlay();
}

// ---------------------------------------------------------------------------
// Keys, tool, colour and size

bool Editing::key_down(const KeyEvent& event)
{
    enter("key_down");
    const double step = event.modifiers & SHIFT ? 10 : 1;
    switch (event.key) {
    case Key::Return:
    case Key::Enter:
        if (m_tool == Tool::Crop)
            apply_crop();
        return true;
    case Key::Delete:
    case Key::ForwardDelete:
        delete_selected();
        return true;
    case Key::Escape:
        if (m_text) {
            cancel_text();
        } else if (m_tool == Tool::Crop) {
            set_tool(Tool::Select);
        } else if (m_selection) {
            const std::uint64_t id = *std::exchange(m_selection, std::nullopt);
            if (const auto bounds = bounds_of(id))
                invalidate_px(*bounds);
        }
        return true;
    case Key::Left:
        nudge(-step, 0);
        return true;
    case Key::Right:
        nudge(step, 0);
        return true;
    case Key::Down:
        nudge(0, step);
        return true;
    case Key::Up:
        nudge(0, -step);
        return true;
    case Key::Other:
        break;
    }
    if (event.modifiers & (CONTROL | OPTION | COMMAND) || event.characters.empty())
        return false;
    std::size_t at = 0;
    char32_t c = next_code_point(event.characters, at);
    if (c >= U'A' && c <= U'Z')
        c += U'a' - U'A';
    const auto tool = model::tool_for_letter(c);
    if (!tool)
        return false;
    set_tool(*tool);
    return true;
}

void Editing::nudge(double dx, double dy)
{
    if (!m_selection)
        return;
    const std::uint64_t id = *m_selection;
    const auto earlier = bounds_of(id);
    take_checkpoint();
    if (model::Annotation* a = m_doc.find(id))
        a->translate(dx / m_mapping.zoom, dy / m_mapping.zoom);
    invalidate_change(id, earlier);
    sync_controls();
}

KeyAction Editing::key_equivalent(const KeyEvent& event) const
{
    enter("key_equivalent");
    if (!(event.modifiers & COMMAND))
        return KeyAction::None;
    const auto c = single_char(event.characters);
    if (!c)
        return KeyAction::None;
    const auto table = m_text ? std::span<const CommandKey>(FIELD_KEYS) : std::span<const CommandKey>(WINDOW_KEYS);
    for (const CommandKey& k : table)
        if (k.key == *c)
            return event.modifiers & SHIFT ? k.shifted : k.plain;
    return KeyAction::None;
}

void Editing::set_tool(Tool tool)
{
    enter("set_tool");
    commit_text();
    const Tool previous = std::exchange(m_tool, tool);
    m_drag = drag::Idle {};
    if (tool != Tool::Crop) {
        m_crop_edit.reset();
        if (tool != Tool::Select && m_selection) {
            const model::Annotation* a = m_doc.find(*m_selection);
            if (!a || a->kind != static_cast<int>(tool))
                m_selection.reset();
        }
    } else {
        m_crop_edit = m_doc.crop;
        m_selection.reset();
    }
    sync_controls();
    redraw_all();
    if ((previous == Tool::Crop) != (tool == Tool::Crop))
        relayout();
    if (m_host.has_window()) {
        host()->set_cursor(cursor_for(tool));
        host()->focus_overlay();
    }
}

void Editing::set_color(int index)
{
    enter("set_color");
    m_color = std::clamp(index, 0, 7);
    const model::Color color = model::PALETTE[m_color].color;
    if (m_text) {
        host()->recolor_text_field(color);
        m_text->color = m_color;
    }
    if (m_selection) {
        take_checkpoint();
        if (model::Annotation* a = m_doc.find(*m_selection)) {
            a->color = color;
            redraw(a->id);
        }
    }
    sync_controls();
    focus_overlay_unless_typing();
}

void Editing::set_size(int index)
{
    enter("set_size");
    m_size = std::clamp(index, 0, 2);
    if (m_selection) {
        const std::uint64_t id = *m_selection;
        const auto earlier = bounds_of(id);
        take_checkpoint();
        if (model::Annotation* a = m_doc.find(id)) {
            a->size = static_cast<std::uint8_t>(m_size);
            if (auto* t = std::get_if<model::Text>(&a->geom))
                t->size = host()->measure_text(t->text, m_size, m_scale, t->wrap_width);
        }
        invalidate_change(id, earlier);
    }
    if (m_text)
        m_text->size = m_size;
    sync_controls();
    focus_overlay_unless_typing();
    if (m_text)
        fit_text_field();
}

} // namespace editor
