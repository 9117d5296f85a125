#include "capture/glass/math.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace glass {

namespace {

struct V2 {
    float x, y;
};
struct V3 {
    float r, g, b;
};

V2 operator+(V2 a, V2 b) { return { a.x + b.x, a.y + b.y }; }
V2 operator-(V2 a, V2 b) { return { a.x - b.x, a.y - b.y }; }
V2 operator*(V2 a, float s) { return { a.x * s, a.y * s }; }
float dot(V2 a, V2 b) { return a.x * b.x + a.y * b.y; }
float length(V2 a) { return std::sqrt(dot(a, a)); }
V2 normalize(V2 a)
{
    const float l = length(a);
    return { a.x / l, a.y / l };
}

float clampf(float x, float lo, float hi) { return std::min(std::max(x, lo), hi); }

float smoothstep(float e0, float e1, float x)
{
    const float t = clampf((x - e0) / (e1 - e0), 0, 1);
    return t * t * (3 - 2 * t);
}

// GL_LINEAR with GL_CLAMP_TO_EDGE at normalised coordinates.
V3 sample(const Texels& tex, float u, float v)
{
    const float fx = u * tex.w - 0.5f, fy = v * tex.h - 0.5f;
    const float x0f = std::floor(fx), y0f = std::floor(fy);
    const float ax = fx - x0f, ay = fy - y0f;
    const int x0 = static_cast<int>(x0f), y0 = static_cast<int>(y0f);
    auto texel = [&](int x, int y) {
        x = std::clamp(x, 0, tex.w - 1);
        y = std::clamp(y, 0, tex.h - 1);
        const std::uint32_t p = tex.pixels[static_cast<std::size_t>(y) * tex.stride + x];
        return V3 { ((p >> 16) & 0xff) / 255.0f, ((p >> 8) & 0xff) / 255.0f, (p & 0xff) / 255.0f };
    };
    const V3 a = texel(x0, y0), b = texel(x0 + 1, y0), c = texel(x0, y0 + 1), d = texel(x0 + 1, y0 + 1);
    auto mix = [](V3 p, V3 q, float t) { return V3 { p.r + (q.r - p.r) * t, p.g + (q.g - p.g) * t, p.b + (q.b - p.b) * t }; };
    return mix(mix(a, b, ax), mix(c, d, ax), ay);
}

float luma(V3 c) { return c.r * 0.299f + c.g * 0.587f + c.b * 0.114f; }

constexpr V3 BLUE { 0.52f, 0.50f, 0.98f };

V3 bent(const Texels& tex, V2 size, V2 p, V2 off, float dispersion)
{
    const V2 q = p + off;
    const V3 base = sample(tex, q.x / size.x, q.y / size.y);
    const V2 qa = p + off * (1 + dispersion), qb = p + off * (1 - dispersion);
    const V3 a = sample(tex, qa.x / size.x, qa.y / size.y);
    const V3 b = sample(tex, qb.x / size.x, qb.y / size.y);
    const float k = std::abs(luma(a) - luma(b)) * 2.2f;
    const float bl = luma(BLUE);
    return { base.r + (BLUE.r - bl) * k, base.g + (BLUE.g - bl) * k, base.b + (BLUE.b - bl) * k };
}

V2 outward_normal(V2 p, float x, float y, float w, float h, float radius)
{
    const V2 n { rounded_rect_distance(p.x + 1, p.y, x, y, w, h, radius) - rounded_rect_distance(p.x - 1, p.y, x, y, w, h, radius),
        rounded_rect_distance(p.x, p.y + 1, x, y, w, h, radius) - rounded_rect_distance(p.x, p.y - 1, x, y, w, h, radius) };
    const float l = length(n);
    return l > 0.0001f ? n * (1 / l) : V2 { 0, 0 };
}

float rim_light(V2 n, float x, float specular)
{
    const float z = std::sqrt(std::max(1 - x * x, 0.0f));
    float sx = n.x * x, sy = n.y * x, sz = z;
    float l = std::sqrt(sx * sx + sy * sy + sz * sz);
    sx /= l, sy /= l, sz /= l;
    float lx = -0.45f, ly = -0.75f, lz = 0.55f;
    l = std::sqrt(lx * lx + ly * ly + lz * lz);
    lx /= l, ly /= l, lz /= l;
    float hx = lx, hy = ly, hz = lz + 1;
    l = std::sqrt(hx * hx + hy * hy + hz * hz);
    hx /= l, hy /= l, hz /= l;
    const float nh = std::max(sx * hx + sy * hy + sz * hz, 0.0f);
    const float edge = 1 - z;
    return (std::pow(nh, 70.0f) * 1.1f + std::pow(nh, 10.0f) * 0.12f + edge * edge * edge * 0.4f) * specular;
}

} // namespace

