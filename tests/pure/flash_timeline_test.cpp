#include "capture/flash_timeline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace {

using flash::Timing;

TEST(FlashTimeline, PulseInsetAndScaleClampTo3To10Points)
{
    const flash::Pulse p = flash::pulse_for(400, 200);
    EXPECT_DOUBLE_EQ(p.inset, 6);
    EXPECT_DOUBLE_EQ(p.scale, 0.97);
    // Small origins keep 3 points, large ones stop at 10.
    EXPECT_DOUBLE_EQ(flash::pulse_for(20, 50).inset, 3);
    EXPECT_DOUBLE_EQ(flash::pulse_for(20, 50).scale, 1 - 6.0 / 50);
    EXPECT_DOUBLE_EQ(flash::pulse_for(3840, 2160).inset, 10);
    EXPECT_DOUBLE_EQ(flash::pulse_for(3840, 2160).scale, 1 - 20.0 / 3840);
}

TEST(FlashTimeline, TimingCurvesMatchTheirControlPoints)
{
    for (double x : { 0.0, 0.1, 0.25, 0.5, 0.75, 0.9, 1.0 }) {
        // Re-derive each point from the curve's parameter: y(u) where x(u) = x.
        auto check = [x](double x1, double y1, double x2, double y2, Timing timing) {
            double lo = 0, hi = 1;
            for (int i = 0; i < 80; ++i) {
                const double u = (lo + hi) / 2;
                const double bx = 3 * (1 - u) * (1 - u) * u * x1 + 3 * (1 - u) * u * u * x2 + u * u * u;
                (bx < x ? lo : hi) = u;
            }
            const double u = (lo + hi) / 2;
            const double by = 3 * (1 - u) * (1 - u) * u * y1 + 3 * (1 - u) * u * u * y2 + u * u * u;
            EXPECT_NEAR(flash::ease(timing, x), by, 1e-6) << x;
        };
        check(0, 0, 0.58, 1, Timing::EaseOut);
        check(0.42, 0, 0.58, 1, Timing::EaseInOut);
        EXPECT_DOUBLE_EQ(flash::ease(Timing::Linear, x), x);
    }
    // Ease-out runs ahead of linear, ease-in-ease-out is symmetric about the middle.
    EXPECT_GT(flash::ease(Timing::EaseOut, 0.3), 0.3);
    EXPECT_NEAR(flash::ease(Timing::EaseInOut, 0.5), 0.5, 1e-9);
    EXPECT_NEAR(flash::ease(Timing::EaseInOut, 0.2) + flash::ease(Timing::EaseInOut, 0.8), 1, 1e-9);
    // Out of range clamps.
    EXPECT_EQ(flash::ease(Timing::EaseOut, -1), 0);
    EXPECT_EQ(flash::ease(Timing::EaseInOut, 2), 1);
}

TEST(FlashTimeline, KeyframesUseTheirSegmentsCurveAndEndOnTheModel)
{
    const flash::Keyframes pulse { 0, 0.4, { 1, 0.97, 1 }, { 0, 0.3, 1 }, { Timing::EaseOut, Timing::EaseInOut } };
    EXPECT_DOUBLE_EQ(pulse.at(0, 1), 1);
    EXPECT_NEAR(pulse.at(0.12, 1), 0.97, 1e-12); // key time 0.3 of 0.4 s
    // First segment eased out: halfway in time is well past halfway in value.
    EXPECT_NEAR(pulse.at(0.06, 1), 1 - 0.03 * flash::ease(Timing::EaseOut, 0.5), 1e-12);
    EXPECT_LT(pulse.at(0.06, 1), 0.985);
    // Second segment eased in and out: symmetric around its middle.
    EXPECT_NEAR(pulse.at(0.26, 1), 0.985, 1e-9);
    EXPECT_DOUBLE_EQ(pulse.at(0.4, 7), 7); // after: the model
    const flash::Keyframes fade { 0, 0.4, { 1, 1, 0 }, { 0, 0.8, 1 }, {} };
    EXPECT_DOUBLE_EQ(fade.at(0.2, 0), 1);
    EXPECT_NEAR(fade.at(0.36, 0), 0.5, 1e-12); // linear without curves
}

