// The editor toolbar offscreen: where its groups sit at the built width, when
// the window is narrower than the centre group and after resizing; the
// minimum width keeping the bottom groups apart; the tooltips with their
// keys; the images; and clicks on the controls acting while the overlay
// keeps the focus.
#include "editor/mod.h"
#include "editor/outputs.h"
#include "editor/toolbar.h"
#include "editor/views.h"
#include "editor/window.h"

#include "base/config.h"
#include "base/state.h"
#include "base/util_queue.h"
#include "platform/symbols.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QTimer>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QToolButton>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

using testing_support::pump_for;

QImage grey(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(180, 180, 180));
    return image;
}

// A left click the way the window system delivers one, press and release.
void click(QWidget* target)
{
    const QPointF at(target->width() / 2.0, target->height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, at, target->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, {});
    QApplication::sendEvent(target, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, target->mapToGlobal(at), Qt::LeftButton, Qt::NoButton, {});
    QApplication::sendEvent(target, &release);
}

struct Rows {
    Rows()
        : controller(editor::build(grey(200, 100), 1))
        , bar(toolbar::build(*controller, controller->editor(), 1000))
    {
        // Shown, so a resize reaches the rows at once.
        bar.top->show();
        bar.bottom->show();
    }
    ~Rows()
    {
        delete bar.top;
        delete bar.bottom;
    }
    void resize(int w)
    {
        bar.top->resize(w, toolbar::ROW_HEIGHT);
        bar.bottom->resize(w, toolbar::ROW_HEIGHT);
    }
    std::unique_ptr<editor::VistropeEditorController> controller;
    toolbar::Toolbar bar;
};

