// prefs: the settings window.
#pragma once

namespace prefs {

// Opens the settings window, refreshed from the current settings. Main thread.
void show();

} // namespace prefs
