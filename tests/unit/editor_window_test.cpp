// The editor window offscreen: keys as the editor reads them, the window's
// Ctrl keys with and without a text field, click counting, the stage layout
// following the window, the text field landing where its text is drawn, and
// the list of open editors emptying on the turn after a close.
#include "editor/mod.h"
#include "editor/text_field.h"
#include "editor/views.h"
#include "editor/window.h"

#include "base/state.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleHints>
#include <QFontMetrics>
#include <QLabel>
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

namespace {

using editor::KeyAction;
using editor::model::Tool;
using testing_support::pump_for;
using testing_support::wait_until;

QKeyEvent key(int code, Qt::KeyboardModifiers mods = {}, const QString& text = {})
{
    return QKeyEvent(QEvent::KeyPress, code, mods, text);
}

// Sends a key press the way the window system would: first the override
// query, then the press; returns whether the press was taken.
bool press_key(QWidget* target, int code, Qt::KeyboardModifiers mods = {}, const QString& text = {})
{
    QKeyEvent over(QEvent::ShortcutOverride, code, mods, text);
    over.ignore();
    QApplication::sendEvent(target, &over);
    QKeyEvent press(QEvent::KeyPress, code, mods, text);
    QApplication::sendEvent(target, &press);
    return press.isAccepted();
}

void mouse(QWidget* target, QEvent::Type type, QPointF at, Qt::MouseButtons held, ulong ms = 0)
{
    QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
    event.setTimestamp(ms);
    QApplication::sendEvent(target, &event);
}

void drag(QWidget* target, QPointF from, QPointF to)
{
    mouse(target, QEvent::MouseButtonPress, from, Qt::LeftButton);
    for (int i = 1; i <= 8; ++i)
        mouse(target, QEvent::MouseMove, from + (to - from) * (i / 8.0), Qt::LeftButton);
    mouse(target, QEvent::MouseButtonRelease, to, Qt::NoButton);
}

// Grey, with the right half blue.
QImage picture(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(200, 200, 200));
    QPainter(&image).fillRect(w / 2, 0, w - w / 2, h, QColor(0, 0, 255));
    return image;
}

// An editor window built and shown, 800 × 400 pixels at scale 1.
struct Open {
    Open(int w = 800, int h = 400)
        : controller(editor::build(picture(w, h), 1))
        , e(controller->editor())
        , window(controller->window())
    {
        window->show();
        window->activateWindow();
        window->focus_overlay();
        pump_for(20);
    }
    editor::Editing& editing() { return e->editing(); }
    QWidget* overlay() { return window->overlay(); }
    QPointF view(double x, double y) const
    {
        const auto p = e->editing().mapping().to_view({ x, y });
        return { p.x, p.y };
    }
    std::unique_ptr<editor::VistropeEditorController> controller;
    std::shared_ptr<editor::Editor> e;
    editor::EditorWindow* window;
};

TEST(EditorWindowKeys, QtKeysBecomeTheEditorsKeysAndModifiers)
{
    // Shift does not change the letter; Ctrl is Command, Alt Option, Super Control.
    auto r = editor::key_event(key(Qt::Key_R, Qt::ShiftModifier, "R"));
    EXPECT_EQ(r.key, editor::Key::Other);
    EXPECT_EQ(r.characters, "r");
    EXPECT_EQ(r.modifiers, unsigned(editor::SHIFT));
    auto z = editor::key_event(key(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier, "\x1a"));
    EXPECT_EQ(z.characters, "z");
    EXPECT_EQ(z.modifiers, unsigned(editor::COMMAND | editor::SHIFT));
    auto alt = editor::key_event(key(Qt::Key_V, Qt::AltModifier | Qt::MetaModifier, "v"));
    EXPECT_EQ(alt.modifiers, unsigned(editor::OPTION | editor::CONTROL));

    const std::pair<int, editor::Key> named[] = {
        { Qt::Key_Return, editor::Key::Return }, { Qt::Key_Enter, editor::Key::Enter },
        { Qt::Key_Backspace, editor::Key::Delete }, { Qt::Key_Delete, editor::Key::ForwardDelete },
        { Qt::Key_Escape, editor::Key::Escape }, { Qt::Key_Left, editor::Key::Left },
        { Qt::Key_Right, editor::Key::Right }, { Qt::Key_Down, editor::Key::Down }, { Qt::Key_Up, editor::Key::Up },
    };
    for (const auto& [code, expected] : named)
        EXPECT_EQ(editor::key_event(key(code)).key, expected) << code;
    // A function key has no characters, so it is no tool letter.
    EXPECT_EQ(editor::key_event(key(Qt::Key_F2)).characters, "");
    EXPECT_EQ(editor::key_event(key(Qt::Key_Ntilde, {}, "ñ")).characters, "ñ");
}

