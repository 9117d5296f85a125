#include "codec/encode.h"

#include "base/simd.h"

#include "base/util.h"
#include "base/util_parallel.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

namespace encode {

namespace {

constexpr std::uint32_t ADLER_MOD = 65521;
// Bands are at least this many rows, so no worker gets a tiny deflate job.
constexpr std::uint32_t MIN_BAND_ROWS = 32;
// Bands per worker thread. Bands of photos cost several times those of flat
// panels; with workers taking the next band as they finish, two each kept 2
// and 8 workers 92–99% busy on screenshots, and more bands only added
// dictionary priming.
constexpr std::uint64_t BANDS_PER_THREAD = 2;
// Filtered rows are handed to the checksum and the compressor in batches of
// about this many bytes, while they are still in the core's cache.
constexpr std::size_t BATCH_BYTES = 128 * 1024;
constexpr std::size_t OUT_MIN_FREE = 65536;
constexpr std::size_t OUT_GROW = 262144;
// The deflate window: how far back a band may refer into the bytes before it.
constexpr std::size_t DEFLATE_WINDOW = 32768;
// igzip's level and the size of its level buffer (the hash and the token
// buffer that bounds each Huffman block), picked by measurement on
// screenshots (bench_png prints each candidate's size and time): level 2 is
// about 1.5% smaller than level 1 at much the same speed, and 16K-token
// blocks follow the content more closely than the default 64K; level 3 costs
// three times as long for less than 1%.
constexpr std::uint32_t DEFLATE_LEVEL = 2;
constexpr std::uint32_t DEFLATE_LEVEL_BUF = ISAL_DEF_LVL2_SMALL;
// igzip takes the most recent match its hash finds, however short and far.
// On noisy photo rows (a few values either side of a smooth surface) those
// are 4-byte matches thousands of bytes back, dearer than the literals they
// replace: limited to a 16-byte window, where only runs are left, such rows
// came out 10–12% smaller. Text and panels need the whole window, and so do
// noisy rows whose three channels move together, so the choice is made by
// trial, batch by batch (see encode_band_impl).
constexpr std::uint16_t WIDE_WINDOW_BITS = 15;
constexpr std::uint16_t NARROW_WINDOW_BITS = 4;
// After the band's first batch, trials come every third batch, and each
// trial that keeps the window doubles the gap up to every sixteenth batch:
// rows that change between text and photo are followed closely, and a long
// stretch of one kind pays for a second compression of few batches (a
// quarter of the batches at 8 threads on 4K, an eighth at one).
constexpr std::uint32_t TRIAL_GAP_MIN = 3;
constexpr std::uint32_t TRIAL_GAP_MAX = 16;

void put_u32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

void append(std::vector<std::uint8_t>& out, const std::uint8_t* p, std::size_t n)
{
    const std::size_t at = out.size();
    out.resize(at + n);
    if (n > 0)
        std::memcpy(out.data() + at, p, n);
}

void append_u32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    std::uint8_t b[4];
    put_u32(b, v);
    append(out, b, 4);
}

// ISA-L's CRC-32 is the PNG one (zlib's crc32, reflected, pre- and
// post-inverted), several times faster than zlib's on long chunks.
std::uint32_t crc_of(std::uint32_t crc, const std::uint8_t* p, std::size_t n)
{
    return crc32_gzip_refl(crc, p, n);
}

// un_premultiplied[a][c]: the straight colour of premultiplied value c at
// alpha a; a colour above its alpha (bad premultiplication) saturates at 255.
struct Unpremultiply {
    std::array<std::array<std::uint8_t, 256>, 256> table {};
    Unpremultiply()
    {
        for (unsigned a = 0; a < 256; ++a)
            for (unsigned c = 0; c < 256; ++c)
                table[a][c] = (a == 0 || a == 255) ? static_cast<std::uint8_t>(c)
                                                   : static_cast<std::uint8_t>(std::min((255 * c + a / 2) / a, 255u));
    }
};

const Unpremultiply& unpremultiply()
{
    static const Unpremultiply u;
    return u;
}

// Sixteen bytes as one value, for byte shuffles the compiler maps to a
// single instruction where the target has one (SSSE3 and up).
using Bytes16 = std::uint8_t __attribute__((vector_size(16)));

template <bool Rgba>
[[gnu::always_inline]] inline void convert_rgb(
    const std::uint8_t* __restrict in, std::uint8_t* __restrict out, std::uint32_t width)
{
    constexpr int r = Rgba ? 0 : 2;
    constexpr int b = Rgba ? 2 : 0;
    // Four pixels at a time: 16 bytes in, 12 bytes kept of a 16-byte store;
    // the 4 extra bytes are overwritten by the next group, and stopping two
    // pixels early keeps the store inside the row.
    constexpr Bytes16 pick = { r, 1, b, 4 + r, 5, 4 + b, 8 + r, 9, 8 + b, 12 + r, 13, 12 + b, 0, 0, 0, 0 };
    std::uint32_t x = 0;
    for (; x + 6 <= width; x += 4) {
        Bytes16 v;
        std::memcpy(&v, in + 4 * std::size_t(x), 16);
        const Bytes16 rgb = __builtin_shuffle(v, pick);
        std::memcpy(out + 3 * std::size_t(x), &rgb, 16);
    }
    for (; x < width; ++x) {
        out[3 * x + 0] = in[4 * x + r];
        out[3 * x + 1] = in[4 * x + 1];
        out[3 * x + 2] = in[4 * x + b];
    }
}

template <bool Rgba>
[[gnu::always_inline]] inline void convert_rgba(
    const std::uint8_t* __restrict in, std::uint8_t* __restrict out, std::uint32_t width)
{
    constexpr int r = Rgba ? 0 : 2;
    constexpr int b = Rgba ? 2 : 0;
    constexpr Bytes16 pick = { r, 1, b, 3, 4 + r, 5, 4 + b, 7, 8 + r, 9, 8 + b, 11, 12 + r, 13, 12 + b, 15 };
    constexpr std::uint32_t alpha_mask = std::endian::native == std::endian::little ? 0xff000000u : 0x000000ffu;
    const auto& t = unpremultiply().table;
    const auto one = [&](std::uint32_t x) {
        const std::uint8_t a = in[4 * x + 3];
        const auto& row = t[a];
        out[4 * x + 0] = row[in[4 * x + r]];
        out[4 * x + 1] = row[in[4 * x + 1]];
        out[4 * x + 2] = row[in[4 * x + b]];
        out[4 * x + 3] = a;
    };
    std::uint32_t x = 0;
    for (; x + 4 <= width; x += 4) {
        // Opaque groups (most of any capture) only swap bytes.
        std::uint32_t w[4];
        std::memcpy(w, in + 4 * std::size_t(x), 16);
        if ((w[0] & w[1] & w[2] & w[3] & alpha_mask) == alpha_mask) {
            Bytes16 v;
            std::memcpy(&v, in + 4 * std::size_t(x), 16);
            const Bytes16 rgba = __builtin_shuffle(v, pick);
            std::memcpy(out + 4 * std::size_t(x), &rgba, 16);
        } else {
            for (std::uint32_t k = 0; k < 4; ++k)
                one(x + k);
        }
    }
    for (; x < width; ++x)
        one(x);
}

// |byte as signed 8-bit|, 0x80 counting 128: the smaller of v and 256 − v.
[[gnu::always_inline]] inline std::uint8_t signed_magnitude(std::uint8_t v)
{
    return std::min<std::uint8_t>(v, static_cast<std::uint8_t>(-v));
}

// The PNG Paeth predictor, written in 16-bit quantities so that the
// vectoriser keeps 16 bytes' worth of lanes per 256-bit register.
[[gnu::always_inline]] inline std::uint8_t paeth_predictor(std::uint8_t a, std::uint8_t b, std::uint8_t c)
{
    const auto da = static_cast<std::int16_t>(std::int16_t(b) - std::int16_t(c)); // p − a
    const auto db = static_cast<std::int16_t>(std::int16_t(a) - std::int16_t(c)); // p − b
    const auto dc = static_cast<std::int16_t>(da + db); // p − c
    const auto pa = static_cast<std::int16_t>(da < 0 ? -da : da);
    const auto pb = static_cast<std::int16_t>(db < 0 ? -db : db);
    const auto pc = static_cast<std::int16_t>(dc < 0 ? -dc : dc);
    return (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
}

// Row buffers carry Bpp zero bytes in front of the pixels, so "the pixel to
// the left" exists for every byte and the loops below have no edge case; the
// compiler turns them into vector code.
template <unsigned Bpp>
[[gnu::always_inline]] inline std::array<std::uint32_t, 4> filter_scores(
    const std::uint8_t* __restrict cur, const std::uint8_t* __restrict prev, std::size_t n)
{
    std::uint32_t none = 0, sub = 0, up = 0, paeth = 0;
    // 16-bit partial sums (256 bytes × 128 at most) halve the vector work.
    constexpr std::size_t block = 256;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t end = std::min(n, start + block);
        std::uint16_t s0 = 0, s1 = 0, s2 = 0, s4 = 0;
        for (std::size_t i = start; i < end; ++i) {
            const std::uint8_t x = cur[i];
            const std::uint8_t a = cur[i - Bpp];
            const std::uint8_t b = prev[i];
            const std::uint8_t c = prev[i - Bpp];
            s0 = static_cast<std::uint16_t>(s0 + signed_magnitude(x));
            s1 = static_cast<std::uint16_t>(s1 + signed_magnitude(static_cast<std::uint8_t>(x - a)));
            s2 = static_cast<std::uint16_t>(s2 + signed_magnitude(static_cast<std::uint8_t>(x - b)));
            s4 = static_cast<std::uint16_t>(s4 + signed_magnitude(static_cast<std::uint8_t>(x - paeth_predictor(a, b, c))));
        }
        none += s0;
        sub += s1;
        up += s2;
        paeth += s4;
    }
    return { none, sub, up, paeth };
}

// Writes the filter type byte and the filtered row to `out` (1 + n bytes):
// the unfiltered row, then Sub, Up and Paeth, each replacing the choice only
// when its score is strictly lower.
template <unsigned Bpp>
[[gnu::always_inline]] inline void filter_row(
    const std::uint8_t* __restrict cur, const std::uint8_t* __restrict prev, std::size_t n, std::uint8_t* __restrict out)
{
    const auto scores = filter_scores<Bpp>(cur, prev, n);
    static constexpr std::uint8_t types[4] = { 0, 1, 2, 4 };
    unsigned best = 0;
    for (unsigned k = 1; k < 4; ++k)
        if (scores[k] < scores[best])
            best = k;
    out[0] = types[best];
    std::uint8_t* __restrict o = out + 1;
    switch (best) {
    case 0:
        std::memcpy(o, cur, n);
        break;
    case 1:
        for (std::size_t i = 0; i < n; ++i)
            o[i] = static_cast<std::uint8_t>(cur[i] - cur[i - Bpp]);
        break;
    case 2:
        for (std::size_t i = 0; i < n; ++i)
            o[i] = static_cast<std::uint8_t>(cur[i] - prev[i]);
        break;
    default:
        for (std::size_t i = 0; i < n; ++i)
            o[i] = static_cast<std::uint8_t>(cur[i] - paeth_predictor(cur[i - Bpp], prev[i], prev[i - Bpp]));
        break;
    }
}

// Converts and filters `count` rows from `y` on into `out` (count × (1 + n)
// bytes), swapping the two row buffers after every row. This is the hot loop
// of the writer: built once for AVX2 and once for the baseline, picked at
// run time.
template <unsigned Ch>
[[gnu::always_inline]] inline void filter_rows(
    const PngPixels& px, std::uint32_t y, std::uint32_t count, std::uint8_t*& cur, std::uint8_t*& prev, std::uint8_t* out)
{
    const std::size_t n = std::size_t(Ch) * px.width;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* in = px.data.data() + std::size_t(y + i) * px.stride;
        if constexpr (Ch == 3)
            px.rgba ? convert_rgb<true>(in, cur, px.width) : convert_rgb<false>(in, cur, px.width);
        else
            px.rgba ? convert_rgba<true>(in, cur, px.width) : convert_rgba<false>(in, cur, px.width);
        filter_row<Ch>(cur, prev, n, out + std::size_t(i) * (1 + n));
        std::swap(cur, prev);
    }
}

