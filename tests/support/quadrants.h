// The test picture of known colours: four flat quadrants, red, green (top),
// blue, yellow (bottom).
#pragma once

#include <QColor>
#include <QPainter>

namespace testing_support {

inline void paint_quadrants(QPainter& p, int width, int height)
{
    const int w = width / 2;
    const int h = height / 2;
    p.fillRect(0, 0, w, h, QColor(255, 0, 0));
    p.fillRect(w, 0, width - w, h, QColor(0, 255, 0));
    p.fillRect(0, h, w, height - h, QColor(0, 0, 255));
    p.fillRect(w, h, width - w, height - h, QColor(255, 255, 0));
}

} // namespace testing_support
