// quick_access: the after-capture card's arithmetic and tables. Pure: no Qt.
//
// Frames here are in points inside the card with a top-left origin (the
// toolkit's), flipped from the bottom-left layout the card is designed in.
#pragma once

#include "codec/imageops.h"
#include "platform/screens.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quick_access {

// What a card stands for; it decides the card's buttons.
enum class CardKind : unsigned char { Image = 0, Video = 1, Gif = 2 };

// What a card's button does when pressed.
enum class Action { Copy, Save, Edit, Pin, Gif, Close };

inline constexpr double CARD_WIDTH = 232;
inline constexpr double CARD_MARGIN = 18; // from the visible frame's bottom-left corner
inline constexpr double CARD_GAP = 12;
inline constexpr std::size_t MAX_CARDS = 5;
inline constexpr double DRAG_THRESHOLD = 4; // points, Euclidean

// H = image height × 232 / max(image width, 1), clamped to [96, 200], whole points.
double card_height(double pixel_width, double pixel_height);

// Pixels at least this opaque are the picture a card shows. The shadow we
// draw around a window capture stays below it (0.45 at its darkest), so a
// window's card leaves the shadow's margin out.
inline constexpr std::uint8_t PICTURE_MIN_ALPHA = 128;

// The part of a capture its card shows, in pixels: the bounds of the pixels
// at least PICTURE_MIN_ALPHA opaque, or the whole picture when none is (a
// faint picture is still better shown than nothing).
imageops::Rect picture_part(const imageops::View& view, std::size_t alpha_offset);

// One of the card's buttons: a pill with a title, or an icon with a symbol
// (the description is its tooltip).
struct ButtonSpec {
    Action action;
    std::string title;       // pills
    std::string symbol;      // icons; empty for pills
    std::string description; // tooltip
    platform::RectF frame;   // top-left origin inside the card
    double radius;
};
std::vector<ButtonSpec> buttons(CardKind kind, double height);

// The badge text of a video: "m:ss" below an hour, else "h:mm:ss"; NaN,
// infinite or negative durations count as 0.
std::string duration_badge(double seconds);

// Whether a press followed by a move of (dx, dy) points starts a drag.
bool drag_starts(double dx, double dy);

// The card frames (global points, bottom-left origin) for cards of these
// heights listed newest first, stacked upwards from the visible frame's
// bottom-left corner.
std::vector<platform::RectF> stack(const platform::RectF& visible_frame, const std::vector<double>& heights_newest_first);

// Whether an action closes the card: every action but an edit or a GIF
// conversion that had nothing to work on, or a save that could not write.
bool closes(Action action, bool acted);

} // namespace quick_access
