// Pinned captures on the real X server, driven with xdotool as a user would;
// results read with xclip and xprop.
#include "cards/pin.h"

#include "cards/quick_access.h"

#include "platform/panels.h"
#include "platform/screens.h"

#include <fmt/format.h>
#include "qt_wait.h"
#include "x_tools.h"

#include <QApplication>
#include <QImage>
#include <QScreen>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

using testing_support::pump_for;
using testing_support::run_serving;
using testing_support::wait_until;

namespace {

QImage picture()
{
    QImage image(320, 200, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(200, 40, 40));
    QPainter p(&image);
    p.fillRect(0, 0, 160, 100, QColor(40, 200, 40));
    return image;
}

void xdotool(const QStringList& args)
{
    run_serving("xdotool", args);
}

QString id_of(const QWidget* w)
{
    return QString::number(w->winId());
}

// A plain window under the pins that counts the clicks it gets.
class Below final : public QWidget {
public:
    int clicks = 0;

protected:
    void mousePressEvent(QMouseEvent*) override { ++clicks; }
};

class DesktopPins : public ::testing::Test {
protected:
    void TearDown() override
    {
        QTimer::singleShot(0, [] { pin::close_all(); });
        pump_for(100);
    }
    // Pins the picture with the pointer at (x, y) and waits until it is
    // shown and has the keyboard.
    VistropePinPanel* make(int x = 400, int y = 300)
    {
        xdotool({ "mousemove", QString::number(x), QString::number(y) });
        pin::pin(picture(), 1.0);
        VistropePinPanel* panel = pin::pins().back();
        EXPECT_TRUE(wait_until([&] { return panel->isVisible() && QApplication::focusWidget() == panel->view(); }, 5000));
        pump_for(100);
        return panel;
    }
    QPoint centre(const QWidget* w) const { return w->geometry().center(); }
};

} // namespace

TEST_F(DesktopPins, CentredKeysCopyWheelAndOpacity)
{
    VistropePinPanel* panel = make();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_NEAR(centre(panel).x(), screen.center().x(), 1);
    EXPECT_NEAR(centre(panel).y(), screen.center().y(), 1);
    EXPECT_EQ(panel->size(), QSize(320, 200));

    // Ctrl+C leaves the capture on the clipboard as image/png.
    xdotool({ "key", "ctrl+c" });
    QImage copied;
    ASSERT_TRUE(wait_until([&] { return copied.loadFromData(testing_support::xclip_png(), "PNG"); }, 5000));
    EXPECT_EQ(copied.size(), QSize(320, 200));
    EXPECT_EQ(copied.pixelColor(10, 10), QColor(40, 200, 40));
    EXPECT_EQ(copied.pixelColor(300, 190), QColor(200, 40, 40));

    // Shift+Up moves it 10 points up.
    const QPoint at = panel->pos();
    xdotool({ "key", "shift+Up" });
    ASSERT_TRUE(wait_until([&] { return panel->pos() != at; }));
    EXPECT_EQ(panel->pos(), at + QPoint(0, -10));

    // "5" makes it half transparent for the compositor, "0" opaque again.
    xdotool({ "key", "5" });
    ASSERT_TRUE(wait_until([&] { return run_serving("xprop", { "-id", id_of(panel), "_NET_WM_WINDOW_OPACITY" }).contains("= 2"); }))
        << run_serving("xprop", { "-id", id_of(panel), "_NET_WM_WINDOW_OPACITY" }).toStdString();
    xdotool({ "key", "0" });
    ASSERT_TRUE(wait_until([&] { return run_serving("xprop", { "-id", id_of(panel), "_NET_WM_WINDOW_OPACITY" }).contains("= 4294967295"); }));

    // One wheel notch away from the user zooms in by 5 % about the centre.
    const QPoint c = centre(panel);
    xdotool({ "mousemove", QString::number(c.x()), QString::number(c.y()), "click", "4" });
    ASSERT_TRUE(wait_until([&] { return panel->width() == 336; })) << [] {
        std::string out;
        for (QWidget* w : platform::panels())
            if (w->isVisible())
                out += fmt::format("{} level {} at {},{} {}x{} opacity {}\n", w->metaObject()->className(), platform::panel_level(w), w->x(), w->y(), w->width(), w->height(), w->windowOpacity());
        return out;
    }();
    EXPECT_EQ(panel->height(), 210);
    EXPECT_NEAR(centre(panel).x(), c.x(), 1);
    EXPECT_NEAR(centre(panel).y(), c.y(), 1);
}

