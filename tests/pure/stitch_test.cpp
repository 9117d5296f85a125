#include "codec/imageops.h"
#include "codec/stitch.h"
#include "test_util.h"
#include "base/util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

using namespace testing_support;

namespace stitch {
void PrintTo(const Step& step, std::ostream* os)
{
    *os << debug_text(step);
}
} // namespace stitch

namespace {

// ---------------------------------------------------------------------------
// Generated pages: packed BGRA images built from text lines, repeated lines,
// blank bands and a noisy photo block, plus a fixed header and footer.

struct Page {
    std::uint32_t w = 0;
    std::uint32_t h = 0;
    std::vector<std::uint8_t> px;

    std::uint8_t* row(std::uint32_t y) { return px.data() + std::size_t(y) * w * 4; }
    const std::uint8_t* row(std::uint32_t y) const { return px.data() + std::size_t(y) * w * 4; }
    void set(std::uint32_t x, std::uint32_t y, std::uint8_t b, std::uint8_t g, std::uint8_t r)
    {
        std::uint8_t* p = row(y) + 4 * std::size_t(x);
        p[0] = b;
        p[1] = g;
        p[2] = r;
        p[3] = 255;
    }
    void fill_row(std::uint32_t y, std::uint8_t b, std::uint8_t g, std::uint8_t r)
    {
        for (std::uint32_t x = 0; x < w; ++x)
            set(x, y, b, g, r);
    }
};

Page blank(std::uint32_t w, std::uint32_t h, std::uint8_t v = 255)
{
    Page p{w, h, std::vector<std::uint8_t>(std::size_t(w) * h * 4)};
    for (std::uint32_t y = 0; y < h; ++y)
        p.fill_row(y, v, v, v);
    return p;
}

// A 16-row line of random glyphs (8 × 10 cells with 6 × 10 ink) on white,
// or on noisy paper that makes every row of the page different.
void text_line(Page& p, std::uint32_t y, std::mt19937& rng, bool paper = false)
{
    for (std::uint32_t r = 0; r < 16 && y + r < p.h; ++r) {
        p.fill_row(y + r, 255, 255, 255);
        if (paper)
            for (std::uint32_t x = 0; x < p.w; ++x) {
                const auto v = std::uint8_t(200 + rng() % 56);
                p.set(x, y + r, v, v, v);
            }
    }
    for (std::uint32_t cell = 0; cell + 8 <= p.w; cell += 8)
        for (std::uint32_t r = 3; r < 13 && y + r < p.h; ++r)
            for (std::uint32_t c = 1; c < 7; ++c)
                if (rng() & 1)
                    p.set(cell + c, y + r, 40, 30, 20);
}

// The hard page has blank bands, repeated lines and blank rows between
// lines, so rows above the footer may happen to match; the plain page (text on
// noisy paper and photos) has none of that, which makes every step's count of
// added rows predictable.
enum class Kind { Hard, Plain };

Page content(std::uint32_t w, std::uint32_t h, std::uint32_t seed, Kind kind = Kind::Hard)
{
    const bool plain = kind == Kind::Plain;
    Page p = blank(w, h);
    std::mt19937 rng(seed);
    std::uint32_t y = 0;
    int block = 0;
    while (y < h) {
        const int type = block++ % 5;
        switch (plain && (type == 1 || type == 2) ? 0 : type) {
        case 0: // a paragraph
        case 3:
            for (int i = 0; i < 6 && y < h; ++i, y += 16)
                text_line(p, y, rng, plain);
            break;
        case 1: { // the same line four times: its rows' hashes are not unique
            const std::uint32_t seed_line = rng();
            for (int i = 0; i < 4 && y < h; ++i, y += 16) {
                std::mt19937 same(seed_line);
                text_line(p, y, same);
            }
            break;
        }
        case 2: // a blank band
            for (std::uint32_t r = 0; r < 40 && y < h; ++r, ++y)
                p.fill_row(y, 240, 240, 240);
            break;
        case 4: // a photo: a gradient with strong noise, every row different
            for (std::uint32_t r = 0; r < 60 && y < h; ++r, ++y)
                for (std::uint32_t x = 0; x < w; ++x) {
                    const int n = int(rng() % 81) - 40;
                    p.set(x, y, std::uint8_t(std::clamp(int(x * 255 / w) + n, 0, 255)),
                          std::uint8_t(std::clamp(int(y % 256) + n, 0, 255)), std::uint8_t(std::clamp(128 + n, 0, 255)));
                }
            break;
        }
    }
    // End on text so that the last frame's change reaches the bottom.
    for (std::uint32_t r = h >= 32 ? h - 32 : 0; r + 16 <= h; r += 16)
        text_line(p, r, rng, plain);
    return p;
}

Page bar(std::uint32_t w, std::uint32_t h, std::uint32_t seed, std::uint8_t tone)
{
    Page p = blank(w, h, tone);
    std::mt19937 rng(seed);
    for (std::uint32_t y = 2; y + 2 < h; ++y)
        for (std::uint32_t x = 0; x < w; x += 3)
            if (rng() % 3 == 0)
                p.set(x, y, 250, 250, 250);
    return p;
}

Page stack(const std::vector<const Page*>& parts)
{
    Page out{parts.front()->w, 0, {}};
    for (const Page* p : parts) {
        out.px.insert(out.px.end(), p->px.begin(), p->px.end());
        out.h += p->h;
    }
    return out;
}

// A scrolling view of `body` between a fixed header and footer, `view` rows
// of the body visible, top row at `at`; `pad` extra bytes at every row's end.
struct Window {
    const Page* header;
    const Page* body;
    const Page* footer;
    std::uint32_t view;

