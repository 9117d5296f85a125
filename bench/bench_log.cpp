// The log line is written from every thread, often on hot paths (laps of a
// capture): time one util::log call against a bare fprintf of the same line
// to stderr-equivalent /dev/null, and print the ratio.
#include "bench_common.h"
#include "base/util.h"

#include <cstdlib>
#include <fmt/format.h>

int main(int argc, char** argv)
{
    const bool quick = bench::smoke(argc, argv);
    const int lines = quick ? 100 : 20000;
    // Keep the run's own home so the real log is not touched.
    char tmpl[] = "/tmp/vistrope-bench-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    ::setenv("HOME", tmpl, 1);
    if (!std::freopen("/dev/null", "w", stderr))
        return 1;

    const auto ours = bench::time_runs(5, [&] {
        for (int i = 0; i < lines; ++i)
            util::log(fmt::format("captura: paso {} en 1.0 ms", i));
    });
    std::FILE* sink = std::fopen("/dev/null", "w");
    const auto plain = bench::time_runs(5, [&] {
        for (int i = 0; i < lines; ++i) {
            std::fprintf(sink, "[vistrope] %s\n", fmt::format("captura: paso {} en 1.0 ms", i).c_str());
            std::fflush(sink);
        }
    });
    std::fclose(sink);
    std::printf("util::log: %d lines in %.2f ms (%.3f us/line); fprintf+fflush to /dev/null: %.2f ms; ratio plain/ours %s\n",
        lines, ours.median_ms, ours.median_ms * 1000.0 / lines, plain.median_ms, bench::ratio(plain.median_ms, ours.median_ms).c_str());
    std::filesystem::remove_all(tmpl);
    return 0;
}
