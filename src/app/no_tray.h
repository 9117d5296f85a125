// The window that stands in for the status item on a desktop without a
// system tray (no StatusNotifierWatcher, no XEmbed tray manager): the
// program's front door there. It says so, offers Preferencias and Salir,
// goes away when a tray appears and comes back when the tray goes; starting
// the program again shows it. Closing it asks whether to quit or to go on in
// the background.
#pragma once

#include <functional>

class QWidget;

namespace app::no_tray {

// What the window does and reads; tests replace them.
struct Hooks {
    std::function<bool()> tray_available;
    std::function<void()> open_preferences;
    std::function<void()> quit;
    // Called each time a tray appears (the window has gone by then).
    std::function<void()> tray_appeared;
};

// Shows the window when hooks.tray_available() says no, and from then on asks
// again every `poll_ms` for as long as the program runs: the window goes when
// a tray appears and is shown again when it goes away. Main thread.
void watch(Hooks hooks, int poll_ms = 1000);

// The program was started again: without a tray the window is shown (built
// anew when it was closed) and brought to the front. Whether there is no
// tray, as last seen. Main thread, after watch().
bool show_again();

// The window while shown; null otherwise (tests).
QWidget* window();

// Closes the window and stops watching (tests, the end of the run).
void reset();

} // namespace app::no_tray
