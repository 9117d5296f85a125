#include "editor/editing.h"
#include "editor_fake_host.h"

#include <gtest/gtest.h>

using namespace editor;
using namespace editor_test;
using model::Tool;

namespace {

struct EditorPointer : ::testing::Test {
    FakeHost host;
    Editing ed { host, 400, 300, 1.0 };
    // A stage exactly 28 points larger on each side: zoom 1, offset 0, so
    // view points are image pixels, also after the Crop tool's relayout.
    void SetUp() override
    {
        host.stage = { 456, 356 };
        ed.relayout();
        ASSERT_EQ(ed.mapping().zoom, 1);
        ASSERT_EQ(ed.mapping().offset, (Point { 28, 28 }));
    }
    // The pointer at an image point.
    void down(Point p, int clicks = 1) { ed.mouse_down(false, clicks, ed.mapping().to_view(p)); }
    void drag(Point p, bool shift = false) { ed.mouse_dragged(shift, ed.mapping().to_view(p)); }

    void drag_line(Point a, Point b, bool shift = false)
    {
        down(a);
        drag(b, shift);
        ed.mouse_up();
    }
    const model::Annotation& last() const { return ed.doc().annotations.back(); }
    template <typename G>
    const G& geom(const model::Annotation& a) const { return std::get<G>(a.geom); }
};

// An editor at zoom 0.5 with the canvas at (400, 325) in the view.
struct EditorHalfZoom : ::testing::Test {
    FakeHost host;
    Editing ed { host, 400, 300, 2.0 };
    void SetUp() override
    {
        ed.relayout();
        ASSERT_EQ(ed.mapping().zoom, 0.5);
        ASSERT_EQ(ed.mapping().offset, (Point { 400, 325 }));
    }
    Point view(Point image) const { return ed.mapping().to_view(image); }
};

} // namespace

TEST_F(EditorPointer, ClickWithoutMovingDrawsNoShapeAndLeavesHistoryAsItWas)
{
    drag_line({ 10, 10 }, { 60, 60 });
    ed.undo();
    ASSERT_EQ(ed.redo_stack().size(), 1u);
    const model::Doc before = ed.doc();
    const auto undo_before = ed.undo_stack();

    down({ 100, 100 });
    drag({ 102, 101 }); // under 3 view points
    ed.mouse_up();
    EXPECT_EQ(ed.doc(), before);
    EXPECT_EQ(ed.undo_stack(), undo_before);
    EXPECT_TRUE(ed.redo_stack().empty());
    EXPECT_FALSE(ed.selection());
}

TEST_F(EditorPointer, AClickAfterAnotherEditTakesOnlyItsShapeBack)
{
    down({ 100, 100 });
    ed.set_background(true); // recorded while the button is still down
    ed.mouse_up();
    EXPECT_TRUE(ed.doc().annotations.empty());
    EXPECT_TRUE(ed.doc().background);
    ASSERT_EQ(ed.undo_stack().size(), 2u);
    ed.undo();
    EXPECT_FALSE(ed.doc().background);
}

TEST_F(EditorPointer, DiscardedClickAtTheLimitPutsTheOldestEntryBack)
{
    for (int i = 0; i < 201; ++i) { // short arrows no press lands on
        const double x = 5 + (i % 20) * 20, y = 5 + (i / 20) * 23;
        drag_line({ x, y }, { x, y + 10 });
    }
    ASSERT_EQ(ed.doc().annotations.size(), 201u);
    ASSERT_EQ(ed.undo_stack().size(), Editing::UNDO_LIMIT);
    const auto history = ed.undo_stack();
    const model::Doc doc = ed.doc();
    down({ 395, 295 }); // away from every arrow
    ed.mouse_up();
    EXPECT_EQ(ed.undo_stack(), history);
    EXPECT_EQ(ed.doc(), doc);
}

TEST_F(EditorPointer, DragCreatesSelectsAndConstrainsWithShift)
{
    drag_line({ 10, 10 }, { 110, 40 }, true);
    ASSERT_EQ(ed.doc().annotations.size(), 1u);
    const auto& a = last();
    EXPECT_EQ(a.kind, 1);
    EXPECT_EQ(a.id, 1u);
    EXPECT_EQ(a.color, model::PALETTE[0].color);
    EXPECT_EQ(a.size, 1);
    EXPECT_NEAR(geom<model::TwoPoint>(a).end.y, 10, 1e-9); // snapped to horizontal
    EXPECT_EQ(ed.selection(), 1u);
    EXPECT_EQ(ed.undo_stack().size(), 1u);
    EXPECT_EQ(ed.next_id(), 2u);
    EXPECT_TRUE(std::holds_alternative<drag::Idle>(ed.gesture()));
    EXPECT_FALSE(host.last_controls().redo_enabled);
    EXPECT_TRUE(host.last_controls().undo_enabled);

    ed.set_tool(Tool::Rectangle);
    drag_line({ 200, 200 }, { 180, 150 }, true);
    EXPECT_EQ(geom<model::TwoPoint>(last()).end, (Point { 150, 150 }));
}