VECTOR_CLONES void filter_rows3(
    const PngPixels& px, std::uint32_t y, std::uint32_t count, std::uint8_t*& cur, std::uint8_t*& prev, std::uint8_t* out)
{
    filter_rows<3>(px, y, count, cur, prev, out);
}

VECTOR_CLONES void filter_rows4(
    const PngPixels& px, std::uint32_t y, std::uint32_t count, std::uint8_t*& cur, std::uint8_t*& prev, std::uint8_t* out)
{
    filter_rows<4>(px, y, count, cur, prev, out);
}

// True when some alpha byte (offset 3 in either byte order) in rows
// [first, end) is below 255, or when `found` is raised by another scanner.
bool translucent_rows(const PngPixels& px, std::uint32_t first, std::uint32_t end, const std::atomic<bool>& found)
{
    constexpr std::uint32_t alpha_mask = std::endian::native == std::endian::little ? 0xff000000u : 0x000000ffu;
    for (std::uint32_t y = first; y < end; ++y) {
        const std::uint8_t* row = px.data.data() + std::size_t(y) * px.stride;
        std::uint32_t all = 0xffffffffu;
        for (std::uint32_t x = 0; x < px.width; ++x) {
            std::uint32_t v;
            std::memcpy(&v, row + 4 * std::size_t(x), 4);
            all &= v;
        }
        if ((all & alpha_mask) != alpha_mask)
            return true;
        if ((y & 63) == 0 && found.load(std::memory_order_relaxed))
            return true;
    }
    return false;
}

