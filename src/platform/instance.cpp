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
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

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
    // the lock; the fallback below is as good.
    if (runtime_dir && is_private_directory(*runtime_dir))
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

bool forward_urls(const fs::path& socket, const std::vector<std::string>& urls)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string path = socket.string();
    if (path.size() >= sizeof(address.sun_path))
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const timeval limit { 2, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return false;
    }
    std::string payload;
    for (const auto& url : urls)
        payload += url + "\n";
    payload += "\n"; // the end of one request
    std::size_t sent = 0;
    while (sent < payload.size()) {
        const ssize_t n = ::send(fd, payload.data() + sent, payload.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return true;
}

fs::path front_executable(const fs::path& self)
{
    const fs::path front = self.parent_path() / "vistrope";
    struct stat st {};
    if (front != self && ::stat(front.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(front.c_str(), X_OK) == 0)
        return front;
    return self;
}

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
    // Only the pipe the front made: a number left in the environment by
    // something else names no descriptor of ours to write into.
    struct stat st {};
    if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISFIFO(st.st_mode))
        return -1;
    // Programs the instance starts must not hold the front's pipe open.
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
}

void tell_front_ready(int fd)
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
    const char ready = 1;
    while (::write(fd, &ready, 1) < 0 && errno == EINTR) {
    }
    ::close(fd);
}

} // namespace platform
