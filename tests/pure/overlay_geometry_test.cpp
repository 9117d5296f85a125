#include "capture/overlay_geometry.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace overlay;

namespace {

WindowEntry entry(double x, double y, double w, double h)
{
    WindowEntry e;
    e.layer = 0;
    e.owner_pid = 500;
    e.alpha = 1;
    e.bounds = RectF { x, y, w, h };
    e.number = 77;
    return e;
}

// Whether the point lies inside any of the rectangles.
bool covered(const std::vector<RectF>& rects, double x, double y)
{
    for (const auto& r : rects)
        if (r.contains(x, y))
            return true;
    return false;
}

} // namespace

TEST(WindowFilter, SizeLimitIsFortyPointsOnEachSide)
{
    EXPECT_TRUE(window_selectable(entry(0, 0, 40, 40), 1));
    EXPECT_FALSE(window_selectable(entry(0, 0, 39.9, 200), 1));
    EXPECT_FALSE(window_selectable(entry(0, 0, 200, 39.9), 1));
}

TEST(WindowFilter, RejectsOwnProcessOtherLayersTransparentAndIncompleteEntries)
{
    auto own = entry(0, 0, 100, 100);
    own.owner_pid = 42;
    EXPECT_FALSE(window_selectable(own, 42));
    EXPECT_TRUE(window_selectable(own, 43));

    auto layer = entry(0, 0, 100, 100);
    layer.layer = 25;
    EXPECT_FALSE(window_selectable(layer, 1));

    auto clear = entry(0, 0, 100, 100);
    clear.alpha = 0;
    EXPECT_FALSE(window_selectable(clear, 1));
    clear.alpha.reset(); // no alpha at all counts as visible
    EXPECT_TRUE(window_selectable(clear, 1));

    for (auto field : { &WindowEntry::layer, &WindowEntry::owner_pid, &WindowEntry::number }) {
        auto missing = entry(0, 0, 100, 100);
        (missing.*field).reset();
        EXPECT_FALSE(window_selectable(missing, 1));
    }
    auto no_bounds = entry(0, 0, 100, 100);
    no_bounds.bounds.reset();
    EXPECT_FALSE(window_selectable(no_bounds, 1));
}

TEST(WindowFilter, KeepsListOrderAndFlipsToBottomLeft)
{
    auto a = entry(10, 20, 300, 200);
    a.number = 5;
    auto tiny = entry(0, 0, 10, 10);
    auto b = entry(-50, 900, 400, 180);
    b.number = 9;
    const auto list = filter_windows({ a, tiny, b }, 1, 1080);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], (WindowInfo { 10, 1080 - 20 - 200, 300, 200, 5 }));
    EXPECT_EQ(list[1], (WindowInfo { -50, 0, 400, 180, 9 }));
    // Front to back: the first window containing a point wins, half-open.
    EXPECT_EQ(window_at(list, { 10, 860 })->number, 5u);
    EXPECT_FALSE(window_at(list, { 310, 860 }).has_value());
    EXPECT_EQ(window_at(list, { 0, 0 })->number, 9u);
    EXPECT_FALSE(window_at(list, { 0, 180 }).has_value());
}

TEST(Coordinates, ViewGlobalAndLocalFlips)
{
    const RectF frame { 1920, -300, 1280, 1024 }; // a second screen, lower than the primary
    const RectF view { 100, 50, 200, 150 };
    EXPECT_EQ(view_to_global(view, frame), (RectF { 2020, -250, 200, 150 }));
    EXPECT_EQ(global_to_view(view_to_global(view, frame), frame), view);
    // Local: top-left origin within the display.
    EXPECT_EQ(view_to_local(view, 1024), (RectF { 100, 1024 - 50 - 150, 200, 150 }));
    EXPECT_EQ(flip(flip(view, 1024), 1024), view);
    EXPECT_EQ(flip(PointF { 3, 4 }, 100), (PointF { 3, 96 }));
}

TEST(FrozenCrop, AreaAtScaleOneAndAHalfRoundsHalvesAwayFromZero)
{
    // 1.5 × 3 = 4.5 → 5, 1.5 × 5 = 7.5 → 8, 1.5 × 1 = 1.5 → 2, 1.5 × 7 = 10.5 → 11.
    EXPECT_EQ(area_crop({ 3, 5, 1, 7 }, 1.5), (PixelRect { 5, 8, 2, 11 }));
    EXPECT_EQ(area_crop({ 100, 100, 200, 150 }, 1.5), (PixelRect { 150, 150, 300, 225 }));
    EXPECT_EQ(round_half_away(-2.5), -3);
}

