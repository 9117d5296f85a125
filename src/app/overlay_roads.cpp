// The roads out of the selection overlay into the rest of the program, which
// the shell installs in the overlay's slot (listeners.cpp).
#include "capture/overlay.h"

#include "capture/capture.h"
#include "capture/flash.h"
#include "capture/output.h"
#include "capture/ocr.h"
#include "record/recorder.h"
#include "scroll/scroll.h"
#include "app/app.h"
#include "platform/panels.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <fmt/format.h>

#include <atomic>
#include <future>
#include <memory>

namespace overlay {

namespace {

// The on-screen window list as the filter reads it: bounds back in top-left
// points, the layer, owner and opacity the window manager reports.
std::vector<WindowEntry> window_entries()
{
    std::vector<WindowEntry> out;
    auto list = capture::backend().window_list();
    if (!list) {
        util::log("lista de ventanas: " + list.error());
        return out;
    }
    const double ph = platform::primary_height();
    for (const auto& w : *list) {
        if (!w.on_screen)
            continue;
        WindowEntry e;
        e.layer = w.layer;
        e.owner_pid = static_cast<double>(w.pid);
        e.alpha = w.opacity;
        e.bounds = platform::rect_to_top_left(w.frame, ph);
        e.number = w.window_id;
        out.push_back(e);
    }
    return out;
}

// The flash's origin for a finished capture: a window starts from its
// frozen crop with rounded corners; anything else from the image itself.
flash::Origin origin_of(const Finished& f)
{
    flash::Origin o;
    o.rect = f.rect;
    if (f.kind == Kind::Window) {
        o.image = f.crop;
        o.corner_radius = 12;
    } else {
        o.image = f.image;
        o.corner_radius = 0;
    }
    return o;
}

output::Kind output_kind(Kind kind)
{
    switch (kind) {
    case Kind::Area:
        return output::Kind::Area;
    case Kind::Window:
        return output::Kind::Window;
    case Kind::Fullscreen:
        return output::Kind::Fullscreen;
    }
    return output::Kind::Area;
}

// Takes the grab on the background pool while `meanwhile` runs here. When
// no pool thread has taken it up by then (the pool busy with a delivery),
// it is taken here instead: the main thread never waits behind other work.
platform::ImageResult grab_beside(platform::ScreenCapture& backend, const platform::DisplayGrab& grab,
    std::function<void()> meanwhile)
{
    util::Claimable<platform::ImageResult> shot([&backend, grab] { return backend.grab_display_now(grab); });
    if (meanwhile)
        meanwhile();
    return shot.take();
}

Roads shell_roads()
{
    capture::set_overlay_open_query([] { return is_open(); });
    Roads r;
    r.window_list = window_entries;
    // The picture under the panels is taken here and now, the main thread
    // waiting for it: the user waits for the panels anyway, and a round trip
    // through the capture queue (and the fetch that follows each use) only
    // delays them. The program's own visible windows are left out as usual.
    r.screen_picture = [](std::uint32_t display_id, double scale, std::function<void()> meanwhile, CaptureDone done) {
        auto& backend = capture::backend();
        for (const auto& d : platform::shareable_displays()) {
            if (d.display_id != display_id)
                continue;
            platform::DisplayGrab grab;
            grab.display = d;
            grab.width = platform::pixels_for(d.frame.w, scale);
            grab.height = platform::pixels_for(d.frame.h, scale);
            grab.excluded = backend.own_windows();
            auto image = grab_beside(backend, grab, std::move(meanwhile));
            if (!image) {
                util::log("la captura falló: " + image.error());
                done(std::nullopt);
                return;
            }
            done(std::move(*image));
            return;
        }
        util::log(fmt::format("no encontré la pantalla {}", display_id));
        done(std::nullopt);
    };
    // A live capture follows the panels just hidden: it waits until the
    // screen (and the compositor) no longer shows them.
    r.capture_display = [](std::uint32_t display, std::optional<RectF> region, CaptureDone done, double scale) {
        capture::after_screen_settles([=] {
            capture::capture_display_with(display, region, true, [done](std::optional<QImage> image) { done(std::move(image)); },
                scale);
        });
    };
    r.capture_window = [](std::uint32_t window, bool shadow, CaptureDone done) {
        capture::capture_window(window, shadow, [done = std::move(done)](std::optional<QImage> image) { done(std::move(image)); });
    };
    r.capture_window_content = [](std::uint32_t window, CaptureDone done) {
        capture::capture_window(platform::WindowGrab { window, false, platform::WindowPart::Content },
            [done = std::move(done)](std::optional<QImage> image) { done(std::move(image)); });
    };
    r.deliver_shot = [](Finished f, util::Stopwatch sw) {
        flash::Origin origin = origin_of(f);
        output::deliver({ std::move(origin), std::move(f.image), f.scale, output_kind(f.kind) }, std::move(sw));
    };
    r.deliver_text = [](Finished f, util::Stopwatch sw) {
        // A text capture shows its flash in place and puts no picture anywhere.
        flash::play(origin_of(f), std::nullopt);
        ocr::start_text_capture(std::move(f.image), f.scale, std::move(sw));
    };
    r.trim_transparent = [](const QImage& image) { return output::trim_transparent(image).value_or(QImage()); };
    r.record = [](std::uint32_t display, std::optional<RectF> region, std::optional<std::uint32_t> window, double scale,
                   actions::RecordingFormat format) {
        recorder::start_inner(display, region, window, scale, format);
    };
    r.scroll = [](std::uint32_t display, RectF region, double scale) { scroll::start(display, region, scale); };
    r.scroll_window = [](RectF rect) { scroll::start_in_global(rect); };
    r.self_timer = [] { app::run(app::AppAction::SelfTimer); };
    r.warm_up_text = [] { app::services().warm_up_text(); };
    r.compositor_running = [] { return platform::compositor_running(); };
    return r;
}

} // namespace

} // namespace overlay

namespace app {

overlay::Roads overlay_roads()
{
    return overlay::shell_roads();
}

} // namespace app
