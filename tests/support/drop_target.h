// A window that takes any drop and keeps what it was given: the file URLs
// and the PNG bytes. Desktop tests drag onto it as a user drags onto another
// program's window.
#pragma once

#include <QByteArray>
#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QList>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

#include <functional>

namespace testing_support {

class DropTarget final : public QWidget {
public:
    DropTarget() { setAcceptDrops(true); }
    QList<QUrl> urls;
    QByteArray png;
    std::function<void()> dropped; // called after each drop

protected:
    void dragEnterEvent(QDragEnterEvent* e) override { e->acceptProposedAction(); }
    void dragMoveEvent(QDragMoveEvent* e) override { e->acceptProposedAction(); }
    void dropEvent(QDropEvent* e) override
    {
        urls = e->mimeData()->urls();
        png = e->mimeData()->data("image/png");
        e->acceptProposedAction();
        if (dropped)
            dropped();
    }
};

} // namespace testing_support
