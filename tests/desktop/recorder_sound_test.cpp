// The sound of recordings as a user makes them, in the test desktop, whose
// microphone is the sound server's sine source: it delivers two seconds of
// sound at a time, whatever fragment is asked for.
#include "recorder_desktop.h"

#include <QElapsedTimer>

#include <cmath>
#include <set>

using namespace testing_support;
using namespace recorder_desktop;

// A recording with system sound and the sine microphone, stopped with the
// command: the microphone's sound runs through the file, and the sound ends
// with the picture.
TEST_F(DesktopRecorder, AMicrophoneThatDeliversInBurstsKeepsItsSound)
{
    start("countdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\nmicrophone = true\n");
    record_area("vistrope://record-screen", 200, 150, 601, 451);
    ASSERT_TRUE(m_program->wait_for("grabando en", 20)) << m_program->err();
    QThread::msleep(6000); // the recording's length: three of the source's bursts
    url("vistrope://record-screen");
    ASSERT_TRUE(m_program->wait_for("publicado como", 30)) << m_program->err();
    const auto mp4 = files(".mp4");
    ASSERT_EQ(mp4.size(), 1u) << m_program->err();
    const double video = stream_length(mp4[0], "v");
    const double audio = stream_length(mp4[0], "a");
    const double share = sounding_share(sound_of(mp4[0]), video);
    std::printf("video %.2f s, sonido %.2f s, con el seno %.0f %%\n", video, audio, 100 * share);
    EXPECT_GT(video, 4.0) << m_program->err();
    EXPECT_NEAR(audio, video, 0.5) << m_program->err();
    // Load may hold a burst back past its wait now and then, and that burst
    // goes: the bound asks only that most of the sound stays. A mix that
    // drops every burst's late part keeps about a sixth.
    EXPECT_GE(share, 0.5) << m_program->err();
}

// SIGKILL 3.5–7.5 s into recordings with system sound and the sine
// microphone: the picture loses at most a second, as without sound, and so
// does the sound, which ends with the picture: while the microphone's next
// burst is awaited the mix that keeps it stands up to a burst behind the
// picture, and the recovered file's sound goes on from the sound written
// ahead of it.
TEST_F(DesktopRecorder, AKillWithABurstyMicrophoneLosesAtMostASecondOfSound)
{
    start("countdown_seconds = 0\nshow_clicks = false\nsystem_audio = true\nmicrophone = true\n");
    std::set<fs::path> seen;
    for (const int kill_after : { 3500, 4500, 5500, 6500, 7500 }) {
        record_area("vistrope://record-screen", 200, 150, 601, 451);
        double recorded = 0;
        fs::path recovered;
        kill_and_recover("grabando en", kill_after, seen, recorded, recovered);
        if (HasFatalFailure())
            return;
        const double video = stream_length(recovered, "v");
        const double audio = stream_length(recovered, "a");
        std::printf("muerto a los %.2f s: video %.2f s (pierde %.2f), sonido %.2f s (pierde %.2f), con el seno %.0f %%\n", recorded,
            video, recorded - video, audio, recorded - audio, 100 * sounding_share(sound_of(recovered), audio));
        EXPECT_GE(video, recorded - 1.2) << recovered.string();
        EXPECT_GE(audio, recorded - 1.2) << recovered.string();
        EXPECT_GE(audio, video - 0.5) << recovered.string();
    }
}
