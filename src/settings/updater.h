// updater: the update check against the feed.
#pragma once

namespace updater {

// The automatic check, run only when the last one is a day old or more. Main thread.
void check_in_background();
// Checks now; interactive checks answer with alerts. Main thread.
void check(bool interactive);

} // namespace updater
