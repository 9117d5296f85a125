// toolbar: the two 48-point rows of an editor window. The top row holds the
// tool, colour, size and history controls; the bottom row the "Fondo" toggle,
// the status label, the drag handle and the output buttons. Every control sends its action to
// the window's controller and none takes the keyboard focus, so the overlay
// keeps the keys. The rows place their groups again whenever they are
// resized: the top group stays centred (never nearer than 12 points to the
// left edge), the bottom groups stay 16 points from their edges.
// Main thread.
#pragma once

#include <QImage>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QLabel;
class QPushButton;
class QToolButton;

namespace editor {
class Editor;
class VistropeEditorController;
} // namespace editor

namespace toolbar {

inline constexpr int ROW_HEIGHT = 48;

enum class Tracking { SelectOne, Momentary };

// A joined row of fixed-width buttons, one per segment. Select-one segments
// are exclusive; momentary ones only report the click. The action runs on a
// user's click only, never when the program sets the selection.
class Segmented final : public QWidget {
public:
    Segmented(int segment_width, const std::vector<QImage>& images, const std::vector<std::string>& tooltips,
        Tracking tracking, std::function<void(int)> action);

    int count() const { return int(m_buttons.size()); }
    QToolButton* segment(int i) const { return m_buttons.at(std::size_t(i)); }
    // The selected segment, or -1.
    int selected() const;
    void select(int i);
    void set_segment_enabled(int i, bool enabled);

private:
    std::vector<QToolButton*> m_buttons;
    QButtonGroup* m_group = nullptr;
};

// What build makes; the window keeps all of it. A control is null while the
// row does not hold it.
struct Toolbar {
    QWidget* top = nullptr;
    QWidget* bottom = nullptr;
    Segmented* tools = nullptr;
    Segmented* colors = nullptr;
    Segmented* sizes = nullptr;
    Segmented* history = nullptr;
    QAbstractButton* background = nullptr;
    QLabel* status = nullptr;
    QWidget* drag = nullptr; // the "Arrastrar" handle
    QPushButton* save_as = nullptr;
    QPushButton* save = nullptr;
    QPushButton* copy = nullptr;
    // The groups the rows keep in place.
    QWidget* centre_group = nullptr;
    QWidget* left_group = nullptr;
    QWidget* right_group = nullptr;
    double min_width = 0; // points
};

// The rows for a window `width` points wide, their controls aimed at `target`.
Toolbar build(editor::VistropeEditorController& target, std::weak_ptr<editor::Editor> editor, double width);

// Lays `views` out left to right in `container`, each centred in the
// 48-point height, `spacing` between them; the sum of the widths and spacings.
int row(int spacing, QWidget* container, const std::vector<QWidget*>& views);

// A push button: the symbol (when known) before the title, a tooltip, no focus.
QPushButton* button(const QString& title, std::string_view symbol_name, const QString& tooltip,
    std::function<void()> action);

// The symbol as a 16-point template image in the button text colour; none
// for a name the symbol table does not know.
std::optional<QImage> symbol(std::string_view name);
// An empty (transparent) image of that size in points, drawn at 2×.
QImage icon(double width, double height);
// A 16-point colour disc with a grey rim; keeps its colour.
QImage swatch(double r, double g, double b);
// A 20 × 16-point round-capped line as thick as the size's stroke × 0.7, in
// the button text colour.
QImage weight_icon(int size);
// A hairline in the palette's mid colour, placed at `frame` in `parent`.
QWidget* separator(const QRect& frame, QWidget* parent);

// Where the groups of a row `width` wide go: the x of the centre group `w1`
// wide, of the left group, and of the right group `w3` wide.
int centre_x(int width, int w1);
inline int left_x() { return 16; }
int right_x(int width, int w3);

} // namespace toolbar
