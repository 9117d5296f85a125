// pin: captures pinned as floating panels.
#pragma once

#include <QImage>

namespace pin {

// Pins an image (scale in pixels per point) as a floating panel. Main thread.
void pin(QImage image, double scale);
// Every pinned capture accepts mouse events again. Main thread.
void unlock_all();
// Closes every pinned capture. Main thread.
void close_all();

} // namespace pin
