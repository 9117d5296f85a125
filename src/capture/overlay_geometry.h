// overlay: the pure geometry of the selection overlay and the capture-mode
// bar. No Qt, no X11: everything the panels draw and every decision a pointer
// or key event leads to is computed here, so it is tested without a display.
//
// Coordinate systems (all in points):
//  - view: a panel's own coordinates, origin at its screen's bottom-left;
//  - global: origin at the primary screen's bottom-left (window bounds,
//    screen frames, the confirmation flash);
//  - local: display-local with a top-left origin (capture regions, the last
//    area, the recorder's and the scrolling capture's regions).
#pragma once

#include "base/actions.h"
#include "platform/screens.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace overlay {

using platform::PointF;
using platform::RectF;

enum class Mode { Area, Window };
enum class Purpose { Screenshot, Text, Record, Scroll };

const char* debug_name(Mode mode);
const char* debug_name(Purpose purpose);

// One selectable window of a session: global bottom-left points and the
// X window id.
struct WindowInfo {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
    std::uint32_t number = 0;
    bool operator==(const WindowInfo&) const = default;
    RectF rect() const { return { x, y, w, h }; }
};

// One entry of the platform's on-screen window list as the filter reads it.
// A field the platform could not read as a number is left empty. Bounds are
// in top-left global points (as the window list reports them).
struct WindowEntry {
    std::optional<double> layer;
    std::optional<double> owner_pid;
    std::optional<double> alpha;
    std::optional<RectF> bounds;
    std::optional<double> number;
};

// Whether a window list entry is selectable: layer 0, owned by another
// process, not fully transparent, bounds at least 40 × 40 points, with a number.
bool window_selectable(const WindowEntry& entry, long self_pid);
// The selectable entries in list order, bounds flipped to global bottom-left
// points (y = primary height − Y − height).
std::vector<WindowInfo> filter_windows(const std::vector<WindowEntry>& entries, long self_pid, double primary_height);
// The first window containing the global point (half-open), or none.
std::optional<WindowInfo> window_at(const std::vector<WindowInfo>& windows, PointF global);

// Coordinate conversions.
// A view rectangle moved into global coordinates (frame = the screen's global frame).
RectF view_to_global(const RectF& view_rect, const RectF& frame);
// A global rectangle moved into a view's coordinates.
RectF global_to_view(const RectF& global_rect, const RectF& frame);
// A view rectangle (bottom-left) as display-local top-left points.
RectF view_to_local(const RectF& view_rect, double view_height);
// The same flip for drawing: bottom-left view rectangle to top-left widget
// coordinates. The flip is its own inverse.
RectF flip(const RectF& rect, double view_height);
PointF flip(PointF point, double view_height);

// A rectangle of pixels (may be empty).
struct PixelRect {
    long x = 0;
    long y = 0;
    long w = 0;
    long h = 0;
    bool operator==(const PixelRect&) const = default;
};

// std::round: halves away from zero.
long round_half_away(double value);

// The pixel rectangle of the frozen picture for a finished area: the local
// rectangle times the scale, each component rounded on its own.
PixelRect area_crop(const RectF& local_rect, double scale);

// A picked window's crop from a frozen picture of the screen with global
// frame `frame`: the window clipped to the frame and that part's pixels.
struct WindowCrop {
    RectF clipped; // global points
    PixelRect pixels;
};
// None when the window's centre is not on this screen (half-open) or nothing
// of the window lies on it.
std::optional<WindowCrop> window_crop(const WindowInfo& window, const RectF& frame, double scale);
// The part of a pixel rectangle inside an image of w × h; none when empty.
std::optional<PixelRect> clamp_crop(const PixelRect& rect, long image_w, long image_h);

// A window rectangle (global) clipped to a screen frame and made display-local
// (top-left) for the recorder; none when nothing remains.
std::optional<RectF> clip_to_local(const RectF& global_rect, const RectF& frame);

// Pointer gestures.
// With Shift: the point moved so that both sides are the larger of |dx| and
// |dy|, each keeping its sign (zero counts as positive).
PointF constrain_square(PointF start, PointF point);
// The rectangle spanned by two points (minimum corner, absolute sizes).
RectF span(PointF a, PointF b);

// The pointer's points name pixels: a point is the top-left corner of the
// pixel under the pointer, so that pixel spans x .. x + 1/scale and
// y − 1/scale .. y in bottom-left view coordinates. A selection holds the
// pixel under the press and the one under the pointer, and never leaves the
// W × H view.
// The selection of a plain drag.
RectF drag_selection(PointF start, PointF point, double scale, double width, double height);
// The selection of a Shift drag: a square grown from the press's pixel
// towards the pointer, its side the larger of the two extents; at a screen
// edge the side shrinks to the room left on that side, so it stays a square.
RectF square_selection(PointF start, PointF point, double scale, double width, double height);
// A selection finishes as an area only when the drag under it covered at
// least 3 × 3 points (the pixel under the pointer not counted); anything
// smaller is a click.
bool is_area_selection(const RectF& selection, double scale);

// What the view draws, computed from its state.
struct SceneInput {
    double width = 0;  // W, view points
    double height = 0; // H
    double scale = 1;  // pixels per point
    bool window_mode = false;
    bool record = false;   // the purpose is Record
    bool has_frozen = false;
    bool show_magnifier = true;
    bool show_crosshair = true;
    std::optional<PointF> pointer;     // view
    std::optional<RectF> selection;    // view
    std::optional<RectF> hovered_view; // the hovered window, view coordinates
    bool ring_enabled = false;         // the glass ring draws the window's edge
};

struct Line {
    PointF a;
    PointF b;
    bool operator==(const Line&) const = default;
};

struct Label {
    RectF frame; // view
    std::string text;
    bool operator==(const Label&) const = default;
};