TEST(EditorWindowKeys, LettersPickToolsAndUnknownKeysPassOn)
{
    Open o;
    EXPECT_TRUE(press_key(o.overlay(), Qt::Key_R, Qt::ShiftModifier, "R"));
    EXPECT_EQ(o.editing().tool(), Tool::Rectangle);
    EXPECT_EQ(o.overlay()->cursor().shape(), Qt::CrossCursor);
    EXPECT_TRUE(press_key(o.overlay(), Qt::Key_T, {}, "t"));
    EXPECT_EQ(o.overlay()->cursor().shape(), Qt::IBeamCursor);
    EXPECT_TRUE(press_key(o.overlay(), Qt::Key_V, {}, "v"));
    EXPECT_EQ(o.editing().tool(), Tool::Select);
    EXPECT_EQ(o.overlay()->cursor().shape(), Qt::ArrowCursor);
    // Not a tool, and Ctrl+V is no tool key: both go on to the parent.
    EXPECT_FALSE(press_key(o.overlay(), Qt::Key_Q, {}, "q"));
    EXPECT_FALSE(press_key(o.overlay(), Qt::Key_R, Qt::ControlModifier, "\x12"));
    EXPECT_EQ(o.editing().tool(), Tool::Select);
}

TEST(EditorWindowKeys, CtrlKeysActOnTheDocumentOrOnTheOpenField)
{
    Open o;
    press_key(o.overlay(), Qt::Key_R, {}, "r");
    drag(o.overlay(), o.view(100, 100), o.view(300, 200));
    ASSERT_EQ(o.editing().doc().annotations.size(), 1u);

    // The window claims its Ctrl keys before any shortcut, and no others.
    QKeyEvent over(QEvent::ShortcutOverride, Qt::Key_Z, Qt::ControlModifier, "\x1a");
    over.ignore();
    QApplication::sendEvent(o.overlay(), &over);
    EXPECT_TRUE(over.isAccepted());
    QKeyEvent other(QEvent::ShortcutOverride, Qt::Key_Q, Qt::ControlModifier, "\x11");
    other.ignore();
    QApplication::sendEvent(o.overlay(), &other);
    EXPECT_FALSE(other.isAccepted());

    EXPECT_TRUE(press_key(o.overlay(), Qt::Key_Z, Qt::ControlModifier));
    EXPECT_TRUE(o.editing().doc().annotations.empty());
    EXPECT_TRUE(press_key(o.overlay(), Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_EQ(o.editing().doc().annotations.size(), 1u);

    // A text being typed: Ctrl+A, Ctrl+Z and Shift go to the field, the
    // document stays as it is.
    press_key(o.overlay(), Qt::Key_T, {}, "t");
    mouse(o.overlay(), QEvent::MouseButtonPress, o.view(400, 300), Qt::LeftButton);
    mouse(o.overlay(), QEvent::MouseButtonRelease, o.view(400, 300), Qt::NoButton);
    editor::TextField* field = o.window->text_field();
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(QApplication::focusWidget(), field);
    press_key(field, Qt::Key_H, {}, "h");
    press_key(field, Qt::Key_I, {}, "i");
    EXPECT_EQ(field->toPlainText(), "hi");
    const auto history = o.editing().undo_stack().size();
    EXPECT_TRUE(press_key(field, Qt::Key_Z, Qt::ControlModifier));
    EXPECT_NE(field->toPlainText(), "hi");
    EXPECT_TRUE(press_key(field, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier));
    EXPECT_EQ(field->toPlainText(), "hi");
    EXPECT_EQ(o.editing().undo_stack().size(), history);
    EXPECT_EQ(o.editing().doc().annotations.size(), 1u);
    press_key(field, Qt::Key_A, Qt::ControlModifier);
    press_key(field, Qt::Key_O, {}, "o");
    EXPECT_EQ(field->toPlainText(), "o");
    // Ctrl+S is no field key: not taken while typing.
    EXPECT_FALSE(o.window->takes_key_equivalent(key(Qt::Key_S, Qt::ControlModifier)));

    // Shift+Return breaks the line and the field grows; Return commits on the next turn.
    const int height = field->height();
    press_key(field, Qt::Key_Return, Qt::ShiftModifier, "\r");
    press_key(field, Qt::Key_K, {}, "k");
    EXPECT_EQ(field->toPlainText(), "o\nk");
    EXPECT_GT(field->height(), height);
    press_key(field, Qt::Key_Return, {}, "\r");
    EXPECT_TRUE(o.editing().text_edit());
    ASSERT_TRUE(wait_until([&] { return !o.editing().text_edit(); }));
    ASSERT_EQ(o.editing().doc().annotations.size(), 2u);
    const auto* text = std::get_if<editor::model::Text>(&o.editing().doc().annotations.back().geom);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->text, "o\nk");
    EXPECT_EQ(QApplication::focusWidget(), o.overlay());
    EXPECT_TRUE(wait_until([&] { return o.overlay()->findChild<editor::TextField*>() == nullptr; }));
}

TEST(EditorWindowPointer, ClickCountsFollowTheDoubleClickAndATimelyThirdPress)
{
    const QStyleHints* hints = QGuiApplication::styleHints();
    const int interval = hints->mouseDoubleClickInterval();
    const int distance = hints->mouseDoubleClickDistance();
    editor::ClickCounter c;
    EXPECT_EQ(c.press({ 10, 10 }, 1000), 1);
    EXPECT_EQ(c.double_click({ 10, 10 }, 1100), 2);
    EXPECT_EQ(c.press({ 11, 10 }, 1100 + interval - 1), 3);
    EXPECT_EQ(c.press({ 11, 10 }, 1100 + interval), 1) << "a fourth press starts over";
    c.double_click({ 10, 10 }, 5000);
    EXPECT_EQ(c.press({ 10, 10 }, 5000 + interval + 1), 1) << "too late";
    c.double_click({ 10, 10 }, 9000);
    EXPECT_EQ(c.press({ 10.0 + distance + 1, 10 }, 9001), 1) << "too far";
}

TEST(EditorWindowPointer, DoubleClickReopensATextAndEscapeRestoresIt)
{
    Open o;
    press_key(o.overlay(), Qt::Key_T, {}, "t");
    mouse(o.overlay(), QEvent::MouseButtonPress, o.view(100, 100), Qt::LeftButton);
    mouse(o.overlay(), QEvent::MouseButtonRelease, o.view(100, 100), Qt::NoButton);
    for (const char* c : { "A", "B" })
        press_key(o.window->text_field(), Qt::Key_A + (c[0] - 'A'), Qt::ShiftModifier, c);
    press_key(o.window->text_field(), Qt::Key_Return, {}, "\r");
    ASSERT_TRUE(wait_until([&] { return !o.editing().text_edit(); }));
    ASSERT_EQ(o.editing().doc().annotations.size(), 1u);
    const auto before = o.editing().doc();

    press_key(o.overlay(), Qt::Key_V, {}, "v");
    const QPointF on = o.view(110, 110);
    mouse(o.overlay(), QEvent::MouseButtonPress, on, Qt::LeftButton, 100);
    mouse(o.overlay(), QEvent::MouseButtonRelease, on, Qt::NoButton, 120);
    EXPECT_FALSE(o.editing().text_edit()) << "one click only selects";
    mouse(o.overlay(), QEvent::MouseButtonDblClick, on, Qt::LeftButton, 200);
    mouse(o.overlay(), QEvent::MouseButtonRelease, on, Qt::NoButton, 220);
    ASSERT_TRUE(o.editing().text_edit());
    ASSERT_NE(o.window->text_field(), nullptr);
    EXPECT_EQ(o.window->text_field()->toPlainText(), "AB");
    press_key(o.window->text_field(), Qt::Key_X, {}, "x");
    press_key(o.window->text_field(), Qt::Key_Escape);
    ASSERT_TRUE(wait_until([&] { return !o.editing().text_edit(); }));
    EXPECT_EQ(o.editing().doc(), before);
}

TEST(EditorWindowLayout, ResizingKeepsTheCanvasCentredAndMovesAnOpenField)
{
    Open o(1600, 1000);
    press_key(o.overlay(), Qt::Key_T, {}, "t");
    mouse(o.overlay(), QEvent::MouseButtonPress, o.view(800, 500), Qt::LeftButton);
    mouse(o.overlay(), QEvent::MouseButtonRelease, o.view(800, 500), Qt::NoButton);
    ASSERT_NE(o.window->text_field(), nullptr);

    for (const QSize size : { QSize(900, 700), QSize(1300, 560) }) {
        o.window->resize(size);
        pump_for(20);
        const QWidget* stage = o.window->stage();
        ASSERT_EQ(stage->size(), QSize(size.width(), size.height() - 96));
        ASSERT_EQ(o.overlay()->geometry(), stage->rect());
        const auto& m = o.editing().mapping();
        // Centred, with at least 28 points free on the limiting side.
        EXPECT_NEAR(m.offset.x * 2 + m.canvas.w * m.zoom, stage->width(), 1.01);
        EXPECT_NEAR(m.offset.y * 2 + m.canvas.h * m.zoom, stage->height(), 1.01);
        EXPECT_NEAR(std::min(m.offset.x, m.offset.y), 28, 0.51);
        // The picture shows exactly where the mapping puts the canvas.
        const QRect shown(o.window->clip()->mapTo(stage, QPoint()), o.window->clip()->size());
        EXPECT_NEAR(shown.x(), m.offset.x, 1);
        EXPECT_NEAR(shown.width(), m.canvas.w * m.zoom, 1);
        // The picture is drawn there, scaled: grey left, blue right, the
        // backdrop around.
        const QImage shot = o.window->grab().toImage();
        const auto at = [&](double x, double y) {
            const QPointF v = o.view(x, y);
            return shot.pixelColor(int(v.x()), int(v.y()) + 48);
        };
        EXPECT_EQ(at(700, 300), QColor(200, 200, 200));
        EXPECT_EQ(at(900, 300), QColor(0, 0, 255));
        EXPECT_EQ(at(1590, 990), QColor(0, 0, 255));
        EXPECT_NE(at(1620, 500), QColor(0, 0, 255));
        EXPECT_NE(at(-20, 500), QColor(200, 200, 200));
        // The field follows the text's origin.
        const QPointF origin = o.view(800, 500);
        EXPECT_NEAR(o.window->text_field()->y(), origin.y(), 3 + 0.1 * 40 * m.zoom);
        EXPECT_NEAR(o.window->text_field()->x(), origin.x(), 3 + 0.1 * 40 * m.zoom);
    }
}

// The column of the leftmost pixel that is clearly the text's red, or -1.
int leftmost_red(const QImage& image)
{
    for (int x = 0; x < image.width(); ++x)
        for (int y = 0; y < image.height(); ++y) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 170 && c.green() < 90 && c.blue() < 90)
                return x;
        }
    return -1;
}

