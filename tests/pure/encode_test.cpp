#include "codec/encode.h"
#include "test_util.h"

#include <gtest/gtest.h>
#include <png.h>
#include <spng.h>
#include <zlib.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

using namespace testing_support;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Chunk {
    std::string type;
    Bytes data;
    std::uint32_t crc = 0;
};

std::uint32_t be32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// Splits a PNG into its chunks, checking the signature, the framing and every CRC.
std::vector<Chunk> chunks_of(const Bytes& png)
{
    static const std::uint8_t signature[8] = { 0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A };
    std::vector<Chunk> out;
    EXPECT_GE(png.size(), 8u);
    EXPECT_EQ(std::memcmp(png.data(), signature, 8), 0);
    std::size_t at = 8;
    while (at + 12 <= png.size()) {
        const std::uint32_t len = be32(&png[at]);
        EXPECT_LE(at + 12 + len, png.size());
        Chunk c;
        c.type.assign(reinterpret_cast<const char*>(&png[at + 4]), 4);
        c.data.assign(png.begin() + at + 8, png.begin() + at + 8 + len);
        c.crc = be32(&png[at + 8 + len]);
        EXPECT_EQ(c.crc, ::crc32(0, &png[at + 4], len + 4)) << "CRC of " << c.type;
        out.push_back(std::move(c));
        at += 12 + len;
    }
    EXPECT_EQ(at, png.size());
    return out;
}

std::vector<std::string> types_of(const std::vector<Chunk>& chunks)
{
    std::vector<std::string> t;
    for (const auto& c : chunks)
        t.push_back(c.type);
    return t;
}

// Inflates the concatenated IDAT data as one zlib stream; zlib checks the
// Adler-32 trailer against the inflated bytes.
Bytes inflate_idat(const Bytes& png)
{
    Bytes z;
    for (const auto& c : chunks_of(png))
        if (c.type == "IDAT")
            z.insert(z.end(), c.data.begin(), c.data.end());
    z_stream s {};
    EXPECT_EQ(inflateInit(&s), Z_OK);
    Bytes out(1 << 16);
    s.next_in = z.data();
    s.avail_in = static_cast<uInt>(z.size());
    int rc = Z_OK;
    std::size_t used = 0;
    while (rc == Z_OK) {
        if (out.size() - used < 65536)
            out.resize(out.size() * 2);
        s.next_out = out.data() + used;
        s.avail_out = static_cast<uInt>(out.size() - used);
        rc = inflate(&s, Z_NO_FLUSH);
        used = out.size() - s.avail_out;
    }
    EXPECT_EQ(rc, Z_STREAM_END) << "inflate: " << (s.msg ? s.msg : "");
    EXPECT_EQ(s.avail_in, 0u) << "bytes after the zlib stream";
    inflateEnd(&s);
    out.resize(used);
    return out;
}

struct Decoded {
    std::uint32_t width = 0, height = 0;
    int colour_type = -1;
    Bytes rgba;
};

Decoded decode_spng(const Bytes& png)
{
    Decoded d;
    spng_ctx* ctx = spng_ctx_new(0);
    spng_set_png_buffer(ctx, png.data(), png.size());
    spng_ihdr ihdr {};
    EXPECT_EQ(spng_get_ihdr(ctx, &ihdr), 0);
    d.width = ihdr.width;
    d.height = ihdr.height;
    d.colour_type = ihdr.color_type;
    std::size_t size = 0;
    EXPECT_EQ(spng_decoded_image_size(ctx, SPNG_FMT_RGBA8, &size), 0);
    d.rgba.resize(size);
    const int rc = spng_decode_image(ctx, d.rgba.data(), size, SPNG_FMT_RGBA8, 0);
    EXPECT_EQ(rc, 0) << spng_strerror(rc);
    spng_ctx_free(ctx);
    return d;
}

