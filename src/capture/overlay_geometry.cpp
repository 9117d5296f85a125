#include "capture/overlay_geometry.h"

#include "base/util.h"

#include <fmt/format.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cmath>

namespace overlay {

const char* debug_name(Mode mode)
{
    return mode == Mode::Window ? "Window" : "Area";
}

const char* debug_name(Purpose purpose)
{
    switch (purpose) {
    case Purpose::Screenshot:
        return "Screenshot";
    case Purpose::Text:
        return "Text";
    case Purpose::Record:
        return "Record";
    case Purpose::Scroll:
        return "Scroll";
    }
    return "Screenshot";
}

bool window_selectable(const WindowEntry& e, long self_pid)
{
    if (!e.layer || *e.layer != 0)
        return false;
    if (!e.owner_pid || static_cast<long>(*e.owner_pid) == self_pid)
        return false;
    if (e.alpha && !(*e.alpha > 0))
        return false;
    if (!e.bounds || !(e.bounds->w >= 40) || !(e.bounds->h >= 40))
        return false;
    return e.number.has_value();
}

std::vector<WindowInfo> filter_windows(const std::vector<WindowEntry>& entries, long self_pid, double primary_height)
{
    std::vector<WindowInfo> out;
    for (const auto& e : entries) {
        if (!window_selectable(e, self_pid))
            continue;
        const RectF& b = *e.bounds;
        out.push_back({ b.x, primary_height - b.y - b.h, b.w, b.h, static_cast<std::uint32_t>(*e.number) });
    }
    return out;
}

std::optional<WindowInfo> window_at(const std::vector<WindowInfo>& windows, PointF p)
{
    for (const auto& w : windows)
        if (w.rect().contains(p.x, p.y))
            return w;
    return std::nullopt;
}

RectF view_to_global(const RectF& r, const RectF& frame)
{
    return { frame.x + r.x, frame.y + r.y, r.w, r.h };
}

RectF global_to_view(const RectF& r, const RectF& frame)
{
    return { r.x - frame.x, r.y - frame.y, r.w, r.h };
}

RectF view_to_local(const RectF& r, double view_height)
{
    return { r.x, view_height - r.y - r.h, r.w, r.h };
}

RectF flip(const RectF& r, double view_height)
{
    return view_to_local(r, view_height);
}

PointF flip(PointF p, double view_height)
{
    return { p.x, view_height - p.y };
}

long round_half_away(double value)
{
    return std::lround(value);
}

PixelRect area_crop(const RectF& local, double scale)
{
    return { round_half_away(scale * local.x), round_half_away(scale * local.y), round_half_away(scale * local.w),
        round_half_away(scale * local.h) };
}

std::optional<WindowCrop> window_crop(const WindowInfo& w, const RectF& f, double s)
{
    if (!f.contains(w.x + w.w / 2, w.y + w.h / 2))
        return std::nullopt;
    const double x0 = std::max(w.x, f.x);
    const double x1 = std::min(w.x + w.w, f.x + f.w);
    const double y0 = std::max(w.y, f.y);
    const double y1 = std::min(w.y + w.h, f.y + f.h);
    if (!(x1 > x0) || !(y1 > y0))
        return std::nullopt;
    WindowCrop crop;
    crop.clipped = { x0, y0, x1 - x0, y1 - y0 };
    crop.pixels = { round_half_away((x0 - f.x) * s), round_half_away(s * (f.y + f.h - y1)), round_half_away((x1 - x0) * s),
        round_half_away(s * (y1 - y0)) };
    return crop;
}

std::optional<PixelRect> clamp_crop(const PixelRect& r, long image_w, long image_h)
{
    const long x0 = std::max(r.x, 0L);
    const long y0 = std::max(r.y, 0L);
    const long x1 = std::min(r.x + r.w, image_w);
    const long y1 = std::min(r.y + r.h, image_h);
    if (x1 <= x0 || y1 <= y0)
        return std::nullopt;
    return PixelRect { x0, y0, x1 - x0, y1 - y0 };
}

std::optional<RectF> clip_to_local(const RectF& g, const RectF& f)
{
    const double x0 = std::max(g.x, f.x);
    const double x1 = std::min(g.x + g.w, f.x + f.w);
    const double y0 = std::max(g.y, f.y);
    const double y1 = std::min(g.y + g.h, f.y + f.h);
    if (!(x1 > x0) || !(y1 > y0))
        return std::nullopt;
    return RectF { x0 - f.x, f.y + f.h - y1, x1 - x0, y1 - y0 };
}

PointF constrain_square(PointF start, PointF point)
{
    const double dx = point.x - start.x;
    const double dy = point.y - start.y;
    const double side = std::max(std::abs(dx), std::abs(dy));
    return { start.x + (dx < 0 ? -side : side), start.y + (dy < 0 ? -side : side) };
}

RectF span(PointF a, PointF b)
{
    return { std::min(a.x, b.x), std::min(a.y, b.y), std::abs(b.x - a.x), std::abs(b.y - a.y) };
}

RectF drag_selection(PointF a, PointF b, double scale, double width, double height)
{
    const double px = 1 / scale;
    const double x0 = std::max(std::min(a.x, b.x), 0.0);
    const double x1 = std::min(std::max(a.x, b.x) + px, width);
    const double y0 = std::max(std::min(a.y, b.y) - px, 0.0);
    const double y1 = std::min(std::max(a.y, b.y), height);
    return { x0, y0, std::max(x1 - x0, 0.0), std::max(y1 - y0, 0.0) };
}

RectF square_selection(PointF a, PointF b, double scale, double width, double height)
{
    const double px = 1 / scale;
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const bool right = dx >= 0;
    const bool up = dy >= 0;
    // The room from the press's pixel to the edge the drag heads for.
    const double room_x = right ? width - a.x : a.x + px;
    const double room_y = up ? height - (a.y - px) : a.y;
    const double side = std::max(std::min({ std::max(std::abs(dx), std::abs(dy)) + px, room_x, room_y }), 0.0);
    const double x = right ? a.x : a.x + px - side;
    const double y = up ? a.y - px : a.y - side;
    return { x, y, side, side };
}

bool is_area_selection(const RectF& r, double scale)
{
    const double px = 1 / scale;
    return r.w - px >= 3 && r.h - px >= 3;
}

namespace {

// Characters, not bytes: "×" counts once.
std::size_t char_count(const std::string& utf8)
{
    std::size_t n = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80)
            ++n;
    return n;
}

RectF grow(const RectF& r, double d)
{
    return { r.x - d, r.y - d, r.w + 2 * d, r.h + 2 * d };
}

bool empty(const RectF& r)
{
    return !(r.w > 0) || !(r.h > 0);
}

// The band of width 2d centred on a rectangle's edges.
void add_ring(std::vector<RectF>& out, const RectF& r, double d)
{
    const RectF outer = grow(r, d);
    const RectF inner = grow(r, -d);
    if (empty(inner)) {
        out.push_back(outer);
        return;
    }
    for (const auto& part : subtract(outer, inner))
        out.push_back(part);
}

template <class T, class F>
void add_changed(std::vector<RectF>& out, const std::optional<T>& a, const std::optional<T>& b, F bounds)
{
    if (a == b)
        return;
    if (a)
        out.push_back(bounds(*a));
    if (b)
        out.push_back(bounds(*b));
}

} // namespace