PixelSize drawable_size(int w, int h, bool software_renderer)
{
    if (w <= 0 || h <= 0)
        return { 0, 0 };
    const double cap = software_renderer ? SOFTWARE_PIXEL_CAP : HARDWARE_PIXEL_CAP;
    const double c = std::min(std::sqrt(cap / (static_cast<double>(w) * h)), 1.0);
    return { std::max(1, static_cast<int>(std::round(c * w))), std::max(1, static_cast<int>(std::round(c * h))) };
}

double envelope(double t)
{
    return 1.35 * std::exp(-3.6 * t) * std::sin(2.6 * std::numbers::pi * t);
}

Lens lens_uniforms(int w, int h, double corner_radius, double frame_width)
{
    Lens u;
    u.size[0] = static_cast<float>(w);
    u.size[1] = static_cast<float>(h);
    const double per_point = frame_width > 0 ? w / frame_width : 1;
    u.radius = static_cast<float>(corner_radius * per_point);
    u.bevel = static_cast<float>(14 * per_point);
    return u;
}

float rounded_rect_distance(float px, float py, float x, float y, float w, float h, float radius)
{
    const V2 hs { w / 2, h / 2 };
    const float r = std::min({ radius, hs.x, hs.y });
    const V2 q { std::abs(px - x - hs.x) - hs.x + r, std::abs(py - y - hs.y) - hs.y + r };
    const V2 m { std::max(q.x, 0.0f), std::max(q.y, 0.0f) };
    return length(m) + std::min(std::max(q.x, q.y), 0.0f) - r;
}

float bevel_slope(float x) { return x / std::sqrt(std::max(1 - x * x, 0.02f)); }

Rgba lens_pixel(const Texels& tex, const Lens& u, float uvx, float uvy)
{
    const V2 size { u.size[0], u.size[1] };
    const V2 p { uvx * size.x, uvy * size.y };
    const V2 h = size * 0.5f;
    const float s = -rounded_rect_distance(p.x, p.y, 0, 0, size.x, size.y, u.radius);
    const float k = clampf(s / std::min(h.x, h.y), 0, 1);
    const float dome = 1 - (1 - k) * (1 - k);
    V2 off = (p - h) * (-dome * 0.3f * u.refraction * u.env);
    const float edge = std::abs(u.env) * 0.6f;
    float highlight = 0;
    if (s < u.bevel) {
        const V2 n = outward_normal(p, 0, 0, size.x, size.y, u.radius);
        const float x = clampf(1 - s / u.bevel, 0, 1);
        off = off - n * (bevel_slope(x) * u.refraction * u.bevel * 0.5f * edge);
        const V2 l = normalize({ -1, -1.2f });
        const V2 nl { -l.x, -l.y };
        highlight = (std::pow(std::max(dot(n, l), 0.0f), 8.0f) * smoothstep(0, 1, x)
                        + std::pow(std::max(dot(n, nl), 0.0f), 8.0f) * smoothstep(0.3f, 1, x) * 0.3f)
            * u.specular * edge;
    }
    const V3 c = bent(tex, size, p, off, u.dispersion);
    const V2 lp { (p.x - h.x) / h.x, (p.y - h.y) / h.y };
    const float spot_base = std::max(1 - 1.6f * length(lp - V2 { -0.45f, -0.5f }), 0.0f);
    const float spot = spot_base * spot_base * spot_base * 0.35f * u.specular * std::abs(u.env);
    const float add = highlight + spot;
    return { clampf(c.r + add, 0, 1), clampf(c.g + add, 0, 1), clampf(c.b + add, 0, 1), 1 };
}