TEST_F(EditorPointer, PencilSkipsTinyStepsAndShiftMakesOneSnappedSegment)
{
    ed.set_tool(Tool::Pencil);
    down({ 10, 10 });
    ed.mouse_up();
    ASSERT_EQ(ed.doc().annotations.size(), 1u);
    EXPECT_EQ(geom<model::Stroke>(last()).points.size(), 1u); // a dot stays
    EXPECT_FALSE(ed.selection());

    down({ 50, 50 });
    drag({ 50.5, 50.5 }); // 0.7 points: skipped
    drag({ 51, 50 });
    drag({ 60, 58 });
    EXPECT_EQ(geom<model::Stroke>(last()).points,
        (std::vector<Point> { { 50, 50 }, { 51, 50 }, { 60, 58 } }));
    drag({ 70, 28 }, true);
    const auto& pts = geom<model::Stroke>(last()).points;
    ASSERT_EQ(pts.size(), 2u);
    EXPECT_EQ(pts[0], (Point { 50, 50 }));
    EXPECT_NEAR(pts[1].x - 50, -(pts[1].y - 50), 1e-9); // 45° up and right
    ed.mouse_up();
    EXPECT_FALSE(ed.selection());
}

TEST_F(EditorPointer, MovingAStrokeLeavesItsHistoryCopiesAlone)
{
    ed.set_tool(Tool::Highlighter);
    drag_line({ 50, 50 }, { 150, 50 });
    const model::Doc drawn = ed.doc();
    ed.set_tool(Tool::Select);
    drag_line({ 100, 50 }, { 100, 90 });
    EXPECT_EQ(geom<model::Stroke>(last()).points, (std::vector<Point> { { 50, 90 }, { 150, 90 } }));
    ed.key_down(KeyEvent { Key::Right, "", 0 });
    EXPECT_EQ(geom<model::Stroke>(last()).points[0], (Point { 51, 90 }));
    ASSERT_EQ(ed.undo_stack().size(), 3u);
    EXPECT_EQ(ed.undo_stack()[1], drawn);
    ed.undo();
    ed.undo();
    EXPECT_EQ(ed.doc(), drawn);
    EXPECT_EQ(geom<model::Stroke>(last()).points, (std::vector<Point> { { 50, 50 }, { 150, 50 } }));
}

TEST_F(EditorPointer, ResizingAcrossTheOppositeCornerKeepsTheDraggedCorner)
{
    ed.set_tool(Tool::Rectangle);
    drag_line({ 100, 100 }, { 200, 200 });
    ASSERT_EQ(ed.selection(), 1u);
    const std::size_t entries = ed.undo_stack().size();

    down({ 104, 97 }); // top-left handle, within 9 points
    ASSERT_TRUE(std::holds_alternative<drag::Resize>(ed.gesture()));
    drag({ 250, 260 });
    EXPECT_EQ(std::get<drag::Resize>(ed.gesture()).handle, 2);
    drag({ 220, 150 });
    EXPECT_EQ(std::get<drag::Resize>(ed.gesture()).handle, 1);
    ed.mouse_up();
    EXPECT_EQ(model::Rect::between(geom<model::TwoPoint>(last()).start, geom<model::TwoPoint>(last()).end),
        (Rect { 200, 150, 20, 50 }));
    EXPECT_EQ(ed.undo_stack().size(), entries + 1);
    ed.undo();
    EXPECT_EQ(model::Rect::between(geom<model::TwoPoint>(last()).start, geom<model::TwoPoint>(last()).end),
        (Rect { 100, 100, 100, 100 }));
}

TEST_F(EditorPointer, ResizingAnArrowWithShiftSnapsAroundTheOtherEnd)
{
    drag_line({ 100, 100 }, { 200, 100 });
    down({ 200, 100 });
    drag({ 190, 190 }, true);
    ed.mouse_up();
    const auto& g = geom<model::TwoPoint>(last());
    EXPECT_EQ(g.start, (Point { 100, 100 }));
    EXPECT_NEAR(g.end.x - 100, g.end.y - 100, 1e-9);
}

