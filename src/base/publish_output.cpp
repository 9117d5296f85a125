// The one road of outputs named on the command line (publish.h).
#include "base/files.h"
#include "base/publish.h"
#include "base/util.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace publish {

namespace {

namespace fs = std::filesystem;

std::string shown(const fs::path& path)
{
    return util::escape_controls(path.string());
}

std::expected<void, std::string> write_all(int fd, std::span<const std::uint8_t> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::unexpected(util::error_text(n < 0 ? errno : EIO));
        done += static_cast<std::size_t>(n);
    }
    return {};
}

// Copies a finished file into the pipe or device at `target`. Opening does
// not wait for a reader: a pipe nobody reads is an error, not a hang.
std::expected<void, std::string> copy_into(const fs::path& file, const fs::path& target)
{
    const int out = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (out < 0) {
        if (errno == ENXIO)
            return std::unexpected(fmt::format("nadie lee de la tubería {}", shown(target)));
        return std::unexpected(fmt::format("no pude abrir {}: {}", shown(target), util::error_text(errno)));
    }
    struct stat st {};
    // What was a pipe or device when decided must still be one: never
    // overwrite a file that took its place in between.
    if (::fstat(out, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode))) {
        ::close(out);
        return std::unexpected(fmt::format("{} cambió mientras escribía; no escribo en él", shown(target)));
    }
    ::fcntl(out, F_SETFL, ::fcntl(out, F_GETFL) & ~O_NONBLOCK);
    auto bytes = files::read_regular(file, UINT64_MAX);
    std::expected<void, std::string> written;
    if (!bytes)
        written = std::unexpected(bytes.error().message);
    else
        written = write_all(out, { reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size() });
    if (::close(out) != 0 && written)
        written = std::unexpected(util::error_text(errno));
    if (!written)
        return std::unexpected(fmt::format("no pude escribir en {}: {}", shown(target), written.error()));
    return {};
}

} // namespace

std::expected<OutputTarget, std::string> output_target(const fs::path& path, OutputKind kind)
{
    if (path.empty())
        return std::unexpected(std::string("falta la ruta de salida"));
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
        const fs::path file = *folder / "salida";
        std::expected<void, std::string> done = make(file);
        if (done)
            done = copy_into(file, target->path);
        std::error_code ec;
        fs::remove_all(*folder, ec);
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
        auto written = write_all(fd, bytes);
        if (::close(fd) != 0 && written)
            written = std::unexpected(util::error_text(errno));
        return written;
    });
}

} // namespace publish
