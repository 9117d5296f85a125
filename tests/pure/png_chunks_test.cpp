#include "base/png_chunks.h"
#include "codec/encode.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(v >> shift));
}

// A chunk whose length field says `claimed` while `data` is what follows.
void chunk(Bytes& out, std::string_view type, std::string_view data, std::uint32_t claimed)
{
    put32(out, claimed);
    const std::size_t start = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    put32(out, std::uint32_t(crc32(0, out.data() + start, unsigned(out.size() - start))));
}

void chunk(Bytes& out, std::string_view type, std::string_view data)
{
    chunk(out, type, data, std::uint32_t(data.size()));
}

Bytes signature()
{
    return Bytes(std::begin(png_chunks::SIGNATURE), std::end(png_chunks::SIGNATURE));
}

// A 1×1 picture by our own encoder, with a physical size so there is more
// than IHDR, IDAT and IEND to walk.
Bytes real_png()
{
    const std::uint8_t pixel[4] = { 10, 20, 30, 128 };
    encode::PngOptions options;
    options.scale = 2;
    options.threads = 1;
    return encode::encode_png({ pixel, 1, 1, 4, true }, options);
}

// Where each chunk of a well-formed file ends.
std::set<std::size_t> chunk_ends(const Bytes& png)
{
    std::set<std::size_t> ends;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        at += 12 + (std::size_t(png[at]) << 24 | std::size_t(png[at + 1]) << 16 | std::size_t(png[at + 2]) << 8 | png[at + 3]);
        ends.insert(at);
    }
    return ends;
}

} // namespace

TEST(PngChunks, AWholeFileWalksAndEveryCutInsideAChunkIsRefused)
{
    const Bytes png = real_png();
    ASSERT_TRUE(png_chunks::check(png));
    const std::set<std::size_t> ends = chunk_ends(png);
    ASSERT_EQ(*ends.rbegin(), png.size()) << "the encoder's own chunks fill the file";
    // Ending between chunks is a short file a decoder reports by itself;
    // ending inside one is a length the file cannot hold.
    for (std::size_t cut = 9; cut < png.size(); ++cut) {
        const auto checked = png_chunks::check(std::span(png).first(cut));
        EXPECT_EQ(checked.has_value(), ends.contains(cut)) << "cut at " << cut;
    }
    // What follows IEND is never read.
    Bytes trailing = png;
    trailing.insert(trailing.end(), { 0xff, 0xff, 0xff, 0xff, 'z', 'z' });
    EXPECT_TRUE(png_chunks::check(trailing));
}

TEST(PngChunks, AChunkClaimingMoreThanTheFileHoldsIsRefusedByName)
{
    // A few dozen bytes whose text chunk says 2 GiB: a decoder paid 2 GB for that.
    Bytes hostile = signature();
    chunk(hostile, "IHDR", std::string("\0\0\0\1\0\0\0\1\x08\x06\0\0\0", 13));
    chunk(hostile, "tEXt", std::string("Comment\0hola", 12), 0x7fff'ffff);
    chunk(hostile, "IEND", "");
    const auto refused = png_chunks::check(hostile);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("tEXt"), std::string::npos) << refused.error();
    EXPECT_NE(refused.error().find("2147483647"), std::string::npos) << refused.error();

    // One byte more than the file holds is as refused as two gigabytes.
    Bytes short_by_one = signature();
    chunk(short_by_one, "IHDR", std::string("\0\0\0\1\0\0\0\1\x08\x06\0\0\0", 13));
    chunk(short_by_one, "IEND", "x", 2);
    EXPECT_FALSE(png_chunks::check(short_by_one));

    // Past the format's own limit, whatever the file's size.
    Bytes huge = signature();
    chunk(huge, "IHDR", std::string("\0\0\0\1\0\0\0\1\x08\x06\0\0\0", 13), 0x8000'0000);
    const auto past = png_chunks::check(huge);
    ASSERT_FALSE(past);
    EXPECT_NE(past.error().find("formato"), std::string::npos) << past.error();
}

TEST(PngChunks, OnlyAPngThatOpensWithItsHeaderPasses)
{
    EXPECT_FALSE(png_chunks::is_png(Bytes { 'G', 'I', 'F', '8', '9', 'a', 0, 0 }));
    EXPECT_FALSE(png_chunks::check(Bytes { 'G', 'I', 'F', '8', '9', 'a', 0, 0 }));
    EXPECT_FALSE(png_chunks::check(signature())) << "a signature alone holds no picture";
    Bytes headless = signature();
    chunk(headless, "IDAT", "xyz");
    const auto refused = png_chunks::check(headless);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().find("IHDR"), std::string::npos) << refused.error();
    // A type that is no letters is named by its bytes, never printed raw.
    Bytes odd = signature();
    chunk(odd, std::string("\x01\x02\x1b\n", 4), "", 100);
    const auto named = png_chunks::check(odd);
    ASSERT_FALSE(named);
    EXPECT_NE(named.error().find("01021b0a"), std::string::npos) << named.error();
}