TEST(FrozenCrop, WindowClippedToItsScreenAtScaleOneAndAHalf)
{
    const RectF frame { 0, 0, 1000, 800 };
    // Hangs 5 points off the left edge and 3 off the top.
    const WindowInfo w { -5, 603, 101, 200, 1 };
    const auto crop = window_crop(w, frame, 1.5);
    ASSERT_TRUE(crop.has_value());
    EXPECT_EQ(crop->clipped, (RectF { 0, 603, 96, 197 }));
    // (0, 1.5 × (800 − 800) = 0, 1.5 × 96 = 144, 1.5 × 197 = 295.5 → 296)
    EXPECT_EQ(crop->pixels, (PixelRect { 0, 0, 144, 296 }));

    const WindowInfo inside { 10.5, 20.5, 41, 41, 2 };
    const auto c2 = window_crop(inside, frame, 1.5);
    ASSERT_TRUE(c2.has_value());
    // x: 15.75 → 16; y: 1.5 × (800 − 61.5) = 1107.75 → 1108; w: 61.5 → 62; h: 61.5 → 62.
    EXPECT_EQ(c2->pixels, (PixelRect { 16, 1108, 62, 62 }));
}

TEST(FrozenCrop, CentreOffTheScreenOrNothingLeftGivesNone)
{
    const RectF frame { 0, 0, 1000, 800 };
    EXPECT_FALSE(window_crop({ 900, 100, 300, 100, 1 }, frame, 1).has_value()); // centre at x = 1050
    EXPECT_FALSE(window_crop({ 0, 800, 100, 100, 1 }, frame, 1).has_value());   // centre above
    EXPECT_TRUE(clamp_crop({ -10, -10, 20, 20 }, 100, 100) == (PixelRect { 0, 0, 10, 10 }));
    EXPECT_FALSE(clamp_crop({ 100, 0, 20, 20 }, 100, 100).has_value());
    EXPECT_FALSE(clamp_crop({ 10, 10, 0, 5 }, 100, 100).has_value());
}

TEST(FrozenCrop, RecorderRegionIsClippedAndLocal)
{
    const RectF frame { 1920, 0, 1280, 1024 };
    EXPECT_EQ(clip_to_local({ 1900, 924, 200, 200 }, frame), (RectF { 0, 0, 180, 100 }));
    EXPECT_FALSE(clip_to_local({ 0, 0, 100, 100 }, frame).has_value());
}

TEST(Gestures, ShiftMakesSquaresKeepingEachSign)
{
    // Down and to the left from (100, 100) to (60, 90): the square (60, 60, 40, 40).
    const PointF p = constrain_square({ 100, 100 }, { 60, 90 });
    EXPECT_EQ(span({ 100, 100 }, p), (RectF { 60, 60, 40, 40 }));
    // A zero difference counts as positive.
    EXPECT_EQ(constrain_square({ 10, 10 }, { 10, 4 }), (PointF { 16, 4 }));
    EXPECT_EQ(constrain_square({ 10, 10 }, { 30, 10 }), (PointF { 30, 30 }));
}

TEST(Gestures, ADragHoldsThePixelsUnderPressAndReleaseInEitherDirection)
{
    // A 1920 × 1080 screen; view points of the pixels at top-left (x, y) are (x, 1080 − y).
    const auto at = [](double x, double y) { return PointF { x, 1080 - y }; };
    const auto drag = [](PointF a, PointF b, double scale = 1) { return drag_selection(a, b, scale, 1920, 1080); };
    EXPECT_EQ(drag(at(0, 0), at(1919, 1079)), (RectF { 0, 0, 1920, 1080 }));
    EXPECT_EQ(drag(at(1919, 1079), at(0, 0)), (RectF { 0, 0, 1920, 1080 }));
    // (1800, 950) to (1919, 1079): 120 × 130 pixels, as local (1800, 950, 120, 130).
    const RectF corner = drag(at(1800, 950), at(1919, 1079));
    EXPECT_EQ(corner, (RectF { 1800, 0, 120, 130 }));
    EXPECT_EQ(drag(at(1919, 1079), at(1800, 950)), corner);
    EXPECT_EQ(view_to_local(corner, 1080), (RectF { 1800, 950, 120, 130 }));
    EXPECT_EQ(size_label(corner, 1920, 1080).text, "120 × 130");
    // At two pixels a point, the pixel under the pointer is half a point.
    EXPECT_EQ(drag({ 10, 20 }, { 14.5, 16 }, 2), (RectF { 10, 15.5, 5, 4.5 }));
    // A pointer beyond the screen (grabbed onto a neighbour) stops at its edge.
    EXPECT_EQ(drag({ 1900, 500 }, { 2500, -40 }), (RectF { 1900, 0, 20, 500 }));
}

