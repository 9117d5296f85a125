// The front program, `vistrope`: what the desktop starts for a link and the
// user for the menu entry. With the instance running and nothing but links
// (or nothing) to hand over, it forwards them over the instance's socket and
// ends, without loading the toolkit or a media library. Otherwise (a switch,
// no instance, an instance that does not answer) it becomes the program,
// vistrope-app beside it, with the same arguments and process id.
#include "platform/instance.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
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
    ::execvp(program.c_str(), argv);
    std::fprintf(stderr, "vistrope: no pude iniciar %s: %s\n", program.c_str(), std::strerror(errno));
    return 127;
}
