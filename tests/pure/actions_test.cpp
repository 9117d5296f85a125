// The action table: every action once, with keys no other action has, and
// the tables made from it exactly as users, links and settings files know them.
#include "base/actions.h"
#include "base/config.h"
#include "settings/prefs_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

using actions::Action;
using actions::ACTIONS;

TEST(Actions, EveryActionOnceWithKeysNoOtherHas)
{
    std::set<std::string_view> hosts, keys, titles;
    std::vector<std::string config::Shortcuts::*> members;
    for (std::size_t i = 0; i < ACTIONS.size(); ++i) {
        const actions::ActionRow& r = ACTIONS[i];
        // A row's place is its code, so row() finds it.
        EXPECT_EQ(static_cast<std::size_t>(r.action), i) << r.key;
        EXPECT_EQ(&actions::row(r.action), &r);
        EXPECT_FALSE(r.host.empty() || r.key.empty() || r.title.empty()) << i;
        EXPECT_TRUE(hosts.insert(r.host).second) << "host twice: " << r.host;
        EXPECT_TRUE(keys.insert(r.key).second) << "key twice: " << r.key;
        EXPECT_TRUE(titles.insert(r.title).second) << "title twice: " << r.title;
        if (r.shortcut) {
            EXPECT_EQ(std::find(members.begin(), members.end(), r.shortcut), members.end()) << "member twice: " << r.key;
            members.push_back(r.shortcut);
        }
        EXPECT_EQ(actions::for_host(r.host), r.action);
        EXPECT_EQ(actions::for_key(r.key), r.action);
    }
    // The menu's order holds each action once.
    std::vector<Action> menu(actions::MENU_ORDER.begin(), actions::MENU_ORDER.end());
    std::sort(menu.begin(), menu.end());
    EXPECT_EQ(std::adjacent_find(menu.begin(), menu.end()), menu.end());
    EXPECT_EQ(menu.size(), ACTIONS.size());
    // The first-run list shows a symbol and a shortcut for each of its rows,
    // and no other row carries a symbol.
    for (const actions::ActionRow& r : ACTIONS) {
        const bool listed = std::find(actions::FIRST_RUN_ORDER.begin(), actions::FIRST_RUN_ORDER.end(), r.action)
            != actions::FIRST_RUN_ORDER.end();
        EXPECT_EQ(!r.symbol.empty(), listed) << r.key;
        if (listed) {
            EXPECT_NE(r.shortcut, nullptr) << r.key;
        }
    }
    // Names of no action.
    EXPECT_FALSE(actions::for_host("Capture-Area"));
    EXPECT_FALSE(actions::for_host("capture_area"));
    EXPECT_FALSE(actions::for_key("capture-area"));
}

