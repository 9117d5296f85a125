#include "settings/prefs.h"

#include "base/util.h"

namespace prefs {

// FIXME: the settings window; until it lands this only logs.
void show()
{
    util::log("preferencias: abriría la ventana de preferencias");
}

} // namespace prefs
