// After-capture cards on the real X server, driven with xdotool as a user
// would; the clipboard read with xclip, drops received by a window that
// accepts them.
#include "cards/quick_access.h"

#include "base/config.h"
#include "base/state.h"
#include "platform/screens.h"
#include "ui/hud.h"
#include "drop_target.h"
#include "qt_wait.h"
#include "test_util.h"
#include "x_tools.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QProcess>
#include <QScreen>
#include <QTimer>
#include <QAbstractButton>
#include <QWidget>
#include <QWindow>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using quick_access::Action;
using quick_access::CardKind;
using testing_support::pump_for;
using testing_support::run_serving;
using testing_support::wait_until;

namespace {

QImage picture()
{
    QImage image(800, 500, QImage::Format_ARGB32_Premultiplied);
    image.fill(QColor(30, 160, 90));
    return image;
}

// A window that takes drops and keeps what it got.
using testing_support::DropTarget;

QString n(int v) { return QString::number(v); }

class DesktopCards : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_cfg = std::make_shared<config::Config>();
        m_cfg->save_dir = (m_home.path() / "capturas").string();
        state::set_config(m_cfg);
        quick_access::Roads roads = quick_access::default_roads();
        roads.pin = [this](QImage, double) { log.push_back("fijar"); };
        roads.annotate = [this](QImage, double) { log.push_back("anotar"); };
        quick_access::set_roads(roads);
        run_serving("xdotool", { "mousemove", "900", "500" });
    }
    void TearDown() override
    {
        testing_support::from_event_loop([] {
            for (VistropeQuickCard* c : std::vector(quick_access::cards()))
                c->close();
        });
        pump_for(300);
        quick_access::set_roads(quick_access::default_roads());
        state::set_config(std::make_shared<config::Config>());
    }
    VistropeQuickCard* show()
    {
        VistropeQuickCard* card = nullptr;
        testing_support::from_event_loop([&] {
            quick_access::show_card(picture(), CardKind::Image, std::nullopt, std::nullopt, std::nullopt, 1.0, 1);
            card = quick_access::cards().back();
        });
        EXPECT_TRUE(wait_until([&] { return card->windowHandle() && card->windowHandle()->isExposed(); }));
        pump_for(200);
        return card;
    }
    QPoint centre_of(const QWidget* w) const { return w->geometry().center(); }
    // Moves onto a button of the card and clicks it once the card shows its
    // buttons under the pointer.
    void hover_then_click(VistropeQuickCard* card, QPoint at)
    {
        run_serving("xdotool", { "mousemove", n(at.x()), n(at.y()) });
        wait_until([&] { return card->controls_shown(); });
        pump_for(100);
        ASSERT_TRUE(card->controls_shown());
        run_serving("xdotool", { "click", "1" });
    }

    testing_support::TempHome m_home;
    std::shared_ptr<config::Config> m_cfg;
    std::vector<std::string> log;
};

} // namespace

TEST_F(DesktopCards, CornerHoverCopyAndPin)
{
    // Without a compositor a card that closes goes at once: watch it through a guard.
    const QPointer<VistropeQuickCard> card(show());
    const QRect visible = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(card->geometry().left(), visible.left() + 18);
    EXPECT_EQ(card->geometry().bottom(), visible.bottom() - 18);
    EXPECT_EQ(card->size(), QSize(232, 145)); // 500 × 232 / 800

    // Hovering shows the buttons; "Copiar" puts the capture on the clipboard.
    EXPECT_FALSE(card->buttons()[0]->isVisible());
    const QPoint c = centre_of(card);
    run_serving("xdotool", { "mousemove", n(c.x()), n(c.y()) });
    ASSERT_TRUE(wait_until([&] { return card->buttons()[0]->isVisible(); }));
    const QPoint copy = card->geometry().topLeft() + card->buttons()[0]->geometry().center();
    hover_then_click(card, copy);
    ASSERT_TRUE(wait_until([&] { return !card || card->closed(); }));
    QImage copied;
    ASSERT_TRUE(wait_until([&] { return copied.loadFromData(testing_support::xclip_png(), "PNG"); }));
    EXPECT_EQ(copied.size(), QSize(800, 500));
    EXPECT_EQ(copied.pixelColor(400, 250), QColor(30, 160, 90));

    // "Fijar en pantalla" (bottom-right icon) reaches the pin.
    const QPointer<VistropeQuickCard> second(show());
    const QPoint c2 = centre_of(second);
    run_serving("xdotool", { "mousemove", n(c2.x()), n(c2.y()) });
    ASSERT_TRUE(wait_until([&] { return second->controls_shown(); }));
    const QPoint pin = second->geometry().topLeft() + QPoint(202 + 11, second->height() - 8 - 11);
    hover_then_click(second, pin);
    ASSERT_TRUE(wait_until([&] { return !second || second->closed(); }));
    EXPECT_EQ(log, std::vector<std::string> { "fijar" });
}

