#include "editor/model.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace editor::model {

namespace {

struct ToolInfo {
    char letter;
    std::string_view tooltip;
};

constexpr std::array<ToolInfo, TOOL_COUNT> TOOLS { {
    { 'v', "Seleccionar (V)" },
    { 'a', "Flecha (A)" },
    { 'r', "Rectángulo (R)" },
    { 'f', "Rectángulo relleno (F)" },
    { 'o', "Elipse (O)" },
    { 'l', "Línea (L)" },
    { 't', "Texto (T)" },
    { 'n', "Contador (N)" },
    { 'p', "Lápiz (P)" },
    { 'h', "Resaltador (H)" },
    { 'x', "Pixelar (X)" },
    { 'b', "Desenfocar (B)" },
    { 's', "Foco (S)" },
    { 'c', "Recortar (C)" },
} };

// Tool code by letter − 'a' for 'a' to 'x'; only the letters whose bit is set
// in LETTER_MASK name a tool.
constexpr std::array<std::uint8_t, 24> LETTER_TOOLS {
    1, 11, 13, 0, 0, 3, 0, 9, 0, 0, 0, 5, 0, 7, 4, 8, 0, 2, 12, 6, 0, 0, 0, 10,
};
constexpr std::uint32_t LETTER_MASK = 0xAEE8A7;
static_assert([] {
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < TOOLS.size(); ++i) {
        const int slot = TOOLS[i].letter - 'a';
        if (LETTER_TOOLS[slot] != i)
            return false;
        mask |= 1u << slot;
    }
    return mask == LETTER_MASK;
}());

constexpr std::uint32_t SQUARE_KINDS = 0x3C1C;

constexpr double SELECT_MARGIN = 6; // points of slack around painted areas

bool is_two_point_line(int kind) { return kind == 1 || kind == 5; }

double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

// Squared distance from p to the segment a–b, the projection clamped to the
// segment; a zero-length segment measures to a.
double segment_distance_sq(Point p, Point a, Point b)
{
    const double vx = b.x - a.x;
    const double vy = b.y - a.y;
    const double len_sq = vx * vx + vy * vy;
    double t = 0;
    if (len_sq > 0)
        t = std::clamp(((p.x - a.x) * vx + (p.y - a.y) * vy) / len_sq, 0.0, 1.0);
    const double dx = p.x - (a.x + t * vx);
    const double dy = p.y - (a.y + t * vy);
    return dx * dx + dy * dy;
}

Rect points_box(const std::vector<Point>& points)
{
    double x0 = points.front().x, x1 = x0, y0 = points.front().y, y1 = y0;
    for (const Point& q : points) {
        x0 = std::min(x0, q.x);
        x1 = std::max(x1, q.x);
        y0 = std::min(y0, q.y);
        y1 = std::max(y1, q.y);
    }
    return { x0, y0, x1 - x0, y1 - y0 };
}

bool stroke_hit(const Stroke& stroke, Point p, double reach)
{
    const std::vector<Point>& pts = stroke.points.get();
    if (pts.empty())
        return false;
    // Long strokes are cheap to reject by their box before any segment.
    if (!stroke.points.box().grown(reach).contains(p))
        return false;
    const double reach_sq = reach * reach;
    if (pts.size() == 1)
        return segment_distance_sq(p, pts[0], pts[0]) <= reach_sq;
    for (std::size_t i = 0; i + 1 < pts.size(); ++i)
        if (segment_distance_sq(p, pts[i], pts[i + 1]) <= reach_sq)
            return true;
    return false;
}

bool two_point_hit(const Annotation& a, const TwoPoint& g, Point p, double tol, double scale)
{
    const Rect box = Rect::between(g.start, g.end);
    const double reach = tol + a.stroke_width(scale) / 2;
    switch (a.kind) {
    case 1:
    case 5:
        return segment_distance_sq(p, g.start, g.end) <= reach * reach;
    case 2: {
        const Rect outer = box.grown(reach);
        const Rect inner = box.grown(-reach);
        if (!outer.contains(p))
            return false;
        return inner.w <= 0 || inner.h <= 0 || !inner.contains(p);
    }
    case 4: {
        const double rx = std::max(box.w / 2, 1.0);
        const double ry = std::max(box.h / 2, 1.0);
        const double nx = (p.x - (box.x + box.w / 2)) / rx;
        const double ny = (p.y - (box.y + box.h / 2)) / ry;
        return std::abs(std::min(rx, ry) * (std::sqrt(nx * nx + ny * ny) - 1)) <= reach;
    }
    default:
        return box.grown(tol).contains(p);
    }
}

} // namespace

