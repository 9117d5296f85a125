// The stitcher's tracks: appending newly revealed rows, the fixed header and
// footer, the row limit, and the race between the vertical and the horizontal
// axis.
#include "codec/stitch.h"
#include "codec/imageops.h"
#include "codec/stitch_internal.h"
#include "base/util.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <fmt/format.h>

namespace stitch {

std::string debug_text(const Step& step)
{
    switch (step.kind) {
    case Step::Kind::First:
        return "First";
    case Step::Kind::Unchanged:
        return "Unchanged";
    case Step::Kind::Moved:
        return fmt::format("Moved {{ offset: {}, added: {} }}", step.offset, step.added);
    case Step::Kind::Lost:
        return "Lost";
    case Step::Kind::Mismatch:
        return "Mismatch";
    case Step::Kind::Full:
        return "Full";
    }
    return "?";
}

namespace {

// One 4 × 4 block of pixels: source rows j..j+3 at columns i..i+3 become
// destination rows i..i+3 at columns j..j+3.
inline void block4(const std::uint8_t* src, std::size_t src_stride, std::uint8_t* dst, std::size_t dst_stride)
{
#if defined(__SSE2__)
    const __m128i r0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i r1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + src_stride));
    const __m128i r2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 2 * src_stride));
    const __m128i r3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 3 * src_stride));
    const __m128i t0 = _mm_unpacklo_epi32(r0, r1); // a0 b0 a1 b1
    const __m128i t1 = _mm_unpacklo_epi32(r2, r3); // c0 d0 c1 d1
    const __m128i t2 = _mm_unpackhi_epi32(r0, r1); // a2 b2 a3 b3
    const __m128i t3 = _mm_unpackhi_epi32(r2, r3); // c2 d2 c3 d3
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_unpacklo_epi64(t0, t1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + dst_stride), _mm_unpackhi_epi64(t0, t1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * dst_stride), _mm_unpacklo_epi64(t2, t3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * dst_stride), _mm_unpackhi_epi64(t2, t3));
#else
    for (std::size_t j = 0; j < 4; ++j)
        for (std::size_t i = 0; i < 4; ++i)
            std::memcpy(dst + i * dst_stride + 4 * j, src + j * src_stride + 4 * i, 4);
#endif
}

// Transposes the frame into `dst` (4 × width × height bytes) in 16 × 16
// tiles: a tile keeps both the 16 source rows and the 16 destination rows it
// touches in cache. Whole 4 × 4 blocks go through registers; the ragged edge
// is copied pixel by pixel.
void transpose_into(const Frame& frame, std::uint8_t* dst)
{
    const std::size_t w = frame.width;
    const std::size_t h = frame.height;
    const std::size_t dst_stride = 4 * h;
    const std::uint8_t* src = frame.data.data();
    constexpr std::size_t T = 16;
    for (std::size_t j0 = 0; j0 < h; j0 += T) {
        const std::size_t j1 = std::min(j0 + T, h);
        for (std::size_t i0 = 0; i0 < w; i0 += T) {
            const std::size_t i1 = std::min(i0 + T, w);
            if (j1 - j0 == T && i1 - i0 == T) {
                for (std::size_t j = j0; j < j1; j += 4)
                    for (std::size_t i = i0; i < i1; i += 4)
                        block4(src + j * frame.stride + 4 * i, frame.stride, dst + i * dst_stride + 4 * j, dst_stride);
                continue;
            }
            for (std::size_t j = j0; j < j1; ++j) {
                const std::uint8_t* row = src + j * frame.stride;
                for (std::size_t i = i0; i < i1; ++i)
                    std::memcpy(dst + i * dst_stride + 4 * j, row + 4 * i, 4);
            }
        }
    }
}

} // namespace

void transpose(const Frame& frame, std::vector<std::uint8_t>& out)
{
    check_frame(frame);
    // Every byte is written below, so the old contents need no clearing.
    out.resize(4 * std::size_t(frame.width) * frame.height);
    if (!out.empty())
        transpose_into(frame, out.data());
}

// ---------------------------------------------------------------------------
// Buffer

