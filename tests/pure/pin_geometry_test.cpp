#include "cards/pin_geometry.h"

#include <gtest/gtest.h>

#include <cmath>

using pin::Key;
using pin::KeyAction;
using pin::KeyPress;

namespace {

const platform::RectF VISIBLE { 0, 25, 1440, 875 };

double centre_x(const platform::RectF& r) { return r.x + r.w / 2; }
double centre_y(const platform::RectF& r) { return r.y + r.h / 2; }

} // namespace

TEST(PinGeometry, StartFitsSeventyPercentAndCentres)
{
    // 4000 × 3000 pixels at scale 2 on a 1440 × 875 visible frame.
    const pin::Start s = pin::start(4000, 3000, 2, VISIBLE);
    EXPECT_DOUBLE_EQ(s.record.width, 2000);
    EXPECT_DOUBLE_EQ(s.record.height, 1500);
    EXPECT_NEAR(s.record.zoom, std::min(1008.0 / 2000, 612.5 / 1500), 1e-12);
    EXPECT_NEAR(s.record.zoom, 0.408, 0.001);
    EXPECT_EQ(s.frame.w, 817);
    EXPECT_NEAR(s.frame.h, 612.5, 0.5);
    EXPECT_NEAR(centre_x(s.frame), centre_x(VISIBLE), 1);
    EXPECT_NEAR(centre_y(s.frame), centre_y(VISIBLE), 1);
    EXPECT_EQ(s.frame.x, std::round(s.frame.x)); // whole points

    // A small image starts at 100 %, never enlarged.
    const pin::Start small = pin::start(300, 200, 1, VISIBLE);
    EXPECT_EQ(small.record.zoom, 1);
    EXPECT_EQ(small.frame, (platform::RectF { 570, 363, 300, 200 })); // y = 25 + 337.5, halves away from zero
}

TEST(PinGeometry, ZoomBounds)
{
    // 30 × 20 points: the shorter side is under 40, so it cannot shrink at all.
    pin::Start tiny = pin::start(30, 20, 1, VISIBLE);
    EXPECT_EQ(tiny.record.min_zoom, 1);
    EXPECT_EQ(pin::clamp_zoom(tiny.record, 0.5), 1);
    // 200 × 100 points shrinks to 0.4 (40 points high), and nothing grows past 4.
    pin::Start wide = pin::start(400, 200, 2, VISIBLE);
    EXPECT_DOUBLE_EQ(wide.record.min_zoom, 0.4);
    EXPECT_DOUBLE_EQ(pin::clamp_zoom(wide.record, 0.1), 0.4);
    EXPECT_DOUBLE_EQ(pin::clamp_zoom(wide.record, 10), 4);
    EXPECT_DOUBLE_EQ(pin::clamp_zoom(wide.record, 2.5), 2.5);
    // NaN keeps the current zoom.
    EXPECT_DOUBLE_EQ(pin::clamp_zoom(wide.record, std::nan("")), wide.record.zoom);
}

TEST(PinGeometry, ZoomKeepsTheCentre)
{
    pin::Start s = pin::start(1234, 777, 1, VISIBLE);
    platform::RectF frame = s.frame;
    // Each step grows or shrinks the pin about the centre it had, up to the
    // rounding to whole points.
    for (double z : { 1.05, 1.3, 2.0, 3.99, 4.0, 0.77, 0.5, 1.0 }) {
        const double cx = centre_x(frame), cy = centre_y(frame);
        z = pin::clamp_zoom(s.record, z);
        frame = pin::zoomed_frame(s.record, frame, z);
        EXPECT_EQ(frame.w, std::round(1234 * z));
        EXPECT_EQ(frame.h, std::round(777 * z));
        EXPECT_NEAR(centre_x(frame), cx, 1.0) << z;
        EXPECT_NEAR(centre_y(frame), cy, 1.0) << z;
    }
}

TEST(PinGeometry, OversizeStripStartsInsideTheScreenAndCentred)
{
    // A scrolling capture 100 × 20,000 points: the floor of 40 points would
    // make it 40 × 8,000 points; it starts fitted and may go back to that.
    const pin::Start s = pin::start(100, 20000, 1, VISIBLE);
    EXPECT_LE(s.frame.h, 0.7 * VISIBLE.h + 0.5);
    EXPECT_LE(s.frame.w, 0.7 * VISIBLE.w + 0.5);
    EXPECT_NEAR(centre_y(s.frame), centre_y(VISIBLE), 1);
    EXPECT_NEAR(centre_x(s.frame), centre_x(VISIBLE), 1);
    EXPECT_DOUBLE_EQ(s.record.min_zoom, s.record.zoom);
    EXPECT_DOUBLE_EQ(pin::clamp_zoom(s.record, s.record.zoom / 2), s.record.zoom);
    // Growing it is still allowed.
    EXPECT_DOUBLE_EQ(pin::clamp_zoom(s.record, 0.4), 0.4);
}

