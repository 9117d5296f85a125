#include "settings/prefs.h"

#include "platform/system.h"
#include "base/files.h"
#include "base/state.h"
#include "base/util.h"
#include "platform/workspace.h"
#include "ui/hud.h"
#include "settings/widgets.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>

namespace prefs {

namespace {

// Never destroyed: the window must not outlive the application object, and
// static destruction runs after it is gone.
std::shared_ptr<Ui>& slot()
{
    util::require_main_thread("hilo principal");
    static auto* held = new std::shared_ptr<Ui>();
    return *held;
}

HotKeyHooks& hooks_slot()
{
    util::require_main_thread("hilo principal");
    static auto* held = new HotKeyHooks();
    return *held;
}

Services real_services()
{
    Services s;
    s.save = [](const config::Config& c) { return c.save(); };
    s.apply_config = [] {
        if (hot_key_hooks().apply_config)
            hot_key_hooks().apply_config();
    };
    s.set_launch_at_login = [](bool on) { sys::set_launch_at_login(on); };
    s.launch_at_login_enabled = [] { return sys::launch_at_login_enabled(); };
    s.screen_recording_permission = [] { return platform::screen_recording_permission(); };
    s.choose_folder = [](QWidget* parent, const std::string& start, std::function<void(std::string)> chosen) {
        auto* dialog = new QFileDialog(parent, QStringLiteral("Elige dónde guardar las capturas y las grabaciones."),
                                       QString::fromStdString(start));
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly);
        // Qt's own dialog, so the accept button carries our label on every desktop.
        dialog->setOption(QFileDialog::DontUseNativeDialog);
        dialog->setLabelText(QFileDialog::Accept, QStringLiteral("Elegir"));
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                         [chosen](const QString& path) { chosen(path.toStdString()); });
        dialog->open();
    };
    s.toast = [](const std::string& text) { hud::toast("exclamationmark.triangle", text, 4.0); };
    s.beep = [] { QApplication::beep(); };
    s.open_path = [](const std::string& path) {
        platform::open_path(path, [](const std::string&) {
            hud::toast("exclamationmark.triangle", "No se pudo abrir config.toml", 2.0);
        });
    };
    // A link that opens nothing must not look like a dead click.
    s.open_url = [](const std::string& url) {
        widgets::open_url(url, [](const std::string&) { services().toast("No se pudo abrir la página"); });
    };
    return s;
}

std::string home_folder()
{
    const char* home = std::getenv("HOME");
    return home ? std::string(home) : std::string("/tmp");
}

QString q(std::string_view s)
{
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

void select_data(QComboBox* box, long long value, const std::string& title_if_new)
{
    int index = box->findData(QVariant::fromValue<qlonglong>(value));
    if (index < 0) {
        box->addItem(QString::fromStdString(title_if_new), QVariant::fromValue<qlonglong>(value));
        index = box->count() - 1;
    }
    box->setCurrentIndex(index);
}

// Registers the hot keys from the held settings, unless a field is recording:
// its combination must keep reaching it rather than a grab.
void apply()
{
    services().apply_config();
    if (const auto u = slot())
        for (const auto& [field, label] : u->shortcut_rows)
            if (field->recording()) {
                unregister_hot_keys();
                break;
            }
}

} // namespace

Services& services()
{
    static Services s = real_services();
    return s;
}

void reset_services()
{
    services() = real_services();
}

Ui::Ui() = default;
Ui::~Ui() = default;

std::shared_ptr<Ui> ui()
{
    return slot();
}

std::shared_ptr<Ui> ensure()
{
    auto& s = slot();
    if (!s)
        s = std::shared_ptr<Ui>(build());
    return s;
}

namespace {

// Why the last save failed; none once one succeeds. While it stands, the
// held settings differ from the file and the window's status line, under
// every tab, says so.
std::optional<std::string>& save_failure()
{
    static std::optional<std::string> failure;
    return failure;
}

// The file as the failed save left it (none when it could not be read), so
// that coming back to the window does not take it for a hand edit and undo
// the unsaved change.
std::optional<std::string>& file_at_failure()
{
    static std::optional<std::string> text;
    return text;
}

std::optional<std::string> read_settings_file()
{
    // Read as the start reads it: a FIFO or a device put in the file's place
    // must not hold the window (and the whole program) waiting.
    auto text = files::read_regular(config::Config::path(), config::MAX_FILE_BYTES);
    if (!text)
        return std::nullopt;
    return std::move(*text);
}

void show_save_failure(Ui& u)
{
    if (!u.save_status)
        return;
    const bool shown = save_failure().has_value();
    u.save_status->setText(shown ? QString::fromStdString(unsaved_text(*save_failure())) : QString());
    if (shown == u.save_status->isHidden()) {
        u.save_status->setVisible(shown);
        fit_window(u);
    }
}

} // namespace

