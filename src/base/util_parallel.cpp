#include "base/util_parallel.h"

#include "base/util.h"
#include "base/util_thread.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace util {

namespace {

constexpr std::size_t MAX_WORKERS = 15;

// True on a thread while it runs a chunk (and always on the pool's workers):
// a parallel_for from there runs inline, so a worker never waits for workers.
thread_local bool t_in_chunk = false;

// One call's work, on the caller's stack. Workers join it while it is listed
// and has chunks left; the caller unlists it once it has claimed the last
// chunk and then waits only for the workers that joined.
struct Job {
    Job(detail::ChunkFn run, void* body, std::size_t items, std::size_t wanted_chunks)
        : run(run)
        , body(body)
        , items(items)
        , per((items + wanted_chunks - 1) / wanted_chunks)
        , chunks((items + per - 1) / per)
    {
    }

    const detail::ChunkFn run;
    void* const body;
    const std::size_t items;
    const std::size_t per;
    const std::size_t chunks;
    std::size_t helpers_wanted = 0;
    std::size_t helpers_joined = 0; // under the pool's lock
    std::size_t helpers_active = 0; // under the pool's lock
    std::atomic<std::size_t> next { 0 };
    std::atomic<bool> failed { false };
    std::exception_ptr error; // the first, under error_lock
    std::mutex error_lock;
    std::condition_variable done;

    bool wants_helper() const
    {
        return helpers_joined < helpers_wanted && next.load(std::memory_order_relaxed) < chunks;
    }

    // Claims and runs chunks until none is left or one has thrown.
    void take()
    {
        for (std::size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1, std::memory_order_relaxed)) < chunks;) {
            try {
                run(body, i * per, std::min(items, (i + 1) * per));
            } catch (...) {
                std::lock_guard lock(error_lock);
                if (!error)
                    error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
            }
        }
    }
};

class Pool {
public:
    explicit Pool(std::size_t wanted, std::size_t threads_that_start)
    {
        for (std::size_t i = 0; i < wanted; ++i) {
            Thread t = i < threads_that_start ? Thread::start("vistrope-chunks", [this] { work(); }) : Thread();
            if (!t.started()) {
                util::log(fmt_started(i, wanted));
                break;
            }
            m_threads.push_back(std::move(t));
        }
    }

    ~Pool()
    {
        {
            std::lock_guard lock(m_lock);
            m_stopping = true;
        }
        m_wake.notify_all();
        for (auto& t : m_threads)
            t.join();
    }

    std::size_t workers() const { return m_threads.size(); }

    void run(Job& job)
    {
        {
            std::lock_guard lock(m_lock);
            m_jobs.push_back(&job);
        }
        // One wake-up call for the whole pool when the job wants all of it.
        if (job.helpers_wanted >= m_threads.size()) {
            m_wake.notify_all();
        } else {
            for (std::size_t i = 0; i < job.helpers_wanted; ++i)
                m_wake.notify_one();
        }
        t_in_chunk = true;
        job.take();
        t_in_chunk = false;
        std::unique_lock lock(m_lock);
        std::erase(m_jobs, &job);
        job.done.wait(lock, [&] { return job.helpers_active == 0; });
    }

private:
    static std::string fmt_started(std::size_t started, std::size_t wanted)
    {
        return "hilos de trabajo: se iniciaron " + std::to_string(started) + " de " + std::to_string(wanted)
            + "; el resto del trabajo corre en el hilo que lo pide";
    }

    Job* pick() const
    {
        for (Job* j : m_jobs)
            if (j->wants_helper())
                return j;
        return nullptr;
    }

    void work()
    {
        t_in_chunk = true;
        std::unique_lock lock(m_lock);
        for (;;) {
            Job* job = nullptr;
            m_wake.wait(lock, [&] { return m_stopping || (job = pick()); });
            if (m_stopping)
                return;
            ++job->helpers_joined;
            ++job->helpers_active;
            lock.unlock();
            job->take();
            lock.lock();
            if (--job->helpers_active == 0)
                job->done.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::vector<Job*> m_jobs;
    bool m_stopping = false;
    std::vector<Thread> m_threads; // last: the workers use the rest
};

std::mutex g_pool_lock;
Pool* g_pool = nullptr;

// Leaked on purpose: never stopped at exit, where a detached thread of the
// program may still be inside a call.
Pool& pool()
{
    std::lock_guard lock(g_pool_lock);
    if (!g_pool)
        g_pool = new Pool(std::min<std::size_t>(parallelism(), MAX_WORKERS + 1) - 1, static_cast<std::size_t>(-1));
    return *g_pool;
}

} // namespace

namespace detail {

void parallel_for(std::size_t items, Split split, ChunkFn run, void* body)
{
    if (items == 0)
        return;
    const std::size_t threads = split.threads ? split.threads : parallelism();
    const std::size_t wanted = std::min(split.chunks ? split.chunks : threads, items);
    if (threads <= 1 || wanted <= 1 || t_in_chunk) {
        run(body, 0, items);
        return;
    }
    Pool& p = pool();
    if (p.workers() == 0) {
        run(body, 0, items);
        return;
    }
    Job job(run, body, items, wanted);
    job.helpers_wanted = std::min({ threads - 1, job.chunks - 1, p.workers() });
    p.run(job);
    if (job.error)
        std::rethrow_exception(job.error);
}

} // namespace detail

std::size_t parallel_workers()
{
    return pool().workers();
}

void restart_parallel_pool_for_tests(std::size_t threads_that_start)
{
    std::lock_guard lock(g_pool_lock);
    delete g_pool;
    g_pool = new Pool(std::min<std::size_t>(parallelism(), MAX_WORKERS + 1) - 1, threads_that_start);
}

} // namespace util
