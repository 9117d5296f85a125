// The parallel GIF pipeline: batches of frames are differenced against the
// picture on screen so far (the canvas), cropped to what changed, colour-reduced
// and LZW-coded on worker threads, then written in display order.
#include "codec/gif.h"

#include "base/util.h"
#include "base/util_parallel.h"

#include <algorithm>
#include <atomic>
#include <limits>

namespace gif {

namespace {

constexpr uint32_t RGB_MASK = 0x00FFFFFF;
constexpr size_t BATCH_BYTES = 64u << 20;
// Largest channel difference left unchanged inside a rewritten span (diff_row).
constexpr int SPAN_REFRESH = 1;

// The change rectangle one band worker found in one frame; end_x 0 = none.
struct BandBox {
    size_t min_x = 0, min_row = 0, end_x = 0, end_row = 0;
};

uint32_t saturating_add(uint32_t a, uint32_t b)
{
    return b > std::numeric_limits<uint32_t>::max() - a ? std::numeric_limits<uint32_t>::max() : a + b;
}

inline bool within(uint32_t a, uint32_t b, int t)
{
    const int dr = static_cast<int>((a >> 16) & 0xFF) - static_cast<int>((b >> 16) & 0xFF);
    const int dg = static_cast<int>((a >> 8) & 0xFF) - static_cast<int>((b >> 8) & 0xFF);
    const int db = static_cast<int>(a & 0xFF) - static_cast<int>(b & 0xFF);
    return dr <= t && dr >= -t && dg <= t && dg >= -t && db <= t && db >= -t;
}

// The first column in [a, w) where the row differs from the canvas, or w.
// Blocks of 16 are compared without an early exit so the compiler can use
// vector instructions; most of a screen recording's rows are unchanged.
size_t first_difference(const uint32_t* p, const uint32_t* c, size_t a, size_t w)
{
    while (a + 16 <= w) {
        uint32_t acc = 0;
        for (size_t k = 0; k < 16; ++k)
            acc |= (p[a + k] ^ c[a + k]) & RGB_MASK;
        if (acc)
            break;
        a += 16;
    }
    while (a < w && ((p[a] ^ c[a]) & RGB_MASK) == 0)
        ++a;
    return a;
}

// One past the last column in [a, z) where the row differs; a when none.
size_t last_difference(const uint32_t* p, const uint32_t* c, size_t a, size_t z)
{
    while (z >= a + 16) {
        uint32_t acc = 0;
        for (size_t k = 1; k <= 16; ++k)
            acc |= (p[z - k] ^ c[z - k]) & RGB_MASK;
        if (acc)
            break;
        z -= 16;
    }
    while (z > a && ((p[z - 1] ^ c[z - 1]) & RGB_MASK) == 0)
        --z;
    return z;
}

void mark_unchanged(uint32_t* p, size_t a, size_t z)
{
    for (size_t x = a; x < z; ++x)
        p[x] = (p[x] & RGB_MASK) | UNCHANGED;
}

// Differencing of one row against the canvas row. Marks unchanged pixels,
// updates the canvas, and returns the changed columns [first, end), or
// first == end when nothing changed.
std::pair<size_t, size_t> diff_row(uint32_t* p, uint32_t* c, size_t w, int threshold)
{
    const size_t a = first_difference(p, c, 0, w);
    if (a == w) {
        mark_unchanged(p, 0, w);
        return { 0, 0 };
    }
    const size_t z = last_difference(p, c, a, w);
    mark_unchanged(p, 0, a);
    mark_unchanged(p, z, w);
    if (threshold == 0) {
        for (size_t x = a; x < z; ++x) {
            const uint32_t v = p[x] & RGB_MASK;
            p[x] = v | (v == c[x] ? UNCHANGED : 0);
            c[x] = v;
        }
        return { a, z };
    }
    // Within the threshold the canvas keeps its old value, so slow drifts add
    // up until they show.
    uint32_t any = 0;
    for (size_t x = a; x < z; ++x) {
        const uint32_t v = p[x] & RGB_MASK;
        const uint32_t cv = c[x];
        const bool same = within(v, cv, threshold);
        p[x] = v | (same ? UNCHANGED : 0);
        c[x] = same ? cv : v;
        any |= same ? 0 : 1;
    }
    if (!any)
        return { 0, 0 };
    size_t first = a;
    while (p[first] & UNCHANGED)
        ++first;
    size_t end = z;
    while (p[end - 1] & UNCHANGED)
        --end;
    // The span [first, end) is rewritten anyway. Left to the threshold, a
    // pixel in it that moved by 2 or 3 would stay stale for as long as it
    // keeps its new value: after a keyframe that nudges the whole picture a
    // level or two, the animation would stay off for the rest of the clip.
    // Here only a one-level flicker is left out; gaps between spans cost
    // little, and lone drifts elsewhere still add up to the threshold.
    const int refresh = std::min(threshold, SPAN_REFRESH);
    for (size_t x = first; x < end; ++x) {
        const uint32_t v = p[x] & RGB_MASK;
        if ((p[x] & UNCHANGED) && !within(v, c[x], refresh)) {
            p[x] = v;
            c[x] = v;
        }
    }
    return { first, end };
}

// Exact mapping onto the global palette: fails at the first changed colour
// that the palette lacks.
std::optional<std::vector<uint8_t>> map_exact(std::span<const uint32_t> pixels, const Palette& palette, const ColorSet& set)
{
    std::vector<uint32_t> packed(palette.size());
    for (size_t i = 0; i < palette.size(); ++i)
        packed[i] = static_cast<uint32_t>(palette[i].r) << 16 | static_cast<uint32_t>(palette[i].g) << 8 | palette[i].b;
    return map_onto(pixels, set, packed);
}

} // namespace

// ---------------------------------------------------------------------------
// One frame

Encoded encode_frame(const Prepared& frame, const PaletteMode& mode, bool dither, std::unique_ptr<Histogram>& histogram)
{
    const bool transparent = std::any_of(frame.pixels.begin(), frame.pixels.end(), [](uint32_t p) { return (p >> 24) != 0; });
    const size_t max_colours = transparent ? 255 : 256;
    Encoded out;
    std::vector<uint8_t> indices;
    size_t palette_len = 0;

    if (mode.kind == PaletteMode::Kind::Fixed) {
        const Palette& p = *mode.palette;
        auto mapped = map_nearest(frame.pixels, frame.width, frame.left, frame.top, p, dither, static_cast<uint32_t>(p.size()), NO_LIMIT);
        if (!mapped)
            util::fatal("sin límite");
        indices = std::move(*mapped);
        palette_len = p.size();
    } else {
        const Palette& g = *mode.palette;
        auto exact = exact_palette(frame.pixels, max_colours);
        if (exact && exact->palette.size() <= 64) {
            // Few colours: a small local table codes with shorter codes.
            out.local_palette = std::move(exact->palette);
            indices = std::move(exact->indices);
        } else if (auto mapped = map_exact(frame.pixels, g, *mode.set)) {
            indices = std::move(*mapped);
        } else if (auto near = mode.tolerance > 0
                       ? map_nearest(frame.pixels, frame.width, frame.left, frame.top, g, false, static_cast<uint32_t>(g.size()), mode.tolerance)
                       : std::nullopt) {
            indices = std::move(*near);
        } else if (exact) {
            out.local_palette = std::move(exact->palette);
            indices = std::move(exact->indices);
        } else {
            if (!histogram)
                histogram = std::make_unique<Histogram>();
            Indexed q = quantize_inexact(frame.pixels, frame.width, frame.left, frame.top, max_colours, dither, *histogram);
            out.local_palette = std::move(q.palette);
            indices = std::move(q.indices);
        }
        palette_len = out.local_palette.empty() ? g.size() : out.local_palette.size();
    }

    if (transparent)
        out.transparent = static_cast<uint8_t>(palette_len);
    out.min_code_size = static_cast<uint8_t>(std::max<uint32_t>(table_bits(palette_len + (transparent ? 1 : 0)), 2));
    out.data = lzw_encode(indices, out.min_code_size);
    out.delay = frame.delay;
    out.left = static_cast<uint16_t>(frame.left);
    out.top = static_cast<uint16_t>(frame.top);
    out.width = static_cast<uint16_t>(frame.width);
    out.height = static_cast<uint16_t>(frame.height);
    return out;
}

// ---------------------------------------------------------------------------
// The encoder

size_t GifEncoder::batch_size_for(size_t width, size_t height, size_t threads)
{
    const size_t frame_bytes = std::max<size_t>(width * height * 4, 1);
    const size_t q = BATCH_BYTES / frame_bytes;
    const size_t lo = std::min<size_t>(threads, 8);
    const size_t hi = threads * 4;
    return std::max<size_t>(std::clamp(q, std::min(lo, hi), hi), 1);
}

GifEncoder::GifEncoder(Sink& sink, size_t width, size_t height, GifOptions options)
    : m_sink(&sink)
    , m_canvas(width * height, 0)
    , m_options(std::move(options))
    , m_width(width)
    , m_height(height)
    , m_threads(m_options.threads ? m_options.threads : util::parallelism())
    , m_batch_size(batch_size_for(width, height, BATCH_THREADS))
{
    if (m_options.palette)
        m_global = Global { *m_options.palette, ColorSet::from_palette(*m_options.palette) };
    m_batch.reserve(m_batch_size);
}

std::expected<GifEncoder, std::string> GifEncoder::create(Sink& sink, size_t width, size_t height, GifOptions options)
{
    if (width < 1 || width > 65535 || height < 1 || height > 65535)
        return std::unexpected(std::string("tamaño de GIF inválido"));
    // The global table needs a spare entry after the palette, and its size
    // field cannot express more than 256 entries.
    if (options.palette && (options.palette->empty() || options.palette->size() > 255))
        return std::unexpected(std::string("paleta fija inválida"));
    return GifEncoder(sink, width, height, std::move(options));
}

std::expected<void, std::string> GifEncoder::push(Frame frame)
{
    if (frame.pixels.size() != m_width * m_height)
        return std::unexpected(std::string("cuadro de tamaño distinto"));
    m_counts.frames_received += 1;
    m_batch.push_back(std::move(frame));
    if (m_batch.size() >= m_batch_size)
        return flush_batch();
    return {};
}

std::vector<std::optional<Prepared>> GifEncoder::diff(std::vector<Frame>& batch, std::vector<uint32_t>& delays, bool first)
{
    const size_t w = m_width;
    const size_t n = std::max<size_t>(1, std::min(m_height, m_threads));
    const size_t rows = (m_height + n - 1) / n;
    const size_t bands = (m_height + rows - 1) / rows;
    const int threshold = m_options.threshold;
    std::vector<BandBox> boxes(batch.size() * bands);

    util::parallel_for(bands, { .chunks = bands, .threads = bands }, [&](size_t from, size_t to) {
        for (size_t band = from; band < to; ++band) {
            const size_t row0 = band * rows;
            const size_t row1 = std::min(m_height, row0 + rows);
            // A frame depends on the canvas the one before it left, so each
            // worker walks the frames in order within its own rows.
            for (size_t f = 0; f < batch.size(); ++f) {
                uint32_t* px = batch[f].pixels.data();
                BandBox& box = boxes[f * bands + band];
                if (first && f == 0) {
                    // The very first frame is written whole, without transparency.
                    for (size_t i = row0 * w; i < row1 * w; ++i) {
                        px[i] &= RGB_MASK;
                        m_canvas[i] = px[i];
                    }
                    box = { 0, row0, w, row1 };
                    continue;
                }
                size_t x0 = w, x1 = 0, y0 = 0, y1 = 0;
                for (size_t y = row0; y < row1; ++y) {
                    const auto [a, z] = diff_row(px + y * w, m_canvas.data() + y * w, w, threshold);
                    if (a == z)
                        continue;
                    if (x1 == 0)
                        y0 = y;
                    y1 = y + 1;
                    x0 = std::min(x0, a);
                    x1 = std::max(x1, z);
                }
                box = { x0, y0, x1, y1 };
            }
        }
    });

    std::vector<std::optional<Prepared>> out(batch.size());
    for (size_t f = 0; f < batch.size(); ++f) {
        size_t x0 = w, y0 = m_height, x1 = 0, y1 = 0;
        for (size_t b = 0; b < bands; ++b) {
            const BandBox& box = boxes[f * bands + b];
            if (box.end_x == 0)
                continue;
            x0 = std::min(x0, box.min_x);
            y0 = std::min(y0, box.min_row);
            x1 = std::max(x1, box.end_x);
            y1 = std::max(y1, box.end_row);
        }
        delays[f] = batch[f].delay;
        if (x1 == 0) {
            give_back(batch[f].pixels);
            continue;
        }
        Prepared p;
        p.left = x0;
        p.top = y0;
        p.width = x1 - x0;
        p.height = y1 - y0;
        p.delay = batch[f].delay;
        if (p.width == w && p.height == m_height) {
            p.pixels = std::move(batch[f].pixels);
        } else {
            p.pixels.resize(p.width * p.height);
            for (size_t y = 0; y < p.height; ++y)
                std::copy_n(batch[f].pixels.data() + (y0 + y) * w + x0, p.width, p.pixels.data() + y * p.width);
            give_back(batch[f].pixels);
        }
        out[f] = std::move(p);
    }
    return out;
}

std::vector<Encoded> GifEncoder::encode_parallel(const std::vector<std::optional<Prepared>>& prepared, const PaletteMode& mode)
{
    std::vector<size_t> jobs;
    for (size_t i = 0; i < prepared.size(); ++i)
        if (prepared[i])
            jobs.push_back(i);
    std::vector<std::optional<Encoded>> results(jobs.size());
    std::atomic<size_t> next { 0 };
    const bool dither = m_options.dither;
    // One frame at a time from a shared counter: frames of very different
    // cost still balance across the workers.
    const size_t workers = std::max<size_t>(1, std::min(jobs.size(), m_threads));
    if (m_histograms.size() < workers)
        m_histograms.resize(workers);
    util::parallel_for(workers, { .chunks = workers, .threads = workers }, [&](size_t from, size_t to) {
        for (size_t worker = from; worker < to; ++worker) {
            for (size_t j = next.fetch_add(1, std::memory_order_relaxed); j < jobs.size(); j = next.fetch_add(1, std::memory_order_relaxed))
                results[j] = encode_frame(*prepared[jobs[j]], mode, dither, m_histograms[worker]);
        }
    });
    std::vector<Encoded> out;
    out.reserve(results.size());
    for (auto& r : results) {
        if (!r)
            util::fatal("cuadro codificado");
        out.push_back(std::move(*r));
    }
    return out;
}

void GifEncoder::give_back(std::vector<uint32_t>& pixels)
{
    std::vector<uint32_t> taken = std::move(pixels);
    pixels = {};
    if (m_options.spent && taken.size() == m_width * m_height)
        m_options.spent(std::move(taken));
}

std::expected<void, std::string> GifEncoder::flush_batch()
{
    if (m_batch.empty())
        return {};
    std::vector<Frame> batch = std::move(m_batch);
    m_batch = {};
    m_batch.reserve(m_batch_size);
    const bool first = !m_first_batch_done;
    m_first_batch_done = true;

    std::vector<uint32_t> delays(batch.size());
    std::vector<std::optional<Prepared>> prepared = diff(batch, delays, first);
    batch.clear();

    if (!m_header_written) {
        if (!m_global) {
            // The global palette: the first batch's changed colours in the
            // order met, or a median cut when there are 256 or more.
            ColorSet seen;
            uint32_t last = 0xFFFFFFFF;
            bool full = false;
            for (const auto& p : prepared) {
                if (!p || full)
                    continue;
                for (uint32_t c : p->pixels) {
                    if ((c >> 24) != 0 || c == last)
                        continue;
                    last = c;
                    seen.insert(c);
                    if (seen.size() >= 256) {
                        full = true;
                        break;
                    }
                }
            }
            Palette palette;
            if (full) {
                Histogram histogram;
                for (const auto& p : prepared)
                    if (p)
                        for (uint32_t c : p->pixels)
                            if ((c >> 24) == 0)
                                histogram.add(c);
                palette = histogram.palette(255);
            } else {
                palette = seen.palette();
            }
            ColorSet set = ColorSet::from_palette(palette);
            m_global = Global { std::move(palette), std::move(set) };
        }
        if (auto r = write_header(); !r)
            return r;
    }

    PaletteMode mode;
    mode.kind = m_options.palette ? PaletteMode::Kind::Fixed : PaletteMode::Kind::Global;
    mode.palette = &m_global->palette;
    mode.set = &m_global->set;
    mode.tolerance = m_options.tolerance;
    std::vector<Encoded> encoded = encode_parallel(prepared, mode);
    for (auto& p : prepared)
        if (p)
            give_back(p->pixels);

    size_t next = 0;
    for (size_t i = 0; i < prepared.size(); ++i) {
        if (!prepared[i]) {
            // Nothing changed: the frame on screen simply stays longer.
            if (!m_pending)
                util::fatal("cuadro sin cambios sin anterior");
            m_pending->delay = saturating_add(m_pending->delay, delays[i]);
            continue;
        }
        if (m_pending) {
            if (auto r = write_frame(*m_pending); !r)
                return r;
        }
        m_pending = std::move(encoded[next++]);
    }
    return {};
}

std::expected<Counts, std::string> GifEncoder::finish()
{
    if (auto r = flush_batch(); !r)
        return std::unexpected(r.error());
    if (!m_header_written) {
        if (auto r = write_header(); !r)
            return std::unexpected(r.error());
    }
    if (m_pending) {
        if (auto r = write_frame(*m_pending); !r)
            return std::unexpected(r.error());
        m_pending.reset();
    }
    const uint8_t trailer = 0x3B;
    if (auto r = m_sink->write(std::span(&trailer, 1)); !r)
        return std::unexpected(r.error());
    m_counts.bytes_written += 1;
    if (auto r = m_sink->flush(); !r)
        return std::unexpected(r.error());
    return m_counts;
}

std::expected<EncodeResult, std::string> encode(std::vector<Frame> frames, size_t width, size_t height, GifOptions options)
{
    MemorySink sink;
    auto encoder = GifEncoder::create(sink, width, height, std::move(options));
    if (!encoder)
        return std::unexpected(encoder.error());
    for (const Frame& f : frames)
        if (f.pixels.size() != width * height)
            return std::unexpected(std::string("cuadro de tamaño distinto"));
    for (Frame& f : frames) {
        if (auto r = encoder->push(std::move(f)); !r)
            return std::unexpected(r.error());
    }
    frames.clear();
    auto counts = encoder->finish();
    if (!counts)
        return std::unexpected(counts.error());
    return EncodeResult { sink.take(), *counts };
}

} // namespace gif
