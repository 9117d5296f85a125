// After-capture cards on Qt's offscreen platform, with the roads out recorded.
#include "cards/quick_access.h"
#include "capture/flash.h"
#include "capture/output.h"
#include "platform/screen_capture.h"
#include "ui/hud.h"

#include "base/config.h"
#include "base/state.h"
#include "codec/gif.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QApplication>
#include <QAbstractButton>
#include <QClipboard>
#include <QCursor>
#include <QScreen>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;
using quick_access::Action;
using quick_access::CardKind;
using testing_support::pump_for;
using testing_support::wait_until;

namespace {

QImage picture(int w, int h, QColor colour = QColor(20, 140, 220))
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(colour);
    return image;
}

int live_cards()
{
    int n = 0;
    for (QWidget* w : QApplication::allWidgets())
        n += dynamic_cast<VistropeQuickCard*>(w) != nullptr;
    return n;
}

class Cards : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_cfg = std::make_shared<config::Config>();
        m_cfg->save_dir = (m_home.path() / "capturas").string();
        state::set_config(m_cfg);
        quick_access::Roads roads = quick_access::default_roads();
        roads.annotate = [this](QImage image, double scale) { log.push_back(fmt::format("anotar {}x{} {}", image.width(), image.height(), scale)); };
        roads.pin = [this](QImage, double scale) { log.push_back(fmt::format("fijar {}", scale)); };
        roads.reveal = [this](const fs::path& p, const std::string& failure) { log.push_back("mostrar " + p.filename().string() + " / " + failure); };
        roads.saved = [this](const fs::path& p) { log.push_back("guardada " + p.filename().string()); };
        roads.failed = [this](const std::string& toast, const std::string& why) { log.push_back("aviso " + toast + " / " + why); };
        roads.edit_video = [this](const fs::path& p) { log.push_back("editar " + p.filename().string()); };
        roads.open_path = [this](const std::string& p) { log.push_back("abrir " + fs::path(p).filename().string()); };
        roads.copy_file = [this](const fs::path& p) { log.push_back("copiar " + p.filename().string()); };
        roads.make_gif = [this](const fs::path& s, const fs::path& d) { log.push_back("gif " + s.filename().string() + " " + d.filename().string()); };
        roads.thumbnail = [](const fs::path&, double) -> std::optional<QImage> { return picture(640, 360); };
        roads.duration = [](const fs::path&) -> std::optional<double> { return 3725.0; };
        quick_access::set_roads(roads);
    }
    void TearDown() override
    {
        for (VistropeQuickCard* c : std::vector(quick_access::cards()))
            c->close();
        pump_for(300);
        quick_access::set_roads(quick_access::default_roads());
        state::set_config(std::make_shared<config::Config>());
    }
    VistropeQuickCard* show(std::uint64_t delivery = 0, int w = 400, int h = 300)
    {
        quick_access::show_card(picture(w, h), CardKind::Image, std::nullopt, std::nullopt, std::nullopt, 2.0, delivery);
        return quick_access::cards().back();
    }

    testing_support::TempHome m_home;
    std::shared_ptr<config::Config> m_cfg;
    std::vector<std::string> log;
};

} // namespace

TEST_F(Cards, FiveAtMostTheOldestGoesAndNothingOutlivesItsCard)
{
    const int before = live_cards();
    std::vector<QPointer<VistropeQuickCard>> made;
    testing_support::from_event_loop([&] {
        for (int i = 0; i < 6; ++i)
            made.push_back(show(i + 1));
    });
    ASSERT_EQ(quick_access::cards().size(), 5u);
    EXPECT_EQ(quick_access::cards().front(), made[1].data());
    EXPECT_TRUE(wait_until([&] { return made[0].isNull(); })) << "an evicted card is deleted";
    // Newest lowest, 12 points between cards (Qt's y grows downwards).
    const auto& c = quick_access::cards();
    EXPECT_EQ(c[4]->geometry().top() - c[3]->geometry().bottom() - 1, 12);

    // Twenty 4K captures, closed or pushed out: none of them lives on.
    testing_support::from_event_loop([&] {
        for (int i = 0; i < 20; ++i) {
            VistropeQuickCard* card = show(100 + i, 3840, 2160);
            if (i % 3 == 0)
                card->close();
        }
        for (VistropeQuickCard* card : std::vector(quick_access::cards()))
            card->close();
    });
    EXPECT_TRUE(wait_until([&] { return live_cards() == before; }, 5000)) << live_cards() - before << " cards still alive";
}

