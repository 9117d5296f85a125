#include "settings/prefs_model.h"
#include "test_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

using prefs::Counter;

TEST(PrefsModel, EachTagEditsItsOwnFlagAndNothingElse)
{
    // Walk all 18: flipping one tag must change exactly one key of the file,
    // and the tags must cover 18 distinct keys.
    std::set<std::string> changed_keys;
    for (int tag = 0; tag < prefs::TOGGLE_COUNT; ++tag) {
        config::Config c;
        const bool before = prefs::toggle_value(c, tag).value();
        ASSERT_TRUE(prefs::set_toggle(c, tag, !before));
        EXPECT_EQ(prefs::toggle_value(c, tag), !before) << tag;
        EXPECT_EQ(prefs::TOGGLES[static_cast<std::size_t>(tag)].tag, tag);

        const std::string a = config::serialize(config::Config{});
        const std::string b = config::serialize(c);
        std::vector<std::string> lines_a, lines_b;
        for (std::size_t i = 0, j; i < a.size(); i = j + 1)
            lines_a.push_back(a.substr(i, (j = a.find('\n', i)) - i));
        for (std::size_t i = 0, j; i < b.size(); i = j + 1)
            lines_b.push_back(b.substr(i, (j = b.find('\n', i)) - i));
        ASSERT_EQ(lines_a.size(), lines_b.size());
        int differing = 0;
        for (std::size_t i = 0; i < lines_a.size(); ++i)
            if (lines_a[i] != lines_b[i]) {
                ++differing;
                changed_keys.insert(lines_b[i].substr(0, lines_b[i].find(' ')) + "@" + std::to_string(i));
            }
        EXPECT_EQ(differing, 1) << "tag " << tag;
    }
    EXPECT_EQ(changed_keys.size(), 18u);

    config::Config c;
    EXPECT_EQ(prefs::toggle_value(c, 4), c.freeze_screen);
    prefs::set_toggle(c, 15, true);
    EXPECT_TRUE(c.recording.show_all_keys);
    prefs::set_toggle(c, 17, false);
    EXPECT_FALSE(c.after_capture.flash);
    // The login checkbox carries -1; neither it nor 18 reaches a field.
    EXPECT_FALSE(prefs::set_toggle(c, -1, true));
    EXPECT_FALSE(prefs::set_toggle(c, 18, true));
    EXPECT_EQ(prefs::toggle_value(c, 18), std::nullopt);
}

TEST(PrefsModel, CountersStayInRangeAndSayTheirValue)
{
    config::Config c;
    EXPECT_TRUE(prefs::set_counter(c, 0, 0));
    EXPECT_EQ(c.self_timer_seconds, 1u);
    prefs::set_counter(c, 0, 99);
    EXPECT_EQ(c.self_timer_seconds, 60u);
    prefs::set_counter(c, 0, -5);
    EXPECT_EQ(c.self_timer_seconds, 1u);
    prefs::set_counter(c, 1, 11);
    EXPECT_EQ(c.recording.countdown_seconds, 10u);
    prefs::set_counter(c, 1, -1);
    EXPECT_EQ(c.recording.countdown_seconds, 0u);
    EXPECT_FALSE(prefs::set_counter(c, 2, 5));
    EXPECT_FALSE(prefs::set_counter(c, -1, 5));
    EXPECT_EQ(c.recording.countdown_seconds, 0u);

    EXPECT_EQ(prefs::counter_text(Counter::Countdown, 0), "Sin cuenta regresiva");
    EXPECT_EQ(prefs::counter_text(Counter::Countdown, 1), "1 segundo");
    EXPECT_EQ(prefs::counter_text(Counter::Countdown, 2), "2 segundos");
    EXPECT_EQ(prefs::counter_text(Counter::SelfTimer, 5), "5 segundos");
    EXPECT_EQ(prefs::counter_text(Counter::SelfTimer, 0), "0 segundos");
}

