// The X11 capture backend against the test session's real X server.
#include "flat_window.h"
#include "quadrants.h"
#include "qt_wait.h"
#include "platform/panels.h"
#include "platform/screen_capture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QRegion>
#include <QThread>
#include <QWidget>
#include <gtest/gtest.h>

#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <sstream>

using testing_support::pump_for;
using testing_support::wait_until;

namespace {

// A window painted in four flat quadrants: red, green, blue, yellow.
class Quadrants final : public QWidget {
public:
    Quadrants() { setWindowTitle("cuadrantes"); }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        testing_support::paint_quadrants(p, width(), height());
    }
};

std::unique_ptr<platform::ScreenCapture> make_backend(platform::X11CaptureOptions options = {})
{
    auto created = platform::create_x11_screen_capture(options);
    if (!created)
        ADD_FAILURE() << created.error();
    return created ? std::move(*created) : nullptr;
}

TEST(ScreenCaptureX11, ListsOurWindowFrontmostWithPidAndDecoratedFrame)
{
    auto backend = make_backend();
    ASSERT_TRUE(backend);
    EXPECT_TRUE(backend->capabilities().window_manager);
    Quadrants window;
    window.setGeometry(200, 150, 320, 240);
    window.show();
    window.raise();
    window.activateWindow();
    pump_for(400);

    auto list = backend->window_list();
    ASSERT_TRUE(list) << list.error();
    const auto id = static_cast<std::uint32_t>(window.winId());
    auto it = std::find_if(list->begin(), list->end(), [&](const auto& w) { return w.window_id == id; });
    ASSERT_NE(it, list->end());
    EXPECT_EQ(it->pid, ::getpid());
    EXPECT_EQ(it->layer, platform::layer::NORMAL);
    EXPECT_TRUE(it->on_screen);
    EXPECT_EQ(it->title, "cuadrantes");
    EXPECT_DOUBLE_EQ(it->opacity, 1.0);
    // The frame holds the decorations: at least as large as the client area.
    EXPECT_GE(it->frame.w, 320);
    EXPECT_GT(it->frame.h, 240);
    // Managed windows are listed front to back: ours was raised last.
    auto first_managed = std::find_if(list->begin(), list->end(), [](const auto& w) { return w.layer == platform::layer::NORMAL && w.on_screen; });
    EXPECT_EQ(first_managed->window_id, id);
    // The panel of the tray is a dock.
    EXPECT_TRUE(std::any_of(list->begin(), list->end(), [](const auto& w) { return w.layer == platform::layer::DOCK; }));
}


// The colour of a pixel of an image as (r, g, b, a).
std::array<int, 4> rgba_at(const QImage& image, int x, int y)
{
    const QRgb p = image.pixel(x, y);
    return { qRed(p), qGreen(p), qBlue(p), qAlpha(p) };
}

// Where a widget's client area sits on the root, in pixels.
QPoint on_root(const QWidget& w)
{
    return w.mapToGlobal(QPoint(0, 0));
}

platform::ImageResult grab_window_sync(platform::ScreenCapture& backend, platform::WindowGrab grab)
{
    std::promise<platform::ImageResult> promise;
    auto future = promise.get_future();
    backend.grab_window(grab, [&promise](platform::ImageResult r) { promise.set_value(std::move(r)); });
    return future.get();
}

platform::DisplayGrab whole_primary()
{
    const auto displays = platform::shareable_displays();
    platform::DisplayGrab grab;
    grab.display = displays.front();
    grab.width = grab.display.pixel_width;
    grab.height = grab.display.pixel_height;
    return grab;
}

// Every way of reading the root gives the same opaque pixels: the server
// drawing into shared memory, MIT-SHM GetImage, and plain GetImage.
class GrabPaths : public ::testing::TestWithParam<platform::X11CaptureOptions> { };

INSTANTIATE_TEST_SUITE_P(ScreenCaptureX11, GrabPaths,
    ::testing::Values(platform::X11CaptureOptions { true, true }, platform::X11CaptureOptions { false, true },
        platform::X11CaptureOptions { false, false }));

