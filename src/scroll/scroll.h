// scroll: scrolling capture of a fixed region while its content scrolls.
//
// FIXME: only the entry points the selection overlay calls exist so far.
#pragma once

#include "platform/screens.h"

#include <cstdint>

namespace scroll {

// Starts a scrolling capture of a region (display-local points, top-left
// origin) of a display at `scale` pixels per point. Main thread.
void start(std::uint32_t display_id, platform::RectF region, double scale);

// Starts one on a rectangle in global bottom-left points (a picked window):
// the screen holding its centre (none: nothing happens), the rectangle
// clipped to that screen and made display-local. Main thread.
void start_cocoa(platform::RectF global_rect);

// Whether a scrolling capture is in progress. Main thread.
bool running();
// Ends the running scrolling capture and delivers what was stitched
// (nothing when none runs). Main thread.
void finish();

} // namespace scroll
