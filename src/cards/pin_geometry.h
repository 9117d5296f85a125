// pin: the arithmetic of pinned captures (zoom bounds, the starting frame,
// zooming about the centre) and the key table. Pure: no Qt.
//
// Rectangles are in global points with a bottom-left origin, as everywhere
// at the program's boundary; sizes and origins of a pin are whole points.
#pragma once

#include "platform/screens.h"

#include <span>
#include <string>

namespace pin {

// What a pin knows of its image at zoom 1.
struct Record {
    double scale = 1.0;  // pixels per point
    double width = 0;    // points at zoom 1
    double height = 0;
    double zoom = 1.0;
    // The smallest zoom this pin accepts: the shorter side stays at least
    // 40 points, unless the pin started smaller than that (a long scrolling
    // capture fitted to the screen), in which case its starting zoom.
    double min_zoom = 1.0;
};

inline constexpr double MAX_ZOOM = 4.0;
inline constexpr double MIN_SIDE = 40.0;  // points
inline constexpr double FIT = 0.7;        // of the visible frame, at most

// min(40 / min(width, height), 1).
double side_floor(double width, double height);

// A new pin's record and frame: zoom fitted inside 70 % of the visible frame
// (never above 1), the size rounded to whole points and centred.
struct Start {
    Record record;
    platform::RectF frame;
};
Start start(double pixel_width, double pixel_height, double scale, const platform::RectF& visible_frame);

// A new pin's frame moved CASCADE points right and down while it would sit
// exactly where an earlier pin sits (same origin), so it never covers one
// whole; where that would leave the visible frame it starts again from the
// frame's top-left corner. Global points, bottom-left origin.
inline constexpr double CASCADE = 24;
platform::RectF clear_of(platform::RectF frame, std::span<const platform::RectF> earlier, const platform::RectF& visible_frame);

// Clamps a zoom into the record's bounds.
double clamp_zoom(const Record& record, double zoom);
// The frame for `zoom` (already clamped), grown or shrunk about the old
// frame's centre; whole points, halves away from zero.
platform::RectF zoomed_frame(const Record& record, const platform::RectF& old_frame, double zoom);

// Zoom factors of the inputs. A wheel's `delta` is pixels for precise
// (touchpad) scrolling, else notches (positive: turned away from the user).
enum class Wheel { Precise, Notches };
double wheel_zoom(double zoom, double delta, Wheel kind);
inline constexpr double KEY_ZOOM = 1.1;

// A key press as the pin reads it: the character of the key with Shift
// applied (other modifiers ignored), and which modifiers are held. The
// command modifier is the Ctrl key.
enum class Key { Escape, Left, Right, Down, Up, Other };
struct KeyPress {
    Key key = Key::Other;
    std::string chars;  // UTF-8; a one-character key is one byte long
    bool shift = false;
    bool command = false;
};

enum class KeyAction { None, Close, Copy, Save, Annotate, Move, ZoomIn, ZoomOut, Opacity };
struct KeyResult {
    KeyAction action = KeyAction::None;
    double dx = 0;       // Move: points, +x right, +y up
    double dy = 0;
    double opacity = 1;  // Opacity
};
// The first entry of the pin's key table that matches.
KeyResult key_action(const KeyPress& press);

} // namespace pin
