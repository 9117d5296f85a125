// The floor of any Qt tray program: an application that shows one tray icon
// and waits. bench_tray times its icon beside the program's.
#include <QApplication>
#include <QPixmap>
#include <QSystemTrayIcon>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkGray);
    QSystemTrayIcon icon { QIcon(pixmap) };
    icon.show();
    return app.exec();
}
