#include "editor/editing.h"
#include "editor_fake_host.h"
#include "test_util.h"

#include <gtest/gtest.h>

using namespace editor;
using namespace editor_test;
using model::Tool;

namespace {

struct EditorHistory : ::testing::Test {
    FakeHost host;
    Editing ed { host, 400, 300, 1.0 };

    // Draws a shape with the current tool, in image pixels (zoom 1, no offset).
    void draw(Point a, Point b)
    {
        ed.mouse_down(false, 1, a);
        ed.mouse_dragged(false, b);
        ed.mouse_up();
    }
    // Short arrows on a grid far enough apart that no press lands on another.
    void draw_arrow(int i)
    {
        const double x = 5 + (i % 20) * 20, y = 5 + (i / 20) * 23;
        draw({ x, y }, { x, y + 10 });
    }
    void crop_edit(Rect r)
    {
        ed.set_tool(Tool::Crop);
        // The Crop tool lays the stage out anew; draw in its view points.
        const auto& m = ed.mapping();
        ed.mouse_down(false, 1, m.to_view({ r.x, r.y }));
        ed.mouse_dragged(false, m.to_view({ r.x + r.w, r.y + r.h }));
        ed.mouse_up();
    }
};

} // namespace

TEST_F(EditorHistory, TheLimitKeepsTwoHundredEntriesDroppingTheOldest)
{
    for (int i = 0; i < 250; ++i)
        draw_arrow(i);
    EXPECT_EQ(ed.undo_stack().size(), 200u);
    EXPECT_EQ(ed.undo_stack().front().annotations.size(), 50u);
    while (!ed.undo_stack().empty())
        ed.undo();
    EXPECT_EQ(ed.doc().annotations.size(), 50u); // the first 50 states are gone
    EXPECT_EQ(ed.redo_stack().size(), 200u);

    // Only checkpoints apply the limit, and drop exactly one entry even above it.
    for (int i = 0; i < 200; ++i)
        ed.checkpoint();
    for (int i = 0; i < 3; ++i)
        ed.push_undo(model::Doc {});
    EXPECT_EQ(ed.undo_stack().size(), 203u);
    ed.checkpoint();
    EXPECT_EQ(ed.undo_stack().size(), 203u);
    EXPECT_TRUE(ed.redo_stack().empty());
}

TEST_F(EditorHistory, UndoAndRedoSwapWholeDocuments)
{
    ed.set_tool(Tool::Rectangle);
    draw({ 10, 10 }, { 100, 100 });
    const model::Doc one = ed.doc();
    draw({ 150, 150 }, { 200, 200 });
    const model::Doc two = ed.doc();
    ASSERT_EQ(ed.selection(), 2u);

    ed.undo();
    EXPECT_EQ(ed.doc(), one);
    EXPECT_FALSE(ed.selection()); // the selected rectangle is gone
    EXPECT_TRUE(host.last_controls().redo_enabled);
    EXPECT_GT(host.invalidated_all, 0);
    ed.redo();
    EXPECT_EQ(ed.doc(), two);
    ed.undo();
    draw({ 300, 10 }, { 350, 60 });
    EXPECT_TRUE(ed.redo_stack().empty());
    EXPECT_FALSE(host.last_controls().redo_enabled);

    // Empty stacks do nothing.
    while (!ed.undo_stack().empty())
        ed.undo();
    const model::Doc empty = ed.doc();
    ed.undo();
    EXPECT_EQ(ed.doc(), empty);
    EXPECT_TRUE(empty.annotations.empty());
}

TEST_F(EditorHistory, UndoInTheCropToolReloadsTheEditedRectangle)
{
    crop_edit({ 10, 20, 100, 50 });
    ed.apply_crop();
    ASSERT_EQ(ed.doc().crop, (Rect { 10, 20, 100, 50 }));
    ed.set_tool(Tool::Crop);
    EXPECT_EQ(ed.crop_edit(), (Rect { 10, 20, 100, 50 }));
    ed.undo();
    EXPECT_FALSE(ed.crop_edit());
    ed.redo();
    EXPECT_EQ(ed.crop_edit(), (Rect { 10, 20, 100, 50 }));
}

