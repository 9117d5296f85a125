// Sessions of the selection overlay against recording fakes of its roads
// (capture, delivery, recognition, recorder, scrolling capture), on Qt's
// offscreen platform.
#include "qt_wait.h"
#include "capture/modebar.h"
#include "capture/overlay.h"
#include "capture/overlay_view.h"
#include "base/state.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "test_util.h"

#include <QBackingStore>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <memory>

using namespace overlay;

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

struct DisplayRequest {
    std::uint32_t display;
    std::optional<RectF> region;
    CaptureDone done;
    double scale;
};

struct WindowRequest {
    std::uint32_t window;
    bool shadow;
    CaptureDone done;
    bool content_only = false; // the window's own area, without the title bar
};

struct Recorded {
    std::vector<DisplayRequest> displays;
    std::vector<WindowRequest> windows;
    std::vector<Finished> shots;
    std::vector<Finished> texts;
    std::vector<std::tuple<std::uint32_t, std::optional<RectF>, std::optional<std::uint32_t>, double, actions::RecordingFormat>>
        records;
    std::vector<std::tuple<std::uint32_t, RectF, double>> scrolls;
    std::vector<RectF> scroll_windows;
    int timers = 0;
    std::vector<WindowEntry> window_list;
    int trims = 0;
    bool compositor = false;
};

bool wait_for(const std::function<bool()>& done, int ms = 3000)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// A picture whose every pixel tells where it is: red = x, green = y (mod 256).
QImage gradient(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, 77));
    return image;
}

class OverlaySession : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        set_config([](config::Config&) {});
        m = std::make_shared<Recorded>();
        auto rec = m;
        Roads r;
        r.window_list = [rec] { return rec->window_list; };
        r.capture_display = [rec](std::uint32_t d, std::optional<RectF> region, CaptureDone done, double scale) {
            rec->displays.push_back({ d, region, std::move(done), scale });
        };
        // Pictures answer later, when the test says so.
        r.screen_picture = [rec](std::uint32_t d, double scale, std::function<void()> meanwhile, CaptureDone done) {
            meanwhile();
            rec->displays.push_back({ d, std::nullopt, std::move(done), scale });
        };
        r.capture_window = [rec](std::uint32_t w, bool shadow, CaptureDone done) { rec->windows.push_back({ w, shadow, std::move(done) }); };
        r.capture_window_content = [rec](std::uint32_t w, CaptureDone done) {
            rec->windows.push_back({ w, false, std::move(done), true });
        };
        r.deliver_shot = [rec](Finished f, util::Stopwatch) { rec->shots.push_back(std::move(f)); };
        r.deliver_text = [rec](Finished f, util::Stopwatch) { rec->texts.push_back(std::move(f)); };
        r.trim_transparent = [rec](const QImage& image) {
            ++rec->trims;
            return image.copy(1, 1, image.width() - 2, image.height() - 2);
        };
        r.record = [rec](std::uint32_t d, std::optional<RectF> region, std::optional<std::uint32_t> w, double s,
                       actions::RecordingFormat format) { rec->records.emplace_back(d, region, w, s, format); };
        r.scroll = [rec](std::uint32_t d, RectF region, double s) { rec->scrolls.emplace_back(d, region, s); };
        r.scroll_window = [rec](RectF rect) { rec->scroll_windows.push_back(rect); };
        r.self_timer = [rec] { ++rec->timers; };
        r.compositor_running = [rec] { return rec->compositor; };
        set_roads(std::move(r));
        prewarm();
        ASSERT_FALSE(panels().empty());
        view = panels().front();
    }

    void TearDown() override
    {
        cancel();
        pump_for();
        set_roads(default_roads());
        state::reset_for_tests();
    }

    static void set_config(const std::function<void(config::Config&)>& change)
    {
        auto c = std::make_shared<config::Config>();
        c->show_mode_bar = true;
        change(*c);
        state::set_config(std::move(c));
    }

    int width_px() const { return static_cast<int>(view->state().frame.w * view->state().scale); }
    int height_px() const { return static_cast<int>(view->state().frame.h * view->state().scale); }
    double H() const { return view->state().frame.h; }

    // Opens a session and answers the picture request of every panel.
    void open(Mode mode, Purpose purpose, std::optional<QImage> picture = std::nullopt,
        actions::RecordingFormat format = actions::RecordingFormat::Video)
    {
        const std::size_t before = m->displays.size();
        begin(mode, purpose, format);
        ASSERT_EQ(m->displays.size(), before + panels().size());
        for (std::size_t i = before; i < m->displays.size(); ++i) {
            EXPECT_FALSE(m->displays[i].region.has_value()) << "the picture is of the whole display";
            m->displays[i].done(picture ? picture : std::optional<QImage>(gradient(width_px(), height_px())));
        }
        ASSERT_TRUE(wait_for([] { return last_open_ms() > 0; })) << "the opening never ended";
    }

    // One window of another process, 200 × 100 at top-left (50, 60).
    void list_one_window(std::uint32_t number)
    {
        WindowEntry w;
        w.layer = 0;
        w.owner_pid = 1;
        w.bounds = RectF { 50, 60, 200, 100 };
        w.number = number;
        m->window_list = { w };
    }

    std::shared_ptr<Recorded> m;
    VistropeOverlayWindow* view = nullptr;
};

} // namespace

