// Colour reduction and the size helpers.
#include "codec/gif.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using testing_support::fatal_message;

namespace {

uint32_t rgb(int r, int g, int b)
{
    return static_cast<uint32_t>(r) << 16 | static_cast<uint32_t>(g) << 8 | static_cast<uint32_t>(b);
}

} // namespace

TEST(GifColorSet, InsertFindAndPalettePositions)
{
    gif::ColorSet set;
    EXPECT_TRUE(set.insert(0x000000));
    EXPECT_TRUE(set.insert(0xFFFFFF));
    EXPECT_FALSE(set.insert(0x000000));
    EXPECT_EQ(set.find(0xFFFFFF), 1);
    EXPECT_EQ(set.find(0x123456), std::nullopt);
    // 256 colours fit; a 257th is a broken invariant, not a silent wrap.
    for (uint32_t c = 1; set.size() < 256; ++c)
        set.insert(c * 0x010101 + 7);
    EXPECT_EQ(set.find(255 * 0x010101 + 7), std::nullopt);
    EXPECT_TRUE(fatal_message([&] { set.insert(0xABCDEF); }).has_value());
    for (size_t i = 0; i < 256; ++i)
        EXPECT_EQ(set.find(set.colours()[i]), static_cast<uint8_t>(i));

    // A repeated palette colour keeps its first position.
    const auto from = gif::ColorSet::from_palette({ { 1, 2, 3 }, { 4, 5, 6 }, { 1, 2, 3 }, { 7, 8, 9 } });
    EXPECT_EQ(from.find(0x010203), 0);
    EXPECT_EQ(from.find(0x070809), 3);
    EXPECT_EQ(from.size(), 3u);
}

TEST(GifExactPalette, OneColourAndTheColourLimits)
{
    const std::vector<uint32_t> one(10, 0x445566);
    const auto e = gif::exact_palette(one, 256);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->palette, (gif::Palette { { 0x44, 0x55, 0x66 } }));
    EXPECT_EQ(e->indices, std::vector<uint8_t>(10, 0));

    std::vector<uint32_t> many(300);
    for (size_t i = 0; i < many.size(); ++i)
        many[i] = static_cast<uint32_t>(i % 256) * 0x010001;
    const auto full = gif::exact_palette(many, 256);
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ(full->palette.size(), 256u);
    for (size_t i = 0; i < many.size(); ++i)
        EXPECT_EQ(full->indices[i], i % 256);
    EXPECT_FALSE(gif::exact_palette(many, 255).has_value());
    // Unchanged pixels do not count as colours.
    many[255] |= gif::UNCHANGED;
    EXPECT_TRUE(gif::exact_palette(many, 255).has_value());
}

TEST(GifExactPalette, UnchangedPixelsContinueRunsOrBecomeTransparent)
{
    const uint32_t a = 0x0000AA, b = 0x0000BB, u = gif::UNCHANGED;
    const std::vector<uint32_t> px { u | a, a, u | a, u | b, b, u | b, u | a, a };
    const auto e = gif::exact_palette(px, 255);
    ASSERT_TRUE(e.has_value());
    // T = 2. A leading unchanged pixel has no run to continue.
    EXPECT_EQ(e->indices, (std::vector<uint8_t> { 2, 0, 0, 2, 1, 1, 2, 0 }));
}