Label size_label(const RectF& hl, double width, double height)
{
    Label label;
    label.text = fmt::format("{} × {}", round_half_away(hl.w), round_half_away(hl.h));
    const double lw = static_cast<double>(char_count(label.text)) * 7.4 + 16;
    const double lh = 22;
    // The clamp needs W ≥ lw + 8, which every real screen gives; a narrower
    // view keeps the left bound rather than crossing the two.
    const double x = std::max(4.0, std::min(hl.x + hl.w / 2 - lw / 2, width - lw - 4));
    const double candidate = hl.y - 28 >= 4 ? hl.y - 28 : hl.y + hl.h + 8;
    const double y = candidate + lh <= height ? candidate : hl.y + 8;
    label.frame = { x, y, lw, lh };
    return label;
}

RectF magnifier_frame(PointF p, double width)
{
    const double x = p.x + 24 + 128 <= width ? p.x + 24 : p.x - 152;
    // Below the pointer only when the coordinate label under the magnifier
    // (22 points lower) still fits on the screen too.
    const double y = p.y - 152 - 22 >= 0 ? p.y - 152 : p.y + 24;
    return { x, y, 128, 128 };
}

Label coord_label(PointF p, const RectF& mag, double height)
{
    Label label;
    label.text = fmt::format("{}, {}", round_half_away(p.x), round_half_away(height - p.y));
    const double w = static_cast<double>(char_count(label.text)) * 6.4 + 12;
    label.frame = { mag.x + 64 - w / 2, mag.y - 22, w, 18 };
    return label;
}

