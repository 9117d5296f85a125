// The front program, `vistrope`: what the desktop starts for a link and the
// user for the menu entry. With the instance running and nothing but links
// (or nothing) to hand over, it forwards them over the instance's socket and
// ends, without loading the toolkit or a media library. With a switch (a
// task or a self-check, whose output and status the caller wants) it becomes
// the program, vistrope-app beside it, with the same arguments and process
// id. Otherwise (no instance, an instance that does not answer) it starts
// the program in a session of its own and ends as soon as that is the
// instance: the caller (xdg-open, a terminal, a launcher) neither waits for
// the whole session nor ends it with its hang-up or Ctrl+C.
#include "platform/instance.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Whether the running instance took the links. False when there is no
// instance, when it holds its lock but has no socket yet (it is starting:
// the program waits for it), or when the socket refuses.
bool handed_over(const std::vector<std::string>& urls)
{
    const auto place = platform::instance_place();
    if (!place)
        return false;
    const int lock = ::open(place->lock.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (lock < 0)
        return false; // no lock file: no instance has ever run here
    // Whoever holds the lock is the instance; taking it means there is none
    // (closing lets it go at once, for the program to take).
    const bool held = ::flock(lock, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(lock);
    if (!held)
        return false;
    const auto socket = place->socket_path(false);
    return socket && platform::forward_urls(*socket, urls);
}

int cannot_start(const std::string& program)
{
    std::fprintf(stderr, "vistrope: no pude iniciar %s: %s\n", program.c_str(), std::strerror(errno));
    return 127;
}

// Starts the program as a new session's leader, its standard input
// /dev/null; its output stays the caller's until it is the instance, so
// that a failure to start (no display, no instance folder) still reaches
// the caller. The program's status when it ends before that: forwarded to
// an instance that started meanwhile (0) or failed.
int start_instance(const std::string& program, char** argv)
{
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return cannot_start(program);
    const pid_t child = ::fork();
    if (child < 0)
        return cannot_start(program);
    if (child == 0) {
        ::setsid();
        // Signals the caller ignores stay ignored across exec: the instance
        // takes its own defaults.
        ::signal(SIGHUP, SIG_DFL);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        // The writing end outlives exec under a fixed number of its own.
        const int kept = ::fcntl(ready[1], F_DUPFD, 3);
        if (kept < 0)
            _exit(cannot_start(program));
        ::setenv(platform::READY_FD_VARIABLE, std::to_string(kept).c_str(), 1);
        ::execvp(program.c_str(), argv);
        _exit(cannot_start(program));
    }
    ::close(ready[1]);
    char byte = 0;
    ssize_t n;
    while ((n = ::read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    if (n == 1)
        return 0; // the instance runs on, the caller is free
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv, argv + argc);
    bool switches = false;
    for (std::size_t i = 1; i < args.size(); ++i)
        switches = switches || (!args[i].empty() && args[i][0] == '-');
    if (!switches && handed_over(platform::scheme_urls(args)))
        return 0;

    // The program beside this file (found through /proc, so a link to the
    // front works), else beside argv[0], else on the PATH.
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string program = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(argv[0]);
    const std::size_t slash = program.rfind('/');
    program = slash == std::string::npos ? std::string("vistrope-app") : program.substr(0, slash + 1) + "vistrope-app";
    if (!switches)
        return start_instance(program, argv);
    ::execvp(program.c_str(), argv);
    return cannot_start(program);
}