TEST_P(GrabPaths, DisplayGrabShowsTheWindowsColoursOpaque)
{
    auto backend = make_backend(GetParam());
    ASSERT_TRUE(backend);
    EXPECT_EQ(backend->capabilities().shared_memory, GetParam().shared_memory);
    Quadrants window;
    window.setGeometry(300, 200, 200, 100);
    window.show();
    window.raise();
    pump_for(400);
    auto image = backend->grab_display_now(whole_primary());
    ASSERT_TRUE(image) << image.error();
    EXPECT_EQ(image->format(), QImage::Format_ARGB32_Premultiplied);
    const QPoint o = on_root(window);
    EXPECT_EQ(rgba_at(*image, o.x() + 20, o.y() + 20), (std::array<int, 4> { 255, 0, 0, 255 }));
    EXPECT_EQ(rgba_at(*image, o.x() + 180, o.y() + 20), (std::array<int, 4> { 0, 255, 0, 255 }));
    EXPECT_EQ(rgba_at(*image, o.x() + 20, o.y() + 80), (std::array<int, 4> { 0, 0, 255, 255 }));
    EXPECT_EQ(rgba_at(*image, o.x() + 180, o.y() + 80), (std::array<int, 4> { 255, 255, 0, 255 }));
    // Every pixel is opaque, even where X leaves the padding byte undefined.
    for (int y = 0; y < image->height(); y += 37)
        for (int x = 0; x < image->width(); x += 41)
            ASSERT_EQ(qAlpha(image->pixel(x, y)), 255) << x << "," << y;
}

// The System V segments this process created, by id, with the permission
// bits the kernel lists for them (SHM_DEST set once marked for removal).
std::map<int, unsigned> created_segments()
{
    std::ifstream list("/proc/sysvipc/shm");
    std::string line;
    std::getline(list, line); // the column names
    std::map<int, unsigned> out;
    while (std::getline(list, line)) {
        std::istringstream fields(line);
        long key = 0, cpid = 0;
        int id = 0;
        std::string perms;
        unsigned long size = 0;
        if (fields >> key >> id >> perms >> size >> cpid && cpid == ::getpid())
            out[id] = static_cast<unsigned>(std::stoul(perms, nullptr, 8));
    }
    return out;
}

// Both ways of reading the root through shared memory: the server drawing
// into it, and MIT-SHM GetImage.
class SharedMemoryPaths : public ::testing::TestWithParam<platform::X11CaptureOptions> { };

INSTANTIATE_TEST_SUITE_P(ScreenCaptureX11, SharedMemoryPaths,
    ::testing::Values(platform::X11CaptureOptions { true, true }, platform::X11CaptureOptions { false, true }));

// A segment holds screen contents: only we may read it, it is already marked
// for removal while in use (so a crash leaves nothing behind), and once the
// picture and the backend are gone, so is the segment.
TEST_P(SharedMemoryPaths, SegmentsAreOwnerOnlyAndGoWithTheirLastUser)
{
    const std::map<int, unsigned> before = created_segments();
    auto backend = make_backend(GetParam());
    ASSERT_TRUE(backend);
    auto image = backend->grab_display_now(whole_primary());
    ASSERT_TRUE(image) << image.error();
    std::set<int> fresh;
    for (const auto& [id, perms] : created_segments()) {
        if (before.count(id))
            continue;
        fresh.insert(id);
        EXPECT_EQ(perms, unsigned { SHM_DEST | 0600 }) << "segment " << id << std::oct << " perms " << perms;
    }
    ASSERT_FALSE(fresh.empty()) << "the grab read no shared memory";
    image = std::unexpected(std::string());
    backend.reset();
    EXPECT_TRUE(wait_until([&] {
        const auto now = created_segments();
        return std::ranges::none_of(fresh, [&](int id) { return now.count(id) > 0; });
    })) << "a segment outlived the backend and its pictures";
}

// The shared-memory segments this process has mapped.
int segments()
{
    std::ifstream maps("/proc/self/maps");
    int n = 0;
    for (std::string line; std::getline(maps, line);)
        n += line.find("SYSV") != std::string::npos;
    return n;
}

// A backend and the quadrants window shown at (300, 200), 200 × 100.
class QuadrantsOnScreen : public ::testing::Test {
protected:
    void SetUp() override
    {
        backend = make_backend();
        ASSERT_TRUE(backend);
        window.setGeometry(300, 200, 200, 100);
        window.show();
        window.raise();
        pump_for(400);
    }
    std::unique_ptr<platform::ScreenCapture> backend;
    Quadrants window;
};

TEST_F(QuadrantsOnScreen, RegionAtAnotherScaleIsResampledToTheRequestedSize)
{
    auto grab = whole_primary();
    const QPoint o = on_root(window);
    grab.region = platform::RectF { double(o.x()), double(o.y()), 200, 100 };
    grab.width = 400;
    grab.height = 200;
    auto image = backend->grab_display_now(grab);
    ASSERT_TRUE(image) << image.error();
    EXPECT_EQ(image->size(), QSize(400, 200));
    EXPECT_EQ(rgba_at(*image, 40, 40), (std::array<int, 4> { 255, 0, 0, 255 }));
    EXPECT_EQ(rgba_at(*image, 360, 160), (std::array<int, 4> { 255, 255, 0, 255 }));
}

