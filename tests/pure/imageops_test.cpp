#include "codec/imageops.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <random>

using namespace testing_support;
using imageops::Rect;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Img {
    std::size_t width, height, stride;
    Bytes data;
    imageops::View view() const { return { data, width, height, stride }; }
    imageops::MutableView mut() { return { data, width, height, stride }; }
    std::uint8_t& at(std::size_t x, std::size_t y, int c) { return data[y * stride + 4 * x + c]; }
    std::uint8_t at(std::size_t x, std::size_t y, int c) const { return data[y * stride + 4 * x + c]; }
};

Img random_image(std::size_t w, std::size_t h, std::size_t padding, unsigned seed)
{
    Img img { w, h, 4 * w + padding, {} };
    img.data.resize(img.stride * h);
    std::mt19937 rng(seed);
    for (auto& b : img.data)
        b = static_cast<std::uint8_t>(rng());
    return img;
}

Bytes packed(const Img& img)
{
    Bytes out;
    for (std::size_t y = 0; y < img.height; ++y)
        out.insert(out.end(), img.data.begin() + y * img.stride, img.data.begin() + y * img.stride + 4 * img.width);
    return out;
}

// The box blur as defined, with the 2r + 1 values summed directly for every
// output byte, on packed rows.
Bytes reference_blur(Bytes a, std::size_t w, std::size_t h, std::size_t radius)
{
    const std::size_t r = std::min<std::size_t>(radius, 1000);
    const std::uint64_t m = ((std::uint64_t(1) << 32) + 2 * r) / (2 * r + 1);
    Bytes b(a.size());
    const auto pass = [&](const Bytes& src, Bytes& dst, bool horizontal) {
        for (std::size_t y = 0; y < h; ++y)
            for (std::size_t x = 0; x < w; ++x)
                for (int c = 0; c < 4; ++c) {
                    std::uint64_t s = 0;
                    for (long k = -long(r); k <= long(r); ++k) {
                        const long xx = horizontal ? std::clamp<long>(long(x) + k, 0, long(w) - 1) : long(x);
                        const long yy = horizontal ? long(y) : std::clamp<long>(long(y) + k, 0, long(h) - 1);
                        s += src[(yy * w + xx) * 4 + c];
                    }
                    dst[(y * w + x) * 4 + c] = static_cast<std::uint8_t>((m * (s + r)) >> 32);
                }
    };
    pass(a, b, true);
    pass(b, a, true);
    pass(a, b, true);
    pass(b, a, false);
    pass(a, b, false);
    pass(b, a, false);
    return a;
}

Bytes reference_downscale(const Img& img, std::size_t f)
{
    const std::size_t ow = (img.width + f - 1) / f, oh = (img.height + f - 1) / f;
    Bytes out(ow * oh * 4);
    for (std::size_t Y = 0; Y < oh; ++Y)
        for (std::size_t X = 0; X < ow; ++X)
            for (int c = 0; c < 4; ++c) {
                std::uint64_t s = 0, n = 0;
                for (std::size_t y = Y * f; y < std::min((Y + 1) * f, img.height); ++y)
                    for (std::size_t x = X * f; x < std::min((X + 1) * f, img.width); ++x, ++n)
                        s += img.at(x, y, c);
                out[(Y * ow + X) * 4 + c] = static_cast<std::uint8_t>((s + n / 2) / n);
            }
    return out;
}

} // namespace

TEST(ImageOps, ClampCutsToTheImage)
{
    EXPECT_EQ((Rect { 90, 0, 50, 10 }.clamp(100, 100)), (Rect { 90, 0, 10, 10 }));
    EXPECT_EQ((Rect { 150, 0, 50, 10 }.clamp(100, 100)), (Rect { 100, 0, 0, 10 }));
    EXPECT_EQ((Rect { 5, 300, 10, 10 }.clamp(100, 100)), (Rect { 5, 100, 10, 0 }));
    EXPECT_EQ((Rect { 0, 0, SIZE_MAX, SIZE_MAX }.clamp(7, 9)), (Rect { 0, 0, 7, 9 }));
    EXPECT_EQ((Rect { 3, 4, 5, 6 }.clamp(0, 0)), (Rect { 0, 0, 0, 0 }));
}

