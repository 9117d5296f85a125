// The status menu: its rows, key equivalents, refresh and commands.
#include "app/app.h"
#include "app/app_hotkeys.h"

#include "base/config.h"
#include "base/hotkeys.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace app {

namespace {

MenuRow row(std::string title, Command command, std::string shortcut = {})
{
    return { std::move(title), command, std::move(shortcut) };
}

MenuRow separator()
{
    return { "-", Command::Separator, {} };
}

} // namespace

std::vector<MenuRow> menu_rows(const config::Config& c)
{
    // A combination that an earlier action holds works only there: the later
    // row shows no key equivalent rather than one that does nothing.
    config::Shortcuts s = c.shortcuts;
    const std::vector<bool> repeated = repeated_shortcuts(s);
    for (std::size_t i = 0; i < HOTKEY_FIELDS.size(); ++i)
        if (repeated[i])
            (s.*HOTKEY_FIELDS[i].field).clear();
    return {
        row("Capturar área", Command::CaptureArea, s.capture_area),
        row("Capturar pantalla completa", Command::CaptureFullscreen, s.capture_fullscreen),
        row("Capturar ventana", Command::CaptureWindow, s.capture_window),
        row("Repetir área anterior", Command::CapturePrevious, s.capture_previous_area),
        row("Captura con desplazamiento", Command::CaptureScrolling, s.capture_scrolling),
        row("Temporizador", Command::SelfTimer),
        separator(),
        row("Copiar texto (OCR)", Command::CaptureText, s.capture_text),
        row("Grabar pantalla", Command::RecordScreen, s.record_screen),
        row("Grabar GIF", Command::RecordGif),
        separator(),
        row("Fijar última captura", Command::PinLast, s.pin_last),
        row("Anotar última captura", Command::EditLast, s.open_last_in_editor),
        row("Desbloquear capturas fijadas", Command::UnlockPins),
        row("Cerrar capturas fijadas", Command::ClosePins),
        separator(),
        row("Ocultar íconos del escritorio", Command::ToggleDesktopIcons),
        row("Abrir al iniciar sesión", Command::ToggleLaunchAtLogin),
        separator(),
        row("Abrir carpeta de capturas", Command::OpenFolder),
        row("Preferencias…", Command::OpenPreferences, "cmd+,"),
        row("Buscar actualizaciones…", Command::CheckUpdates),
    };
}

QAction* AppDelegate::command_action(QMenu* menu, const MenuRow& r)
{
    QAction* action = menu->addAction(QString::fromStdString(r.title));
    action->setData(static_cast<int>(r.command));
    const KeyEquivalent key = key_equivalent(r.shortcut);
    if (!key.key.empty())
        action->setShortcut(QKeySequence(QString::fromStdString(key_equivalent_text(key))));
    action->setShortcutVisibleInContextMenu(true);
    const Command command = r.command;
    // The menu has just been hidden, but the server and the compositor may
    // still show it: a capture (or the overlay's picture of the screen)
    // waits until it is gone.
    const auto run_after_menu = [](AppAction a) { services().after_menu_closed([a] { run(a); }); };
    QObject::connect(action, &QAction::triggered, action, [this, command, run_after_menu] {
        switch (command) {
        case Command::CaptureArea: run_after_menu(AppAction::CaptureArea); break;
        case Command::CaptureFullscreen: run_after_menu(AppAction::CaptureFullscreen); break;
        case Command::CaptureWindow: run_after_menu(AppAction::CaptureWindow); break;
        case Command::CapturePrevious: run_after_menu(AppAction::CapturePreviousArea); break;
        case Command::CaptureScrolling: run_after_menu(AppAction::CaptureScrolling); break;
        case Command::SelfTimer: run(AppAction::SelfTimer); break;
        case Command::CaptureText: run_after_menu(AppAction::CaptureText); break;
        case Command::RecordScreen: run_after_menu(AppAction::RecordScreen); break;
        case Command::RecordGif: run_after_menu(AppAction::RecordGif); break;
        case Command::PinLast: run(AppAction::PinLast); break;
        case Command::EditLast: run(AppAction::OpenLastInEditor); break;
        case Command::UnlockPins: unlock_pins(); break;
        case Command::ClosePins: close_pins(); break;
        case Command::ToggleDesktopIcons: toggle_desktop_icons(); break;
        case Command::ToggleLaunchAtLogin: toggle_launch_at_login(); break;
        case Command::OpenFolder: open_folder(); break;
        case Command::OpenPreferences: open_preferences(); break;
        case Command::CheckUpdates: check_updates(); break;
        case Command::Separator: break;
        }
    });
    return action;
}

