// Another program's window that takes a drop, for the desktop tests. Usage:
// vistrope_drop_target_window X Y W H PNG_OUT. Prints "listo" once shown;
// on a drop, writes the dropped image/png bytes to PNG_OUT, prints each
// file URL on a line of its own ("url URL") and then "soltado". Runs until
// it is stopped.
#include "drop_target.h"

#include <QApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc != 6)
        return 2;
    testing_support::DropTarget window;
    const QString out = QString::fromLocal8Bit(argv[5]);
    window.dropped = [&window, out] {
        QFile file(out);
        if (file.open(QIODevice::WriteOnly))
            file.write(window.png);
        file.close();
        for (const QUrl& url : window.urls)
            std::printf("url %s\n", url.toEncoded().constData());
        std::printf("soltado\n");
        std::fflush(stdout);
    };
    window.setWindowFlag(Qt::FramelessWindowHint);
    window.setGeometry(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    window.show();
    // Let the window manager map it and the server show it first.
    QTimer::singleShot(300, [] {
        std::printf("listo\n");
        std::fflush(stdout);
    });
    return app.exec();
}
