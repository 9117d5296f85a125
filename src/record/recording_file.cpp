#include "record/recording_file.h"

#include "base/util.h"
#include "base/xdg.h"
#include "base/publish.h"
#include "platform/media.h"
#include "record/fragments.h"
#include "record/video.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <regex>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace recorder {

namespace {

// The recording's name ("Vistrope … a las …") of one of our MP4 temporaries.
std::optional<std::string> recording_stem(const fs::path& temporary)
{
    const auto target = publish::temporary_target(temporary.filename().string());
    if (!target || !target->ends_with(".mp4"))
        return std::nullopt;
    return target->substr(0, target->size() - 4);
}

RecoveryTools real_tools()
{
    RecoveryTools tools;
    tools.state_dir = xdg::state_dir();
    tools.create = [](const fs::path& name) -> std::expected<HeldFile, std::string> {
        auto made = publish::create_temporary(name);
        if (!made)
            return std::unexpected(made.error());
        auto held = hold_file(*made);
        if (!held)
            ::unlink(made->c_str());
        return held;
    };
    tools.remux = [](const fs::path& source, const fs::path& destination) -> std::expected<void, std::string> {
        const platform::ExportOutcome outcome = video::media()->export_mp4(source, destination, {});
        if (outcome.status != platform::ExportStatus::Completed)
            return std::unexpected(outcome.error.value_or("error sin descripción"));
        return {};
    };
    tools.plays = check_plays;
    tools.publish = [](const fs::path& dir, const std::string& stem, const fs::path& file) {
        return publish::publish_file(publish::reserve_path(dir, stem, "mp4"), file);
    };
    return tools;
}

} // namespace

std::expected<void, std::string> check_plays(const fs::path& file)
{
    const auto media = video::media();
    const auto probe = media->probe(file);
    if (!probe)
        return std::unexpected(probe.error());
    const double length = std::isfinite(probe->duration) && probe->duration > 0 ? probe->duration : 1e9;
    auto reader = media->open_frames(file, 0, length, 16, 16);
    if (!reader)
        return std::unexpected(reader.error());
    const auto first = (*reader)->next();
    if (!first)
        return std::unexpected(first.error());
    if (!*first)
        return std::unexpected(std::string("ningún cuadro se puede decodificar"));
    return {};
}

namespace {

// The length the card and the trim window will read from the file.
Sealed with_length(Sealed sealed)
{
    if (const auto probe = video::media()->probe(sealed.path); probe && std::isfinite(probe->duration))
        sealed.duration = probe->duration;
    return sealed;
}

} // namespace

std::string set_aside_text(const fs::path& moved, bool interrupted)
{
    std::string folder = moved.parent_path().string();
    std::string home = util::home_dir().string();
    while (home.size() > 1 && home.ends_with('/'))
        home.pop_back();
    if (home.size() > 1 && folder.starts_with(home) && (folder.size() == home.size() || folder[home.size()] == '/'))
        folder = "~" + folder.substr(home.size());
    return fmt::format("{} no se puede reproducir: quedó en {}", interrupted ? "Una grabación interrumpida" : "La grabación",
        util::escape_controls(folder));
}

