// A window of another process for the desktop tests: four flat quadrants
// (red, green, blue, yellow) without decorations. Usage:
// vistrope_quadrants_window X Y W H. Prints "listo X Y" (where it stands on
// the root) once painted and runs until it is stopped.
#include "quadrants.h"
#include <QApplication>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

class Quadrants final : public QWidget {
public:
    Quadrants()
        : QWidget(nullptr, Qt::FramelessWindowHint)
    {
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        testing_support::paint_quadrants(p, width(), height());
        if (!m_told) {
            m_told = true;
            // Let the server and the compositor show the first frame first.
            QTimer::singleShot(300, [this] {
                const QPoint at = mapToGlobal(QPoint(0, 0));
                std::printf("listo %d %d\n", at.x(), at.y());
                std::fflush(stdout);
            });
        }
    }

private:
    bool m_told = false;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 5)
        return 2;
    Quadrants window;
    window.setGeometry(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    window.show();
    return app.exec();
}
