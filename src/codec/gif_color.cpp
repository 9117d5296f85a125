// Colour reduction for GIF frames: exact palettes, the 5-5-5 histogram with
// its weighted median cut, nearest-colour mapping with an optional ordered
// dither, and the size helpers of the video export.
//
// Colour distances weigh red, green and blue 3, 4 and 2 everywhere (box
// spreads, refinement and the nearest search), a cheap stand-in for how
// strongly the eye tells the channels apart.
#include "codec/gif.h"

#include "base/util.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace gif {

namespace {

uint32_t pack(Rgb c)
{
    return static_cast<uint32_t>(c.r) << 16 | static_cast<uint32_t>(c.g) << 8 | c.b;
}

Rgb unpack(uint32_t c)
{
    return { static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c) };
}

constexpr size_t SET_SLOTS = 1024;
constexpr size_t SET_CAPACITY = 256;
constexpr uint32_t NONE = 0xFFFFFFFF;

} // namespace

// ---------------------------------------------------------------------------
// ColorSet

ColorSet::ColorSet()
    : m_slots(SET_SLOTS, EMPTY)
    , m_index(SET_SLOTS, 0)
{
    m_colours.reserve(SET_CAPACITY);
}

uint32_t ColorSet::probe(uint32_t colour) const
{
    uint32_t slot = home(colour);
    while (m_slots[slot] != EMPTY && m_slots[slot] != colour)
        slot = (slot + 1) & (SET_SLOTS - 1);
    return slot;
}

bool ColorSet::insert(uint32_t colour)
{
    const uint32_t slot = probe(colour);
    if (m_slots[slot] == colour)
        return false;
    if (m_colours.size() >= SET_CAPACITY)
        util::fatal("conjunto de colores lleno");
    m_slots[slot] = colour;
    m_index[slot] = static_cast<uint8_t>(m_colours.size());
    m_colours.push_back(colour);
    return true;
}

ColorSet ColorSet::from_palette(const Palette& palette)
{
    ColorSet set;
    const size_t n = std::min(palette.size(), SET_CAPACITY);
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = pack(palette[i]);
        const uint32_t slot = set.probe(c);
        if (set.m_slots[slot] == c)
            continue;  // a repeated colour keeps its first position
        set.m_slots[slot] = c;
        set.m_index[slot] = static_cast<uint8_t>(i);
        set.m_colours.push_back(c);
    }
    return set;
}

Palette ColorSet::palette() const
{
    Palette p;
    p.reserve(m_colours.size());
    for (uint32_t c : m_colours)
        p.push_back(unpack(c));
    return p;
}

// ---------------------------------------------------------------------------
// Exact palette

std::optional<std::vector<uint8_t>> map_onto(std::span<const uint32_t> pixels, const ColorSet& set, std::span<const uint32_t> colours)
{
    std::vector<uint8_t> out(pixels.size());
    const uint32_t transparent = static_cast<uint32_t>(colours.size());
    uint32_t prev = transparent;
    uint32_t last_colour = NONE;
    uint32_t last_index = 0;
    for (size_t i = 0; i < pixels.size(); ++i) {
        const uint32_t p = pixels[i];
        uint32_t idx;
        if ((p >> 24) == 0) {
            if (p != last_colour) {
                const auto found = set.find(p);
                if (!found)
                    return std::nullopt;
                last_colour = p;
                last_index = *found;
            }
            idx = last_index;
        } else {
            // An unchanged pixel may go on with the current run when it has
            // the run's colour: the screen shows the same either way, and
            // LZW codes the longer run more cheaply. Indices of changed pixels
            // are a colour's first position, so comparing colours equals
            // comparing indices.
            idx = (prev != transparent && colours[prev] == (p & 0xFFFFFF)) ? prev : transparent;
        }
        out[i] = static_cast<uint8_t>(idx);
        prev = idx;
    }
    return out;
}

std::optional<Indexed> exact_palette(std::span<const uint32_t> pixels, size_t max_colours)
{
    ColorSet set;
    uint32_t last = NONE;
    for (uint32_t p : pixels) {
        if ((p >> 24) != 0 || p == last)
            continue;
        last = p;
        if (set.size() >= max_colours || set.size() >= SET_CAPACITY) {
            if (!set.find(p))
                return std::nullopt;
        } else {
            set.insert(p);
        }
    }

    auto indices = map_onto(pixels, set, set.colours());
    if (!indices)
        util::fatal("color en el conjunto");
    Indexed out;
    out.indices = std::move(*indices);
    out.palette = set.palette();
    return out;
}

