#include "base/state.h"
#include "capture/output.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <thread>

using namespace testing_support;

TEST(State, FirstConfigReadCreatesTheFileAndReadersKeepTheirRecord)
{
    TempHome home;
    state::reset_for_tests();
    auto first = state::config();
    EXPECT_EQ(*first, config::Config {});
    EXPECT_TRUE(std::filesystem::exists(config::Config::path()));

    auto changed = std::make_shared<config::Config>();
    changed->self_timer_seconds = 9;
    state::set_config(changed);
    EXPECT_EQ(first->self_timer_seconds, 5u) << "an older reader keeps its values";
    EXPECT_EQ(state::config()->self_timer_seconds, 9u);
    state::reset_for_tests();
}

TEST(State, LastShotAndItsFile)
{
    state::reset_for_tests();
    EXPECT_FALSE(state::last_shot());
    state::record_last_shot_file("/tmp/dropped.png");
    EXPECT_FALSE(state::last_shot()) << "a path with no shot is dropped";

    QImage a(4, 3, QImage::Format_ARGB32_Premultiplied);
    a.fill(Qt::red);
    state::set_last_shot(a, 2.0);
    auto shot = state::last_shot();
    ASSERT_TRUE(shot);
    EXPECT_FALSE(shot->file);
    EXPECT_EQ(shot->scale, 2.0);
    EXPECT_EQ(shot->image.size(), QSize(4, 3));

    // A write finishing after a newer capture records its path in the newer shot.
    QImage b(5, 5, QImage::Format_ARGB32_Premultiplied);
    state::set_last_shot(b, 1.0);
    state::record_last_shot_file("/tmp/late.png");
    shot = state::last_shot();
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->image.size(), QSize(5, 5));
    EXPECT_EQ(shot->file, std::filesystem::path("/tmp/late.png"));

    state::set_last_area({ 7, 1, 2, 3, 4 });
    EXPECT_EQ(state::last_area(), (state::LastArea { 7, 1, 2, 3, 4 }));
    state::reset_for_tests();
}

// Once delivery's PNG is made, the last shot keeps it in place of the
// pixels; asked for, it gives the very picture back, keeps its key and file,
// and a newer shot leaves nothing of it.
// A long scrolling capture is more than Qt's reader takes by default (128 MB
// unpacked); read back from its PNG it must still be whole.
TEST(State, AHugePictureComesBackWholeFromItsPng)
{
    QImage tall(1800, 19000, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < tall.height(); ++y)
        std::fill_n(reinterpret_cast<QRgb*>(tall.scanLine(y)), tall.width(), qRgb(y % 251, 40, 200));
    const state::PngPicture png { std::make_shared<const std::vector<std::uint8_t>>(output::encode(tall, 1.0)), tall.format(),
        tall.colorSpace() };
    const QImage back = png.read();
    ASSERT_EQ(back.size(), tall.size());
    EXPECT_EQ(back.pixel(1799, 18999), tall.pixel(1799, 18999));
    EXPECT_EQ(back.pixel(0, 12345), tall.pixel(0, 12345));
}

TEST(State, TheLastShotKeepsItsPngInPlaceOfItsPixels)
{
    state::reset_for_tests();
    QImage a(7, 5, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            a.setPixel(x, y, qPremultiply(qRgba(x * 30, y * 50, 90, x == 0 ? 100 : 255)));
    state::set_last_shot(a, 2.0);
    const qint64 key = state::last_shot_key();
    EXPECT_EQ(key, a.cacheKey());
    const state::PngPicture png { std::make_shared<const std::vector<std::uint8_t>>(output::encode(a, 2.0)), a.format(), a.colorSpace() };
    state::keep_last_shot_as_png(key + 1, png);
    EXPECT_EQ(state::last_shot()->image.cacheKey(), key) << "another shot's PNG changes nothing";
    state::keep_last_shot_as_png(key, png);
    state::record_last_shot_file("/tmp/a.png");
    auto shot = state::last_shot();
    ASSERT_TRUE(shot);
    EXPECT_NE(shot->image.cacheKey(), key) << "read back from the PNG";
    EXPECT_EQ(shot->image, a);
    EXPECT_EQ(shot->image.format(), a.format());
    EXPECT_EQ(shot->key, key);
    EXPECT_EQ(shot->scale, 2.0);
    EXPECT_EQ(shot->file, std::filesystem::path("/tmp/a.png"));
    EXPECT_EQ(state::last_shot_key(), key);

    QImage b(3, 3, QImage::Format_ARGB32_Premultiplied);
    b.fill(Qt::blue);
    state::set_last_shot(b, 1.0);
    EXPECT_EQ(state::last_shot()->image.cacheKey(), b.cacheKey());
    EXPECT_FALSE(state::last_shot()->file);
    state::reset_for_tests();
}

TEST(State, SlotsBelongToTheMainThread)
{
    std::optional<std::string> stop;
    std::thread([&] { stop = fatal_message([] { (void)state::last_area(); }); }).join();
    EXPECT_EQ(stop, "hilo principal");
}
