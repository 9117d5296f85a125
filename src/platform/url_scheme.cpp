#include "platform/url_scheme.h"

#include "base/util.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <fmt/format.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace fs = std::filesystem;

namespace {

fs::path xdg_dir(const char* variable, const char* fallback_under_home)
{
    const char* value = std::getenv(variable);
    if (value && *value == '/')
        return value;
    return util::home_dir() / fallback_under_home;
}

bool write_text(const fs::path& path, const std::string& text)
{
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    fs::path tmp = path;
    tmp += fmt::format(".tmp{}", ::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out)
            return false;
    }
    fs::rename(tmp, path, ec);
    return !ec;
}

// Adds or replaces "x-scheme-handler/vistrope=vistrope.desktop" under
// [Default Applications], keeping every other line.
std::string with_scheme_default(const std::string& existing)
{
    const std::string key = "x-scheme-handler/vistrope=";
    const std::string entry = key + "vistrope.desktop";
    std::string out;
    bool in_defaults = false, written = false;
    size_t start = 0;
    while (start < existing.size()) {
        size_t end = existing.find('\n', start);
        if (end == std::string::npos)
            end = existing.size();
        const std::string line = existing.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line[0] == '[') {
            if (in_defaults && !written) {
                out += entry + "\n";
                written = true;
            }
            in_defaults = line == "[Default Applications]";
        } else if (in_defaults && line.rfind(key, 0) == 0) {
            if (!written)
                out += entry + "\n";
            written = true;
            continue;
        }
        out += line + "\n";
    }
    if (!written)
        out += (in_defaults ? "" : "[Default Applications]\n") + entry + "\n";
    return out;
}

std::string read_all(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

std::vector<std::string> scheme_urls(const std::vector<std::string>& args)
{
    std::vector<std::string> urls;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() >= 9 && strncasecmp(a.c_str(), "vistrope:", 9) == 0)
            urls.push_back(a);
    }
    return urls;
}

std::vector<std::vector<std::string>> take_requests(std::string& buffer)
{
    std::vector<std::vector<std::string>> requests;
    std::vector<std::string> current;
    size_t start = 0, consumed = 0;
    for (size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
        if (nl == start) {
            requests.push_back(std::move(current));
            current.clear();
            consumed = nl + 1;
        } else {
            current.push_back(buffer.substr(start, nl - start));
        }
    }
    buffer.erase(0, consumed);
    return requests;
}

std::string desktop_exec_argument(std::string_view arg)
{
    // Quoted as the Exec key wants it (", `, $ and \ escaped, % doubled),
    // then escaped once more as every string value of a desktop entry is.
    std::string quoted = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
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
                       "Exec={} %u\nTerminal=false\nNoDisplay=true\nMimeType=x-scheme-handler/vistrope;\n",
        desktop_exec_argument(executable));
}

bool install_desktop_entry(const std::string& executable)
{
    const fs::path apps = xdg_dir("XDG_DATA_HOME", ".local/share") / "applications";
    if (!write_text(apps / "vistrope.desktop", desktop_entry(executable)))
        return false;
    const fs::path mimeapps = xdg_dir("XDG_CONFIG_HOME", ".config") / "mimeapps.list";
    const std::string before = read_all(mimeapps);
    const std::string after = with_scheme_default(before);
    return after == before || write_text(mimeapps, after);
}

std::optional<fs::path> private_directory(const fs::path& dir)
{
    // Made for this user alone; an existing one must be a real directory of
    // this user that nobody else can enter, or another user could listen in
    // our place or hold the lock forever.
    ::mkdir(dir.c_str(), 0700);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 0077) != 0)
        return std::nullopt;
    return dir;
}

std::optional<fs::path> SingleInstance::socket_path()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/')
        return fs::path(runtime) / "vistrope.sock";
    const auto dir = private_directory(fmt::format("/tmp/vistrope-{}", ::getuid()));
    if (!dir)
        return std::nullopt;
    return *dir / "vistrope.sock";
}

std::unique_ptr<SingleInstance> SingleInstance::acquire(const std::vector<std::string>& urls, Role& role)
{
    std::unique_ptr<SingleInstance> instance(new SingleInstance());
    role = Role::Primary;
    const auto socket = socket_path();
    if (!socket) {
        util::log("no hay una carpeta privada para el socket de instancia única; sigo sin él");
        return instance;
    }
    const fs::path path = *socket;
    // The lock makes "look for an instance, else listen" one step across
    // processes; a holder that never lets go is waited for five seconds at most.
    fs::path lock_path = path;
    lock_path += ".lock";
    instance->m_lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (instance->m_lock_fd >= 0) {
        for (int i = 0; i < 100 && ::flock(instance->m_lock_fd, LOCK_EX | LOCK_NB) != 0; ++i)
            ::usleep(50'000);
    }

    QLocalSocket probe;
    probe.connectToServer(QString::fromStdString(path.string()));
    if (probe.waitForConnected(1000)) {
        std::string payload;
        for (const auto& url : urls)
            payload += url + "\n";
        payload += "\n"; // the end of one request
        probe.write(payload.data(), static_cast<qint64>(payload.size()));
        probe.waitForBytesWritten(2000);
        probe.disconnectFromServer();
        role = Role::Forwarded;
        return nullptr;
    }

    QLocalServer::removeServer(QString::fromStdString(path.string()));
    instance->m_server = new QLocalServer();
    instance->m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!instance->m_server->listen(QString::fromStdString(path.string())))
        util::log(fmt::format("no pude escuchar en {}: {}", path.string(), instance->m_server->errorString().toStdString()));
    if (instance->m_lock_fd >= 0)
        ::flock(instance->m_lock_fd, LOCK_UN);

    SingleInstance* self = instance.get();
    QObject::connect(instance->m_server, &QLocalServer::newConnection, instance->m_server, [self] {
        while (QLocalSocket* socket = self->m_server->nextPendingConnection()) {
            auto buffer = std::make_shared<std::string>();
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [self, socket, buffer] {
                const QByteArray bytes = socket->readAll();
                buffer->append(bytes.constData(), static_cast<size_t>(bytes.size()));
                for (auto& request : take_requests(*buffer))
                    if (self->m_handler)
                        self->m_handler(std::move(request));
            });
        }
    });
    role = Role::Primary;
    return instance;
}

SingleInstance::~SingleInstance()
{
    if (m_server) {
        m_server->close();
        delete m_server;
    }
    if (m_lock_fd >= 0)
        ::close(m_lock_fd);
}

void SingleInstance::on_urls(std::function<void(std::vector<std::string>)> handler)
{
    m_handler = std::move(handler);
}

} // namespace platform
