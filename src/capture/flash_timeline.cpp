#include "capture/flash_timeline.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace flash {

namespace {

// One coordinate of the curve with end points 0 and 1 at parameter u.
double bezier(double p1, double p2, double u)
{
    const double v = 1 - u;
    return 3 * v * v * u * p1 + 3 * v * u * u * p2 + u * u * u;
}

double bezier_slope(double p1, double p2, double u)
{
    const double v = 1 - u;
    return 3 * v * v * p1 + 6 * v * u * (p2 - p1) + 3 * u * u * (1 - p2);
}

double clamp01(double x) { return std::isnan(x) ? 0 : std::clamp(x, 0.0, 1.0); }

} // namespace

double cubic_bezier(double x1, double y1, double x2, double y2, double x)
{
    x = clamp01(x);
    if (x == 0 || x == 1)
        return x;
    // Newton from the identity guess; x(u) is monotonic for control points in
    // 0..1, so bisection finishes what Newton cannot (flat slopes at the ends).
    double u = x;
    for (int i = 0; i < 8; ++i) {
        const double err = bezier(x1, x2, u) - x;
        if (std::abs(err) < 1e-9)
            return bezier(y1, y2, u);
        const double slope = bezier_slope(x1, x2, u);
        if (std::abs(slope) < 1e-6)
            break;
        u = clamp01(u - err / slope);
    }
    double lo = 0, hi = 1;
    u = x;
    for (int i = 0; i < 60; ++i) {
        const double got = bezier(x1, x2, u);
        if (std::abs(got - x) < 1e-10)
            break;
        (got < x ? lo : hi) = u;
        u = (lo + hi) / 2;
    }
    return bezier(y1, y2, u);
}

double ease(Timing timing, double x)
{
    switch (timing) {
    case Timing::EaseOut:
        return cubic_bezier(0, 0, 0.58, 1, x);
    case Timing::EaseInOut:
        return cubic_bezier(0.42, 0, 0.58, 1, x);
    case Timing::Linear:
        break;
    }
    return clamp01(x);
}

double Keyframes::at(double t, double model) const
{
    if (values.empty() || values.size() != key_times.size() || !(duration > 0))
        return model;
    if (t >= begin + duration)
        return model;
    const double u = std::max(0.0, (t - begin) / duration);
    std::size_t i = 0;
    while (i + 2 < key_times.size() && u >= key_times[i + 1])
        ++i;
    if (key_times.size() == 1 || u <= key_times[0])
        return values[0];
    const double span = key_times[i + 1] - key_times[i];
    const double f = span > 0 ? (u - key_times[i]) / span : 1;
    const Timing timing = i < timings.size() ? timings[i] : Timing::Linear;
    return values[i] + (values[i + 1] - values[i]) * ease(timing, f);
}

double Basic::at(double t, double model) const
{
    if (t < begin)
        return from;
    if (!(duration > 0) || t >= begin + duration)
        return model;
    return from + (to - from) * ease(timing, (t - begin) / duration);
}

double spring_progress(double t)
{
    if (t <= 0)
        return 0;
    const double w0 = std::sqrt(SPRING_STIFFNESS / SPRING_MASS);
    const double zeta = SPRING_DAMPING / (2 * std::sqrt(SPRING_STIFFNESS * SPRING_MASS));
    const double decay = std::exp(-zeta * w0 * t);
    if (zeta < 1) {
        const double wd = w0 * std::sqrt(1 - zeta * zeta);
        return 1 - decay * (std::cos(wd * t) + zeta * w0 / wd * std::sin(wd * t));
    }
    // Critically or over-damped (not with the flash's constants; kept total).
    if (zeta == 1)
        return 1 - decay * (1 + w0 * t);
    const double s = w0 * std::sqrt(zeta * zeta - 1);
    const double r1 = -zeta * w0 + s, r2 = -zeta * w0 - s;
    return 1 - (r2 * std::exp(r1 * t) - r1 * std::exp(r2 * t)) / (r2 - r1);
}

double spring_settling()
{
    static const double settled = [] {
        // The last moment the spring is off by more than 0.1 %, on a 0.1 ms grid.
        constexpr double step = 1e-4;
        double last = 0;
        for (double t = step; t < 5; t += step)
            if (std::abs(1 - spring_progress(t)) > 1e-3)
                last = t;
        return last + step;
    }();
    return settled;
}

double Spring::at(double t, double model) const
{
    if (t < begin)
        return from;
    if (t >= begin + spring_settling())
        return model;
    return from + (to - from) * spring_progress(t - begin);
}