    std::vector<std::uint8_t> frame_bytes(std::uint32_t at, std::size_t pad) const
    {
        const std::size_t rb = 4 * std::size_t(body->w);
        const std::size_t stride = rb + pad;
        std::vector<std::uint8_t> out(stride * height(), 0xAB);
        std::uint32_t y = 0;
        const auto put = [&](const std::uint8_t* src) { std::memcpy(out.data() + stride * y++, src, rb); };
        for (std::uint32_t r = 0; r < header->h; ++r)
            put(header->row(r));
        for (std::uint32_t r = 0; r < view; ++r)
            put(body->row(at + r));
        for (std::uint32_t r = 0; r < footer->h; ++r)
            put(footer->row(r));
        return out;
    }
    std::uint32_t height() const { return header->h + view + footer->h; }
    stitch::Frame frame(const std::vector<std::uint8_t>& bytes, std::size_t pad) const
    {
        return {bytes, body->w, height(), 4 * std::size_t(body->w) + pad};
    }
};

bool same(const stitch::Buffer& got, const std::vector<std::uint8_t>& want)
{
    return std::ranges::equal(got.bytes(), want);
}

stitch::Frame view_of(const Page& p)
{
    return {p.px, p.w, p.h, 4 * std::size_t(p.w)};
}

// Pushes the window at every position in `at` and checks each step.
std::vector<stitch::Step> scroll(stitch::Stitcher& s, const Window& win, const std::vector<std::uint32_t>& at,
                                 std::size_t pad = 0)
{
    std::vector<stitch::Step> steps;
    for (std::uint32_t a : at) {
        const auto bytes = win.frame_bytes(a, pad);
        steps.push_back(s.push(win.frame(bytes, pad)));
    }
    return steps;
}

Page rows_of(const Page& p, std::uint32_t from, std::uint32_t to)
{
    Page out{p.w, to - from, {}};
    out.px.assign(p.row(from), p.row(from) + std::size_t(to - from) * p.w * 4);
    return out;
}

// Signatures of single rows with given bins (hashes all different).
stitch::Sig sig_of_bins(const std::vector<std::vector<std::uint8_t>>& rows, std::uint64_t salt)
{
    stitch::Sig s;
    s.nbins = std::uint32_t(rows.front().size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        s.hashes.push_back(salt * 1000003 + i);
        s.uniform.push_back(0);
        s.bins.insert(s.bins.end(), rows[i].begin(), rows[i].end());
    }
    return s;
}

} // namespace

// ---------------------------------------------------------------------------
// Signatures

TEST(StitchSig, HashIsSeedlessAndFlagsSingleColourRows)
{
    std::vector<std::uint8_t> bytes(40);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = std::uint8_t(i);
    // Known answers from an independent implementation of the same function:
    // one 32-byte block plus two 4-byte groups, and a lone pixel.
    EXPECT_EQ(stitch::hash_row(bytes).hash, 0xca1a68f6089759b9ull);
    EXPECT_FALSE(stitch::hash_row(bytes).uniform);
    const std::uint8_t one[4] = {1, 2, 3, 4};
    EXPECT_EQ(stitch::hash_row(one).hash, 0x60ffefe69c5786b2ull);
    EXPECT_TRUE(stitch::hash_row(one).uniform);

    std::vector<std::uint8_t> solid;
    for (int i = 0; i < 12; ++i)
        solid.insert(solid.end(), {9, 8, 7, 255});
    EXPECT_EQ(stitch::hash_row(solid).hash, 0x032841a6444b6f68ull);
    EXPECT_TRUE(stitch::hash_row(solid).uniform);
    // A different last pixel (in the 4-byte groups after the block) breaks it,
    // and so does one in the block.
    auto tail_off = solid;
    tail_off[44] = 10;
    EXPECT_FALSE(stitch::hash_row(tail_off).uniform);
    EXPECT_NE(stitch::hash_row(tail_off).hash, stitch::hash_row(solid).hash);
    auto block_off = solid;
    block_off[31] = 0;
    EXPECT_FALSE(stitch::hash_row(block_off).uniform);
}

TEST(StitchSig, LumaBinsRoundTheMeanOverEvenEdges)
{
    EXPECT_EQ(stitch::bin_edges(50), (std::vector<std::uint32_t>{0, 1, 3, 4, 6, 7, 9, 10, 12, 14, 15, 17, 18, 20, 21,
                                                                 23, 25, 26, 28, 29, 31, 32, 34, 35, 37, 39, 40, 42,
                                                                 43, 45, 46, 48, 50}));
    EXPECT_EQ(stitch::bin_edges(3), (std::vector<std::uint32_t>{0, 1, 2, 3}));

    // Two pixels in one bin: (B + 2G + R) = 4 and 7 → sum 11, c = 2 → ⌊(11 + 4) / 8⌋ = 1.
    const std::uint8_t row[8] = {1, 1, 1, 0, 1, 3, 0, 99};
    const std::uint32_t edges[2] = {0, 2};
    std::uint8_t out[1] = {77};
    stitch::luma_bins(row, edges, out);
    EXPECT_EQ(out[0], 1);
    // White stays 255; the alpha byte never counts.
    const std::uint8_t white[8] = {255, 255, 255, 0, 255, 255, 255, 0};
    stitch::luma_bins(white, edges, out);
    EXPECT_EQ(out[0], 255);
    // An empty bin gives 0.
    const std::uint32_t empty[2] = {1, 1};
    stitch::luma_bins(white, empty, out);
    EXPECT_EQ(out[0], 0);
}

