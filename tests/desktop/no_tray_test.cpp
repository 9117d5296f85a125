// A desktop without a system tray: a private session started without trayer.
// The program says so in a window of its own, its hot keys still capture, the
// window goes once a tray appears and comes back when it goes; closed, it
// asks first, and starting the program again shows it.
#include "test_util.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <filesystem>

using namespace testing_support;

namespace {

const char* SCRIPT = R"sh(#!/bin/sh
unset XDG_CONFIG_HOME XDG_STATE_HOME
shown() { xdotool search --onlyvisible --name '^No hay bandeja del sistema$' 2>/dev/null | head -n 1; }
asking() { xdotool search --onlyvisible --name '^Vistrope$' 2>/dev/null | head -n 1; }
until_true() { for i in $(seq 1 100); do eval "$1" && return 0; sleep 0.1; done; return 1; }
close_shown() { xdotool windowactivate --sync "$(shown)" >/dev/null 2>&1; xdotool key --clearmodifiers alt+F4; }
HOME="$2" "$1" >"$2/programa.log" 2>&1 &
app=$!
until_true '[ -n "$(shown)" ]'
shown >"$2/ventana.txt"
xprop -id "$(shown)" -notype 32c _NET_WM_ICON | head -c 40 >"$2/icono.txt"
xdotool key ctrl+alt+shift+3
until_true 'ls "$2/capturas/"*.png >/dev/null 2>&1'
trayer --edge top --align right --widthtype request --height 24 >/dev/null 2>&1 &
t=$!
until_true '[ -z "$(shown)" ]'
shown >"$2/despues.txt"
# The tray goes away: the window comes back.
kill $t
wait $t 2>/dev/null
until_true '[ -n "$(shown)" ]'
shown >"$2/vuelta.txt"
# Closed by the user it asks: Escape keeps it, Return goes on in the background.
close_shown
until_true '[ -n "$(asking)" ]'
asking >"$2/pregunta.txt"
xdotool key Escape
until_true '[ -z "$(asking)" ]'
shown >"$2/cancelada.txt"
close_shown
until_true '[ -n "$(asking)" ]'
xdotool key Return
until_true '[ -z "$(shown)" ]'
shown >"$2/cerrada.txt"
kill -0 $app && echo sigue >"$2/sigue.txt"
# Started again, the program shows it.
HOME="$2" "$3"
echo $? >"$2/front.txt"
until_true '[ -n "$(shown)" ]'
shown >"$2/otra-vez.txt"
kill $app
wait $app 2>/dev/null
)sh";

} // namespace

TEST(NoTrayDesktop, AWindowStandsInForTheTrayFollowsItAndIsTheWayBackIn)
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
                    QString::fromStdString(dir.path().string()), VISTROPE_FRONT });
    ASSERT_TRUE(session.waitForFinished(120000)) << session.readAllStandardError().toStdString();
    const std::string log = read_file(dir.path() / "programa.log");

    EXPECT_FALSE(read_file(dir.path() / "ventana.txt").empty()) << "no window said there is no tray\n" << log;
    EXPECT_EQ(pngs_in(captures).size(), 1u) << log;
    EXPECT_TRUE(read_file(dir.path() / "despues.txt").empty()) << "the window stayed once a tray appeared\n" << log;
    EXPECT_NE(log.find("apareció una bandeja del sistema"), std::string::npos) << log;
    EXPECT_NE(read_file(dir.path() / "icono.txt").find("_NET_WM_ICON = 16, 16,"), std::string::npos)
        << "the window carries no icon of ours: " << read_file(dir.path() / "icono.txt");

    EXPECT_FALSE(read_file(dir.path() / "vuelta.txt").empty()) << "the window did not come back when the tray went\n" << log;
    EXPECT_FALSE(read_file(dir.path() / "pregunta.txt").empty()) << "closing did not ask\n" << log;
    EXPECT_FALSE(read_file(dir.path() / "cancelada.txt").empty()) << "Escape closed the window\n" << log;
    EXPECT_TRUE(read_file(dir.path() / "cerrada.txt").empty()) << "going on in the background kept the window\n" << log;
    EXPECT_EQ(read_file(dir.path() / "sigue.txt"), "sigue\n") << "the program ended with its window\n" << log;
    EXPECT_EQ(read_file(dir.path() / "front.txt"), "0\n");
    EXPECT_FALSE(read_file(dir.path() / "otra-vez.txt").empty()) << "starting the program again showed nothing\n" << log;
}