TEST(GifHistogram, EmptyFewAndMany)
{
    gif::Histogram empty;
    EXPECT_EQ(empty.palette(255), (gif::Palette { { 0, 0, 0 } }));

    // Fewer bins than asked: one colour per bin, never split further.
    gif::Histogram few;
    for (int i = 0; i < 5; ++i)
        few.add(rgb(8, 16, 24));
    few.add(rgb(200, 100, 0));
    few.add(rgb(0, 0, 248));
    auto p = few.palette(16);
    std::sort(p.begin(), p.end(), [](auto x, auto y) { return std::tie(x.r, x.g, x.b) < std::tie(y.r, y.g, y.b); });
    EXPECT_EQ(p, (gif::Palette { { 0, 0, 248 }, { 8, 16, 24 }, { 200, 100, 0 } }));
    EXPECT_EQ(few.palette(0).size(), 1u);

    // A smooth field of colours: n colours that each land near the pixels.
    gif::Histogram many;
    std::mt19937 rng(5);
    std::vector<uint32_t> px(20000);
    for (auto& c : px) {
        c = rng() & 0xFFFFFF;
        many.add(c);
    }
    const auto palette = many.palette(255);
    EXPECT_EQ(palette.size(), 255u);
    const auto mapped = gif::map_nearest(px, 200, 0, 0, palette, false, 255, gif::NO_LIMIT);
    ASSERT_TRUE(mapped.has_value());
    double err = 0;
    for (size_t i = 0; i < px.size(); ++i) {
        const auto c = palette[(*mapped)[i]];
        err += std::abs(static_cast<int>(px[i] >> 16) - c.r) + std::abs(static_cast<int>((px[i] >> 8) & 0xFF) - c.g)
            + std::abs(static_cast<int>(px[i] & 0xFF) - c.b);
    }
    EXPECT_LT(err / (3.0 * px.size()), 20.0);
}

TEST(GifCube, StatisticsAndAxis)
{
    const std::vector<gif::ColorPoint> pts { { 0, 0, 0, 1 }, { 10, 0, 0, 3 } };
    const auto box = gif::cube(pts, 0, 2);
    EXPECT_FLOAT_EQ(box.r, 7.5f);
    EXPECT_EQ(box.axis, 0);
    EXPECT_GT(box.score, 0);
    EXPECT_EQ(gif::cube(pts, 1, 2).score, 0);  // one point: never split
    EXPECT_EQ(gif::cube(pts, 1, 1).score, 0);  // empty range keeps a finite mean
    // Ties go to the later channel.
    const std::vector<gif::ColorPoint> grey { { 0, 0, 0, 1 }, { 10, 10, 10, 1 } };
    EXPECT_EQ(gif::cube(grey, 0, 2).axis, 1);
}

TEST(GifMapNearest, LimitsAndUnchangedPixels)
{
    const gif::Palette palette { { 0, 0, 0 }, { 100, 100, 100 } };
    // Limit 0: a changed colour outside the palette fails the call...
    EXPECT_FALSE(gif::map_nearest(std::vector<uint32_t> { rgb(0, 0, 0), rgb(101, 100, 100) }, 2, 0, 0, palette, false, 2, 0).has_value());
    // ...an unchanged one never does, and becomes transparent unless it continues the run.
    const auto m = gif::map_nearest(std::vector<uint32_t> { gif::UNCHANGED | rgb(3, 0, 0), rgb(100, 100, 100), gif::UNCHANGED | rgb(101, 100, 100),
                                        gif::UNCHANGED | rgb(0, 0, 0), gif::UNCHANGED | rgb(110, 100, 100) },
        5, 0, 0, palette, false, 2, 0);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(*m, (std::vector<uint8_t> { 2, 1, 2, 2, 2 }));
    const auto loose = gif::map_nearest(std::vector<uint32_t> { rgb(100, 100, 100), gif::UNCHANGED | rgb(104, 100, 100), gif::UNCHANGED | rgb(105, 100, 100) },
        3, 0, 0, palette, false, 2, gif::NO_LIMIT);
    EXPECT_EQ(*loose, (std::vector<uint8_t> { 1, 1, 2 }));
}