Bytes decode_libpng(const Bytes& png)
{
    png_image img {};
    img.version = PNG_IMAGE_VERSION;
    EXPECT_NE(png_image_begin_read_from_memory(&img, png.data(), png.size()), 0) << img.message;
    img.format = PNG_FORMAT_RGBA;
    Bytes out(PNG_IMAGE_SIZE(img));
    EXPECT_NE(png_image_finish_read(&img, nullptr, out.data(), 0, nullptr), 0) << img.message;
    png_image_free(&img);
    return out;
}

// A test image: premultiplied pixels in the given byte order, with padding
// after every row, and the straight RGBA that a decoder must return.
struct Source {
    std::uint32_t width = 0, height = 0;
    std::size_t stride = 0;
    bool rgba = false;
    Bytes data;
    Bytes expected; // straight RGBA, packed

    encode::PngPixels pixels() const { return { data, width, height, stride, rgba }; }
};

enum class Alpha { Opaque, Premultiplied, LastPixel254 };

std::uint8_t straight(unsigned c, unsigned a)
{
    if (a == 0 || a == 255)
        return static_cast<std::uint8_t>(c);
    return static_cast<std::uint8_t>(std::min((255 * c + a / 2) / a, 255u));
}

Source make_source(std::uint32_t w, std::uint32_t h, std::size_t padding, bool rgba, Alpha alpha, unsigned seed)
{
    Source s;
    s.width = w;
    s.height = h;
    s.stride = 4 * std::size_t(w) + padding;
    s.rgba = rgba;
    // Padding bytes and the slack after the last row hold noise that must not leak.
    std::mt19937 rng(seed);
    s.data.resize(s.stride * (h - 1) + 4 * std::size_t(w));
    for (auto& b : s.data)
        b = static_cast<std::uint8_t>(rng());
    s.expected.resize(4 * std::size_t(w) * h);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint8_t* p = &s.data[y * s.stride + 4 * x];
            unsigned a = 255;
            if (alpha == Alpha::Premultiplied)
                a = (rng() % 4 == 0) ? (rng() % 2 ? 0 : 255) : rng() % 256;
            if (alpha == Alpha::LastPixel254 && y == h - 1 && x == w - 1)
                a = 254;
            // Smooth content with noise, so every filter gets chosen somewhere.
            unsigned rgb[3];
            for (int c = 0; c < 3; ++c) {
                const unsigned v = (x * (c + 1) * 3 + y * 2 + (rng() % 8)) % 256;
                // Mostly valid premultiplication; now and then a colour above its alpha.
                rgb[c] = (alpha == Alpha::Premultiplied && rng() % 16 != 0) ? v * a / 255 : v;
            }
            p[rgba ? 0 : 2] = static_cast<std::uint8_t>(rgb[0]);
            p[1] = static_cast<std::uint8_t>(rgb[1]);
            p[rgba ? 2 : 0] = static_cast<std::uint8_t>(rgb[2]);
            p[3] = static_cast<std::uint8_t>(a);
            std::uint8_t* e = &s.expected[(std::size_t(y) * w + x) * 4];
            for (int c = 0; c < 3; ++c)
                e[c] = straight(rgb[c], a);
            e[3] = static_cast<std::uint8_t>(a);
        }
    return s;
}

void expect_round_trip(const Source& s, unsigned threads)
{
    SCOPED_TRACE(testing::Message() << s.width << "x" << s.height << " stride " << s.stride << (s.rgba ? " RGBA" : " BGRA")
                                    << " threads " << threads);
    encode::PngOptions opts;
    opts.threads = threads;
    const Bytes png = encode::encode_png(s.pixels(), opts);
    const Decoded d = decode_spng(png);
    EXPECT_EQ(d.width, s.width);
    EXPECT_EQ(d.height, s.height);
    bool translucent = false;
    for (std::size_t i = 3; i < s.expected.size(); i += 4)
        translucent |= s.expected[i] != 255;
    EXPECT_EQ(d.colour_type, translucent ? 6 : 2);
    EXPECT_TRUE(d.rgba == s.expected) << "spng decode differs";
    EXPECT_TRUE(decode_libpng(png) == s.expected) << "libpng decode differs";
}

} // namespace

