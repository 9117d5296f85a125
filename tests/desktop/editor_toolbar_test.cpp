// The editor's drag handle as a user drags it: a press and a drag from
// "Arrastrar" onto another window hands over the file URL in this user's
// own temporary folder and the PNG bytes, and the file is the export.
#include "editor/mod.h"
#include "editor/views.h"
#include "editor/window.h"

#include "drop_target.h"
#include "qt_wait.h"
#include "test_util.h"
#include "x_tools.h"

#include <QImage>
#include <QWindow>
#include <gtest/gtest.h>

#include <filesystem>

namespace {

using testing_support::run_serving;
using testing_support::wait_until;

QString n(int v) { return QString::number(v); }

TEST(EditorToolbarDesktop, DraggingTheHandleDropsTheAnnotatedPictureAsAFile)
{
    namespace fs = std::filesystem;
    testing_support::TempHome home;
    testing_support::ScopedEnv tmp("TMPDIR", home.path().string());
    QImage picture(300, 200, QImage::Format_RGB32);
    picture.fill(QColor(40, 160, 90));
    auto controller = editor::build(picture, 1);
    auto* window = controller->window();
    window->move(40, 40);
    window->show();
    testing_support::DropTarget target;
    target.setGeometry(1000, 300, 300, 300);
    target.show();
    ASSERT_TRUE(wait_until([&] {
        return window->windowHandle() && window->windowHandle()->isExposed() && target.windowHandle()
            && target.windowHandle()->isExposed();
    }));
    testing_support::pump_for(300);

    const QWidget* handle = window->toolbar().drag;
    ASSERT_TRUE(handle);
    const QPoint c = handle->mapToGlobal(handle->rect().center());
    const QPoint t = target.geometry().center();
    run_serving("xdotool", { "mousemove", n(c.x()), n(c.y()), "mousedown", "1", "sleep", "0.2", "mousemove",
                               n(c.x() + 10), n(c.y() - 10), "sleep", "0.3", "mousemove", n(t.x()), n(t.y()), "sleep",
                               "0.3", "mousemove", n(t.x() + 5), n(t.y() + 5), "sleep", "0.3", "mouseup", "1" });
    ASSERT_TRUE(wait_until([&] { return !target.urls.isEmpty(); }, 8000));
    const fs::path file = target.urls.front().toLocalFile().toStdString();
    EXPECT_EQ(file.parent_path().filename(), "Vistrope");
    EXPECT_EQ(file.parent_path().parent_path().parent_path(), home.path());
    EXPECT_EQ(target.png, QByteArray::fromStdString(testing_support::read_file(file)));
    const QImage dropped = QImage::fromData(target.png, "PNG");
    EXPECT_EQ(dropped.size(), QSize(300, 200));
    EXPECT_EQ(dropped.pixelColor(150, 100), QColor(40, 160, 90));
    window->close();
    testing_support::pump_for(50);
}

} // namespace
