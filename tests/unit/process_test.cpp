#include "platform/process.h"
#include "platform/workspace.h"

#include "qt_wait.h"
#include "base/util.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

TEST(Process, AnOutputPastItsLimitEndsTheChild)
{
    const auto start = std::chrono::steady_clock::now();
    // Endless output: only the limit can end it before the timeout.
    const auto r = platform::run_process("yes", { "0123456789abcdef" }, 30s, 100'000);
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_TRUE(r->output_too_large);
    EXPECT_FALSE(r->timed_out);
    EXPECT_FALSE(r->succeeded());
    EXPECT_GT(r->standard_output.size(), 100'000u);
    EXPECT_LT(r->standard_output.size(), 200'000u);
    EXPECT_TRUE(r->standard_output.starts_with("0123456789abcdef\n"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

    // Exactly at the limit is still a whole answer.
    const auto whole = platform::run_process("printf", { "12345" }, 5s, 5);
    ASSERT_TRUE(whole.has_value());
    EXPECT_FALSE(whole->output_too_large);
    EXPECT_TRUE(whole->succeeded());
    EXPECT_EQ(whole->standard_output, "12345");
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

namespace {

// The messages an opener reports, waited for from its reaping thread.
struct Reports {
    std::mutex mutex;
    std::vector<std::string> got;
    std::function<void(const std::string&)> sink()
    {
        return [this](const std::string& m) {
            std::lock_guard lock(mutex);
            got.push_back(m);
        };
    }
    std::vector<std::string> wait_for(std::size_t n)
    {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard lock(mutex);
                if (got.size() >= n)
                    return got;
            }
            std::this_thread::sleep_for(10ms);
        }
        std::lock_guard lock(mutex);
        return got;
    }
};

} // namespace

// A missing opener and one that fails are said, with the path; one that
// succeeds says nothing.
TEST(Process, OpeningAPathReportsAMissingOrFailingOpener)
{
    testing_support::TempDir dir;
    const auto failing = dir.path() / "abridor";
    testing_support::write_file(failing, "#!/bin/sh\nexit 3\n");
    std::filesystem::permissions(failing, std::filesystem::perms::owner_all);
    const auto fine = dir.path() / "abre-bien";
    testing_support::write_file(fine, "#!/bin/sh\nexit 0\n");
    std::filesystem::permissions(fine, std::filesystem::perms::owner_all);

    Reports reports;
    platform::open_path_with(fine.string(), "/tmp/bien", reports.sink());
    platform::open_path_with((dir.path() / "no-existe").string(), "/tmp/a b", reports.sink());
    platform::open_path_with(failing.string(), "/tmp/capturas", reports.sink());
    auto got = reports.wait_for(2);
    std::this_thread::sleep_for(100ms); // the good opener's answer, had it reported
    got = reports.wait_for(2);
    ASSERT_EQ(got.size(), 2u);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got[0].rfind("no pude abrir /tmp/a b: no pude iniciar ", 0), 0u) << got[0];
    EXPECT_EQ(got[1], "no pude abrir /tmp/capturas: no hay ninguna aplicación para abrirlo");
}

// The desktop's opener failing reaches the caller on the main thread, so it
// can say so where the user looks; succeeding, it says nothing.
TEST(Process, OpenPathHandsAFailureBackOnTheMainThread)
{
    testing_support::TempDir dir;
    testing_support::write_file(dir.path() / "xdg-open", "#!/bin/sh\n[ \"$1\" = /tmp/bien ] && exit 0\nexit 3\n");
    std::filesystem::permissions(dir.path() / "xdg-open", std::filesystem::perms::owner_all);
    testing_support::ScopedEnv path("PATH", dir.path().string() + ":/usr/bin:/bin");
    std::vector<std::string> failures;
    bool on_main = true;
    const auto failed = [&](const std::string& why) {
        on_main = on_main && util::is_main_thread();
        failures.push_back(why);
    };
    platform::open_path("/tmp/bien", failed);
    platform::open_path("/tmp/config.toml", failed);
    ASSERT_TRUE(testing_support::wait_until([&] { return !failures.empty(); }, 5000));
    testing_support::pump_for(200); // the good one's answer, had it reported
    EXPECT_EQ(failures, std::vector<std::string> { "no pude abrir /tmp/config.toml: no hay ninguna aplicación para abrirlo" });
    EXPECT_TRUE(on_main);
}
