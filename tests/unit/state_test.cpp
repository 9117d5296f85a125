#include "base/state.h"
#include "test_util.h"

#include <gtest/gtest.h>

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

TEST(State, SlotsBelongToTheMainThread)
{
    std::optional<std::string> stop;
    std::thread([&] { stop = fatal_message([] { (void)state::last_area(); }); }).join();
    EXPECT_EQ(stop, "hilo principal");
}
