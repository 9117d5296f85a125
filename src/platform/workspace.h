// platform: the desktop's workspace: opening files and folders, the
// screen-recording permission.
#pragma once

#include <optional>
#include <string>

namespace platform {

// Opens a path (a folder in the file manager, a file in its default
// application) without waiting; the result is ignored. Any thread.
void open_path(const std::string& path);

// X11 has no screen-recording permission: granted, unless a test set an answer.
bool screen_recording_permission();
void set_screen_recording_permission_for_tests(std::optional<bool> answer);

} // namespace platform