TEST(EncodePng, DecodesToTheStraightSourcePixels)
{
    struct Size {
        std::uint32_t w, h;
    };
    const Size sizes[] = { { 1, 1 }, { 1, 97 }, { 301, 1 }, { 47, 33 }, { 64, 33 }, { 13, 10000 } };
    unsigned seed = 1;
    for (const auto size : sizes)
        for (const std::size_t padding : { std::size_t(0), std::size_t(12) })
            for (const bool rgba : { false, true })
                for (const Alpha alpha : { Alpha::Opaque, Alpha::Premultiplied, Alpha::LastPixel254 })
                    for (const unsigned threads : { 1u, 4u }) {
                        if (size.h == 10000 && (padding != 0 || threads == 1))
                            continue; // the big one once per order and alpha is enough
                        expect_round_trip(make_source(size.w, size.h, padding, rgba, alpha, seed++), threads);
                    }
}

TEST(EncodePng, SingleTranslucentPixelMakesTheFileRgba)
{
    for (const bool rgba : { false, true }) {
        Source s = make_source(40, 40, 4, rgba, Alpha::Opaque, 7);
        s.data[19 * s.stride + 4 * 23 + 3] = 254;
        s.expected[(19 * 40 + 23) * 4 + 3] = 254;
        for (int c = 0; c < 3; ++c) {
            // The premultiplied value is re-read as straight at alpha 254.
            const int byte = rgba ? c : 2 - c;
            s.expected[(19 * 40 + 23) * 4 + c] = straight(s.data[19 * s.stride + 4 * 23 + byte], 254);
        }
        expect_round_trip(s, 3);
    }
}

TEST(EncodePng, ColourTypeScanOfLargeImagesSeesEveryRow)
{
    // Above a million pixels the alpha scan is split over threads; a single
    // translucent pixel in any scanner's rows must still make the file RGBA.
    const std::uint32_t w = 1100, h = 1000;
    Bytes px(std::size_t(w) * h * 4, 255);
    const auto colour_type = [&](unsigned threads) {
        encode::PngOptions o;
        o.threads = threads;
        return chunks_of(encode::encode_png({px, w, h, 4 * w, true}, o))[0].data[9];
    };
    EXPECT_EQ(colour_type(4), 2);
    for (const std::uint32_t y : {0u, 400u, h - 1}) {
        const std::size_t at = (std::size_t(y) * w + (y == h - 1 ? w - 1 : 7)) * 4 + 3;
        px[at] = 254;
        EXPECT_EQ(colour_type(1), 6) << "row " << y;
        EXPECT_EQ(colour_type(4), 6) << "row " << y;
        EXPECT_EQ(colour_type(7), 6) << "row " << y;
        px[at] = 255;
    }
}

TEST(EncodePng, ConvertRowUnpremultipliesAndClamps)
{
    // (128, 64, 0, 128) premultiplied → (255, 128, 0, 128); a colour above
    // its alpha saturates; alpha 0 and 255 copy the colours.
    const Bytes rgba_px = { 128, 64, 0, 128, 200, 10, 3, 100, 7, 8, 9, 0, 1, 2, 3, 255 };
    encode::PngPixels px { rgba_px, 4, 1, 16, true };
    Bytes out(16);
    encode::convert_row(px, 0, 4, out);
    EXPECT_EQ(out, (Bytes { 255, 128, 0, 128, 255, 26, 8, 100, 7, 8, 9, 0, 1, 2, 3, 255 }));

    px.rgba = false; // the same bytes as B, G, R, A
    encode::convert_row(px, 0, 4, out);
    EXPECT_EQ(out, (Bytes { 0, 128, 255, 128, 8, 26, 255, 100, 9, 8, 7, 0, 3, 2, 1, 255 }));
    Bytes rgb(12);
    encode::convert_row(px, 0, 3, rgb);
    EXPECT_EQ(rgb, (Bytes { 0, 64, 128, 3, 10, 200, 9, 8, 7, 3, 2, 1 }));
}

