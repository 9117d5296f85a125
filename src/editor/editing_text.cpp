// editor: typing text onto the image in a field over the overlay view.
#include "editor/editing.h"

#include "base/util.h"

#include <algorithm>

namespace editor {

using model::Point;
using model::Rect;

namespace {

// Unicode's White_Space property.
bool is_white_space(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680
        || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F
        || c == 0x3000;
}

double text_size(int size) { return model::TEXT_SIZES[std::clamp(size, 0, 2)]; }

} // namespace

std::string trim_trailing_space(std::string_view text)
{
    std::size_t at = 0;
    std::size_t end = 0;
    while (at < text.size()) {
        if (!is_white_space(next_code_point(text, at)))
            end = at;
    }
    return std::string(text.substr(0, end));
}

TextFieldFrame text_field_frame(const ViewMapping& mapping, int size, double scale, double wrap_width,
    Point origin, double natural_width, double wrapped_height)
{
    const double z = mapping.zoom;
    const double font_px = text_size(size) * scale;
    const double font = font_px * z;
    const double inset = font_px * 0.075 * z;
    // The field grows with the text up to the wrap width, then wraps.
    double width = wrap_width > 0 && natural_width + 0.7 * font / z > wrap_width
        ? wrap_width * z
        : std::max(natural_width * z, 0.8 * font) + 0.7 * font;
    width += 4;
    const Point at = mapping.to_view(origin);
    return { font, { at.x + inset - 2, at.y + inset, width, wrapped_height * z + 2 } };
}

std::optional<std::uint64_t> Editing::editing_text_id() const
{
    if (m_text && m_text->existing)
        return m_text->id;
    return std::nullopt;
}

TextFieldFrame Editing::text_field_frame(std::string_view text)
{
    const TextEdit& t = *m_text;
    const double natural = host()->measure_text(text, t.size, m_scale, 0).w;
    const double height = host()->measure_text(text, t.size, m_scale, t.wrap_width).h;
    return editor::text_field_frame(m_mapping, t.size, m_scale, t.wrap_width, t.origin, natural, height);
}

void Editing::begin_text(bool existing, std::uint64_t id, Point origin)
{
    enter("begin_text");
    util::require_main_thread("hilo principal");
    if (!m_host.has_window())
        return;
    TextEdit edit { false, 0, origin, m_color, 0, m_size };
    std::string initial;
    const model::Annotation* a = existing ? m_doc.find(id) : nullptr;
    const auto* text = a ? std::get_if<model::Text>(&a->geom) : nullptr;
    if (text) {
        edit.existing = true;
        edit.id = id;
        edit.color = model::palette_index(a->color).value_or(m_color);
        edit.size = a->size;
        edit.wrap_width = text->wrap_width;
        initial = text->text;
    } else {
        const double f = text_size(m_size) * m_scale;
        edit.wrap_width = std::max(m_width - origin.x - f / 2, 4 * f);
    }
    select(std::nullopt);
    if (m_text)
        host()->close_text_field();
    m_text = edit;
    host()->open_text_field(initial, model::PALETTE[edit.color].color, text_field_frame(initial));
    // The annotation leaves the drawing while its field shows it.
    if (edit.existing)
        redraw(edit.id);
}

void Editing::fit_text_field()
{
    enter("fit_text_field");
    if (!m_text || !m_host.has_window())
        return;
    const std::string text = host()->text_field_text();
    host()->place_text_field(text_field_frame(text));
}

void Editing::commit_text()
{
    enter("commit_text");
    if (!m_text)
        return;
    const TextEdit edit = *std::exchange(m_text, std::nullopt);
    const std::string typed = host()->text_field_text();
    host()->close_text_field();
    std::string text = trim_trailing_space(typed);
    if (text.empty()) {
        if (const model::Annotation* a = edit.existing ? m_doc.find(edit.id) : nullptr) {
            const Rect earlier = a->bounds(m_scale);
            take_checkpoint();
            m_doc.remove(edit.id);
            invalidate_change(edit.id, earlier);
        }
        m_selection.reset();
        sync_controls();
        return;
    }
    const model::Size box = host()->measure_text(text, edit.size, m_scale, edit.wrap_width);
    take_checkpoint();
    model::Text geom { std::move(text), edit.origin, box, edit.wrap_width };
    const model::Color color = model::PALETTE[edit.color].color;
    std::optional<Rect> earlier;
    std::uint64_t id = edit.id;
    if (model::Annotation* a = edit.existing ? m_doc.find(edit.id) : nullptr) {
        earlier = a->bounds(m_scale);
        a->geom = std::move(geom);
        a->color = color;
        a->size = static_cast<std::uint8_t>(edit.size);
    } else {
        id = add_annotation(std::move(geom), model::Tool::Text, edit.color, edit.size);
    }
    m_selection = id;
    invalidate_change(id, earlier);
    sync_controls();
}

void Editing::cancel_text()
{
    enter("cancel_text");
    if (!m_text)
        return;
    const TextEdit edit = *std::exchange(m_text, std::nullopt);
    host()->close_text_field();
    if (edit.existing)
        redraw(edit.id);
}

} // namespace editor
