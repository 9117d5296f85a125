// A still scene for the capture benchmarks: a screen full of detail, so the
// PNG has work to do.
#pragma once

#include <QPainter>
#include <QWidget>

#include <random>

namespace bench {

// A screen full of detail, so the PNG has work to do: gradients, noise
// blocks and text, like a desktop with windows on it.
class Busy final : public QWidget {
public:
    Busy()
        : QWidget(nullptr, Qt::FramelessWindowHint)
    {
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        QLinearGradient g(0, 0, width(), height());
        g.setColorAt(0, QColor(30, 60, 120));
        g.setColorAt(1, QColor(200, 120, 40));
        p.fillRect(rect(), g);
        std::mt19937 rng(7);
        for (int i = 0; i < 60; ++i) {
            const QRect r(rng() % width(), rng() % height(), 80 + rng() % 400, 60 + rng() % 300);
            p.fillRect(r, QColor(rng() % 256, rng() % 256, rng() % 256));
            p.setPen(Qt::black);
            for (int line = 0; line < r.height() / 16; ++line)
                p.drawText(r.x() + 6, r.y() + 14 + 16 * line, QStringLiteral("Lorem ipsum dolor sit amet %1").arg(rng() % 100000));
        }
    }
};

} // namespace bench
