// Timing and reporting helpers shared by the benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace bench {

// True when the program was started with --smoke: tiny inputs, one run each.
inline bool smoke(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--smoke") == 0)
            return true;
    return false;
}

struct Timing {
    double median_ms = 0;
    double p99_ms = 0;
    double min_ms = 0;
};

// Runs `fn` `runs` times (after one warm-up run) and returns the median,
// 99th percentile and minimum wall time in milliseconds.
inline Timing time_runs(int runs, const std::function<void()>& fn, bool warm_up = true)
{
    if (warm_up)
        fn();
    std::vector<double> ms;
    ms.reserve(runs);
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    Timing t;
    t.median_ms = ms[ms.size() / 2];
    t.p99_ms = ms[std::min(ms.size() - 1, static_cast<size_t>(ms.size() * 0.99))];
    t.min_ms = ms.front();
    return t;
}

// Statistics of already-measured samples (milliseconds).
inline Timing summarize(std::vector<double> ms)
{
    Timing t;
    if (ms.empty())
        return t;
    std::sort(ms.begin(), ms.end());
    t.median_ms = ms[ms.size() / 2];
    t.p99_ms = ms[std::min(ms.size() - 1, static_cast<size_t>(ms.size() * 0.99))];
    t.min_ms = ms.front();
    return t;
}

// The machine's load averages over 1, 5 and 15 minutes, as /proc/loadavg
// gives them ("load 2.10 1.85 1.40"), to print beside timings.
inline std::string load()
{
    char buf[64] = {};
    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
        double a = 0, b = 0, c = 0;
        if (std::fscanf(f, "%lf %lf %lf", &a, &b, &c) == 3)
            std::snprintf(buf, sizeof buf, "load %.2f %.2f %.2f", a, b, c);
        std::fclose(f);
    }
    return buf[0] ? buf : "load unknown";
}

// "reference / ours" as "12.34x": how many times faster ours is.
inline std::string ratio(double reference, double ours)
{
    if (ours <= 0)
        return "n/a";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2fx", reference / ours);
    return buf;
}

} // namespace bench