// The colour type scan: every alpha byte of the image, read by up to
// `threads` scanners for large images (the answer does not depend on who
// finds the first translucent pixel).
bool has_translucency(const PngPixels& px, unsigned threads)
{
    std::atomic<bool> found { false };
    constexpr std::size_t parallel_from = 1 << 20;
    if (threads <= 1 || std::size_t(px.width) * px.height < parallel_from)
        return translucent_rows(px, 0, px.height, found);
    // A memory-bound pass: more than a handful of scanners only adds threads.
    const unsigned scanners = std::min(threads, 16u);
    util::parallel_for(px.height, { .chunks = scanners, .threads = scanners }, [&](std::size_t first, std::size_t end) {
        if (translucent_rows(px, static_cast<std::uint32_t>(first), static_cast<std::uint32_t>(end), found))
            found = true;
    });
    return found;
}

// a × b, or nothing when it does not fit in size_t.
std::optional<std::size_t> checked_mul(std::size_t a, std::size_t b)
{
    std::size_t r;
    if (__builtin_mul_overflow(a, b, &r))
        return std::nullopt;
    return r;
}

void check_pixels(const PngPixels& px)
{
    if (px.width == 0 || px.height == 0)
        util::fatal("imagen vacía");
    if (px.stride < std::size_t(px.width) * 4)
        util::fatal("assertion failed: px.stride >= px.width * 4");
    const auto rows = checked_mul(px.stride, px.height - 1);
    std::size_t need = 0;
    if (!rows || __builtin_add_overflow(*rows, std::size_t(px.width) * 4, &need) || px.data.size() < need)
        util::fatal("assertion failed: px.data.len() >= px.stride * (px.height - 1) + px.width * 4");
}