TEST_F(Cards, ClosingTwiceActsOnceAndTheTimerSparesAHoveredCard)
{
    VistropeQuickCard* a = show();
    VistropeQuickCard* b = show();
    a->act(Action::Close);
    EXPECT_TRUE(a->closed());
    EXPECT_EQ(quick_access::cards(), std::vector<VistropeQuickCard*> { b });
    a->close(); // a second close changes nothing
    EXPECT_EQ(quick_access::cards().size(), 1u);
    b->close();

    m_cfg->quick_access_seconds = 0.3;
    QPointer<VistropeQuickCard> idle(show());
    QPointer<VistropeQuickCard> hovered(show());
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(hovered.data(), &enter);
    EXPECT_TRUE(hovered->hovered());
    EXPECT_TRUE(hovered->controls_shown());
    EXPECT_TRUE(wait_until([&] { return idle.isNull(); }, 3000));
    pump_for(300);
    ASSERT_FALSE(hovered.isNull());
    EXPECT_FALSE(hovered->closed());
}

TEST_F(Cards, FilesGoOnlyToTheCardOfTheirDelivery)
{
    VistropeQuickCard* first = show(7);
    VistropeQuickCard* second = show(8);
    // The later delivery finishes first: each card still gets its own file.
    quick_access::attach_file("/tmp/b.png", 8);
    quick_access::attach_file("/tmp/a.png", 7);
    EXPECT_EQ(first->file(), fs::path("/tmp/a.png"));
    EXPECT_EQ(second->file(), fs::path("/tmp/b.png"));
    // Once a card has a file, or is closed, a file for it is dropped.
    quick_access::attach_file("/tmp/c.png", 8);
    EXPECT_EQ(second->file(), fs::path("/tmp/b.png"));
    VistropeQuickCard* third = show(9);
    third->close();
    quick_access::attach_file("/tmp/d.png", 9);
    EXPECT_FALSE(third->file());
}

