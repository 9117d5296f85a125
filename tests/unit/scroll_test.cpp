// Scrolling-capture sessions over the scripted capture stream: slices of a
// generated page go in, the stitched image (or the right toast) comes out.
#include "qt_wait.h"

#include "base/hotkeys.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "platform/fake/capture_stream_fake.h"
#include "platform/fake/hot_keys_fake.h"
#include "platform/fake/raw_input_fake.h"
#include "scroll/scroll_session.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <random>

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

constexpr std::uint32_t WIDTH = 160;
constexpr std::uint32_t HEADER = 40;
constexpr std::uint32_t FOOTER = 30;
constexpr std::uint32_t VIEW = 300;

using Rows = std::vector<std::uint8_t>; // packed BGRA rows, WIDTH wide

Rows noise_rows(std::uint32_t rows, std::uint32_t seed)
{
    std::mt19937 gen(seed);
    Rows out(std::size_t(rows) * WIDTH * 4);
    for (std::size_t i = 0; i < out.size(); i += 4) {
        const std::uint32_t v = gen();
        out[i] = std::uint8_t(v);
        out[i + 1] = std::uint8_t(v >> 8);
        out[i + 2] = std::uint8_t(v >> 16);
        out[i + 3] = 255;
    }
    return out;
}

// A page behind a fixed header and footer, and the frames a viewport of VIEW
// rows sees while it scrolls by `step` rows a frame to the end.
struct Page {
    Rows header = noise_rows(HEADER, 1);
    Rows body;
    Rows footer = noise_rows(FOOTER, 3);

    explicit Page(std::uint32_t rows)
        : body(noise_rows(rows, 2))
    {
    }
    std::uint32_t rows() const { return std::uint32_t(body.size() / (WIDTH * 4)); }

    platform::ScriptedFrame frame_at(std::uint32_t top) const
    {
        platform::ScriptedFrame f;
        f.width = WIDTH;
        f.height = HEADER + VIEW + FOOTER;
        f.bgra = header;
        const std::size_t row = WIDTH * 4;
        f.bgra.insert(f.bgra.end(), body.begin() + std::ptrdiff_t(top * row), body.begin() + std::ptrdiff_t((top + VIEW) * row));
        f.bgra.insert(f.bgra.end(), footer.begin(), footer.end());
        return f;
    }

    std::vector<platform::ScriptedFrame> slices(std::uint32_t step) const
    {
        std::vector<platform::ScriptedFrame> out;
        for (std::uint32_t top = 0;; top = std::min(top + step, rows() - VIEW)) {
            out.push_back(frame_at(top));
            if (top == rows() - VIEW)
                break;
        }
        return out;
    }

    Rows whole() const
    {
        Rows all = header;
        all.insert(all.end(), body.begin(), body.end());
        all.insert(all.end(), footer.begin(), footer.end());
        return all;
    }
};

struct Toast {
    std::string symbol;
    std::string text;
};

class ScrollSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QScreen* screen = QGuiApplication::primaryScreen();
        ASSERT_NE(screen, nullptr);
        m_screen = platform::screens().front();
        scroll::Services& s = scroll::services();
        s.with_content = [this](std::move_only_function<void(capture::Content, bool)> k) {
            ++content_requests;
            if (hold_content)
                held = std::move(k);
            else
                k(content(true), false);
        };
        s.refresh_content = [this](capture::Waiter w) {
            ++refreshes;
            w(content(own_listed_after_refresh));
        };
        s.create_stream = [this](platform::ContentFilter f, platform::StreamConfiguration c,
                              std::shared_ptr<platform::StreamListener> l)
            -> std::expected<std::unique_ptr<platform::CaptureStream>, std::string> {
            auto made = platform::create_capture_stream_fake(std::move(f), std::move(c), std::move(l), script);
            if (!made)
                return std::unexpected(made.error());
            stream = made->get();
            ++streams;
            return std::unique_ptr<platform::CaptureStream>(std::move(*made));
        };
        s.create_hot_keys = [this] {
            auto g = std::make_unique<platform::HotKeysFake>();
            grabs = g.get();
            if (refuse_grabs)
                g->hold_elsewhere(53, 0); // another program holds Escape
            return g;
        };
        s.create_raw_input = [this] {
            auto k = std::make_unique<platform::RawInputFake>();
            keys = k.get();
            return k;
        };
        s.still = [this](std::uint32_t, platform::RectF, double, capture::Completion done) {
            ++stills;
            done(std::nullopt);
        };
        s.deliver = [this](output::Shot shot, util::Stopwatch) { shots.push_back(std::move(shot)); };
        s.flash_on = [this] { return flash; };
        s.toast = [this](std::string_view symbol, std::string_view text, double) {
            toasts.push_back({ std::string(symbol), std::string(text) });
        };
        s.accessibility_trusted = [this] { return trusted; };
        s.post_scroll = [this](platform::RectF, double delta) {
            scrolls.push_back(delta);
            // The next frame shows the step (once the capture is not behind).
            if (frames_follow)
                util::on_main([] {
                    if (scroll::Session* live = scroll::live())
                        scroll::auto_report(*live, stitch::STEP_UNCHANGED, 0);
                });
        };
        s.own_window_focused = [this] { return focused; };
        s.now = [this] { return clock; };
    }

    void TearDown() override
    {
        scroll::cancel();
        pump_for(50);
        util::wait_for_background();
        pump_for(20);
        scroll::reset_services();
    }

    capture::Content content(bool with_own) const
    {
        auto c = std::make_shared<platform::ShareableContent>();
        platform::ShareableDisplay d;
        d.display_id = platform::screen_display_id(m_screen);
        d.frame = m_screen.frame;
        c->displays.push_back(d);
        c->applications.push_back({ 4242 });
        if (with_own)
            c->applications.push_back({ ::getpid() });
        return c;
    }

    void start(double height = VIEW + HEADER + FOOTER)
    {
        scroll::start(platform::screen_display_id(m_screen), { 20, 10, double(WIDTH), height }, 1.0);
    }

    // Lets every scripted frame through and the reports reach the session.
    void settle()
    {
        if (stream)
            stream->drain();
        if (scroll::live())
            scroll::live()->engine->relay.wait_idle();
        pump_for(30);
    }

    bool finished_with_shot()
    {
        return wait_until([&] { return !shots.empty() || !toasts.empty(); }, 20000);
    }

    platform::Screen m_screen;
    platform::CaptureStreamScript script { .frames = 0 };
    platform::CaptureStreamFake* stream = nullptr;
    platform::HotKeysFake* grabs = nullptr; // gone with the session
    bool refuse_grabs = false;
    platform::RawInputFake* keys = nullptr;
    std::move_only_function<void(capture::Content, bool)> held;
    bool hold_content = false;
    bool own_listed_after_refresh = true;
    bool flash = false;
    bool trusted = true;
    bool frames_follow = true;
    bool focused = false;
    std::chrono::steady_clock::time_point clock = std::chrono::steady_clock::now();
    int content_requests = 0, refreshes = 0, streams = 0, stills = 0;
    std::vector<output::Shot> shots;
    std::vector<Toast> toasts;
    std::vector<double> scrolls;
};

} // namespace