// The compressed band: grows by whole steps and, unlike a vector, does not
// write zeros into memory the compressor is about to fill.
struct OutBuffer {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
    std::size_t used = 0;

    explicit OutBuffer(std::size_t initial)
        : data(new std::uint8_t[initial])
        , size(initial)
    {
    }
    void grow(std::size_t by)
    {
        std::unique_ptr<std::uint8_t[]> bigger(new std::uint8_t[size + by]);
        std::memcpy(bigger.get(), data.get(), used);
        data = std::move(bigger);
        size += by;
    }
};

// How a band's compressed data ends: open for the next band (a sync flush,
// an empty stored block that leaves the stream byte-aligned), or with the
// final block of the stream.
enum class BandEnd { More, Sync, Final };

// Raw deflate through ISA-L's igzip: no zlib header or trailer, those are
// written by encode_png around all the bands.
class Deflater {
public:
    Deflater()
        : m_level_buf(new std::uint8_t[DEFLATE_LEVEL_BUF])
    {
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Starts a new stream whose matches reach 2^window_bits bytes back, with
    // `dict` (at most the deflate window) as the bytes before it.
    void start(std::uint16_t window_bits, std::span<const std::uint8_t> dict)
    {
        isal_deflate_init(&m_s);
        m_s.level = DEFLATE_LEVEL;
        m_s.level_buf = m_level_buf.get();
        m_s.level_buf_size = DEFLATE_LEVEL_BUF;
        m_s.gzip_flag = IGZIP_DEFLATE;
        m_s.hist_bits = window_bits;
        m_window_bits = window_bits;
        if (dict.size() > DEFLATE_WINDOW
            || (!dict.empty()
                && isal_deflate_set_dict(&m_s, const_cast<std::uint8_t*>(dict.data()), static_cast<std::uint32_t>(dict.size()))
                    != COMP_OK))
            util::fatal("deflate");
    }

    std::uint16_t window_bits() const { return m_window_bits; }

    // Compresses `in` into `out` after its used bytes, growing it as needed.
    void run(const std::uint8_t* in, std::size_t n, BandEnd end, OutBuffer& out)
    {
        std::size_t left = n;
        do {
            const auto step = static_cast<std::uint32_t>(std::min<std::size_t>(left, 1u << 30));
            const bool closing = step == left && end != BandEnd::More;
            m_s.next_in = const_cast<std::uint8_t*>(in + (n - left));
            m_s.avail_in = step;
            m_s.flush = closing ? SYNC_FLUSH : NO_FLUSH;
            m_s.end_of_stream = closing && end == BandEnd::Final;
            // The flush is complete once igzip is back at a block boundary
            // (after a sync flush) or past the final block; without one, once
            // the input is taken in.
            const auto done = [&] {
                if (m_s.avail_in != 0 || m_s.avail_out == 0)
                    return false;
                if (!closing)
                    return true;
                return m_s.internal_state.state == (end == BandEnd::Final ? ZSTATE_END : ZSTATE_NEW_HDR);
            };
            do {
                if (out.size - out.used < OUT_MIN_FREE)
                    out.grow(OUT_GROW);
                const auto room = static_cast<std::uint32_t>(std::min<std::size_t>(out.size - out.used, 1u << 30));
                m_s.next_out = out.data.get() + out.used;
                m_s.avail_out = room;
                if (isal_deflate(&m_s) != COMP_OK)
                    util::fatal("deflate");
                out.used += room - m_s.avail_out;
            } while (!done());
            left -= step;
        } while (left > 0);
    }

private:
    std::unique_ptr<std::uint8_t[]> m_level_buf;
    isal_zstream m_s {};
    std::uint16_t m_window_bits = 0;
};

template <unsigned Ch>
Band encode_band_impl(const PngPixels& px, std::uint32_t first, std::uint32_t end, std::size_t row_len, bool last)
{
    const std::size_t n = std::size_t(Ch) * px.width;
    // Two row buffers with Ch zero bytes in front (the missing left neighbour).
    std::vector<std::uint8_t> prev_buf(Ch + n, 0), cur_buf(Ch + n, 0);
    std::uint8_t* prev = prev_buf.data() + Ch;
    std::uint8_t* cur = cur_buf.data() + Ch;
    const std::uint32_t rows = end - first;
    std::vector<std::uint8_t> dict;
    if (first > 0) {
        // Filtering across the band seam is the same as in an unbanded image:
        // "previous" holds the row above the band. The filtered rows just
        // before the band (the tail of the previous band's data) also become
        // the compressor's dictionary, so the band may refer back into them
        // as an unbanded stream would; the decoder has them in its window.
        const auto dict_rows = static_cast<std::uint32_t>(std::min<std::size_t>(first, (DEFLATE_WINDOW + row_len - 1) / row_len));
        const std::uint32_t start = first - dict_rows;
        if (start > 0)
            convert_row(px, start - 1, Ch, { prev, n });
        dict.resize(std::size_t(dict_rows) * row_len);
        if constexpr (Ch == 3)
            filter_rows3(px, start, dict_rows, cur, prev, dict.data());
        else
            filter_rows4(px, start, dict_rows, cur, prev, dict.data());
    }

    const std::size_t raw_len = row_len * rows;
    const std::uint32_t batch_rows = static_cast<std::uint32_t>(std::clamp<std::size_t>(BATCH_BYTES / row_len, 1, rows));
    std::vector<std::uint8_t> filtered(row_len * batch_rows);
    // The filtered bytes just before the current batch, as a restarted
    // compressor's dictionary.
    std::vector<std::uint8_t> history(dict.end() - std::ptrdiff_t(std::min(dict.size(), DEFLATE_WINDOW)), dict.end());
    history.reserve(DEFLATE_WINDOW);

    Band band;
    band.raw_len = raw_len;
    const auto make_chunk = [&](std::size_t initial) {
        OutBuffer chunk(initial + 8);
        chunk.used = 8;
        std::memcpy(chunk.data.get() + 4, "IDAT", 4);
        return chunk;
    };
    OutBuffer chunk = make_chunk(raw_len / 3 + 1024);
    // The running compressor and, for trials, a spare one with the other window.
    auto deflater = std::make_unique<Deflater>();
    auto spare = std::make_unique<Deflater>();
    OutBuffer trial(BATCH_BYTES / 2 + 1024);
    deflater->start(WIDE_WINDOW_BITS, history);
    std::uint32_t since_trial = 0;
    std::uint32_t trial_gap = TRIAL_GAP_MIN;

    std::uint32_t adler = 1;
    std::uint32_t y = first;
    while (y < end) {
        const std::uint32_t count = std::min(batch_rows, end - y);
        if constexpr (Ch == 3)
            filter_rows3(px, y, count, cur, prev, filtered.data());
        else
            filter_rows4(px, y, count, cur, prev, filtered.data());
        const bool first_batch = y == first;
        y += count;
        const std::size_t bytes = std::size_t(count) * row_len;
        adler = isal_adler32(adler, filtered.data(), bytes);
        // Every band but the last ends on a byte boundary with an empty stored
        // block, so the bands concatenate into one deflate stream.
        const BandEnd how = y < end ? BandEnd::More : (last ? BandEnd::Final : BandEnd::Sync);
        // A trial compresses the batch with both windows (see
        // NARROW_WINDOW_BITS) and keeps the smaller: on a band's first
        // batch, then now and then (TRIAL_GAP_MIN). Both end the batch on
        // a block boundary, so the spare's output continues the stream and
        // the spare becomes the running compressor.
        const bool try_both = first_batch || ++since_trial >= trial_gap;
        // Whatever the running compressor still holds of earlier batches
        // goes out first: only this batch's output may be replaced.
        if (try_both && !first_batch)
            deflater->run(filtered.data(), 0, BandEnd::Sync, chunk);
        const std::size_t mark = chunk.used;
        deflater->run(filtered.data(), bytes, try_both && how == BandEnd::More ? BandEnd::Sync : how, chunk);
        if (try_both) {
            since_trial = 0;
            spare->start(deflater->window_bits() == WIDE_WINDOW_BITS ? NARROW_WINDOW_BITS : WIDE_WINDOW_BITS, history);
            trial.used = 0;
            spare->run(filtered.data(), bytes, how == BandEnd::More ? BandEnd::Sync : how, trial);
            if (trial.used < chunk.used - mark) {
                chunk.used = mark;
                if (chunk.size - chunk.used < trial.used)
                    chunk.grow(trial.used);
                std::memcpy(chunk.data.get() + chunk.used, trial.data.get(), trial.used);
                chunk.used += trial.used;
                std::swap(deflater, spare);
                trial_gap = TRIAL_GAP_MIN;
            } else {
                trial_gap = std::min(2 * trial_gap, TRIAL_GAP_MAX);
            }
        }
        if (y < end) {
            const std::size_t keep = std::min(bytes, DEFLATE_WINDOW);
            const std::size_t old = std::min(history.size(), DEFLATE_WINDOW - keep);
            history.erase(history.begin(), history.end() - std::ptrdiff_t(old));
            history.insert(history.end(), filtered.data() + bytes - keep, filtered.data() + bytes);
        }
    }
    band.adler = adler;

    const std::size_t data_len = chunk.used - 8;
    if (data_len > std::numeric_limits<std::uint32_t>::max() / 2)
        util::fatal("deflate");
    put_u32(chunk.data.get(), static_cast<std::uint32_t>(data_len));
    const std::uint32_t crc = crc_of(0, chunk.data.get() + 4, data_len + 4);
    band.bytes.resize(chunk.used + 4);
    std::memcpy(band.bytes.data(), chunk.data.get(), chunk.used);
    put_u32(band.bytes.data() + chunk.used, crc);
    return band;
}

} // namespace

