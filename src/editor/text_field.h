// text_field: the field a text annotation is typed in. It lies over the
// overlay at the text's place and zoom, without frame, background or scroll
// bars, in the annotations' font and colour, and takes plain text only.
// Return commits the text and Escape cancels it, both on a later turn of the
// main loop (the field is still in its own key handler); Shift- or
// Alt-Return breaks the line. Every change of the text re-places the field.
// Main thread.
#pragma once

#include "editor/editor.h"

#include <QPlainTextEdit>

#include <memory>

namespace editor {

class TextField final : public QPlainTextEdit {
public:
    TextField(std::weak_ptr<Editor> editor, QWidget* overlay);

    // Font of `font_size` pixels; the frame in overlay points, moved so that
    // the first glyph lands where the renderer draws it.
    void place(const TextFieldFrame& frame);
    void set_color(const model::Color& color);
    std::string text() const;

    // Where the field draws its first glyph, to the right of its frame's
    // left edge, in points (measured once).
    static double content_inset();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void insertFromMimeData(const QMimeData* source) override;

private:
    std::weak_ptr<Editor> m_editor;
};

} // namespace editor
