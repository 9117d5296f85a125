#include "editor/text_field.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "editor/render.h"
#include "editor/window.h"

#include <QKeyEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

namespace editor {

namespace {

// Frameless, transparent, no scroll bars, no document margin, lines wrapped
// at the field's width like the renderer wraps them.
void configure(QPlainTextEdit& field)
{
    field.setFrameShape(QFrame::NoFrame);
    field.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    field.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    field.setLineWrapMode(QPlainTextEdit::WidgetWidth);
    field.setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    field.document()->setDocumentMargin(0);
    field.setBackgroundVisible(false);
    field.viewport()->setAutoFillBackground(false);
    field.setAutoFillBackground(false);
    QPalette palette = field.palette();
    palette.setColor(QPalette::Base, Qt::transparent);
    palette.setColor(QPalette::Window, Qt::transparent);
    field.setPalette(palette);
}

// Runs a text command on a later turn, while the editor still exists.
void queue(const std::weak_ptr<Editor>& weak, void (Editing::*command)())
{
    util::on_main([weak, command] {
        util::require_main_thread("cola principal");
        if (const auto editor = weak.lock())
            (editor->editing().*command)();
    });
}

} // namespace

TextField::TextField(std::weak_ptr<Editor> editor, QWidget* overlay)
    : QPlainTextEdit(overlay)
    , m_editor(std::move(editor))
{
    configure(*this);
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        const auto e = m_editor.lock();
        if (e && e->editing().text_edit())
            e->editing().fit_text_field();
    });
}

double TextField::content_inset()
{
    static const double inset = [] {
        QPlainTextEdit probe;
        configure(probe);
        probe.setFont(render::text_font(40));
        probe.resize(400, 100);
        probe.setPlainText("M");
        QTextCursor start(probe.document());
        return double(probe.viewport()->geometry().x() + probe.cursorRect(start).left());
    }();
    return inset;
}

void TextField::place(const TextFieldFrame& frame)
{
    // The annotations' font counts points as pixels; a widget counts them
    // at the screen's logical resolution.
    QFont f = render::text_font(frame.font_size);
    f.setPointSizeF(std::max(frame.font_size * 72 / logicalDpiY(), 0.01));
    if (f != font())
        setFont(f);
    // The frame leaves 2 points between its edge and the first glyph.
    const double x = frame.frame.x + 2 - content_inset();
    setGeometry(QRectF(x, frame.frame.y, frame.frame.w, frame.frame.h).toAlignedRect());
    verticalScrollBar()->setValue(0);
}

void TextField::set_color(const model::Color& color)
{
    QPalette palette = this->palette();
    palette.setColor(QPalette::Text, QColor::fromRgbF(float(color.r), float(color.g), float(color.b), 1));
    setPalette(palette);
}

std::string TextField::text() const { return toPlainText().toStdString(); }

bool TextField::event(QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        const auto* w = dynamic_cast<const EditorWindow*>(window());
        if (w && w->takes_key_equivalent(static_cast<QKeyEvent&>(*event))) {
            event->accept();
            return true;
        }
    }
    return QPlainTextEdit::event(event);
}

void TextField::keyPressEvent(QKeyEvent* event)
{
    if (auto* w = dynamic_cast<EditorWindow*>(window()); w && w->key_equivalent(*event))
        return;
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() & (Qt::ShiftModifier | Qt::AltModifier))
            insertPlainText(QStringLiteral("\n"));
        else
            queue(m_editor, &Editing::commit_text);
        return;
    case Qt::Key_Escape:
        queue(m_editor, &Editing::cancel_text);
        return;
    default:
        QPlainTextEdit::keyPressEvent(event);
    }
}

void TextField::insertFromMimeData(const QMimeData* source)
{
    // Pasted rich text arrives as its plain text.
    if (source && source->hasText())
        insertPlainText(source->text());
}

} // namespace editor
