// toolbar: the two 48-point rows of an editor window. The top row holds the
// tool, colour, size and history controls; the bottom row the "Fondo" toggle,
// the status label, the drag handle and the output buttons. Every control
// sends its action to the window's controller and none takes the keyboard
// focus, so the overlay keeps the keys. Main thread.
#pragma once

#include <QWidget>

#include <memory>

class QAbstractButton;
class QLabel;

namespace editor {
class Editor;
class VistropeEditorController;
} // namespace editor

namespace toolbar {

// What build makes; the window keeps all of it. A control is null while the
// row does not hold it.
struct Toolbar {
    QWidget* top = nullptr;
    QWidget* bottom = nullptr;
    QWidget* tools = nullptr;
    QWidget* colors = nullptr;
    QWidget* sizes = nullptr;
    QWidget* history = nullptr;
    QAbstractButton* background = nullptr;
    QLabel* status = nullptr;
    double min_width = 0; // points
};

// The rows for a window `width` points wide, their controls aimed at `target`.
Toolbar build(editor::VistropeEditorController& target, std::weak_ptr<editor::Editor> editor, double width);

} // namespace toolbar

namespace editor {

// Saves the annotated picture where a save panel says.
void save_as(const std::shared_ptr<Editor>& editor);

} // namespace editor