TEST_F(EditorPointer, MovingPushesOneEntryPerGestureAndNoneWithoutMotion)
{
    ed.set_tool(Tool::Ellipse);
    drag_line({ 100, 100 }, { 200, 160 });
    const std::size_t entries = ed.undo_stack().size();
    ed.set_tool(Tool::Select);
    down({ 150, 100 }); // on the outline, away from the corner handles
    ASSERT_TRUE(std::holds_alternative<drag::Move>(ed.gesture()));
    ed.mouse_up();
    EXPECT_EQ(ed.undo_stack().size(), entries);

    down({ 150, 100 });
    drag({ 160, 105 });
    drag({ 170, 110 });
    ed.mouse_up();
    EXPECT_EQ(ed.undo_stack().size(), entries + 1);
    EXPECT_EQ(geom<model::TwoPoint>(last()).start, (Point { 120, 110 }));
    EXPECT_EQ(geom<model::TwoPoint>(last()).end, (Point { 220, 170 }));
}

TEST_F(EditorPointer, AnotherKindUnderThePressStartsANewShape)
{
    drag_line({ 100, 100 }, { 200, 100 });
    ed.set_tool(Tool::Rectangle);
    EXPECT_FALSE(ed.selection()); // switching away from arrows deselects the arrow
    down({ 150, 100 });
    EXPECT_TRUE(std::holds_alternative<drag::Create>(ed.gesture()));
    EXPECT_EQ(ed.doc().annotations.size(), 2u);
    EXPECT_EQ(last().kind, 2);

    // With the Select tool the same press takes the arrow.
    ed.mouse_up();
    ed.set_tool(Tool::Select);
    down({ 150, 100 });
    EXPECT_EQ(ed.selection(), 1u);
}

TEST_F(EditorPointer, CounterIsPlacedAndDraggedInOneUndoEntry)
{
    ed.set_tool(Tool::Counter);
    down({ 50, 50 });
    drag({ 60, 70 });
    ed.mouse_up();
    down({ 200, 200 });
    ed.mouse_up();
    ASSERT_EQ(ed.doc().annotations.size(), 2u);
    EXPECT_EQ(geom<model::Counter>(ed.doc().annotations[0]), (model::Counter { { 60, 70 }, 1 }));
    EXPECT_EQ(geom<model::Counter>(ed.doc().annotations[1]).number, 2u);
    EXPECT_EQ(ed.undo_stack().size(), 2u);
    EXPECT_EQ(ed.selection(), 2u);
    ed.undo();
    EXPECT_EQ(ed.doc().annotations.size(), 1u);
}

TEST_F(EditorPointer, PressWhileTypingOnlyCommitsTheText)
{
    ed.set_tool(Tool::Text);
    down({ 20, 20 });
    ASSERT_TRUE(ed.text_edit());
    host.field_text = "hola";
    down({ 200, 200 });
    EXPECT_FALSE(ed.text_edit());
    EXPECT_FALSE(host.field_open);
    ASSERT_EQ(ed.doc().annotations.size(), 1u);
    EXPECT_EQ(geom<model::Text>(last()).text, "hola");
    EXPECT_EQ(host.fields_opened, 1);
}

TEST_F(EditorHalfZoom, GrabRadiusIsNineViewPoints)
{
    ed.set_tool(Tool::Rectangle);
    ed.mouse_down(false, 1, view({ 100, 100 }));
    ed.mouse_dragged(false, view({ 300, 200 }));
    ed.mouse_up();
    ASSERT_EQ(ed.selection(), 1u);
    const Point corner = view({ 100, 100 });
    ed.mouse_down(false, 1, { corner.x + 8.9, corner.y });
    EXPECT_TRUE(std::holds_alternative<drag::Resize>(ed.gesture()));
    ed.mouse_up();
    ed.mouse_down(false, 1, { corner.x + 9.5, corner.y });
    EXPECT_TRUE(std::holds_alternative<drag::Move>(ed.gesture())); // on the outline, not the handle
    ed.mouse_up();
    // The hit tolerance is 5 view points: 10 image pixels at this zoom, plus half the 10-pixel line.
    ed.set_tool(Tool::Select);
    ed.mouse_down(false, 1, view({ 200, 100 + 14.9 }));
    EXPECT_TRUE(std::holds_alternative<drag::Move>(ed.gesture()));
    ed.mouse_down(false, 1, view({ 200, 100 + 15.1 }));
    EXPECT_TRUE(std::holds_alternative<drag::Idle>(ed.gesture()));
    EXPECT_FALSE(ed.selection());
}

