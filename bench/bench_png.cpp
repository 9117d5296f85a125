// The PNG writer against QImage::save, libpng, libspng and stb_image_write on
// screenshot-like images, in one run: median time and size of each, and the
// ratios to ours; one memcpy of the picture as the floor (every byte must be
// read once). Then the deflate candidates on the writer's own filtered bytes,
// one thread each: igzip's levels, level-buffer sizes and match windows
// against zlib; and other ways of choosing each row's filter, deflated alike.
#include "bench_common.h"
#include "codec/encode.h"
#include "desktop_gen.h"
#include "screenshot_gen.h"
#include "base/util.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QImage>
#include <png.h>
#include <isa-l/igzip_lib.h>
#include <spng.h>
#include <stb_image_write.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Result {
    std::string name;
    bench::Timing t;
    std::size_t bytes = 0;
};

// The straight RGB(A) rows our writer filters, handed to the reference
// encoders so that they all compress the same pixels (their conversion is
// not timed; ours is).
struct Rows {
    unsigned channels = 3;
    Bytes data;
};

std::string fmt_threads(unsigned t)
{
    return "ours " + std::to_string(t) + (t == 1 ? " thread" : " threads");
}

Rows straight_rows(const bench::Picture& pic)
{
    Rows rows;
    rows.channels = pic.translucent ? 4 : 3;
    const encode::PngPixels px { pic.bgra, pic.width, pic.height, std::size_t(pic.width) * 4, false };
    const std::size_t len = std::size_t(rows.channels) * pic.width;
    rows.data.resize(len * pic.height);
    for (std::uint32_t y = 0; y < pic.height; ++y)
        encode::convert_row(px, y, rows.channels, { rows.data.data() + y * len, len });
    return rows;
}

Bytes ours(const bench::Picture& pic, unsigned threads)
{
    encode::PngOptions o;
    o.scale = 2;
    o.threads = threads;
    return encode::encode_png({ pic.bgra, pic.width, pic.height, std::size_t(pic.width) * 4, false }, o);
}

Bytes qt_save(const bench::Picture& pic)
{
    // The capture's own format: opaque screens as RGB32, window captures
    // with alpha as premultiplied ARGB32 (both B, G, R, A in memory).
    const QImage img(pic.bgra.data(), int(pic.width), int(pic.height), int(pic.width * 4),
        pic.translucent ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    QByteArray out;
    QBuffer buf(&out);
    buf.open(QIODevice::WriteOnly);
    if (!img.save(&buf, "PNG"))
        util::fatal("QImage::save falló");
    return Bytes(out.begin(), out.end());
}

void png_to_vector(png_structp png, png_bytep data, png_size_t len)
{
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + len);
}

Bytes libpng_level2(const bench::Picture& pic, const Rows& rows)
{
    Bytes out;
    out.reserve(rows.data.size() / 4);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)))
        util::fatal("libpng falló");
    png_set_write_fn(png, &out, png_to_vector, nullptr);
    png_set_compression_level(png, 2);
    png_set_IHDR(png, info, pic.width, pic.height, 8, rows.channels == 4 ? PNG_COLOR_TYPE_RGBA : PNG_COLOR_TYPE_RGB,
        PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    png_write_info(png, info);
    const std::size_t len = std::size_t(rows.channels) * pic.width;
    for (std::uint32_t y = 0; y < pic.height; ++y)
        png_write_row(png, rows.data.data() + y * len);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

Bytes spng_level2(const bench::Picture& pic, const Rows& rows)
{
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    spng_set_option(ctx, SPNG_IMG_COMPRESSION_LEVEL, 2);
    spng_ihdr ihdr {};
    ihdr.width = pic.width;
    ihdr.height = pic.height;
    ihdr.bit_depth = 8;
    ihdr.color_type = rows.channels == 4 ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
    spng_set_ihdr(ctx, &ihdr);
    if (int rc = spng_encode_image(ctx, rows.data.data(), rows.data.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE))
        util::fatal(std::string("spng: ") + spng_strerror(rc));
    std::size_t len = 0;
    int err = 0;
    auto* buf = static_cast<std::uint8_t*>(spng_get_png_buffer(ctx, &len, &err));
    Bytes out(buf, buf + len);
    std::free(buf);
    spng_ctx_free(ctx);
    return out;
}

void stb_to_vector(void* ctx, void* data, int len)
{
    auto* out = static_cast<Bytes*>(ctx);
    auto* p = static_cast<std::uint8_t*>(data);
    out->insert(out->end(), p, p + len);
}

Bytes stb_default(const bench::Picture& pic, const Rows& rows)
{
    Bytes out;
    stbi_write_png_to_func(stb_to_vector, &out, int(pic.width), int(pic.height), int(rows.channels), rows.data.data(),
        int(rows.channels * pic.width));
    return out;
}

// Decodes our file with libspng and compares it with the straight rows.
bool ours_is_correct(const Bytes& png, const Rows& rows)
{
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, png.data(), png.size());
    const int fmt = rows.channels == 4 ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    std::size_t size = 0;
    bool ok = spng_decoded_image_size(ctx, fmt, &size) == 0 && size == rows.data.size();
    Bytes out(size);
    ok = ok && spng_decode_image(ctx, out.data(), size, fmt, 0) == 0 && out == rows.data;
    spng_ctx_free(ctx);
    return ok;
}

