#include "editor/editing.h"
#include "editor_fake_host.h"

#include <gtest/gtest.h>

using namespace editor;
using namespace editor_test;
using model::Tool;

namespace {

KeyEvent key(Key k, unsigned modifiers = 0) { return KeyEvent { k, "", modifiers }; }
KeyEvent chars(std::string text, unsigned modifiers = 0) { return KeyEvent { Key::Other, std::move(text), modifiers }; }

struct EditorKeys : ::testing::Test {
    FakeHost host;
    Editing ed { host, 400, 300, 2.0 };

    void SetUp() override
    {
        ed.relayout(); // zoom 0.5 in the fake's 1000 × 800 stage
        ASSERT_EQ(ed.mapping().zoom, 0.5);
    }
    // Draws with the current tool between two image points.
    void draw(Point a, Point b)
    {
        ed.mouse_down(false, 1, ed.mapping().to_view(a));
        ed.mouse_dragged(false, ed.mapping().to_view(b));
        ed.mouse_up();
    }
    const model::TwoPoint& shape(std::size_t i) const { return std::get<model::TwoPoint>(ed.doc().annotations.at(i).geom); }
};

} // namespace

TEST_F(EditorKeys, ToolLettersIgnoreShiftButNotTheOtherModifiers)
{
    EXPECT_TRUE(ed.key_down(chars("v", SHIFT)));
    EXPECT_EQ(ed.tool(), Tool::Select);
    EXPECT_TRUE(ed.key_down(chars("R")));
    EXPECT_EQ(ed.tool(), Tool::Rectangle);
    EXPECT_EQ(host.cursors.back(), Cursor::Crosshair);
    EXPECT_FALSE(ed.key_down(chars("v", COMMAND)));
    EXPECT_FALSE(ed.key_down(chars("v", CONTROL)));
    EXPECT_FALSE(ed.key_down(chars("v", OPTION)));
    EXPECT_FALSE(ed.key_down(chars("q")));
    EXPECT_FALSE(ed.key_down(chars("")));
    EXPECT_FALSE(ed.key_down(chars("é")));
    EXPECT_EQ(ed.tool(), Tool::Rectangle);
    EXPECT_TRUE(ed.key_down(chars("t")));
    EXPECT_EQ(host.cursors.back(), Cursor::IBeam);
    EXPECT_EQ(host.last_controls().tool, 6);
}

TEST_F(EditorKeys, ReturnAppliesOnlyInTheCropToolButIsAlwaysConsumed)
{
    EXPECT_TRUE(ed.key_down(key(Key::Return)));
    EXPECT_TRUE(ed.undo_stack().empty());
    EXPECT_EQ(ed.tool(), Tool::Arrow);

    ed.set_tool(Tool::Crop);
    draw({ 10, 10 }, { 110, 60 });
    ASSERT_TRUE(ed.crop_edit());
    EXPECT_TRUE(ed.key_down(key(Key::Enter)));
    EXPECT_EQ(ed.doc().crop, (Rect { 10, 10, 100, 50 }));
    EXPECT_EQ(ed.tool(), Tool::Select);
    EXPECT_EQ(host.last_controls().status, "100 × 50 px");
}

TEST_F(EditorKeys, EscapeCancelsTextThenClearsSelectionAndLeavesCrop)
{
    ed.set_tool(Tool::Rectangle);
    draw({ 10, 10 }, { 100, 100 });
    ASSERT_EQ(ed.selection(), 1u);
    ed.set_tool(Tool::Text);
    ed.mouse_down(false, 1, ed.mapping().to_view({ 200, 200 }));
    ASSERT_TRUE(ed.text_edit());
    host.field_text = "borrador";

    EXPECT_TRUE(ed.key_down(key(Key::Escape)));
    EXPECT_FALSE(ed.text_edit());
    EXPECT_EQ(ed.tool(), Tool::Text);
    EXPECT_EQ(ed.doc().annotations.size(), 1u);

    ed.set_tool(Tool::Select);
    ed.mouse_down(false, 1, ed.mapping().to_view({ 55, 10 }));
    ed.mouse_up();
    ASSERT_EQ(ed.selection(), 1u);
    host.invalidated.clear();
    EXPECT_TRUE(ed.key_down(key(Key::Escape)));
    EXPECT_FALSE(ed.selection());
    ASSERT_EQ(host.invalidated.size(), 1u);
    EXPECT_EQ(host.invalidated[0], ed.mapping().to_view_rect(*ed.bounds_of(1)).grown(13));

    ed.set_tool(Tool::Crop);
    EXPECT_TRUE(ed.key_down(key(Key::Escape)));
    EXPECT_EQ(ed.tool(), Tool::Select);
}

TEST_F(EditorKeys, ArrowsNudgeByViewPointsOneUndoStepEach)
{
    EXPECT_TRUE(ed.key_down(key(Key::Right))); // no selection: consumed, nothing else
    EXPECT_TRUE(ed.undo_stack().empty());

    draw({ 100, 100 }, { 200, 100 });
    ASSERT_EQ(ed.selection(), 1u);
    const std::size_t entries = ed.undo_stack().size();
    ed.key_down(key(Key::Right));
    EXPECT_EQ(shape(0).start, (Point { 102, 100 }));
    ed.key_down(key(Key::Right, SHIFT));
    EXPECT_EQ(shape(0).start, (Point { 122, 100 }));
    ed.key_down(key(Key::Up));
    ed.key_down(key(Key::Down, SHIFT));
    ed.key_down(key(Key::Left));
    EXPECT_EQ(shape(0).start, (Point { 120, 118 }));
    EXPECT_EQ(shape(0).end, (Point { 220, 118 }));
    EXPECT_EQ(ed.undo_stack().size(), entries + 5);
    ed.undo();
    EXPECT_EQ(shape(0).start, (Point { 122, 118 }));
}