TEST(EncodePng, UnpremultiplyIsExactForEveryPair)
{
    Bytes row(256 * 4);
    for (unsigned a = 0; a < 256; ++a) {
        for (unsigned c = 0; c < 256; ++c) {
            row[4 * c] = row[4 * c + 1] = row[4 * c + 2] = static_cast<std::uint8_t>(c);
            row[4 * c + 3] = static_cast<std::uint8_t>(a);
        }
        Bytes out(row.size());
        encode::convert_row({ row, 256, 1, row.size(), true }, 0, 4, out);
        for (unsigned c = 0; c < 256; ++c) {
            const unsigned want = (a == 0 || a == 255) ? c : std::min((255 * c + a / 2) / a, 255u);
            ASSERT_EQ(out[4 * c], want) << "a " << a << " c " << c;
        }
    }
}

TEST(EncodePng, OnePixelFileIsByteExact)
{
    const Bytes px = { 10, 20, 30, 255 };
    encode::PngOptions opts;
    opts.threads = 4;
    const Bytes png = encode::encode_png({ px, 1, 1, 4, true }, opts);
    const auto chunks = chunks_of(png);
    ASSERT_EQ(types_of(chunks), (std::vector<std::string> { "IHDR", "sRGB", "IDAT", "IDAT", "IDAT", "IEND" }));
    // Well-known CRCs: 1×1 8-bit RGB header, perceptual sRGB, IEND.
    EXPECT_EQ(chunks[0].data, (Bytes { 0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0 }));
    EXPECT_EQ(chunks[0].crc, 0x907753DEu);
    EXPECT_EQ(chunks[1].data, Bytes { 0 });
    EXPECT_EQ(chunks[1].crc, 0xAECE1CE9u);
    EXPECT_EQ(chunks[2].data, (Bytes { 0x78, 0x01 }));
    // Filtered stream 00 0A 14 1E: A = 1 + 60 = 61, B = 4 + 3·10 + 2·20 + 30 = 104.
    EXPECT_EQ(chunks[4].data, (Bytes { 0x00, 0x68, 0x00, 0x3D }));
    EXPECT_EQ(chunks[5].data, Bytes {});
    EXPECT_EQ(chunks[5].crc, 0xAE426082u);
    // The band alone is a complete raw deflate stream of the filtered row.
    z_stream s {};
    ASSERT_EQ(inflateInit2(&s, -15), Z_OK);
    Bytes band = chunks[3].data, out(16);
    s.next_in = band.data();
    s.avail_in = static_cast<uInt>(band.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - s.avail_out);
    inflateEnd(&s);
    EXPECT_EQ(out, (Bytes { 0, 10, 20, 30 }));
    EXPECT_EQ(inflate_idat(png), (Bytes { 0, 10, 20, 30 }));
}

TEST(EncodePng, BandCountDoesNotChangeTheFilteredStream)
{
    const Source s = make_source(29, 10000, 8, false, Alpha::Premultiplied, 99);
    encode::PngOptions one, sixteen;
    one.threads = 1;
    sixteen.threads = 8;
    const Bytes a = encode::encode_png(s.pixels(), one);
    const Bytes b = encode::encode_png(s.pixels(), sixteen);
    const auto idats = [](const Bytes& png) {
        int n = 0;
        for (const auto& c : chunks_of(png))
            n += c.type == "IDAT";
        return n;
    };
    EXPECT_EQ(idats(a), 2 + 2);
    EXPECT_EQ(idats(b), 16 + 2);
    // Whichever worker takes which band, the file is the same.
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(encode::encode_png(s.pixels(), sixteen) == b);
    const Bytes filtered = inflate_idat(a);
    EXPECT_EQ(filtered.size(), (1 + 4 * 29u) * 10000u);
    EXPECT_TRUE(filtered == inflate_idat(b));

    // A single band over every row gives the same filtered bytes and checksum.
    const auto band = encode::encode_band(s.pixels(), 0, 10000, 4, 1 + 4 * 29, true);
    EXPECT_EQ(band.raw_len, filtered.size());
    EXPECT_EQ(band.adler, ::adler32(1, filtered.data(), static_cast<uInt>(filtered.size())));
}