TEST_F(ScrollSession, ASlicedPageComesOutAsHeaderPageAndFooterExactly)
{
    const Page page(1500);
    script.pictures = page.slices(60);
    start();
    ASSERT_TRUE(scroll::running());
    ASSERT_NE(stream, nullptr);

    // The stream: the region at 30 frames a second, four frames deep, no
    // pointer, the program's own windows left out.
    const platform::StreamConfiguration& c = stream->configuration();
    EXPECT_EQ(c.source_rect, (platform::RectF { 20, 10, double(WIDTH), double(VIEW + HEADER + FOOTER) }));
    EXPECT_EQ(c.minimum_frame_interval.value, 1);
    EXPECT_EQ(c.minimum_frame_interval.timescale, 30);
    EXPECT_EQ(c.queue_depth, 4);
    EXPECT_FALSE(c.shows_cursor);
    EXPECT_EQ(stream->filter().excluded_applications, std::vector<std::int64_t> { ::getpid() });

    settle();
    const auto st = scroll::status();
    ASSERT_TRUE(st);
    EXPECT_EQ(st->frames, script.pictures.size());
    EXPECT_FALSE(st->slow);
    EXPECT_EQ(scroll::capsule_text(), QString("Desplázate… · %1 capturas").arg(script.pictures.size()));

    scroll::finish();
    EXPECT_FALSE(scroll::running());
    ASSERT_TRUE(finished_with_shot());
    ASSERT_EQ(shots.size(), 1u);
    EXPECT_TRUE(toasts.empty());
    const output::Shot& shot = shots[0];
    EXPECT_EQ(shot.kind, output::Kind::Scrolling);
    EXPECT_FALSE(shot.origin);
    EXPECT_EQ(stills, 0); // no flash, no still
    const Rows expected = page.whole();
    ASSERT_EQ(shot.image.width(), int(WIDTH));
    ASSERT_EQ(shot.image.height(), int(HEADER + page.rows() + FOOTER));
    bool same = true;
    for (int y = 0; y < shot.image.height() && same; ++y)
        same = std::memcmp(shot.image.constScanLine(y), expected.data() + std::size_t(y) * WIDTH * 4, WIDTH * 4) == 0;
    EXPECT_TRUE(same);
}

TEST_F(ScrollSession, EndingsWithoutAnImage)
{
    // Finished before any frame: nothing to deliver, said once.
    start();
    const auto first = scroll::status();
    ASSERT_TRUE(first);
    start(); // a second start while one runs changes nothing
    EXPECT_EQ(scroll::status()->id, first->id);
    EXPECT_EQ(content_requests, 1);
    EXPECT_EQ(scroll::capsule_text(), "Desplázate para capturar");
    scroll::finish();
    ASSERT_TRUE(finished_with_shot());
    EXPECT_TRUE(shots.empty());
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "No hubo nada que capturar");

    // Cancelled while the content is being fetched: the late answer finds
    // no session and starts no stream.
    toasts.clear();
    hold_content = true;
    start();
    ASSERT_TRUE(held);
    scroll::cancel();
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "Captura cancelada");
    held(content(true), true);
    EXPECT_EQ(streams, 1);
    EXPECT_FALSE(scroll::running());

    // Nothing to finish or cancel: nothing happens.
    scroll::finish();
    scroll::cancel();
    pump_for(50);
    EXPECT_EQ(toasts.size(), 1u);
}

// With no window of ours mapped the program is not among the shareable
// applications: it is left out by its pid all the same, at once.
TEST_F(ScrollSession, OwnApplicationUnlistedIsLeftOutByItsPid)
{
    hold_content = true;
    start();
    held(content(false), false);
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(streams, 1);
    EXPECT_TRUE(scroll::status()->streaming);
    scroll::cancel();

    // Without content at all.
    toasts.clear();
    start();
    held(nullptr, true);
    EXPECT_FALSE(scroll::running());
    ASSERT_EQ(toasts.size(), 1u);
}

TEST_F(ScrollSession, StreamFailuresEndTheSession)
{
    script.start_error = "sin pantalla";
    start();
    ASSERT_TRUE(wait_until([&] { return !scroll::running(); }, 5000));
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "No se pudo capturar");

    toasts.clear();
    script = { .frames = 0 };
    script.pictures = Page(400).slices(60);
    script.stop_error = "la pantalla se fue";
    start();
    ASSERT_TRUE(wait_until([&] { return !scroll::running(); }, 5000));
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "No se pudo capturar");
    EXPECT_TRUE(shots.empty());
}

