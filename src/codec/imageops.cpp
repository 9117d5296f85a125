#include "codec/imageops.h"

#include "base/simd.h"

#include "base/util.h"
#include "base/util_parallel.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace imageops {

namespace {

// Below this many source pixels a second thread costs more than it saves:
// a blur does six passes over each pixel, a downscale reads each byte once
// at memory speed, so starting threads pays only for a far larger downscale.
constexpr std::size_t THREAD_MIN_PIXELS = 65536;
constexpr std::size_t DOWNSCALE_THREAD_MIN_PIXELS = 1 << 22;
constexpr std::size_t MAX_THREADS = 16;
constexpr std::size_t MAX_BLUR_RADIUS = 1000;

void check_view(std::size_t size, std::size_t width, std::size_t height, std::size_t stride)
{
    if (width == 0 || height == 0)
        return;
    std::size_t row_bytes, rows, need;
    if (__builtin_mul_overflow(width, std::size_t(4), &row_bytes) || stride < row_bytes)
        util::fatal("imageops: el paso de fila es menor que 4 × ancho");
    if (__builtin_mul_overflow(stride, height - 1, &rows) || __builtin_add_overflow(rows, row_bytes, &need) || size < need)
        util::fatal("imageops: los datos son más cortos que las filas de la vista");
}

// Workers for an operation over `width` × `height` source pixels with `items`
// independent output units: the calling thread alone below `min_pixels`.
std::size_t worker_count(std::size_t width, std::size_t height, std::size_t items, std::size_t min_pixels = THREAD_MIN_PIXELS)
{
    if (width * height < min_pixels)
        return 1;
    return std::max<std::size_t>(std::min({ items, std::size_t(util::parallelism()), MAX_THREADS }), 1);
}

// ⌊n / d⌋ for 32-bit n and d ≥ 2 with one multiplication: M = ⌊(2^64 − 1) / d⌋ + 1
// is exact over the whole 32-bit range.
struct FastDiv {
    std::uint64_t m = 0;
    std::uint32_t d = 1;
    explicit FastDiv(std::uint32_t divisor)
        : d(divisor)
    {
        if (d > 1)
            m = ~std::uint64_t(0) / d + 1;
    }
    std::uint32_t operator()(std::uint32_t n) const
    {
        if (d == 1)
            return n;
        return static_cast<std::uint32_t>((static_cast<unsigned __int128>(m) * n) >> 64);
    }
};

// Sums each byte over the box columns of one source row into `sums`.
template <typename Sum, typename In>
[[gnu::always_inline]] inline void add_row(const In* row, std::size_t width, std::size_t f, Sum* sums)
{
    if (f == 2) {
        const std::size_t pairs = width / 2;
        for (std::size_t X = 0; X < pairs; ++X)
            for (int c = 0; c < 4; ++c)
                sums[4 * X + c] += Sum(row[8 * X + c]) + Sum(row[8 * X + 4 + c]);
        if (width % 2)
            for (int c = 0; c < 4; ++c)
                sums[4 * pairs + c] += row[8 * pairs + c];
        return;
    }
    std::size_t X = 0;
    for (std::size_t x0 = 0; x0 < width; x0 += f, ++X) {
        const std::size_t x1 = std::min(x0 + f, width);
        Sum s[4] = { 0, 0, 0, 0 };
        for (std::size_t x = x0; x < x1; ++x)
            for (int c = 0; c < 4; ++c)
                s[c] += row[4 * x + c];
        for (int c = 0; c < 4; ++c)
            sums[4 * X + c] += s[c];
    }
}

// ⌊n / d⌋ by a multiplication and a 32-bit shift with M = ⌈2^32 / d⌉: exact
// while n × d < 2^32, which holds for box sums (n < 256 × d) when d ≤ 4096.
struct SmallDiv {
    std::uint64_t m;
    explicit SmallDiv(std::uint32_t d)
        : m(((std::uint64_t(1) << 32) + d - 1) / d)
    {
    }
    std::uint32_t operator()(std::uint32_t n) const { return static_cast<std::uint32_t>((m * n) >> 32); }
};
constexpr std::size_t SMALL_DIV_MAX = 4096;

// Below this box size a byte's sum down the box rows fits 16 bits.
constexpr std::size_t COLUMN_SUM_MAX = 257;

template <typename Sum>
[[gnu::always_inline]] inline void downscale_rows(const View& v, std::size_t f, Image& out, std::size_t first, std::size_t end)
{
    std::vector<Sum> sums(out.width * 4);
    // Wider boxes sum each byte down the rows first (whole rows side by
    // side, which vectorises), then across once per row of boxes.
    const bool by_columns = f > 2 && f <= COLUMN_SUM_MAX;
    std::vector<std::uint16_t> columns(by_columns ? 4 * v.width : 0);
    const std::size_t last_w = v.width - (out.width - 1) * f;
    for (std::size_t Y = first; Y < end; ++Y) {
        std::fill(sums.begin(), sums.end(), Sum(0));
        const std::size_t y0 = Y * f;
        const std::size_t y1 = std::min(y0 + f, v.height);
        if (by_columns) {
            std::uint16_t* __restrict col = columns.data();
            std::fill(columns.begin(), columns.end(), std::uint16_t(0));
            for (std::size_t y = y0; y < y1; ++y) {
                const std::uint8_t* __restrict row = v.data.data() + y * v.stride;
                for (std::size_t i = 0; i < 4 * v.width; ++i)
                    col[i] = static_cast<std::uint16_t>(col[i] + row[i]);
            }
            add_row(col, v.width, f, sums.data());
        } else {
            for (std::size_t y = y0; y < y1; ++y)
                add_row(v.data.data() + y * v.stride, v.width, f, sums.data());
        }
        const std::size_t rows = y1 - y0;
        std::uint8_t* __restrict dst = out.pixels.data() + Y * out.width * 4;
        const Sum* __restrict src = sums.data();
        // Every box of the row but the last holds f × rows pixels.
        const std::size_t inner = (out.width - 1) * 4;
        const std::size_t count = f * rows;
        if constexpr (sizeof(Sum) == 4) {
            const auto half = static_cast<std::uint32_t>(count / 2);
            if (count <= SMALL_DIV_MAX) {
                const SmallDiv div(static_cast<std::uint32_t>(count));
                for (std::size_t i = 0; i < inner; ++i)
                    dst[i] = static_cast<std::uint8_t>(div(src[i] + half));
            } else {
                const FastDiv div(static_cast<std::uint32_t>(count));
                for (std::size_t i = 0; i < inner; ++i)
                    dst[i] = static_cast<std::uint8_t>(div(src[i] + half));
            }
        } else {
            for (std::size_t i = 0; i < inner; ++i)
                dst[i] = static_cast<std::uint8_t>((src[i] + count / 2) / count);
        }
        const std::size_t edge = last_w * rows;
        for (std::size_t i = inner; i < inner + 4; ++i)
            dst[i] = static_cast<std::uint8_t>((src[i] + edge / 2) / edge);
    }
}

VECTOR_CLONES void downscale_rows32(const View& v, std::size_t f, Image& out, std::size_t first, std::size_t end)
{
    downscale_rows<std::uint32_t>(v, f, out, first, end);
}

#if defined(__x86_64__)
// Four result pixels from eight source pixels of each row as 16-bit sums,
// (a + b + c + d + 2) / 4: each 128-bit half holds four source pixels, and
// its sums come out as result pixels 0–1 and 2–3 of that half.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i halve_sums_avx2(
    const std::uint8_t* __restrict a, const std::uint8_t* __restrict b, std::size_t at)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i ra = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + at));
    const __m256i rb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + at));
    const __m256i lo = _mm256_add_epi16(_mm256_unpacklo_epi8(ra, zero), _mm256_unpacklo_epi8(rb, zero));
    const __m256i hi = _mm256_add_epi16(_mm256_unpackhi_epi8(ra, zero), _mm256_unpackhi_epi8(rb, zero));
    const __m256i sum = _mm256_add_epi16(_mm256_unpacklo_epi64(lo, hi), _mm256_unpackhi_epi64(lo, hi));
    return _mm256_srli_epi16(_mm256_add_epi16(sum, _mm256_set1_epi16(2)), 2);
}

