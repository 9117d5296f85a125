// video_ui: the --video-ui self-check of the video side of the program.
#pragma once

#include <string>

namespace video_ui {

// Opens `video` in a card and in the trim window, exports it, and writes
// pictures of every step into `folder`; the run loop ends when it is done.
// 1 (said on standard error) when `video` is not a regular file, else 0.
// Main thread, before the run loop.
int run(const std::string& video, const std::string& folder);

} // namespace video_ui