TEST(EditorToolbarLayout, GroupsStayCentredOrPinnedAndNeverOverlap)
{
    Rows r;
    auto& t = r.bar;
    // Fourteen tools of 30, eight colours of 24, three sizes and two history
    // segments of 28, spaced 16: 800 points.
    const int w1 = t.centre_group->width();
    EXPECT_EQ(w1, 14 * 30 + 8 * 24 + 3 * 28 + 2 * 28 + 3 * 16);
    EXPECT_EQ(t.tools->width(), 420);
    EXPECT_EQ(t.top->height(), 48);
    EXPECT_EQ(t.centre_group->x(), 100);
    EXPECT_EQ(t.left_group->x(), 16);
    EXPECT_EQ(t.right_group->geometry().right() + 1, 1000 - 16);
    // Every control sits inside its row's height, centred.
    EXPECT_EQ(t.tools->y(), 12);
    EXPECT_EQ(t.status->size(), QSize(260, 16));
    EXPECT_EQ(t.status->y(), 16);

    const int w2 = t.left_group->width();
    const int w3 = t.right_group->width();
    EXPECT_EQ(t.min_width, std::max(w1 + 24, w2 + w3 + 48));

    // Narrower than the centre group: it starts 12 points in.
    r.resize(w1 + 23);
    EXPECT_EQ(t.centre_group->x(), 12);
    r.resize(w1 - 100);
    EXPECT_EQ(t.centre_group->x(), 12);

    // Wider: centred again (an odd remainder rounds half away from zero),
    // the bottom groups 16 points from their edges, the hairlines as wide
    // as the rows.
    r.resize(1401);
    EXPECT_EQ(t.centre_group->x(), 301);
    EXPECT_EQ(t.left_group->x(), 16);
    EXPECT_EQ(t.right_group->geometry().right() + 1, 1401 - 16);
    int hairlines = 0;
    for (QWidget* row : { t.top, t.bottom })
        for (QWidget* child : row->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            if (child->height() == 1) {
                ++hairlines;
                EXPECT_EQ(child->width(), 1401);
                EXPECT_EQ(child->y(), row == t.top ? 47 : 0);
            }
    EXPECT_EQ(hairlines, 2);

    // At the minimum width nothing overlaps: not the bottom groups, nor the
    // centre group and the right edge.
    r.resize(int(t.min_width));
    EXPECT_LT(t.left_group->geometry().right(), t.right_group->x());
    EXPECT_GE(t.right_group->x() - (t.left_group->geometry().right() + 1), 16);
    EXPECT_LE(t.centre_group->geometry().right() + 1, int(t.min_width) - 12);
    for (QWidget* g : { t.centre_group, t.left_group, t.right_group }) {
        const auto views = g->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (qsizetype i = 1; i < views.size(); ++i)
            EXPECT_LT(views[i - 1]->geometry().right(), views[i]->x()) << i;
    }
}

TEST(EditorToolbarLayout, TooltipsNameTheKeysAndEveryImageDraws)
{
    Rows r;
    auto& t = r.bar;
    EXPECT_EQ(t.history->segment(0)->toolTip(), QStringLiteral("Deshacer (Ctrl+Z)"));
    EXPECT_EQ(t.history->segment(1)->toolTip(), QStringLiteral("Rehacer (Ctrl+Mayús+Z)"));
    EXPECT_EQ(t.history->segment(0)->accessibleName(), QStringLiteral("Deshacer"));
    EXPECT_EQ(t.save_as->toolTip(), QStringLiteral("Elegir dónde guardar (Ctrl+Mayús+S)"));
    EXPECT_EQ(t.save->toolTip(), QStringLiteral("Guardar en la carpeta de capturas (Ctrl+S)"));
    EXPECT_EQ(t.copy->toolTip(), QStringLiteral("Copiar al portapapeles (Ctrl+C)"));
    EXPECT_EQ(t.colors->segment(4)->toolTip(), QStringLiteral("Azul"));
    EXPECT_EQ(t.sizes->segment(2)->toolTip(), QStringLiteral("Grueso"));
    EXPECT_EQ(t.tools->segment(2)->accessibleName(), t.tools->segment(2)->toolTip());
    EXPECT_EQ(t.background->text(), QStringLiteral("Fondo"));
    EXPECT_EQ(t.background->toolTip(), QStringLiteral("Margen con degradado, esquinas redondas y sombra"));

    // Every symbol the toolbar names is in the table and leaves a shape.
    for (std::string_view name : { "cursorarrow", "arrow.up.right", "rectangle", "rectangle.fill", "circle",
             "line.diagonal", "textformat", "1.circle", "pencil.tip", "highlighter", "checkerboard.rectangle", "drop",
             "flashlight.on.fill", "crop", "folder", "square.and.arrow.down", "doc.on.doc", "arrow.uturn.backward",
             "arrow.uturn.forward", "hand.draw" }) {
        const auto image = toolbar::symbol(name);
        ASSERT_TRUE(image.has_value()) << name;
        EXPECT_EQ(image->size(), QSize(32, 32)) << name;
        int inked = 0;
        for (int y = 0; y < image->height(); ++y)
            for (int x = 0; x < image->width(); ++x)
                inked += qAlpha(image->pixel(x, y)) > 128;
        EXPECT_GT(inked, 10) << name;
    }
    EXPECT_FALSE(toolbar::symbol("no.such.symbol").has_value());
    const QImage empty = toolbar::icon(16, 16);
    EXPECT_EQ(empty.deviceIndependentSize(), QSizeF(16, 16));
    EXPECT_EQ(qAlpha(empty.pixel(16, 16)), 0);

    // A swatch keeps its colour inside a grey rim; the weights thicken.
    const QImage blue = toolbar::swatch(0, 122 / 255.0, 1);
    EXPECT_EQ(blue.size(), QSize(32, 32));
    EXPECT_EQ(blue.pixelColor(16, 16), QColor(0, 122, 255));
    EXPECT_EQ(qAlpha(blue.pixel(0, 0)), 0);
    auto thickness = [](const QImage& image) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            n += qAlpha(image.pixel(20, y)) > 128;
        return n;
    };
    const QImage thin = toolbar::weight_icon(0), thick = toolbar::weight_icon(2);
    EXPECT_EQ(thin.size(), QSize(40, 32));
    EXPECT_NEAR(thickness(thin), 2 * 2.1, 1.5);
    EXPECT_NEAR(thickness(thick), 2 * 5.6, 1.5);
}

// A capture folder in a fresh home, set in the settings for the test's
// life; what the test leaves running in the background ends with it.
struct CaptureFolder {
    CaptureFolder()
    {
        state::reset_for_tests();
        std::filesystem::create_directories(path);
        config::Config cfg;
        cfg.save_dir = path.string();
        state::set_config(std::make_shared<const config::Config>(cfg));
    }
    ~CaptureFolder()
    {
        util::wait_for_background();
        pump_for(20);
        state::reset_for_tests();
    }
    testing_support::TempHome home;
    std::filesystem::path path = home.path() / "capturas";
};

