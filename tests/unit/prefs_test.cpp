// The settings window offscreen: every edit saved at once, the hand-edited
// file adopted, the shortcut field's recording on key events with X keycodes,
// and the rules that turn a recorded combination into a setting.
#include "settings/prefs.h"

#include "app/app_hotkeys.h"
#include "base/hotkeys.h"
#include "base/state.h"
#include "platform/fake/hot_keys_fake.h"
#include "settings/widgets.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;
using prefs::ShortcutField;

namespace {

constexpr std::uint32_t X = 8; // X keycode = evdev + 8

class Prefs : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        auto fake = std::make_unique<platform::HotKeysFake>();
        m_keys = fake.get();
        app::set_hotkey_backend(std::move(fake));
        prefs::reset_services();
        auto& s = prefs::services();
        s.beep = [this] { ++m_beeps; };
        s.apply_config = [this, real = s.apply_config] { ++m_applies; real(); };
        s.set_launch_at_login = [this](bool on) { m_login_calls.push_back(on); m_login = on; };
        s.launch_at_login_enabled = [this] { return m_login; };
        s.open_path = [this](const std::string& p) { m_opened.push_back(p); };
        s.open_url = [this](const std::string& u) { m_opened.push_back(u); };
        s.choose_folder = [this](QWidget*, const std::string& start, std::function<void(std::string)> chosen) {
            m_chooser_start = start;
            if (!m_folder.empty())
                chosen(m_folder);
        };
        app::register_hotkeys();
    }
    void TearDown() override
    {
        prefs::reset();
        prefs::reset_services();
        app::set_hotkey_backend(nullptr);
        state::reset_for_tests();
    }

    std::shared_ptr<prefs::Ui> window()
    {
        auto u = prefs::ensure();
        return u;
    }
    ShortcutField* field(const prefs::Ui& u, std::string_view id)
    {
        for (const auto& [f, label] : u.shortcut_rows)
            if (f->id() == id)
                return f;
        ADD_FAILURE() << "no row " << id;
        return nullptr;
    }
    QLabel* warning(const prefs::Ui& u, std::string_view id)
    {
        for (const auto& [f, label] : u.shortcut_rows)
            if (f->id() == id)
                return label;
        return nullptr;
    }
    static void key(QWidget* w, std::uint16_t evdev, Qt::KeyboardModifiers mods, int qt_key = Qt::Key_unknown,
                    QEvent::Type type = QEvent::KeyPress)
    {
        QKeyEvent e(type, qt_key, mods, evdev + X, 0, 0);
        QApplication::sendEvent(w, &e);
    }
    config::Config on_disk() { return config::load_from(config::Config::path()); }
    std::string hint(const prefs::Ui& u) { return u.hint->text().toStdString(); }
    bool hint_warns(const prefs::Ui& u)
    {
        return u.hint->palette().color(QPalette::WindowText) == widgets::colors().orange;
    }

    TempHome m_home;
    platform::HotKeysFake* m_keys = nullptr;
    int m_beeps = 0;
    int m_applies = 0;
    bool m_login = false;
    std::vector<bool> m_login_calls;
    std::vector<std::string> m_opened;
    std::string m_folder;
    std::string m_chooser_start;
};

} // namespace

TEST_F(Prefs, EveryCheckboxSavesItsOwnFieldAtOnce)
{
    auto u = window();
    for (int tag = 0; tag < prefs::TOGGLE_COUNT; ++tag) {
        QCheckBox* box = u->toggles[static_cast<std::size_t>(tag)];
        EXPECT_EQ(box->text().toStdString(), prefs::TOGGLES[static_cast<std::size_t>(tag)].title);
        const bool before = prefs::toggle_value(*state::config(), tag).value();
        EXPECT_EQ(box->isChecked(), before) << tag;
        box->click();
        EXPECT_EQ(prefs::toggle_value(*state::config(), tag), !before) << tag;
        EXPECT_EQ(prefs::toggle_value(on_disk(), tag), !before) << tag;
        EXPECT_EQ(box->isChecked(), !before);
    }
    EXPECT_EQ(m_applies, prefs::TOGGLE_COUNT);
    // Unchecking the quick view disables its close delay at once.
    EXPECT_FALSE(u->quick_access->isEnabled());

    // Tags outside 0..17 reach nothing; the login box is not a setting.
    const auto held = state::config();
    prefs::actions::toggle(18, true);
    prefs::actions::toggle(-1, true);
    prefs::actions::stepped(2, 9);
    EXPECT_EQ(state::config(), held);
    u->login->click();
    EXPECT_EQ(m_login_calls, std::vector<bool>{ true });
    EXPECT_TRUE(u->login->isChecked());
    EXPECT_EQ(state::config(), held);
    m_login = false; // the system refused: the next refresh shows the real state
    prefs::refresh(*u);
    EXPECT_FALSE(u->login->isChecked());
}

