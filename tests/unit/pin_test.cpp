// Pinned captures on Qt's offscreen platform: the list of pins, their keys,
// wheel and lock, and saving where nothing can be written.
#include "cards/pin.h"

#include "base/config.h"
#include "base/state.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QKeyEvent>
#include <QPointer>
#include <QTimer>
#include <QWheelEvent>
#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;
using testing_support::pump_for;
using testing_support::wait_until;

namespace {

QImage picture(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(30, 120, 200));
    return image;
}

void press(QWidget* target, int key, Qt::KeyboardModifiers mods, const QString& text)
{
    QKeyEvent event(QEvent::KeyPress, key, mods, text);
    QCoreApplication::sendEvent(target, &event);
}

class Pins : public ::testing::Test {
protected:
    void SetUp() override { pin::close_all(); }
    void TearDown() override
    {
        QTimer::singleShot(0, [] { pin::close_all(); });
        pump_for(50); // the deferred deletes
    }
    VistropePinView* make(int w = 400, int h = 300)
    {
        pin::pin(picture(w, h), 1.0);
        return pin::pins().empty() ? nullptr : pin::pins().back()->view();
    }
};

} // namespace

TEST_F(Pins, CloseAllEmptiesTheListAndClosingOneKeepsTheOthers)
{
    make();
    make();
    make();
    ASSERT_EQ(pin::pins().size(), 3u);
    std::vector<QPointer<VistropePinPanel>> all(pin::pins().begin(), pin::pins().end());

    // Escape closes the middle one only; the others keep their order.
    press(all[1]->view(), Qt::Key_Escape, Qt::NoModifier, QString());
    ASSERT_EQ(pin::pins().size(), 2u);
    EXPECT_EQ(pin::pins()[0], all[0].data());
    EXPECT_EQ(pin::pins()[1], all[2].data());
    EXPECT_FALSE(all[1]->isVisible());
    EXPECT_TRUE(wait_until([&] { return all[1].isNull(); })) << "a closed pin is deleted";

    // As the menus call it: from the event loop, where deferred deletes run.
    QTimer::singleShot(0, [] { pin::close_all(); });
    EXPECT_TRUE(wait_until([] { return pin::pins().empty(); }));
    EXPECT_TRUE(wait_until([&] { return all[0].isNull() && all[2].isNull(); }));

    // A later pin starts a new list.
    make();
    EXPECT_EQ(pin::pins().size(), 1u);
    // A null image makes none.
    pin::pin(QImage(), 2.0);
    EXPECT_EQ(pin::pins().size(), 1u);
}

TEST_F(Pins, KeysWheelAndLock)
{
    VistropePinView* view = make(400, 200);
    ASSERT_TRUE(view);
    QWidget* panel = view->window();
    EXPECT_EQ(panel->size(), QSize(400, 200));

    // Digits set the opacity; 0 restores it; with Ctrl nothing changes.
    press(view, Qt::Key_5, Qt::NoModifier, "5");
    EXPECT_NEAR(panel->windowOpacity(), 0.5, 1.0 / 255); // stored in eight bits
    press(view, Qt::Key_3, Qt::ControlModifier, "3");
    EXPECT_NEAR(panel->windowOpacity(), 0.5, 1.0 / 255);
    press(view, Qt::Key_0, Qt::NoModifier, "0");
    EXPECT_DOUBLE_EQ(panel->windowOpacity(), 1.0);

    // Shift+Up moves 10 points up, Left 1 point left.
    const QPoint at = panel->pos();
    press(view, Qt::Key_Up, Qt::ShiftModifier, QString());
    press(view, Qt::Key_Left, Qt::NoModifier, QString());
    EXPECT_EQ(panel->pos(), at + QPoint(-1, -10));
    EXPECT_EQ(panel->size(), QSize(400, 200));

    // One wheel notch away from the user zooms in by 5 % about the centre.
    const QPointF centre = QRectF(panel->geometry()).center();
    QWheelEvent wheel(QPointF(10, 10), QPointF(10, 10), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
        Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(view, &wheel);
    EXPECT_DOUBLE_EQ(view->record().zoom, 1.05);
    EXPECT_EQ(panel->size(), QSize(420, 210));
    EXPECT_NEAR(QRectF(panel->geometry()).center().x(), centre.x(), 1.0);
    EXPECT_NEAR(QRectF(panel->geometry()).center().y(), centre.y(), 1.0);
    // "-" zooms out, "+" in, both by 1.1; nothing goes past 4.
    press(view, Qt::Key_Minus, Qt::NoModifier, "-");
    EXPECT_NEAR(view->record().zoom, 1.05 / 1.1, 1e-12);
    for (int i = 0; i < 30; ++i)
        press(view, Qt::Key_Plus, Qt::ShiftModifier, "+");
    EXPECT_DOUBLE_EQ(view->record().zoom, 4.0);
    EXPECT_EQ(panel->size(), QSize(1600, 800));

    // A locked pin lets the mouse through until every pin is unlocked.
    view->lock();
    EXPECT_TRUE(panel->testAttribute(Qt::WA_TransparentForMouseEvents));
    pin::unlock_all();
    EXPECT_FALSE(panel->testAttribute(Qt::WA_TransparentForMouseEvents));
    EXPECT_FALSE(view->locked());
}

TEST_F(Pins, ASaveThatFailsIsLoggedAndThePinStays)
{
    testing_support::TempHome home;
    // A folder under a regular file cannot be made, not even by root.
    const fs::path blocked = home.path() / "un-archivo";
    testing_support::write_file(blocked, "x");
    auto cfg = std::make_shared<config::Config>(*state::config());
    cfg->save_dir = (blocked / "capturas").string();
    state::set_config(cfg);

    VistropePinView* view = make();
    ASSERT_TRUE(view);
    testing::internal::CaptureStderr();
    press(view, Qt::Key_S, Qt::ControlModifier, QString(QChar(0x13)));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no pude guardar: "), std::string::npos) << err;
    EXPECT_EQ(pin::pins().size(), 1u);
    EXPECT_TRUE(view->window()->isVisible());
    state::set_config(std::make_shared<config::Config>());
}
