#include "platform/instance.h"

#include "base/files.h"
#include "base/util.h"
#include "base/xdg.h"

#include <fmt/format.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <utility>

namespace platform {

namespace fs = std::filesystem;

namespace {

// An existing real folder of this user that no one else may enter.
bool is_private_directory(const fs::path& dir)
{
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 0077) == 0;
}

} // namespace

bool fits_socket_address(const fs::path& socket)
{
    return socket.native().size() < sizeof(sockaddr_un::sun_path);
}

std::vector<std::string> scheme_urls(const std::vector<std::string>& args)
{
    std::vector<std::string> urls;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 9 || strncasecmp(a.c_str(), "vistrope:", 9) != 0)
            continue;
        // A URL holds no raw line break (RFC 3986); one here would split it
        // into two on its way to the running instance.
        std::string url;
        for (char c : a)
            url += c == '\n' ? std::string("%0A") : c == '\r' ? std::string("%0D") : std::string(1, c);
        urls.push_back(std::move(url));
    }
    return urls;
}

std::optional<fs::path> private_directory(const fs::path& dir)
{
    // Made for this user alone; an existing one must be a real directory of
    // this user that nobody else can enter, or another user could listen in
    // our place or hold the lock forever.
    ::mkdir(dir.c_str(), 0700);
    if (!is_private_directory(dir))
        return std::nullopt;
    return dir;
}

std::optional<fs::path> InstancePlace::socket_path(bool create) const
{
    if (!socket.empty())
        return socket;
    if (auto named = files::read_regular(name_file, 4096)) {
        const fs::path dir(std::string(util::trim(*named)));
        if (dir.is_absolute() && dir.parent_path() == tmp_root && is_private_directory(dir))
            return dir / "vistrope.sock";
    }
    if (!create)
        return std::nullopt;
    // A name of mkdtemp's choosing cannot be taken first by another user, as
    // a fixed name in a shared folder can.
    std::string made = (tmp_root / "vistrope-XXXXXX").string();
    if (!::mkdtemp(made.data())) {
        util::log(fmt::format("no pude crear la carpeta del socket de instancia única en {}: {}", tmp_root.string(), std::strerror(errno)));
        return std::nullopt;
    }
    if (auto written = files::replace(name_file, made + "\n"); !written) {
        util::log(fmt::format("no pude anotar la carpeta del socket de instancia única: {}", written.error()));
        ::rmdir(made.c_str());
        return std::nullopt;
    }
    return fs::path(made) / "vistrope.sock";
}

std::optional<InstancePlace> instance_place_in(const std::optional<fs::path>& runtime_dir, const fs::path& cache_dir, const fs::path& tmp_root)
{
    // A runtime folder that is missing or open to others is no place for
    // the lock; the fallback below is as good. So is one whose path leaves
    // no room for the socket's name in a Unix socket address: an instance
    // there would hold the lock and never take a link.
    if (runtime_dir && is_private_directory(*runtime_dir) && fits_socket_address(*runtime_dir / "vistrope.sock"))
        return InstancePlace { .lock = *runtime_dir / "vistrope.sock.lock", .socket = *runtime_dir / "vistrope.sock", .name_file = {}, .tmp_root = {} };
    std::error_code ec;
    fs::create_directories(cache_dir, ec);
    // Our own folder inside our own home, restored from a backup with a
    // looser mode, is tightened rather than given up.
    const fs::path folder = cache_dir / "vistrope-instance";
    struct stat st {};
    if (::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 0077) != 0)
        ::chmod(folder.c_str(), 0700);
    const auto own = private_directory(folder);
    if (!own)
        return std::nullopt;
    return InstancePlace { .lock = *own / "lock", .socket = {}, .name_file = *own / "socket-dir", .tmp_root = tmp_root };
}

std::optional<InstancePlace> instance_place()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::optional<fs::path> runtime_dir;
    if (runtime && *runtime == '/')
        runtime_dir = fs::path(runtime);
    return instance_place_in(runtime_dir, xdg::base_dir("XDG_CACHE_HOME", ".cache"), "/tmp");
}

std::vector<Request> RequestReader::feed(std::string_view bytes)
{
    std::vector<Request> done;
    while (!bytes.empty() && !m_overflowed) {
        const void* found = std::memchr(bytes.data(), '\n', bytes.size());
        const size_t take = found ? static_cast<size_t>(static_cast<const char*>(found) - bytes.data()) + 1 : bytes.size();
        m_bytes += take;
        if (m_bytes > MAX_REQUEST_BYTES) {
            m_overflowed = true;
            m_line.clear();
            m_line.shrink_to_fit();
            m_current = {};
            break;
        }
        if (!found) {
            m_line.append(bytes);
            break;
        }
        m_line.append(bytes.substr(0, take - 1));
        bytes.remove_prefix(take);
        if (m_line.empty()) {
            done.push_back(std::move(m_current));
            m_current = {};
            m_bytes = 0;
        } else if (m_current.urls.size() < MAX_URLS) {
            m_current.urls.push_back(std::move(m_line));
        } else {
            ++m_current.dropped;
        }
        m_line.clear();
    }
    return done;
}

