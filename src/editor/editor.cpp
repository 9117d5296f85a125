#include "editor/editor.h"

#include "base/util_queue.h"

#include <algorithm>
#include <unordered_set>

namespace editor {

std::shared_ptr<Editor> Editor::create(QImage image, double scale)
{
    return std::shared_ptr<Editor>(new Editor(std::move(image), scale));
}

Editor::Editor(QImage image, double scale)
    : m_base(std::move(image), scale)
    , m_editing(*this, static_cast<int>(m_base.width()), static_cast<int>(m_base.height()), m_base.scale())
{
}

void Editor::invalidate(const model::Rect& view_rect)
{
    if (has_window())
        m_window->invalidate(view_rect);
}

void Editor::invalidate_all()
{
    if (has_window())
        m_window->invalidate_all();
}

void Editor::show_controls(const Controls& controls)
{
    if (has_window())
        m_window->show_controls(controls);
}

model::Size Editor::stage_size() const
{
    return has_window() ? m_window->stage_size() : model::Size {};
}

void Editor::apply_layout(const Layout& layout)
{
    if (has_window())
        m_window->apply_layout(layout);
}

void Editor::focus_overlay()
{
    if (has_window())
        m_window->focus_overlay();
}

void Editor::set_cursor(Cursor cursor)
{
    if (has_window())
        m_window->set_cursor(cursor);
}

void Editor::open_text_field(std::string_view text, const model::Color& color, const TextFieldFrame& frame)
{
    if (has_window())
        m_window->open_text_field(text, color, frame);
}

void Editor::place_text_field(const TextFieldFrame& frame)
{
    if (has_window())
        m_window->place_text_field(frame);
}

void Editor::recolor_text_field(const model::Color& color)
{
    if (has_window())
        m_window->recolor_text_field(color);
}

std::string Editor::text_field_text() const
{
    return has_window() ? m_window->text_field_text() : std::string();
}

void Editor::close_text_field()
{
    if (has_window())
        m_window->close_text_field();
}

model::Size Editor::measure_text(std::string_view text, int size, double scale, double max_width)
{
    return render::measure_text(text, size, scale, max_width);
}

void Editor::purge_effects(std::span<const std::uint64_t> live_ids)
{
    const std::unordered_set<std::uint64_t> live(live_ids.begin(), live_ids.end());
    std::erase_if(m_effects, [&](const auto& entry) { return !live.contains(entry.first); });
    std::erase_if(m_sprites, [&](const auto& entry) { return !live.contains(entry.first); });
}

void Editor::schedule_status_expiry(std::uint64_t generation)
{
    util::after(Editing::STATUS_SECONDS, [weak = weak_from_this(), generation] {
        if (const auto editor = weak.lock())
            editor->editing().expire_status(generation);
    });
}

} // namespace editor
