// A window of another process for the scrolling-capture tests: the page of
// scroll_page.h, scrolled by the wheel (one click, one step). Usage:
// vistrope_scroll_page_window X Y [WIDTH VIEWPORT ROWS]. Prints "listo X Y"
// once painted, "fin" when the page's end is shown, and runs until stopped.
#include "scroll_page.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QTimer>
#include <QWheelEvent>
#include <QWidget>

#include <algorithm>
#include <cstdio>

namespace {

using testing_support::ScrollPage;

QImage band(const ScrollPage& p, int which, std::uint32_t rows)
{
    QImage image(int(p.width), int(rows), QImage::Format_RGB32);
    for (std::uint32_t y = 0; y < rows; ++y) {
        auto* line = reinterpret_cast<std::uint32_t*>(image.scanLine(int(y)));
        for (std::uint32_t x = 0; x < p.width; ++x)
            line[x] = testing_support::scroll_page_pixel(which, x, y);
    }
    return image;
}

class PageWindow final : public QWidget {
public:
    explicit PageWindow(ScrollPage page)
        : QWidget(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint)
        , m_page(page)
        , m_header(band(page, 0, page.header))
        , m_body(band(page, 1, page.rows))
        , m_footer(band(page, 2, page.footer))
    {
        setFixedSize(int(page.width), int(page.window_height()));
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.drawImage(0, 0, m_header);
        p.drawImage(QPoint(0, int(m_page.header)), m_body,
            QRect(0, int(m_top), int(m_page.width), int(m_page.viewport)));
        p.drawImage(0, int(m_page.header + m_page.viewport), m_footer);
        if (!m_told) {
            m_told = true;
            QTimer::singleShot(300, [this] {
                const QPoint at = mapToGlobal(QPoint(0, 0));
                std::printf("listo %d %d\n", at.x(), at.y());
                std::fflush(stdout);
            });
        }
    }

    void wheelEvent(QWheelEvent* e) override
    {
        m_accumulated += e->angleDelta().y();
        const int clicks = m_accumulated / 120;
        m_accumulated -= clicks * 120;
        const std::int64_t last = std::int64_t(m_page.rows) - m_page.viewport;
        const std::int64_t top = std::clamp<std::int64_t>(std::int64_t(m_top) - clicks * std::int64_t(m_page.step), 0, last);
        if (std::uint32_t(top) != m_top) {
            m_top = std::uint32_t(top);
            repaint();
            if (top == last) {
                std::printf("fin\n");
                std::fflush(stdout);
            }
        }
    }

private:
    ScrollPage m_page;
    QImage m_header, m_body, m_footer;
    std::uint32_t m_top = 0;
    int m_accumulated = 0;
    bool m_told = false;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 3 && argc != 6)
        return 2;
    ScrollPage page;
    if (argc == 6) {
        page.width = std::uint32_t(std::atoi(argv[3]));
        page.viewport = std::uint32_t(std::atoi(argv[4]));
        page.rows = std::uint32_t(std::atoi(argv[5]));
    }
    PageWindow window(page);
    window.move(std::atoi(argv[1]), std::atoi(argv[2]));
    window.show();
    return app.exec();
}
