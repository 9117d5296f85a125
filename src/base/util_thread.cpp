#include "base/util_thread.h"

#include "base/util.h"

#include <pthread.h>

#include <atomic>
#include <set>
#include <system_error>

namespace util {

namespace {

std::atomic<bool> g_refuse_for_tests { false };

std::string cut(std::string name)
{
    if (name.size() > THREAD_NAME_MAX)
        name.resize(THREAD_NAME_MAX);
    return name;
}

// One line per kind of thread: a system out of threads would otherwise
// fill the log with one line per sound or per child.
void log_refused(const std::string& name, const std::system_error& error)
{
    static std::mutex* lock = new std::mutex; // threads may outlive statics
    static std::set<std::string>* logged = new std::set<std::string>;
    {
        std::lock_guard guard(*lock);
        if (!logged->insert(name).second)
            return;
    }
    util::log("no pude iniciar el hilo " + name + ": " + error.what());
}

std::thread launch(std::string name, ThreadBody body)
{
    name = cut(std::move(name));
    try {
        if (g_refuse_for_tests.load())
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread([name, body = std::move(body)]() mutable {
            // Named first, before the body can start threads of its own.
            pthread_setname_np(pthread_self(), name.c_str());
            body();
        });
    } catch (const std::system_error& error) {
        log_refused(name, error);
        return {};
    }
}

} // namespace

Thread Thread::start(std::string name, ThreadBody body)
{
    Thread t;
    t.m_thread = launch(std::move(name), std::move(body));
    return t;
}

Thread::~Thread()
{
    join();
}

Thread& Thread::operator=(Thread&& other) noexcept
{
    if (this != &other) {
        join();
        m_thread = std::move(other.m_thread);
    }
    return *this;
}

void Thread::join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void Thread::detach()
{
    if (m_thread.joinable())
        m_thread.detach();
}

bool start_detached(std::string name, ThreadBody body)
{
    std::thread t = launch(std::move(name), std::move(body));
    if (!t.joinable())
        return false;
    t.detach();
    return true;
}

ThreadName::ThreadName(const std::string& name)
{
    pthread_getname_np(pthread_self(), m_old, sizeof m_old);
    pthread_setname_np(pthread_self(), cut(name).c_str());
}

ThreadName::~ThreadName()
{
    pthread_setname_np(pthread_self(), m_old);
}

std::string thread_name()
{
    char name[THREAD_NAME_MAX + 1] {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

Worker::Worker(std::string name, Refused when_refused)
    : m_when_refused(when_refused)
{
    m_thread = Thread::start(std::move(name), [this] { run(); });
    m_started = m_thread.started();
}

Worker::~Worker()
{
    std::deque<Job> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_quitting = true;
        dropped.swap(m_jobs);
    }
    m_changed.notify_all();
    // Let go outside the lock (what they hold may post) and before the join:
    // the running job may be waiting for what they hold to go.
    dropped.clear();
    m_thread.join();
}

bool Worker::post(Job job)
{
    if (!m_started) {
        if (m_when_refused == Refused::Fail)
            return false;
        {
            std::lock_guard lock(m_mutex);
            if (m_closed)
                return false;
        }
        std::lock_guard one(m_inline);
        job();
        return true;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return false;
        m_jobs.push_back(std::move(job));
    }
    m_changed.notify_all();
    return true;
}

void Worker::wait_idle()
{
    if (!m_started) {
        std::lock_guard one(m_inline); // an inline job on another thread
        return;
    }
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_quitting || (m_jobs.empty() && !m_busy); });
}

void Worker::finish()
{
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void Worker::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_quitting || m_closed || !m_jobs.empty(); });
        if (m_quitting || m_jobs.empty())
            break;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        job();
        job = nullptr; // what it holds goes before the next job
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
    m_busy = false;
    m_changed.notify_all();
}

void refuse_threads_for_tests(bool refuse)
{
    g_refuse_for_tests.store(refuse);
}

} // namespace util