TEST(GifMapNearest, DitherIsAnchoredToTheCanvas)
{
    gif::Palette greys;
    for (int i = 0; i < 256; ++i)
        greys.push_back({ static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i) });
    const std::vector<uint32_t> px(2, rgb(100, 100, 100));
    const auto at_origin = gif::map_nearest(px, 2, 0, 0, greys, true, 256, gif::NO_LIMIT);
    EXPECT_EQ(*at_origin, (std::vector<uint8_t> { 92, 100 }));  // offsets -8 and 0
    // The same pixels one column further right on the canvas: offsets 0 and -6.
    const auto shifted = gif::map_nearest(px, 2, 1, 0, greys, true, 256, gif::NO_LIMIT);
    EXPECT_EQ(*shifted, (std::vector<uint8_t> { 100, 94 }));
}

TEST(GifQuantize, ExactWhenItFitsElseAtMostMaxColours)
{
    std::vector<uint32_t> few { rgb(1, 2, 3), rgb(4, 5, 6), rgb(1, 2, 3) };
    const auto q = gif::quantize(few, 3, 0, 0, 256, false);
    EXPECT_EQ(q.palette.size(), 2u);
    EXPECT_EQ(q.indices, (std::vector<uint8_t> { 0, 1, 0 }));

    std::mt19937 rng(9);
    std::vector<uint32_t> px(64 * 64);
    for (size_t i = 0; i < px.size(); ++i) {
        const int x = static_cast<int>(i % 64), y = static_cast<int>(i / 64);
        px[i] = rgb(x * 4, y * 4, (x + y) * 2) | (i % 7 == 0 ? gif::UNCHANGED : 0);
    }
    for (bool dither : { false, true }) {
        const auto r = gif::quantize(px, 64, 3, 5, 255, dither);
        EXPECT_LE(r.palette.size(), 255u);
        for (uint8_t i : r.indices)
            EXPECT_LE(i, r.palette.size());
    }
}

TEST(GifSize, FitWidth)
{
    EXPECT_EQ(gif::fit_width(1920, 1080, 800), (gif::Size { 800, 450 }));
    EXPECT_EQ(gif::fit_width(700, 500, 800), (gif::Size { 700, 500 }));
    EXPECT_EQ(gif::fit_width(0, 0, 0), (gif::Size { 1, 1 }));
    EXPECT_EQ(gif::fit_width(5000, 1, 800), (gif::Size { 800, 1 }));
}

TEST(GifSize, ResizeAlwaysGivesTheRequestedSize)
{
    EXPECT_EQ(gif::resize(std::vector<uint32_t> { rgb(10, 20, 30), rgb(20, 30, 40) }, 2, 1, 1, 1), std::vector<uint32_t> { rgb(15, 25, 35) });
    // Area average of 2x2 blocks.
    std::vector<uint32_t> src(4 * 4);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = rgb(static_cast<int>(i * 10), 0, 255);
    const auto half = gif::resize(src, 4, 4, 2, 2);
    EXPECT_EQ(half, (std::vector<uint32_t> { rgb(25, 0, 255), rgb(45, 0, 255), rgb(105, 0, 255), rgb(125, 0, 255) }));
    // The same size is a copy; odd ratios and enlargements still give exactly
    // the size asked for, so a frame always matches the encoder.
    EXPECT_EQ(gif::resize(src, 4, 4, 4, 4), src);
    for (auto [dw, dh] : std::vector<std::pair<size_t, size_t>> { { 3, 3 }, { 1, 4 }, { 7, 2 }, { 9, 9 }, { 4, 1 } }) {
        const auto r = gif::resize(src, 4, 4, dw, dh);
        EXPECT_EQ(r.size(), dw * dh) << dw << "x" << dh;
        for (uint32_t p : r)
            EXPECT_EQ(p & 0xFF, 255u);  // a constant channel stays constant
    }
    EXPECT_EQ(gif::resize(std::vector<uint32_t> { rgb(7, 8, 9) }, 1, 1, 3, 2), std::vector<uint32_t>(6, rgb(7, 8, 9)));
    EXPECT_TRUE(gif::resize(src, 4, 4, 0, 5).empty());
    // Pixels that do not match the stated size are a broken contract.
    EXPECT_TRUE(fatal_message([&] { gif::resize(src, 5, 4, 2, 2); }).has_value());
}

