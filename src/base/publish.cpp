#include "base/publish.h"

#include "base/files.h"
#include "base/util.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>

namespace publish {

namespace {

namespace fs = std::filesystem;

std::string system_error(int err)
{
    return util::error_text(err);
}

std::string sized_name(std::string_view stem, std::string_view ext, unsigned n)
{
    if (n <= 1)
        return fmt::format("{}.{}", stem, ext);
    return fmt::format("{} ({}).{}", stem, n, ext);
}

void make_dir(const fs::path& dir, std::error_code& ec)
{
    fs::create_directories(dir, ec);
}

// Names chosen for files not published yet, process-wide.
struct Claims {
    std::mutex mutex;
    std::set<fs::path> paths;
};

Claims& claims()
{
    static Claims c;
    return c;
}

// The first name neither on disk nor claimed; with the claims' mutex held.
fs::path first_free(const fs::path& dir, std::string_view stem, std::string_view ext,
    const std::function<bool(const fs::path&)>& also_taken = {})
{
    for (unsigned n = 1;; ++n) {
        fs::path candidate = dir / sized_name(stem, ext, n);
        if (claims().paths.contains(candidate) || (also_taken && also_taken(candidate)))
            continue;
        // Not following links: a dangling link still holds the name, and
        // writing through it would land somewhere else.
        std::error_code ec;
        const fs::file_status st = fs::symlink_status(candidate, ec);
        if (ec || st.type() == fs::file_type::not_found)
            return candidate;
    }
}

void unclaim(const fs::path& path)
{
    std::lock_guard lock(claims().mutex);
    claims().paths.erase(path);
}

std::string random_suffix()
{
    static constexpr std::string_view ALPHABET = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 engine { std::random_device {}() };
    std::string out(6, 'x');
    for (char& c : out)
        c = ALPHABET[engine() % ALPHABET.size()];
    return out;
}

// Puts `tmp` under `target` unless something stands there (EEXIST then).
// Where the file system refuses the atomic rename, a hard link does the
// same; where it has no hard links either, a check and a rename.
int publish_as(const fs::path& tmp, const fs::path& target)
{
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return -1;
    if (::link(tmp.c_str(), target.c_str()) == 0) {
        ::unlink(tmp.c_str());
        return 0;
    }
    if (errno != EPERM && errno != ENOTSUP)
        return -1;
    std::error_code ec;
    const fs::file_type type = fs::symlink_status(target, ec).type();
    if (type == fs::file_type::not_found)
        return ::rename(tmp.c_str(), target.c_str());
    errno = type == fs::file_type::none && ec ? ec.value() : EEXIST;
    return -1;
}

// Opens a new hidden file beside `path` for writing; its descriptor and
// name, or the error.
std::expected<std::pair<int, fs::path>, std::string> open_temporary(const fs::path& path)
{
    fs::path tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        tmp = path.parent_path() / fmt::format(".{}.{}", path.filename().string(), random_suffix());
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return std::unexpected(system_error(errno));
    // The mode the user's mask gives, whatever the process's mask is at this
    // moment (a library on another thread may have narrowed it for a while).
    if (const int err = files::give_new_file_mode(fd); err != 0) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return std::unexpected(system_error(err));
    }
    return std::pair(fd, tmp);
}

// Writes every byte to a new hidden file beside `path`; its name, or the error.
std::expected<fs::path, std::string> write_temporary(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    auto opened = open_temporary(path);
    if (!opened)
        return std::unexpected(opened.error());
    const auto [fd, tmp] = *opened;
    if (const int err = write_every_byte(fd, bytes); err != 0) {
        ::close(fd);
        ::unlink(tmp.c_str());
        return std::unexpected(system_error(err));
    }
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return std::unexpected(system_error(err));
    }
    return tmp;
}

} // namespace

int write_every_byte(int fd, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string capture_name(const std::tm& t)
{
    return fmt::format("Vistrope {:04}-{:02}-{:02} a las {:02}.{:02}.{:02}", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
        t.tm_hour, t.tm_min, t.tm_sec);
}

std::string capture_name_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    localtime_r(&now, &local);
    return capture_name(local);
}

fs::path unique_path(const fs::path& dir, std::string_view stem, std::string_view ext,
    const std::function<bool(const fs::path&)>& also_taken)
{
    std::error_code ec;
    make_dir(dir, ec); // a failure shows up when the file is written
    std::lock_guard lock(claims().mutex);
    return first_free(dir, stem, ext, also_taken);
}