TEST(ImageOps, OpaqueBounds)
{
    Img img { 20, 15, 4 * 20 + 8, Bytes((4 * 20 + 8) * 15, 0) };
    // Colour bytes and the row padding are not alpha.
    for (std::size_t i = 0; i < img.data.size(); ++i)
        if (i % img.stride >= 4 * img.width || i % 4 != 3)
            img.data[i] = 0xff;
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 3), std::nullopt);
    img.at(5, 7, 3) = 1;
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 3), (Rect { 5, 7, 1, 1 }));
    img.at(19, 9, 3) = 200;
    img.at(2, 14, 3) = 255;
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 3), (Rect { 2, 7, 18, 8 }));
    img.at(0, 0, 3) = 9;
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 3), (Rect { 0, 0, 20, 15 }));
    // Alpha first: byte 0 of every pixel is 0xff above, so everything is opaque.
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 0), (Rect { 0, 0, 20, 15 }));
    // With a least alpha, fainter pixels count as transparent: 9 and 1 drop
    // out at 10, 200 at 201; at 0 as at 1, any alpha but 0 counts.
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 3, 10), (Rect { 2, 9, 18, 6 }));
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 3, 201), (Rect { 2, 14, 1, 1 }));
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 3, 0), (Rect { 0, 0, 20, 15 }));
    img.at(2, 14, 3) = 254;
    EXPECT_EQ(imageops::opaque_bounds(img.view(), 3, 255), std::nullopt);

    // Random sparse clouds against a column-by-column scan.
    for (unsigned seed = 0; seed < 40; ++seed) {
        std::mt19937 rng(seed);
        Img s { 1 + rng() % 30, 1 + rng() % 30, 0, {} };
        s.stride = 4 * s.width + rng() % 3 * 4;
        s.data.assign(s.stride * s.height, 0);
        const std::size_t count = rng() % 4;
        std::size_t x0 = SIZE_MAX, y0 = SIZE_MAX, x1 = 0, y1 = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t x = rng() % s.width, y = rng() % s.height;
            s.at(x, y, 1) = 1;
            x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
        }
        const auto got = imageops::opaque_bounds(s.view(), 1);
        if (count == 0)
            EXPECT_EQ(got, std::nullopt);
        else
            EXPECT_EQ(got, (Rect { x0, y0, x1 - x0 + 1, y1 - y0 + 1 })) << "seed " << seed;
    }
}

TEST(ImageOps, CropCopiesTheClampedRows)
{
    const Img img = random_image(9, 7, 12, 1);
    const Bytes out = imageops::crop(img.view(), { 6, 2, 10, 3 });
    ASSERT_EQ(out.size(), 3u * 3 * 4);
    for (std::size_t y = 0; y < 3; ++y)
        for (std::size_t x = 0; x < 3; ++x)
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(out[(y * 3 + x) * 4 + c], img.at(6 + x, 2 + y, c));
    EXPECT_TRUE(imageops::crop(img.view(), { 20, 0, 5, 5 }).empty());
    EXPECT_EQ(imageops::crop(img.view(), { 0, 0, 9, 7 }), packed(img));
}

TEST(ImageOps, DownscaleAveragesPartialBoxes)
{
    // 5 × 5 by 2: 3 × 3, with boxes of 4, 2 (last row and column) and 1 pixel.
    Img img { 5, 5, 20, Bytes(100) };
    for (std::size_t y = 0; y < 5; ++y)
        for (std::size_t x = 0; x < 5; ++x)
            for (int c = 0; c < 4; ++c)
                img.at(x, y, c) = static_cast<std::uint8_t>(10 * x + 50 * y + c);
    const auto out = imageops::downscale(img.view(), 2);
    ASSERT_EQ(out.width, 3u);
    ASSERT_EQ(out.height, 3u);
    // (0+10+50+60)/4 = 30; column 2 rows 0-1: (40+90)/2 = 65; corner: 240.
    EXPECT_EQ(out.pixels[0], 30);
    EXPECT_EQ(out.pixels[2 * 4 + 1], 66);
    EXPECT_EQ(out.pixels[(2 * 3 + 0) * 4], 205); // (200 + 210) / 2
    EXPECT_EQ(out.pixels[(2 * 3 + 2) * 4 + 3], 243);
    EXPECT_EQ(out.pixels, reference_downscale(img, 2));

    // Rounding is half up: (1 + 2) / 2 → 2, (1 + 1 + 1 + 2) / 4 → 1.
    Img tiny { 2, 2, 8, { 1, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2 } };
    const auto t = imageops::downscale(tiny.view(), 2);
    EXPECT_EQ(t.pixels, (Bytes { 1, 1, 1, 1 }));
    const auto t1 = imageops::downscale({ { tiny.data.data(), 8 }, 2, 1, 8 }, 2);
    EXPECT_EQ(t1.pixels, (Bytes { 2, 1, 1, 1 }));

    // Factors 0 and 1 give a packed copy.
    const Img padded = random_image(7, 5, 8, 2);
    for (const std::size_t f : { 0u, 1u }) {
        const auto copy = imageops::downscale(padded.view(), f);
        EXPECT_EQ(copy.width, 7u);
        EXPECT_EQ(copy.height, 5u);
        EXPECT_EQ(copy.pixels, packed(padded));
    }
    EXPECT_TRUE(imageops::downscale({ {}, 0, 5, 0 }, 2).pixels.empty());
}

