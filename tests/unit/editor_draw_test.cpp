// The editor's on-screen drawing: stage, crop overlay, selection, pills.
#include "editor/draw.h"

#include "../pure/editor_fake_host.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

namespace {

using editor::model::Tool;

QImage canvas(QColor fill)
{
    QImage image(1000, 600, QImage::Format_ARGB32_Premultiplied);
    image.fill(fill);
    return image;
}

QColor px(const QImage& image, double x, double y)
{
    return image.pixelColor(int(x), int(y));
}

bool whiteish(QColor c) { return c.red() > 220 && c.green() > 220 && c.blue() > 220; }

// An 800 × 400 picture at scale 1 in a 1000 × 600 stage: zoom 1, canvas at (100, 100).
struct Drawn {
    Drawn()
        : editor(editor::Editor::create(picture(), 1))
    {
        window.stage = { 1000, 600 };
        editor->attach_window(&window);
        editor->editing().relayout();
    }
    static QImage picture()
    {
        QImage image(800, 400, QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor(100, 100, 100));
        return image;
    }
    QImage overlay(QColor under = QColor(100, 100, 100))
    {
        QImage image = canvas(under);
        QPainter p(&image);
        editor::draw_overlay(*editor, p, QRectF(0, 0, 1000, 600));
        return image;
    }
    editor_test::FakeHost window;
    std::shared_ptr<editor::Editor> editor;
};

TEST(EditorDraw, CropOverlayDimsAroundTheCropWithGridBracketsAndPill)
{
    Drawn d;
    ASSERT_EQ(d.editor->editing().mapping().offset, (editor::model::Point { 100, 100 }));
    d.editor->editing().set_tool(Tool::Crop);
    {
        // No crop yet: only the hint, centred above the picture.
        const QImage shown = d.overlay();
        EXPECT_EQ(px(shown, 500, 300), QColor(100, 100, 100));
        int pill = 0;
        for (int x = 300; x < 700; ++x)
            pill += px(shown, x, 72).red() < 60; // the capsule's top, above its text
        EXPECT_GT(pill, 100);
    }
    d.editor->editing().mouse_down(false, 1, { 200, 200 });
    d.editor->editing().mouse_dragged(false, { 500, 400 });
    d.editor->editing().mouse_up();
    ASSERT_TRUE(d.editor->editing().crop_edit());
    const QImage shown = d.overlay();
    // R = (200, 200, 300, 200) in view points; arms 18 points long.
    EXPECT_NEAR(px(shown, 150, 300).red(), 45, 1);  // outside the crop: 45 %
    EXPECT_NEAR(px(shown, 880, 480).red(), 45, 1);
    EXPECT_EQ(px(shown, 50, 50), QColor(100, 100, 100)); // outside the picture: untouched
    EXPECT_EQ(px(shown, 250, 250), QColor(100, 100, 100)); // inside, off the lines
    EXPECT_GT(px(shown, 299, 250).red(), 115);              // a thirds line at x = 300
    EXPECT_GT(px(shown, 300, 250).red(), 115);
    EXPECT_TRUE(whiteish(px(shown, 200, 300)));             // the border
    EXPECT_TRUE(whiteish(px(shown, 198.5, 210)));           // a bracket arm outside the edge
    EXPECT_NEAR(px(shown, 198.5, 225).red(), 45, 1);        // past the arm: dimmed
    // The size pill sits 8 points above the crop.
    int pill = 0;
    for (int x = 250; x < 450; ++x)
        pill += px(shown, x, 180).red() < 40;
    EXPECT_GT(pill, 50);
}

TEST(EditorDraw, PillGeometryAndTexts)
{
    const QRectF above = editor::pill_frame({ 100, 14 }, { 200, 200, 300, 100 });
    EXPECT_EQ(above, QRectF(290, 170, 120, 22));
    // No room above: inside the anchor, 8 points below its top.
    EXPECT_EQ(editor::pill_frame({ 100, 14 }, { 0, 2, 300, 100 }), QRectF(90, 10, 120, 22));
    EXPECT_EQ(editor::corner_arm({ 0, 0, 20, 100 }), 10);
    EXPECT_EQ(editor::corner_arm({ 0, 0, 200, 100 }), 18);
    EXPECT_EQ(editor::crop_hint(640.4, 479.5), QString("640 × 480   ·   Intro aplica · Esc cancela"));
    EXPECT_EQ(editor::pill_font().pixelSize(), 12);
}

TEST(EditorDraw, SelectedCounterShowsAnOutlineAndAnArrowOnlyItsHandles)
{
    Drawn d;
    auto& e = d.editor->editing();
    e.set_tool(Tool::Counter);
    e.mouse_down(false, 1, { 300, 300 }); // image (200, 200)
    e.mouse_up();
    ASSERT_TRUE(e.selection());
    QImage shown = d.overlay(Qt::transparent);
    // Radius 15, bounds grown by 6, shrunk by 4: the outline 2 outside the disc.
    EXPECT_GT(std::max(px(shown, 300, 282).alpha(), px(shown, 300, 283).alpha()), 100);
    EXPECT_EQ(px(shown, 300, 279).alpha(), 0);
    EXPECT_GT(std::max(px(shown, 283, 300).alpha(), px(shown, 282, 300).alpha()), 100);
    EXPECT_EQ(px(shown, 279, 300).alpha(), 0);
    // No handles: nothing white at the outline's corners.
    EXPECT_FALSE(whiteish(px(shown, 283, 283)) && px(shown, 281, 281).alpha() > 200);

    e.set_tool(Tool::Arrow);
    e.mouse_down(false, 1, { 150, 450 });
    e.mouse_dragged(false, { 350, 420 });
    e.mouse_up();
    shown = d.overlay(Qt::transparent);
    const QColor centre = px(shown, 150, 450), ring = px(shown, 155, 450);
    EXPECT_TRUE(whiteish(centre));
    EXPECT_GT(ring.blue(), 150);
    EXPECT_LT(ring.red(), 120);
    // No outline on the arrow's box corner.
    EXPECT_EQ(px(shown, 350, 451).alpha(), 0);
}

TEST(EditorDraw, FramedStageIsCachedPerLayoutAndAnnotationsAreClippedRound)
{
    Drawn d;
    auto& e = d.editor->editing();
    e.set_background(true);
    e.relayout();
    editor::StageCache cache;
    QImage stage = canvas(Qt::transparent);
    {
        QPainter p(&stage);
        editor::draw_stage(*d.editor, p, QRectF(0, 0, 1000, 600), cache);
    }
    EXPECT_EQ(px(stage, 2, 2).rgb(), qRgb(30, 30, 33));
    const editor::ViewMapping& m = e.mapping();
    const QPointF src(m.offset.x + (0 - m.canvas.x) * m.zoom, m.offset.y + (0 - m.canvas.y) * m.zoom);
    EXPECT_EQ(px(stage, src.x() + 50, src.y() + 50), QColor(100, 100, 100));
    const qint64 key = cache.image.cacheKey();
    {
        QPainter p(&stage);
        editor::draw_stage(*d.editor, p, QRectF(0, 0, 300, 300), cache);
    }
    EXPECT_EQ(cache.image.cacheKey(), key);
    d.window.stage = { 900, 500 };
    e.relayout();
    {
        QPainter p(&stage);
        editor::draw_stage(*d.editor, p, QRectF(0, 0, 1000, 600), cache);
    }
    EXPECT_NE(cache.image.cacheKey(), key);

    // A filled rectangle over the whole picture: round corners with the frame, square in the Crop tool.
    e.set_tool(Tool::FilledRectangle);
    const editor::ViewMapping& now = e.mapping();
    const auto view = [&](double x, double y) { return now.to_view({ x, y }); };
    e.mouse_down(false, 1, view(-20, -20));
    e.mouse_dragged(false, view(820, 420));
    e.mouse_up();
    const editor::model::Point corner = view(0.3, 0.3);
    EXPECT_EQ(px(d.overlay(Qt::transparent), corner.x, corner.y).alpha(), 0);
    e.set_tool(Tool::Crop);
    const editor::model::Point square = e.mapping().to_view({ 0.3, 0.3 });
    EXPECT_EQ(px(d.overlay(Qt::transparent), square.x, square.y).alpha(), 255);
}

// Annotations drawn on screen are composited from their finished pictures:
// a repaint from them, or of a dirty part alone, gives the very pixels a
// fresh whole repaint gives; a changed or deleted annotation is not shown stale.
TEST(EditorDraw, RepaintsFromFinishedPicturesMatchAFreshDrawing)
{
    Drawn d;
    auto& e = d.editor->editing();
    const auto drag = [&](Tool tool, int colour, editor::model::Point a, editor::model::Point b) {
        e.set_tool(tool);
        e.set_color(colour);
        e.mouse_down(false, 1, d.editor->editing().mapping().to_view(a));
        e.mouse_dragged(false, d.editor->editing().mapping().to_view(b));
        e.mouse_up();
    };
    drag(Tool::FilledRectangle, 1, { 100, 100 }, { 300, 200 });
    drag(Tool::Arrow, 4, { 400, 50 }, { 600, 300 });
    drag(Tool::Counter, 5, { 700, 300 }, { 700, 300 });
    const QImage fresh = d.overlay(Qt::transparent);
    EXPECT_EQ(d.editor->sprites().size(), 3u);
    EXPECT_EQ(d.overlay(Qt::transparent), fresh);

    // A dirty strip cutting the filled rectangle, drawn with nothing cached:
    // its shadow under the cut is the whole rectangle's, not the strip's.
    d.editor->sprites().clear();
    QImage part = canvas(Qt::transparent);
    const QRect strip(300, 0, 250, 600); // view x 300 is image x 200 at zoom 1
    {
        QPainter p(&part);
        editor::draw_overlay(*d.editor, p, QRectF(strip));
    }
    EXPECT_EQ(part.copy(strip), fresh.copy(strip));
    EXPECT_EQ(d.overlay(Qt::transparent), fresh);

    // The counter (selected) recoloured: drawn anew, as a fresh editor draws it.
    e.set_color(2);
    const QImage recoloured = d.overlay(Qt::transparent);
    EXPECT_NE(recoloured, fresh);
    d.editor->sprites().clear();
    EXPECT_EQ(d.overlay(Qt::transparent), recoloured);

    // Deleting drops its pictures.
    e.delete_selected();
    EXPECT_EQ(d.editor->sprites().size(), 2u);
}

} // namespace