TEST_F(ScrollSession, FlashTakesAStillFirstAndKeysEndTheSession)
{
    flash = true;
    script.pictures = { Page(400).frame_at(0) };
    start();
    settle();
    // Return, keypad Enter and Escape are grabbed for the session, with no
    // modifier; Return finishes wherever the keyboard is.
    std::vector<std::uint32_t> grabbed;
    for (const auto& r : grabs->active()) {
        EXPECT_EQ(r.modifiers, 0u);
        grabbed.push_back(r.key_code);
    }
    EXPECT_EQ(grabbed, (std::vector<std::uint32_t> { 36, 76, 53 }));
    EXPECT_EQ(keys, nullptr); // no raw presses beside the grab
    focused = true;
    EXPECT_FALSE(grabs->press(36, hotkeys::SHIFT)); // Shift+Return stays with the program
    ASSERT_TRUE(grabs->press(76, 0));               // keypad Enter
    EXPECT_SOON(!scroll::running());
    ASSERT_TRUE(finished_with_shot());
    EXPECT_EQ(stills, 1);
    // One frame, the page never moved: said so, and the one screen follows.
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].symbol, "exclamationmark.triangle");
    EXPECT_EQ(toasts[0].text, "La página no se movió: se guardó una sola pantalla");
    EXPECT_TRUE(shots.empty());
    ASSERT_TRUE(wait_until([&] { return !shots.empty(); }, 5000));
    EXPECT_EQ(shots[0].image.height(), int(HEADER + VIEW + FOOTER));

    // Escape cancels.
    shots.clear();
    toasts.clear();
    start();
    ASSERT_TRUE(grabs->press(53, 0));
    EXPECT_SOON(!scroll::running());
    // Escape typed into a window of ours is swallowed there.
    start();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QWidget target;
    EXPECT_TRUE(QApplication::sendEvent(&target, &escape));
    EXPECT_SOON(!scroll::running());
    EXPECT_TRUE(shots.empty());
    ASSERT_EQ(toasts.size(), 2u);
    EXPECT_EQ(toasts[1].text, "Captura cancelada");

    // Where a key cannot be grabbed, raw presses serve: Return typed in
    // another program finishes; ignored while ours has the focus.
    refuse_grabs = true;
    start();
    settle();
    ASSERT_NE(keys, nullptr);
    focused = true;
    ASSERT_TRUE(keys->press(36));
    pump_for(30);
    EXPECT_TRUE(scroll::running());
    focused = false;
    ASSERT_TRUE(keys->press(36));
    EXPECT_SOON(!scroll::running());
    EXPECT_FALSE(keys->running()); // the monitor went with the session
}

TEST_F(ScrollSession, AutomaticScrollingBacksOffAndGivesUp)
{
    // One good frame, then three that fit nowhere.
    script.pictures = { Page(400).frame_at(0) };
    for (std::uint32_t seed = 10; seed < 13; ++seed) {
        platform::ScriptedFrame f;
        f.width = WIDTH;
        f.height = HEADER + VIEW + FOOTER;
        f.bgra = noise_rows(f.height, seed);
        script.pictures.push_back(f);
    }
    start();
    const std::uint64_t id = scroll::status()->id;
    scroll::live()->step = 400;
    scroll::set_auto(id, true);
    ASSERT_EQ(scrolls.size(), 1u); // the first tick at once
    EXPECT_EQ(scrolls[0], -400);
    settle();
    std::vector<double> back;
    for (double d : scrolls)
        if (d > 0)
            back.push_back(d);
    EXPECT_EQ(back, (std::vector<double> { 400, 200, 100 }));
    EXPECT_EQ(scroll::status()->step, 50);
    EXPECT_TRUE(scroll::status()->slow);
    EXPECT_EQ(scroll::capsule_text(), "Desplázate más despacio");

    // Exactly 1.5 s without progress goes on; a moment more finishes.
    clock += std::chrono::milliseconds(1500);
    pump_for(150);
    EXPECT_TRUE(scroll::running());
    clock += std::chrono::nanoseconds(1);
    ASSERT_TRUE(wait_until([] { return !scroll::running(); }, 2000));
    // The frames changed and none joined the first: said so, and only then
    // the first screen.
    ASSERT_TRUE(finished_with_shot());
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "No se pudo unir el desplazamiento");
    EXPECT_TRUE(shots.empty());
    ASSERT_TRUE(wait_until([&] { return !shots.empty(); }, 5000));
    EXPECT_EQ(shots[0].image.height(), int(HEADER + VIEW + FOOTER));
}

