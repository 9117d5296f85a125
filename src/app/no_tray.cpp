#include "app/no_tray.h"

#include "base/config.h"
#include "base/hotkeys.h"
#include "base/state.h"
#include "base/util.h"
#include "settings/widgets.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <fmt/format.h>

namespace app::no_tray {

namespace {

struct Slot {
    QPointer<QWidget> window;
    QPointer<QTimer> timer;
};

Slot& slot()
{
    static auto* s = new Slot; // outlives static destruction
    return *s;
}

QWidget* build(const Hooks& hooks)
{
    const widgets::Colors& c = widgets::colors();
    auto* w = new QWidget(nullptr, Qt::Window);
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

} // namespace

void watch(Hooks hooks, int poll_ms)
{
    util::require_main_thread("hilo principal");
    reset();
    if (hooks.tray_available())
        return;
    util::log("no hay bandeja del sistema: muestro la ventana en su lugar");
    QWidget* w = build(hooks);
    slot().window = w;
    w->show();
    auto* timer = new QTimer;
    slot().timer = timer;
    QObject::connect(timer, &QTimer::timeout, timer, [hooks, timer] {
        if (!hooks.tray_available())
            return;
        util::log("apareció una bandeja del sistema");
        timer->stop();
        timer->deleteLater();
        if (QWidget* shown = slot().window)
            shown->close();
        if (hooks.tray_appeared)
            hooks.tray_appeared();
    });
    timer->start(poll_ms);
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
}

} // namespace app::no_tray
