// A recording's file from the real writer: sealed into a regular MP4 when
// finished, recovered from what a killed run left behind.
#include "base/xdg.h"
#include "base/publish.h"
#include "platform/ffmpeg/mp4_writer.h"
#include "record/recorder_stream.h"
#include "record/recording_file.h"
#include "test_util.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <thread>

namespace fs = std::filesystem;

namespace {

struct Ends final : platform::RecordingListener {
    std::atomic<int> ended = 0;
    void recording_started() override { }
    void recording_failed(const std::string&) override { ++ended; }
    void recording_finished() override { ++ended; }
};

// Records `seconds` of 30 frames a second to `path` with the real writer.
void record(const fs::path& path, int seconds)
{
    platform::StreamConfiguration c;
    c.width = 64;
    c.height = 48;
    c.minimum_frame_interval = recorder::frame_interval(30);
    auto ends = std::make_shared<Ends>();
    auto output = platform::ffmpeg::RecordingOutput::open({ path.string(), platform::VideoCodec::H264 }, c, ends);
    ASSERT_TRUE(output) << output.error();
    (*output)->start();
    for (int slot = 0; slot < seconds * 30; ++slot) {
        QImage frame(64, 48, QImage::Format_ARGB32_Premultiplied);
        frame.fill(qRgb(slot * 3 % 256, 80, 200 - slot % 100));
        while (!(*output)->push_video({ frame, slot }))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    (*output)->finish();
    output->reset();
    ASSERT_EQ(ends->ended.load(), 1);
}

double duration(const fs::path& file)
{
    QProcess p;
    p.start("ffprobe", { "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", QString::fromStdString(file.string()) });
    p.waitForFinished(30000);
    bool ok = false;
    const double d = QString::fromUtf8(p.readAllStandardOutput()).trimmed().toDouble(&ok);
    return ok ? d : -1;
}

std::vector<std::string> listing(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::ranges::sort(names);
    return names;
}

} // namespace

TEST(RecordingFile, AFinishedRecordingIsSealedIntoAnMp4WithItsIndexFirst)
{
    testing_support::TempDir dir;
    testing_support::ScopedEnv state("XDG_STATE_HOME", (dir.path() / "estado").string());
    fs::create_directories(dir.path() / "capturas");
    const fs::path name = dir.path() / "capturas" / "Vistrope 2026-01-05 a las 09.03.07.mp4";
    auto tmp = publish::create_temporary(name);
    ASSERT_TRUE(tmp) << tmp.error();
    record(*tmp, 3);
    // Written in fragments of at most a second, and readable as it is.
    const std::string fragmented = testing_support::read_file(*tmp);
    std::size_t fragments = 0;
    for (auto at = fragmented.find("moof"); at != std::string::npos; at = fragmented.find("moof", at + 4))
        ++fragments;
    EXPECT_GE(fragments, 3u);
    EXPECT_NEAR(duration(*tmp), 3.0, 0.1);

    auto sealed = recorder::seal(*tmp, recorder::Ending::Finished);
    ASSERT_TRUE(sealed) << sealed.error();
    EXPECT_FALSE(fs::exists(*tmp));
    EXPECT_TRUE(publish::is_temporary_name(sealed->path.filename().string()));
    const std::string regular = testing_support::read_file(sealed->path);
    EXPECT_EQ(regular.find("moof"), std::string::npos);
    EXPECT_LT(regular.find("moov"), regular.find("mdat"));
    EXPECT_NEAR(duration(sealed->path), 3.0, 0.1);

    // A GIF recording's sealed MP4 waits hidden for its conversion, held:
    // no launch takes it meanwhile. A run that ends before the conversion
    // does leaves it, noted, to the next launch, whatever folder that one
    // captures into.
    std::vector<fs::path> recovered;
    const auto recover = [&](const fs::path& folder) {
        recorder::recover_recordings(folder, fs::file_time_type::clock::now(), [&](const fs::path& p) { recovered.push_back(p); });
    };
    recover(dir.path() / "capturas");
    EXPECT_TRUE(recovered.empty());
    EXPECT_TRUE(fs::exists(sealed->path));
    sealed->live.reset();
    fs::create_directories(dir.path() / "otra carpeta");
    recover(dir.path() / "otra carpeta");
    EXPECT_EQ(recovered, (std::vector<fs::path> { dir.path() / "capturas" / "Vistrope 2026-01-05 a las 09.03.07 (recuperada).mp4" }));
    EXPECT_EQ(listing(dir.path() / "capturas"), (std::vector<std::string> { "Vistrope 2026-01-05 a las 09.03.07 (recuperada).mp4" }));
    EXPECT_NEAR(duration(recovered.at(0)), 3.0, 0.1);
    EXPECT_TRUE(recorder::read_journal(xdg::state_dir()).empty());
}

// What a killed run leaves: its fragments up to where the writing stopped,
// mid-fragment and without the trailer. The next launch publishes the whole
// ones, removes a temporary with none, and leaves other files alone.
TEST(RecordingFile, ALaunchRecoversWhatAKilledRunWasRecording)
{
    testing_support::TempDir dir;
    testing_support::ScopedEnv state("XDG_STATE_HOME", (dir.path() / "estado").string());
    auto tmp = publish::create_temporary(dir.path() / "Vistrope 2026-01-05 a las 09.03.07.mp4");
    ASSERT_TRUE(tmp);
    record(*tmp, 4);
    fs::resize_file(*tmp, fs::file_size(*tmp) * 7 / 10);
    testing_support::write_file(dir.path() / ".Vistrope 2026-01-05 a las 09.03.08.mp4.Zz0000", "sin fragmentos");
    testing_support::write_file(dir.path() / ".Vistrope 2026-01-05 a las 09.03.09.png.q1w2e3", "png");
    testing_support::write_file(dir.path() / "Vistrope 2026-01-05 a las 09.03.07 (recuperada).mp4", "otro");
    // A conversion that ended with its run leaves its partial GIF; a live one holds its lock.
    testing_support::write_file(dir.path() / "Vistrope 2026-01-05 a las 09.03.05.gif.part", "GIF89a");
    // A browser's download in progress (or paused) is not ours to remove.
    testing_support::write_file(dir.path() / "descarga.gif.part", "GIF89a");
    const fs::path converting = dir.path() / "Vistrope 2026-01-05 a las 09.03.06.gif.part";
    testing_support::write_file(converting, "GIF89a");
    const int held = ::open(converting.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    std::vector<fs::path> recovered;
    recorder::recover_recordings(dir.path(), fs::file_time_type::clock::now(), [&](const fs::path& p) { recovered.push_back(p); });
    const fs::path expected = dir.path() / "Vistrope 2026-01-05 a las 09.03.07 (recuperada) (2).mp4";
    EXPECT_EQ(recovered, (std::vector<fs::path> { expected }));
    ::close(held);
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string> { ".Vistrope 2026-01-05 a las 09.03.09.png.q1w2e3",
                                       "Vistrope 2026-01-05 a las 09.03.06.gif.part",
                                       "Vistrope 2026-01-05 a las 09.03.07 (recuperada) (2).mp4",
                                       "Vistrope 2026-01-05 a las 09.03.07 (recuperada).mp4", "descarga.gif.part", "estado" }));
    // The one without fragments is set aside, as it was.
    EXPECT_EQ(testing_support::read_file(recorder::set_aside_dir(xdg::state_dir()) / ".Vistrope 2026-01-05 a las 09.03.08.mp4.Zz0000"),
        "sin fragmentos");
    const double d = duration(expected);
    // Cut at 2.8 s: the fragments of the first two and a half seconds.
    EXPECT_NEAR(d, 2.5, 0.05);
    // A recording begun after the launch is not a leftover.
    auto fresh = publish::create_temporary(dir.path() / "Vistrope 2026-01-05 a las 09.03.10.mp4");
    ASSERT_TRUE(fresh);
    recorder::recover_recordings(dir.path(), fs::last_write_time(*fresh) - std::chrono::seconds(1), [&](const fs::path& p) { recovered.push_back(p); });
    EXPECT_TRUE(fs::exists(*fresh));
    fs::remove(*fresh);
    // A second launch finds nothing more.
    recorder::recover_recordings(dir.path(), fs::file_time_type::clock::now(), [&](const fs::path& p) { recovered.push_back(p); });
    EXPECT_EQ(recovered.size(), 1u);
}

// A temporary that cannot be read is kept for a later try, never removed as
// if it held nothing.
TEST(RecordingFile, ATemporaryThatCannotBeReadIsKept)
{
    testing_support::TempDir dir;
    testing_support::ScopedEnv state("XDG_STATE_HOME", (dir.path() / "estado").string());
    const fs::path unreadable = dir.path() / ".Vistrope 2026-01-05 a las 09.03.07.mp4.abc123";
    fs::create_directory(unreadable); // opens, but every read fails
    const auto sealed = recorder::seal(unreadable, recorder::Ending::Broken);
    ASSERT_FALSE(sealed);
    EXPECT_NE(sealed.error().find("no pude leer"), std::string::npos) << sealed.error();
    EXPECT_TRUE(fs::exists(unreadable));
}
