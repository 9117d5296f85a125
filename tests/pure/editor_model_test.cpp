#include "editor/model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

using namespace editor::model;

namespace {

Annotation two_point(int kind, Point a, Point b, std::uint64_t id = 1, int size = 1)
{
    return Annotation { TwoPoint { a, b }, id, PALETTE[0].color, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(kind) };
}

Annotation stroke(std::vector<Point> points, int kind = 8, std::uint64_t id = 1)
{
    return Annotation { Stroke { StrokePoints(std::move(points)) }, id, PALETTE[0].color, 1, static_cast<std::uint8_t>(kind) };
}

Annotation counter(Point c, std::uint32_t n, std::uint64_t id)
{
    return Annotation { Counter { c, n }, id, PALETTE[0].color, 1, 7 };
}

Doc doc_of(std::vector<Annotation> list)
{
    Doc d;
    d.annotations = std::move(list);
    return d;
}

} // namespace

TEST(EditorModel, ToolLettersAreExactlyTheFourteenKeys)
{
    std::string letters;
    for (char32_t c = U'a'; c <= U'z'; ++c)
        if (const auto tool = tool_for_letter(c)) {
            letters.push_back(static_cast<char>(c));
            EXPECT_EQ(tool_letter(*tool), static_cast<char>(c));
        }
    EXPECT_EQ(letters, "abcfhlnoprstvx");
    EXPECT_EQ(tool_for_letter(U'v'), Tool::Select);
    EXPECT_EQ(tool_for_letter(U'x'), Tool::Pixelate);
    EXPECT_FALSE(tool_for_letter(U'V')); // callers lower-case first
    EXPECT_EQ(tool_tooltip(Tool::FilledRectangle), "Rectángulo relleno (F)");
    EXPECT_EQ(tool_tooltip(Tool::Crop), "Recortar (C)");
    EXPECT_EQ(tool_from_code(-3), Tool::Select);
    EXPECT_EQ(tool_from_code(40), Tool::Crop);
}

TEST(EditorModel, PaletteMatchesOnlyExactComponents)
{
    EXPECT_EQ(PALETTE[4].name, "Azul");
    EXPECT_EQ(palette_index(PALETTE[4].color), 4);
    EXPECT_EQ(palette_index(Color { 1, 1, 1 }), 7);
    Color near = PALETTE[4].color;
    near.b -= 1e-9;
    EXPECT_FALSE(palette_index(near));
}

TEST(EditorModel, BoundsByGeometry)
{
    const double s = 2;
    // Counter: radius 15 × 2 plus the 12-pixel margin.
    EXPECT_EQ(counter({ 100, 100 }, 1, 1).bounds(s), (Rect { 58, 58, 84, 84 }));
    Annotation text { Text { "hola", { 10, 20 }, { 50, 30 }, 200 }, 2, {}, 1, 6 };
    EXPECT_EQ(text.bounds(s), (Rect { -2, 8, 74, 54 }));
    // Stroke: box of the points grown by 12 + 10 / 2; without points, the margin alone.
    EXPECT_EQ(stroke({ { 10, 10 }, { 30, 5 } }).bounds(s), (Rect { -7, -12, 54, 39 }));
    EXPECT_EQ(stroke({}).bounds(s), (Rect { -17, -17, 34, 34 }));
    // The highlighter paints four times as wide.
    EXPECT_EQ(stroke({ { 0, 0 } }, 9).bounds(1), (Rect { -16, -16, 32, 32 }));
    // Rectangle, unnormalised: grown by 12 + 10.
    EXPECT_EQ(two_point(2, { 50, 40 }, { 10, 20 }).bounds(s), (Rect { -12, -2, 84, 64 }));
    EXPECT_EQ(two_point(10, { 50, 40 }, { 10, 20 }).bounds(s), (Rect { 10, 20, 40, 20 }));
    const Rect spot = two_point(12, { 1, 1 }, { 2, 2 }).bounds(s);
    EXPECT_TRUE(spot.contains({ -9e6, -9e6 }) && spot.contains({ 9e6, 9e6 }));
    // Arrow: grown by the margin and the head's half-width; long arrow: (10 × 4.6 + 10) × 0.62.
    const Rect arrow = two_point(1, { 0, 0 }, { 200, 0 }).bounds(s);
    EXPECT_NEAR(arrow.x, -12 - 56 * 0.62, 1e-9);
    EXPECT_NEAR(arrow.w, 200 + 2 * (12 + 56 * 0.62), 1e-9);
    // A tiny arrow draws nothing but still has its padded bounds.
    EXPECT_TRUE(arrow_polygon({ 0, 0 }, { 0.3, 0.3 }, 10).empty());
    EXPECT_GT(two_point(1, { 0, 0 }, { 0.3, 0.3 }).bounds(s).w, 24);
}

