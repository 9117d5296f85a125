// video_editor: the trim-and-export window for recordings.
//
// A window plays one video in the platform's player view, lets the user keep
// a part of it and exports the part (or all) as a new MP4 or GIF beside the
// source, which is never touched. Each window has its controller; the list
// of open controllers keeps them until their window closes. Main thread only.
#pragma once

#include "ui/hud.h"
#include "record/video.h"
#include "record/video_editor_rules.h"

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace platform {
class VideoPlayerView;
}

// The editor's window: it tells its controller when it closes and lays its
// player view and bar out when it resizes.
class VistropeVideoEditorWindow final : public QWidget {
public:
    VistropeVideoEditorWindow() = default;
    std::function<void()> on_close;
    std::function<void(QSize)> on_resize;

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
};

namespace video_editor {

// One window's controller. The window (and with it every view) lives as long
// as the controller: a completion that outlives the window's closing touches
// only hidden, live objects.
class VideoEditor final : public std::enable_shared_from_this<VideoEditor> {
public:
    VideoEditor(std::filesystem::path path, video::VideoInfo info);
    ~VideoEditor();

    std::filesystem::path path;
    video::VideoInfo info;
    std::unique_ptr<VistropeVideoEditorWindow> window;
    platform::VideoPlayerView* player_view = nullptr; // the view plays the file itself
    std::optional<Range> range;
    QLabel* range_label = nullptr;
    QPushButton* reset_button = nullptr;
    QCheckBox* mute_box = nullptr;
    QComboBox* resolution_popup = nullptr;
    QPushButton* mp4_button = nullptr;
    QPushButton* gif_button = nullptr;
    bool busy = false;
    BarLayout bar_layout;

    // Records or clears the trim; updates the label and "Todo".
    void set_range(std::optional<Range> range);
    // Enters the player view's trimming mode (one retry 0.3 s later).
    void begin_trim();
    void export_mp4();
    void export_gif();
    // The window closed: playback pauses and the list lets go.
    void window_will_close();

    // The actions of the bar's controls.
    void ve_trim() { begin_trim(); }
    void ve_reset() { set_range(std::nullopt); }
    void ve_export_mp4() { export_mp4(); }
    void ve_export_gif() { export_gif(); }

private:
    void set_busy(bool on);
};

// The open controllers in opening order.
std::vector<std::shared_ptr<VideoEditor>>& editors();

// Opens the trim-and-export window on a video file, key and in front.
// Nothing happens when the window cannot be built. Main thread.
void open(const std::filesystem::path& path);
// Centres a window on the available area of the screen under the pointer.
void centre(QWidget* window);
// A controller with its window built (not shown); none when the file is not
// a readable video (logged, with a toast).
std::shared_ptr<VideoEditor> build(std::filesystem::path path);

// A push button with a leading symbol (none for an unknown name), sized to fit.
QPushButton* button(std::string_view title, std::optional<std::string_view> symbol, std::function<void()> action);
// A free path beside the source (in the capture folder when it has no
// folder) named "<stem> (<note>).<extension>", the note saying what the
// export did (export_note).
std::filesystem::path sibling(const std::filesystem::path& source, std::string_view extension,
    std::string_view note = "recortado");

// --- Hooks for the --video-ui self-check ---------------------------------------------

// Builds a window, centres it and shows it without activating; lists it.
QWidget* debug_open(const std::filesystem::path& path);
// set_range on the newest window; the range it then holds.
std::optional<Range> debug_set_range(double start, double end);
void debug_begin_trim();
// Photographs one window through the program's window capture; `done` runs
// after the line "ventana <id> → <path> (ok|falló)" was printed.
void window_shot(QWidget* window, const std::filesystem::path& path, std::function<void()> done);
// Draws one view into a PNG file and prints "dibujo: <path> (<w>×<h> px)".
void snapshot(QWidget* view, const std::filesystem::path& path);

// --- Seams for tests --------------------------------------------------------------------

using PlayerFactory = std::function<std::unique_ptr<platform::VideoPlayerView>(const std::filesystem::path&)>;
// The player views windows get: libmpv unless replaced (null restores it).
void set_player_factory(PlayerFactory factory);
// Where the window's toasts go: hud::toast unless replaced.
void set_toast_sink(hud::ToastSink sink);
// The visible frame of the screen under the pointer (none: no screen);
// replaceable by tests (null restores).
using ScreenArea = std::function<std::optional<Size>()>;
void set_screen_area(ScreenArea area);

} // namespace video_editor
