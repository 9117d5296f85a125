// input_overlay: the keys and clicks of a recording, drawn where the video
// sees them — a ring that grows and fades at every click, and a pill near the
// bottom of the recorded area with the shortcut or the text just typed.
//
// One click-through panel at level 1002 covers the recorded screen. It paints
// itself from a scene model; delayed steps (the pill's hide, a ring's growth
// and removal) hold the shared model, never the widget, so a step that runs
// after the overlay stopped finds no panel and draws nothing. Main thread.
#pragma once

#include "platform/raw_input.h"
#include "platform/screens.h"
#include "record/recorder.h"

#include <QPointer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace input_overlay {

// What a key press shows: a label that replaces the pill's text, or typed
// text appended to it.
struct KeyLabel {
    std::string text;
    bool replace = true;
    bool operator==(const KeyLabel&) const = default;
};

// The label of a key press (virtual code, hotkeys modifiers, characters with
// and without modifiers), or none when the press shows nothing.
std::optional<KeyLabel> key_label(const platform::RawKey& key, bool all_keys);

// Unicode scalar values in UTF-8 text.
std::size_t scalar_count(std::string_view text);

using Clock = std::chrono::steady_clock;

struct Ring {
    double x = 0, y = 0; // panel points, bottom-left origin
    bool left = true;
    std::optional<Clock::time_point> grow_start; // the grow-and-fade began
};

// The state the panel is painted from.
struct Scene {
    std::string text; // typed so far, cleared by a hide
    std::string shown; // what the pill paints, kept while it fades
    std::uint64_t generation = 0;
    bool pill_shown = false;
    std::optional<Clock::time_point> pill_fade_start;
    std::vector<std::shared_ptr<Ring>> rings;
};

class OverlayPanel;

struct Shared : std::enable_shared_from_this<Shared> {
    Scene scene;
    platform::RectF frame; // the screen, global points
    platform::PointF anchor; // pill's bottom centre, panel points
    double scale = 1;
    bool shaped = false; // no compositor: the panel is cut to what it draws
    QPointer<OverlayPanel> panel;
    // Main-queue timers and the clock; tests replace them.
    std::function<void(double, std::function<void()>)> after;
    std::function<Clock::time_point()> now;

    void push(const KeyLabel& label);
    void key(const platform::RawKey& key, bool all_keys);
    void ring_at(double x, double y, bool left);
    void changed();
};

// The pill's rectangle (panel points, bottom-left) for text w points wide.
platform::RectF pill_rect(const platform::PointF& anchor, double text_w);
// A ring's scale and opacity `t` seconds into its growth (none: not begun).
std::pair<double, double> ring_look(std::optional<double> t);
// Rings are drawn from pictures made per step of their growth, 60 steps a
// second: the step `t` seconds in (none: not begun, step 0), and the time a
// step stands for.
inline constexpr double RING_STEPS_PER_SECOND = 60;
int ring_step(std::optional<double> t);
std::optional<double> step_time(int step);
// The pill's opacity `t` seconds into its fade (none: no fade).
double pill_opacity(bool shown, std::optional<double> t);

class InputOverlay final : public recorder::InputPanel {
public:
    // The panel over `frame` and the monitors the flags ask for (recorder's
    // SHOW_* bits). A monitor that cannot start is logged and left out.
    static std::unique_ptr<InputOverlay> start(const platform::RectF& frame, const platform::RectF& area, std::uint32_t flags,
        double scale, std::unique_ptr<platform::RawInput> monitor = nullptr);
    ~InputOverlay() override;

    std::optional<std::uint32_t> window_id() const override;
    void stop() override;

    const std::shared_ptr<Shared>& shared() const { return m_shared; }
    QWidget* panel() const;
    bool monitoring() const { return m_monitor != nullptr; }

private:
    InputOverlay() = default;
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<platform::RawInput> m_monitor;
    QPointer<OverlayPanel> m_panel;
};

// Simulated input of the live recording's overlay (self-checks): kind 0 a
// left click at the global point, any other kind the shortcut "Ctrl+Mayús+F".
void simulate(int kind, double x, double y);

inline constexpr int PANEL_LEVEL = 1002;

} // namespace input_overlay
