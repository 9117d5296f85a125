// ui: the program's icon as the status item, the settings window and the
// first-run window draw it.
#pragma once

#include <QColor>
#include <QImage>

namespace ui {

// The status icon: the outline with its notches, the star and the two rings,
// 18 × 18 points drawn at `scale` pixels per point in `tint`.
QImage status_icon(double scale, const QColor& tint);

// The application's icon (settings and first-run windows): the status icon
// with its star filled white, so no window colour shows through it.
QImage app_icon(double scale, const QColor& tint);

} // namespace ui