Buffer::~Buffer()
{
    std::free(m_data);
}

Buffer::Buffer(Buffer&& other) noexcept
    : m_data(std::exchange(other.m_data, nullptr))
    , m_size(std::exchange(other.m_size, 0))
    , m_capacity(std::exchange(other.m_capacity, 0))
{
}

Buffer& Buffer::operator=(Buffer&& other) noexcept
{
    if (this != &other) {
        std::free(m_data);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
        m_capacity = std::exchange(other.m_capacity, 0);
    }
    return *this;
}

void Buffer::reserve(std::size_t capacity)
{
    if (capacity <= m_capacity)
        return;
    void* p = std::realloc(m_data, capacity);
    if (!p)
        throw std::bad_alloc();
    m_data = static_cast<std::uint8_t*>(p);
    m_capacity = capacity;
}

std::uint8_t* Buffer::grow(std::size_t n)
{
    if (n > SIZE_MAX - m_size)
        throw std::bad_alloc();
    if (m_size + n > m_capacity)
        reserve(std::max(m_size + n, m_capacity + m_capacity / 2));
    std::uint8_t* at = m_data + m_size;
    m_size += n;
    return at;
}

void Buffer::append(const std::uint8_t* bytes, std::size_t n)
{
    if (n > 0)
        std::memcpy(grow(n), bytes, n);
}

std::uint8_t* Buffer::release()
{
    m_size = m_capacity = 0;
    return std::exchange(m_data, nullptr);
}

// ---------------------------------------------------------------------------
// Track

Track::Track(std::uint32_t max_rows, unsigned sign_threads)
    : m_max_rows(max_rows)
    , m_sign_threads(sign_threads)
{
}

std::uint32_t Track::tail_rows() const
{
    return m_width == 0 ? 0 : std::uint32_t(m_tail.size() / (4 * std::size_t(m_width)));
}

void Track::emit(const std::uint8_t* bytes, std::uint64_t count)
{
    const std::uint64_t room = m_rows >= m_max_rows ? 0 : m_max_rows - m_rows;
    const std::uint64_t take = std::min(room, count);
    if (take > 0) {
        const std::size_t row_bytes = 4 * std::size_t(m_width);
        m_out.append(bytes, std::size_t(take) * row_bytes);
        m_rows += std::uint32_t(take);
    }
    if (room < count)
        m_full = true;
}

void Track::set_tail(const Frame& frame, std::uint32_t first_row)
{
    const std::size_t row_bytes = 4 * std::size_t(frame.width);
    first_row = std::min(first_row, frame.height);
    m_tail.resize(std::size_t(frame.height - first_row) * row_bytes);
    if (frame.stride == row_bytes) {
        if (!m_tail.empty())
            std::memcpy(m_tail.data(), frame.data.data() + first_row * frame.stride, m_tail.size());
    } else {
        for (std::uint32_t r = first_row; r < frame.height; ++r)
            std::memcpy(m_tail.data() + (r - first_row) * row_bytes, frame.data.data() + r * frame.stride, row_bytes);
    }
    m_tail_from = first_row;
}