TEST_F(OverlaySession, PanelsAppearOnlyOnceThePictureIsThere)
{
    begin(Mode::Area, Purpose::Screenshot);
    EXPECT_TRUE(is_open());
    ASSERT_EQ(m->displays.size(), 1u);
    pump_for(20);
    EXPECT_FALSE(view->on_screen()) << "a panel mapped before the picture would be in it";
    m->displays[0].done(gradient(width_px(), height_px()));
    EXPECT_TRUE(view->on_screen());
    EXPECT_FALSE(view->state().frozen.isNull());
    // The bar comes with the panels.
    ASSERT_TRUE(modebar::frame().has_value());
    EXPECT_EQ(modebar::selected(), static_cast<std::uint8_t>(modebar::Choice::Area));
    ASSERT_TRUE(wait_for([] { return last_open_ms() > 0; }));
}

// What the panel held, and who had grabbed the input, when it was first painted.
class FirstPaint final : public QObject {
public:
    explicit FirstPaint(VistropeOverlayWindow* view)
        : m_view(view)
    {
        view->installEventFilter(this);
    }
    ~FirstPaint() override { m_view->removeEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
            had_picture = !m_view->state().background.isNull();
            grabbed = QWidget::mouseGrabber() == m_view || QWidget::keyboardGrabber() == m_view;
        }
        return false;
    }
    bool painted = false;
    bool had_picture = false;
    bool grabbed = false;

private:
    VistropeOverlayWindow* m_view;
};

TEST_F(OverlaySession, TheFirstPaintShowsThePictureAndTheGrabsFollowIt)
{
    open(Mode::Area, Purpose::Screenshot);
    cancel();
    const QImage picture = gradient(width_px(), height_px());
    FirstPaint first(view);
    begin(Mode::Area, Purpose::Screenshot);
    m->displays.back().done(picture);
    ASSERT_TRUE(wait_for([] { return last_open_ms() > 0; }));
    ASSERT_TRUE(first.painted) << "the opening ended before the panel was painted";
    EXPECT_TRUE(first.had_picture);
    EXPECT_FALSE(first.grabbed) << "a grab before the first paint holds the picture up";
    EXPECT_TRUE(wait_for([&] { return QWidget::keyboardGrabber() == view && QWidget::mouseGrabber() == view; }));
    // What the first paint flushed is the dimmed picture, not a blank panel.
    const auto* shown = dynamic_cast<QImage*>(view->backingStore()->paintDevice());
    ASSERT_NE(shown, nullptr);
    const int x = width_px() / 3 + 7;
    const int y = height_px() / 3 + 11;
    const QImage source = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const std::uint32_t pixel = source.pixel(x, y);
    std::uint32_t dimmed = 0;
    dim_pixels(&pixel, &dimmed, 1);
    EXPECT_EQ(shown->pixel(x, y), dimmed);
    EXPECT_NE(dimmed, pixel);
}

TEST_F(OverlaySession, AnswersForACancelledOrReplacedSessionAreDropped)
{
    begin(Mode::Area, Purpose::Screenshot);
    begin(Mode::Window, Purpose::Screenshot); // replaces the first
    ASSERT_EQ(m->displays.size(), 2u);
    m->displays[0].done(gradient(width_px(), height_px()));
    EXPECT_FALSE(view->on_screen()) << "the replaced session's picture opened the panels";
    m->displays[1].done(QImage());
    EXPECT_TRUE(view->on_screen());
    EXPECT_TRUE(view->state().snapshot_failed);

    cancel();
    begin(Mode::Area, Purpose::Screenshot);
    cancel();
    m->displays.back().done(gradient(width_px(), height_px()));
    EXPECT_FALSE(view->on_screen());
    EXPECT_FALSE(is_open());
}

