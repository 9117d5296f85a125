// The foundation on the test session's real X server: screens, the pointer,
// sound through the session's null sink, and the program's start.
#include "wait_slack.h"
#include "platform/screens.h"
#include "platform/sound_out.h"
#include "base/sound.h"
#include "test_util.h"
#include "base/util.h"
#include "base/util_queue.h"

#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace testing_support;

TEST(DesktopScreens, TheSessionsScreenWithItsRandrId)
{
    const auto screens = platform::screens();
    ASSERT_FALSE(screens.empty());
    const auto& s = screens.front();
    const QSize size = QGuiApplication::primaryScreen()->geometry().size();
    EXPECT_EQ(s.frame, (platform::RectF { 0, 0, static_cast<double>(size.width()), static_cast<double>(size.height()) }));
    EXPECT_EQ(s.scale, 1.0);
    EXPECT_NE(s.display_id, 0u);
    EXPECT_GT(s.display_id, screens.size()) << "the id comes from the RandR output, not the position";
    EXPECT_EQ(platform::primary_height(), size.height());
}

TEST(DesktopScreens, PointerOnTheTopRowBelongsToTheScreen)
{
    const double h = platform::primary_height();
    ASSERT_EQ(QProcess::execute("xdotool", { "mousemove", "0", "0" }), 0);
    QCoreApplication::processEvents();
    auto p = platform::pointer_location();
    EXPECT_EQ(p, (platform::PointF { 0, h - 1 }));
    EXPECT_TRUE(platform::screen_for_point(p.x, p.y));

    ASSERT_EQ(QProcess::execute("xdotool", { "mousemove", "300", "200" }), 0);
    p = platform::pointer_location();
    EXPECT_EQ(p, (platform::PointF { 300, h - 201 }));
}

TEST(DesktopSound, TheShutterPlaysThroughTheNullSink)
{
    const auto wav = sound::shutter_wav();
    auto player = platform::create_sound(wav);
    ASSERT_TRUE(player);
    const std::vector<std::int16_t> samples(441, 1000);
    EXPECT_TRUE(platform::play_pcm16_blocking(samples, 44100, 1)) << "the session's PulseAudio took no sound";
    player->play();
    player->wait_idle();

    // A newer play cuts the older one short: four seconds of sound stopped
    // after a tenth of a second end well before the four seconds (the null
    // sink itself takes a moment to start consuming).
    const std::vector<std::int16_t> long_sound(4 * 44100, 500);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(platform::play_pcm16(long_sound, 44100, 1,
        [&] { return std::chrono::steady_clock::now() - started > std::chrono::milliseconds(100); }));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(3500));
    player->play();
    player->play();
    player->wait_idle();

    // No server: no sound, silently, and no hang.
    ScopedEnv nowhere("PULSE_SERVER", "unix:/nonexistent/pulse.sock");
    EXPECT_FALSE(platform::play_pcm16_blocking(samples, 44100, 1));
    player->play();
    player->wait_idle();

    // Bytes that are no WAV file give no player.
    const std::vector<std::uint8_t> junk(100, 7);
    EXPECT_FALSE(platform::create_sound(junk));
}

TEST(DesktopProgram, StartsLogsListoAndKeepsRunning)
{
    TempHome home;
    QProcess program;
    program.setProcessChannelMode(QProcess::SeparateChannels);
    program.start(VISTROPE_BINARY, {});
    ASSERT_TRUE(program.waitForStarted(5000));
    std::string err;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20) * testing_support::wait_slack();
    while (err.find("[vistrope] listo") == std::string::npos && std::chrono::steady_clock::now() < until) {
        program.waitForReadyRead(200);
        err += program.readAllStandardError().toStdString();
    }
    EXPECT_NE(err.find("[vistrope] listo"), std::string::npos) << err;
    EXPECT_FALSE(program.waitForFinished(1000)) << "the program ended on its own";
    EXPECT_NE(read_file(util::log_path()).find(" listo\n"), std::string::npos);
    program.terminate();
    program.waitForFinished(5000);
}