TEST(StitchSig, SerialAndParallelAgreeAtTheThresholdsEdge)
{
    EXPECT_EQ(stitch::sign_workers(262'143), 1u);
    EXPECT_EQ(stitch::sign_workers(262'144), std::min(util::parallelism(), 8u));

    // 511 × 513 = 262,143 pixels (serial) and 512 × 512 = 262,144 (parallel),
    // with padded rows; both must equal a row-by-row reference.
    for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{511, 513}, {512, 512}}) {
        SCOPED_TRACE(w);
        const Page body = content(w, h, 7);
        const std::size_t stride = 4 * std::size_t(w) + 12;
        std::vector<std::uint8_t> bytes(stride * h);
        for (std::uint32_t y = 0; y < h; ++y)
            std::memcpy(bytes.data() + stride * y, body.row(y), 4 * std::size_t(w));
        const stitch::Frame f{bytes, w, h, stride};

        const stitch::Sig auto_sig = stitch::sign(f);
        const stitch::Sig many = stitch::sign(f, 8);
        const stitch::Sig odd = stitch::sign(f, 3);
        const stitch::Sig one = stitch::sign(f, 1);
        ASSERT_EQ(one.rows(), h);
        EXPECT_EQ(one.nbins, 32u);
        const auto edges = stitch::bin_edges(w);
        for (std::uint32_t y = 0; y < h; ++y) {
            const auto rh = stitch::hash_row({body.row(y), 4 * std::size_t(w)});
            std::uint8_t bins[32];
            stitch::luma_bins({body.row(y), 4 * std::size_t(w)}, edges, bins);
            ASSERT_EQ(one.hashes[y], rh.hash) << y;
            ASSERT_EQ(one.uniform[y], rh.uniform ? 1 : 0) << y;
            ASSERT_TRUE(std::equal(bins, bins + 32, one.bins.begin() + std::ptrdiff_t(y) * 32)) << y;
        }
        for (const stitch::Sig* s : {&auto_sig, &many, &odd}) {
            EXPECT_EQ(s->hashes, one.hashes);
            EXPECT_EQ(s->uniform, one.uniform);
            EXPECT_EQ(s->bins, one.bins);
            EXPECT_EQ(s->nbins, one.nbins);
        }
    }
}

TEST(StitchSig, NarrowFramesHaveOneBinPerPixel)
{
    const Page p = content(8, 40, 3);
    const stitch::Sig s = stitch::sign(view_of(p));
    EXPECT_EQ(s.nbins, 8u);
    EXPECT_EQ(s.bins.size(), 8u * 40);
}

TEST(StitchSig, RowsEqualToleratesACaretButNotAShift)
{
    std::vector<std::uint8_t> base(32, 100);
    auto caret = base;
    caret[10] += 30;
    caret[11] += 30;
    for (std::size_t k = 0; k < 32; ++k)
        if (k != 10 && k != 11)
            caret[k] += 1;
    // S − M = 30 + 30 + 30 − 60 = 30 ≤ 32.
    auto dim = base;
    for (auto& b : dim)
        b += 2; // S − M = 64 − 4 = 60
    const stitch::Sig prev = sig_of_bins({base, base, base}, 1);
    const stitch::Sig cur = sig_of_bins({caret, dim, base}, 2);
    EXPECT_TRUE(stitch::rows_equal(prev, cur, 0));
    EXPECT_FALSE(stitch::rows_equal(prev, cur, 1));
    EXPECT_TRUE(stitch::rows_equal(prev, cur, 2)); // equal bins, different hashes
    EXPECT_TRUE(stitch::rows_equal(prev, prev, 1));
}

// ---------------------------------------------------------------------------
// Offset search

TEST(StitchSearch, UniqueLinesVoteAndRepeatedLinesDoNot)
{
    const Page body = content(160, 600, 11);
    const Page a = rows_of(body, 0, 300);
    const Page b = rows_of(body, 40, 340);
    const stitch::Sig pa = stitch::sign(view_of(a));
    const stitch::Sig pb = stitch::sign(view_of(b));
    const auto votes = stitch::voted_offsets(pa, pb, 0, 300, 270);
    ASSERT_FALSE(votes.empty());
    EXPECT_EQ(votes.front(), 40);
    EXPECT_EQ(stitch::find_offset(pa, pb, 0, 300, 30, 0), 40);

    // A band of one line repeated: every row's hash occurs several times (or
    // the row is blank), so nothing votes, whatever the shift.
    Page rep = blank(160, 320);
    const std::uint32_t line_seed = 99;
    for (std::uint32_t y = 0; y < 320; y += 16) {
        std::mt19937 same(line_seed);
        text_line(rep, y, same);
    }
    const Page ra = rows_of(rep, 0, 300);
    const Page rb = rows_of(rep, 5, 305);
    const stitch::Sig sa = stitch::sign(view_of(ra));
    const stitch::Sig sb = stitch::sign(view_of(rb));
    EXPECT_TRUE(stitch::voted_offsets(sa, sb, 0, 300, 270).empty());
}

TEST(StitchSearch, ABandOf600RowsMovedBy40)
{
    const Page body = content(96, 700, 5);
    const stitch::Sig pa = stitch::sign(view_of(rows_of(body, 0, 600)));
    const stitch::Sig pb = stitch::sign(view_of(rows_of(body, 40, 640)));
    // Minimum overlap 60, max_shift 540.
    const auto votes = stitch::voted_offsets(pa, pb, 0, 600, 540);
    ASSERT_FALSE(votes.empty());
    EXPECT_EQ(votes.front(), 40);
    EXPECT_EQ(stitch::find_offset(pa, pb, 0, 600, 60, -7), 40);
    // Moving back is a negative offset.
    EXPECT_EQ(stitch::find_offset(pb, pa, 0, 600, 60, 0), -40);
    // Too narrow a band is not searched.
    EXPECT_EQ(stitch::find_offset(pa, pb, 0, 59, 60, 0), std::nullopt);
}

TEST(StitchSearch, FallbackFindsContentWhoseHashesAllChanged)
{
    // The new frame is the old one moved by 23 rows with every blue byte one
    // level brighter: no hash survives, but the bins stay within tolerance.
    const Page body = content(128, 400, 21);
    const Page a = rows_of(body, 0, 300);
    Page b = rows_of(body, 23, 323);
    for (std::size_t i = 0; i < b.px.size(); i += 4)
        b.px[i] = b.px[i] < 255 ? std::uint8_t(b.px[i] + 1) : std::uint8_t(254);
    const stitch::Sig pa = stitch::sign(view_of(a));
    const stitch::Sig pb = stitch::sign(view_of(b));
    EXPECT_TRUE(stitch::voted_offsets(pa, pb, 0, 300, 270).empty());
    const auto picks = stitch::profile_offsets(pa, pb, 0, 300, 270);
    ASSERT_FALSE(picks.empty());
    EXPECT_LE(picks.size(), 6u);
    for (std::size_t i = 0; i < picks.size(); ++i)
        for (std::size_t j = i + 1; j < picks.size(); ++j)
            EXPECT_GT(std::abs(picks[i] - picks[j]), 2);
    EXPECT_EQ(stitch::find_offset(pa, pb, 0, 300, 30, 0), 23);
}

TEST(StitchSearch, ProfileScoreDoesNotOverflowOnTallBrightBands)
{
    // 600 rows of white against 600 of black: SAD = 600 × 8160, and
    // SAD × 1024 is above 2^32.
    const std::vector<std::uint32_t> white(600, 32 * 255);
    const std::vector<std::uint32_t> black(600, 0);
    EXPECT_EQ(stitch::profile_score(white, black, 0), 600ull * 8160 * 1024 / 600);
    EXPECT_EQ(stitch::profile_score(white, black, 100), 500ull * 8160 * 1024 / 500);
    EXPECT_EQ(stitch::profile_score(white, white, -5), 0u);
    // A bright band that overflowed would rank a bad shift first.
    std::vector<std::uint32_t> ramp(600), moved(600);
    for (std::size_t i = 0; i < 600; ++i)
        ramp[i] = std::uint32_t(i % 2 ? 8160 : 0);
    for (std::size_t i = 0; i < 600; ++i)
        moved[i] = ramp[(i + 1) % 600];
    EXPECT_LT(stitch::profile_score(ramp, moved, 1), stitch::profile_score(ramp, moved, 0));
}

TEST(StitchSearch, VerifyNeedsEightComparedRows)
{
    const Page body = content(64, 200, 8);
    const stitch::Sig pa = stitch::sign(view_of(rows_of(body, 0, 100)));
    // Rows 0..6 of the band are a perfect match at offset 0, but only 7 rows.
    EXPECT_EQ(stitch::verify(pa, pa, 0, 7, {0}, 0), std::nullopt);
    // Text rows are never blank here after row 3; eight compared rows suffice.
    std::size_t lo = 0;
    while (pa.uniform[lo])
        ++lo;
    std::size_t hi = lo, nonblank = 0;
    while (nonblank < 8) {
        if (!pa.uniform[hi])
            ++nonblank;
        ++hi;
    }
    EXPECT_EQ(stitch::verify(pa, pa, lo, hi, {0}, 0), 0);
    EXPECT_EQ(stitch::verify(pa, pa, lo, hi - 1, {0}, 0), std::nullopt);
    EXPECT_EQ(stitch::verify(pa, pa, 0, 100, {}, 0), std::nullopt);
}

TEST(StitchSearch, TieBreaksBetweenValidCandidates)
{
    // Ratios 0.95 and 0.96, means 3.0 and 3.2: the one closer to the hint.
    EXPECT_TRUE(stitch::replaces({0.96, 3.2}, 20, {0.95, 3.0}, 10, 18));
    EXPECT_FALSE(stitch::replaces({0.96, 3.2}, 20, {0.95, 3.0}, 10, 12));
    // Equally close keeps the earlier (smaller) one.
    EXPECT_FALSE(stitch::replaces({0.96, 3.2}, 20, {0.95, 3.0}, 10, 15));
    // Means 3.0 and 4.0: the lower mean wins, wherever the hint is.
    EXPECT_FALSE(stitch::replaces({0.96, 4.0}, 20, {0.95, 3.0}, 10, 20));
    EXPECT_TRUE(stitch::replaces({0.95, 3.0}, 20, {0.96, 4.0}, 10, 10));
    // Ratios 0.90 and 0.95: the higher ratio, whatever the means.
    EXPECT_TRUE(stitch::replaces({0.95, 9.0}, 20, {0.90, 0.0}, 10, 10));
    EXPECT_FALSE(stitch::replaces({0.90, 0.0}, 20, {0.95, 9.0}, 10, 20));
}

TEST(StitchSearch, HintSettlesAPeriodicBand)
{
    // A band that repeats every 16 rows matches at 16 and 32 equally well;
    // the hint (the last accepted offset) picks.
    Page rep = blank(64, 400);
    for (std::uint32_t y = 0; y < 400; y += 16) {
        std::mt19937 same(5);
        text_line(rep, y, same);
    }
    const stitch::Sig a = stitch::sign(view_of(rows_of(rep, 0, 300)));
    const stitch::Sig b = stitch::sign(view_of(rows_of(rep, 32, 332)));
    EXPECT_EQ(stitch::verify(a, b, 0, 300, {16, 32, 48}, 30), 32);
    EXPECT_EQ(stitch::verify(a, b, 0, 300, {16, 32, 48}, 17), 16);
}

// ---------------------------------------------------------------------------
// Transpose

TEST(StitchTranspose, OddSizesAndPaddedRows)
{
    // Whole 16 × 16 tiles, ragged edges on either side, single rows and columns.
    for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{17, 33}, {1, 40}, {40, 1}, {35, 16}, {50, 19},
                               {32, 48}, {67, 45}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const std::size_t stride = 4 * std::size_t(w) + 8;
        std::vector<std::uint8_t> src(stride * h, 0);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                std::uint8_t* p = src.data() + y * stride + 4 * x;
                p[0] = std::uint8_t(x);
                p[1] = std::uint8_t(y);
                p[2] = std::uint8_t(x * 7 + y);
                p[3] = std::uint8_t(y >> 8);
            }
        std::vector<std::uint8_t> t = {1, 2, 3}; // cleared first
        stitch::transpose({src, w, h, stride}, t);
        ASSERT_EQ(t.size(), 4 * std::size_t(w) * h);
        for (std::uint32_t i = 0; i < w; ++i)
            for (std::uint32_t j = 0; j < h; ++j)
                ASSERT_EQ(0, std::memcmp(t.data() + 4 * (std::size_t(i) * h + j), src.data() + j * stride + 4 * i, 4));
        std::vector<std::uint8_t> back;
        stitch::transpose({t, h, w, 4 * std::size_t(h)}, back);
        for (std::uint32_t y = 0; y < h; ++y)
            ASSERT_EQ(0, std::memcmp(back.data() + 4 * std::size_t(y) * w, src.data() + y * stride, 4 * std::size_t(w)));
    }
}

