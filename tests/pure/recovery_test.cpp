// Which temporaries recovery takes, and that what it publishes is always a
// new file: with fakes of the media work over files of boxes made here.
#include "record/recovery.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

using namespace recorder;
namespace fs = std::filesystem;

namespace {

std::string box(const char* type, std::uint32_t size)
{
    std::string b;
    for (int i = 3; i >= 0; --i)
        b.push_back(static_cast<char>(size >> (8 * i)));
    b.append(type, 4);
    b.resize(size, static_cast<char>(size & 0x7f));
    return b;
}

// A header, two whole fragments and half of a third: the whole part is `whole` bytes long.
struct Recording {
    std::string bytes;
    std::size_t whole = 0;
};
Recording killed_recording()
{
    Recording r;
    r.bytes = box("ftyp", 24) + box("moov", 300) + box("moof", 60) + box("mdat", 900) + box("moof", 64) + box("mdat", 700);
    r.whole = r.bytes.size();
    r.bytes += box("moof", 60) + box("mdat", 800).substr(0, 333);
    return r;
}

const std::string STEM = "Vistrope 2026-01-05 a las 09.03.07";
const std::string TEMPORARY = ".Vistrope 2026-01-05 a las 09.03.07.mp4.abc123";

struct Fixture {
    testing_support::TempDir dir;
    fs::path folder = dir.path() / "capturas";
    fs::path state = dir.path() / "estado";
    std::vector<std::string> done;
    bool remux_works = false;
    bool plays = true;

    Fixture() { fs::create_directories(folder); }

    RecoveryTools tools()
    {
        RecoveryTools t;
        t.state_dir = state;
        t.create = [](const fs::path& name) -> std::expected<HeldFile, std::string> {
            static int n = 0;
            const fs::path made = name.parent_path() / ("." + name.filename().string() + ".new" + std::to_string(++n));
            testing_support::write_file(made, "");
            return hold_file(made);
        };
        t.remux = [this](const fs::path& source, const fs::path& destination) -> std::expected<void, std::string> {
            done.push_back("remux");
            if (!remux_works)
                return std::unexpected(std::string("no"));
            testing_support::write_file(destination, "regular:" + testing_support::read_file(source));
            return {};
        };
        t.plays = [this](const fs::path&) -> std::expected<void, std::string> {
            if (!plays)
                return std::unexpected(std::string("ningún cuadro se puede decodificar"));
            return {};
        };
        t.publish = [this](const fs::path& dir, const std::string& stem, const fs::path& file) -> std::expected<fs::path, std::string> {
            const fs::path to = dir / (stem + ".mp4");
            fs::rename(file, to);
            return to;
        };
        return t;
    }

    std::vector<std::string> names(const fs::path& in) const
    {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(in, ec))
            out.push_back(e.path().filename().string());
        std::ranges::sort(out);
        return out;
    }
};

Refusal::Kind refused(const fs::path& path)
{
    auto claimed = claim_abandoned(path);
    return claimed ? Refusal::Kind::Failed : claimed.error().kind;
}

} // namespace

// Only a regular file of ours that no one holds is taken; what is refused is
// left exactly as it was.
TEST(Recovery, OnlyARegularFileOfOursThatNobodyHoldsIsTaken)
{
    Fixture f;
    const Recording rec = killed_recording();
    // A hard link from outside, named like one of ours.
    const fs::path outside = f.dir.path() / "otro.mp4";
    testing_support::write_file(outside, rec.bytes);
    const fs::path linked = f.folder / TEMPORARY;
    fs::create_hard_link(outside, linked);
    EXPECT_EQ(refused(linked), Refusal::Kind::NotOurs);
    // A symbolic link to it, a FIFO (which must not make the claim wait), a folder.
    const fs::path symlink = f.folder / ".Vistrope 2026-01-05 a las 09.03.08.mp4.abc123";
    fs::create_symlink(outside, symlink);
    EXPECT_EQ(refused(symlink), Refusal::Kind::NotOurs);
    const fs::path fifo = f.folder / ".Vistrope 2026-01-05 a las 09.03.09.mp4.abc123";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(refused(fifo), Refusal::Kind::NotOurs);
    EXPECT_EQ(refused(f.folder / "no está.mp4"), Refusal::Kind::Gone);
    EXPECT_EQ(testing_support::read_file(outside), rec.bytes);

    // One another open file holds: being written, whatever its age.
    const fs::path live = f.folder / ".Vistrope 2026-01-05 a las 09.03.10.mp4.abc123";
    testing_support::write_file(live, rec.bytes);
    fs::last_write_time(live, fs::file_time_type::clock::now() - std::chrono::hours(24 * 400));
    {
        auto writer = hold_file(live);
        ASSERT_TRUE(writer) << writer.error();
        EXPECT_EQ(refused(live), Refusal::Kind::Live);
        EXPECT_FALSE(hold_file(live)); // nor can a second writer take it
    }
    // Let go (as the kernel does at the writer's death): it is taken, and
    // held by the claim meanwhile.
    auto claimed = claim_abandoned(live);
    ASSERT_TRUE(claimed);
    EXPECT_EQ(refused(live), Refusal::Kind::Live);

    // Another user's file, where this test may make one.
    if (::geteuid() == 0) {
        const fs::path theirs = f.folder / ".Vistrope 2026-01-05 a las 09.03.11.mp4.abc123";
        testing_support::write_file(theirs, rec.bytes);
        ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
        EXPECT_EQ(refused(theirs), Refusal::Kind::NotOurs);
    }
}

