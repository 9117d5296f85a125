// The editor window as a user drives it: a full-screen capture opened from
// "Anotar última captura", tools picked with letters, shapes dragged, text
// typed, Ctrl keys for saving, copying, undoing and closing. Results are read
// from the saved files and the clipboard, never from the program's state.
#include "editor/layout.h"
#include "editor/mod.h"
#include "editor/views.h"
#include "editor/window.h"

#include "base/config.h"
#include "base/state.h"
#include "base/util_queue.h"
#include "ui/language.h"

#include "program.h"
#include "qt_wait.h"
#include "test_util.h"
#include "x_tools.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFileDialog>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <QTranslator>
#include <QWindow>
#include <QWidget>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace fs = std::filesystem;

namespace {

using testing_support::Program;
using testing_support::run;
using testing_support::wait_until;

// A backdrop of grey and blue squares over the whole screen: a capture with
// something in every place, and no red in it.
class Backdrop final : public QWidget {
public:
    Backdrop()
    {
        setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnBottomHint);
        setGeometry(QGuiApplication::primaryScreen()->geometry());
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        for (int y = 0; y < height(); y += 60)
            for (int x = 0; x < width(); x += 60)
                p.fillRect(x, y, 60, 60, (x / 60 + y / 60) % 2 ? QColor(70, 90, 160) : QColor(190, 190, 180));
    }
};

bool reddish(QRgb c) { return qRed(c) > 180 && qGreen(c) < 110 && qBlue(c) < 110; }

std::set<fs::path> pngs(const fs::path& dir)
{
    const auto found = testing_support::pngs_in(dir);
    return { found.begin(), found.end() };
}

struct Client {
    std::string id;
    int x = 0, y = 0, w = 0, h = 0;
};

std::vector<std::string> editor_ids()
{
    std::vector<std::string> ids;
    std::istringstream in(run("xdotool", { "search", "--onlyvisible", "--name", "Vistrope — Anotar" }));
    for (std::string id; in >> id;)
        ids.push_back(id);
    return ids;
}

// The client area of a window on the root.
std::optional<Client> client(const std::string& id)
{
    const QString info = QString::fromStdString(run("xwininfo", { "-id", QString::fromStdString(id) }));
    const auto field = [&](const char* name) {
        const QRegularExpression re(QString(name) + R"(:\s+(-?\d+))");
        const auto m = re.match(info);
        return m.hasMatch() ? std::optional<int>(m.captured(1).toInt()) : std::nullopt;
    };
    const auto x = field("Absolute upper-left X"), y = field("Absolute upper-left Y"), w = field("Width"), h = field("Height");
    if (!x || !y || !w || !h)
        return std::nullopt;
    return Client { id, *x, *y, *w, *h };
}

// Drives one editor window: image pixels to screen points through the same
// stage layout the window applies.
struct Window {
    Client c;
    editor::ViewMapping mapping;
    Window(Client client, QSize image)
        : c(std::move(client))
    {
        editor::model::Doc doc;
        mapping = editor::stage_layout({ double(c.w), double(c.h - 96) }, { double(image.width()), double(image.height()) }, doc,
            false, 1)
                      .mapping;
    }
    QPoint screen(double x, double y) const
    {
        const auto v = mapping.to_view({ x, y });
        return { c.x + int(std::lround(v.x)), c.y + 48 + int(std::lround(v.y)) };
    }
    // Image pixels under a screen point's centre.
    QPointF image(QPoint s) const
    {
        const auto p = mapping.to_image({ double(s.x() - c.x), double(s.y() - c.y - 48) });
        return { p.x, p.y };
    }
};

void key(const QString& keys)
{
    run("xdotool", { "key", "--delay", "60", keys });
    QThread::msleep(150);
}

void type(const QString& text)
{
    run("xdotool", { "type", "--delay", "60", text });
    QThread::msleep(150);
}

void drag(QPoint from, QPoint to)
{
    run("xdotool", { "mousemove", QString::number(from.x()), QString::number(from.y()), "mousedown", "1" });
    for (int i = 1; i <= 10; ++i) {
        const QPoint at = from + (to - from) * (i / 10.0);
        run("xdotool", { "mousemove", QString::number(at.x()), QString::number(at.y()) });
    }
    run("xdotool", { "mouseup", "1" });
    QThread::msleep(150);
}

void click(QPoint at, int times = 1)
{
    run("xdotool", { "mousemove", QString::number(at.x()), QString::number(at.y()), "click", "--repeat", QString::number(times),
                       "--delay", "80", "1" });
    QThread::msleep(200);
}

// Ctrl+S and the new file it wrote.
std::optional<fs::path> save(const fs::path& dir)
{
    const auto before = pngs(dir);
    key("ctrl+s");
    std::optional<fs::path> written;
    wait_until([&] {
        for (const auto& p : pngs(dir))
            if (!before.contains(p))
                written = p;
        return written.has_value();
    }, 15000);
    if (written)
        QThread::msleep(200);
    return written;
}

QImage load(const std::optional<fs::path>& path)
{
    return path ? QImage(QString::fromStdString(path->string())).convertToFormat(QImage::Format_RGB32) : QImage();
}