bool fits_in_request(std::string_view url)
{
    return url.size() + 2 <= RequestReader::MAX_REQUEST_BYTES;
}

namespace {

using Clock = std::chrono::steady_clock;

// A connected socket, closed on every way out.
struct Connection {
    int fd = -1;
    ~Connection()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Waits for `fd` to be ready for `events` until `deadline`; false on timeout.
bool ready_by(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p { fd, events, 0 };
        const int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (n > 0)
            return true;
        if (n == 0)
            return false;
        if (errno != EINTR)
            return true; // the read or write that follows reports it
    }
}

std::string refusal_text(char answer)
{
    if (answer == ANSWER_BUSY)
        return "Vistrope está en marcha pero tiene demasiadas conexiones abiertas y no tomó la petición";
    if (answer == ANSWER_TOO_LARGE)
        return fmt::format("Vistrope está en marcha pero rechazó una petición de más de {} KB",
            RequestReader::MAX_REQUEST_BYTES / 1024);
    return fmt::format("Vistrope está en marcha pero respondió algo que no entiendo (byte {})", static_cast<int>(static_cast<unsigned char>(answer)));
}

} // namespace

Handover forward_urls(const fs::path& socket, const std::vector<std::string>& urls, std::chrono::milliseconds answer_limit)
{
    Handover h;
    const auto unanswered = [&](std::string why) {
        h.outcome = Handover::Outcome::Unanswered;
        h.why = std::move(why);
        return h;
    };
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    if (!fits_socket_address(socket))
        return unanswered("la ruta de su socket es demasiado larga");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    Connection c { ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0) };
    if (c.fd < 0)
        return unanswered(fmt::format("no pude crear un socket: {}", util::error_text(errno)));
    // Two seconds for the instance's socket to take a request's bytes.
    const timeval send_limit { 2, 0 };
    ::setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof(send_limit));
    if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return unanswered(fmt::format("no escucha: {}", util::error_text(errno)));

    // Requests within the reader's bounds, each answered before the next goes.
    size_t next = 0;
    do {
        std::string payload;
        size_t count = 0;
        while (next + count < urls.size() && count < RequestReader::MAX_URLS
            && payload.size() + urls[next + count].size() + 2 <= RequestReader::MAX_REQUEST_BYTES) {
            payload += urls[next + count];
            payload += '\n';
            ++count;
        }
        if (next + count < urls.size() && count == 0) {
            h.outcome = Handover::Outcome::Refused;
            h.why = fmt::format("un enlace de más de {} KB no se puede entregar", RequestReader::MAX_REQUEST_BYTES / 1024);
            return h;
        }
        payload += '\n'; // the end of one request
        for (size_t sent = 0; sent < payload.size();) {
            const ssize_t n = ::send(c.fd, payload.data() + sent, payload.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                // Bytes the instance never read were never acted on: an
                // answer may still be waiting (a refusal comes before the close).
                const int err = n < 0 ? errno : EPIPE;
                char answer = 0;
                if (::recv(c.fd, &answer, 1, MSG_DONTWAIT) == 1 && answer != ANSWER_TAKEN && answer != ANSWER_UNKNOWN) {
                    h.outcome = Handover::Outcome::Refused;
                    h.why = refusal_text(answer);
                    return h;
                }
                return unanswered(fmt::format("cerró la conexión sin tomar la petición: {}", util::error_text(err)));
            }
            sent += static_cast<size_t>(n);
        }
        const auto deadline = Clock::now() + answer_limit;
        char answer = 0;
        ssize_t n = -1;
        for (;;) {
            if (!ready_by(c.fd, POLLIN, deadline)) {
                h.outcome = Handover::Outcome::Unknown;
                h.why = fmt::format("Vistrope no confirmó la petición en {:g} s", static_cast<double>(answer_limit.count()) / 1000.0);
                return h;
            }
            n = ::recv(c.fd, &answer, 1, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            break;
        }
        if (n != 1)
            return unanswered("cerró la conexión sin responder");
        if (answer != ANSWER_TAKEN && answer != ANSWER_UNKNOWN) {
            h.outcome = Handover::Outcome::Refused;
            h.why = refusal_text(answer);
            return h;
        }
        if (answer == ANSWER_UNKNOWN)
            h.unknown.insert(h.unknown.end(), urls.begin() + static_cast<std::ptrdiff_t>(next),
                urls.begin() + static_cast<std::ptrdiff_t>(next + count));
        next += count;
        h.taken = next;
    } while (next < urls.size());
    h.outcome = Handover::Outcome::Taken;
    return h;
}

