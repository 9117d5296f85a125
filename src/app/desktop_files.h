// app: the program as the desktop shows it: its icon on every window and in
// the user's icon theme, and the desktop entries that name it (the link
// scheme's, the application menu's, the login item's).
#pragma once

#include "platform/system.h"

#include <QColor>
#include <QIcon>
#include <QImage>

#include <string>
#include <vector>

namespace app {

// The sizes window managers ask a window's icon for (title bars, window
// lists, switchers), in pixels.
inline constexpr int WINDOW_ICON_SIZES[] = { 16, 24, 32, 48, 64, 128 };
// The icon theme's sizes, in pixels.
inline constexpr int THEME_ICON_SIZES[] = { 16, 22, 24, 32, 48, 64, 128, 256 };

// The program's icon, `side` × `side` pixels in `tint`, device pixel ratio 1.
QImage icon_image(int side, const QColor& tint);

// Every window's icon: one picture per size of WINDOW_ICON_SIZES in the
// accent colour, set for the whole application. Main thread, once the
// application object exists.
void install_window_icon();

// The icon theme's PNG files, one per size of THEME_ICON_SIZES. Any thread.
std::vector<sys::ThemeIcon> theme_icons(const QColor& tint);

// Writes the desktop entries for the front beside `program` (this
// executable) and refreshes a login item of an earlier version on the main
// thread, then the icon theme's files on the utility pool; a failure is
// logged. Main thread, at launch.
void register_on_desktop(const std::string& program);

} // namespace app