// Once delivery's PNG is in, a still's card keeps those bytes and its
// thumbnail, not the picture; every action still gets the very picture
// delivered (pixels, layout, colour profile), the copy and the file get
// the very bytes.
TEST_F(Cards, AStillKeepsItsPngInPlaceOfThePictureAndGivesTheSamePictureBack)
{
    // Odd size, a gradient, translucent and fully transparent pixels (a
    // window's shadow), premultiplied as captures are.
    QImage shot(301, 157, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < shot.height(); ++y)
        for (int x = 0; x < shot.width(); ++x) {
            const int a = x < 40 ? (x * 7 + y) % 256 : 255;
            shot.setPixel(x, y, qPremultiply(qRgba((x * 5) % 256, (y * 3) % 256, (x ^ y) % 256, a)));
        }
    QImage pinned;
    quick_access::Roads roads = quick_access::default_roads();
    roads.pin = [&](QImage image, double) { pinned = std::move(image); };
    roads.reveal = [](const fs::path&, const std::string&) {};
    quick_access::set_roads(roads);
    quick_access::show_card(shot, CardKind::Image, std::nullopt, std::nullopt, std::nullopt, 2.0, 42);
    VistropeQuickCard* card = quick_access::cards().back();
    const auto png = std::make_shared<const std::vector<std::uint8_t>>(output::encode(shot, 2.0));
    // Another delivery's bytes are not this card's.
    quick_access::attach_png(png, 41);
    pump_for(300);
    EXPECT_TRUE(card->holds_picture());
    quick_access::attach_png(png, 42);
    ASSERT_TRUE(wait_until([&] { return !card->holds_picture(); })) << "the thumbnail stands in for the picture";

    const QImage back = card->image();
    EXPECT_EQ(back.format(), shot.format());
    EXPECT_EQ(back.colorSpace(), shot.colorSpace());
    ASSERT_EQ(back.size(), shot.size());
    for (int y = 0; y < shot.height(); ++y)
        ASSERT_EQ(std::memcmp(back.constScanLine(y), shot.constScanLine(y), 4 * static_cast<std::size_t>(shot.width())), 0) << "row " << y;

    const auto path = card->ensure_file();
    ASSERT_TRUE(path);
    EXPECT_EQ(testing_support::read_file(*path), std::string(png->begin(), png->end()));
    card->act(Action::Copy); // and the card goes
    const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->data("image/png"), QByteArray(reinterpret_cast<const char*>(png->data()), static_cast<qsizetype>(png->size())));

    quick_access::show_card(shot, CardKind::Image, std::nullopt, std::nullopt, std::nullopt, 2.0, 43);
    VistropeQuickCard* second = quick_access::cards().back();
    quick_access::attach_png(png, 43);
    ASSERT_TRUE(wait_until([&] { return !second->holds_picture(); }));
    second->act(Action::Pin);
    EXPECT_EQ(pinned, shot);
}

TEST_F(Cards, ActionsReachTheirRoadsAndSaveOnce)
{
    VistropeQuickCard* card = show(1);
    card->act(Action::Pin);
    EXPECT_TRUE(card->closed());
    VistropeQuickCard* edit = show(2);
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(50, 50), QPointF(50, 50), Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(edit, &dbl);
    EXPECT_TRUE(edit->closed());
    // "Guardar" writes the capture once and reveals that file; a second
    // save of the same card reveals it again without writing another.
    VistropeQuickCard* save = show(3);
    const auto path = save->ensure_file();
    ASSERT_TRUE(path);
    EXPECT_TRUE(fs::exists(*path));
    EXPECT_EQ(save->ensure_file(), path);
    save->act(Action::Save);
    EXPECT_EQ(log, (std::vector<std::string> { "fijar 2", "anotar 400x300 2",
                       "mostrar " + path->filename().string() + " / No se pudo abrir la carpeta" }));
    // A card whose capture is not on disk yet says it saved it before the
    // folder is even asked for, and a folder that will not open says so too.
    log.clear();
    show(5)->act(Action::Save);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("guardada ", 0), 0u) << log[0];
    EXPECT_EQ(log[1], "mostrar " + log[0].substr(9) + " / Captura guardada; no se pudo abrir la carpeta");
    std::size_t files = 0;
    for (const auto& e : fs::directory_iterator(m_cfg->save_dir))
        files += e.path().extension() == ".png";
    EXPECT_EQ(files, 2u);

    // A folder that cannot be made: no file, the user is told, the card stays.
    m_cfg->save_dir = (m_home.path() / "archivo" / "capturas").string();
    testing_support::write_file(m_home.path() / "archivo", "x");
    VistropeQuickCard* stuck = show(4);
    log.clear();
    stuck->act(Action::Save);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("aviso No se pudo guardar la captura / no pude guardar la captura: ", 0), 0u) << log[0];
    EXPECT_FALSE(stuck->closed());
}

