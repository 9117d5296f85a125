// The batch pipeline: differencing, cropping, merging, palettes, and the
// strongest check: exact colours decode back to exactly the source frames.
#include "codec/gif.h"
#include "gif_test_util.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

using namespace gif_test;
using testing_support::fatal_message;

namespace {

gif::Frame solid(size_t w, size_t h, uint32_t colour, uint16_t delay)
{
    return { std::vector<uint32_t>(w * h, colour), delay };
}

Decoded encode_and_decode(std::vector<gif::Frame> frames, size_t w, size_t h, gif::GifOptions options, gif::Counts* counts = nullptr)
{
    auto r = gif::encode(std::move(frames), w, h, std::move(options));
    EXPECT_TRUE(r.has_value());
    if (!r)
        return {};
    if (counts)
        *counts = r->counts;
    EXPECT_EQ(r->counts.bytes_written, r->bytes.size());
    auto d = decode_with_giflib(r->bytes);
    EXPECT_TRUE(d.ok) << d.error;
    expect_tools_accept(r->bytes, "pipeline output");
    return d;
}

// Each frame in its own batch, so the global palette comes from the first
// frame alone.
Decoded encode_one_per_batch(std::vector<gif::Frame> frames, size_t w, size_t h, gif::GifOptions options)
{
    gif::MemorySink sink;
    auto enc = gif::GifEncoder::create(sink, w, h, std::move(options));
    EXPECT_TRUE(enc.has_value());
    for (auto& f : frames) {
        EXPECT_TRUE(enc->push(std::move(f)).has_value());
        EXPECT_TRUE(enc->flush_batch().has_value());
    }
    EXPECT_TRUE(enc->finish().has_value());
    auto d = decode_with_giflib(sink.bytes());
    EXPECT_TRUE(d.ok) << d.error;
    expect_tools_accept(sink.bytes(), "one frame per batch");
    return d;
}

} // namespace

TEST(GifEncoder, RefusesBadSizesAndPalettes)
{
    EXPECT_EQ(gif::encode({}, 0, 10, {}).error(), "tamaño de GIF inválido");
    EXPECT_EQ(gif::encode({}, 65536, 10, {}).error(), "tamaño de GIF inválido");
    EXPECT_EQ(gif::encode({}, 10, 65536, {}).error(), "tamaño de GIF inválido");
    EXPECT_TRUE(gif::encode({}, 65535, 1, {}).has_value());
    EXPECT_EQ(gif::encode({}, 4, 4, { .palette = gif::Palette {} }).error(), "paleta fija inválida");
    EXPECT_EQ(gif::encode({}, 4, 4, { .palette = gif::Palette(256) }).error(), "paleta fija inválida");
    EXPECT_TRUE(gif::encode({}, 4, 4, { .palette = gif::Palette(255) }).has_value());

    // A frame of the wrong size is an error on every path, never a read past
    // the end of its pixels.
    std::vector<gif::Frame> frames;
    frames.push_back(solid(4, 4, 1, 5));
    frames.push_back(solid(4, 3, 1, 5));
    EXPECT_EQ(gif::encode(std::move(frames), 4, 4, {}).error(), "cuadro de tamaño distinto");
    gif::MemorySink sink;
    auto enc = gif::GifEncoder::create(sink, 4, 4, {});
    ASSERT_TRUE(enc.has_value());
    EXPECT_EQ(enc->push(solid(5, 4, 1, 5)).error(), "cuadro de tamaño distinto");
    EXPECT_EQ(enc->push({ {}, 5 }).error(), "cuadro de tamaño distinto");
    EXPECT_TRUE(enc->push(solid(4, 4, 1, 5)).has_value());
    EXPECT_EQ(enc->counts().frames_received, 1u);
}

