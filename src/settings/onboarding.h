// onboarding: the first-run window and the screen-recording permission.
//
// "Bienvenido a Vistrope" explains the program, shows whether captures are
// allowed (watching for the answer once a second while it is open), offers a
// relaunch when waiting drags on, lists the main shortcuts, and leaves the
// marker "onboarded" beside the settings file once the user presses
// "Empezar". Main thread only.
#pragma once

#include <QPointer>

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLabel;
class QPushButton;
class QWidget;

namespace widgets {
class VistropeSettingsWindow;
} // namespace widgets

namespace onboarding {

// The window state; the window owns every widget, the rest point into it.
struct Ui {
    std::unique_ptr<widgets::VistropeSettingsWindow> window;
    // The permission step: shown only while the screen cannot be read (X11
    // lets every client read it, so there it stays out of sight).
    QWidget* permission_step = nullptr;
    QLabel* badge = nullptr;
    // The shortcuts step's number: first when the permission step is hidden.
    QLabel* shortcuts_badge = nullptr;
    QLabel* status_icon = nullptr;
    QLabel* status_label = nullptr;
    QWidget* actions = nullptr;
    QPushButton* grant_button = nullptr;
    QPushButton* relaunch_button = nullptr;
    QLabel* restart_note = nullptr;
    QPushButton* preferences_button = nullptr;
    QPushButton* start_button = nullptr;
    // Show the relaunch button and its note (while not granted).
    bool needs_restart = false;
    // The state last shown; none until the first update.
    std::optional<bool> granted;

    Ui();
    ~Ui();
};

// At launch: shows the window when the marker is missing or the permission
// is, unless "--selftest" is among the process arguments.
void show_if_needed();
// Shows the window (built and centred the first time), brings it to the
// front and starts a new generation of permission polling.
void show();
// Builds the window, hidden; the caller holds it.
std::unique_ptr<Ui> build();
// Shows the permission state and fits the window, its top edge kept.
void update_status(Ui& ui, bool granted);
// The window shown by `show`, or null.
std::shared_ptr<Ui> ui();

// One poll step of generation `generation`; steps of an older generation do nothing.
void tick(std::uint64_t generation, int attempt);
// The current poll generation.
std::uint64_t poll_generation();

// The states the self-check draws the window in: waiting, waiting with the
// relaunch offered, and granted.
struct DrawnState {
    std::string_view name;
    bool needs_restart;
    bool granted;
};
inline constexpr std::array<DrawnState, 3> DRAWN_STATES = { {
    { "pendiente", false, false },
    { "reiniciar", true, false },
    { "listo", false, true },
} };

// Draws the window in each of DRAWN_STATES into
// folder/"onboarding-{state}-{appearance}.png"; true when all were written.
bool render(const std::filesystem::path& folder, std::string_view appearance);

// The marker of a finished first run, beside the settings file.
std::filesystem::path marker_path();

// The relaunch: "/bin/sh" with these arguments starts `executable` anew
// 0.7 s later, detached, while this process quits.
std::vector<std::string> relaunch_arguments(const std::string& executable);

// The program to relaunch from the target of /proc/self/exe: a binary that a
// package upgrade replaced reads "<path> (deleted)", and its path now holds
// the new one. None when there is no path at all.
std::optional<std::string> relaunch_executable(std::string link);

// The buttons and the window's close.
namespace handler {
void will_close();
void grant_permission();
void relaunch();
void open_preferences();
void start();
} // namespace handler

// Everything the window reaches outside; each member defaults to the real one.
struct Services {
    std::function<bool()> permission;
    // Asks for shareable content; `done` gets whether some came back.
    std::function<void(std::function<void(bool)> done)> probe;
    // One refresh of the shareable-content cache.
    std::function<void()> refresh;
    std::function<void(double seconds, std::function<void()> job)> after;
    std::function<std::expected<void, std::string>(const std::string& program, const std::vector<std::string>& args)>
        start_detached;
    // Lets go of the single-instance socket and lock, so the relaunched
    // process becomes the instance instead of handing its arguments to us.
    std::function<void()> release_instance;
    std::function<void()> quit;
    std::function<void(const std::string& url)> open_url;
    std::function<void()> show_preferences;
    std::function<std::vector<std::string>()> arguments;
};
Services& services();
void reset_services();

// Empties the slot and closes the window (tests and the self-check).
void reset();

} // namespace onboarding
