#include "base/util_queue.h"

#include "base/util.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <climits>
#include <cmath>

namespace util {

namespace {

QThreadPool& utility_pool()
{
    static QThreadPool* pool = [] {
        auto* p = new QThreadPool;
        p->setThreadPriority(QThread::LowPriority);
        p->setMaxThreadCount(static_cast<int>(std::max(2u, parallelism() / 2)));
        return p;
    }();
    return *pool;
}

// The application object, or null once it is gone: background work that
// finishes while the program quits has no main queue to come back to, and
// its result is dropped.
QCoreApplication* main_queue()
{
    return QCoreApplication::instance();
}

// The job checks where it runs before it touches anything.
Job on_main_checked(Job job)
{
    return [job = std::move(job)] {
        require_main_thread("cola principal");
        job();
    };
}

void arm(double seconds, Job job)
{
    const TimerSlice slice = timer_slice(seconds);
    QCoreApplication* app = main_queue();
    if (slice.ms < 0 || !app)
        return; // infinite: never; no application: the program is ending
    // Precise at every length: Qt's default for 2 s and more is a coarse
    // timer that may fire 5 % early (a 5 s self-timer after 4.76 s).
    QTimer::singleShot(slice.ms, Qt::PreciseTimer, app, [slice, job = std::move(job)]() mutable {
        if (slice.remainder_s > 0)
            arm(slice.remainder_s, std::move(job));
        else
            job();
    });
}

} // namespace

void in_background(Job job)
{
    QThreadPool::globalInstance()->start(std::move(job));
}

void in_utility(Job job)
{
    utility_pool().start(std::move(job));
}

void wait_for_background()
{
    QThreadPool::globalInstance()->waitForDone();
    utility_pool().waitForDone();
}

void on_main(Job job)
{
    if (QCoreApplication* app = main_queue())
        QMetaObject::invokeMethod(app, on_main_checked(std::move(job)), Qt::QueuedConnection);
}

TimerSlice timer_slice(double seconds)
{
    if (std::isnan(seconds) || seconds <= 0)
        return { 0, 0 };
    if (std::isinf(seconds))
        return { -1, 0 };
    const double ms = seconds * 1000.0;
    if (ms <= static_cast<double>(INT_MAX))
        return { static_cast<int>(std::llround(ms)), 0 };
    return { INT_MAX, seconds - static_cast<double>(INT_MAX) / 1000.0 };
}

void after(double seconds, Job job)
{
    QCoreApplication* app = main_queue();
    if (!app)
        return;
    // Timers belong to the thread that starts them: arm on the main thread.
    if (QThread::currentThread() == app->thread()) {
        arm(seconds, on_main_checked(std::move(job)));
        return;
    }
    QMetaObject::invokeMethod(app, [seconds, job = std::move(job)]() mutable {
        arm(seconds, on_main_checked(std::move(job)));
    }, Qt::QueuedConnection);
}

QColor rgba(double r, double g, double b, double a)
{
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b), static_cast<float>(a));
}

} // namespace util
