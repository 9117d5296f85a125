// A desktop without a system tray: a private session started without trayer.
// The program says so in a window of its own, its hot keys still capture, and
// the window goes once a tray appears.
#include "test_util.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;

namespace {

const char* SCRIPT = R"sh(#!/bin/sh
unset XDG_CONFIG_HOME XDG_STATE_HOME
shown() { xdotool search --onlyvisible --name '^No hay bandeja del sistema$' 2>/dev/null | head -n 1; }
HOME="$2" "$1" >"$2/programa.log" 2>&1 &
app=$!
for i in $(seq 1 100); do [ -n "$(shown)" ] && break; sleep 0.1; done
shown >"$2/ventana.txt"
xdotool key ctrl+alt+shift+3
for i in $(seq 1 100); do ls "$2/capturas/"*.png >/dev/null 2>&1 && break; sleep 0.1; done
trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
t=$!
for i in $(seq 1 100); do [ -z "$(shown)" ] && break; sleep 0.1; done
shown >"$2/despues.txt"
kill $app $t
wait $app $t 2>/dev/null
)sh";

} // namespace

TEST(NoTrayDesktop, AWindowStandsInForTheTrayAndHotKeysStillCapture)
{
    TempDir dir;
    const auto captures = dir.path() / "capturas";
    write_file(dir.path() / ".config/vistrope/config.toml",
        "save_dir = \"" + captures.string() + "\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n");
    write_file(dir.path() / ".config/vistrope/onboarded", "");
    const auto script = dir.path() / "sin-bandeja.sh";
    write_file(script, SCRIPT);
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    QProcess session;
    session.start(QString(VISTROPE_SOURCE_DIR) + "/scripts/x-session",
                  { "--no-tray", QString::fromStdString(script.string()), VISTROPE_BINARY,
                    QString::fromStdString(dir.path().string()) });
    ASSERT_TRUE(session.waitForFinished(90000)) << session.readAllStandardError().toStdString();
    const std::string log = read_file(dir.path() / "programa.log");

    EXPECT_FALSE(read_file(dir.path() / "ventana.txt").empty()) << "no window said there is no tray\n" << log;
    EXPECT_EQ(pngs_in(captures).size(), 1u) << log;
    EXPECT_TRUE(read_file(dir.path() / "despues.txt").empty()) << "the window stayed once a tray appeared\n" << log;
    EXPECT_NE(log.find("apareció una bandeja del sistema"), std::string::npos) << log;
}
