// The libmpv player view on a generated file, silent: the first frame gates
// trimming, playback obeys the end times, frame steps move one frame, and the
// range bar's buttons end a trim.
#include "platform/video_player.h"

#include "clip_maker.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QPushButton>

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

using platform::TrimOutcome;
using testing_support::wait_until;

namespace {

class VideoPlayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        testing_support::ClipSpec spec;
        spec.fps = 30;
        spec.frames = 60;
        ASSERT_FALSE(testing_support::make_clip(m_clip, spec));
        m_view = platform::create_mpv_player_view(m_clip, { .sound = false });
        m_view->resize(320, 240);
        m_view->show();
    }

    testing_support::TempDir m_dir;
    std::filesystem::path m_clip = m_dir.path() / "clip.mp4";
    std::unique_ptr<platform::VideoPlayerView> m_view;
};

} // namespace

TEST_F(VideoPlayerTest, FirstFrameGatesTrimmingAndPlaybackStopsAtTheForwardEnd)
{
    EXPECT_FALSE(m_view->can_begin_trimming());
    bool ran = false;
    m_view->begin_trimming([&](TrimOutcome) { ran = true; });
    EXPECT_FALSE(m_view->trimming()); // refused before the first frame
    ASSERT_TRUE(wait_until([&] { return m_view->can_begin_trimming(); }, 15000));
    EXPECT_TRUE(m_view->has_current_item());
    EXPECT_NEAR(m_view->duration(), 2.0, 0.05);
    EXPECT_TRUE(m_view->paused());

    m_view->set_end_times(0.5, 1.0);
    m_view->play();
    ASSERT_TRUE(wait_until([&] { return !m_view->paused(); }, 5000));
    ASSERT_TRUE(wait_until([&] { return m_view->paused(); }, 10000));
    ASSERT_TRUE(wait_until([&] { return std::abs(m_view->position() - 1.0) < 0.02; }, 5000)) << m_view->position();

    // Playing again from the end starts over at the reverse end, also when
    // asked the moment playback stops there, before mpv has told of the pause.
    int stops = 0;
    bool playing = false;
    double lowest = 10;
    m_view->set_on_change([&] {
        if (!m_view->paused()) {
            playing = true;
            lowest = std::min(lowest, m_view->position());
        } else if (std::exchange(playing, false) && ++stops < 3) {
            m_view->play();
        }
    });
    m_view->play();
    ASSERT_TRUE(wait_until([&] { return stops == 3; }, 10000)) << m_view->position();
    ASSERT_TRUE(wait_until([&] { return std::abs(m_view->position() - 1.0) < 0.02; }, 5000)) << m_view->position();
    EXPECT_TRUE(m_view->paused());
    EXPECT_GE(lowest, 0.5 - 0.02);
    EXPECT_LT(lowest, 0.9);
    m_view->set_on_change(nullptr);
    EXPECT_FALSE(ran);
}

// A forward end on the file's end (the range bar's end handle left there):
// playback runs into the file's end, where the last frame starts a frame
// short of the duration, and playing again still starts over.
TEST_F(VideoPlayerTest, PlayingAgainFromTheFilesEndStartsOver)
{
    ASSERT_TRUE(wait_until([&] { return m_view->can_begin_trimming(); }, 15000));
    m_view->set_end_times(1.5, m_view->duration());
    m_view->seek(1.5);
    ASSERT_TRUE(wait_until([&] { return std::abs(m_view->position() - 1.5) < 0.005; }, 5000));
    for (int round = 0; round < 2; ++round) {
        m_view->play();
        double lowest = 10;
        m_view->set_on_change([&] { lowest = std::min(lowest, m_view->position()); });
        ASSERT_TRUE(wait_until([&] { return !m_view->paused() && m_view->position() < 1.9; }, 5000))
            << "round " << round << " at " << m_view->position() << (m_view->paused() ? ", paused" : ", playing");
        ASSERT_TRUE(wait_until([&] { return m_view->paused(); }, 10000)) << "round " << round;
        EXPECT_GT(m_view->position(), 1.9);
        EXPECT_GE(lowest, 1.5 - 0.02);
    }
    m_view->set_on_change(nullptr);
}