TEST(Gestures, AShiftSquareStaysASquareAtTheScreensEdge)
{
    const auto square = [](PointF a, PointF b, double scale = 1) { return square_selection(a, b, scale, 1920, 1080); };
    // Press at top-left (1000, 900), Shift, drag to (1400, 1079): 180 rows are
    // left below the press, so the square is 180 × 180, and that is what the
    // label says and the crop gives.
    const RectF bottom = square({ 1000, 180 }, { 1400, 1 });
    EXPECT_EQ(bottom, (RectF { 1000, 0, 180, 180 }));
    EXPECT_EQ(size_label(bottom, 1920, 1080).text, "180 × 180");
    EXPECT_EQ(area_crop(view_to_local(bottom, 1080), 1), (PixelRect { 1000, 900, 180, 180 }));
    // Towards the left and top edges the square ends on the press's pixel.
    EXPECT_EQ(square({ 30, 1000 }, { -200, 700 }), (RectF { 0, 969, 31, 31 }));
    EXPECT_EQ(square({ 500, 1050 }, { 520, 1300 }), (RectF { 500, 1049, 31, 31 }));
    // Away from the edges: down and to the left from (100, 100) to (60, 90),
    // both end pixels included.
    EXPECT_EQ(square({ 100, 100 }, { 60, 90 }), (RectF { 60, 59, 41, 41 }));
    // A zero difference counts as positive; at scale 2 a pixel is half a point.
    EXPECT_EQ(square({ 10, 10 }, { 10, 4 }, 2), (RectF { 10, 3.5, 6.5, 6.5 }));
}

TEST(Gestures, ClickVersusDrag)
{
    const auto drag = [](PointF a, PointF b, double scale = 1) { return drag_selection(a, b, scale, 1920, 1080); };
    EXPECT_FALSE(is_area_selection(drag({ 10, 10 }, { 12, 60 }), 1)); // 2 × 50 is a click
    EXPECT_FALSE(is_area_selection(drag({ 10, 10 }, { 10, 10 }), 1));
    EXPECT_TRUE(is_area_selection(drag({ 10, 10 }, { 7, 7 }), 1)); // 3 × 3, dragged backwards
    EXPECT_FALSE(is_area_selection(drag({ 10, 10 }, { 12.9, 40 }), 1));
    EXPECT_FALSE(is_area_selection(drag({ 10, 10 }, { 12.5, 40 }, 2), 2));
    EXPECT_TRUE(is_area_selection(drag({ 10, 10 }, { 13, 13 }, 2), 2));
}

TEST(SizeLabel, PlacementAndFlips)
{
    // A 1 × 1 selection at the bottom-left corner: clamped to x 4, below has no room → above at 9.
    auto l = size_label({ 0, 0, 1, 1 }, 1920, 1080);
    EXPECT_EQ(l.text, "1 × 1");
    EXPECT_DOUBLE_EQ(l.frame.w, 5 * 7.4 + 16);
    EXPECT_DOUBLE_EQ(l.frame.x, 4);
    EXPECT_DOUBLE_EQ(l.frame.y, 9);
    EXPECT_DOUBLE_EQ(l.frame.h, 22);

    // Room below the selection (bottom-left origin: smaller y): 28 under it, centred.
    l = size_label({ 100, 400, 200.5, 149.5 }, 1920, 1080);
    EXPECT_EQ(l.text, "201 × 150");
    const double lw = 9 * 7.4 + 16;
    EXPECT_DOUBLE_EQ(l.frame.x, 200.25 - lw / 2);
    EXPECT_DOUBLE_EQ(l.frame.y, 372);

    // Right edge: clamped to W − lw − 4.
    l = size_label({ 1900, 400, 20, 20 }, 1920, 1080);
    EXPECT_DOUBLE_EQ(l.frame.x, 1920 - (7 * 7.4 + 16) - 4);

    // A full-height selection: neither below nor above fits → inside at y + 8.
    l = size_label({ 0, 0, 1920, 1080 }, 1920, 1080);
    EXPECT_DOUBLE_EQ(l.frame.y, 8);
}

