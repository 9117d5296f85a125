// util: the helpers every module uses.
//
// This header is the pure half (log, stopwatch, invariant stops, worker
// count); it needs only the standard library and links without Qt. The queue
// and screen helpers, which sit on the platform layer, live in util_queue.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace util {

// Writes one log line: "[vistrope] " + message to standard error, and
// "<unix seconds with three decimals> <message>" appended to the log file,
// as a LogWriter does (a ceiling, repeats counted). Callable from any
// thread; every failure to write the file is silent.
void log(std::string_view message);

// A broken invariant: logs nothing, writes the message to standard error and
// stops the process. Tests install a hook that turns it into a failure.
[[noreturn]] void fatal(std::string_view message);
using FatalHook = void (*)(std::string_view message);
// Installs a hook run by fatal() before it aborts; the hook may throw to unwind.
void set_fatal_hook(FatalHook hook);

// The home folder: $HOME, or "/tmp" when HOME is unset.
std::filesystem::path home_dir();

// The log file: $XDG_STATE_HOME/vistrope/vistrope.log (~/.local/state by default).
std::filesystem::path log_path();

// Opens the log file at `path` by the start-up rules: the folder is created
// with its parents, a file above `limit` bytes is moved to "<path>.1"
// first (replacing the one there), then the file is opened for appending.
// Returns null when no file could be opened. util::log opens it once per
// process; tests call it directly.
inline constexpr std::uintmax_t LOG_LIMIT = 2'000'000;
std::FILE* open_log_file(const std::filesystem::path& path, std::uintmax_t limit = LOG_LIMIT);

// The log's writer: every line to `echo` (standard error) as "[vistrope]
// <message>", and to the file opened by open_log_file, which no client can
// make fill a disk:
// - past `limit` bytes the file is moved to "<path>.1" once more and a new
//   one begun, so the two hold the newest lines and never much more than
//   twice the limit; the size is the file's own, and the move is made under
//   a lock on the file, since other processes (command-line tasks) log to
//   the same path and may have moved it first;
// - a message repeated in a row is written once; the repeats are counted
//   and written as one line "<message> (repetida N veces más)" when another
//   message comes, when finish() is called, and at least every
//   REPEAT_REPORT_SECONDS while they go on.
// Any thread: one mutex, held for the formatting of one line and its file
// write; the echo is written outside it.
class LogWriter final {
public:
    static constexpr double REPEAT_REPORT_SECONDS = 60.0;

    LogWriter(std::filesystem::path path, std::FILE* echo, std::uintmax_t limit = LOG_LIMIT);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // One message at a wall-clock time in Unix seconds.
    void write(double unix_seconds, std::string_view message);
    // Writes the count of repeats not yet written.
    void finish();
    bool has_file();

private:
    void put(double unix_seconds, std::string_view message);
    void report_repeats();

    std::mutex m_mutex;
    std::filesystem::path m_path;
    std::FILE* m_echo;
    std::uintmax_t m_limit;
    std::FILE* m_file = nullptr;
    std::string m_last;
    bool m_any = false;
    std::uint64_t m_repeats = 0;
    double m_last_at = 0;     // the latest repeat
    double m_reported_at = 0; // when the run's count was last written
};

// Formats one log-file line (without the trailing line break): the time as
// seconds since the epoch with exactly three decimals, a blank, the message.
std::string format_log_line(double unix_seconds, std::string_view message);

// The text without leading and trailing ASCII white space.
std::string_view trim(std::string_view text);
// The length of the well-formed UTF-8 sequence at the front of `s` (not
// empty), 0 when it is not one: a stray continuation byte, an overlong form,
// a surrogate, past U+10FFFF, or cut short.
size_t utf8_sequence(std::string_view s);
// The text with every byte that could steer a terminal or split a log line
// written as \xNN: C0 and C1 controls, DEL, bytes that are not UTF-8, and
// the backslash itself, so the escaped form reads back unambiguously.
std::string escape_controls(std::string_view text);
// ASCII letters lower-cased; every other byte (UTF-8 glyphs included) unchanged.
std::string lower_ascii(std::string_view text);

// A length as every label shows it (toast, card, trim window): whole
// seconds, rounded half away from zero, so that one recording reads alike
// everywhere. NaN, infinite and negative lengths count as 0.
std::uint64_t whole_seconds(double seconds);

// Worker threads for the parallel codecs: the available parallelism, 4 when
// it cannot be read.
unsigned parallelism();

// What an errno value means, in Spanish for the user ("no existe",
// "permiso denegado", …); codes without a text of ours fall back to
// strerror.
std::string error_text(int code);

// True on the process's main thread (the thread that entered main).
bool is_main_thread();

// Stops the process with `message` unless called on the main thread.
void require_main_thread(std::string_view message);

// A label and a start instant on the monotonic clock. lap() logs
// "<label>: <step> en <ms with one decimal> ms", always from the same start.
class Stopwatch {
public:
    explicit Stopwatch(std::string_view label);
    Stopwatch(std::string_view label, std::chrono::steady_clock::time_point start);

    void lap(std::string_view step) const;
    // The text lap() logs, for a given elapsed time in milliseconds.
    std::string lap_text(std::string_view step, double elapsed_ms) const;
    double elapsed_ms() const;
    std::string_view label() const { return m_label; }

private:
    std::string m_label;
    std::chrono::steady_clock::time_point m_start;
};

} // namespace util
