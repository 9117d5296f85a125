#include "settings/onboarding.h"

#include "ui/status_icon.h"
#include "base/actions.h"
#include "base/config.h"
#include "base/hotkeys.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "capture/capture.h"
#include "platform/process.h"
#include "platform/workspace.h"
#include "settings/prefs.h"
#include "settings/widgets.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWindow>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <fstream>

namespace onboarding {

namespace {

// Never destroyed: the window must not outlive the application object.
std::shared_ptr<Ui>& slot()
{
    util::require_main_thread("hilo principal");
    static auto* held = new std::shared_ptr<Ui>();
    return *held;
}

std::uint64_t& generation()
{
    util::require_main_thread("hilo principal");
    static std::uint64_t poll = 0;
    return poll;
}

QString q(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

Services real_services()
{
    Services s;
    s.permission = [] { return platform::screen_recording_permission(); };
    s.probe = [](std::function<void(bool)> done) {
        // The probe answers on any thread; the record is only touched on the main one.
        capture::probe([done = std::move(done)](bool granted) { util::on_main([done, granted] { done(granted); }); });
    };
    s.refresh = [] {
        if (!capture::refreshing())
            capture::refresh();
    };
    s.after = [](double seconds, std::function<void()> job) { util::after(seconds, std::move(job)); };
    s.start_detached = [](const std::string& program, const std::vector<std::string>& args) {
        return platform::start_detached(program, args);
    };
    s.release_instance = [] {
        if (state::instance_release())
            state::instance_release()();
    };
    s.quit = [] {
        // As "Salir de Vistrope" ends it, where the shell said how.
        if (state::quit_handler())
            state::quit_handler()();
        else
            QApplication::quit();
    };
    s.show_preferences = [] { prefs::show(); };
    s.arguments = [] { return state::process_arguments(); };
    return s;
}

// A window that moves with a drag anywhere on its background: the window
// manager keeps the title bar, and the content is one large handle.
class OnboardingWindow final : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::MouseButtonPress) {
            auto* widget = static_cast<QWidget*>(watched);
            if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && widget->windowHandle()) {
                widget->windowHandle()->startSystemMove();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

QLabel* image_view(int width, int height)
{
    auto* view = new QLabel;
    view->setFixedSize(width, height);
    view->setAlignment(Qt::AlignCenter);
    return view;
}

QVBoxLayout* column(int spacing, QWidget* owner)
{
    auto* v = new QVBoxLayout(owner);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(spacing);
    return v;
}

// Badge and body side by side in a card.
QWidget* step(QWidget* badge, QWidget* body)
{
    auto* row = new QWidget;
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(12);
    h->addWidget(badge, 0, Qt::AlignTop);
    h->addWidget(body, 1, Qt::AlignTop);
    QWidget* card = widgets::card(row, 16);
    card->setFixedWidth(468);
    return card;
}

QWidget* shortcut_grid()
{
    const widgets::Colors& c = widgets::colors();
    const auto settings = state::config();
    auto* grid_view = new QWidget;
    auto* grid = new QGridLayout(grid_view);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(7);
    grid->setHorizontalSpacing(8);
    grid->setColumnMinimumWidth(0, 20);
    grid->setColumnMinimumWidth(1, 282);
    grid->setColumnMinimumWidth(2, 80);
    int r = 0;
    // The main actions, each with its symbol (base/actions.h).
    for (const actions::Action a : actions::FIRST_RUN_ORDER) {
        const actions::ActionRow& row = actions::row(a);
        QLabel* icon = image_view(18, 16);
        icon->setPixmap(widgets::symbol(row.symbol, 13, c.secondary));
        const std::string& spec = settings->shortcuts.*row.shortcut;
        const std::string shown = spec.empty() ? std::string("Sin atajo") : hotkeys::display(spec);
        QLabel* keys = widgets::label_with(q(shown), 13, QFont::Medium, c.secondary);
        keys->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(icon, r, 0, Qt::AlignCenter);
        grid->addWidget(widgets::label_with(q(row.title), 13, QFont::Normal, c.label), r, 1, Qt::AlignVCenter);
        grid->addWidget(keys, r, 2, Qt::AlignRight | Qt::AlignVCenter);
        ++r;
    }
    return grid_view;
}

QPushButton* button(const char* title, void (*action)())
{
    auto* b = new QPushButton(QString::fromUtf8(title));
    b->setAutoDefault(false);
    QObject::connect(b, &QPushButton::clicked, b, [action] { action(); });
    return b;
}

// Fits the window to its content; the top edge stays where it is.
void fit(Ui& u)
{
    QWidget* w = u.window.get();
    // Shown and hidden rows only reach the nested layouts' cached sizes on the
    // next event-loop turn; the fit must see them now.
    for (QWidget* child : w->findChildren<QWidget*>())
        child->updateGeometry();
    if (QLayout* l = w->layout())
        l->activate();
    const QSize fitting = w->sizeHint();
    if (std::abs(fitting.width() - w->width()) <= 0 && std::abs(fitting.height() - w->height()) <= 0)
        return;
    // Qt's coordinates grow downwards, so keeping the top-left corner keeps the top edge.
    w->setFixedSize(fitting);
}

void schedule_poll(std::uint64_t gen, int attempt)
{
    services().after(1.0, [gen, attempt] { tick(gen, attempt); });
}

void settle(const std::shared_ptr<Ui>& u, bool granted, std::uint64_t gen, int attempt)
{
    if (!granted && attempt > 3)
        u->needs_restart = true;
    if (granted && u->granted == false) {
        util::log("permiso de Grabación de pantalla concedido");
        services().refresh();
    }
    update_status(*u, granted);
    schedule_poll(gen, attempt + 1);
}

} // namespace

Ui::Ui() = default;
Ui::~Ui() = default;

Services& services()
{
    static Services s = real_services();
    return s;
}

void reset_services()
{
    services() = real_services();
}

std::shared_ptr<Ui> ui()
{
    return slot();
}

std::uint64_t poll_generation()
{
    return generation();
}

std::filesystem::path marker_path()
{
    return config::Config::path().parent_path() / "onboarded";
}

std::vector<std::string> relaunch_arguments(const std::string& executable)
{
    return { "-c", "sleep 0.7; \"$0\" >/dev/null 2>&1 &", executable };
}

std::optional<std::string> relaunch_executable(std::string link)
{
    constexpr std::string_view DELETED = " (deleted)";
    if (link.ends_with(DELETED))
        link.resize(link.size() - DELETED.size());
    if (link.empty())
        return std::nullopt;
    return link;
}

void show_if_needed()
{
    util::require_main_thread("hilo principal");
    const auto args = services().arguments();
    if (std::find(args.begin(), args.end(), "--selftest") != args.end())
        return;
    std::error_code ec;
    const bool finished = std::filesystem::exists(std::filesystem::symlink_status(marker_path(), ec)) && !ec;
    if (!finished || !services().permission())
        show();
}

void show()
{
    std::shared_ptr<Ui> u = slot();
    const bool built = !u;
    if (built) {
        u = std::shared_ptr<Ui>(build());
        slot() = u;
    }
    update_status(*u, services().permission());
    // Centred once the state has set its height (the steps it hides shrink it
    // from the bottom).
    if (built) {
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QWidget* w = u->window.get();
            w->move(screen->availableGeometry().center() - QPoint(w->width() / 2, w->height() / 2));
        }
    }
    widgets::VistropeSettingsWindow* w = u->window.get();
    w->show();
    w->raise();
    w->activateWindow();
    schedule_poll(++generation(), 0);
}

std::unique_ptr<Ui> build()
{
    const widgets::Colors& c = widgets::colors();
    auto u = std::make_unique<Ui>();
    u->window = std::make_unique<widgets::VistropeSettingsWindow>();
    widgets::VistropeSettingsWindow* w = u->window.get();
    w->setObjectName(QStringLiteral("vistrope-onboarding"));
    w->setWindowTitle(QStringLiteral("Bienvenido a Vistrope"));
    w->on_close = [] { handler::will_close(); };
    w->installEventFilter(new OnboardingWindow(w));

    // Header.
    QLabel* icon = image_view(96, 96);
    const double scale = qApp->devicePixelRatio() > 0 ? qApp->devicePixelRatio() : 1.0;
    QPixmap icon_picture = QPixmap::fromImage(ui::app_icon(96 / 18.0 * scale, c.accent));
    icon_picture.setDevicePixelRatio(scale);
    icon->setPixmap(icon_picture);
    QLabel* title = widgets::label_with(QStringLiteral("Vistrope: capturas al instante"), 24, QFont::Bold, c.label);
    QLabel* subtitle = widgets::label_with(
        QStringLiteral("Captura, anota y comparte lo que ves en pantalla. Vistrope vive en la bandeja del sistema."),
        13, QFont::Normal, c.secondary);
    subtitle->setWordWrap(true);
    subtitle->setAlignment(Qt::AlignCenter);
    subtitle->setFixedWidth(428);

    // Step 1: the permission.
    u->badge = image_view(26, 26);
    auto* body1 = new QWidget;
    QVBoxLayout* v1 = column(6, body1);
    v1->addWidget(widgets::label_with(QStringLiteral("Permite la Grabación de pantalla"), 14, QFont::DemiBold, c.label));
    v1->addWidget(widgets::note(QStringLiteral("Vistrope la necesita para ver lo que capturas. En X11 no hay nada que "
                                               "activar: la pantalla ya está a su alcance."),
                                388));
    auto* status_row = new QWidget;
    auto* hs = new QHBoxLayout(status_row);
    hs->setContentsMargins(0, 0, 0, 0);
    hs->setSpacing(5);
    u->status_icon = image_view(16, 16);
    u->status_label = widgets::label_with(QString(), 12, QFont::Normal, c.secondary);
    hs->addWidget(u->status_icon, 0, Qt::AlignVCenter);
    hs->addWidget(u->status_label, 0, Qt::AlignVCenter);
    hs->addStretch(1);
    v1->addWidget(status_row);
    v1->addSpacing(10);
    u->actions = new QWidget;
    auto* ha = new QHBoxLayout(u->actions);
    ha->setContentsMargins(0, 0, 0, 0);
    ha->setSpacing(8);
    u->grant_button = button("Dar permiso", handler::grant_permission);
    u->relaunch_button = button("Reiniciar Vistrope", handler::relaunch);
    ha->addWidget(u->grant_button, 0, Qt::AlignVCenter);
    ha->addWidget(u->relaunch_button, 0, Qt::AlignVCenter);
    ha->addStretch(1);
    v1->addWidget(u->actions);
    u->restart_note = widgets::note(
        QStringLiteral("¿Sigue esperando? Reinicia Vistrope."), 388);
    v1->addWidget(u->restart_note);
    v1->addSpacing(10);
    // The step carries the room below it, so hiding it leaves no gap.
    u->permission_step = new QWidget;
    QVBoxLayout* vp = column(0, u->permission_step);
    vp->addWidget(step(u->badge, body1));
    vp->addSpacing(12);

    // Step 2: the shortcuts.
    u->shortcuts_badge = image_view(26, 26);
    auto* body2 = new QWidget;
    QVBoxLayout* v2 = column(8, body2);
    v2->addWidget(widgets::label_with(QStringLiteral("Usa los atajos desde cualquier app"), 14, QFont::DemiBold, c.label));
    v2->addSpacing(12);
    v2->addWidget(shortcut_grid());
    v2->addSpacing(12);
    v2->addWidget(widgets::note(QStringLiteral("Cámbialos cuando quieras en Preferencias…, desde el ícono de "
                                               "Vistrope en la bandeja del sistema."),
                                388));
    QWidget* step2 = step(u->shortcuts_badge, body2);

    // Bottom row.
    auto* bottom = new QWidget;
    bottom->setFixedWidth(468);
    auto* hb = new QHBoxLayout(bottom);
    hb->setContentsMargins(0, 0, 0, 0);
    hb->setSpacing(8);
    u->preferences_button = button("Preferencias…", handler::open_preferences);
    u->start_button = button("Empezar", handler::start);
    u->start_button->setFixedWidth(110);
    u->start_button->setDefault(true);
    // "Empezar" is the window's Return key; only dialogs have default buttons.
    for (const int key : { Qt::Key_Return, Qt::Key_Enter }) {
        auto* shortcut = new QShortcut(QKeySequence(key), w);
        QObject::connect(shortcut, &QShortcut::activated, w, [] { handler::start(); });
    }
    hb->addWidget(u->preferences_button, 0, Qt::AlignVCenter);
    hb->addStretch(1);
    hb->addWidget(u->start_button, 0, Qt::AlignVCenter);

    auto* main = new QVBoxLayout(w);
    main->setContentsMargins(36, 40, 36, 24);
    main->setSpacing(8);
    main->setSizeConstraint(QLayout::SetFixedSize);
    main->addWidget(icon, 0, Qt::AlignHCenter);
    main->addSpacing(14);
    main->addWidget(title, 0, Qt::AlignHCenter);
    main->addWidget(subtitle, 0, Qt::AlignHCenter);
    main->addSpacing(22);
    main->addWidget(u->permission_step, 0, Qt::AlignHCenter);
    main->addWidget(step2, 0, Qt::AlignHCenter);
    main->addSpacing(22);
    main->addWidget(bottom, 0, Qt::AlignHCenter);

    u->needs_restart = false;
    u->granted.reset();
    fit(*u);
    return u;
}

void update_status(Ui& u, bool granted)
{
    const widgets::Colors& c = widgets::colors();
    u.granted = granted;
    const std::array<QColor, 2> green = { QColor(Qt::white), c.green };
    // A numbered disc takes the disc's colour first, then the digit's.
    const std::array<QColor, 2> accent = { c.accent, QColor(Qt::white) };
    // Nothing to ask for: the shortcuts are the only step, and the first.
    u.permission_step->setVisible(!granted);
    u.shortcuts_badge->setPixmap(widgets::symbol_palette(granted ? "1.circle.fill" : "2.circle.fill", accent, 22));
    if (granted) {
        u.badge->setPixmap(widgets::symbol_palette("checkmark.circle.fill", green, 22));
        u.status_icon->setPixmap(widgets::symbol_palette("checkmark.circle.fill", green, 13));
        u.status_label->setText(QStringLiteral("Permiso concedido. ¡Todo listo!"));
    } else {
        u.badge->setPixmap(widgets::symbol_palette("1.circle.fill", accent, 22));
        u.status_icon->setPixmap(widgets::symbol("hourglass", 13, c.secondary));
        u.status_label->setText(QStringLiteral("Esperando el permiso…"));
    }
    QPalette p = u.status_label->palette();
    p.setColor(QPalette::WindowText, granted ? c.green : c.secondary);
    u.status_label->setPalette(p);
    u.actions->setVisible(!granted);
    u.grant_button->setVisible(!granted);
    const bool offer_relaunch = !granted && u.needs_restart;
    u.relaunch_button->setVisible(offer_relaunch);
    u.restart_note->setVisible(offer_relaunch);
    fit(u);
}

void tick(std::uint64_t gen, int attempt)
{
    if (gen != generation() || !slot())
        return;
    if (services().permission()) {
        settle(slot(), true, gen, attempt);
        return;
    }
    services().probe([gen, attempt](bool granted) {
        if (gen != generation() || !slot())
            return;
        settle(slot(), granted, gen, attempt);
    });
}

bool render(const std::filesystem::path& folder, std::string_view appearance)
{
    reset();
    std::unique_ptr<Ui> u = build();
    bool all = true;
    for (const DrawnState& s : DRAWN_STATES) {
        u->needs_restart = s.needs_restart;
        update_status(*u, s.granted);
        all = widgets::snapshot_window(u->window.get(), folder / fmt::format("onboarding-{}-{}.png", s.name, appearance))
            && all;
    }
    // A window that was never shown closes without its close handler.
    u->window->on_close = nullptr;
    u->window->close();
    return all;
}

void reset()
{
    if (auto& held = slot()) {
        held->window->on_close = nullptr;
        held->window->close();
    }
    slot().reset();
}

namespace handler {

void will_close()
{
    ++generation();
    // The window is inside its own close: let it finish before it goes.
    util::on_main([] { slot().reset(); });
}

void grant_permission()
{
    // X11 has nothing to ask for and no settings page to open: the state is
    // shown again, with the relaunch offer in case the answer is stale.
    if (auto u = slot()) {
        u->needs_restart = true;
        update_status(*u, services().permission());
    }
}

void relaunch()
{
    std::error_code ec;
    const auto executable = relaunch_executable(std::filesystem::read_symlink("/proc/self/exe", ec).string());
    // Quitting without a program to start again would just end the program.
    if (ec || !executable) {
        util::log(fmt::format("no pude reiniciar: no sé dónde está el programa ({})", ec.message()));
        return;
    }
    const auto started = services().start_detached("/bin/sh", relaunch_arguments(*executable));
    if (!started) {
        util::log(fmt::format("no pude reiniciar: {}", started.error()));
        return;
    }
    services().release_instance();
    services().quit();
}

void open_preferences()
{
    services().show_preferences();
}

void start()
{
    const std::filesystem::path marker = marker_path();
    std::error_code ec;
    std::filesystem::create_directories(marker.parent_path(), ec);
    std::ofstream out(marker, std::ios::binary | std::ios::trunc);
    if (!out) {
        util::log(fmt::format("no pude escribir {}: {}", marker.string(), std::strerror(errno)));
    }
    out.close();
    ++generation();
    if (auto u = slot())
        u->window->close();
}

} // namespace handler

} // namespace onboarding
