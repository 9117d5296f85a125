// The capture cache and its waiting requests, against the fake backend.
#include "capture/capture.h"

#include "platform/fake/screen_capture_fake.h"
#include "ui/hud.h"

#include "test_util.h"

#include <QCoreApplication>
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

platform::ShareableDisplay display(std::uint32_t id, double w, double h, double scale = 1.0)
{
    platform::ShareableDisplay d;
    d.display_id = id;
    d.frame = { 0, 0, w, h };
    d.scale = scale;
    d.pixel_width = static_cast<std::uint32_t>(w * scale);
    d.pixel_height = static_cast<std::uint32_t>(h * scale);
    return d;
}

platform::ShareableWindow window(std::uint32_t id, std::int64_t pid)
{
    platform::ShareableWindow w;
    w.window_id = id;
    w.pid = pid;
    w.frame = { 10, 10, 100, 80 };
    w.on_screen = true;
    return w;
}

// Runs the main queue until it is empty.
void drain()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

class CaptureCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        capture::reset_for_tests();
        auto fake = std::make_unique<platform::ScreenCaptureFake>();
        m_fake = fake.get();
        m_fake->content.displays = { display(7, 800, 600), display(9, 400, 300, 2.0) };
        m_fake->content.windows = { window(100, 4242) };
        m_fake->content.applications = { { 4242 } };
        capture::set_backend(std::move(fake));
    }
    void TearDown() override { capture::reset_for_tests(); }

    // A completion that records what it got under a name.
    capture::Completion record(std::string name)
    {
        return [this, name](std::optional<QImage> image) {
            m_results.push_back(image ? fmt::format("{}:{}x{}", name, image->width(), image->height()) : name + ":none");
        };
    }

    // Answers the pending fetch and runs what it hands to the main queue.
    void answer()
    {
        ASSERT_TRUE(m_fake->answer_fetch());
        drain();
    }

    platform::ScreenCaptureFake* m_fake = nullptr;
    std::vector<std::string> m_results;
};

TEST_F(CaptureCache, RequestsBeforeTheFirstFetchWaitForItAndRunInOrder)
{
    capture::capture_display_with(7, std::nullopt, false, record("a"), 1.0);
    capture::capture_window(100, false, record("b"));
    capture::capture_display_with(9, platform::RectF { 0, 0, 10, 20 }, false, record("c"), 2.0);
    std::vector<bool> fetched;
    capture::with_content([&](capture::Content c, bool f) { fetched.push_back(f && c != nullptr); });
    // One fetch serves them all; nothing ran yet.
    EXPECT_EQ(m_fake->fetches_started, 1);
    EXPECT_EQ(capture::waiting(), 4u);
    EXPECT_TRUE(capture::refreshing());
    drain();
    EXPECT_TRUE(m_results.empty());

    answer();
    EXPECT_EQ(m_results, (std::vector<std::string> { "a:800x600", "b:40x30", "c:20x40" }));
    EXPECT_EQ(fetched, std::vector<bool> { true });
    EXPECT_EQ(capture::waiting(), 0u);
    EXPECT_FALSE(capture::refreshing());
    ASSERT_TRUE(capture::cached());
    EXPECT_EQ(capture::cached()->displays.size(), 2u);
}

TEST_F(CaptureCache, CachedContentAnswersAtOnceAndStartsOneRefresh)
{
    capture::refresh();
    answer();
    ASSERT_EQ(m_fake->fetches_started, 1);
    capture::capture_display_with(7, std::nullopt, false, record("a"), 1.0);
    capture::capture_display_with(7, std::nullopt, false, record("b"), 1.0);
    // The grabs did not wait for the refresh they started.
    EXPECT_EQ(m_fake->display_grabs.size(), 2u);
    EXPECT_EQ(m_fake->fetches_started, 2); // the second request joined the refresh in flight
    std::vector<bool> fetched;
    capture::with_content([&](capture::Content, bool f) { fetched.push_back(f); });
    EXPECT_EQ(fetched, std::vector<bool> { false });
    drain();
    EXPECT_EQ(m_results, (std::vector<std::string> { "a:800x600", "b:800x600" }));
}

TEST_F(CaptureCache, FailedFetchCompletesEveryWaiterWithNoneAndKeepsTheOlderCache)
{
    // No cache yet: every queued capture completes with none.
    capture::capture_display_with(7, std::nullopt, false, record("a"), 1.0);
    capture::capture_window(100, false, record("b"));
    m_fake->fail_fetch = true;
    answer();
    EXPECT_EQ(m_results, (std::vector<std::string> { "a:none", "b:none" }));
    EXPECT_FALSE(capture::cached());
    EXPECT_TRUE(m_fake->display_grabs.empty());

    // With a cache, a failed fetch still gives its waiters none...
    m_fake->fail_fetch = false;
    capture::refresh();
    answer();
    const capture::Content older = capture::cached();
    ASSERT_TRUE(older);
    std::vector<bool> got;
    capture::refresh(capture::Waiter([&](capture::Content c) { got.push_back(c != nullptr); }));
    capture::refresh(capture::Waiter([&](capture::Content c) { got.push_back(c != nullptr); }));
    m_fake->fail_fetch = true;
    answer();
    EXPECT_EQ(got, (std::vector<bool> { false, false }));
    // ...and the older cache stays and serves the next capture.
    EXPECT_EQ(capture::cached(), older);
    m_results.clear();
    capture::capture_display_with(9, std::nullopt, false, record("c"), 2.0);
    drain();
    EXPECT_EQ(m_results, std::vector<std::string> { "c:800x600" });
}