TEST_F(OverlaySession, FrozenAreaIsCroppedAndRemembered)
{
    open(Mode::Area, Purpose::Screenshot);
    // View rectangle (bottom-left) of the top-left pixels (30, 20)–(70, 50).
    const RectF rect { 30, H() - 50, 40, 30 };
    finish_area(*view, rect);
    EXPECT_FALSE(is_open());
    EXPECT_FALSE(view->on_screen());
    ASSERT_EQ(m->shots.size(), 1u);
    const Finished& f = m->shots[0];
    EXPECT_EQ(f.kind, Kind::Area);
    ASSERT_EQ(f.image.size(), QSize(40, 30));
    EXPECT_EQ(qRed(f.image.pixel(0, 0)), 30);
    EXPECT_EQ(qGreen(f.image.pixel(0, 0)), 20);
    EXPECT_EQ(qRed(f.image.pixel(39, 29)), 69);
    EXPECT_EQ(qGreen(f.image.pixel(39, 29)), 49);
    EXPECT_EQ(f.rect, view_to_global(rect, view->state().frame));
    const auto area = state::last_area();
    ASSERT_TRUE(area.has_value());
    EXPECT_EQ(*area, (state::LastArea { view->state().display_id, 30, 20, 40, 30 }));
    EXPECT_EQ(m->displays.size(), 1u) << "no second capture for a frozen screen";
}

TEST_F(OverlaySession, WithoutFreezeANewCaptureIsMadeAndDeliveredWhateverOpensMeanwhile)
{
    set_config([](config::Config& c) { c.freeze_screen = false; });
    open(Mode::Area, Purpose::Text);
    EXPECT_TRUE(view->state().frozen.isNull());
    finish_area(*view, { 10, 10, 50, 50 });
    ASSERT_EQ(m->displays.size(), 2u);
    EXPECT_EQ(m->displays[1].region, (RectF { 10, H() - 60, 50, 50 }));
    m->displays[1].done(gradient(50, 50));
    ASSERT_EQ(m->texts.size(), 1u) << "a text capture goes to recognition";
    EXPECT_TRUE(m->shots.empty());

    // A finished selection whose capture answers after a new session opened,
    // and another whose capture answers after that session was cancelled:
    // both are delivered, in the order they answer.
    open(Mode::Area, Purpose::Screenshot);
    finish_area(*view, { 10, 10, 50, 50 });
    ASSERT_EQ(m->displays.size(), 4u);
    open(Mode::Area, Purpose::Screenshot);
    finish_area(*view, { 20, 20, 30, 30 });
    ASSERT_EQ(m->displays.size(), 6u);
    open(Mode::Window, Purpose::Screenshot);
    m->displays[3].done(gradient(50, 50));
    cancel();
    m->displays[5].done(gradient(30, 30));
    ASSERT_EQ(m->shots.size(), 2u);
    EXPECT_EQ(m->shots[0].image.size(), QSize(50, 50));
    EXPECT_EQ(m->shots[1].image.size(), QSize(30, 30));

    // The stale answers stay dropped: pictures of a replaced session.
    begin(Mode::Area, Purpose::Screenshot);
    const std::size_t picture = m->displays.size() - 1;
    cancel();
    m->displays[picture].done(gradient(width_px(), height_px()));
    EXPECT_FALSE(view->on_screen());
}

TEST_F(OverlaySession, WithoutFreezeAndWithACompositorTheLiveScreenShowsThroughThePanels)
{
    set_config([](config::Config& c) { c.freeze_screen = false; });
    m->compositor = true;
    begin(Mode::Area, Purpose::Screenshot);
    EXPECT_TRUE(m->displays.empty()) << "no picture is taken to cover the live screen";
    EXPECT_TRUE(view->on_screen());
    EXPECT_TRUE(view->state().background.isNull());
    EXPECT_TRUE(view->state().frozen.isNull());
    finish_area(*view, { 10, 10, 50, 50 });
    ASSERT_EQ(m->displays.size(), 1u);
    EXPECT_EQ(m->displays[0].region, (RectF { 10, H() - 60, 50, 50 }));
    m->displays[0].done(gradient(50, 50));
    ASSERT_EQ(m->shots.size(), 1u);

    // Without a compositor an opaque panel can only show the picture, and says so once.
    m->compositor = false;
    testing::internal::CaptureStderr();
    open(Mode::Area, Purpose::Screenshot);
    EXPECT_FALSE(view->state().background.isNull());
    cancel();
    open(Mode::Area, Purpose::Screenshot);
    const std::string log = testing::internal::GetCapturedStderr();
    const std::string line = "sin compositor: el selector muestra la pantalla congelada";
    EXPECT_EQ(log.find(line), log.rfind(line)) << "logged more than once";
    EXPECT_TRUE(view->state().frozen.isNull()) << "the selection is still captured live";
}

