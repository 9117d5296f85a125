// platform: child processes.
//
// Programs are found through the search path (PATH) like a shell would. The
// child's standard input is /dev/null. Any thread may call these; the
// waiting call blocks its caller until the child ends or the timeout passes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct ProcessResult {
    // The exit status when the child exited; -1 when a signal ended it.
    int exit_status = -1;
    // True when the child ran past the timeout and was killed (SIGKILL).
    bool timed_out = false;
    // True when the standard output grew past the caller's limit and the
    // child was killed (SIGKILL); the output holds what had been read.
    bool output_too_large = false;
    std::string standard_output;
    std::string standard_error;

    bool succeeded() const { return !timed_out && !output_too_large && exit_status == 0; }
};

// Starts `program` with `args` (not including the program itself), captures
// both outputs completely and waits for it to end. Fails only when the
// program cannot be started (not found, not executable); the description
// says why. A child still running after `timeout` is killed and its result
// has timed_out set, with whatever output it had written. A child whose
// standard output passes `output_limit` bytes is killed likewise, with
// output_too_large set: what it prints is never held beyond that (and one
// read) in memory.
std::expected<ProcessResult, std::string> run_process(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      std::chrono::milliseconds timeout,
                                                      std::size_t output_limit = SIZE_MAX);

// Starts `program` with `args` in a session of its own and returns at once;
// the child is reaped in the background when it ends, and `on_exit` (when
// given) then gets its exit status (-1 when a signal ended it) on that
// background thread ("vistrope-reaper"). Its outputs are those of this
// process. Fails when the program cannot be started, or when the system
// refuses the thread that would reap it (then nothing is started).
std::expected<void, std::string> start_detached(const std::string& program, const std::vector<std::string>& args,
                                                std::function<void(int exit_status)> on_exit = {});

} // namespace platform