TEST_F(DesktopCards, SaveRevealsTheDeliveredFileWithoutWritingAnother)
{
    // No file manager answers on this session's bus (or there is no bus): the
    // folder goes to the desktop's opener, here a stand-in that notes it.
    const fs::path bin = m_home.path() / "bin";
    fs::create_directories(bin);
    const fs::path noted = m_home.path() / "abierto.txt";
    testing_support::write_file(bin / "xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > '" + noted.string() + "'\n");
    fs::permissions(bin / "xdg-open", fs::perms::owner_all);
    testing_support::ScopedEnv path("PATH", bin.string() + ":" + std::getenv("PATH"));
    testing_support::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (m_home.path() / "no-bus").string());

    VistropeQuickCard* card = show();
    // Delivery wrote the capture already: "Guardar" reveals that file.
    const fs::path delivered = fs::path(m_cfg->save_dir) / "entregada.png";
    fs::create_directories(m_cfg->save_dir);
    testing_support::write_file(delivered, "png");
    quick_access::attach_file(delivered, 1);
    const QPoint c = centre_of(card);
    run_serving("xdotool", { "mousemove", n(c.x()), n(c.y()) });
    ASSERT_TRUE(wait_until([&] { return card->controls_shown(); }));
    hover_then_click(card, card->geometry().topLeft() + card->buttons()[1]->geometry().center());
    ASSERT_TRUE(wait_until([&] { return card->closed(); }));
    ASSERT_TRUE(wait_until([&] { return fs::exists(noted) && fs::file_size(noted) > 0; }, 5000));
    EXPECT_EQ(testing_support::read_file(noted), m_cfg->save_dir);
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(m_cfg->save_dir))
        files += e.is_regular_file();
    EXPECT_EQ(files, 1u) << "no second file";
}

TEST_F(DesktopCards, DragOutDeliversTheFileAndClosesTheCard)
{
    DropTarget target;
    target.setAcceptDrops(true);
    target.setGeometry(900, 200, 400, 300);
    target.show();
    ASSERT_TRUE(wait_until([&] { return target.windowHandle() && target.windowHandle()->isExposed(); }));

    VistropeQuickCard* card = show();
    // Without a compositor the card goes at once when the drop closes it.
    const QPointer<VistropeQuickCard> guard(card);
    std::optional<fs::path> card_file;
    target.dropped = [&] {
        if (guard)
            card_file = guard->file();
    };
    const QPoint c = centre_of(card);
    // Three points: no drag, no file.
    run_serving("xdotool", { "mousemove", n(c.x()), n(c.y()), "mousedown", "1", "sleep", "0.1", "mousemove", n(c.x() + 3),
                               n(c.y()), "sleep", "0.1", "mouseup", "1" });
    pump_for(200);
    EXPECT_FALSE(card->file());
    EXPECT_FALSE(card->closed());

    // Onto the target: the file URL and the PNG's bytes arrive, the card closes.
    const QPoint t = target.geometry().center();
    run_serving("xdotool", { "mousemove", n(c.x()), n(c.y()), "mousedown", "1", "sleep", "0.2", "mousemove", n(c.x() + 10),
                               n(c.y() - 10), "sleep", "0.3", "mousemove", n(t.x()), n(t.y()), "sleep", "0.3", "mousemove",
                               n(t.x() + 5), n(t.y() + 5), "sleep", "0.3", "mouseup", "1" });
    ASSERT_TRUE(wait_until([&] { return !target.urls.isEmpty(); }, 8000));
    ASSERT_TRUE(card_file);
    EXPECT_EQ(target.urls.front().toLocalFile().toStdString(), card_file->string());
    EXPECT_EQ(target.png, QByteArray::fromStdString(testing_support::read_file(*card_file)));
    EXPECT_TRUE(wait_until([&] { return !guard || guard->closed(); }));
}

