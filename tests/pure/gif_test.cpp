// The GIF byte stream, the LZW coder and the pipeline: exact bytes where the
// format fixes them, and round trips through giflib and ffmpeg elsewhere.
#include "codec/gif.h"
#include "gif_test_util.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <random>

using namespace gif_test;
using testing_support::fatal_message;

namespace {

const std::vector<uint8_t> LOOP_EXTENSION = bytes_of({ 0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0 });

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Writes a header and the given frames with the stream layer alone.
std::vector<uint8_t> stream_of(size_t width, size_t height, std::optional<gif::Palette> global, const std::vector<gif::Encoded>& frames)
{
    gif::MemorySink sink;
    gif::GifOptions options;
    options.palette = std::move(global);
    auto enc = gif::GifEncoder::create(sink, width, height, options);
    EXPECT_TRUE(enc.has_value());
    EXPECT_TRUE(enc->write_header().has_value());
    for (const auto& f : frames)
        EXPECT_TRUE(enc->write_frame(f).has_value());
    auto bytes = sink.take();
    bytes.push_back(0x3B);
    return bytes;
}

gif::Palette grey_palette(size_t n)
{
    gif::Palette p;
    for (size_t i = 0; i < n; ++i)
        p.push_back({ static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i * 7) });
    return p;
}

gif::Frame solid(size_t w, size_t h, uint32_t colour, uint16_t delay)
{
    return { std::vector<uint32_t>(w * h, colour), delay };
}

} // namespace

// ---------------------------------------------------------------------------
// Tables and delays

TEST(GifTables, TableBitsIsTheSmallestFittingPower)
{
    const std::vector<std::pair<size_t, uint32_t>> cases { { 0, 1 }, { 1, 1 }, { 2, 1 }, { 3, 2 }, { 4, 2 }, { 5, 3 }, { 8, 3 }, { 9, 4 },
        { 128, 7 }, { 129, 8 }, { 256, 8 }, { 257, 9 } };
    for (auto [n, bits] : cases)
        EXPECT_EQ(gif::table_bits(n), bits) << n;
}

TEST(GifTables, WriteTablePadsWithBlackAndCutsToSize)
{
    std::vector<uint8_t> out { 0xAA };
    gif::write_table(out, { { 1, 2, 3 }, { 4, 5, 6 }, { 7, 8, 9 } }, 2);
    EXPECT_EQ(out, bytes_of({ 0xAA, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0 }));
    out.clear();
    gif::write_table(out, { { 1, 2, 3 }, { 4, 5, 6 }, { 7, 8, 9 } }, 1);
    EXPECT_EQ(out, bytes_of({ 1, 2, 3, 4, 5, 6 }));
}

TEST(GifDelays, SlotsAt15FpsAlternateWithoutDrift)
{
    std::vector<uint64_t> d;
    for (uint64_t i = 0; i < 6; ++i)
        d.push_back(gif::slot_delay_cs(i, i + 1, 15));
    EXPECT_EQ(d, (std::vector<uint64_t> { 7, 6, 7, 7, 6, 7 }));
    EXPECT_EQ(gif::slot_delay_cs(3, 3, 15), 1u);
    EXPECT_EQ(gif::slot_delay_cs(0, 100000, 1), 65535u);
    // Whatever the rate and however frames cover slots, the delays add up to
    // the rounded total time.
    std::mt19937 rng(7);
    for (double fps : { 15.0, 24.0, 30.0, 7.0, 50.0, 12.5 }) {
        uint64_t slot = 0, sum = 0;
        for (int k = 0; k < 200; ++k) {
            const uint64_t next = slot + 1 + rng() % 3;
            sum += gif::slot_delay_cs(slot, next, fps);
            slot = next;
        }
        EXPECT_EQ(sum, static_cast<uint64_t>(std::round(static_cast<double>(slot) * 100.0 / fps))) << fps;
    }
}

// ---------------------------------------------------------------------------
// Byte-exact streams

TEST(GifStream, NoFramesIs33Bytes)
{
    auto r = gif::encode({}, 2, 3, {});
    ASSERT_TRUE(r.has_value());
    const auto expected = concat({ bytes_of({ 'G', 'I', 'F', '8', '9', 'a', 2, 0, 3, 0, 0x00, 0, 0 }), LOOP_EXTENSION, bytes_of({ 0x3B }) });
    EXPECT_EQ(r->bytes, expected);
    EXPECT_EQ(r->bytes.size(), 33u);
    EXPECT_EQ(r->counts.frames_received, 0u);
    EXPECT_EQ(r->counts.frames_written, 0u);
    EXPECT_EQ(r->counts.bytes_written, 33u);
    // gifsicle reads it; identify refuses any GIF without an image, valid or not.
    testing_support::TempDir dir;
    testing_support::write_file(dir.path() / "empty.gif", std::string(r->bytes.begin(), r->bytes.end()));
    EXPECT_EQ(run_command("gifsicle --info '" + (dir.path() / "empty.gif").string() + "' >/dev/null"), std::make_pair(0, std::string()));
}