TEST_F(CaptureCache, MissingDisplayOrWindowAndFailedGrabsCompleteWithNone)
{
    capture::refresh();
    answer();
    const unsigned long toasts = hud::toast_generation();
    capture::capture_display_with(55, std::nullopt, false, record("display"), 1.0);
    capture::capture_window(56, true, record("window"));
    m_fake->fail_grab = true;
    capture::capture_display_with(7, std::nullopt, false, record("grab"), 1.0);
    capture::capture_window(100, false, record("wgrab"));
    drain();
    // The unknown window waits for one more fetch before it fails.
    EXPECT_EQ(m_results, (std::vector<std::string> { "display:none", "grab:none", "wgrab:none" }));
    EXPECT_EQ(hud::toast_generation(), toasts + 1) << "the failed window grab is shown";
    answer(); // the refresh after the window grab, which the retry joined
    EXPECT_EQ(m_results, (std::vector<std::string> { "display:none", "grab:none", "wgrab:none", "window:none" }));
    EXPECT_EQ(hud::toast_generation(), toasts + 2);
    EXPECT_EQ(m_fake->display_grabs.size(), 1u); // the missing display never reached the platform
    EXPECT_EQ(m_fake->window_grabs.size(), 1u);
}

TEST_F(CaptureCache, AWindowsOwnAreaIsAskedForUpToThePlatform)
{
    capture::refresh();
    answer();
    capture::capture_window(platform::WindowGrab { 100, false, platform::WindowPart::Content }, record("texto"));
    capture::capture_window(100, true, record("foto"));
    drain();
    ASSERT_EQ(m_fake->window_grabs.size(), 2u);
    EXPECT_EQ(m_fake->window_grabs[0].part, platform::WindowPart::Content);
    EXPECT_FALSE(m_fake->window_grabs[0].with_shadow);
    EXPECT_EQ(m_fake->window_grabs[1].part, platform::WindowPart::Whole);
    EXPECT_TRUE(m_fake->window_grabs[1].with_shadow);
}

TEST_F(CaptureCache, ARegionPastTheDisplaysEdgeIsCapturedAtItsOwnProportions)
{
    capture::refresh();
    answer();
    // 400 × 400 from (700, 500) on an 800 × 600 display: 100 × 100 lie on it.
    capture::capture_display_with(7, platform::RectF { 700, 500, 400, 400 }, false, record("edge"), 1.0);
    // At scale 2 the part on the display is 100 × 50 points, 200 × 100 pixels.
    capture::capture_display_with(9, platform::RectF { 300, 250, 200, 200 }, false, record("retina"), 2.0);
    capture::capture_display_with(7, platform::RectF { 900, 0, 50, 50 }, false, record("off"), 1.0);
    drain();
    // A region off the display fails at once; grabs answer through the main queue.
    EXPECT_EQ(m_results, (std::vector<std::string> { "off:none", "edge:100x100", "retina:200x100" }));
    ASSERT_EQ(m_fake->display_grabs.size(), 2u);
    EXPECT_EQ(m_fake->display_grabs[0].region, (platform::RectF { 700, 500, 100, 100 }));
}

TEST_F(CaptureCache, APlatformThatAnswersTwiceCompletesOnce)
{
    capture::refresh();
    answer();
    m_fake->answer_twice = true;
    capture::capture_display_with(7, std::nullopt, false, record("a"), 1.0);
    drain();
    EXPECT_EQ(m_results, std::vector<std::string> { "a:800x600" });
}

TEST_F(CaptureCache, ExclusionRetriesOnceWhileTheOverlayIsOpenAndTheProgramIsNotListed)
{
    m_fake->own = { 555 };
    capture::set_overlay_open_query([] { return true; });
    capture::refresh();
    answer(); // content without this process
    ASSERT_FALSE(capture::own_app(*capture::cached()));

    capture::capture_display_with(7, std::nullopt, true, record("a"), 1.0);
    EXPECT_TRUE(m_fake->display_grabs.empty()); // waits for a fresh fetch
    EXPECT_EQ(capture::waiting(), 1u);
    // The program is still missing after the fetch: the retry captures all the same.
    answer();
    EXPECT_EQ(m_results, std::vector<std::string> { "a:800x600" });
    ASSERT_EQ(m_fake->display_grabs.size(), 1u);
    // Our shown windows are left out all the same.
    EXPECT_EQ(m_fake->display_grabs[0].excluded, std::vector<std::uint32_t> { 555 });
    EXPECT_EQ(capture::waiting(), 0u);
}

