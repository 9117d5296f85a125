// platform: the vistrope:// URL scheme and the single running instance.
//
// A desktop entry declares x-scheme-handler/vistrope, so the desktop starts
// `vistrope URL` for a link. A second process hands its URLs to the running
// instance over a local socket and exits; without a running instance it
// becomes the instance. The instance holds a lock for its whole life, so two
// instances never run at once, whatever the socket does.
#pragma once

#include "platform/instance.h"

#include <chrono>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLocalServer;
class QTimer;

namespace platform {

// One argument of a desktop entry's Exec key: quoted only when it holds a
// character the Desktop Entry standard reserves (or is empty), % doubled,
// then escaped as every string value of the file is.
std::string desktop_exec_argument(std::string_view arg);

// The name of the program's icon in the icon theme, which every desktop
// entry we write gives as its Icon.
inline constexpr const char* ICON_NAME = "vistrope";

// The link scheme's desktop entry for an executable: hidden from the
// application menu, it only takes vistrope:// links.
std::string desktop_entry(const std::string& executable);
// The application menu's entry: how Linux users start a tray program.
std::string menu_entry(const std::string& executable);
// "[Default Applications]" of a mimeapps.list with our scheme's line added or
// replaced; every other line kept as it was, CRLF lines read as lines.
std::string with_scheme_default(std::string_view mimeapps);
// Writes the link scheme's entry (vistrope.desktop) and the application
// menu's (vistrope-menu.desktop) into $XDG_DATA_HOME/applications (default
// ~/.local/share/applications), each only when its text changed, and
// registers the first for the scheme in
// $XDG_CONFIG_HOME/mimeapps.list, through links and keeping the file's mode.
// A mimeapps.list that cannot be read (a folder, no permission) is a failure
// and is left alone. The failure's reason is returned; nothing is thrown.
std::expected<void, std::string> install_desktop_entry(const std::string& executable);

class SingleInstance final {
public:
    enum class Role {
        Primary, // this process is the instance
        Forwarded, // the running instance took the URLs: end with status 0
        // It took them, but knew not every one: end with status 1 (said on
        // standard error).
        ForwardedUnknown,
        Refused, // no instance can be reached or become: end with status 1 (logged)
    };
    static constexpr int MAX_CONNECTIONS = 32;
    static constexpr std::chrono::milliseconds IDLE_LIMIT { 2000 };

    // Becomes the instance, or forwards `urls` to the running one, waiting up
    // to `patience` for an instance that is starting or ending (reach_instance).
    // Main thread, with an application object, when it may become the
    // instance; forwarding alone blocks until the instance has answered.
    static std::unique_ptr<SingleInstance> acquire(const std::vector<std::string>& urls, Role& role);
    static std::unique_ptr<SingleInstance> acquire_at(const InstancePlace& place, const std::vector<std::string>& urls,
        Role& role, std::chrono::milliseconds patience = LOCK_PATIENCE);
    ~SingleInstance();

    // Called on the main thread with each request's URLs, in order, and with
    // what to call once they have been acted on: only then is the sender told
    // they were taken, and whether each named something the program does.
    // A request never confirmed gets no answer, and its sender, seeing the
    // connection close, offers its links to the next instance. `taken` may
    // be called later, or never, from the main thread.
    using Handler = std::function<void(std::vector<std::string> urls, std::function<void(Links)> taken)>;
    void on_urls(Handler handler);

    // Stops taking requests for good: the socket closes (its file goes), and
    // requests still arriving on open connections get no answer. The lock
    // stays held until the object goes, so that a launch meanwhile waits for
    // it rather than start a second instance. Main thread.
    void stop_taking();

    // Whether the socket is accepting; a timer listens again once a second
    // when it is not (the toolkit closes the server when accepting fails) or
    // when the socket file has gone.
    bool listening() const;
    void keep_listening();

private:
    SingleInstance() = default;
    bool listen();
    void take_connections();

    QLocalServer* m_server = nullptr;
    QTimer* m_watch = nullptr;
    InstancePlace m_place;
    std::filesystem::path m_socket;
    Handler m_handler;
    int m_lock_fd = -1;
    int m_connections = 0;
    bool m_refusing = false;
    bool m_stopped = false;
};

} // namespace platform
