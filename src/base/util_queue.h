// util: the main queue, the background pools and timers (Qt only: nothing of
// the platform layer).
//
// The main thread owns every window and all program state; background work
// comes back through on_main or after. A job queued with on_main or after
// never runs inline, even when queued from the main thread.
#pragma once

#include <QColor>

#include <atomic>
#include <functional>
#include <future>
#include <memory>

namespace util {

using Job = std::function<void()>;

// Runs the job once on the background pool at user-initiated priority. Any thread.
void in_background(Job job);
// Runs the job once on the background pool at utility (low) priority. Any thread.
void in_utility(Job job);
// Queues the job on the main queue; it runs later, in queueing order. Any
// thread. Once the application object is gone (the program is quitting) the
// job is dropped.
void on_main(Job job);
// Queues the job on the main queue `seconds` from now. Negative or NaN delays
// count as 0; delays beyond Qt's timer range are re-armed until they expire;
// an infinite delay never runs. Any thread.
void after(double seconds, Job job);

// Waits until both background pools are idle (main, after the run loop
// returned: no job may outlive the objects it uses). Main thread.
void wait_for_background();

// Milliseconds for a delay in seconds, saturated to Qt's timer range
// (0 .. INT_MAX); the remainder, in seconds, is what is left to wait after it.
struct TimerSlice {
    int ms;
    double remainder_s;
};
TimerSlice timer_slice(double seconds);

// Work handed to the background pool that its caller may take over: take()
// gives the result, doing the work on the calling thread when no pool thread
// has begun it (the pool busy with other jobs), so the caller never waits
// behind other work and no thread is started for it. Empty once taken.
template <class T>
class Claimable {
public:
    Claimable() = default;
    explicit Claimable(std::function<T()> work)
        : m_shared(std::make_shared<Shared>())
    {
        m_shared->work = std::move(work);
        m_result = m_shared->result.get_future();
        in_background([shared = m_shared] {
            if (!shared->claimed.exchange(true))
                shared->result.set_value(shared->work());
        });
    }
    bool valid() const { return m_shared != nullptr; }
    T take()
    {
        auto shared = std::exchange(m_shared, nullptr);
        if (!shared->claimed.exchange(true))
            return shared->work();
        return m_result.get();
    }

private:
    struct Shared {
        std::atomic<bool> claimed { false };
        std::function<T()> work;
        std::promise<T> result;
    };
    std::shared_ptr<Shared> m_shared;
    std::future<T> m_result;
};

// An sRGB colour from components in 0..1.
QColor rgba(double r, double g, double b, double a);

} // namespace util
