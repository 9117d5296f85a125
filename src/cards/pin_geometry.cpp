#include "cards/pin_geometry.h"

#include <algorithm>
#include <cmath>

namespace pin {

double side_floor(double width, double height)
{
    const double shorter = std::min(width, height);
    if (!(shorter > 0))
        return 1.0;
    return std::min(MIN_SIDE / shorter, 1.0);
}

Start start(double pixel_width, double pixel_height, double scale, const platform::RectF& visible)
{
    if (!(scale > 0) || !std::isfinite(scale))
        scale = 1.0;
    Start s;
    Record& r = s.record;
    r.scale = scale;
    r.width = pixel_width / scale;
    r.height = pixel_height / scale;
    const double fit = std::min({ FIT * visible.w / r.width, FIT * visible.h / r.height, 1.0 });
    const double zoom = std::isfinite(fit) && fit > 0 ? fit : 1.0;
    // A pin that must start below the 40-point floor (a long strip fitted to
    // the screen) may go back to its starting size; the floor would otherwise
    // grow it far past the screen the moment it is applied.
    r.min_zoom = std::min(side_floor(r.width, r.height), zoom);
    r.zoom = clamp_zoom(r, zoom);
    const double w = std::round(r.width * r.zoom);
    const double h = std::round(r.height * r.zoom);
    s.frame = { std::round(visible.x + (visible.w - w) / 2), std::round(visible.y + (visible.h - h) / 2), w, h };
    return s;
}

platform::RectF clear_of(platform::RectF frame, std::span<const platform::RectF> earlier, const platform::RectF& visible)
{
    const auto taken = [&](const platform::RectF& f) {
        return std::any_of(earlier.begin(), earlier.end(), [&](const platform::RectF& e) { return e.x == f.x && e.y == f.y; });
    };
    // Each step either moves or wraps; one more step than there are pins
    // always finds a free origin or gives up where it stands.
    for (std::size_t step = 0; step <= earlier.size() && taken(frame); ++step) {
        frame.x += CASCADE;
        frame.y -= CASCADE;
        if (frame.x + frame.w > visible.x + visible.w || frame.y < visible.y) {
            frame.x = visible.x;
            frame.y = visible.y + visible.h - frame.h;
        }
    }
    return frame;
}

double clamp_zoom(const Record& record, double zoom)
{
    if (std::isnan(zoom))
        return record.zoom;
    if (zoom < record.min_zoom)
        zoom = record.min_zoom;
    if (zoom > MAX_ZOOM)
        zoom = MAX_ZOOM;
    return zoom;
}

platform::RectF zoomed_frame(const Record& record, const platform::RectF& old, double zoom)
{
    const double w = std::round(record.width * zoom);
    const double h = std::round(record.height * zoom);
    const double cx = old.x + old.w / 2;
    const double cy = old.y + old.h / 2;
    return { std::round(cx - w / 2), std::round(cy - h / 2), w, h };
}

double wheel_zoom(double zoom, double delta, Wheel kind)
{
    const double f = kind == Wheel::Precise ? 0.004 : 0.05;
    return zoom * (1 + delta * f);
}

KeyResult key_action(const KeyPress& p)
{
    const double step = p.shift ? 10 : 1;
    const bool one = p.chars.size() == 1;
    const char c = one ? p.chars[0] : '\0';
    if (p.key == Key::Escape)
        return { KeyAction::Close };
    if (one && p.command) {
        if (c == 'c')
            return { KeyAction::Copy };
        if (c == 's')
            return { KeyAction::Save };
        if (c == 'w')
            return { KeyAction::Close };
        if (c == 'e')
            return { KeyAction::Annotate };
    }
    switch (p.key) {
    case Key::Left: return { KeyAction::Move, -step, 0 };
    case Key::Right: return { KeyAction::Move, step, 0 };
    case Key::Down: return { KeyAction::Move, 0, -step };
    case Key::Up: return { KeyAction::Move, 0, step };
    default: break;
    }
    if (one && (c == '+' || c == '='))
        return { KeyAction::ZoomIn };
    if (one && c == '-')
        return { KeyAction::ZoomOut };
    if (one && c >= '0' && c <= '9' && !p.command)
        return { KeyAction::Opacity, 0, 0, c == '0' ? 1.0 : (c - '0') / 10.0 };
    return {};
}

} // namespace pin
