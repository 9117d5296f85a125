// scroll: scrolling capture of a fixed region while its content scrolls.
//
// A session records the region at 30 frames a second through a capture
// stream, feeds every frame to the stitcher on the stream's own thread, shows
// an outline, a control capsule and a preview strip, and on "Listo" (Return,
// keypad Enter) hands the stitched image to delivery. Escape or "Cancelar"
// drop it. "Auto" scrolls the content by synthetic wheel clicks until it stops
// moving. At most one session lives at a time; everything but the frame
// handling runs on the main thread.
#pragma once

#include "capture/capture.h"
#include "capture/output.h"
#include "ui/hud.h"
#include "platform/capture_stream.h"
#include "platform/hot_keys.h"
#include "platform/raw_input.h"
#include "platform/screens.h"

#include <QColor>
#include <QImage>
#include <QRectF>
#include <QString>

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace scroll {

// Starts a scrolling capture of a region (display-local points, top-left
// origin) of a display at `scale` pixels per point. Nothing while one runs.
// Main thread.
void start(std::uint32_t display_id, platform::RectF region, double scale);

// Starts one on a rectangle in global bottom-left points (a picked window):
// the screen holding its centre (none: nothing happens), the rectangle
// clipped to that screen and made display-local. Main thread.
void start_in_global(platform::RectF global_rect);

// Whether a scrolling capture is in progress. Main thread.
bool running();
// Ends the running scrolling capture and delivers what was stitched
// (nothing when none runs). Main thread.
void finish();
// Ends it and delivers nothing. Main thread.
void cancel();
// Logs `message` and ends the session `id` (when it is the live one) with a
// toast. Main thread.
void fail(std::uint64_t id, const std::string& message);

// Automatic scrolling: switches it for the session `id`, or flips it on the
// live session. Main thread.
void set_auto(std::uint64_t id, bool on);
void toggle_auto();

// Whether the program's own windows stay in the stream (the self-test).
void set_include_self(bool include);

// What the live session shows and counts (tests and the self-test).
struct Status {
    std::uint64_t id = 0;
    std::uint64_t frames = 0;
    bool slow = false;
    bool auto_scroll = false;
    double step = 0;
    platform::RectF screen_rect; // global points, bottom-left origin
    bool streaming = false;      // the stream exists
};
std::optional<Status> status();

// What the live session's stream listener did so far (the benchmark).
struct Measurements {
    std::uint64_t frames = 0;          // frames pushed into the stitcher
    std::vector<float> listener_ms;    // each one's time in the stream's listener
    std::vector<float> push_ms;        // each one's push, on the relay's thread
};
std::optional<Measurements> measurements();

// The modules a session uses; tests replace them.
struct Services {
    std::function<void(std::move_only_function<void(capture::Content, bool)>)> with_content;
    std::function<void(capture::Waiter)> refresh_content;
    std::function<std::expected<std::unique_ptr<platform::CaptureStream>, std::string>(platform::ContentFilter,
        platform::StreamConfiguration, std::shared_ptr<platform::StreamListener>)>
        create_stream;
    // Return, keypad Enter and Escape are grabbed for the session through
    // these hot keys; raw key presses serve where the grab is refused.
    std::function<std::unique_ptr<platform::HotKeys>()> create_hot_keys;
    std::function<std::unique_ptr<platform::RawInput>()> create_raw_input;
    // A still of the region for the flash, leaving the program's windows out.
    std::function<void(std::uint32_t display_id, platform::RectF region, double scale, capture::Completion)> still;
    std::function<void(output::Shot, util::Stopwatch)> deliver;
    std::function<bool()> flash_on;
    hud::ToastSink toast;
    std::function<bool()> accessibility_trusted;
    std::function<void(platform::RectF rect, double delta)> post_scroll;
    // Whether a window of the program has the keyboard focus.
    std::function<bool()> own_window_focused;
    // The monotonic clock automatic scrolling measures progress with.
    std::function<std::chrono::steady_clock::time_point()> now;
};
Services& services();
void reset_services();

// --- Pure rules of the windows ------------------------------------------------

// The outline: the session's rectangle grown by 4 points on every side.
platform::RectF outline_rect(const platform::RectF& screen_rect);
// The capsule's origin for a capsule of width w (height 36) beside outline o
// within the visible frame v, all in global bottom-left points.
platform::PointF capsule_origin(const platform::RectF& o, const platform::RectF& v, double w);
// The preview panel's frame beside outline o, or none without room.
std::optional<platform::RectF> preview_rect(const platform::RectF& o, const platform::RectF& v);
// Where an image of w × h pixels sits in a preview of pw × ph points
// (top-left origin within the panel).
platform::RectF preview_fit(double w, double h, double pw, double ph);
// The status text and whether it warns (orange).
QString status_text(std::uint64_t frames, bool slow);
// A capsule button's colour: index 0 Auto, 1 Cancelar, 2 Listo.
QColor button_colour(int index, bool auto_on, bool hovered, bool pressed);
// The step of automatic scrolling for a region `height` points high.
double initial_step(double height);

// The live capsule (tests): its view, a button's frame within it (0 Auto,
// 1 Cancelar, 2 Listo) and the status text.
QWidget* capsule_controls();
QRectF capsule_button(int index);
QString capsule_text();

// Wraps a block handed over by the stitcher (freed with std::free) in a BGRA
// image that frees it when the last copy goes; a null image for an empty size
// (the block is freed then too).
QImage make_image(std::uint8_t* bytes, std::uint32_t width, std::uint32_t height);

} // namespace scroll
