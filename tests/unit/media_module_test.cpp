// The media module's loader: files that are not the module are refused with
// the text the log shows, never called.
#include "platform/media_module.h"

#include "test_util.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <cstdio>
#include <filesystem>
#include <fstream>

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

    // The tests link the modules' code: the tables are found without opening
    // a file, each holding its own module's entries and no other's.
    using platform::Module;
    const auto media = platform::media_module(Module::Media);
    const auto player = platform::media_module(Module::Player);
    const auto text = platform::media_module(Module::Text);
    ASSERT_TRUE(media && player && text);
    EXPECT_STREQ((*media)->version, VISTROPE_VERSION);
    EXPECT_TRUE((*media)->media && (*media)->capture_stream && (*media)->video_codecs && !(*media)->player_view && !(*media)->recognizer);
    EXPECT_TRUE((*player)->player_view && !(*player)->media && !(*player)->recognizer);
    EXPECT_TRUE((*text)->recognizer && !(*text)->media && !(*text)->player_view);
    EXPECT_EQ(platform::media_module_path().filename(), "vistrope-media.so");
    EXPECT_EQ(platform::media_module_path(Module::Player).filename(), "vistrope-player.so");
    EXPECT_EQ(platform::media_module_path(Module::Text).filename(), "vistrope-text.so");
}

// A module cut short (a copy or an update that stopped half way) is refused
// before the loader maps it: cut in its header, in its program headers, in
// its segments or just before its end, a real library is refused as cut, and
// whole it gets as far as the table. A FIFO under the name does not block.
// Without the check, the loader ends the process with SIGBUS.
TEST(MediaModule, ACutOrSpecialFileIsRefusedBeforeTheLoaderMapsIt)
{
    const testing_support::TempDir temp;
    Dl_info info {};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&zlibVersion), &info), 0);
    const std::filesystem::path library = info.dli_fname;
    const std::string bytes = testing_support::read_file(library);
    ASSERT_GT(bytes.size(), 4096u);
    ElfW(Ehdr) header {};
    std::memcpy(&header, bytes.data(), sizeof header);
    const auto refusal = [](const std::filesystem::path& path) {
        const auto checked = platform::check_module_file(path);
        return checked ? std::string("aceptado") : checked.error();
    };

    const auto copy = [&](std::size_t length) {
        const auto path = temp.path() / fmt::format("cortada-{}.so", length);
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(length));
        return path;
    };
    const std::size_t cuts[] = { sizeof header - 1, header.e_phoff + sizeof(ElfW(Phdr)) + 3, bytes.size() / 3, bytes.size() / 2,
        bytes.size() - 1 };
    for (const std::size_t length : cuts) {
        const auto path = copy(length);
        EXPECT_EQ(refusal(path), "el archivo está cortado") << length;
        const auto loaded = platform::load_media_module(path);
        ASSERT_FALSE(loaded) << length;
        EXPECT_EQ(loaded.error(), "no pude cargar el módulo de medios (" + path.string() + "): el archivo está cortado");
    }
    const auto whole = copy(bytes.size());
    EXPECT_EQ(refusal(whole), "aceptado");
    const auto other = platform::load_media_module(whole);
    ASSERT_FALSE(other);
    EXPECT_NE(other.error().find("no es un módulo de Vistrope"), std::string::npos) << other.error();

    const auto fifo = temp.path() / "tuberia.so";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(refusal(fifo), "no es un archivo normal");
    EXPECT_EQ(refusal(temp.path()), "no es un archivo normal");
    EXPECT_EQ(refusal(temp.path() / "falta.so"), "no existe");
}

} // namespace
