#include "app/app.h"
#include "app/quit.h"
#include "app/no_tray.h"
#include "settings/prefs.h"

#include "capture/flash.h"
#include "capture/output.h"
#include "base/publish.h"
#include "base/config.h"
#include "ui/hud.h"
#include "ui/status_icon.h"
#include "settings/onboarding.h"
#include "capture/overlay.h"
#include "cards/quick_access.h"
#include "record/recording_file.h"
#include "base/state.h"
#include "settings/updater.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "base/xdg.h"
#include "platform/media_module.h"
#include "platform/screens.h"
#include "platform/accessibility.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <fmt/format.h>

#include <array>
#include <utility>

namespace app {

namespace {

std::shared_ptr<AppDelegate>& delegate_slot()
{
    util::require_main_thread("hilo principal");
    static auto* slot = new std::shared_ptr<AppDelegate>(); // emptied by release_delegate, before the application goes
    return *slot;
}



// The tint that stands out on the tray's background under the icon: light
// icons on dark panels, dark icons on light ones.
QColor tint_for(QSystemTrayIcon* item)
{
    const QRect where = item->geometry();
    QScreen* screen = where.isValid() ? QGuiApplication::screenAt(where.center()) : nullptr;
    if (!screen)
        return Qt::white;
    // The top-right corner: the icon leaves it empty (its rings sit in the
    // other two corners), so this samples the tray, not the icon's own tint.
    const QImage pixels = screen->grabWindow(0, where.right() - 1, where.top(), 2, 2).toImage();
    if (pixels.isNull())
        return Qt::white;
    const QColor c = pixels.pixelColor(1, 0);
    const double luminance = 0.2126 * c.redF() + 0.7152 * c.greenF() + 0.0722 * c.blueF();
    return luminance < 0.5 ? Qt::white : Qt::black;
}

QIcon icon_for(const QColor& tint)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    return QIcon(QPixmap::fromImage(ui::status_icon(screen ? screen->devicePixelRatio() : 1.0, tint)));
}

} // namespace


std::optional<std::string> url_host(std::string_view url)
{
    // scheme ":" "//" authority; the host is the authority without user
    // information and port, exactly as written.
    const size_t colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return std::nullopt;
    std::string_view rest = url.substr(colon + 1);
    if (!rest.starts_with("//"))
        return std::nullopt;
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos)
        authority.remove_prefix(at + 1);
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        authority = close == std::string_view::npos ? authority : authority.substr(0, close + 1);
    } else if (const size_t port = authority.rfind(':'); port != std::string_view::npos) {
        authority = authority.substr(0, port);
    }
    if (authority.empty())
        return std::nullopt;
    return std::string(authority);
}

std::optional<AppAction> action_for_host(std::string_view host)
{
    return actions::for_host(host);
}

bool is_known_link(std::string_view url)
{
    const auto host = url_host(url);
    return host && action_for_host(*host);
}

std::shared_ptr<AppDelegate> delegate()
{
    return delegate_slot();
}

void release_delegate()
{
    delegate_slot().reset();
}


std::shared_ptr<AppDelegate> AppDelegate::create()
{
    return std::shared_ptr<AppDelegate>(new AppDelegate());
}

AppDelegate::~AppDelegate()
{
    no_tray::reset();
    delete m_status_item;
    delete m_menu;
}

void AppDelegate::create_status_item()
{
    if (m_status_item)
        return;
    m_status_item = new QSystemTrayIcon();
    m_status_item->setIcon(icon_for(Qt::white));
    m_status_item->setToolTip("Vistrope");
    // The left click opens the menu too, not only the right one; a second
    // click soon after the first arrives as a double click and opens it as well.
    QObject::connect(m_status_item, &QSystemTrayIcon::activated, m_status_item, [this](QSystemTrayIcon::ActivationReason reason) {
        if ((reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) && m_menu && !m_menu->isVisible())
            m_menu->popup(QCursor::pos());
    });
    m_status_item->show();
    m_status_tint = QColor(Qt::white).rgb();
    // The tray tells nobody when it places, moves or repaints the icon: its
    // geometry is watched instead, and the menu's opening samples again.
    auto* watch = new QTimer(m_status_item);
    QObject::connect(watch, &QTimer::timeout, m_status_item, [this] {
        if (m_status_item && m_status_item->geometry() != m_status_geometry)
            retint_status_item();
    });
    watch->start(500);
}

void AppDelegate::retint_status_item()
{
    if (!m_status_item)
        return;
    m_status_geometry = m_status_item->geometry();
    const QColor tint = tint_for(m_status_item);
    if (tint.rgb() == m_status_tint)
        return;
    m_status_tint = tint.rgb();
    m_status_item->setIcon(icon_for(tint));
}

