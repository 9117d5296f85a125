// The tray application's logic against recording seams: URL hosts, key
// equivalents, the menu model and its refresh, and the dispatcher's routing.
#include "app/app.h"
#include "platform/url_scheme.h"
#include "base/state.h"
#include "ui/hud.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QAction>
#include <QMenu>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>

#include <fcntl.h>
#include <unistd.h>

using namespace testing_support;
using app::AppAction;

TEST(UrlHosts, ParsedByHandAndCaseSensitive)
{
    EXPECT_EQ(app::url_host("vistrope://capture-area"), "capture-area");
    EXPECT_EQ(app::url_host("vistrope://Capture-Area/x?y#z"), "Capture-Area");
    EXPECT_EQ(app::url_host("VISTROPE://pin"), "pin");
    EXPECT_EQ(app::url_host("vistrope://user@pin:80/path"), "pin");
    EXPECT_FALSE(app::url_host("vistrope:pin"));
    EXPECT_FALSE(app::url_host("vistrope://"));
    EXPECT_FALSE(app::url_host("vistrope:///capture-area"));
    EXPECT_FALSE(app::url_host("capture-area"));

    EXPECT_EQ(app::action_for_host("capture-area"), AppAction::CaptureArea);
    EXPECT_EQ(app::action_for_host("open-annotate"), AppAction::OpenLastInEditor);
    EXPECT_EQ(app::action_for_host("capture-scrolling"), AppAction::CaptureScrolling);
    EXPECT_FALSE(app::action_for_host("Capture-Area"));
    EXPECT_FALSE(app::action_for_host("capture-area "));
}

TEST(KeyEquivalents, FromTheShortcutTexts)
{
    using app::Modifier;
    const unsigned osc = static_cast<unsigned>(Modifier::Option) | static_cast<unsigned>(Modifier::Shift) | static_cast<unsigned>(Modifier::Command);
    EXPECT_EQ(app::key_equivalent("opt+shift+cmd+4"), (app::KeyEquivalent { "4", osc }));
    EXPECT_EQ(app::key_equivalent("opt+shift+cmd+p"), (app::KeyEquivalent { "p", osc }));
    EXPECT_EQ(app::key_equivalent(" Ctrl + Shift + X "),
        (app::KeyEquivalent { "x", static_cast<unsigned>(Modifier::Control) | static_cast<unsigned>(Modifier::Shift) }));
    // The command glyph parses for the hot key, but is a key here: "4" replaces it, no command modifier.
    EXPECT_EQ(app::key_equivalent("⌘+4"), (app::KeyEquivalent { "4", 0 }));
    // Multi-character key names show their modifiers without a key.
    EXPECT_EQ(app::key_equivalent("cmd+space"), (app::KeyEquivalent { "", static_cast<unsigned>(Modifier::Command) }));
    EXPECT_EQ(app::key_equivalent("cmd+shift+f5"),
        (app::KeyEquivalent { "", static_cast<unsigned>(Modifier::Command) | static_cast<unsigned>(Modifier::Shift) }));
    // Emptied or invalid shortcuts: nothing at all.
    EXPECT_EQ(app::key_equivalent(""), app::KeyEquivalent {});
    EXPECT_EQ(app::key_equivalent("4"), app::KeyEquivalent {});
    EXPECT_EQ(app::key_equivalent("cmd+a+b"), app::KeyEquivalent {});
    // Shown the desktop's way: command is Ctrl, option Alt.
    EXPECT_EQ(app::key_equivalent_text(app::key_equivalent("opt+shift+cmd+4")), "Ctrl+Alt+Mayús+4");
    EXPECT_EQ(app::key_equivalent_text(app::key_equivalent("cmd+,")), "Ctrl+,");
    EXPECT_EQ(app::key_equivalent_text(app::key_equivalent("cmd+space")), "");
}

namespace {

struct Recorder {
    std::vector<std::string> calls;
    bool permission = true;
    bool recording = false;
    bool scrolling = false;

