// capture: still captures of a display or a window, and the cache of what
// may be captured (displays, windows, running applications).
//
// The last fetched content is kept on the main thread and answers requests
// at once; every use starts a refresh so the next request sees newer content.
// Requests that arrive before any content exists wait in order for the fetch.
// Every completion runs exactly once, on the main thread: with an image on
// success, with none on every failure.
#pragma once

#include "platform/screen_capture.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace capture {

// A display-local rectangle in points, top-left origin; none = the whole display.
using CaptureRegion = std::optional<platform::RectF>;
// Shared, immutable content; null stands for "none".
using Content = std::shared_ptr<const platform::ShareableContent>;
// Receives the captured image, or none. Called once, on the main thread.
using Completion = std::move_only_function<void(std::optional<QImage>)>;
// A waiting request: runs once with the fetched content (null when the fetch failed).
using Waiter = std::move_only_function<void(Content)>;

// Captures a display, or a rectangle of it, at `scale` pixels per point,
// leaving the program's own windows out when exclude_self is set. Main thread.
void capture_display_with(std::uint32_t display_id, CaptureRegion region, bool exclude_self, Completion completion,
    double scale);

// Captures one window as the user sees it; with_shadow adds the soft shadow
// (callers pass the window_shadow setting). A window the cached content does
// not list yet is looked for once more after a fresh fetch; a window that
// cannot be captured is logged and the user is told with a toast. Main thread.
void capture_window(std::uint32_t window_id, bool with_shadow, Completion completion);
// The same for a grab that names what of the window it takes.
void capture_window(platform::WindowGrab grab, Completion completion);

// Hands content to `continuation(content, fetched)`: the cached content at
// once with fetched = false (then a refresh), or, without a cache, the
// fetched content (null on failure) with fetched = true. Main thread.
void with_content(std::move_only_function<void(Content, bool)> continuation);

// Queues the request, when given, and starts a fetch unless one is in flight.
// Main thread.
void refresh(std::optional<Waiter> request = std::nullopt);

// Asks for the content without touching the cache; `done(true)` when some
// came back. The answer arrives on the main thread. Main thread.
void probe(std::move_only_function<void(bool)> done);

// Lookups in a content; null when absent (the first match in list order).
const platform::ShareableDisplay* find_display(const platform::ShareableContent& content, std::uint32_t display_id);
const platform::ShareableWindow* find_window(const platform::ShareableContent& content, std::uint32_t window_id);
// This process's entry among the running applications.
const platform::RunningApplication* own_app(const platform::ShareableContent& content);

// The display capture itself, on given content (null = none). A request that
// wants exclusion while the overlay is open and the content does not list the
// program yet is queued once more for a fresh fetch (retried = true); a
// retried request never queues itself again. Main thread.
void display_shot(Content content, std::uint32_t display_id, CaptureRegion region, bool exclude_self, bool retried,
    Completion completion, double scale);

// The part of a display-local region on a display of width × height points;
// none when they do not meet.
std::optional<platform::RectF> clip_region(const platform::RectF& region, double width, double height);

// Runs `done` on the main thread once windows the program just hid (a menu,
// the overlay's panels) are gone from the screen, compositor included.
// Main thread.
void after_screen_settles(std::function<void()> done);

// The size in pixels of a capture of w × h points at `scale` (each rounded
// half away from zero): 100.5 × 50 points at scale 2 give 201 × 100.
struct PixelSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const PixelSize&) const = default;
};
PixelSize pixel_size(double width_points, double height_points, double scale);

// The platform backend in use. The first use creates the X11 backend (a
// failure to reach the display stops the process); tests install a fake
// first. Main thread.
platform::ScreenCapture& backend();
void set_backend(std::unique_ptr<platform::ScreenCapture> backend);
// Keeps the backend from holding pictures for its next grab while the
// returned hold lives (a recording's). Main thread, the hold's end too.
std::shared_ptr<void> hold_idle_pictures();

// The overlay tells whether a selection session is open (the exclusion retry
// depends on it). Without a query the overlay counts as closed. Main thread.
void set_overlay_open_query(std::function<bool()> query);

// The cached content (null before the first successful fetch), whether a
// fetch is in flight, and the waiting requests (tests and diagnostics).
Content cached();
bool refreshing();
std::size_t waiting();
// Drops the cache, the queue and the backend (tests only).
void reset_for_tests();

} // namespace capture
