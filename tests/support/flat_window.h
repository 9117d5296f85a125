// A borderless window of the calling process filled with one colour, placed
// exactly (override-redirect, so no window manager moves it): the scenes of
// the recording tests and benchmark.
#pragma once

#include <QColor>
#include <QPainter>
#include <QWidget>

namespace testing_support {

class FlatWindow final : public QWidget {
public:
    FlatWindow(QColor colour, QRect at, Qt::WindowFlags extra = {})
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint | extra)
        , m_colour(colour)
    {
        setGeometry(at);
        show();
    }

    // Repaints at once, so the change is on its way to the server when this returns.
    void set_colour(QColor c)
    {
        m_colour = c;
        repaint();
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), m_colour); }

private:
    QColor m_colour;
};

} // namespace testing_support