TEST(EncodePng, FilterChoiceFollowsTheLowestScore)
{
    // Row 1 repeats row 0: Up scores 0. Rows 2 to 6 are each one flat grey,
    // so Sub and Paeth differ only in the first pixel (Sub: v, Paeth: v − above),
    // Up in every byte. Ties keep the earlier type.
    const std::uint32_t w = 16;
    const std::uint8_t greys[] = { 100, 10, 100, 50, 50 };
    const std::uint8_t want[] = { 1, 4, 1, 2 }; // rows 3 to 6
    const std::uint32_t h = 7;
    Bytes px(4 * w * h);
    std::mt19937 rng(5);
    for (std::uint32_t x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
            px[4 * x + c] = px[4 * (w + x) + c] = static_cast<std::uint8_t>(rng());
    for (std::uint32_t y = 2; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                px[4 * (y * w + x) + c] = greys[y - 2];
    for (std::size_t i = 3; i < px.size(); i += 4)
        px[i] = 255;
    encode::PngOptions opts;
    opts.threads = 1;
    const Bytes filtered = inflate_idat(encode::encode_png({ px, w, h, 4 * w, true }, opts));
    const std::size_t row_len = 1 + 3 * w;
    ASSERT_EQ(filtered.size(), row_len * h);
    EXPECT_EQ(filtered[1 * row_len], 2);
    for (std::uint32_t y = 3; y < h; ++y)
        EXPECT_EQ(filtered[y * row_len], want[y - 3]) << "row " << y;

    // A black first row: all four candidates score 0 and the tie keeps None.
    const Bytes zero(4 * 8, 0);
    Bytes opaque = zero;
    for (std::size_t i = 3; i < opaque.size(); i += 4)
        opaque[i] = 255;
    const Bytes z = inflate_idat(encode::encode_png({ opaque, 8, 1, 32, true }, opts));
    EXPECT_EQ(z, Bytes(1 + 24, 0));
}

TEST(EncodePng, PhysicalSizeFromScale)
{
    const Bytes px = { 1, 2, 3, 255 };
    const auto phys = [&](double scale) -> std::optional<Bytes> {
        encode::PngOptions o;
        o.scale = scale;
        for (const auto& c : chunks_of(encode::encode_png({ px, 1, 1, 4, false }, o)))
            if (c.type == "pHYs")
                return c.data;
        return std::nullopt;
    };
    // 72 points per inch: 2834.6 → 2835 and 5669.3 → 5669 pixels per metre.
    EXPECT_EQ(phys(1.0), (Bytes { 0, 0, 0x0B, 0x13, 0, 0, 0x0B, 0x13, 1 }));
    EXPECT_EQ(phys(2.0), (Bytes { 0, 0, 0x16, 0x25, 0, 0, 0x16, 0x25, 1 }));
    EXPECT_EQ(phys(0.0), std::nullopt);
    EXPECT_EQ(phys(-1.0), std::nullopt);
}

TEST(EncodePng, ColourProfileOrSrgb)
{
    const Bytes px = { 1, 2, 3, 255 };
    const auto chunk_types = [&](std::optional<Bytes> icc) {
        encode::PngOptions o;
        o.icc = std::move(icc);
        o.scale = 2;
        return chunks_of(encode::encode_png({ px, 1, 1, 4, false }, o));
    };
    EXPECT_EQ(types_of(chunk_types(std::nullopt)),
        (std::vector<std::string> { "IHDR", "sRGB", "pHYs", "IDAT", "IDAT", "IDAT", "IEND" }));
    EXPECT_EQ(
        types_of(chunk_types(Bytes {})), (std::vector<std::string> { "IHDR", "sRGB", "pHYs", "IDAT", "IDAT", "IDAT", "IEND" }));

    Bytes profile(3000);
    std::mt19937 rng(3);
    for (auto& b : profile)
        b = static_cast<std::uint8_t>(rng() % 7);
    const auto chunks = chunk_types(profile);
    ASSERT_EQ(types_of(chunks), (std::vector<std::string> { "IHDR", "iCCP", "pHYs", "IDAT", "IDAT", "IDAT", "IEND" }));
    const Bytes& d = chunks[1].data;
    const std::string head = "ICC Profile";
    ASSERT_GT(d.size(), head.size() + 2);
    EXPECT_EQ(std::string(d.begin(), d.begin() + head.size()), head);
    EXPECT_EQ(d[head.size()], 0); // name terminator
    EXPECT_EQ(d[head.size() + 1], 0); // compression method
    Bytes inflated(profile.size() + 10);
    uLongf len = inflated.size();
    ASSERT_EQ(uncompress(inflated.data(), &len, d.data() + head.size() + 2, d.size() - head.size() - 2), Z_OK);
    inflated.resize(len);
    EXPECT_TRUE(inflated == profile);
}

TEST(EncodePng, BandPlan)
{
    auto p = encode::plan_bands(33, 4);
    EXPECT_EQ(p.bands, 2u);
    EXPECT_EQ(p.rows_per_band, 17u);
    EXPECT_EQ(p.workers, 2u);
    p = encode::plan_bands(10000, 8);
    EXPECT_EQ(p.bands, 16u);
    EXPECT_EQ(p.rows_per_band, 625u);
    EXPECT_EQ(p.workers, 8u);
    p = encode::plan_bands(1, 8);
    EXPECT_EQ(p.bands, 1u);
    EXPECT_EQ(p.workers, 1u);
    // n = min(⌈100 / 32⌉, 6) = 4 bands of 25 for 3 workers.
    p = encode::plan_bands(100, 3);
    EXPECT_EQ(p.rows_per_band, 25u);
    EXPECT_EQ(p.bands, 4u);
    EXPECT_EQ(p.workers, 3u);
    // n = min(⌈70 / 32⌉, 2) = 2: 35 rows each.
    p = encode::plan_bands(70, 1);
    EXPECT_EQ(p.rows_per_band, 35u);
    EXPECT_EQ(p.bands, 2u);
    EXPECT_EQ(p.workers, 1u);
    p = encode::plan_bands(1000, 5); // n = 10 bands of 100 over 5 workers
    EXPECT_EQ(p.bands, 10u);
    EXPECT_EQ(p.workers, 5u);
}

TEST(EncodePng, Adler32CombineMatchesZlib)
{
    std::mt19937_64 rng(11);
    for (int i = 0; i < 2000; ++i) {
        const auto a = static_cast<std::uint32_t>(rng() % 65521 | (rng() % 65521) << 16);
        const auto b = static_cast<std::uint32_t>(rng() % 65521 | (rng() % 65521) << 16);
        const std::uint64_t len = i < 100 ? std::uint64_t(i) : rng() % (std::uint64_t(1) << 40);
        EXPECT_EQ(encode::adler32_combine(a, b, len), ::adler32_combine64(a, b, static_cast<z_off64_t>(len)))
            << a << " " << b << " " << len;
    }
}

TEST(EncodePng, ChunkCrcIsZlibsOnEveryLength)
{
    // Lengths around the widths a vectorised CRC folds at, and a long one.
    std::mt19937 rng(23);
    Bytes data(3 << 20);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng());
    for (const std::size_t len : { 0, 1, 3, 15, 16, 17, 31, 63, 64, 65, 127, 255, 256, 257, 4099, 3 << 20 }) {
        Bytes out;
        encode::write_chunk(out, "zTXt", { data.data(), len });
        ASSERT_EQ(out.size(), len + 12);
        Bytes typed = { 'z', 'T', 'X', 't' };
        typed.insert(typed.end(), data.begin(), data.begin() + len);
        EXPECT_EQ(be32(&out[len + 8]), ::crc32(0, typed.data(), static_cast<uInt>(typed.size()))) << "length " << len;
    }
}

TEST(EncodePng, InconsistentPixelsStop)
{
    const Bytes px(64, 255);
    EXPECT_EQ(fatal_message([&] { encode::encode_png({ px, 0, 1, 4, false }, {}); }), "imagen vacía");
    EXPECT_EQ(fatal_message([&] { encode::encode_png({ px, 1, 0, 4, false }, {}); }), "imagen vacía");
    EXPECT_EQ(fatal_message([&] {
        encode::encode_png({ px, 4, 1, 12, false }, {});
    }),
        "assertion failed: px.stride >= px.width * 4");
    // 3 rows of stride 24 need 24 × 2 + 16 = 64 bytes: one byte less stops.
    EXPECT_EQ(fatal_message([&] {
        encode::encode_png({ { px.data(), 63 }, 4, 3, 24, false }, {});
    }),
        "assertion failed: px.data.len() >= px.stride * (px.height - 1) + px.width * 4");
    EXPECT_EQ(fatal_message([&] { encode::encode_png({ px, 4, 3, 24, false }, {}); }), std::nullopt);
    // A stride so large that the needed length overflows is caught, not wrapped.
    EXPECT_EQ(fatal_message([&] {
        encode::encode_png({ px, 1, 3, SIZE_MAX / 2 + 1, false }, {});
    }),
        "assertion failed: px.data.len() >= px.stride * (px.height - 1) + px.width * 4");
}

namespace {

// Raw-inflates one band's deflate data, primed with `dict` (the filtered
// bytes before the band); nothing when the data is not valid on its own
// terms, e.g. refers further back than the dictionary reaches.
std::optional<Bytes> inflate_band(const Bytes& deflated, std::span<const std::uint8_t> dict, std::size_t expect)
{
    z_stream s {};
    EXPECT_EQ(inflateInit2(&s, -15), Z_OK);
    if (!dict.empty()) {
        EXPECT_EQ(inflateSetDictionary(&s, dict.data(), static_cast<uInt>(dict.size())), Z_OK);
    }
    Bytes in = deflated, out(expect + 64);
    s.next_in = in.data();
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&s, Z_SYNC_FLUSH);
    const bool ok = (rc == Z_OK || rc == Z_STREAM_END) && s.avail_in == 0;
    out.resize(out.size() - s.avail_out);
    inflateEnd(&s);
    return ok ? std::optional(out) : std::nullopt;
}

} // namespace