TEST(EditorWindowText, TheCommittedTextLandsWhereItWasTyped)
{
    Open o(600, 300);
    o.window->resize(900, 600); // zoom 1
    pump_for(20);
    press_key(o.overlay(), Qt::Key_T, {}, "t");
    mouse(o.overlay(), QEvent::MouseButtonPress, o.view(100, 100), Qt::LeftButton);
    mouse(o.overlay(), QEvent::MouseButtonRelease, o.view(100, 100), Qt::NoButton);
    press_key(o.window->text_field(), Qt::Key_H, Qt::ShiftModifier, "H");
    press_key(o.window->text_field(), Qt::Key_L, Qt::ShiftModifier, "L");
    pump_for(20);
    const QImage typing = o.window->grab().toImage();
    press_key(o.window->text_field(), Qt::Key_Return, {}, "\r");
    ASSERT_TRUE(wait_until([&] { return !o.editing().text_edit(); }));
    press_key(o.overlay(), Qt::Key_Escape); // no selection outline
    pump_for(20);
    const QImage drawn = o.window->grab().toImage();
    const int a = leftmost_red(typing);
    const int b = leftmost_red(drawn);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    EXPECT_LE(std::abs(a - b), 1) << a << " typed, " << b << " drawn";
}

TEST(EditorWindowLifetime, AClosedWindowLeavesTheListOnTheNextTurnAndOnlyItself)
{
    editor::state().editors.clear();
    testing_support::from_event_loop([] {
        editor::open(picture(300, 200), 1);
        editor::open(picture(400, 200), 2);
    });
    ASSERT_EQ(editor::state().editors.size(), 2u);
    const std::weak_ptr<editor::Editor> first = editor::state().editors[0]->editor();
    const std::weak_ptr<editor::Editor> second = editor::state().editors[1]->editor();
    QPointer<QWidget> first_window = editor::state().editors[0]->window();
    EXPECT_EQ(first_window->windowTitle(), "Vistrope — Anotar");
    EXPECT_TRUE(first_window->isVisible());

    bool listed_after_close = false;
    testing_support::from_event_loop([&] {
        first_window->close();
        listed_after_close = editor::state().editors.size() == 2;
    });
    EXPECT_TRUE(listed_after_close) << "removed inside the close";
    ASSERT_TRUE(wait_until([&] { return editor::state().editors.size() == 1 && !first_window; }));
    EXPECT_TRUE(first.expired());
    EXPECT_EQ(editor::state().editors[0]->editor(), second.lock());
    EXPECT_TRUE(editor::state().editors[0]->window()->isVisible());
    testing_support::from_event_loop([] { editor::state().editors.clear(); });
    EXPECT_TRUE(second.expired());
}