TEST_F(DesktopCards, SixCapturesLeaveFiveAndTheTimerSparesTheHoveredOne)
{
    for (int i = 0; i < 6; ++i)
        show();
    ASSERT_EQ(quick_access::cards().size(), 5u);
    // The cards moved up by the sixth reach their places as the window
    // manager moves them, later on a loaded machine.
    const auto gaps = [] {
        const auto& cards = quick_access::cards();
        std::vector<int> between;
        for (std::size_t i = 0; i + 1 < cards.size(); ++i)
            between.push_back(cards[i + 1]->geometry().top() - cards[i]->geometry().bottom() - 1);
        return between;
    };
    EXPECT_TRUE(wait_until([&] { return gaps() == std::vector { 12, 12, 12, 12 }; }, 4000)) << ::testing::PrintToString(gaps());
    testing_support::from_event_loop([] {
        for (VistropeQuickCard* c : std::vector(quick_access::cards()))
            c->close();
    });

    m_cfg->quick_access_seconds = 1;
    QPointer<VistropeQuickCard> idle(show());
    QPointer<VistropeQuickCard> hovered(show());
    const QPoint h = centre_of(hovered);
    run_serving("xdotool", { "mousemove", n(h.x()), n(h.y()) });
    ASSERT_TRUE(wait_until([&] { return hovered->hovered(); }));
    ASSERT_TRUE(wait_until([&] { return idle.isNull() || idle->closed(); }, 4000));
    pump_for(500);
    ASSERT_FALSE(hovered.isNull());
    EXPECT_FALSE(hovered->closed());
}

TEST_F(DesktopCards, TheTimerClosingACardMidDragLetsTheDragEnd)
{
    m_cfg->quick_access_seconds = 1.5;
    QPointer<VistropeQuickCard> card(show());
    const QPoint c = centre_of(card);
    // A drag that lost its pointer grab never sees the release and nothing
    // gets it out of its loop: rather than hang, the run ends failing.
    auto ended = std::make_shared<bool>(false);
    QTimer::singleShot(8000, [ended] {
        if (*ended)
            return;
        std::fputs("DesktopCards: the drag was still waiting for its release\n", stderr);
        std::fflush(stderr);
        std::_Exit(1);
    });
    // The drag goes on past the timer and ends over nothing.
    run_serving("xdotool", { "mousemove", n(c.x()), n(c.y()), "mousedown", "1", "sleep", "0.2", "mousemove", n(c.x() + 10),
                               n(c.y() - 10), "sleep", "0.2", "mousemove", "900", "300", "sleep", "2.5", "mousemove", "905",
                               "305", "sleep", "0.3", "mouseup", "1" });
    *ended = true;
    // The drag ended with the release (the test goes on), and the card the
    // timer closed meanwhile went with it.
    EXPECT_TRUE(wait_until([&] { return card.isNull(); }, 3000));
    EXPECT_TRUE(quick_access::cards().empty());
}