TEST_F(ScrollSession, AutomaticScrollingSwitchesAndOneTickChainRuns)
{
    trusted = false;
    start();
    const std::uint64_t id = scroll::status()->id;
    scroll::set_auto(id, true);
    EXPECT_FALSE(scroll::status()->auto_scroll);
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].symbol, "hand.raised");
    // The check asks for both extensions: the wheel is posted through XTEST.
    EXPECT_EQ(toasts[0].text, "Para desplazarse solo, el servidor X necesita XInput 2 y XTEST");
    EXPECT_TRUE(scrolls.empty());

    trusted = true;
    scroll::live()->step = scroll::initial_step(50);
    scroll::toggle_auto();
    scroll::toggle_auto();
    scroll::toggle_auto(); // off and on within a tick: the old chain must stop
    EXPECT_TRUE(scroll::status()->auto_scroll);
    // 15 ticks a second from one chain: a second chain would double them. A
    // busy machine only delays ticks, so the count is held against the time
    // it took.
    QElapsedTimer ticking;
    ticking.start();
    ASSERT_SOON(scrolls.size() >= 15u);
    EXPECT_LE(double(scrolls.size()), ticking.elapsed() * 15.0 / 1000.0 * 1.2 + 2);
    for (double d : scrolls)
        EXPECT_EQ(d, -24);
    scroll::set_auto(id, false);
    const std::size_t posted = scrolls.size();
    pump_for(200);
    EXPECT_EQ(scrolls.size(), posted);

    // A capture that falls behind holds the next step back until its frame
    // comes, four ticks at the most (a program may let a click go by).
    frames_follow = false;
    // Held means no further step for 150 ms after the one that came, well
    // inside the four ticks (267 ms); where a busy machine stretched the
    // wait past them, it cannot tell.
    QElapsedTimer since;
    const auto held_back = [&](std::size_t steps) {
        ASSERT_SOON(scrolls.size() >= steps);
        pump_for(150);
        if (since.elapsed() < 250) {
            EXPECT_EQ(scrolls.size(), steps);
        }
    };
    since.start();
    scroll::set_auto(id, true);
    held_back(posted + 1);
    since.start();
    scroll::auto_report(*scroll::live(), stitch::STEP_UNCHANGED, 0);
    held_back(posted + 2);
    EXPECT_SOON(scrolls.size() >= posted + 3);
    EXPECT_LE(scrolls.size(), posted + 5);
}

TEST_F(ScrollSession, AutomaticScrollingStepsInTheProgramsOwnClicksUntilNothingMoves)
{
    start();
    const std::uint64_t id = scroll::status()->id;
    scroll::live()->step = 66;
    scroll::set_auto(id, true);
    ASSERT_EQ(scrolls, (std::vector<double> { -66 })); // before any measure: as asked
    // Its joins: one click of this program moves 95 pixels.
    scroll::auto_report(*scroll::live(), stitch::Step::moved(50, 50), 0);
    scroll::auto_report(*scroll::live(), stitch::Step::moved(45, 45), 0);
    ASSERT_TRUE(wait_until([&] { return scrolls.size() >= 2; }, 3000));
    EXPECT_EQ(scroll::live()->click_pixels, 95);
    EXPECT_EQ(scrolls[1], -60); // 66 pixels: nearest is one click
    scroll::live()->step = 400;
    ASSERT_TRUE(wait_until([&] { return scrolls.size() >= 3; }, 3000));
    EXPECT_EQ(scrolls[2], -240); // four clicks of 95
    // A lost frame halves the step and backs up by two of them, in clicks.
    scroll::auto_report(*scroll::live(), stitch::STEP_LOST, 1);
    EXPECT_EQ(scroll::live()->step, 200);
    EXPECT_EQ(scrolls.back(), 240);

    // Content that changes where it cannot be joined has not stopped...
    clock += std::chrono::milliseconds(1400);
    scroll::auto_report(*scroll::live(), stitch::STEP_LOST, 2);
    clock += std::chrono::milliseconds(1400);
    pump_for(150);
    EXPECT_TRUE(scroll::running());
    // ... but a stitcher lost for 1.5 s of frames sees no motion.
    scroll::auto_report(*scroll::live(), stitch::STEP_LOST, 45);
    pump_for(150);
    EXPECT_TRUE(scroll::running());
    clock += std::chrono::milliseconds(101);
    EXPECT_TRUE(wait_until([] { return !scroll::running(); }, 2000));
}

