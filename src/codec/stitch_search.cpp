// Row signatures and the offset search of the stitcher.
//
// Exact equality of rows comes from a 64-bit hash; tolerance (a blinking
// caret, the pointer, anti-aliasing noise) comes from up to 32 luma bins per
// row. Rows whose hashes are unique in the reference band vote for offsets, the
// best few are verified row by row, and when that fails a correlation of
// per-row luma sums proposes candidates instead.
#include "codec/stitch.h"
#include "codec/stitch_internal.h"
#include "base/util.h"
#include "base/util_parallel.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <fmt/format.h>
#include <utility>

namespace stitch {

namespace {

constexpr std::uint64_t K = 0x9E3779B97F4A7C15ull;

inline std::uint64_t load64(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

inline std::uint32_t load32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap32(v);
    return v;
}

inline std::uint64_t mix(std::uint64_t lane, std::uint64_t word, int rot)
{
    return std::rotr((word ^ lane) * K, rot);
}

std::atomic<unsigned> g_worker_limit{0};

// S and M of two rows' bins: S is the sum of the absolute differences, M the
// largest sum of two neighbouring differences (or the first one alone).
struct Spread {
    std::uint32_t sum = 0;
    std::uint32_t worst_pair = 0;
};

inline Spread spread(const std::uint8_t* a, const std::uint8_t* b, std::uint32_t n)
{
    Spread s;
    std::uint32_t before = 0;
    for (std::uint32_t k = 0; k < n; ++k) {
        const std::uint32_t d = a[k] > b[k] ? a[k] - b[k] : b[k] - a[k];
        s.sum += d;
        s.worst_pair = std::max(s.worst_pair, d + before);
        before = d;
    }
    return s;
}

// Rows compared, rows matched and the summed bin difference of one candidate.
struct Tally {
    std::uint64_t compared = 0;
    std::uint64_t matched = 0;
    std::uint64_t sad = 0;
    bool valid() const { return compared >= 8 && ratio() >= 0.8; }
    double ratio() const { return compared == 0 ? 0.0 : double(matched) / double(compared); }
    double mean() const { return compared == 0 ? 0.0 : double(sad) / double(compared); }
};

Tally tally(const Sig& prev, const Sig& cur, std::int64_t top, std::int64_t end, std::int64_t s, Match match)
{
    Tally t;
    const std::uint32_t n = std::min(prev.nbins, cur.nbins);
    const std::int64_t lo = std::max(top, top - s);
    const std::int64_t hi = std::min(end, end - s);
    for (std::int64_t r = lo; r < hi; ++r) {
        const std::size_t pr = std::size_t(r + s);
        const std::size_t cr = std::size_t(r);
        if (prev.hashes[pr] == cur.hashes[cr]) {
            // Blank rows match at any offset: they must not vouch for one.
            if (cur.uniform[cr])
                continue;
            ++t.compared;
            ++t.matched;
            continue;
        }
        ++t.compared;
        const Spread d = spread(&prev.bins[pr * prev.nbins], &cur.bins[cr * cur.nbins], n);
        t.sad += d.sum;
        if (match == Match::Tolerant && d.sum - d.worst_pair <= prev.nbins)
            ++t.matched;
    }
    return t;
}

void check_band(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end)
{
    if (top > end || end > prev.rows() || end > cur.rows())
        util::fatal(fmt::format("stitch: banda {}..{} fuera de las filas ({}, {})", top, end, prev.rows(), cur.rows()));
}

} // namespace

void check_frame(const Frame& frame)
{
    if (frame.width == 0 || frame.height == 0)
        return;
    const std::uint64_t row_bytes = 4ull * frame.width;
    if (frame.stride < row_bytes)
        util::fatal(fmt::format("stitch: paso de fila {} menor que {} bytes", frame.stride, row_bytes));
    std::uint64_t need = 0;
    if (__builtin_mul_overflow(std::uint64_t(frame.stride), std::uint64_t(frame.height - 1), &need)
        || __builtin_add_overflow(need, row_bytes, &need) || frame.data.size() < need)
        util::fatal(fmt::format("stitch: el cuadro de {}×{} (paso {}) tiene {} bytes, menos de los que ocupa",
                                frame.width, frame.height, frame.stride, frame.data.size()));
}

RowHash hash_row(std::span<const std::uint8_t> row)
{
    const std::size_t n = row.size();
    if (n < 4)
        util::fatal("stitch: fila de menos de 4 bytes");
    const std::uint8_t* b = row.data();
    const std::uint32_t p = load32(b);
    const std::uint64_t P = (std::uint64_t(p) << 32) | p;
    std::uint64_t l0 = K ^ 0, l1 = K ^ 1, l2 = K ^ 2, l3 = K ^ 3;
    std::uint64_t u = 0;
    const std::size_t blocks = n / 32;
    for (std::size_t i = 0; i < blocks; ++i, b += 32) {
        const std::uint64_t w0 = load64(b), w1 = load64(b + 8), w2 = load64(b + 16), w3 = load64(b + 24);
        l0 = mix(l0, w0, 41);
        l1 = mix(l1, w1, 41);
        l2 = mix(l2, w2, 41);
        l3 = mix(l3, w3, 41);
        u |= (w0 ^ P) | (w1 ^ P) | (w2 ^ P) | (w3 ^ P);
    }
    for (std::size_t g = (n % 32) / 4; g > 0; --g, b += 4) {
        const std::uint32_t v = load32(b);
        l0 = mix(l0, v, 41);
        u |= v ^ p;
    }
    const std::uint64_t a = mix(l0, n, 33);
    const std::uint64_t bb = mix(l1, a, 33);
    const std::uint64_t c = mix(l2, bb, 33);
    return {mix(l3, c, 33), u == 0};
}

namespace {

// hash_row of two rows of n bytes (n ≥ 4) at once. Each lane of a row is a
// chain of dependent multiplies; interleaving two rows gives the core
// independent work while a chain waits.
void hash_row_pair(const std::uint8_t* a, const std::uint8_t* b, std::size_t n, RowHash& ra, RowHash& rb)
{
    const std::uint32_t pa = load32(a), pb = load32(b);
    const std::uint64_t Pa = (std::uint64_t(pa) << 32) | pa, Pb = (std::uint64_t(pb) << 32) | pb;
    std::uint64_t a0 = K ^ 0, a1 = K ^ 1, a2 = K ^ 2, a3 = K ^ 3;
    std::uint64_t b0 = a0, b1 = a1, b2 = a2, b3 = a3;
    std::uint64_t ua = 0, ub = 0;
    const std::size_t blocks = n / 32;
    for (std::size_t i = 0; i < blocks; ++i, a += 32, b += 32) {
        const std::uint64_t x0 = load64(a), x1 = load64(a + 8), x2 = load64(a + 16), x3 = load64(a + 24);
        const std::uint64_t y0 = load64(b), y1 = load64(b + 8), y2 = load64(b + 16), y3 = load64(b + 24);
        a0 = mix(a0, x0, 41);
        b0 = mix(b0, y0, 41);
        a1 = mix(a1, x1, 41);
        b1 = mix(b1, y1, 41);
        a2 = mix(a2, x2, 41);
        b2 = mix(b2, y2, 41);
        a3 = mix(a3, x3, 41);
        b3 = mix(b3, y3, 41);
        ua |= (x0 ^ Pa) | (x1 ^ Pa) | (x2 ^ Pa) | (x3 ^ Pa);
        ub |= (y0 ^ Pb) | (y1 ^ Pb) | (y2 ^ Pb) | (y3 ^ Pb);
    }
    for (std::size_t g = (n % 32) / 4; g > 0; --g, a += 4, b += 4) {
        const std::uint32_t va = load32(a), vb = load32(b);
        a0 = mix(a0, va, 41);
        b0 = mix(b0, vb, 41);
        ua |= va ^ pa;
        ub |= vb ^ pb;
    }
    const std::uint64_t aa = mix(a0, n, 33), ba = mix(b0, n, 33);
    const std::uint64_t ab = mix(a1, aa, 33), bb = mix(b1, ba, 33);
    const std::uint64_t ac = mix(a2, ab, 33), bc = mix(b2, bb, 33);
    ra = {mix(a3, ac, 33), ua == 0};
    rb = {mix(b3, bc, 33), ub == 0};
}

} // namespace

std::vector<std::uint32_t> bin_edges(std::uint32_t width)
{
    const std::uint32_t nbins = std::min<std::uint32_t>(width, 32);
    std::vector<std::uint32_t> edges(nbins + 1);
    for (std::uint32_t k = 0; k <= nbins; ++k)
        edges[k] = nbins == 0 ? 0 : std::uint32_t(std::uint64_t(width) * k / nbins);
    return edges;
}

void luma_bins(std::span<const std::uint8_t> row, std::span<const std::uint32_t> edges, std::span<std::uint8_t> out)
{
    for (std::size_t k = 0; k < out.size(); ++k) {
        const std::uint32_t from = edges[k];
        const std::uint32_t to = edges[k + 1];
        if (to <= from) {
            out[k] = 0;
            continue;
        }
        const std::uint8_t* px = row.data() + 4 * std::size_t(from);
        const std::uint32_t c = to - from;
        // Whole pixels as words keep the loop simple enough to vectorise.
        std::uint32_t sum = 0;
        for (std::uint32_t i = 0; i < c; ++i) {
            const std::uint32_t v = load32(px + 4 * std::size_t(i));
            sum += (v & 0xFF) + ((v >> 7) & 0x1FE) + ((v >> 16) & 0xFF);
        }
        out[k] = std::uint8_t(std::min<std::uint64_t>((std::uint64_t(sum) + 2 * c) / (4 * std::uint64_t(c)), 255));
    }
}

unsigned sign_workers(std::uint64_t pixels)
{
    if (pixels < PARALLEL_PIXELS)
        return 1;
    unsigned n = std::min(util::parallelism(), 8u);
    if (const unsigned limit = g_worker_limit.load(std::memory_order_relaxed); limit > 0)
        n = std::min(n, limit);
    return std::max(n, 1u);
}

void set_worker_limit(unsigned limit)
{
    g_worker_limit.store(limit, std::memory_order_relaxed);
}

Sig sign(const Frame& frame, unsigned workers)
{
    Sig sig;
    sign_into(frame, workers, sig);
    return sig;
}

void sign_into(const Frame& frame, unsigned workers, Sig& sig)
{
    check_frame(frame);
    const std::uint32_t w = frame.width;
    const std::uint32_t h = frame.height;
    sig.nbins = std::min<std::uint32_t>(w, 32);
    const std::vector<std::uint32_t> edges = bin_edges(w);
    sig.hashes.assign(h, 0);
    sig.uniform.assign(h, 0);
    sig.bins.assign(std::size_t(sig.nbins) * h, 0);
    if (w == 0 || h == 0)
        return;

    // Each chunk writes only its own rows' entries of the three lists.
    const auto chunk_rows = [&](std::uint32_t from, std::uint32_t to) {
        const std::size_t row_bytes = 4 * std::size_t(w);
        const auto row = [&](std::uint32_t r) { return frame.data.subspan(frame.stride * r, row_bytes); };
        const auto put = [&](std::uint32_t r, const RowHash& rh) {
            sig.hashes[r] = rh.hash;
            sig.uniform[r] = rh.uniform ? 1 : 0;
            luma_bins(row(r), edges, std::span<std::uint8_t>(sig.bins).subspan(std::size_t(r) * sig.nbins, sig.nbins));
        };
        std::uint32_t r = from;
        for (; r + 1 < to; r += 2) {
            RowHash a, b;
            hash_row_pair(row(r).data(), row(r + 1).data(), row_bytes, a, b);
            put(r, a);
            put(r + 1, b);
        }
        if (r < to)
            put(r, hash_row(row(r)));
    };

    // One chunk per worker, each signed by exactly one thread; which one is
    // settled at run time, so a thread that the scheduler starts late finds
    // its share already done instead of holding the frame up.
    const std::uint32_t n = std::max(workers, 1u);
    util::parallel_for(h, { .chunks = n, .threads = n }, [&](std::size_t from, std::size_t to) {
        chunk_rows(static_cast<std::uint32_t>(from), static_cast<std::uint32_t>(to));
    });
}

bool rows_equal(const Sig& prev, const Sig& cur, std::size_t row)
{
    if (prev.hashes[row] == cur.hashes[row])
        return true;
    const std::uint32_t n = std::min(prev.nbins, cur.nbins);
    if (n == 0)
        return true;
    const Spread d = spread(&prev.bins[row * prev.nbins], &cur.bins[row * cur.nbins], n);
    return d.sum - d.worst_pair <= prev.nbins;
}

std::vector<std::int64_t> voted_offsets(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end,
                                        std::int64_t max_shift)
{
    check_band(prev, cur, top, end);
    if (max_shift < 0)
        return {};
    // Reference hashes that name exactly one row of the band. Repeated lines
    // (and blank rows) could point anywhere, so they do not vote.
    std::vector<std::pair<std::uint64_t, std::uint32_t>> unique;
    unique.reserve(end - top);
    for (std::size_t r = top; r < end; ++r)
        if (!prev.uniform[r])
            unique.emplace_back(prev.hashes[r], std::uint32_t(r));
    std::sort(unique.begin(), unique.end());
    std::size_t kept = 0;
    for (std::size_t i = 0; i < unique.size();) {
        std::size_t j = i + 1;
        while (j < unique.size() && unique[j].first == unique[i].first)
            ++j;
        if (j == i + 1)
            unique[kept++] = unique[i];
        i = j;
    }
    unique.resize(kept);

    std::vector<std::uint32_t> votes(std::size_t(2 * max_shift + 1), 0);
    for (std::size_t r = top; r < end; ++r) {
        if (cur.uniform[r])
            continue;
        const std::uint64_t h = cur.hashes[r];
        const auto it = std::lower_bound(unique.begin(), unique.end(), h,
                                         [](const auto& e, std::uint64_t v) { return e.first < v; });
        if (it == unique.end() || it->first != h)
            continue;
        const std::int64_t d = std::int64_t(it->second) - std::int64_t(r);
        if (d >= -max_shift && d <= max_shift)
            ++votes[std::size_t(d + max_shift)];
    }

    std::vector<std::pair<std::uint32_t, std::int64_t>> ranked;
    for (std::size_t j = 0; j < votes.size(); ++j)
        if (votes[j] >= 2)
            ranked.emplace_back(votes[j], std::int64_t(j) - max_shift);
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<std::int64_t> out;
    for (std::size_t i = 0; i < ranked.size() && i < 4; ++i)
        out.push_back(ranked[i].second);
    return out;
}

std::vector<std::uint32_t> row_profile(const Sig& sig, std::size_t top, std::size_t end)
{
    std::vector<std::uint32_t> p;
    p.reserve(end - top);
    for (std::size_t r = top; r < end; ++r) {
        std::uint32_t sum = 0;
        const std::uint8_t* b = &sig.bins[r * sig.nbins];
        for (std::uint32_t k = 0; k < sig.nbins; ++k)
            sum += b[k];
        p.push_back(sum);
    }
    return p;
}

std::uint64_t profile_score(std::span<const std::uint32_t> prev, std::span<const std::uint32_t> cur, std::int64_t s)
{
    const std::int64_t region = std::int64_t(std::min(prev.size(), cur.size()));
    const std::int64_t n = region - (s < 0 ? -s : s);
    if (n <= 0)
        return UINT64_MAX;
    const std::uint32_t* a = cur.data() + std::max<std::int64_t>(-s, 0);
    const std::uint32_t* b = prev.data() + std::max<std::int64_t>(s, 0);
    std::uint64_t sad = 0;
    for (std::int64_t i = 0; i < n; ++i)
        sad += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
    return sad * 1024 / std::uint64_t(n);
}

std::vector<std::int64_t> profile_offsets(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end,
                                          std::int64_t max_shift)
{
    check_band(prev, cur, top, end);
    if (max_shift < 0)
        return {};
    const std::vector<std::uint32_t> pp = row_profile(prev, top, end);
    const std::vector<std::uint32_t> pc = row_profile(cur, top, end);
    std::vector<std::pair<std::uint64_t, std::int64_t>> scored;
    scored.reserve(std::size_t(2 * max_shift + 1));
    for (std::int64_t s = -max_shift; s <= max_shift; ++s)
        scored.emplace_back(profile_score(pp, pc, s), s);
    std::sort(scored.begin(), scored.end());
    std::vector<std::int64_t> picks;
    for (const auto& [score, s] : scored) {
        (void)score;
        const bool near = std::any_of(picks.begin(), picks.end(), [s = s](std::int64_t t) {
            return (s > t ? s - t : t - s) <= 2;
        });
        if (near)
            continue;
        picks.push_back(s);
        if (picks.size() == 6)
            break;
    }
    return picks;
}

bool replaces(Score c, std::int64_t c_offset, Score best, std::int64_t best_offset, std::int64_t hint)
{
    const double dr = c.ratio - best.ratio;
    const double dm = c.mean - best.mean;
    if (std::abs(dr) > 0.02)
        return dr > 0;
    if (std::abs(dm) <= 0.5) {
        const auto dist = [hint](std::int64_t x) { return x > hint ? x - hint : hint - x; };
        return dist(c_offset) < dist(best_offset);
    }
    return dm < 0;
}

std::optional<std::int64_t> verify(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end,
                                   std::vector<std::int64_t> candidates, std::int64_t hint, Match match)
{
    check_band(prev, cur, top, end);
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    std::optional<std::int64_t> best;
    Tally bt;
    for (const std::int64_t s : candidates) {
        const Tally t = tally(prev, cur, std::int64_t(top), std::int64_t(end), s, match);
        if (!t.valid())
            continue;
        if (!best) {
            best = s;
            bt = t;
            continue;
        }
        const bool take = replaces({t.ratio(), t.mean()}, s, {bt.ratio(), bt.mean()}, *best, hint);
        if (take) {
            best = s;
            bt = t;
        }
    }
    return best;
}

std::optional<std::int64_t> find_offset(const Sig& prev, const Sig& cur, std::size_t top, std::size_t end,
                                        std::size_t min_overlap, std::int64_t hint, Match match)
{
    check_band(prev, cur, top, end);
    const std::size_t region = end - top;
    if (region < min_overlap)
        return std::nullopt;
    const std::int64_t max_shift = std::int64_t(region - min_overlap);
    std::vector<std::int64_t> candidates = voted_offsets(prev, cur, top, end, max_shift);
    candidates.push_back(0);
    if (hint >= -max_shift && hint <= max_shift)
        candidates.push_back(hint);
    if (const auto found = verify(prev, cur, top, end, std::move(candidates), hint, match))
        return found;
    // Nothing voted well (content that changed slightly, or no unique rows):
    // let the rows' luma sums propose where the band went.
    return verify(prev, cur, top, end, profile_offsets(prev, cur, top, end, max_shift), hint, match);
}

} // namespace stitch
