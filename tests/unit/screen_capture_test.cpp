// The platform capture layer's pure helpers: pixel rectangles of regions and
// the window shadow.
#include "platform/screen_capture.h"

#include <gtest/gtest.h>

namespace {

platform::ShareableDisplay retina_at(std::int32_t native_x)
{
    platform::ShareableDisplay d;
    d.display_id = 2;
    d.frame = { 960, 0, 960, 540 };
    d.scale = 2.0;
    d.pixel_width = 1920;
    d.pixel_height = 1080;
    d.native_x = native_x;
    return d;
}

TEST(NativeRect, RegionsScaleByTheScreensOwnPixelsAndStartAtItsOrigin)
{
    const auto d = retina_at(1920);
    EXPECT_EQ(platform::native_rect(d, std::nullopt), (platform::PixelRect { 1920, 0, 1920, 1080 }));
    EXPECT_EQ(platform::native_rect(d, platform::RectF { 10, 20, 100.5, 50 }), (platform::PixelRect { 1940, 40, 201, 100 }));
}

TEST(NativeRect, RegionsAreClippedToTheDisplay)
{
    const auto d = retina_at(0);
    EXPECT_EQ(platform::native_rect(d, platform::RectF { -10, -10, 20, 20 }), (platform::PixelRect { 0, 0, 20, 20 }));
    EXPECT_EQ(platform::native_rect(d, platform::RectF { 950, 530, 100, 100 }), (platform::PixelRect { 1900, 1060, 20, 20 }));
    const auto outside = platform::native_rect(d, platform::RectF { 2000, 0, 10, 10 });
    EXPECT_EQ(outside.w, 0);
    const auto empty = platform::native_rect(d, platform::RectF { 5, 5, 0, 10 });
    EXPECT_EQ(empty.w, 0);
}

TEST(PixelsFor, RoundsHalvesAwayFromZeroAndNeverGivesZero)
{
    EXPECT_EQ(platform::pixels_for(100.5, 2.0), 201u);
    EXPECT_EQ(platform::pixels_for(100.25, 2.0), 201u);
    EXPECT_EQ(platform::pixels_for(100.2, 2.0), 200u);
    EXPECT_EQ(platform::pixels_for(0.2, 1.0), 1u);
    EXPECT_EQ(platform::pixels_for(-5, 1.0), 1u);
}

TEST(WindowShadow, SurroundsTheWindowOnATransparentMarginAndFallsBelowIt)
{
    QImage window(60, 40, QImage::Format_ARGB32_Premultiplied);
    window.fill(QColor(10, 200, 30));
    const QImage out = platform::with_window_shadow(window, 1.0);
    const int m = platform::shadow_margin(1.0);
    ASSERT_EQ(out.size(), QSize(60 + 2 * m, 40 + 2 * m));
    EXPECT_EQ(qAlpha(out.pixel(0, 0)), 0);
    EXPECT_EQ(out.pixel(m + 30, m + 20), qRgb(10, 200, 30)); // the window itself, unchanged
    const int below = qAlpha(out.pixel(m + 30, m + 40 + m / 3));
    const int above = qAlpha(out.pixel(m + 30, m - m / 3));
    EXPECT_GT(below, 0);
    EXPECT_GT(below, above); // the shadow is lowered
    // Dark: the shadow carries no colour.
    const QRgb s = out.pixel(m + 30, m + 40 + m / 3);
    EXPECT_EQ(qRed(s), 0);
    EXPECT_EQ(platform::shadow_margin(2.0), 2 * m);
}

} // namespace
