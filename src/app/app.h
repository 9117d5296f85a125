// app: the tray application: the delegate with its launch sequence,
// status item and URL intake, the status menu, and the action dispatcher.
//
// Main thread only.
#pragma once

#include "base/actions.h"
#include "base/config.h"
#include "base/hotkeys.h"

#include <QImage>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QMenu;
class QSystemTrayIcon;
class QAction;

namespace overlay {
struct Roads;
}

namespace app {

// The command code shared by the status menu, the hot keys and the URL
// scheme; every action's names are in base/actions.h.
using AppAction = actions::Action;

// --- Dispatcher (app_dispatch.cpp) ---------------------------------------------

// Runs one action after the screen-recording permission check.
void run(AppAction action);
// Registers the hot keys again, then rebuilds the status menu when launching has finished.
void apply_config();
// Opens a file or folder with the desktop's default application; when it
// cannot, logs why and shows `failure_toast` (none when empty).
void open_path(const std::string& path, std::string_view failure_toast = {});

// What the dispatcher reaches in other modules. Each member defaults to the
// real module; tests replace them to watch the routing.
struct Services {
    std::function<bool()> permission_granted;
    std::function<void()> show_onboarding;
    std::function<void(int mode, int purpose, actions::RecordingFormat format)> overlay_begin; // overlay::Mode, overlay::Purpose
    std::function<void()> capture_fullscreen;
    std::function<void()> capture_previous_area;
    std::function<void()> self_timer;
    std::function<bool()> recording_running;
    std::function<void()> recorder_stop;
    std::function<void(QImage, double)> pin;
    std::function<void(QImage, double)> open_editor;
    std::function<bool()> scrolling_running;
    std::function<void()> scroll_finish;
    std::function<void()> register_hotkeys;
    std::function<void()> refresh_content; // a new fetch of the shareable content
    std::function<void()> warm_up_text;    // loads the recogniser on the utility pool (text capture)
    std::function<void()> warm_up_glass;   // loads the GL driver and builds the effects, once (first action)
    // Runs the job once the menu just closed is gone from the screen, the
    // compositor's last frame of it included.
    std::function<void(std::function<void()>)> after_menu_closed;
};
Services& services();
// Restores the real modules (tests).
void reset_services();

// The direct capture roads (app_capture.cpp).
void capture_fullscreen();
void capture_previous_area();
void self_timer();

// Fills the slots through which the lower floors reach the shell and the
// cards: delivered captures and finished files show cards, the settings
// window reaches the hot keys (listeners.cpp). Main, once the application
// object exists, before anything is captured; the test mains too. Main thread.
void install_listeners();

// The roads out of the selection overlay into capture, delivery,
// recognition, the recorder and the scrolling capture (overlay_roads.cpp);
// install_listeners puts them in the overlay's slot.
overlay::Roads overlay_roads();

// --- URL intake (app.cpp) ------------------------------------------------------

// The host of a URL, parsed by hand and kept as written (case-sensitive);
// none when the URL has no authority or an empty host.
std::optional<std::string> url_host(std::string_view url);
// The action a host names (actions::ACTIONS); none for any other text.
std::optional<AppAction> action_for_host(std::string_view host);
// Whether a link's host names an action. What open_urls would run, without
// running it: a launch hears of a link that does nothing.
bool is_known_link(std::string_view url);

// --- Status menu (app_menu.cpp) -------------------------------------------------

// The menu's key equivalents are the shortcut text's (base/hotkeys.h).
using hotkeys::KeyEquivalent;
using hotkeys::Modifier;
using hotkeys::key_equivalent;
using hotkeys::key_equivalent_of_valid;
using hotkeys::key_equivalent_text;

// What a row does: one of the actions (its row in actions::ACTIONS says
// which), or one of the menu's own commands.
enum class Command {
    Action, UnlockPins, ClosePins, ToggleDesktopIcons, ToggleLaunchAtLogin, OpenFolder, OpenPreferences, CheckUpdates,
    Separator,
};

struct MenuRow {
    std::string title; // "-" for a separator
    Command command;
    std::string shortcut; // the text the key equivalent comes from
    std::optional<AppAction> action = std::nullopt; // what the row runs, for an action's row
};
// The rows with the shortcuts of `config`: the actions in
// actions::MENU_ORDER with a separator between their groups, then the menu's
// own commands.
std::vector<MenuRow> menu_rows(const config::Config& config);

inline constexpr int RECENTS_TAG = 7001;

// What the menu reads from the system before it opens. Defaults to the real
// modules; tests replace them.
struct MenuEnv {
    // Whether the desktop has a setting for its icons: without one the menu
    // has no row for them.
    std::function<bool()> desktop_icons_supported;
    std::function<bool()> desktop_icons_visible;
    std::function<void(bool)> set_desktop_icons_visible;
    std::function<bool()> launch_at_login_enabled;
    std::function<void(bool)> set_launch_at_login;
    std::function<std::vector<std::string>(const std::string& folder, unsigned limit)> recent_captures;
    std::function<bool()> recording_running;
    // Whether a system tray can show the status item (a StatusNotifierWatcher
    // or an XEmbed tray manager is there).
    std::function<bool()> tray_available;
};
MenuEnv& menu_env();
void reset_menu_env();

// --- The delegate (app.cpp) -------------------------------------------------------

// VistropeAppDelegate: the application's one delegate. Launching builds the
// status item and menu, registers the hot keys, warms up and logs "listo".
class AppDelegate final : public std::enable_shared_from_this<AppDelegate> {
public:
    static std::shared_ptr<AppDelegate> create();
    ~AppDelegate();

