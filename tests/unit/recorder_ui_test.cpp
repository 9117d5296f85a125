// The recording controls: where the capsule goes, how it is laid out, and
// what a press on it does.
#include "base/config.h"
#include "base/state.h"
#include "record/recorder_ui.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMouseEvent>
#include <QSystemTrayIcon>

using namespace recorder;

namespace {

const platform::RectF VISIBLE { 0, 0, 1440, 875 };

platform::PointF place(const platform::RectF& area, double cw = 200, double ch = 36)
{
    return capsule_origin(area, outline_frame(area), VISIBLE, cw, ch, true);
}

TEST(RecorderUi, TheCapsuleSitsBelowAboveOrInsideTheRegion)
{
    // Room below: 12 points under the outline, centred.
    auto p = place({ 400, 300, 640, 400 });
    EXPECT_EQ(p.x, std::round(720 - 100.0));
    EXPECT_EQ(p.y, 296 - 12 - 36);
    // At the bottom of the screen: 12 points above it.
    p = place({ 400, 10, 640, 400 });
    EXPECT_EQ(p.y, 6 + 408 + 12);
    // Filling the visible frame: 24 points above its bottom edge, inside it.
    p = place(VISIBLE);
    EXPECT_EQ(p.y, 24);
    // Near the left edge: 8 points from the visible frame.
    p = place({ 2, 300, 50, 50 });
    EXPECT_EQ(p.x, 8);
    // Near the right edge, and a capsule wider than the frame stays at its left.
    EXPECT_EQ(place({ 1400, 300, 40, 40 }).x, 1440 - 200 - 8);
    EXPECT_EQ(place({ 100, 300, 40, 40 }, 2000).x, 8);
    // A whole display: centred on it, 24 points over the visible bottom.
    p = capsule_origin({ 0, 0, 1440, 900 }, outline_frame({ 0, 0, 1440, 900 }), { 0, 25, 1440, 850 }, 201, 36, false);
    EXPECT_EQ(p.x, std::round(619.5));
    EXPECT_EQ(p.y, 49);
}

TEST(RecorderUi, TheCapsuleIsLaidOutFromItsLabels)
{
    // A narrow time label is raised to 40 points.
    auto l = capsule_layout(33.2, 16, 48.3, 16);
    EXPECT_EQ(l.time.x, 32);
    EXPECT_EQ(l.time.w, 54);
    EXPECT_EQ(l.separator.x, 84);
    EXPECT_EQ(l.button.x, 91);
    EXPECT_EQ(l.button.w, 90);
    EXPECT_EQ(l.button.y, 4);
    EXPECT_EQ(l.button.h, 28);
    EXPECT_EQ(l.width, 91 + 90 + 4);
    EXPECT_EQ(l.stop_label.w, 49);
    // A wider label pushes everything right and is rounded up.
    l = capsule_layout(44.1, 15, 50, 15);
    EXPECT_EQ(l.separator.x, 45 + 44);
    EXPECT_EQ(l.width, 45 + 51 + 91 + 4);
    EXPECT_EQ(button_alpha(true, true), 0.30);
    EXPECT_EQ(button_alpha(false, true), 0.22);
    EXPECT_EQ(button_alpha(false, false), 0.12);
}

class RecorderControls : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_old = state::config();
        auto cfg = std::make_shared<config::Config>();
        cfg->save_dir = m_dir.path().string();
        cfg->recording.countdown_seconds = 5;
        cfg->recording.show_clicks = false;
        state::set_config(cfg);
        Services& s = services();
        s.after = [](double, Job) { };
        s.with_content = [](std::move_only_function<void(capture::Content, bool)>) { };
        s.screens = [] {
            platform::Screen sc;
            sc.display_id = 1;
            sc.frame = { 0, 0, 1024, 768 };
            sc.visible_frame = sc.frame;
            return std::vector { sc };
        };
        s.toast = [this](std::string_view, std::string_view text, double) { m_toasts.emplace_back(text); };
        start_inner(1, platform::RectF { 100, 100, 300, 200 }, std::nullopt, 1.0);
    }
    void TearDown() override
    {
        if (const Session* r = session())
            teardown(r->id);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        reset_services();
        state::set_config(m_old);
    }

    void mouse(QWidget* w, QEvent::Type type, QPointF at, Qt::MouseButtons buttons)
    {
        QMouseEvent e(type, at, w->mapToGlobal(at), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, buttons,
            Qt::NoModifier);
        QApplication::sendEvent(w, &e);
    }

    testing_support::TempDir m_dir;
    std::shared_ptr<const config::Config> m_old;
    std::vector<std::string> m_toasts;
};