void write_chunk(std::vector<std::uint8_t>& out, const char (&type)[5], std::span<const std::uint8_t> data)
{
    append_u32(out, static_cast<std::uint32_t>(data.size()));
    const auto* t = reinterpret_cast<const std::uint8_t*>(type);
    append(out, t, 4);
    append(out, data.data(), data.size());
    const std::uint32_t crc = crc_of(crc_of(0, t, 4), data.data(), data.size());
    append_u32(out, crc);
}

void convert_row(const PngPixels& px, std::uint32_t y, unsigned channels, std::span<std::uint8_t> out)
{
    if (out.size() < std::size_t(channels) * px.width || y >= px.height)
        util::fatal("convert_row: fila fuera de la imagen");
    const std::uint8_t* in = px.data.data() + std::size_t(y) * px.stride;
    if (channels == 3)
        px.rgba ? convert_rgb<true>(in, out.data(), px.width) : convert_rgb<false>(in, out.data(), px.width);
    else
        px.rgba ? convert_rgba<true>(in, out.data(), px.width) : convert_rgba<false>(in, out.data(), px.width);
}

std::uint32_t adler32_combine(std::uint32_t adler_a, std::uint32_t adler_b, std::uint64_t len_b)
{
    // adler = B << 16 | A with A = 1 + Σ bytes and B = Σ of the running A,
    // both mod 65521. Appending n bytes with sums (A2, B2) to (A1, B1):
    // A = A1 + A2 − 1, B = B1 + B2 + n × (A1 − 1).
    const std::uint64_t rem = len_b % ADLER_MOD;
    const std::uint64_t a1 = adler_a & 0xffff, b1 = adler_a >> 16;
    const std::uint64_t a2 = adler_b & 0xffff, b2 = adler_b >> 16;
    const std::uint64_t a = (a1 + a2 + ADLER_MOD - 1) % ADLER_MOD;
    const std::uint64_t b = (b1 + b2 + rem * a1 + ADLER_MOD - rem) % ADLER_MOD;
    return static_cast<std::uint32_t>(b << 16 | a);
}

