// The folders the test executables keep their files in: private, one per
// run, and gone only after a run that failed nothing.
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <regex>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

std::vector<fs::path> entries(const fs::path& dir)
{
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

// Runs `body` in a child process with TMPDIR set to `tmp`, its output
// silenced, and ends it with exit() so its exit handlers run; the child's
// status, or -1 when it did not exit.
int in_child(const fs::path& tmp, const std::function<int()>& body)
{
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::setenv("TMPDIR", tmp.c_str(), 1);
        int status = 99;
        try {
            status = body();
        } catch (...) {
            std::_Exit(98);
        }
        std::exit(status);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

TEST(TestUtil, PrivateFoldersAreNewOwnerOnlyAndNamedForTheProject)
{
    const TempDir parent;
    const fs::path a = testing_support::make_private_dir(parent.path());
    const fs::path b = testing_support::make_private_dir(parent.path());
    EXPECT_NE(a, b);
    for (const fs::path& dir : { a, b }) {
        EXPECT_EQ(dir.parent_path(), parent.path());
        EXPECT_TRUE(std::regex_match(dir.filename().string(), std::regex("vistrope-test-[A-Za-z0-9]{6}"))) << dir;
        EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all) << dir;
    }
    const fs::path missing = parent.path() / "no-existe";
    try {
        testing_support::make_private_dir(missing);
        ADD_FAILURE() << "a folder was made in a parent that does not exist";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(missing.string()), std::string::npos) << e.what();
    }
}

TEST(TestUtil, TheRunFolderIsOneUnderTmpdirAndGoesAfterACleanRunOnly)
{
    if (::testing::UnitTest::GetInstance()->Failed())
        GTEST_SKIP() << "an earlier test failed: no run in this process can end clean";

    // A clean run: one folder under TMPDIR for every call, left alone by a
    // forked child's exit, gone after the run's own.
    const TempDir clean;
    const int status = in_child(clean.path(), [&] {
        const fs::path& dir = testing_support::run_dir();
        if (dir.parent_path() != clean.path() || &testing_support::run_dir() != &dir)
            return 2;
        const std::string file = testing_support::run_file("pantalla.png");
        if (file != (dir / "pantalla.png").string())
            return 3;
        testing_support::write_file(file, "x");
        std::fflush(nullptr);
        const pid_t grandchild = ::fork();
        if (grandchild == 0)
            std::exit(0);
        int ignored = 0;
        ::waitpid(grandchild, &ignored, 0);
        return fs::exists(file) ? 0 : 4;
    });
    EXPECT_EQ(status, 0) << "2: not one folder under TMPDIR, 3: a file outside it, 4: a child's exit took it";
    EXPECT_TRUE(entries(clean.path()).empty()) << "left after a clean run: " << entries(clean.path()).front();

    // A run with a failed test keeps its folder and what is in it.
    const TempDir failed;
    EXPECT_EQ(in_child(failed.path(), [] {
        testing_support::write_file(testing_support::run_file("pantalla.png"), "x");
        ADD_FAILURE() << "the child's own failure";
        return 0;
    }), 0);
    const auto kept = entries(failed.path());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(testing_support::read_file(kept[0] / "pantalla.png"), "x");
}