Scene scene(const SceneInput& in)
{
    Scene s;
    s.highlight = in.window_mode ? in.hovered_view : in.selection;
    s.dim_alpha = in.window_mode ? 0.01 : 0.32;
    s.outline_width = in.window_mode ? 5 : 1;
    s.outline_blue = in.window_mode;
    s.outline_stroked = !(in.window_mode && in.ring_enabled);
    if (const auto& h = s.highlight) {
        if (in.window_mode) {
            s.outline = RectF { h->x + 2.5, h->y + 2.5, h->w - 5, h->h - 5 };
            s.outline_radius = std::max(std::min({ h->w / 2, 12.0, h->h / 2 }) - 2.5, 0.0);
        } else {
            s.outline = RectF { h->x - 0.5, h->y - 0.5, h->w + 1, h->h + 1 };
        }
        s.size_label = size_label(*h, in.width, in.height);
    }
    if (in.pointer && !in.selection && in.show_crosshair && !in.window_mode) {
        const double y = std::floor(in.pointer->y) + 0.5;
        const double x = std::floor(in.pointer->x) + 0.5;
        s.crosshair = { { { 0, y }, { in.width, y } }, { { x, 0 }, { x, in.height } } };
    }
    if (in.show_magnifier && in.has_frozen && in.pointer && !in.window_mode && !in.record) {
        const PointF p = *in.pointer;
        s.magnifier = magnifier_frame(p, in.width);
        s.magnifier_source = { p.x - 8, p.y - 8, 16, 16 };
        const double side = 8 / in.scale;
        s.centre_box = { 64 - side / 2, 64 - side / 2, side, side };
        s.coord_label = coord_label(p, *s.magnifier, in.height);
    }
    return s;
}

void dim_pixels(const std::uint32_t* src, std::uint32_t* dst, std::size_t count)
{
    std::size_t i = 0;
#if defined(__SSE2__)
    // Four pixels at a time, each channel widened to 16 bits: the same
    // (c × 174 + 128) >> 8 as below, then alpha put back. A screenful is
    // written on every full repaint of a panel, as fast as a plain copy.
    const __m128i zero = _mm_setzero_si128();
    const __m128i factor = _mm_set1_epi16(174);
    const __m128i half = _mm_set1_epi16(128);
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    for (; i + 4 <= count; i += 4) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i lo = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(p, zero), factor), half), 8);
        const __m128i hi = _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(p, zero), factor), half), 8);
        const __m128i dimmed = _mm_packus_epi16(lo, hi);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
            _mm_or_si128(_mm_and_si128(p, alpha), _mm_andnot_si128(alpha, dimmed)));
    }
#endif
    // Red and blue share one multiply, green gets its own; no channel can
    // carry into the next because 255 × 174 + 128 < 65536.
    for (; i < count; ++i) {
        const std::uint32_t p = src[i];
        const std::uint32_t rb = (((p & 0x00FF00FFu) * 174u + 0x00800080u) >> 8) & 0x00FF00FFu;
        const std::uint32_t g = (((p & 0x0000FF00u) * 174u + 0x00008000u) >> 8) & 0x0000FF00u;
        dst[i] = (p & 0xFF000000u) | rb | g;
    }
}

