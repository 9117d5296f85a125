#include "capture/glass/math.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

TEST(GlassMath, DrawableSizeKeepsToTheCapOfItsRenderer)
{
    EXPECT_EQ(glass::drawable_size(4000, 3000, false), (glass::PixelSize { 2828, 2121 }));
    EXPECT_EQ(glass::drawable_size(1000, 800, false), (glass::PixelSize { 1000, 800 }));
    // Software rendering: two million pixels at most, the aspect kept.
    const glass::PixelSize s = glass::drawable_size(3840, 2160, true);
    EXPECT_EQ(s, (glass::PixelSize { 1886, 1061 }));
    EXPECT_LE(double(s.w) * s.h, glass::SOFTWARE_PIXEL_CAP * 1.001) << "about the cap (sides rounded)";
    EXPECT_EQ(glass::drawable_size(1920, 1080, true), (glass::PixelSize { 1886, 1061 }));
    EXPECT_EQ(glass::drawable_size(1600, 1000, true), (glass::PixelSize { 1600, 1000 }));
    EXPECT_EQ(glass::drawable_size(0, 10, false), (glass::PixelSize { 0, 0 }));
    EXPECT_EQ(glass::drawable_size(100000, 1, true).h, 1) << "never below a pixel";
}

TEST(GlassMath, EnvelopeWobblesOnceAndSettles)
{
    EXPECT_DOUBLE_EQ(glass::envelope(0), 0);
    double peak = 0, peak_t = 0;
    for (double t = 0; t < 1; t += 0.0005)
        if (glass::envelope(t) > peak)
            peak = glass::envelope(t), peak_t = t;
    EXPECT_NEAR(peak, 0.74, 0.01);
    EXPECT_NEAR(peak_t, 0.14, 0.01);
    EXPECT_NEAR(glass::envelope(1 / 2.6), 0, 1e-12);
    EXPECT_LT(glass::envelope(1 / 2.6 + 0.01), 0);
    // A 0.4 s flash ends at t ≈ 0.571, small and negative.
    EXPECT_NEAR(0.4 / glass::LENS_PERIOD, 0.571, 0.001);
    EXPECT_LT(glass::envelope(0.571), 0);
    EXPECT_GT(glass::envelope(0.571), -0.2);
}

TEST(GlassMath, UniformBlocksAre32And64BytesInShaderOrder)
{
    const glass::Lens lens = glass::lens_uniforms(2000, 1000, 12, 1000);
    EXPECT_EQ(sizeof lens, 32u);
    EXPECT_EQ(sizeof(glass::Ring), 64u);
    const float* f = reinterpret_cast<const float*>(&lens);
    EXPECT_EQ(f[0], 2000);
    EXPECT_EQ(f[1], 1000);
    EXPECT_EQ(f[2], 24) << "radius in pixels: 12 points at 2 pixels per point";
    EXPECT_EQ(f[3], 28) << "the bevel: 14 points";
    EXPECT_FLOAT_EQ(f[4], 0.8f);
    EXPECT_FLOAT_EQ(f[5], 0.22f);
    EXPECT_FLOAT_EQ(f[6], 0.5f);
    EXPECT_EQ(f[7], 0);
    glass::Ring ring;
    ring.scale = 2;
    EXPECT_EQ(reinterpret_cast<const float*>(&ring)[12], 2) << "scale is the 13th float";
}

std::vector<std::uint32_t> stripes(int w, int h)
{
    std::vector<std::uint32_t> px(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            px[static_cast<std::size_t>(y) * w + x] = 0xff000000u | ((x * 37 % 256) << 16) | ((y * 53 % 256) << 8) | 0x40;
    return px;
}

TEST(GlassMath, LensAtRestShowsThePictureWithoutTint)
{
    const int w = 64, h = 48;
    const auto px = stripes(w, h);
    const glass::Texels tex { px.data(), w, h, w };
    glass::Lens lens = glass::lens_uniforms(w, h, 10, w);
    lens.env = 0; // no displacement: no blue fringe, no highlight, no spot
    for (int y = 0; y < h; y += 3)
        for (int x = 0; x < w; x += 5) {
            const auto c = glass::lens_pixel(tex, lens, (x + 0.5f) / w, (y + 0.5f) / h);
            const std::uint32_t p = px[static_cast<std::size_t>(y) * w + x];
            ASSERT_NEAR(c[0] * 255, (p >> 16) & 0xff, 1e-3) << x << "," << y;
            ASSERT_NEAR(c[1] * 255, (p >> 8) & 0xff, 1e-3);
            ASSERT_NEAR(c[2] * 255, p & 0xff, 1e-3);
            ASSERT_EQ(c[3], 1);
        }
    // Wobbling, the picture bends: some pixels change.
    lens.env = 0.74f;
    int changed = 0;
    for (int x = 0; x < w; ++x) {
        const auto c = glass::lens_pixel(tex, lens, (x + 0.5f) / w, 5.5f / h);
        changed += std::abs(c[0] * 255 - ((px[5 * w + x] >> 16) & 0xff)) > 2;
    }
    EXPECT_GT(changed, w / 4);
}

TEST(GlassMath, RingBandIsTransparentBeyond2PointsOutsideAnd18Inside)
{
    for (const float scale : { 1.0f, 2.0f }) {
        const int w = static_cast<int>(400 * scale), h = static_cast<int>(300 * scale);
        const auto px = stripes(w, h);
        const glass::Texels tex { px.data(), w, h, w };
        glass::Ring ring;
        ring.rect[0] = 100 * scale, ring.rect[1] = 80 * scale, ring.rect[2] = 200 * scale, ring.rect[3] = 150 * scale;
        ring.size[0] = float(w), ring.size[1] = float(h);
        ring.radius = 12 * scale, ring.width = 18 * scale, ring.alpha = 1, ring.scale = scale;
        const float mid_y = (80 + 75) * scale;
        auto at = [&](float x_points) {
            return glass::ring_pixel(tex, ring, x_points * scale / w, mid_y / h);
        };
        // The left edge is at x = 100 points.
        EXPECT_EQ(at(100 - 3)[3], 0) << "3 points outside, scale " << scale;
        EXPECT_EQ(at(100 + 19)[3], 0) << "19 points inside";
        EXPECT_GT(at(100 - 1)[3], 0) << "the faint shade just outside";
        EXPECT_EQ(at(100 + 10)[3], 1) << "the glass band";
        EXPECT_GT(at(100 + 0.75f)[0], 0.7f) << "the light line";
        // Premultiplied fading.
        ring.alpha = 0.5f;
        const auto half = at(100 + 10);
        EXPECT_EQ(half[3], 0.5f);
        EXPECT_LE(half[0], 0.5f);
    }
}

TEST(GlassMath, RoundedRectDistanceAndSlope)
{
    EXPECT_FLOAT_EQ(glass::rounded_rect_distance(5, 5, 0, 0, 10, 10, 0), -5);
    EXPECT_FLOAT_EQ(glass::rounded_rect_distance(15, 5, 0, 0, 10, 10, 2), 5);
    // Round corner: the distance from the corner's centre minus the radius.
    EXPECT_NEAR(glass::rounded_rect_distance(12, 12, 0, 0, 10, 10, 4), std::hypot(6.0, 6.0) - 4, 1e-5);
    EXPECT_FLOAT_EQ(glass::bevel_slope(0), 0);
    EXPECT_NEAR(glass::bevel_slope(1), 1 / std::sqrt(0.02), 1e-4);
}

} // namespace
