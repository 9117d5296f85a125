#include "qt_wait.h"
#include "ui/hud.h"
#include "cards/card_layout.h"
#include "platform/symbols.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <cmath>

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

} // namespace

TEST(ToastGeometry, LayoutRoundsLikeThePlatform)
{
    const auto l = hud::toast_layout(100.2, 16.0);
    EXPECT_EQ(l.label, (platform::RectF { 42, 12, 101, 16 }));
    EXPECT_EQ(l.width, 159); // ceil(100.2 + 58)
    // A half rounds away from zero.
    EXPECT_EQ(hud::toast_layout(10, 15).label.y, 13); // (40 - 15) / 2 = 12.5
}

TEST(ToastGeometry, PlacementNearThePointer)
{
    const platform::RectF frame { 0, 0, 1920, 1056 };
    // Below the pointer, centred.
    EXPECT_EQ(hud::toast_origin(960, 500, frame, 200), (platform::PointF { 860, 432 }));
    // Near the bottom edge: above the pointer.
    EXPECT_EQ(hud::toast_origin(960, 60, frame, 200), (platform::PointF { 860, 88 }));
    // Near the left and right edges: 8 points inside.
    EXPECT_EQ(hud::toast_origin(10, 500, frame, 200).x, 8);
    EXPECT_EQ(hud::toast_origin(1915, 500, frame, 200).x, 1920 - 200 - 8);
    // No screen under the pointer: a frame around it.
    EXPECT_EQ(hud::toast_origin(5000, 5000, std::nullopt, 200), (platform::PointF { 4900, 4932 }));
    // Halves round away from zero.
    EXPECT_EQ(hud::toast_origin(960.5, 500.5, frame, 201), (platform::PointF { 860, 433 }));
}

// Over a stack of cards, wherever the pointer stands on a button, the toast
// covers no card and stays inside the visible frame; away from the cards it
// stands where it always did.
TEST(ToastGeometry, PlacementClearOfTheCards)
{
    const platform::RectF frame { 0, 40, 1366, 728 }; // a panel along the bottom
    const std::vector<double> heights { 116, 200, 96, 134 };
    const std::vector<platform::RectF> cards = quick_access::stack(frame, heights);
    const auto overlaps = [](const platform::RectF& a, const platform::RectF& b) {
        return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
    };
    for (const double width : { 120.0, 260.0, 520.0 }) {
        int tried = 0;
        for (const platform::RectF& card : cards)
            for (const auto& button : quick_access::buttons(quick_access::CardKind::Image, card.h)) {
                // The button's centre in global points (its frame is top-left inside the card).
                const double mx = card.x + button.frame.x + button.frame.w / 2;
                const double my = card.y + card.h - button.frame.y - button.frame.h / 2;
                const platform::PointF o = hud::toast_origin(mx, my, frame, width, cards);
                const platform::RectF toast { o.x, o.y, width, 40 };
                for (const platform::RectF& other : cards)
                    EXPECT_FALSE(overlaps(toast, other)) << "width " << width << ", pointer at " << mx << "," << my;
                EXPECT_GE(toast.x, frame.x + 8);
                EXPECT_LE(toast.x + toast.w, frame.x + frame.w - 8);
                EXPECT_GE(toast.y, frame.y + 8);
                EXPECT_LE(toast.y + toast.h, frame.y + frame.h - 8);
                // Near the pointer still: at most a card's width away (beside
                // the cards' column), not across the screen.
                const double dx = std::max({ toast.x - mx, mx - (toast.x + toast.w), 0.0 });
                const double dy = std::max({ toast.y - my, my - (toast.y + toast.h), 0.0 });
                EXPECT_LE(std::hypot(dx, dy), quick_access::CARD_WIDTH + 8) << "width " << width << ", pointer at " << mx << "," << my;
                ++tried;
            }
        EXPECT_EQ(tried, 20);
    }
    // The pointer just above the top card: under it would cover the card, so
    // the toast goes over the pointer, its nearest clear place.
    const platform::RectF top = cards.back();
    const platform::PointF o = hud::toast_origin(100, top.y + top.h + 20, frame, 200, cards);
    EXPECT_EQ(o, (platform::PointF { 8, top.y + top.h + 20 + 28 }));
    // Away from the cards, the cards change nothing.
    EXPECT_EQ(hud::toast_origin(960, 500, frame, 200, cards), hud::toast_origin(960, 500, frame, 200));
    EXPECT_EQ(hud::toast_origin(960, 500, frame, 200, cards), (platform::PointF { 860, 432 }));
    // Nowhere clear (a card over the whole frame): the usual place.
    EXPECT_EQ(hud::toast_origin(960, 500, frame, 200, { frame }), (platform::PointF { 860, 432 }));
}

TEST(ToastGeometry, UnknownSymbolGivesNoImage)
{
    EXPECT_FALSE(platform::symbols::glyph("no.such.symbol"));
    EXPECT_TRUE(platform::symbols::glyph("timer"));
    EXPECT_TRUE(platform::symbols::image("no.such.symbol", 18, Qt::white).isNull());
    // The same layout with or without a symbol.
    QWidget* a = hud::prepare_toast("timer", "Captura en 5 s");
    const int with_symbol = a->width();
    QWidget* b = hud::prepare_toast("no.such.symbol", "Captura en 5 s");
    EXPECT_EQ(b->width(), with_symbol);
}

TEST(Toast, ANewerToastOutlivesTheOlderTimer)
{
    struct Release {
        ~Release() { hud::hold_time_for_tests(std::nullopt); }
    } release;
    hud::hold_time_for_tests(0);
    hud::toast("timer", "primero", 0.4);
    QWidget* view = hud::prepare_toast("timer", "primero");
    const unsigned long first = hud::toast_generation();
    EXPECT_TRUE(view->isVisible());
    hud::hold_time_for_tests(0.25);
    hud::toast("checkmark.circle", "segundo", 2.0);
    EXPECT_EQ(hud::toast_generation(), first + 1);
    // The first toast's timer (0.4 s) and its removal (0.3 s later) pass:
    // nothing changes, and the second is not fading (it can be kept, here
    // until 2.25).
    hud::hold_time_for_tests(2.2);
    EXPECT_TRUE(view->isVisible());
    EXPECT_DOUBLE_EQ(view->windowOpacity(), 1.0);
    EXPECT_TRUE(hud::keep_toast(first + 1, 0.05));
    // It fades at its time (and can no longer be kept), and goes 0.3 s later.
    hud::hold_time_for_tests(2.25);
    EXPECT_TRUE(view->isVisible());
    EXPECT_FALSE(hud::keep_toast(first + 1, 1.0));
    hud::hold_time_for_tests(2.55);
    EXPECT_FALSE(view->isVisible());
}
