#include "capture/flash.h"

#include "base/util.h"

#include <fmt/format.h>

namespace flash {

std::optional<Origin> Origin::on_display(std::uint32_t display_id, const std::optional<platform::RectF>& region,
    std::optional<QImage> image)
{
    util::require_main_thread("hilo principal");
    for (const platform::Screen& screen : platform::screens()) {
        if (screen.display_id != display_id)
            continue;
        const platform::RectF& f = screen.frame;
        Origin origin;
        origin.rect = region ? platform::RectF { f.x + region->x, f.y + f.h - region->y - region->h, region->w, region->h } : f;
        origin.image = std::move(image);
        origin.corner_radius = 0;
        return origin;
    }
    return std::nullopt;
}

std::optional<double> landing_delay(const Origin&)
{
    // FIXME: the flight into the card; until the animation exists no flash flies.
    return std::nullopt;
}

void play(const Origin& origin, std::optional<platform::RectF> landing)
{
    // FIXME: the confirmation animation; until it lands a flash is a log line.
    util::log(fmt::format("destello: jugaría desde {:.1f},{:.1f} {:.1f}×{:.1f}{}", origin.rect.x, origin.rect.y,
        origin.rect.w, origin.rect.h, landing ? " hacia la tarjeta" : " en su sitio"));
}

// FIXME: nothing to build until the flash panel lands.
void prewarm() { }

} // namespace flash