StrokePoints::StrokePoints(std::vector<Point> points)
    : m_data(std::make_shared<Data>(Data { std::move(points), std::nullopt }))
{
}

const std::vector<Point>& StrokePoints::get() const
{
    static const std::vector<Point> none;
    return m_data ? m_data->points : none;
}

Rect StrokePoints::box() const
{
    if (empty())
        return {};
    if (!m_data->box)
        m_data->box = points_box(m_data->points);
    return *m_data->box;
}

void StrokePoints::unshare()
{
    if (!m_data)
        m_data = std::make_shared<Data>();
    else if (m_data.use_count() > 1)
        m_data = std::make_shared<Data>(*m_data);
}

std::vector<Point>& StrokePoints::edit()
{
    unshare();
    m_data->box.reset();
    return m_data->points;
}

void StrokePoints::push_back(Point p)
{
    unshare();
    m_data->points.push_back(p);
    if (m_data->box)
        m_data->box = m_data->box->united({ p.x, p.y, 0, 0 });
}

Rect Rect::united(const Rect& o) const
{
    const double x0 = std::min(x, o.x);
    const double y0 = std::min(y, o.y);
    return { x0, y0, std::max(x + w, o.x + o.w) - x0, std::max(y + h, o.y + o.h) - y0 };
}

Rect Rect::between(Point a, Point b)
{
    return { std::min(a.x, b.x), std::min(a.y, b.y), std::abs(a.x - b.x), std::abs(a.y - b.y) };
}

char tool_letter(Tool tool) { return TOOLS[static_cast<int>(tool)].letter; }

std::string_view tool_tooltip(Tool tool) { return TOOLS[static_cast<int>(tool)].tooltip; }

std::optional<Tool> tool_for_letter(char32_t letter)
{
    if (letter < U'a' || letter > U'x')
        return std::nullopt;
    const int slot = static_cast<int>(letter - U'a');
    if (!(LETTER_MASK >> slot & 1))
        return std::nullopt;
    return static_cast<Tool>(LETTER_TOOLS[slot]);
}

Tool tool_from_code(int code) { return static_cast<Tool>(std::clamp(code, 0, TOOL_COUNT - 1)); }

std::optional<int> palette_index(const Color& color)
{
    for (std::size_t i = 0; i < PALETTE.size(); ++i)
        if (PALETTE[i].color == color)
            return static_cast<int>(i);
    return std::nullopt;
}

double Annotation::stroke_width(double scale) const
{
    const double w = scale * STROKE_WIDTHS[std::min<std::size_t>(size, 2)];
    return kind == static_cast<int>(Tool::Highlighter) ? 4 * w : w;
}

Rect Annotation::bounds(double scale) const
{
    const double pad = SELECT_MARGIN * scale;
    const double w = stroke_width(scale);
    if (const auto* c = std::get_if<Counter>(&geom)) {
        const double r = scale * COUNTER_RADII[std::min<std::size_t>(size, 2)];
        return Rect { c->center.x, c->center.y, 0, 0 }.grown(r + pad);
    }
    if (const auto* t = std::get_if<Text>(&geom))
        return Rect { t->origin.x, t->origin.y, t->size.w, t->size.h }.grown(pad);
    if (const auto* s = std::get_if<Stroke>(&geom)) {
        return s->points.box().grown(pad + w / 2);
    }
    const auto& g = std::get<TwoPoint>(geom);
    const Rect box = Rect::between(g.start, g.end);
    switch (kind) {
    case 1: {
        const double head = std::min(w * 4.6 + 10, distance(g.start, g.end) * 0.55) * 0.62;
        return box.grown(pad + head);
    }
    case 10:
    case 11:
        return box;
    case 12:
        return { -10'000'000, -10'000'000, 20'000'000, 20'000'000 };
    default:
        return box.grown(pad + w);
    }
}

std::vector<Point> Annotation::handles() const
{
    const auto* g = std::get_if<TwoPoint>(&geom);
    if (!g)
        return {};
    if (is_two_point_line(kind))
        return { g->start, g->end };
    const Rect r = Rect::between(g->start, g->end);
    return { { r.x, r.y }, { r.x + r.w, r.y }, { r.x + r.w, r.y + r.h }, { r.x, r.y + r.h } };
}