TEST_F(DesktopPins, LockDragEscapeAndDoubleClick)
{
    Below below;
    below.setGeometry(QGuiApplication::primaryScreen()->availableGeometry().adjusted(100, 100, -100, -100));
    below.show();
    ASSERT_TRUE(wait_until([&] { return below.isVisible(); }));
    pump_for(200);

    VistropePinPanel* first = make();
    // A drag anywhere on the pin moves it.
    const QPoint from = centre(first), at = first->pos();
    xdotool({ "mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1" });
    pump_for(100);
    for (int step = 1; step <= 6; ++step) {
        xdotool({ "mousemove", QString::number(from.x() + 10 * step), QString::number(from.y() + 20 * step / 3) });
        pump_for(60);
    }
    xdotool({ "mouseup", "1" });
    ASSERT_TRUE(wait_until([&] { return (first->pos() - at - QPoint(60, 40)).manhattanLength() <= 2; }))
        << first->pos().x() << "," << first->pos().y();

    // Locked, a click reaches the window below; unlocked, the pin takes it again.
    first->view()->lock();
    pump_for(100);
    const QPoint c = centre(first);
    xdotool({ "mousemove", QString::number(c.x()), QString::number(c.y()), "click", "1" });
    ASSERT_TRUE(wait_until([&] { return below.clicks == 1; })) << "the click did not pass through";
    pin::unlock_all();
    pump_for(100);
    xdotool({ "click", "1" });
    pump_for(300);
    EXPECT_EQ(below.clicks, 1);

    // Escape closes the key pin; a double click closes another.
    xdotool({ "key", "Escape" });
    ASSERT_TRUE(wait_until([] { return pin::pins().empty(); }));
    VistropePinPanel* second = make(500, 400);
    const QPoint c2 = centre(second);
    xdotool({ "mousemove", QString::number(c2.x()), QString::number(c2.y()), "click", "--repeat", "2", "--delay", "80", "1" });
    ASSERT_TRUE(wait_until([] { return pin::pins().empty(); }));
}

TEST_F(DesktopPins, PinsStandBelowTheCardsAndNeverExactlyOnEachOther)
{
    QImage blue(400, 300, QImage::Format_ARGB32_Premultiplied);
    blue.fill(QColor(30, 60, 220));
    quick_access::show_card(blue, quick_access::CardKind::Image, std::nullopt, std::nullopt, std::nullopt, 1.0);
    ASSERT_FALSE(quick_access::cards().empty());
    VistropeQuickCard* card = quick_access::cards().back();
    ASSERT_TRUE(wait_until([&] { return card->isVisible(); }, 5000));
    pump_for(300);

    // "Fijar última captura" twice: the second pin steps clear of the first.
    VistropePinPanel* first = make();
    VistropePinPanel* second = make();
    EXPECT_EQ(second->geometry().topLeft() - first->geometry().topLeft(), QPoint(24, 24));
    pump_for(500);

    // Bottom to top, as the window manager stacks them: the card above both pins.
    const auto stacking = [] {
        const std::string out = run_serving("xprop", { "-root", "_NET_CLIENT_LIST_STACKING" }).toStdString();
        std::vector<unsigned long> ids;
        for (std::size_t at = out.find("0x"); at != std::string::npos; at = out.find("0x", at + 2))
            ids.push_back(std::stoul(out.substr(at), nullptr, 16));
        return ids;
    };
    const auto order = stacking();
    const auto place = [&](const QWidget* w) {
        const auto it = std::find(order.begin(), order.end(), static_cast<unsigned long>(w->winId()));
        return it == order.end() ? -1 : static_cast<int>(it - order.begin());
    };
    ASSERT_GE(place(card), 0) << run_serving("xprop", { "-root", "_NET_CLIENT_LIST_STACKING" }).toStdString();
    EXPECT_GT(place(card), place(first));
    EXPECT_GT(place(card), place(second));
    EXPECT_GT(place(second), place(first)) << "the new pin above the older one";
    QTimer::singleShot(0, [card] { card->close(); });
    pump_for(300);
}