// Eight result pixels at a time with 256-bit registers, as halve_rows does
// four; returns how many pairs of source pixels it took.
[[gnu::target("avx2")]] std::size_t halve_pairs_avx2(
    const std::uint8_t* __restrict a, const std::uint8_t* __restrict b, std::uint8_t* __restrict dst, std::size_t pairs)
{
    std::size_t X = 0;
    for (; X + 8 <= pairs; X += 8) {
        // Packed as results 0 1 4 5 | 2 3 6 7: the middle quarters swap.
        const __m256i packed = _mm256_packus_epi16(halve_sums_avx2(a, b, 8 * X), halve_sums_avx2(a, b, 8 * X + 32));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 4 * X), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    return X;
}

bool has_avx2()
{
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2;
}
#endif

// Halving, the commonest factor, on its own: rows [first, end) of the 2:1
// result, each byte (a + b + c + d + 2) / 4 of its 2 × 2 box, as the general
// path gives, with the narrower edge boxes averaged as (a + b + 1) / 2.
VECTOR_CLONES void halve_rows(const View& v, Image& out, std::size_t first, std::size_t end)
{
    const std::size_t pairs = v.width / 2;
    for (std::size_t Y = first; Y < end; ++Y) {
        const std::uint8_t* __restrict a = v.data.data() + 2 * Y * v.stride;
        const bool two = 2 * Y + 1 < v.height;
        const std::uint8_t* __restrict b = two ? a + v.stride : a;
        std::uint8_t* __restrict dst = out.pixels.data() + Y * out.width * 4;
        std::size_t X = 0;
        if (two) {
#if defined(__x86_64__)
            if (has_avx2())
                X = halve_pairs_avx2(a, b, dst, pairs);
#endif
#if defined(__SSE2__)
            // Four result pixels from eight source pixels of each row: the
            // rows summed in 16 bits, then each pixel with its neighbour.
            const __m128i zero = _mm_setzero_si128();
            const __m128i two_16 = _mm_set1_epi16(2);
            const auto pair_sums = [&](std::size_t at) {
                const __m128i ra = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + at));
                const __m128i rb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + at));
                const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(ra, zero), _mm_unpacklo_epi8(rb, zero)); // pixels 0, 1
                const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(ra, zero), _mm_unpackhi_epi8(rb, zero)); // pixels 2, 3
                const __m128i sum = _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
                return _mm_srli_epi16(_mm_add_epi16(sum, two_16), 2);
            };
            for (; X + 4 <= pairs; X += 4)
                _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * X),
                    _mm_packus_epi16(pair_sums(8 * X), pair_sums(8 * X + 16)));
