#include "record/recording_file.h"

#include "base/util.h"
#include "capture/output.h"
#include "platform/media.h"
#include "record/fragments.h"
#include "record/video.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>
#include <vector>

namespace fs = std::filesystem;

namespace recorder {

namespace {

// The complete part of the file at `path`, read from its box headers. A
// file that could not be read is an error, never an empty scan: an empty
// scan lets the caller remove the file.
std::expected<FragmentScan, std::string> scan_file(const fs::path& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(fmt::format("no pude leer {}: {}", path.string(), util::error_text(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return std::unexpected(fmt::format("no pude leer {}: {}", path.string(), util::error_text(error)));
    }
    FragmentScan scan;
    int read_error = 0;
    if (st.st_size > 0)
        scan = scan_fragments(static_cast<std::uint64_t>(st.st_size), [fd, &read_error](std::uint64_t offset, std::span<std::uint8_t> out) {
            const ssize_t n = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
            if (n < 0)
                read_error = errno;
            return n == static_cast<ssize_t>(out.size());
        });
    ::close(fd);
    if (read_error != 0)
        return std::unexpected(fmt::format("no pude leer {}: {}", path.string(), util::error_text(read_error)));
    return scan;
}

} // namespace

std::expected<fs::path, std::string> seal(const fs::path& temporary, Ending ending)
{
    const auto scanned = scan_file(temporary);
    if (!scanned)
        return std::unexpected(scanned.error()); // kept: the next launch tries again
    const FragmentScan& scan = *scanned;
    std::error_code ec;
    if (!scan.playable()) {
        fs::remove(temporary, ec);
        return std::unexpected(std::string("no quedó ningún fragmento completo"));
    }
    if (ending == Ending::Broken && fs::file_size(temporary, ec) > scan.whole && !ec) {
        // What follows the last complete fragment is half of one: players
        // would read it as damage, and the copy below would carry it over.
        if (::truncate(temporary.c_str(), static_cast<off_t>(scan.whole)) != 0)
            util::log(fmt::format("no pude recortar {}: {}", temporary.string(), std::strerror(errno)));
    }
    // A regular MP4 with its index first: every player seeks in it at once.
    // A temporary of the same name, so a run that stops during the copy
    // leaves one the next launch recognises (and removes: it has no index).
    const auto target = output::temporary_target(temporary.filename().string());
    auto regular = output::create_temporary(target ? temporary.parent_path() / *target : temporary);
    if (!regular) {
        util::log(fmt::format("grabación sin convertir a MP4 normal: {}", regular.error()));
        return temporary;
    }
    const platform::ExportOutcome outcome = video::media()->export_mp4(temporary, *regular, {});
    if (outcome.status != platform::ExportStatus::Completed) {
        // A full disk, typically: the fragments play as they are.
        util::log(fmt::format("grabación sin convertir a MP4 normal: {}", outcome.error.value_or("error sin descripción")));
        fs::remove(*regular, ec);
        return temporary;
    }
    fs::remove(temporary, ec);
    return *regular;
}

std::string recovered_stem(const std::string& name)
{
    return name + " (recuperada)";
}

std::string incomplete_stem(const std::string& name)
{
    return name + " (incompleta)";
}

namespace {

// A partial GIF of one of our captures: its name begins with a capture's
// dated name. Other programs leave "*.part" files too (a browser's download in
// progress or paused); the capture folder may be theirs as well, and a file we
// did not write is never ours to remove.
bool our_partial(const std::string& name)
{
    if (!name.ends_with(".gif.part"))
        return false;
    const std::regex dated(R"(Vistrope \d{4,}-\d{2}-\d{2} a las \d{2}\.\d{2}\.\d{2}.*\.gif\.part)");
    return std::regex_match(name, dated);
}

// Removes a GIF conversion's partial file that no conversion holds any more
// (the run that wrote it ended mid-way): a live conversion keeps its lock.
void remove_stale_partial(const fs::path& part)
{
    const int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        std::error_code ec;
        if (fs::remove(part, ec))
            util::log(fmt::format("quité el GIF a medio escribir {}", part.string()));
    }
    ::close(fd);
}

} // namespace

void recover_recordings(const fs::path& dir, fs::file_time_type launch, const std::function<void(const fs::path&)>& recovered)
{
    std::vector<std::pair<fs::path, std::string>> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto target = output::temporary_target(it->path().filename().string());
        std::error_code file_ec;
        if (our_partial(it->path().filename().string()) && it->symlink_status(file_ec).type() == fs::file_type::regular) {
            remove_stale_partial(it->path());
            continue;
        }
        if (!target || !target->ends_with(".mp4") || it->symlink_status(file_ec).type() != fs::file_type::regular)
            continue;
        const auto written = fs::last_write_time(it->path(), file_ec);
        if (!file_ec && written < launch)
            found.emplace_back(it->path(), target->substr(0, target->size() - 4));
    }
    for (const auto& [temporary, name] : found) {
        auto sealed = seal(temporary, Ending::Broken);
        if (!sealed) {
            util::log(fmt::format("quité la grabación interrumpida {}: {}", temporary.string(), sealed.error()));
            continue;
        }
        auto published = output::publish_file(output::reserve_path(dir, recovered_stem(name), "mp4"), *sealed);
        if (!published) {
            util::log(fmt::format("no pude recuperar la grabación {}: {}", temporary.string(), published.error()));
            continue;
        }
        util::log(fmt::format("grabación interrumpida recuperada en {}", published->string()));
        recovered(*published);
    }
}

} // namespace recorder