TEST(GifEncoder, BatchSizes)
{
    EXPECT_EQ(gif::GifEncoder::batch_size_for(1920, 1080, 8), 8u);
    EXPECT_EQ(gif::GifEncoder::batch_size_for(800, 450, 8), 32u);
    EXPECT_EQ(gif::GifEncoder::batch_size_for(800, 450, 1), 4u);
    EXPECT_EQ(gif::GifEncoder::batch_size_for(8000, 8000, 2), 2u);
    EXPECT_EQ(gif::GifEncoder::batch_size_for(10, 10, 16), 64u);
}

TEST(GifEncoder, IdenticalFramesMergeTheirDelays)
{
    std::vector<gif::Frame> frames;
    frames.push_back(solid(6, 5, 0x102030, 5));
    frames.push_back(solid(6, 5, 0x102030, 7));
    gif::Counts counts;
    const auto d = encode_and_decode(std::move(frames), 6, 5, {}, &counts);
    ASSERT_EQ(d.images.size(), 1u);
    EXPECT_EQ(d.images[0].delay, 12);
    EXPECT_EQ(counts.frames_received, 2u);
    EXPECT_EQ(counts.frames_written, 1u);
}

TEST(GifEncoder, MergedDelaysKeepTheirWholeLength)
{
    // Three frames of 655.35 s each that never change: one picture shown for
    // 1966.05 s, carried by the frame and two filler images.
    std::vector<gif::Frame> frames;
    for (int i = 0; i < 3; ++i)
        frames.push_back(solid(3, 3, 0x445566, 65535));
    frames.push_back(solid(3, 3, 0x000001, 9));
    gif::Counts counts;
    const auto d = encode_and_decode(std::move(frames), 3, 3, { .palette = {}, .threads = 1 }, &counts);
    int total = 0;
    for (const auto& im : d.images)
        total += im.delay;
    EXPECT_EQ(total, 3 * 65535 + 9);
    EXPECT_EQ(d.screens.back(), std::vector<uint32_t>(9, 0x000001));
    EXPECT_EQ(d.screens[d.screens.size() - 2], std::vector<uint32_t>(9, 0x445566));
    EXPECT_EQ(counts.frames_written, d.images.size());
}

TEST(GifEncoder, FirstFrameIsWholeAndOpaqueEvenWhenBlack)
{
    std::vector<gif::Frame> frames;
    frames.push_back(solid(7, 4, 0, 10));
    const auto d = encode_and_decode(std::move(frames), 7, 4, {});
    ASSERT_EQ(d.images.size(), 1u);
    EXPECT_EQ(d.images[0].left, 0);
    EXPECT_EQ(d.images[0].width, 7);
    EXPECT_EQ(d.images[0].height, 4);
    EXPECT_EQ(d.images[0].transparent, -1);
}

TEST(GifEncoder, ASinglePixelChangeIsA1x1Image)
{
    std::vector<gif::Frame> frames;
    frames.push_back(solid(9, 8, 0x00FF00, 4));
    frames.push_back(solid(9, 8, 0x00FF00, 4));
    frames[1].pixels[5 * 9 + 6] = 0xFF0000;
    const auto d = encode_and_decode(std::move(frames), 9, 8, { .palette = {}, .threads = 3 });
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_EQ(d.images[1].left, 6);
    EXPECT_EQ(d.images[1].top, 5);
    EXPECT_EQ(d.images[1].width, 1);
    EXPECT_EQ(d.images[1].height, 1);
    EXPECT_EQ(d.screens[1][5 * 9 + 6], 0xFF0000u);
}

TEST(GifEncoder, ThresholdLetsSmallDriftsAddUp)
{
    // A pixel that moves by 2 in red per frame: unchanged at +2, written at +4.
    std::vector<gif::Frame> frames;
    for (uint32_t k = 0; k < 3; ++k) {
        auto f = solid(4, 4, 0x808080, 5);
        f.pixels[5] = 0x808080 + (2 * k << 16);
        frames.push_back(std::move(f));
    }
    gif::Counts counts;
    const auto d = encode_and_decode(std::move(frames), 4, 4, { .palette = {}, .threshold = 3 }, &counts);
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_EQ(d.images[0].delay, 10);
    EXPECT_EQ(d.screens[1][5], 0x848080u);
    EXPECT_EQ(d.images[1].width, 1);
}