TEST(PrefsModel, CloseDelayTitlesAndStoredSecondsAsTags)
{
    const char* expected[] = { "Hasta que la cierre", "Tras 3 segundos", "Tras 5 segundos", "Tras 10 segundos",
                               "Tras 15 segundos", "Tras 30 segundos", "Tras 60 segundos" };
    for (std::size_t i = 0; i < prefs::QUICK_ACCESS_PRESETS.size(); ++i)
        EXPECT_EQ(prefs::quick_access_title(prefs::QUICK_ACCESS_PRESETS[i]), expected[i]);
    EXPECT_EQ(prefs::quick_access_title(-4), "Hasta que la cierre");
    EXPECT_EQ(prefs::quick_access_title(5), "Tras 0.5 segundos");
    EXPECT_EQ(prefs::quick_access_title(3), "Tras 0.3 segundos");
    EXPECT_EQ(prefs::quick_access_title(10), "Tras 1 segundo");
    EXPECT_EQ(prefs::quick_access_title(25), "Tras 2.5 segundos");

    EXPECT_EQ(prefs::quick_access_tenths(2.0), 20);
    EXPECT_EQ(prefs::quick_access_tenths(0.25), 3); // half away from zero
    EXPECT_EQ(prefs::quick_access_tenths(-1.0), 0);
    EXPECT_EQ(prefs::quick_access_tenths(std::nan("")), 0);
    EXPECT_EQ(prefs::quick_access_tenths(-std::numeric_limits<double>::infinity()), 0);
    // Hand-edited extremes are held at a century instead of overflowing.
    const std::int64_t century = 100LL * 365 * 86400 * 10;
    EXPECT_EQ(prefs::quick_access_tenths(std::numeric_limits<double>::infinity()), century);
    EXPECT_EQ(prefs::quick_access_tenths(1e300), century);
    EXPECT_EQ(prefs::fps_title(24), "24 fps");
}

TEST(PrefsModel, HomeAbbreviation)
{
    EXPECT_EQ(prefs::abbreviate_home("/Users/ana", "/Users/ana/"), "~");
    EXPECT_EQ(prefs::abbreviate_home("/Users/ana/Desktop", "/Users/ana/"), "~/Desktop");
    EXPECT_EQ(prefs::abbreviate_home("/Users/anabel", "/Users/ana/"), "/Users/anabel");
    EXPECT_EQ(prefs::abbreviate_home("/Users/ana/", "/Users/ana"), "~/");
    EXPECT_EQ(prefs::abbreviate_home("/srv/capturas", "/"), "/srv/capturas");
    EXPECT_EQ(prefs::abbreviate_home("/srv", ""), "/srv");
    EXPECT_EQ(prefs::version_line(), "Versión 0.1.3");
}

TEST(PrefsModel, ShortcutRowsFollowTheActionOrder)
{
    config::Shortcuts s;
    s.pin_last = "ctrl+cmd+k";
    const auto entries = prefs::shortcut_entries(s);
    const std::vector<std::string> ids = { "capture_area", "capture_fullscreen", "capture_window",
                                           "capture_previous_area", "capture_scrolling", "capture_text",
                                           "record_screen", "pin_last", "open_last_in_editor" };
    ASSERT_EQ(entries.size(), ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i)
        EXPECT_EQ(entries[i].id, ids[i]);
    EXPECT_EQ(entries[7].text, "ctrl+cmd+k");
    EXPECT_EQ(entries[0].text, "opt+shift+cmd+4");

    // Ids without a place come last, bytewise, the shorter first on a common prefix.
    EXPECT_TRUE(prefs::action_before("open_last_in_editor", "aaa"));
    EXPECT_TRUE(prefs::action_before("zz", "zzz"));
    EXPECT_FALSE(prefs::action_before("zzz", "zz"));
    EXPECT_TRUE(prefs::action_before("abc", "abd"));
    EXPECT_TRUE(prefs::action_before("capture_scrolling", "capture_text"));
    EXPECT_FALSE(prefs::action_before("pin_last", "pin_last"));
}

