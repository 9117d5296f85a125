#include "settings/updater.h"

#include "base/util.h"

namespace updater {

// FIXME: the update check; until it lands these only log.
void check_in_background() { }

void check(bool interactive)
{
    util::log(interactive ? "actualizaciones: buscaría actualizaciones ahora" : "actualizaciones: buscaría en segundo plano");
}

} // namespace updater
