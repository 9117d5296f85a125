// platform: the desktop's workspace: opening files and folders, the
// screen-recording permission.
#pragma once

#include <QUrl>

#include <filesystem>
#include <optional>
#include <string>

namespace platform {

// Opens a path (a folder in the file manager, a file in its default
// application) without waiting; the result is ignored. Any thread.
void open_path(const std::string& path);

// Shows a file selected in the file manager (org.freedesktop.FileManager1's
// ShowItems on the session bus); where no file manager answers, opens its
// folder. Main thread; returns at once.
void reveal(const std::filesystem::path& path);

// A file URL naming the path's own bytes: names that are not valid UTF-8
// stay percent-encoded as they are, so the URL still names the file.
QUrl file_url(const std::filesystem::path& path);

// X11 has no screen-recording permission: granted, unless a test set an answer.
bool screen_recording_permission();
void set_screen_recording_permission_for_tests(std::optional<bool> answer);

} // namespace platform