TEST(Magnifier, FlipsNearTheRightAndBottomEdges)
{
    EXPECT_EQ(magnifier_frame({ 500, 500 }, 1920), (RectF { 524, 348, 128, 128 }));
    // px + 24 + 128 > W: to the left of the pointer.
    EXPECT_EQ(magnifier_frame({ 1800, 500 }, 1920).x, 1800 - 152);
    EXPECT_EQ(magnifier_frame({ 1768, 500 }, 1920).x, 1768 + 24); // exactly fits
    // Near the bottom, where the magnifier or the label under it would leave
    // the screen: above the pointer.
    EXPECT_EQ(magnifier_frame({ 500, 151 }, 1920).y, 151 + 24);
    EXPECT_EQ(magnifier_frame({ 500, 160 }, 1920).y, 160 + 24);
    EXPECT_EQ(magnifier_frame({ 500, 174 }, 1920).y, 22); // the label exactly fits below

    const auto c = coord_label({ 10.5, 100.4 }, { 34.5, 124.4, 128, 128 }, 1080);
    EXPECT_EQ(c.text, "11, 980"); // y in top-left terms: 1080 − 100.4 = 979.6 → 980
    EXPECT_DOUBLE_EQ(c.frame.w, 7 * 6.4 + 12);
    EXPECT_DOUBLE_EQ(c.frame.x, 34.5 + 64 - c.frame.w / 2);
    EXPECT_DOUBLE_EQ(c.frame.y, 124.4 - 22);
}

// On a 3840 × 2160 screen the magnifier and its coordinate label stay on the
// screen wherever the pointer is, corners and edges included.
TEST(Magnifier, ItAndItsLabelStayOnA4kScreen)
{
    const double W = 3840, H = 2160;
    for (double px : { 0.0, 1.0, 150.0, 1920.0, 3000.0, 3700.0, 3839.0 })
        for (double py : { 0.0, 1.0, 151.0, 160.0, 173.0, 174.0, 1080.0, 2000.0, 2159.0 }) {
            const RectF m = magnifier_frame({ px, py }, W);
            const auto label = coord_label({ px, py }, m, H);
            for (const RectF& r : { m, label.frame }) {
                EXPECT_GE(r.x, 0) << px << "," << py;
                EXPECT_GE(r.y, 0) << px << "," << py;
                EXPECT_LE(r.x + r.w, W) << px << "," << py;
                EXPECT_LE(r.y + r.h, H) << px << "," << py;
            }
        }
}

TEST(Scene, AreaModeWithSelectionAndPointer)
{
    SceneInput in;
    in.width = 1920;
    in.height = 1080;
    in.scale = 2;
    in.has_frozen = true;
    in.pointer = PointF { 300.7, 250.2 };
    const Scene idle = scene(in);
    ASSERT_EQ(idle.crosshair.size(), 2u);
    EXPECT_EQ(idle.crosshair[0], (Line { { 0, 250.5 }, { 1920, 250.5 } }));
    EXPECT_EQ(idle.crosshair[1], (Line { { 300.5, 0 }, { 300.5, 1080 } }));
    ASSERT_TRUE(idle.magnifier.has_value());
    EXPECT_EQ(idle.magnifier_source, (RectF { 292.7, 242.2, 16, 16 }));
    EXPECT_EQ(idle.centre_box, (RectF { 62, 62, 4, 4 })); // one pixel at scale 2
    EXPECT_FALSE(idle.highlight.has_value());
    EXPECT_FALSE(idle.size_label.has_value());

    in.selection = RectF { 100, 100, 200, 150 };
    const Scene sel = scene(in);
    EXPECT_TRUE(sel.crosshair.empty()); // gone as soon as a selection exists
    EXPECT_EQ(sel.outline, (RectF { 99.5, 99.5, 201, 151 }));
    EXPECT_DOUBLE_EQ(sel.dim_alpha, 0.32);
    EXPECT_TRUE(sel.size_label.has_value());

    in.record = true;
    EXPECT_FALSE(scene(in).magnifier.has_value());
    in.record = false;
    in.has_frozen = false; // freeze_screen off: no magnifier ever
    EXPECT_FALSE(scene(in).magnifier.has_value());
    EXPECT_FALSE(scene(in).coord_label.has_value());
}