TEST_F(VideoPlayerTest, FrameStepsMoveOneFrameAndTheRangeBarEndsTrims)
{
    ASSERT_TRUE(wait_until([&] { return m_view->can_begin_trimming(); }, 15000));
    m_view->seek(1.0);
    ASSERT_TRUE(wait_until([&] { return std::abs(m_view->position() - 1.0) < 0.005; }, 5000));
    m_view->step_frame(1);
    ASSERT_TRUE(wait_until([&] { return std::abs(m_view->position() - (1.0 + 1.0 / 30)) < 0.005; }, 5000)) << m_view->position();
    m_view->step_frame(-1);
    ASSERT_TRUE(wait_until([&] { return std::abs(m_view->position() - 1.0) < 0.005; }, 5000)) << m_view->position();

    std::vector<TrimOutcome> outcomes;
    m_view->set_end_times(0.25, 1.5);
    m_view->begin_trimming([&](TrimOutcome o) { outcomes.push_back(o); });
    ASSERT_TRUE(m_view->trimming());
    EXPECT_FALSE(m_view->can_begin_trimming());
    auto* cancel = m_view->findChild<QPushButton*>("trim-cancel");
    auto* confirm = m_view->findChild<QPushButton*>("trim-confirm");
    ASSERT_TRUE(cancel && confirm);
    EXPECT_EQ(confirm->text().toStdString(), "Recortar");
    EXPECT_EQ(cancel->text().toStdString(), "Cancelar");
    cancel->click();
    EXPECT_EQ(outcomes, std::vector { TrimOutcome::Cancelled });
    EXPECT_FALSE(m_view->trimming());
    EXPECT_TRUE(m_view->can_begin_trimming());

    // The bar opens on the current end times; confirming keeps them.
    m_view->begin_trimming([&](TrimOutcome o) { outcomes.push_back(o); });
    confirm->click();
    EXPECT_EQ(outcomes.back(), TrimOutcome::Confirmed);
    EXPECT_EQ(m_view->reverse_end(), 0.25);
    EXPECT_EQ(m_view->forward_end(), 1.5);
    confirm->click(); // no trim open: nothing more
    EXPECT_EQ(outcomes.size(), 2u);
}

TEST(VideoPlayerText, TimecodesAndTrackPositions)
{
    EXPECT_EQ(platform::player_timecode(0), "0:00.00");
    EXPECT_EQ(platform::player_timecode(61.236), "1:01.24");
    EXPECT_EQ(platform::player_timecode(3600), "60:00.00");
    EXPECT_EQ(platform::player_timecode(-1), "0:00.00");
    EXPECT_EQ(platform::player_timecode(NAN), "0:00.00");
    EXPECT_DOUBLE_EQ(platform::time_to_x(2.5, 10, 200), 50);
    EXPECT_DOUBLE_EQ(platform::time_to_x(12, 10, 200), 200);
    EXPECT_DOUBLE_EQ(platform::x_to_time(50, 10, 200), 2.5);
    EXPECT_DOUBLE_EQ(platform::x_to_time(-5, 10, 200), 0);
    EXPECT_DOUBLE_EQ(platform::x_to_time(50, 0, 200), 0);
}

TEST(VideoPlayerOpen, AFileThatIsNoVideoLeavesAnEmptyView)
{
    testing_support::TempDir dir;
    testing_support::write_file(dir.path() / "no.mp4", "not a video");
    auto view = platform::create_mpv_player_view(dir.path() / "no.mp4", { .sound = false });
    view->show();
    testing_support::pump_for(500);
    EXPECT_FALSE(view->has_current_item());
    EXPECT_FALSE(view->can_begin_trimming());
}
