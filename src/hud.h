// hud: the toast and the capsule panel shared by the floating controls.
#pragma once

#include <string_view>

class QWidget;

namespace hud {

// Shows the one shared toast capsule near the pointer: a system symbol (by
// name; an unknown name shows no symbol), a text, for `seconds`. A newer toast
// replaces an older one; an older timer never hides a newer toast. Main thread.
void toast(std::string_view symbol, std::string_view text, double seconds);

} // namespace hud