std::vector<RectF> subtract(const RectF& a, const RectF& b)
{
    const double ix0 = std::max(a.x, b.x);
    const double iy0 = std::max(a.y, b.y);
    const double ix1 = std::min(a.x + a.w, b.x + b.w);
    const double iy1 = std::min(a.y + a.h, b.y + b.h);
    if (ix1 <= ix0 || iy1 <= iy0)
        return empty(a) ? std::vector<RectF> {} : std::vector<RectF> { a };
    std::vector<RectF> out;
    // Full-width bands below and above the intersection, then the sides.
    if (iy0 > a.y)
        out.push_back({ a.x, a.y, a.w, iy0 - a.y });
    if (a.y + a.h > iy1)
        out.push_back({ a.x, iy1, a.w, a.y + a.h - iy1 });
    if (ix0 > a.x)
        out.push_back({ a.x, iy0, ix0 - a.x, iy1 - iy0 });
    if (a.x + a.w > ix1)
        out.push_back({ ix1, iy0, a.x + a.w - ix1, iy1 - iy0 });
    return out;
}

std::vector<RectF> damage(const Scene& a, const Scene& b)
{
    std::vector<RectF> out;
    if (a == b)
        return out;
    if (a.dim_alpha != b.dim_alpha)
        return { RectF { -1e9, -1e9, 2e9, 2e9 } }; // everything
    // The dimming changes where exactly one of the two holes lies.
    if (a.highlight != b.highlight) {
        if (a.highlight && b.highlight) {
            for (const auto& r : subtract(*a.highlight, *b.highlight))
                out.push_back(r);
            for (const auto& r : subtract(*b.highlight, *a.highlight))
                out.push_back(r);
        } else {
            out.push_back(a.highlight ? *a.highlight : *b.highlight);
        }
    }
    if (a.outline != b.outline || a.outline_radius != b.outline_radius || a.outline_width != b.outline_width
        || a.outline_blue != b.outline_blue || a.outline_stroked != b.outline_stroked) {
        if (a.outline)
            add_ring(out, *a.outline, a.outline_width / 2 + 2);
        if (b.outline)
            add_ring(out, *b.outline, b.outline_width / 2 + 2);
    }
    if (a.crosshair != b.crosshair) {
        for (const auto* lines : { &a.crosshair, &b.crosshair })
            for (const auto& l : *lines)
                out.push_back(grow(span(l.a, l.b), 1.5));
    }
    const auto label_bounds = [](const Label& l) { return grow(l.frame, 1.5); };
    add_changed(out, a.size_label, b.size_label, label_bounds);
    add_changed(out, a.coord_label, b.coord_label, label_bounds);
    if (a.magnifier != b.magnifier || a.magnifier_source != b.magnifier_source || a.centre_box != b.centre_box) {
        if (a.magnifier)
            out.push_back(grow(*a.magnifier, 2));
        if (b.magnifier)
            out.push_back(grow(*b.magnifier, 2));
    }
    return out;
}

ChoiceEffect choose_effect(modebar::Choice choice, Purpose current)
{
    using modebar::Choice;
    ChoiceEffect e;
    switch (choice) {
    case Choice::Area:
        break;
    // Under the record purpose, the whole screen and a window are recorded:
    // a user who asked to record never gets a still.
    case Choice::Fullscreen:
        e.finish_fullscreen = true;
        if (current == Purpose::Record)
            e.purpose = Purpose::Record;
        break;
    case Choice::Window:
        e.mode = Mode::Window;
        if (current == Purpose::Record)
            e.purpose = Purpose::Record;
        break;
    case Choice::Scrolling:
        e.purpose = Purpose::Scroll;
        break;
    case Choice::Timer:
        e.cancel_and_timer = true;
        break;
    case Choice::Text:
        e.purpose = Purpose::Text;
        break;
    case Choice::Record:
        e.purpose = Purpose::Record;
        // A session opened for a GIF keeps its format.
        if (current != Purpose::Record)
            e.format = actions::RecordingFormat::Video;
        break;
    }
    return e;
}

modebar::Choice bar_choice(Mode mode, Purpose purpose)
{
    using modebar::Choice;
    switch (purpose) {
    case Purpose::Screenshot:
        return mode == Mode::Window ? Choice::Window : Choice::Area;
    case Purpose::Text:
        return Choice::Text;
    case Purpose::Record:
        return Choice::Record;
    case Purpose::Scroll:
        return Choice::Scrolling;
    }
    return Choice::Area;
}