TEST(ImageOps, DownscaleMatchesTheDefinitionWithWorkers)
{
    // 2053 × 2047 is above the threading threshold; the result must be the
    // same whichever rows each worker took, with boxes summed row by row (2),
    // down columns first (3 to 257) or beyond 16-bit column sums (400).
    const Img img = random_image(2053, 2047, 4, 3);
    for (const std::size_t f : { 2u, 3u, 7u, 16u, 64u, 257u, 400u }) {
        const auto out = imageops::downscale(img.view(), f);
        EXPECT_EQ(out.width, (2053 + f - 1) / f);
        EXPECT_EQ(out.height, (2047 + f - 1) / f);
        EXPECT_TRUE(out.pixels == reference_downscale(img, f)) << "factor " << f;
    }
}

TEST(ImageOps, HalvingMatchesTheDefinitionAtEveryWidth)
{
    // Halving takes four result pixels at a time: every width up to three
    // such groups and their leftovers, odd and even rows, a padded stride,
    // all bytes at both ends of the range. The result written into an
    // earlier one of another size is the same.
    imageops::Image into;
    for (std::size_t w = 1; w <= 27; ++w)
        for (std::size_t h = 1; h <= 4; ++h) {
            Img img = random_image(w, h, 12, unsigned(w * 7 + h));
            img.at(0, 0, 0) = 255;
            img.at(w - 1, h - 1, 3) = 0;
            const auto out = imageops::downscale(img.view(), 2);
            ASSERT_EQ(out.pixels, reference_downscale(img, 2)) << w << "×" << h;
            imageops::downscale(img.view(), 2, into);
            EXPECT_EQ(into.pixels, out.pixels) << w << "×" << h;
            EXPECT_EQ(into.width * into.height, out.width * out.height);
        }
    Img white { 9, 2, 36, Bytes(72, 255) };
    EXPECT_EQ(imageops::downscale(white.view(), 2).pixels, Bytes(20, 255));
}

TEST(ImageOps, DownscaleRoundsExactlyAtEveryBoxSize)
{
    // Boxes of 4096 and 4225 pixels sit on either side of the cheaper
    // division; sums one below and at each rounding step must round right.
    for (const std::size_t f : { 64u, 65u }) {
        Img img { f, f, 4 * f, Bytes(4 * f * f) };
        for (unsigned v = 0; v < 254; v += 7) {
            // Every byte v + 1, but byte 0 of one pixel one above and byte 1
            // one below: box sums just above and just below a multiple of
            // the box size, on every step of the rounding.
            std::fill(img.data.begin(), img.data.end(), static_cast<std::uint8_t>(v + 1));
            img.data[0] = static_cast<std::uint8_t>(v + 2);
            img.data[1] = static_cast<std::uint8_t>(v);
            EXPECT_EQ(imageops::downscale(img.view(), f).pixels, reference_downscale(img, f)) << f << " " << v;
        }
    }
}

TEST(ImageOps, DownscaleSumsDoNotWrapForHugeBoxes)
{
    // 4200 × 4200 white pixels in one box: the sum, 4.5e9, is beyond 32 bits.
    const std::size_t n = 4200;
    Img img { n, n, 4 * n, Bytes(4 * n * n, 255) };
    const auto out = imageops::downscale(img.view(), n);
    ASSERT_EQ(out.width, 1u);
    EXPECT_EQ(out.pixels, (Bytes { 255, 255, 255, 255 }));
    // 257 white rows summed down a column: 65535, the most 16 bits hold.
    Img column { 257, 257, 4 * 257, Bytes(4 * 257 * 257, 255) };
    EXPECT_EQ(imageops::downscale(column.view(), 257).pixels, (Bytes { 255, 255, 255, 255 }));
}