std::string size_ratio(std::size_t ours, std::size_t ref)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4f", double(ours) / double(ref));
    return buf;
}

// The filtered rows inside our file: its IDAT chunks inflated as one stream.
Bytes filtered_stream(const Bytes& png)
{
    Bytes z;
    for (std::size_t at = 8; at + 12 <= png.size();) {
        const std::uint32_t len = std::uint32_t(png[at]) << 24 | std::uint32_t(png[at + 1]) << 16
            | std::uint32_t(png[at + 2]) << 8 | png[at + 3];
        if (std::memcmp(&png[at + 4], "IDAT", 4) == 0)
            z.insert(z.end(), png.begin() + at + 8, png.begin() + at + 8 + len);
        at += 12 + len;
    }
    z_stream s {};
    Bytes out(1 << 20);
    if (inflateInit(&s) != Z_OK)
        util::fatal("inflateInit");
    s.next_in = z.data();
    s.avail_in = static_cast<uInt>(z.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (s.total_out + (1 << 20) > out.size())
            out.resize(out.size() * 2);
        s.next_out = out.data() + s.total_out;
        s.avail_out = static_cast<uInt>(out.size() - s.total_out);
        rc = inflate(&s, Z_NO_FLUSH);
    }
    if (rc != Z_STREAM_END)
        util::fatal("our IDAT stream does not inflate");
    out.resize(s.total_out);
    inflateEnd(&s);
    return out;
}

// One-shot raw deflate of `in` with igzip, as the writer's bands do it.
std::size_t igzip_size(const Bytes& in, std::uint32_t level, std::uint32_t level_buf_size, Bytes& out, std::uint16_t window_bits = 0)
{
    std::unique_ptr<std::uint8_t[]> level_buf(level_buf_size ? new std::uint8_t[level_buf_size] : nullptr);
    isal_zstream s {};
    isal_deflate_init(&s);
    s.level = level;
    s.level_buf = level_buf.get();
    s.level_buf_size = level_buf_size;
    s.hist_bits = window_bits;
    s.end_of_stream = 1;
    s.next_in = const_cast<std::uint8_t*>(in.data());
    s.avail_in = static_cast<std::uint32_t>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<std::uint32_t>(out.size());
    if (isal_deflate(&s) != COMP_OK || s.internal_state.state != ZSTATE_END)
        util::fatal("isal_deflate");
    return s.total_out;
}

// zlib raw deflate: level 2 with memory level 7 was the writer's former
// compressor; level 6 with the filtered strategy is libpng's default.
std::size_t zlib_size(const Bytes& in, int level, Bytes& out, int strategy = Z_DEFAULT_STRATEGY)
{
    z_stream s {};
    if (deflateInit2(&s, level, Z_DEFLATED, -15, level == 2 ? 7 : 8, strategy) != Z_OK)
        util::fatal("deflateInit2");
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    if (deflate(&s, Z_FINISH) != Z_STREAM_END)
        util::fatal("deflate");
    const std::size_t n = s.total_out;
    deflateEnd(&s);
    return n;
}