TEST(EditorModel, HandlesAndOppositeCorners)
{
    EXPECT_EQ(two_point(1, { 5, 6 }, { 1, 2 }).handles(), (std::vector<Point> { { 5, 6 }, { 1, 2 } }));
    const auto h = two_point(4, { 5, 6 }, { 1, 2 }).handles();
    EXPECT_EQ(h, (std::vector<Point> { { 1, 2 }, { 5, 2 }, { 5, 6 }, { 1, 6 } }));
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(h[i].x, h[i ^ 2].x);
        EXPECT_NE(h[i].y, h[i ^ 2].y);
    }
    EXPECT_TRUE(stroke({ { 1, 1 } }).handles().empty());
}

TEST(EditorModel, ArrowOutline)
{
    const auto poly = arrow_polygon({ 0, 0 }, { 100, 0 }, 10);
    ASSERT_EQ(poly.size(), 7u);
    const double head = std::min(10 * 4.6 + 10, 55.0); // 55: the arrow is short
    const double barb = head * 0.62;
    EXPECT_EQ(poly[3], (Point { 100, 0 }));
    EXPECT_NEAR(poly[0].y, 2.8, 1e-12); // tail half-width 0.28 w
    EXPECT_NEAR(poly[1].x, 100 - head * 0.78, 1e-12);
    EXPECT_NEAR(poly[1].y, std::min(8.0, barb * 0.55), 1e-12);
    EXPECT_NEAR(poly[2].x, 100 - head, 1e-12);
    EXPECT_NEAR(poly[2].y, barb, 1e-12);
    for (int i = 0; i < 3; ++i) { // mirror image about the shaft
        EXPECT_NEAR(poly[i].x, poly[6 - i].x, 1e-12);
        EXPECT_NEAR(poly[i].y, -poly[6 - i].y, 1e-12);
    }
}

TEST(EditorModel, NextCounterReusesOnlyFromTheTop)
{
    Doc d = doc_of({ counter({}, 1, 1), counter({}, 2, 2), two_point(2, {}, { 1, 1 }, 3), counter({}, 5, 4) });
    EXPECT_EQ(d.next_counter(), 6u);
    d.remove(4);
    EXPECT_EQ(d.next_counter(), 3u);
    EXPECT_EQ(doc_of({}).next_counter(), 1u);
}

