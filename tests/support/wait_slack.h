// How far a test stretches its deadlines. A deadline only bounds how long a
// failing test takes to say so; it never decides a pass, so it is set for a
// loaded machine: four times what a quiet one needs, or VISTROPE_WAIT_SLACK.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <thread>

namespace testing_support {

inline int wait_slack()
{
    static const int slack = [] {
        const char* v = std::getenv("VISTROPE_WAIT_SLACK");
        const int n = v ? std::atoi(v) : 0;
        return n > 0 ? n : 4;
    }();
    return slack;
}

// Polls `done` every millisecond without an event loop (threads, files,
// other processes) until it holds or the stretched deadline passes.
inline bool poll_until(const std::function<bool()>& done, int ms = 5000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms) * wait_slack();
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace testing_support
