// platform: the vistrope:// URL scheme and the single running instance.
//
// A desktop entry declares x-scheme-handler/vistrope, so the desktop starts
// `vistrope URL` for a link. A second process hands its URLs to the running
// instance over a local socket and exits; without a running instance it
// becomes the instance. Two instances never run at once.
#pragma once

#include <QObject>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLocalServer;

namespace platform {

// The URLs among the process arguments: those that start with "vistrope:"
// (the scheme compared without regard to case).
std::vector<std::string> scheme_urls(const std::vector<std::string>& args);

// Takes every complete request (URL lines ended by an empty line) off the
// front of what a connection has sent so far.
std::vector<std::vector<std::string>> take_requests(std::string& buffer);

// One argument of a desktop entry's Exec key, quoted and escaped.
std::string desktop_exec_argument(std::string_view arg);

// The desktop entry's text for an executable.
std::string desktop_entry(const std::string& executable);
// Writes the desktop entry into $XDG_DATA_HOME/applications (default
// ~/.local/share/applications) and registers it for the scheme in
// $XDG_CONFIG_HOME/mimeapps.list; a failure is returned, nothing else.
bool install_desktop_entry(const std::string& executable);

// A folder for this user alone: made with mode 0700 when missing; an existing
// one must be a real folder (no link) of this user that no one else may enter.
// None otherwise.
std::optional<std::filesystem::path> private_directory(const std::filesystem::path& dir);

class SingleInstance final {
public:
    enum class Role { Primary, Forwarded };

    // Becomes the instance, or forwards `urls` to the running one. The socket
    // lives in $XDG_RUNTIME_DIR (or /tmp, with the user id in its name).
    // Main thread, with an application object.
    static std::unique_ptr<SingleInstance> acquire(const std::vector<std::string>& urls, Role& role);
    ~SingleInstance();

    // Called on the main thread with each request's URLs, in order.
    void on_urls(std::function<void(std::vector<std::string>)> handler);

    // $XDG_RUNTIME_DIR/vistrope.sock, else a 0700 folder of this user under
    // /tmp; none when that folder is not safely ours.
    static std::optional<std::filesystem::path> socket_path();

private:
    SingleInstance() = default;
    QLocalServer* m_server = nullptr;
    std::function<void(std::vector<std::string>)> m_handler;
    int m_lock_fd = -1;
};

} // namespace platform