    void install()
    {
        app::Services& s = app::services();
        s.permission_granted = [this] { return permission; };
        s.show_onboarding = [this] { calls.push_back("onboarding"); };
        s.overlay_begin = [this](int mode, int purpose, actions::RecordingFormat format) {
            calls.push_back("overlay " + std::to_string(mode) + " " + std::to_string(purpose)
                + (format == actions::RecordingFormat::Gif ? " gif" : ""));
        };
        s.capture_fullscreen = [this] { calls.push_back("fullscreen"); };
        s.capture_previous_area = [this] { calls.push_back("previous"); };
        s.self_timer = [this] { calls.push_back("timer"); };
        s.recording_running = [this] { return recording; };
        s.recorder_stop = [this] { calls.push_back("stop"); };
        s.pin = [this](QImage image, double scale) { calls.push_back("pin " + std::to_string(image.width()) + " " + std::to_string(static_cast<int>(scale))); };
        s.open_editor = [this](QImage image, double scale) { calls.push_back("edit " + std::to_string(image.width()) + " " + std::to_string(static_cast<int>(scale))); };
        s.scrolling_running = [this] { return scrolling; };
        s.scroll_finish = [this] { calls.push_back("scroll finish"); };
        s.register_hotkeys = [this] { calls.push_back("hotkeys"); };
        s.refresh_content = [this] { calls.push_back("content"); };
        s.warm_up_text = [this] { calls.push_back("warm up"); };
        s.warm_up_glass = [this] { ++glass_warm_ups; };
        s.after_menu_closed = [this](std::function<void()> job) {
            calls.push_back("menu gone");
            job();
        };
    }

    int glass_warm_ups = 0;

    std::vector<std::string> take()
    {
        return std::exchange(calls, {});
    }
};

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        rec.install();
    }
    void TearDown() override
    {
        app::reset_services();
        state::reset_for_tests();
    }
    Recorder rec;
};

} // namespace

TEST_F(Dispatcher, EveryCodeWithThePermission)
{
    using V = std::vector<std::string>;
    const std::pair<AppAction, V> table[] = {
        { AppAction::CaptureArea, { "overlay 0 0" } },
        { AppAction::CaptureFullscreen, { "fullscreen" } },
        { AppAction::CaptureWindow, { "overlay 1 0" } },
        { AppAction::CapturePreviousArea, { "previous" } },
        { AppAction::CaptureText, { "warm up", "overlay 0 1" } },
        { AppAction::RecordScreen, { "overlay 0 2" } },
        { AppAction::RecordGif, { "overlay 0 2 gif" } },
        { AppAction::SelfTimer, { "timer" } },
        { AppAction::PinLast, {} },
        { AppAction::OpenLastInEditor, {} },
        { AppAction::CaptureScrolling, { "overlay 0 3" } },
    };
    for (const auto& [action, expected] : table) {
        app::run(action);
        EXPECT_EQ(rec.take(), expected) << static_cast<int>(action);
    }
    // Every permitted action asks for the GL effects (the first loads them).
    EXPECT_EQ(rec.glass_warm_ups, int(std::size(table)));
}

TEST_F(Dispatcher, WithoutThePermissionOnlyTheFirstRunWindow)
{
    rec.permission = false;
    QImage image(3, 3, QImage::Format_ARGB32_Premultiplied);
    state::set_last_shot(image, 2.0);
    for (int code = 0; code <= 10; ++code) {
        app::run(static_cast<AppAction>(code));
        EXPECT_EQ(rec.take(), std::vector<std::string> { "onboarding" }) << code;
    }
    EXPECT_EQ(rec.glass_warm_ups, 0);
}

TEST_F(Dispatcher, RunningRecordingAndScrollingAreStoppedNotRestarted)
{
    rec.recording = true;
    app::run(AppAction::RecordGif);
    EXPECT_EQ(rec.take(), std::vector<std::string> { "stop" });
    app::run(AppAction::RecordScreen);
    EXPECT_EQ(rec.take(), std::vector<std::string> { "stop" });
    rec.scrolling = true;
    app::run(AppAction::CaptureScrolling);
    EXPECT_EQ(rec.take(), std::vector<std::string> { "scroll finish" });
}

TEST_F(Dispatcher, PinAndEditTakeTheLastShot)
{
    QImage image(7, 5, QImage::Format_ARGB32_Premultiplied);
    state::set_last_shot(image, 2.0);
    app::run(AppAction::PinLast);
    app::run(AppAction::OpenLastInEditor);
    EXPECT_EQ(rec.take(), (std::vector<std::string> { "pin 7 2", "edit 7 2" }));
    ASSERT_TRUE(state::last_shot()) << "the slot keeps its shot";
}