void AppDelegate::did_finish_launching()
{
    // 1. The delegate slot keeps the first delegate.
    auto& slot = delegate_slot();
    if (!slot)
        slot = shared_from_this();
    // 2-4. The status item with its drawn icon; without a tray, a window says
    // so and offers what the menu would.
    create_status_item();
    no_tray::watch({ menu_env().tray_available, [] { prefs::show(); },
        [] { QMetaObject::invokeMethod(qApp, [] { app::quit(); }, Qt::QueuedConnection); },
        [weak = weak_from_this()] {
            // Docked again now that a tray takes it.
            if (auto d = weak.lock(); d && d->m_status_item) {
                d->m_status_item->hide();
                d->m_status_item->show();
            }
        } });
    // 5. The menu; its first read of the settings loads or creates the file.
    rebuild_menu();
    // 6. Global hot keys.
    services().register_hotkeys();
    // 7. Shareable content, when the permission is there.
    if (services().permission_granted())
        services().refresh_content();
    // 8. The first-run window when needed.
    onboarding::show_if_needed();
    // 9. Overlay, card and flash, ready before their first use.
    overlay::prewarm();
    quick_access::prewarm();
    flash::prewarm();
    platform::load_accessibility();
    // 10. Text recognition and the GL effects are not made here: each holds
    // tens of megabytes and threads of its own, and a tray program at rest
    // needs neither. They start with the first capture that uses them.
    // The media modules are not loaded before the tray icon shows: they
    // bring most of the program's libraries. A second later the recording
    // and the text-recognition modules load in the background, so that a
    // capture after that does not wait for them, and one asked for at
    // launch (a link) does not wait for them either: while they load, the
    // screen grab and the program's own loading of a library wait for the
    // loader. The player's module waits for the first video
    // (platform/media_module.h). The shutter needs none of them.
    util::after(1, [] { platform::preload_media_module(); });
    // 11. The automatic update check, ten seconds from now.
    util::after(10, [] { updater::check_in_background(); });
    watch_screens();
    // Files a crashed run was writing when it stopped: a recording is
    // published with what it holds, other temporaries go once a day old.
    util::in_utility([folder = config::save_dir(*state::config()), launch = std::filesystem::file_time_type::clock::now()] {
        recorder::recover_recordings(folder, launch, [](const std::filesystem::path& path) {
            util::on_main([path] {
                hud::toast("video.fill", "Se recuperó una grabación interrumpida", 2.4);
                if (output::cards().show_video)
                    output::cards().show_video(path, std::nullopt);
            });
        }, [](const std::filesystem::path& moved) {
            util::on_main([text = recorder::set_aside_text(moved, true)] { hud::toast("exclamationmark.triangle", text, 4.0); });
        });
        publish::remove_stale_temporaries(folder);
    });
    m_launched = true;
    // 12.
    util::log("listo");
}

void AppDelegate::watch_screens()
{
    // Any change of the screen configuration: screens added or removed, or a
    // screen's geometry or scale changed.
    auto changed = [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->screens_changed();
    };
    auto watch = [changed](QScreen* screen) {
        QObject::connect(screen, &QScreen::geometryChanged, qApp, changed);
        QObject::connect(screen, &QScreen::physicalDotsPerInchChanged, qApp, changed);
    };
    for (QScreen* screen : QGuiApplication::screens())
        watch(screen);
    QObject::connect(qApp, &QGuiApplication::screenAdded, qApp, [changed, watch](QScreen* screen) {
        watch(screen);
        changed();
    });
    QObject::connect(qApp, &QGuiApplication::screenRemoved, qApp, [changed](QScreen*) { changed(); });
}

void AppDelegate::screens_changed()
{
    overlay::prewarm();
    services().refresh_content();
}

void AppDelegate::reopen()
{
    // Without a tray the window is the way in; with one, the icon is, and
    // the user is told where it waits rather than left with nothing.
    if (no_tray::show_again())
        return;
    // A burst of launches (a double click that became ten, a script) is
    // told once: a launch while the toast still says so keeps it up longer.
    constexpr double SECONDS = 2.4;
    if (m_reopen_toast && hud::keep_toast(*m_reopen_toast, SECONDS))
        return;
    util::log("abierto otra vez; el ícono está en la bandeja del sistema");
    hud::toast("info.circle", "Vistrope ya está abierto: su ícono está en la bandeja del sistema", SECONDS);
    m_reopen_toast = hud::toast_generation();
}

void AppDelegate::open_urls(const std::vector<std::string>& urls)
{
    for (const auto& url : urls) {
        const auto host = url_host(url);
        const auto action = host ? action_for_host(*host) : std::nullopt;
        if (!action) {
            util::log(fmt::format("URL desconocida: {}", util::escape_controls(url)));
            continue;
        }
        run(*action);
    }
}

} // namespace app