TEST_F(RecorderControls, OnlyAPressAndReleaseOnTheButtonStops)
{
    auto* ui = dynamic_cast<Ui*>(session()->ui.get());
    ASSERT_NE(ui, nullptr);
    VistropeRecordControls* c = ui->controls();
    EXPECT_EQ(c->width(), static_cast<int>(c->layout().width));
    EXPECT_EQ(c->time(), "00:00");
    const auto& b = c->layout().button;
    const QPointF on(b.x + b.w / 2, b.y + b.h / 2);

    // Press on the button, move off, release: nothing, and unpressed.
    mouse(c, QEvent::MouseButtonPress, on, Qt::LeftButton);
    EXPECT_TRUE(c->pressed());
    mouse(c, QEvent::MouseMove, { 5, 5 }, Qt::LeftButton);
    mouse(c, QEvent::MouseButtonRelease, { 5, 5 }, Qt::NoButton);
    EXPECT_FALSE(c->pressed());
    EXPECT_TRUE(running());

    // A drag off the button moves the capsule and does not stop.
    const QPoint before = ui->capsule()->pos();
    mouse(c, QEvent::MouseButtonPress, { 6, 18 }, Qt::LeftButton);
    mouse(c, QEvent::MouseMove, { 46, 38 }, Qt::LeftButton);
    mouse(c, QEvent::MouseButtonRelease, { 46, 38 }, Qt::NoButton);
    EXPECT_TRUE(running());
    EXPECT_NE(ui->capsule()->pos(), before);

    // Hovering the button, then a click on it.
    mouse(c, QEvent::MouseMove, on, Qt::NoButton);
    EXPECT_TRUE(c->hovered());
    mouse(c, QEvent::MouseButtonPress, on, Qt::LeftButton);
    mouse(c, QEvent::MouseButtonRelease, on, Qt::NoButton);
    EXPECT_FALSE(running());
    EXPECT_EQ(m_toasts, (std::vector<std::string> { "Grabación cancelada" }));
}

// Nothing says "recording" before the first frame, which the first time
// stands for: without a countdown the outline, the capsule and the status
// item all come with it; a countdown shows the first two, with its number.
TEST_F(RecorderControls, TheCountdownAndTimeReachTheirWidgets)
{
    const auto fresh = Ui::create({ 100, 100, 300, 200 }, { 0, 0, 1024, 768 }, true);
    EXPECT_FALSE(fresh->outline()->isVisible());
    EXPECT_FALSE(fresh->capsule()->isVisible());
    fresh->set_time("00:00");
    EXPECT_TRUE(fresh->outline()->isVisible());
    EXPECT_TRUE(fresh->capsule()->isVisible());
    if (fresh->status_item()) {
        EXPECT_TRUE(fresh->status_item()->isVisible());
    }
    fresh->close();

    auto* ui = dynamic_cast<Ui*>(session()->ui.get());
    ASSERT_NE(ui, nullptr);
    EXPECT_TRUE(ui->outline()->isVisible());
    EXPECT_TRUE(ui->capsule()->isVisible());
    if (ui->status_item()) {
        EXPECT_FALSE(ui->status_item()->isVisible());
    }
    ui->set_time("01:01");
    EXPECT_EQ(ui->controls()->time(), "01:01");
    if (ui->status_item()) {
        EXPECT_EQ(ui->status_item()->toolTip(), " 01:01");
    }
    ui->hide();
    EXPECT_FALSE(ui->outline()->isVisible());
    EXPECT_FALSE(ui->capsule()->isVisible());
}

} // namespace