// From the first to the last row holding red inside `area`; 0 without red.
int red_rows(const QImage& image, QRect area)
{
    int first = -1, last = -1;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        bool any = false;
        for (int x = area.left(); x <= area.right() && !any; ++x)
            any = reddish(image.pixel(x, y));
        if (any) {
            first = first < 0 ? y : first;
            last = y;
        }
    }
    return first < 0 ? 0 : last - first + 1;
}

bool same_pixels(const QImage& a, const QImage& b, QRect area)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                return false;
    return true;
}

TEST(EditorWindowDesktop, ACaptureIsAnnotatedWithTheMouseAndKeys)
{
    testing_support::TempHome home;
    const fs::path captures = home.path() / "capturas";
    testing_support::write_file(home.path() / ".config/vistrope/config.toml",
        "save_dir = \"" + captures.string() + "\"\n[after_capture]\nshow_quick_access = false\nplay_sound = false\nflash = false\n");
    Backdrop backdrop;
    backdrop.show();
    testing_support::pump_for(800);

    Program program(home.path());
    ASSERT_TRUE(program.wait_for("[vistrope] listo")) << program.err();
    const auto url = [&](const char* what) {
        QProcess p;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", QString::fromStdString(home.path().string()));
        env.remove("XDG_CONFIG_HOME");
        env.remove("XDG_STATE_HOME");
        p.setProcessEnvironment(env);
        p.start(VISTROPE_BINARY, { what });
        p.waitForFinished(10000);
    };
    url("vistrope://capture-fullscreen");
    ASSERT_TRUE(wait_until([&] { return pngs(captures).size() == 1; }, 15000)) << program.err();
    QThread::msleep(300);
    const QImage shot = load(*pngs(captures).begin());
    ASSERT_EQ(shot.size(), QGuiApplication::primaryScreen()->size());

    // Opened at 0.9 of the available screen (the capture is larger), in front, with the keys.
    url("vistrope://open-annotate");
    ASSERT_TRUE(wait_until([] { return editor_ids().size() == 1; }, 15000)) << program.err();
    QThread::msleep(500);
    const auto found = client(editor_ids().front());
    ASSERT_TRUE(found);
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(found->w, std::lround(0.9 * available.width()));
    EXPECT_EQ(found->h, std::lround(0.9 * available.height()));
    EXPECT_EQ(run("xdotool", { "getactivewindow" }), found->id + "\n");
    const Window w(*found, shot.size());

    // R and a drag: the outline where dragged, the capture elsewhere.
    key("r");
    const QPoint a = w.screen(400, 300), b = w.screen(900, 600);
    drag(a, b);
    const QImage boxed = load(save(captures));
    ASSERT_EQ(boxed.size(), shot.size());
    const QPointF ia = w.image(a), ib = w.image(b);
    EXPECT_TRUE(reddish(boxed.pixel(int(ia.x()), int((ia.y() + ib.y()) / 2))));
    EXPECT_TRUE(reddish(boxed.pixel(int(ib.x()), int((ia.y() + ib.y()) / 2))));
    EXPECT_TRUE(reddish(boxed.pixel(int((ia.x() + ib.x()) / 2), int(ia.y()))));
    EXPECT_TRUE(same_pixels(boxed, shot, QRectF(ia, ib).toRect().adjusted(20, 20, -20, -20)));
    EXPECT_TRUE(same_pixels(boxed, shot, QRect(1000, 0, shot.width() - 1000, shot.height())));
    EXPECT_TRUE(same_pixels(boxed, shot, QRect(0, 700, shot.width(), shot.height() - 700)));

    // Ctrl+C: the same picture on the clipboard.
    key("ctrl+c");
    QImage copied;
    wait_until([&] {
        copied = QImage::fromData(testing_support::xclip_png()).convertToFormat(QImage::Format_RGB32);
        return !copied.isNull();
    }, 10000);
    ASSERT_EQ(copied.size(), boxed.size());
    EXPECT_TRUE(same_pixels(copied, boxed, copied.rect()));

    // T, a click, two lines: Shift+Return breaks the line, Return commits.
    key("t");
    const QRect text_area(300, 800, 700, 250);
    click(w.screen(400, 820));
    type("Hola");
    key("shift+Return");
    type("HOLA");
    key("Return");
    const QImage texted = load(save(captures));
    ASSERT_FALSE(texted.isNull());
    const int rows = red_rows(texted, text_area);
    // Two lines of 30-pixel capitals: more than one line high, less than three.
    EXPECT_GT(rows, 30 * 1.5);
    EXPECT_LT(rows, 30 * 2.5);

    // A double click reopens it; Escape puts it back unchanged.
    key("v");
    click(w.screen(420, 840), 2);
    type("xyz");
    key("Escape");
    const QImage restored = load(save(captures));
    EXPECT_TRUE(same_pixels(restored, texted, restored.rect()));

    // Undo takes the text away, redo brings it back.
    key("ctrl+z");
    const QImage undone = load(save(captures));
    EXPECT_EQ(red_rows(undone, text_area), 0);
    EXPECT_TRUE(same_pixels(undone, boxed, undone.rect()));
    key("ctrl+shift+z");
    EXPECT_TRUE(same_pixels(load(save(captures)), texted, texted.rect()));

    // The rectangle selected, nudged 10 points right with Shift, then deleted.
    click(a);
    key("shift+Right");
    const QImage nudged = load(save(captures));
    const double moved = 10 / w.mapping.zoom;
    const int mid_y = int((ia.y() + ib.y()) / 2);
    EXPECT_FALSE(reddish(nudged.pixel(int(ia.x() - 3), mid_y)));
    EXPECT_TRUE(reddish(nudged.pixel(int(std::lround(ia.x() + moved)), mid_y)));
    key("Delete");
    const QImage removed = load(save(captures));
    EXPECT_TRUE(same_pixels(removed, shot, QRect(0, 0, shot.width(), 750)));

    // C, a drag, Return: the saved file has the crop's size.
    key("c");
    const QPoint c1 = w.screen(200, 100), c2 = w.screen(1000, 700);
    drag(c1, c2);
    key("Return");
    const QImage cropped = load(save(captures));
    const QPointF i1 = w.image(c1), i2 = w.image(c2);
    EXPECT_NEAR(cropped.width(), i2.x() - i1.x(), 2);
    EXPECT_NEAR(cropped.height(), i2.y() - i1.y(), 2);
    EXPECT_TRUE(same_pixels(cropped, shot.copy(QRect(QPoint(int(std::lround(i1.x())), int(std::lround(i1.y()))), cropped.size())),
        cropped.rect()));

    // After that save "Anotar última captura" opens the annotated picture.
    url("vistrope://open-annotate");
    ASSERT_TRUE(wait_until([] { return editor_ids().size() == 2; }, 15000)) << program.err();
    QThread::msleep(500);
    const QImage again = load(save(captures));
    EXPECT_EQ(again.size(), cropped.size());
    EXPECT_TRUE(same_pixels(again, cropped, cropped.rect()));

    // Ctrl+W closes only the window in front; the program runs on.
    key("ctrl+w");
    EXPECT_TRUE(wait_until([] { return editor_ids().size() == 1; }, 10000));
    QThread::msleep(500);
    EXPECT_EQ(editor_ids().size(), 1u);
    EXPECT_EQ(program.process().state(), QProcess::Running);
}

} // namespace

