// The one road of outputs named on the command line (publish.h).
#include "base/files.h"
#include "base/publish.h"
#include "base/util.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <ctime>
#include <optional>
#include <vector>

namespace publish {

namespace {

namespace fs = std::filesystem;

std::string shown(const fs::path& path)
{
    return util::escape_controls(path.string());
}

// A pipe whose reader hung up must end the write with an error, not the
// process with a signal: SIGPIPE is held back on this thread while we write,
// and the one our write raised is taken before the mask is put back.
class PipeSignalHeld {
public:
    PipeSignalHeld()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &m_pipe, &m_old);
        sigset_t pending;
        m_was_pending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeSignalHeld()
    {
        if (!m_was_pending) {
            const timespec now {};
            while (::sigtimedwait(&m_pipe, nullptr, &now) < 0 && errno == EINTR) { }
        }
        ::pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    sigset_t m_pipe {}, m_old {};
    bool m_was_pending = false;
};

// The descriptor a path names when it is one of ours: /dev/stdout,
// /dev/stderr, /dev/fd/N, /proc/self/fd/N (and our own pid's). Following
// such a link ends at a name like "pipe:[N]", not at anything to open.
std::optional<int> named_descriptor(const fs::path& path)
{
    const std::string name = path.lexically_normal().string();
    if (name == "/dev/stdout")
        return 1;
    if (name == "/dev/stderr")
        return 2;
    for (const std::string& folder : { std::string("/dev/fd/"), std::string("/proc/self/fd/"),
             std::string("/proc/thread-self/fd/"), fmt::format("/proc/{}/fd/", ::getpid()) }) {
        if (!name.starts_with(folder))
            continue;
        const std::string_view number = std::string_view(name).substr(folder.size());
        int fd = -1;
        const auto [end, err] = std::from_chars(number.data(), number.data() + number.size(), fd);
        if (err == std::errc() && end == number.data() + number.size() && !number.empty() && fd >= 0)
            return fd;
    }
    return std::nullopt;
}

// Opens what the bytes go into: a copy of the named descriptor, or the pipe
// or device at the path. Opening does not wait for a reader: a pipe nobody
// reads is an error, not a hang.
std::expected<int, std::string> open_into(const OutputTarget& target)
{
    if (target.descriptor >= 0) {
        const int out = ::fcntl(target.descriptor, F_DUPFD_CLOEXEC, 3);
        if (out < 0)
            return std::unexpected(fmt::format("no pude abrir {}: {}", shown(target.path), util::error_text(errno)));
        return out;
    }
    const int out = ::open(target.path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (out < 0) {
        if (errno == ENXIO)
            return std::unexpected(fmt::format("nadie lee de la tubería {}", shown(target.path)));
        return std::unexpected(fmt::format("no pude abrir {}: {}", shown(target.path), util::error_text(errno)));
    }
    struct stat st {};
    // What was a pipe or device when decided must still be one: never
    // overwrite a file that took its place in between.
    if (::fstat(out, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        ::close(out);
        return std::unexpected(fmt::format("{} cambió mientras escribía; no escribo en él", shown(target.path)));
    }
    ::fcntl(out, F_SETFL, ::fcntl(out, F_GETFL) & ~O_NONBLOCK);
    return out;
}

// Copies a finished file into the output, a piece at a time: a long
// recording's GIF need not fit in memory.
std::expected<void, std::string> copy_into(const fs::path& file, const OutputTarget& target)
{
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return std::unexpected(fmt::format("no pude leer {}: {}", shown(file), util::error_text(errno)));
    auto out = open_into(target);
    if (!out) {
        ::close(in);
        return std::unexpected(out.error());
    }
    int err = 0;
    {
        const PipeSignalHeld held;
        std::vector<std::uint8_t> chunk(1 << 16);
        for (;;) {
            const ssize_t n = ::read(in, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                err = n < 0 ? errno : 0;
                break;
            }
            if ((err = write_every_byte(*out, { chunk.data(), static_cast<std::size_t>(n) })) != 0)
                break;
        }
        if (::close(*out) != 0 && err == 0)
            err = errno;
    }
    ::close(in);
    if (err == EPIPE)
        return std::unexpected(fmt::format("el lector cerró la tubería {}", shown(target.path)));
    if (err != 0)
        return std::unexpected(fmt::format("no pude escribir en {}: {}", shown(target.path), util::error_text(err)));
    return {};
}

// Removes the private folder a piped output was made in, however its
// making ends.
struct FolderRemoved {
    fs::path folder;
    ~FolderRemoved()
    {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
};

} // namespace

std::expected<OutputTarget, std::string> output_target(const fs::path& path, OutputKind kind)
{
    if (path.empty())
        return std::unexpected(std::string("falta la ruta de salida"));
    if (kind == OutputKind::File) {
        if (const std::optional<int> fd = named_descriptor(path)) {
            if (::fcntl(*fd, F_GETFD) < 0)
                return std::unexpected(fmt::format("no puedo escribir en {}: {}", shown(path), util::error_text(errno)));
            return OutputTarget { path, OutputWay::Into, false, *fd };
        }
    }
    OutputTarget target { files::resolve_links(path), OutputWay::Publish, false };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        struct stat link {};
        if (err == ENOENT && ::lstat(path.c_str(), &link) == 0)
            return std::unexpected(fmt::format("{} es un enlace a {}, que no existe; no lo reemplazo", shown(path),
                shown(target.path)));
        if (err != ENOENT)
            return std::unexpected(fmt::format("no puedo escribir en {}: {}", shown(path), util::error_text(err)));
        return target; // a new name
    }
    if (kind == OutputKind::Folder) {
        if (!S_ISDIR(st.st_mode))
            return std::unexpected(fmt::format("{} no es una carpeta; ahí no escribo resultados", shown(path)));
        target.way = OutputWay::Into;
        return target;
    }
    if (S_ISREG(st.st_mode)) {
        target.replaces = true;
        return target;
    }
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // Opened by the name given: where its links lead may be no path.
        target.path = path;
        target.way = OutputWay::Into;
        return target;
    }
    if (S_ISDIR(st.st_mode))
        return std::unexpected(fmt::format("{} es una carpeta; la salida tiene que ser un archivo", shown(path)));
    if (S_ISSOCK(st.st_mode))
        return std::unexpected(fmt::format("{} es un socket; no escribo en él", shown(path)));
    return std::unexpected(fmt::format("{} es un dispositivo de bloques; no escribo en él", shown(path)));
}

std::expected<OutputTarget, std::string> write_output_with(const fs::path& path, const MakeFile& make)
{
    auto target = output_target(path);
    if (!target)
        return target;
    if (target->way == OutputWay::Into) {
        auto folder = files::make_private_folder("vistrope-salida");
        if (!folder)
            return std::unexpected(folder.error());
        const FolderRemoved removed { *folder };
        const fs::path file = *folder / "salida";
        std::expected<void, std::string> done = make(file);
        if (done)
            done = copy_into(file, *target);
        if (!done)
            return std::unexpected(done.error());
        return target;
    }
    auto temporary = create_temporary(target->path);
    if (!temporary)
        return std::unexpected(fmt::format("no pude escribir {}: {}", shown(target->path), temporary.error()));
    auto made = make(*temporary);
    if (made && ::rename(temporary->c_str(), target->path.c_str()) != 0)
        made = std::unexpected(fmt::format("no pude escribir {}: {}", shown(target->path), util::error_text(errno)));
    if (!made) {
        ::unlink(temporary->c_str());
        return std::unexpected(made.error());
    }
    return target;
}

std::expected<OutputTarget, std::string> write_output(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    return write_output_with(path, [bytes](const fs::path& file) -> std::expected<void, std::string> {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return std::unexpected(util::error_text(errno));
        int err = write_every_byte(fd, bytes);
        if (::close(fd) != 0 && err == 0)
            err = errno;
        if (err != 0)
            return std::unexpected(util::error_text(err));
        return {};
    });
}

} // namespace publish
