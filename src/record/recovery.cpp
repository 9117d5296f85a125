#include "record/recovery.h"

#include "base/files.h"
#include "base/util.h"
#include "platform/ahead_sound.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace fs = std::filesystem;

namespace recorder {

HeldFile::HeldFile(int fd, fs::path path)
    : m_fd(fd)
    , m_path(std::move(path))
{
}

HeldFile::HeldFile(HeldFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
    , m_path(std::move(other.m_path))
{
}

HeldFile& HeldFile::operator=(HeldFile&& other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
        m_path = std::move(other.m_path);
    }
    return *this;
}

HeldFile::~HeldFile()
{
    if (m_fd >= 0)
        ::close(m_fd); // the lock goes with the last descriptor of the open file
}

namespace {

std::string cannot(std::string_view what, const fs::path& path, int code)
{
    return fmt::format("no pude {} {}: {}", what, util::escape_controls(path.string()), util::error_text(code));
}

// Opens without following a link in the last step and without waiting on a FIFO.
int open_no_follow(const fs::path& path, int access)
{
    return ::open(path.c_str(), access | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
}

// Whether the name still shows the open file (nobody renamed or replaced it).
bool names_file(int fd, const fs::path& path)
{
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev
        && held.st_ino == named.st_ino;
}

void unlink_held(const HeldFile& file)
{
    remove_held(file);
}

// Copies `length` bytes from the start of `from` to the start of `to`, then
// syncs `to`. In the kernel where it can (no pass through our memory), else
// through a buffer.
std::expected<void, std::string> copy_start(int from, int to, std::uint64_t length, const fs::path& shown)
{
    loff_t in = 0, out = 0;
    while (static_cast<std::uint64_t>(in) < length) {
        const auto left = static_cast<std::size_t>(std::min<std::uint64_t>(length - static_cast<std::uint64_t>(in), 1u << 30));
        const ssize_t n = ::copy_file_range(from, &in, to, &out, left, 0);
        if (n > 0)
            continue;
        if (n == 0)
            return std::unexpected(fmt::format("{} se acabó antes de lo leído", shown.string()));
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
            return std::unexpected(cannot("copiar", shown, errno));
        std::vector<char> buffer(1 << 20);
        while (static_cast<std::uint64_t>(in) < length) {
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(length - static_cast<std::uint64_t>(in), buffer.size()));
            const ssize_t got = ::pread(from, buffer.data(), want, in);
            if (got <= 0)
                return std::unexpected(got == 0 ? fmt::format("{} se acabó antes de lo leído", shown.string())
                                                : cannot("leer", shown, errno));
            for (ssize_t done = 0; done < got;) {
                const ssize_t w = ::pwrite(to, buffer.data() + done, static_cast<std::size_t>(got - done), out);
                if (w < 0)
                    return std::unexpected(cannot("copiar", shown, errno));
                done += w;
                out += w;
            }
            in += got;
        }
    }
    if (::fsync(to) != 0)
        return std::unexpected(cannot("copiar", shown, errno));
    return {};
}

} // namespace

void remove_held(const HeldFile& file)
{
    if (file.fd() >= 0 && names_file(file.fd(), file.path()))
        ::unlink(file.path().c_str());
}

std::string recovered_stem(const std::string& name)
{
    return name + " (recuperada)";
}

std::expected<HeldFile, std::string> hold_file(const fs::path& path)
{
    const int fd = open_no_follow(path, O_RDWR);
    if (fd < 0)
        return std::unexpected(cannot("abrir", path, errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        return std::unexpected(cannot("bloquear", path, code));
    }
    return HeldFile(fd, path);
}

fs::path journal_dir(const fs::path& state_dir)
{
    return state_dir / "recordings";
}

fs::path set_aside_dir(const fs::path& state_dir)
{
    return state_dir / "unplayable";
}

namespace {

// Writes the note whole or not at all: a hidden name first, renamed once
// complete, so a killed run never leaves half a path.
std::expected<fs::path, std::string> write_note(const fs::path& state_dir, const fs::path& temporary)
{
    const fs::path dir = journal_dir(state_dir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    std::string pattern = (dir / ".nota-XXXXXX").string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(cannot("anotar la grabación en", dir, errno));
    const std::string text = temporary.string();
    // Not synced: the note is made on the main thread as a recording starts,
    // and only a crash of the whole system could lose it.
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int code = errno;
    ::close(fd);
    const fs::path hidden = pattern;
    const fs::path note = dir / hidden.filename().string().substr(1);
    if (!written || ::rename(hidden.c_str(), note.c_str()) != 0) {
        const int failure = written ? errno : code;
        ::unlink(hidden.c_str());
        return std::unexpected(cannot("anotar la grabación en", dir, failure));
    }
    return note;
}

} // namespace

std::shared_ptr<LiveFile> LiveFile::hold(const fs::path& temporary, const fs::path& state_dir)
{
    std::shared_ptr<LiveFile> live(new LiveFile());
    std::error_code ec;
    live->m_path = fs::absolute(temporary, ec);
    if (ec)
        live->m_path = temporary;
    if (auto held = hold_file(live->m_path))
        live->m_held = std::move(*held);
    else
        util::log(fmt::format("la grabación sigue sin bloqueo: {}", held.error()));
    if (auto note = write_note(state_dir, live->m_path))
        live->m_note = std::move(*note);
    else
        util::log(note.error());
    return live;
}

LiveFile::~LiveFile()
{
    struct stat st {};
    if (!m_note.empty() && ::lstat(m_path.c_str(), &st) != 0 && errno == ENOENT)
        ::unlink(m_note.c_str());
}

std::vector<Noted> read_journal(const fs::path& state_dir)
{
    std::vector<Noted> noted;
    std::error_code ec;
    for (fs::directory_iterator it(journal_dir(state_dir), ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& note = it->path();
        if (note.filename().string().starts_with("."))
            continue; // being written
        // A note that is no path of ours comes back empty, for the caller to drop.
        const auto text = files::read_regular(note, 8192);
        fs::path temporary = text ? fs::path(*text) : fs::path();
        if (!temporary.is_absolute())
            temporary.clear();
        noted.push_back({ note, std::move(temporary) });
    }
    return noted;
}

std::expected<HeldFile, Refusal> claim_abandoned(const fs::path& temporary)
{
    using Kind = Refusal::Kind;
    const int fd = open_no_follow(temporary, O_RDONLY);
    if (fd < 0) {
        const int code = errno;
        if (code == ENOENT)
            return std::unexpected(Refusal { Kind::Gone, "ya no está" });
        if (code == ELOOP)
            return std::unexpected(Refusal { Kind::NotOurs, "es un enlace simbólico" });
        return std::unexpected(Refusal { Kind::Failed, cannot("abrir", temporary, code) });
    }
    HeldFile held(fd, temporary);
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::unexpected(Refusal { Kind::Failed, cannot("leer", temporary, errno) });
    if (!S_ISREG(st.st_mode))
        return std::unexpected(Refusal { Kind::NotOurs, "no es un archivo normal" });
    if (st.st_uid != ::geteuid())
        return std::unexpected(Refusal { Kind::NotOurs, "es de otro usuario" });
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return std::unexpected(Refusal { Kind::Live, "otro proceso la está escribiendo" });
        return std::unexpected(Refusal { Kind::Failed, cannot("bloquear", temporary, errno) });
    }
    // Read once the lock is ours: the writer may have added a link just before.
    if (::fstat(fd, &st) != 0 || st.st_nlink != 1)
        return std::unexpected(Refusal { Kind::NotOurs, "tiene otros enlaces" });
    if (!names_file(fd, temporary))
        return std::unexpected(Refusal { Kind::Gone, "otro proceso la movió" });
    return held;
}

std::expected<FragmentScan, std::string> scan_held(const HeldFile& file)
{
    struct stat st {};
    if (::fstat(file.fd(), &st) != 0)
        return std::unexpected(cannot("leer", file.path(), errno));
    FragmentScan scan;
    int read_error = 0;
    if (st.st_size > 0)
        scan = scan_fragments(static_cast<std::uint64_t>(st.st_size), [&file, &read_error](std::uint64_t offset, std::span<std::uint8_t> out) {
            const ssize_t n = ::pread(file.fd(), out.data(), out.size(), static_cast<off_t>(offset));
            if (n < 0)
                read_error = errno;
            return n == static_cast<ssize_t>(out.size());
        });
    // A file that could not be read is an error, never an empty scan: an
    // empty scan sends the file aside.
    if (read_error != 0)
        return std::unexpected(cannot("leer", file.path(), read_error));
    return scan;
}

void join_sound_in_place(const HeldFile& file)
{
    struct stat st {};
    if (::fstat(file.fd(), &st) != 0 || st.st_size <= 0)
        return;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const auto join = plan_sound_join(size, [&file](std::uint64_t offset, std::span<std::uint8_t> out) {
        return ::pread(file.fd(), out.data(), out.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(out.size());
    }, platform::AHEAD_SOUND_HANDLER);
    if (!join)
        return;
    const std::string name = util::escape_controls(file.path().string());
    if (!join->appended.empty()) {
        const ssize_t n = ::pwrite(file.fd(), join->appended.data(), join->appended.size(), static_cast<off_t>(size));
        if (n != static_cast<ssize_t>(join->appended.size()) || ::fdatasync(file.fd()) != 0) {
            const int error = n < 0 ? errno : ENOSPC;
            if (::ftruncate(file.fd(), static_cast<off_t>(size)) != 0)
                util::log(fmt::format("no pude recortar {}: {}", name, util::error_text(errno)));
            util::log(fmt::format("grabación con dos pistas de sonido: no pude unirlas en {}: {}", name, util::error_text(error)));
            return;
        }
    }
    for (const std::uint64_t at : join->dropped) {
        if (::pwrite(file.fd(), "free", 4, static_cast<off_t>(at)) != 4) {
            util::log(fmt::format("grabación con dos pistas de sonido: no pude quitar la adelantada de {}: {}", name, util::error_text(errno)));
            return;
        }
    }
    ::fdatasync(file.fd());
    util::log(fmt::format("grabación: una pista de sonido en {}, la guardada hasta {:.2f} s y la adelantada hasta {:.2f} s", name,
        join->kept_end, join->ahead_end));
}

std::expected<fs::path, std::string> set_aside(HeldFile& file, const fs::path& state_dir)
{
    const fs::path dir = set_aside_dir(state_dir);
    std::error_code ec;
    fs::create_directories(dir, ec);
    const std::string name = file.path().filename().string();
    for (int n = 1; n < 1000; ++n) {
        const fs::path target = dir / (n == 1 ? name : fmt::format("{}-{}", name, n));
        if (::renameat2(AT_FDCWD, file.path().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
            return target;
        if (errno == EEXIST)
            continue;
        if (errno != EXDEV)
            return std::unexpected(cannot("apartar", file.path(), errno));
        // Another file system: a copy of our own there, then the name here goes.
        const int to = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (to < 0) {
            if (errno == EEXIST)
                continue;
            return std::unexpected(cannot("apartar", file.path(), errno));
        }
        struct stat st {};
        std::expected<void, std::string> copied = std::unexpected(cannot("leer", file.path(), EIO));
        if (::fstat(file.fd(), &st) == 0)
            copied = copy_start(file.fd(), to, static_cast<std::uint64_t>(st.st_size), file.path());
        ::close(to);
        if (!copied) {
            ::unlink(target.c_str());
            return std::unexpected(copied.error());
        }
        unlink_held(file);
        return target;
    }
    return std::unexpected(fmt::format("no pude apartar {}: demasiados nombres ocupados", file.path().string()));
}

namespace {

Recovered set_aside_saying(HeldFile& temporary, const RecoveryTools& tools, std::string reason)
{
    auto moved = set_aside(temporary, tools.state_dir);
    if (!moved)
        return { Recovered::Kind::Kept, {}, fmt::format("{}; {}", reason, moved.error()) };
    return { Recovered::Kind::SetAside, *moved, std::move(reason) };
}

} // namespace

Recovered recover_claimed(HeldFile& temporary, const std::string& stem, const RecoveryTools& tools)
{
    using Kind = Recovered::Kind;
    const auto scan = scan_held(temporary);
    if (!scan)
        return { Kind::Kept, {}, scan.error() };
    if (!scan->playable())
        return set_aside_saying(temporary, tools, "no quedó ningún fragmento completo");

    // The whole fragments, into a file of our own: what follows the last one
    // is half of one, which players would read as damage.
    const fs::path name = temporary.path().parent_path() / (stem + ".mp4");
    auto copy = tools.create(name);
    if (!copy)
        return { Kind::Kept, {}, copy.error() };
    if (auto copied = copy_start(temporary.fd(), copy->fd(), scan->whole, temporary.path()); !copied) {
        unlink_held(*copy);
        return { Kind::Kept, {}, copied.error() };
    }
    // A regular MP4 with its index first, where it can be made: every player
    // seeks in it at once. The fragments play as they are otherwise.
    HeldFile result = std::move(*copy);
    bool remuxed = false;
    if (auto regular = tools.create(name)) {
        if (auto made = tools.remux(result.path(), regular->path()); made) {
            unlink_held(result);
            result = std::move(*regular);
            remuxed = true;
        } else {
            util::log(fmt::format("grabación recuperada sin convertir a MP4 normal: {}", made.error()));
            unlink_held(*regular);
        }
    }
    if (!remuxed)
        join_sound_in_place(result);
    if (auto plays = tools.plays(result.path()); !plays) {
        unlink_held(result);
        return set_aside_saying(temporary, tools, plays.error());
    }
    auto published = tools.publish(temporary.path().parent_path(), recovered_stem(stem), result.path());
    if (!published) {
        unlink_held(result);
        return { Kind::Kept, {}, published.error() };
    }
    unlink_held(temporary);
    return { Kind::Published, *published, {} };
}

} // namespace recorder