TEST(GifEncoder, ThresholdRefreshesDriftsBetweenChangesOfARow)
{
    // Row 0 changes at x = 1 and x = 6. Between them a pixel 2 levels off is
    // rewritten and a pixel 1 level off is left; outside that span, and in
    // row 1 where nothing else changes, drifts stay within the threshold.
    const size_t w = 8, h = 2;
    auto frame = [&](std::initializer_list<std::pair<size_t, uint32_t>> set, uint16_t delay) {
        auto f = solid(w, h, 0x808080, delay);
        for (auto [i, c] : set)
            f.pixels[i] = c;
        return f;
    };
    for (size_t threads : { size_t { 1 }, size_t { 2 } }) {
        std::vector<gif::Frame> frames;
        frames.push_back(frame({}, 5));
        frames.push_back(frame({ { 1, 0xFF0000 }, { 3, 0x828080 }, { 4, 0x818080 }, { 6, 0x00FF00 }, { 7, 0x828080 }, { 10, 0x838080 } }, 5));
        // The rewritten pixel's canvas moved with it: +3 more is still within
        // the threshold, so this frame only lengthens the one before.
        frames.push_back(frame({ { 1, 0xFF0000 }, { 3, 0x858080 }, { 4, 0x818080 }, { 6, 0x00FF00 }, { 7, 0x828080 }, { 10, 0x838080 } }, 7));
        gif::Counts counts;
        const auto d = encode_and_decode(std::move(frames), w, h, { .palette = {}, .threads = threads, .threshold = 3 }, &counts);
        ASSERT_EQ(d.images.size(), 2u);
        EXPECT_EQ(counts.frames_written, 2u);
        EXPECT_EQ(d.images[1].left, 1);
        EXPECT_EQ(d.images[1].top, 0);
        EXPECT_EQ(d.images[1].width, 6);
        EXPECT_EQ(d.images[1].height, 1);
        EXPECT_EQ(d.images[1].delay, 12);
        const std::vector<uint32_t> expected { 0x808080, 0xFF0000, 0x808080, 0x828080, 0x808080, 0x808080, 0x00FF00, 0x808080,  //
            0x808080, 0x808080, 0x808080, 0x808080, 0x808080, 0x808080, 0x808080, 0x808080 };
        EXPECT_EQ(d.screens[1], expected) << threads << " threads";
    }
    // At threshold 1 the rule changes nothing: such pixels are changes already.
    std::vector<gif::Frame> frames { solid(4, 1, 0x808080, 5), solid(4, 1, 0x808080, 5) };
    frames[1].pixels = { 0xFF0000, 0x818080, 0x828080, 0x0000FF };
    const auto d = encode_and_decode(std::move(frames), 4, 1, { .palette = {}, .threshold = 1 });
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_EQ(d.screens[1], (std::vector<uint32_t> { 0xFF0000, 0x808080, 0x828080, 0x0000FF }));
}