Reserved reserve_path(const fs::path& dir, std::string_view stem, std::string_view ext)
{
    Reserved r { {}, std::nullopt, std::string(stem), std::string(ext) };
    std::error_code ec;
    make_dir(dir, ec);
    // A folder that cannot even be looked up (a name too long, links that
    // loop) fails this road like a missing one.
    std::error_code look;
    if (!fs::is_directory(dir, look)) {
        r.path = dir / sized_name(stem, ext, 1);
        r.error = system_error(ec ? ec.value() : look ? look.value() : ENOTDIR);
        return r;
    }
    std::lock_guard lock(claims().mutex);
    r.path = first_free(dir, stem, ext);
    claims().paths.insert(r.path);
    return r;
}

void release(const Reserved& reserved)
{
    if (!reserved.error)
        unclaim(reserved.path);
}

std::expected<fs::path, std::string> publish(const Reserved& reserved, std::span<const std::uint8_t> bytes)
{
    if (reserved.error)
        return std::unexpected(*reserved.error);
    const auto tmp = write_temporary(reserved.path, bytes);
    if (!tmp) {
        release(reserved);
        return std::unexpected(tmp.error());
    }
    auto published = publish_file(reserved, *tmp);
    if (!published)
        ::unlink(tmp->c_str());
    return published;
}

std::expected<fs::path, std::string> create_temporary(const fs::path& path)
{
    auto opened = open_temporary(path);
    if (!opened)
        return std::unexpected(opened.error());
    ::close(opened->first);
    return opened->second;
}

std::expected<fs::path, std::string> publish_file(const Reserved& reserved, const fs::path& temporary)
{
    if (reserved.error)
        return std::unexpected(*reserved.error);
    fs::path target = reserved.path;
    for (int attempt = 0;; ++attempt) {
        if (publish_as(temporary, target) == 0) {
            unclaim(target);
            release(reserved);
            return target;
        }
        const int err = errno;
        if (err != EEXIST || attempt == 10'000) {
            unclaim(target);
            release(reserved);
            return std::unexpected(system_error(err));
        }
        // Another program took the name since it was chosen: the next one.
        std::lock_guard lock(claims().mutex);
        if (target != reserved.path)
            claims().paths.erase(target);
        target = first_free(reserved.path.parent_path(), reserved.stem, reserved.ext);
        claims().paths.insert(target);
    }
}

std::optional<std::string> temporary_target(std::string_view name)
{
    if (!is_temporary_name(name))
        return std::nullopt;
    return std::string(name.substr(1, name.size() - 8));
}

bool is_temporary_name(std::string_view name)
{
    // Exactly what open_temporary makes of a capture's name: "." + "Vistrope
    // YYYY-MM-DD a las HH.MM.SS", maybe " (n)" from unique naming, ".png" or
    // ".mp4", "." + six characters of random_suffix's alphabet. A file that
    // merely looks alike (a user's ".Vistrope notes.mp4.backup") is not ours.
    std::string_view rest = name;
    const auto take = [&rest](std::string_view text) {
        if (!rest.starts_with(text))
            return false;
        rest.remove_prefix(text.size());
        return true;
    };
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    const auto is_random = [&is_digit](char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const auto take_digits = [&](std::size_t n) {
        if (rest.size() < n || !std::all_of(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n), is_digit))
            return false;
        rest.remove_prefix(n);
        return true;
    };
    if (!(take(".Vistrope ") && take_digits(4) && take("-") && take_digits(2) && take("-") && take_digits(2) && take(" a las ")
            && take_digits(2) && take(".") && take_digits(2) && take(".") && take_digits(2)))
        return false;
    if (take(" (")) {
        // A count from 2 on, as unique naming writes it.
        std::size_t n = 0;
        while (n < rest.size() && n < 9 && is_digit(rest[n]))
            ++n;
        if (n == 0 || rest[0] == '0')
            return false;
        rest.remove_prefix(n);
        if (!take(")"))
            return false;
    }
    if (!take(".png") && !take(".mp4"))
        return false;
    return rest.size() == 7 && rest[0] == '.' && std::all_of(rest.begin() + 1, rest.end(), is_random);
}

void remove_stale_temporaries(const fs::path& dir)
{
    std::error_code ec;
    const auto day_ago = fs::file_time_type::clock::now() - std::chrono::hours(24);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        // A recording's temporary is the recovery's: taken when abandoned,
        // set aside when it holds nothing playable, never removed unseen.
        const auto target = temporary_target(path.filename().string());
        if (!target || target->ends_with(".mp4"))
            continue;
        std::error_code file_ec;
        if (fs::symlink_status(path, file_ec).type() != fs::file_type::regular)
            continue;
        const auto modified = fs::last_write_time(path, file_ec);
        if (!file_ec && modified < day_ago)
            fs::remove(path, file_ec);
    }
}

} // namespace publish