TEST(EditorModel, HitTakesTheTopMostAndFollowsEachShape)
{
    // Two overlapping filled rectangles: the later one wins; inside counts.
    Doc d = doc_of({ two_point(3, { 0, 0 }, { 100, 100 }, 1), two_point(3, { 50, 50 }, { 150, 150 }, 2) });
    EXPECT_EQ(d.hit({ 75, 75 }, 5, 1), 2u);
    EXPECT_EQ(d.hit({ 25, 25 }, 5, 1), 1u);
    EXPECT_EQ(d.hit({ 104, 0 }, 5, 1), 1u);
    EXPECT_FALSE(d.hit({ 106, 0 }, 5, 1));

    // Hollow rectangle, width 5 at scale 1: a band of d = 5 + 2.5 on both sides of the outline.
    Doc rect = doc_of({ two_point(2, { 0, 0 }, { 100, 100 }, 7) });
    EXPECT_EQ(rect.hit({ -7.5, 50 }, 5, 1), 7u);
    EXPECT_EQ(rect.hit({ 7.4, 50 }, 5, 1), 7u);
    EXPECT_FALSE(rect.hit({ 7.5, 50 }, 5, 1)); // the inner edge counts as inside
    EXPECT_FALSE(rect.hit({ 50, 50 }, 5, 1));
    // A rectangle thinner than the band hits all over.
    EXPECT_EQ(doc_of({ two_point(2, { 0, 0 }, { 10, 100 }, 8) }).hit({ 5, 50 }, 5, 1), 8u);

    // Ellipse 200 × 100: band |min(rx, ry) × (r − 1)| ≤ 7.5 around the outline.
    Doc ell = doc_of({ two_point(4, { 0, 0 }, { 200, 100 }, 9) });
    EXPECT_EQ(ell.hit({ 100, 0 }, 5, 1), 9u);
    EXPECT_EQ(ell.hit({ 100, 7 }, 5, 1), 9u);
    EXPECT_FALSE(ell.hit({ 100, 8 }, 5, 1));
    EXPECT_EQ(ell.hit({ 0, 50 }, 5, 1), 9u);
    EXPECT_FALSE(ell.hit({ 100, 50 }, 5, 1));

    // Counter: within tolerance + radius.
    Doc cnt = doc_of({ counter({ 0, 0 }, 1, 3) });
    EXPECT_EQ(cnt.hit({ 20, 0 }, 5, 1), 3u);
    EXPECT_FALSE(cnt.hit({ 20.1, 0 }, 5, 1));

    // Line: distance to the segment, not the infinite line.
    Doc line = doc_of({ two_point(5, { 0, 0 }, { 100, 0 }, 4) });
    EXPECT_EQ(line.hit({ 50, 7.5 }, 5, 1), 4u);
    EXPECT_FALSE(line.hit({ 108, 0 }, 5, 1));
}

TEST(EditorModel, StrokeHitReachAndDegenerateSegments)
{
    // A pencil of size 1 reaches tol + 2.5; a highlighter four times the width.
    const std::vector<Point> pts { { 0, 0 }, { 100, 0 } };
    EXPECT_TRUE(doc_of({ stroke(pts, 8) }).hit({ 50, 7.5 }, 5, 1));
    EXPECT_FALSE(doc_of({ stroke(pts, 8) }).hit({ 50, 7.6 }, 5, 1));
    EXPECT_TRUE(doc_of({ stroke(pts, 9) }).hit({ 50, 15 }, 5, 1));
    EXPECT_FALSE(doc_of({ stroke(pts, 9) }).hit({ 50, 15.1 }, 5, 1));
    // A zero-length segment measures to its point, as does a one-point stroke.
    EXPECT_TRUE(doc_of({ stroke({ { 10, 10 }, { 10, 10 } }) }).hit({ 17.5, 10 }, 5, 1));
    EXPECT_FALSE(doc_of({ stroke({ { 10, 10 }, { 10, 10 } }) }).hit({ 17.6, 10 }, 5, 1));
    EXPECT_TRUE(doc_of({ stroke({ { 10, 10 } }) }).hit({ 10, 17.5 }, 5, 1));
    EXPECT_FALSE(doc_of({ stroke({}) }).hit({ 0, 0 }, 100, 1));
    // A point near a later segment is still found after an early box rejection would fail.
    EXPECT_TRUE(doc_of({ stroke({ { 0, 0 }, { 50, 0 }, { 50, 80 } }) }).hit({ 52, 70 }, 1, 1));
}