#endif
            for (; X < pairs; ++X)
                for (int c = 0; c < 4; ++c)
                    dst[4 * X + c] = static_cast<std::uint8_t>(
                        (unsigned(a[8 * X + c]) + a[8 * X + 4 + c] + b[8 * X + c] + b[8 * X + 4 + c] + 2) >> 2);
        } else {
            for (; X < pairs; ++X)
                for (int c = 0; c < 4; ++c)
                    dst[4 * X + c] = static_cast<std::uint8_t>((unsigned(a[8 * X + c]) + a[8 * X + 4 + c] + 1) >> 1);
        }
        if (v.width % 2)
            for (int c = 0; c < 4; ++c)
                dst[4 * pairs + c]
                    = static_cast<std::uint8_t>(two ? (unsigned(a[8 * pairs + c]) + b[8 * pairs + c] + 1) >> 1 : a[8 * pairs + c]);
    }
}

// One box pass along a row: out = ⌊m × (s + r) / 2^32⌋ with s the sum of the
// 2r + 1 values centred on x, edges repeating the nearest pixel. A running
// sum makes the cost independent of r.
[[gnu::always_inline]] inline void blur_row(
    const std::uint8_t* __restrict in, std::uint8_t* __restrict out, std::size_t width, std::size_t r, std::uint64_t m)
{
    const std::size_t last = width - 1;
    std::uint32_t s[4];
    for (int c = 0; c < 4; ++c)
        s[c] = std::uint32_t(r + 1) * in[c];
    // Pixels 1 to r, clamped to the last column.
    const std::size_t direct = std::min(r, last);
    for (std::size_t k = 1; k <= direct; ++k)
        for (int c = 0; c < 4; ++c)
            s[c] += in[4 * k + c];
    if (r > last)
        for (int c = 0; c < 4; ++c)
            s[c] += std::uint32_t(r - last) * in[4 * last + c];
#if defined(__SSE2__)
    // The four sums of a pixel side by side. m < 2^32 (the divisor is at
    // least 3), so each quotient is the high half of a 32 × 32-bit product:
    // lanes 0 and 2 multiplied in place, lanes 1 and 3 shifted down first.
    const __m128i zero = _mm_setzero_si128();
    const __m128i mul = _mm_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(m)));
    const __m128i bias = _mm_set1_epi32(static_cast<int>(r));
    const __m128i odd_lanes = _mm_set_epi32(-1, 0, -1, 0);
    const auto widen = [&](const std::uint8_t* p) {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        return _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(v), zero), zero);
    };
    __m128i sum = _mm_set_epi32(static_cast<int>(s[3]), static_cast<int>(s[2]), static_cast<int>(s[1]), static_cast<int>(s[0]));
    for (std::size_t x = 0; x < width; ++x) {
        const std::size_t add = std::min(x + r + 1, last);
        const std::size_t sub = x > r ? x - r : 0;
        const __m128i n = _mm_add_epi32(sum, bias);
        const __m128i even = _mm_srli_epi64(_mm_mul_epu32(n, mul), 32);
        const __m128i odd = _mm_and_si128(_mm_mul_epu32(_mm_srli_epi64(n, 32), mul), odd_lanes);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(_mm_or_si128(even, odd), zero), zero);
        const std::int32_t quotient = _mm_cvtsi128_si32(bytes);
        std::memcpy(out + 4 * x, &quotient, 4);
        sum = _mm_sub_epi32(_mm_add_epi32(sum, widen(in + 4 * add)), widen(in + 4 * sub));
    }
