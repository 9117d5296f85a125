// util: the main queue, the background pools and timers (Qt only: nothing of
// the platform layer).
//
// The main thread owns every window and all program state; background work
// comes back through on_main or after. A job queued with on_main or after
// never runs inline, even when queued from the main thread.
#pragma once

#include <QColor>

#include <functional>

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

// An sRGB colour from components in 0..1.
QColor rgba(double r, double g, double b, double a);

} // namespace util