// ---------------------------------------------------------------------------
// Tracks and the stitcher

class StitchScroll : public testing::TestWithParam<std::tuple<std::uint32_t, std::size_t, std::uint8_t>> {};

TEST_P(StitchScroll, ForwardGivesHeaderContentFooterOnce)
{
    // Width 160 is signed serially, 640 on worker threads; pad > 0 gives
    // padded frames, appended row by row.
    const auto [w, pad, mode] = GetParam();
    const Page header = bar(w, 30, 1, 60);
    const Page footer = bar(w, 20, 2, 90);
    const Page body = content(w, 1200, 3);
    const Window win{&header, &body, &footer, 400};
    std::vector<std::uint32_t> at = {0};
    const std::uint32_t steps[] = {7, 33, 1, 120, 64, 250, 19, 300, 2, 77};
    for (std::size_t i = 0; at.back() < body.h - win.view; ++i)
        at.push_back(std::min(at.back() + steps[i % 10], body.h - win.view));

    stitch::Stitcher s(mode, 30'000);
    const auto got = scroll(s, win, at, pad);
    ASSERT_EQ(got.front(), stitch::STEP_FIRST);
    std::uint64_t added = 0;
    for (std::size_t i = 1; i < got.size(); ++i) {
        ASSERT_EQ(got[i].kind, stitch::Step::Kind::Moved) << i << ": " << stitch::debug_text(got[i]);
        EXPECT_EQ(got[i].offset, std::int64_t(at[i] - at[i - 1])) << i;
        added += got[i].added;
    }
    EXPECT_EQ(s.track_count(), 1u);
    EXPECT_EQ(s.axis(), stitch::Axis::Vertical);
    EXPECT_EQ(s.frames(), at.size());
    const Page expected = stack({&header, &body, &footer});
    EXPECT_EQ(s.length(), expected.h);
    EXPECT_EQ(added, s.track().rows());
    const auto img = std::move(s).finish();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, w);
    ASSERT_EQ(img->height, expected.h);
    EXPECT_TRUE(same(img->pixels, expected.px));
}

