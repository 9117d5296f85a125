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

// One forwarded request: URL lines ended by an empty line.
struct Request {
    std::vector<std::string> urls;
    // Lines past MAX_URLS, not kept.
    size_t dropped = 0;
};

// Cuts what one connection sends into requests. Each received byte is looked
// at once, and no request may grow past MAX_REQUEST_BYTES or keep more than
// MAX_URLS URLs: a client of this user cannot make the instance scan, hold
// or act on without bound.
class RequestReader final {
public:
    static constexpr size_t MAX_REQUEST_BYTES = 64 * 1024;
    static constexpr size_t MAX_URLS = 64;

    // The requests that the new bytes complete, in order. Nothing more once
    // overflowed().
    std::vector<Request> feed(std::string_view bytes);
    // The request under way passed MAX_REQUEST_BYTES: drop the connection.
    bool overflowed() const { return m_overflowed; }

private:
    std::string m_line;
    Request m_current;
    size_t m_bytes = 0;
    bool m_overflowed = false;
};

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
        Refused, // no instance can be reached or become: end with status 1 (logged)
    };
    static constexpr int MAX_CONNECTIONS = 32;
    static constexpr std::chrono::milliseconds IDLE_LIMIT { 2000 };

    // Becomes the instance, or forwards `urls` to the running one, waiting up
    // to `patience` for an instance that is starting. Main thread, with an
    // application object.
    static std::unique_ptr<SingleInstance> acquire(const std::vector<std::string>& urls, Role& role);
    static std::unique_ptr<SingleInstance> acquire_at(const InstancePlace& place, const std::vector<std::string>& urls,
        Role& role, std::chrono::milliseconds patience = std::chrono::seconds(5));
    ~SingleInstance();

    // Called on the main thread with each request's URLs, in order.
    void on_urls(std::function<void(std::vector<std::string>)> handler);

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
    std::function<void(std::vector<std::string>)> m_handler;
    int m_lock_fd = -1;
    int m_connections = 0;
    bool m_refusing = false;
};

} // namespace platform
