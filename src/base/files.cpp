#include "base/files.h"

#include "base/util.h"

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace files {

namespace fs = std::filesystem;

namespace {

std::string reason(int error)
{
    return util::error_text(error);
}

std::string failure(const fs::path& path, int error)
{
    return fmt::format("{}: {}", path.string(), reason(error));
}

// Closes on every path out, so no failure leaks a descriptor.
struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
};

bool write_all(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::expected<std::string, ReadError> read_regular(const fs::path& path, std::uint64_t max_bytes)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer. It has no effect
    // on reading a regular file.
    Fd file { ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) };
    if (file.fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return std::unexpected(ReadError { ReadError::Kind::Missing, reason(error) });
        if (error == EISDIR)
            return std::unexpected(ReadError { ReadError::Kind::NotRegular, "es una carpeta" });
        return std::unexpected(ReadError { ReadError::Kind::Failed, reason(error) });
    }
    struct stat st {};
    if (::fstat(file.fd, &st) != 0)
        return std::unexpected(ReadError { ReadError::Kind::Failed, reason(errno) });
    if (S_ISDIR(st.st_mode))
        return std::unexpected(ReadError { ReadError::Kind::NotRegular, "es una carpeta" });
    if (!S_ISREG(st.st_mode))
        return std::unexpected(ReadError { ReadError::Kind::NotRegular, "no es un archivo normal" });
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes)
        return std::unexpected(ReadError { ReadError::Kind::TooLarge, fmt::format("ocupa más de {} bytes", max_bytes) });

    std::string text;
    text.resize(static_cast<size_t>(st.st_size));
    size_t have = 0;
    for (;;) {
        // The file may grow while it is read: never past the limit.
        if (have == text.size()) {
            if (text.size() >= max_bytes) {
                char probe;
                const ssize_t extra = ::read(file.fd, &probe, 1);
                if (extra > 0)
                    return std::unexpected(ReadError { ReadError::Kind::TooLarge, fmt::format("ocupa más de {} bytes", max_bytes) });
                if (extra == 0)
                    break;
                if (errno == EINTR)
                    continue;
                return std::unexpected(ReadError { ReadError::Kind::Failed, reason(errno) });
            }
            text.resize(std::min<std::uint64_t>(max_bytes, text.size() + 4096));
        }
        const ssize_t n = ::read(file.fd, text.data() + have, text.size() - have);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::unexpected(ReadError { ReadError::Kind::Failed, reason(errno) });
        }
        if (n == 0)
            break;
        have += static_cast<size_t>(n);
    }
    text.resize(have);
    return text;
}

fs::path resolve_links(const fs::path& path)
{
    fs::path current = path;
    for (int hop = 0; hop < 40; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(current, ec)))
            return current;
        const fs::path target = fs::read_symlink(current, ec);
        if (ec)
            return current;
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return current;
}

namespace {

std::atomic<int> g_creation_mask { -1 };

// The mask as the kernel reports it, without changing it for a moment as
// umask() would (which another thread creating a file could see).
int current_mask()
{
    if (auto status = read_regular("/proc/self/status", 1 << 16)) {
        const size_t at = status->find("\nUmask:");
        if (at != std::string::npos) {
            char* end = nullptr;
            const long mask = std::strtol(status->c_str() + at + 7, &end, 8);
            if (end != status->c_str() + at + 7 && mask >= 0 && mask <= 0777)
                return static_cast<int>(mask);
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return static_cast<int>(mask & 0777);
}

} // namespace

void remember_creation_mask()
{
    g_creation_mask.store(current_mask());
}

unsigned new_file_mode()
{
    int mask = g_creation_mask.load();
    if (mask < 0) {
        int expected = -1;
        g_creation_mask.compare_exchange_strong(expected, current_mask());
        mask = g_creation_mask.load();
    }
    return 0666u & ~static_cast<unsigned>(mask);
}

int give_new_file_mode(int fd)
{
    return ::fchmod(fd, static_cast<mode_t>(new_file_mode())) == 0 ? 0 : errno;
}

std::expected<void, std::string> replace(const fs::path& path, std::string_view text)
{
    const fs::path target = resolve_links(path);
    struct stat st {};
    const bool existing = ::stat(target.c_str(), &st) == 0;
    if (existing && !S_ISREG(st.st_mode))
        return std::unexpected(fmt::format("{}: no es un archivo normal", target.string()));

    fs::path tmp = target;
    tmp += fmt::format(".tmp{}", ::getpid());
    Fd file { ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666) };
    if (file.fd < 0)
        return std::unexpected(failure(path, errno));
    auto fail = [&](int error) {
        ::close(file.release());
        ::unlink(tmp.c_str());
        return std::unexpected(failure(path, error));
    };
    if (::fchmod(file.fd, existing ? st.st_mode & 07777 : static_cast<mode_t>(new_file_mode())) != 0)
        return fail(errno);
    if (!write_all(file.fd, text))
        return fail(errno);
    // Without the sync a crash after the rename can leave an empty file
    // where the old one was.
    if (::fsync(file.fd) != 0)
        return fail(errno);
    if (::close(file.release()) != 0) {
        const int error = errno;
        ::unlink(tmp.c_str());
        return std::unexpected(failure(path, error));
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(tmp.c_str());
        return std::unexpected(failure(path, error));
    }
    // The rename itself reaches the disk with the folder's entry.
    Fd folder { ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) };
    if (folder.fd >= 0)
        ::fsync(folder.fd);
    return {};
}

std::expected<fs::path, std::string> make_private_folder(std::string_view prefix)
{
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec)
        base = "/tmp";
    std::string pattern = (base / fmt::format("{}-XXXXXX", prefix)).string();
    if (!::mkdtemp(pattern.data()))
        return std::unexpected(fmt::format("no pude crear una carpeta temporal: {}", std::strerror(errno)));
    return fs::path(pattern);
}

std::expected<void, std::string> check_writable_folder(const fs::path& folder)
{
    const auto refused = [&](const std::string& why) {
        return std::unexpected(fmt::format("no puedo escribir en {}: {}", folder.string(), why));
    };
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec)
        return refused(ec.message());
    if (!fs::is_directory(folder, ec))
        return refused("no es una carpeta");
    // Permission bits say nothing for root, nor for a read-only mount: a
    // file actually made says it all.
    std::string probe = (folder / ".vistrope-prueba-XXXXXX").string();
    const int fd = ::mkstemp(probe.data());
    if (fd < 0)
        return refused(std::strerror(errno));
    ::close(fd);
    ::unlink(probe.c_str());
    return {};
}

std::expected<void, std::string> update(const fs::path& path, std::string_view text)
{
    if (const auto held = read_regular(path, text.size() + 1); held && *held == text)
        return {};
    return replace(path, text);
}

} // namespace files