// What links, settings files, the menu and the first-run window already
// know; an edit of the table that changes one of them fails here.
TEST(Actions, TheTablesMadeFromThemKeepTheirNamesAndOrder)
{
    std::vector<std::string> hosts, menu, first_run;
    for (const actions::ActionRow& r : ACTIONS)
        hosts.emplace_back(r.host);
    EXPECT_EQ(hosts, (std::vector<std::string> { "capture-area", "capture-fullscreen", "capture-window",
                         "capture-previous-area", "capture-text", "record-screen", "record-gif", "self-timer", "pin",
                         "open-annotate", "capture-scrolling" }));
    for (const Action a : actions::MENU_ORDER)
        menu.emplace_back(actions::row(a).title);
    EXPECT_EQ(menu, (std::vector<std::string> { "Capturar área", "Capturar pantalla completa", "Capturar ventana",
                        "Repetir área anterior", "Captura con desplazamiento", "Temporizador", "Copiar texto (OCR)",
                        "Grabar pantalla", "Grabar GIF", "Fijar última captura", "Anotar última captura" }));
    for (const Action a : actions::FIRST_RUN_ORDER)
        first_run.push_back(std::string(actions::row(a).symbol) + " " + std::string(actions::row(a).title));
    EXPECT_EQ(first_run, (std::vector<std::string> { "viewfinder Capturar área", "display Capturar pantalla completa",
                             "macwindow Capturar ventana", "record.circle Grabar pantalla",
                             "text.viewfinder Copiar texto (OCR)" }));
    // The capture-mode bar's buttons, as the bar draws them.
    std::vector<std::string> bar;
    for (const Action a : actions::BAR_ORDER)
        bar.push_back(std::string(actions::row(a).bar.symbol) + " " + std::string(actions::row(a).bar.label));
    EXPECT_EQ(bar, (std::vector<std::string> { "viewfinder Área", "display Pantalla", "macwindow Ventana",
                       "arrow.down Desplazamiento", "timer Temporizador", "textformat Texto", "video Grabar" }));

    // The [shortcuts] table: keys, members and order (the order hot keys
    // register in, and the file's), and the file it writes.
    std::vector<std::string> keys;
    config::Shortcuts marked;
    for (const auto& f : config::SHORTCUT_FIELDS) {
        keys.emplace_back(f.key);
        marked.*std::get<std::string config::Shortcuts::*>(f.member) = "cmd+" + std::string(f.key);
    }
    EXPECT_EQ(keys, (std::vector<std::string> { "capture_area", "capture_fullscreen", "capture_window",
                        "capture_previous_area", "capture_text", "record_screen", "pin_last", "open_last_in_editor",
                        "capture_scrolling" }));
    // Each key reads into its own member and back.
    config::Config c;
    c.shortcuts = marked;
    const std::string text = config::serialize(c);
    const auto table = text.find("[shortcuts]");
    ASSERT_NE(table, std::string::npos) << text;
    EXPECT_NE(text.find("[shortcuts]\ncapture_area = \"cmd+capture_area\"\ncapture_fullscreen = \"cmd+capture_fullscreen\"\n"
                        "capture_window = \"cmd+capture_window\"\ncapture_previous_area = \"cmd+capture_previous_area\"\n"
                        "capture_text = \"cmd+capture_text\"\nrecord_screen = \"cmd+record_screen\"\n"
                        "pin_last = \"cmd+pin_last\"\nopen_last_in_editor = \"cmd+open_last_in_editor\"\n"
                        "capture_scrolling = \"cmd+capture_scrolling\"\n"),
        std::string::npos)
        << text;
    const auto back = config::parse(text);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(back->shortcuts, marked);
    EXPECT_EQ(config::Shortcuts {}.capture_area, "opt+shift+cmd+4");

    // The settings window's names, in the order its shortcut rows sort by.
    std::vector<std::string> names;
    for (const auto& a : prefs::ACTIONS)
        names.push_back(std::string(a.id) + "=" + std::string(a.label));
    EXPECT_EQ(names, (std::vector<std::string> { "capture_area=Capturar área",
                         "capture_fullscreen=Capturar pantalla completa", "capture_window=Capturar ventana",
                         "capture_previous_area=Repetir área anterior",
                         "capture_scrolling=Captura con desplazamiento", "capture_scroll=Captura con desplazamiento",
                         "self_timer=Temporizador", "capture_text=Copiar texto (OCR)", "record_screen=Grabar pantalla",
                         "record_gif=Grabar GIF", "pin_last=Fijar última captura",
                         "open_last_in_editor=Anotar última captura" }));
}

TEST(Actions, NumericSettingsCarryTheirRangesInTheirRows)
{
    EXPECT_EQ(config::range_of(&config::Config::self_timer_seconds), (config::Range { 1, 60 }));
    EXPECT_EQ(config::range_of(&config::Recording::countdown_seconds), (config::Range { 0, 10 }));
    EXPECT_EQ(config::range_of(&config::Recording::gif_fps), (config::Range { 1, 50 }));
    // The settings window's counters take theirs from the rows.
    EXPECT_EQ(prefs::counter_range(prefs::Counter::SelfTimer).minimum, 1);
    EXPECT_EQ(prefs::counter_range(prefs::Counter::SelfTimer).maximum, 60);
    EXPECT_EQ(prefs::counter_range(prefs::Counter::Countdown).maximum, 10);
    config::Config c;
    ASSERT_TRUE(prefs::set_counter(c, 0, 500));
    EXPECT_EQ(c.self_timer_seconds, 60u);
    ASSERT_TRUE(prefs::set_counter(c, 1, 500));
    EXPECT_EQ(c.recording.countdown_seconds, 10u);
}

} // namespace