void reset()
{
    slot().reset();
    save_failure().reset();
    file_at_failure().reset();
}

void show()
{
    const bool built = slot() != nullptr;
    const auto u = ensure();
    refresh(*u);
    widgets::VistropeSettingsWindow* w = u->window.get();
    if (!built)
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const QRect area = screen->availableGeometry();
            w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
        }
    w->show();
    w->raise();
    w->activateWindow();
}

// --- Live saving -------------------------------------------------------------------------

bool update(const std::function<void(config::Config&)>& change)
{
    auto next = std::make_shared<config::Config>(*state::config());
    change(*next);
    const auto saved = services().save(*next);
    if (!saved) {
        util::log(fmt::format("no pude guardar config.toml: {}", saved.error()));
        save_failure() = saved.error();
        file_at_failure() = read_settings_file();
    } else {
        save_failure().reset();
        file_at_failure().reset();
        if (saved->kept_invalid)
            services().toast(fmt::format("config.toml no era válido: lo guardé como {}", saved->kept_invalid->filename().string()));
    }
    // Kept for the session either way: what the controls show is what runs,
    // and the status line says when the file does not hold it.
    state::set_config(std::move(next));
    // Registered again either way: a shortcut field that recorded let every
    // hot key go.
    apply();
    if (auto u = ui())
        refresh(*u);
    return saved.has_value();
}

void sync_from_disk()
{
    const auto text = read_settings_file();
    // The file a failed save left untouched is no hand edit: the unsaved
    // change in memory stays.
    const bool untouched = save_failure() && text == file_at_failure();
    if (text && !untouched) {
        auto parsed = config::parse(*text);
        if (parsed && differs(*parsed, *state::config())) {
            util::log("config.toml cambió fuera de Preferencias; lo aplico");
            state::set_config(std::make_shared<config::Config>(std::move(*parsed)));
            // What runs is the file again: nothing is left unsaved.
            save_failure().reset();
            file_at_failure().reset();
            apply();
        }
    }
    if (auto u = ui())
        refresh(*u);
}

void set_hint(std::string_view text, bool warning)
{
    const auto u = ui();
    if (!u || !u->hint)
        return;
    u->hint->setText(q(text));
    QPalette p = u->hint->palette();
    p.setColor(QPalette::WindowText, warning ? widgets::colors().orange : widgets::colors().secondary);
    u->hint->setPalette(p);
}

void refresh(Ui& u)
{
    const auto c = state::config();
    for (int tag = 0; tag < TOGGLE_COUNT; ++tag)
        u.toggles[static_cast<std::size_t>(tag)]->setChecked(toggle_value(*c, tag).value_or(false));
    u.login->setChecked(services().launch_at_login_enabled());

    const std::string full = config::save_dir(*c).string();
    u.folder_label->set_path(QString::fromStdString(abbreviate_home(full, home_folder())));
    u.folder_label->setToolTip(QString::fromStdString(full));
    static auto* icons = new QFileIconProvider; // outlives static destruction, like the slot
    u.folder_icon->setPixmap(icons->icon(QFileInfo(QString::fromStdString(full))).pixmap(16, 16));

    const auto tenths = quick_access_tenths(c->quick_access_seconds);
    select_data(u.quick_access, tenths, quick_access_title(tenths));
    u.quick_access->setEnabled(c->after_capture.show_quick_access);
    select_data(u.fps, c->recording.fps, fps_title(c->recording.fps));

    for (const Counter kind : { Counter::SelfTimer, Counter::Countdown }) {
        const auto& [stepper, label] = u.counters[static_cast<std::size_t>(kind)];
        const std::uint32_t v = counter_value(*c, kind);
        stepper->set_value(static_cast<int>(std::min<std::uint32_t>(v, 1000)));
        label->setText(QString::fromStdString(counter_text(kind, v)));
    }
    refresh_shortcuts(u);
    show_save_failure(u);

    const widgets::Colors& colors = widgets::colors();
    if (services().screen_recording_permission()) {
        const QColor palette[] = { Qt::white, colors.green };
        u.perm_icon->setPixmap(widgets::symbol_palette("checkmark.circle.fill", palette, 16));
        u.perm_label->setText(QStringLiteral("Permitido"));
        u.perm_button->setText(QStringLiteral("Abrir Ajustes…"));
    } else {
        const QColor palette[] = { colors.orange };
        u.perm_icon->setPixmap(widgets::symbol_palette("exclamationmark.triangle.fill", palette, 16));
        u.perm_label->setText(QStringLiteral("Sin permiso: Vistrope no puede capturar"));
        u.perm_button->setText(QStringLiteral("Dar permiso…"));
    }
}

