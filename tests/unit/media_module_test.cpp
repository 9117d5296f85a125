// The media module's loader: files that are not the module are refused with
// the text the log shows, never called.
#include "platform/media_module.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

TEST(MediaModule, WrongFilesAreRefusedWithTheirReason)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vistrope-media-module-test";
    std::filesystem::create_directories(dir);

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
    std::filesystem::remove_all(dir);
}

} // namespace
