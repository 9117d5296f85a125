// The status menu: its rows, key equivalents, refresh and commands.
#include "app/app.h"
#include "app/app_hotkeys.h"
#include "app/quit.h"

#include "base/config.h"
#include "base/hotkeys.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QSystemTrayIcon>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <utility>

namespace app {

namespace {

constexpr std::string_view PREFERENCES_KEYS = "cmd+,";
constexpr std::string_view QUIT_KEYS = "cmd+q";
// The data of "Salir de Vistrope", which is no command row.
constexpr int QUIT_TAG = -2;
// The property that holds an action row's action.
constexpr const char* ACTION_PROPERTY = "vistrope-action";

MenuRow row(std::string title, Command command, std::string shortcut = {})
{
    return { std::move(title), command, std::move(shortcut) };
}

MenuRow separator()
{
    return { "-", Command::Separator, {} };
}

// Changes the title and keeps the keys shown beside it.
void set_title(QAction* action, std::string_view title)
{
    const QString keys = action->text().section(QLatin1Char('\t'), 1);
    action->setText(QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size())) + (keys.isEmpty() ? QString() : QLatin1Char('\t') + keys));
}

// Ctrl+, and Ctrl+Q while the menu is open: the menu holds the keyboard
// then, and QMenu itself only knows its rows' letters.
class MenuKeys final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if ((key->modifiers() & ~Qt::KeypadModifier) != Qt::ControlModifier)
            return false;
        auto* menu = qobject_cast<QMenu*>(watched);
        if (!menu || (key->key() != Qt::Key_Comma && key->key() != Qt::Key_Q))
            return false;
        const bool quit = key->key() == Qt::Key_Q;
        for (QAction* a : menu->actions()) {
            const bool wanted = quit ? a->data().toInt() == QUIT_TAG
                                     : !a->menu() && !a->isSeparator() && a->data().toInt() == static_cast<int>(Command::OpenPreferences);
            if (!wanted)
                continue;
            menu->hide();
            a->trigger();
            return true;
        }
        return false;
    }
};

void keys_while_open(QMenu* menu)
{
    menu->installEventFilter(new MenuKeys(menu));
}

} // namespace

std::vector<MenuRow> menu_rows(const config::Config& c)
{
    // A combination that an earlier action holds works only there: the later
    // row shows no key equivalent rather than one that does nothing.
    config::Shortcuts s = c.shortcuts;
    const std::vector<bool> repeated = repeated_shortcuts(s);
    for (std::size_t i = 0; i < actions::SHORTCUT_ROWS.size(); ++i)
        if (repeated[i])
            (s.*actions::SHORTCUT_ROWS[i]->shortcut).clear();
    std::vector<MenuRow> rows;
    for (std::size_t i = 0; i < actions::MENU_ORDER.size(); ++i) {
        const AppAction a = actions::MENU_ORDER[i];
        const actions::ActionRow& r = actions::row(a);
        if (i > 0 && r.group != actions::row(actions::MENU_ORDER[i - 1]).group)
            rows.push_back(separator());
        rows.push_back({ std::string(r.title), Command::Action, r.shortcut ? s.*r.shortcut : std::string(), a });
    }
    for (MenuRow& r : std::vector<MenuRow> {
             row("Desbloquear capturas fijadas", Command::UnlockPins),
             row("Cerrar capturas fijadas", Command::ClosePins),
             separator(),
             row("Ocultar íconos del escritorio", Command::ToggleDesktopIcons),
             row("Abrir al iniciar sesión", Command::ToggleLaunchAtLogin),
             separator(),
             row("Abrir carpeta de capturas", Command::OpenFolder),
             row("Preferencias…", Command::OpenPreferences, std::string(PREFERENCES_KEYS)),
             row("Buscar actualizaciones…", Command::CheckUpdates),
         })
        rows.push_back(std::move(r));
    return rows;
}

QAction* AppDelegate::command_action(QMenu* menu, const MenuRow& r)
{
    // The keys are written after a tab, which QMenu right-aligns as it does
    // a shortcut, in the notation every other place uses. A global hot key
    // works wherever the pointer is; Preferencias' key works while the menu
    // is open (keys_while_open).
    QString text = QString::fromStdString(r.title);
    if (!r.shortcut.empty() && hotkeys::parse(r.shortcut))
        text += QLatin1Char('\t') + QString::fromStdString(hotkeys::display(r.shortcut));
    QAction* action = menu->addAction(text);
    action->setData(static_cast<int>(r.command));
    if (r.action)
        action->setProperty(ACTION_PROPERTY, static_cast<int>(*r.action));
    const Command command = r.command;
    const std::optional<AppAction> what = r.action;
    QObject::connect(action, &QAction::triggered, action, [this, command, what] {
        switch (command) {
        case Command::Action:
            // The menu has just been hidden, but the server and the
            // compositor may still show it: a capture (or the overlay's
            // picture of the screen) waits until it is gone.
            if (actions::row(*what).after_menu == actions::AfterMenu::WaitForScreen)
                services().after_menu_closed([a = *what] { run(a); });
            else
                run(*what);
            break;
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
    // "Ocultar íconos del escritorio" only where the desktop has such a setting.
    const bool desktop_icons = menu_env().desktop_icons_supported();
    for (const MenuRow& r : menu_rows(*config)) {
        if (r.title == "-") {
            menu->addSeparator();
            continue;
        }
        if (r.command == Command::ToggleDesktopIcons && !desktop_icons)
            continue;
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
    QAction* quit = menu->addAction(QString::fromUtf8("Salir de Vistrope\t") + QString::fromStdString(hotkeys::display(QUIT_KEYS)));
    quit->setData(QUIT_TAG);
    QObject::connect(quit, &QAction::triggered, qApp, [] { app::quit(); }, Qt::QueuedConnection);
    keys_while_open(menu);

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
        if (a->isSeparator() || a->menu())
            continue;
        const auto command = static_cast<Command>(a->data().toInt());
        const QVariant action = a->property(ACTION_PROPERTY);
        if (command == Command::ToggleDesktopIcons)
            a->setChecked(!env.desktop_icons_visible());
        else if (command == Command::ToggleLaunchAtLogin)
            a->setChecked(env.launch_at_login_enabled());
        else if (command == Command::Action && action.isValid() && action.toInt() == static_cast<int>(AppAction::RecordScreen))
            set_title(a, env.recording_running() ? "Detener grabación" : actions::row(AppAction::RecordScreen).title);
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
    open_path(config::Config::path().string(), "No se pudo abrir config.toml");
}

void AppDelegate::reload_settings()
{
    state::set_config(std::make_shared<const config::Config>(config::Config::load()));
    services().register_hotkeys();
    rebuild_menu();
    util::log("configuración recargada");
}

} // namespace app
