// The text recogniser's image preparation on bars drawn with real fonts: a
// window's title or menu bar keeps every letter, digit and dash of its text
// while its icon and buttons are painted out.
#include "capture/ocr_prepare.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPen>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

constexpr int BAR = 28;

// A bar with the program's icon at the left, `title` in the middle and the
// minimise, maximise and close buttons at the right, over a white page, in
// the window's border.
// Returns the picture; `text` receives the title's box.
QImage title_bar(const QFont& font, const QString& title, int bar_grey, QRect& text)
{
    const int w = 1000;
    QImage img(w, 80, QImage::Format_Grayscale8);
    img.fill(255);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(0, 0, w, BAR, QColor(bar_grey, bar_grey, bar_grey));
    const QColor ink = bar_grey < 128 ? QColor(235, 235, 235) : QColor(30, 30, 30);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawRoundedRect(QRectF(6, 3, 22, 22), 4, 4);
    p.setFont(font);
    p.setPen(ink);
    text = QFontMetrics(font).boundingRect(title).translated(200, 19).adjusted(-1, -1, 1, 1);
    p.drawText(QPointF(200, 19), title);
    p.setPen(QPen(ink, 2));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(w - 78, 18), QPointF(w - 66, 18));
    p.drawRect(QRectF(w - 52, 8, 11, 11));
    p.drawLine(QPointF(w - 26, 8), QPointF(w - 15, 19));
    p.drawLine(QPointF(w - 15, 8), QPointF(w - 26, 19));
    // The window's border.
    p.setPen(QPen(QColor(150, 150, 150), 1));
    p.drawRect(QRectF(0.5, 0.5, w - 1, img.height() - 1));
    return img;
}

// No mark left: every pixel within a few grey levels of the bar.
bool plain(const QImage& img, const QRect& r, int bar_grey)
{
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (std::abs(img.constScanLine(y)[x] - bar_grey) > 40)
                return false;
    return true;
}

} // namespace

// Shaped alone, an "H", a "D", a "0" or an "8" at 14 px spans its box like
// a button's frame, an "X" lies on its diagonals like a close button's
// cross, and an em dash is as flat as a minimise button's rule.
TEST(OcrPrepareBars, EveryLetterDigitAndDashOfATitleStaysItsButtonsGo)
{
    const QString title = QString::fromUtf8("Informe 2024-0917 — XML DB HN 8 o x __ · Errores: 0 · 1920 x 1080");
    for (const char* family : { "DejaVu Sans", "Inter", "DejaVu Sans Mono" })
        for (const bool bold : { false, true })
            for (int px = 12; px <= 16; ++px)
                for (const int bar_grey : { 214, 60 }) {
                    QFont font(family);
                    font.setPixelSize(px);
                    font.setBold(bold);
                    QRect text;
                    QImage img = title_bar(font, title, bar_grey, text);
                    const QImage before = img.copy();
                    ocr_prepare::erase_bar_icons(img, BAR);
                    const std::string where = std::string(family) + (bold ? " bold " : " ") + std::to_string(px) + " px on grey "
                        + std::to_string(bar_grey);
                    EXPECT_TRUE(img.copy(text) == before.copy(text)) << where;
                    EXPECT_TRUE(plain(img, QRect(4, 1, 26, 26), bar_grey)) << "icon, " << where;
                    EXPECT_TRUE(plain(img, QRect(img.width() - 82, 4, 72, 20), bar_grey)) << "buttons, " << where;
                }
}
