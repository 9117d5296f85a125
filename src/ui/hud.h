// hud: the floating look shared by the program's panels, and the toast.
//
// Main thread only.
#pragma once

#include "platform/screens.h"

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

class QWidget;

namespace hud {

inline constexpr int PANEL_LEVEL = 101;

// A new frameless, non-activating, translucent panel at level 101 on every
// desktop; `frame` in global points, bottom-left origin. Owned by the caller.
QWidget* panel(const platform::RectF& frame, bool ignores_mouse);

// The dark capsule look: sRGB (0.11, 0.11, 0.12) at 0.92, the corner radius,
// a 0.5-point white border at 0.14. Applies to a widget that paints itself
// with paint_capsule (hud's own widgets) or any plain QWidget (style sheet).
void style_capsule(QWidget* view, double corner_radius);

// Shows the one shared toast capsule near the pointer: a system symbol (by
// name; an unknown name shows no symbol), a text, for `seconds`. A newer toast
// replaces an older one; an older timer never hides a newer toast.
void toast(std::string_view symbol, std::string_view text, double seconds);
// Keeps the toast of `generation` (toast_generation() right after it came) on
// screen `seconds` more from now, where it is: true while it is still the one
// shown and not fading out yet; false otherwise, and nothing changes.
bool keep_toast(unsigned long generation, double seconds);

// What toasts stay clear of: frames in global points, bottom-left origin
// (the after-capture cards, whose buttons a toast would hide). The shell
// installs it at launch; nothing is kept clear without it.
void set_keep_clear(std::function<std::vector<platform::RectF>()> frames);
// The frames to keep clear changed (a card came, went or moved): a toast on
// screen that now stands over one moves off it.
void keep_clear_changed();

// Where a module's toasts go: toast() unless a test installed a recorder.
using ToastSink = std::function<void(std::string_view symbol, std::string_view text, double seconds)>;
// Shows the toast through `sink` when it is set, else with toast().
void toast_through(const ToastSink& sink, std::string_view symbol, std::string_view text, double seconds);

// Lays the toast out for a symbol and text without showing it; returns its
// content widget (self-checks).
QWidget* prepare_toast(std::string_view symbol, std::string_view text);

// --- The toast's geometry, pure -------------------------------------------------

struct ToastLayout {
    platform::RectF label; // within the capsule, top-left origin
    double width = 0;      // the capsule's width; its height is 40
};
// For a label whose fitting size is w × h points.
ToastLayout toast_layout(double text_w, double text_h);

// The capsule's origin (bottom-left, global points) for a pointer at (mx, my),
// the visible frame of the screen under it (none: a frame around the pointer),
// and the capsule's width: centred under the pointer, or over it near the
// bottom edge. Where that covers one of the `keep_clear` frames, the nearest
// place inside the frame that covers none (beside, above or below them);
// where there is none, the first place.
platform::PointF toast_origin(double mx, double my, std::optional<platform::RectF> visible, double width,
    const std::vector<platform::RectF>& keep_clear = {});

// The toast generation: the counter every toast increments.
unsigned long toast_generation();
// Holds the toast's clock at `seconds` (later calls move it on, running the
// toast's timers that come due, in order); none: the real clock again, for
// what is still waiting too. Main thread.
void hold_time_for_tests(std::optional<double> seconds);

} // namespace hud
