// The media module's loader: files that are not the module are refused with
// the text the log shows, never called.
#include "platform/media_module.h"

#include "base/sound.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

namespace {

TEST(MediaModule, WrongFilesAreRefusedWithTheirReason)
{
    const testing_support::TempDir temp;
    const std::filesystem::path& dir = temp.path();

    const auto missing = platform::load_media_module(dir / "vistrope-media.so");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().rfind("no pude cargar el módulo de medios (" + (dir / "vistrope-media.so").string() + "): ", 0), 0u)
        << missing.error();

    std::ofstream(dir / "basura.so") << "no soy una biblioteca";
    const auto garbage = platform::load_media_module(dir / "basura.so");
    ASSERT_FALSE(garbage);
    EXPECT_NE(garbage.error().find("basura.so"), std::string::npos) << garbage.error();

    // A real library without the table.
    const auto other = platform::load_media_module("libz.so.1");
    ASSERT_FALSE(other);
    EXPECT_NE(other.error().find("no es un módulo de Vistrope"), std::string::npos) << other.error();

    // The tests link the module's code: the table is found without opening a file.
    const auto linked = platform::media_module();
    ASSERT_TRUE(linked) << linked.error();
    EXPECT_STREQ((*linked)->version, VISTROPE_VERSION);
    EXPECT_EQ(platform::media_module_path().filename(), "vistrope-media.so");
}

// The shutter made while the module loads is kept for the whole session:
// once the module has loaded, its plays start at once instead of half a
// second later from the main queue (which this test never runs, so a play
// still deferred would leave wait_idle waiting).
TEST(MediaModule, ASoundMadeWhileTheModuleLoadedPlaysAtOnceOnceItHas)
{
    ASSERT_TRUE(platform::media_module()); // loaded (linked in)
    const std::vector<std::uint8_t> wav = sound::shutter_wav();
    std::shared_ptr<platform::SoundPlayer> player = platform::create_deferred_sound(wav);
    ASSERT_TRUE(player);
    for (int i = 0; i < 2; ++i) {
        player->play();
        // Kept alive by the waiting thread, should the play still be deferred.
        auto idle = std::make_shared<std::promise<void>>();
        std::future<void> done = idle->get_future();
        std::thread([player, idle] {
            player->wait_idle();
            idle->set_value();
        }).detach();
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "play " << i << " was deferred";
    }
}

} // namespace