INSTANTIATE_TEST_SUITE_P(Sizes, StitchScroll,
                         testing::Values(std::make_tuple(160u, std::size_t(0), std::uint8_t(0)),
                                         std::make_tuple(160u, std::size_t(16), std::uint8_t(0)),
                                         std::make_tuple(640u, std::size_t(0), std::uint8_t(0)),
                                         std::make_tuple(160u, std::size_t(0), std::uint8_t(2))));

TEST(Stitch, FirstFrameAloneIsTheImage)
{
    const Page p = content(50, 70, 4);
    stitch::Stitcher s(0, 30'000);
    EXPECT_EQ(s.push(view_of(p)), stitch::STEP_FIRST);
    EXPECT_EQ(s.push(view_of(p)), stitch::STEP_UNCHANGED);
    EXPECT_EQ(s.frames(), 1u);
    const auto img = std::move(s).finish();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 50u);
    EXPECT_EQ(img->height, 70u);
    EXPECT_TRUE(same(img->pixels, p.px));

    EXPECT_FALSE(stitch::Stitcher(0, 10).finish());
    EXPECT_FALSE(stitch::Stitcher(2, 10).finish());
}

TEST(Stitch, SmallChangesAreUnchanged)
{
    // h = 400: a changed band shorter than max(400 / 8, 24) = 50 rows is too
    // small to use.
    const Page a = content(100, 400, 6);
    std::mt19937 rng(1);
    const auto scribble = [&](std::uint32_t rows) {
        Page b = a;
        for (std::uint32_t y = 200; y < 200 + rows; ++y)
            for (std::uint32_t x = 0; x < b.w; ++x)
                b.set(x, y, std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng()));
        return b;
    };
    stitch::Stitcher s(0, 30'000);
    ASSERT_EQ(s.push(view_of(a)), stitch::STEP_FIRST);
    EXPECT_EQ(s.push(view_of(scribble(49))), stitch::STEP_UNCHANGED);
    EXPECT_EQ(s.push(view_of(scribble(50))), stitch::STEP_LOST); // searched, but nothing fits
    EXPECT_EQ(s.frames(), 1u);
}