TEST(GifEncoder, GlobalPaletteFromTheFirstBatch)
{
    // 200 colours: exactly those, in the order first seen.
    {
        gif::Frame f { std::vector<uint32_t>(20 * 10), 5 };
        auto colour = [](uint32_t j) { return j << 16 | (j * 2 & 0xFF) << 8 | (255 - j); };
        for (size_t i = 0; i < f.pixels.size(); ++i)
            f.pixels[i] = colour(199 - static_cast<uint32_t>(i % 200));
        auto r = gif::encode({ f }, 20, 10, {});
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->bytes[10], 0x87);
        EXPECT_EQ(gif_test::bytes_of({ r->bytes[13], r->bytes[14], r->bytes[15], r->bytes[16] }), gif_test::bytes_of({ 199, 142, 56, 198 }));
        const auto d = decode_with_giflib(r->bytes);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.screens[0], f.pixels);
        EXPECT_FALSE(d.images[0].local_table);  // 200 colours, all in the global table
        expect_tools_accept(r->bytes, "first-seen palette");
    }
    // 4096 colours: a median cut of at most 255, still with a spare entry.
    {
        gif::Frame f { std::vector<uint32_t>(64 * 64), 5 };
        for (size_t i = 0; i < f.pixels.size(); ++i)
            f.pixels[i] = static_cast<uint32_t>((i & 15) << 20 | ((i >> 4) & 15) << 12 | (i >> 8) << 4);
        auto r = gif::encode({ f }, 64, 64, {});
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->bytes[10], 0x87);
        const auto d = decode_with_giflib(r->bytes);
        ASSERT_TRUE(d.ok);
        // The frame has its own quantised table; colours land near the source.
        double err = 0;
        for (size_t i = 0; i < f.pixels.size(); ++i)
            for (int s : { 0, 8, 16 })
                err += std::abs(static_cast<int>((f.pixels[i] >> s) & 0xFF) - static_cast<int>((d.screens[0][i] >> s) & 0xFF));
        EXPECT_LT(err / (3.0 * f.pixels.size()), 14.0);
        expect_tools_accept(r->bytes, "median cut");
    }
}

TEST(GifEncoder, FewColoursGetALocalTableEvenWhenGlobalHasThem)
{
    std::vector<gif::Frame> frames;
    gif::Frame first { std::vector<uint32_t>(16 * 16), 5 };
    for (size_t i = 0; i < first.pixels.size(); ++i)
        first.pixels[i] = static_cast<uint32_t>(i % 100) * 0x020202;  // 100 colours: not a small frame
    frames.push_back(first);
    gif::Frame second = first;
    for (size_t i = 0; i < 16; ++i)
        second.pixels[i] = first.pixels[(i + 1) % 3 + 16];  // three colours of the global palette
    frames.push_back(second);
    const auto d = encode_one_per_batch(std::move(frames), 16, 16, {});
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_FALSE(d.images[0].local_table);
    EXPECT_TRUE(d.images[1].local_table);
    EXPECT_EQ(d.screens[1], second.pixels);
}

TEST(GifEncoder, NewColoursWithoutToleranceGetTheirOwnPalette)
{
    std::vector<gif::Frame> frames;
    frames.push_back(solid(32, 32, 0x111111, 5));
    gif::Frame second { std::vector<uint32_t>(32 * 32), 5 };
    for (size_t i = 0; i < second.pixels.size(); ++i)
        second.pixels[i] = static_cast<uint32_t>(i % 150) * 0x010101 + 0x200000;
    frames.push_back(second);
    const auto d = encode_one_per_batch(frames, 32, 32, {});
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_TRUE(d.images[1].local_table);
    EXPECT_EQ(d.screens[1], second.pixels);


    // With a tolerance, a frame of many colours close to the global palette
    // uses the global table instead of its own.
    frames.clear();
    gif::Frame base { std::vector<uint32_t>(32 * 32), 5 };
    for (size_t i = 0; i < base.pixels.size(); ++i)
        base.pixels[i] = static_cast<uint32_t>(i % 100) * 0x020202;
    gif::Frame near = base;
    for (auto& p : near.pixels)
        p += 0x010000;
    frames.push_back(base);
    frames.push_back(near);
    const auto t = encode_one_per_batch(frames, 32, 32, { .palette = {}, .tolerance = 8 });
    ASSERT_EQ(t.images.size(), 2u);
    EXPECT_FALSE(t.images[1].local_table);
    // Every changed colour lands within the tolerance (the first colour met
    // in a 6-6-6 cell picks the cell's entry, not always the nearest one).
    for (size_t i = 0; i < near.pixels.size(); ++i)
        for (int shift : { 0, 8, 16 })
            EXPECT_LE(std::abs(static_cast<int>((t.screens[1][i] >> shift) & 0xFF) - static_cast<int>((near.pixels[i] >> shift) & 0xFF)), 8);
    const auto exact = encode_one_per_batch(frames, 32, 32, {});
    ASSERT_EQ(exact.images.size(), 2u);
    EXPECT_TRUE(exact.images[1].local_table);
    EXPECT_EQ(exact.screens[1], near.pixels);
}

