// Owners of a thread when the system refuses one: each fails its work
// cleanly, and nothing waits on the thread that never started.
#include "base/sound.h"
#include "base/util.h"
#include "base/util_thread.h"
#include "platform/ffmpeg/mp4_writer.h"
#include "platform/process.h"
#include "platform/sound_out.h"
#include "record/recorder_stream.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

class ThreadRefusal : public testing::Test {
protected:
    void TearDown() override { util::refuse_threads_for_tests(false); }
};

TEST_F(ThreadRefusal, ASoundThatGetsNoThreadIsSkippedAndItsPlayerEndsAtOnce)
{
    const auto wav = sound::shutter_wav();
    auto player = platform::create_sound(wav);
    ASSERT_NE(player, nullptr);
    // The one thread this test needs, started before the refusal.
    std::promise<void> go;
    auto ended = std::async(std::launch::async, [&, f = go.get_future()]() mutable {
        f.wait();
        player->play();
        player->play();
        player->wait_idle();
        player.reset(); // a player counted as playing would wait here for ever
    });
    util::refuse_threads_for_tests(true);
    go.set_value();
    EXPECT_EQ(ended.wait_for(20s), std::future_status::ready) << "the player waited for sounds that never started";
    util::refuse_threads_for_tests(false);
    if (ended.wait_for(0s) != std::future_status::ready)
        std::abort(); // the wait never ends; better a clear crash than a hung suite
}

TEST_F(ThreadRefusal, ADetachedChildThatCouldNotBeReapedIsNotStarted)
{
    testing_support::TempDir dir;
    const auto refused = dir.path() / "rechazado";
    const auto later = dir.path() / "despues";
    util::refuse_threads_for_tests(true);
    const auto r = platform::start_detached("touch", { refused.string() });
    util::refuse_threads_for_tests(false);
    ASSERT_FALSE(r.has_value());
    EXPECT_FALSE(r.error().empty());
    // A child started once threads are to be had again runs and is reaped;
    // by the time it has, the refused one would long have left its file.
    std::promise<int> status;
    ASSERT_TRUE(platform::start_detached("touch", { later.string() }, [&](int s) { status.set_value(s); }).has_value());
    auto got = status.get_future();
    ASSERT_EQ(got.wait_for(20s), std::future_status::ready) << "the reaper never reported the second child";
    EXPECT_EQ(got.get(), 0);
    EXPECT_TRUE(std::filesystem::exists(later));
    EXPECT_FALSE(std::filesystem::exists(refused));
}

// Records how a recording output ended.
struct Ends final : platform::RecordingListener {
    std::mutex mutex;
    std::vector<std::string> failures;
    int finished = 0;
    void recording_started() override { }
    void recording_failed(const std::string& e) override
    {
        std::lock_guard lock(mutex);
        failures.push_back(e);
    }
    void recording_finished() override
    {
        std::lock_guard lock(mutex);
        ++finished;
    }
};

platform::StreamConfiguration stream_of(std::uint32_t w, std::uint32_t h)
{
    platform::StreamConfiguration c;
    c.width = w;
    c.height = h;
    c.minimum_frame_interval = recorder::frame_interval(30);
    return c;
}

// The names of this process's threads.
std::vector<std::string> thread_names()
{
    std::vector<std::string> names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "comm");
        std::string name;
        std::getline(in, name);
        names.push_back(name);
    }
    return names;
}

TEST_F(ThreadRefusal, ARecordingThatGetsNoThreadFailsAtOnceAndEndsWithoutWaiting)
{
    testing_support::TempDir dir;
    const auto file = dir.path() / "sin_hilos.mp4";
    auto ends = std::make_shared<Ends>();
    const std::string before = util::thread_name();
    auto output = platform::ffmpeg::RecordingOutput::open({ file.string(), platform::VideoCodec::H264 }, stream_of(1920, 1080), ends);
    ASSERT_TRUE(output) << output.error();
    // The encoder's own threads (two frame threads at 1080p30) took the name
    // it was opened under; the opening thread has its own back.
    EXPECT_EQ(util::thread_name(), before);
    if (util::parallelism() > 1) {
        EXPECT_GT(std::ranges::count(thread_names(), std::string("vistrope-encode")), 0) << "no encoder thread carries its name";
    }

    util::refuse_threads_for_tests(true);
    (*output)->start();
    util::refuse_threads_for_tests(false);
    // Reported before start returned: nothing is left to wait for.
    {
        std::lock_guard lock(ends->mutex);
        ASSERT_EQ(ends->failures.size(), 1u);
        EXPECT_NE(ends->failures[0].find("hilos"), std::string::npos) << ends->failures[0];
        EXPECT_EQ(ends->finished, 0);
    }
    EXPECT_FALSE((*output)->push_video({ QImage(1920, 1080, QImage::Format_ARGB32_Premultiplied), 0 }));
    (*output)->finish();
    output->reset();
    std::lock_guard lock(ends->mutex);
    EXPECT_EQ(ends->failures.size(), 1u) << "reported once";
}

} // namespace
