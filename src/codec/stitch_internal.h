// Shared between the stitcher's two source files; not part of its interface.
#pragma once

#include "codec/stitch.h"

namespace stitch {

// Stops the process unless the frame's data cover every byte its view
// claims (stride × (height − 1) + 4 × width) and its stride holds a row.
// Frames of zero width or height pass: they are reported as a mismatch.
void check_frame(const Frame& frame);

} // namespace stitch
