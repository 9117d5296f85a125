// Handing a link to the running instance: from the exec of `vistrope URL` to
// its end (the forwarding, the instance's answer included), and to the
// instance's receipt of the URL, against
// the exec of `true` (the floor of starting any process), in one run. This
// process plays the instance with the program's own single-instance socket;
// the front executable is the real one.
#include "bench_common.h"

#include "platform/url_scheme.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct Run {
    double exit_ms = 0; // spawn to the child's end
};

Run spawn_and_wait(const std::vector<std::string>& argv)
{
    std::vector<char*> raw;
    for (const auto& a : argv)
        raw.push_back(const_cast<char*>(a.c_str()));
    raw.push_back(nullptr);
    QElapsedTimer clock;
    clock.start();
    pid_t pid = 0;
    if (posix_spawn(&pid, raw[0], nullptr, nullptr, raw.data(), environ) != 0) {
        std::fprintf(stderr, "no pude ejecutar %s\n", raw[0]);
        std::exit(1);
    }
    // The front waits for this process's answer: its events go on meanwhile.
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        QCoreApplication::processEvents();
        ::usleep(50);
    }
    return { static_cast<double>(clock.nsecsElapsed()) / 1e6 };
}

// The front's peak resident size in kB, measured by GNU time: a child of this
// process would count this process's pages as its own until its exec.
long front_peak_kb(const std::filesystem::path& front)
{
    if (::access("/usr/bin/time", X_OK) != 0)
        return -1;
    char out[] = "/tmp/vistrope-bench-rss-XXXXXX";
    const int fd = mkstemp(out);
    if (fd < 0)
        return -1;
    ::close(fd);
    spawn_and_wait({ "/usr/bin/time", "-f", "%M", "-o", out, front.string(), "vistrope://capture-area" });
    long kb = -1;
    if (FILE* f = std::fopen(out, "r")) {
        if (std::fscanf(f, "%ld", &kb) != 1)
            kb = -1;
        std::fclose(f);
    }
    std::remove(out);
    return kb;
}

} // namespace

int main(int argc, char** argv)
{
    const bool quick = bench::smoke(argc, argv);
    const std::filesystem::path front = std::filesystem::path(VISTROPE_FRONT);
    // A runtime folder of this run's own: the instance's lock and socket live there.
    char folder[] = "/tmp/vistrope-bench-forward-XXXXXX";
    if (!mkdtemp(folder))
        return 1;
    ::setenv("XDG_RUNTIME_DIR", folder, 1);
    QCoreApplication app(argc, argv);

    platform::SingleInstance::Role role;
    auto instance = platform::SingleInstance::acquire({}, role);
    if (!instance || role != platform::SingleInstance::Role::Primary) {
        std::fprintf(stderr, "no pude hacer de instancia\n");
        return 1;
    }
    QElapsedTimer since_spawn;
    double received_ms = -1;
    instance->on_urls([&](std::vector<std::string> urls, std::function<void(platform::Links)> taken) {
        if (!urls.empty())
            received_ms = static_cast<double>(since_spawn.nsecsElapsed()) / 1e6;
        taken(platform::Links::Known);
    });

    const int runs = quick ? 3 : 40;
    std::vector<double> floor_ms, forward_ms, receipt_ms;
    for (int i = 0; i < runs; ++i) {
        floor_ms.push_back(spawn_and_wait({ "/bin/true" }).exit_ms);
        received_ms = -1;
        since_spawn.start();
        const Run r = spawn_and_wait({ front.string(), "vistrope://capture-area" });
        forward_ms.push_back(r.exit_ms);
        QElapsedTimer patience;
        patience.start();
        while (received_ms < 0 && patience.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        if (received_ms < 0) {
            std::fprintf(stderr, "la instancia no recibió el enlace\n");
            return 1;
        }
        receipt_ms.push_back(received_ms);
    }
    received_ms = -1;
    const long rss_kb = front_peak_kb(front);
    while (received_ms < 0 && rss_kb >= 0 && since_spawn.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    instance.reset();
    std::filesystem::remove_all(folder);

    const auto f = bench::summarize(floor_ms), w = bench::summarize(forward_ms), r = bench::summarize(receipt_ms);
    std::printf("true (the process floor):     %7.2f ms median, %7.2f ms p99\n", f.median_ms, f.p99_ms);
    std::printf("vistrope URL, to its end:     %7.2f ms median, %7.2f ms p99 (%s the floor's time)\n", w.median_ms, w.p99_ms,
        bench::ratio(w.median_ms, f.median_ms).c_str());
    std::printf("vistrope URL, to the receipt: %7.2f ms median, %7.2f ms p99\n", r.median_ms, r.p99_ms);
    if (rss_kb >= 0)
        std::printf("front's peak resident size:   %7.1f MB (goal: at most 20 ms and 10 MB)\n", static_cast<double>(rss_kb) / 1024.0);
    else
        std::printf("front's peak resident size:   n/a (no /usr/bin/time)\n");
    return 0;
}
