// platform: named system symbols drawn from the Material Icons font.
//
// The program names its icons the way the rest of the code base does
// ("viewfinder", "checkmark.circle", ...). This table maps each name it uses
// to a glyph of the Material Icons font (Debian's
// fonts-material-design-icons-iconfont). An unknown name, or a missing font,
// gives no image: callers draw nothing in its place.
//
// Every function runs on the main thread (fonts and painting belong to the
// GUI thread).
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>

#include <optional>
#include <string_view>
#include <vector>

class QPainter;
class QRectF;

namespace platform::symbols {

// The Material Icons codepoint for a symbol name; none for a name the table
// does not hold. Pure lookup.
std::optional<char32_t> glyph(std::string_view name);

// Every name the table holds, in table order.
std::vector<std::string_view> names();

// The icon font at a pixel size (points of the program = Qt's logical pixels);
// none when the font is not installed. The font is loaded once.
std::optional<QFont> font(double pixel_size);

// The symbol as a transparent image of `size` × `size` points rendered at
// `scale` pixels per point (the image's device pixel ratio is `scale`), the
// glyph in `tint`. A null image for an unknown name or a missing font.
QImage image(std::string_view name, double size, const QColor& tint, double scale = 1.0);

// Draws the symbol centred in `box` at `size` points in `tint`. Returns false
// (drawing nothing) for an unknown name or a missing font.
bool draw(QPainter& painter, std::string_view name, const QRectF& box, double size, const QColor& tint);

} // namespace platform::symbols
