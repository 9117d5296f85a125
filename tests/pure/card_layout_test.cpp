#include "cards/card_layout.h"

#include <gtest/gtest.h>

#include <cmath>

using quick_access::Action;
using quick_access::CardKind;

TEST(CardLayout, HeightFollowsTheAspectWithinBounds)
{
    EXPECT_EQ(quick_access::card_height(3000, 100), 96);
    EXPECT_EQ(quick_access::card_height(100, 3000), 200);
    EXPECT_EQ(quick_access::card_height(0, 0), 96);     // no division by zero
    EXPECT_EQ(quick_access::card_height(1000, 503), 117); // 116.696 rounds up
    EXPECT_EQ(quick_access::card_height(1000, 500), 116);
}

TEST(CardLayout, ButtonsPerKindAndTheirFramesFlipped)
{
    auto actions = [](CardKind kind) {
        std::vector<Action> out;
        for (const auto& b : quick_access::buttons(kind, 150))
            out.push_back(b.action);
        return out;
    };
    EXPECT_EQ(actions(CardKind::Image), (std::vector { Action::Copy, Action::Save, Action::Close, Action::Edit, Action::Pin }));
    EXPECT_EQ(actions(CardKind::Video), (std::vector { Action::Copy, Action::Save, Action::Gif, Action::Close, Action::Edit }));
    EXPECT_EQ(actions(CardKind::Gif), (std::vector { Action::Copy, Action::Save, Action::Close }));

    const auto image = quick_access::buttons(CardKind::Image, 150);
    EXPECT_EQ(image[1].title, "Guardar");
    EXPECT_EQ(quick_access::buttons(CardKind::Gif, 150)[1].title, "Mostrar");
    // Close icon top-left, annotate top-right, pin bottom-right: 8 points in.
    EXPECT_EQ(image[2].frame, (platform::RectF { 8, 8, 22, 22 }));
    EXPECT_EQ(image[2].symbol, "xmark");
    EXPECT_EQ(image[3].frame, (platform::RectF { 202, 8, 22, 22 }));
    EXPECT_EQ(image[4].frame, (platform::RectF { 202, 150 - 8 - 22, 22, 22 }));
    // Pills centred vertically: 150 / 2 − 14 from the bottom is 61 from the top too.
    EXPECT_EQ(image[0].frame, (platform::RectF { 28, 61, 84, 28 }));
    const auto video = quick_access::buttons(CardKind::Video, 96);
    EXPECT_EQ(video[2].frame, (platform::RectF { 176, 96 - 8 - 24, 48, 24 }));
    EXPECT_EQ(video[2].description, "Convertir a GIF");
    EXPECT_EQ(video[4].symbol, "scissors");
}

TEST(CardLayout, DurationBadges)
{
    EXPECT_EQ(quick_access::duration_badge(59.6), "1:00");
    EXPECT_EQ(quick_access::duration_badge(3725), "1:02:05");
    EXPECT_EQ(quick_access::duration_badge(3599.4), "59:59");
    EXPECT_EQ(quick_access::duration_badge(0), "0:00");
    EXPECT_EQ(quick_access::duration_badge(std::nan("")), "0:00");
    EXPECT_EQ(quick_access::duration_badge(-5), "0:00");
    EXPECT_EQ(quick_access::duration_badge(INFINITY), "0:00");
}

TEST(CardLayout, DragThresholdAndClosingRules)
{
    EXPECT_FALSE(quick_access::drag_starts(3, 0));
    EXPECT_FALSE(quick_access::drag_starts(2.8, 2.8)); // 3.96 points
    EXPECT_TRUE(quick_access::drag_starts(4, 0));
    EXPECT_TRUE(quick_access::drag_starts(0, -4));

    for (Action a : { Action::Copy, Action::Pin, Action::Close })
        EXPECT_TRUE(quick_access::closes(a, false));
    EXPECT_FALSE(quick_access::closes(Action::Save, false));
    EXPECT_TRUE(quick_access::closes(Action::Save, true));
    EXPECT_FALSE(quick_access::closes(Action::Edit, false));
    EXPECT_TRUE(quick_access::closes(Action::Edit, true));
    EXPECT_FALSE(quick_access::closes(Action::Gif, false));
}

TEST(CardLayout, StackGrowsUpwardsFromTheCorner)
{
    const platform::RectF visible { 100, 40, 1820, 1000 };
    const auto frames = quick_access::stack(visible, { 96, 200, 117, 96, 150 });
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0], (platform::RectF { 118, 58, 232, 96 }));
    EXPECT_EQ(frames[1].y, 58 + 96 + 12);
    EXPECT_EQ(frames[4].y, 58 + 96 + 200 + 117 + 96 + 4 * 12);
}

// The card shows the part of a capture at least half opaque: a window's
// shadow margin (below half at its darkest) is left out; a picture with
// nothing half opaque is shown whole.
TEST(CardLayout, PicturePartLeavesAShadowMarginOut)
{
    const std::size_t w = 40, h = 30, stride = 4 * w + 8;
    std::vector<std::uint8_t> bytes(stride * h, 0);
    const auto alpha = [&](std::size_t x, std::size_t y) -> std::uint8_t& { return bytes[y * stride + 4 * x + 3]; };
    const imageops::View view { bytes, w, h, stride };
    EXPECT_EQ(quick_access::picture_part(view, 3), (imageops::Rect { 0, 0, w, h })) << "all transparent: whole";

    // A shadow all round at 115, as dark as ours gets, and darker below.
    for (std::size_t y = 2; y < h; ++y)
        for (std::size_t x = 2; x < w - 2; ++x)
            alpha(x, y) = 115;
    EXPECT_EQ(quick_access::picture_part(view, 3), (imageops::Rect { 0, 0, w, h })) << "shadow only: whole";
    // The window: opaque from (6, 5) to (33, 22), one corner rounded away.
    for (std::size_t y = 5; y <= 22; ++y)
        for (std::size_t x = 6; x <= 33; ++x)
            alpha(x, y) = 255;
    alpha(6, 5) = 40;
    EXPECT_EQ(quick_access::picture_part(view, 3), (imageops::Rect { 6, 5, 28, 18 }));
    // A half-opaque pixel counts as the picture.
    alpha(35, 24) = quick_access::PICTURE_MIN_ALPHA;
    EXPECT_EQ(quick_access::picture_part(view, 3), (imageops::Rect { 6, 5, 30, 20 }));
}