void compare_deflaters(const Bytes& filtered, int runs)
{
    Bytes out(filtered.size() + filtered.size() / 8 + 65536);
    struct Candidate {
        const char* name;
        std::function<std::size_t()> run;
    };
    const auto igzip = [&](std::uint32_t level, std::uint32_t buf) { return [&, level, buf] { return igzip_size(filtered, level, buf, out); }; };
    const Candidate candidates[] = {
        { "zlib level 2", [&] { return zlib_size(filtered, 2, out); } },
        { "zlib 6 filtered", [&] { return zlib_size(filtered, 6, out, Z_FILTERED); } },
        { "igzip 0", igzip(0, ISAL_DEF_LVL0_DEFAULT) },
        { "igzip 1 small", igzip(1, ISAL_DEF_LVL1_SMALL) },
        { "igzip 1 medium", igzip(1, ISAL_DEF_LVL1_MEDIUM) },
        { "igzip 1 large", igzip(1, ISAL_DEF_LVL1_LARGE) },
        { "igzip 1 x-large", igzip(1, ISAL_DEF_LVL1_EXTRA_LARGE) },
        { "igzip 2 small", igzip(2, ISAL_DEF_LVL2_SMALL) },
        { "igzip 2 large", igzip(2, ISAL_DEF_LVL2_LARGE) },
        { "igzip 2 x-large", igzip(2, ISAL_DEF_LVL2_EXTRA_LARGE) },
        { "igzip 2 s, 16 B", [&] { return igzip_size(filtered, 2, ISAL_DEF_LVL2_SMALL, out, 4); } },
        { "igzip 2 s, 256 B", [&] { return igzip_size(filtered, 2, ISAL_DEF_LVL2_SMALL, out, 8); } },
        { "igzip 3 small", igzip(3, ISAL_DEF_LVL3_SMALL) },
        { "igzip 3 large", igzip(3, ISAL_DEF_LVL3_LARGE) },
        { "igzip 3 x-large", igzip(3, ISAL_DEF_LVL3_EXTRA_LARGE) },
    };
    std::printf("  deflate of the %zu filtered bytes, one thread:\n", filtered.size());
    double zlib_ms = 0;
    std::size_t zlib_bytes = 0;
    for (const auto& c : candidates) {
        std::size_t bytes = 0;
        const auto t = bench::time_runs(runs, [&] { bytes = c.run(); });
        if (zlib_bytes == 0) {
            zlib_ms = t.median_ms;
            zlib_bytes = bytes;
        }
        std::printf("    %-16s %8.2f ms %10zu bytes  speed vs zlib 2 %7s  size vs zlib 2 %s\n", c.name, t.median_ms, bytes,
            bench::ratio(zlib_ms, t.median_ms).c_str(), size_ratio(bytes, zlib_bytes).c_str());
    }
}

// Ways of choosing each row's filter type: the writer's (least sum of
// |byte as signed| over None, Sub, Up and Paeth), libpng's (the same over all
// five types), the fewest distinct byte values, or one type for every row.
enum class Pick { SumOfFour, SumOfFive, FewestValues, None, Sub, Up, Average, Paeth };

