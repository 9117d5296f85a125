// platform (X11, internal): the still-capture backend's pixel reading, as
// the recorder's grab thread uses it. Only src/platform/ includes this.
//
// Units: root pixels (the X root window's coordinates, top-left origin).
#pragma once

#include "platform/screen_capture.h"

#include <QImage>

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::x11 {

// A top-level window (a child of the root): a frame of the window manager,
// an override-redirect window, or a client when no window manager runs.
struct TopLevel {
    std::uint32_t id = 0;
    PixelRect outer; // root pixels, border included
    std::uint8_t depth = 0;
    bool viewable = false;
    bool input_output = false;
    bool override_redirect = false;
    std::uint16_t border = 0;
    // The bounding shape, in pixels of the window's outer rectangle; none:
    // unshaped. Only a plan's windows carry it: their own pixels keep what
    // lay beneath them where the shape leaves them out.
    std::optional<std::vector<PixelRect>> shape;
};

// What to paint from the windows' own (Composite) pixmaps: over the program's
// panels what lies beneath them, or a window recording's windows over the
// root background. Reading the window tree is slow, painting is not: a plan
// is made now and then and painted on every frame.
struct Underlay {
    std::vector<PixelRect> holes;  // root pixels to repaint
    std::vector<TopLevel> windows; // painted into each hole, bottom to top
    std::uint32_t wallpaper = 0;   // the root's background pixmap; 0: none
    // Without a background pixmap (a root set to a plain colour, or the
    // compositor's own backdrop): a piece of the bare desktop as it shows
    // where no window stands, tiled from the root's origin. Null: black.
    QImage bare_tile;
};

// The pointer's image, premultiplied ARGB, and where it lies.
struct Cursor {
    QImage image;
    std::int32_t x = 0; // root pixels of the image's top-left corner (hot spot already subtracted)
    std::int32_t y = 0;
};

// One X connection of its own; every call is made from one thread at a time.
class PixelSource {
public:
    virtual ~PixelSource() = default;
    // The native pixel rectangle of a region of a display, clipped to the root; w or h 0 when outside.
    virtual PixelRect clip(const ShareableDisplay& display, const std::optional<RectF>& region) = 0;
    // The root's pixels of `rect` (inside the root), opaque. The image may wrap shared memory the
    // source reuses once the image's last copy is gone.
    virtual ImageResult read_root(const PixelRect& rect) = 0;
    // The plan that leaves out the top-levels holding `excluded` windows within `rect`.
    virtual Underlay plan_leave_out(const PixelRect& rect, const std::vector<std::uint32_t>& excluded) = 0;
    // The plan that paints `rect` from the root background and the top-levels
    // holding `windows`, in that order (first lowest); windows not shown are skipped.
    virtual Underlay plan_windows(const PixelRect& rect, const std::vector<std::uint32_t>& windows) = 0;
    // Paints a plan into `image`, which shows `rect`. Windows gone since the plan are skipped.
    virtual void paint(QImage& image, const PixelRect& rect, const Underlay& plan) = 0;
    // The pointer now; none without XFixes or when it cannot be read.
    virtual std::optional<Cursor> cursor() = 0;
    // Asks for the pointer ahead: the next cursor() takes this answer, so a
    // grab made in between shares its wait for the server.
    virtual void ask_cursor() {}
    // The on-screen windows, front to back.
    virtual std::expected<std::vector<ShareableWindow>, std::string> window_list() = 0;
    // The connection broke (server gone): nothing more can be read.
    virtual bool broken() = 0;
    virtual CaptureCapabilities capabilities() const = 0;
};

// Opens the connection. Main thread (reads the screens' placement there).
// `keep_idle`: how many shared-memory segments that root images came back
// from are kept for the next reads instead of being dropped (more images may
// be alive at once; each past those makes a segment of its own).
std::expected<std::unique_ptr<PixelSource>, std::string> create_pixel_source(std::size_t keep_idle = 2);

} // namespace platform::x11