TEST_F(Prefs, RefreshSelectsOrAppendsTheStoredValues)
{
    auto u = window();
    const int presets = u->quick_access->count();
    ASSERT_EQ(presets, 7);
    struct Case {
        double seconds;
        qlonglong tag;
        const char* title;
    };
    const Case cases[] = {
        { 2.0, 20, "Tras 2 segundos" },
        { 0.25, 3, "Tras 0.3 segundos" },
        { -1.0, 0, "Hasta que la cierre" },
        { std::nan(""), 0, "Hasta que la cierre" },
        { std::numeric_limits<double>::infinity(), 31536000000LL, "Tras 3153600000 segundos" },
    };
    for (const Case& c : cases) {
        prefs::update([&](config::Config& cfg) { cfg.quick_access_seconds = c.seconds; });
        EXPECT_EQ(u->quick_access->currentData().toLongLong(), c.tag) << c.seconds;
        EXPECT_EQ(u->quick_access->currentText().toStdString(), c.title) << c.seconds;
    }
    // Added items stay; choosing one stores its tenths.
    EXPECT_EQ(u->quick_access->count(), presets + 3);
    prefs::actions::quick_access_changed(20);
    EXPECT_DOUBLE_EQ(on_disk().quick_access_seconds, 2.0);
    EXPECT_EQ(u->quick_access->count(), presets + 3);

    prefs::update([](config::Config& cfg) { cfg.recording.fps = 24; });
    EXPECT_EQ(u->fps->currentText().toStdString(), "24 fps");
    EXPECT_EQ(u->fps->count(), 3);
    prefs::actions::fps_changed(30);
    EXPECT_EQ(state::config()->recording.fps, 30u);
    EXPECT_EQ(u->fps->currentData().toLongLong(), 30);
    prefs::actions::fps_changed(0);
    EXPECT_EQ(state::config()->recording.fps, 1u);

    // Counters: the label follows, the stepper cannot leave its range.
    auto& [timer, timer_label] = u->counters[0];
    auto& [countdown, countdown_label] = u->counters[1];
    EXPECT_EQ(timer_label->text().toStdString(), "5 segundos");
    EXPECT_EQ(countdown_label->text().toStdString(), "Sin cuenta regresiva");
    timer->set_value(60);
    timer->up()->click();
    EXPECT_EQ(timer->value(), 60);
    EXPECT_EQ(on_disk().self_timer_seconds, 60u);
    countdown->up()->click();
    EXPECT_EQ(countdown_label->text().toStdString(), "1 segundo");
    EXPECT_EQ(state::config()->recording.countdown_seconds, 1u);
    countdown->down()->click();
    countdown->down()->click();
    EXPECT_EQ(state::config()->recording.countdown_seconds, 0u);

    EXPECT_EQ(u->perm_label->text().toStdString(), "Permitido");
    prefs::services().screen_recording_permission = [] { return false; };
    prefs::refresh(*u);
    EXPECT_EQ(u->perm_label->text().toStdString(), "Sin permiso: Vistrope no puede capturar");
    EXPECT_EQ(u->perm_button->text().toStdString(), "Dar permiso…");
}

