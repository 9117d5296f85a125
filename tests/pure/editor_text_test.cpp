#include "editor/editing.h"
#include "editor_fake_host.h"

#include <gtest/gtest.h>

using namespace editor;
using namespace editor_test;
using model::Tool;

namespace {

struct EditorText : ::testing::Test {
    FakeHost host;
    Editing ed { host, 400, 300, 2.0 };

    void SetUp() override
    {
        ed.relayout(); // zoom 0.5, canvas at (400, 325)
        ed.set_tool(Tool::Text);
    }
    void press(Point image, int clicks = 1) { ed.mouse_down(false, clicks, ed.mapping().to_view(image)); }
    // Types a new text at an image point and commits it.
    void type_at(Point image, std::string text)
    {
        press(image);
        host.field_text = std::move(text);
        ed.commit_text();
    }
    const model::Text& text(std::size_t i = 0) const { return std::get<model::Text>(ed.doc().annotations.at(i).geom); }
};

} // namespace

TEST(EditorTrim, TrailingUnicodeWhiteSpaceGoesLeadingStays)
{
    EXPECT_EQ(trim_trailing_space("  hola  "), "  hola");
    EXPECT_EQ(trim_trailing_space("hola\u00A0\u3000\t\n "), "hola");
    EXPECT_EQ(trim_trailing_space("a\u2028\u205F\u0085"), "a");
    EXPECT_EQ(trim_trailing_space("año\u200B"), "año\u200B"); // a zero-width space is no white space
    EXPECT_EQ(trim_trailing_space("dos\nlíneas \n"), "dos\nlíneas");
    EXPECT_EQ(trim_trailing_space(" \u00A0 "), "");
    EXPECT_EQ(trim_trailing_space(""), "");
    EXPECT_EQ(trim_trailing_space("ab\xC3"), "ab\xC3"); // a cut-off sequence is kept, not read past
}

TEST_F(EditorText, CommitStoresTheMeasuredTextAsOneStep)
{
    type_at({ 20, 20 }, "  hola\u3000 ");
    ASSERT_EQ(ed.doc().annotations.size(), 1u);
    const auto& a = ed.doc().annotations[0];
    EXPECT_EQ(a.kind, 6);
    EXPECT_EQ(text().text, "  hola");
    EXPECT_EQ(text().origin, (Point { 20, 20 }));
    EXPECT_EQ(text().wrap_width, 400 - 20 - 30); // image width − x − f / 2 with f = 60
    EXPECT_NEAR(text().size.w, 0.6 * 60 * 6, 1e-9);
    EXPECT_NEAR(text().size.h, 1.2 * 60, 1e-9);
    EXPECT_EQ(ed.selection(), a.id);
    EXPECT_EQ(ed.undo_stack().size(), 1u);
    EXPECT_FALSE(host.field_open);
    EXPECT_FALSE(ed.text_edit());
}

TEST_F(EditorText, BlankTextAddsNothingAndDeletesAnExistingOne)
{
    type_at({ 20, 20 }, " \u00A0 ");
    EXPECT_TRUE(ed.doc().annotations.empty());
    EXPECT_TRUE(ed.undo_stack().empty());

    type_at({ 20, 20 }, "hola");
    ASSERT_EQ(ed.undo_stack().size(), 1u);
    press({ 25, 25 }, 2);
    ASSERT_TRUE(ed.text_edit());
    EXPECT_EQ(host.field_text, "hola");
    host.field_text = "   ";
    ed.commit_text();
    EXPECT_TRUE(ed.doc().annotations.empty());
    EXPECT_EQ(ed.undo_stack().size(), 2u);
    ed.undo();
    EXPECT_EQ(text().text, "hola");
}

TEST_F(EditorText, ReopeningKeepsTheTextsOwnColourAndSize)
{
    ed.set_color(4);
    ed.set_size(2);
    type_at({ 20, 20 }, "azul");
    ed.key_down(KeyEvent { Key::Escape, "", 0 }); // deselect: the choices below leave it alone
    ed.set_color(0);
    ed.set_size(0);
    const std::size_t entries = ed.undo_stack().size();

    press({ 25, 25 }, 2);
    ASSERT_TRUE(ed.text_edit());
    EXPECT_EQ(ed.text_edit()->color, 4);
    EXPECT_EQ(ed.text_edit()->size, 2);
    EXPECT_TRUE(ed.text_edit()->existing);
    EXPECT_EQ(ed.editing_text_id(), 1u);
    EXPECT_EQ(host.field_color, model::PALETTE[4].color);
    EXPECT_EQ(host.field_frames.back().font_size, 44 * 2 * 0.5);
    host.field_text = "azul otra vez";
    ed.commit_text();
    ASSERT_EQ(ed.doc().annotations.size(), 1u);
    EXPECT_EQ(ed.doc().annotations[0].color, model::PALETTE[4].color);
    EXPECT_EQ(ed.doc().annotations[0].size, 2);
    EXPECT_EQ(text().text, "azul otra vez");
    EXPECT_EQ(ed.color(), 0);
    EXPECT_EQ(ed.size(), 0);
    EXPECT_EQ(host.last_controls().color, 0);
    EXPECT_EQ(ed.undo_stack().size(), entries + 1);
}