BandPlan plan_bands(std::uint32_t height, unsigned threads)
{
    BandPlan p;
    const std::uint64_t t = std::max(threads, 1u);
    const std::uint64_t wanted = std::max<std::uint64_t>(
        std::min<std::uint64_t>((std::uint64_t(height) + MIN_BAND_ROWS - 1) / MIN_BAND_ROWS, BANDS_PER_THREAD * t), 1);
    p.rows_per_band = static_cast<std::uint32_t>((std::uint64_t(height) + wanted - 1) / wanted);
    if (p.rows_per_band == 0)
        return p;
    p.bands = static_cast<std::uint32_t>((std::uint64_t(height) + p.rows_per_band - 1) / p.rows_per_band);
    p.workers = static_cast<std::uint32_t>(std::min<std::uint64_t>(p.bands, t));
    return p;
}

Band encode_band(const PngPixels& px, std::uint32_t first, std::uint32_t end, unsigned channels, std::size_t row_len, bool last)
{
    if (first >= end || end > px.height || row_len != 1 + std::size_t(channels) * px.width)
        util::fatal("encode_band: banda fuera de la imagen");
    if (channels == 3)
        return encode_band_impl<3>(px, first, end, row_len, last);
    if (channels == 4)
        return encode_band_impl<4>(px, first, end, row_len, last);
    util::fatal("encode_band: canales");
}