TEST_F(Prefs, AChangeThatCannotBeSavedHoldsForTheSessionMarkedUnsavedOnEveryTab)
{
    auto u = window();
    const auto path = config::Config::path();
    const std::string before = read_file(path);
    const bool was = state::config()->freeze_screen;
    bool full = true;
    prefs::services().save = [&](const config::Config& c) -> std::expected<config::Saved, std::string> {
        if (full)
            return std::unexpected(path.string() + ": no queda espacio en el disco");
        return c.save();
    };
    const auto status = [&] { return u->save_status->isHidden() ? std::string() : u->save_status->text().toStdString(); };
    const std::string unsaved = "Cambios sin guardar: " + path.string()
        + ": no queda espacio en el disco. Siguen en uso hasta que salgas de Vistrope.";
    EXPECT_EQ(status(), "");
    const int idle_height = u->window->height();
    testing::internal::CaptureStderr();
    u->toggles[4]->click();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("no pude guardar config.toml: " + path.string() + ": no queda espacio"), std::string::npos) << err;
    // Kept: the box and the held settings have the change, the file not,
    // and the line under the pages says so on every tab.
    EXPECT_EQ(state::config()->freeze_screen, !was);
    EXPECT_EQ(u->toggles[4]->isChecked(), !was);
    EXPECT_EQ(read_file(path), before);
    EXPECT_GT(u->window->height(), idle_height) << "the window makes room for the line";
    for (int tab = 0; tab < 5; ++tab) {
        prefs::select_tab(*u, tab);
        EXPECT_EQ(status(), unsaved) << "tab " << tab;
    }
    EXPECT_EQ(hint(*u), std::string(prefs::HINT_IDLE)) << "the shortcut hint is not where a save failure goes";

    // Coming back to the window re-reads a file nobody touched: the change stays.
    u->window->on_activated();
    EXPECT_EQ(state::config()->freeze_screen, !was);
    EXPECT_EQ(status(), unsaved);

    // A shortcut changed meanwhile holds too, without claiming "Guardado".
    prefs::select_tab(*u, 2);
    prefs::set_shortcut("pin_last", "ctrl+cmd+k");
    EXPECT_EQ(state::config()->shortcuts.pin_last, "ctrl+cmd+k");
    EXPECT_EQ(field(*u, "pin_last")->spec(), "ctrl+cmd+k");
    const auto k = hotkeys::parse("ctrl+cmd+k").value();
    EXPECT_TRUE(m_keys->press(k.key_code, k.modifiers)) << "the unsaved shortcut is registered";
    EXPECT_EQ(hint(*u), std::string(prefs::HINT_IDLE));
    EXPECT_EQ(read_file(path), before);

    // Once a save succeeds the line goes and the file holds every change.
    full = false;
    prefs::actions::fps_changed(30);
    EXPECT_EQ(status(), "");
    const auto saved = config::parse(read_file(path));
    ASSERT_TRUE(saved) << saved.error();
    EXPECT_EQ(saved->freeze_screen, !was);
    EXPECT_EQ(saved->shortcuts.pin_last, "ctrl+cmd+k");
    EXPECT_EQ(saved->recording.fps, 30u);

    // A hand edit made while a change is unsaved wins: adopted, and nothing
    // is left unsaved.
    full = true;
    u->toggles[4]->click();
    EXPECT_EQ(status(), unsaved);
    write_file(path, "[recording]\nfps = 24\n");
    u->window->on_activated();
    EXPECT_EQ(state::config()->recording.fps, 24u);
    EXPECT_EQ(state::config()->freeze_screen, true);
    EXPECT_EQ(status(), "");
}

TEST_F(Prefs, AnInvalidFileIsKeptAsideOnceBeforeAChangeIsWrittenOverIt)
{
    auto u = window();
    std::vector<std::string> toasts;
    prefs::services().toast = [&](const std::string& t) { toasts.push_back(t); };
    const auto path = config::Config::path();
    const auto kept = config::invalid_copy_path(path);
    EXPECT_EQ(kept.filename(), "config.toml.invalido");
    // Hand edits before one typo.
    const std::string hand = "save_dir = \"~/Capturas\"\n# mis atajos\n[shortcuts]\ncapture_area = \"ctrl+cmd+a\"\ntamaño = 1\n";
    write_file(path, hand);
    testing::internal::CaptureStderr();
    u->toggles[4]->click();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("config.toml no era válido: lo guardé como config.toml.invalido"), std::string::npos) << err;
    EXPECT_EQ(toasts, std::vector<std::string>{ "config.toml no era válido: lo guardé como config.toml.invalido" });
    EXPECT_EQ(read_file(kept), hand);
    ASSERT_TRUE(config::parse(read_file(path)));

    // The file now parses: the next change keeps nothing more.
    u->toggles[4]->click();
    EXPECT_EQ(toasts.size(), 1u);
    EXPECT_EQ(read_file(kept), hand);
}