TEST(EncodePng, BandsReferBackAcrossTheirEdges)
{
    // Three rows of noise repeated down the picture: every filtered row but
    // the first three repeats the one three rows up, so deflate's best move at
    // the top of a band is to copy from the end of the band before it.
    const std::uint32_t w = 11, h = 2000, period = 3;
    std::mt19937 rng(17);
    Bytes pattern(4 * std::size_t(w) * period);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = i % 4 == 3 ? 255 : static_cast<std::uint8_t>(rng());
    Bytes px(4 * std::size_t(w) * h);
    for (std::uint32_t y = 0; y < h; ++y)
        std::memcpy(&px[4 * std::size_t(w) * y], &pattern[4 * std::size_t(w) * (y % period)], 4 * std::size_t(w));
    encode::PngOptions one, eight;
    one.threads = 1;
    eight.threads = 8;
    const Bytes a = encode::encode_png({ px, w, h, 4 * w, false }, one);
    const Bytes b = encode::encode_png({ px, w, h, 4 * w, false }, eight);

    const Decoded da = decode_spng(a), db = decode_spng(b);
    ASSERT_EQ(da.rgba.size(), std::size_t(w) * h * 4);
    EXPECT_TRUE(da.rgba == db.rgba) << "8 threads decode to other pixels than 1 thread";
    for (std::size_t i = 0; i < px.size(); i += 4)
        ASSERT_TRUE(db.rgba[i] == px[i + 2] && db.rgba[i + 1] == px[i + 1] && db.rgba[i + 2] == px[i]) << "pixel " << i / 4;
    EXPECT_TRUE(decode_libpng(b) == db.rgba);

    // Each band of the 8-thread file inflates to its own rows only with the
    // filtered bytes before it as the window, and the bands past the first do
    // reach back into it.
    const Bytes filtered = inflate_idat(b);
    const auto plan = encode::plan_bands(h, 8);
    ASSERT_EQ(plan.bands, 16u);
    std::vector<Bytes> bands;
    for (const auto& c : chunks_of(b))
        if (c.type == "IDAT")
            bands.push_back(c.data);
    ASSERT_EQ(bands.size(), plan.bands + 2);
    const std::size_t row_len = 1 + 3 * w;
    int reaching_back = 0;
    for (std::uint32_t k = 0; k < plan.bands; ++k) {
        const std::size_t start = std::size_t(k) * plan.rows_per_band * row_len;
        const std::size_t len = std::min<std::size_t>(plan.rows_per_band * row_len, filtered.size() - start);
        const std::size_t keep = std::min<std::size_t>(start, 32768);
        const auto primed = inflate_band(bands[k + 1], { filtered.data() + start - keep, keep }, len);
        ASSERT_TRUE(primed) << "band " << k;
        EXPECT_TRUE(std::equal(primed->begin(), primed->end(), filtered.begin() + start) && primed->size() == len) << "band " << k;
        if (k > 0 && !inflate_band(bands[k + 1], {}, len))
            ++reaching_back;
    }
    EXPECT_EQ(reaching_back, 15);
}

