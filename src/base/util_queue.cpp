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
    QTimer::singleShot(slice.ms, app, [slice, job = std::move(job)]() mutable {
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

std::optional<platform::Screen> screen_of_pointer()
{
    const platform::PointF pointer = platform::pointer_location();
    if (auto screen = screen_for_point(pointer.x, pointer.y))
        return screen;
    const auto all = platform::screens();
    if (all.empty())
        return std::nullopt;
    return all.front();
}

QRect window_rect(const platform::RectF& frame)
{
    const platform::RectF r = platform::rect_to_top_left(frame, primary_height());
    return QRect(static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)), static_cast<int>(std::lround(r.w)),
        static_cast<int>(std::lround(r.h)));
}

platform::RectF window_frame(const QRect& rect)
{
    return platform::rect_from_top_left({ double(rect.x()), double(rect.y()), double(rect.width()), double(rect.height()) },
        primary_height());
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
