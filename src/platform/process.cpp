// Child processes on posix_spawn.
//
// posix_spawnp reports a program that cannot be executed as an error of the
// call itself (glibc's spawn waits for the exec), so "could not start" is
// known before any output is read. Pipes are made close-on-exec so children
// started concurrently by other threads never inherit them; the dup2 file
// actions clear that flag on the child's own ends only.
#include "platform/process.h"

#include "base/util_thread.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include <fmt/format.h>

extern char** environ;

namespace platform {

namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd)
        : m_fd(fd)
    {
    }
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

std::vector<char*> make_argv(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

std::string spawn_error(const std::string& program, int error)
{
    return fmt::format("no pude iniciar {}: {}", program, std::strerror(error));
}

int wait_child(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Starts the child and releases the spawn settings either way.
std::expected<pid_t, std::string> spawn(const std::string& program, const std::vector<std::string>& args,
    posix_spawn_file_actions_t& actions, posix_spawnattr_t& attr)
{
    auto argv = make_argv(program, args);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (spawned != 0)
        return std::unexpected(spawn_error(program, spawned));
    return pid;
}

} // namespace

std::expected<ProcessResult, std::string> run_process(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      std::chrono::milliseconds timeout,
                                                      std::size_t output_limit)
{
    int out_pipe[2];
    int err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0)
        return std::unexpected(spawn_error(program, errno));
    Fd out_read(out_pipe[0]), out_write(out_pipe[1]);
    if (::pipe2(err_pipe, O_CLOEXEC) != 0)
        return std::unexpected(spawn_error(program, errno));
    Fd err_read(err_pipe[0]), err_write(err_pipe[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_write.get(), STDERR_FILENO);

    // The child gets default signal handling and an empty mask, whatever
    // this process (or Qt) installed.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A process group of its own, so that a timeout also ends whatever the
    // child started (a shell's own children hold the pipes open too).
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    const auto spawned = spawn(program, args, actions, attr);
    if (!spawned)
        return std::unexpected(spawned.error());
    const pid_t pid = *spawned;
    out_write.reset();
    err_write.reset();

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = { { out_read.get(), POLLIN, 0 }, { err_read.get(), POLLIN, 0 } };
    std::string* sinks[2] = { &result.standard_output, &result.standard_error };
    int open_count = 2;
    char buffer[8192];
    while (open_count > 0 && !result.output_too_large) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1'000'000)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
                if (i == 0 && result.standard_output.size() > output_limit)
                    result.output_too_large = true;
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                fds[i].fd = -1; // end of this output
                --open_count;
            }
        }
    }
    // The outputs may close long before the child ends: the deadline still holds.
    int status = 0;
    while (!result.timed_out && !result.output_too_large) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return result;
        }
        if (done < 0 && errno != EINTR) {
            result.exit_status = -1;
            return result;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            result.timed_out = true;
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(-pid, SIGKILL);
    wait_child(pid);
    result.exit_status = -1;
    return result;
}

std::expected<void, std::string> start_detached(const std::string& program, const std::vector<std::string>& args,
                                                std::function<void(int exit_status)> on_exit)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSID);

    // Nobody waits for the child's answer, but it must not linger as a
    // zombie: its reaper starts first, so a refused thread spawns no child.
    auto pid = std::make_shared<std::promise<pid_t>>();
    if (!util::start_detached("vistrope-reaper", [child = pid->get_future(), on_exit = std::move(on_exit)]() mutable {
            const pid_t p = child.get();
            if (p <= 0)
                return;
            const int status = wait_child(p);
            if (on_exit)
                on_exit(status);
        })) {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        return std::unexpected(std::string("no pude iniciar el programa: el sistema no da más hilos"));
    }
    const auto spawned = spawn(program, args, actions, attr);
    pid->set_value(spawned ? *spawned : -1);
    if (!spawned)
        return std::unexpected(spawned.error());
    return {};
}

} // namespace platform