TEST(GifStream, GlobalTablesKeepASpareEntry)
{
    // 1 colour: packed 0x80 and two entries, the second black.
    auto one = gif::encode({}, 1, 1, { .palette = gif::Palette { { 9, 8, 7 } } });
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->bytes,
        concat({ bytes_of({ 'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 9, 8, 7, 0, 0, 0 }), LOOP_EXTENSION, bytes_of({ 0x3B }) }));

    for (auto [colours, packed] : std::vector<std::pair<size_t, int>> { { 1, 0x80 }, { 2, 0x81 }, { 3, 0x81 }, { 4, 0x82 }, { 255, 0x87 } }) {
        const auto palette = grey_palette(colours);
        std::vector<gif::Frame> frames;
        const uint32_t last = static_cast<uint32_t>(palette.back().r) << 16 | static_cast<uint32_t>(palette.back().g) << 8 | palette.back().b;
        frames.push_back({ std::vector<uint32_t>(5 * 4, last), 3 });
        auto r = gif::encode(frames, 5, 4, { .palette = palette });
        ASSERT_TRUE(r.has_value());
        const size_t entries = size_t { 1 } << ((packed & 7) + 1);
        EXPECT_EQ(r->bytes[10], packed) << colours;
        std::vector<uint8_t> table;
        gif::write_table(table, palette, static_cast<uint32_t>((packed & 7) + 1));
        ASSERT_EQ(table.size(), 3 * entries);
        EXPECT_TRUE(std::equal(table.begin(), table.end(), r->bytes.begin() + 13)) << colours;
        EXPECT_TRUE(std::equal(LOOP_EXTENSION.begin(), LOOP_EXTENSION.end(), r->bytes.begin() + static_cast<std::ptrdiff_t>(13 + table.size())));
        EXPECT_GT(entries, colours);
        const auto d = decode_with_giflib(r->bytes);
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.screens[0], std::vector<uint32_t>(20, last));
        expect_tools_accept(r->bytes, "global table of " + std::to_string(colours));
    }
}

TEST(GifStream, FrameBlocksWithAndWithoutTransparency)
{
    gif::Encoded f;
    f.local_palette = { { 10, 20, 30 }, { 40, 50, 60 } };
    f.data = gif::lzw_encode(std::vector<uint8_t>(30, 1), 2);
    ASSERT_LT(f.data.size(), 255u);
    const auto data = concat({ bytes_of({ static_cast<int>(f.data.size()) }), f.data });
    f.delay = 0x0102;
    f.left = 3;
    f.top = 0x104;
    f.width = 5;
    f.height = 6;
    f.min_code_size = 2;

    const auto without = stream_of(300, 300, std::nullopt, { f });
    const auto header = concat({ bytes_of({ 'G', 'I', 'F', '8', '9', 'a', 0x2C, 1, 0x2C, 1, 0, 0, 0 }), LOOP_EXTENSION });
    EXPECT_EQ(without,
        concat({ header, bytes_of({ 0x21, 0xF9, 4, 0x04, 0x02, 0x01, 0, 0, 0x2C, 3, 0, 4, 1, 5, 0, 6, 0, 0x80, 10, 20, 30, 40, 50, 60, 2 }), data,
            bytes_of({ 0, 0x3B }) }));
    expect_tools_accept(without, "frame without transparency");

    f.transparent = 2;
    const auto with = stream_of(300, 300, std::nullopt, { f });
    EXPECT_EQ(with,
        concat({ header,
            bytes_of({ 0x21, 0xF9, 4, 0x05, 0x02, 0x01, 2, 0, 0x2C, 3, 0, 4, 1, 5, 0, 6, 0, 0x81, 10, 20, 30, 40, 50, 60, 0, 0, 0, 0, 0, 0, 2 }),
            data, bytes_of({ 0, 0x3B }) }));
    expect_tools_accept(with, "frame with transparency");
    const auto d = decode_with_giflib(with);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.images[0].indices, std::vector<uint8_t>(30, 1));
}

TEST(GifStream, DataIsCutInto255ByteSubBlocks)
{
    // Real LZW data of exactly 255 and 256 bytes. The code widths follow the
    // number of codes alone, so some lengths cannot occur for a given code
    // size: try each code size, growing a seeded random sequence of indices.
    auto with_length = [&](size_t bytes) -> std::pair<uint8_t, std::vector<uint8_t>> {
        for (uint8_t m = 2; m <= 8; ++m) {
            std::mt19937 rng(m);
            std::vector<uint8_t> indices;
            while (indices.size() < 20000) {
                indices.push_back(static_cast<uint8_t>(rng() % 3));
                const size_t got = gif::lzw_encode(indices, m).size();
                if (got == bytes)
                    return { m, indices };
                if (got > bytes)
                    break;
            }
        }
        return {};
    };
    for (size_t length : { size_t { 255 }, size_t { 256 } }) {
        const auto [m, indices] = with_length(length);
        ASSERT_FALSE(indices.empty()) << length;
        gif::Encoded f;
        f.min_code_size = m;
        f.data = gif::lzw_encode(indices, m);
        f.width = static_cast<uint16_t>(indices.size());
        f.height = 1;
        const auto bytes = stream_of(f.width, 1, gif::Palette { { 0, 0, 0 }, { 80, 0, 0 }, { 0, 80, 0 } }, { f });
        // Header (13 + 12 + 19), GCE 8, descriptor 10, code size 1.
        EXPECT_EQ(bytes[13 + 12 + 19 + 8 + 10], m);
        const std::vector<uint8_t> tail(bytes.begin() + 13 + 12 + 19 + 8 + 10 + 1, bytes.end());
        std::vector<uint8_t> expect { 255 };
        expect.insert(expect.end(), f.data.begin(), f.data.begin() + 255);
        if (length == 256)
            expect.insert(expect.end(), { 1, f.data[255] });
        expect.insert(expect.end(), { 0, 0x3B });
        EXPECT_EQ(tail, expect) << length;
        const auto d = decode_with_giflib(bytes);
        ASSERT_TRUE(d.ok) << d.error;
        EXPECT_EQ(d.images[0].indices, indices);
        expect_tools_accept(bytes, "sub-blocks of " + std::to_string(length));
    }
    // No data at all: no sub-block, only the terminator.
    gif::Encoded empty;
    empty.width = empty.height = 1;
    const auto bytes = stream_of(1, 1, gif::Palette { { 0, 0, 0 } }, { empty });
    EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 3, bytes.end()), bytes_of({ 2, 0, 0x3B }));
}