std::expected<Sealed, SealFailure> seal(const fs::path& temporary, Ending ending)
{
    // Our own file, which the recording holds locked: read through a
    // descriptor of its own, without taking the lock.
    const int fd = ::open(temporary.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::unexpected(SealFailure { fmt::format("no pude leer {}: {}", util::escape_controls(temporary.string()), util::error_text(errno)), {} });
    HeldFile file(fd, temporary);
    const auto scanned = scan_held(file);
    if (!scanned)
        return std::unexpected(SealFailure { scanned.error(), {} }); // kept: the next launch tries again
    const FragmentScan& scan = *scanned;
    const auto aside = [&](std::string reason) -> std::expected<Sealed, SealFailure> {
        auto moved = set_aside(file, xdg::state_dir());
        if (!moved) {
            util::log(moved.error());
            return std::unexpected(SealFailure { std::move(reason), {} });
        }
        util::log(fmt::format("aparté la grabación {} en {}: {}", util::escape_controls(temporary.string()), util::escape_controls(moved->string()), reason));
        return std::unexpected(SealFailure { std::move(reason), *moved });
    };
    std::error_code ec;
    if (!scan.playable())
        return aside("no quedó ningún fragmento completo");
    struct stat st {};
    if (ending == Ending::Broken && ::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) > scan.whole) {
        // What follows the last complete fragment is half of one: players
        // would read it as damage, and the copy below would carry it over.
        // The file is this run's own, so it is cut where it is: a full disk
        // leaves no room for a copy.
        if (::ftruncate(fd, static_cast<off_t>(scan.whole)) != 0)
            util::log(fmt::format("no pude recortar {}: {}", util::escape_controls(temporary.string()), std::strerror(errno)));
    }
    // A regular MP4 with its index first: every player seeks in it at once.
    // A temporary of the same name, held as the recording is, so a run that
    // stops during the copy leaves one the next launch recognises.
    const auto target = publish::temporary_target(temporary.filename().string());
    auto regular = publish::create_temporary(target ? temporary.parent_path() / *target : temporary);
    if (!regular) {
        util::log(fmt::format("grabación sin convertir a MP4 normal: {}", regular.error()));
    } else {
        auto live = LiveFile::hold(*regular, xdg::state_dir());
        util::log(fmt::format("grabación: copio los fragmentos a un MP4 normal en {}", util::escape_controls(regular->string())));
        const platform::ExportOutcome outcome = video::media()->export_mp4(temporary, *regular, {});
        if (outcome.status == platform::ExportStatus::Completed && check_plays(*regular)) {
            fs::remove(temporary, ec);
            return with_length(Sealed { *regular, std::move(live) });
        }
        // A full disk, typically: the fragments play as they are.
        util::log(fmt::format("grabación sin convertir a MP4 normal: {}", outcome.error.value_or("no se puede reproducir")));
        fs::remove(*regular, ec);
    }
    join_sound_in_place(file);
    if (auto plays = check_plays(temporary); !plays)
        return aside(plays.error());
    return with_length(Sealed { temporary, nullptr });
}

std::string incomplete_stem(const std::string& name)
{
    return name + " (incompleta)";
}

bool is_incomplete_name(std::string_view file_name)
{
    return file_name.ends_with(" (incompleta).mp4") || (file_name.ends_with(".mp4") && file_name.find(" (incompleta) (") != std::string_view::npos);
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
            util::log(fmt::format("quité el GIF a medio escribir {}", util::escape_controls(part.string())));
    }
    ::close(fd);
}

} // namespace

