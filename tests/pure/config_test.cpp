#include "base/config.h"
#include "test_util.h"

#include <gtest/gtest.h>


using namespace testing_support;
namespace fs = std::filesystem;

namespace {

fs::path settings_path(const TempHome& home)
{
    return home.path() / ".config/vistrope/config.toml";
}

} // namespace

TEST(ConfigFile, PathFollowsHome)
{
    TempHome home;
    EXPECT_EQ(config::Config::path(), settings_path(home));
    ScopedEnv no_home("HOME", std::nullopt);
    EXPECT_EQ(config::Config::path(), fs::path("/tmp/.config/vistrope/config.toml"));
}

TEST(ConfigFile, MissingFileIsCreatedWithEveryDefaultInDeclaredOrder)
{
    TempHome home;
    const config::Config loaded = config::Config::load();
    EXPECT_EQ(loaded, config::Config {});
    const std::string text = read_file(settings_path(home));
    // Plain keys first, in declared order, then the three tables in order.
    // Keys only: the quoting style is the TOML library's.
    const char* order[] = { "save_dir =", "quick_access_seconds = 0.0", "freeze_screen = true", "show_magnifier = true",
        "show_crosshair = true", "show_mode_bar = true", "window_shadow = true", "self_timer_seconds = 5",
        "update_feed =", "[after_capture]", "copy_to_clipboard = true", "save = true", "show_quick_access = true",
        "play_sound = true", "flash = true", "[shortcuts]", "capture_area =", "capture_fullscreen =", "capture_window =",
        "capture_previous_area =", "capture_text =", "record_screen =", "pin_last =", "open_last_in_editor =",
        "capture_scrolling =", "[recording]", "fps = 60", "hevc = false", "show_cursor = true", "system_audio = false",
        "microphone = false", "countdown_seconds = 0", "reveal_in_finder = false", "gif_fps = 15", "gif_max_width = 800",
        "show_clicks = true", "show_keys = false", "show_all_keys = false" };
    size_t at = 0;
    for (const char* piece : order) {
        const size_t found = text.find(piece, at);
        ASSERT_NE(found, std::string::npos) << piece << "\n" << text;
        at = found;
    }
    // The written document reads back to the same record.
    auto again = config::parse(text);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, config::Config {});
}

TEST(ConfigFile, EmptyFileGivesDefaultsAndStaysEmpty)
{
    TempHome home;
    write_file(settings_path(home), "");
    EXPECT_EQ(config::Config::load(), config::Config {});
    EXPECT_EQ(read_file(settings_path(home)), "");
}

TEST(ConfigFile, MissingKeysTakeTheirDefaults)
{
    auto c = config::parse("[recording]\nfps = 30\n");
    ASSERT_TRUE(c);
    config::Config expected;
    expected.recording.fps = 30;
    EXPECT_EQ(*c, expected);

    auto inline_table = config::parse("after_capture = { save = false }\n");
    ASSERT_TRUE(inline_table);
    EXPECT_FALSE(inline_table->after_capture.save);
    EXPECT_TRUE(inline_table->after_capture.flash);

    auto integer_seconds = config::parse("quick_access_seconds = 3\n");
    ASSERT_TRUE(integer_seconds);
    EXPECT_DOUBLE_EQ(integer_seconds->quick_access_seconds, 3.0);
}

TEST(ConfigFile, WrongTypesInvalidateTheWholeDocument)
{
    for (const char* bad : { "self_timer_seconds = \"5\"\n", "self_timer_seconds = -1\n", "self_timer_seconds = 5.0\n",
             "self_timer_seconds = 4294967296\n", "freeze_screen = 1\n", "save_dir = 3\n", "after_capture = 5\n",
             "[shortcuts]\npin_last = true\n", "save_dir = \"a\"\nsave_dir = \"b\"\n", "[recording\n", "quick_access_seconds = \"x\"\n" }) {
        auto c = config::parse(bad);
        EXPECT_FALSE(c) << bad;
    }
    EXPECT_TRUE(config::parse("self_timer_seconds = 4294967295\n"));
    auto table = config::parse("recording = 5\n");
    ASSERT_FALSE(table);
    EXPECT_NE(table.error().find("una tabla [recording]"), std::string::npos) << table.error();
    auto where = config::parse("\nself_timer_seconds = \"5\"\n");
    ASSERT_FALSE(where);
    EXPECT_NE(where.error().find("línea 2"), std::string::npos) << where.error();
    // Out of range: the value and the key are named.
    auto range = config::parse("self_timer_seconds = -1\n");
    ASSERT_FALSE(range);
    EXPECT_NE(range.error().find("`-1`"), std::string::npos) << range.error();
    EXPECT_NE(range.error().find("`self_timer_seconds`"), std::string::npos) << range.error();
    // A file that is not TOML at all: where, in our words.
    auto syntax = config::parse("save_dir = \"a\"\n[recording\n");
    ASSERT_FALSE(syntax);
    EXPECT_TRUE(syntax.error().starts_with("TOML no válido en la línea 2")) << syntax.error();
}

TEST(ConfigFile, InvalidFileGivesDefaultsAndIsLeftAlone)
{
    TempHome home;
    const std::string original = "self_timer_seconds = 5.0\nsave_dir = \"/x\"\n";
    write_file(settings_path(home), original);
    EXPECT_EQ(config::Config::load(), config::Config {});
    EXPECT_EQ(read_file(settings_path(home)), original);
}