TEST_F(QuadrantsOnScreen, GrabsOfChangingSizesReuseMemoryWithoutMixingPictures)
{
    const QPoint o = on_root(window);
    std::vector<QImage> held; // some images stay alive while others come back to the pool
    for (int i = 0; i < 8; ++i) {
        auto grab = whole_primary();
        const int w = 20 + 13 * i;
        const int h = 10 + 7 * i;
        grab.region = platform::RectF { double(o.x() + 100 - w / 2), double(o.y() + 50 - h / 2), double(w), double(h) };
        grab.width = static_cast<std::uint32_t>(w);
        grab.height = static_cast<std::uint32_t>(h);
        auto image = backend->grab_display_now(grab);
        ASSERT_TRUE(image) << image.error();
        ASSERT_EQ(image->size(), QSize(w, h));
        EXPECT_EQ(rgba_at(*image, 0, 0), (std::array<int, 4> { 255, 0, 0, 255 })) << i;
        EXPECT_EQ(rgba_at(*image, w - 1, 0), (std::array<int, 4> { 0, 255, 0, 255 })) << i;
        EXPECT_EQ(rgba_at(*image, 0, h - 1), (std::array<int, 4> { 0, 0, 255, 255 })) << i;
        EXPECT_EQ(rgba_at(*image, w - 1, h - 1), (std::array<int, 4> { 255, 255, 0, 255 })) << i;
        if (i % 3 == 0)
            held.push_back(*image);
    }
    // The held ones still show their own pictures.
    for (const QImage& image : held)
        EXPECT_EQ(rgba_at(image, image.width() - 1, image.height() - 1), (std::array<int, 4> { 255, 255, 0, 255 }));

    // Held for a recording, the backend keeps no picture for later: those it
    // kept go at once, one given back meanwhile goes too; let go, it keeps again.
    held.clear();
    const int keeping = segments();
    backend->hold_idle(true);
    pump_for(100);
    const int bare = segments();
    EXPECT_LT(bare, keeping);
    {
        auto image = backend->grab_display_now(whole_primary());
        ASSERT_TRUE(image) << image.error();
        EXPECT_EQ(segments(), bare + 1);
    }
    EXPECT_EQ(segments(), bare);
    // Nor does a window read, which otherwise keeps its segment for the next.
    ASSERT_TRUE(grab_window_sync(*backend, { static_cast<std::uint32_t>(window.winId()), false }));
    EXPECT_EQ(segments(), bare);
    // Holds are counted: the recording that began second still holds.
    backend->hold_idle(true);
    backend->hold_idle(false);
    ASSERT_TRUE(backend->grab_display_now(whole_primary()));
    EXPECT_EQ(segments(), bare);
    backend->hold_idle(false);
    ASSERT_TRUE(backend->grab_display_now(whole_primary()));
    EXPECT_EQ(segments(), bare + 1);
}

TEST(ScreenCaptureX11, ExcludedPanelIsAbsentAndWhatItCoversShows)
{
    auto backend = make_backend();
    ASSERT_TRUE(backend);
    Quadrants window;
    window.setGeometry(300, 200, 200, 100);
    window.show();
    window.raise();
    pump_for(300);
    // A frameless always-on-top panel over the red quadrant, as the toast is.
    QWidget panel(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool);
    panel.setStyleSheet("background: rgb(255, 0, 255)");
    const QPoint o = on_root(window);
    panel.setGeometry(o.x() + 10, o.y() + 10, 60, 30);
    panel.show();
    pump_for(400);

    auto with_panel = backend->grab_display_now(whole_primary());
    ASSERT_TRUE(with_panel) << with_panel.error();
    ASSERT_EQ(rgba_at(*with_panel, o.x() + 30, o.y() + 20), (std::array<int, 4> { 255, 0, 255, 255 }));

    auto grab = whole_primary();
    grab.excluded = backend->own_windows();
    grab.excluded.erase(std::remove(grab.excluded.begin(), grab.excluded.end(), static_cast<std::uint32_t>(window.winId())),
        grab.excluded.end());
    auto without = backend->grab_display_now(grab);
    ASSERT_TRUE(without) << without.error();
    for (int y = o.y() + 10; y < o.y() + 40; y += 3)
        for (int x = o.x() + 10; x < o.x() + 70; x += 3)
            ASSERT_EQ(rgba_at(*without, x, y), (std::array<int, 4> { 255, 0, 0, 255 })) << x << "," << y;
}

