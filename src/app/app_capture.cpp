// The capture roads of the dispatcher that need no overlay: the full screen
// under the pointer, the previous area again, and the self-timer.
#include "app/app.h"

#include "capture/capture.h"
#include "capture/flash.h"
#include "ui/hud.h"
#include "capture/output.h"
#include "capture/overlay.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <fmt/format.h>

#include <algorithm>

namespace app {

void capture_fullscreen()
{
    util::require_main_thread("hilo principal");
    util::Stopwatch stopwatch("pantalla completa");
    const platform::PointF pointer = platform::pointer_location();
    const auto screen = platform::screen_for_point(pointer.x, pointer.y);
    if (!screen)
        return;
    const std::uint32_t display_id = platform::screen_display_id(*screen);
    const double scale = screen->scale;
    capture::capture_display_with(display_id, std::nullopt, true,
        [stopwatch, scale, display_id](std::optional<QImage> image) {
            stopwatch.lap("pantalla capturada");
            if (!image)
                return;
            auto origin = flash::Origin::on_display(display_id, std::nullopt, *image);
            output::deliver({ std::move(origin), std::move(*image), scale, output::Kind::Fullscreen }, stopwatch);
        },
        scale);
}

void capture_previous_area()
{
    util::require_main_thread("hilo principal");
    const auto area = state::last_area();
    if (!area) {
        overlay::begin(overlay::Mode::Area, overlay::Purpose::Screenshot);
        return;
    }
    util::Stopwatch stopwatch("repetir área");
    // A display that is gone is still asked for; the capture then finds no
    // such display and delivers nothing.
    double scale = 2.0;
    for (const platform::Screen& screen : platform::screens())
        if (platform::screen_display_id(screen) == area->display_id) {
            scale = screen.scale;
            break;
        }
    const platform::RectF rect { area->x, area->y, area->width, area->height };
    const std::uint32_t display_id = area->display_id;
    capture::capture_display_with(display_id, rect, true,
        [stopwatch, scale, display_id, rect](std::optional<QImage> image) {
            if (!image)
                return;
            auto origin = flash::Origin::on_display(display_id, rect, *image);
            output::deliver({ std::move(origin), std::move(*image), scale, output::Kind::Area }, stopwatch);
        },
        scale);
}

void self_timer()
{
    util::require_main_thread("hilo principal");
    // At least the row's shortest wait; a longer one written by hand is kept.
    const std::uint32_t seconds
        = std::max(state::config()->self_timer_seconds, config::range_of(&config::Config::self_timer_seconds).minimum);
    util::log(fmt::format("captura en {} s", seconds));
    hud::toast("timer", fmt::format("Captura en {} s", seconds), 1.2);
    util::after(static_cast<double>(seconds), [] {
        util::require_main_thread("cola principal");
        capture_fullscreen();
    });
}

} // namespace app
