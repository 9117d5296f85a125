#include "base/config.h"
#include "base/util.h"
#include "base/xdg.h"
#include "test_util.h"

#include <gtest/gtest.h>

using namespace testing_support;
namespace fs = std::filesystem;

TEST(Xdg, BaseFoldersFollowTheVariablesAndIgnoreRelativeOnes)
{
    TempHome home;
    // Unset (TempHome clears them): the defaults under the home folder.
    EXPECT_EQ(config::Config::path(), home.path() / ".config/vistrope/config.toml");
    EXPECT_EQ(util::log_path(), home.path() / ".local/state/vistrope/vistrope.log");
    {
        ScopedEnv config_home("XDG_CONFIG_HOME", "/srv/conf");
        ScopedEnv state_home("XDG_STATE_HOME", "/srv/state");
        EXPECT_EQ(config::Config::path(), fs::path("/srv/conf/vistrope/config.toml"));
        EXPECT_EQ(util::log_path(), fs::path("/srv/state/vistrope/vistrope.log"));
    }
    for (const char* invalid : { "relative/conf", "", "./x", "~/conf" }) {
        ScopedEnv config_home("XDG_CONFIG_HOME", invalid);
        ScopedEnv state_home("XDG_STATE_HOME", invalid);
        EXPECT_EQ(config::Config::path(), home.path() / ".config/vistrope/config.toml") << invalid;
        EXPECT_EQ(util::log_path(), home.path() / ".local/state/vistrope/vistrope.log") << invalid;
    }
}

TEST(Xdg, DesktopFolderComesFromUserDirs)
{
    const fs::path home = "/home/ana";
    const char* text = "# This file is written by xdg-user-dirs-update\n"
                       "XDG_DOWNLOAD_DIR=\"$HOME/Descargas\"\n"
                       "  XDG_DESKTOP_DIR = \"$HOME/Escritorio\"  \n";
    EXPECT_EQ(xdg::user_dir_from(text, "DESKTOP", home), fs::path("/home/ana/Escritorio"));
    EXPECT_EQ(xdg::user_dir_from(text, "DOWNLOAD", home), fs::path("/home/ana/Descargas"));
    EXPECT_EQ(xdg::user_dir_from(text, "MUSIC", home), fs::path());
    // Absolute, escaped, the home folder itself, and the last line winning.
    EXPECT_EQ(xdg::user_dir_from("XDG_DESKTOP_DIR=\"/data/mesa \\\"1\\\"\"\n", "DESKTOP", home), fs::path("/data/mesa \"1\""));
    EXPECT_EQ(xdg::user_dir_from("XDG_DESKTOP_DIR=\"$HOME/\"\n", "DESKTOP", home), home);
    EXPECT_EQ(xdg::user_dir_from("XDG_DESKTOP_DIR=\"$HOME/a\"\nXDG_DESKTOP_DIR=\"$HOME/b\"\n", "DESKTOP", home), home / "b");
    // Lines that are not a quoted "$HOME/…" or absolute path are skipped.
    for (const char* bad : { "XDG_DESKTOP_DIR=$HOME/x\n", "XDG_DESKTOP_DIR=\"x/y\"\n", "XDG_DESKTOP_DIR=\"$HOME/x\n",
             "#XDG_DESKTOP_DIR=\"/x\"\n", "XDG_DESKTOP_DIRX=\"/x\"\n", "XDG_DESKTOP_DIR\n" })
        EXPECT_EQ(xdg::user_dir_from(bad, "DESKTOP", home), fs::path()) << bad;

    // The settings' default folder is that desktop, found through the config home.
    TempHome temp;
    config::Config c;
    EXPECT_EQ(config::save_dir(c), temp.path() / "Desktop");
    write_file(temp.path() / ".config/user-dirs.dirs", text);
    EXPECT_EQ(config::save_dir(c), temp.path() / "Escritorio");
    c.save_dir = "~/Desktop/";
    EXPECT_EQ(config::save_dir(c), temp.path() / "Escritorio");
    c.save_dir = "~/Desktop/sub";
    EXPECT_EQ(config::save_dir(c), temp.path() / "Desktop/sub");
    ScopedEnv config_home("XDG_CONFIG_HOME", (temp.path() / "elsewhere").string());
    c.save_dir = "~/Desktop";
    EXPECT_EQ(config::save_dir(c), temp.path() / "Desktop");
    write_file(temp.path() / "elsewhere/user-dirs.dirs", "XDG_DESKTOP_DIR=\"/mnt/mesa\"\n");
    EXPECT_EQ(config::save_dir(c), fs::path("/mnt/mesa"));
}

TEST(Xdg, OldFilesMoveOnceAndNothingIsOverwritten)
{
    TempHome home;
    const fs::path old_config = home.path() / "Library/Application Support/Vistrope";
    const fs::path old_log = home.path() / "Library/Logs/Vistrope/vistrope.log";
    EXPECT_TRUE(xdg::move_old_files().empty());

    write_file(old_config / "config.toml", "save_dir = \"/mine\"\n");
    write_file(old_config / "onboarded", "");
    write_file(old_log, "1.000 listo\n");
    const auto lines = xdg::move_old_files();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines)
        EXPECT_TRUE(line.starts_with("moví ")) << line;
    EXPECT_EQ(read_file(home.path() / ".config/vistrope/config.toml"), "save_dir = \"/mine\"\n");
    EXPECT_TRUE(fs::exists(home.path() / ".config/vistrope/onboarded"));
    EXPECT_EQ(read_file(home.path() / ".local/state/vistrope/vistrope.log"), "1.000 listo\n");
    EXPECT_FALSE(fs::exists(old_config));
    EXPECT_FALSE(fs::exists(old_log.parent_path()));
    EXPECT_EQ(config::Config::load().save_dir, "/mine");
    // Once: the second launch finds nothing to move.
    EXPECT_TRUE(xdg::move_old_files().empty());

    // A file already at the new place wins; the old one stays and is named.
    write_file(old_config / "config.toml", "save_dir = \"/old\"\n");
    const auto kept = xdg::move_old_files();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(kept[0].find("ya existe"), std::string::npos);
    EXPECT_EQ(read_file(home.path() / ".config/vistrope/config.toml"), "save_dir = \"/mine\"\n");
    EXPECT_EQ(read_file(old_config / "config.toml"), "save_dir = \"/old\"\n");

    // The new place under XDG_CONFIG_HOME.
    fs::remove(home.path() / ".config/vistrope/config.toml");
    ScopedEnv config_home("XDG_CONFIG_HOME", (home.path() / "conf").string());
    ASSERT_EQ(xdg::move_old_files().size(), 1u);
    EXPECT_EQ(read_file(home.path() / "conf/vistrope/config.toml"), "save_dir = \"/old\"\n");
}