TEST_F(EditorHistory, CropRoundsEdgesIntoTheImage)
{
    // Rounding the width alone would give 351 + 51, one column past a 400-pixel image.
    crop_edit({ 349.5, 0, 50.5, 300 });
    EXPECT_EQ(ed.crop_result(), (Rect { 350, 0, 50, 300 }));
    ed.apply_crop();
    EXPECT_EQ(ed.doc().crop, (Rect { 350, 0, 50, 300 }));
    EXPECT_EQ(ed.tool(), Tool::Select);

    // What the hint shows is what comes out: from 10.4, 389.4 wide is 390
    // pixels between rounded edges, though 389.4 alone rounds to 389.
    crop_edit({ 10.4, 0, 389.4, 40.4 });
    EXPECT_EQ(ed.crop_result(), (Rect { 10, 0, 390, 40 }));
    crop_edit({ 0, 0, 99.5, 40.4 });
    EXPECT_EQ(ed.crop_result(), (Rect { 0, 0, 100, 40 }));
    ed.apply_crop();
    EXPECT_EQ(ed.doc().crop, (Rect { 0, 0, 100, 40 }));
    EXPECT_EQ(ed.undo_stack().size(), 2u);
    EXPECT_EQ(host.last_controls().status, "100 × 40 px");

    // The same rectangle again changes nothing; the whole image removes the crop.
    ed.set_tool(Tool::Crop);
    ed.apply_crop();
    EXPECT_EQ(ed.undo_stack().size(), 2u);
    // The bottom-right corner dragged to the image's corner covers it all.
    ed.set_tool(Tool::Crop);
    ed.mouse_down(false, 1, ed.mapping().to_view({ 100, 40 }));
    ed.mouse_dragged(false, ed.mapping().to_view({ 400, 300 }));
    ed.mouse_up();
    ASSERT_EQ(ed.crop_edit(), (Rect { 0, 0, 400, 300 }));
    ed.apply_crop();
    EXPECT_FALSE(ed.doc().crop);
    EXPECT_EQ(ed.undo_stack().size(), 3u);
    EXPECT_EQ(host.last_controls().status, "400 × 300 px");
}

TEST_F(EditorHistory, WholeImageCropWithoutACropChangesNothingButTheTool)
{
    crop_edit({ 0, 0, 400, 300 });
    ed.apply_crop();
    EXPECT_FALSE(ed.doc().crop);
    EXPECT_TRUE(ed.undo_stack().empty());
    EXPECT_EQ(ed.tool(), Tool::Select);
    // Without an edited rectangle nothing happens at all.
    ed.apply_crop();
    EXPECT_EQ(ed.tool(), Tool::Select);
    EXPECT_TRUE(ed.undo_stack().empty());
}

TEST_F(EditorHistory, BackgroundToggleTakesOneEntryPerChange)
{
    FakeHost big_host;
    Editing big { big_host, 1000, 500, 1.0 };
    big.set_background(true);
    big.set_background(true);
    big.set_background(false);
    big.set_background(true);
    EXPECT_EQ(big.undo_stack().size(), 3u);
    EXPECT_EQ(big_host.last_controls().status, "1140 × 640 px"); // m = 70
    EXPECT_TRUE(big_host.last_controls().background);
    EXPECT_EQ(big_host.layouts.size(), 3u);
    EXPECT_EQ(big_host.layouts.back().mapping.canvas, (Rect { -70, -70, 1140, 640 }));
    EXPECT_EQ(big_host.focused_overlay, 3);
}

