// platform: where the single running instance lives, and how another
// process hands it its vistrope:// URLs.
//
// Plain POSIX and the standard library, no toolkit: the small front program
// that forwards a link to the running instance uses it as the program does,
// so a link costs a few milliseconds, not the start of the whole program.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The URLs among the process arguments: those that start with "vistrope:"
// (the scheme compared without regard to case), line breaks percent-encoded.
std::vector<std::string> scheme_urls(const std::vector<std::string>& args);

// A folder for this user alone: made with mode 0700 when missing; an existing
// one must be a real folder (no link) of this user that no one else may enter.
// None otherwise.
std::optional<std::filesystem::path> private_directory(const std::filesystem::path& dir);

// Whether a socket's path fits in a Unix socket address (107 bytes and the
// terminating zero).
bool fits_socket_address(const std::filesystem::path& socket);

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

// $XDG_RUNTIME_DIR when it is a private folder of this user and short enough
// for the socket's address; otherwise a private folder under
// $XDG_CACHE_HOME (default ~/.cache) holding the lock and the name file, and
// the socket in a folder under /tmp. None when no private folder can be had.
std::optional<InstancePlace> instance_place();
// The same with the places given (tests).
std::optional<InstancePlace> instance_place_in(const std::optional<std::filesystem::path>& runtime_dir,
    const std::filesystem::path& cache_dir, const std::filesystem::path& tmp_root);

// One forwarded request: URL lines ended by an empty line.
struct Request {
    std::vector<std::string> urls;
    // Lines past MAX_URLS, not kept.
    size_t dropped = 0;
};

// Cuts what one connection sends into requests. Each received byte is looked
// at once, and no request may grow past MAX_REQUEST_BYTES or keep more than
// MAX_URLS URLs: a client of this user cannot make the instance scan, hold
// or act on without bound.
class RequestReader final {
public:
    static constexpr size_t MAX_REQUEST_BYTES = 64 * 1024;
    static constexpr size_t MAX_URLS = 64;

    // The requests that the new bytes complete, in order. Nothing more once
    // overflowed().
    std::vector<Request> feed(std::string_view bytes);
    // The request under way passed MAX_REQUEST_BYTES: drop the connection.
    bool overflowed() const { return m_overflowed; }

private:
    std::string m_line;
    Request m_current;
    size_t m_bytes = 0;
    bool m_overflowed = false;
};

// The instance answers each request with one byte: TAKEN once it has acted
// on the request's links, or a refusal while it runs on but cannot take them.
// An instance that is ending answers nothing and closes, as a dead one does.
inline constexpr char ANSWER_TAKEN = '+';
// Taken too, but at least one of its links named nothing the program does:
// the launch says so and ends with an error, and never sends it again.
inline constexpr char ANSWER_UNKNOWN = '?';
inline constexpr char ANSWER_BUSY = 'b';      // too many connections at once
inline constexpr char ANSWER_TOO_LARGE = 'l'; // past MAX_REQUEST_BYTES

// Whether a link fits in a request of its own, with its line break and the
// request's closing empty line.
bool fits_in_request(std::string_view url);

// Whether every link of a request named something the program does.
enum class Links { Known, SomeUnknown };

// What became of links handed to an instance.
struct Handover {
    enum class Outcome {
        Taken,      // every link was taken
        Refused,    // the instance runs and said no to the rest
        Unanswered, // nobody listens, or the connection closed before an answer: the rest was not taken
        Unknown,    // sent, but no answer in time: the rest may still be taken
    };
    Outcome outcome = Outcome::Unanswered;
    // Links taken, counted from the first: each request is answered before
    // the next is sent.
    size_t taken = 0;
    // Spanish, for anything but Taken.
    std::string why;
    // The links of taken requests that held a link the program does not
    // know: only those requests can say so, not which of their links.
    std::vector<std::string> unknown;
};

// Hands `urls` to the instance listening at `socket` as requests of at most
// MAX_URLS links and MAX_REQUEST_BYTES each (no links: one empty request, the
// program started again), waiting up to `answer_limit` for each answer.
// Every link must fit in a request (fits_in_request). Never raises SIGPIPE.
// Any thread.
Handover forward_urls(const std::filesystem::path& socket, const std::vector<std::string>& urls,
    std::chrono::milliseconds answer_limit);

// How long a launch waits for an instance that holds the lock but does not
// listen (starting, or ending) before it gives up.
inline constexpr std::chrono::milliseconds LOCK_PATIENCE { 10'000 };

// What a launch found at the instance's place.
struct Arrival {
    enum class Kind {
        Taken,    // the running instance took every link
        LockFree, // no instance runs: the caller may become it
        Failed,   // an instance holds the lock and did not take them all
    };
    Kind kind = Kind::Failed;
    // LockFree with keep_lock: the lock file's descriptor, the lock held.
    int lock_fd = -1;
    // Links taken before a failure, counted from the first.
    size_t taken = 0;
    // Failed: why, in Spanish.
    std::string why;
    // As Handover::unknown, over every request taken.
    std::vector<std::string> unknown;
};

// Hands `urls` to the lock holder, or finds the lock free. While the holder
// does not listen or closes without an answer (it is starting, or ending) the
// links are offered again every 50 ms until it listens, the lock comes free or
// `patience` has passed; a holder that refuses them is asked once more, a
// second later. With keep_lock the lock file is created when missing and a
// free lock stays held for the caller. Blocks; any thread.
Arrival reach_instance(const InstancePlace& place, const std::vector<std::string>& urls,
    std::chrono::milliseconds patience, bool keep_lock);

// The program a desktop entry should start for `self` (this executable): the
// front program "vistrope" beside it when there is one, else `self`.
std::filesystem::path front_executable(const std::filesystem::path& self);

// The front starts a new instance in a session of its own and waits only
// until it is the instance: it hands the program one end of a socket pair,
// named by this variable, and ends once a byte comes through it (or, when
// it closes first, with the program's own status). The byte says whether
// the links of the command line were all known.
inline constexpr const char* READY_FD_VARIABLE = "VISTROPE_READY_FD";

// The socket's descriptor when a front waits for this process, else -1.
// Reads and forgets the variable, so that no program the instance starts
// finds it: call it at the top of main, before any thread runs. Until
// tell_front_ready, SIGPIPE is ignored: a caller that hung up (its pipe or
// terminal gone with it) must not end the program that was starting for it.
int take_front_pipe();

// Called by the program once it is the instance (it holds the lock, and the
// links of its command line are its own) with what take_front_pipe gave:
// its standard streams leave the caller's for /dev/null (the log file keeps
// every line), the front is told (a front that is gone changes nothing) and
// SIGPIPE is handled as before take_front_pipe. Nothing when `fd` is -1.
// Main thread.
void tell_front_ready(int fd, Links links);
// The front's reading of that byte.
inline constexpr char READY_KNOWN = 1, READY_UNKNOWN = 2;

// The line a launch prints (without "vistrope: ") for links the program did
// not know.
std::string unknown_links_text(const std::vector<std::string>& urls);

} // namespace platform