    void did_finish_launching();
    void screens_changed();
    void open_urls(const std::vector<std::string>& urls);
    // The program was started again without links: shows the way in.
    void reopen();

    // Status menu (app_menu.cpp).
    void rebuild_menu();
    void menu_needs_update();
    QMenu* menu() const { return m_menu; }
    QSystemTrayIcon* status_item() const { return m_status_item; }
    // Samples the tray's background under the icon again and tints the icon
    // to stand out on it: when the icon moves or changes size, and each time
    // the menu opens.
    void retint_status_item();

    // Menu commands that are not capture actions.
    void open_folder();
    void open_recent(const std::string& path);
    void unlock_pins();
    void close_pins();
    void toggle_desktop_icons();
    void toggle_launch_at_login();
    void check_updates();
    void open_preferences();
    void open_settings();
    void reload_settings();

    bool launched() const { return m_launched; }

private:
    AppDelegate() = default;
    void create_status_item();
    void watch_screens();
    QAction* command_action(QMenu* menu, const MenuRow& row);
    // The recent captures are listed on a utility thread (a folder of
    // 100,000 files takes a second); the menu shows the last listing and
    // takes the new one when it comes.
    void list_recents();
    void recents_listed(const std::string& folder, std::vector<std::string> files);
    void fill_recents();

    QSystemTrayIcon* m_status_item = nullptr;
    QRect m_status_geometry;  // where the icon was last sampled
    QRgb m_status_tint = 0;   // the tint it has
    QMenu* m_menu = nullptr;
    bool m_launched = false;
    std::optional<unsigned long> m_reopen_toast; // the toast generation of the last "ya está abierto"
    std::optional<std::string> m_recents_folder; // the folder m_recents lists; none before the first listing
    std::vector<std::string> m_recents;
    bool m_listing = false;      // a listing is under way
    bool m_list_again = false;   // and another was asked for meanwhile
};

// The delegate kept at the end of launching; null before.
std::shared_ptr<AppDelegate> delegate();
// Empties the delegate slot: main, once the run loop has returned, and tests.
void release_delegate();

// Closes every window of ours at once: the overlay and its mode bar, cards,
// pins, editors, trim windows, the settings and first-run windows (quitting,
// and the test mains between tests). Main thread (lifetime.cpp).
void close_windows();
// The delegate, the windows, then every engine and connection (text
// recognition, media, screen capture, hot keys, sound) in order, once no
// background job runs. Main calls it on every way out once the application
// object exists, before that object goes. Main thread.
void release_services();



} // namespace app
