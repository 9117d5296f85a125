#include "editor/layout.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace editor;
using model::Doc;
using model::Point;
using model::Rect;
using model::Size;

TEST(EditorLayout, FitsCentresAndNeverMagnifiesPastActualSize)
{
    const Layout small = stage_layout({ 1000, 600 }, { 200, 100 }, Doc {}, false, 2);
    EXPECT_EQ(small.mapping.zoom, 0.5);
    EXPECT_EQ(small.mapping.offset, (Point { 450, 275 }));
    EXPECT_EQ(small.clip_frame, (Rect { 450, 275, 100, 50 }));
    EXPECT_EQ(small.corner_radius, 0);
    EXPECT_FALSE(small.image_hidden);

    const Layout big = stage_layout({ 1000, 600 }, { 4000, 3000 }, Doc {}, false, 1);
    EXPECT_NEAR(big.mapping.zoom, 544.0 / 3000, 1e-12);
    EXPECT_EQ(big.mapping.offset, (Point { 137, 28 }));
    const Point back = big.mapping.to_image(big.mapping.to_view(Point { 1234, 567 }));
    EXPECT_NEAR(back.x, 1234, 1e-9);
    EXPECT_NEAR(back.y, 567, 1e-9);
}

TEST(EditorLayout, FrameAndCropShapeTheCanvas)
{
    Doc doc;
    doc.background = true;
    doc.crop = Rect { 100, 50, 200, 100 };
    const Layout framed = stage_layout({ 1000, 800 }, { 400, 300 }, doc, false, 1);
    EXPECT_EQ(framed.mapping.source, (Rect { 100, 50, 200, 100 }));
    EXPECT_EQ(framed.mapping.canvas, (Rect { 80, 30, 240, 140 })); // m = 20
    EXPECT_EQ(framed.mapping.zoom, 1);
    EXPECT_EQ(framed.mapping.offset, (Point { 380, 330 }));
    EXPECT_EQ(framed.clip_frame, (Rect { 400, 350, 200, 100 }));
    EXPECT_EQ(framed.image_frame, (Rect { -100, -50, 400, 300 }));
    EXPECT_EQ(framed.corner_radius, 10);
    EXPECT_TRUE(framed.image_hidden);

    // The Crop tool shows the whole image, without the frame, square.
    const Layout cropping = stage_layout({ 1000, 800 }, { 400, 300 }, doc, true, 1);
    EXPECT_EQ(cropping.mapping.source, (Rect { 0, 0, 400, 300 }));
    EXPECT_EQ(cropping.mapping.canvas, cropping.mapping.source);
    EXPECT_EQ(cropping.corner_radius, 0);
    EXPECT_FALSE(cropping.image_hidden);
}

TEST(EditorLayout, DegenerateStagesAndCanvasesStayFinite)
{
    const Layout empty = stage_layout({ 1000, 600 }, { 0, 0 }, Doc {}, false, 1);
    EXPECT_EQ(empty.mapping.zoom, 1);
    EXPECT_EQ(empty.mapping.offset, (Point { 500, 300 }));
    const Layout thin = stage_layout({ 1000, 600 }, { 0, 300 }, Doc {}, false, 1);
    EXPECT_TRUE(std::isfinite(thin.mapping.zoom));

    const Layout tiny = stage_layout({ 40, 30 }, { 400, 300 }, Doc {}, false, 1);
    EXPECT_EQ(tiny.mapping.zoom, 0.01);
    EXPECT_EQ(tiny.mapping.offset, (Point { 18, 14 })); // (40 − 4) / 2, (30 − 3) / 2 = 13.5 rounded away from zero
    const Layout nan_scale = stage_layout({ 1000, 600 }, { 200, 100 }, Doc {}, false, std::nan(""));
    EXPECT_EQ(nan_scale.mapping.zoom, 2); // scale 0.5
}

TEST(EditorLayout, WindowContentSize)
{
    EXPECT_EQ(window_content_size({ 4000, 3000 }, 2, 600, Size { 1440, 900 }), (Size { 1296, 810 }));
    EXPECT_EQ(window_content_size({ 100, 50 }, 1, 600, Size { 1440, 900 }), (Size { 640, 420 }));
    EXPECT_EQ(window_content_size({ 100, 50 }, 1, 700, Size { 1440, 900 }), (Size { 700, 420 }));
    EXPECT_EQ(window_min_width(700), 700);
    EXPECT_EQ(window_content_size({ 800, 500 }, 1, 600, std::nullopt), (Size { 856, 652 }));
    // A toolbar wider than 90 % of a small screen still fits.
    EXPECT_EQ(window_content_size({ 4000, 3000 }, 1, 900, Size { 800, 400 }), (Size { 900, 420 }));
    // Scales of 0 and NaN are taken as 0.5, not as infinite or undefined sizes.
    EXPECT_EQ(window_content_size({ 200, 100 }, 0, 600, Size { 1440, 900 }), (Size { 640, 420 }));
    EXPECT_EQ(window_content_size({ 400, 200 }, std::nan(""), 600, Size { 1440, 900 }), (Size { 856, 552 }));
}

TEST(EditorLayout, TheWindowOpensClearOfTheCardsWhereThereIsRoom)
{
    const Rect screen { 0, 30, 1920, 1050 };
    const std::vector<Rect> cards { { 18, 700, 232, 150 }, { 18, 862, 232, 200 } };
    // Centred already clear of them: unchanged.
    EXPECT_EQ(window_frame(screen, { 640, 420 }, 600, cards), (Rect { 640, 345, 640, 420 }));
    // Wide: beside the cards, narrowed to the band right of them.
    EXPECT_EQ(window_frame(screen, { 1728, 945 }, 600, cards), (Rect { 262, 82.5, 1658, 945 }));
    // Fits the band: centred in it.
    EXPECT_EQ(window_frame(screen, { 1500, 600 }, 600, cards), (Rect { 341, 255, 1500, 600 }));
    // No band wide enough for the toolbar, cards elsewhere or none: centred.
    EXPECT_EQ(window_frame(screen, { 1728, 945 }, 1700, cards), (Rect { 96, 82.5, 1728, 945 }));
    EXPECT_EQ(window_frame(screen, { 1728, 945 }, 600, { { 1938, 700, 232, 150 } }), (Rect { 96, 82.5, 1728, 945 }));
    EXPECT_EQ(window_frame(screen, { 1728, 945 }, 600, {}), (Rect { 96, 82.5, 1728, 945 }));
    // Cards on the right side push it left.
    EXPECT_EQ(window_frame(screen, { 1728, 945 }, 600, { { 1670, 700, 232, 150 } }), (Rect { 0, 82.5, 1658, 945 }));
}