TEST_F(Dispatcher, ApplyConfigBeforeLaunchOnlyRegistersHotKeys)
{
    ASSERT_FALSE(app::delegate());
    app::apply_config();
    EXPECT_EQ(rec.take(), std::vector<std::string> { "hotkeys" });
}

TEST_F(Dispatcher, UrlsRunInOrderAndUnknownHostsAreSkipped)
{
    auto delegate = app::AppDelegate::create();
    delegate->open_urls({ "vistrope://self-timer", "vistrope://Capture-Area", "vistrope:", "vistrope://capture-area" });
    EXPECT_EQ(rec.take(), (std::vector<std::string> { "timer", "overlay 0 0" }));
}

// Fifty launches racing at start each hand the instance an empty request:
// the user is told once that it runs, not fifty times.
TEST_F(Dispatcher, ABurstOfLaunchesIsToldOnce)
{
    auto delegate = app::AppDelegate::create();
    const unsigned long before = hud::toast_generation();
    for (int i = 0; i < 50; ++i) {
        delegate->reopen();
        pump_for();
    }
    EXPECT_EQ(hud::toast_generation(), before + 1);
    QWidget* view = hud::prepare_toast("info.circle", "Vistrope ya está abierto: su ícono está en la bandeja del sistema");
    EXPECT_TRUE(view->isVisible());

    // Once another toast took its place, or it went, a launch tells it again.
    hud::toast("timer", "otro aviso", 0.1);
    delegate->reopen();
    EXPECT_EQ(hud::toast_generation(), before + 3);
    delegate->reopen();
    EXPECT_EQ(hud::toast_generation(), before + 3);
    EXPECT_FALSE(hud::keep_toast(before + 2, 1.0)) << "the older toast is not the one shown";
    ASSERT_SOON(!view->isVisible());
    delegate->reopen();
    EXPECT_EQ(hud::toast_generation(), before + 4);
}

TEST(MenuRows, TheTableAndItsShortcuts)
{
    config::Config c;
    c.shortcuts.pin_last = "";
    const auto rows = app::menu_rows(c);
    ASSERT_EQ(rows.size(), 22u);
    EXPECT_EQ(rows[0].title, "Capturar área");
    EXPECT_EQ(rows[0].shortcut, "opt+shift+cmd+4");
    EXPECT_EQ(rows[4].title, "Captura con desplazamiento");
    EXPECT_EQ(rows[4].shortcut, "opt+shift+cmd+9");
    EXPECT_EQ(rows[5].shortcut, "");
    EXPECT_EQ(rows[6].title, "-");
    EXPECT_EQ(rows[11].title, "Fijar última captura");
    EXPECT_EQ(rows[11].shortcut, "");
    EXPECT_EQ(rows[20].title, "Preferencias…");
    EXPECT_EQ(rows[20].shortcut, "cmd+,");
    EXPECT_EQ(rows[21].title, "Buscar actualizaciones…");
    int separators = 0;
    for (const auto& r : rows)
        separators += r.title == "-";
    EXPECT_EQ(separators, 4);
    // Every title as the menu has always shown it, and each action's row
    // runs that action.
    std::vector<std::string> all;
    for (const auto& r : rows) {
        all.push_back(r.title);
        EXPECT_EQ(r.action.has_value(), r.command == app::Command::Action) << r.title;
        if (r.action) {
            EXPECT_EQ(actions::row(*r.action).title, r.title);
        }
    }
    EXPECT_EQ(all, (std::vector<std::string> { "Capturar área", "Capturar pantalla completa", "Capturar ventana",
                       "Repetir área anterior", "Captura con desplazamiento", "Temporizador", "-", "Copiar texto (OCR)",
                       "Grabar pantalla", "Grabar GIF", "-", "Fijar última captura", "Anotar última captura",
                       "Desbloquear capturas fijadas", "Cerrar capturas fijadas", "-", "Ocultar íconos del escritorio",
                       "Abrir al iniciar sesión", "-", "Abrir carpeta de capturas", "Preferencias…",
                       "Buscar actualizaciones…" }));
    // Links reach every action by its host, and nothing else.
    for (const actions::ActionRow& r : actions::ACTIONS)
        EXPECT_EQ(app::action_for_host(r.host), r.action) << r.host;
}