// ---------------------------------------------------------------------------
// Median cut

ColorBox cube(std::span<const ColorPoint> points, size_t start, size_t end)
{
    float w = 0, sr = 0, sg = 0, sb = 0;
    for (size_t i = start; i < end; ++i) {
        const ColorPoint& p = points[i];
        w += p.weight;
        sr += p.weight * p.r;
        sg += p.weight * p.g;
        sb += p.weight * p.b;
    }
    w = std::max(w, 1e-9f);
    ColorBox box { start, end, 0, 0, sr / w, sg / w, sb / w };
    float vr = 0, vg = 0, vb = 0;
    for (size_t i = start; i < end; ++i) {
        const ColorPoint& p = points[i];
        vr += p.weight * (p.r - box.r) * (p.r - box.r);
        vg += p.weight * (p.g - box.g) * (p.g - box.g);
        vb += p.weight * (p.b - box.b) * (p.b - box.b);
    }
    vr *= 3;
    vg *= 4;
    vb *= 2;
    box.score = end - start > 1 ? vr + vg + vb : 0;
    // Ties go to the later channel.
    box.axis = vr <= vg ? 1 : 0;
    if (std::max(vr, vg) <= vb)
        box.axis = 2;
    return box;
}

namespace {
constexpr size_t EXACT_SLOTS = 8192;  // twice the exact colours: probes stay short
}

Histogram::Histogram()
    : m_bins(32768, Bin { 0, 0, 0, 0 })
    , m_exact_keys(EXACT_SLOTS, 0)
    , m_exact_counts(EXACT_SLOTS, 0)
{
}

void Histogram::clear()
{
    // All-zero words: plain memsets, as the vectors' own filling is.
    std::memset(m_bins.data(), 0, m_bins.size() * sizeof(Bin));
    std::memset(m_exact_keys.data(), 0, m_exact_keys.size() * sizeof(uint32_t));
    std::memset(m_exact_counts.data(), 0, m_exact_counts.size() * sizeof(uint64_t));
    m_exact_size = 0;
    m_exact_ok = true;
}

void Histogram::add_exact(uint32_t colour)
{
    const uint32_t key = colour + 1;
    uint32_t slot = (key * 0x9E3779B1u) >> 19;
    while (m_exact_keys[slot] != 0 && m_exact_keys[slot] != key)
        slot = (slot + 1) & (EXACT_SLOTS - 1);
    if (m_exact_keys[slot] == 0) {
        if (m_exact_size == EXACT_COLOURS) {
            m_exact_ok = false;
            return;
        }
        m_exact_keys[slot] = key;
        ++m_exact_size;
    }
    m_exact_counts[slot] += 1;
}

namespace {

uint8_t to_byte(double v)
{
    const double r = std::round(v);
    if (!(r > 0))
        return 0;
    if (r > 255)
        return 255;
    return static_cast<uint8_t>(r);
}

// The entry with the least 3dr^2 + 4dg^2 + 2db^2, the lowest index on ties.
// Entries are sorted by green and the search walks outwards from the
// colour's green, stopping on each side once 4dg^2 alone exceeds the best:
// the same answer as a full scan with a fraction of the work. T is int for
// palette bytes and float for the median cut's seeds (whose sums are
// non-negative, so 4dg^2 never exceeds the whole distance there either).
template <typename T>
class Nearest {
public:
    struct Colour {
        T r, g, b;
    };
    explicit Nearest(std::span<const Colour> colours)
    {
        m_entries.reserve(colours.size());
        for (size_t i = 0; i < colours.size(); ++i)
            m_entries.push_back({ colours[i].g, colours[i].r, colours[i].b, static_cast<uint16_t>(i) });
        std::sort(m_entries.begin(), m_entries.end(), [](const Entry& a, const Entry& b) { return a.g < b.g || (a.g == b.g && a.index < b.index); });
    }
    uint32_t find(T r, T g, T b) const
    {
        const size_t n = m_entries.size();
        size_t hi = static_cast<size_t>(std::lower_bound(m_entries.begin(), m_entries.end(), g, [](const Entry& e, T v) { return e.g < v; })
            - m_entries.begin());
        size_t lo = hi;  // entries [0, lo) below, [hi, n) at or above
        T best_d = std::numeric_limits<T>::max();
        uint32_t best = 0;
        auto consider = [&](const Entry& e) {
            const T dr = e.r - r, dg = e.g - g, db = e.b - b;
            const T d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
            if (d < best_d || (d == best_d && e.index < best)) {
                best_d = d;
                best = e.index;
            }
        };
        bool up = hi < n, down = lo > 0;
        while (up || down) {
            if (up) {
                const T dg = m_entries[hi].g - g;
                if (4 * dg * dg > best_d) {
                    up = false;
                } else {
                    consider(m_entries[hi]);
                    up = ++hi < n;
                }
            }
            if (down) {
                const T dg = m_entries[lo - 1].g - g;
                if (4 * dg * dg > best_d) {
                    down = false;
                } else {
                    consider(m_entries[lo - 1]);
                    down = --lo > 0;
                }
            }
        }
        return best;
    }

private:
    struct Entry {
        T g, r, b;
        uint16_t index;
    };
    std::vector<Entry> m_entries;
};

Nearest<int> nearest_in(const Palette& palette)
{
    std::vector<Nearest<int>::Colour> colours;
    colours.reserve(palette.size());
    for (const Rgb& c : palette)
        colours.push_back({ c.r, c.g, c.b });
    return Nearest<int>(colours);
}

float channel(const ColorPoint& p, int axis)
{
    return axis == 0 ? p.r : axis == 1 ? p.g : p.b;
}

} // namespace

