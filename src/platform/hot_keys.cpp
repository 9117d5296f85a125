#include "platform/hot_keys.h"

#include <fmt/format.h>

namespace platform {

std::expected<std::unique_ptr<HotKeys>, std::string> take_keys(std::unique_ptr<HotKeys> keys,
    std::span<const std::uint32_t> codes, std::function<void(std::uint32_t code)> pressed)
{
    if (!keys)
        return std::unexpected(std::string("sin teclas globales"));
    auto installed = keys->install_handler([pressed = std::move(pressed)](HotKeyId key) { pressed(key.id); });
    if (!installed)
        return std::unexpected(installed.error());
    for (const std::uint32_t code : codes) {
        // The key's code is its identifier: the handler tells them apart by it.
        auto taken = keys->register_hot_key(code, 0, { HOT_KEY_SIGNATURE, code });
        if (!taken)
            return std::unexpected(fmt::format("la tecla {}: {}", code, taken.error()));
    }
    return keys;
}

} // namespace platform