TEST(ConfigFile, UnreadableOrNonUtf8FileIsNeverOverwritten)
{
    TempHome home;
    const std::string bad_utf8 = "save_dir = \"\xff\xfe\"\n";
    write_file(settings_path(home), bad_utf8);
    EXPECT_EQ(config::Config::load(), config::Config {});
    EXPECT_EQ(read_file(settings_path(home)), bad_utf8);

    // A directory in place of the file: defaults, and the directory stays.
    fs::remove(settings_path(home));
    fs::create_directories(settings_path(home));
    EXPECT_EQ(config::Config::load(), config::Config {});
    EXPECT_TRUE(fs::is_directory(settings_path(home)));
    EXPECT_FALSE(config::Config {}.save()) << "saving over a directory must fail";

    // A dangling symbolic link is a file that exists: it is not replaced.
    fs::remove(settings_path(home));
    fs::create_symlink(home.path() / "nowhere.toml", settings_path(home));
    EXPECT_EQ(config::Config::load(), config::Config {});
    EXPECT_TRUE(fs::is_symlink(settings_path(home)));
}

TEST(ConfigFile, UnknownKeysAreIgnoredAndDroppedOnTheNextSave)
{
    TempHome home;
    write_file(settings_path(home), "mystery = 1\nsave_dir = \"/caps\"\n[after_capture]\nsave = false\nextra = \"x\"\n[other]\nk = 1\n");
    config::Config c = config::Config::load();
    EXPECT_EQ(c.save_dir, "/caps");
    EXPECT_FALSE(c.after_capture.save);
    ASSERT_TRUE(c.save());
    const std::string text = read_file(settings_path(home));
    EXPECT_EQ(text.find("mystery"), std::string::npos);
    EXPECT_EQ(text.find("extra"), std::string::npos);
    EXPECT_EQ(text.find("[other]"), std::string::npos);
    EXPECT_EQ(config::Config::load().save_dir, "/caps");
}

TEST(ConfigFile, SaveReplacesAtomicallyAndLeavesNoTemporaryFile)
{
    TempHome home;
    write_file(settings_path(home), "save_dir = \"/old\"\n");
    config::Config c;
    c.save_dir = "/new \"quoted\" \\ path";
    c.shortcuts.pin_last = "";
    c.quick_access_seconds = 2.5;
    ASSERT_TRUE(c.save());
    EXPECT_EQ(config::Config::load(), c);
    for (const auto& entry : fs::directory_iterator(settings_path(home).parent_path()))
        EXPECT_EQ(entry.path().filename(), "config.toml");
}

TEST(ConfigFile, FailedRenameRemovesTheTemporaryFile)
{
    TempHome home;
    // A non-empty folder where the file should be: the rename fails, even as root.
    write_file(settings_path(home) / "keep", "x");
    auto saved = config::Config {}.save();
    ASSERT_FALSE(saved);
    EXPECT_FALSE(saved.error().empty());
    for (const auto& entry : fs::directory_iterator(settings_path(home).parent_path()))
        EXPECT_EQ(entry.path().filename(), "config.toml");
    EXPECT_EQ(read_file(settings_path(home) / "keep"), "x");
}

TEST(ConfigFile, OlderFeedAddressMigratesInMemoryOnly)
{
    EXPECT_EQ(config::OLD_DEFAULT_FEED.size(), 33u);
    EXPECT_EQ(config::DEFAULT_FEED.size(), 40u);
    EXPECT_TRUE(config::OLD_DEFAULT_FEED.ends_with("/appcast.json"));
    EXPECT_TRUE(config::DEFAULT_FEED.ends_with("/vistrope/appcast.json"));

    TempHome home;
    const std::string text = "update_feed = \"" + std::string(config::OLD_DEFAULT_FEED) + "\"\n";
    write_file(settings_path(home), text);
    EXPECT_EQ(config::Config::load().update_feed, config::DEFAULT_FEED);
    EXPECT_EQ(read_file(settings_path(home)), text);

    for (const char* kept : { "", "https://example.org/feed.json" }) {
        auto c = config::parse(std::string("update_feed = \"") + kept + "\"\n");
        ASSERT_TRUE(c);
        write_file(settings_path(home), std::string("update_feed = \"") + kept + "\"\n");
        EXPECT_EQ(config::Config::load().update_feed, kept);
    }
}

TEST(ConfigFile, SaveDirExpansion)
{
    const fs::path home = "/home/ana";
    EXPECT_EQ(config::expand_save_dir("~", home), home);
    EXPECT_EQ(config::expand_save_dir("~/Capturas", home), fs::path("/home/ana/Capturas"));
    EXPECT_EQ(config::expand_save_dir("~/", home), fs::path("/home/ana/"));
    EXPECT_EQ(config::expand_save_dir("~//abs", home), fs::path("/abs"));
    EXPECT_EQ(config::expand_save_dir("~ana/x", home), fs::path("~ana/x"));
    EXPECT_EQ(config::expand_save_dir("relativa", home), fs::path("relativa"));
    // Empty is the default folder, never the working directory.
    EXPECT_EQ(config::expand_save_dir("", home), fs::path("/home/ana/Desktop"));

    ScopedEnv no_home("HOME", std::nullopt);
    config::Config c;
    c.save_dir = "~/Fotos";
    EXPECT_EQ(config::save_dir(c), fs::path("/tmp/Fotos"));
}
