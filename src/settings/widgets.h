// widgets: the recurring pieces of the settings and first-run windows.
//
// Labels in pixel sizes, notes, a path label that elides in the middle, an
// indented container, a card, named symbols drawn in one or two colours, a web
// address handed to the desktop, a window picture for the self-checks, and the
// window class whose Ctrl+W hides it. Every function runs on the main thread
// and returns a new widget that the caller places (and so owns).
#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPixmap>
#include <QWidget>

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace widgets {

// The named colours of one palette. `colors()` picks the light or the dark
// table from the application palette's window colour.
struct Colors {
    QColor label;
    QColor secondary;
    QColor tertiary;
    QColor separator;
    QColor control_background;
    QColor accent;
    QColor orange;
    QColor green;
    QColor link;
};
const Colors& light_colors();
const Colors& dark_colors();
const Colors& colors();

// A one-line label in the user-interface font at `pixel_size` and `weight`.
QLabel* label_with(const QString& text, double pixel_size, QFont::Weight weight, const QColor& color);

// A word-wrapped 11 px label in the secondary colour, at most `max_width` wide.
QLabel* note(const QString& text, int max_width);

// A one-line label for a folder path: a long path keeps its beginning and its
// end around an ellipsis and the label never grows past `max_width`.
class PathLabel final : public QLabel {
public:
    explicit PathLabel(int max_width, QWidget* parent = nullptr);
    void set_path(const QString& path);
    const QString& path() const { return m_path; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();
    QString m_path;
};
PathLabel* path_label(int max_width);

// A new container holding `view` with its left edge `inset` px in.
QWidget* indented(QWidget* view, int inset);

// A rounded box (radius 10, a 1 px separator border, the control background)
// holding `content` at `inset` from each edge.
QWidget* card(QWidget* content, int inset);

// The named symbol at `pixel_size` in `color` (the label colour when none), or
// a null pixmap for a name the symbol table does not know. "1.circle.fill" and
// "2.circle.fill" are a disc with the digit cut out of it.
QPixmap symbol(std::string_view name, double pixel_size, std::optional<QColor> color = std::nullopt);
// The symbol in a palette: with two colours, a disc of the first behind the
// glyph in the second; with one, the glyph in that colour.
QPixmap symbol_palette(std::string_view name, std::span<const QColor> colors, double pixel_size);

// The address xdg-open would be given: only an absolute URL with a scheme,
// fully encoded; none for anything else.
std::optional<std::string> openable_url(std::string_view text);
// Hands an absolute URL to the desktop's default handler without waiting;
// false when the text is no such URL. When xdg-open cannot start, or ends
// with a failure (status 3: no browser for the address), the log says why
// and `failed` is called with it on the main thread.
bool open_url(std::string_view text, std::function<void(const std::string& why)> failed = {});

// Writes a PNG picture of the window's content (the window manager draws the
// frame, so the content is what the program can picture) and logs
// "escrito {}"; false when nothing was written.
bool snapshot_window(QWidget* window, const std::filesystem::path& path);

// The settings and first-run windows: hidden, not destroyed, when closed; an
// exact Ctrl+W that no widget inside took closes it.
class VistropeSettingsWindow final : public QWidget {
public:
    explicit VistropeSettingsWindow(QWidget* parent = nullptr);
    // Runs when the window becomes the active window.
    std::function<void()> on_activated;
    // Runs when the window is about to close.
    std::function<void()> on_close;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
};

// Whether a key press is exactly Ctrl+W (no Shift, Alt, Super with it).
bool is_close_key(const QKeyEvent& event);

} // namespace widgets
