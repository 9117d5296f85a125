#include "record/video_editor_rules.h"

#include <gtest/gtest.h>

using namespace video_editor;

TEST(VideoEditorRules, LabelsRoundHalfAwayAndNeverRollMinutesIntoHours)
{
    EXPECT_EQ(full_label(42), "Video completo · 0:42");
    EXPECT_EQ(full_label(3725), "Video completo · 1:02:05");
    EXPECT_EQ(full_label(59.6), "Video completo · 1:00");
    EXPECT_EQ(full_label(3599.4), "Video completo · 59:59");
    EXPECT_EQ(full_label(3599.5), "Video completo · 1:00:00");
    EXPECT_EQ(full_label(-3), "Video completo · 0:00");
    EXPECT_EQ(range_label_text({ 1.04, 4.0 }), "0:01.0 – 0:04.0 · 3.0 s");
    // The length is what the ends say, not the range's own, rounded apart.
    EXPECT_EQ(range_label_text({ 2.36, 6.94 }), "0:02.4 – 0:06.9 · 4.5 s");
    EXPECT_EQ(range_label_text({ 0.04, 1.06 }), "0:00.0 – 0:01.1 · 1.1 s");
    EXPECT_EQ(time_text(3700), "61:40.0");
    EXPECT_EQ(time_text(59.96), "1:00.0");
    EXPECT_EQ(time_text(0.05), "0:00.1");
    EXPECT_EQ(time_text(-2), "0:00.0");
}

TEST(VideoEditorRules, OnlyACutOfMoreThanAFrameAtAnEndIsATrim)
{
    const double d = 10;
    EXPECT_FALSE(counts_as_trim({ 0.03, d - 0.02 }, d));
    EXPECT_FALSE(counts_as_trim({ 0, d }, d));
    EXPECT_TRUE(counts_as_trim({ 0.06, d }, d));
    EXPECT_TRUE(counts_as_trim({ 0, d - 0.06 }, d));
    // Past the end still counts when it starts late enough.
    EXPECT_TRUE(counts_as_trim({ 1.0, 4.0 }, 3.0));
}

TEST(VideoEditorRules, WindowFitsTheScreenTheBarAndAFloor)
{
    EXPECT_EQ(available_area(std::nullopt), (Size { 1152, 668 }));
    const Size screen = available_area(Size { 1920, 1080 });
    EXPECT_DOUBLE_EQ(screen.width, 1536);
    EXPECT_DOUBLE_EQ(screen.height, 812);
    // A 4K recording halves to 1920 × 1080, then shrinks to the area's height.
    EXPECT_EQ(window_size({ 3840, 2160 }, screen, 800), (Size { 1444, 864 }));
    // A small recording stands at half size, never magnified.
    EXPECT_EQ(window_size({ 1280, 720 }, screen, 800), (Size { 800, 412 }));
    // A very wide, small video: the bar's width and the 360 floor win.
    const Size wide = window_size({ 2400, 40 }, screen, 900);
    EXPECT_EQ(wide, (Size { 1200, 360 }));
    EXPECT_EQ(window_size({ 400, 60 }, screen, 900), (Size { 900, 360 }));
}

TEST(VideoEditorRules, BarStandsOnFittedWidthsAndFollowsTheRightEdge)
{
    std::array<Fitted, BAR_ITEMS> fitted {};
    fitted[Trim] = { 90.3, 30 };
    fitted[Reset] = { 60, 30 };
    fitted[Label] = { 150.2, 15 };
    fitted[Mute] = { 80, 20 };
    fitted[Resolution] = { 90, 25 };
    fitted[Gif] = { 110, 30 };
    fitted[Mp4] = { 120, 30 };
    const BarLayout bar = lay_out_bar(fitted);
    auto at = [&](BarItem i) { return std::array { bar.frames[i].x, bar.frames[i].y, bar.frames[i].width }; };
    EXPECT_EQ(at(Trim), (std::array { 14.0, 11.0, 91.0 }));
    EXPECT_EQ(at(Reset), (std::array { 113.0, 11.0, 60.0 }));
    EXPECT_EQ(at(Label), (std::array { 181.0, 18.0, 163.0 }));
    EXPECT_EQ(bar.frames[Label].height, 16);
    EXPECT_EQ(at(Mp4), (std::array { 1466.0, 11.0, 120.0 }));
    EXPECT_EQ(at(Gif), (std::array { 1348.0, 11.0, 110.0 }));
    EXPECT_EQ(at(Resolution), (std::array { 1250.0, 14.0, 90.0 })); // 13.5 rounds away from zero
    EXPECT_EQ(at(Mute), (std::array { 1162.0, 16.0, 80.0 }));
    EXPECT_EQ(bar.min_width, 798);

    EXPECT_EQ(place(bar, Trim, 900).x, 14);
    EXPECT_EQ(place(bar, Label, 900).x, 181);
    EXPECT_EQ(place(bar, Mp4, 900).right(), 900 - 14);
    EXPECT_EQ(place(bar, Mute, 900).x, 900 - 438);
    // At the narrowest bar the label and the checkbox stand 8 apart, plus 8 spare.
    EXPECT_EQ(place(bar, Mute, bar.min_width).x - place(bar, Label, bar.min_width).right(), 16);
}

TEST(VideoEditorRules, DebugFormsReadLikeTheSelfCheckPrintsThem)
{
    EXPECT_EQ(debug_range(Range { 1.0, 4.0 }), "Some((1.0, 4.0))");
    EXPECT_EQ(debug_range(Range { 1.5, 0.1 + 0.2 }), "Some((1.5, 0.30000000000000004))");
    EXPECT_EQ(debug_range(std::nullopt), "None");
    EXPECT_EQ(debug_names({}), "[]");
    EXPECT_EQ(debug_names({ "editor.png", "a \"b\".gif", "c\\d" }),
        "[\n    \"editor.png\",\n    \"a \\\"b\\\".gif\",\n    \"c\\\\d\",\n]");
}