TEST_F(Cards, CardsForVideoAndGifFiles)
{
    // A GIF the program's own encoder writes.
    const fs::path gif_path = m_home.path() / "clip.GIF";
    {
        auto sink = gif::FileSink::create(gif_path);
        ASSERT_TRUE(sink.has_value());
        auto enc = gif::GifEncoder::create(**sink, 64, 36, {});
        ASSERT_TRUE(enc.has_value());
        gif::Frame frame;
        frame.pixels.assign(64 * 36, 0x0000c8); // blue
        frame.delay = 10;
        ASSERT_TRUE(enc->push(std::move(frame)).has_value());
        ASSERT_TRUE(enc->finish().has_value());
    }
    quick_access::show_file(gif_path);
    ASSERT_TRUE(wait_until([] { return !quick_access::cards().empty(); }));
    VistropeQuickCard* gif_card = quick_access::cards().back();
    EXPECT_EQ(gif_card->kind(), CardKind::Gif);
    EXPECT_EQ(gif_card->image().size(), QSize(64, 36));
    EXPECT_EQ(gif_card->buttons().size(), 3u);
    gif_card->act(Action::Edit); // a GIF opens in its default application
    gif_card = nullptr;

    const fs::path video = m_home.path() / "grabacion.mp4";
    testing_support::write_file(video, "not really a video");
    quick_access::show_file(video);
    ASSERT_TRUE(wait_until([] { return quick_access::cards().size() == 1 && quick_access::cards().back()->kind() == CardKind::Video; }));
    VistropeQuickCard* video_card = quick_access::cards().back();
    EXPECT_EQ(video_card->scale(), 2.0);
    EXPECT_EQ(video_card->height(), 131); // 360 × 232 / 640 = 130.5
    video_card->act(Action::Gif);
    EXPECT_EQ(log, (std::vector<std::string> { "abrir clip.GIF", "gif grabacion.mp4 grabacion.gif" }));
    EXPECT_TRUE(video_card->closed());

    // Without a picture the placeholder stands in.
    auto roads = quick_access::default_roads();
    quick_access::set_roads(roads);
    quick_access::show_video(video, std::nullopt);
    ASSERT_TRUE(wait_until([] { return !quick_access::cards().empty() && quick_access::cards().back()->image().size() == QSize(16, 9); }));
    // A light veil: every byte 48 (premultiplied white at alpha 48).
    const QImage veil = quick_access::cards().back()->image();
    ASSERT_EQ(veil.format(), QImage::Format_RGBA8888_Premultiplied);
    for (int y = 0; y < veil.height(); ++y)
        for (int i = 0; i < veil.width() * 4; ++i)
            ASSERT_EQ(veil.constScanLine(y)[i], 48) << "row " << y << ", byte " << i;
    ASSERT_TRUE(quick_access::cards().back()->badge());
    EXPECT_EQ(quick_access::cards().back()->badge()->text, "0:00");

    // A recording kept incomplete says so on its card, beside its length.
    const fs::path incomplete = m_home.path() / "Vistrope 2026-01-05 a las 09.03.07 (incompleta).mp4";
    testing_support::write_file(incomplete, "not really a video");
    const std::size_t shown = quick_access::cards().size();
    quick_access::show_video(incomplete, std::nullopt);
    ASSERT_TRUE(wait_until([&] { return quick_access::cards().size() > shown; }));
    ASSERT_TRUE(quick_access::cards().back()->badge());
    EXPECT_EQ(quick_access::cards().back()->badge()->text, "Incompleta · 0:00");
    EXPECT_EQ(quick_access::cards().back()->badge()->symbol, "exclamationmark.triangle");
}

TEST_F(Cards, TheFlashFliesAtOnceAndTheCardAppearsAsItLands)
{
    m_cfg->after_capture.flash = true;
    flash::prewarm();
    const std::uint64_t before = flash::generation();
    QImage picture_of_it(400, 300, QImage::Format_ARGB32_Premultiplied);
    picture_of_it.fill(QColor(90, 90, 90));
    flash::Origin origin;
    origin.rect = { 100, 100, 400, 300 };
    origin.image = picture_of_it;
    ASSERT_TRUE(flash::landing_delay(origin));
    quick_access::show_card(picture_of_it, CardKind::Image, std::nullopt, std::nullopt, origin, 1.0);
    VistropeQuickCard* card = quick_access::cards().back();
    // No wait before the flash; the card still invisible while it flies.
    EXPECT_EQ(flash::generation(), before + 1);
    EXPECT_EQ(card->windowOpacity(), 0.0);
    EXPECT_SOON(card->windowOpacity() == 1.0);
    EXPECT_EQ(flash::generation(), before + 1) << "one flash";
}

