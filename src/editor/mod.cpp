#include "editor/mod.h"

#include "base/util.h"

#include <fmt/format.h>

namespace editor {

// FIXME: the annotation editor; until it lands opening only logs.
void open(QImage image, double scale)
{
    util::log(fmt::format("editor: abriría una captura de {}×{} a escala {}", image.width(), image.height(), scale));
}

} // namespace editor
