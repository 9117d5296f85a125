// platform: child processes.
//
// Programs are found through the search path (PATH) like a shell would. The
// child's standard input is /dev/null. Any thread may call these; the
// waiting call blocks its caller until the child ends or the timeout passes.
#pragma once

#include <chrono>
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
    std::string standard_output;
    std::string standard_error;

    bool succeeded() const { return !timed_out && exit_status == 0; }
};

// Starts `program` with `args` (not including the program itself), captures
// both outputs completely and waits for it to end. Fails only when the
// program cannot be started (not found, not executable); the description
// says why. A child still running after `timeout` is killed and its result
// has timed_out set, with whatever output it had written.
std::expected<ProcessResult, std::string> run_process(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      std::chrono::milliseconds timeout);

// Starts `program` with `args` in a session of its own and returns at once;
// the child is reaped in the background when it ends, and `on_exit` (when
// given) then gets its exit status (-1 when a signal ended it) on that
// background thread. Its outputs are those of this process. Fails only when
// the program cannot be started.
std::expected<void, std::string> start_detached(const std::string& program, const std::vector<std::string>& args,
                                                std::function<void(int exit_status)> on_exit = {});

} // namespace platform