namespace {

// Raw deflate at zlib's level 6 with the filtered strategy (matches shorter
// than six bytes dropped), what a libpng writer uses by default.
std::size_t zlib_filtered_size(const Bytes& in)
{
    z_stream s {};
    EXPECT_EQ(deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_FILTERED), Z_OK);
    Bytes out(deflateBound(&s, static_cast<uLong>(in.size())));
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = static_cast<uInt>(in.size());
    s.next_out = out.data();
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
    const std::size_t n = s.total_out;
    deflateEnd(&s);
    return n;
}

std::size_t idat_bytes(const Bytes& png)
{
    std::size_t n = 0;
    for (const auto& c : chunks_of(png))
        if (c.type == "IDAT")
            n += c.data.size();
    return n;
}

} // namespace

TEST(EncodePng, NoisyPhotoRowsBetweenPanels)
{
    // Flat panels with a few dark strokes above and below a photo: a smooth
    // surface with independent noise of ±2 in every channel, the rows where
    // far 4-byte matches cost more than the literals they replace. Bands and
    // batches cross from panel to photo and back, so the compressor's window
    // changes inside bands.
    const std::uint32_t w = 1536, h = 640;
    std::mt19937 rng(41);
    Bytes px(4 * std::size_t(w) * h);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x) {
            std::uint8_t* p = &px[4 * (std::size_t(y) * w + x)];
            const bool photo = y >= 120 && y < 520;
            for (int c = 0; c < 3; ++c) {
                int v = 236 - 8 * c;
                if (photo)
                    v = 128 + int(60 * std::sin(x / 90.0 + c) * std::cos(y / 70.0)) + int(rng() % 5) - 2;
                else if (y % 24 < 12 && (x * 7 + y) % 53 < 3)
                    v = 40;
                p[c] = static_cast<std::uint8_t>(v);
            }
            p[3] = 255;
        }
    for (const unsigned threads : { 1u, 8u }) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        encode::PngOptions opts;
        opts.threads = threads;
        const Bytes png = encode::encode_png({ px, w, h, 4 * std::size_t(w), false }, opts);
        const Decoded d = decode_spng(png);
        ASSERT_EQ(d.rgba.size(), px.size());
        bool same = true;
        for (std::size_t i = 0; i < px.size() && same; i += 4)
            same = d.rgba[i] == px[i + 2] && d.rgba[i + 1] == px[i + 1] && d.rgba[i + 2] == px[i] && d.rgba[i + 3] == 255;
        EXPECT_TRUE(same) << "spng decode differs";
        EXPECT_TRUE(decode_libpng(png) == d.rgba) << "libpng decode differs";
        // With the whole window alone the stream came out 13% above zlib's;
        // with the narrow one where it pays, 1–4% below.
        const std::size_t ours = idat_bytes(png), zlib = zlib_filtered_size(inflate_idat(png));
        EXPECT_LE(double(ours), 1.03 * double(zlib)) << ours << " bytes against zlib's " << zlib;
    }
}
