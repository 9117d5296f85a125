// prefs: the settings window.
//
// One window per process, built on first use and hidden (never destroyed)
// when closed, with five tabs. Every control edits one field of the shared
// settings and the change is saved at once through `update`: there is no OK
// button. The shortcut fields record a new combination with every global hot
// key released, and `set_shortcut` turns it into a setting. Main thread only.
#pragma once

#include "base/config.h"
#include "settings/prefs_model.h"

#include <QWidget>

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QKeyEvent;
class QLabel;
class QPushButton;
class QStackedWidget;
class QToolBar;
class QToolButton;

namespace widgets {
class PathLabel;
class VistropeSettingsWindow;
} // namespace widgets

namespace prefs {

// The web address of the About tab's link.
inline constexpr std::string_view WEBSITE = "https://vtrope.dev/vistrope";

// --- The shortcut field (prefs_field.cpp) --------------------------------------------

// The modifier mask of Qt's modifiers, as the hot keys grab them: Ctrl is
// command, Alt option, Super control.
std::uint32_t modifiers_of(Qt::KeyboardModifiers modifiers);
// The mask bit a modifier key itself stands for; 0 for any other key.
std::uint32_t modifier_bit_of_key(int qt_key);
// The virtual key code at the position of a key event's X keycode; none for a
// key the shortcut table cannot name.
std::optional<std::uint32_t> virtual_code_of(const QKeyEvent& event);

enum class Focus { Keep, GiveUp };

// VistropeShortcutField: shows one action's shortcut with the modifier
// glyphs and records a new one on a click, Return or Space. While it records,
// no global hot key is registered, so a registered combination reaches it as
// an ordinary key press.
class ShortcutField final : public QWidget {
public:
    ShortcutField(std::string id, std::string spec, QWidget* parent = nullptr);

    const std::string& id() const { return m_id; }
    const std::string& spec() const { return m_spec; }
    std::uint32_t modifiers() const { return m_modifiers; }
    bool recording() const { return m_recording; }
    // The text the field shows: the shortcut as the desktop writes it, the
    // modifiers held so far while it records, or its prompt.
    QString text() const;
    // Replaces the shown text; a recording field keeps its own.
    void set_spec(std::string spec);
    // The recording look without recording (the self-check's pictures).
    void show_recording_look(bool recording, std::uint32_t modifiers);

    void begin();
    void finish(std::optional<std::string> text, Focus focus);
    void handle_key(QKeyEvent* event);

    QSize sizeHint() const override { return { 150, 24 }; }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    std::string m_id;
    std::string m_spec;
    std::uint32_t m_modifiers = 0;
    bool m_recording = false;
};

// A two-button counter with an integer value held in [minimum, maximum].
class Stepper final : public QWidget {
public:
    Stepper(int tag, int minimum, int maximum, QWidget* parent = nullptr);
    int tag() const { return m_tag; }
    int value() const { return m_value; }
    void set_value(int value);
    QToolButton* up() const { return m_up; }
    QToolButton* down() const { return m_down; }
    // Runs after a button changed the value.
    std::function<void(Stepper&)> on_step;

private:
    void step(int by);
    int m_tag, m_minimum, m_maximum, m_value;
    QToolButton* m_up;
    QToolButton* m_down;
};

// --- The window ----------------------------------------------------------------------

// The tab table: identifier (file names of the self-check), title, symbol.
struct Tab {
    std::string_view id;
    std::string_view title;
    std::string_view symbol;
};
inline constexpr std::array<Tab, 5> TABS = { {
    { "general", "General", "gearshape" },
    { "captura", "Captura", "camera.viewfinder" },
    { "atajos", "Atajos", "keyboard" },
    { "grabacion", "Grabación", "record.circle" },
    { "acerca", "Acerca de", "info.circle" },
} };

// The window state. The window owns every widget; the rest point into it.
struct Ui {
    std::array<QCheckBox*, TOGGLE_COUNT> toggles{};
    std::array<std::pair<Stepper*, QLabel*>, 2> counters{};
    std::vector<std::pair<ShortcutField*, QLabel*>> shortcut_rows;
    std::unique_ptr<widgets::VistropeSettingsWindow> window;
    QToolBar* toolbar = nullptr;
    std::vector<QAction*> tab_actions;
    QStackedWidget* pages = nullptr;
    QCheckBox* login = nullptr;
    QLabel* folder_icon = nullptr;
    widgets::PathLabel* folder_label = nullptr;
    QComboBox* quick_access = nullptr;
    QComboBox* fps = nullptr;
    QLabel* hint = nullptr;
    // Under the pages, shared by every tab: a failed save, until one succeeds.
    QLabel* save_status = nullptr;
    QLabel* perm_icon = nullptr;
    QLabel* perm_label = nullptr;
    QPushButton* perm_button = nullptr;
    QPushButton* reset_button = nullptr;

