// overlay: the selection overlay (one panel per screen) and its sessions.
//
// A session lives from begin() until it is finished or cancelled; the panels
// live from the first prewarm() until the screens change. Everything here runs
// on the main thread only.
//
// On X11 the program cannot leave its own mapped panels out of a picture of
// the screen, so a session first takes a picture of every display and only
// then maps its panels over it: that picture is the panels' background (the
// dimming looks the same with or without a compositor) and, with
// `freeze_screen` on, the frozen image that finished areas are cropped from.
// With `freeze_screen` off the user selects over the live screen, which a
// compositor shows through the translucent panels (no picture is taken);
// without a compositor the panels can only show the picture.
#pragma once

#include "capture/overlay_geometry.h"
#include "base/actions.h"
#include "base/util.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class VistropeOverlayWindow;

namespace overlay {

// The open session: selectable windows (front to back), mode and purpose.
struct Session {
    std::vector<WindowInfo> windows;
    Mode mode = Mode::Area;
    Purpose purpose = Purpose::Screenshot;
    // What a recording chosen in this session makes.
    actions::RecordingFormat format = actions::RecordingFormat::Video;
};

// Opens the overlay on every screen for a new session (an open one is
// cancelled first). `format` is what a recording of this session makes.
void begin(Mode mode, Purpose purpose, actions::RecordingFormat format = actions::RecordingFormat::Video);
// Closes the open session without delivering anything.
void cancel();
// Applies a mode-bar choice (or a number key) to the open session; nothing
// without one.
void choose(modebar::Choice choice);
// Builds the mode bar and the panels ahead of use; the panels are rebuilt
// only when the screens changed since the last build.
void prewarm();

// Ends the session on a picked window (global bottom-left points).
void finish_window(const WindowInfo& window);
// Ends the session on a rectangle of a panel (view coordinates, bottom-left).
void finish_area(VistropeOverlayWindow& view, const RectF& rect);
// Asks for the frozen image of one panel's screen.
void request_snapshot(VistropeOverlayWindow& view);

// A finished capture handed on by purpose: a screenshot to delivery, a text
// capture to recognition.
enum class Kind { Area, Window, Fullscreen };
struct Finished {
    Purpose purpose = Purpose::Screenshot;
    QImage image;
    Kind kind = Kind::Area;
    RectF rect;                   // global points, for the confirmation flash
    std::optional<QImage> crop;   // a window's frozen crop, for the flash
    double scale = 1.0;           // pixels per point
};
void deliver(Finished finished, util::Stopwatch stopwatch);

// Whether a session is open, and a copy of it.
bool is_open();
std::optional<Session> session();
// The panels in screen order (built by prewarm).
const std::vector<VistropeOverlayWindow*>& panels();

// Self-check entry points; each acts on the first panel and does nothing
// without one. Points and rectangles in that panel's view coordinates.
void debug_hover(double x, double y);
void debug_select(const RectF& rect, double x, double y);
void debug_finish(const RectF& rect);
// Picks the first session window containing the global point, or cancels.
void debug_click_global(PointF point);

// Where a finished selection goes: the platform roads out of the overlay.
// The defaults reach the capture, delivery, recognition, recorder and
// scrolling-capture modules; tests replace them with recording fakes.
using CaptureDone = std::function<void(std::optional<QImage>)>;
struct Roads {
    // The on-screen window list, front to back (bounds in top-left points).
    std::function<std::vector<WindowEntry>()> window_list;
    // The whole display as it is now, taken before the panels appear; the
    // answer may come at once or later. `meanwhile` runs once on the main
    // thread, while the picture is being taken where the road allows.
    std::function<void(std::uint32_t display_id, double scale, std::function<void()> meanwhile, CaptureDone done)> screen_picture;
    // A display capture (region: display-local top-left points; none = all).
    std::function<void(std::uint32_t display_id, std::optional<RectF> region, CaptureDone done, double scale)> capture_display;
    std::function<void(std::uint32_t window, bool with_shadow, CaptureDone done)> capture_window;
    // A window's own area without the window manager's title bar and
    // borders, for text captures (capture_window when unset).
    std::function<void(std::uint32_t window, CaptureDone done)> capture_window_content;
    // Screenshots to delivery; text captures to recognition.
    std::function<void(Finished, util::Stopwatch)> deliver_shot;
    std::function<void(Finished, util::Stopwatch)> deliver_text;
    // Fully transparent edges trimmed off a window capture (any thread).
    std::function<QImage(const QImage&)> trim_transparent;
    std::function<void(std::uint32_t display_id, std::optional<RectF> region, std::optional<std::uint32_t> window, double scale,
        actions::RecordingFormat format)>
        record;
    std::function<void(std::uint32_t display_id, RectF region, double scale)> scroll;
    std::function<void(RectF global_rect)> scroll_window;
    std::function<void()> self_timer;
    // Starts loading the text recogniser, for a session that turned to text.
    std::function<void()> warm_up_text;
    // Whether a compositor runs: then panels can be translucent, and a
    // session without a frozen screen shows the live one under its dimming.
    std::function<bool()> compositor_running;
};
// The roads reach the recorder, the scrolling capture and the shell, all on
// floors above this one: the shell fills this slot at launch
// (app::install_listeners), and default_roads makes them from it (stopping
// when the slot is empty). Main thread.
void set_default_roads(std::function<Roads()> make);
Roads default_roads();
void set_roads(Roads roads);

// The count of sessions begun or cancelled: a late answer carries the value
// it was asked under and is dropped when it moved on.
std::uint64_t generation();

} // namespace overlay
