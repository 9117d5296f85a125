// recorder: which recording temporaries are live, and how an abandoned one is
// taken over.
//
// A temporary this process writes (or keeps until its GIF is made) is held
// under an exclusive advisory lock (flock on an open file of its own), which
// the kernel lets go at any death, and noted in a journal in the state
// folder, one small file per temporary, so that the next launch finds it even
// when the capture folder has changed since.
//
// Recovery takes a temporary only when it can take that lock, and only a
// regular file of ours: opened without following links, with one link and
// this user as owner. What it publishes is always a new file (the whole
// fragments copied into a temporary of its own, rewritten with the index
// first where that can be done, checked to play, then renamed into place);
// the old temporary is never cut or rewritten, and is removed only once its
// copy is published. One that yields nothing playable is moved aside into the
// state folder, never published nor deleted.
//
// Pure: the media work and the publishing come in through RecoveryTools.
// Any thread; every call blocks on the file system.
#pragma once

#include "record/fragments.h"

#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace recorder {

// An open file (read and write, never through a link) under this process's
// exclusive flock for as long as the object lives.
class HeldFile {
public:
    HeldFile() = default;
    HeldFile(int fd, std::filesystem::path path);
    HeldFile(HeldFile&& other) noexcept;
    HeldFile& operator=(HeldFile&& other) noexcept;
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile();

    int fd() const { return m_fd; }
    const std::filesystem::path& path() const { return m_path; }

private:
    int m_fd = -1;
    std::filesystem::path m_path;
};

// Locks the file at `path` without waiting; the error when it cannot be
// opened or another open file holds the lock.
std::expected<HeldFile, std::string> hold_file(const std::filesystem::path& path);

// Removes the held file's name, when that name still shows this file.
void remove_held(const HeldFile& file);

// The folders under the state folder: the journal of live temporaries and
// the place the unplayable ones are moved to.
std::filesystem::path journal_dir(const std::filesystem::path& state_dir);
std::filesystem::path set_aside_dir(const std::filesystem::path& state_dir);

// A temporary of a recording while this process has it: held and noted in
// the journal. Its end lets go of the lock and takes the note back once the
// file has left its place (published or removed); a file still there stays
// noted for the next launch. A lock or a note that cannot be had is logged
// and the recording goes on without it.
class LiveFile {
public:
    static std::shared_ptr<LiveFile> hold(const std::filesystem::path& temporary, const std::filesystem::path& state_dir);
    ~LiveFile();
    LiveFile(const LiveFile&) = delete;
    LiveFile& operator=(const LiveFile&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    const std::filesystem::path& note() const { return m_note; }
    bool locked() const { return m_held.fd() >= 0; }

private:
    LiveFile() = default;
    std::filesystem::path m_path;
    HeldFile m_held;
    std::filesystem::path m_note; // empty: not noted
};

// The temporaries the journal names, each with its note.
struct Noted {
    std::filesystem::path note;
    std::filesystem::path temporary;
};
std::vector<Noted> read_journal(const std::filesystem::path& state_dir);

// Why a temporary was not taken.
struct Refusal {
    enum class Kind {
        Live,    // another open file holds its lock: it is being written
        NotOurs, // a link, not a regular file, more than one hard link, another owner
        Gone,    // no longer there, or no longer the file the name showed
        Failed,  // could not be opened or read: a later launch tries again
    };
    Kind kind;
    std::string reason;
};

// Opens and locks a temporary a stopped run may have left, refusing what is
// live or not ours.
std::expected<HeldFile, Refusal> claim_abandoned(const std::filesystem::path& temporary);

// The complete part of the held file, read from its box headers.
std::expected<FragmentScan, std::string> scan_held(const HeldFile& file);

// Makes the kept and ahead sound tracks of a recording left as fragments one
// track in place (plan_sound_join); a file without them is left as it is.
// What cannot be added (a full disk) leaves both tracks. Logs what it did.
void join_sound_in_place(const HeldFile& file);

struct RecoveryTools {
    // The program's state folder (the journal, the set-aside files).
    std::filesystem::path state_dir;
    // A new, held hidden temporary for the file `name` will be published as.
    std::function<std::expected<HeldFile, std::string>(const std::filesystem::path& name)> create;
    // Writes `source` again with its index first into `destination`.
    std::function<std::expected<void, std::string>(const std::filesystem::path& source,
        const std::filesystem::path& destination)>
        remux;
    // Nothing when at least one frame of the file decodes; else why not.
    std::function<std::expected<void, std::string>(const std::filesystem::path& file)> plays;
    // Publishes `file` as "<stem>.mp4" in `dir` (the next free number on a
    // clash): the path it got.
    std::function<std::expected<std::filesystem::path, std::string>(const std::filesystem::path& dir,
        const std::string& stem, const std::filesystem::path& file)>
        publish;
};

// How the recovery of one claimed temporary ended.
struct Recovered {
    enum class Kind {
        Published, // `path` is the new file; the temporary is gone
        SetAside,  // nothing played: the temporary is now `path`, in the state folder
        Kept,      // something failed (a full disk…): the temporary stays for a later try
    };
    Kind kind;
    std::filesystem::path path;
    std::string reason; // for SetAside and Kept
};

// The stem a recording's temporary is published under after a crash:
// "<name> (recuperada)".
std::string recovered_stem(const std::string& name);

// Recovers the claimed temporary of the recording `stem` ("Vistrope … a las
// …"): published beside it as "<stem> (recuperada).mp4".
Recovered recover_claimed(HeldFile& temporary, const std::string& stem, const RecoveryTools& tools);

// Moves the held file into the state folder's set-aside folder under its
// own name (a copy there, then removal, across file systems): the new path.
std::expected<std::filesystem::path, std::string> set_aside(HeldFile& file, const std::filesystem::path& state_dir);

} // namespace recorder
