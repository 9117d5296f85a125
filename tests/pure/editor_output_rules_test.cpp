#include "editor/output_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(EditorOutputRules, DragThumbnailIsAtMost160PointsAndNeverAboveActualSize)
{
    EXPECT_EQ(editor::drag_thumbnail(4000, 2000, 2), (editor::model::Size { 160, 80 }));
    EXPECT_EQ(editor::drag_thumbnail(100, 50, 1), (editor::model::Size { 100, 50 }));
    EXPECT_EQ(editor::drag_thumbnail(300, 100, 2), (editor::model::Size { 150, 50 })); // actual size at scale 2
    EXPECT_EQ(editor::drag_thumbnail(5000, 3, 1), (editor::model::Size { 160, 1 }));   // never below one point
    EXPECT_EQ(editor::drag_thumbnail(0, 0, 1), (editor::model::Size { 1, 1 }));
}

TEST(EditorOutputRules, SaveAsAddsPngOnlyWhenThereIsNoExtension)
{
    EXPECT_EQ(editor::with_png_extension("/tmp/captura"), "/tmp/captura.png");
    EXPECT_EQ(editor::with_png_extension("/tmp/captura.jpeg"), "/tmp/captura.jpeg");
    EXPECT_EQ(editor::with_png_extension("/tmp/a.b/captura"), "/tmp/a.b/captura.png");
    EXPECT_EQ(editor::with_png_extension("/tmp/captura.png"), "/tmp/captura.png");
}

} // namespace
