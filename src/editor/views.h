// views: the objects of an editor window. The controller keeps the editor
// alive and takes the toolbar's actions; the stage draws the backdrop (and
// the framed picture) and lays the stage out when it changes size; the clip
// shows the source area of the picture; the image view paints the picture;
// the overlay above them draws the annotations and takes the pointer and the
// keys. Views hold weak references and do nothing once the editor is gone.
//
// Coordinates are the stage's and overlay's own points, top-left origin.
// Main thread.
#pragma once

#include "editor/draw.h"
#include "editor/editor.h"

#include <QImage>
#include <QPointF>
#include <QPointer>
#include <QWidget>

#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

class QKeyEvent;

namespace editor {

class EditorWindow;

// A key press as the editor reads it: Ctrl is Command, Alt is Option, the
// Super key is Control; a letter is the layout's letter whatever Shift.
KeyEvent key_event(const QKeyEvent& event);

// Counts the presses of one click sequence. Qt reports the second press as a
// double click; a third press within the double-click interval and distance
// of it counts 3. Times in milliseconds.
class ClickCounter {
public:
    int press(QPointF at, qint64 ms);
    int double_click(QPointF at, qint64 ms);

private:
    int m_count = 0;
    QPointF m_at;
    qint64 m_ms = 0;
};

class VistropeEditorController final : public QObject {
public:
    explicit VistropeEditorController(std::shared_ptr<Editor> editor);
    ~VistropeEditorController() override;

    const std::shared_ptr<Editor>& editor() const { return m_editor; }
    EditorWindow* window() const { return m_window; }
    void set_window(EditorWindow* window) { m_window = window; }

    // The window closed: its entry of state().editors goes on the next turn.
    void window_will_close();

    // The toolbar's actions, with the controls' values as they come.
    void tool_changed(int segment);
    void color_changed(int segment);
    void size_changed(int segment);
    void history_clicked(int segment);
    void background_toggled(bool on);
    void copy_image();
    void save_image();
    void save_image_as();

private:
    std::shared_ptr<Editor> m_editor;
    QPointer<EditorWindow> m_window;
};

class VistropeEditorStage final : public QWidget {
public:
    VistropeEditorStage(std::weak_ptr<Editor> editor, QWidget* parent);
    // The overlay that covers the stage; it follows the stage's size.
    void set_overlay(QWidget* overlay) { m_overlay = overlay; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    std::weak_ptr<Editor> m_editor;
    StageCache m_cache;
    QWidget* m_overlay = nullptr;
};

// Holds the image view; a child only shows inside its parent's bounds.
class VistropeEditorClip final : public QWidget {
public:
    explicit VistropeEditorClip(QWidget* parent);
};

// Paints the picture scaled smoothly to the view's size. The scaled copy is
// made again only when that size changes (the copy for the size before is
// kept too), so a repaint (every repaint of the overlay repaints what lies
// under it) is one blit.
class VistropeEditorImage final : public QWidget {
public:
    VistropeEditorImage(QImage image, QWidget* parent);
    const QImage& scaled() const { return m_scaled; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_image;
    QImage m_scaled;
    QImage m_previous;
};

// The toolbar's "Arrastrar" handle: the first drag event of a press drags
// the annotated picture out as a file (editor::drag_out); the rest of that
// press does nothing.
class VistropeEditorDrag final : public QWidget {
public:
    VistropeEditorDrag(std::weak_ptr<Editor> editor, std::optional<QImage> icon);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    std::weak_ptr<Editor> m_editor;
    std::optional<QImage> m_icon;
    bool m_started = false;
};

class VistropeEditorOverlay final : public QWidget {
public:
    VistropeEditorOverlay(std::weak_ptr<Editor> editor, QWidget* parent);

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void press(QMouseEvent* event, int clicks);

    std::weak_ptr<Editor> m_editor;
    ClickCounter m_clicks;
    bool m_pressed = false;
};

// Lays the stage out (see Editing::relayout).
void relayout(Editor& editor);

// Writes a PNG picture of the editor's window to `path` and logs "escrito
// PATH"; the write's error otherwise. Nothing without a window.
std::expected<void, std::string> snapshot(Editor& editor, const std::filesystem::path& path);

} // namespace editor