Palette Histogram::palette(size_t n) const
{
    const size_t target = std::max<size_t>(n, 1);
    std::vector<ColorPoint> points;
    if (m_exact_ok) {
        // Exact colours, in colour order so the result does not depend on
        // the hash layout.
        std::vector<std::pair<uint32_t, uint64_t>> colours;
        colours.reserve(m_exact_size);
        for (size_t i = 0; i < EXACT_SLOTS; ++i)
            if (m_exact_keys[i] != 0)
                colours.emplace_back(m_exact_keys[i] - 1, m_exact_counts[i]);
        std::sort(colours.begin(), colours.end());
        for (auto [c, count] : colours)
            points.push_back({ static_cast<float>((c >> 16) & 0xFF), static_cast<float>((c >> 8) & 0xFF), static_cast<float>(c & 0xFF),
                static_cast<float>(count) });
    } else {
        for (const Bin& b : m_bins) {
            if (b.count == 0)
                continue;
            const double c = static_cast<double>(b.count);
            points.push_back({ static_cast<float>(static_cast<double>(b.r) / c), static_cast<float>(static_cast<double>(b.g) / c),
                static_cast<float>(static_cast<double>(b.b) / c), static_cast<float>(c) });
        }
    }
    if (points.empty())
        return { Rgb {} };

    std::vector<ColorBox> boxes { cube(points, 0, points.size()) };
    while (boxes.size() < target) {
        size_t best = boxes.size();
        for (size_t i = 0; i < boxes.size(); ++i)
            if (boxes[i].score > 0 && (best == boxes.size() || boxes[i].score >= boxes[best].score))
                best = i;
        if (best == boxes.size())
            break;
        const ColorBox box = boxes[best];
        boxes[best] = boxes.back();
        boxes.pop_back();
        const int axis = box.axis;
        std::sort(points.begin() + static_cast<std::ptrdiff_t>(box.start), points.begin() + static_cast<std::ptrdiff_t>(box.end),
            [axis](const ColorPoint& a, const ColorPoint& b) { return channel(a, axis) < channel(b, axis); });
        float total = 0;
        for (size_t i = box.start; i < box.end; ++i)
            total += points[i].weight;
        const float half = 0.5f * total;
        const size_t count = box.end - box.start;
        size_t k = 0;
        float run = 0;
        while (k < count) {
            run += points[box.start + k].weight;
            ++k;
            if (run >= half)
                break;
        }
        k = std::max<size_t>(k, 1);
        const size_t split = box.start + std::min(k, count - 1);
        boxes.push_back(cube(points, box.start, split));
        boxes.push_back(cube(points, split, box.end));
    }

    // One refinement pass: each point joins its nearest seed, and seeds move
    // to the weighted mean of what they got.
    const size_t seeds = boxes.size();
    std::vector<Nearest<float>::Colour> means;
    means.reserve(seeds);
    for (const ColorBox& box : boxes)
        means.push_back({ box.r, box.g, box.b });
    const Nearest<float> nearest(means);
    std::vector<double> sum(seeds * 4, 0.0);
    for (const ColorPoint& p : points) {
        const size_t best = nearest.find(p.r, p.g, p.b);
        sum[best * 4 + 0] += static_cast<double>(p.weight) * p.r;
        sum[best * 4 + 1] += static_cast<double>(p.weight) * p.g;
        sum[best * 4 + 2] += static_cast<double>(p.weight) * p.b;
        sum[best * 4 + 3] += p.weight;
    }
    Palette out;
    out.reserve(seeds);
    for (size_t s = 0; s < seeds; ++s) {
        const double w = sum[s * 4 + 3];
        if (w > 0)
            out.push_back({ to_byte(sum[s * 4] / w), to_byte(sum[s * 4 + 1] / w), to_byte(sum[s * 4 + 2] / w) });
        else
            out.push_back({ to_byte(boxes[s].r), to_byte(boxes[s].g), to_byte(boxes[s].b) });
    }
    return out;
}

