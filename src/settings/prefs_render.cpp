// The settings self-check (--prefs-render): every tab and the first-run
// window drawn in both appearances, then the shortcut fields, a checkbox, a
// counter, the pop-ups and the settings file driven through their real code
// paths, each outcome checked. Synchronous, on the main thread, before the
// run loop; nothing is put on screen and the user's own files are never
// touched (the process runs in a home of its own, made before it starts).
#include "settings/prefs.h"

#include "base/config.h"
#include "base/files.h"
#include "base/state.h"
#include "base/util.h"
#include "settings/onboarding.h"
#include "settings/widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QStyleFactory>

#include <fmt/format.h>

#include <cstdlib>

#include <unistd.h>

namespace prefs {

namespace {

// The modifier mask of option + shift, the recording look of the pictures.
constexpr std::uint32_t OPTION_SHIFT = 0xa00;

// X keycodes of the keys the script presses.
constexpr quint32 KEY_K = 45;
constexpr quint32 KEY_4 = 13;
constexpr quint32 KEY_ESCAPE = 9;
constexpr quint32 KEY_BACKSPACE = 22;

// A script step that failed: its name is the run's failure text.
struct Failed {
    std::string text;
};

void check(bool condition, std::string_view name)
{
    if (!condition)
        throw Failed{ std::string(name) };
    util::log(fmt::format("ok: {}", name));
}

config::Config read_file()
{
    auto text = files::read_regular(config::Config::path(), 1 << 20);
    if (!text)
        throw Failed{ fmt::format("config.toml: {}", text.error().message) };
    auto parsed = config::parse(*text);
    if (!parsed)
        throw Failed{ parsed.error() };
    return *parsed;
}

// Qt 6.4 has no switch between the desktop's light and dark schemes: Fusion
// with palettes of our own gives both in any session, offscreen included.
QPalette appearance_palette(bool dark)
{
    QPalette p;
    const auto set = [&p](QPalette::ColorRole role, QColor c) { p.setColor(role, c); };
    if (dark) {
        set(QPalette::Window, QColor(40, 40, 40));
        set(QPalette::WindowText, QColor(255, 255, 255, 217));
        set(QPalette::Base, QColor(30, 30, 30));
        set(QPalette::AlternateBase, QColor(50, 50, 50));
        set(QPalette::Text, QColor(255, 255, 255, 217));
        set(QPalette::Button, QColor(60, 60, 60));
        set(QPalette::ButtonText, QColor(255, 255, 255, 217));
        set(QPalette::Highlight, QColor(10, 132, 255));
        set(QPalette::HighlightedText, Qt::white);
        set(QPalette::ToolTipBase, QColor(50, 50, 50));
        set(QPalette::ToolTipText, Qt::white);
        set(QPalette::PlaceholderText, QColor(255, 255, 255, 64));
        set(QPalette::Light, QColor(80, 80, 80));
        set(QPalette::Midlight, QColor(65, 65, 65));
        set(QPalette::Mid, QColor(45, 45, 45));
        set(QPalette::Dark, QColor(20, 20, 20));
        set(QPalette::Shadow, Qt::black);
        set(QPalette::Link, QColor(65, 156, 255));
    } else {
        set(QPalette::Window, QColor(236, 236, 236));
        set(QPalette::WindowText, QColor(0, 0, 0, 217));
        set(QPalette::Base, Qt::white);
        set(QPalette::AlternateBase, QColor(245, 245, 245));
        set(QPalette::Text, QColor(0, 0, 0, 217));
        set(QPalette::Button, QColor(250, 250, 250));
        set(QPalette::ButtonText, QColor(0, 0, 0, 217));
        set(QPalette::Highlight, QColor(0, 122, 255));
        set(QPalette::HighlightedText, Qt::white);
        set(QPalette::ToolTipBase, QColor(255, 255, 220));
        set(QPalette::ToolTipText, Qt::black);
        set(QPalette::PlaceholderText, QColor(0, 0, 0, 66));
        set(QPalette::Light, Qt::white);
        set(QPalette::Midlight, QColor(245, 245, 245));
        set(QPalette::Mid, QColor(200, 200, 200));
        set(QPalette::Dark, QColor(160, 160, 160));
        set(QPalette::Shadow, QColor(100, 100, 100));
        set(QPalette::Link, QColor(0, 104, 218));
    }
    return p;
}

void set_appearance(bool dark)
{
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    QApplication::setPalette(appearance_palette(dark));
}

// One key press as the desktop delivers it: the physical key's X keycode,
// the Qt key and modifiers; a key equivalent is first offered as a shortcut.
void press(QWidget* view, quint32 scan_code, int qt_key, Qt::KeyboardModifiers modifiers, bool key_equivalent)
{
    if (key_equivalent) {
        QKeyEvent offer(QEvent::ShortcutOverride, qt_key, modifiers, scan_code, 0, 0, QStringLiteral("k"));
        QApplication::sendEvent(view, &offer);
    }
    QKeyEvent down(QEvent::KeyPress, qt_key, modifiers, scan_code, 0, 0, QStringLiteral("k"));
    QApplication::sendEvent(view, &down);
}

ShortcutField* field_of(const Ui& u, std::string_view id)
{
    for (const auto& [field, warning] : u.shortcut_rows)
        if (field->id() == id)
            return field;
    return nullptr;
}

QLabel* warning_of(const Ui& u, std::string_view id)
{
    for (const auto& [field, warning] : u.shortcut_rows)
        if (field->id() == id)
            return warning;
    return nullptr;
}

bool draw_pictures(const std::filesystem::path& folder)
{
    bool all = true;
    for (const auto& [appearance, dark] : { std::pair{ "light", false }, std::pair{ "dark", true } }) {
        set_appearance(dark);
        reset();
        const auto u = ensure();
        for (size_t i = 0; i < TABS.size(); ++i) {
            select_tab(*u, static_cast<int>(i));
            util::log(fmt::format("pestaña {}: ventana {}×{}", TABS[i].id, u->window->width(), u->window->height()));
            all = widgets::snapshot_window(u->window.get(),
                      folder / fmt::format("prefs-{}-{}-{}.png", i + 1, TABS[i].id, appearance))
                && all;
        }
        select_tab(*u, 2);
        if (!u->shortcut_rows.empty()) {
            ShortcutField* first = u->shortcut_rows.front().first;
            first->show_recording_look(true, OPTION_SHIFT);
            set_hint(HINT_RECORDING, false);
            all = widgets::snapshot_window(u->window.get(), folder / fmt::format("prefs-3-atajos-grabando-{}.png", appearance))
                && all;
            first->show_recording_look(false, 0);
            set_hint(HINT_IDLE, false);
        }
        all = onboarding::render(folder, appearance) && all;
    }
    return all;
}

void interaction_script(const std::filesystem::path& folder)
{
    const auto u = ensure();
    select_tab(*u, 2);
    ShortcutField* field = field_of(*u, "pin_last");
    if (!field)
        throw Failed{ "sin fila pin_last" };
    const auto current = [] { return state::config(); };
    const Qt::KeyboardModifiers control_command = Qt::MetaModifier | Qt::ControlModifier;
    const Qt::KeyboardModifiers option_shift_command = Qt::AltModifier | Qt::ShiftModifier | Qt::ControlModifier;

    field->begin();
    check(field->recording(), "el clic empieza a grabar");
    press(field, KEY_K, Qt::Key_K, control_command, true);
    check(!field->recording(), "la combinación termina la grabación");
    check(current()->shortcuts.pin_last == "ctrl+cmd+k", "Super+Ctrl+K queda en el estado");
    check(read_file().shortcuts.pin_last == "ctrl+cmd+k", "Super+Ctrl+K queda en config.toml");
    check(field->spec() == "ctrl+cmd+k", "el campo muestra el atajo nuevo");

    field->begin();
    press(field, KEY_4, Qt::Key_4, option_shift_command, true);
    check(current()->shortcuts.pin_last == "ctrl+cmd+k", "Ctrl+Alt+Mayús+4 repetido se rechaza");
    check(u->hint->text().contains(QStringLiteral("Capturar área")), "el aviso nombra al dueño del atajo");

    field->begin();
    press(field, KEY_K, Qt::Key_K, Qt::NoModifier, false);
    check(field->recording(), "una letra sola no termina la grabación");
    press(field, KEY_ESCAPE, Qt::Key_Escape, Qt::NoModifier, false);
    check(!field->recording() && current()->shortcuts.pin_last == "ctrl+cmd+k", "Esc cancela");

    field->begin();
    press(field, KEY_BACKSPACE, Qt::Key_Backspace, Qt::NoModifier, false);
    check(read_file().shortcuts.pin_last.empty(), "Retroceso borra el atajo");

    set_shortcut("capture_area", "print");
    const QLabel* warning = warning_of(*u, "capture_area");
    const QString warning_text = warning ? warning->toolTip() : QString();
    check(warning_text.contains(QStringLiteral("capturas")), "Impr Pant avisa que el escritorio la usa");

    check(widgets::snapshot_window(u->window.get(), folder / "prefs-3-atajos-avisos.png"), "foto con avisos");

    select_tab(*u, 1);
    u->toggles[4]->click();
    check(!current()->freeze_screen && !read_file().freeze_screen, "la casilla «Congelar» se guarda");

    auto& [stepper, counter_label] = u->counters[static_cast<size_t>(Counter::SelfTimer)];
    stepper->set_value(9);
    actions::stepped(stepper->tag(), stepper->value());
    check(read_file().self_timer_seconds == 9 && counter_label->text() == QStringLiteral("9 segundos"),
          "el temporizador se guarda y se muestra");

    const int item = u->quick_access->findData(QVariant::fromValue<qlonglong>(100));
    u->quick_access->setCurrentIndex(item);
    actions::quick_access_changed(u->quick_access->itemData(item).toLongLong());
    check(read_file().quick_access_seconds == 10.0, "la vista rápida se cierra tras 10 s");

    const config::Config kept = read_file();
    check(!kept.freeze_screen && kept.shortcuts.capture_area == "print", "los cambios anteriores siguen en el archivo");

    config::Config edited = read_file();
    edited.recording.fps = 30;
    if (auto saved = edited.save(); !saved)
        throw Failed{ saved.error() };
    sync_from_disk();
    check(current()->recording.fps == 30 && u->fps->currentData().toLongLong() == 30, "config.toml editado a mano se aplica");

    if (auto written = files::replace(config::Config::path(), "esto no es toml ["); !written)
        throw Failed{ written.error() };
    sync_from_disk();
    check(current()->recording.fps == 30 && !current()->freeze_screen, "un archivo inválido se ignora");

    actions::reset_shortcuts();
    const bool area_restored = read_file().shortcuts.capture_area == "opt+shift+cmd+4";
    check(area_restored && read_file().shortcuts.pin_last == "opt+shift+cmd+p", "se restauran los atajos");
    util::log("comprobación de Preferencias completa");
}

} // namespace

int render(const std::filesystem::path& folder)
{
    util::require_main_thread("hilo principal");
    // The process runs in a home of its own (the entry made it): the file
    // read here and every save below are that home's, never the user's.
    state::set_config(std::make_shared<config::Config>(config::Config::load()));
    // In memory: offscreen every grab fails, and a check must not take the desktop's keys.
    if (!hot_key_hooks().keep_in_memory)
        util::fatal("la revisión de ajustes necesita las teclas globales en memoria");
    hot_key_hooks().keep_in_memory();

    const bool pictures = draw_pictures(folder);
    std::optional<std::string> failure;
    try {
        interaction_script(folder);
    } catch (const Failed& f) {
        failure = f.text;
        util::log(fmt::format("comprobación de Preferencias FALLÓ: {}", f.text));
    }
    reset();
    return failure || !pictures ? 1 : 0;
}

} // namespace prefs