TEST(Scene, WindowModeIsBarelyDimmedWithARoundedBlueOutline)
{
    SceneInput in;
    in.width = 1920;
    in.height = 1080;
    in.window_mode = true;
    in.has_frozen = true;
    in.pointer = PointF { 50, 50 };
    in.selection = RectF { 0, 0, 10, 10 }; // ignored in window mode
    in.hovered_view = RectF { 10, 10, 300, 16 };
    const Scene s = scene(in);
    EXPECT_DOUBLE_EQ(s.dim_alpha, 0.01);
    EXPECT_TRUE(s.crosshair.empty());
    EXPECT_FALSE(s.magnifier.has_value());
    EXPECT_EQ(s.highlight, in.hovered_view);
    EXPECT_EQ(s.outline, (RectF { 12.5, 12.5, 295, 11 }));
    EXPECT_DOUBLE_EQ(s.outline_radius, 8 - 2.5); // min(150, 12, 8) − 2.5
    EXPECT_DOUBLE_EQ(s.outline_width, 5);
    EXPECT_TRUE(s.outline_blue);
    in.hovered_view = RectF { 0, 0, 4, 4 };
    EXPECT_DOUBLE_EQ(scene(in).outline_radius, 0);
}

TEST(Damage, PointerMoveRepaintsOnlyWhatChanged)
{
    SceneInput in;
    in.width = 3840;
    in.height = 2160;
    in.scale = 1;
    in.has_frozen = true;
    in.pointer = PointF { 1000, 1000 };
    const Scene a = scene(in);
    in.pointer = PointF { 1003, 1001 };
    const Scene b = scene(in);
    const auto rects = damage(a, b);
    double area = 0;
    for (const auto& r : rects)
        area += r.w * r.h;
    // Two crosshairs, two magnifiers and two labels: far less than the screen.
    EXPECT_LT(area, 0.05 * 3840 * 2160);
    // Both the old and the new crosshair rows and the new magnifier are covered.
    EXPECT_TRUE(covered(rects, 3000, 1000.5));
    EXPECT_TRUE(covered(rects, 3000, 1001.5));
    EXPECT_TRUE(covered(rects, 1003 + 24 + 64, 1001 - 152 + 64));
    EXPECT_FALSE(covered(rects, 3000, 200));
    EXPECT_TRUE(damage(a, a).empty());
}

TEST(Damage, GrowingSelectionRepaintsTheDifferenceAndBothOutlines)
{
    SceneInput in;
    in.width = 3840;
    in.height = 2160;
    in.pointer = PointF { 2000, 1500 };
    in.selection = RectF { 100, 100, 1900, 1400 };
    const Scene a = scene(in);
    in.pointer = PointF { 2004, 1502 };
    in.selection = RectF { 100, 100, 1904, 1402 };
    const Scene b = scene(in);
    const auto rects = damage(a, b);
    // The inside of both selections stays as it was.
    EXPECT_FALSE(covered(rects, 1000, 800));
    // The new strip of the hole, both right edges and the moved label are covered.
    EXPECT_TRUE(covered(rects, 2002, 800));
    EXPECT_TRUE(covered(rects, 2000, 800));
    EXPECT_TRUE(covered(rects, 2004, 800));
    EXPECT_TRUE(covered(rects, b.size_label->frame.x + 1, b.size_label->frame.y + 1));
    // A mode change repaints everything.
    in.window_mode = true;
    const auto all = damage(b, scene(in));
    EXPECT_TRUE(covered(all, 3000, 2000));
}

TEST(Subtract, PiecesCoverExactlyTheDifference)
{
    const RectF a { 0, 0, 10, 10 };
    const RectF b { 3, 4, 4, 20 };
    const auto parts = subtract(a, b);
    for (double x = 0.5; x < 10; x += 1)
        for (double y = 0.5; y < 10; y += 1)
            EXPECT_EQ(covered(parts, x, y), !b.contains(x, y)) << x << "," << y;
    EXPECT_EQ(subtract(a, { 20, 20, 1, 1 }).size(), 1u);
    EXPECT_TRUE(subtract(a, { -1, -1, 12, 12 }).empty());
}

