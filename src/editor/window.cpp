#include "editor/window.h"

#include "editor/outputs.h"
#include "editor/render.h"
#include "editor/text_field.h"
#include "editor/views.h"

#include <QFontMetrics>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QAbstractButton>
#include <QString>

namespace editor {

EditorWindow::EditorWindow(const std::shared_ptr<Editor>& editor, VistropeEditorController& controller)
    : m_editor(editor)
    , m_controller(&controller)
{
    setWindowTitle(QStringLiteral("Vistrope — Anotar"));
    m_toolbar = toolbar::build(controller, editor, 1000);
    m_toolbar.top->setParent(this);
    m_toolbar.bottom->setParent(this);
    m_stage = new VistropeEditorStage(editor, this);
    m_clip = new VistropeEditorClip(m_stage);
    m_image = new VistropeEditorImage(editor->base().image(), m_clip);
    m_overlay = new VistropeEditorOverlay(editor, m_stage);
    m_stage->set_overlay(m_overlay);
    setFocusProxy(m_overlay);
    place_children();
}

EditorWindow::~EditorWindow()
{
    if (const auto e = m_editor.lock(); e && e->window() == this)
        e->attach_window(nullptr);
}

void EditorWindow::place_children()
{
    const int w = width();
    const int h = height();
    m_toolbar.top->setGeometry(0, 0, w, ROW_HEIGHT);
    m_toolbar.bottom->setGeometry(0, std::max(h - ROW_HEIGHT, 0), w, ROW_HEIGHT);
    m_stage->setGeometry(0, ROW_HEIGHT, w, std::max(h - 2 * ROW_HEIGHT, 0));
    m_overlay->setGeometry(m_stage->rect());
}

void EditorWindow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    place_children();
}

void EditorWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    if (m_controller)
        m_controller->window_will_close();
}

bool EditorWindow::takes_key_equivalent(const QKeyEvent& event) const
{
    const auto e = m_editor.lock();
    return e && e->editing().key_equivalent(key_event(event)) != KeyAction::None;
}

bool EditorWindow::key_equivalent(const QKeyEvent& event)
{
    const auto e = m_editor.lock();
    if (!e)
        return false;
    const KeyAction action = e->editing().key_equivalent(key_event(event));
    TextField* field = m_field;
    switch (action) {
    case KeyAction::None:
        return false;
    case KeyAction::Copy:
        copy(e);
        return true;
    case KeyAction::Save:
        save(e);
        return true;
    case KeyAction::SaveAs:
        save_as(e);
        return true;
    case KeyAction::Close:
        close();
        return true;
    case KeyAction::Undo:
        e->editing().undo();
        return true;
    case KeyAction::Redo:
        e->editing().redo();
        return true;
    default:
        break;
    }
    // The field's own editing, while a text is typed.
    if (!field)
        return false;
    switch (action) {
    case KeyAction::FieldSelectAll:
        field->selectAll();
        break;
    case KeyAction::FieldCopy:
        field->copy();
        break;
    case KeyAction::FieldPaste:
        field->paste();
        break;
    case KeyAction::FieldCut:
        field->cut();
        break;
    case KeyAction::FieldUndo:
        field->undo();
        break;
    default:
        field->redo();
        break;
    }
    return true;
}

void EditorWindow::invalidate(const model::Rect& view_rect)
{
    // Cut to the overlay while still in floating point: a spotlight's bounds
    // reach millions of points, past what an int rectangle holds.
    const QRectF cut = QRectF(view_rect.x, view_rect.y, view_rect.w, view_rect.h).intersected(QRectF(m_overlay->rect()));
    if (!cut.isEmpty())
        m_overlay->update(cut.toAlignedRect());
}

void EditorWindow::invalidate_all() { m_overlay->update(); }

void EditorWindow::show_controls(const Controls& controls)
{
    m_controls = controls;
    if (m_toolbar.status) {
        // A long "Guardado: …" keeps both ends, the name's start and its
        // time and extension, with "…" in the middle; the whole text in the
        // tooltip.
        const QString full = QString::fromStdString(controls.status);
        const QFontMetrics metrics(m_toolbar.status->font());
        m_toolbar.status->setText(metrics.elidedText(full, Qt::ElideMiddle, m_toolbar.status->width()));
        m_toolbar.status->setToolTip(metrics.horizontalAdvance(full) > m_toolbar.status->width() ? full : QString());
    }
    if (m_toolbar.background)
        m_toolbar.background->setChecked(controls.background);
    if (m_toolbar.tools)
        m_toolbar.tools->select(controls.tool);
    if (m_toolbar.colors)
        m_toolbar.colors->select(controls.color);
    if (m_toolbar.sizes)
        m_toolbar.sizes->select(controls.size);
    if (m_toolbar.history) {
        m_toolbar.history->set_segment_enabled(0, controls.undo_enabled);
        m_toolbar.history->set_segment_enabled(1, controls.redo_enabled);
    }
}

model::Size EditorWindow::stage_size() const { return { double(m_stage->width()), double(m_stage->height()) }; }

void EditorWindow::apply_layout(const Layout& layout)
{
    const QRect clip = QRectF(layout.clip_frame.x, layout.clip_frame.y, layout.clip_frame.w, layout.clip_frame.h).toRect();
    m_clip->setGeometry(clip);
    // The picture's place in the stage, rounded as a whole, then taken into the clip.
    const QRect image = QRectF(layout.clip_frame.x + layout.image_frame.x, layout.clip_frame.y + layout.image_frame.y,
        layout.image_frame.w, layout.image_frame.h)
                            .toRect();
    m_image->setGeometry(image.translated(-clip.topLeft()));
    m_image->setVisible(!layout.image_hidden);
    m_stage->update();
    m_overlay->update();
}

void EditorWindow::focus_overlay() { m_overlay->setFocus(Qt::OtherFocusReason); }

void EditorWindow::set_cursor(Cursor cursor)
{
    switch (cursor) {
    case Cursor::Arrow:
        m_overlay->setCursor(Qt::ArrowCursor);
        break;
    case Cursor::IBeam:
        m_overlay->setCursor(Qt::IBeamCursor);
        break;
    case Cursor::Crosshair:
        m_overlay->setCursor(Qt::CrossCursor);
        break;
    }
}

void EditorWindow::open_text_field(std::string_view text, const model::Color& color, const TextFieldFrame& frame)
{
    if (m_field)
        close_text_field();
    m_field = new TextField(m_editor, m_overlay);
    {
        // The text is the field's start, not a change to re-place it for.
        const QSignalBlocker quiet(m_field.data());
        m_field->setPlainText(QString::fromUtf8(text.data(), qsizetype(text.size())));
    }
    m_field->moveCursor(QTextCursor::End);
    m_field->set_color(color);
    m_field->place(frame);
    m_field->show();
    m_field->setFocus(Qt::OtherFocusReason);
}

void EditorWindow::place_text_field(const TextFieldFrame& frame)
{
    if (m_field)
        m_field->place(frame);
}

void EditorWindow::recolor_text_field(const model::Color& color)
{
    if (m_field)
        m_field->set_color(color);
}

std::string EditorWindow::text_field_text() const { return m_field ? m_field->text() : std::string(); }

void EditorWindow::close_text_field()
{
    if (!m_field)
        return;
    focus_overlay();
    TextField* field = m_field;
    m_field = nullptr;
    field->hide();
    // The field may still be in its own key handler.
    field->deleteLater();
}

model::Size EditorWindow::measure_text(std::string_view text, int size, double scale, double max_width)
{
    return render::measure_text(text, size, scale, max_width);
}

} // namespace editor