TEST_F(CaptureCache, ExclusionWithTheOverlayClosedOrTheProgramListedCapturesAtOnce)
{
    m_fake->own = { 555 };
    capture::refresh();
    answer();
    capture::capture_display_with(7, std::nullopt, true, record("closed"), 1.0);
    EXPECT_EQ(m_fake->display_grabs.size(), 1u);

    // Listed: its windows in the content and those on screen now are left out.
    m_fake->content.windows.push_back(window(777, ::getpid()));
    m_fake->content.applications.push_back({ ::getpid() });
    capture::set_overlay_open_query([] { return true; });
    answer(); // the refresh the first capture started
    ASSERT_TRUE(capture::own_app(*capture::cached()));
    capture::capture_display_with(7, std::nullopt, true, record("listed"), 1.0);
    ASSERT_EQ(m_fake->display_grabs.size(), 2u);
    EXPECT_EQ(m_fake->display_grabs[1].excluded, (std::vector<std::uint32_t> { 555, 777 }));

    // Without the flag nothing is left out, listed or not.
    capture::capture_display_with(7, std::nullopt, false, record("kept"), 1.0);
    ASSERT_EQ(m_fake->display_grabs.size(), 3u);
    EXPECT_TRUE(m_fake->display_grabs[2].excluded.empty());
    drain();
    EXPECT_EQ(m_results, (std::vector<std::string> { "closed:800x600", "listed:800x600", "kept:800x600" }));
}

TEST_F(CaptureCache, RegionSizeInPixelsRoundsHalvesAwayFromZero)
{
    EXPECT_EQ(capture::pixel_size(100.5, 50, 2.0), (capture::PixelSize { 201, 100 }));
    EXPECT_EQ(capture::pixel_size(100.25, 50.25, 2.0), (capture::PixelSize { 201, 101 })); // 200.5 and 100.5 round up
    EXPECT_EQ(capture::pixel_size(0.1, 0.1, 1.0), (capture::PixelSize { 1, 1 }));            // never an empty image

    capture::refresh();
    answer();
    capture::capture_display_with(9, platform::RectF { 3, 4, 100.5, 50 }, false, record("r"), 2.0);
    ASSERT_EQ(m_fake->display_grabs.size(), 1u);
    EXPECT_EQ(m_fake->display_grabs[0].width, 201u);
    EXPECT_EQ(m_fake->display_grabs[0].height, 100u);
    ASSERT_TRUE(m_fake->display_grabs[0].region);
    EXPECT_EQ(*m_fake->display_grabs[0].region, (platform::RectF { 3, 4, 100.5, 50 }));
}

// Holds on the backend's idle pictures are counted, and one let go after its
// backend was replaced (as at quit) touches neither backend.
TEST_F(CaptureCache, HoldsOnIdlePicturesEndWithTheirBackend)
{
    auto first = capture::hold_idle_pictures();
    auto second = capture::hold_idle_pictures();
    EXPECT_EQ(m_fake->holds, 2);
    second.reset();
    EXPECT_EQ(m_fake->holds, 1);
    // The old backend goes first, so the new one may well take its place in memory.
    capture::set_backend(nullptr);
    m_fake = nullptr;
    auto next = std::make_unique<platform::ScreenCaptureFake>();
    const platform::ScreenCaptureFake* replacement = next.get();
    capture::set_backend(std::move(next));
    first.reset();
    EXPECT_EQ(replacement->holds, 0);
}

TEST_F(CaptureCache, ProbeNeitherReadsNorWritesTheCache)
{
    std::vector<bool> answers;
    capture::probe([&](bool ok) { answers.push_back(ok); });
    EXPECT_FALSE(capture::refreshing());
    answer();
    EXPECT_EQ(answers, std::vector<bool> { true });
    EXPECT_FALSE(capture::cached());
    m_fake->fail_fetch = true;
    capture::probe([&](bool ok) { answers.push_back(ok); });
    answer();
    EXPECT_EQ(answers, (std::vector<bool> { true, false }));
}

TEST(CaptureLookups, FindTheFirstMatchInListOrder)
{
    platform::ShareableContent content;
    content.displays = { display(3, 10, 10), display(3, 20, 20) };
    content.windows = { window(1, 5), window(2, 6) };
    content.applications = { { 5 }, { ::getpid() } };
    ASSERT_TRUE(capture::find_display(content, 3));
    EXPECT_EQ(capture::find_display(content, 3)->frame.w, 10);
    EXPECT_FALSE(capture::find_display(content, 4));
    EXPECT_EQ(capture::find_window(content, 2)->pid, 6);
    EXPECT_FALSE(capture::find_window(content, 3));
    ASSERT_TRUE(capture::own_app(content));
    EXPECT_EQ(capture::own_app(content)->pid, ::getpid());
}

TEST(CaptureThreads, CallsOffTheMainThreadStop)
{
    std::optional<std::string> message;
    std::thread([&] {
        message = testing_support::fatal_message([] { capture::refresh(); });
    }).join();
    EXPECT_EQ(message, "hilo principal");
}

} // namespace