TEST_F(EditorHistory, DeletingRedrawsAndPurgesTheEffectCache)
{
    ed.set_tool(Tool::Blur);
    draw({ 10, 10 }, { 60, 60 });
    ed.set_tool(Tool::Pixelate);
    draw({ 100, 100 }, { 160, 160 });
    ASSERT_EQ(ed.selection(), 2u);
    host.invalidated.clear();
    ed.delete_selected();
    EXPECT_EQ(ed.doc().annotations.size(), 1u);
    EXPECT_FALSE(ed.selection());
    ASSERT_EQ(host.purges.size(), 1u);
    EXPECT_EQ(host.purges[0], (std::vector<std::uint64_t> { 1 }));
    ASSERT_EQ(host.invalidated.size(), 1u);
    EXPECT_EQ(host.invalidated[0], (Rect { 100 - 13, 100 - 13, 60 + 26, 60 + 26 }));
    // Nothing selected: nothing happens.
    ed.delete_selected();
    EXPECT_EQ(ed.undo_stack().size(), 3u);

    ed.set_tool(Tool::Spotlight);
    draw({ 200, 200 }, { 260, 260 });
    const int whole = host.invalidated_all;
    ed.delete_selected();
    EXPECT_EQ(host.invalidated_all, whole + 1);
    ed.undo();
    EXPECT_EQ(ed.doc().annotations.back().kind, 12);
}

TEST_F(EditorHistory, InvalidationMapsToTheViewWithSlack)
{
    host.stage = { 1000, 800 };
    Editing zoomed { host, 400, 300, 2.0 }; // zoom 0.5, canvas at (400, 325)
    zoomed.relayout();
    host.invalidated.clear();
    zoomed.invalidate_px({ 10, 20, 100, 40 });
    EXPECT_EQ(host.invalidated.back(), (Rect { 405 - 13, 335 - 13, 50 + 26, 20 + 26 }));

    zoomed.set_tool(Tool::Rectangle);
    zoomed.mouse_down(false, 1, zoomed.mapping().to_view({ 10, 10 }));
    zoomed.mouse_dragged(false, zoomed.mapping().to_view({ 50, 50 }));
    zoomed.mouse_up();
    const Rect before = *zoomed.bounds_of(1);
    host.invalidated.clear();
    // Moved: the union of the earlier and current bounds.
    zoomed.set_tool(Tool::Select);
    zoomed.mouse_down(false, 1, zoomed.mapping().to_view({ 30, 10 }));
    zoomed.mouse_dragged(false, zoomed.mapping().to_view({ 130, 10 }));
    const Rect expected = zoomed.mapping().to_view_rect(before.united(*zoomed.bounds_of(1))).grown(13);
    EXPECT_EQ(host.invalidated.back(), expected);
    // Gone: only the earlier rectangle; gone without one: nothing.
    host.invalidated.clear();
    zoomed.invalidate_change(99, std::nullopt);
    EXPECT_TRUE(host.invalidated.empty());
    zoomed.invalidate_change(99, Rect { 0, 0, 2, 2 });
    EXPECT_EQ(host.invalidated.size(), 1u);
    EXPECT_FALSE(zoomed.bounds_of(99));
}

TEST_F(EditorHistory, NoWindowMeansNoRedrawsControlsOrLayout)
{
    FakeHost headless;
    headless.window = false;
    Editing e { headless, 100, 100, 1.0 };
    e.set_tool(Tool::Rectangle);
    e.mouse_down(false, 1, { 10, 10 });
    e.mouse_dragged(false, { 50, 50 });
    e.mouse_up();
    e.set_background(true);
    e.undo();
    EXPECT_EQ(e.doc().annotations.size(), 1u);
    EXPECT_TRUE(headless.invalidated.empty());
    EXPECT_EQ(headless.invalidated_all, 0);
    EXPECT_TRUE(headless.controls.empty());
    EXPECT_TRUE(headless.layouts.empty());
    EXPECT_EQ(headless.focused_overlay, 0);
}

TEST_F(EditorHistory, AHostThatCallsBackIntoTheEditorStopsTheProcess)
{
    host.on_invalidate = [&] { ed.undo(); };
    const auto message = testing_support::fatal_message([&] { ed.invalidate_px({ 0, 0, 1, 1 }); });
    ASSERT_TRUE(message);
    EXPECT_NE(message->find("undo"), std::string::npos);
    host.on_invalidate = nullptr;
    ed.invalidate_px({ 0, 0, 1, 1 }); // the fence was released on the way out
}