TEST(ScreenCaptureX11, WindowGrabShowsTheCoveredPartAndTheTitleBar)
{
    auto backend = make_backend();
    ASSERT_TRUE(backend);
    Quadrants window;
    window.setGeometry(300, 200, 200, 100);
    window.show();
    pump_for(300);
    QWidget cover;
    cover.setStyleSheet("background: rgb(0, 255, 255)");
    cover.setGeometry(250, 150, 200, 200);
    cover.show();
    cover.raise();
    pump_for(400);

    auto list = backend->window_list();
    ASSERT_TRUE(list);
    const auto id = static_cast<std::uint32_t>(window.winId());
    auto it = std::find_if(list->begin(), list->end(), [&](const auto& w) { return w.window_id == id; });
    ASSERT_NE(it, list->end());

    auto image = grab_window_sync(*backend, { id, false });
    ASSERT_TRUE(image) << image.error();
    // The frame's size in pixels (scale 1 in the test session), title bar included.
    EXPECT_EQ(image->width(), static_cast<int>(it->frame.w));
    EXPECT_EQ(image->height(), static_cast<int>(it->frame.h));
    const int bar = image->height() - 100 - (image->width() - 200); // decorations above the client
    ASSERT_GT(bar, 0);
    const int left = (image->width() - 200) / 2;
    const int top = image->height() - 100 - left;
    // The red quadrant lies under the cyan cover on screen, yet shows here.
    EXPECT_EQ(rgba_at(*image, left + 20, top + 20), (std::array<int, 4> { 255, 0, 0, 255 }));
    EXPECT_EQ(rgba_at(*image, left + 180, top + 80), (std::array<int, 4> { 255, 255, 0, 255 }));

    auto shadowed = grab_window_sync(*backend, { id, true });
    ASSERT_TRUE(shadowed) << shadowed.error();
    const int m = platform::shadow_margin(1.0);
    EXPECT_EQ(shadowed->size(), image->size() + QSize(2 * m, 2 * m));
    EXPECT_EQ(qAlpha(shadowed->pixel(0, 0)), 0);                                      // transparent margin
    EXPECT_GT(qAlpha(shadowed->pixel(shadowed->width() / 2, shadowed->height() - m / 2)), 0); // the shadow below
    EXPECT_EQ(rgba_at(*shadowed, m + left + 20, m + top + 20), (std::array<int, 4> { 255, 0, 0, 255 }));
}

TEST(ScreenCaptureX11, WindowGrabOfAShapedWindowIsClearOutsideItsShape)
{
    auto backend = make_backend();
    ASSERT_TRUE(backend);
    // Painted whole, then cut to its left half: its own pixels still hold
    // the right half.
    testing_support::FlatWindow window(Qt::red, QRect(600, 400, 100, 80));
    pump_for(300);
    platform::set_shape(&window, QRegion(0, 0, 50, 80));
    pump_for(300);

    auto image = grab_window_sync(*backend, { static_cast<std::uint32_t>(window.winId()), false });
    ASSERT_TRUE(image) << image.error();
    ASSERT_EQ(image->size(), QSize(100, 80));
    EXPECT_EQ(rgba_at(*image, 25, 40), (std::array<int, 4> { 255, 0, 0, 255 }));
    EXPECT_EQ(qAlpha(image->pixel(75, 40)), 0) << "cut away, yet " << std::hex << image->pixel(75, 40);
}

} // namespace

// Segments given back wait for the next grabs; a few seconds after the last
// use only the largest stays, the one the next grab needs, and that grab
// takes it rather than attaching another.
TEST_F(QuadrantsOnScreen, IdleSegmentsBeyondTheNextGrabsGoAfterAFewSeconds)
{
    const int before = segments();
    {
        auto whole = backend->grab_display_now(whole_primary());
        ASSERT_TRUE(whole) << whole.error();
        auto second = backend->grab_display_now(whole_primary());
        ASSERT_TRUE(second) << second.error();
        EXPECT_EQ(segments(), before + 2);
    }
    EXPECT_EQ(segments(), before + 2) << "both kept idle for the next grabs";
    QElapsedTimer idle;
    idle.start();
    ASSERT_TRUE(wait_until([before] { return segments() == before + 1; }, 15000));
    EXPECT_GE(idle.elapsed(), 2500) << "not given back at once";
    pump_for(4000);
    EXPECT_EQ(segments(), before + 1) << "the last one stays";
    auto again = backend->grab_display_now(whole_primary());
    ASSERT_TRUE(again) << again.error();
    EXPECT_EQ(segments(), before + 1) << "the next grab reuses it";
    const QPoint o = on_root(window);
    EXPECT_EQ(rgba_at(*again, o.x() + 20, o.y() + 20), (std::array<int, 4> { 255, 0, 0, 255 }));
}