// Filters the straight rows as `pick` says, in plain scalar code: its times
// compare the rules with one another, not with the writer.
Bytes filter_by(const Rows& rows, std::uint32_t width, std::uint32_t height, Pick pick)
{
    const unsigned bpp = rows.channels;
    const std::size_t n = std::size_t(bpp) * width;
    Bytes out;
    out.reserve((n + 1) * height);
    const Bytes zero(n, 0);
    Bytes cand[5];
    for (auto& c : cand)
        c.resize(n);
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint8_t* cur = rows.data.data() + std::size_t(y) * n;
        const std::uint8_t* prev = y > 0 ? cur - n : zero.data();
        for (std::size_t i = 0; i < n; ++i) {
            const int a = i >= bpp ? cur[i - bpp] : 0, b = prev[i], c = i >= bpp ? prev[i - bpp] : 0;
            const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
            const int paeth = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            const int predictions[5] = { 0, a, b, (a + b) / 2, paeth };
            for (int t = 0; t < 5; ++t)
                cand[t][i] = static_cast<std::uint8_t>(cur[i] - predictions[t]);
        }
        int best = 0;
        if (pick == Pick::SumOfFour || pick == Pick::SumOfFive || pick == Pick::FewestValues) {
            std::uint64_t best_score = ~0ull;
            for (int t = 0; t < 5; ++t) {
                if (t == 3 && pick == Pick::SumOfFour)
                    continue;
                std::uint64_t score = 0;
                if (pick == Pick::FewestValues) {
                    bool seen[256] = {};
                    for (const std::uint8_t v : cand[t])
                        seen[v] = true;
                    score = std::uint64_t(std::count(std::begin(seen), std::end(seen), true));
                } else {
                    for (const std::uint8_t v : cand[t])
                        score += std::min<unsigned>(v, 256u - v);
                }
                if (score < best_score) {
                    best_score = score;
                    best = t;
                }
            }
        } else {
            best = int(pick) - int(Pick::None);
        }
        out.push_back(static_cast<std::uint8_t>(best));
        out.insert(out.end(), cand[best].begin(), cand[best].end());
    }
    return out;
}

void compare_filters(const Rows& rows, std::uint32_t width, std::uint32_t height)
{
    struct Rule {
        const char* name;
        Pick pick;
    };
    static constexpr Rule rules[] = { { "least sum, 4 types", Pick::SumOfFour }, { "least sum, 5 types", Pick::SumOfFive },
        { "fewest values", Pick::FewestValues }, { "None", Pick::None }, { "Sub", Pick::Sub }, { "Up", Pick::Up },
        { "Average", Pick::Average }, { "Paeth", Pick::Paeth } };
    std::printf("  row filter rules, deflated as one stream by igzip 2 small (whole window) and zlib 6 filtered:\n");
    Bytes out(rows.data.size() + rows.data.size() / 4 + 65536);
    std::size_t ours_igzip = 0;
    for (const auto& r : rules) {
        Bytes filtered;
        const auto t = bench::time_runs(1, [&] { filtered = filter_by(rows, width, height, r.pick); }, false);
        const std::size_t igzip = igzip_size(filtered, 2, ISAL_DEF_LVL2_SMALL, out);
        const std::size_t zlib = zlib_size(filtered, 6, out, Z_FILTERED);
        if (ours_igzip == 0)
            ours_igzip = igzip;
        std::printf("    %-20s %8.1f ms  igzip %10zu bytes (%s of the writer's rule)  zlib %10zu bytes\n", r.name, t.median_ms,
            igzip, size_ratio(igzip, ours_igzip).c_str(), zlib);
    }
}

Result measure(const std::string& name, int runs, const std::function<Bytes()>& fn)
{
    Result r;
    r.name = name;
    r.bytes = fn().size(); // also the warm-up run
    r.t = bench::time_runs(
        runs, [&] { fn(); }, false);
    return r;
}


} // namespace

