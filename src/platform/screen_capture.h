// platform: shareable content and still capture.
//
// What the program may capture (displays, windows, running applications) and
// the grabs themselves. The X11 backend talks to the X server over an xcb
// connection of its own (Qt's belongs to the GUI thread) and does its work on
// one background thread, "vistrope-still" (on the calling thread when the
// system refused it); the fake beside it serves tests without a display.
//
// Units: display and window frames are global points with a bottom-left
// origin (as platform::Screen frames); display regions are display-local
// points with a top-left origin; image sizes are physical pixels. Images are
// QImage::Format_ARGB32_Premultiplied (memory order B, G, R, A); opaque pixels
// always carry alpha 255.
#pragma once

#include "platform/screens.h"
#include "platform/shareable_content.h"

#include <QImage>

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One display grab. The region is clipped to the display; the result has
// exactly width × height pixels (resampled only when the screen's own pixels
// for the region differ from that size).
struct DisplayGrab {
    ShareableDisplay display;
    std::optional<RectF> region;          // display-local points, top-left origin; none = whole display
    std::uint32_t width = 0;              // requested pixels
    std::uint32_t height = 0;
    std::vector<std::uint32_t> excluded;  // windows (client or top-level ids) left out of the picture
};

// What of a window a grab takes: all the user sees (the window manager's
// frame and title bar included), or the program's own area inside them.
enum class WindowPart { Whole, Content };

// One window grab: the window as the user sees it, decorations included and
// covered parts included; with_shadow adds a soft shadow on a transparent
// margin. With WindowPart::Content only the client window's area is kept (a
// text capture reads what the program shows, not its title bar).
struct WindowGrab {
    std::uint32_t window_id = 0;
    bool with_shadow = false;
    WindowPart part = WindowPart::Whole;
};

using ContentResult = std::expected<ShareableContent, std::string>;
using ImageResult = std::expected<QImage, std::string>;

// The capabilities the backend found, filled once when it starts.
struct CaptureCapabilities {
    bool shared_memory = false; // MIT-SHM grabs
    bool composite = false;     // per-window pixmaps (covered windows, leaving our panels out)
    bool window_manager = false; // an EWMH window manager lists the windows
};

class ScreenCapture {
public:
    virtual ~ScreenCapture() = default;

    // Starts a fetch of the shareable content. Main thread (reads the screens
    // and this process's windows there). `done` runs exactly once, on the
    // backend's thread (inline only when the system refused that thread),
    // with the content or an error text.
    virtual void fetch_content(std::function<void(ContentResult)> done) = 0;

    // Starts a display grab. Any thread. `done` runs exactly once on the
    // backend's thread with the image or an error text.
    virtual void grab_display(DisplayGrab grab, std::function<void(ImageResult)> done) = 0;

    // Starts a window grab. Any thread. `done` as for grab_display; a window
    // that is gone gives an error.
    virtual void grab_window(WindowGrab grab, std::function<void(ImageResult)> done) = 0;

    // The same grabs, synchronously on the calling thread (benchmarks, the
    // recorder's grab thread). Any thread but the main thread's event loop
    // must not depend on them.
    virtual ImageResult grab_display_now(const DisplayGrab& grab) = 0;

    // The on-screen windows, front to back, read now. Any thread.
    virtual std::expected<std::vector<ShareableWindow>, std::string> window_list() = 0;

    // This process's top-level windows that are shown now (every Qt window,
    // by native id): what "excluding the program" leaves out. Main thread.
    virtual std::vector<std::uint32_t> own_windows() = 0;

    // Runs `done` on the main thread (never inline) once what the program
    // just hid is off the screen: the server has carried out our unmaps, and
    // what they set off has been drawn (a compositor's frame or fade-out,
    // windows repainting what was covered): the screen changed and then held
    // still for a frame, or did not change at all for a while; 0.4 s at most.
    // Main thread.
    virtual void after_screen_settles(std::function<void()> done) = 0;

    virtual CaptureCapabilities capabilities() const = 0;

    // Holds (counted) on and off keeping pictures for the next grab (a
    // screenful each): while held, those kept go at once and those given back
    // later go too. A recording holds it: it grabs into pictures of its own.
    // Any thread.
    virtual void hold_idle(bool hold) { (void)hold; }
};

// Which fast paths the X11 backend may use (all by default); tests and
// benchmarks turn them off to exercise the fallbacks.
struct X11CaptureOptions {
    bool render = true;        // the server draws into shared memory we hand out as is
    bool shared_memory = true; // MIT-SHM GetImage; off: plain GetImage
};

// The X11 backend; an error when no X display can be opened. Main thread.
std::expected<std::unique_ptr<ScreenCapture>, std::string> create_x11_screen_capture(X11CaptureOptions options = {});

// The screens as shareable displays (native placement included). Main thread.
std::vector<ShareableDisplay> shareable_displays();

// Pure helpers, tested without a display.

// The requested pixel count for a length in points: scale × points, rounded
// half away from zero; never below 1.
std::uint32_t pixels_for(double points, double scale);

// The native pixel rectangle of a region (display-local points, top-left) of
// a display, clipped to the display; empty (w or h 0) when they do not meet.
struct PixelRect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t w = 0;
    std::int32_t h = 0;
    bool operator==(const PixelRect&) const = default;
};
PixelRect native_rect(const ShareableDisplay& display, const std::optional<RectF>& region);

// Adds the soft shadow drawn around a captured window: a transparent margin
// of shadow_margin(scale) pixels on every side with a blurred dark shadow,
// slightly lowered, under the image. Any thread.
QImage with_window_shadow(const QImage& image, double scale);
int shadow_margin(double scale);

} // namespace platform
