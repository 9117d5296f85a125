#include "record/fragments.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace recorder;

namespace {

void box(std::vector<std::uint8_t>& file, const char* type, std::uint32_t size, bool large = false)
{
    const std::uint32_t head = large ? 16 : 8;
    auto put = [&](std::uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i)
            file.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    put(large ? 1 : size, 4);
    file.insert(file.end(), type, type + 4);
    if (large)
        put(size, 8);
    file.resize(file.size() + size - head, 0xab);
}

FragmentScan scan(const std::vector<std::uint8_t>& file, std::size_t length)
{
    return scan_fragments(length, [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at + out.size() > length)
            return false;
        std::memcpy(out.data(), file.data() + at, out.size());
        return true;
    });
}

} // namespace

// Cut at every byte, a recording keeps exactly the fragments that are whole.
TEST(Fragments, AFileCutAnywhereKeepsItsWholeFragments)
{
    std::vector<std::uint8_t> file;
    box(file, "ftyp", 20);
    box(file, "moov", 40);
    const std::size_t header_end = file.size();
    box(file, "moof", 24);
    box(file, "mdat", 30);
    const std::size_t first_end = file.size();
    box(file, "moof", 24);
    box(file, "mdat", 36, true); // a 64-bit size
    const std::size_t second_end = file.size();
    box(file, "mfra", 16);
    for (std::size_t cut = 0; cut <= file.size(); ++cut) {
        const FragmentScan s = scan(file, cut);
        SCOPED_TRACE(cut);
        const std::uint32_t fragments = cut >= second_end ? 2 : cut >= first_end ? 1 : 0;
        EXPECT_EQ(s.fragments, fragments);
        EXPECT_EQ(s.header, cut >= header_end);
        EXPECT_EQ(s.playable(), fragments > 0);
        const std::size_t whole = cut == file.size() ? file.size() : fragments == 2 ? second_end : fragments == 1 ? first_end
            : cut >= header_end ? header_end : cut >= 20 ? 20 : 0;
        EXPECT_EQ(s.whole, whole);
    }
}

TEST(Fragments, RegularFilesAndBrokenSizes)
{
    // An MP4 with its index at the end plays once both are whole.
    std::vector<std::uint8_t> regular;
    box(regular, "ftyp", 20);
    box(regular, "mdat", 100);
    box(regular, "moov", 40);
    EXPECT_TRUE(scan(regular, regular.size()).playable());
    EXPECT_FALSE(scan(regular, regular.size() - 1).playable());

    // A box "to the end of the file" or smaller than its header ends the walk there.
    std::vector<std::uint8_t> open;
    box(open, "ftyp", 20);
    box(open, "moov", 40);
    box(open, "moof", 24);
    box(open, "mdat", 30);
    std::vector<std::uint8_t> zero = open;
    box(zero, "moof", 24);
    zero.insert(zero.end(), { 0, 0, 0, 0, 'm', 'd', 'a', 't', 1, 2, 3 });
    EXPECT_EQ(scan(zero, zero.size()).whole, open.size());
    std::vector<std::uint8_t> tiny = open;
    tiny.insert(tiny.end(), { 0, 0, 0, 4, 'f', 'r', 'e', 'e', 0, 0, 0, 0 });
    EXPECT_EQ(scan(tiny, tiny.size()).whole, open.size());
    EXPECT_EQ(scan(tiny, tiny.size()).fragments, 1u);
    EXPECT_FALSE(scan({}, 0).playable());
}
