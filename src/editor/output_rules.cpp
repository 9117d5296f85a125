#include "editor/output_rules.h"

#include <algorithm>
#include <cmath>

namespace editor {

model::Size drag_thumbnail(double width, double height, double scale)
{
    const double longest = std::max({ width, height, 1.0 });
    const double k = std::min(160 / longest, 1 / model::normalized_scale(scale));
    return { std::max(std::round(k * width), 1.0), std::max(std::round(k * height), 1.0) };
}

std::filesystem::path with_png_extension(std::filesystem::path path)
{
    if (!path.has_extension())
        path += ".png";
    return path;
}

} // namespace editor
