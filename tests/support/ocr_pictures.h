// Pictures shared by the recogniser's tests and its benchmark.
#pragma once

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QRectF>
#include <QString>

namespace testing_support {

// A window's title bar across the top `bar` px of a `w` px wide picture:
// the program's icon (a dark square with a glyph of its own, taller than the
// title's letters), the title, and the minimise, maximise and close buttons
// drawn as strokes.
inline void draw_title_bar(QPainter& p, int w, int bar, const QString& title)
{
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(0, 0, w, bar, QColor(214, 214, 216));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(40, 40, 44));
    p.drawRoundedRect(QRectF(6, 3, 22, 22), 4, 4);
    p.setBrush(QColor(240, 240, 240));
    p.drawRect(QRectF(10, 8, 10, 3));
    p.drawRect(QRectF(10, 14, 6, 3));
    QFont font("Inter");
    font.setPixelSize(13);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(30, 30, 30));
    p.drawText(QRectF(0, 0, w, bar), Qt::AlignCenter, title);
    p.setPen(QPen(QColor(50, 50, 50), 2));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(w - 78, 18), QPointF(w - 66, 18));
    p.drawRect(QRectF(w - 52, 8, 11, 11));
    p.drawLine(QPointF(w - 26, 8), QPointF(w - 15, 19));
    p.drawLine(QPointF(w - 15, 8), QPointF(w - 26, 19));
    p.restore();
}

} // namespace testing_support
