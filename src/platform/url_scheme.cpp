#include "platform/url_scheme.h"
#include "platform/instance.h"

#include "base/files.h"
#include "base/util.h"
#include "base/xdg.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace platform {

namespace fs = std::filesystem;

namespace {

std::string_view without_cr(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

} // namespace

std::string desktop_exec_argument(std::string_view arg)
{
    // Quoted only where the Exec key needs it: an argument holding one of
    // the reserved characters the Desktop Entry standard lists (or an
    // empty one). Launchers that split Exec by blanks alone, as xdg-open does
    // without a desktop, would take the quotes as part of the program's name.
    // Inside quotes ", `, $ and \ are escaped; % is doubled everywhere.
    constexpr std::string_view RESERVED = " \t\n\"'\\><~|&;$*?#()`";
    const bool needs_quotes = arg.empty() || arg.find_first_of(RESERVED) != std::string_view::npos;
    std::string quoted = needs_quotes ? "\"" : "";
    for (char c : arg) {
        if (needs_quotes && (c == '"' || c == '`' || c == '$' || c == '\\'))
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    if (needs_quotes)
        quoted += '"';
    std::string escaped;
    for (char c : quoted) {
        switch (c) {
        case '\\': escaped += "\\\\"; break;
        case '\n': escaped += "\\n"; break;
        case '\t': escaped += "\\t"; break;
        case '\r': escaped += "\\r"; break;
        default: escaped += c; break;
        }
    }
    return escaped;
}

std::string desktop_entry(const std::string& executable)
{
    return fmt::format("[Desktop Entry]\nType=Application\nName=Vistrope\nComment=Capturas y grabaciones de pantalla\n"
                       "Exec={} %u\nIcon={}\nTerminal=false\nNoDisplay=true\nMimeType=x-scheme-handler/vistrope;\n",
        desktop_exec_argument(executable), ICON_NAME);
}

std::string menu_entry(const std::string& executable)
{
    // No startup notification: the front ends at once, and an instance that
    // is already running, or that has a tray to sit in, shows no window that
    // would end it; the desktop would show a busy pointer until it gives up.
    return fmt::format("[Desktop Entry]\nType=Application\nName=Vistrope\nComment=Capturas y grabaciones de pantalla\n"
                       "Exec={}\nIcon={}\nTerminal=false\nCategories=Graphics;Utility;\nStartupNotify=false\n",
        desktop_exec_argument(executable), ICON_NAME);
}

std::string with_scheme_default(std::string_view existing)
{
    const std::string_view key = "x-scheme-handler/vistrope=";
    // A file written with CRLF gets our line in CRLF too.
    const size_t first_break = existing.find('\n');
    const std::string_view eol = first_break != std::string_view::npos && first_break > 0 && existing[first_break - 1] == '\r' ? "\r\n" : "\n";
    const std::string entry = std::string(key) + "vistrope.desktop" + std::string(eol);
    std::string out;
    bool in_defaults = false, written = false;
    size_t start = 0;
    while (start < existing.size()) {
        size_t end = existing.find('\n', start);
        if (end == std::string_view::npos)
            end = existing.size();
        const std::string_view raw = existing.substr(start, end - start);
        const std::string_view line = without_cr(raw);
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            if (in_defaults && !written) {
                out += entry;
                written = true;
            }
            in_defaults = line == "[Default Applications]";
        } else if (in_defaults && line.starts_with(key)) {
            if (!written)
                out += entry;
            written = true;
            continue;
        }
        out += raw;
        out += '\n';
    }
    if (!written)
        out += (in_defaults ? std::string() : "[Default Applications]" + std::string(eol)) + entry;
    return out;
}

std::expected<void, std::string> install_desktop_entry(const std::string& executable)
{
    std::error_code ec;
    const fs::path apps = xdg::base_dir("XDG_DATA_HOME", ".local/share") / "applications";
    fs::create_directories(apps, ec);
    for (const auto& [name, text] : { std::pair { "vistrope.desktop", desktop_entry(executable) },
             std::pair { "vistrope-menu.desktop", menu_entry(executable) } })
        if (auto written = files::update(apps / name, text); !written)
            return written;
    const fs::path mimeapps = xdg::config_home() / "mimeapps.list";
    std::string before;
    if (auto read = files::read_regular(mimeapps, 1 << 20))
        before = std::move(*read);
    else if (read.error().kind != files::ReadError::Kind::Missing)
        return std::unexpected(fmt::format("{}: {}", mimeapps.string(), read.error().message));
    const std::string after = with_scheme_default(before);
    if (after == before)
        return {};
    fs::create_directories(mimeapps.parent_path(), ec);
    return files::replace(mimeapps, after);
}

std::unique_ptr<SingleInstance> SingleInstance::acquire(const std::vector<std::string>& urls, Role& role)
{
    const auto place = instance_place();
    if (!place) {
        util::log("no hay una carpeta privada para el socket de instancia única; no arranco otra instancia");
        role = Role::Refused;
        return nullptr;
    }
    return acquire_at(*place, urls, role);
}

std::unique_ptr<SingleInstance> SingleInstance::acquire_at(const InstancePlace& place, const std::vector<std::string>& urls,
    Role& role, std::chrono::milliseconds patience)
{
    role = Role::Refused;
    // Whoever holds the lock is the instance, listening or about to, or
    // ending. The others hand it the links, or wait for it to take its
    // socket, or for the lock to come free; they never listen themselves.
    const Arrival arrival = reach_instance(place, urls, patience, true);
    if (arrival.kind == Arrival::Kind::Taken) {
        role = arrival.unknown.empty() ? Role::Forwarded : Role::ForwardedUnknown;
        if (!arrival.unknown.empty())
            std::fprintf(stderr, "vistrope: %s\n", unknown_links_text(arrival.unknown).c_str());
        return nullptr;
    }
    if (arrival.kind == Arrival::Kind::Failed) {
        util::log(arrival.taken > 0 ? fmt::format("entregué {} de {} enlaces: {}", arrival.taken, urls.size(), arrival.why)
                                    : arrival.why);
        return nullptr;
    }
    const int lock = arrival.lock_fd;
    const auto socket = place.socket_path(true);
    if (!socket) {
        ::close(lock);
        util::log("no hay una carpeta privada para el socket de instancia única; no arranco otra instancia");
        return nullptr;
    }
    std::unique_ptr<SingleInstance> instance(new SingleInstance());
    instance->m_lock_fd = lock;
    instance->m_place = place;
    instance->m_socket = *socket;
    instance->m_server = new QLocalServer();
    instance->m_server->setSocketOptions(QLocalServer::UserAccessOption);
    SingleInstance* self = instance.get();
    QObject::connect(instance->m_server, &QLocalServer::newConnection, instance->m_server, [self] { self->take_connections(); });
    if (!instance->listen())
        util::log(fmt::format("no pude escuchar en {}: {}", socket->string(), instance->m_server->errorString().toStdString()));
    instance->m_watch = new QTimer();
    instance->m_watch->setInterval(1000);
    QObject::connect(instance->m_watch, &QTimer::timeout, instance->m_watch, [self] { self->keep_listening(); });
    instance->m_watch->start();
    role = Role::Primary;
    return instance;
}

bool SingleInstance::listen()
{
    // Only the lock holder gets here: a socket file left by a dead instance
    // is stale and goes.
    const QString name = QString::fromStdString(m_socket.string());
    QLocalServer::removeServer(name);
    return m_server->listen(name);
}

bool SingleInstance::listening() const
{
    return m_server && m_server->isListening();
}

void SingleInstance::keep_listening()
{
    if (!m_server || m_stopped)
        return;
    // The toolkit closes the server when accepting fails; a cleaner of
    // temporary files may take the socket or its folder.
    std::error_code ec;
    const bool present = fs::symlink_status(m_socket, ec).type() == fs::file_type::socket;
    if (m_server->isListening() && present)
        return;
    const std::string why = m_server->isListening() ? std::string("el socket ya no está") : m_server->errorString().toStdString();
    m_server->close();
    if (const auto socket = m_place.socket_path(true))
        m_socket = *socket;
    if (listen())
        util::log(fmt::format("el socket de instancia única dejó de escuchar ({}); escucha otra vez", why));
}

namespace {

// Answers a request with one byte; the socket is left to the caller.
void answer(QLocalSocket* socket, char byte)
{
    socket->write(&byte, 1);
    socket->flush();
}

} // namespace

void SingleInstance::take_connections()
{
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        // A client that opens connections and sends nothing must not use up
        // the descriptors: past the limit a new one is refused at once, and
        // one silent for too long goes.
        if (m_connections >= MAX_CONNECTIONS || m_stopped) {
            if (!m_refusing && !m_stopped)
                util::log(fmt::format("más de {} conexiones al socket de instancia única; rechazo las nuevas", MAX_CONNECTIONS));
            m_refusing = !m_stopped;
            if (!m_stopped)
                answer(socket, ANSWER_BUSY);
            socket->abort();
            delete socket;
            continue;
        }
        ++m_connections;
        QObject::connect(socket, &QObject::destroyed, m_server, [this] {
            --m_connections;
            if (m_connections < MAX_CONNECTIONS)
                m_refusing = false;
        });
        socket->setReadBufferSize(static_cast<qint64>(RequestReader::MAX_REQUEST_BYTES));
        auto* idle = new QTimer(socket);
        idle->setSingleShot(true);
        idle->start(IDLE_LIMIT);
        // Requests taken and not yet answered: the client waits for us then,
        // not we for it, so the idle limit does not run.
        auto reader = std::make_shared<RequestReader>();
        auto waiting = std::make_shared<int>(0);
        QObject::connect(idle, &QTimer::timeout, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket, idle, reader, waiting] {
            char chunk[16384];
            for (qint64 n; (n = socket->read(chunk, sizeof chunk)) > 0;) {
                if (*waiting == 0)
                    idle->start(IDLE_LIMIT);
                for (auto& request : reader->feed(std::string_view(chunk, static_cast<size_t>(n)))) {
                    if (m_stopped) {
                        // Ending: not taken, and the client learns it from the close.
                        socket->abort();
                        socket->deleteLater();
                        return;
                    }
                    if (request.dropped > 0)
                        util::log(fmt::format("una petición con {} URL; atiendo las primeras {}", request.urls.size() + request.dropped,
                            RequestReader::MAX_URLS));
                    if (!m_handler)
                        continue;
                    ++*waiting;
                    idle->stop();
                    QPointer<QLocalSocket> alive(socket);
                    m_handler(std::move(request.urls), [alive, idle, waiting](Links links) {
                        if (!alive)
                            return;
                        answer(alive, links == Links::Known ? ANSWER_TAKEN : ANSWER_UNKNOWN);
                        if (--*waiting == 0)
                            idle->start(IDLE_LIMIT);
                    });
                }
                if (reader->overflowed()) {
                    util::log(fmt::format("una petición de más de {} bytes al socket de instancia única; cierro la conexión",
                        RequestReader::MAX_REQUEST_BYTES));
                    answer(socket, ANSWER_TOO_LARGE);
                    socket->abort();
                    socket->deleteLater();
                    return;
                }
            }
        });
    }
}

void SingleInstance::stop_taking()
{
    if (std::exchange(m_stopped, true))
        return;
    // The watch would listen again.
    if (m_watch)
        m_watch->stop();
    if (m_server)
        m_server->close();
}

SingleInstance::~SingleInstance()
{
    delete m_watch;
    if (m_server) {
        m_server->close();
        delete m_server;
    }
    if (m_lock_fd >= 0)
        ::close(m_lock_fd);
}

void SingleInstance::on_urls(Handler handler)
{
    m_handler = std::move(handler);
}

} // namespace platform
