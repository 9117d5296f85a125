// A recording's file from the real writer: sealed into a regular MP4 when
// finished, recovered from what a killed run left behind.
#include "base/xdg.h"
#include "base/publish.h"
#include "cards/card_layout.h"
#include "platform/ffmpeg/mp4_writer.h"
#include "record/recorder_stream.h"
#include "record/recorder.h"
#include "record/recording_file.h"
#include "record/video.h"
#include "base/util.h"
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

// Records `frames` frames at 30 a second to `path` with the real writer.
void record_frames(const fs::path& path, int frames)
{
    platform::StreamConfiguration c;
    c.width = 64;
    c.height = 48;
    c.minimum_frame_interval = recorder::frame_interval(30);
    auto ends = std::make_shared<Ends>();
    auto output = platform::ffmpeg::RecordingOutput::open({ path.string(), platform::VideoCodec::H264 }, c, ends);
    ASSERT_TRUE(output) << output.error();
    (*output)->start();
    for (int slot = 0; slot < frames; ++slot) {
        QImage frame(64, 48, QImage::Format_ARGB32_Premultiplied);
        frame.fill(qRgb(slot * 3 % 256, 80, 200 - slot % 100));
        while (!(*output)->push_video({ frame, slot }))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    (*output)->finish();
    output->reset();
    ASSERT_EQ(ends->ended.load(), 1);
}

// Records `seconds` of 30 frames a second.
void record(const fs::path& path, int seconds)
{
    record_frames(path, seconds * 30);
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
    ASSERT_TRUE(sealed) << sealed.error().reason;
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

// A temporary dated in the future (the clock set back since, a file copied
// with its date) is no recording of this launch: live while a process holds
// it, abandoned and recovered once none does.
TEST(RecordingFile, ATemporaryDatedInTheFutureIsRecoveredOnceNothingHoldsIt)
{
    testing_support::TempDir dir;
    testing_support::ScopedEnv state("XDG_STATE_HOME", (dir.path() / "estado").string());
    auto tmp = publish::create_temporary(dir.path() / "Vistrope 2026-01-05 a las 09.03.07.mp4");
    ASSERT_TRUE(tmp);
    record(*tmp, 2);
    fs::last_write_time(*tmp, fs::file_time_type::clock::now() + std::chrono::hours(24 * 365));
    const int held = ::open(tmp->c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    std::vector<fs::path> recovered;
    recorder::recover_recordings(dir.path(), fs::file_time_type::clock::now(), [&](const fs::path& p) { recovered.push_back(p); });
    EXPECT_TRUE(recovered.empty());
    EXPECT_TRUE(fs::exists(*tmp));
    ::close(held);
    recorder::recover_recordings(dir.path(), fs::file_time_type::clock::now(), [&](const fs::path& p) { recovered.push_back(p); });
    EXPECT_EQ(recovered, (std::vector<fs::path> { dir.path() / "Vistrope 2026-01-05 a las 09.03.07 (recuperada).mp4" }));
    EXPECT_FALSE(fs::exists(*tmp));
}

// Half a second of frames, kept as incomplete: the toast and the card read
// one length from the file and round it alike (a half rounds up).
TEST(RecordingFile, TheToastAndTheCardGiveAHalfSecondFileOneLength)
{
    testing_support::TempDir dir;
    testing_support::ScopedEnv state("XDG_STATE_HOME", (dir.path() / "estado").string());
    auto tmp = publish::create_temporary(dir.path() / "Vistrope 2026-01-05 a las 09.03.07.mp4");
    ASSERT_TRUE(tmp);
    record_frames(*tmp, 15);
    const auto sealed = recorder::seal(*tmp, recorder::Ending::Broken);
    ASSERT_TRUE(sealed) << sealed.error().reason;
    const auto facts = video::info(sealed->path);
    ASSERT_TRUE(facts);
    EXPECT_EQ(recorder::ending_text(util::whole_seconds(sealed->duration), true, std::nullopt, 0, 0), "Grabación incompleta · 00:01");
    EXPECT_EQ(quick_access::duration_badge(facts->duration), "0:01");
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
    EXPECT_NE(sealed.error().reason.find("no pude leer"), std::string::npos) << sealed.error().reason;
    EXPECT_TRUE(sealed.error().set_aside.empty());
    EXPECT_TRUE(fs::exists(unreadable));
}

// A run killed while sealing leaves two temporaries of one recording: its
// fragments and the finished copy being made of them. The next launch
// publishes one file: the copy when it plays, else what the fragments hold;
// the other goes. What only looks like ours (a user's backup, a name with a
// control character, a journal note naming such a file) is left alone.
TEST(RecordingFile, ARecordingKilledWhileSealingGivesOneFileAndOnlyOurNamesAreTaken)
{
    testing_support::TempDir dir;
    testing_support::ScopedEnv state("XDG_STATE_HOME", (dir.path() / "estado").string());
    const fs::path name = dir.path() / "Vistrope 2026-01-05 a las 09.03.07.mp4";
    // The fragments, cut short at 2.1 s; the copy made before the cut, 3 s.
    const auto leave_both = [&](bool copy_plays) {
        auto fragments = publish::create_temporary(name);
        ASSERT_TRUE(fragments);
        record(*fragments, 3);
        auto second = publish::create_temporary(name);
        ASSERT_TRUE(second);
        fs::copy_file(*fragments, *second, fs::copy_options::overwrite_existing);
        auto sealed = recorder::seal(*second, recorder::Ending::Finished);
        ASSERT_TRUE(sealed) << sealed.error().reason;
        ASSERT_FALSE(fs::exists(*second));
        sealed->live.reset(); // the kill: the lock goes, the note stays
        if (!copy_plays)
            fs::resize_file(sealed->path, fs::file_size(sealed->path) / 2);
        fs::resize_file(*fragments, fs::file_size(*fragments) * 7 / 10);
    };
    std::vector<fs::path> recovered, aside;
    const auto recover = [&] {
        recorder::recover_recordings(dir.path(), fs::file_time_type::clock::now(), [&](const fs::path& p) { recovered.push_back(p); },
            [&](const fs::path& p) { aside.push_back(p); });
    };
    const auto temporaries = [&] {
        return std::ranges::count_if(fs::directory_iterator(dir.path()), [](const fs::directory_entry& e) {
            return e.path().filename().string().starts_with(".Vistrope 2026");
        });
    };

    leave_both(true);
    ASSERT_EQ(temporaries(), 2);
    recover();
    ASSERT_EQ(recovered, (std::vector<fs::path> { dir.path() / "Vistrope 2026-01-05 a las 09.03.07 (recuperada).mp4" }));
    EXPECT_NEAR(duration(recovered[0]), 3.0, 0.1) << "the finished copy, not the cut fragments";
    EXPECT_EQ(temporaries(), 0);
    EXPECT_TRUE(aside.empty());
    EXPECT_TRUE(recorder::read_journal(xdg::state_dir()).empty());

    // A copy that does not play gives way to the fragments, and is not set
    // aside as a damaged recording: the recording is not damaged.
    recovered.clear();
    leave_both(false);
    recover();
    ASSERT_EQ(recovered, (std::vector<fs::path> { dir.path() / "Vistrope 2026-01-05 a las 09.03.07 (recuperada) (2).mp4" }));
    const double kept = duration(recovered[0]);
    EXPECT_TRUE(kept > 0.9 && kept < 2.5) << kept << " s: the whole fragments before the cut at 2.1 s";
    EXPECT_EQ(temporaries(), 0);
    EXPECT_TRUE(aside.empty());

    // Look-alikes with whole fragments in them stay as they are, and so does
    // a file a journal note names outside our pattern (the note goes).
    auto source = publish::create_temporary(name);
    ASSERT_TRUE(source);
    record(*source, 1);
    const std::string bytes = testing_support::read_file(*source);
    fs::remove(*source);
    const std::vector<std::string> strangers = { ".Vistrope notes.mp4.backup", ".Vistrope 2026-01-05 a las 09.03.08\n.mp4.abc123",
        ".Vistrope 2026-01-05 a las 09.03.09.mp4.ab\x1b[2J", ".Vistrope 2026-01-05 a las 09.03.10.mp4.abc-12" };
    for (const auto& n : strangers)
        testing_support::write_file(dir.path() / n, bytes);
    fs::create_directories(recorder::journal_dir(xdg::state_dir()));
    testing_support::write_file(recorder::journal_dir(xdg::state_dir()) / "nota-ajena", (dir.path() / strangers[1]).string());
    recovered.clear();
    recover();
    EXPECT_TRUE(recovered.empty());
    for (const auto& n : strangers)
        EXPECT_EQ(testing_support::read_file(dir.path() / n), bytes) << util::escape_controls(n);
    EXPECT_TRUE(recorder::read_journal(xdg::state_dir()).empty());
    for (const auto& n : strangers)
        fs::remove(dir.path() / n);

    // A temporary of ours with nothing playable is set aside, and said once
    // with the folder it went to.
    auto empty = publish::create_temporary(dir.path() / "Vistrope 2026-01-05 a las 09.03.11.mp4");
    ASSERT_TRUE(empty);
    testing_support::write_file(*empty, "sin fragmentos");
    recover();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(aside[0].parent_path(), recorder::set_aside_dir(xdg::state_dir()));
    recover();
    EXPECT_EQ(aside.size(), 1u);
    {
        testing_support::ScopedEnv home("HOME", dir.path().string());
        EXPECT_EQ(recorder::set_aside_text(aside[0], true), "Una grabación interrumpida no se puede reproducir: quedó en ~/estado/vistrope/unplayable");
    }
    EXPECT_EQ(recorder::set_aside_text("/var/x/\x1b[2J/f.mp4", false), "La grabación no se puede reproducir: quedó en /var/x/\\x1B[2J");
}
