// platform: screens as the program sees them.
//
// Frames are in global points with a bottom-left origin, flipped about the
// primary screen's bottom edge; the primary screen comes first. Points are
// Qt's device-independent pixels; the backing scale is the device pixel ratio.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QRect;
class QRectF;
class QScreen;

namespace platform {

struct PointF {
    double x = 0;
    double y = 0;
    bool operator==(const PointF&) const = default;
};

struct RectF {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    // Half-open: x <= px < x + w, and likewise for y.
    bool contains(double px, double py) const { return px >= x && px < x + w && py >= y && py < y + h; }
    bool operator==(const RectF&) const = default;
};

struct Screen {
    std::uint32_t display_id = 0; // the RandR output, or the screen's position + 1 without RandR
    RectF frame;                  // global points, bottom-left origin
    RectF visible_frame;          // the part not covered by panels and docks
    double scale = 1.0;           // pixels per point
    std::string name;
    QScreen* qt = nullptr;        // for the layer's own use (panels); never null for a live screen
    bool operator==(const Screen&) const = default;
};

// A screen in Qt's terms (top-left origin, logical pixels).
struct QtScreenGeometry {
    RectF geometry;
    RectF available;
    double scale = 1.0;
    std::string name;
};

// Converts Qt's top-left geometries into the program's bottom-left frames,
// flipped about the first (primary) screen's bottom edge. Pure; tested.
std::vector<Screen> screens_from_geometry(const std::vector<QtScreenGeometry>& geometry);

// Bottom-left global point for a top-left logical pixel position: the point
// at that pixel's bottom-left corner, so every pixel of a screen, its top row
// included, lies inside its frame.
PointF point_from_top_left(double x, double y, double primary_height);
// The inverse for rectangles: a bottom-left global rectangle in top-left logical coordinates.
RectF rect_to_top_left(const RectF& rect, double primary_height);
RectF rect_from_top_left(const RectF& rect, double primary_height);
// A capture region (display-local points, top-left origin) as a global
// bottom-left rectangle on the screen whose frame is given, and back.
RectF rect_from_display(const RectF& screen_frame, const RectF& region);
RectF rect_to_display(const RectF& screen_frame, const RectF& global);

// The screens, primary first. Main thread.
std::vector<Screen> screens();

// Whether a display server answers where the environment points (DISPLAY),
// tried with a connection of its own before any application object exists.
// A platform plugin other than xcb chosen in QT_QPA_PLATFORM needs none.
bool display_reachable();
// The pointer's location in global bottom-left points. Main thread.
PointF pointer_location();

// The height in points of the primary screen's frame; 0 when there is no screen.
// Main thread.
double primary_height();
// The first screen, in the platform's order, whose frame (global points,
// bottom-left origin) holds the point by the half-open rule. Main thread.
std::optional<Screen> screen_for_point(double x, double y);
// The screen under the pointer, else the first one; none without screens. Main thread.
std::optional<Screen> screen_of_pointer();
// A frame in global points (bottom-left origin) as the geometry of a
// top-level window (top-left origin, whole points), and back. Main thread.
QRect window_rect(const RectF& frame);
RectF window_frame(const QRect& rect);
// A rectangle in a panel's own points (bottom-left origin, the panel
// `height` points tall) as a rectangle of its widget (top-left origin).
QRectF panel_rect(const RectF& rect, double height);
// A screen's display id (0 when it has none).
std::uint32_t screen_display_id(const Screen& screen);

} // namespace platform
