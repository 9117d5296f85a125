// platform: what may be captured (displays, windows, running applications),
// as plain data without Qt, so that the recorder's pure rules can read it.
//
// Units: display and window frames are global points with a bottom-left
// origin (as platform::Screen frames); pixel sizes are the screen's own pixels.
#pragma once

#include "platform/screens.h"

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ShareableDisplay {
    std::uint32_t display_id = 0;
    RectF frame;                     // global points, bottom-left origin
    double scale = 1.0;              // the screen's pixels per point
    std::uint32_t pixel_width = 0;   // the screen's own pixels
    std::uint32_t pixel_height = 0;
    std::int32_t native_x = 0;       // where those pixels start on the X root
    std::int32_t native_y = 0;
    bool operator==(const ShareableDisplay&) const = default;
};

// Window layers, as the overlay and the recorder compare them: ordinary
// application windows sit at NORMAL; only those are offered for selection.
namespace layer {
inline constexpr int DESKTOP = -1000; // _NET_WM_WINDOW_TYPE_DESKTOP
inline constexpr int NORMAL = 0;      // normal, dialog, utility, toolbar, splash, untyped
inline constexpr int FLOATING = 3;    // _NET_WM_STATE_ABOVE
inline constexpr int DOCK = 20;       // _NET_WM_WINDOW_TYPE_DOCK (panels, trays)
inline constexpr int POPUP = 101;     // menus, tooltips, notifications, override-redirect windows
} // namespace layer

struct ShareableWindow {
    std::uint32_t window_id = 0; // the client window (as the window manager lists it)
    RectF frame;                 // global points, bottom-left origin, decorations included
    std::int64_t pid = 0;        // _NET_WM_PID; 0 when the window does not say
    int layer = layer::NORMAL;
    double opacity = 1.0;        // _NET_WM_WINDOW_OPACITY, 1 when unset
    bool on_screen = false;      // mapped and viewable
    std::string title;           // _NET_WM_NAME, else WM_NAME
    bool operator==(const ShareableWindow&) const = default;
};

struct RunningApplication {
    std::int64_t pid = 0;
    bool operator==(const RunningApplication&) const = default;
};

struct ShareableContent {
    std::vector<ShareableDisplay> displays;  // primary first
    std::vector<ShareableWindow> windows;    // front to back
    std::vector<RunningApplication> applications; // every process that owns a listed window, once
};

} // namespace platform
