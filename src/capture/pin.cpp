#include "capture/pin.h"

#include "base/util.h"

#include <fmt/format.h>

namespace pin {

// FIXME: pinned panels; until they land these only log.
void pin(QImage image, double scale)
{
    util::log(fmt::format("fijar: fijaría una captura de {}×{} a escala {}", image.width(), image.height(), scale));
}

void unlock_all()
{
    util::log("fijar: desbloquearía las capturas fijadas");
}

void close_all()
{
    util::log("fijar: cerraría las capturas fijadas");
}

} // namespace pin