TEST(GifEncoder, FixedPaletteMapsEveryFrame)
{
    const gif::Palette palette { { 0, 0, 0 }, { 255, 255, 255 }, { 255, 0, 0 } };
    std::vector<gif::Frame> frames;
    frames.push_back(solid(5, 5, 0xF01010, 5));
    frames.push_back(solid(5, 5, 0xF0F0F0, 5));
    const auto d = encode_and_decode(std::move(frames), 5, 5, { .palette = palette });
    ASSERT_EQ(d.images.size(), 2u);
    EXPECT_FALSE(d.images[0].local_table);
    EXPECT_EQ(d.screens[0], std::vector<uint32_t>(25, 0xFF0000));
    EXPECT_EQ(d.screens[1], std::vector<uint32_t>(25, 0xFFFFFF));
}

namespace {

// Random few-colour frames with local changes: some rectangles of a handful
// of colours, some of many colours from the first frame's palette, some of
// many new colours; now and then a frame that repeats the one before.
std::vector<gif::Frame> random_clip(size_t w, size_t h, size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint32_t> pool(400);
    for (auto& c : pool)
        c = rng() & 0xFFFFFF;
    std::vector<gif::Frame> frames;
    std::vector<uint32_t> screen(w * h);
    for (auto& p : screen)
        p = pool[rng() % 120];
    frames.push_back({ screen, static_cast<uint16_t>(3 + rng() % 5) });
    for (size_t k = 1; k < count; ++k) {
        if (rng() % 8 != 0) {
            // At most one rectangle of many colours per frame, so every frame
            // stays within 255 colours and must come back exactly.
            const uint32_t many = rng() % 3;
            for (uint32_t r = 0, n = 1 + rng() % 3; r < n; ++r) {
                const size_t x0 = rng() % w, y0 = rng() % h;
                const size_t x1 = std::min(w, x0 + 1 + rng() % (w / 2)), y1 = std::min(h, y0 + 1 + rng() % (h / 2));
                std::vector<uint32_t> colours;
                if (r == 0 && many == 1)
                    colours.assign(pool.begin(), pool.begin() + 120);
                else if (r == 0 && many == 2)
                    colours.assign(pool.begin() + 120 + rng() % 100, pool.begin() + 300);
                else
                    for (int i = 0; i < 1 + static_cast<int>(rng() % 6); ++i)
                        colours.push_back(pool[rng() % pool.size()]);
                for (size_t y = y0; y < y1; ++y)
                    for (size_t x = x0; x < x1; ++x)
                        screen[y * w + x] = colours[rng() % colours.size()];
            }
        }
        frames.push_back({ screen, static_cast<uint16_t>(3 + rng() % 5) });
    }
    return frames;
}

} // namespace

