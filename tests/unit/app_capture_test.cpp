// The dispatcher's direct capture roads against the fake capture backend
// (offscreen Qt: one screen).
#include "app/app.h"
#include "capture/capture.h"
#include "capture/flash.h"
#include "capture/output.h"
#include "platform/fake/screen_capture_fake.h"
#include "base/state.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

namespace {

void run_for(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
}

class Roads : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        capture::reset_for_tests();
        config::Config cfg;
        cfg.save_dir = (m_home.path() / "capturas").string();
        cfg.after_capture.play_sound = false;
        cfg.self_timer_seconds = 0;
        state::set_config(std::make_shared<const config::Config>(cfg));
        auto fake = std::make_unique<platform::ScreenCaptureFake>();
        m_fake = fake.get();
        const platform::Screen screen = platform::screens().front();
        platform::ShareableDisplay d;
        d.display_id = screen.display_id;
        d.frame = screen.frame;
        d.scale = screen.scale;
        d.pixel_width = platform::pixels_for(screen.frame.w, screen.scale);
        d.pixel_height = platform::pixels_for(screen.frame.h, screen.scale);
        m_fake->content.displays = { d };
        capture::set_backend(std::move(fake));
        capture::refresh();
        m_fake->answer_fetch();
        ASSERT_SOON(capture::cached() && !capture::refreshing());
        output::set_delivered_listener([this](const output::Delivered& d) { m_done.push_back(d); });
    }
    void TearDown() override
    {
        output::set_delivered_listener(nullptr);
        capture::reset_for_tests();
        state::reset_for_tests();
    }

    testing_support::TempHome m_home;
    platform::ScreenCaptureFake* m_fake = nullptr;
    std::vector<output::Delivered> m_done;
};

TEST_F(Roads, FullScreenCapturesTheScreenUnderThePointerLeavingUsOut)
{
    m_fake->own = { 42 };
    app::capture_fullscreen();
    ASSERT_SOON(m_done.size() == 1u);
    ASSERT_EQ(m_fake->display_grabs.size(), 1u);
    const platform::DisplayGrab& g = m_fake->display_grabs[0];
    EXPECT_FALSE(g.region);
    const platform::Screen screen = platform::screens().front();
    EXPECT_EQ(g.width, platform::pixels_for(screen.frame.w, screen.scale));
    EXPECT_EQ(g.height, platform::pixels_for(screen.frame.h, screen.scale));
    EXPECT_EQ(g.excluded, std::vector<std::uint32_t> { 42 });
    ASSERT_EQ(m_done.size(), 1u);
    EXPECT_EQ(m_done[0].kind, output::Kind::Fullscreen);
    ASSERT_TRUE(state::last_shot());
    EXPECT_EQ(state::last_shot()->image.size(), QSize(int(g.width), int(g.height)));
}

TEST_F(Roads, AFailedGrabDeliversNothing)
{
    m_fake->fail_grab = true;
    app::capture_fullscreen();
    run_for(200);
    EXPECT_TRUE(m_done.empty());
    EXPECT_FALSE(state::last_shot());
}

TEST_F(Roads, PreviousAreaAsksForTheRememberedRectangle)
{
    state::set_last_area({ platform::screens().front().display_id, 10, 20, 100.5, 50 });
    app::capture_previous_area();
    ASSERT_SOON(m_done.size() == 1u);
    ASSERT_EQ(m_fake->display_grabs.size(), 1u);
    EXPECT_EQ(*m_fake->display_grabs[0].region, (platform::RectF { 10, 20, 100.5, 50 }));
    EXPECT_EQ(m_fake->display_grabs[0].width, 101u); // scale 1 of the offscreen screen
    ASSERT_EQ(m_done.size(), 1u);
    EXPECT_EQ(m_done[0].kind, output::Kind::Area);
}

TEST_F(Roads, PreviousAreaOnAGoneDisplayIsAskedForAndDeliversNothing)
{
    state::set_last_area({ 4711, 0, 0, 10, 10 });
    app::capture_previous_area();
    run_for(200);
    EXPECT_TRUE(m_fake->display_grabs.empty()); // no such display in the content
    EXPECT_TRUE(m_done.empty());
}

TEST_F(Roads, SelfTimerOfZeroSecondsWaitsOneSecond)
{
    QElapsedTimer t;
    t.start();
    app::self_timer();
    run_for(700);
    EXPECT_TRUE(m_fake->display_grabs.empty());
    ASSERT_SOON(m_done.size() == 1u);
    EXPECT_GE(t.elapsed(), 1000);
    EXPECT_EQ(m_done[0].kind, output::Kind::Fullscreen);
}

TEST(FlashOrigin, RegionsTurnIntoGlobalBottomLeftRectangles)
{
    const platform::Screen screen = platform::screens().front();
    const auto whole = flash::Origin::on_display(screen.display_id, std::nullopt, std::nullopt);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->rect, screen.frame);
    const auto part = flash::Origin::on_display(screen.display_id, platform::RectF { 10, 20, 30, 40 }, QImage(3, 4, QImage::Format_ARGB32));
    ASSERT_TRUE(part);
    EXPECT_EQ(part->rect, (platform::RectF { screen.frame.x + 10, screen.frame.y + screen.frame.h - 20 - 40, 30, 40 }));
    EXPECT_EQ(part->corner_radius, 0);
    ASSERT_TRUE(part->image);
    EXPECT_FALSE(flash::Origin::on_display(987654, std::nullopt, std::nullopt));
}

} // namespace
