#include "scroll/scroll.h"

#include "capture/overlay_geometry.h"
#include "base/util.h"
#include "base/util_queue.h"

#include <fmt/format.h>

namespace scroll {

void start(std::uint32_t display_id, platform::RectF region, double scale)
{
    util::require_main_thread("hilo principal");
    // FIXME: the scrolling capture is not built yet; the request is only logged.
    util::log(fmt::format("captura con desplazamiento pedida: pantalla {}, región ({:.1f}, {:.1f}, {:.1f}, {:.1f}), escala {:.2f}",
        display_id, region.x, region.y, region.w, region.h, scale));
}

void start_cocoa(platform::RectF r)
{
    const auto screen = util::screen_for_point(r.x + r.w / 2, r.y + r.h / 2);
    if (!screen)
        return;
    const auto local = overlay::clip_to_local(r, screen->frame);
    if (!local)
        return;
    start(util::screen_display_id(*screen), *local, screen->scale);
}

// FIXME: no scrolling capture exists until it lands.
bool running()
{
    return false;
}

void finish()
{
    util::log("desplazamiento: terminaría la captura en curso");
}

} // namespace scroll