TEST(EditorToolbarFocus, ClickingAControlActsAndLeavesTheFocusOnTheOverlay)
{
    const CaptureFolder captures;
    const auto& folder = captures.path;
    {
        auto controller = editor::build(grey(300, 200), 1);
        auto* window = controller->window();
        window->show();
        window->activateWindow();
        window->focus_overlay();
        pump_for(20);
        const auto& t = window->toolbar();
        auto& editing = controller->editor()->editing();
        ASSERT_EQ(QApplication::focusWidget(), window->overlay());

        for (QWidget* row : { t.top, t.bottom })
            for (QWidget* w : row->findChildren<QWidget*>())
                EXPECT_EQ(w->focusPolicy(), Qt::NoFocus) << w->metaObject()->className();

        click(t.tools->segment(2));
        EXPECT_EQ(editing.tool(), editor::model::Tool::Rectangle);
        EXPECT_EQ(t.tools->selected(), 2);
        EXPECT_EQ(QApplication::focusWidget(), window->overlay());
        click(t.colors->segment(4));
        click(t.sizes->segment(2));
        EXPECT_EQ(t.colors->selected(), 4);
        EXPECT_EQ(t.sizes->selected(), 2);
        EXPECT_EQ(QApplication::focusWidget(), window->overlay());

        // Nothing to undo yet: the history segments are off until a change.
        EXPECT_FALSE(t.history->segment(0)->isEnabled());
        click(t.background);
        EXPECT_TRUE(window->controls().background);
        EXPECT_TRUE(t.background->isChecked());
        EXPECT_TRUE(t.history->segment(0)->isEnabled());
        click(t.history->segment(0));
        EXPECT_FALSE(window->controls().background);
        EXPECT_FALSE(t.background->isChecked());
        EXPECT_TRUE(t.history->segment(1)->isEnabled());
        click(t.history->segment(1));
        EXPECT_TRUE(window->controls().background);
        EXPECT_EQ(QApplication::focusWidget(), window->overlay());

        click(t.drag); // a press without a drag drags nothing
        click(t.save);
        EXPECT_TRUE(testing_support::wait_until([&] {
            std::error_code ec;
            return std::filesystem::exists(folder, ec) && !std::filesystem::is_empty(folder, ec);
        }));
        click(t.copy);
        EXPECT_EQ(QApplication::focusWidget(), window->overlay());
        window->close();
        pump_for(20);
    }
}

TEST(EditorSaveAs, TheFileAlwaysEndsInPngAndAReplacedNameNeverOverwrites)
{
    testing_support::TempDir dir;
    const auto in = [&](const char* name) { return dir.path() / name; };
    EXPECT_EQ(editor::save_as_path(in("prueba")), in("prueba.png"));
    EXPECT_EQ(editor::save_as_path(in("prueba.PNG")), in("prueba.PNG"));
    EXPECT_EQ(editor::save_as_path(in("prueba.jpeg")), in("prueba.png"));
    EXPECT_EQ(editor::save_as_path(in("a.b.gif")), in("a.b.png"));
    // The dialog asked about "prueba.jpeg"; an existing "prueba.png" stays.
    testing_support::write_file(in("prueba.png"), "mía");
    EXPECT_EQ(editor::save_as_path(in("prueba.jpeg")), in("prueba (2).png"));
    // Typed as it is: the dialog has already asked before replacing it.
    EXPECT_EQ(editor::save_as_path(in("prueba.png")), in("prueba.png"));
}

TEST(EditorSaveAs, TheDialogSavesTheTypedNameAndAsksBeforeReplacingIt)
{
    namespace fs = std::filesystem;
    const CaptureFolder captures;
    const fs::path& folder = captures.path;
    {
        auto controller = editor::build(grey(120, 80), 1);
        auto* window = controller->window();
        window->show();
        pump_for(20);
        auto open_dialog = [&] {
            controller->save_image_as();
            auto* dialog = window->findChild<QFileDialog*>();
            EXPECT_TRUE(dialog && dialog->isVisible());
            return dialog;
        };
        auto* dialog = open_dialog();
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
        EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_EQ(dialog->defaultSuffix(), QStringLiteral("png"));
        EXPECT_EQ(fs::path(dialog->directory().absolutePath().toStdString()), folder);
        const QString offered = QFileInfo(dialog->selectedFiles().value(0)).fileName();
        EXPECT_TRUE(offered.startsWith(QStringLiteral("Vistrope ")) && offered.endsWith(QStringLiteral(".png")))
            << offered.toStdString();

        dialog->selectFile(QStringLiteral("prueba"));
        static_cast<QDialog*>(dialog)->accept();
        const fs::path saved = folder / "prueba.png";
        ASSERT_TRUE(testing_support::wait_until([&] { return QImage(QString::fromStdString(saved.string())).width() == 120; }));
        EXPECT_FALSE(window->findChild<QFileDialog*>());

        // Again "prueba": the dialog asks about prueba.png; saying no leaves it
        // untouched and the dialog open.
        std::ofstream(saved, std::ios::trunc) << "before";
        dialog = open_dialog();
        ASSERT_TRUE(dialog);
        bool asked = false;
        QTimer::singleShot(50, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                asked = box->text().contains(QStringLiteral("prueba.png"));
                box->reject();
            }
        });
        dialog->selectFile(QStringLiteral("prueba"));
        static_cast<QDialog*>(dialog)->accept();
        EXPECT_TRUE(asked);
        EXPECT_SOON(fs::exists(saved) && fs::file_size(saved) == 6u);
        EXPECT_TRUE(dialog->isVisible());

        // Another extension becomes ".png"; the existing prueba.png stays.
        EXPECT_EQ(dialog->nameFilters(), QStringList { QStringLiteral("Imagen PNG (*.png)") });
        dialog->selectFile(QStringLiteral("otra.jpeg"));
        static_cast<QDialog*>(dialog)->accept();
        const fs::path png = folder / "otra.png";
        ASSERT_TRUE(testing_support::wait_until([&] { return QImage(QString::fromStdString(png.string()), "PNG").width() == 120; }));
        EXPECT_FALSE(fs::exists(folder / "otra.jpeg"));
        EXPECT_EQ(fs::file_size(saved), 6u);

        // A cancel writes nothing.
        const auto before = std::distance(fs::directory_iterator(folder), fs::directory_iterator());
        dialog = open_dialog();
        ASSERT_TRUE(dialog);
        dialog->reject();
        pump_for(50);
        util::wait_for_background();
        EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), before);
        window->close();
        pump_for(20);
    }
}

