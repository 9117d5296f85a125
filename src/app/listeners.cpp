// The shell's wiring: lower floors announce what they finished and reach the
// shell through slots that this file fills, so no subsystem includes one above it.
#include "app/app.h"
#include "app/app_hotkeys.h"

#include "capture/ocr_prepare.h"
#include "capture/overlay.h"
#include "capture/output.h"
#include "cards/quick_access.h"
#include "platform/screens.h"
#include "settings/prefs.h"
#include "ui/hud.h"

namespace app {

void install_listeners()
{
    output::set_cards({
        .show_capture = [](QImage image, std::optional<flash::Origin> origin, double scale, std::uint64_t delivery) {
            quick_access::show_card(std::move(image), quick_access::CardKind::Image, std::nullopt, std::nullopt,
                std::move(origin), scale, delivery);
        },
        .attach_file = [](const std::filesystem::path& path, std::uint64_t delivery) { quick_access::attach_file(path, delivery); },
        .attach_png = [](std::shared_ptr<const std::vector<std::uint8_t>> png, std::uint64_t delivery) {
            quick_access::attach_png(std::move(png), delivery);
        },
        .show_video = [](const std::filesystem::path& path, std::optional<flash::Origin> origin) {
            quick_access::show_video(path, std::move(origin));
        },
        .show_file = [](const std::filesystem::path& path) { quick_access::show_file(path); },
        .frames = [] {
            std::vector<QRect> frames;
            for (const VistropeQuickCard* card : quick_access::cards())
                frames.push_back(card->geometry());
            return frames;
        },
    });
    // Toasts stand clear of the cards: over one they would hide its buttons.
    hud::set_keep_clear([] {
        std::vector<platform::RectF> frames;
        for (const VistropeQuickCard* card : quick_access::cards())
            frames.push_back(platform::window_frame(card->geometry()));
        return frames;
    });
    overlay::set_default_roads([] { return overlay_roads(); });
    platform::set_page_preparation(ocr_prepare::preparation());
    prefs::set_hot_key_hooks({
        .apply_config = [] { apply_config(); },
        .unregister = [] { unregister_hotkeys(); },
        .failed = [] { return hotkey_table().failed; },
        .keep_in_memory = {}, // the program's entry fills it for --prefs-render
    });
}

} // namespace app