TEST(Choose, TableOfChoices)
{
    using modebar::Choice;
    auto e = choose_effect(Choice::Fullscreen, Purpose::Text);
    EXPECT_TRUE(e.finish_fullscreen);
    EXPECT_EQ(e.mode, Mode::Area);
    EXPECT_EQ(e.purpose, Purpose::Screenshot);

    e = choose_effect(Choice::Window, Purpose::Scroll);
    EXPECT_EQ(e.mode, Mode::Window);
    EXPECT_EQ(e.purpose, Purpose::Screenshot);

    EXPECT_EQ(choose_effect(Choice::Scrolling, Purpose::Screenshot).purpose, Purpose::Scroll);
    EXPECT_EQ(choose_effect(Choice::Text, Purpose::Screenshot).purpose, Purpose::Text);
    EXPECT_TRUE(choose_effect(Choice::Timer, Purpose::Screenshot).cancel_and_timer);
    EXPECT_FALSE(choose_effect(Choice::Area, Purpose::Text).cancel_and_timer);

    // Under the record purpose the whole screen and a window are recorded.
    e = choose_effect(Choice::Fullscreen, Purpose::Record);
    EXPECT_TRUE(e.finish_fullscreen);
    EXPECT_EQ(e.purpose, Purpose::Record);
    EXPECT_EQ(e.format, std::nullopt);
    e = choose_effect(Choice::Window, Purpose::Record);
    EXPECT_EQ(e.mode, Mode::Window);
    EXPECT_EQ(e.purpose, Purpose::Record);
    EXPECT_EQ(choose_effect(Choice::Window, Purpose::Screenshot).purpose, Purpose::Screenshot);

    // Record keeps the format of a session opened for recording.
    EXPECT_EQ(choose_effect(Choice::Record, Purpose::Screenshot).format, actions::RecordingFormat::Video);
    EXPECT_EQ(choose_effect(Choice::Record, Purpose::Record).format, std::nullopt);
    EXPECT_EQ(choose_effect(Choice::Record, Purpose::Screenshot).purpose, Purpose::Record);
}

TEST(Choose, BarChoiceAndSpaceToggle)
{
    using modebar::Choice;
    EXPECT_EQ(bar_choice(Mode::Window, Purpose::Screenshot), Choice::Window);
    EXPECT_EQ(bar_choice(Mode::Area, Purpose::Screenshot), Choice::Area);
    EXPECT_EQ(bar_choice(Mode::Window, Purpose::Text), Choice::Text);
    EXPECT_EQ(bar_choice(Mode::Area, Purpose::Record), Choice::Record);
    EXPECT_EQ(bar_choice(Mode::Area, Purpose::Scroll), Choice::Scrolling);
    EXPECT_EQ(toggled_mode(Mode::Area, Purpose::Screenshot), Mode::Window);
    EXPECT_EQ(toggled_mode(Mode::Window, Purpose::Text), Mode::Area);
    EXPECT_EQ(toggled_mode(Mode::Area, Purpose::Scroll), Mode::Area);
}

TEST(Keys, PhysicalKeysByXKeycode)
{
    using modebar::Choice;
    const std::pair<std::uint32_t, Choice> digits[] = { { 10, Choice::Area }, { 11, Choice::Fullscreen }, { 12, Choice::Window },
        { 13, Choice::Scrolling }, { 14, Choice::Timer }, { 15, Choice::Text }, { 16, Choice::Record } };
    for (const auto& [code, choice] : digits) {
        EXPECT_EQ(key_effect(code).action, KeyAction::Choose) << code;
        EXPECT_EQ(key_effect(code).choice, choice) << code;
    }
    EXPECT_EQ(key_effect(36).action, KeyAction::FinishScreen);
    EXPECT_EQ(key_effect(104).action, KeyAction::FinishScreen);
    EXPECT_EQ(key_effect(65).action, KeyAction::ToggleMode);
    EXPECT_EQ(key_effect(9).action, KeyAction::Cancel);
    EXPECT_EQ(key_effect(17).action, KeyAction::None); // 8
    EXPECT_EQ(key_effect(38).action, KeyAction::None); // a
}

