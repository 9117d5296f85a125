#include "platform/process.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace std::chrono_literals;

TEST(Process, CapturesBothOutputsAndTheExitStatus)
{
    const auto r = platform::run_process("sh", { "-c", "printf 'uno\\ndos'; printf 'error' >&2; exit 3" }, 5s);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(r->standard_output, "uno\ndos");
    EXPECT_EQ(r->standard_error, "error");
    EXPECT_EQ(r->exit_status, 3);
    EXPECT_FALSE(r->timed_out);
    EXPECT_FALSE(r->succeeded());
}

TEST(Process, ReadsLargeOutputsOnBothPipesWithoutDeadlock)
{
    // More than a pipe's buffer on each stream, interleaved.
    const auto r = platform::run_process(
        "sh", { "-c", "i=0; while [ $i -lt 4000 ]; do echo 0123456789abcdef; echo fedcba9876543210 >&2; i=$((i+1)); done" },
        20s);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->standard_output.size(), 4000u * 17);
    EXPECT_EQ(r->standard_error.size(), 4000u * 17);
    EXPECT_TRUE(r->succeeded());
}

TEST(Process, AMissingProgramIsAnError)
{
    const auto r = platform::run_process("vistrope-no-such-program", {}, 5s);
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().find("vistrope-no-such-program"), std::string::npos);
    EXPECT_FALSE(platform::start_detached("vistrope-no-such-program", {}).has_value());
}

TEST(Process, AChildPastTheTimeoutIsKilled)
{
    const auto start = std::chrono::steady_clock::now();
    // The shell's own child keeps the pipes open: it must end too.
    const auto r = platform::run_process("sh", { "-c", "echo antes; sleep 30; echo nunca" }, 300ms);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->timed_out);
    EXPECT_FALSE(r->succeeded());
    EXPECT_EQ(r->standard_output, "antes\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    // A child that closes its outputs and goes on running is still bounded.
    const auto closed = std::chrono::steady_clock::now();
    const auto quiet = platform::run_process("sh", { "-c", "exec >&- 2>&-; sleep 30" }, 300ms);
    ASSERT_TRUE(quiet.has_value());
    EXPECT_TRUE(quiet->timed_out);
    EXPECT_LT(std::chrono::steady_clock::now() - closed, 5s);
}

TEST(Process, StartDetachedReturnsAtOnceAndTheChildRuns)
{
    testing_support::TempDir dir;
    const auto marker = dir.path() / "hecho";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(platform::start_detached("sh", { "-c", "sleep 0.3; touch \"$0\"", marker.string() }).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 250ms);
    for (int i = 0; i < 300 && !std::filesystem::exists(marker); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(std::filesystem::exists(marker));
}