TEST(EditorWindowLifetime, TheListIsTheMainThreadsOnly)
{
    std::optional<std::string> message;
    std::thread([&] { message = testing_support::fatal_message([] { editor::state().editors.clear(); }); }).join();
    EXPECT_EQ(message, "hilo principal");
}

TEST(EditorWindowStatus, ANewerStatusOutlivesTheTimerOfAnOlderOne)
{
    Open o;
    o.editing().set_status("primero");
    EXPECT_EQ(o.window->controls().status, "primero");
    pump_for(1000);
    o.editing().set_status("segundo");
    pump_for(1700); // 2.7 s after the first
    EXPECT_EQ(o.window->controls().status, "segundo");
    ASSERT_TRUE(wait_until([&] { return !o.editing().status(); }, 3000));
    EXPECT_EQ(o.window->controls().status, "800 × 400 px");
}

TEST(EditorWindowStatus, ALongStatusIsElidedInTheMiddleWithItsEndsKept)
{
    Open o;
    const std::string saved = "Guardado: /home/ana/Escritorio/capturas de pantalla/Vistrope 2026-12-07 a las 20.18.52 (2).png";
    o.editing().set_status(saved);
    const QLabel* status = o.window->toolbar().status;
    const QString shown = status->text();
    EXPECT_TRUE(shown.startsWith("Guardado: ")) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("52 (2).png")) << shown.toStdString();
    EXPECT_TRUE(shown.contains(QString::fromUtf8("…"))) << shown.toStdString();
    EXPECT_LE(QFontMetrics(status->font()).horizontalAdvance(shown), status->width());
    EXPECT_EQ(status->toolTip().toStdString(), saved);
}

} // namespace

namespace {

TEST(EditorWindowSnapshot, WritesThePictureOfTheWholeWindowAndNothingWithoutOne)
{
    testing_support::TempHome home;
    Open o(300, 200);
    o.window->resize(900, 500); // wider than the toolbar's minimum
    pump_for(20);
    const auto path = home.path() / "ventana.png";
    ASSERT_TRUE(editor::snapshot(*o.e, path));
    const QImage written(QString::fromStdString(path.string()));
    ASSERT_EQ(written.size(), QSize(900, 500));
    // The blue half of the picture, where the stage shows it.
    const QPointF v = o.view(250, 100);
    EXPECT_EQ(written.pixelColor(int(v.x()), int(v.y()) + 48), QColor(0, 0, 255));

    // A failed write says why; an editor without a window writes nothing.
    const auto failed = editor::snapshot(*o.e, home.path() / "ventana.png" / "sub.png");
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.error().find("ventana.png/sub.png"), std::string::npos) << failed.error();
    const auto bare = editor::Editor::create(picture(10, 10), 1);
    EXPECT_TRUE(editor::snapshot(*bare, home.path() / "sin.png"));
    EXPECT_FALSE(std::filesystem::exists(home.path() / "sin.png"));
}

} // namespace
