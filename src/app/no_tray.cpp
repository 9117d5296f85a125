#include "app/no_tray.h"

#include "base/config.h"
#include "base/hotkeys.h"
#include "base/state.h"
#include "base/util.h"
#include "settings/widgets.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <fmt/format.h>

#include <utility>

namespace app::no_tray {

namespace {

struct Slot {
    QPointer<QWidget> window;
    QPointer<QTimer> timer;
    Hooks hooks;
    bool tray = true; // as last seen
};

Slot& slot()
{
    static auto* s = new Slot; // outlives static destruction
    return *s;
}

// Closed by the user (the title bar's button, the window manager's keys),
// the window asks first: without a tray it is the only way back to the
// program. A close that does not come from the window system (the session
// ending, the program quitting, a tray appearing) goes through at once.
class Window final : public QWidget {
public:
    explicit Window(Hooks hooks)
        : QWidget(nullptr, Qt::Window)
        , m_hooks(std::move(hooks))
    {
    }

protected:
    void closeEvent(QCloseEvent* event) override
    {
        if (!event->spontaneous()) {
            event->accept();
            return;
        }
        event->ignore();
        ask();
    }

private:
    void ask()
    {
        for (const QMessageBox* asking : findChildren<QMessageBox*>())
            if (asking->isVisible())
                return; // already asking
        auto* box = new QMessageBox(QMessageBox::Question, QStringLiteral("Vistrope"), QStringLiteral("¿Salir de Vistrope?"),
            QMessageBox::NoButton, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->setInformativeText(QStringLiteral(
            "Si sigue en segundo plano, los atajos y los enlaces vistrope:// siguen funcionando. Para volver a "
            "esta ventana, abre Vistrope otra vez desde el menú de aplicaciones."));
        QPushButton* quit = box->addButton(QStringLiteral("Salir de Vistrope"), QMessageBox::DestructiveRole);
        QPushButton* background = box->addButton(QStringLiteral("Seguir en segundo plano"), QMessageBox::AcceptRole);
        QPushButton* cancel = box->addButton(QStringLiteral("Cancelar"), QMessageBox::RejectRole);
        box->setDefaultButton(background);
        box->setEscapeButton(cancel);
        QObject::connect(box, &QMessageBox::buttonClicked, this, [this, quit, background](QAbstractButton* clicked) {
            if (clicked == quit) {
                m_hooks.quit();
            } else if (clicked == background) {
                util::log("ventana sin bandeja cerrada: sigo en segundo plano");
                close();
            }
        });
        box->open();
    }

    Hooks m_hooks;
};

QWidget* build(const Hooks& hooks)
{
    const widgets::Colors& c = widgets::colors();
    auto* w = new Window(hooks);
    w->setAttribute(Qt::WA_DeleteOnClose);
    w->setObjectName(QStringLiteral("vistrope-no-tray"));
    w->setWindowTitle(QStringLiteral("No hay bandeja del sistema"));
    auto* v = new QVBoxLayout(w);
    v->setContentsMargins(24, 20, 24, 18);
    v->setSpacing(10);
    v->addWidget(widgets::label_with(QStringLiteral("No hay bandeja del sistema"), 15, QFont::DemiBold, c.label));
    const std::string area = hotkeys::display(state::config()->shortcuts.capture_area);
    const std::string how = area.empty() ? std::string("Los atajos globales")
                                         : fmt::format("Los atajos globales (como {} para capturar un área)", area);
    v->addWidget(widgets::note(QString::fromStdString(fmt::format(
                                   "Este escritorio no tiene dónde mostrar el ícono de Vistrope. {} y los enlaces "
                                   "vistrope:// siguen funcionando. Esta ventana se va sola cuando aparece una bandeja.",
                                   how)),
        380));
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* preferences = new QPushButton(QStringLiteral("Preferencias…"));
    auto* quit = new QPushButton(QStringLiteral("Salir de Vistrope"));
    QObject::connect(preferences, &QPushButton::clicked, w, [open = hooks.open_preferences] { open(); });
    QObject::connect(quit, &QPushButton::clicked, w, [quit = hooks.quit] { quit(); });
    buttons->addWidget(preferences);
    buttons->addStretch(1);
    buttons->addWidget(quit);
    v->addLayout(buttons);
    return w;
}

// Shows the window, built when there is none, in front of the others.
void show_window()
{
    Slot& s = slot();
    if (!s.window)
        s.window = build(s.hooks);
    s.window->show();
    s.window->raise();
    s.window->activateWindow();
}

void close_window()
{
    if (QWidget* shown = slot().window)
        shown->close();
}

} // namespace

void watch(Hooks hooks, int poll_ms)
{
    util::require_main_thread("hilo principal");
    reset();
    Slot& s = slot();
    s.hooks = std::move(hooks);
    s.tray = s.hooks.tray_available();
    if (!s.tray) {
        util::log("no hay bandeja del sistema: muestro la ventana en su lugar");
        show_window();
    }
    // A tray may come and go at any time (a panel restarted, another one
    // chosen): the window follows it for the whole session. The question
    // may cost a round trip to the session bus, so while a tray is there it
    // is asked a third as often.
    auto* timer = new QTimer;
    s.timer = timer;
    const auto pace = [timer, poll_ms](bool tray) { timer->setInterval(tray ? 3 * poll_ms : poll_ms); };
    QObject::connect(timer, &QTimer::timeout, timer, [pace] {
        Slot& s = slot();
        const bool tray = s.hooks.tray_available();
        if (tray == std::exchange(s.tray, tray))
            return;
        pace(tray);
        if (tray) {
            util::log("apareció una bandeja del sistema");
            close_window();
            if (s.hooks.tray_appeared)
                s.hooks.tray_appeared();
        } else {
            util::log("la bandeja del sistema se fue: muestro la ventana en su lugar");
            show_window();
        }
    });
    pace(s.tray);
    timer->start();
}

bool show_again()
{
    util::require_main_thread("hilo principal");
    if (!slot().timer || slot().tray)
        return false;
    show_window();
    return true;
}

QWidget* window()
{
    return slot().window;
}

void reset()
{
    if (QTimer* t = slot().timer) {
        t->stop();
        delete t;
    }
    if (QWidget* w = slot().window)
        delete w;
    slot().hooks = {};
    slot().tray = true;
}

} // namespace app::no_tray