TEST(MenuRows, AShortcutAnEarlierActionHoldsShowsOnlyOnItsRow)
{
    config::Config c;
    // The same combination written another way, on the window row (third in
    // registration order) and on scrolling (last); full screen comes first.
    c.shortcuts.capture_window = "cmd+shift+opt+3";
    c.shortcuts.capture_scrolling = "OPT+SHIFT+CMD+3";
    c.shortcuts.capture_text = "nonsense+3";
    const auto rows = app::menu_rows(c);
    EXPECT_EQ(rows[1].shortcut, "opt+shift+cmd+3");
    EXPECT_EQ(rows[2].shortcut, "");
    EXPECT_EQ(rows[4].shortcut, "");
    EXPECT_EQ(rows[0].shortcut, "opt+shift+cmd+4");
    // A text that does not parse holds nothing and keeps its (empty) display.
    EXPECT_EQ(rows[7].shortcut, "nonsense+3");
}

namespace {

std::vector<std::string> titles(QMenu* menu)
{
    std::vector<std::string> out;
    for (QAction* a : menu->actions())
        out.push_back(a->isSeparator() ? "-" : a->text().section('\t', 0, 0).toStdString());
    return out;
}

QAction* find(QMenu* menu, const char* title)
{
    for (QAction* a : menu->actions())
        if (a->text().section('\t', 0, 0) == QString::fromUtf8(title))
            return a;
    return nullptr;
}

} // namespace

TEST_F(Dispatcher, MenuAfterLaunchAndItsRefresh)
{
    TempHome home;
    bool icons_visible = true, login = false;
    // Read on the utility thread that lists the recents, which may outlive
    // this test: shared, and locked.
    struct Listing {
        std::mutex mutex;
        std::vector<std::string> files;
        unsigned asked_limit = 0;
    };
    const auto listing = std::make_shared<Listing>();
    app::MenuEnv& env = app::menu_env();
    env.desktop_icons_visible = [&] { return icons_visible; };
    env.set_desktop_icons_visible = [&](bool v) { icons_visible = v; };
    env.launch_at_login_enabled = [&] { return login; };
    env.set_launch_at_login = [&](bool v) { login = v; };
    env.recent_captures = [listing](const std::string&, unsigned limit) {
        std::lock_guard lock(listing->mutex);
        listing->asked_limit = limit;
        const auto& files = listing->files;
        return std::vector<std::string>(files.begin(), files.begin() + std::min<size_t>(limit, files.size()));
    };
    env.recording_running = [&] { return rec.recording; };
    env.tray_available = [] { return true; };
    bool icon_setting = true;
    env.desktop_icons_supported = [&] { return icon_setting; };

    auto delegate = app::AppDelegate::create();
    delegate->did_finish_launching();
    EXPECT_EQ(app::delegate(), delegate);
    EXPECT_EQ(rec.take(), (std::vector<std::string> { "hotkeys", "content" }));
    QMenu* menu = delegate->menu();
    ASSERT_TRUE(menu);
    EXPECT_EQ(titles(menu),
        (std::vector<std::string> { "Capturar área", "Capturar pantalla completa", "Capturar ventana", "Repetir área anterior",
            "Captura con desplazamiento", "Temporizador", "-", "Copiar texto (OCR)", "Grabar pantalla", "Grabar GIF", "-",
            "Fijar última captura", "Anotar última captura", "Desbloquear capturas fijadas", "Cerrar capturas fijadas", "-",
            "Ocultar íconos del escritorio", "Abrir al iniciar sesión", "-", "Capturas recientes", "Abrir carpeta de capturas",
            "Preferencias…", "Buscar actualizaciones…", "-", "Salir de Vistrope" }));
    // The keys beside the rows, in the notation of every other place.
    const auto keys = [&](const char* title) { return find(menu, title)->text().section('\t', 1).toStdString(); };
    EXPECT_EQ(keys("Capturar área"), "Ctrl+Alt+Mayús+4");
    EXPECT_EQ(keys("Temporizador"), "");
    EXPECT_EQ(keys("Preferencias…"), "Ctrl+,");
    EXPECT_EQ(keys("Salir de Vistrope"), "Ctrl+Q");
    EXPECT_EQ(find(menu, "Capturas recientes")->data().toInt(), app::RECENTS_TAG);

    // Refresh: check marks, the record title, the recents.
    icons_visible = false;
    login = true;
    rec.recording = true;
    delegate->menu_needs_update();
    EXPECT_TRUE(find(menu, "Ocultar íconos del escritorio")->isChecked());
    EXPECT_TRUE(find(menu, "Abrir al iniciar sesión")->isChecked());
    EXPECT_TRUE(find(menu, "Detener grabación"));
    EXPECT_FALSE(find(menu, "Grabar pantalla"));
    QMenu* recents = find(menu, "Capturas recientes")->menu();
    ASSERT_TRUE(wait_until([&] { return recents->actions().size() == 1; }));
    EXPECT_EQ(recents->actions()[0]->text().toStdString(), "Sin capturas todavía");
    EXPECT_FALSE(recents->actions()[0]->isEnabled());
    {
        std::lock_guard lock(listing->mutex);
        EXPECT_EQ(listing->asked_limit, 10u);
    }

    rec.recording = false;
    {
        std::lock_guard lock(listing->mutex);
        for (int i = 12; i >= 1; --i)
            listing->files.push_back("/caps/Vistrope " + std::to_string(i) + ".png");
    }
    delegate->menu_needs_update();
    EXPECT_TRUE(find(menu, "Grabar pantalla"));
    ASSERT_TRUE(wait_until([&] { return recents->actions().size() == 10; }));
    EXPECT_EQ(recents->actions()[0]->text().toStdString(), "Vistrope 12.png");
    EXPECT_EQ(recents->actions()[0]->data().toString().toStdString(), "/caps/Vistrope 12.png");

    // The toggles flip what the system reports; the capture rows dispatch.
    find(menu, "Ocultar íconos del escritorio")->trigger();
    EXPECT_TRUE(icons_visible);
    find(menu, "Abrir al iniciar sesión")->trigger();
    EXPECT_FALSE(login);
    // The capture rows wait for the menu to leave the screen.
    find(menu, "Capturar ventana")->trigger();
    find(menu, "Grabar GIF")->trigger();
    find(menu, "Capturar pantalla completa")->trigger();
    find(menu, "Repetir área anterior")->trigger();
    EXPECT_EQ(rec.take(), (std::vector<std::string> { "menu gone", "overlay 1 0", "menu gone", "overlay 0 2 gif",
                              "menu gone", "fullscreen", "menu gone", "previous" }));

    // An emptied shortcut loses its key after the settings change.
    auto changed = std::make_shared<config::Config>();
    changed->shortcuts.capture_area = "";
    state::set_config(changed);
    app::apply_config();
    EXPECT_EQ(rec.take(), std::vector<std::string> { "hotkeys" });
    EXPECT_FALSE(find(delegate->menu(), "Capturar área")->text().contains('\t'));

    // A desktop without a setting for its icons gets no row for them.
    icon_setting = false;
    delegate->rebuild_menu();
    EXPECT_FALSE(find(delegate->menu(), "Ocultar íconos del escritorio"));
    EXPECT_TRUE(find(delegate->menu(), "Abrir al iniciar sesión"));

    app::release_delegate();
    app::reset_menu_env();
}