TEST_F(ScrollSession, CapsuleButtonsActOnReleaseOverThePressedButton)
{
    start();
    QWidget* controls = scroll::capsule_controls();
    ASSERT_NE(controls, nullptr);
    auto mouse = [&](QEvent::Type type, QPointF at) {
        QMouseEvent e(type, at, controls->mapToGlobal(at), Qt::LeftButton,
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(controls, &e);
    };
    const QRectF listo = scroll::capsule_button(2);
    const QRectF cancelar = scroll::capsule_button(1);
    // Buttons in a row, label first, each 28 high.
    EXPECT_LT(scroll::capsule_button(0).right(), cancelar.left());
    EXPECT_LT(cancelar.right(), listo.left());
    EXPECT_EQ(listo.height(), 28);
    EXPECT_GE(controls->width(), listo.right() + 2);

    mouse(QEvent::MouseButtonPress, listo.center());
    mouse(QEvent::MouseButtonRelease, cancelar.center());
    pump_for(50);
    EXPECT_TRUE(scroll::running());

    mouse(QEvent::MouseButtonPress, cancelar.topLeft()); // edges count
    mouse(QEvent::MouseButtonRelease, cancelar.topLeft());
    EXPECT_TRUE(scroll::running()); // the next turn
    EXPECT_SOON(!scroll::running());
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "Captura cancelada");
}

TEST(ScrollRules, PanelsFindRoomBesideTheOutline)
{
    const platform::RectF v { 0, 40, 1000, 700 }; // visible frame, bottom-left
    const platform::RectF o = scroll::outline_rect({ 200, 300, 300, 200 });
    EXPECT_EQ(o, (platform::RectF { 196, 296, 308, 208 }));

    // Below when there is room, centred, rounded.
    EXPECT_EQ(scroll::capsule_origin(o, v, 301), (platform::PointF { 200, 248 }));
    // Touching the bottom: above.
    const platform::RectF low { 196, 40, 308, 208 };
    EXPECT_EQ(scroll::capsule_origin(low, v, 300).y, 260);
    // Filling the frame: inside, 24 above its bottom; clamped sideways.
    const platform::RectF all { -4, 36, 1008, 708 };
    EXPECT_EQ(scroll::capsule_origin(all, v, 300), (platform::PointF { 350, 64 }));
    EXPECT_EQ(scroll::capsule_origin({ 900, 300, 100, 100 }, v, 300).x, 692);
    EXPECT_EQ(scroll::capsule_origin({ 900, 300, 100, 100 }, { 0, 40, 200, 700 }, 300).x, 8);

    // Preview: right, else left, else none; height clamped, top-aligned.
    EXPECT_EQ(scroll::preview_rect(o, v), (platform::RectF { 514, 296, 92, 208 }));
    EXPECT_EQ(scroll::preview_rect({ 800, 100, 195, 60 }, v), (platform::RectF { 698, 48, 92, 120 }));
    EXPECT_FALSE(scroll::preview_rect({ 105, 100, 790, 500 }, v));
    EXPECT_EQ(scroll::preview_rect({ 0, 40, 100, 1000 }, v)->h, 420);

    // The image fits inside a 6-point margin, at the top.
    EXPECT_EQ(scroll::preview_fit(100, 980, 92, 208), (platform::RectF { 36, 6, 20, 196 }));
    EXPECT_EQ(scroll::preview_fit(800, 10, 92, 208), (platform::RectF { 6, 201, 80, 1 }));
}

