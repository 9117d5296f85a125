// editor: the Qt side of one editor window's state. An Editor owns the
// editing state (editor::Editing), the source picture and the cache of
// processed effect regions, and has a slot for its window.
//
// Editors live behind std::shared_ptr; windows, views and background jobs
// keep weak references and do nothing once the editor is gone. The Editor is
// the editing state's Host: measurement, the effect cache and status expiry
// are its own; every window call goes to the attached window, and is skipped
// while none is attached. Main thread only.
#pragma once

#include "editor/editing.h"
#include "editor/render.h"

#include <QImage>

#include <memory>

namespace editor {

class Editor final : public Host, public std::enable_shared_from_this<Editor> {
public:
    // An editor on a picture at `scale` pixels per point.
    static std::shared_ptr<Editor> create(QImage image, double scale);
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    Editing& editing() { return m_editing; }
    const Editing& editing() const { return m_editing; }
    render::Base& base() { return m_base; }
    render::EffectCache& effects() { return m_effects; }
    render::SpriteCache& sprites() { return m_sprites; }

    // The window's side of Host: the window object (it outlives its
    // attachment) or none. Attaching does not lay the stage out.
    void attach_window(Host* window) { m_window = window; }
    Host* window() const { return m_window; }

    // Host
    bool has_window() const override { return m_window && m_window->has_window(); }
    void invalidate(const model::Rect& view_rect) override;
    void invalidate_all() override;
    void show_controls(const Controls& controls) override;
    model::Size stage_size() const override;
    void apply_layout(const Layout& layout) override;
    void focus_overlay() override;
    void set_cursor(Cursor cursor) override;
    void open_text_field(std::string_view text, const model::Color& color, const TextFieldFrame& frame) override;
    void place_text_field(const TextFieldFrame& frame) override;
    void recolor_text_field(const model::Color& color) override;
    std::string text_field_text() const override;
    void close_text_field() override;
    model::Size measure_text(std::string_view text, int size, double scale, double max_width) override;
    void purge_effects(std::span<const std::uint64_t> live_ids) override;
    void schedule_status_expiry(std::uint64_t generation) override;

private:
    Editor(QImage image, double scale);

    render::Base m_base;
    render::EffectCache m_effects;
    render::SpriteCache m_sprites;
    Host* m_window = nullptr;
    Editing m_editing; // last: it may call the host while it is built
};

} // namespace editor