// ---------------------------------------------------------------------------
// Nearest mapping

namespace {

// The 8x8 Bayer matrix minus 32, rows by y.
constexpr int8_t BAYER[8][8] = {
    { 0 - 32, 32 - 32, 8 - 32, 40 - 32, 2 - 32, 34 - 32, 10 - 32, 42 - 32 },
    { 48 - 32, 16 - 32, 56 - 32, 24 - 32, 50 - 32, 18 - 32, 58 - 32, 26 - 32 },
    { 12 - 32, 44 - 32, 4 - 32, 36 - 32, 14 - 32, 46 - 32, 6 - 32, 38 - 32 },
    { 60 - 32, 28 - 32, 52 - 32, 20 - 32, 62 - 32, 30 - 32, 54 - 32, 22 - 32 },
    { 3 - 32, 35 - 32, 11 - 32, 43 - 32, 1 - 32, 33 - 32, 9 - 32, 41 - 32 },
    { 51 - 32, 19 - 32, 59 - 32, 27 - 32, 49 - 32, 17 - 32, 57 - 32, 25 - 32 },
    { 15 - 32, 47 - 32, 7 - 32, 39 - 32, 13 - 32, 45 - 32, 5 - 32, 37 - 32 },
    { 63 - 32, 31 - 32, 55 - 32, 23 - 32, 61 - 32, 29 - 32, 53 - 32, 21 - 32 },
};

int clamp_byte(int v)
{
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

} // namespace

std::optional<std::vector<uint8_t>> map_nearest(std::span<const uint32_t> pixels, size_t frame_width, size_t left, size_t top,
    const Palette& palette, bool dither, uint32_t transparent, uint32_t limit)
{
    if (palette.empty() || frame_width == 0)
        util::fatal("paleta vacía");
    // The first colour looked up in a 6-6-6 cell decides the index for the
    // whole cell: one palette scan per cell and call instead of per pixel.
    std::vector<uint16_t> memo(size_t { 1 } << 18, 0xFFFF);
    const Nearest<int> nearest = nearest_in(palette);
    std::vector<uint8_t> out(pixels.size());
    const uint32_t unchanged_limit = std::min<uint32_t>(limit, 4);
    uint32_t prev = transparent;
    size_t x = 0, y = 0;
    for (size_t i = 0; i < pixels.size(); ++i) {
        const uint32_t p = pixels[i];
        const bool unchanged = (p >> 24) != 0;
        uint32_t idx = transparent;
        if (!(unchanged && prev == transparent)) {
            const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
            int rd = r, gd = g, bd = b;
            if (dither) {
                const int d = BAYER[(y + top) & 7][(x + left) & 7] >> 2;
                rd = clamp_byte(r + d);
                gd = clamp_byte(g + d);
                bd = clamp_byte(b + d);
            }
            const uint32_t key = static_cast<uint32_t>(rd >> 2) << 12 | static_cast<uint32_t>(gd >> 2) << 6 | static_cast<uint32_t>(bd >> 2);
            uint32_t found = memo[key];
            if (found == 0xFFFF) {
                found = nearest.find(rd, gd, bd);
                memo[key] = static_cast<uint16_t>(found);
            }
            const Rgb c = palette[found];
            const uint32_t e = static_cast<uint32_t>(std::max({ std::abs(c.r - r), std::abs(c.g - g), std::abs(c.b - b) }));
            if (!unchanged) {
                if (e > limit)
                    return std::nullopt;
                idx = found;
            } else if (e <= unchanged_limit && found == prev) {
                idx = found;
            }
        }
        out[i] = static_cast<uint8_t>(idx);
        prev = idx;
        if (++x == frame_width) {
            x = 0;
            ++y;
        }
    }
    return out;
}

namespace {

// Nearest mapping without dither that remembers each exact colour, not each
// 6-6-6 cell: every pixel gets its own nearest entry, so shades a palette
// holds exactly come back exactly. Same rule for unchanged pixels as
// map_nearest without a limit.
std::vector<uint8_t> map_nearest_per_colour(std::span<const uint32_t> pixels, const Palette& palette, uint32_t transparent)
{
    constexpr size_t SLOTS = size_t { 1 } << 17;
    const Nearest<int> nearest = nearest_in(palette);
    std::vector<uint32_t> keys(SLOTS, 0);  // colour + 1
    std::vector<uint8_t> values(SLOTS);
    size_t used = 0;
    std::vector<uint8_t> out(pixels.size());
    uint32_t prev = transparent;
    uint32_t last = 0xFFFFFFFF, last_index = 0;
    for (size_t i = 0; i < pixels.size(); ++i) {
        const uint32_t p = pixels[i];
        const bool unchanged = (p >> 24) != 0;
        uint32_t idx = transparent;
        if (!(unchanged && prev == transparent)) {
            const uint32_t c = p & 0xFFFFFF;
            if (c != last) {
                const uint32_t key = c + 1;
                size_t slot = (key * 0x9E3779B1u) >> 15;
                while (keys[slot] != 0 && keys[slot] != key)
                    slot = (slot + 1) & (SLOTS - 1);
                if (keys[slot] == key) {
                    last_index = values[slot];
                } else {
                    last_index = nearest.find((c >> 16) & 0xFF, (c >> 8) & 0xFF, c & 0xFF);
                    if (used == SLOTS / 2) {
                        // Full enough: start the memory afresh.
                        std::fill(keys.begin(), keys.end(), 0);
                        used = 0;
                        slot = (key * 0x9E3779B1u) >> 15;
                    }
                    keys[slot] = key;
                    values[slot] = static_cast<uint8_t>(last_index);
                    ++used;
                }
                last = c;
            }
            if (!unchanged) {
                idx = last_index;
            } else if (last_index == prev) {
                const Rgb e = palette[last_index];
                const int err = std::max({ std::abs(e.r - static_cast<int>((c >> 16) & 0xFF)), std::abs(e.g - static_cast<int>((c >> 8) & 0xFF)),
                    std::abs(e.b - static_cast<int>(c & 0xFF)) });
                if (err <= 4)
                    idx = last_index;
            }
        }
        out[i] = static_cast<uint8_t>(idx);
        prev = idx;
    }
    return out;
}

// Median cut over the changed pixels (counted into an empty `histogram`) and
// nearest mapping onto the result.
Indexed quantize_by_histogram(std::span<const uint32_t> pixels, size_t frame_width, size_t left, size_t top, size_t max_colours, bool dither,
    Histogram& histogram)
{
    for (uint32_t p : pixels)
        if ((p >> 24) == 0)
            histogram.add(p);
    Indexed out;
    out.palette = histogram.palette(max_colours);
    const uint32_t transparent = static_cast<uint32_t>(out.palette.size());
    if (!dither) {
        out.indices = map_nearest_per_colour(pixels, out.palette, transparent);
        return out;
    }
    auto indices = map_nearest(pixels, frame_width, left, top, out.palette, dither, transparent, NO_LIMIT);
    if (!indices)
        util::fatal("sin límite");
    out.indices = std::move(*indices);
    return out;
}

} // namespace

Indexed quantize(std::span<const uint32_t> pixels, size_t frame_width, size_t left, size_t top, size_t max_colours, bool dither)
{
    if (auto exact = exact_palette(pixels, max_colours))
        return std::move(*exact);
    Histogram histogram;
    return quantize_by_histogram(pixels, frame_width, left, top, max_colours, dither, histogram);
}

// Used by the pipeline when it already knows the exact palette does not fit.
Indexed quantize_inexact(std::span<const uint32_t> pixels, size_t frame_width, size_t left, size_t top, size_t max_colours, bool dither,
    Histogram& histogram)
{
    histogram.clear();
    return quantize_by_histogram(pixels, frame_width, left, top, max_colours, dither, histogram);
}

// ---------------------------------------------------------------------------
// Sizes

Size fit_width(uint32_t width, uint32_t height, uint32_t max_width)
{
    if (max_width == 0 || width <= max_width)
        return { std::max<uint32_t>(width, 1), std::max<uint32_t>(height, 1) };
    const double h = std::round(static_cast<double>(height) * max_width / width);
    return { max_width, static_cast<uint32_t>(std::max(h, 1.0)) };
}

namespace {

// For each destination index the source range it averages and the weights.
struct Taps {
    std::vector<uint32_t> first, count;
    std::vector<float> weight;  // flattened; offset[i] indexes it
    std::vector<uint32_t> offset;
};

Taps taps_for(size_t src, size_t dst)
{
    Taps t;
    const double s = static_cast<double>(src) / static_cast<double>(dst);
    for (size_t i = 0; i < dst; ++i) {
        const double a = s * static_cast<double>(i);
        const double b = std::min(s * static_cast<double>(i + 1), static_cast<double>(src));
        const size_t j0 = static_cast<size_t>(std::floor(a));
        const size_t j1 = std::clamp<size_t>(static_cast<size_t>(std::ceil(b)), j0 + 1, src);
        t.first.push_back(static_cast<uint32_t>(j0));
        t.count.push_back(static_cast<uint32_t>(j1 - j0));
        t.offset.push_back(static_cast<uint32_t>(t.weight.size()));
        for (size_t j = j0; j < j1; ++j) {
            const double w = (std::min(static_cast<double>(j + 1), b) - std::max(static_cast<double>(j), a)) / (b - a);
            t.weight.push_back(static_cast<float>(w));
        }
    }
    return t;
}

} // namespace

std::vector<uint32_t> resize(std::span<const uint32_t> pixels, size_t src_width, size_t src_height, size_t dst_width, size_t dst_height)
{
    if (src_width != 0 && src_height > std::numeric_limits<size_t>::max() / src_width)
        util::fatal("imagen demasiado grande");
    if (pixels.size() != src_width * src_height)
        util::fatal("imagen de tamaño distinto");
    if (dst_width != 0 && dst_height > std::numeric_limits<size_t>::max() / 4 / dst_width)
        util::fatal("imagen demasiado grande");
    if (dst_width == 0 || dst_height == 0)
        return {};
    if (src_width == 0 || src_height == 0)
        return std::vector<uint32_t>(dst_width * dst_height, 0);
    if (src_width == dst_width && src_height == dst_height)
        return { pixels.begin(), pixels.end() };

    const Taps hx = taps_for(src_width, dst_width);
    const Taps vy = taps_for(src_height, dst_height);
    std::vector<float> mid(dst_width * src_height * 3);
    for (size_t y = 0; y < src_height; ++y) {
        const uint32_t* row = pixels.data() + y * src_width;
        float* out = mid.data() + y * dst_width * 3;
        for (size_t i = 0; i < dst_width; ++i) {
            float r = 0, g = 0, b = 0;
            const float* w = hx.weight.data() + hx.offset[i];
            for (uint32_t k = 0; k < hx.count[i]; ++k) {
                const uint32_t p = row[hx.first[i] + k];
                r += w[k] * static_cast<float>((p >> 16) & 0xFF);
                g += w[k] * static_cast<float>((p >> 8) & 0xFF);
                b += w[k] * static_cast<float>(p & 0xFF);
            }
            out[i * 3] = r;
            out[i * 3 + 1] = g;
            out[i * 3 + 2] = b;
        }
    }
    std::vector<uint32_t> dst(dst_width * dst_height);
    auto byte = [](float v) { return static_cast<uint32_t>(std::clamp(v + 0.5f, 0.0f, 255.0f)); };
    for (size_t y = 0; y < dst_height; ++y) {
        const float* w = vy.weight.data() + vy.offset[y];
        for (size_t i = 0; i < dst_width; ++i) {
            float r = 0, g = 0, b = 0;
            for (uint32_t k = 0; k < vy.count[y]; ++k) {
                const float* m = mid.data() + ((vy.first[y] + k) * dst_width + i) * 3;
                r += w[k] * m[0];
                g += w[k] * m[1];
                b += w[k] * m[2];
            }
            dst[y * dst_width + i] = byte(r) << 16 | byte(g) << 8 | byte(b);
        }
    }
    return dst;
}

} // namespace gif