int main(int argc, char** argv)
{
    // The drawn desktops need fonts, not a screen.
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const bool smoke = bench::smoke(argc, argv);
    const unsigned all = util::parallelism();
    // Drawn desktops (text, panels, a modest photo) at the common sizes; a
    // window capture with partial alpha; and the synthetic 4K screenshot whose
    // photo (noise of ±8 shared by the three channels) is nine tenths of the
    // file, the photo-heavy case.
    std::vector<bench::Picture> pictures;
    const auto synthetic = [](std::uint32_t w, std::uint32_t h, bool translucent, unsigned seed) {
        auto pic = bench::make_screenshot(w, h, translucent, seed);
        pic.name += translucent ? " (synthetic)" : " (synthetic, photo-heavy)";
        return pic;
    };
    if (smoke) {
        pictures.push_back(bench::make_desktop(800, 480, 0.5, 1));
        pictures.push_back(synthetic(800, 480, true, 2));
    } else {
        pictures.push_back(bench::make_desktop(1920, 1080, 0.5, 1));
        pictures.push_back(bench::make_desktop(3840, 2160, 0.5, 2));
        pictures.push_back(bench::make_desktop(5120, 2880, 0.5, 3));
        pictures.push_back(synthetic(1920, 1080, true, 4));
        pictures.push_back(synthetic(3840, 2160, false, 2));
    }
    const int fast_runs = smoke ? 1 : 15;
    const int slow_runs = smoke ? 1 : 5;
    std::printf("PNG writer benchmark: median of %d runs (ours) / %d runs (references), %u hardware threads%s\n", fast_runs,
        slow_runs, all, smoke ? " [smoke]" : "");
    std::printf("references: QImage::save default quality, libpng level 2 (adaptive filters), libspng level 2, "
                "stb_image_write default level\n");

    bool all_correct = true;
    for (const auto& pic : pictures) {
        const Rows rows = straight_rows(pic);
        std::vector<Result> results;
        for (const unsigned t : { 1u, 2u, all }) {
            const auto png = ours(pic, t);
            if (!ours_is_correct(png, rows)) {
                std::printf("ERROR: our %u-thread PNG of %s does not decode to its pixels\n", t, pic.name.c_str());
                all_correct = false;
            }
            results.push_back(measure(fmt_threads(t), fast_runs, [&] { return ours(pic, t); }));
        }
        results.push_back(measure("QImage::save", slow_runs, [&] { return qt_save(pic); }));
        results.push_back(measure("libpng level 2", slow_runs, [&] { return libpng_level2(pic, rows); }));
        results.push_back(measure("libspng level 2", slow_runs, [&] { return spng_level2(pic, rows); }));
        results.push_back(measure("stb_image_write", slow_runs, [&] { return stb_default(pic, rows); }));
        // The floor: one memcpy of the picture into memory already touched.
        Bytes copy(pic.bgra.size());
        std::memcpy(copy.data(), pic.bgra.data(), copy.size());
        results.push_back(measure("memcpy (floor)", fast_runs, [&] {
            std::memcpy(copy.data(), pic.bgra.data(), copy.size());
            asm volatile("" : : "r"(copy.data()) : "memory");
            return Bytes();
        }));
        results.back().bytes = copy.size();

        const Result& one = results[0];
        const Result& two = results[1];
        const Result& many = results[2];
        std::printf("\n%s (%s)\n", pic.name.c_str(), rows.channels == 4 ? "RGBA" : "RGB");
        std::printf("  %-18s %10s %10s %12s %11s %11s\n", "encoder", "median ms", "min ms", "bytes", "vs ours 1T",
            fmt_threads(all).c_str());
        for (const auto& r : results)
            std::printf("  %-18s %10.2f %10.2f %12zu %11s %11s\n", r.name.c_str(), r.t.median_ms, r.t.min_ms, r.bytes,
                bench::ratio(r.t.median_ms, one.t.median_ms).c_str(), bench::ratio(r.t.median_ms, many.t.median_ms).c_str());
        const Result& qt = results[3];
        const Result& lp = results[4];
        std::printf("  speed: QImage/ours %uT %s, libpng/ours %uT %s, QImage/ours 2T %s, libpng/ours 1T %s\n", all,
            bench::ratio(qt.t.median_ms, many.t.median_ms).c_str(), all, bench::ratio(lp.t.median_ms, many.t.median_ms).c_str(),
            bench::ratio(qt.t.median_ms, two.t.median_ms).c_str(), bench::ratio(lp.t.median_ms, one.t.median_ms).c_str());
        std::printf("  size:  ours %uT/QImage %s, ours 1T/libpng %s, ours %uT/libpng %s\n", all,
            size_ratio(many.bytes, qt.bytes).c_str(), size_ratio(one.bytes, lp.bytes).c_str(), all,
            size_ratio(many.bytes, lp.bytes).c_str());
        const Result& floor = results.back();
        std::printf("  floor: ours %uT / memcpy %s\n", all, bench::ratio(many.t.median_ms, floor.t.median_ms).c_str());
        compare_deflaters(filtered_stream(ours(pic, 1)), smoke ? 1 : slow_runs);
        compare_filters(rows, pic.width, pic.height);
    }
    return all_correct ? 0 : 1;
}