TEST(FlashTimeline, DelayedAnimationsFillBackwards)
{
    const flash::Basic corners { 0.08, 0.24, 12, 48, Timing::Linear };
    EXPECT_DOUBLE_EQ(corners.at(0, 48), 12);
    EXPECT_DOUBLE_EQ(corners.at(0.079, 48), 12);
    EXPECT_NEAR(corners.at(0.2, 48), 30, 1e-9);
    EXPECT_DOUBLE_EQ(corners.at(0.32, 48), 48);
    const flash::Spring fly { 0.08, 100, 300 };
    EXPECT_DOUBLE_EQ(fly.at(0.05, 300), 100);
    EXPECT_DOUBLE_EQ(fly.at(0.08 + flash::spring_settling(), 300), 300);
}

TEST(FlashTimeline, SpringMatchesItsEquationAndSettlesNear041Seconds)
{
    // Integrate m x'' = −k (x − 1) − c x' finely and compare with the closed form.
    double x = 0, v = 0;
    const double dt = 1e-6;
    for (int i = 1; i <= 300000; ++i) {
        v += (-flash::SPRING_STIFFNESS * (x - 1) - flash::SPRING_DAMPING * v) / flash::SPRING_MASS * dt;
        x += v * dt;
        if (i % 50000 == 0) {
            EXPECT_NEAR(flash::spring_progress(i * dt), x, 2e-4) << i * dt;
        }
    }
    EXPECT_EQ(flash::spring_progress(-0.1), 0);
    // Underdamped: it overshoots once, a little.
    double peak = 0;
    for (double t = 0; t < 1; t += 0.001)
        peak = std::max(peak, flash::spring_progress(t));
    EXPECT_GT(peak, 1.0);
    EXPECT_LT(peak, 1.01);
    const double settle = flash::spring_settling();
    EXPECT_NEAR(settle, 0.41, 0.02);
    for (double t = settle; t < 2; t += 0.0005)
        ASSERT_LE(std::abs(1 - flash::spring_progress(t)), 1e-3) << t;
    EXPECT_GT(std::abs(1 - flash::spring_progress(settle - 0.002)), 1e-3);
}

TEST(FlashTimeline, LandingDelayNeedsAllFiveConditions)
{
    flash::LandingQuestion q { true, 400, 300, true, false, 7u, 7u };
    EXPECT_EQ(flash::landing_delay(q), 0.32);
    auto without = [q](auto change) {
        flash::LandingQuestion c = q;
        change(c);
        return flash::landing_delay(c);
    };
    EXPECT_EQ(without([](auto& c) { c.flash_on = false; }), std::nullopt);
    EXPECT_EQ(without([](auto& c) { c.w = 7.9; }), std::nullopt);
    EXPECT_EQ(without([](auto& c) { c.h = 7.9; }), std::nullopt);
    EXPECT_EQ(without([](auto& c) { c.w = 8; c.h = 8; }), 0.32);
    EXPECT_EQ(without([](auto& c) { c.has_image = false; }), std::nullopt);
    EXPECT_EQ(without([](auto& c) { c.reduce_motion = true; }), std::nullopt);
    EXPECT_EQ(without([](auto& c) { c.origin_display = 8u; }), std::nullopt);
    EXPECT_EQ(without([](auto& c) { c.pointer_display = std::nullopt; }), std::nullopt);
    EXPECT_EQ(without([](auto& c) { c.origin_display = std::nullopt; }), std::nullopt);
}

TEST(FlashTimeline, InPlacePulsesFadesAndShowsTheSheenWithoutTheLens)
{
    flash::PlanInput in;
    in.origin = { 100, 200, 400, 200 };
    in.corner_radius = 12;
    const flash::Plan plan(in);
    EXPECT_EQ(plan.panel(), (platform::RectF { 52, 152, 496, 296 }));
    EXPECT_FALSE(plan.flies());
    EXPECT_TRUE(plan.sheen());
    const flash::Frame start = plan.at(0);
    EXPECT_DOUBLE_EQ(start.carrier_x, 248);
    EXPECT_DOUBLE_EQ(start.carrier_y, 148);
    EXPECT_DOUBLE_EQ(start.carrier_opacity, 1);
    EXPECT_DOUBLE_EQ(start.sheen_opacity, 0);
    EXPECT_NEAR(plan.at(0.12).picture_scale, 0.97, 1e-12);
    EXPECT_NEAR(plan.at(0.068).sheen_opacity, 1, 1e-12);
    // The sheen turns half a turn clockwise, eased out.
    EXPECT_LT(plan.at(0.17).sheen_rotation, -std::numbers::pi / 2);
    EXPECT_DOUBLE_EQ(plan.at(0.4).carrier_opacity, 0);
    EXPECT_DOUBLE_EQ(plan.at(0.2).corner_radius, 12);

    in.lens = true;
    const flash::Plan lens(in);
    EXPECT_FALSE(lens.sheen());
    EXPECT_DOUBLE_EQ(lens.at(0.1).sheen_opacity, 0);
}

