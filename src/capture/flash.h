// flash: the short confirmation animation after a capture.
#pragma once

#include "capture/flash_timeline.h"
#include "platform/screens.h"

#include <QImage>

#include <cstdint>
#include <functional>
#include <optional>

class QWidget;

namespace flash {

// Where a flash starts.
struct Origin {
    platform::RectF rect;          // global points, bottom-left origin
    std::optional<QImage> image;   // shown in the animation
    double corner_radius = 0;      // points: 12 for a captured window, 0 for an area or a display

    // The rectangle of a display-local region (points, top-left origin; none
    // = the whole display) in global points, with the image and corner
    // radius 0; none when no screen has that display id. Main thread.
    static std::optional<Origin> on_display(std::uint32_t display_id, const std::optional<platform::RectF>& region,
        std::optional<QImage> image);
};

// The delay after which a flash flying into an after-capture card lands
// (0.32 s), or none when the flash will not fly. Main thread.
std::optional<double> landing_delay(const Origin& origin);

// Plays the confirmation animation from `origin`, ending on `landing`
// (global points) or in place without one. Main thread.
void play(const Origin& origin, std::optional<platform::RectF> landing);

// Builds the flash panel ahead of the first capture. Main thread.
void prewarm();
// Loads the GL driver (shortly after the first call) and builds the glass
// effects' GPU state on the background pool; later calls build it again
// when it was given back after an idle spell. Until it is ready the flash
// and the overlay draw plainly. Main thread.
void prepare_glass();

// Captures a region of a display (none: all of it; display-local points,
// top-left origin) at `scale` without the program's own panels and plays the
// flash from it in place. Nothing happens while the flash setting is off or
// when no image comes back. Main thread.
void snapshot(std::uint32_t display_id, const std::optional<platform::RectF>& region, double scale);
// The same capture, but the origin goes to `done` (none with the setting off,
// at once, or when no image came back) instead of being played. Main thread.
void snapshot(std::uint32_t display_id, const std::optional<platform::RectF>& region, double scale,
    std::move_only_function<void(std::optional<Origin>)> done);

// --- Looking inside (tests, self-checks and the benchmark) -----------------------

// The flash panel; null until built. Main thread.
QWidget* panel();
// How many flashes were played. Main thread.
std::uint64_t generation();
// The newest flash's plan; none before the first flash. Main thread.
std::optional<Plan> current_plan();
// Holds every flash at `seconds` after its start (later calls move it): it
// paints that moment and closes only once the time passes its close. None:
// each flash's own clock again. Main thread.
void hold_time_for_tests(std::optional<double> seconds);
// Paints the newest flash as it looks `seconds` after it started, at the
// panel's size in points and `pixel_ratio` pixels per point, over transparency.
// Main thread.
QImage paint_at(double seconds, double pixel_ratio = 1);

} // namespace flash
