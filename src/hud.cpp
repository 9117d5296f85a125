#include "hud.h"

#include "util.h"

#include <fmt/format.h>

namespace hud {

void toast(std::string_view symbol, std::string_view text, double seconds)
{
    // FIXME: the capsule panel; until it lands the toast goes to the log.
    util::log(fmt::format("aviso [{}] {} ({:.1f} s)", symbol, text, seconds));
}

} // namespace hud
