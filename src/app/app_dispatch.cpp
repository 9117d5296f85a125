// The action dispatcher: every command ends here with one action code.
#include "app/app.h"

#include "app/app_hotkeys.h"
#include "capture/capture.h"
#include "editor/mod.h"
#include "capture/ocr.h"
#include "settings/onboarding.h"
#include "capture/overlay.h"
#include "cards/pin.h"
#include "platform/workspace.h"
#include "settings/prefs.h"
#include "record/recorder.h"
#include "scroll/scroll.h"
#include "base/state.h"
#include "platform/system.h"
#include "settings/updater.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "ui/hud.h"
#include "platform/screens.h"

#include <QSystemTrayIcon>
#include <fmt/format.h>

namespace app {

namespace {

Services real_services()
{
    Services s;
    s.permission_granted = [] { return platform::screen_recording_permission(); };
    s.show_onboarding = [] { onboarding::show(); };
    s.overlay_begin = [](int mode, int purpose, actions::RecordingFormat format) {
        overlay::begin(static_cast<overlay::Mode>(mode), static_cast<overlay::Purpose>(purpose), format);
    };
    s.capture_fullscreen = [] { capture_fullscreen(); };
    s.capture_previous_area = [] { capture_previous_area(); };
    s.self_timer = [] { self_timer(); };
    s.recording_running = [] { return recorder::running(); };
    s.recorder_stop = [] { recorder::stop(); };
    s.scrolling_running = [] { return scroll::running(); };
    s.scroll_finish = [] { scroll::finish(); };
    s.pin = [](QImage image, double scale) { pin::pin(std::move(image), scale); };
    s.open_editor = [](QImage image, double scale) { editor::open(std::move(image), scale); };
    s.register_hotkeys = [] { register_hotkeys(); };
    s.refresh_content = [] { capture::refresh(); };
    s.warm_up_text = [] { util::in_utility([] { ocr::warm_up(); }); };
    s.warm_up_glass = [] { flash::prepare_glass(); };
    s.after_menu_closed = [](std::function<void()> job) { capture::after_screen_settles(std::move(job)); };
    return s;
}

MenuEnv real_menu_env()
{
    MenuEnv e;
    e.desktop_icons_supported = [] { return sys::desktop_icons_setting_exists(); };
    e.desktop_icons_visible = [] { return sys::desktop_icons_visible(); };
    e.set_desktop_icons_visible = [](bool visible) { sys::set_desktop_icons_visible(visible); };
    e.launch_at_login_enabled = [] { return sys::launch_at_login_enabled(); };
    e.set_launch_at_login = [](bool on) { sys::set_launch_at_login(on); };
    e.recent_captures = [](const std::string& folder, unsigned limit) {
        std::vector<std::string> out;
        for (const auto& path : sys::recent_captures(folder, limit))
            out.push_back(path.string());
        return out;
    };
    e.recording_running = [] { return services().recording_running(); };
    e.tray_available = [] { return QSystemTrayIcon::isSystemTrayAvailable(); };
    return e;
}

void open_overlay(overlay::Mode mode, overlay::Purpose purpose,
    actions::RecordingFormat format = actions::RecordingFormat::Video)
{
    services().overlay_begin(static_cast<int>(mode), static_cast<int>(purpose), format);
}

} // namespace

Services& services()
{
    util::require_main_thread("hilo principal");
    static Services s = real_services();
    return s;
}

void reset_services()
{
    services() = real_services();
}

MenuEnv& menu_env()
{
    util::require_main_thread("hilo principal");
    static MenuEnv e = real_menu_env();
    return e;
}

void reset_menu_env()
{
    menu_env() = real_menu_env();
}

void run(AppAction action)
{
    Services& s = services();
    if (!s.permission_granted()) {
        s.show_onboarding();
        util::log("falta el permiso de Grabación de pantalla");
        return;
    }
    // The flash's and the overlay's GL effects load with the first action;
    // until they are ready both draw plainly.
    s.warm_up_glass();
    using overlay::Mode;
    using overlay::Purpose;
    switch (action) {
    case AppAction::CaptureArea:
        open_overlay(Mode::Area, Purpose::Screenshot);
        break;
    case AppAction::CaptureFullscreen:
        s.capture_fullscreen();
        break;
    case AppAction::CaptureWindow:
        open_overlay(Mode::Window, Purpose::Screenshot);
        break;
    case AppAction::CapturePreviousArea:
        s.capture_previous_area();
        break;
    case AppAction::CaptureText:
        // The engine starts loading while the user selects.
        s.warm_up_text();
        open_overlay(Mode::Area, Purpose::Text);
        break;
    case AppAction::RecordScreen:
    case AppAction::RecordGif:
        if (s.recording_running()) {
            s.recorder_stop();
            break;
        }
        open_overlay(Mode::Area, Purpose::Record,
            action == AppAction::RecordGif ? actions::RecordingFormat::Gif : actions::RecordingFormat::Video);
        break;
    case AppAction::SelfTimer:
        s.self_timer();
        break;
    case AppAction::PinLast:
        if (auto shot = state::last_shot())
            s.pin(std::move(shot->image), shot->scale);
        break;
    case AppAction::OpenLastInEditor:
        if (auto shot = state::last_shot())
            s.open_editor(std::move(shot->image), shot->scale);
        break;
    case AppAction::CaptureScrolling:
        if (s.scrolling_running())
            s.scroll_finish();
        else
            open_overlay(Mode::Area, Purpose::Scroll);
        break;
    }
}

void apply_config()
{
    services().register_hotkeys();
    if (auto d = delegate())
        d->rebuild_menu();
}

void open_path(const std::string& path, std::string_view failure_toast)
{
    // A failure is logged and, when the user must know, said in a toast.
    platform::open_path(path, [toast = std::string(failure_toast)](const std::string&) {
        if (!toast.empty())
            hud::toast("exclamationmark.triangle", toast, 2.0);
    });
}

void AppDelegate::unlock_pins()
{
    pin::unlock_all();
}

void AppDelegate::close_pins()
{
    pin::close_all();
}

void AppDelegate::check_updates()
{
    updater::check(true);
}

void AppDelegate::open_preferences()
{
    prefs::show();
}

} // namespace app