void AppDelegate::rebuild_menu()
{
    if (!m_status_item)
        return;
    const auto config = state::config();
    auto* menu = new QMenu();
    QAction* folder = nullptr;
    for (const MenuRow& r : menu_rows(*config)) {
        if (r.title == "-") {
            menu->addSeparator();
            continue;
        }
        QAction* a = command_action(menu, r);
        if (r.command == Command::OpenFolder)
            folder = a;
        if (r.command == Command::ToggleDesktopIcons || r.command == Command::ToggleLaunchAtLogin)
            a->setCheckable(true);
    }
    // "Capturas recientes" directly above "Abrir carpeta de capturas" (at the top without it).
    auto* recents = new QMenu(QString::fromUtf8("Capturas recientes"), menu);
    QAction* recents_item = recents->menuAction();
    recents_item->setData(RECENTS_TAG);
    QList<QAction*> actions = menu->actions();
    menu->insertMenu(folder ? folder : (actions.isEmpty() ? nullptr : actions.front()), recents);

    menu->addSeparator();
    QAction* quit = menu->addAction(QString::fromUtf8("Salir de Vistrope"));
    quit->setShortcut(QKeySequence(QString("Ctrl+Q")));
    quit->setShortcutVisibleInContextMenu(true);
    QObject::connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    QObject::connect(menu, &QMenu::aboutToShow, menu, [this] {
        retint_status_item();
        menu_needs_update();
    });
    m_status_item->setContextMenu(menu);
    delete m_menu;
    m_menu = menu;
    // Listed ahead, so the first opening already has the list.
    fill_recents();
    list_recents();
}

void AppDelegate::menu_needs_update()
{
    if (!m_menu)
        return;
    MenuEnv& env = menu_env();
    for (QAction* a : m_menu->actions()) {
        const QString title = a->text();
        if (title == QString::fromUtf8("Ocultar íconos del escritorio"))
            a->setChecked(!env.desktop_icons_visible());
        else if (title == QString::fromUtf8("Abrir al iniciar sesión"))
            a->setChecked(env.launch_at_login_enabled());
        else if (title == QString::fromUtf8("Grabar pantalla") || title == QString::fromUtf8("Detener grabación"))
            a->setText(QString::fromUtf8(env.recording_running() ? "Detener grabación" : "Grabar pantalla"));
    }
    fill_recents();
    list_recents();
}

void AppDelegate::list_recents()
{
    if (m_listing) {
        m_list_again = true;
        return;
    }
    m_listing = true;
    const std::string folder = config::save_dir(*state::config()).string();
    util::in_utility([weak = weak_from_this(), folder, list = menu_env().recent_captures] {
        std::vector<std::string> files = list(folder, 10);
        util::on_main([weak, folder, files = std::move(files)]() mutable {
            if (const auto self = weak.lock())
                self->recents_listed(folder, std::move(files));
        });
    });
}

void AppDelegate::recents_listed(const std::string& folder, std::vector<std::string> files)
{
    m_listing = false;
    m_recents_folder = folder;
    m_recents = std::move(files);
    fill_recents();
    if (std::exchange(m_list_again, false))
        list_recents();
}

void AppDelegate::fill_recents()
{
    if (!m_menu)
        return;
    // A listing of another folder (the setting changed since) is no answer.
    const std::string folder = config::save_dir(*state::config()).string();
    const bool known = m_recents_folder == folder;
    for (QAction* a : m_menu->actions()) {
        if (!a->menu() || a->data().toInt() != RECENTS_TAG)
            continue;
        QMenu* sub = a->menu();
        sub->clear();
        if (!known)
            continue;
        for (const auto& path : m_recents) {
            QAction* item = sub->addAction(QString::fromStdString(std::filesystem::path(path).filename().string()));
            item->setData(QString::fromStdString(path));
            QObject::connect(item, &QAction::triggered, item, [this, path] { open_recent(path); });
        }
        if (m_recents.empty())
            sub->addAction(QString::fromUtf8("Sin capturas todavía"))->setEnabled(false);
    }
}

void AppDelegate::open_folder()
{
    open_path(config::save_dir(*state::config()).string(), "No se pudo abrir la carpeta");
}

void AppDelegate::open_recent(const std::string& path)
{
    open_path(path, "No se pudo abrir la captura");
}

void AppDelegate::toggle_desktop_icons()
{
    MenuEnv& env = menu_env();
    env.set_desktop_icons_visible(!env.desktop_icons_visible());
}

void AppDelegate::toggle_launch_at_login()
{
    MenuEnv& env = menu_env();
    env.set_launch_at_login(!env.launch_at_login_enabled());
}

void AppDelegate::open_settings()
{
    // The desktop's text editor for the file; the process is not waited for.
    open_path(config::Config::path().string());
}

void AppDelegate::reload_settings()
{
    state::set_config(std::make_shared<const config::Config>(config::Config::load()));
    services().register_hotkeys();
    rebuild_menu();
    util::log("configuración recargada");
}

} // namespace app