TEST(PinGeometry, WheelFactors)
{
    EXPECT_DOUBLE_EQ(pin::wheel_zoom(1.0, 1, pin::Wheel::Notches), 1.05);  // one notch away from the user
    EXPECT_DOUBLE_EQ(pin::wheel_zoom(2.0, -1, pin::Wheel::Notches), 1.9);
    EXPECT_DOUBLE_EQ(pin::wheel_zoom(1.0, 25, pin::Wheel::Precise), 1.1); // 25 pixels × 0.004
}

TEST(PinGeometry, KeyTableInOrder)
{
    auto act = [](Key key, std::string chars, bool shift = false, bool command = false) {
        return pin::key_action(KeyPress { key, std::move(chars), shift, command });
    };
    EXPECT_EQ(act(Key::Escape, "").action, KeyAction::Close);
    EXPECT_EQ(act(Key::Other, "c", false, true).action, KeyAction::Copy);
    EXPECT_EQ(act(Key::Other, "s", false, true).action, KeyAction::Save);
    EXPECT_EQ(act(Key::Other, "w", false, true).action, KeyAction::Close);
    EXPECT_EQ(act(Key::Other, "e", false, true).action, KeyAction::Annotate);
    // Without the command modifier the letters do nothing.
    for (const char* letter : { "c", "s", "w", "e" })
        EXPECT_EQ(act(Key::Other, letter).action, KeyAction::None) << letter;
    // Arrows: 1 point, 10 with Shift; up is positive y (bottom-left origin).
    const auto left = act(Key::Left, "");
    EXPECT_EQ(left.action, KeyAction::Move);
    EXPECT_EQ(left.dx, -1);
    const auto up = act(Key::Up, "", true);
    EXPECT_EQ(up.dy, 10);
    EXPECT_EQ(act(Key::Down, "", true).dy, -10);
    EXPECT_EQ(act(Key::Right, "").dx, 1);
    // Zoom keys with or without modifiers.
    EXPECT_EQ(act(Key::Other, "+", true).action, KeyAction::ZoomIn);
    EXPECT_EQ(act(Key::Other, "=", false, true).action, KeyAction::ZoomIn);
    EXPECT_EQ(act(Key::Other, "-", false, true).action, KeyAction::ZoomOut);
    // Digits set the opacity, not with the command modifier.
    EXPECT_EQ(act(Key::Other, "0").opacity, 1.0);
    EXPECT_EQ(act(Key::Other, "5").opacity, 0.5);
    EXPECT_EQ(act(Key::Other, "5").action, KeyAction::Opacity);
    EXPECT_EQ(act(Key::Other, "5", false, true).action, KeyAction::None);
    // A key of more than one byte is never a one-character key.
    EXPECT_EQ(act(Key::Other, "ç", false, true).action, KeyAction::None);
}

TEST(PinGeometry, ANewPinStepsClearOfEarlierOnesAndWrapsInsideTheScreen)
{
    const platform::RectF visible { 0, 0, 1000, 800 };
    const platform::RectF first { 300, 300, 400, 200 };
    EXPECT_EQ(pin::clear_of(first, {}, visible), first);
    // Right and down (y falls in bottom-left points) by 24, past every taken origin.
    const std::vector<platform::RectF> one { first };
    EXPECT_EQ(pin::clear_of(first, one, visible), (platform::RectF { 324, 276, 400, 200 }));
    const std::vector<platform::RectF> two { first, { 324, 276, 400, 200 } };
    EXPECT_EQ(pin::clear_of(first, two, visible), (platform::RectF { 348, 252, 400, 200 }));
    // Another size at the same origin still counts: it would cover its corner.
    const std::vector<platform::RectF> other_size { { 300, 300, 50, 50 } };
    EXPECT_EQ(pin::clear_of(first, other_size, visible).x, 324);
    // At the edge it starts again from the top-left corner.
    const platform::RectF edge { 590, 10, 400, 200 };
    const std::vector<platform::RectF> at_edge { edge };
    EXPECT_EQ(pin::clear_of(edge, at_edge, visible), (platform::RectF { 0, 600, 400, 200 }));
}
