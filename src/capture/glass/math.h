// glass: the numbers of the glass effects, pure.
//
// The uniform blocks the shaders read, the lens's drawable size and wobble,
// and the two fragment functions again in C++ (the same steps, in single
// precision), which the fake GPU draws with and the tests hold the shaders
// against. Pixels are top-left origin; colours 0..1.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace glass {

// The lens pass: 32 bytes of floats.
struct Lens {
    float size[2] = { 0, 0 }; // the picture, pixels
    float radius = 0;         // corner radius, pixels
    float bevel = 0;          // pixels
    float refraction = 0.8f;
    float dispersion = 0.22f;
    float specular = 0.5f;
    float env = 0;            // the wobble at this frame
};
static_assert(sizeof(Lens) == 32);

// The ring pass: 52 bytes of floats, padded to 64.
struct Ring {
    float rect[4] = { 0, 0, 0, 0 }; // the ring's rectangle, pixels
    float size[2] = { 0, 0 };       // the frozen screen, pixels
    float radius = 0;               // pixels
    float width = 0;                // the band, pixels
    float refraction = 0.7f;
    float dispersion = 0.22f;
    float specular = 0.6f;
    float alpha = 0;
    float scale = 1; // pixels per point
    float pad[3] = { 0, 0, 0 };
};
static_assert(sizeof(Ring) == 64);

// The most pixels a lens frame has: a hardware renderer draws 6 MP in a
// frame interval; Mesa's software renderer (about 6 ms per million pixels on
// our machines) 2 MP.
inline constexpr double HARDWARE_PIXEL_CAP = 6'000'000;
inline constexpr double SOFTWARE_PIXEL_CAP = 2'000'000;

struct PixelSize {
    int w = 0;
    int h = 0;
    bool operator==(const PixelSize&) const = default;
};
// The lens's frame for a w × h picture: scaled by min(√(cap / (w·h)), 1),
// each side rounded half away from zero.
PixelSize drawable_size(int w, int h, bool software_renderer);

// The wobble at t = elapsed / 0.7: 1.35 · e^(−3.6 t) · sin(2.6 π t).
double envelope(double t);
inline constexpr double LENS_PERIOD = 0.7;  // seconds, the t unit
inline constexpr double LENS_MAX_DURATION = 0.7;
inline constexpr double LENS_LATE = 0.12;   // a texture later than this is not played

// The lens uniforms for a w × h-pixel picture shown `frame_width` points wide
// with `corner_radius` points.
Lens lens_uniforms(int w, int h, double corner_radius, double frame_width);

// A premultiplied BGRA picture (QImage's ARGB32 layout), read like a texture
// with linear filtering and clamped edges.
struct Texels {
    const std::uint32_t* pixels = nullptr;
    int w = 0;
    int h = 0;
    int stride = 0; // pixels per row
};

using Rgba = std::array<float, 4>;

// The fragment functions at a pixel's centre uv (0..1, top-left origin).
Rgba lens_pixel(const Texels& tex, const Lens& u, float uvx, float uvy);
Rgba ring_pixel(const Texels& tex, const Ring& u, float uvx, float uvy);

// Shared pieces, exposed for tests.
float rounded_rect_distance(float px, float py, float x, float y, float w, float h, float radius);
float bevel_slope(float x);

} // namespace glass

namespace glass {

// --- The ring's motion, pure --------------------------------------------------------------

inline constexpr double RING_GROW = 10;      // points the ring starts outside a first target
inline constexpr double RING_BAND = 18;      // points of glass inside the edge
inline constexpr double RING_OUTSIDE = 2;    // points of halo outside it
inline constexpr double RING_FADE_IN = 0.08; // seconds
inline constexpr double RING_FADE_OUT = 0.12;
inline constexpr double RING_MAX_STEP = 1.0 / 30;

using Quad = std::array<float, 4>; // x, y, width, height in pixels, top-left origin

struct RingMotion {
    Quad rect {};
    Quad velocity {}; // pixels per second
    Quad target {};
    bool has_target = false;
    bool visible = false;
    float alpha = 0;
};

// States a new target (none: fade out where it is). Answers whether anything
// changed, which means the ring must move again: the same target while
// visible changes nothing. A ring that is not showing starts `grow` pixels
// outside its first target (0 with reduce motion); with reduce motion a
// showing ring jumps to the target; otherwise the spring carries it over.
bool ring_aim(RingMotion& m, const std::optional<Quad>& target, bool reduce_motion, float grow);

// One frame of `dt` seconds (capped at 1/30 s): the spring (stiffness 420,
// damping 34) in four substeps, velocity before position, then the fade.
void ring_advance(RingMotion& m, double dt);

// At rest: no target, or every side within 0.3 pixels of it and every speed
// below 2 pixels per second, with the opacity at its goal.
bool ring_at_rest(const RingMotion& m);

} // namespace glass
