// platform: the pointer's current cursor.
#pragma once

#include <optional>

namespace platform {

// Whether the pointer now shows the crosshair this program's windows ask for:
// the display server's current cursor image (XFixes) has the size and hot
// spot of the toolkit's cross cursor as it resolves it (the cursor theme
// through libXcursor, else the core cursor font). None when there is no
// current cursor to read (no display, no XFixes). Main thread.
std::optional<bool> crosshair_cursor_shown();

} // namespace platform