TEST(GifEncoder, ExactColoursDecodeToTheSourceFrames)
{
    const size_t w = 61, h = 37;
    auto clip = random_clip(w, h, 60, 99);
    // A first batch that only repeats the first picture: the global palette
    // holds its colours, and later frames need local tables as well.
    clip.insert(clip.begin() + 1, gif::GifEncoder::BATCH_THREADS * 4 - 1, clip.front());
    // What the screen should show, frame by frame, once repeats are merged.
    std::vector<std::vector<uint32_t>> expected;
    std::vector<int> delays;
    for (const auto& f : clip) {
        if (!expected.empty() && expected.back() == f.pixels) {
            delays.back() += f.delay;
            continue;
        }
        expected.push_back(f.pixels);
        delays.push_back(f.delay);
    }
    ASSERT_GT(clip.size(), expected.size());

    std::vector<uint8_t> first_bytes;
    for (size_t threads : { size_t { 1 }, size_t { 5 } }) {
        const gif::GifOptions options { .palette = {}, .threads = threads };
        auto r = gif::encode(clip, w, h, options);
        ASSERT_TRUE(r.has_value());
        const auto d = decode_with_giflib(r->bytes);
        ASSERT_TRUE(d.ok) << d.error;
        ASSERT_EQ(d.screens.size(), expected.size()) << threads;
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(d.screens[i], expected[i]) << "frame " << i << ", " << threads << " threads";
            EXPECT_EQ(d.images[i].delay, delays[i]) << i;
        }
        EXPECT_EQ(r->counts.frames_received, clip.size());
        EXPECT_EQ(r->counts.frames_written, expected.size());
        expect_tools_accept(r->bytes, "exact clip");

        const auto by_ffmpeg = decode_with_ffmpeg(r->bytes, static_cast<int>(w), static_cast<int>(h));
        ASSERT_EQ(by_ffmpeg.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(by_ffmpeg[i], expected[i]) << "ffmpeg frame " << i;

        // The same input gives the same bytes every time.
        auto again = gif::encode(clip, w, h, options);
        ASSERT_TRUE(again.has_value());
        EXPECT_EQ(again->bytes, r->bytes);
        // Handed back, every pushed buffer comes back once and whole
        // (unchanged, cropped and whole frames alike), and the file is the
        // same; scribbling over a buffer once it is back changes nothing.
        gif::GifOptions recycling = options;
        size_t back = 0;
        recycling.spent = [&](std::vector<uint32_t> pixels) {
            EXPECT_EQ(pixels.size(), w * h);
            std::fill(pixels.begin(), pixels.end(), 0x123456u);
            ++back;
        };
        auto recycled = gif::encode(clip, w, h, recycling);
        ASSERT_TRUE(recycled.has_value());
        EXPECT_EQ(recycled->bytes, r->bytes);
        EXPECT_EQ(back, clip.size());
        if (first_bytes.empty())
            first_bytes = r->bytes;
    }
    // Local tables, global mapping and full exact palettes were all exercised.
    const auto d = decode_with_giflib(first_bytes);
    std::set<bool> tables;
    for (const auto& im : d.images)
        tables.insert(im.local_table);
    EXPECT_EQ(tables.size(), 2u);
}

TEST(GifEncoder, ThresholdKeepsEveryPixelClose)
{
    // Pixels drift by a few levels per frame and some areas change outright.
    // What is on screen may lag the source, but never by more than twice the
    // threshold (the kept canvas value is within it, and so is what a run
    // wrote over it).
    const size_t w = 40, h = 30;
    const int t = 3;
    std::mt19937 rng(77);
    std::vector<uint32_t> screen(w * h);
    for (auto& p : screen)
        p = (rng() % 8) * 0x1F1F1F;
    std::vector<gif::Frame> clip;
    for (int k = 0; k < 30; ++k) {
        for (auto& p : screen)
            if (rng() % 3 == 0) {
                const int d = static_cast<int>(rng() % 5) - 2;
                const int v = std::clamp(static_cast<int>(p & 0xFF) + d, 0, 255);
                p = (p & 0xFFFF00) | static_cast<uint32_t>(v);
            }
        const size_t x0 = rng() % w, y0 = rng() % h;
        for (size_t y = y0; y < std::min(h, y0 + 5); ++y)
            for (size_t x = x0; x < std::min(w, x0 + 7); ++x)
                screen[y * w + x] = (rng() % 8) * 0x1F1F1F;
        clip.push_back({ screen, 4 });
    }
    for (size_t threads : { size_t { 1 }, size_t { 4 } }) {
        auto r = gif::encode(clip, w, h, { .palette = {}, .threads = threads, .dither = false, .threshold = t, .tolerance = 0 });
        ASSERT_TRUE(r.has_value());
        const auto d = decode_with_giflib(r->bytes);
        ASSERT_TRUE(d.ok) << d.error;
        ASSERT_EQ(d.screens.size(), clip.size());  // every frame changed somewhere
        for (size_t k = 0; k < clip.size(); ++k)
            for (size_t i = 0; i < w * h; ++i)
                for (int s : { 0, 8, 16 }) {
                    const int diff = std::abs(static_cast<int>((clip[k].pixels[i] >> s) & 0xFF) - static_cast<int>((d.screens[k][i] >> s) & 0xFF));
                    ASSERT_LE(diff, 2 * t) << "frame " << k << " pixel " << i;
                }
        expect_tools_accept(r->bytes, "threshold clip");
    }
}