TEST(ScrollRules, LabelsColoursAndSteps)
{
    EXPECT_EQ(scroll::status_text(1, false), "Desplázate para capturar");
    EXPECT_EQ(scroll::status_text(2, false), "Desplázate… · 2 capturas");
    EXPECT_EQ(scroll::status_text(9, true), "Desplázate más despacio");

    EXPECT_NEAR(scroll::button_colour(0, false, false, false).alphaF(), 0.12, 1e-3);
    EXPECT_NEAR(scroll::button_colour(0, true, true, false).alphaF(), 0.55, 1e-3);
    EXPECT_EQ(scroll::button_colour(0, true, false, false).blue(), 255);
    EXPECT_NEAR(scroll::button_colour(1, true, false, true).alphaF(), 0.30, 1e-3);
    EXPECT_NEAR(scroll::button_colour(2, false, false, true).alphaF(), 1.0, 1e-3);
    EXPECT_NEAR(scroll::button_colour(2, false, true, false).alphaF(), 0.95, 1e-3);

    EXPECT_EQ(scroll::initial_step(50), 24);
    EXPECT_EQ(scroll::initial_step(1000), 220);
    EXPECT_EQ(scroll::initial_step(3000), 400);

    auto* block = static_cast<std::uint8_t*>(std::malloc(8));
    std::memset(block, 0xff, 8);
    const QImage image = scroll::make_image(block, 2, 1);
    EXPECT_EQ(image.pixel(1, 0), 0xffffffffu);
    EXPECT_TRUE(scroll::make_image(static_cast<std::uint8_t*>(std::malloc(4)), 0, 1).isNull());
}

TEST_F(ScrollSession, ReachingTheRowLimitFinishesOnce)
{
    // 31,000 rows scrolled 200 at a time pass the 30,000-row limit.
    const Page page(31'000);
    script.pictures = page.slices(200);
    start();
    settle();
    ASSERT_TRUE(finished_with_shot()) << (scroll::status() ? scroll::status()->frames : 0) << " frames";
    ASSERT_SOON(!shots.empty() && !toasts.empty());
    pump_for(100); // reports queued behind the full one find no session
    EXPECT_FALSE(scroll::running());
    ASSERT_EQ(shots.size(), 1u);
    ASSERT_EQ(toasts.size(), 1u);
    EXPECT_EQ(toasts[0].text, "Se alcanzó el largo máximo");
    EXPECT_EQ(toasts[0].symbol, "arrow.down.to.line");
    EXPECT_GE(shots[0].image.height(), 30'000);
    EXPECT_LE(shots[0].image.height(), 30'000 + int(HEADER + FOOTER));
}

TEST_F(ScrollSession, PickedWindowsAreClippedToTheirScreen)
{
    const platform::RectF f = m_screen.frame;
    // Hanging off the left and the top: the screen's part, display-local.
    scroll::start_in_global({ f.x - 50, f.y + f.h - 100, 250, 150 });
    ASSERT_TRUE(scroll::running());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->configuration().source_rect, (platform::RectF { 0, 0, 200, 100 }));
    EXPECT_EQ(scroll::status()->screen_rect, (platform::RectF { f.x, f.y + f.h - 100, 200, 100 }));
    scroll::cancel();

    // Its centre off every screen: nothing starts.
    scroll::start_in_global({ f.x - 500, f.y - 500, 100, 100 });
    EXPECT_FALSE(scroll::running());
    // A region wholly off the display is refused before any stream.
    scroll::start(platform::screen_display_id(m_screen), { f.w + 10, 10, 100, 100 }, 1.0);
    EXPECT_FALSE(scroll::running());
    EXPECT_EQ(streams, 1);
}
