// editor: the small rules of the editor's outputs that need no toolkit.
#pragma once

#include "editor/model.h"

#include <filesystem>

namespace editor {

// The size in points of the picture a drag out shows under the pointer for
// an export of width × height pixels at `scale`: at most 160 points on the
// longer side, never larger than actual size, at least 1 × 1.
model::Size drag_thumbnail(double width, double height, double scale);

// The path a save panel's answer is written to: with the extension "png"
// added when it has none; any other extension stays as typed.
std::filesystem::path with_png_extension(std::filesystem::path path);

} // namespace editor
