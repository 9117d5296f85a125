// modebar: the capture-mode bar shown at the bottom of the screen under the
// pointer while the selection overlay is open: seven buttons (area, screen,
// window, scrolling, timer, text, recording); a click switches the open
// session (overlay::choose). Built once, reused by every session.
//
// The bar is an override-redirect panel one level above the overlay's
// panels. While the overlay holds the pointer grab, it forwards the events
// that land on the bar (pointer_* below). Main thread only.
#pragma once

#include "capture/overlay_geometry.h"

#include <optional>

namespace modebar {

// Builds the bar once; later calls do nothing.
void prewarm();
// Selects `choice` and shows the bar centred near the bottom of the screen
// under `pointer` (global points, bottom-left origin, as the caller last read
// the pointer); not shown when no screen is under it.
void show(Choice choice, PointF pointer);
// Unmaps the bar (the session closed).
void hide();
// Destroys the bar's window (quitting, and between tests); the next show builds it again.
void release();
// Fades the bar out (false) or back in (true) while it is shown.
void set_visible(bool visible);
// Whether the bar is shown, not faded out, and holds the global point
// (bottom-left points, half-open).
bool contains(double x, double y);
// Marks a choice selected (NONE: none) and repaints.
void select(std::uint8_t choice);

// Pointer events at global bottom-left points, forwarded by the overlay.
void pointer_moved(PointF global);
void pointer_pressed(PointF global);
void pointer_released(PointF global);
void pointer_left();

// Self-checks: hover a choice's button; press and release at its centre.
void debug_hover(Choice choice);
void debug_click(Choice choice);

// The bar's frame in global bottom-left points while shown, its layout and
// state (tests).
std::optional<RectF> frame();
const Layout* current_layout();
std::uint8_t selected();
std::optional<int> hovered();
double alpha();

} // namespace modebar
