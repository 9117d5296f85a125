#include "platform/system.h"

#include "test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using testing_support::TempHome;
using testing_support::read_file;
using testing_support::write_file;

namespace {

void touch(const fs::path& path, fs::file_time_type when)
{
    write_file(path, "x");
    fs::last_write_time(path, when);
}

std::vector<std::string> names(const std::vector<fs::path>& paths)
{
    std::vector<std::string> out;
    for (const auto& p : paths)
        out.push_back(p.filename().string());
    return out;
}

} // namespace

TEST(RecentCaptures, OnlyProductNamedPngAndMp4EntriesAreListed)
{
    TempDir dir;
    const auto t = fs::file_time_type::clock::now();
    using std::chrono::seconds;
    touch(dir.path() / "Vistrope 2024-05-01 at 10.00.00.png", t - seconds(1));
    touch(dir.path() / "Vistrope 2024-05-01 at 10.00.01.mp4", t - seconds(2));
    touch(dir.path() / "Vistrope .png", t - seconds(3));
    touch(dir.path() / "vistrope 2024-05-01.png", t);
    touch(dir.path() / "Vistrope 2024-05-01.PNG", t);
    touch(dir.path() / "Vistrope 2024-05-01.gif", t);
    touch(dir.path() / "Vistrope notas.txt", t);
    touch(dir.path() / "Captura 2024-05-01.png", t);
    touch(dir.path() / "VistropeX.png", t);
    fs::create_directory(dir.path() / "Vistrope carpeta.png");
    fs::last_write_time(dir.path() / "Vistrope carpeta.png", t - seconds(4));
    // A name that is not valid UTF-8 still matches, and its real path comes back.
    touch(dir.path() / "Vistrope \xff.mp4", t - seconds(5));
    // A dangling link has no metadata and is skipped.
    fs::create_symlink(dir.path() / "nowhere", dir.path() / "Vistrope roto.png");
    // A capture still being written sits under a hidden temporary name.
    touch(dir.path() / ".Vistrope 2024-05-01 at 10.00.02.png.Ab12Cd", t);

    const auto found = sys::recent_captures(dir.path(), 10);
    EXPECT_EQ(names(found), (std::vector<std::string>{ "Vistrope 2024-05-01 at 10.00.00.png",
                                                      "Vistrope 2024-05-01 at 10.00.01.mp4", "Vistrope .png",
                                                      "Vistrope carpeta.png", "Vistrope \xff.mp4" }));
    for (const auto& p : found)
        EXPECT_TRUE(fs::exists(p)) << p;
}

TEST(RecentCaptures, EqualTimesKeepTheListingOrder)
{
    TempDir dir;
    const auto t = fs::file_time_type::clock::now();
    // Enough entries that an unstable sort would reorder them.
    for (int i = 0; i < 60; ++i)
        touch(dir.path() / ("Vistrope " + std::to_string(i) + ".png"), t);
    touch(dir.path() / "Vistrope nueva.png", t + std::chrono::seconds(1));

    std::vector<std::string> listing;
    for (const auto& e : fs::directory_iterator(dir.path()))
        if (e.path().filename() != "Vistrope nueva.png")
            listing.push_back(e.path().filename().string());
    listing.insert(listing.begin(), "Vistrope nueva.png");
    EXPECT_EQ(names(sys::recent_captures(dir.path(), 100)), listing);
}

TEST(RecentCaptures, LimitKeepsTheNewest)
{
    TempDir dir;
    const auto t = fs::file_time_type::clock::now();
    for (int i = 0; i < 12; ++i) // 0 is the oldest; nanoseconds apart count
        touch(dir.path() / ("Vistrope " + std::to_string(i) + ".png"), t + std::chrono::nanoseconds(i * 1000));
    std::vector<std::string> expected;
    for (int i = 11; i >= 2; --i)
        expected.push_back("Vistrope " + std::to_string(i) + ".png");
    EXPECT_EQ(names(sys::recent_captures(dir.path(), 10)), expected);
    EXPECT_TRUE(sys::recent_captures(dir.path(), 0).empty());
    EXPECT_TRUE(sys::recent_captures(dir.path() / "no-existe", 10).empty());
}

TEST(LaunchAtLogin, EntryIsWrittenReadBackAndRemoved)
{
    TempHome home;
    TempDir config;
    ScopedEnv xdg("XDG_CONFIG_HOME", config.path().string());
    const fs::path entry = config.path() / "autostart" / "vistrope.desktop";
    EXPECT_EQ(sys::autostart_path(), entry);
    EXPECT_FALSE(sys::launch_at_login_enabled());

    sys::set_launch_at_login(true);
    ASSERT_TRUE(fs::exists(entry));
    EXPECT_TRUE(sys::launch_at_login_enabled());
    const auto command = sys::autostart_command(read_file(entry));
    ASSERT_EQ(command.size(), 1u);
    EXPECT_TRUE(fs::equivalent(command[0], "/proc/self/exe"));
    EXPECT_EQ(fs::directory_iterator(entry.parent_path())->path(), entry); // no temporary left

    // The session may disable an entry without removing it.
    write_file(entry, read_file(entry) + "Hidden=true\n");
    EXPECT_FALSE(sys::launch_at_login_enabled());
    sys::set_launch_at_login(true);
    EXPECT_TRUE(sys::launch_at_login_enabled());

    // An entry that starts another program is not ours.
    write_file(entry, sys::autostart_entry("/usr/bin/env"));
    EXPECT_FALSE(sys::launch_at_login_enabled());

    sys::set_launch_at_login(false);
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_FALSE(sys::launch_at_login_enabled());
    sys::set_launch_at_login(false); // nothing to remove: still fine
}