// A real window captured with its shadow: its card shows the window edge to
// edge, none of the shadow's margin in dark bands; and a toast raised while
// the pointer rests on the card's buttons leaves every button in sight.
TEST_F(DesktopCards, AWindowsCardShowsTheWindowAndAToastLeavesItsButtonsInSight)
{
    QProcess xterm;
    xterm.start("xterm", { "-T", "vistrope-tarjeta", "-bg", "rgb:f0/e0/a0", "-geometry", "90x24+700+200", "-e", "sh", "-c", "sleep 60" });
    ASSERT_TRUE(xterm.waitForStarted(5000));
    QByteArray id;
    ASSERT_TRUE(wait_until([&] {
        id = run_serving("xdotool", { "search", "--onlyvisible", "--name", "vistrope-tarjeta" }).trimmed();
        return !id.isEmpty();
    })) << "waited for the xterm to map";
    std::optional<QImage> shot;
    bool called = false;
    ASSERT_TRUE(wait_until([&] {
        if (called && shot && shot->width() > 300)
            return true;
        called = false;
        capture::capture_window(id.split('\n').front().toUInt(), true, [&](std::optional<QImage> image) {
            called = true;
            shot = std::move(image);
        });
        wait_until([&] { return called; });
        return false;
    })) << "waited for a capture of the xterm";
    ASSERT_TRUE(shot->hasAlphaChannel());
    EXPECT_EQ(qAlpha(shot->pixel(0, 0)), 0) << "captured with its shadow's transparent margin";

    VistropeQuickCard* card = nullptr;
    testing_support::from_event_loop([&] {
        quick_access::show_card(*shot, CardKind::Image, std::nullopt, std::nullopt, std::nullopt, 1.0, 1);
        card = quick_access::cards().back();
    });
    ASSERT_TRUE(wait_until([&] { return card->windowHandle() && card->windowHandle()->isExposed() && card->windowOpacity() == 1; }));
    pump_for(200);
    // Along each edge, just inside the card's rim: the window (its light
    // ground, its frame), never the card's dark ground under a shadow.
    const QRect at = card->geometry();
    const QImage screen = testing_support::screen_now();
    ASSERT_FALSE(screen.isNull());
    const auto light = [&](int x, int y) { return qGray(screen.pixel(x, y)) > 90; };
    for (int y = at.top() + 14; y < at.bottom() - 14; y += 4) {
        EXPECT_TRUE(light(at.left() + 3, y)) << "left edge, row " << y - at.top();
        EXPECT_TRUE(light(at.right() - 3, y)) << "right edge, row " << y - at.top();
    }
    for (int x = at.left() + 14; x < at.right() - 14; x += 4) {
        EXPECT_TRUE(light(x, at.top() + 3)) << "top edge, column " << x - at.left();
        EXPECT_TRUE(light(x, at.bottom() - 3)) << "bottom edge, column " << x - at.left();
    }

    // The pointer on "Copiar": the card shows its buttons; a toast comes.
    const QPoint copy = at.topLeft() + card->buttons()[0]->geometry().center();
    run_serving("xdotool", { "mousemove", n(copy.x()), n(copy.y()) });
    ASSERT_TRUE(wait_until([&] { return card->controls_shown(); }));
    pump_for(200);
    const QImage before = testing_support::screen_now().copy(at);
    QWidget* toast = nullptr;
    testing_support::from_event_loop([&] {
        hud::toast("checkmark.circle", "Captura copiada al portapapeles", 3.0);
        toast = hud::prepare_toast("checkmark.circle", "Captura copiada al portapapeles");
    });
    ASSERT_TRUE(wait_until([&] { return toast->windowHandle() && toast->windowHandle()->isExposed(); }));
    pump_for(200);
    const QImage after = testing_support::screen_now().copy(at);
    for (const QAbstractButton* button : card->buttons()) {
        const QRect r = button->geometry();
        int changed = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                changed += before.pixel(x, y) != after.pixel(x, y);
        EXPECT_EQ(changed, 0) << button->accessibleName().toStdString() << button->text().toStdString() << " covered";
    }
    xterm.kill();
    xterm.waitForFinished(2000);
}
