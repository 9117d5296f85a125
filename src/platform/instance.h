// platform: where the single running instance lives, and how another
// process hands it its vistrope:// URLs.
//
// Plain POSIX and the standard library, no toolkit: the small front program
// that forwards a link to the running instance uses it as the program does,
// so a link costs a few milliseconds, not the start of the whole program.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The URLs among the process arguments: those that start with "vistrope:"
// (the scheme compared without regard to case), line breaks percent-encoded.
std::vector<std::string> scheme_urls(const std::vector<std::string>& args);

// A folder for this user alone: made with mode 0700 when missing; an existing
// one must be a real folder (no link) of this user that no one else may enter.
// None otherwise.
std::optional<std::filesystem::path> private_directory(const std::filesystem::path& dir);

// Where the instance's lock and socket live.
struct InstancePlace {
    // Held by the instance for its whole life.
    std::filesystem::path lock;
    // The socket, when its place is fixed ($XDG_RUNTIME_DIR).
    std::filesystem::path socket;
    // Otherwise a file of this user's own names a folder made with mkdtemp
    // under tmp_root, which another user can neither make first nor replace.
    std::filesystem::path name_file;
    std::filesystem::path tmp_root;

    // The socket's path; the instance (create) makes and names a new folder
    // when the named one is missing or no longer private. None on failure.
    std::optional<std::filesystem::path> socket_path(bool create) const;
};

// $XDG_RUNTIME_DIR when it is a private folder of this user; otherwise a private folder under
// $XDG_CACHE_HOME (default ~/.cache) holding the lock and the name file, and
// the socket in a folder under /tmp. None when no private folder can be had.
std::optional<InstancePlace> instance_place();
// The same with the places given (tests).
std::optional<InstancePlace> instance_place_in(const std::optional<std::filesystem::path>& runtime_dir,
    const std::filesystem::path& cache_dir, const std::filesystem::path& tmp_root);

// Hands `urls` to the instance listening at `socket` as one request (URL
// lines ended by an empty line); whether it took them. Gives up after two
// seconds of a socket that takes nothing. Any thread.
bool forward_urls(const std::filesystem::path& socket, const std::vector<std::string>& urls);

// The program a desktop entry should start for `self` (this executable): the
// front program "vistrope" beside it when there is one, else `self`.
std::filesystem::path front_executable(const std::filesystem::path& self);

// The front starts a new instance in a session of its own and waits only
// until it is the instance: it hands the program the writing end of a pipe,
// named by this variable, and ends once a byte comes through it (or, when
// the pipe closes first, with the program's own status).
inline constexpr const char* READY_FD_VARIABLE = "VISTROPE_READY_FD";

// The pipe's descriptor when a front waits for this process, else -1. Reads
// and forgets the variable, so that no program the instance starts finds
// it: call it at the top of main, before any thread runs.
int take_front_pipe();

// Called by the program once it is the instance (it holds the lock, and the
// links of its command line are its own) with what take_front_pipe gave:
// its standard streams leave the caller's for /dev/null (the log file keeps
// every line), and the front is told. Nothing when `fd` is -1. Main thread.
void tell_front_ready(int fd);

} // namespace platform
