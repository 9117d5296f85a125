// video_editor: the trim window's arithmetic and texts. Pure: no Qt.
//
// Sizes are points (Qt's logical pixels); times are seconds.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace video_editor {

using Range = std::pair<double, double>;

// A range counts as a trim when it cuts more than 0.05 s at either end.
bool counts_as_trim(Range range, double duration);

// "m:ss.t" (tenths; minutes never roll into hours).
std::string time_text(double seconds);
// "Video completo · m:ss", or "h:mm:ss" from an hour on.
std::string full_label(double duration);
// What an export did, for its name "<stem> (<note>)": "recortado" for a
// trim; otherwise "sin audio", "1080p" or "720p", joined by ", " in that
// order, and "copia" when it changed nothing. `resolution`: 0 original,
// 1 1080p, 2 720p.
std::string export_note(bool trimmed, bool muted, int resolution);
// "m:ss.t – m:ss.t · n.n s".
std::string range_label_text(Range range);

// --- The bar -------------------------------------------------------------------------

constexpr double BAR_HEIGHT = 52;
constexpr double DESIGN_WIDTH = 1600;

// The seven controls, left to right as they stand.
enum BarItem { Trim, Reset, Label, Mute, Resolution, Gif, Mp4, BAR_ITEMS };

// Fitted sizes in points (fractions allowed; widths are rounded up).
struct Fitted {
    double width = 0;
    double height = 0;
};

struct Frame {
    double x = 0, y = 0, width = 0, height = 0;
    double right() const { return x + width; }
};

struct BarLayout {
    std::array<Frame, BAR_ITEMS> frames;  // top-left origin, at the design width
    double min_width = 0;                 // the narrowest bar that holds both groups
};

// Lays the bar out at the design width. For the label, `fitted` holds the
// size of its widest text; its frame is that width + 12 by 16 at y 18.
BarLayout lay_out_bar(const std::array<Fitted, BAR_ITEMS>& fitted);

// Where a control stands in a bar `width` wide: the left group keeps its x,
// the right group keeps its distance from the right edge.
Frame place(const BarLayout& layout, BarItem item, double width);

// --- The window ------------------------------------------------------------------------

struct Size {
    double width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

// The area a new window may take: 80 % of the screen's visible width, 80 %
// of its visible height less the bar; 1152 × 668 without a screen.
Size available_area(std::optional<Size> visible_screen);

// The window's content size for a video of natural size `video` pixels.
Size window_size(Size video, Size available, double min_bar_width);

// --- Debug texts of the self-check ----------------------------------------------------

// "Some((1.0, 4.0))" or "None".
std::string debug_range(const std::optional<Range>& range);
// The list one name a line, four spaces in, quoted, trailing commas; "[]" empty.
std::string debug_names(const std::vector<std::string>& names);

} // namespace video_editor