Step Track::push(const Frame& frame)
{
    if (m_full)
        return STEP_FULL;
    if (frame.width == 0 || frame.height == 0)
        return STEP_MISMATCH;
    if (m_prev && (frame.width != m_width || frame.height != m_height))
        return STEP_MISMATCH;
    check_frame(frame);

    // Signed into the spare lists, which keep their memory from frame to frame.
    sign_into(frame, m_sign_threads > 0 ? m_sign_threads : sign_workers(std::uint64_t(frame.width) * frame.height), m_spare);
    Sig& sig = m_spare;
    const std::uint32_t h = frame.height;

    if (!m_prev) {
        m_width = frame.width;
        m_height = frame.height;
        set_tail(frame, 0);
        m_prev = std::move(sig);
        m_frames = 1;
        return STEP_FIRST;
    }

    // The fixed header and footer: rows that did not change at all.
    const auto band = [&](Match match) {
        const auto same = [&](std::uint32_t r) {
            return match == Match::Exact ? m_prev->hashes[r] == sig.hashes[r] : rows_equal(*m_prev, sig, r);
        };
        std::uint32_t top = 0;
        while (top < h && same(top))
            ++top;
        std::uint32_t bottom = 0;
        while (bottom < h - top && same(h - 1 - bottom))
            ++bottom;
        return std::pair { top, bottom };
    };
    const std::uint32_t least = std::max<std::uint32_t>(h / 8, 24);
    Match match = Match::Tolerant;
    auto [top, bottom] = band(match);
    if (h - top - bottom < least) {
        // Sparse content (narrow text at one edge of a plain page, lines that
        // differ in a digit) moves too few luma bins for the tolerant
        // comparison, which must let a caret through: look again row by row.
        match = Match::Exact;
        std::tie(top, bottom) = band(match);
        if (h - top - bottom < least)
            return STEP_UNCHANGED;
    }
    const std::uint32_t end = h - bottom;
    const std::uint32_t region = end - top;

    const std::uint32_t min_overlap = std::max<std::uint32_t>(region / 10, 24);
    const auto found = find_offset(*m_prev, sig, top, end, min_overlap, m_hint, match);
    if (!found) {
        ++m_unjoined;
        return STEP_LOST;
    }
    if (*found == 0)
        return STEP_UNCHANGED;
    const std::int64_t d = *found;
    const std::uint32_t rows_before = m_rows;
    const std::size_t row_bytes = 4 * std::size_t(m_width);

    // Rows of the reference frame above the new footer that the output does
    // not hold yet: they were kept in the tail.
    const std::int64_t e = std::max<std::int64_t>(std::int64_t(m_rows) - m_pos, m_tail_from);
    if (std::int64_t(end) > e)
        emit(m_tail.data() + std::size_t(e - m_tail_from) * row_bytes, std::uint64_t(end - e));

    m_pos += d;

    // The rows this frame reveals beyond the furthest point reached.
    const std::int64_t start = std::max<std::int64_t>(std::int64_t(m_rows) - m_pos, 0);
    if (std::int64_t(end) > start && !m_full) {
        if (frame.stride == row_bytes) {
            emit(frame.data.data() + std::size_t(start) * row_bytes, std::uint64_t(end - start));
        } else {
            for (std::int64_t r = start; r < std::int64_t(end); ++r)
                emit(frame.data.data() + std::size_t(r) * frame.stride, 1);
        }
    }

    m_min_footer = std::min(m_min_footer, bottom);
    // Moving forward this keeps exactly the current footer; moving back it
    // keeps what lies below the output's end, but never less than the
    // smallest footer, so the footer always ends the image.
    const std::int64_t tail_from = std::min<std::int64_t>(std::int64_t(h) - m_min_footer,
                                                          std::max<std::int64_t>(end, std::int64_t(m_rows) - m_pos));
    set_tail(frame, std::uint32_t(tail_from));

    std::swap(*m_prev, m_spare);
    ++m_frames;
    m_hint = d;
    if (m_full)
        return STEP_FULL;
    return Step::moved(d, m_rows - rows_before);
}

Image Track::take_image()
{
    Image img;
    img.width = m_width;
    img.height = m_rows + tail_rows();
    img.pixels = std::move(m_out);
    img.pixels.append(m_tail.data(), m_tail.size());
    m_tail.clear();
    return img;
}

// ---------------------------------------------------------------------------
// Stitcher

Stitcher::Stitcher(std::uint8_t mode, std::uint32_t max_rows, unsigned sign_threads)
{
    if (mode == 0) {
        m_tracks.push_back({Axis::Vertical, Track(max_rows, sign_threads)});
    } else if (mode == 2) {
        m_tracks.push_back({Axis::Vertical, Track(max_rows, sign_threads)});
        m_tracks.push_back({Axis::Horizontal, Track(max_rows, sign_threads)});
    } else {
        m_tracks.push_back({Axis::Horizontal, Track(max_rows, sign_threads)});
    }
}

