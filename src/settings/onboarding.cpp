#include "settings/onboarding.h"

#include "base/util.h"

namespace onboarding {

// FIXME: the first-run window; until it lands these only log.
void show()
{
    util::log("primer uso: mostraría la ventana de bienvenida");
}

void show_if_needed() { }

} // namespace onboarding