// What a person reads in "Guardar como": Qt's own labels and buttons in
// Spanish (the translations the program installs at launch) and our filter,
// read from the dialog's widgets.
TEST(EditorWindowDesktop, GuardarComoSpeaksSpanish)
{
    testing_support::TempHome home;
    state::reset_for_tests();
    config::Config cfg;
    cfg.save_dir = (home.path() / "capturas").string();
    state::set_config(std::make_shared<const config::Config>(cfg));
    ASSERT_TRUE(ui::install_qt_translations());
    {
        QImage picture(300, 200, QImage::Format_RGB32);
        picture.fill(QColor(60, 120, 200));
        auto controller = editor::build(picture, 1);
        QWidget* window = controller->window();
        window->move(40, 40);
        window->show();
        ASSERT_TRUE(wait_until([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }));
        QFileDialog* dialog = nullptr;
        // Keys sent before the editor holds the focus are lost on a loaded machine: try again.
        for (int attempt = 0; attempt < 3 && !dialog; ++attempt) {
            testing_support::run_serving("xdotool", { "windowactivate", "--sync", QString::number(window->winId()) });
            testing_support::pump_for(300);
            testing_support::run_serving("xdotool", { "key", "ctrl+shift+s" });
            wait_until([&] {
                dialog = window->findChild<QFileDialog*>();
                return dialog && dialog->isVisible();
            });
        }
        ASSERT_TRUE(dialog);
        EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Guardar como"));

        QStringList texts;
        for (const auto* label : dialog->findChildren<QLabel*>())
            texts << label->text().remove('&');
        for (const auto* button : dialog->findChildren<QAbstractButton*>())
            if (button->isVisible())
                texts << button->text().remove('&');
        const auto* filters = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        ASSERT_TRUE(filters);
        for (int i = 0; i < filters->count(); ++i)
            texts << filters->itemText(i);
        const QString all = texts.join('\n');
        for (const char* spanish : { "Ver en", "Nombre", "Guardar", "Cancelar", "Imagen PNG (*.png)" })
            EXPECT_TRUE(all.contains(QString::fromUtf8(spanish))) << spanish << " in:\n" << all.toStdString();
        for (const char* english : { "Look in", "File name", "Cancel", "Files of type", "Save" })
            EXPECT_FALSE(std::ranges::any_of(texts, [&](const QString& t) { return t.startsWith(english) && !t.startsWith("Cancelar"); }))
                << english << " in:\n" << all.toStdString();
        dialog->reject();
        window->close();
        testing_support::pump_for(50);
    }
    for (auto* translator : QCoreApplication::instance()->findChildren<QTranslator*>()) {
        QCoreApplication::removeTranslator(translator);
        delete translator;
    }
    util::wait_for_background();
    state::reset_for_tests();
}
