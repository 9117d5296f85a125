#include "capture/capture.h"

#include "ui/hud.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <QCoreApplication>

#include <fmt/format.h>

#include <unistd.h>

#include <cmath>
#include <deque>
#include <set>

namespace capture {

namespace {

struct State {
    Content content;
    std::deque<Waiter> waiters;
    bool refreshing = false;
    std::shared_ptr<platform::ScreenCapture> backend; // shared only with holds, which see it go
    std::function<bool()> overlay_open;
};

State& state()
{
    util::require_main_thread("hilo principal");
    static auto* s = new State(); // released by the application, never by static destruction
    return *s;
}

// A completion that runs at most once, whatever the platform does with its
// handler (a second call is dropped). Shared so the handler can be copied.
class Once {
public:
    explicit Once(Completion completion)
        : m_completion(std::make_shared<std::optional<Completion>>(std::move(completion)))
    {
    }

    // Hands the result to the main queue, where the completion runs.
    void deliver_on_main(std::optional<QImage> image) const
    {
        if (!QCoreApplication::instance())
            return; // the program is ending; nobody waits any more
        auto slot = m_completion;
        util::on_main([slot, image = std::move(image)]() mutable {
            if (!slot->has_value())
                return;
            Completion completion = std::move(**slot);
            slot->reset();
            completion(std::move(image));
        });
    }

private:
    std::shared_ptr<std::optional<Completion>> m_completion;
};

void finish_fetch(platform::ContentResult result)
{
    State& s = state();
    s.refreshing = false;
    Content fetched;
    if (result)
        fetched = std::make_shared<const platform::ShareableContent>(std::move(*result));
    if (fetched)
        s.content = fetched; // a failed fetch keeps the older cache
    // Requests queued while these run (a retry) wait for the next fetch.
    std::deque<Waiter> taken;
    taken.swap(s.waiters);
    for (Waiter& waiter : taken)
        waiter(fetched);
}

void grab_done(const Once& once, platform::ImageResult result)
{
    if (!result) {
        util::log("la captura falló: " + result.error());
        once.deliver_on_main(std::nullopt);
        return;
    }
    once.deliver_on_main(std::move(*result));
}

// The user picked a window and waits for it: a failure says so.
void window_failed(Completion completion)
{
    hud::toast("exclamationmark.triangle", "No se pudo capturar la ventana", 1.6);
    completion(std::nullopt);
}

void window_shot(const Content& content, platform::WindowGrab grab, bool retried, Completion completion)
{
    if (content && !find_window(*content, grab.window_id) && !retried) {
        // A window opened after the last fetch: fetch once more and look again.
        auto shared = std::make_shared<Completion>(std::move(completion));
        refresh(Waiter([grab, shared](Content fresh) mutable { window_shot(fresh, grab, true, std::move(*shared)); }));
        return;
    }
    if (!content || !find_window(*content, grab.window_id)) {
        util::log(fmt::format("no encontré la ventana {}", grab.window_id));
        window_failed(std::move(completion));
        return;
    }
    auto failed_or_done = [completion = std::move(completion)](std::optional<QImage> image) mutable {
        if (!image) {
            window_failed(std::move(completion));
            return;
        }
        completion(std::move(image));
    };
    Once once(std::move(failed_or_done));
    backend().grab_window(grab, [once](platform::ImageResult r) { grab_done(once, std::move(r)); });
}

// The program's windows: those the content lists under our process, and the
// ones on screen now (panels shown since the content was fetched).
std::vector<std::uint32_t> own_window_ids(const platform::ShareableContent& content)
{
    std::set<std::uint32_t> ids;
    const std::int64_t pid = ::getpid();
    for (const auto& w : content.windows)
        if (w.pid == pid)
            ids.insert(w.window_id);
    for (std::uint32_t id : backend().own_windows())
        ids.insert(id);
    return { ids.begin(), ids.end() };
}

} // namespace

platform::ScreenCapture& backend()
{
    State& s = state();
    if (!s.backend) {
        auto created = platform::create_x11_screen_capture();
        if (!created)
            util::fatal("captura: " + created.error());
        s.backend = std::move(*created);
    }
    return *s.backend;
}

std::shared_ptr<void> hold_idle_pictures()
{
    // A hold let go after its backend was replaced or closed (at quit) has
    // nothing left to release.
    struct Hold {
        std::weak_ptr<platform::ScreenCapture> backend;
        ~Hold()
        {
            if (auto b = backend.lock())
                b->hold_idle(false);
        }
    };
    auto hold = std::make_shared<Hold>();
    backend().hold_idle(true);
    hold->backend = state().backend;
    return hold;
}

void set_backend(std::unique_ptr<platform::ScreenCapture> backend)
{
    state().backend = std::move(backend);
}

void set_overlay_open_query(std::function<bool()> query)
{
    state().overlay_open = std::move(query);
}

std::optional<platform::RectF> clip_region(const platform::RectF& region, double width, double height)
{
    const double x0 = std::max(region.x, 0.0);
    const double y0 = std::max(region.y, 0.0);
    const double x1 = std::min(region.x + region.w, width);
    const double y1 = std::min(region.y + region.h, height);
    if (!(x1 > x0) || !(y1 > y0))
        return std::nullopt;
    return platform::RectF { x0, y0, x1 - x0, y1 - y0 };
}

void after_screen_settles(std::function<void()> done)
{
    backend().after_screen_settles(std::move(done));
}

PixelSize pixel_size(double width_points, double height_points, double scale)
{
    return { platform::pixels_for(width_points, scale), platform::pixels_for(height_points, scale) };
}

const platform::ShareableDisplay* find_display(const platform::ShareableContent& content, std::uint32_t display_id)
{
    for (const auto& d : content.displays)
        if (d.display_id == display_id)
            return &d;
    return nullptr;
}

const platform::ShareableWindow* find_window(const platform::ShareableContent& content, std::uint32_t window_id)
{
    for (const auto& w : content.windows)
        if (w.window_id == window_id)
            return &w;
    return nullptr;
}

const platform::RunningApplication* own_app(const platform::ShareableContent& content)
{
    const std::int64_t pid = ::getpid();
    for (const auto& a : content.applications)
        if (a.pid == pid)
            return &a;
    return nullptr;
}

void refresh(std::optional<Waiter> request)
{
    State& s = state();
    if (request)
        s.waiters.push_back(std::move(*request));
    if (s.refreshing)
        return;
    s.refreshing = true;
    backend().fetch_content([](platform::ContentResult result) {
        if (!result)
            util::log("no pude leer las pantallas y ventanas compartibles: " + result.error());
        if (!QCoreApplication::instance())
            return;
        auto shared = std::make_shared<platform::ContentResult>(std::move(result));
        util::on_main([shared] { finish_fetch(std::move(*shared)); });
    });
}

void probe(std::move_only_function<void(bool)> done)
{
    auto slot = std::make_shared<std::move_only_function<void(bool)>>(std::move(done));
    backend().fetch_content([slot](platform::ContentResult result) {
        const bool ok = result.has_value();
        if (!QCoreApplication::instance())
            return;
        util::on_main([slot, ok] { (*slot)(ok); });
    });
}

void display_shot(Content content, std::uint32_t display_id, CaptureRegion region, bool exclude_self, bool retried,
    Completion completion, double scale)
{
    State& s = state();
    if (!content) {
        completion(std::nullopt);
        return;
    }
    const platform::ShareableDisplay* display = find_display(*content, display_id);
    if (!display) {
        util::log(fmt::format("no encontré la pantalla {}", display_id));
        completion(std::nullopt);
        return;
    }
    if (exclude_self && !own_app(*content) && !retried && s.overlay_open && s.overlay_open()) {
        // The content predates the overlay's panels: fetch once more so
        // they are known, then capture with them left out.
        auto shared = std::make_shared<Completion>(std::move(completion));
        refresh(Waiter([display_id, region, scale, shared](Content fresh) mutable {
            display_shot(std::move(fresh), display_id, region, true, true, std::move(*shared), scale);
        }));
        return;
    }
    if (region) {
        // Only what lies on the display is captured, at its own proportions:
        // a rectangle reaching past an edge is never stretched to its size.
        const auto on_display = clip_region(*region, display->frame.w, display->frame.h);
        if (!on_display) {
            util::log(fmt::format("la región no toca la pantalla {}", display_id));
            completion(std::nullopt);
            return;
        }
        region = on_display;
    }
    platform::DisplayGrab grab;
    grab.display = *display;
    grab.region = region;
    const PixelSize size = region ? pixel_size(region->w, region->h, scale)
                                  : pixel_size(display->frame.w, display->frame.h, scale);
    grab.width = size.width;
    grab.height = size.height;
    if (exclude_self)
        grab.excluded = own_window_ids(*content);
    Once once(std::move(completion));
    backend().grab_display(std::move(grab), [once](platform::ImageResult r) { grab_done(once, std::move(r)); });
}

void capture_display_with(std::uint32_t display_id, CaptureRegion region, bool exclude_self, Completion completion,
    double scale)
{
    State& s = state();
    if (s.content) {
        display_shot(s.content, display_id, region, exclude_self, false, std::move(completion), scale);
        refresh();
        return;
    }
    auto shared = std::make_shared<Completion>(std::move(completion));
    refresh(Waiter([display_id, region, exclude_self, scale, shared](Content content) mutable {
        display_shot(std::move(content), display_id, region, exclude_self, false, std::move(*shared), scale);
    }));
}

void capture_window(std::uint32_t window_id, bool with_shadow, Completion completion)
{
    capture_window(platform::WindowGrab { window_id, with_shadow }, std::move(completion));
}

void capture_window(platform::WindowGrab grab, Completion completion)
{
    State& s = state();
    if (s.content) {
        window_shot(s.content, grab, false, std::move(completion));
        refresh();
        return;
    }
    auto shared = std::make_shared<Completion>(std::move(completion));
    refresh(Waiter([grab, shared](Content content) mutable { window_shot(content, grab, false, std::move(*shared)); }));
}

void with_content(std::move_only_function<void(Content, bool)> continuation)
{
    State& s = state();
    if (s.content) {
        continuation(s.content, false);
        refresh();
        return;
    }
    auto shared = std::make_shared<std::move_only_function<void(Content, bool)>>(std::move(continuation));
    refresh(Waiter([shared](Content content) mutable { (*shared)(std::move(content), true); }));
}

Content cached()
{
    return state().content;
}

bool refreshing()
{
    return state().refreshing;
}

std::size_t waiting()
{
    return state().waiters.size();
}

void reset_for_tests()
{
    State& s = state();
    s.content.reset();
    s.waiters.clear();
    s.refreshing = false;
    s.backend.reset();
    s.overlay_open = nullptr;
}

} // namespace capture
