// window: an editor's top-level window and the window side of editor::Host.
// The window holds the two toolbar rows and, between them, the stage with
// its clip, image and overlay views, and at most one text field. It marks
// areas of the overlay for redrawing, places the views from the stage
// layout, moves the focus and the cursor, and runs the window's Ctrl keys.
// Main thread.
#pragma once

#include "editor/editor.h"
#include "editor/text_field.h"
#include "editor/toolbar.h"

#include <QPointer>
#include <QWidget>

#include <memory>

class QKeyEvent;

namespace editor {

class VistropeEditorClip;
class VistropeEditorController;
class VistropeEditorImage;
class VistropeEditorOverlay;
class VistropeEditorStage;

class EditorWindow final : public QWidget, public Host {
public:
    static constexpr int ROW_HEIGHT = 48;

    EditorWindow(const std::shared_ptr<Editor>& editor, VistropeEditorController& controller);
    ~EditorWindow() override;

    VistropeEditorStage* stage() const { return m_stage; }
    VistropeEditorClip* clip() const { return m_clip; }
    VistropeEditorImage* image() const { return m_image; }
    VistropeEditorOverlay* overlay() const { return m_overlay; }
    TextField* text_field() const { return m_field; }
    const toolbar::Toolbar& toolbar() const { return m_toolbar; }
    // What the toolbar was last told to show.
    const Controls& controls() const { return m_controls; }

    // Runs the Ctrl key of `event` when it is one of the window's (or, while
    // a text is typed, one of the field's); false otherwise.
    bool key_equivalent(const QKeyEvent& event);
    // Whether key_equivalent would take it: claimed before any shortcut.
    bool takes_key_equivalent(const QKeyEvent& event) const;

    // Host
    bool has_window() const override { return true; }
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
    // The editor measures, caches and times its status itself.
    model::Size measure_text(std::string_view text, int size, double scale, double max_width) override;
    void purge_effects(std::span<const std::uint64_t>) override { }
    void schedule_status_expiry(std::uint64_t) override { }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void place_children();

    std::weak_ptr<Editor> m_editor;
    QPointer<VistropeEditorController> m_controller;
    toolbar::Toolbar m_toolbar;
    VistropeEditorStage* m_stage = nullptr;
    VistropeEditorClip* m_clip = nullptr;
    VistropeEditorImage* m_image = nullptr;
    VistropeEditorOverlay* m_overlay = nullptr;
    QPointer<TextField> m_field;
    Controls m_controls;
};

} // namespace editor