TEST_F(EditorKeys, DeleteRemovesTheSelection)
{
    draw({ 100, 100 }, { 200, 100 });
    EXPECT_TRUE(ed.key_down(key(Key::ForwardDelete)));
    EXPECT_TRUE(ed.doc().annotations.empty());
    EXPECT_TRUE(ed.key_down(key(Key::Delete)));
    EXPECT_EQ(ed.undo_stack().size(), 2u);
}

TEST_F(EditorKeys, ColourRecolorsTheSelectionAsOneStep)
{
    ed.set_tool(Tool::Rectangle);
    draw({ 10, 10 }, { 100, 100 });
    ed.set_color(4);
    EXPECT_EQ(ed.doc().annotations[0].color, model::PALETTE[4].color);
    EXPECT_EQ(host.last_controls().color, 4);
    ed.undo();
    EXPECT_EQ(ed.doc().annotations[0].color, model::PALETTE[0].color);
    EXPECT_EQ(ed.color(), 4); // the current colour stays

    // A checkpoint even when nothing changes; indices above 7 become 7.
    ed.set_tool(Tool::Select);
    ed.mouse_down(false, 1, ed.mapping().to_view({ 55, 10 }));
    ed.mouse_up();
    const std::size_t entries = ed.undo_stack().size();
    ed.set_color(0);
    EXPECT_EQ(ed.undo_stack().size(), entries + 1);
    ed.set_color(12);
    EXPECT_EQ(ed.color(), 7);
    EXPECT_EQ(ed.doc().annotations[0].color, model::PALETTE[7].color);
    // Without a selection nothing is recorded.
    ed.key_down(key(Key::Escape));
    ed.set_color(3);
    EXPECT_EQ(ed.undo_stack().size(), entries + 2);
}

TEST_F(EditorKeys, SizeResizesAndRemeasuresASelectedText)
{
    ed.set_tool(Tool::Text);
    ed.mouse_down(false, 1, ed.mapping().to_view({ 20, 20 }));
    host.field_text = "abcd";
    ed.commit_text();
    ASSERT_EQ(ed.selection(), 1u);
    const auto& text = std::get<model::Text>(ed.doc().annotations[0].geom);
    EXPECT_NEAR(text.size.w, 0.6 * 60 * 4, 1e-9); // f = 30 × 2
    ed.set_size(2);
    const auto& bigger = std::get<model::Text>(ed.doc().annotations[0].geom);
    EXPECT_NEAR(bigger.size.w, 0.6 * 88 * 4, 1e-9);
    EXPECT_NEAR(bigger.size.h, 1.2 * 88, 1e-9);
    EXPECT_EQ(ed.doc().annotations[0].size, 2);
    EXPECT_EQ(host.last_controls().size, 2);
    ed.undo();
    EXPECT_EQ(ed.doc().annotations[0].size, 1);
}

TEST_F(EditorKeys, ToolChangesKeepOnlySameKindSelections)
{
    draw({ 100, 100 }, { 200, 100 });
    ed.set_tool(Tool::Select);
    EXPECT_EQ(ed.selection(), 1u);
    ed.set_tool(Tool::Arrow);
    EXPECT_EQ(ed.selection(), 1u);
    ed.set_tool(Tool::Rectangle);
    EXPECT_FALSE(ed.selection());

    // Only entering or leaving the Crop tool lays the stage out again.
    const std::size_t layouts = host.layouts.size();
    ed.set_tool(Tool::Ellipse);
    EXPECT_EQ(host.layouts.size(), layouts);
    ed.set_tool(Tool::Crop);
    ed.set_tool(Tool::Crop);
    ed.set_tool(Tool::Select);
    EXPECT_EQ(host.layouts.size(), layouts + 2);
}

TEST_F(EditorKeys, CommandKeysGoToTheFieldWhileTyping)
{
    EXPECT_EQ(ed.key_equivalent(chars("S", COMMAND | SHIFT)), KeyAction::SaveAs);
    EXPECT_EQ(ed.key_equivalent(chars("z", COMMAND)), KeyAction::Undo);
    EXPECT_EQ(ed.key_equivalent(chars("v", COMMAND)), KeyAction::None);
    EXPECT_EQ(ed.key_equivalent(chars("c")), KeyAction::None);
    EXPECT_EQ(ed.key_equivalent(chars("cc", COMMAND)), KeyAction::None);

    ed.set_tool(Tool::Text);
    ed.mouse_down(false, 1, ed.mapping().to_view({ 20, 20 }));
    ASSERT_TRUE(ed.text_edit());
    EXPECT_EQ(ed.key_equivalent(chars("v", COMMAND)), KeyAction::FieldPaste);
    EXPECT_EQ(ed.key_equivalent(chars("z", COMMAND | SHIFT)), KeyAction::FieldRedo);
    EXPECT_EQ(ed.key_equivalent(chars("s", COMMAND)), KeyAction::None);
}