TEST_F(OverlaySession, APickedWindowIsDeliveredEvenAfterTheNextSessionOpens)
{
    set_config([](config::Config& c) { c.window_shadow = false; });
    list_one_window(77);
    open(Mode::Window, Purpose::Screenshot);
    debug_click_global({ 100, platform::primary_height() - 100 });
    ASSERT_EQ(m->windows.size(), 1u);
    open(Mode::Area, Purpose::Screenshot);
    cancel();
    QImage shot(200, 100, QImage::Format_ARGB32_Premultiplied);
    shot.fill(Qt::blue);
    m->windows[0].done(shot);
    ASSERT_EQ(m->shots.size(), 1u);
    EXPECT_EQ(m->shots[0].kind, Kind::Window);
    EXPECT_EQ(m->shots[0].image.size(), QSize(200, 100));
}

TEST_F(OverlaySession, FailedSnapshotMeansANewCapture)
{
    open(Mode::Area, Purpose::Screenshot, QImage());
    EXPECT_TRUE(view->state().snapshot_failed);
    finish_area(*view, { 0, 0, 20, 20 });
    ASSERT_SOON(m->displays.size() >= 2u);
    ASSERT_EQ(m->displays.size(), 2u);
    EXPECT_TRUE(m->displays[1].region.has_value());
}

TEST_F(OverlaySession, AFinishBeforeTheSnapshotIsParkedUntilItComes)
{
    // A recording session wants no snapshot; switching to an area
    // screenshot asks for one, and a release before it comes waits for it.
    open(Mode::Area, Purpose::Record);
    EXPECT_TRUE(view->state().frozen.isNull());
    choose(modebar::Choice::Area);
    EXPECT_TRUE(view->state().snapshot_requested);
    finish_area(*view, { 5, 5, 10, 10 });
    EXPECT_TRUE(is_open()) << "the panels stay up until the snapshot comes";
    EXPECT_TRUE(view->state().pending_finish.has_value());
    EXPECT_TRUE(m->shots.empty());
    EXPECT_SOON(!is_open() && !m->shots.empty());
    ASSERT_EQ(m->shots.size(), 1u);
    EXPECT_EQ(m->shots[0].image.size(), QSize(10, 10));
}

TEST_F(OverlaySession, RecordAndScrollRouting)
{
    open(Mode::Area, Purpose::Scroll);
    finish_area(*view, { 10, 20, 100, 50 });
    ASSERT_EQ(m->scrolls.size(), 1u);
    EXPECT_EQ(std::get<1>(m->scrolls[0]), (RectF { 10, H() - 70, 100, 50 }));
    EXPECT_FALSE(state::last_area().has_value()) << "a scrolling capture never changes the previous area";

    open(Mode::Area, Purpose::Record);
    finish_area(*view, { 10, 20, 100, 50 });
    ASSERT_EQ(m->records.size(), 1u);
    EXPECT_EQ(std::get<1>(m->records[0]), (RectF { 10, H() - 70, 100, 50 }));
    EXPECT_FALSE(std::get<2>(m->records[0]).has_value());
    EXPECT_EQ(std::get<4>(m->records[0]), actions::RecordingFormat::Video);
    EXPECT_TRUE(state::last_area().has_value());

    // A session opened for a GIF hands its format to the recorder, and the
    // next session opened for a video does not inherit it.
    open(Mode::Area, Purpose::Record, std::nullopt, actions::RecordingFormat::Gif);
    finish_area(*view, { 10, 20, 100, 50 });
    ASSERT_EQ(m->records.size(), 2u);
    EXPECT_EQ(std::get<4>(m->records[1]), actions::RecordingFormat::Gif);
    open(Mode::Area, Purpose::Record);
    finish_area(*view, { 10, 20, 100, 50 });
    ASSERT_EQ(m->records.size(), 3u);
    EXPECT_EQ(std::get<4>(m->records[2]), actions::RecordingFormat::Video);
}