TEST_F(EditorText, AnUnknownColourKeepsTheCurrentOne)
{
    type_at({ 20, 20 }, "x");
    auto doc = ed.doc();
    doc.annotations[0].color = { 0.5, 0.5, 0.5 };
    ed.push_undo(doc);
    ed.undo(); // the grey document becomes current
    ed.set_color(3);
    ed.key_down(KeyEvent { Key::Escape, "", 0 });
    press({ 21, 21 }, 2);
    ASSERT_TRUE(ed.text_edit());
    EXPECT_EQ(ed.text_edit()->color, 3);
}

TEST_F(EditorText, WrapWidthNearTheRightEdgeIsFourFontSizes)
{
    FakeHost narrow_host;
    Editing narrow { narrow_host, 200, 100, 1.0 };
    narrow.set_tool(Tool::Text);
    narrow.mouse_down(false, 1, narrow.mapping().to_view({ 180, 10 }));
    ASSERT_TRUE(narrow.text_edit());
    EXPECT_EQ(narrow.text_edit()->wrap_width, 120);
}

TEST_F(EditorText, EscapeRestoresAnExistingTextUntouched)
{
    type_at({ 20, 20 }, "igual");
    const model::Doc before = ed.doc();
    const std::size_t entries = ed.undo_stack().size();
    press({ 25, 25 }, 2);
    host.field_text = "cambiado";
    host.invalidated.clear();
    ed.key_down(KeyEvent { Key::Escape, "", 0 });
    EXPECT_EQ(ed.doc(), before);
    EXPECT_EQ(ed.undo_stack().size(), entries);
    EXPECT_FALSE(host.field_open);
    EXPECT_FALSE(host.invalidated.empty()); // it shows again
    EXPECT_FALSE(ed.editing_text_id());
}

TEST_F(EditorText, FieldGrowsWithTheTextUpToTheWrapWidth)
{
    press({ 20, 20 });
    host.field_text = "abcd";
    ed.fit_text_field();
    // F = 30 × 2 × 0.5 = 30, inset 2.25; n = 144 px fits: max(72, 24) + 21 + 4.
    EXPECT_EQ(host.field_frames.back(), (TextFieldFrame { 30, { 410.25, 337.25, 97, 38 } }));
    host.field_text = std::string(20, 'w'); // 720 px: wraps at 350 px
    ed.fit_text_field();
    EXPECT_EQ(host.field_frames.back().frame.w, 350 * 0.5 + 4);

    // A new size and a new layout re-place the open field.
    const std::size_t placed = host.field_frames.size();
    ed.set_size(0);
    EXPECT_EQ(host.field_frames.back().font_size, 20);
    EXPECT_EQ(ed.text_edit()->size, 0);
    host.stage = { 2000, 1600 };
    ed.relayout();
    EXPECT_EQ(host.field_frames.size(), placed + 2);
    EXPECT_EQ(host.field_frames.back().frame.x, ed.mapping().offset.x + 20 * 0.5 + 20 * 2 * 0.075 * 0.5 - 2);

    // A colour chosen while typing recolours the field and the record.
    ed.set_color(5);
    EXPECT_EQ(host.field_color, model::PALETTE[5].color);
    EXPECT_EQ(ed.text_edit()->color, 5);
    EXPECT_TRUE(ed.undo_stack().empty());
}

TEST_F(EditorText, NothingOpensWithoutAWindow)
{
    host.window = false;
    ed.begin_text(false, 0, { 10, 10 });
    EXPECT_FALSE(ed.text_edit());
    EXPECT_EQ(host.fields_opened, 0);
}

TEST_F(EditorText, StatusLastsUntilItsOwnGenerationExpires)
{
    ed.set_status("Copiado al portapapeles");
    ed.set_status("Guardado");
    EXPECT_EQ(host.scheduled, (std::vector<std::uint64_t> { 1, 2 }));
    EXPECT_EQ(host.last_controls().status, "Guardado");
    ed.expire_status(1);
    EXPECT_EQ(host.last_controls().status, "Guardado");
    ed.expire_status(2);
    EXPECT_FALSE(ed.status());
    EXPECT_EQ(host.last_controls().status, "400 × 300 px");
}
