// The window that stands in for the status item on a desktop without a
// system tray (no StatusNotifierWatcher, no XEmbed tray manager): it says so
// once, offers Preferencias and Salir, and goes away when a tray appears.
#pragma once

#include <functional>

class QWidget;

namespace app::no_tray {

// What the window does and reads; tests replace them.
struct Hooks {
    std::function<bool()> tray_available;
    std::function<void()> open_preferences;
    std::function<void()> quit;
    // Called once when a tray appears and the window has gone.
    std::function<void()> tray_appeared;
};

// Shows the window when hooks.tray_available() says no, and from then on asks
// again every `poll_ms` until a tray is there. Nothing when there is a tray.
// Main thread.
void watch(Hooks hooks, int poll_ms = 1000);

// The window while shown; null otherwise (tests).
QWidget* window();

// Closes the window and stops watching (tests, the end of the run).
void reset();

} // namespace app::no_tray