// The whole fragments are copied into a new file, which is published; the
// temporary is read, never cut or written, and goes only after that.
TEST(Recovery, WhatIsRecoveredIsANewFileOfTheWholeFragments)
{
    for (const bool remux : { false, true }) {
        Fixture f;
        f.remux_works = remux;
        const Recording rec = killed_recording();
        const fs::path temporary = f.folder / TEMPORARY;
        testing_support::write_file(temporary, rec.bytes);
        // A descriptor kept on the old file shows what recovery did to it.
        const int old = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(old, 0);
        auto claimed = claim_abandoned(temporary);
        ASSERT_TRUE(claimed);
        const Recovered r = recover_claimed(*claimed, STEM, f.tools());
        ASSERT_EQ(r.kind, Recovered::Kind::Published) << r.reason;
        EXPECT_EQ(r.path, f.folder / (STEM + " (recuperada).mp4"));
        const std::string whole = rec.bytes.substr(0, rec.whole);
        EXPECT_EQ(testing_support::read_file(r.path), remux ? "regular:" + whole : whole);
        EXPECT_EQ(f.names(f.folder), (std::vector<std::string> { STEM + " (recuperada).mp4" }));
        std::string kept(rec.bytes.size() + 10, '\0');
        EXPECT_EQ(::pread(old, kept.data(), kept.size(), 0), static_cast<ssize_t>(rec.bytes.size()));
        kept.resize(rec.bytes.size());
        EXPECT_EQ(kept, rec.bytes);
        ::close(old);
    }
}

// Nothing playable is announced: the temporary goes aside into the state
// folder, whole, and whatever was made from it is removed.
TEST(Recovery, WhatDoesNotPlayIsSetAsideNeitherPublishedNorDeleted)
{
    const Recording rec = killed_recording();
    struct Case {
        std::string bytes;
        bool decodes;
        std::string reason;
    };
    const Case cases[] = {
        { rec.bytes, false, "ningún cuadro se puede decodificar" },        // fragments whose frames do not decode
        { rec.bytes.substr(0, 400), true, "no quedó ningún fragmento completo" }, // killed before the first fragment ended
    };
    for (const Case& c : cases) {
        Fixture f;
        f.plays = c.decodes;
        const fs::path temporary = f.folder / TEMPORARY;
        testing_support::write_file(temporary, c.bytes);
        auto claimed = claim_abandoned(temporary);
        ASSERT_TRUE(claimed);
        const Recovered r = recover_claimed(*claimed, STEM, f.tools());
        ASSERT_EQ(r.kind, Recovered::Kind::SetAside);
        EXPECT_EQ(r.reason, c.reason);
        EXPECT_EQ(r.path, set_aside_dir(f.state) / TEMPORARY);
        EXPECT_EQ(testing_support::read_file(r.path), c.bytes);
        EXPECT_TRUE(f.names(f.folder).empty()) << f.names(f.folder).size();
        // A second one of the same name keeps the first.
        testing_support::write_file(temporary, "otra");
        auto again = claim_abandoned(temporary);
        ASSERT_TRUE(again);
        ASSERT_TRUE(set_aside(*again, f.state));
        EXPECT_EQ(f.names(set_aside_dir(f.state)), (std::vector<std::string> { TEMPORARY, TEMPORARY + "-2" }));
    }
}

// A live temporary is held and noted; its note goes once the file has left
// its place, and stays while the file is still there for a launch to find.
TEST(Recovery, ALiveFileIsHeldAndNotedUntilItLeavesItsPlace)
{
    Fixture f;
    const fs::path temporary = f.folder / TEMPORARY;
    testing_support::write_file(temporary, "fragmentos");
    {
        auto live = LiveFile::hold(temporary, f.state);
        EXPECT_TRUE(live->locked());
        EXPECT_EQ(refused(temporary), Refusal::Kind::Live);
        const auto noted = read_journal(f.state);
        ASSERT_EQ(noted.size(), 1u);
        EXPECT_EQ(noted[0].temporary, temporary);
        EXPECT_EQ(noted[0].note, live->note());
    }
    // Its holder ended with the file in place (as at a kill): still noted, free to take.
    ASSERT_EQ(read_journal(f.state).size(), 1u);
    EXPECT_TRUE(claim_abandoned(temporary));
    ::unlink(read_journal(f.state)[0].note.c_str());

    {
        auto live = LiveFile::hold(temporary, f.state);
        fs::rename(temporary, f.folder / (STEM + ".mp4")); // published
    }
    EXPECT_TRUE(read_journal(f.state).empty());
    // A note that names no absolute path comes back empty, for the caller to drop.
    testing_support::write_file(journal_dir(f.state) / "nota-roto", "relativa.mp4");
    testing_support::write_file(journal_dir(f.state) / ".nota-a-medias", "/a/medias");
    const auto noted = read_journal(f.state);
    ASSERT_EQ(noted.size(), 1u);
    EXPECT_TRUE(noted[0].temporary.empty());
}
