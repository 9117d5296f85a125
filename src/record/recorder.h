// recorder: screen recording to MP4 or GIF.
//
// FIXME: only the entry points the selection overlay calls exist so far.
#pragma once

#include "platform/screens.h"

#include <cstdint>
#include <optional>

namespace recorder {

// True makes the next recording started from the overlay a GIF, false a
// video. Main thread only: the record actions set it just before opening the
// overlay; start_inner reads and clears it.
extern thread_local bool NEXT_IS_GIF;

// Starts a recording of a region (display-local points, top-left origin) or
// of a window on a display, at `scale` pixels per point. Main thread.
void start_inner(std::uint32_t display_id, std::optional<platform::RectF> region, std::optional<std::uint32_t> window,
    double scale);

// Whether a recording is in progress (its per-thread slot holds one). Main thread.
bool running();
// Stops the running recording; during its countdown it cancels it. Main thread.
void stop();

} // namespace recorder
