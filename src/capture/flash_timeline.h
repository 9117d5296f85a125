// flash: the confirmation animation as a timeline evaluated at a time.
//
// The flash is a handful of animated values (the picture's pulse and
// corners, the carrier's flight, shadow and fade, the sheen's glow and turn).
// Here they are plain data: keyframes with per-segment timing curves,
// delayed animations that show their start value until they begin, and the
// flight's spring in closed form. flash.cpp paints whatever `Plan::at`
// answers. Pure: no Qt.
//
// Coordinates are the panel's: points, bottom-left origin. Times are seconds
// since the flash was played.
#pragma once

#include "platform/screens.h"

#include <optional>
#include <vector>

namespace flash {

// --- Timing curves ---------------------------------------------------------------

enum class Timing { Linear, EaseOut, EaseInOut };

// The cubic Bézier timing curve through (0, 0), (x1, y1), (x2, y2), (1, 1) at
// progress x in 0..1 (clamped): solves the curve's x for its parameter, then
// answers its y.
double cubic_bezier(double x1, double y1, double x2, double y2, double x);
// ease-out = (0, 0, 0.58, 1), ease-in-ease-out = (0.42, 0, 0.58, 1), linear.
double ease(Timing timing, double x);

// Values at key times (0..1 of the duration), one timing curve per interval
// (missing curves are linear). Before 0 the first value, after the duration
// the model value the caller gives.
struct Keyframes {
    double begin = 0;
    double duration = 0;
    std::vector<double> values;
    std::vector<double> key_times;
    std::vector<Timing> timings;

    double at(double t, double model) const;
};

// From `from` to `to` over `duration` starting at `begin`, filling backwards:
// before it begins it shows `from`; once over, the model value.
struct Basic {
    double begin = 0;
    double duration = 0;
    double from = 0;
    double to = 0;
    Timing timing = Timing::Linear;

    double at(double t, double model) const;
};

// --- The flight's spring ------------------------------------------------------------

inline constexpr double SPRING_MASS = 1;
inline constexpr double SPRING_STIFFNESS = 420;
inline constexpr double SPRING_DAMPING = 34;

// The fraction of the distance a spring released at rest has covered after
// `t` seconds (0 before it starts; overshoots 1 slightly when underdamped).
double spring_progress(double t);
// When the spring stays within 0.1 % of its distance from then on (≈ 0.41 s).
double spring_settling();

// From `from` to `to` on the spring, starting at `begin` (filling backwards)
// and lasting the spring's settling time.
struct Spring {
    double begin = 0;
    double from = 0;
    double to = 0;

    double at(double t, double model) const;
};

// --- The flash's geometry -------------------------------------------------------------

inline constexpr double MIN_SIDE = 8;         // points; smaller origins get no flash
inline constexpr double PANEL_MARGIN = 48;    // points around the area
inline constexpr double CLOSE_AFTER = 0.45;   // seconds after the newest flash
inline constexpr double LANDING_DELAY = 0.32; // when a flight starts to fade into the card
inline constexpr double CARD_CORNER = 12;     // the card's picture corners, points

// Inset s = 0.03 × min(w, h) clamped to 3..10 points; pulse scale
// k = 1 − 2s / max(w, h).
struct Pulse {
    double inset = 0;
    double scale = 1;
};
Pulse pulse_for(double w, double h);

// Whether a flash flies into the card: the delay after which it lands, or
// none unless every condition holds.
struct LandingQuestion {
    bool flash_on = false;
    double w = 0;
    double h = 0;
    bool has_image = false;
    bool reduce_motion = false;
    std::optional<std::uint32_t> pointer_display; // the screen under the pointer
    std::optional<std::uint32_t> origin_display;  // the screen holding the origin's centre
};
std::optional<double> landing_delay(const LandingQuestion& q);

// What one flash is asked to do.
struct PlanInput {
    platform::RectF origin;                 // global points, bottom-left origin
    double corner_radius = 0;               // points
    std::optional<platform::RectF> landing; // the card's picture, global points
    bool plain = false;                     // reduce motion, or no image
    bool reduce_motion = false;
    bool lens = false;                      // the glass lens draws instead of the sheen
};

// Everything drawn at one moment.
struct Frame {
    // The carrier: its centre in the panel (bottom-left origin), scale, opacity.
    double carrier_x = 0;
    double carrier_y = 0;
    double carrier_scale = 1;
    double carrier_opacity = 1;
    double shadow_opacity = 0;
    // The picture inside the carrier (scaled about its centre).
    double picture_scale = 1;
    double corner_radius = 0;
    // The sheen: its glow's opacity and the gradient's turn (radians).
    double sheen_opacity = 0;
    double sheen_rotation = 0;
};

// One flash, laid out once and evaluated at any time.
class Plan {
public:
    explicit Plan(const PlanInput& input);

    const PlanInput& input() const { return m_input; }
    // The panel's frame: the origin (with the landing, their union) grown by 48 points.
    const platform::RectF& panel() const { return m_panel; }
    double w() const { return m_input.origin.w; }
    double h() const { return m_input.origin.h; }
    // The picture's corner radius at the start: min(corner_radius, w/2, h/2).
    double radius() const { return m_radius; }
    const Pulse& pulse() const { return m_pulse; }
    bool flies() const { return m_flies; }
    bool sheen() const { return m_sheen; }
    // When the last animated value has come to rest.
    double duration() const;

    Frame at(double t) const;

private:
    PlanInput m_input;
    platform::RectF m_panel;
    double m_radius = 0;
    Pulse m_pulse;
    bool m_flies = false;
    bool m_sheen = false;
    double m_fit = 1;

    std::optional<Keyframes> m_pulse_keys;
    std::optional<Basic> m_shrink;
    Keyframes m_fade;
    std::optional<Basic> m_fade_into_card;
    std::optional<Basic> m_corners;
    std::optional<Spring> m_fly_x, m_fly_y, m_fly_scale;
    std::optional<Keyframes> m_shadow;
    std::optional<Keyframes> m_glow;
    std::optional<Basic> m_turn;
};

} // namespace flash