TEST(EditorModel, ShiftConstraint)
{
    EXPECT_EQ(constrain(2, { 10, 10 }, { 4, 7 }), (Point { 4, 4 }));
    EXPECT_EQ(constrain(13, { 10, 10 }, { 10, 3 }), (Point { 17, 3 })); // zero delta goes positive
    EXPECT_EQ(constrain(4, { 0, 0 }, { 0, 0 }), (Point { 0, 0 }));
    const Point line = constrain(5, { 0, 0 }, { 10, 4 });
    EXPECT_NEAR(line.x, std::sqrt(116.0), 1e-12);
    EXPECT_NEAR(line.y, 0, 1e-12);
    // Exactly 22.5° is a half and rounds away from zero, either way round.
    const double t = std::tan(std::numbers::pi / 8);
    const Point up = constrain(1, { 0, 0 }, { 1, t });
    EXPECT_NEAR(up.x, up.y, 1e-12);
    EXPECT_GT(up.y, 0);
    const Point down = constrain(1, { 0, 0 }, { 1, -t });
    EXPECT_NEAR(down.x, -down.y, 1e-12);
    // Pencil and highlighter snap like lines.
    const Point pen = constrain(8, { 0, 0 }, { -3, -10 });
    EXPECT_NEAR(pen.x, 0, 1e-12);
    EXPECT_NEAR(pen.y, -std::sqrt(109.0), 1e-12);
    EXPECT_TRUE(square_kind(12));
    EXPECT_FALSE(square_kind(9));
}

TEST(EditorModel, FrameMarginAndScale)
{
    EXPECT_EQ(frame_margin(1000, 500, 1), 70);
    EXPECT_EQ(frame_margin(1000, 500, 2), 70);
    EXPECT_EQ(frame_margin(100, 50, 2), 40);
    EXPECT_EQ(frame_margin(10000, 50, 2), 180);
    EXPECT_EQ(frame_margin(293, 10, 1), 21); // 20.51 rounds up
    EXPECT_EQ(normalized_scale(std::nan("")), 0.5);
    EXPECT_EQ(normalized_scale(0), 0.5);
    EXPECT_EQ(normalized_scale(0.49), 0.5);
    EXPECT_EQ(normalized_scale(1.5), 1.5);
    EXPECT_EQ(frame_margin(100, 100, 0), 10);
}

TEST(EditorModel, DocsCompareDeeply)
{
    Doc a = doc_of({ stroke({ { 1, 2 }, { 3, 4 } }), two_point(2, {}, { 5, 5 }, 2) });
    Doc b = a;
    EXPECT_EQ(a, b);
    std::get<Stroke>(b.annotations[0].geom).points.edit()[1].y = 4.5;
    EXPECT_NE(a, b);
    EXPECT_EQ(std::get<Stroke>(a.annotations[0].geom).points[1].y, 4); // the copy changed alone
    b = a;
    b.annotations[0].translate(1, 0);
    EXPECT_EQ(std::get<Stroke>(a.annotations[0].geom).points[0].x, 1);
    EXPECT_EQ(std::get<Stroke>(b.annotations[0].geom).points[0].x, 2);
    b = a;
    b.annotations[1].size = 2;
    EXPECT_NE(a, b);
}

TEST(EditorModel, StrokeBoxFollowsEveryChangeOfItsOwnCopy)
{
    Annotation a = stroke({ { 10, 10 }, { 20, 30 } });
    EXPECT_EQ(std::get<Stroke>(a.geom).points.box(), (Rect { 10, 10, 10, 20 }));
    Annotation b = a; // shares the points and their box
    std::get<Stroke>(b.geom).points.push_back({ -5, 12 });
    EXPECT_EQ(std::get<Stroke>(b.geom).points.box(), (Rect { -5, 10, 25, 20 }));
    EXPECT_EQ(std::get<Stroke>(a.geom).points.box(), (Rect { 10, 10, 10, 20 }));
    b.translate(100, 0);
    EXPECT_EQ(std::get<Stroke>(b.geom).points.box(), (Rect { 95, 10, 25, 20 }));
    // The hit test sees the moved stroke, not the cached place of the old one.
    EXPECT_TRUE(doc_of({ b }).hit({ 96, 12 }, 1, 1));
    EXPECT_FALSE(doc_of({ b }).hit({ 15, 20 }, 1, 1));
    EXPECT_TRUE(doc_of({ a }).hit({ 15, 20 }, 1, 1));
    EXPECT_EQ(StrokePoints {}.box(), Rect {});
}