// --- Actions ---------------------------------------------------------------------------------

namespace actions {

void toggle(int tag, bool on)
{
    if (tag < 0 || tag >= TOGGLE_COUNT)
        return;
    update([&](config::Config& c) { set_toggle(c, tag, on); });
}

void toggle_login(bool on)
{
    services().set_launch_at_login(on);
    if (auto u = ui())
        refresh(*u);
}

void stepped(int tag, long long value)
{
    if (tag != 0 && tag != 1)
        return;
    update([&](config::Config& c) { set_counter(c, tag, value); });
}

void quick_access_changed(long long tenths)
{
    update([&](config::Config& c) { c.quick_access_seconds = static_cast<double>(std::max(tenths, 0LL)) / 10.0; });
}

void fps_changed(long long fps)
{
    const auto v = static_cast<std::uint32_t>(std::clamp<long long>(fps, 1, 1000));
    update([&](config::Config& c) { c.recording.fps = v; });
}

void choose_folder()
{
    const auto u = ui();
    if (!u)
        return;
    services().choose_folder(u->window.get(), config::save_dir(*state::config()).string(), folder_chosen);
}

void folder_chosen(const std::string& path)
{
    const std::string stored = abbreviate_home(path, home_folder());
    update([&](config::Config& c) { c.save_dir = stored; });
}

void reset_shortcuts()
{
    // Restored either way; the status line says when they are not saved.
    update([](config::Config& c) { c.shortcuts = config::Shortcuts{}; });
    set_hint(HINT_RESET, false);
}

void open_config()
{
    const auto path = config::Config::path();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec))
        (void)services().save(*state::config()); // the editor then opens a complete file
    services().open_path(path.string());
}

void open_privacy()
{
    // X11 grants every client the screen: there is no privacy pane to open,
    // and handing the address to xdg-open would only start a browser.
}

void open_website()
{
    services().open_url(std::string(WEBSITE));
}

void did_become_key()
{
    sync_from_disk();
}

void will_close()
{
    const auto u = ui();
    if (!u)
        return;
    // A recording field loses the focus and so cancels, registering the hot keys again.
    if (QWidget* focus = u->window->focusWidget())
        focus->clearFocus();
}

} // namespace actions

// --- Shortcut editing ---------------------------------------------------------------------

QString shortcut_label(std::string_view id)
{
    if (const auto at = action_position(id))
        return q(ACTIONS[*at].label);
    QString label = q(id);
    label.replace(QLatin1Char('_'), QLatin1Char(' '));
    if (label.isEmpty())
        return label;
    const qsizetype first = label.at(0).isHighSurrogate() && label.size() > 1 ? 2 : 1;
    return label.left(first).toUpper() + label.mid(first);
}

void set_shortcut(std::string_view id, std::string_view text)
{
    const auto current = state::config();
    const auto entries = shortcut_entries(current->shortcuts);

    if (const auto owner = conflict_owner(entries, id, text)) {
        services().beep();
        // The field released every hot key when it began recording.
        services().apply_config();
        set_hint(conflict_hint(text, shortcut_label(*owner).toStdString()));
        if (auto u = ui())
            refresh_shortcuts(*u);
        return;
    }

    if (update([&](config::Config& c) { c.shortcuts = with_shortcut(c.shortcuts, id, text); }))
        set_hint(saved_hint(shortcut_label(id).toStdString(), text, failed_hot_keys()));
    else
        set_hint(HINT_IDLE, false); // not "Guardado": the status line says it is unsaved
}

void refresh_shortcuts(const Ui& u)
{
    const auto entries = shortcut_entries(state::config()->shortcuts);
    const auto& failed = failed_hot_keys();
    for (const auto& [field, warning_label] : u.shortcut_rows) {
        const auto entry = std::find_if(entries.begin(), entries.end(),
                                        [&](const ShortcutEntry& e) { return e.id == field->id(); });
        const std::string text = entry != entries.end() ? entry->text : std::string();
        if (!field->recording())
            field->set_spec(text);
        // Whole, wrapped within its column: a cut note ("… la us…") says nothing.
        const QString warning = QString::fromStdString(row_warning(text, failed));
        warning_label->setText(warning);
        warning_label->setToolTip(warning);
    }
}

void set_hot_key_hooks(HotKeyHooks hooks)
{
    hooks_slot() = std::move(hooks);
}

const HotKeyHooks& hot_key_hooks()
{
    return hooks_slot();
}

void unregister_hot_keys()
{
    if (hooks_slot().unregister)
        hooks_slot().unregister();
}

std::vector<std::string> failed_hot_keys()
{
    return hooks_slot().failed ? hooks_slot().failed() : std::vector<std::string>();
}

} // namespace prefs