TEST_F(Prefs, HandEditsApplyOnActivationUnwrittenAndOnlyWhenReal)
{
    auto u = window();
    const auto path = config::Config::path();
    const auto held = state::config();

    // Reordered keys and blank lines: the same settings, nothing logged or applied.
    write_file(path, "\n\nfreeze_screen   = true\nsave_dir = \"~/Desktop\"\n");
    testing::internal::CaptureStderr();
    u->window->on_activated();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(state::config(), held);
    EXPECT_EQ(m_applies, 0);

    // Not TOML: ignored silently.
    write_file(path, "esto no es toml [");
    testing::internal::CaptureStderr();
    prefs::sync_from_disk();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(state::config(), held);

    // A real edit: logged, adopted, applied and shown, the file left as written.
    const std::string edit = "[recording]\nfps = 24\n[shortcuts]\npin_last = \"ctrl+cmd+k\"\n";
    write_file(path, edit);
    testing::internal::CaptureStderr();
    prefs::sync_from_disk();
    EXPECT_NE(testing::internal::GetCapturedStderr().find("config.toml cambió fuera de Preferencias; lo aplico"),
              std::string::npos);
    EXPECT_EQ(state::config()->recording.fps, 24u);
    EXPECT_EQ(m_applies, 1);
    EXPECT_EQ(u->fps->currentText().toStdString(), "24 fps");
    EXPECT_EQ(field(*u, "pin_last")->spec(), "ctrl+cmd+k");
    EXPECT_EQ(read_file(path), edit);
    const auto k = hotkeys::parse("ctrl+cmd+k").value();
    EXPECT_TRUE(m_keys->press(k.key_code, k.modifiers));

    // Adopted while a field records (the window came back to the front): the
    // hot keys stay released until the recording ends.
    field(*u, "capture_area")->begin();
    write_file(path, "[recording]\nfps = 30\n");
    prefs::sync_from_disk();
    EXPECT_EQ(state::config()->recording.fps, 30u);
    EXPECT_TRUE(field(*u, "capture_area")->recording());
    EXPECT_TRUE(m_keys->active().empty());
    key(field(*u, "capture_area"), KEY_ESC, Qt::NoModifier, Qt::Key_Escape);
    EXPECT_EQ(m_keys->active().size(), 9u);
}