Rgba ring_pixel(const Texels& tex, const Ring& u, float uvx, float uvy)
{
    const V2 size { u.size[0], u.size[1] };
    const V2 p { uvx * size.x, uvy * size.y };
    const float d = rounded_rect_distance(p.x, p.y, u.rect[0], u.rect[1], u.rect[2], u.rect[3], u.radius);
    const float s = -d;
    if (d > 2 * u.scale || s > u.width)
        return { 0, 0, 0, 0 };
    const float rim = (1 - smoothstep(0, 1.5f * u.scale, std::abs(d + 0.75f * u.scale))) * 0.75f;
    Rgba out;
    if (s < 0) {
        const float shade = (1 - smoothstep(0, 2 * u.scale, d)) * 0.18f;
        out = { rim, rim, rim, rim + shade * (1 - rim) };
    } else {
        const V2 n = outward_normal(p, u.rect[0], u.rect[1], u.rect[2], u.rect[3], u.radius);
        const float x = 1 - s / u.width;
        const V2 off = n * (-bevel_slope(x) * u.width * 0.5f * u.refraction);
        V3 g = bent(tex, size, p, off, u.dispersion);
        const float light = rim_light(n, x, u.specular) * smoothstep(0, 1, x);
        g = { clampf(g.r + light, 0, 1), clampf(g.g + light, 0, 1), clampf(g.b + light, 0, 1) };
        out = { g.r + (1 - g.r) * rim, g.g + (1 - g.g) * rim, g.b + (1 - g.b) * rim, 1 };
    }
    for (float& c : out)
        c *= u.alpha;
    return out;
}

} // namespace glass

namespace glass {

bool ring_aim(RingMotion& m, const std::optional<Quad>& target, bool reduce_motion, float grow)
{
    if (!target) {
        if (!m.visible)
            return false;
        m.visible = false;
        return true;
    }
    if (m.has_target && m.target == *target && m.visible)
        return false;
    if (m.alpha <= 0.01f) {
        const float d = reduce_motion ? 0 : grow;
        m.rect = { (*target)[0] - d, (*target)[1] - d, (*target)[2] + 2 * d, (*target)[3] + 2 * d };
        m.velocity = {};
    } else if (reduce_motion) {
        m.rect = *target;
        m.velocity = {};
    }
    m.has_target = true;
    m.target = *target;
    m.visible = true;
    return true;
}

void ring_advance(RingMotion& m, double dt)
{
    dt = std::clamp(dt, 0.0, RING_MAX_STEP);
    if (m.has_target) {
        const float step = static_cast<float>(dt / 4);
        for (int i = 0; i < 4; ++i)
            for (std::size_t c = 0; c < 4; ++c) {
                m.velocity[c] += (-420 * (m.rect[c] - m.target[c]) - 34 * m.velocity[c]) * step;
                m.rect[c] += m.velocity[c] * step;
            }
    }
    if (m.visible)
        m.alpha = std::min(m.alpha + static_cast<float>(dt / RING_FADE_IN), 1.0f);
    else
        m.alpha = std::max(m.alpha - static_cast<float>(dt / RING_FADE_OUT), 0.0f);
}

bool ring_at_rest(const RingMotion& m)
{
    const float goal = m.visible ? 1.0f : 0.0f;
    if (m.alpha != goal)
        return false;
    if (!m.has_target)
        return true;
    for (std::size_t c = 0; c < 4; ++c)
        if (std::abs(m.rect[c] - m.target[c]) > 0.3f || std::abs(m.velocity[c]) >= 2.0f)
            return false;
    return true;
}

} // namespace glass