std::vector<std::uint8_t> encode_png(PngPixels px, PngOptions options)
{
    check_pixels(px);
    const unsigned threads = options.threads.value_or(0) != 0 ? *options.threads : util::parallelism();
    const unsigned channels = has_translucency(px, threads) ? 4 : 3;
    const std::size_t row_len = 1 + std::size_t(channels) * px.width;
    const BandPlan plan = plan_bands(px.height, threads);

    // Bands are handed out one by one rather than in fixed groups of
    // consecutive bands: bands of photos cost several times those of flat
    // panels, and fixed groups left one worker with the photo while the
    // others idled. Each band lands in its own slot, so the file is the same
    // whoever encoded which band. Chunks only read the pixels and write their
    // own slots, and all of them have ended before the slots are read.
    std::vector<Band> bands(plan.bands);
    util::parallel_for(plan.bands, { .chunks = plan.bands, .threads = plan.workers }, [&](std::size_t from, std::size_t to) {
        for (std::size_t b = from; b < to; ++b) {
            const std::uint32_t first = static_cast<std::uint32_t>(b) * plan.rows_per_band;
            const std::uint32_t end = std::min(px.height, first + plan.rows_per_band);
            bands[b] = encode_band(px, first, end, channels, row_len, b + 1 == plan.bands);
        }
    });

    std::size_t total = 0;
    std::uint32_t adler = 1;
    for (const auto& band : bands) {
        total += band.bytes.size();
        adler = adler32_combine(adler, band.adler, band.raw_len);
    }

    std::vector<std::uint8_t> out;
    out.reserve(total + 1024 + (options.icc ? options.icc->size() + 64 : 0));
    static constexpr std::uint8_t signature[8] = { 0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A };
    append(out, signature, 8);

    std::uint8_t ihdr[13];
    put_u32(ihdr, px.width);
    put_u32(ihdr + 4, px.height);
    ihdr[8] = 8;
    ihdr[9] = channels == 4 ? 6 : 2;
    ihdr[10] = ihdr[11] = ihdr[12] = 0;
    write_chunk(out, "IHDR", ihdr);

    if (options.icc && !options.icc->empty()) {
        const auto& icc = *options.icc;
        std::vector<std::uint8_t> data = { 'I', 'C', 'C', ' ', 'P', 'r', 'o', 'f', 'i', 'l', 'e', 0, 0 };
        uLongf len = compressBound(static_cast<uLong>(icc.size()));
        const std::size_t at = data.size();
        data.resize(at + len);
        if (compress2(data.data() + at, &len, icc.data(), static_cast<uLong>(icc.size()), 6) != Z_OK)
            util::fatal("memoria");
        data.resize(at + len);
        write_chunk(out, "iCCP", data);
    } else {
        const std::uint8_t perceptual = 0;
        write_chunk(out, "sRGB", { &perceptual, 1 });
    }

    if (options.scale > 0) {
        const double ppm = std::round(options.scale * 72.0 / 0.0254);
        const std::uint32_t v = ppm >= 4294967295.0 ? 0xffffffffu : static_cast<std::uint32_t>(ppm);
        std::uint8_t phys[9];
        put_u32(phys, v);
        put_u32(phys + 4, v);
        phys[8] = 1;
        write_chunk(out, "pHYs", phys);
    }

    // zlib header: deflate with a 32 KiB window, the "fastest" level hint.
    static constexpr std::uint8_t zlib_header[2] = { 0x78, 0x01 };
    write_chunk(out, "IDAT", zlib_header);
    for (const auto& band : bands)
        append(out, band.bytes.data(), band.bytes.size());
    std::uint8_t trailer[4];
    put_u32(trailer, adler);
    write_chunk(out, "IDAT", trailer);
    write_chunk(out, "IEND", {});
    return out;
}

} // namespace encode
