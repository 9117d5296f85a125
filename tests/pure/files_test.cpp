#include "base/files.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace testing_support;
namespace fs = std::filesystem;

TEST(Files, ReadingRefusesWhatIsNoRegularFileWithoutWaiting)
{
    TempDir dir;
    write_file(dir.path() / "a.txt", "hola\n");
    EXPECT_EQ(files::read_regular(dir.path() / "a.txt", 5), "hola\n");
    auto large = files::read_regular(dir.path() / "a.txt", 4);
    ASSERT_FALSE(large);
    EXPECT_EQ(large.error().kind, files::ReadError::Kind::TooLarge);

    const fs::path fifo = dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        fs::path path;
        files::ReadError::Kind kind;
    };
    for (const auto& c : { Case { fifo, files::ReadError::Kind::NotRegular }, Case { "/dev/zero", files::ReadError::Kind::NotRegular },
             Case { dir.path(), files::ReadError::Kind::NotRegular }, Case { dir.path() / "none", files::ReadError::Kind::Missing } }) {
        auto read = files::read_regular(c.path, 1 << 20);
        ASSERT_FALSE(read) << c.path;
        EXPECT_EQ(read.error().kind, c.kind) << c.path << ": " << read.error().message;
    }
    EXPECT_EQ(files::read_regular(dir.path(), 10).error().message, "es una carpeta");
}

TEST(Files, ReplacingFollowsLinksKeepsTheModeAndCleansUpOnFailure)
{
    TempDir dir;
    const fs::path real = dir.path() / "real/file";
    write_file(real, "old");
    fs::permissions(real, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    fs::create_symlink("real/file", dir.path() / "one");
    fs::create_symlink(dir.path() / "one", dir.path() / "two");

    ASSERT_TRUE(files::replace(dir.path() / "two", "new"));
    EXPECT_TRUE(fs::is_symlink(dir.path() / "two"));
    EXPECT_EQ(read_file(real), "new");
    EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(real.parent_path()), {}), 1) << "no temporary left after success";

    // A link into a missing file makes that file.
    fs::create_symlink("real/made", dir.path() / "dangling");
    ASSERT_TRUE(files::replace(dir.path() / "dangling", "x"));
    EXPECT_EQ(read_file(dir.path() / "real/made"), "x");

    // A folder in the place is not replaced, and nothing is left beside it.
    fs::create_directories(dir.path() / "real/folder/in");
    auto failed = files::replace(dir.path() / "real/folder", "x");
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().find("real/folder"), std::string::npos) << failed.error();
    EXPECT_TRUE(fs::is_directory(dir.path() / "real/folder/in"));
    EXPECT_EQ(std::distance(fs::directory_iterator(real.parent_path()), {}), 3);
    // No folder to write into is a failure too.
    EXPECT_FALSE(files::replace(dir.path() / "missing/file", "x"));
}
