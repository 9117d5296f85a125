#include "base/config.h"
#include "test_util.h"

#include <gtest/gtest.h>


using namespace testing_support;
using namespace std::string_literals;
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
    EXPECT_EQ(syntax.error(), "TOML no válido en la línea 2, columna 11, en un encabezado de tabla: no esperaba el final de la línea");
}

// The library's reasons are English, and one quotes the line break it met:
// what reaches the log is ours, on one line, with the line and the column.
TEST(ConfigFile, SyntaxErrorsAreOursOnOneLine)
{
    const std::pair<const char*, const char*> cases[] = {
        { "x = tru\n", "TOML no válido en la línea 1, columna 8, en un booleano: no esperaba el final de la línea" },
        { "[a] x\n", "TOML no válido en la línea 1, columna 5, en un encabezado de tabla: no esperaba «x»" },
        { "\n= 1\n", "TOML no válido en la línea 2, columna 1: no esperaba «=»" },
        { "[a]\n[a]\n", "TOML no válido en la línea 2, columna 1, en un encabezado de tabla: esa clave o tabla ya estaba definida" },
        { "a = [1,\n", "TOML no válido en la línea 1, columna 9, en una lista: el archivo termina antes de cerrarlo" },
        { "a = \"x\n", "TOML no válido en la línea 1, columna 7, en un texto: hay un carácter de control" },
    };
    for (const auto& [text, expected] : cases) {
        auto parsed = config::parse(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error(), expected) << text;
    }
    for (const char* text : { "a = 1979-05-27T25:00:00\n", "a = 0x\n", "a = {b = 1,}\n", "a = '\\u00e9\n", "a = \"\\u12\"\n" }) {
        auto parsed = config::parse(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_TRUE(parsed.error().starts_with("TOML no válido en la línea 1, columna ")) << parsed.error();
        EXPECT_EQ(parsed.error().find_first_of("\r\n"), std::string::npos) << parsed.error();
        for (const char* english : { "Error", "expected", "saw", "parsing" })
            EXPECT_EQ(parsed.error().find(english), std::string::npos) << parsed.error();
    }
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
    // The file the user knows is named, never our temporary.
    EXPECT_TRUE(saved.error().starts_with(settings_path(home).string() + ": ")) << saved.error();
    EXPECT_EQ(saved.error().find(".tmp"), std::string::npos) << saved.error();
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
    // A relative folder lies in the home folder, whatever the working folder is.
    EXPECT_EQ(config::expand_save_dir("~ana/x", home), fs::path("/home/ana/~ana/x"));
    EXPECT_EQ(config::expand_save_dir("relativa", home), fs::path("/home/ana/relativa"));
    EXPECT_EQ(config::expand_save_dir("../otra", home), fs::path("/home/ana/../otra"));
    EXPECT_EQ(config::expand_save_dir("/srv/capturas", home), fs::path("/srv/capturas"));
    // Empty is the default folder, never the working directory.
    EXPECT_EQ(config::expand_save_dir("", home), fs::path("/home/ana/Desktop"));

    ScopedEnv no_home("HOME", std::nullopt);
    config::Config c;
    c.save_dir = "~/Fotos";
    EXPECT_EQ(config::save_dir(c), fs::path("/tmp/Fotos"));
}

TEST(ConfigFile, WhatTheTomlLibraryCannotTakeIsRefusedOutsideStringsByLine)
{
    struct Case {
        std::string text;
        std::string reason;
    };
    const Case refused[] = {
        { "save_dir = \"/x\"\ntamaño = 1\n", "un carácter que no es ASCII fuera de comillas en la línea 2" },
        { "[after_capture]\nsave = true\n[a\0b]\n"s, "un carácter nulo en la línea 3" },
        { "[\x02" "aK\n", "un carácter de control (U+0002) en la línea 1" },
        { "# bien\n[=]\n", "un encabezado de tabla que no empieza por un nombre en la línea 2" },
        { "[[.a]]\n", "un encabezado de tabla que no empieza por un nombre en la línea 1" },
        // A quote inside a broken value opens no string for the library.
        { "a = 8888.'''x\xC8\x9E'''\n", "un valor que no es número, fecha, booleano, texto, lista ni tabla en la línea 1" },
        { "s = \"\"\"\nuno\ndos\"\"\"\nclave\x7F = 1\n", "un carácter de control (U+007F) en la línea 4" },
        // What the fuzzer found the library stopping or lost on.
        { "\t[\t\t\n|<=|", "un encabezado de tabla que no empieza por un nombre en la línea 1" },
        { "[\r\r=", "un encabezado de tabla que no empieza por un nombre en la línea 1" },
        { "a = 1\r2 = 3\n", "un carácter de control (U+000D) en la línea 1" },
        { "\"\"\"[zc\xEF\xBB\xB7~\n", "un carácter que no es ASCII fuera de comillas en la línea 1" },
        { "t = \"\"\"\n\"*\"\"e\\\xEF\xBA\xBF\"\"\"", "una barra invertida seguida de un carácter que no es ASCII en la línea 2" },
        { "t = \"\\\xC3\xA9\"\n", "una barra invertida seguida de un carácter que no es ASCII en la línea 1" },
        { "a = 1\nb = [[1], 2}\n", "un «}» que no cierra ningún «{» en la línea 2" },
        { "x = +\"&{\"\xEF\xBB\xB7" "a\"\n", "un valor que no es número, fecha, booleano, texto, lista ni tabla en la línea 1" },
        { "x = 8= 9\n", "un «=» de más en la línea 1" },
        { "e=8/7--->-e= 8#", "un valor que no es número, fecha, booleano, texto, lista ni tabla en la línea 1" },
        { "a = 1\ns=1979-05-27t:", "una fecha con una hora incompleta en la línea 2" },
        { "s=[1979-02-02 2]", "una fecha con una hora incompleta en la línea 1" },
        { "_=1979-05-0x 1,", "un valor que no es número, fecha, booleano, texto, lista ni tabla en la línea 1" },
        { "_=1979-05-0\" 1,", "un valor que no es número, fecha, booleano, texto, lista ni tabla en la línea 1" },
        // Valid, but the library cannot take it: a letter past ASCII first
        // after a line-ending backslash.
        { "s = \"\"\"\na\\\n  \xC3\xAD" "b\"\"\"\n", "una barra invertida seguida de un carácter que no es ASCII en la línea 2" },
    };
    for (const auto& c : refused) {
        const auto parsed = config::parse(c.text);
        ASSERT_FALSE(parsed) << c.text;
        EXPECT_TRUE(parsed.error().starts_with(c.reason)) << c.text << ": " << parsed.error();
    }
    // The same letters in texts, quoted keys and comments, a byte-order mark,
    // and arrays whose rows begin a line are all the library's to read.
    const std::string accepted[] = {
        "save_dir = \"~/Capturas del año\" # tamaño\n\"tamaño\" = 1\n'ñ'.\"ü\" = 2\n",
        "\xEF\xBB\xBFsave_dir = \"/x\"\n",
        "a = [\n  [1, 2],\n  ['ñ'],\n]\n[recording]\nfps = 24\n",
        "t = { \"año\" = 1, b.'ñ' = 2 }\n[ \"sección\" ]\n",
        "save_dir = \"/x\"\r\n[recording]\r\nfps = 24\r\n",
        "t = { a = [1, { b = \"ñ\" }], c = 1979-05-27 07:32:00 }\n",
        "n = [0xDEAD_beef, 0o755, 0b1, +1_000, -3.5e+2, inf, -nan, true, 07:32:00.5, 1979-05-27T00:32:00-07:00]\n",
        "s = \"\"\"\nuno \\\n  y año \\u00F1\"\"\"\nl = '''\\ñ'''\n",
    };
    for (const auto& text : accepted) {
        const auto parsed = config::parse(text);
        EXPECT_TRUE(parsed) << text << ": " << parsed.error();
    }
}

TEST(ConfigFile, SavingOverAFileThatDoesNotParseKeepsItAsideOnce)
{
    TempHome home;
    const fs::path path = settings_path(home);
    const fs::path kept = config::invalid_copy_path(path);
    const std::string hand = "save_dir = \"~/Capturas\"\n# a mano\nself_timer_seconds = 3\ntamaño = 1\n";
    write_file(path, hand);
    EXPECT_EQ(config::Config::load(), config::Config {});
    EXPECT_FALSE(fs::exists(kept)) << "loading never writes";

    config::Config c;
    c.freeze_screen = false;
    const auto saved = c.save();
    ASSERT_TRUE(saved) << saved.error();
    EXPECT_EQ(saved->kept_invalid, kept);
    EXPECT_EQ(read_file(kept), hand);
    EXPECT_EQ(config::Config::load(), c);
    // The file parses now: later saves keep nothing more.
    const auto again = c.save();
    ASSERT_TRUE(again);
    EXPECT_FALSE(again->kept_invalid);
    EXPECT_EQ(read_file(kept), hand);

    // Past the size the reader takes: moved aside whole.
    const std::string huge(config::MAX_FILE_BYTES + 1, '#');
    write_file(path, huge);
    ASSERT_TRUE(c.save());
    EXPECT_EQ(fs::file_size(kept), huge.size());
    EXPECT_EQ(config::Config::load(), c);

    // When the copy cannot be made, nothing is written over the user's file.
    fs::remove(kept);
    write_file(kept / "ocupado", "x");
    write_file(path, hand);
    const auto refused = c.save();
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.error().starts_with("no pude guardar una copia de config.toml inválido: ")) << refused.error();
    EXPECT_EQ(read_file(path), hand);
}