TEST(GifEncoder, DitherAndToleranceGiveValidFiles)
{
    // Many colours, every option: the files must stay valid and close.
    const size_t w = 48, h = 20;
    std::vector<gif::Frame> clip;
    for (uint32_t k = 0; k < 6; ++k) {
        gif::Frame f { std::vector<uint32_t>(w * h), 5 };
        for (size_t i = 0; i < f.pixels.size(); ++i)
            f.pixels[i] = static_cast<uint32_t>(((i * 7 + k * 13) & 0xFF) << 16 | ((i / w * 12) & 0xFF) << 8 | ((i * 3 + k) & 0xFF));
        clip.push_back(std::move(f));
    }
    for (bool dither : { false, true })
        for (uint8_t tolerance : { uint8_t { 0 }, uint8_t { 8 } }) {
            auto r = gif::encode(clip, w, h, { .palette = {}, .threads = 2, .dither = dither, .threshold = 2, .tolerance = tolerance });
            ASSERT_TRUE(r.has_value());
            const auto d = decode_with_giflib(r->bytes);
            ASSERT_TRUE(d.ok) << d.error;
            double err = 0;
            for (size_t i = 0; i < w * h; ++i)
                for (int s : { 0, 8, 16 })
                    err += std::abs(static_cast<int>((clip.back().pixels[i] >> s) & 0xFF) - static_cast<int>((d.screens.back()[i] >> s) & 0xFF));
            EXPECT_LT(err / (3.0 * w * h), 12.0) << dither << " " << int(tolerance);
            expect_tools_accept(r->bytes, "options");
        }
}

TEST(GifEncoder, TheSameFramesGiveTheSameBytesAtAnyThreadCount)
{
    // Every frame brings colours of its own, so a palette taken from a
    // batch of another length would differ.
    std::vector<gif::Frame> frames;
    for (uint32_t k = 0; k < 48; ++k) {
        gif::Frame f { std::vector<uint32_t>(40 * 24), 4 };
        for (size_t i = 0; i < f.pixels.size(); ++i)
            f.pixels[i] = ((k * 37 + static_cast<uint32_t>(i % 9) * 11) & 0xFF) << 16 | (k * 5) << 8 | static_cast<uint32_t>(i % 7) * 30;
        frames.push_back(std::move(f));
    }
    std::optional<std::vector<uint8_t>> first;
    for (size_t threads : { 1, 2, 3, 8, 16 }) {
        gif::GifOptions options;
        options.threads = threads;
        options.threshold = 3;
        auto encoded = gif::encode(frames, 40, 24, options);
        ASSERT_TRUE(encoded) << threads;
        if (!first)
            first = encoded->bytes;
        else
            EXPECT_EQ(encoded->bytes, *first) << threads << " threads";
    }
}