TEST(GifStream, LongDelaysAreSplitNotShortened)
{
    gif::Encoded f;
    f.local_palette = { { 1, 2, 3 } };
    f.width = f.height = 1;
    f.data = gif::lzw_encode(std::vector<uint8_t> { 0 }, 2);
    f.delay = 70000;
    const auto bytes = stream_of(4, 4, std::nullopt, { f });
    // The frame's own delay field holds 65535; the rest follows in a filler.
    EXPECT_EQ(bytes[13 + 19 + 4], 0xFF);
    EXPECT_EQ(bytes[13 + 19 + 5], 0xFF);
    const auto d = decode_with_giflib(bytes);
    ASSERT_TRUE(d.ok) << d.error;
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_EQ(d.images[0].delay, 65535);
    EXPECT_EQ(d.images[1].delay, 70000 - 65535);
    EXPECT_EQ(d.screens[0], d.screens[1]);  // the filler changes nothing on screen
    expect_tools_accept(bytes, "long delay");
}

// ---------------------------------------------------------------------------
// LZW

TEST(GifLzw, WorkedExampleAndEmptyInput)
{
    EXPECT_EQ(gif::lzw_encode(std::vector<uint8_t> { 0, 0, 0, 0 }, 2), bytes_of({ 0x84, 0x51 }));
    // Clear (4) and end (5), both 3 bits wide.
    EXPECT_EQ(gif::lzw_encode({}, 2), bytes_of({ 0x04 | 0x05 << 3 }));
    EXPECT_TRUE(fatal_message([] { gif::lzw_encode(std::vector<uint8_t> { 0, 4 }, 2); }).has_value());
    EXPECT_TRUE(fatal_message([] { gif::lzw_encode(std::vector<uint8_t> { 0 }, 9); }).has_value());
}

