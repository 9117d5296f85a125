// Owners of a thread when the system refuses one: each fails its work
// cleanly, and nothing waits on the thread that never started.
#include "base/sound.h"
#include "base/util_thread.h"
#include "platform/process.h"
#include "platform/sound_out.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
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

} // namespace