struct Scene {
    std::optional<RectF> highlight; // the hole in the dimming
    double dim_alpha = 0.32;
    // The outline: a plain rectangle (area) or a rounded one (window mode).
    std::optional<RectF> outline;
    double outline_radius = 0;
    double outline_width = 1;
    bool outline_blue = false; // window mode: opaque blue; else white at 0.95
    bool outline_stroked = true; // false while the glass ring draws the edge (the faint fill stays)
    std::vector<Line> crosshair;
    std::optional<Label> size_label;
    std::optional<RectF> magnifier;      // view frame, 128 × 128
    RectF magnifier_source;              // view points shown in it (16 × 16 around the pointer)
    RectF centre_box;                    // in the magnifier's own coordinates
    std::optional<Label> coord_label;
    bool operator==(const Scene&) const = default;
};

Scene scene(const SceneInput& in);

// The size label's text and frame for a highlight in a W × H view.
Label size_label(const RectF& highlight, double width, double height);
// The magnifier's frame for a pointer in a W × H view: right of and below the
// pointer, flipped left near the right edge and above near the bottom one
// (where the coordinate label under it would leave the screen).
RectF magnifier_frame(PointF pointer, double width);
// The coordinate label under a magnifier frame.
Label coord_label(PointF pointer, const RectF& magnifier, double height);

// The view rectangles whose pixels differ between two scenes: only these are
// repainted on a pointer move.
std::vector<RectF> damage(const Scene& before, const Scene& after);
// The dimmed screen: each colour channel of opaque 0xAARRGGBB pixels scaled
// by 174/256 (≈ 0.68, black at alpha 0.32 laid over it); alpha kept. The
// panels write this into their picture instead of blending the dimming.
void dim_pixels(const std::uint32_t* src, std::uint32_t* dst, std::size_t count);

// a minus b as up to four rectangles.
std::vector<RectF> subtract(const RectF& a, const RectF& b);

} // namespace overlay

namespace modebar {

using platform::PointF;
using platform::RectF;

// The bar's buttons, in the order of actions::BAR_ORDER: each is the button
// of the action its row names (a GIF session's recording too is Record).
enum class Choice : std::uint8_t { Area = 0, Fullscreen = 1, Window = 2, Scrolling = 3, Timer = 4, Text = 5, Record = 6 };
inline constexpr int COUNT = static_cast<int>(actions::BAR_ORDER.size());
// The value that means no choice is selected.
inline constexpr std::uint8_t NONE = static_cast<std::uint8_t>(COUNT);

// The action whose bar button a choice is.
constexpr actions::Action action_of(Choice choice)
{
    return actions::BAR_ORDER[static_cast<std::size_t>(choice)];
}
static_assert(COUNT == static_cast<int>(Choice::Record) + 1 && action_of(Choice::Area) == actions::Action::CaptureArea
        && action_of(Choice::Fullscreen) == actions::Action::CaptureFullscreen
        && action_of(Choice::Window) == actions::Action::CaptureWindow
        && action_of(Choice::Scrolling) == actions::Action::CaptureScrolling
        && action_of(Choice::Timer) == actions::Action::SelfTimer && action_of(Choice::Text) == actions::Action::CaptureText
        && action_of(Choice::Record) == actions::Action::RecordScreen,
    "modebar::Choice follows actions::BAR_ORDER");

const char* debug_name(Choice choice);
const char* label(Choice choice);
const char* symbol(Choice choice);
Choice choice_at(int index);

// Layout in bar points, origin at the bar's bottom-left.
struct ButtonLayout {
    RectF frame;      // the button (hit area)
    RectF background; // the rounded hover/selection plate
    RectF icon;
    RectF label;
    Choice choice = Choice::Area;
};

struct Layout {
    std::vector<ButtonLayout> buttons;
    std::vector<RectF> separators;
    double width = 0;
    double height = 66;
};

// Lays the seven buttons out from each label's fitting width (points, in
// button order).
Layout layout(const std::array<double, COUNT>& label_widths);
// The button index under a bar point (half-open), or none.
std::optional<int> button_at(const Layout& layout, PointF point);
// The choice a release makes: only a release on the button that was pressed.
std::optional<Choice> released_choice(const Layout& layout, std::optional<int> pressed, PointF release);
// The bar's origin (global bottom-left) on a screen's visible frame.
PointF origin_on(const RectF& visible_frame, double bar_width);

} // namespace modebar

namespace overlay {

// What a mode-bar choice does to an open session.
struct ChoiceEffect {
    bool cancel_and_timer = false; // cancel, then run the self-timer action
    Mode mode = Mode::Area;
    Purpose purpose = Purpose::Screenshot;
    bool finish_fullscreen = false;
    // The recording format the session takes, when the choice sets one.
    std::optional<actions::RecordingFormat> format;
};
ChoiceEffect choose_effect(modebar::Choice choice, Purpose current);
// The choice the bar shows for a session's mode and purpose.
modebar::Choice bar_choice(Mode mode, Purpose purpose);
// Space: the mode toggled, except in scrolling sessions.
Mode toggled_mode(Mode mode, Purpose purpose);

// The overlay's keys by X keycode (the physical key; evdev code + 8).
enum class KeyAction { None, Choose, FinishScreen, ToggleMode, Cancel };
struct KeyEffect {
    KeyAction action = KeyAction::None;
    modebar::Choice choice = modebar::Choice::Area;
};
// Held: whether Ctrl, Alt or Super is down (Shift does not count). Such a
// chord is no key of the overlay's: a digit then chooses nothing.
enum class Held { Plain, Chord };
KeyEffect key_effect(std::uint32_t x_keycode, Held held = Held::Plain);

} // namespace overlay