TEST_F(OverlaySession, ChoicesChangeTheSession)
{
    open(Mode::Area, Purpose::Screenshot);
    choose(modebar::Choice::Window);
    EXPECT_EQ(session()->mode, Mode::Window);
    EXPECT_EQ(modebar::selected(), static_cast<std::uint8_t>(modebar::Choice::Window));
    choose(modebar::Choice::Record);
    EXPECT_EQ(session()->purpose, Purpose::Record);
    EXPECT_EQ(session()->format, actions::RecordingFormat::Video);
    cancel();
    // Opened for a GIF: choosing to record again keeps the GIF; turning to a
    // still and back to recording makes it a video.
    open(Mode::Area, Purpose::Record, std::nullopt, actions::RecordingFormat::Gif);
    choose(modebar::Choice::Record);
    EXPECT_EQ(session()->format, actions::RecordingFormat::Gif);
    choose(modebar::Choice::Window);
    choose(modebar::Choice::Text);
    choose(modebar::Choice::Record);
    EXPECT_EQ(session()->format, actions::RecordingFormat::Video);
    choose(modebar::Choice::Area);

    choose(modebar::Choice::Timer);
    EXPECT_FALSE(is_open());
    EXPECT_EQ(m->timers, 1);

    open(Mode::Area, Purpose::Screenshot);
    choose(modebar::Choice::Fullscreen);
    EXPECT_FALSE(is_open());
    ASSERT_EQ(m->shots.size(), 1u);
    EXPECT_EQ(m->shots[0].image.size(), QSize(width_px(), height_px()));

    choose(modebar::Choice::Area); // no session: nothing
    EXPECT_FALSE(is_open());
}

TEST_F(OverlaySession, KeysByPhysicalPosition)
{
    open(Mode::Area, Purpose::Screenshot);
    view->key_pressed(65); // Space
    EXPECT_EQ(session()->mode, Mode::Window);
    view->key_pressed(38); // a: nothing
    EXPECT_TRUE(is_open());
    view->key_pressed(15); // 6: text
    EXPECT_EQ(session()->purpose, Purpose::Text);
    EXPECT_EQ(session()->mode, Mode::Area);
    // With Ctrl, Alt or Super held a digit is a shortcut, not a bar key.
    for (std::uint32_t digit = 10; digit <= 16; ++digit)
        view->key_pressed(digit, overlay::Held::Chord);
    view->key_pressed(9, overlay::Held::Chord);
    ASSERT_TRUE(is_open());
    EXPECT_EQ(session()->purpose, Purpose::Text);
    EXPECT_EQ(session()->mode, Mode::Area);
    EXPECT_EQ(m->timers, 0); // 5 would start the self-timer
    view->key_pressed(9); // Escape
    EXPECT_FALSE(is_open());
    EXPECT_TRUE(m->shots.empty());
    EXPECT_TRUE(m->texts.empty());

    open(Mode::Area, Purpose::Scroll);
    view->key_pressed(65); // Space leaves a scrolling session's mode alone
    EXPECT_EQ(session()->mode, Mode::Area);
    view->key_pressed(36); // Return: the whole screen as an area
    ASSERT_EQ(m->scrolls.size(), 1u);
    EXPECT_EQ(std::get<1>(m->scrolls[0]), (RectF { 0, 0, view->state().frame.w, H() }));
}