TEST(LaunchAtLogin, DefaultsToDotConfigUnderHome)
{
    TempHome home;
    ScopedEnv unset("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(sys::autostart_path(), home.path() / ".config" / "autostart" / "vistrope.desktop");
    ScopedEnv relative("XDG_CONFIG_HOME", "relative/config");
    EXPECT_EQ(sys::autostart_path(), home.path() / ".config" / "autostart" / "vistrope.desktop");
}

TEST(LaunchAtLogin, ExecQuotingRoundTripsAwkwardPaths)
{
    for (std::string path : { "/opt/Vistrope/bin/vistrope", "/home/a b/vis\"tr$ope`\\x%u.exe",
                              "/tmp/tab\there", "/tmp/100%%" }) {
        EXPECT_EQ(sys::autostart_command(sys::autostart_entry(path)), std::vector<std::string>{ path }) << path;
    }
    EXPECT_EQ(sys::autostart_command("[Desktop Entry]\nExec=/usr/bin/app --flag \"two words\"\n"),
              (std::vector<std::string>{ "/usr/bin/app", "--flag", "two words" }));
    EXPECT_TRUE(sys::autostart_command("[Other]\nExec=/usr/bin/app\n").empty());
}

namespace {

// A session whose desktop setting is answered by a fake xfconf-query on PATH.
class DesktopIcons : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_log = m_bin.path() / "calls";
        write_file(m_bin.path() / "xfconf-query",
                   "#!/bin/sh\n"
                   "echo \"$*\" >> \"$FAKE_CALLS\"\n"
                   "printf '%b' \"$FAKE_OUT\"\n"
                   "printf '%b' \"$FAKE_ERR\" >&2\n"
                   "exit ${FAKE_STATUS:-0}\n");
        fs::permissions(m_bin.path() / "xfconf-query", fs::perms::owner_all);
    }

    std::string calls() { return read_file(m_log); }

    TempDir m_bin;
    fs::path m_log;
    ScopedEnv m_path{ "PATH", m_bin.path().string() + ":/usr/bin:/bin" };
    ScopedEnv m_desktop{ "XDG_CURRENT_DESKTOP", "XFCE" };
    ScopedEnv m_calls{ "FAKE_CALLS", (m_bin.path() / "calls").string() };
};

struct Answer {
    const char* out;
    const char* err;
    const char* status;
    bool visible;
};

} // namespace

TEST_F(DesktopIcons, ReadsTheDesktopsIconStyle)
{
    const Answer answers[] = {
        { "0\\n", "", "0", false },
        { "  0 ", "", "0", false },
        { "false", "", "0", false },
        { "2\\n", "", "0", true },
        { "1\\n", "", "0", true },
        { "", "", "0", true },
        { "", "La propiedad no existe\\n", "1", true },
        { "0", "aviso\\n", "1", false }, // the status is not examined
    };
    for (const Answer& a : answers) {
        ScopedEnv out("FAKE_OUT", a.out), err("FAKE_ERR", a.err), status("FAKE_STATUS", a.status);
        EXPECT_EQ(sys::desktop_icons_visible(), a.visible) << "out=" << a.out << " err=" << a.err;
    }
    EXPECT_NE(calls().find("-c xfce4-desktop -p /desktop-icons/style\n"), std::string::npos) << calls();
}

TEST_F(DesktopIcons, HidingAndShowingSetTheStyle)
{
    testing::internal::CaptureStderr();
    sys::set_desktop_icons_visible(false);
    sys::set_desktop_icons_visible(true);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(calls(), "-c xfce4-desktop -p /desktop-icons/style -n -t int -s 0\n"
                       "-c xfce4-desktop -p /desktop-icons/style -n -t int -s 2\n");
}

TEST_F(DesktopIcons, AFailingChangeIsLogged)
{
    ScopedEnv status("FAKE_STATUS", "1");
    testing::internal::CaptureStderr();
    sys::set_desktop_icons_visible(false);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("no pude cambiar los íconos del escritorio"),
              std::string::npos);
}

TEST_F(DesktopIcons, WithoutTheToolOrASettingIconsCountAsVisibleAndChangesFail)
{
    {
        ScopedEnv path("PATH", "/nonexistent");
        EXPECT_TRUE(sys::desktop_icons_visible());
        testing::internal::CaptureStderr();
        sys::set_desktop_icons_visible(false);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("no pude cambiar los íconos del escritorio"),
                  std::string::npos);
    }
    {
        ScopedEnv desktop("XDG_CURRENT_DESKTOP", "openbox");
        ScopedEnv out("FAKE_OUT", "0");
        EXPECT_TRUE(sys::desktop_icons_visible());
        testing::internal::CaptureStderr();
        sys::set_desktop_icons_visible(false);
        EXPECT_NE(testing::internal::GetCapturedStderr().find("no pude cambiar los íconos del escritorio"),
                  std::string::npos);
    }
    EXPECT_FALSE(fs::exists(m_log)); // the fake was never run
    {
        // A desktop list names the session's desktops in order.
        ScopedEnv desktop("XDG_CURRENT_DESKTOP", "Foo:xfce");
        ScopedEnv out("FAKE_OUT", "0");
        EXPECT_FALSE(sys::desktop_icons_visible());
    }
}