TEST(GifMapNearest, FindsTheWeightedNearestWithLowestIndexOnTies)
{
    // Against a plain scan, one colour per call so no cell memory interferes.
    std::mt19937 rng(17);
    for (int round = 0; round < 3; ++round) {
        gif::Palette palette;
        for (int i = 0; i < 40 + round * 100; ++i)
            palette.push_back({ static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng() % 8 * 32), static_cast<uint8_t>(rng()) });
        palette.push_back(palette[3]);  // a duplicate must never win over the original
        for (int k = 0; k < 400; ++k) {
            const int r = static_cast<int>(rng() % 256), g = static_cast<int>(rng() % 256), b = static_cast<int>(rng() % 256);
            size_t best = 0;
            int best_d = 1 << 30;
            for (size_t i = 0; i < palette.size(); ++i) {
                const int dr = palette[i].r - r, dg = palette[i].g - g, db = palette[i].b - b;
                const int d = 3 * dr * dr + 4 * dg * dg + 2 * db * db;
                if (d < best_d) {
                    best_d = d;
                    best = i;
                }
            }
            const auto m = gif::map_nearest(std::vector<uint32_t> { rgb(r, g, b) }, 1, 0, 0, palette, false, 255, gif::NO_LIMIT);
            ASSERT_TRUE(m.has_value());
            EXPECT_EQ((*m)[0], best) << r << "," << g << "," << b;
        }
    }
}

TEST(GifQuantize, FewHundredShadesStayNearlyExact)
{
    // A gradient of 330 shades, most of them sharing 5-5-5 cells with their
    // neighbours: the histogram keeps them apart, so 256 palette entries
    // are all put to use and most pixels come back exactly.
    const size_t w = 330, h = 4;
    std::vector<uint32_t> px(w * h);
    for (size_t i = 0; i < px.size(); ++i)
        px[i] = rgb(40 + static_cast<int>(i % w) / 60, 60 + static_cast<int>(i % w) / 2, 90 + static_cast<int>(i % 2) * 3);
    const auto q = gif::quantize(px, w, 0, 0, 256, false);
    EXPECT_EQ(q.palette.size(), 256u);
    size_t exact = 0;
    int worst = 0;
    for (size_t i = 0; i < px.size(); ++i) {
        const auto c = q.palette[q.indices[i]];
        const int e = std::max({ std::abs(c.r - static_cast<int>(px[i] >> 16)), std::abs(c.g - static_cast<int>((px[i] >> 8) & 0xFF)),
            std::abs(c.b - static_cast<int>(px[i] & 0xFF)) });
        exact += e == 0;
        worst = std::max(worst, e);
    }
    EXPECT_GE(exact, px.size() * 6 / 10);
    EXPECT_LE(worst, 3);
}

TEST(GifHistogram, ManyColoursFallBackToCells)
{
    gif::Histogram h;
    for (uint32_t c = 0; c < gif::Histogram::EXACT_COLOURS; ++c)
        h.add(c * 4099);
    EXPECT_TRUE(h.exact());
    h.add(0xFFFFFF);
    EXPECT_FALSE(h.exact());
    const auto p = h.palette(255);
    EXPECT_EQ(p.size(), 255u);

    // Cleared, it counts exactly again and forgets every cell: the same
    // palette as a new histogram given the same colours.
    h.clear();
    EXPECT_TRUE(h.exact());
    EXPECT_EQ(h.palette(255), (gif::Palette { { 0, 0, 0 } }));
    gif::Histogram fresh;
    for (uint32_t c : { 0x102030u, 0x102030u, 0xF0E0D0u, 0x00FF00u }) {
        h.add(c);
        fresh.add(c);
    }
    EXPECT_TRUE(h.exact());
    EXPECT_EQ(h.palette(3), fresh.palette(3));
    EXPECT_EQ(h.palette(2), fresh.palette(2));
}
