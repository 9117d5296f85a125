// The sound of recordings as a user makes them, in the test desktop, whose
// microphone is the sound server's sine source: it delivers two seconds of
// sound at a time, whatever fragment is asked for.
#include "recorder_desktop.h"

#include <QByteArray>

#include <cmath>
#include <cstring>

using namespace testing_support;
using namespace recorder_desktop;

namespace {

// The file's sound, mono at 8 kHz.
std::vector<float> sound_of(const fs::path& file)
{
    QProcess decode;
    decode.start("ffmpeg", { "-v", "error", "-i", QString::fromStdString(file.string()), "-map", "0:a", "-ac", "1", "-ar", "8000",
                               "-f", "f32le", "-" });
    decode.waitForFinished(30000);
    const QByteArray raw = decode.readAllStandardOutput();
    std::vector<float> s(static_cast<std::size_t>(raw.size()) / sizeof(float));
    std::memcpy(s.data(), raw.constData(), s.size() * sizeof(float));
    return s;
}

// The length of one stream ("v" or "a") of the file, in seconds.
double stream_length(const fs::path& file, const char* stream)
{
    return QString::fromStdString(run("ffprobe", { "-v", "error", "-select_streams", stream, "-show_entries", "stream=duration", "-of",
                                                     "csv=p=0", QString::fromStdString(file.string()) }))
        .trimmed()
        .toDouble();
}

// Of the first `seconds` of the sound, the share of tenths of a second that sound (the sine), not silence.
double sounding_share(const std::vector<float>& s, double seconds)
{
    const std::size_t tenth = 800;
    const auto tenths = static_cast<std::size_t>(seconds * 10);
    std::size_t sounding = 0;
    for (std::size_t k = 0; k < tenths && (k + 1) * tenth <= s.size(); ++k) {
        double sum = 0;
        for (std::size_t i = k * tenth; i < (k + 1) * tenth; ++i)
            sum += double(s[i]) * s[i];
        if (std::sqrt(sum / tenth) > 0.01)
            ++sounding;
    }
    return tenths ? double(sounding) / double(tenths) : 0;
}

} // namespace

// A recording with system sound and the sine microphone, stopped with the
// command: the microphone's sound runs through the whole file (only its
// first and last tenths may miss), and the sound ends with the picture.
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
    EXPECT_GE(share, 1.0 - 0.2 / video) << m_program->err();
}