TEST(ModeBar, LayoutFromFittingWidths)
{
    using modebar::Choice;
    std::array<double, modebar::COUNT> widths { 20, 40.4, 30, 70, 60, 25, 30 };
    const auto l = modebar::layout(widths);
    ASSERT_EQ(l.buttons.size(), 7u);
    EXPECT_DOUBLE_EQ(l.buttons[0].frame.w, 58); // 20 + 28 < 58
    EXPECT_DOUBLE_EQ(l.buttons[1].frame.w, 68); // 68.4 → 68
    EXPECT_DOUBLE_EQ(l.buttons[0].frame.x, 8);
    EXPECT_DOUBLE_EQ(l.buttons[1].frame.x, 66);
    EXPECT_EQ(l.buttons[0].background, (RectF { 10, 8, 54, 50 }));
    EXPECT_EQ(l.buttons[0].label, (RectF { 8, 14, 58, 16 }));
    EXPECT_EQ(l.buttons[0].icon, (RectF { 8, 32, 58, 22 }));
    // Separators between Temporizador and Texto, and between Texto and Grabar.
    ASSERT_EQ(l.separators.size(), 2u);
    const auto& timer = l.buttons[4].frame;
    const auto& text = l.buttons[5].frame;
    EXPECT_DOUBLE_EQ(l.separators[0].x, timer.x + timer.w + 6);
    EXPECT_DOUBLE_EQ(text.x, timer.x + timer.w + 13);
    EXPECT_DOUBLE_EQ(l.separators[1].x, text.x + text.w + 6);
    EXPECT_DOUBLE_EQ(l.width, l.buttons[6].frame.x + l.buttons[6].frame.w + 8);
    EXPECT_DOUBLE_EQ(l.height, 66);
    EXPECT_EQ(l.buttons[6].choice, Choice::Record);
}

TEST(ModeBar, HitTestingAndPressRelease)
{
    using modebar::Choice;
    const auto l = modebar::layout({ 20, 20, 20, 20, 20, 20, 20 });
    EXPECT_EQ(modebar::button_at(l, { 8, 8 }), 0);
    EXPECT_EQ(modebar::button_at(l, { 66, 30 }), 1); // half-open: the edge belongs to the next
    EXPECT_FALSE(modebar::button_at(l, { 30, 58 }).has_value());
    EXPECT_FALSE(modebar::button_at(l, { 4, 30 }).has_value());
    const double sep_x = l.separators[0].x;
    EXPECT_FALSE(modebar::button_at(l, { sep_x, 30 }).has_value());
    // Press Ventana, move to Área, release: nothing.
    EXPECT_FALSE(modebar::released_choice(l, 2, { 20, 30 }).has_value());
    EXPECT_EQ(modebar::released_choice(l, 2, { 8 + 2 * 58 + 5, 30 }), Choice::Window);
    EXPECT_FALSE(modebar::released_choice(l, std::nullopt, { 20, 30 }).has_value());
}

TEST(ModeBar, ShownCentredTwentyEightPointsUp)
{
    EXPECT_EQ(modebar::origin_on({ 0, 40, 1920, 1040 }, 601), (PointF { 660, 68 })); // 659.5 → 660
    EXPECT_EQ(modebar::origin_on({ 1920, 0, 1280, 1024 }, 600), (PointF { 2260, 28 }));
    EXPECT_STREQ(modebar::label(modebar::Choice::Scrolling), "Desplazamiento");
}

TEST(Dim, EveryChannelScaledAlphaKept)
{
    // Every channel value, in each of the three colour positions, with
    // alphas of every kind; three more than a multiple of four, so that the
    // vector loop and the loop for the rest both run.
    std::vector<std::uint32_t> src;
    for (std::uint32_t v = 0; v < 259; ++v)
        src.push_back(((v * 37) & 0xFF) << 24 | (v % 256) << 16 | ((255 - v % 256) << 8) | v % 256);
    std::vector<std::uint32_t> dst(src.size());
    dim_pixels(src.data(), dst.data(), src.size());
    for (std::uint32_t i = 0; i < 259; ++i) {
        const std::uint32_t v = i % 256;
        const std::uint32_t p = dst[i];
        EXPECT_EQ(p >> 24, src[i] >> 24) << i;
        EXPECT_EQ((p >> 16) & 0xFF, (v * 174 + 128) / 256) << v;
        EXPECT_EQ((p >> 8) & 0xFF, ((255 - v) * 174 + 128) / 256) << v;
        EXPECT_EQ(p & 0xFF, (v * 174 + 128) / 256) << v;
        // Black at alpha 0.32 over the pixel, within one step.
        EXPECT_NEAR(static_cast<double>(p & 0xFF), v * 0.68, 0.6);
    }
}
