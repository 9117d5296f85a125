#include "capture/glass/math.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using glass::Quad;

// Runs frames of `dt` until at rest (or `limit` seconds); answers the time taken.
double settle(glass::RingMotion& m, double dt, double limit = 3)
{
    double t = 0;
    while (!glass::ring_at_rest(m) && t < limit) {
        glass::ring_advance(m, dt);
        t += dt;
    }
    return t;
}

TEST(GlassRingMotion, FirstHoverStarts10PointsLargerAndContractsWhileFadingIn)
{
    glass::RingMotion m;
    const Quad target { 200, 100, 400, 300 };
    ASSERT_TRUE(glass::ring_aim(m, target, false, 20)); // 10 points at scale 2
    EXPECT_EQ(m.rect, (Quad { 180, 80, 440, 340 }));
    glass::ring_advance(m, 1.0 / 60);
    EXPECT_NEAR(m.alpha, (1.0 / 60) / 0.08, 1e-6);
    EXPECT_LT(m.rect[2], 440) << "contracting";
    EXPECT_GT(m.rect[2], 400);
    for (int i = 0; i < 4; ++i)
        glass::ring_advance(m, 1.0 / 60);
    EXPECT_EQ(m.alpha, 1) << "faded in after 0.08 s";
    const double t = settle(m, 1.0 / 60);
    EXPECT_LT(t, 1.0);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(m.rect[c], target[c], 0.3f);
    // The same target again while visible: nothing to do.
    EXPECT_FALSE(glass::ring_aim(m, target, false, 20));
}

TEST(GlassRingMotion, SlidesOnTheSpringBetweenWindowsWithoutFading)
{
    glass::RingMotion m;
    glass::ring_aim(m, Quad { 0, 0, 100, 100 }, false, 10);
    settle(m, 1.0 / 60);
    ASSERT_TRUE(glass::ring_aim(m, Quad { 300, 0, 100, 100 }, false, 10));
    EXPECT_NEAR(m.rect[0], 0, 0.3) << "no jump: the spring carries it";
    // Matches the spring's equation: x'' = −420 (x − 300) − 34 x', integrated finely.
    double x = m.rect[0], v = m.velocity[0];
    const double dt = 1.0 / 60;
    for (int frame = 0; frame < 12; ++frame) {
        glass::ring_advance(m, dt);
        for (int i = 0; i < 4000; ++i) {
            v += (-420 * (x - 300) - 34 * v) * dt / 4000;
            x += v * dt / 4000;
        }
        EXPECT_NEAR(m.rect[0], x, 12) << frame; // four substeps a frame: within 4 % of the distance
        EXPECT_EQ(m.alpha, 1);
    }
    EXPECT_GT(m.rect[0], 200);
}

TEST(GlassRingMotion, ReduceMotionJumpsAndOnlyFades)
{
    glass::RingMotion m;
    glass::ring_aim(m, Quad { 10, 10, 50, 50 }, true, 10);
    EXPECT_EQ(m.rect, (Quad { 10, 10, 50, 50 })) << "no growth";
    settle(m, 1.0 / 60);
    glass::ring_aim(m, Quad { 500, 40, 80, 60 }, true, 10);
    EXPECT_EQ(m.rect, (Quad { 500, 40, 80, 60 }));
    EXPECT_EQ(m.velocity, (Quad {}));
}

TEST(GlassRingMotion, NoTargetFadesOutInPlaceOver012Seconds)
{
    glass::RingMotion m;
    glass::ring_aim(m, Quad { 10, 10, 50, 50 }, false, 10);
    settle(m, 1.0 / 60);
    const Quad at = m.rect;
    ASSERT_TRUE(glass::ring_aim(m, std::nullopt, false, 10));
    EXPECT_FALSE(glass::ring_aim(m, std::nullopt, false, 10)) << "already fading";
    glass::ring_advance(m, 0.06);
    EXPECT_FALSE(glass::ring_at_rest(m));
    EXPECT_NEAR(m.alpha, 1 - (1.0 / 30) / 0.12, 1e-5) << "a long frame counts as 1/30 s";
    const double t = settle(m, 0.01);
    EXPECT_NEAR(t, 0.12 - 1.0 / 30, 0.011);
    EXPECT_EQ(m.alpha, 0);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(m.rect[c], at[c], 0.3f) << "fades where it is";
    // Showing again after it faded starts grown once more.
    glass::ring_aim(m, Quad { 10, 10, 50, 50 }, false, 10);
    EXPECT_EQ(m.rect[0], 0);
}

TEST(GlassRingMotion, NegativeAndHugeStepsAreClamped)
{
    glass::RingMotion m;
    glass::ring_aim(m, Quad { 0, 0, 10, 10 }, false, 10);
    const glass::RingMotion before = m;
    glass::ring_advance(m, -1);
    EXPECT_EQ(m.rect, before.rect);
    glass::ring_advance(m, 10);
    EXPECT_NEAR(m.alpha, (1.0 / 30) / 0.08, 1e-5);
    for (float c : m.rect)
        EXPECT_TRUE(std::isfinite(c));
}

} // namespace