    Ui();
    ~Ui();
};

// Opens the settings window: built and centred the first time, refreshed
// from the current settings, raised and activated.
void show();
// The window state, built on first use.
std::shared_ptr<Ui> ensure();
// The window state when it was built; null before.
std::shared_ptr<Ui> ui();
// Builds every control, the five pages, the tab bar and the window (prefs_window.cpp).
std::unique_ptr<Ui> build();
// Shows page `index` and fits the window to it, the top-left corner staying
// where it is.
void select_tab(Ui& ui, int index);
void fit_window(Ui& ui);
// Destroys the window and empties the slot, so the next `ensure` builds afresh.
void reset();

// --- Live saving ---------------------------------------------------------------------

// The one edit path: copy the held settings, apply `change`, save, publish,
// apply the hot keys and the menu, refresh the window. A change that cannot
// be saved still holds for this session: it is logged, and the status line
// under every tab says it is unsaved until a save succeeds (or the file is
// edited by hand and adopted). A file that did not parse and was kept aside
// before the save is said in a toast. Whether the change was saved.
bool update(const std::function<void(config::Config&)>& change);
// Sets every control from the held settings.
void refresh(Ui& ui);
// Adopts a settings file edited by hand while the window was away; an
// unreadable or invalid file, or one that only reorders keys, is ignored, and
// so is the file a failed save left as it was: the unsaved change holds.
void sync_from_disk();
// The line under the shortcut grid; nothing without a window.
void set_hint(std::string_view text, bool warning);
inline void set_hint(const Hint& hint) { set_hint(hint.text, hint.warning); }

// What the controls do. Each finds the window through the slot.
namespace actions {
void toggle(int tag, bool on);          // tags of TOGGLES only
void toggle_login(bool on);
void stepped(int tag, long long value); // tags 0..1 only
void quick_access_changed(long long tenths);
void fps_changed(long long fps);
void choose_folder();
void folder_chosen(const std::string& path);
void reset_shortcuts();
void open_config();
void open_privacy();
void open_website();
void did_become_key();
void will_close();
} // namespace actions

// --- Shortcut editing -----------------------------------------------------------------

// The row's name of an action id; an unknown id with "_" as blanks and its
// first character upper-cased ("ß" gives "SS").
QString shortcut_label(std::string_view id);
// Saves one shortcut (the empty text removes it) unless another action owns
// the combination, registers the hot keys again and reports in the hint.
void set_shortcut(std::string_view id, std::string_view text);
// Sets each idle field's text and each row's warning from the held settings.
void refresh_shortcuts(const Ui& ui);

// --- What the window reaches outside ---------------------------------------------------

// Each member defaults to the real module; tests replace them.
struct Services {
    std::function<std::expected<config::Saved, std::string>(const config::Config&)> save;
    // A passing word on screen.
    std::function<void(const std::string&)> toast;
    std::function<void()> apply_config;
    std::function<void(bool)> set_launch_at_login;
    std::function<bool()> launch_at_login_enabled;
    std::function<bool()> screen_recording_permission;
    // Asks for a folder, window-modal on `parent`, starting at `start`; calls
    // `chosen` with the folder's path only when the user picked one.
    std::function<void(QWidget* parent, const std::string& start, std::function<void(std::string)> chosen)>
        choose_folder;
    std::function<void()> beep;
    std::function<void(const std::string&)> open_path;
    std::function<void(const std::string&)> open_url;
};
Services& services();
void reset_services();

// What the settings window reaches in the shell's hot-key registration: the
// shell installs it at launch (app::install_listeners). Members left empty do
// nothing. Main thread.
struct HotKeyHooks {
    std::function<void()> apply_config; // registers the held settings' shortcuts again
    std::function<void()> unregister;   // lets every hot key go while a field records
    // The texts the last registration could not take, as stored.
    std::function<std::vector<std::string>()> failed;
    // Registers into memory from now on, so no key of the desktop is taken
    // (the self-check; the program's entry fills it for --prefs-render).
    std::function<void()> keep_in_memory;
};
void set_hot_key_hooks(HotKeyHooks hooks);
const HotKeyHooks& hot_key_hooks();
// The hooks' calls, each a no-op while its hook is unset.
void unregister_hot_keys();
std::vector<std::string> failed_hot_keys();

// --- The self-check (prefs_render.cpp) -----------------------------------------------------

// Draws every tab and the first-run window in the light and dark appearances
// into `folder` and drives the controls through their code paths; 0 when
// every check passed and every picture was written, else 1. The process must
// run in a home of its own (xdg::isolate_home): the check saves settings.
// Main thread, before the run loop.
int render(const std::filesystem::path& folder);

} // namespace prefs