Mode toggled_mode(Mode mode, Purpose purpose)
{
    if (purpose == Purpose::Scroll)
        return mode;
    return mode == Mode::Area ? Mode::Window : Mode::Area;
}

KeyEffect key_effect(std::uint32_t code, Held held)
{
    using modebar::Choice;
    // A chord is a shortcut of the desktop's or of this program's (those
    // run through the hot keys and never reach here), not a bar key.
    if (held == Held::Chord)
        return {};
    // X keycodes are the kernel's evdev codes plus 8, one per physical key,
    // whatever the keyboard layout prints on it.
    switch (code) {
    case 10: return { KeyAction::Choose, Choice::Area };       // 1
    case 11: return { KeyAction::Choose, Choice::Fullscreen }; // 2
    case 12: return { KeyAction::Choose, Choice::Window };     // 3
    case 13: return { KeyAction::Choose, Choice::Scrolling };  // 4
    case 14: return { KeyAction::Choose, Choice::Timer };      // 5
    case 15: return { KeyAction::Choose, Choice::Text };       // 6
    case 16: return { KeyAction::Choose, Choice::Record };     // 7
    case 36: return { KeyAction::FinishScreen, {} };           // Return
    case 104: return { KeyAction::FinishScreen, {} };          // keypad Enter
    case 65: return { KeyAction::ToggleMode, {} };            // Space
    case 9: return { KeyAction::Cancel, {} };                  // Escape
    default: return {};
    }
}

} // namespace overlay

namespace modebar {

namespace {

// The names the self-checks and the log give the buttons.
constexpr std::array<const char*, COUNT> DEBUG_NAMES = { "Area", "Fullscreen", "Window", "Scrolling", "Timer", "Text",
    "Record" };

} // namespace

const char* debug_name(Choice c) { return DEBUG_NAMES[static_cast<std::size_t>(c)]; }
// The rows hold string literals: their data ends in a NUL.
const char* label(Choice c) { return actions::row(action_of(c)).bar.label.data(); }
const char* symbol(Choice c) { return actions::row(action_of(c)).bar.symbol.data(); }

Choice choice_at(int index)
{
    if (index < 0 || index >= COUNT)
        util::fatal("opción de la barra fuera de rango");
    return static_cast<Choice>(index);
}

Layout layout(const std::array<double, COUNT>& widths)
{
    Layout l;
    double x = 8;
    for (int i = 0; i < COUNT; ++i) {
        const Choice c = static_cast<Choice>(i);
        // Separators set the text and recording choices apart.
        if (c == Choice::Text || c == Choice::Record) {
            l.separators.push_back({ x + 6, 18, 1, 30 });
            x += 13;
        }
        const double bw = static_cast<double>(overlay::round_half_away(std::max(widths[static_cast<std::size_t>(i)] + 28, 58.0)));
        ButtonLayout b;
        b.choice = c;
        b.label = { x, 14, bw, 16 };
        b.icon = { x, 32, bw, 22 };
        b.background = { x + 2, 8, bw - 4, 50 };
        b.frame = { x, 8, bw, 50 };
        l.buttons.push_back(b);
        x += bw;
    }
    l.width = x + 8;
    l.height = 66;
    return l;
}

std::optional<int> button_at(const Layout& l, PointF p)
{
    for (std::size_t i = 0; i < l.buttons.size(); ++i)
        if (l.buttons[i].frame.contains(p.x, p.y))
            return static_cast<int>(i);
    return std::nullopt;
}

std::optional<Choice> released_choice(const Layout& l, std::optional<int> pressed, PointF release)
{
    const auto at = button_at(l, release);
    if (!pressed || !at || *at != *pressed)
        return std::nullopt;
    return l.buttons[static_cast<std::size_t>(*at)].choice;
}

PointF origin_on(const RectF& vf, double bar_width)
{
    return { static_cast<double>(overlay::round_half_away(vf.x + (vf.w - bar_width) / 2)), vf.y + 28 };
}

} // namespace modebar