TEST_F(Prefs, ActivationNeverWaitsOnAFifoInTheFilesPlace)
{
    auto u = window();
    const auto path = config::Config::path();
    std::filesystem::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const auto held = state::config();
    // A writer that turns up late and keeps trying until the read is over:
    // a reader that waited for it takes a changed frame rate from it.
    std::atomic<bool> read { false };
    std::thread writer([path, &read] {
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        while (!read) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                const std::string text = "[recording]\nfps = 24\n";
                (void)!::write(fd, text.data(), text.size());
                ::close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    u->window->on_activated();
    read = true;
    writer.join();
    std::filesystem::remove(path);
    // A reader that waited for the writer took its frame rate; how long the
    // read took on this machine says nothing.
    EXPECT_EQ(state::config(), held);
}

TEST_F(Prefs, FieldRecordsACombinationFromXKeycodes)
{
    auto u = window();
    ShortcutField* f = field(*u, "pin_last");
    f->begin();
    EXPECT_TRUE(f->recording());
    EXPECT_TRUE(m_keys->active().empty()); // every hot key released while recording
    EXPECT_EQ(hint(*u), prefs::HINT_RECORDING);

    // A modifier key's own press carries the state before it.
    key(f, KEY_LEFTCTRL, Qt::NoModifier, Qt::Key_Control);
    EXPECT_EQ(f->modifiers(), hotkeys::COMMAND);
    key(f, KEY_LEFTMETA, Qt::ControlModifier, Qt::Key_Meta);
    EXPECT_EQ(f->modifiers(), hotkeys::COMMAND | hotkeys::CONTROL);
    key(f, KEY_LEFTMETA, Qt::ControlModifier | Qt::MetaModifier, Qt::Key_Meta, QEvent::KeyRelease);
    EXPECT_EQ(f->modifiers(), hotkeys::COMMAND);
    key(f, KEY_LEFTMETA, Qt::ControlModifier, Qt::Key_Meta);

    // Unusable presses beep, warn and keep recording.
    key(f, KEY_K, Qt::NoModifier, Qt::Key_K);
    EXPECT_TRUE(f->recording());
    EXPECT_EQ(hint(*u), prefs::HINT_NEEDS_MODIFIER);
    EXPECT_TRUE(hint_warns(*u));
    key(f, KEY_A, Qt::ShiftModifier, Qt::Key_A);
    key(f, KEY_102ND, Qt::ControlModifier, Qt::Key_Less); // the ISO key left of Z has no name
    EXPECT_EQ(hint(*u), prefs::HINT_BAD_KEY);
    EXPECT_EQ(m_beeps, 3);
    EXPECT_TRUE(f->recording());
    EXPECT_TRUE(m_keys->active().empty());

    // Super+Ctrl+K: control + command.
    key(f, KEY_K, Qt::ControlModifier | Qt::MetaModifier, Qt::Key_K);
    EXPECT_FALSE(f->recording());
    EXPECT_EQ(f->spec(), "ctrl+cmd+k");
    EXPECT_EQ(state::config()->shortcuts.pin_last, "ctrl+cmd+k");
    EXPECT_EQ(on_disk().shortcuts.pin_last, "ctrl+cmd+k");
    EXPECT_EQ(hint(*u), "Guardado: Super+Ctrl+K para «Fijar última captura».");
    EXPECT_EQ(m_keys->active().size(), 9u);

    // Shift with a function key is enough.
    f->begin();
    key(f, KEY_F5, Qt::ShiftModifier, Qt::Key_F5);
    EXPECT_EQ(state::config()->shortcuts.pin_last, "shift+f5");
}

TEST_F(Prefs, EscapeCancelsDeleteClearsAndModifiedOnesAreOrdinaryKeys)
{
    auto u = window();
    ShortcutField* f = field(*u, "pin_last");
    f->begin();
    key(f, KEY_ESC, Qt::NoModifier, Qt::Key_Escape);
    EXPECT_FALSE(f->recording());
    EXPECT_EQ(f->spec(), "opt+shift+cmd+p");
    EXPECT_EQ(state::config()->shortcuts.pin_last, "opt+shift+cmd+p");
    EXPECT_EQ(hint(*u), prefs::HINT_IDLE);
    EXPECT_EQ(m_keys->active().size(), 9u);

    f->begin();
    key(f, KEY_BACKSPACE, Qt::NoModifier, Qt::Key_Backspace);
    EXPECT_EQ(state::config()->shortcuts.pin_last, "");
    EXPECT_EQ(f->spec(), "");
    EXPECT_EQ(hint(*u), "«Fijar última captura» ya no tiene atajo.");
    EXPECT_FALSE(hint_warns(*u));
    EXPECT_EQ(m_keys->active().size(), 8u);

    f->begin();
    key(f, KEY_ESC, Qt::ControlModifier, Qt::Key_Escape);
    EXPECT_EQ(state::config()->shortcuts.pin_last, "cmd+escape");

    field(*u, "capture_text")->begin();
    key(field(*u, "capture_text"), KEY_DELETE, Qt::NoModifier, Qt::Key_Delete);
    EXPECT_EQ(state::config()->shortcuts.capture_text, "");
}

TEST_F(Prefs, ARecordingFieldTakesTheWindowsShortcutsAndKeepsItThroughDeactivation)
{
    auto u = window();
    u->window->show();
    QApplication::setActiveWindow(u->window.get());
    ShortcutField* f = field(*u, "capture_window");

    QKeyEvent idle_override(QEvent::ShortcutOverride, Qt::Key_W, Qt::ControlModifier, KEY_W + X, 0, 0);
    QApplication::sendEvent(f, &idle_override);
    EXPECT_FALSE(idle_override.isAccepted());

    f->begin();
    QKeyEvent override(QEvent::ShortcutOverride, Qt::Key_W, Qt::ControlModifier, KEY_W + X, 0, 0);
    QApplication::sendEvent(f, &override);
    EXPECT_TRUE(override.isAccepted());

    // Going to the background or opening a pop-up keeps the recording.
    for (const Qt::FocusReason why : { Qt::ActiveWindowFocusReason, Qt::PopupFocusReason }) {
        QFocusEvent out(QEvent::FocusOut, why);
        QApplication::sendEvent(f, &out);
        EXPECT_TRUE(f->recording());
    }
    key(f, KEY_W, Qt::ControlModifier, Qt::Key_W);
    EXPECT_EQ(state::config()->shortcuts.capture_window, "cmd+w");
    EXPECT_TRUE(u->window->isVisible());

    // Any other loss of the focus cancels and registers the hot keys again.
    f->begin();
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(f, &out);
    EXPECT_FALSE(f->recording());
    EXPECT_EQ(m_keys->active().size(), 9u);

    // Closing the window while a field records cancels it.
    f->begin();
    ASSERT_TRUE(f->hasFocus());
    u->window->close();
    EXPECT_FALSE(f->recording());
    EXPECT_FALSE(u->window->isVisible());
    EXPECT_EQ(m_keys->active().size(), 9u);
    EXPECT_EQ(state::config()->shortcuts.capture_window, "cmd+w");
}

TEST_F(Prefs, BeginningAnotherFieldCancelsTheFirstAndKeepsTheHotKeysReleased)
{
    auto u = window(); // never shown: no focus events reach the fields
    ShortcutField* first = field(*u, "pin_last");
    ShortcutField* second = field(*u, "capture_text");
    first->begin();
    key(first, KEY_LEFTCTRL, Qt::NoModifier, Qt::Key_Control);
    second->begin();
    EXPECT_FALSE(first->recording());
    EXPECT_EQ(first->modifiers(), 0u);
    EXPECT_TRUE(second->recording());
    EXPECT_TRUE(m_keys->active().empty());
    EXPECT_EQ(state::config()->shortcuts.pin_last, "opt+shift+cmd+p");
    key(second, KEY_T, Qt::ControlModifier | Qt::AltModifier, Qt::Key_T);
    EXPECT_EQ(state::config()->shortcuts.capture_text, "opt+cmd+t");
    EXPECT_EQ(m_keys->active().size(), 9u);
}

TEST_F(Prefs, ClicksBeginCancelAndClear)
{
    auto u = window();
    u->window->show();
    ShortcutField* f = field(*u, "pin_last");
    auto click = [](QWidget* w, double x) {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(x, 12), w->mapToGlobal(QPointF(x, 12)), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(w, &press);
    };
    click(f, 40);
    EXPECT_TRUE(f->recording());
    click(f, 40);
    EXPECT_FALSE(f->recording());
    EXPECT_EQ(m_keys->active().size(), 9u);

    click(f, 140); // the clear glyph
    EXPECT_FALSE(f->recording());
    EXPECT_EQ(state::config()->shortcuts.pin_last, "");
    click(f, 140); // an empty field has no glyph: recording starts
    EXPECT_TRUE(f->recording());
    key(f, KEY_ESC, Qt::NoModifier, Qt::Key_Escape);

    // Return or Space on an idle field begins too.
    key(f, KEY_ENTER, Qt::NoModifier, Qt::Key_Return);
    EXPECT_TRUE(f->recording());
}

TEST_F(Prefs, SetShortcutOutcomes)
{
    auto u = window();
    const std::string file_before = read_file(config::Config::path());

    // Another action's combination: refused before saving, hot keys back as they were.
    field(*u, "pin_last")->begin();
    field(*u, "pin_last")->finish("opt+shift+cmd+4", prefs::Focus::GiveUp);
    EXPECT_EQ(m_beeps, 1);
    EXPECT_EQ(state::config()->shortcuts.pin_last, "opt+shift+cmd+p");
    EXPECT_EQ(read_file(config::Config::path()), file_before);
    EXPECT_EQ(hint(*u), "Ctrl+Alt+Mayús+4 ya lo usa «Capturar área». Bórralo ahí primero.");
    EXPECT_TRUE(hint_warns(*u));
    EXPECT_EQ(m_keys->active().size(), 9u);

    // Its own combination is no conflict.
    prefs::set_shortcut("capture_area", "opt+shift+cmd+4");
    EXPECT_EQ(hint(*u), "Guardado: Ctrl+Alt+Mayús+4 para «Capturar área».");
    EXPECT_FALSE(hint_warns(*u));

    // The desktop's capture key: saved, with the warning in the hint and the row.
    testing_support::ScopedEnv desktop("XDG_CURRENT_DESKTOP", "KDE");
    prefs::set_shortcut("capture_area", "print");
    EXPECT_EQ(on_disk().shortcuts.capture_area, "print");
    EXPECT_EQ(hint(*u), "Guardado Impr Pant. Ojo: KDE Plasma la usa para sus capturas.");
    EXPECT_EQ(warning(*u, "capture_area")->toolTip().toStdString(), "KDE Plasma la usa para sus capturas");
    // The note whole, wrapped within its column rather than cut.
    EXPECT_EQ(warning(*u, "capture_area")->text().toStdString(), "KDE Plasma la usa para sus capturas");
    EXPECT_LE(warning(*u, "capture_area")->sizeHint().width(), 184);
    EXPECT_GT(warning(*u, "capture_area")->heightForWidth(184), warning(*u, "capture_area")->fontMetrics().height())
        << "two lines at the column's width";

    // Another program holds it: saved, and both say so.
    const auto k = hotkeys::parse("ctrl+cmd+k").value();
    m_keys->hold_elsewhere(k.key_code, k.modifiers);
    prefs::set_shortcut("pin_last", "ctrl+cmd+k");
    EXPECT_EQ(on_disk().shortcuts.pin_last, "ctrl+cmd+k");
    EXPECT_EQ(hint(*u), "Super+Ctrl+K no se pudo registrar: otra app lo usa.");
    EXPECT_EQ(warning(*u, "pin_last")->text().toStdString(), "No disponible: lo usa otra app");

    // A text that does not parse is kept, marked, and never conflicts.
    prefs::set_shortcut("open_last_in_editor", "cmd+nada");
    EXPECT_EQ(state::config()->shortcuts.open_last_in_editor, "cmd+nada");
    EXPECT_EQ(warning(*u, "open_last_in_editor")->text().toStdString(), "Atajo no válido");
    prefs::set_shortcut("capture_text", "cmd+nada");
    EXPECT_EQ(state::config()->shortcuts.capture_text, "cmd+nada");

    // Restoring the defaults clears every warning.
    u->reset_button->click();
    EXPECT_EQ(state::config()->shortcuts, config::Shortcuts{});
    EXPECT_EQ(on_disk().shortcuts, config::Shortcuts{});
    EXPECT_EQ(hint(*u), prefs::HINT_RESET);
    for (const auto& [f, label] : u->shortcut_rows) {
        EXPECT_EQ(label->text(), QString()) << f->id();
        EXPECT_TRUE(label->toolTip().isEmpty());
    }
}

TEST_F(Prefs, RowsFollowTheActionOrderWhateverTheFileSays)
{
    write_file(config::Config::path(), "[shortcuts]\npin_last = \"ctrl+cmd+k\"\ncapture_text = \"cmd+alt+t\"\n"
                                       "capture_area = \"opt+shift+cmd+4\"\n");
    state::reset_for_tests(); // read the file afresh
    auto u = window();
    std::vector<std::string> ids;
    for (const auto& [f, label] : u->shortcut_rows)
        ids.push_back(f->id());
    const std::vector<std::string> expected = { "capture_area", "capture_fullscreen", "capture_window",
                                                "capture_previous_area", "capture_scrolling", "capture_text",
                                                "record_screen", "pin_last", "open_last_in_editor" };
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(field(*u, "pin_last")->spec(), "ctrl+cmd+k");

    EXPECT_EQ(prefs::shortcut_label("capture_area").toStdString(), "Capturar área");
    EXPECT_EQ(prefs::shortcut_label("record_gif").toStdString(), "Grabar GIF");
    EXPECT_EQ(prefs::shortcut_label("ßa_b").toStdString(), "SSa b");
    EXPECT_EQ(prefs::shortcut_label("éclair_x").toStdString(), "Éclair x");
    EXPECT_EQ(prefs::shortcut_label("").toStdString(), "");
}

TEST_F(Prefs, FolderConfigAndLinksGoThroughTheServices)
{
    auto u = window();
    m_folder = (m_home.path() / "Capturas").string();
    prefs::actions::choose_folder();
    EXPECT_EQ(m_chooser_start, (m_home.path() / "Desktop").string());
    EXPECT_EQ(on_disk().save_dir, "~/Capturas");
    EXPECT_EQ(u->folder_label->path().toStdString(), "~/Capturas");
    m_folder = m_home.path().string();
    prefs::actions::choose_folder();
    EXPECT_EQ(state::config()->save_dir, "~");
    m_folder = "/srv/capturas";
    prefs::actions::choose_folder();
    EXPECT_EQ(state::config()->save_dir, "/srv/capturas");

    // No file yet: the current settings are written first, so the editor opens a whole file.
    std::filesystem::remove(config::Config::path());
    prefs::actions::open_config();
    EXPECT_EQ(read_file(config::Config::path()), config::serialize(*state::config()));
    prefs::actions::open_website();
    prefs::actions::open_privacy();
    EXPECT_EQ(m_opened, (std::vector<std::string>{ config::Config::path().string(), std::string(prefs::WEBSITE) }));
}

// The About tab's link with no browser to open it: xdg-open ends with status
// 3, and the user is told rather than left with a click that did nothing.
TEST_F(Prefs, TheWebsiteLinkSaysWhenNoBrowserOpensIt)
{
    const std::filesystem::path bin = m_home.path() / "bin";
    std::filesystem::create_directories(bin);
    const std::filesystem::path asked = m_home.path() / "pedido.txt";
    write_file(bin / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + asked.string() + "'\nexit 3\n");
    std::filesystem::permissions(bin / "xdg-open", std::filesystem::perms::owner_all);
    ScopedEnv path("PATH", bin.string() + ":/usr/bin:/bin");
    prefs::reset_services();
    std::vector<std::string> toasts;
    prefs::services().toast = [&](const std::string& text) { toasts.push_back(text); };

    prefs::actions::open_website();
    ASSERT_TRUE(wait_until([&] { return !toasts.empty(); }, 10000)) << "no word of the failure";
    EXPECT_EQ(toasts, std::vector<std::string> { "No se pudo abrir la página" });
    EXPECT_EQ(read_file(asked), std::string(prefs::WEBSITE));
}

TEST_F(Prefs, WindowIsKeptHiddenAndClosesOnExactlyCtrlW)
{
    prefs::show();
    auto u = prefs::ui();
    ASSERT_TRUE(u);
    widgets::VistropeSettingsWindow* w = u->window.get();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->windowTitle().toStdString(), "Vistrope");
    prefs::select_tab(*u, 2);
    EXPECT_EQ(w->windowTitle().toStdString(), "Vistrope") << "the program's name, whichever tab shows";
    EXPECT_EQ(u->pages->currentIndex(), 2);
    const QPoint where = w->pos();

    auto press = [w](int key, Qt::KeyboardModifiers mods) {
        QKeyEvent e(QEvent::KeyPress, key, mods);
        QApplication::sendEvent(w, &e);
    };
    press(Qt::Key_W, Qt::ControlModifier | Qt::ShiftModifier);
    press(Qt::Key_W, Qt::ControlModifier | Qt::AltModifier);
    press(Qt::Key_W, Qt::NoModifier);
    press(Qt::Key_Q, Qt::ControlModifier);
    EXPECT_TRUE(w->isVisible());
    press(Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(w->isVisible());

    // Shown again: the same window, page and place, not rebuilt.
    prefs::show();
    EXPECT_EQ(prefs::ui(), u);
    EXPECT_EQ(u->window.get(), w);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->pos(), where);
    EXPECT_EQ(u->pages->currentIndex(), 2);
}

TEST_F(Prefs, EveryWrappedTextStaysInsideItsPage)
{
    prefs::show();
    auto u = prefs::ui();
    ASSERT_TRUE(u);
    QWidget* w = u->window.get();
    for (int tab = 0; tab < u->pages->count(); ++tab) {
        prefs::select_tab(*u, tab);
        QApplication::processEvents();
        for (const QLabel* label : u->pages->currentWidget()->findChildren<QLabel*>()) {
            if (!label->wordWrap() || !label->isVisibleTo(w) || label->text().isEmpty())
                continue;
            // No holder of the label cuts it off.
            for (const QWidget* inner = label; inner != w; inner = inner->parentWidget())
                EXPECT_TRUE(inner->parentWidget()->rect().contains(inner->geometry()))
                    << "tab " << tab << ": " << label->text().toStdString();
            // Every line of the text fits the label's width.
            const QRect needed = label->fontMetrics().boundingRect(QRect(0, 0, label->width(), 10000),
                                                                   Qt::TextWordWrap, label->text());
            EXPECT_LE(needed.width(), label->width()) << label->text().toStdString();
            EXPECT_LE(needed.height(), label->height()) << label->text().toStdString();
        }
    }
}

TEST(Widgets, UrlsPathLabelsSymbolsAndPictures)
{
    EXPECT_EQ(widgets::openable_url("https://vtrope.dev/vistrope?a=%C3%B1"), "https://vtrope.dev/vistrope?a=%C3%B1");
    EXPECT_EQ(widgets::openable_url("https://vtrope.dev/a b"), std::nullopt);
    EXPECT_EQ(widgets::openable_url("mailto:ana@example.com"), "mailto:ana@example.com");
    EXPECT_EQ(widgets::openable_url("vtrope.dev/vistrope"), std::nullopt);
    EXPECT_EQ(widgets::openable_url("-rf"), std::nullopt);
    EXPECT_EQ(widgets::openable_url(""), std::nullopt);
    EXPECT_FALSE(widgets::open_url("--help"));

    widgets::PathLabel* label = widgets::path_label(120);
    const QString path = "/home/ana/un/camino/muy/largo/hacia/las/capturas/de/hoy";
    label->set_path(path);
    label->resize(label->sizeHint());
    label->resize(500, 20);
    EXPECT_LE(label->width(), 120);
    EXPECT_TRUE(label->text().startsWith("/home")) << label->text().toStdString();
    EXPECT_TRUE(label->text().endsWith("hoy"));
    EXPECT_TRUE(label->text().contains(QChar(0x2026)));
    delete label;

    EXPECT_TRUE(widgets::symbol("no.such.symbol", 16).isNull());
    EXPECT_FALSE(widgets::symbol("command", 16).isNull());
    EXPECT_FALSE(widgets::symbol("hourglass", 16).isNull());
    // Two colours: a disc of the first behind the glyph in the second.
    const QColor two[] = { Qt::red, Qt::blue };
    for (const char* name : { "checkmark.circle.fill", "1.circle.fill" }) {
        const QImage img = widgets::symbol_palette(name, two, 32).toImage();
        ASSERT_FALSE(img.isNull()) << name;
        bool red = false, blue = false;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) {
                const QColor c = img.pixelColor(x, y);
                red |= c.alpha() == 255 && c.red() > 240 && c.blue() < 15;
                blue |= c.alpha() == 255 && c.blue() > 240 && c.red() < 15;
            }
        EXPECT_TRUE(red) << name;
        EXPECT_TRUE(blue) << name;
    }

    TempDir dir;
    EXPECT_FALSE(widgets::snapshot_window(nullptr, dir.path() / "x.png"));
    QWidget w;
    w.resize(40, 30);
    EXPECT_TRUE(widgets::snapshot_window(&w, dir.path() / "w.png"));
    EXPECT_EQ(QImage(QString::fromStdString((dir.path() / "w.png").string())).size(), QSize(40, 30));
    EXPECT_FALSE(widgets::snapshot_window(&w, dir.path() / "missing" / "w.png"));
}
