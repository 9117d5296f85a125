// onboarding: the first-run window and the screen-recording permission.
#pragma once

namespace onboarding {

// Shows the first-run window and starts polling the permission. Main thread.
void show();
// At launch: shows it when the first run is not complete or the permission is missing. Main thread.
void show_if_needed();

} // namespace onboarding