TEST(GifLzw, RoundTripsThroughGiflibForEveryCodeSize)
{
    std::mt19937 rng(12345);
    for (uint8_t m = 2; m <= 8; ++m) {
        const size_t colours = size_t { 1 } << m;
        // Random indices fill the dictionary again and again; with a run of
        // one index and a stretch of two, so long strings are coded too.
        std::vector<uint8_t> indices;
        const size_t n = m <= 3 ? 150000 : 60000;
        for (size_t i = 0; i < n; ++i)
            indices.push_back(static_cast<uint8_t>(rng() % colours));
        indices.insert(indices.end(), 5000, static_cast<uint8_t>(colours - 1));
        for (size_t i = 0; i < 3000; ++i)
            indices.push_back(static_cast<uint8_t>(i % 2));

        gif::Encoded f;
        f.local_palette = grey_palette(colours);
        f.min_code_size = m;
        f.data = gif::lzw_encode(indices, m);
        // More than 4096 codes of at most 12 bits each: at least three resets.
        EXPECT_GT(f.data.size(), 3u * 4096 * 12 / 8) << int(m);
        f.width = 200;
        f.height = static_cast<uint16_t>(indices.size() / 200);
        ASSERT_EQ(indices.size() % 200, 0u);
        const auto bytes = stream_of(f.width, f.height, std::nullopt, { f });
        const auto d = decode_with_giflib(bytes);
        ASSERT_TRUE(d.ok) << d.error << " m=" << int(m);
        ASSERT_EQ(d.images.size(), 1u);
        EXPECT_EQ(d.images[0].indices, indices) << "m=" << int(m);
        expect_tools_accept(bytes, "lzw m=" + std::to_string(m));
    }
}

TEST(GifLzw, IdenticalIndicesDecodeBack)
{
    // Long runs build long strings quickly but few codes: no reset is needed.
    const std::vector<uint8_t> indices(5000, 1);
    gif::Encoded f;
    f.local_palette = grey_palette(4);
    f.data = gif::lzw_encode(indices, 2);
    EXPECT_LT(f.data.size(), 200u);
    f.width = 100;
    f.height = 50;
    const auto bytes = stream_of(100, 50, std::nullopt, { f });
    const auto d = decode_with_giflib(bytes);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.images[0].indices, indices);
    expect_tools_accept(bytes, "identical indices");
}

// ---------------------------------------------------------------------------
// Sinks

TEST(GifSink, FileSinkWritesTheSameBytesAsMemory)
{
    std::mt19937 rng(3);
    std::vector<gif::Frame> frames;
    for (int k = 0; k < 6; ++k) {
        gif::Frame f { std::vector<uint32_t>(640 * 480), 7 };
        for (auto& p : f.pixels)
            p = rng() & 0xFFFFFF;  // incompressible: frames larger than the 1 MiB buffer at times
        frames.push_back(std::move(f));
    }
    auto memory = gif::encode(frames, 640, 480, { .palette = {}, .threads = 2 });
    ASSERT_TRUE(memory.has_value());
    expect_tools_accept(memory->bytes, "file sink");

    testing_support::TempDir dir;
    const auto path = dir.path() / "out.gif";
    auto sink = gif::FileSink::create(path);
    ASSERT_TRUE(sink.has_value()) << sink.error();
    auto enc = gif::GifEncoder::create(**sink, 640, 480, { .palette = {}, .threads = 2 });
    ASSERT_TRUE(enc.has_value());
    for (auto& f : frames)
        ASSERT_TRUE(enc->push(std::move(f)).has_value());
    auto counts = enc->finish();
    ASSERT_TRUE(counts.has_value());
    const std::string file = testing_support::read_file(path);
    EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.end()), memory->bytes);
    EXPECT_EQ(counts->bytes_written, memory->bytes.size());
    EXPECT_EQ(counts->frames_written, 6u);
}

TEST(GifSink, FileErrorsAreReturned)
{
    auto missing = gif::FileSink::create("/nonexistent-folder/x.gif");
    ASSERT_FALSE(missing.has_value());
    EXPECT_FALSE(missing.error().empty());

    auto full = gif::FileSink::create("/dev/full");
    ASSERT_TRUE(full.has_value());
    auto enc = gif::GifEncoder::create(**full, 8, 8, {});
    ASSERT_TRUE(enc.has_value());
    ASSERT_TRUE(enc->push(solid(8, 8, 0x123456, 5)).has_value());
    // Everything sits in the buffer until the final flush, which fails.
    const auto finished = enc->finish();
    ASSERT_FALSE(finished.has_value());
    EXPECT_FALSE(finished.error().empty());

    // A frame larger than the buffer is written at once, and fails at once.
    auto full2 = gif::FileSink::create("/dev/full");
    ASSERT_TRUE(full2.has_value());
    const std::vector<uint8_t> big(3 << 20, 7);
    EXPECT_FALSE((*full2)->write(big).has_value());
}
