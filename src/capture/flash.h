// flash: the short confirmation animation after a capture.
#pragma once

#include "platform/screens.h"

#include <QImage>

#include <cstdint>
#include <optional>

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

} // namespace flash