TEST(Stitch, BackThenForwardAddsNothingUntilPastTheFurthestPoint)
{
    const Page header = bar(160, 24, 1, 60);
    const Page footer = bar(160, 30, 2, 90);
    const Page body = content(160, 1000, 9, Kind::Plain);
    const Window win{&header, &body, &footer, 300};
    stitch::Stitcher s(0, 30'000);
    const auto got = scroll(s, win, {0, 50, 200, 120, 30, 90, 200, 260, 410});
    ASSERT_EQ(got[0], stitch::STEP_FIRST);
    EXPECT_EQ(got[1], stitch::Step::moved(50, 300 + 24 + 50));
    EXPECT_EQ(got[2], stitch::Step::moved(150, 150));
    EXPECT_EQ(got[3], stitch::Step::moved(-80, 0));
    EXPECT_EQ(got[4], stitch::Step::moved(-90, 0));
    EXPECT_EQ(got[5], stitch::Step::moved(60, 0));
    EXPECT_EQ(got[6], stitch::Step::moved(110, 0)); // back at the furthest point
    EXPECT_EQ(got[7], stitch::Step::moved(60, 60));
    EXPECT_EQ(got[8], stitch::Step::moved(150, 150));
    const Page seen = rows_of(body, 0, 410 + 300);
    const Page expected = stack({&header, &seen, &footer});
    const auto img = std::move(s).finish();
    ASSERT_TRUE(img);
    ASSERT_EQ(img->height, expected.h);
    EXPECT_TRUE(same(img->pixels, expected.px));
}

TEST(Stitch, ContentAboveTheFirstFrameIsNeverAdded)
{
    const Page header = bar(160, 24, 1, 60);
    const Page footer = bar(160, 30, 2, 90);
    const Page body = content(160, 800, 12, Kind::Plain);
    const Window win{&header, &body, &footer, 300};
    stitch::Stitcher s(0, 30'000);
    const auto got = scroll(s, win, {200, 100, 250});
    // The first movement takes the first frame above the footer, whichever
    // way it goes; what moving back revealed is dropped.
    EXPECT_EQ(got[1], stitch::Step::moved(-100, 24 + 300));
    EXPECT_EQ(got[2], stitch::Step::moved(150, 50));
    const Page seen = rows_of(body, 200, 550);
    const Page expected = stack({&header, &seen, &footer});
    const auto img = std::move(s).finish();
    ASSERT_TRUE(img);
    EXPECT_TRUE(same(img->pixels, expected.px));
}

TEST(Stitch, RowLimitGivesFullThenFullAtOnce)
{
    const Page header = bar(96, 20, 1, 60);
    const Page footer = bar(96, 20, 2, 90);
    const Page body = content(96, 2000, 13, Kind::Plain);
    const Window win{&header, &body, &footer, 200};
    stitch::Stitcher s(0, 500);
    std::vector<std::uint32_t> at;
    for (std::uint32_t a = 0; a <= 1000; a += 100)
        at.push_back(a);
    const auto got = scroll(s, win, at);
    // The first movement adds 20 + 200 + 100 rows, the next ones 100 each:
    // 320, 420, then the third crosses 500.
    EXPECT_EQ(got[1], stitch::Step::moved(100, 320));
    EXPECT_EQ(got[2], stitch::Step::moved(100, 100));
    EXPECT_EQ(got[3], stitch::STEP_FULL);
    for (std::size_t i = 4; i < got.size(); ++i)
        EXPECT_EQ(got[i], stitch::STEP_FULL) << i;
    EXPECT_TRUE(s.track().full());
    EXPECT_EQ(s.track().rows(), 500u);
    EXPECT_EQ(s.frames(), 4u);
    // Even a frame of the wrong size is Full now.
    const Page odd = content(97, 240, 1);
    EXPECT_EQ(s.push(view_of(odd)), stitch::STEP_FULL);

    const Page all = stack({&header, &body});
    const auto img = std::move(s).finish();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->height, 500u + 20);
    const auto bytes = img->pixels.bytes();
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 500 * 96 * 4, all.px.begin()));
    EXPECT_TRUE(std::equal(bytes.begin() + 500 * 96 * 4, bytes.end(), footer.px.begin(), footer.px.end()));
}