TEST_F(Dispatcher, TheMenuOpensAtOnceOverAHundredThousandCaptures)
{
    // The folder is listed away from the menu: opening it costs nothing, and
    // the list comes a moment later, newest first.
    TempHome home;
    TempDir dir;
    for (int i = 0; i < 100'000; ++i) {
        const std::string name = (dir.path() / ("Vistrope " + std::to_string(i) + ".png")).string();
        const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << name;
        ::close(fd);
    }
    std::filesystem::last_write_time(dir.path() / "Vistrope 777.png",
        std::filesystem::file_time_type::clock::now() + std::chrono::hours(1));
    auto cfg = std::make_shared<config::Config>();
    cfg->save_dir = dir.path().string();
    state::set_config(cfg);
    app::reset_menu_env();
    app::MenuEnv& env = app::menu_env();
    env.desktop_icons_visible = [] { return true; };
    env.launch_at_login_enabled = [] { return false; };
    env.recording_running = [] { return false; };

    auto delegate = app::AppDelegate::create();
    delegate->did_finish_launching();
    QMenu* menu = delegate->menu();
    ASSERT_TRUE(menu);
    QMenu* recents = find(menu, "Capturas recientes")->menu();
    for (int round = 0; round < 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        delegate->menu_needs_update();
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(50)) << std::chrono::duration<double, std::milli>(took).count() << " ms";
        ASSERT_TRUE(wait_until([&] { return recents->actions().size() == 10; }, 60000));
    }
    EXPECT_EQ(recents->actions()[0]->text().toStdString(), "Vistrope 777.png");
    app::release_delegate();
    app::reset_menu_env();
}