#else
    for (std::size_t x = 0; x < width; ++x) {
        const std::size_t add = std::min(x + r + 1, last);
        const std::size_t sub = x > r ? x - r : 0;
        for (int c = 0; c < 4; ++c) {
            out[4 * x + c] = static_cast<std::uint8_t>((m * (s[c] + r)) >> 32);
            s[c] += in[4 * add + c];
            s[c] -= in[4 * sub + c];
        }
    }
#endif
}

// The three horizontal passes of rows [first, end), fused: each row goes
// through two row-sized buffers while it is in cache, which gives the same
// bytes as three passes over the whole image (rows do not mix).
VECTOR_CLONES void blur_rows(const std::uint8_t* src, std::size_t src_stride, std::uint8_t* dst, std::size_t width, std::size_t r,
    std::uint64_t m, std::size_t first, std::size_t end)
{
    std::vector<std::uint8_t> t1(4 * width), t2(4 * width);
    for (std::size_t y = first; y < end; ++y) {
        blur_row(src + y * src_stride, t1.data(), width, r, m);
        blur_row(t1.data(), t2.data(), width, r, m);
        blur_row(t2.data(), dst + y * width * 4, width, r, m);
    }
}

// One box pass along columns over `n` byte columns, with a running sum per
// byte column, so the cost does not grow with r.
[[gnu::always_inline]] inline void blur_column_pass(const std::uint8_t* src, std::size_t src_stride, std::uint8_t* dst,
    std::size_t dst_stride, std::size_t n, std::size_t height, std::size_t r, std::uint64_t m, std::uint32_t* __restrict s)
{
    const std::size_t last = height - 1;
    for (std::size_t i = 0; i < n; ++i)
        s[i] = std::uint32_t(r + 1) * src[i];
    const std::size_t direct = std::min(r, last);
    for (std::size_t k = 1; k <= direct; ++k) {
        const std::uint8_t* __restrict in = src + k * src_stride;
        for (std::size_t i = 0; i < n; ++i)
            s[i] += in[i];
    }
    if (r > last) {
        const std::uint8_t* __restrict in = src + last * src_stride;
        const auto times = std::uint32_t(r - last);
        for (std::size_t i = 0; i < n; ++i)
            s[i] += times * in[i];
    }
    // m < 2^32 (the divisor is at least 3): a 32 × 32-bit product, which
    // vectorises.
    const auto m32 = static_cast<std::uint32_t>(m);
    const auto r32 = static_cast<std::uint32_t>(r);
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t* __restrict add = src + std::min(y + r + 1, last) * src_stride;
        const std::uint8_t* __restrict sub = src + (y > r ? y - r : 0) * src_stride;
        std::uint8_t* __restrict out = dst + y * dst_stride;
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = static_cast<std::uint8_t>((std::uint64_t(m32) * (s[i] + r32)) >> 32);
            s[i] = s[i] + add[i] - sub[i];
        }
    }
}