TEST(Stitch, MismatchLeavesTheTrackAndRecovers)
{
    const Page header = bar(120, 20, 1, 60);
    const Page footer = bar(120, 20, 2, 90);
    const Page body = content(120, 900, 14, Kind::Plain);
    const Window win{&header, &body, &footer, 260};
    stitch::Stitcher s(2, 30'000);
    const Page zero{0, 0, {}};
    EXPECT_EQ(s.push(view_of(zero)), stitch::STEP_MISMATCH); // before any frame
    const auto f0 = win.frame_bytes(0, 0);
    ASSERT_EQ(s.push(win.frame(f0, 0)), stitch::STEP_FIRST);

    const Page wider = content(121, win.height(), 3);
    EXPECT_EQ(s.push(view_of(wider)), stitch::STEP_MISMATCH);
    const Page taller = content(120, win.height() + 1, 3);
    EXPECT_EQ(s.push(view_of(taller)), stitch::STEP_MISMATCH);
    EXPECT_EQ(s.push(stitch::Frame{f0, 0, win.height(), 0}), stitch::STEP_MISMATCH);
    EXPECT_EQ(s.frames(), 1u);
    EXPECT_EQ(s.track_count(), 2u);

    const auto more = scroll(s, win, {80, 200, 640});
    EXPECT_EQ(more[0], stitch::Step::moved(80, 20 + 260 + 80));
    EXPECT_EQ(more[1], stitch::Step::moved(120, 120));
    EXPECT_EQ(more[2], stitch::STEP_LOST); // too far for any overlap
    EXPECT_EQ(scroll(s, win, {300})[0], stitch::Step::moved(100, 100));
    const Page seen = rows_of(body, 0, 300 + 260);
    const Page expected = stack({&header, &seen, &footer});
    const auto img = std::move(s).finish();
    ASSERT_TRUE(img);
    EXPECT_TRUE(same(img->pixels, expected.px));
}

TEST(Stitch, SidewaysContentPicksTheHorizontalTrack)
{
    // A wide page: the transposed tall page. Frames are 180 columns of it.
    const Page tall = content(120, 700, 15, Kind::Plain);
    Page wide{tall.h, tall.w, {}};
    stitch::transpose(view_of(tall), wide.px);
    const std::uint32_t view = 180;
    const auto frame_at = [&](std::uint32_t x) {
        Page f{view, wide.h, std::vector<std::uint8_t>(std::size_t(view) * wide.h * 4)};
        for (std::uint32_t y = 0; y < wide.h; ++y)
            std::memcpy(f.row(y), wide.row(y) + 4 * std::size_t(x), 4 * std::size_t(view));
        return f;
    };
    stitch::Stitcher s(2, 30'000);
    std::vector<stitch::Step> got;
    for (std::uint32_t x : {0u, 30u, 95u, 160u, 250u, 330u, 420u, 520u})
        got.push_back(s.push(view_of(frame_at(x))));
    EXPECT_EQ(got[0], stitch::STEP_FIRST);
    EXPECT_EQ(got[1], stitch::Step::moved(30, 180 + 30));
    EXPECT_EQ(s.track_count(), 1u);
    EXPECT_EQ(s.axis(), stitch::Axis::Horizontal);
    for (std::size_t i = 2; i < got.size(); ++i)
        EXPECT_EQ(got[i].kind, stitch::Step::Kind::Moved) << i;
    const auto img = std::move(s).finish();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, wide.w);
    EXPECT_EQ(img->height, wide.h);
    EXPECT_TRUE(same(img->pixels, wide.px));
}

TEST(Stitch, RaceBeforeAnyMovementPrefersUnchangedOverLost)
{
    // A stripe of noise 24 columns wide over every row: the vertical track
    // sees every row changed and cannot place the frame; for the horizontal
    // track fewer than max(200 / 8, 24) + 1 columns changed.
    const Page a = content(200, 240, 19, Kind::Plain);
    Page b = a;
    std::mt19937 rng(4);
    for (std::uint32_t y = 0; y < b.h; ++y)
        for (std::uint32_t x = 88; x < 112; ++x)
            b.set(x, y, std::uint8_t(rng()), std::uint8_t(rng()), std::uint8_t(rng()));

    stitch::Stitcher vertical(0, 30'000);
    ASSERT_EQ(vertical.push(view_of(a)), stitch::STEP_FIRST);
    ASSERT_EQ(vertical.push(view_of(b)), stitch::STEP_LOST);
    stitch::Stitcher horizontal(1, 30'000);
    ASSERT_EQ(horizontal.push(view_of(a)), stitch::STEP_FIRST);
    ASSERT_EQ(horizontal.push(view_of(b)), stitch::STEP_UNCHANGED);

    stitch::Stitcher both(2, 30'000);
    ASSERT_EQ(both.push(view_of(a)), stitch::STEP_FIRST);
    EXPECT_EQ(both.push(view_of(b)), stitch::STEP_UNCHANGED);
    EXPECT_EQ(both.track_count(), 2u);
    EXPECT_EQ(both.axis(), stitch::Axis::Vertical);
}

TEST(Stitch, HorizontalModeAlone)
{
    const Page tall = content(64, 400, 16);
    Page wide{tall.h, tall.w, {}};
    stitch::transpose(view_of(tall), wide.px);
    stitch::Stitcher s(1, 30'000);
    EXPECT_EQ(s.axis(), stitch::Axis::Horizontal);
    Page f{200, wide.h, std::vector<std::uint8_t>(200 * std::size_t(wide.h) * 4)};
    for (std::uint32_t y = 0; y < wide.h; ++y)
        std::memcpy(f.row(y), wide.row(y), 800);
    EXPECT_EQ(s.push(view_of(f)), stitch::STEP_FIRST);
    const auto img = std::move(s).finish();
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 200u);
    EXPECT_TRUE(same(img->pixels, f.px));
}

TEST(Stitch, BlankPagesNeverMove)
{
    const Page white = blank(200, 300);
    stitch::Stitcher s(2, 30'000);
    EXPECT_EQ(s.push(view_of(white)), stitch::STEP_FIRST);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(s.push(view_of(white)), stitch::STEP_UNCHANGED);

    // Solid horizontal bands scrolled by: every matching row is blank, so no
    // offset can be verified, and the stitcher never claims a movement.
    Page bands = blank(200, 900);
    for (std::uint32_t y = 0; y < 900; ++y) {
        const std::uint8_t v = std::uint8_t(((y / 50) * 37) % 256);
        bands.fill_row(y, v, v, v);
    }
    stitch::Stitcher t(0, 30'000);
    EXPECT_EQ(t.push(view_of(rows_of(bands, 0, 300))), stitch::STEP_FIRST);
    for (std::uint32_t at : {20u, 70u, 155u, 300u}) {
        const auto step = t.push(view_of(rows_of(bands, at, at + 300)));
        EXPECT_NE(step.kind, stitch::Step::Kind::Moved) << at << ": " << stitch::debug_text(step);
    }
    EXPECT_EQ(t.track().rows(), 0u);
}

TEST(Stitch, ShortFrameDataStopsWithAMessage)
{
    const Page p = content(40, 30, 1);
    // One byte short of stride × (height − 1) + 4 × width.
    const std::size_t stride = 4 * 40 + 4;
    std::vector<std::uint8_t> bytes(stride * 29 + 160 - 1);
    stitch::Stitcher s(0, 100);
    auto msg = fatal_message([&] { s.push({bytes, 40, 30, stride}); });
    ASSERT_TRUE(msg);
    EXPECT_NE(msg->find("bytes"), std::string::npos) << *msg;
    // The last row need not be padded.
    bytes.push_back(0);
    EXPECT_FALSE(fatal_message([&] { s.push({bytes, 40, 30, stride}); }));
    // A stride shorter than a row is as broken.
    stitch::Stitcher t(2, 100);
    EXPECT_TRUE(fatal_message([&] { t.push({p.px, 40, 30, 100}); }));
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(fatal_message([&] { stitch::transpose({std::span(p.px).first(100), 40, 30, 160}, out); }));
}

TEST(Stitch, DebugText)
{
    EXPECT_EQ(stitch::debug_text(stitch::STEP_FIRST), "First");
    EXPECT_EQ(stitch::debug_text(stitch::STEP_UNCHANGED), "Unchanged");
    EXPECT_EQ(stitch::debug_text(stitch::Step::moved(-40, 0)), "Moved { offset: -40, added: 0 }");
    EXPECT_EQ(stitch::debug_text(stitch::STEP_LOST), "Lost");
    EXPECT_EQ(stitch::debug_text(stitch::STEP_MISMATCH), "Mismatch");
    EXPECT_EQ(stitch::debug_text(stitch::STEP_FULL), "Full");
    EXPECT_EQ(int(stitch::Step::Kind::Full), 5);
}

// ---------------------------------------------------------------------------
// Preview

TEST(StitchPreview, FactorWholeBlocksAndIncrementalRows)
{
    const Page header = bar(1000, 10, 1, 60);
    const Page footer = bar(1000, 10, 2, 90);
    const Page body = content(1000, 400, 17, Kind::Plain);
    const Window win{&header, &body, &footer, 70};
    stitch::Stitcher s(0, 30'000);
    stitch::Preview p(184);
    EXPECT_FALSE(p.update(s)); // no frame yet
    EXPECT_EQ(p.factor(), 0u);

    ASSERT_EQ(scroll(s, win, {0})[0], stitch::STEP_FIRST);
    EXPECT_FALSE(p.update(s)); // a frame, but no rows
    EXPECT_EQ(p.factor(), 6u); // ⌈1000 / 184⌉

    ASSERT_EQ(scroll(s, win, {20})[0], stitch::Step::moved(20, 100));
    EXPECT_TRUE(p.update(s));
    EXPECT_EQ(p.consumed(), 96u);
    EXPECT_EQ(p.height(), 16u);
    EXPECT_EQ(p.width(), 167u);
    EXPECT_FALSE(p.update(s)); // nothing new

    // 40 more rows: 140 in all, whole blocks up to 138; rows 96..137 give 7.
    ASSERT_EQ(scroll(s, win, {60})[0], stitch::Step::moved(40, 40));
    EXPECT_TRUE(p.update(s));
    EXPECT_EQ(p.consumed(), 138u);
    EXPECT_EQ(p.height(), 23u);

    // The strip equals the first 138 stitched rows reduced in one go.
    const auto whole = imageops::downscale({s.track().out().bytes().first(138 * 4000), 1000, 138, 4000}, 6);
    const auto img = p.image();
    EXPECT_EQ(img.width, 167u);
    EXPECT_EQ(img.height, 23u);
    EXPECT_TRUE(same(img.pixels, whole.pixels));
}

TEST(StitchPreview, ZeroTargetCountsAsOne)
{
    const Page f = content(40, 60, 2);
    stitch::Stitcher s(0, 100);
    s.push(view_of(f));
    stitch::Preview p(0);
    p.update(s);
    EXPECT_EQ(p.factor(), 40u);
}

TEST(StitchPreview, HorizontalPreviewIsInScreenOrientation)
{
    const Page tall = content(64, 500, 18, Kind::Plain);
    Page wide{tall.h, tall.w, {}};
    stitch::transpose(view_of(tall), wide.px);
    const auto frame_at = [&](std::uint32_t x) {
        Page f{150, wide.h, std::vector<std::uint8_t>(150 * std::size_t(wide.h) * 4)};
        for (std::uint32_t y = 0; y < wide.h; ++y)
            std::memcpy(f.row(y), wide.row(y) + 4 * std::size_t(x), 600);
        return f;
    };
    stitch::Stitcher s(2, 30'000);
    stitch::Preview p(20);
    ASSERT_EQ(s.push(view_of(frame_at(0))), stitch::STEP_FIRST);
    // The preview is asked before the race is decided, while the vertical
    // track still leads; it must follow the winner afterwards.
    (void)p.update(s);
    ASSERT_EQ(s.push(view_of(frame_at(45))).kind, stitch::Step::Kind::Moved);
    ASSERT_EQ(s.axis(), stitch::Axis::Horizontal);
    ASSERT_TRUE(p.update(s));
    EXPECT_EQ(p.axis(), stitch::Axis::Horizontal);
    EXPECT_EQ(p.factor(), 4u); // the track is 64 wide (the frame's height)
    // Columns 0..consumed − 1 of the page, reduced, in screen orientation.
    const std::uint32_t cols = p.consumed();
    EXPECT_EQ(cols, 192u); // 150 + 45 = 195 rows, whole blocks of 4
    Page left{cols, wide.h, std::vector<std::uint8_t>(std::size_t(cols) * wide.h * 4)};
    for (std::uint32_t y = 0; y < wide.h; ++y)
        std::memcpy(left.row(y), wide.row(y), 4 * std::size_t(cols));
    const auto expected = imageops::downscale({left.px, cols, wide.h, 4 * std::size_t(cols)}, 4);
    const auto img = p.image();
    EXPECT_EQ(img.width, expected.width);
    EXPECT_EQ(img.height, expected.height);
    EXPECT_TRUE(same(img.pixels, expected.pixels));
}

TEST(StitchBuffer, GrowsKeepsBytesAndHandsThemOver)
{
    stitch::Buffer b;
    EXPECT_TRUE(b.empty());
    std::vector<std::uint8_t> want;
    for (int i = 0; i < 200; ++i) {
        std::vector<std::uint8_t> chunk(std::size_t(1000 + i * 37), std::uint8_t(i));
        b.append(chunk.data(), chunk.size());
        want.insert(want.end(), chunk.begin(), chunk.end());
    }
    EXPECT_TRUE(same(b, want));
    stitch::Buffer moved = std::move(b);
    EXPECT_TRUE(b.empty());
    EXPECT_TRUE(same(moved, want));
    const std::size_t n = moved.size();
    std::uint8_t* raw = moved.release();
    EXPECT_TRUE(moved.empty());
    EXPECT_TRUE(std::equal(raw, raw + n, want.begin()));
    std::free(raw);
}

TEST(StitchScrollRandom, PagesSizesAndStepsStitchExactly)
{
    // Seeded pages of varying width, header, footer and view, scrolled by
    // steps of up to 60 % of the view (leaving enough overlap even where a
    // blank band covers much of it).
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed * 7919);
        const std::uint32_t w = 96 + rng() % 400;
        const std::uint32_t view = 120 + rng() % 300;
        const Page header = bar(w, 10 + rng() % 50, seed, 60);
        const Page footer = bar(w, 1 + rng() % 40, seed + 1, 90);
        const Page body = content(w, view * 4, seed + 100);
        const Window win{&header, &body, &footer, view};
        std::vector<std::uint32_t> at = {0};
        while (at.back() < body.h - view)
            at.push_back(std::min(at.back() + 1 + std::uint32_t(rng() % (view * 6 / 10)), body.h - view));
        stitch::Stitcher s(std::uint8_t(seed % 2 ? 0 : 2), 30'000);
        const auto got = scroll(s, win, at);
        for (std::size_t i = 1; i < got.size(); ++i)
            ASSERT_EQ(got[i], stitch::Step::moved(std::int64_t(at[i] - at[i - 1]), got[i].added)) << i;
        const Page expected = stack({&header, &body, &footer});
        const auto img = std::move(s).finish();
        ASSERT_TRUE(img);
        EXPECT_TRUE(same(img->pixels, expected.px));
    }
}