Step Stitcher::push(const Frame& frame)
{
    check_frame(frame);
    Step steps[2];
    std::size_t n = 0;
    for (Entry& entry : m_tracks) {
        Track& t = entry.track;
        if (entry.axis == Axis::Vertical) {
            steps[n++] = t.push(frame);
            continue;
        }
        // Settle what needs no pixels before paying for the transposition.
        if (t.full()) {
            steps[n++] = STEP_FULL;
        } else if (frame.width == 0 || frame.height == 0
                   || (t.has_reference() && (frame.height != t.width() || frame.width != t.height()))) {
            steps[n++] = STEP_MISMATCH;
        } else {
            transpose(frame, m_scratch);
            const Frame turned{m_scratch, frame.height, frame.width, 4 * std::size_t(frame.height)};
            steps[n++] = t.push(turned);
        }
    }
    if (n == 1)
        return steps[0];

    // The first axis that moves wins the race; the stitcher follows it alone.
    for (std::size_t i = 0; i < n; ++i) {
        if (steps[i].kind == Step::Kind::Moved || steps[i].kind == Step::Kind::Full) {
            Entry winner = std::move(m_tracks[i]);
            m_tracks.clear();
            m_tracks.push_back(std::move(winner));
            if (m_tracks.front().axis == Axis::Vertical)
                std::vector<std::uint8_t>().swap(m_scratch);
            return steps[i];
        }
    }
    for (std::size_t i = 0; i < n; ++i)
        if (steps[i].kind == Step::Kind::Unchanged)
            return STEP_UNCHANGED;
    return steps[0];
}

std::optional<Image> Stitcher::finish() &&
{
    Entry& entry = m_tracks.front();
    if (!entry.track.has_reference())
        return std::nullopt;
    Image img = entry.track.take_image();
    if (entry.axis == Axis::Vertical)
        return img;
    Image turned;
    turned.width = img.height;
    turned.height = img.width;
    if (!img.pixels.empty())
        transpose_into(Frame{img.pixels.bytes(), img.width, img.height, 4 * std::size_t(img.width)},
                       turned.pixels.grow(img.pixels.size()));
    return turned;
}

// ---------------------------------------------------------------------------
// Preview

Preview::Preview(std::uint32_t target_width)
    : m_target_width(std::max<std::uint32_t>(target_width, 1))
{
}

bool Preview::update(const Stitcher& stitcher)
{
    const Track& track = stitcher.track();
    const std::uint32_t w = track.width();
    if (w == 0)
        return false;
    // In mode 2 the horizontal track may win the race after the preview
    // started from the vertical one: start again from the winner.
    if (m_factor != 0 && stitcher.axis() != m_axis) {
        m_pixels.clear();
        m_width = m_height = 0;
        m_consumed = 0;
        m_factor = 0;
    }
    if (m_factor == 0) {
        m_factor = std::max<std::uint32_t>((w + m_target_width - 1) / m_target_width, 1);
        m_axis = stitcher.axis();
    }
    // Whole blocks only, so that every preview row is final once made.
    const std::uint32_t usable = track.rows() - track.rows() % m_factor;
    if (usable <= m_consumed)
        return false;
    const std::size_t row_bytes = 4 * std::size_t(w);
    const imageops::View view{
        track.out().bytes().subspan(m_consumed * row_bytes,
                                                           std::size_t(usable - m_consumed) * row_bytes),
        w, usable - m_consumed, row_bytes};
    const imageops::Image small = imageops::downscale(view, m_factor);
    m_pixels.insert(m_pixels.end(), small.pixels.begin(), small.pixels.end());
    m_width = std::uint32_t(small.width);
    m_height += std::uint32_t(small.height);
    m_consumed = usable;
    return true;
}

Image Preview::image() const
{
    Image img;
    if (m_axis == Axis::Vertical) {
        img.pixels.append(m_pixels.data(), m_pixels.size());
        img.width = m_width;
        img.height = m_height;
        return img;
    }
    img.width = m_height;
    img.height = m_width;
    if (!m_pixels.empty())
        transpose_into(Frame{m_pixels, m_width, m_height, 4 * std::size_t(m_width)}, img.pixels.grow(m_pixels.size()));
    return img;
}

} // namespace stitch