// Column strips go through all three vertical passes while they are in the
// core's cache: up to 256 bytes (64 pixels) wide, narrower for tall images
// so that a strip's two buffers stay near 1 MiB, never below 16 bytes.
std::size_t strip_bytes(std::size_t height)
{
    return std::clamp<std::size_t>((std::size_t(1) << 19) / height, 16, 256) / 16 * 16;
}

// The three vertical passes over the byte columns [first, end), strip by
// strip: src → strip buffer → strip buffer → dst. Columns do not mix, so this
// gives the same bytes as three passes over the whole image.
VECTOR_CLONES void blur_columns(const std::uint8_t* src, std::size_t src_stride, std::uint8_t* dst, std::size_t dst_stride,
    std::size_t height, std::size_t r, std::uint64_t m, std::size_t strip, std::size_t first, std::size_t end)
{
    std::vector<std::uint8_t> t1(strip * height), t2(strip * height);
    std::vector<std::uint32_t> sums(strip);
    for (std::size_t x = first; x < end; x += strip) {
        const std::size_t n = std::min(strip, end - x);
        blur_column_pass(src + x, src_stride, t1.data(), n, n, height, r, m, sums.data());
        blur_column_pass(t1.data(), n, t2.data(), n, n, height, r, m, sums.data());
        blur_column_pass(t2.data(), n, dst + x, dst_stride, n, height, r, m, sums.data());
    }
}

} // namespace

Rect Rect::clamp(std::size_t width, std::size_t height) const
{
    Rect r;
    r.x = std::min(x, width);
    r.y = std::min(y, height);
    r.w = std::min(w, width - r.x);
    r.h = std::min(h, height - r.y);
    return r;
}

std::optional<Rect> opaque_bounds(const View& v, std::size_t alpha_offset, std::uint8_t min_alpha)
{
    if (alpha_offset > 3)
        util::fatal("imageops: posición de alfa fuera del píxel");
    check_view(v.data.size(), v.width, v.height, v.stride);
    if (v.width == 0 || v.height == 0)
        return std::nullopt;
    const std::uint8_t least = std::max<std::uint8_t>(min_alpha, 1);
    // A row's largest alpha, a reduction the compiler vectorises: blank rows
    // (a shadow's margin) are read at memory speed.
    const auto row_opaque = [&](std::size_t y) {
        const std::uint8_t* p = v.data.data() + y * v.stride + alpha_offset;
        std::uint8_t most = 0;
        for (std::size_t x = 0; x < v.width; ++x)
            most = std::max(most, p[4 * x]);
        return most >= least;
    };
    std::size_t top = 0;
    while (top < v.height && !row_opaque(top))
        ++top;
    if (top == v.height)
        return std::nullopt;
    std::size_t bottom = v.height - 1;
    while (bottom > top && !row_opaque(bottom))
        --bottom;
    // The leftmost and rightmost opaque column over the rows between; the
    // same answer as scanning column by column, read row by row.
    std::size_t left = v.width, right = 0;
    for (std::size_t y = top; y <= bottom; ++y) {
        const std::uint8_t* p = v.data.data() + y * v.stride + alpha_offset;
        std::size_t x = 0;
        while (x < left && p[4 * x] < least)
            ++x;
        left = std::min(left, x);
        std::size_t xr = v.width - 1;
        while (xr > right && p[4 * xr] < least)
            --xr;
        if (p[4 * xr] >= least)
            right = std::max(right, xr);
    }
    return Rect { left, top, right - left + 1, bottom - top + 1 };
}

