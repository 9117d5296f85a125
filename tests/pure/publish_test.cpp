// Naming, reserving and publishing files, on a real file system.
#include "base/publish.h"
#include "base/util.h"

#include "base/files.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using testing_support::TempDir;

namespace {

std::tm local_time(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

TEST(CaptureName, IsTheLocalDateAndTimeZeroPadded)
{
    EXPECT_EQ(publish::capture_name(local_time(2026, 3, 7, 9, 5, 2)), "Vistrope 2026-03-07 a las 09.05.02");
    EXPECT_EQ(publish::capture_name(local_time(2026, 12, 31, 23, 59, 59)), "Vistrope 2026-12-31 a las 23.59.59");
    // The year keeps four digits below 1000.
    EXPECT_EQ(publish::capture_name(local_time(999, 1, 1, 0, 0, 0)), "Vistrope 0999-01-01 a las 00.00.00");
    EXPECT_EQ(publish::capture_name(local_time(12, 1, 1, 0, 0, 0)), "Vistrope 0012-01-01 a las 00.00.00");
}

TEST(UniquePath, CountsFromTwoBeforeTheExtension)
{
    TempDir tmp;
    const fs::path dir = tmp.path() / "a" / "b"; // created with its parents
    EXPECT_EQ(publish::unique_path(dir, "x", "png"), dir / "x.png");
    EXPECT_TRUE(fs::is_directory(dir));
    testing_support::write_file(dir / "x.png", "1");
    EXPECT_EQ(publish::unique_path(dir, "x", "png"), dir / "x (2).png");
    testing_support::write_file(dir / "x (2).png", "2");
    EXPECT_EQ(publish::unique_path(dir, "x", "png"), dir / "x (3).png");
    // A gap is used: only the first free name counts.
    testing_support::write_file(dir / "x (4).png", "4");
    EXPECT_EQ(publish::unique_path(dir, "x", "png"), dir / "x (3).png");
}

TEST(UniquePath, ADanglingLinkOrAFolderHoldsTheName)
{
    TempDir tmp;
    fs::create_symlink(tmp.path() / "nowhere", tmp.path() / "x.png");
    fs::create_directory(tmp.path() / "x (2).png");
    EXPECT_EQ(publish::unique_path(tmp.path(), "x", "png"), tmp.path() / "x (3).png");
    // Reserving skips them too, and writes nothing anywhere.
    const publish::Reserved r = publish::reserve_path(tmp.path(), "x", "png");
    EXPECT_FALSE(r.error);
    EXPECT_EQ(r.path, tmp.path() / "x (3).png");
    EXPECT_FALSE(fs::exists(tmp.path() / "x (3).png"));
    EXPECT_FALSE(fs::exists(tmp.path() / "nowhere"));
    publish::release(r);
    EXPECT_EQ(publish::unique_path(tmp.path(), "x", "png"), tmp.path() / "x (3).png");
}

TEST(ReservePath, NamesOfOneSecondFollowTheOrderOfReservationNotOfWriting)
{
    TempDir tmp;
    const std::string stem = "Vistrope 2026-03-07 a las 09.05.02";
    const auto first = publish::reserve_path(tmp.path(), stem, "png");
    const auto second = publish::reserve_path(tmp.path(), stem, "png");
    EXPECT_EQ(first.path.filename(), stem + ".png");
    EXPECT_EQ(second.path.filename(), stem + " (2).png");
    // Nothing stands on disk meanwhile, yet every chooser sees the names.
    EXPECT_TRUE(fs::is_empty(tmp.path()));
    EXPECT_EQ(publish::unique_path(tmp.path(), stem, "png").filename(), stem + " (3).png");
    // The second finishes first and still gets its own number.
    const std::vector<std::uint8_t> two { 2 }, one { 1 };
    EXPECT_EQ(publish::publish(second, two), second.path);
    EXPECT_EQ(publish::publish(first, one), first.path);
    EXPECT_EQ(testing_support::read_file(first.path), "\1");
    EXPECT_EQ(testing_support::read_file(second.path), "\2");
    EXPECT_EQ(publish::unique_path(tmp.path(), stem, "png").filename(), stem + " (3).png");
}

TEST(ReservePath, AFolderThatCannotBeMadeIsAnErrorWithThePath)
{
    TempDir tmp;
    testing_support::write_file(tmp.path() / "file", "x");
    const auto r = publish::reserve_path(tmp.path() / "file" / "sub", "x", "png");
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.path, tmp.path() / "file" / "sub" / "x.png");
    EXPECT_FALSE(publish::publish(r, std::vector<std::uint8_t> { 1 }));
    // A file where the folder should be is refused too.
    const auto on_file = publish::reserve_path(tmp.path() / "file", "x", "png");
    EXPECT_TRUE(on_file.error);
}

std::vector<std::string> listing(const fs::path& dir)
{
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST(Publish, ANameTakenByAnotherProgramMeanwhileMovesToTheNextNumber)
{
    TempDir tmp;
    const auto mine = publish::reserve_path(tmp.path(), "x", "png");
    const auto next = publish::reserve_path(tmp.path(), "x", "png"); // "x (2)", still ours
    // Another program writes "x.png" between our choice and our publish.
    testing_support::write_file(tmp.path() / "x.png", "ajeno");
    const auto published = publish::publish(mine, std::vector<std::uint8_t> { 7, 7 });
    ASSERT_TRUE(published) << published.error();
    EXPECT_EQ(*published, tmp.path() / "x (3).png") << "neither the other's file nor our next name";
    EXPECT_EQ(testing_support::read_file(tmp.path() / "x.png"), "ajeno");
    EXPECT_EQ(testing_support::read_file(*published), "\7\7");
    ASSERT_TRUE(publish::publish(next, std::vector<std::uint8_t> { 8 }));
    EXPECT_EQ(listing(tmp.path()), (std::vector<std::string> { "x (2).png", "x (3).png", "x.png" }))
        << "no temporary is left behind";
}

TEST(Publish, AFailedWriteLeavesNoFileHiddenOrNot)
{
    TempDir tmp;
    const auto r = publish::reserve_path(tmp.path(), "x", "png");
    // The write fails half-way: files may not grow past 100 bytes.
    rlimit before {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = before;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto published = publish::publish(r, std::vector<std::uint8_t>(1000, 1));
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_FALSE(published);
    EXPECT_FALSE(published.error().empty());
    EXPECT_TRUE(fs::is_empty(tmp.path()));
    // The name is free again.
    EXPECT_EQ(publish::unique_path(tmp.path(), "x", "png"), tmp.path() / "x.png");
}

TEST(Publish, LeftoverTemporariesGoOnlyOnceADayOld)
{
    TempDir tmp;
    const auto now = fs::file_time_type::clock::now();
    const auto age = [&](const std::string& name, std::chrono::hours hours) {
        testing_support::write_file(tmp.path() / name, "x");
        fs::last_write_time(tmp.path() / name, now - hours);
    };
    age(".Vistrope 2026-03-07 a las 09.05.02.png.aB3dE9", std::chrono::hours(30));
    age(".Vistrope 2026-03-07 a las 09.05.03.mp4.Zz0000", std::chrono::hours(30));
    age(".Vistrope 2026-03-08 a las 10.00.00.png.q1w2e3", std::chrono::hours(2)); // another run, maybe still writing
    age(".Vistrope notas", std::chrono::hours(30));
    age(".Vistrope 2026-03-07 a las 09.05.02.png.corto", std::chrono::hours(30));
    age("Vistrope 2026-03-07 a las 09.05.02.png", std::chrono::hours(30));
    publish::remove_stale_temporaries(tmp.path());
    EXPECT_EQ(listing(tmp.path()), (std::vector<std::string> { ".Vistrope 2026-03-07 a las 09.05.02.png.corto",
                                       ".Vistrope 2026-03-07 a las 09.05.03.mp4.Zz0000", // recovery's to take or set aside
                                       ".Vistrope 2026-03-08 a las 10.00.00.png.q1w2e3", ".Vistrope notas",
                                       "Vistrope 2026-03-07 a las 09.05.02.png" }));
    publish::remove_stale_temporaries(tmp.path() / "no-existe"); // nothing to do, no error
}

// A save folder that cannot even be looked up (a name past NAME_MAX, a link
// that loops) is a failure of the road, not an exception out of it.
TEST(ReservePath, AFolderThatCannotBeLookedUpIsAnError)
{
    TempDir tmp;
    fs::create_directory_symlink("loop", tmp.path() / "loop");
    const std::vector<fs::path> folders { tmp.path() / std::string(300, 'a'), tmp.path() / "loop" / "sub", tmp.path() / "loop" };
    for (const fs::path& dir : folders) {
        SCOPED_TRACE(dir.string());
        publish::Reserved r;
        ASSERT_NO_THROW(r = publish::reserve_path(dir, "x", "png"));
        ASSERT_TRUE(r.error);
        EXPECT_FALSE(r.error->empty());
        const std::vector<std::uint8_t> bytes { 1 };
        EXPECT_FALSE(publish::publish(r, bytes));
        EXPECT_NO_THROW(publish::unique_path(dir, "x", "png"));
        EXPECT_NO_THROW(publish::remove_stale_temporaries(dir));
    }
}

} // namespace

// Only names our writer makes count as its temporaries: a capture's dated
// name (with its count from unique naming), ".png" or ".mp4", and six
// characters of the random alphabet. Look-alikes are the user's, and no
// control character ever passes.
TEST(Publish, TemporariesAreExactlyTheNamesOurWriterMakes)
{
    for (const std::string name : { ".Vistrope 2026-03-07 a las 09.05.02.png.aB3dE9", ".Vistrope 2026-03-07 a las 09.05.02.mp4.Zz0000",
             ".Vistrope 2026-03-07 a las 09.05.02 (2).mp4.q1w2e3", ".Vistrope 2026-03-07 a las 09.05.02 (117).png.000000" }) {
        EXPECT_TRUE(publish::is_temporary_name(name)) << name;
        EXPECT_EQ(publish::temporary_target(name), name.substr(1, name.size() - 8)) << name;
    }
    for (const std::string& name : std::vector<std::string> { ".Vistrope notes.mp4.backup", ".Vistrope notas.mp4.abc123",
             ".Vistrope 2026-03-07 a las 09.05.02.mp4.abc12", ".Vistrope 2026-03-07 a las 09.05.02.mp4.abc1234",
             ".Vistrope 2026-03-07 a las 09.05.02.mp4.ab-c12", ".Vistrope 2026-03-07 a las 09.05.02.mp4.ab\xc3\xb1" "c1",
             ".Vistrope 2026-03-07 a las 09.05.02.gif.abc123", ".Vistrope 2026-03-07 a las 09.05.02 (0).mp4.abc123",
             ".Vistrope 2026-03-07 a las 09.05.02 (02).mp4.abc123", ".Vistrope 2026-03-07 a las 09.05.02 ().mp4.abc123",
             ".Vistrope 2026-03-07 a las 09.05.02 (2.mp4.abc123", ".Vistrope 2026-03-07 a las 09.05.0x.mp4.abc123",
             ".Vistrope 2026-03-07 a las 09.05.02 copia.mp4.abc123", "Vistrope 2026-03-07 a las 09.05.02.mp4.abc123",
             ".Vistrope 2026-03-07 a las 09.05.02\n.mp4.abc123", ".Vistrope 2026-03-07 a las 09.05.02.mp4.ab\x1b" "c12",
             ".Vistrope 2026-03-07\x1b[2J a las 09.05.02.mp4.abc123", std::string(".Vistrope 2026-03-07 a las 09.05.02.mp4.abc12\0", 46),
             ".Vistrope 2026-03-07 a las 09.05.02.mp4.", "" }) {
        EXPECT_FALSE(publish::is_temporary_name(name)) << util::escape_controls(name);
        EXPECT_FALSE(publish::temporary_target(name)) << util::escape_controls(name);
    }
    // Whatever the alphabet draws, our own temporaries pass.
    TempDir tmp;
    for (int i = 0; i < 50; ++i) {
        auto made = publish::create_temporary(tmp.path() / "Vistrope 2026-03-07 a las 09.05.02 (3).mp4");
        ASSERT_TRUE(made) << made.error();
        EXPECT_TRUE(publish::is_temporary_name(made->filename().string())) << made->filename();
        fs::remove(*made);
    }
}

// A library on another thread may narrow the process's mask for a moment (the
// sound server's client sets 077 while it makes its folder): files made for
// the user meanwhile still get the mode of the mask the program started with.
TEST(Publish, FilesTakeTheMaskReadAtStartNotTheMaskOfTheMoment)
{
    TempDir tmp;
    const auto mode_of = [](const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
        return static_cast<unsigned>(st.st_mode & 07777);
    };
    const mode_t before = ::umask(027);
    for (const unsigned mask : { 022u, 027u }) {
        ::umask(static_cast<mode_t>(mask));
        files::remember_creation_mask();
        const unsigned wanted = 0666u & ~mask;
        EXPECT_EQ(files::new_file_mode(), wanted);
        ::umask(077); // narrowed after the start, as by the library

        const auto published = publish::publish(publish::reserve_path(tmp.path(), "captura", "png"), std::vector<std::uint8_t> { 1 });
        ASSERT_TRUE(published) << published.error();
        EXPECT_EQ(mode_of(*published), wanted) << "a capture, mask " << mask;
        const auto recording = publish::create_temporary(tmp.path() / "grabación.mp4");
        ASSERT_TRUE(recording) << recording.error();
        EXPECT_EQ(mode_of(*recording), wanted) << "a recording's temporary, published by a rename";
        const fs::path made = tmp.path() / fmt::format("nuevo-{:o}.txt", mask);
        ASSERT_TRUE(files::replace(made, "x"));
        EXPECT_EQ(mode_of(made), wanted) << "a new small file";
    }
    // A file that exists keeps its own mode when replaced.
    const fs::path kept = tmp.path() / "propio.txt";
    testing_support::write_file(kept, "a");
    fs::permissions(kept, fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(files::replace(kept, "b"));
    EXPECT_EQ(mode_of(kept), 0600u);

    ::umask(before);
    files::remember_creation_mask();
}

// An output named by one of our descriptors is written into it where it
// stands (a file opened to append keeps what it had), and a pipe whose
// reader hung up is an error naming it, not a signal that ends the process.
TEST(WriteOutput, IntoADescriptorAppendsAndAClosedPipeIsAnError)
{
    TempDir dir;
    const auto log = dir.path() / "a.log";
    testing_support::write_file(log, "viejo\n");
    const int appending = ::open(log.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(appending, 0);
    const std::string text = "nuevo\n";
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    const auto into_file = publish::write_output(fmt::format("/proc/self/fd/{}", appending), bytes);
    ::close(appending);
    ASSERT_TRUE(into_file) << into_file.error();
    EXPECT_EQ(testing_support::read_file(log), "viejo\nnuevo\n");

    const auto old_action = std::signal(SIGPIPE, SIG_DFL);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    const std::string named = fmt::format("/dev/fd/{}", ends[1]);
    const auto into_pipe = publish::write_output(named, bytes);
    ::close(ends[1]);
    std::signal(SIGPIPE, old_action);
    ASSERT_FALSE(into_pipe);
    EXPECT_EQ(into_pipe.error(), fmt::format("el lector cerró la tubería {}", named));
}