TEST(PrefsModel, ReplacingAShortcutTouchesOnlyItsKey)
{
    const config::Shortcuts d;
    config::Shortcuts s = prefs::with_shortcut(d, "pin_last", "");
    EXPECT_EQ(s.pin_last, "");
    s.pin_last = d.pin_last;
    EXPECT_EQ(s, d);
    EXPECT_EQ(prefs::with_shortcut(d, "record_gif", "cmd+g"), d); // not a shortcut of the record
    EXPECT_EQ(prefs::with_shortcut(d, "capture_text", "ctrl+cmd+t").capture_text, "ctrl+cmd+t");
}

TEST(PrefsModel, ConflictsAndRowWarnings)
{
    const auto entries = prefs::shortcut_entries(config::Shortcuts{});
    EXPECT_EQ(prefs::conflict_owner(entries, "pin_last", "opt+shift+cmd+4"), "capture_area");
    // The same combination written differently is still the owner's.
    EXPECT_EQ(prefs::conflict_owner(entries, "pin_last", "cmd + SHIFT + opt + 4"), "capture_area");
    EXPECT_EQ(prefs::conflict_owner(entries, "capture_area", "opt+shift+cmd+4"), std::nullopt);
    EXPECT_EQ(prefs::conflict_owner(entries, "pin_last", ""), std::nullopt);
    std::vector<prefs::ShortcutEntry> broken = { { "capture_area", "nonsense" } };
    EXPECT_EQ(prefs::conflict_owner(broken, "pin_last", "nonsense"), std::nullopt);

    const std::vector<std::string> failed = { "ctrl+cmd+k" };
    EXPECT_EQ(prefs::row_warning("", failed), "");
    EXPECT_EQ(prefs::row_warning("  ", failed), "");
    EXPECT_EQ(prefs::row_warning("cmd+", failed), "Atajo no válido");
    EXPECT_EQ(prefs::row_warning("cmd+ctrl+k", failed), "No disponible: lo usa otra app");
    testing_support::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "GNOME");
    EXPECT_EQ(prefs::row_warning("print", failed), "GNOME la usa para sus capturas");
    EXPECT_EQ(prefs::row_warning("opt+shift+cmd+4", failed), "");
}

TEST(PrefsModel, HintsReportEachOutcome)
{
    const std::vector<std::string> none;
    EXPECT_EQ(prefs::conflict_hint("opt+shift+cmd+4", "Capturar área"),
              (prefs::Hint{ "Ctrl+Alt+Mayús+4 ya lo usa «Capturar área». Bórralo ahí primero.", true }));
    EXPECT_EQ(prefs::saved_hint("Fijar última captura", "", none),
              (prefs::Hint{ "«Fijar última captura» ya no tiene atajo.", false }));
    testing_support::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "GNOME");
    EXPECT_EQ(prefs::saved_hint("Capturar área", "shift+print", none),
              (prefs::Hint{ "Guardado Mayús+Impr Pant. Ojo: GNOME la usa para sus capturas.", true }));
    EXPECT_EQ(prefs::saved_hint("Fijar última captura", "ctrl+cmd+k", none),
              (prefs::Hint{ "Guardado: Super+Ctrl+K para «Fijar última captura».", false }));
    // A refused registration wins over a system collision.
    const std::vector<std::string> failed = { "shift+cmd+4" };
    EXPECT_EQ(prefs::saved_hint("Capturar área", "cmd+shift+4", failed),
              (prefs::Hint{ "Ctrl+Mayús+4 no se pudo registrar: otra app lo usa.", true }));
}

TEST(PrefsModel, OnlyARealEditDiffers)
{
    const config::Config held;
    const auto reordered = config::parse("freeze_screen = true\n\n   save_dir = \"~/Desktop\"\n");
    ASSERT_TRUE(reordered);
    EXPECT_FALSE(prefs::differs(*reordered, held));
    const auto edited = config::parse("[recording]\nfps = 30\n");
    ASSERT_TRUE(edited);
    EXPECT_TRUE(prefs::differs(*edited, held));
}
