// util: the queue and screen helpers, which sit on the platform layer.
//
// The main thread owns every window and all program state; background work
// comes back through on_main or after. A job queued with on_main or after
// never runs inline, even when queued from the main thread.
#pragma once

#include "platform/screens.h"

#include <QColor>
#include <QRect>

#include <functional>
#include <optional>

namespace util {

using Job = std::function<void()>;

// Runs the job once on the background pool at user-initiated priority. Any thread.
void in_background(Job job);
// Runs the job once on the background pool at utility (low) priority. Any thread.
void in_utility(Job job);
// Queues the job on the main queue; it runs later, in queueing order. Any
// thread. Once the application object is gone (the program is quitting) the
// job is dropped.
void on_main(Job job);
// Queues the job on the main queue `seconds` from now. Negative or NaN delays
// count as 0; delays beyond Qt's timer range are re-armed until they expire;
// an infinite delay never runs. Any thread.
void after(double seconds, Job job);

// Waits until both background pools are idle (main, after the run loop
// returned: no job may outlive the objects it uses). Main thread.
void wait_for_background();

// Milliseconds for a delay in seconds, saturated to Qt's timer range
// (0 .. INT_MAX); the remainder, in seconds, is what is left to wait after it.
struct TimerSlice {
    int ms;
    double remainder_s;
};
TimerSlice timer_slice(double seconds);

// The height in points of the primary screen's frame; 0 when there is no screen.
// Main thread.
double primary_height();
// The first screen, in the platform's order, whose frame (global points,
// bottom-left origin) holds the point by the half-open rule. Main thread.
std::optional<platform::Screen> screen_for_point(double x, double y);
// The screen under the pointer, else the first one; none without screens. Main thread.
std::optional<platform::Screen> screen_of_pointer();
// A frame in global points (bottom-left origin) as the geometry of a
// top-level window (top-left origin, whole points), and back. Main thread.
QRect window_rect(const platform::RectF& frame);
platform::RectF window_frame(const QRect& rect);
// A screen's display id (0 when it has none).
std::uint32_t screen_display_id(const platform::Screen& screen);
// An sRGB colour from components in 0..1.
QColor rgba(double r, double g, double b, double a);

} // namespace util