TEST(EditorToolbarActions, OutOfRangeSegmentsAreClampedIntoTheTables)
{
    auto controller = editor::build(grey(40, 30), 1);
    auto& editing = controller->editor()->editing();
    controller->tool_changed(99);
    EXPECT_EQ(editing.tool(), editor::model::Tool::Crop);
    controller->tool_changed(-4);
    EXPECT_EQ(editing.tool(), editor::model::Tool::Select);
    controller->color_changed(-3);
    EXPECT_EQ(editing.color(), 0);
    controller->color_changed(12);
    EXPECT_EQ(editing.color(), 7);
    controller->size_changed(9);
    EXPECT_EQ(editing.size(), 2);
    controller->size_changed(-1);
    EXPECT_EQ(editing.size(), 0);
    // And the toolbar follows.
    const auto& bar = controller->window()->toolbar();
    EXPECT_EQ(bar.tools->selected(), 0);
    EXPECT_EQ(bar.colors->selected(), 7);
    EXPECT_EQ(bar.sizes->selected(), 0);
}

TEST(EditorDragOut, ThumbnailsShrinkToFitButNeverGrowPastActualSize)
{
    EXPECT_EQ(editor::drag_thumbnail_size(4000, 2000, 2), QSize(160, 80));
    EXPECT_EQ(editor::drag_thumbnail_size(100, 50, 1), QSize(100, 50));
    EXPECT_EQ(editor::drag_thumbnail_size(100, 50, 2), QSize(50, 25));
    EXPECT_EQ(editor::drag_thumbnail_size(2000, 4000, 1), QSize(80, 160));
    EXPECT_EQ(editor::drag_thumbnail_size(10000, 3, 1), QSize(160, 1)); // never thinner than a point
}

TEST(EditorDragOut, TheFileIsTheExportInAFolderOfThisUserAlone)
{
    namespace fs = std::filesystem;
    testing_support::TempHome home;
    testing_support::ScopedEnv tmp("TMPDIR", home.path().string());
    auto controller = editor::build(grey(64, 40), 2);
    auto& e = *controller->editor();
    e.editing().set_background(true);
    const auto first = editor::drag_file(e);
    ASSERT_TRUE(first.has_value()) << first.error();
    const auto second = editor::drag_file(e);
    ASSERT_TRUE(second.has_value()) << second.error();
    EXPECT_NE(first->path, second->path); // a second drag never replaces the first's file
    const fs::path folder = first->path.parent_path();
    EXPECT_EQ(folder.filename(), "Vistrope");
    EXPECT_EQ(folder.parent_path().parent_path(), home.path());
    struct stat st {};
    ASSERT_EQ(::stat(folder.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The file decodes to the export, frame and all.
    const QImage written(QString::fromStdString(first->path.string()), "PNG");
    ASSERT_FALSE(written.isNull());
    EXPECT_GT(written.width(), 64);
    EXPECT_EQ(written.size(), first->image.size());
    EXPECT_EQ(written.convertToFormat(QImage::Format_ARGB32), first->image.convertToFormat(QImage::Format_ARGB32));

    // The handle shows its word and icon and keeps out of the focus chain.
    const auto& bar = controller->window()->toolbar();
    ASSERT_TRUE(bar.drag);
    EXPECT_EQ(bar.drag->size(), QSize(98, 26));
    EXPECT_EQ(bar.drag->accessibleName(), QStringLiteral("Arrastrar"));
    const QImage drawn = bar.drag->grab().toImage();
    int dark = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            dark += qGray(drawn.pixel(x, y)) < 100;
    EXPECT_GT(dark, 40);
}

} // namespace