TEST(ImageOps, BlurMatchesDirectSums)
{
    // Small (one thread) and large (workers) views, radii within and beyond
    // the image, and a tall narrow view (narrow column strips).
    struct Case {
        std::size_t w, h, r;
    };
    for (const Case c : { Case { 13, 9, 1 }, Case { 13, 9, 4 }, Case { 13, 9, 30 }, Case { 40, 30, 1000 }, Case { 40, 30, 5000 },
             Case { 300, 230, 2 }, Case { 300, 230, 20 }, Case { 260, 270, 150 }, Case { 20, 40000, 3 } }) {
        Img img = random_image(c.w, c.h, 8, static_cast<unsigned>(c.r + c.w));
        const Bytes want = reference_blur(packed(img), c.w, c.h, c.r);
        const Bytes padding_before = img.data;
        imageops::blur(img.mut(), c.r);
        EXPECT_TRUE(packed(img) == want) << c.w << "x" << c.h << " r " << c.r;
        // Row padding is left alone.
        for (std::size_t y = 0; y < c.h; ++y)
            for (std::size_t i = 4 * c.w; i < img.stride; ++i)
                ASSERT_EQ(img.data[y * img.stride + i], padding_before[y * img.stride + i]);
    }
}

TEST(ImageOps, BlurEdgeCases)
{
    // r = 1: the first horizontal pass turns a white pixel into three of 85.
    Img dot { 5, 5, 20, Bytes(100, 0) };
    dot.at(2, 2, 0) = 255;
    imageops::blur(dot.mut(), 1);
    const Bytes want = reference_blur(
        [&] {
            Bytes b(100, 0);
            b[(2 * 5 + 2) * 4] = 255;
            return b;
        }(),
        5, 5, 1);
    EXPECT_EQ(packed(dot), want);
    EXPECT_GT(dot.at(0, 0, 0), 0); // three passes reach the corners

    // A uniform image is unchanged at every radius.
    for (const std::size_t r : { 1u, 2u, 3u, 17u, 255u, 999u, 1000u }) {
        Img flat { 6, 4, 24, Bytes(96, 0) };
        for (std::size_t i = 0; i < 96; i += 4) {
            flat.data[i] = 0, flat.data[i + 1] = 77, flat.data[i + 2] = 254, flat.data[i + 3] = 255;
        }
        const Bytes before = flat.data;
        imageops::blur(flat.mut(), r);
        EXPECT_EQ(flat.data, before) << "r " << r;
    }

    // Radius 0 leaves the view alone; above 1000 acts as 1000.
    Img a = random_image(30, 20, 0, 9), b = a, c = a;
    imageops::blur(a.mut(), 0);
    EXPECT_EQ(a.data, c.data);
    imageops::blur(b.mut(), 1000);
    imageops::blur(c.mut(), 123456);
    EXPECT_EQ(b.data, c.data);
}

TEST(ImageOps, ShortBuffersStop)
{
    Img img = random_image(10, 10, 4, 1);
    const std::string short_data = "imageops: los datos son más cortos que las filas de la vista";
    // 10 rows of stride 44 need 44 × 9 + 40 bytes.
    const imageops::View shorter { { img.data.data(), 44 * 9 + 39 }, 10, 10, 44 };
    EXPECT_EQ(fatal_message([&] { imageops::opaque_bounds(shorter, 3); }), short_data);
    EXPECT_EQ(fatal_message([&] { imageops::crop(shorter, { 0, 0, 1, 1 }); }), short_data);
    EXPECT_EQ(fatal_message([&] { imageops::downscale(shorter, 2); }), short_data);
    EXPECT_EQ(fatal_message([&] { imageops::blur({ { img.data.data(), 44 * 9 + 39 }, 10, 10, 44 }, 3); }), short_data);
    EXPECT_EQ(fatal_message([&] { imageops::downscale({ { img.data.data(), 44 * 9 + 40 }, 10, 10, 44 }, 2); }), std::nullopt);
    EXPECT_EQ(fatal_message([&] {
        imageops::blur({ img.data, 10, 10, 39 }, 3);
    }),
        "imageops: el paso de fila es menor que 4 × ancho");
    EXPECT_EQ(fatal_message([&] { imageops::opaque_bounds(img.view(), 4); }), "imageops: posición de alfa fuera del píxel");
    // A stride whose row count overflows is caught, not wrapped.
    EXPECT_EQ(fatal_message([&] { imageops::crop({ img.data, 1, 3, SIZE_MAX / 2 + 1 }, { 0, 0, 1, 1 }); }), short_data);
}
