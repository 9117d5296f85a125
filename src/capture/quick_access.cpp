#include "capture/quick_access.h"

#include "base/util.h"

#include <fmt/format.h>

namespace quick_access {

void show_card(QImage image, CardKind kind, std::optional<std::filesystem::path> file, std::optional<CardBadge>,
    std::optional<flash::Origin> origin, double scale, std::uint64_t delivery)
{
    util::require_main_thread("hilo principal");
    // FIXME: the card panel; until it lands showing a card is a log line.
    util::log(fmt::format("tarjeta: mostraría una tarjeta {} de {}×{} (escala {:.1f}, entrega {}){}{}", static_cast<int>(kind),
        image.width(), image.height(), scale, delivery, file ? " con archivo" : "", origin ? " con destello" : ""));
}

void attach_file(const std::filesystem::path& path, std::uint64_t delivery)
{
    util::require_main_thread("hilo principal");
    // FIXME: the card panel; until it lands the file goes to the log.
    util::log(fmt::format("tarjeta: la entrega {} tendría el archivo {}", delivery, path.string()));
}

void show_video(const std::filesystem::path& path, std::optional<flash::Origin> origin)
{
    util::require_main_thread("hilo principal");
    // FIXME: the card panel; until it lands a video card is a log line.
    util::log(fmt::format("tarjeta: mostraría el video {}{}", path.string(), origin ? " con destello" : ""));
}

void show_gif(const std::filesystem::path& path)
{
    util::require_main_thread("hilo principal");
    // FIXME: the card panel; until it lands a GIF card is a log line.
    util::log(fmt::format("tarjeta: mostraría el GIF {}", path.string()));
}

void show_file(const std::filesystem::path& path)
{
    util::require_main_thread("hilo principal");
    // FIXME: the card panel; until it lands a file card is a log line.
    util::log(fmt::format("tarjeta: mostraría el archivo {}", path.string()));
}

// FIXME: nothing to build until the card panel lands.
void prewarm() { }

} // namespace quick_access
