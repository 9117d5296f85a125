// encode: the program's own PNG writer.
//
// Takes premultiplied 8-bit BGRA or RGBA pixels and returns the bytes of a PNG
// file. The image is cut into horizontal bands that are filtered and
// compressed in parallel; each band becomes one IDAT chunk of raw deflate data
// ending on a byte boundary (sync flush), and the zlib header and Adler-32
// trailer travel in IDAT chunks of their own, so the file still holds one
// standard zlib stream. The bands' checksums are combined arithmetically.
// Within a band, rows of photo-like noise may be compressed with a 16-byte
// match window instead of the whole 32 KiB, where a trial on the rows shows
// that to be smaller; the output stays one ordinary stream either way.
//
// Pure module: standard library, ISA-L (deflate and checksums), zlib (the
// colour profile) and threads only. Callable from any
// thread; it spawns and joins its own workers before it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace encode {

// The pixels to write, borrowed for the duration of the call.
struct PngPixels {
    // Premultiplied pixels, 4 bytes each. Must hold at least
    // stride × (height − 1) + 4 × width bytes.
    std::span<const std::uint8_t> data;
    std::uint32_t width = 0; // pixels, at least 1
    std::uint32_t height = 0; // pixels, at least 1
    std::size_t stride = 0; // bytes from one row to the next, at least 4 × width
    // true: bytes R, G, B, A in memory; false: B, G, R, A.
    bool rgba = false;
};

struct PngOptions {
    // An ICC colour profile written as iCCP; absent or empty writes sRGB.
    std::optional<std::vector<std::uint8_t>> icc;
    // Pixels per point, written as the physical size (72 points per inch);
    // 0 or below writes no physical size.
    double scale = 0;
    // Worker threads. Absent or 0: util::parallelism().
    std::optional<unsigned> threads;
};

// One encoded band.
struct Band {
    std::vector<std::uint8_t> bytes; // a complete IDAT chunk of raw deflate data
    std::uint64_t raw_len = 0; // filtered bytes that went into the compressor
    std::uint32_t adler = 1; // Adler-32 of those filtered bytes
};

// Encodes the pixels as a PNG file: RGB when every alpha is 255, else RGBA
// with straight (un-premultiplied) colours. Inconsistent pixel views (empty,
// stride too small, data too short) are broken invariants and stop the
// process with a message.
std::vector<std::uint8_t> encode_png(PngPixels px, PngOptions options);

// Filters and compresses rows [first, end) into one band; `channels` is 3 or
// 4, `row_len` = 1 + channels × width. Only the last band of an image ends the
// deflate stream (`last`); the others end with a sync flush. Used by
// encode_png's workers; exposed for tests.
Band encode_band(const PngPixels& px, std::uint32_t first, std::uint32_t end, unsigned channels, std::size_t row_len, bool last);

// Writes row `y` as straight RGB (channels 3) or RGBA (channels 4) into
// `out`, which holds channels × width bytes.
void convert_row(const PngPixels& px, std::uint32_t y, unsigned channels, std::span<std::uint8_t> out);

// Appends one PNG chunk: length, type, data, CRC-32 over type and data.
void write_chunk(std::vector<std::uint8_t>& out, const char (&type)[5], std::span<const std::uint8_t> data);

// The Adler-32 of A followed by B, from adler(A), adler(B) and B's length.
std::uint32_t adler32_combine(std::uint32_t adler_a, std::uint32_t adler_b, std::uint64_t len_b);

// How encode_png splits `height` rows for `threads` workers: n =
// max(min(⌈height / 32⌉, 2 × threads), 1), rows per band ⌈height / n⌉ (the
// last band may be shorter), one worker per band up to `threads`. Exposed
// for tests.
struct BandPlan {
    std::uint32_t rows_per_band = 0;
    std::uint32_t bands = 0;
    std::uint32_t workers = 0;
};
BandPlan plan_bands(std::uint32_t height, unsigned threads);

} // namespace encode
