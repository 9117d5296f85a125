// platform: the desktop's workspace: opening files and folders, the
// screen-recording permission.
#pragma once

#include <QUrl>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// Opens a path (a folder in the file manager, a file in its default
// application) with the desktop's opener (xdg-open) without waiting. A
// missing opener, or one that fails, is logged: "no pude abrir <path>:
// <reason>", and that text is handed to `failed` on the main thread, where
// the caller tells the user. Any thread.
void open_path(const std::string& path, std::function<void(const std::string& why)> failed = {});

// open_path with another opener program, its failures handed to `report`
// (on any thread) instead of the log.
void open_path_with(const std::string& opener, const std::string& path,
                    std::function<void(const std::string& message)> report);

// Shows a file selected in the file manager (org.freedesktop.FileManager1's
// ShowItems on the session bus); where no file manager answers, opens its
// folder. Main thread; returns at once. When even the folder cannot be
// opened, `report` hears why (on any thread); without one it is logged.
void reveal(const std::filesystem::path& path, std::function<void(const std::string& message)> report = {});

// A file URL naming the path's own bytes: names that are not valid UTF-8
// stay percent-encoded as they are, so the URL still names the file.
QUrl file_url(const std::filesystem::path& path);

// X11 has no screen-recording permission: granted, unless a test set an answer.
bool screen_recording_permission();
void set_screen_recording_permission_for_tests(std::optional<bool> answer);

} // namespace platform