TEST_F(OverlaySession, ClicksDragsAndWindows)
{
    list_one_window(4242);
    open(Mode::Area, Purpose::Screenshot);
    ASSERT_EQ(session()->windows.size(), 1u);

    // A 2 × 50 drag over nothing is a click on nothing: the session goes on.
    view->pointer_pressed({ 400, 100 });
    view->pointer_dragged({ 402, 150 }, false);
    view->pointer_released({ 402, 150 });
    EXPECT_TRUE(is_open());

    // Shift makes a square: from (100, 100) to (60, 90), both end pixels included.
    view->pointer_pressed({ 100, 100 });
    view->pointer_dragged({ 60, 90 }, true);
    EXPECT_EQ(view->state().selection, (RectF { 60, 59, 41, 41 }));
    EXPECT_DOUBLE_EQ(modebar::alpha(), 0.0) << "the bar fades out while dragging";
    view->pointer_released({ 60, 60 });
    EXPECT_FALSE(is_open());
    ASSERT_EQ(m->shots.size(), 1u);
    EXPECT_EQ(m->shots[0].image.size(), QSize(41, 41));

    // A plain click on a listed window captures it even in area mode.
    open(Mode::Area, Purpose::Screenshot);
    const PointF inside { 100, H() - 100 };
    view->pointer_pressed(inside);
    view->pointer_released(inside);
    EXPECT_FALSE(is_open());
    ASSERT_EQ(m->windows.size(), 1u);
    EXPECT_EQ(m->windows[0].window, 4242u);
    EXPECT_TRUE(m->windows[0].shadow);
    EXPECT_FALSE(m->windows[0].content_only) << "a screenshot keeps the window's frame";
    QImage shot(202, 102, QImage::Format_ARGB32_Premultiplied);
    shot.fill(Qt::transparent);
    m->windows[0].done(shot);
    ASSERT_TRUE(wait_for([&] { return m->shots.size() == 2; }));
    EXPECT_EQ(m->trims, 1);
    const Finished& f = m->shots[1];
    EXPECT_EQ(f.kind, Kind::Window);
    EXPECT_EQ(f.image.size(), QSize(200, 100)) << "the shadow's empty edges were trimmed";
    ASSERT_TRUE(f.crop.has_value()) << "the frozen crop goes to the flash";
    EXPECT_EQ(f.crop->size(), QSize(200, 100));
    EXPECT_EQ(qRed(f.crop->pixel(0, 0)), 50);
    EXPECT_EQ(qGreen(f.crop->pixel(0, 0)), 60);
}

TEST_F(OverlaySession, WindowsForTextRecordAndScroll)
{
    list_one_window(7);
    const PointF global { 100, H() - 100 };

    open(Mode::Window, Purpose::Text);
    debug_click_global(global);
    ASSERT_EQ(m->windows.size(), 1u);
    EXPECT_FALSE(m->windows[0].shadow) << "text captures never include the shadow";
    EXPECT_TRUE(m->windows[0].content_only) << "a window's text is read without its title bar";
    m->windows[0].done(gradient(200, 100));
    EXPECT_EQ(m->texts.size(), 1u);

    open(Mode::Window, Purpose::Record);
    debug_click_global(global);
    ASSERT_EQ(m->records.size(), 1u);
    EXPECT_EQ(std::get<1>(m->records[0]), (RectF { 50, 60, 200, 100 }));
    EXPECT_EQ(std::get<2>(m->records[0]), 7u);
    EXPECT_FALSE(state::last_area().has_value());

    open(Mode::Window, Purpose::Scroll);
    debug_click_global(global);
    ASSERT_EQ(m->scroll_windows.size(), 1u);

    open(Mode::Window, Purpose::Screenshot);
    debug_click_global({ 700, 5 }); // on no window: cancels
    EXPECT_FALSE(is_open());
    EXPECT_EQ(m->windows.size(), 1u);
}

TEST_F(OverlaySession, DebugHoverAndSelectDrawTheScene)
{
    list_one_window(9);
    open(Mode::Window, Purpose::Screenshot);
    debug_hover(100, H() - 100);
    ASSERT_TRUE(view->state().hovered.has_value());
    EXPECT_EQ(view->state().hovered->number, 9u);
    const Scene s = view->current_scene();
    EXPECT_TRUE(s.outline_blue);
    EXPECT_EQ(s.highlight, (RectF { 50, H() - 160, 200, 100 }));

    choose(modebar::Choice::Area);
    debug_select({ 10, 10, 100, 80 }, 110, 90);
    const Scene a = view->current_scene();
    EXPECT_EQ(a.size_label->text, "100 × 80");
    EXPECT_TRUE(a.crosshair.empty());
    EXPECT_TRUE(a.magnifier.has_value());
    debug_finish({ 10, 10, 100, 80 });
    EXPECT_EQ(m->shots.size(), 1u);
}

