#include "qt_wait.h"
#include "ui/hud.h"
#include "platform/symbols.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QWidget>
#include <gtest/gtest.h>

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
    hud::toast("timer", "primero", 0.4);
    QWidget* view = hud::prepare_toast("timer", "primero");
    const unsigned long first = hud::toast_generation();
    EXPECT_TRUE(view->isVisible());
    pump_for(250);
    hud::toast("checkmark.circle", "segundo", 2.0); // long enough for a busy machine's slow turns
    EXPECT_EQ(hud::toast_generation(), first + 1);
    // The first toast's timer (0.4 s) and its removal (0.3 s later) pass: nothing changes.
    pump_for(550);
    EXPECT_TRUE(view->isVisible());
    EXPECT_DOUBLE_EQ(view->windowOpacity(), 1.0);
    // The second one fades and goes after its own time.
    EXPECT_SOON(!view->isVisible());
}