TEST_F(EditorHalfZoom, ShortShapesAndStrokeStepsAreMeasuredOnScreen)
{
    // 5 image pixels are 2.5 view points: no shape.
    ed.mouse_down(false, 1, view({ 100, 100 }));
    ed.mouse_dragged(false, view({ 105, 100 }));
    ed.mouse_up();
    EXPECT_TRUE(ed.doc().annotations.empty());
    ed.mouse_down(false, 1, view({ 100, 100 }));
    ed.mouse_dragged(false, view({ 106, 100 }));
    ed.mouse_up();
    EXPECT_EQ(ed.doc().annotations.size(), 1u);

    ed.set_tool(Tool::Pencil);
    ed.mouse_down(false, 1, view({ 10, 10 }));
    ed.mouse_dragged(false, view({ 11.9, 10 })); // 0.95 points
    ed.mouse_dragged(false, view({ 12, 10 }));
    ed.mouse_up();
    EXPECT_EQ(std::get<model::Stroke>(ed.doc().annotations.back().geom).points.size(), 2u);
}

TEST_F(EditorPointer, CropDragsClampToTheImageAndSmallCropsAreDropped)
{
    ed.set_tool(Tool::Crop);
    down({ 10, 10 });
    drag({ 13, 210 });
    ed.mouse_up();
    EXPECT_FALSE(ed.crop_edit()); // 3 × 200 is too narrow

    // Anchor and target clamp at the left/top and right/bottom edges.
    down({ -30, -40 });
    drag({ 500, 350 });
    EXPECT_EQ(ed.crop_edit(), (Rect { 0, 0, 400, 300 }));
    drag({ 100, 80 });
    ed.mouse_up();
    ASSERT_EQ(ed.crop_edit(), (Rect { 0, 0, 100, 80 }));

    // Moving stops at every edge.
    down({ 50, 40 });
    ASSERT_TRUE(std::holds_alternative<drag::CropMove>(ed.gesture()));
    drag({ 1000, 1000 });
    EXPECT_EQ(ed.crop_edit(), (Rect { 300, 220, 100, 80 }));
    drag({ -1000, -1000 });
    EXPECT_EQ(ed.crop_edit(), (Rect { 0, 0, 100, 80 }));
    ed.mouse_up();

    // The bottom-right corner dragged past the image and then across the top-left.
    down({ 106, 86 });
    ASSERT_TRUE(std::holds_alternative<drag::CropResize>(ed.gesture()));
    drag({ 900, 900 });
    EXPECT_EQ(ed.crop_edit(), (Rect { 0, 0, 400, 300 }));
    down({ 400, 300 });
    drag({ 200, 100 });
    EXPECT_EQ(ed.crop_edit(), (Rect { 0, 0, 200, 100 }));
    ed.mouse_up();
    EXPECT_TRUE(ed.doc().annotations.empty());
    EXPECT_TRUE(ed.undo_stack().empty()); // editing the crop rectangle is not yet an edit

    // A double click inside applies it and returns to the Select tool.
    down({ 50, 50 }, 2);
    EXPECT_EQ(ed.doc().crop, (Rect { 0, 0, 200, 100 }));
    EXPECT_EQ(ed.tool(), Tool::Select);
    EXPECT_EQ(ed.undo_stack().size(), 1u);
}

TEST_F(EditorPointer, CropResizeFollowsThePointerAcrossTheFixedCorner)
{
    ed.set_tool(Tool::Crop);
    drag_line({ 100, 100 }, { 200, 200 });
    down({ 100, 100 }); // top-left corner
    drag({ 250, 120 });
    EXPECT_EQ(ed.crop_edit(), (Rect { 200, 120, 50, 80 }));
    EXPECT_EQ(std::get<drag::CropResize>(ed.gesture()).handle, 1); // now the top-right corner
    drag({ 260, 130 });
    EXPECT_EQ(ed.crop_edit(), (Rect { 200, 130, 60, 70 }));
    drag({ 201, 131 }, true); // Shift plays no part in corner drags; 1 × 69 is dropped
    ed.mouse_up();
    EXPECT_FALSE(ed.crop_edit());
}
