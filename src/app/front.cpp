// The front program, `vistrope`: what the desktop starts for a link and the
// user for the menu entry. With the instance running and nothing but links
// (or nothing) to hand over, it forwards them over the instance's socket and
// ends, without loading the toolkit or a media library. With a switch (a
// task or a self-check, whose output and status the caller wants) it becomes
// the program, vistrope-app beside it, with the same arguments and process
// id. It ends with status 0 only once the instance has answered that it
// took every link and knew each (a link it does not know is a one-line
// error and status 1, though the known ones ran); an instance that is ending (it no longer listens, or
// closes without an answer) is waited for, at most ten seconds, and one that
// runs on but refuses is asked once more, then the front says why and ends
// with status 1. Without an instance it starts the program in a session of
// its own and ends as soon as that is the instance: the caller (xdg-open, a
// terminal, a launcher) neither waits for the whole session nor ends it with
// its hang-up or Ctrl+C.
#include "platform/instance.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstddef>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

int unknown_links(const std::vector<std::string>& urls)
{
    std::fprintf(stderr, "vistrope: %s\n", platform::unknown_links_text(urls).c_str());
    return 1;
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
int start_instance(const std::string& program, std::vector<std::string> args, const std::vector<std::string>& urls)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int ready[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ready) != 0)
        return cannot_start(program);
    // Until the child has a session of its own, a hang-up or Ctrl+C meant
    // for the caller's group would reach it too: held back until then (in
    // this process they end it once the child is on its way).
    sigset_t caller_signals, before;
    sigemptyset(&caller_signals);
    for (const int number : { SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP })
        sigaddset(&caller_signals, number);
    ::sigprocmask(SIG_BLOCK, &caller_signals, &before);
    const pid_t child = ::fork();
    if (child < 0) {
        ::sigprocmask(SIG_SETMASK, &before, nullptr);
        return cannot_start(program);
    }
    if (child == 0) {
        ::setsid();
        // Signals the caller ignores stay ignored across exec: the instance
        // takes its own defaults. Ignoring first drops any that came for the
        // caller's group before setsid.
        for (const int number : { SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGTSTP, SIGPIPE }) {
            ::signal(number, SIG_IGN);
            ::signal(number, SIG_DFL);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0)
            ::dup2(null, STDIN_FILENO);
        // The program's end outlives exec under a fixed number of its own.
        const int kept = ::fcntl(ready[1], F_DUPFD, 3);
        if (kept < 0)
            _exit(cannot_start(program));
        ::setenv(platform::READY_FD_VARIABLE, std::to_string(kept).c_str(), 1);
        ::execvp(program.c_str(), argv.data());
        _exit(cannot_start(program));
    }
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
    ::close(ready[1]);
    char byte = 0;
    ssize_t n;
    while ((n = ::read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    if (n == 1 && byte == platform::READY_UNKNOWN)
        return unknown_links(urls);
    if (n == 1)
        return 0; // the instance runs on, the caller is free
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

std::string program_beside(const char* argv0)
{
    // The program beside this file (found through /proc, so a link to the
    // front works), else beside argv[0], else on the PATH.
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string program = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string(argv0);
    const std::size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string("vistrope-app") : program.substr(0, slash + 1) + "vistrope-app";
}

bool is_link(const std::string& arg)
{
    return !platform::scheme_urls({ "", arg }).empty();
}

} // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv, argv + argc);
    bool switches = false;
    for (std::size_t i = 1; i < args.size(); ++i)
        switches = switches || (!args[i].empty() && args[i][0] == '-');
    const std::string program = program_beside(argv[0]);
    if (switches) {
        ::execvp(program.c_str(), argv);
        return cannot_start(program);
    }

    // A link too long for the running instance to take goes to no one, a
    // new instance included: the same link works or fails alike either way.
    int status = 0;
    std::vector<std::string> urls;
    for (std::string& url : platform::scheme_urls(args)) {
        if (platform::fits_in_request(url)) {
            urls.push_back(std::move(url));
            continue;
        }
        // Its first 40 bytes, cut where a character begins.
        std::size_t shown = 40;
        while (shown > 0 && (static_cast<unsigned char>(url[shown]) & 0xC0) == 0x80)
            --shown;
        std::fprintf(stderr, "vistrope: un enlace de más de %zu KB no se puede entregar; lo descarto (%.*s…)\n",
            platform::RequestReader::MAX_REQUEST_BYTES / 1024, static_cast<int>(shown), url.c_str());
        status = 1;
    }

    // The running instance takes the links, or holds the lock without taking
    // them (starting, or ending: then it is waited for); else there is none.
    std::size_t taken = 0;
    if (const auto place = platform::instance_place()) {
        const platform::Arrival arrival = platform::reach_instance(*place, urls, platform::LOCK_PATIENCE, false);
        if (arrival.kind == platform::Arrival::Kind::Taken)
            return arrival.unknown.empty() ? status : unknown_links(arrival.unknown);
        if (arrival.kind == platform::Arrival::Kind::Failed) {
            if (arrival.taken > 0)
                std::fprintf(stderr, "vistrope: entregué %zu de %zu enlaces; ", arrival.taken, urls.size());
            else
                std::fputs("vistrope: ", stderr);
            std::fprintf(stderr, "%s\n", arrival.why.c_str());
            return 1;
        }
        taken = arrival.taken;
    }
    // The new instance gets what no instance took, with the other arguments.
    std::vector<std::string> started { args[0] };
    for (std::size_t i = 1; i < args.size(); ++i)
        if (!is_link(args[i]))
            started.push_back(args[i]);
    started.insert(started.end(), urls.begin() + static_cast<std::ptrdiff_t>(taken), urls.end());
    const std::vector<std::string> handed(urls.begin() + static_cast<std::ptrdiff_t>(taken), urls.end());
    const int instance = start_instance(program, std::move(started), handed);
    return instance != 0 ? instance : status;
}
