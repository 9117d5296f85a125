// util: the program's own threads (the standard library only).
//
// Every thread the program starts comes from here (the fork-join pool's
// workers included), so that each one
// - carries a name, "vistrope-…", that top -H, ps -L and a debugger show.
//   The kernel keeps 15 characters of it; a longer name is cut. A thread a
//   library starts takes the name of the thread that starts it: open such a
//   library (an encoder with threads of its own) on a named thread, or inside
//   a ThreadName;
// - is refused one way: when the system will not start a thread, no
//   exception reaches the caller; the refusal is logged once per name and the
//   caller either runs the work inline or fails it cleanly. Nothing waits on
//   a thread that never started: the body of a refused thread is dropped
//   without being called.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace util {

using ThreadBody = std::move_only_function<void()>;

// The longest thread name the kernel keeps.
inline constexpr std::size_t THREAD_NAME_MAX = 15;

// A named thread running one body. Like std::thread, but its destructor
// joins, and it is empty (started() false) when the system refused it.
class Thread final {
public:
    Thread() = default;
    // Starts `body` on a new thread named `name`. Any thread.
    [[nodiscard]] static Thread start(std::string name, ThreadBody body);
    // Joins the thread, unless detached. Never on the thread itself.
    ~Thread();
    Thread(Thread&& other) noexcept = default;
    // Joins the thread this one held before taking the other's.
    Thread& operator=(Thread&& other) noexcept;

    bool started() const { return m_thread.joinable(); }
    // Waits for the body to return; nothing when empty. Never on the thread itself.
    void join();
    // Lets the body run on its own; the Thread becomes empty.
    void detach();

private:
    std::thread m_thread;
};

// Starts `body` on a named thread of its own that nobody joins; false when
// the system refused it (body dropped uncalled). Any thread.
[[nodiscard]] bool start_detached(std::string name, ThreadBody body);

// Names the calling thread while the object lives, then gives it its old
// name back: the threads a library starts meanwhile keep this name.
class ThreadName final {
public:
    explicit ThreadName(const std::string& name);
    ~ThreadName();
    ThreadName(const ThreadName&) = delete;
    ThreadName& operator=(const ThreadName&) = delete;

private:
    char m_old[THREAD_NAME_MAX + 1] {};
};

// The calling thread's name.
std::string thread_name();

// A named thread with its queue: runs posted jobs one at a time, in the order
// they were posted.
//
// Stop and join rules: finish() takes no more jobs, lets the queued ones run
// and joins; the destructor drops the jobs not yet begun (whoever posted them
// is going away), waits for the one running and joins. Neither may run on the
// worker's own thread. A job may post further jobs until finish() begins.
//
// A refused thread: with Refused::RunInline, post runs the job at once on
// the calling thread (its callers must allow that); with Refused::Fail, post
// drops it and returns false, and the caller fails the work cleanly.
class Worker final {
public:
    using Job = std::move_only_function<void()>;
    enum class Refused { RunInline, Fail };

    Worker(std::string name, Refused when_refused);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Whether the thread was started (false: the system refused it). Fixed
    // at construction: post() may read it while finish() joins the thread.
    bool started() const { return m_started; }
    // Queues the job, or runs it inline (see above); false when the job was
    // dropped uncalled: the worker finishing or stopping, or refused with
    // Refused::Fail. Any thread.
    bool post(Job job);
    // Waits until every job posted so far has run. Any thread but the worker's.
    void wait_idle();
    // Takes no more jobs, runs those queued and joins. Any thread but the
    // worker's; a second call does nothing.
    void finish();

private:
    void run();

    const Refused m_when_refused;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs; // with m_mutex
    bool m_busy = false;    // with m_mutex: a job runs
    bool m_closed = false;  // with m_mutex: no more jobs taken
    bool m_quitting = false; // with m_mutex: the thread ends without the queue
    std::recursive_mutex m_inline; // one inline job at a time, as the thread would
    bool m_started = false; // set once, before anyone can post
    Thread m_thread;        // last: it starts once the rest is built
};

// Tests: while on, every thread started here is refused, as the system
// refuses one (std::system_error from std::thread).
void refuse_threads_for_tests(bool refuse);

} // namespace util