TEST_F(OverlaySession, ModeBarPressAndReleaseOnTheSameButton)
{
    open(Mode::Area, Purpose::Screenshot);
    const auto frame = modebar::frame();
    ASSERT_TRUE(frame.has_value());
    const auto* layout = modebar::current_layout();
    const auto centre = [&](int i) {
        const auto& b = layout->buttons[static_cast<std::size_t>(i)].frame;
        return PointF { frame->x + b.x + b.w / 2, frame->y + b.y + b.h / 2 };
    };
    EXPECT_TRUE(modebar::contains(centre(0).x, centre(0).y));
    // Press on "Ventana", release on "Área": nothing chosen.
    modebar::pointer_pressed(centre(2));
    modebar::pointer_released(centre(0));
    EXPECT_EQ(session()->mode, Mode::Area);
    modebar::pointer_moved(centre(3));
    EXPECT_EQ(modebar::hovered(), 3);
    modebar::debug_click(modebar::Choice::Window);
    EXPECT_EQ(session()->mode, Mode::Window);
    modebar::set_visible(false);
    EXPECT_FALSE(modebar::contains(centre(0).x, centre(0).y)) << "a faded bar lets the overlay track the pointer";
    modebar::set_visible(true);
    cancel();
    EXPECT_FALSE(modebar::frame().has_value());
}

TEST_F(OverlaySession, PanelsSurviveSessionsAndPrewarm)
{
    const std::vector<VistropeOverlayWindow*> before = panels();
    open(Mode::Area, Purpose::Screenshot);
    cancel();
    prewarm();
    EXPECT_EQ(panels(), before) << "the screens did not change: the panels are kept";
    open(Mode::Window, Purpose::Screenshot);
    EXPECT_EQ(panels(), before);
    // A closed panel keeps nothing of its session.
    cancel();
    EXPECT_TRUE(view->state().frozen.isNull());
    EXPECT_TRUE(view->state().background.isNull());
    EXPECT_FALSE(view->state().pointer.has_value());
    EXPECT_FALSE(view->state().snapshot_requested);
}

TEST_F(OverlaySession, AClosedPanelGivesItsPictureMemoryBackOnlyAfterADelay)
{
    open(Mode::Area, Purpose::Screenshot);
    view->repaint();
    ASSERT_EQ(view->backingStore()->size(), view->size());
    cancel();
    pump_for(50);
    EXPECT_EQ(view->backingStore()->size(), view->size()) << "not at once: the next opening would make it again";
    // Opening again meanwhile keeps it, and the delay starts over at the close.
    open(Mode::Area, Purpose::Screenshot);
    cancel();
    QElapsedTimer closed;
    closed.start();
    ASSERT_TRUE(wait_for([&] { return view->backingStore()->size() == QSize(1, 1); }, VistropeOverlayWindow::RELEASE_DELAY_MS + 5000));
    // A coarse timer may fire up to 5 % early.
    EXPECT_GE(closed.elapsed(), VistropeOverlayWindow::RELEASE_DELAY_MS * 95 / 100 - 100);
    open(Mode::Area, Purpose::Screenshot);
    view->repaint();
    EXPECT_EQ(view->backingStore()->size(), view->size());
}

TEST(OverlayBackdrop, DimmingAPaddedViewWritesOnlyItsRectangleWithTheHoleClear)
{
    // A display's picture is often a view into a wider frame: 300 pixels of
    // a 640-pixel row, written into a window's picture of another stride.
    // Only the rectangle asked for changes, dimmed except inside the hole;
    // tall enough to be split over the workers.
    const int w = 300, h = 1200, frame_w = 640;
    std::vector<std::uint32_t> frame(static_cast<size_t>(frame_w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < frame_w; ++x)
            frame[static_cast<size_t>(y) * frame_w + x] = x < w ? 0xFF000000u | static_cast<std::uint32_t>((x * 7 + y) & 0xFF) << 8 : 0xFFFFFFFFu;
    const QImage view(reinterpret_cast<const uchar*>(frame.data()), w, h, frame_w * 4, QImage::Format_RGB32);
    QImage target(w, h, QImage::Format_RGB32);
    target.fill(0xFF123456u);
    const QRect rect(10, 5, 280, 1190);
    const QRect hole(100, 300, 50, 40);
    overlay::dim_into(view, target, rect, hole);
    for (int y = 0; y < h; y += 7)
        for (int x = 0; x < w; x += 3) {
            const std::uint32_t src = frame[static_cast<size_t>(y) * frame_w + x];
            std::uint32_t expected = 0xFF123456u;
            if (hole.contains(x, y))
                expected = src;
            else if (rect.contains(x, y))
                overlay::dim_pixels(&src, &expected, 1);
            ASSERT_EQ(reinterpret_cast<const std::uint32_t*>(target.constScanLine(y))[x], expected) << x << "," << y;
        }
}