Pulse pulse_for(double w, double h)
{
    Pulse p;
    p.inset = std::clamp(0.03 * std::min(w, h), 3.0, 10.0);
    const double longest = std::max(w, h);
    p.scale = longest > 0 ? 1 - 2 * p.inset / longest : 1;
    return p;
}

std::optional<double> landing_delay(const LandingQuestion& q)
{
    if (!q.flash_on || !(q.w >= MIN_SIDE) || !(q.h >= MIN_SIDE) || !q.has_image || q.reduce_motion)
        return std::nullopt;
    if (!q.pointer_display || !q.origin_display || *q.pointer_display != *q.origin_display)
        return std::nullopt;
    return LANDING_DELAY;
}

Plan::Plan(const PlanInput& input)
    : m_input(input)
{
    const platform::RectF& o = input.origin;
    platform::RectF area = o;
    if (input.landing) {
        const platform::RectF& l = *input.landing;
        const double x0 = std::min(o.x, l.x), y0 = std::min(o.y, l.y);
        const double x1 = std::max(o.x + o.w, l.x + l.w), y1 = std::max(o.y + o.h, l.y + l.h);
        area = { x0, y0, x1 - x0, y1 - y0 };
    }
    m_panel = { area.x - PANEL_MARGIN, area.y - PANEL_MARGIN, area.w + 2 * PANEL_MARGIN, area.h + 2 * PANEL_MARGIN };
    m_radius = std::max(0.0, std::min({ input.corner_radius, o.w / 2, o.h / 2 }));
    m_pulse = pulse_for(o.w, o.h);
    const double k = m_pulse.scale;
    m_flies = input.landing && !input.plain;

    m_fade = { 0, 0.4, { 1, 1, 0 }, { 0, 0.8, 1 }, {} };
    if (!m_flies) {
        if (!input.plain)
            m_pulse_keys = Keyframes { 0, 0.4, { 1, k, 1 }, { 0, 0.3, 1 }, { Timing::EaseOut, Timing::EaseInOut } };
        m_sheen = input.plain || !input.lens;
    } else {
        const platform::RectF& l = *input.landing;
        constexpr double t1 = 0.08;
        m_fit = std::min(l.w / o.w, l.h / o.h);
        m_shrink = Basic { 0, 0.08, 1, k, Timing::EaseOut };
        m_corners = Basic { t1, 0.24, m_radius, CARD_CORNER / m_fit, Timing::Linear };
        const double cx = o.x + o.w / 2 - m_panel.x, cy = o.y + o.h / 2 - m_panel.y;
        m_fly_x = Spring { t1, cx, l.x + l.w / 2 - m_panel.x };
        m_fly_y = Spring { t1, cy, l.y + l.h / 2 - m_panel.y };
        m_fly_scale = Spring { t1, 1, m_fit / k };
        m_shadow = Keyframes { 0, 0.32, { 0, 0.42, 0.42, 0 }, { 0, 0.2, 0.7, 1 }, {} };
        m_fade_into_card = Basic { t1 + 0.24, 0.08, 1, 0, Timing::Linear };
        m_sheen = !input.lens;
    }
    if (m_sheen) {
        m_glow = Keyframes { 0, 0.34, { 0, 1, 1, 0 }, { 0, 0.2, 0.55, 1 }, {} };
        if (!input.reduce_motion)
            m_turn = Basic { 0, 0.34, 0, -std::numbers::pi, Timing::EaseOut };
    }
}

double Plan::duration() const
{
    return m_flies ? 0.08 + spring_settling() : 0.4;
}

Frame Plan::at(double t) const
{
    const platform::RectF& o = m_input.origin;
    Frame f;
    f.carrier_x = m_fly_x ? m_fly_x->at(t, m_fly_x->to) : o.x + o.w / 2 - m_panel.x;
    f.carrier_y = m_fly_y ? m_fly_y->at(t, m_fly_y->to) : o.y + o.h / 2 - m_panel.y;
    f.carrier_scale = m_fly_scale ? m_fly_scale->at(t, m_fly_scale->to) : 1;
    f.carrier_opacity = m_fade_into_card ? m_fade_into_card->at(t, 0) : m_fade.at(t, 0);
    f.shadow_opacity = m_shadow ? m_shadow->at(t, 0) : 0;
    f.picture_scale = m_pulse_keys ? m_pulse_keys->at(t, 1) : m_shrink ? m_shrink->at(t, m_pulse.scale) : 1;
    f.corner_radius = m_corners ? m_corners->at(t, m_corners->to) : m_radius;
    f.sheen_opacity = m_glow ? m_glow->at(t, 0) : 0;
    f.sheen_rotation = m_turn ? m_turn->at(t, 0) : 0;
    return f;
}

} // namespace flash
