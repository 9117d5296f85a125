#include "record/recorder.h"

#include "base/util.h"

#include <fmt/format.h>

#include <utility>

namespace recorder {

thread_local bool NEXT_IS_GIF = false;

void start_inner(std::uint32_t display_id, std::optional<platform::RectF> region, std::optional<std::uint32_t> window,
    double scale)
{
    util::require_main_thread("hilo principal");
    const bool gif = std::exchange(NEXT_IS_GIF, false);
    // FIXME: the recorder is not built yet; the request is only logged.
    util::log(fmt::format("grabación pedida ({}): pantalla {}, región {}, ventana {}, escala {:.2f}", gif ? "GIF" : "video",
        display_id,
        region ? fmt::format("({:.1f}, {:.1f}, {:.1f}, {:.1f})", region->x, region->y, region->w, region->h) : std::string("completa"),
        window ? fmt::format("{}", *window) : std::string("ninguna"), scale));
}

// FIXME: no recording exists until the recorder lands.
bool running()
{
    return false;
}

void stop()
{
    util::log("grabación: detendría la grabación en curso");
}

} // namespace recorder
