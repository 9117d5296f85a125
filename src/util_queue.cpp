#include "util_queue.h"

#include "util.h"

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

QCoreApplication& app_or_die()
{
    auto* app = QCoreApplication::instance();
    if (!app)
        fatal("cola principal");
    return *app;
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
    if (slice.ms < 0)
        return; // infinite: never
    QTimer::singleShot(slice.ms, &app_or_die(), [slice, job = std::move(job)]() mutable {
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

void on_main(Job job)
{
    QMetaObject::invokeMethod(&app_or_die(), on_main_checked(std::move(job)), Qt::QueuedConnection);
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
    // Timers belong to the thread that starts them: arm on the main thread.
    if (QThread::currentThread() == app_or_die().thread()) {
        arm(seconds, on_main_checked(std::move(job)));
        return;
    }
    QMetaObject::invokeMethod(&app_or_die(), [seconds, job = std::move(job)]() mutable {
        arm(seconds, on_main_checked(std::move(job)));
    }, Qt::QueuedConnection);
}

double primary_height()
{
    const auto screens = platform::screens();
    return screens.empty() ? 0.0 : screens.front().frame.h;
}

std::optional<platform::Screen> screen_for_point(double x, double y)
{
    for (const auto& screen : platform::screens())
        if (screen.frame.contains(x, y))
            return screen;
    return std::nullopt;
}

std::uint32_t screen_display_id(const platform::Screen& screen)
{
    return screen.display_id;
}

QColor rgba(double r, double g, double b, double a)
{
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b), static_cast<float>(a));
}

} // namespace util