void recover_recordings(const fs::path& dir, fs::file_time_type launch, const std::function<void(const fs::path&)>& recovered,
    const std::function<void(const fs::path&)>& put_aside)
{
    const RecoveryTools tools = real_tools();
    struct Candidate {
        fs::path path;
        std::string stem;
        fs::path note; // empty: found in the folder only
    };
    std::vector<Candidate> found;
    // A recording killed before the capture folder changed is found through its note.
    for (auto& noted : read_journal(tools.state_dir)) {
        const auto stem = recording_stem(noted.temporary);
        if (noted.temporary.empty() || !stem) {
            ::unlink(noted.note.c_str());
            continue;
        }
        found.push_back({ noted.temporary.lexically_normal(), *stem, noted.note });
    }
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        std::error_code file_ec;
        if (our_partial(path.filename().string()) && it->symlink_status(file_ec).type() == fs::file_type::regular) {
            remove_stale_partial(path);
            continue;
        }
        const auto stem = recording_stem(path);
        if (!stem)
            continue;
        const fs::path normal = fs::absolute(path, file_ec).lexically_normal();
        if (std::ranges::none_of(found, [&](const Candidate& c) { return c.path == normal; }))
            found.push_back({ normal, *stem, {} });
    }
    int published = 0, left = 0;
    struct Claimed {
        Candidate candidate;
        HeldFile file;
        int rank = 2; // 0: a finished copy that plays; 1: fragments; 2: anything else
    };
    std::vector<Claimed> claimed_all;
    for (auto& candidate : found) {
        const auto& [temporary, stem, note] = candidate;
        // The lock first: a live recording is left whatever its age, and
        // said so. Then a file written since this launch began (one made
        // here a moment before its writer locked it) is left as well. A date
        // still ahead of the clock is no writing of this run (a clock set
        // back since, a file copied with its date): unheld, it is abandoned.
        auto claimed = claim_abandoned(temporary);
        std::error_code file_ec;
        const auto written = fs::last_write_time(temporary, file_ec);
        if (claimed && !file_ec && written >= launch && written <= fs::file_time_type::clock::now()) {
            util::log(fmt::format("dejo la grabación {}: se escribió después del arranque", util::escape_controls(temporary.string())));
            ++left;
            continue;
        }
        if (!claimed) {
            const Refusal& refusal = claimed.error();
            if (refusal.kind != Refusal::Kind::Gone)
                util::log(fmt::format("dejo la grabación {}: {}", util::escape_controls(temporary.string()), refusal.reason));
            if (refusal.kind == Refusal::Kind::Gone || refusal.kind == Refusal::Kind::NotOurs) {
                if (!note.empty())
                    ::unlink(note.c_str());
            } else {
                ++left;
            }
            continue;
        }
        claimed_all.push_back({ std::move(candidate), std::move(*claimed) });
    }
    // One recording may have left two temporaries of the same name: its
    // fragments and the finished copy sealing was making of them when the
    // run stopped (or a copy an earlier recovery was making). They are one
    // recording and give one file: the finished copy when it plays, else
    // what the fragments hold; the other is removed once that is published.
    for (Claimed& c : claimed_all) {
        const auto scan = scan_held(c.file);
        if (!scan)
            continue;
        if (scan->regular && scan->fragments == 0 && scan->playable() && tools.plays(c.file.path()))
            c.rank = 0;
        else if (scan->fragments > 0)
            c.rank = 1;
    }
    std::ranges::stable_sort(claimed_all, [](const Claimed& a, const Claimed& b) {
        return std::tuple(a.candidate.path.parent_path(), a.candidate.stem, a.rank)
            < std::tuple(b.candidate.path.parent_path(), b.candidate.stem, b.rank);
    });
    std::optional<std::pair<fs::path, std::string>> done; // the recording just published
    for (Claimed& c : claimed_all) {
        const auto& [temporary, stem, note] = c.candidate;
        const auto forget = [&note] {
            if (!note.empty())
                ::unlink(note.c_str());
        };
        const auto recording = std::pair(temporary.parent_path(), stem);
        if (done && *done == recording) {
            // The other half of a recording already published.
            remove_held(c.file);
            forget();
            util::log(fmt::format("quité la otra copia de la grabación recuperada: {}", util::escape_controls(temporary.string())));
            continue;
        }
        const Recovered result = recover_claimed(c.file, stem, tools);
        switch (result.kind) {
        case Recovered::Kind::Published:
            forget();
            util::log(fmt::format("grabación interrumpida recuperada en {}", util::escape_controls(result.path.string())));
            ++published;
            done = recording;
            recovered(result.path);
            break;
        case Recovered::Kind::SetAside:
            forget();
            util::log(fmt::format("aparté la grabación interrumpida {} en {}: {}", util::escape_controls(temporary.string()), util::escape_controls(result.path.string()),
                result.reason));
            if (put_aside)
                put_aside(result.path);
            break;
        case Recovered::Kind::Kept:
            util::log(fmt::format("no pude recuperar la grabación {}: {}", util::escape_controls(temporary.string()), result.reason));
            ++left;
            break;
        }
    }
    util::log(fmt::format("grabaciones interrumpidas: {} recuperadas, {} dejadas", published, left));
}

} // namespace recorder