// A long capture's card shows its top, where the page begins, not a stretch
// of its middle.
TEST(CardPicture, ALongCaptureShowsItsTopAndAWideOneItsMiddle)
{
    // White, with one coloured rectangle.
    const auto marked = [](QSize size, QRect mark, QRgb colour) {
        QImage image(size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        QPainter(&image).fillRect(mark, QColor(colour));
        return image;
    };
    const QImage top = quick_access::fill_thumbnail(marked({ 200, 2000 }, { 0, 0, 200, 200 }, qRgb(255, 0, 0)), QSize(232, 200));
    ASSERT_EQ(top.size(), QSize(232, 200));
    EXPECT_EQ(top.pixel(116, 5), qRgb(255, 0, 0));
    EXPECT_EQ(top.pixel(116, 190), qRgb(255, 0, 0));

    // Across, the middle still: a wide capture's centre band shows.
    const QImage middle = quick_access::fill_thumbnail(marked({ 2000, 100 }, { 950, 0, 100, 100 }, qRgb(0, 0, 255)), QSize(232, 96));
    EXPECT_EQ(middle.pixel(116, 48), qRgb(0, 0, 255));
    EXPECT_EQ(middle.pixel(2, 48), qRgb(255, 255, 255));
}

// A window captured with its shadow: the card takes the window's shape and
// shows the window edge to edge, none of the shadow's transparent margin.
TEST_F(Cards, AWindowsCardShowsTheWindowNotItsShadow)
{
    // 300 × 150 points of window, each edge a colour of its own, on the
    // program's own shadow (a 28-pixel margin, the drop below).
    QImage window(300, 150, QImage::Format_ARGB32_Premultiplied);
    window.fill(QColor(240, 240, 240));
    {
        QPainter p(&window);
        p.fillRect(0, 0, 300, 12, QColor(0, 200, 0));
        p.fillRect(0, 138, 300, 12, QColor(230, 200, 0));
        p.fillRect(0, 0, 12, 150, QColor(220, 0, 0));
        p.fillRect(288, 0, 12, 150, QColor(0, 0, 220));
    }
    const QImage shot = platform::with_window_shadow(window, 1.0);
    ASSERT_EQ(shot.size(), QSize(356, 206));

    quick_access::show_card(shot, CardKind::Image, std::nullopt, std::nullopt, std::nullopt, 1.0, 7);
    VistropeQuickCard* card = quick_access::cards().back();
    EXPECT_EQ(card->height(), quick_access::card_height(300, 150)) << "the window's shape, not the shadowed picture's";
    EXPECT_EQ(card->height(), 116);

    const QImage face = card->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    ASSERT_EQ(face.size(), QSize(232, 116));
    // Each edge's colour reaches the card's edge (inside its 1-point rim);
    // the shadow's dark band shows nowhere along them.
    const auto near = [](QRgb got, QColor want) {
        return std::abs(qRed(got) - want.red()) < 40 && std::abs(qGreen(got) - want.green()) < 40 && std::abs(qBlue(got) - want.blue()) < 40;
    };
    for (int y = 20; y < 96; y += 5) {
        EXPECT_TRUE(near(face.pixel(3, y), QColor(220, 0, 0))) << "left edge at " << y;
        EXPECT_TRUE(near(face.pixel(228, y), QColor(0, 0, 220))) << "right edge at " << y;
    }
    for (int x = 20; x < 212; x += 8) {
        EXPECT_TRUE(near(face.pixel(x, 3), QColor(0, 200, 0))) << "top edge at " << x;
        EXPECT_TRUE(near(face.pixel(x, 112), QColor(230, 200, 0))) << "bottom edge at " << x;
    }
    EXPECT_TRUE(near(face.pixel(116, 58), QColor(240, 240, 240)));

    // What the card keeps of the capture is still the whole shadowed picture.
    EXPECT_EQ(card->image(), shot);
}

// A picture that is faint all over (a translucent window's capture) is shown
// whole rather than cut to nothing; an opaque one is read whole too.
TEST(CardPicture, AFaintOrOpaquePictureIsShownWhole)
{
    QImage faint(120, 60, QImage::Format_ARGB32_Premultiplied);
    faint.fill(qPremultiply(qRgba(255, 255, 255, 60)));
    QPainter(&faint).fillRect(30, 10, 20, 20, QColor(0, 0, 0, 50)); // 98 where it lies over the ground
    const QImage thumb = quick_access::fill_thumbnail(faint, QSize(232, 116));
    ASSERT_EQ(thumb.size(), QSize(232, 116));
    EXPECT_EQ(qAlpha(thumb.pixel(2, 2)), 60) << "the faint ground still shows at the corner";

    // A picture with a transparent margin and a half-opaque middle shows the middle.
    QImage margin(200, 200, QImage::Format_ARGB32_Premultiplied);
    margin.fill(Qt::transparent);
    QPainter(&margin).fillRect(50, 75, 100, 50, QColor(10, 20, 30));
    const QImage middle = quick_access::fill_thumbnail(margin, QSize(232, 116));
    for (const QPoint at : { QPoint(0, 0), QPoint(231, 0), QPoint(0, 115), QPoint(231, 115), QPoint(116, 58) })
        EXPECT_EQ(middle.pixel(at), qRgb(10, 20, 30)) << at.x() << "," << at.y();
}

// A toast answering a card's button stands clear of every card, and one
// already up steps aside when a card comes under it.
TEST_F(Cards, ToastsStandClearOfTheCards)
{
    VistropeQuickCard* older = show(1);
    VistropeQuickCard* newer = show(2);
    const auto covers_a_card = [](const QWidget* toast) {
        for (const VistropeQuickCard* card : quick_access::cards())
            if (toast->geometry().intersects(card->geometry()))
                return true;
        return false;
    };
    for (VistropeQuickCard* card : { older, newer })
        for (QAbstractButton* button : card->buttons()) {
            QCursor::setPos(card->geometry().topLeft() + button->geometry().center());
            hud::toast("checkmark.circle", "Captura guardada", 1.0);
            const QWidget* toast = hud::prepare_toast("checkmark.circle", "Captura guardada");
            EXPECT_TRUE(toast->isVisible());
            EXPECT_FALSE(covers_a_card(toast)) << "pointer on a button at " << button->geometry().center().x() << ","
                                               << button->geometry().center().y();
            EXPECT_TRUE(older->screen()->availableGeometry().contains(toast->geometry()));
        }

    // The pointer just above where a third card will stand: the toast goes
    // under the pointer, onto that place, and moves off when the card comes.
    const QRect top = older->geometry();
    QCursor::setPos(top.left() + 100, top.top() - 200);
    hud::toast("checkmark.circle", "Copiado", 1.0);
    const QWidget* toast = hud::prepare_toast("checkmark.circle", "Copiado");
    const QRect before = toast->geometry();
    EXPECT_FALSE(covers_a_card(toast));
    show(3, 400, 800); // a tall card: the stack grows up under the toast
    EXPECT_TRUE(before.intersects(quick_access::cards().front()->geometry())) << "the new card reaches where the toast stood";
    EXPECT_FALSE(covers_a_card(toast));
    EXPECT_NE(toast->geometry(), before);
    // A card going leaves a clear toast where it is: no jumping back.
    const QRect moved = toast->geometry();
    quick_access::cards().back()->close();
    EXPECT_EQ(toast->geometry(), moved);
}
