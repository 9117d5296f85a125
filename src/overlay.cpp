#include "overlay.h"

#include "util.h"

#include <fmt/format.h>

namespace overlay {

// FIXME: the selection overlay; until it lands a session only logs.
void begin(Mode mode, Purpose purpose)
{
    util::log(fmt::format("selector: abriría el modo {} con propósito {}", static_cast<int>(mode), static_cast<int>(purpose)));
}

void cancel() { }

void prewarm() { }

} // namespace overlay