TEST(FlashTimeline, PlainFlashesNeitherPulseNorFlyAndReduceMotionStopsTheTurn)
{
    flash::PlanInput in;
    in.origin = { 0, 0, 400, 400 };
    in.landing = platform::RectF { 1000, 0, 200, 100 };
    in.plain = true;
    in.lens = true; // a plain flash ignores the lens
    const flash::Plan plan(in);
    EXPECT_FALSE(plan.flies());
    EXPECT_TRUE(plan.sheen());
    for (double t : { 0.0, 0.05, 0.12, 0.3 }) {
        EXPECT_DOUBLE_EQ(plan.at(t).picture_scale, 1) << t;
        EXPECT_DOUBLE_EQ(plan.at(t).carrier_x, 248) << t;
        EXPECT_DOUBLE_EQ(plan.at(t).carrier_scale, 1) << t;
    }
    EXPECT_LT(plan.at(0.2).sheen_rotation, 0);
    in.reduce_motion = true;
    const flash::Plan still(in);
    EXPECT_DOUBLE_EQ(still.at(0.2).sheen_rotation, 0);
    EXPECT_GT(still.at(0.2).sheen_opacity, 0.9);
}

TEST(FlashTimeline, FlightLandsOnTheCardAtItsScaleAndCorners)
{
    flash::PlanInput in;
    in.origin = { 0, 0, 400, 400 };
    in.landing = platform::RectF { 1000, 20, 200, 100 };
    in.corner_radius = 0;
    const flash::Plan plan(in);
    ASSERT_TRUE(plan.flies());
    EXPECT_EQ(plan.panel(), (platform::RectF { -48, -48, 1296, 496 }));
    const double k = plan.pulse().scale;
    EXPECT_DOUBLE_EQ(k, 1 - 20.0 / 400);
    // Shrinks first, then flies from where it was.
    EXPECT_DOUBLE_EQ(plan.at(0.04).carrier_x, 248);
    EXPECT_LT(plan.at(0.04).picture_scale, 1);
    EXPECT_DOUBLE_EQ(plan.at(0.08).picture_scale, k);
    EXPECT_DOUBLE_EQ(plan.at(0.08).corner_radius, 0);
    EXPECT_DOUBLE_EQ(plan.at(0.1).carrier_opacity, 1);
    EXPECT_NEAR(plan.at(0.15).shadow_opacity, 0.42, 1e-12);
    EXPECT_NEAR(plan.at(0.032).shadow_opacity, 0.21, 1e-12);
    EXPECT_GT(plan.at(0.25).carrier_x, 800);
    // Lands: fit 0.25, corners 48 before scaling (12 once scaled), carrier 0.25 / k.
    const flash::Frame end = plan.at(1);
    EXPECT_DOUBLE_EQ(end.carrier_x, 1148);
    EXPECT_DOUBLE_EQ(end.carrier_y, 118);
    EXPECT_DOUBLE_EQ(end.corner_radius, 48);
    EXPECT_DOUBLE_EQ(end.carrier_scale, 0.25 / k);
    EXPECT_DOUBLE_EQ(end.carrier_scale * end.picture_scale, 0.25);
    EXPECT_DOUBLE_EQ(end.carrier_opacity, 0);
    EXPECT_DOUBLE_EQ(end.shadow_opacity, 0);
    EXPECT_NEAR(plan.at(0.36).carrier_opacity, 0.5, 1e-9);
    EXPECT_NEAR(plan.duration(), 0.08 + flash::spring_settling(), 1e-12);
}

} // namespace