Arrival reach_instance(const InstancePlace& place, const std::vector<std::string>& urls, std::chrono::milliseconds patience,
    bool keep_lock)
{
    Arrival arrival;
    const auto failed = [&](std::string why) {
        arrival.kind = Arrival::Kind::Failed;
        arrival.why = std::move(why);
        return arrival;
    };
    Connection lock { ::open(place.lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (keep_lock ? O_CREAT : 0), 0600) };
    if (lock.fd < 0) {
        // No lock file: no instance has ever run here.
        if (!keep_lock && errno == ENOENT) {
            arrival.kind = Arrival::Kind::LockFree;
            return arrival;
        }
        return failed(fmt::format("no pude abrir {}: {}", place.lock.string(), util::error_text(errno)));
    }
    std::vector<std::string> rest = urls;
    const auto deadline = Clock::now() + patience;
    bool refused_before = false;
    std::string last_why = "aún no escucha";
    for (;;) {
        // Whoever holds the lock is the instance, listening or about to, or
        // ending: taking it means there is none.
        if (::flock(lock.fd, LOCK_EX | LOCK_NB) == 0) {
            arrival.kind = Arrival::Kind::LockFree;
            if (keep_lock)
                arrival.lock_fd = std::exchange(lock.fd, -1);
            return arrival;
        }
        if (errno != EWOULDBLOCK && errno != EINTR)
            return failed(fmt::format("no pude comprobar el bloqueo {}: {}", place.lock.string(), util::error_text(errno)));
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (const auto socket = place.socket_path(false)) {
            // An answer comes once the instance has acted on the links, which
            // may wait for the end of its launch.
            const Handover h = forward_urls(*socket, rest, std::max(left, std::chrono::milliseconds(1000)));
            arrival.taken += h.taken;
            arrival.unknown.insert(arrival.unknown.end(), h.unknown.begin(), h.unknown.end());
            rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(std::min(h.taken, rest.size())));
            switch (h.outcome) {
            case Handover::Outcome::Taken:
                arrival.kind = Arrival::Kind::Taken;
                return arrival;
            case Handover::Outcome::Unknown:
                // Sending again could run them twice.
                return failed(h.why);
            case Handover::Outcome::Refused:
                if (refused_before)
                    return failed(h.why);
                refused_before = true;
                std::this_thread::sleep_for(std::chrono::seconds(1));
                continue;
            case Handover::Outcome::Unanswered:
                last_why = h.why;
                break;
            }
        }
        if (Clock::now() >= deadline)
            return failed(fmt::format("Vistrope sigue en marcha pero no atiende ({}) y no terminó en {:g} s; no arranco otro",
                last_why, static_cast<double>(patience.count()) / 1000.0));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

fs::path front_executable(const fs::path& self)
{
    const fs::path front = self.parent_path() / "vistrope";
    struct stat st {};
    if (front != self && ::stat(front.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(front.c_str(), X_OK) == 0)
        return front;
    return self;
}

namespace {

// SIGPIPE's handling before take_front_pipe ignored it.
struct sigaction g_sigpipe_before {};
bool g_sigpipe_ignored = false;

} // namespace

int take_front_pipe()
{
    const char* named = std::getenv(READY_FD_VARIABLE);
    if (!named)
        return -1;
    const std::string text = named;
    ::unsetenv(READY_FD_VARIABLE);
    char* end = nullptr;
    errno = 0;
    const long fd = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || fd < 3 || fd > INT_MAX)
        return -1;
    // Only the socket the front made: a number left in the environment by
    // something else names no descriptor of ours to write into.
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISSOCK(st.st_mode))
        return -1;
    // Programs the instance starts must not hold the front's socket open.
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    // Until the caller is let go our standard streams are its own: a caller
    // that hung up or was stopped with Ctrl+C leaves them without a reader,
    // and a line written there must not end the program starting for it.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    g_sigpipe_ignored = ::sigaction(SIGPIPE, &ignore, &g_sigpipe_before) == 0;
    return static_cast<int>(fd);
}

std::string unknown_links_text(const std::vector<std::string>& urls)
{
    std::string shown;
    for (const std::string& url : urls)
        shown += (shown.empty() ? "" : ", ") + util::escape_controls(url);
    if (urls.size() == 1)
        return fmt::format("enlace desconocido, no hice nada: {}", shown);
    return fmt::format("hay enlaces desconocidos entre estos (con ellos no hice nada): {}", shown);
}

void tell_front_ready(int fd, Links links)
{
    if (fd < 0)
        return;
    // Off the caller's terminal or pipe: a caller that reads what we print
    // to its end would otherwise wait for the whole session.
    std::fflush(stdout);
    std::fflush(stderr);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        for (const int stream : { STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO })
            ::dup2(null, stream);
        if (null > STDERR_FILENO)
            ::close(null);
    }
    // A front that is gone (its caller hung up) gets nothing, and no signal
    // comes of it.
    const char ready = links == Links::Known ? READY_KNOWN : READY_UNKNOWN;
    while (::send(fd, &ready, 1, MSG_NOSIGNAL) < 0 && errno == EINTR) {
    }
    ::close(fd);
    if (std::exchange(g_sigpipe_ignored, false))
        ::sigaction(SIGPIPE, &g_sigpipe_before, nullptr);
}

} // namespace platform