std::vector<std::uint8_t> crop(const View& v, Rect rect)
{
    check_view(v.data.size(), v.width, v.height, v.stride);
    const Rect c = rect.clamp(v.width, v.height);
    std::vector<std::uint8_t> out(c.w * c.h * 4);
    if (out.empty())
        return out;
    for (std::size_t i = 0; i < c.h; ++i)
        std::memcpy(out.data() + i * c.w * 4, v.data.data() + (c.y + i) * v.stride + 4 * c.x, c.w * 4);
    return out;
}

void downscale(const View& v, std::size_t factor, Image& out)
{
    const std::size_t f = factor == 0 ? 1 : factor;
    out.width = v.width / f + (v.width % f != 0);
    out.height = v.height / f + (v.height % f != 0);
    if (out.width == 0 || out.height == 0) {
        out.pixels.clear();
        return;
    }
    check_view(v.data.size(), v.width, v.height, v.stride);
    out.pixels.resize(out.width * out.height * 4);
    if (f == 1) {
        for (std::size_t y = 0; y < v.height; ++y)
            std::memcpy(out.pixels.data() + y * v.width * 4, v.data.data() + y * v.stride, v.width * 4);
        return;
    }
    // A box sum stays below 256 × f² (rounding included): 32-bit sums hold it
    // while f < 4096; beyond that 64-bit sums keep it from wrapping.
    const bool narrow = f < 4096;
    const std::size_t workers = worker_count(v.width, v.height, out.height, DOWNSCALE_THREAD_MIN_PIXELS);
    // Twice as many chunks as workers: one that starts late leaves less behind.
    util::parallel_for(out.height, { .chunks = 2 * workers, .threads = workers }, [&](std::size_t first, std::size_t end) {
        if (f == 2)
            halve_rows(v, out, first, end);
        else if (narrow)
            downscale_rows32(v, f, out, first, end);
        else
            downscale_rows<std::uint64_t>(v, f, out, first, end);
    });
}

Image downscale(const View& view, std::size_t factor)
{
    Image out;
    downscale(view, factor, out);
    return out;
}

void blur(const MutableView& view, std::size_t radius)
{
    const std::size_t r = std::min(radius, MAX_BLUR_RADIUS);
    if (r == 0 || view.width == 0 || view.height == 0)
        return;
    check_view(view.data.size(), view.width, view.height, view.stride);
    const std::size_t w = view.width, h = view.height, row = 4 * w;
    std::vector<std::uint8_t> a(row * h);

    // ⌈2^32 / (2r + 1)⌉: multiplying by it and shifting by 32 divides by 2r + 1.
    const std::uint64_t d = 2 * r + 1;
    const std::uint64_t m = ((std::uint64_t(1) << 32) + d - 1) / d;
    const std::size_t workers = worker_count(w, h, h);
    // The three horizontal passes read the view and leave their result in a;
    // the three vertical passes read a and write the view's rows. Each pass
    // of one row or one column depends only on that row or column, so the
    // passes are done row by row and strip by strip, in cache.
    util::parallel_for(h, { .threads = workers },
        [&](std::size_t first, std::size_t end) { blur_rows(view.data.data(), view.stride, a.data(), w, r, m, first, end); });
    // Column chunks are whole strips, so workers never share a cache line.
    const std::size_t strip = strip_bytes(h);
    const std::size_t strips = (row + strip - 1) / strip;
    util::parallel_for(strips, { .threads = std::min(workers, strips) }, [&](std::size_t first, std::size_t end) {
        blur_columns(a.data(), row, view.data.data(), view.stride, h, r, m, strip, first * strip, std::min(row, end * strip));
    });
}

} // namespace imageops