void Annotation::translate(double dx, double dy)
{
    auto move = [&](Point& p) {
        p.x += dx;
        p.y += dy;
    };
    std::visit(
        [&](auto& g) {
            using G = std::decay_t<decltype(g)>;
            if constexpr (std::is_same_v<G, TwoPoint>) {
                move(g.start);
                move(g.end);
            } else if constexpr (std::is_same_v<G, Stroke>) {
                for (Point& p : g.points.edit())
                    move(p);
            } else if constexpr (std::is_same_v<G, Text>) {
                move(g.origin);
            } else {
                move(g.center);
            }
        },
        geom);
}

std::uint32_t Doc::next_counter() const
{
    std::uint32_t top = 0;
    for (const Annotation& a : annotations)
        if (const auto* c = std::get_if<Counter>(&a.geom))
            top = std::max(top, c->number);
    return top + 1;
}

std::optional<std::uint64_t> Doc::hit(Point p, double tol, double scale) const
{
    for (auto it = annotations.rbegin(); it != annotations.rend(); ++it) {
        const Annotation& a = *it;
        bool hit = false;
        if (const auto* c = std::get_if<Counter>(&a.geom))
            hit = distance(p, c->center) <= tol + scale * COUNTER_RADII[std::min<std::size_t>(a.size, 2)];
        else if (const auto* t = std::get_if<Text>(&a.geom))
            hit = Rect { t->origin.x, t->origin.y, t->size.w, t->size.h }.grown(tol).contains(p);
        else if (const auto* s = std::get_if<Stroke>(&a.geom))
            hit = stroke_hit(*s, p, tol + a.stroke_width(scale) / 2);
        else
            hit = two_point_hit(a, std::get<TwoPoint>(a.geom), p, tol, scale);
        if (hit)
            return a.id;
    }
    return std::nullopt;
}

Annotation* Doc::find(std::uint64_t id)
{
    for (Annotation& a : annotations)
        if (a.id == id)
            return &a;
    return nullptr;
}

const Annotation* Doc::find(std::uint64_t id) const { return const_cast<Doc*>(this)->find(id); }

bool Doc::remove(std::uint64_t id)
{
    return std::erase_if(annotations, [id](const Annotation& a) { return a.id == id; }) > 0;
}

std::vector<Point> arrow_polygon(Point s, Point e, double w)
{
    const double len = distance(s, e);
    if (len < 0.5)
        return {};
    const Point u { (e.x - s.x) / len, (e.y - s.y) / len };
    const Point n { -u.y, u.x };
    const double head = std::min(w * 4.6 + 10, len * 0.55);
    const double barb = head * 0.62;
    const double neck = std::min(w * 0.8, barb * 0.55);
    const double tail = w * 0.28;
    const Point neck_at { e.x - u.x * head * 0.78, e.y - u.y * head * 0.78 };
    const Point back { e.x - u.x * head, e.y - u.y * head };
    auto off = [&](Point p, double k) { return Point { p.x + n.x * k, p.y + n.y * k }; };
    return { off(s, tail), off(neck_at, neck), off(back, barb), e, off(back, -barb), off(neck_at, -neck), off(s, -tail) };
}

bool square_kind(int kind) { return kind >= 0 && kind < 32 && (SQUARE_KINDS >> kind & 1); }

Point constrain(int kind, Point start, Point end)
{
    const double dx = end.x - start.x;
    const double dy = end.y - start.y;
    if (square_kind(kind)) {
        const double m = std::max(std::abs(dx), std::abs(dy));
        return { start.x + (dx < 0 ? -m : m), start.y + (dy < 0 ? -m : m) };
    }
    constexpr double step = std::numbers::pi / 4;
    const double angle = std::round(std::atan2(dy, dx) / step) * step;
    const double len = std::hypot(dx, dy);
    return { start.x + len * std::cos(angle), start.y + len * std::sin(angle) };
}

double normalized_scale(double scale) { return std::isnan(scale) || scale < 0.5 ? 0.5 : scale; }

double frame_margin(double w, double h, double scale)
{
    const double s = normalized_scale(scale);
    return std::round(std::clamp(std::max(w, h) * 0.07, 20 * s, 90 * s));
}

} // namespace editor::model
