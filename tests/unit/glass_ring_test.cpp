// The glass ring against the fake GPU: its upload per session, its thread
// and the strips it hands to the overlay.
#include "capture/glass/ring.h"

#include "capture/glass/glass.h"
#include "platform/accessibility.h"
#include "platform/fake/gpu_fake.h"

#include "qt_wait.h"

#include <gtest/gtest.h>

namespace {

using testing_support::pump_for;
using testing_support::wait_until;

QImage screen_picture(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(qRgb(120, 130, 140));
    return image;
}

class GlassRing : public ::testing::Test {
protected:
    void SetUp() override
    {
        glass::reset_for_tests();
        platform::set_accessibility({});
    }
    void TearDown() override { glass::reset_for_tests(); }

    void use_fake(platform::GpuFakeFaults faults = {})
    {
        auto gpu = platform::create_gpu_fake(glass::cpu_fragment(), faults);
        ASSERT_TRUE(gpu);
        glass::set_gpu_for_tests(*gpu);
    }
};

TEST_F(GlassRing, LoadsOncePerSessionAndOnlyWithAGpu)
{
    glass::ring::Ring ring(300, 1);
    int renders = 0;
    ring.load(screen_picture(400, 300), [&] { ++renders; });
    pump_for(100);
    EXPECT_FALSE(ring.loaded()) << "no GPU yet";
    use_fake();
    for (int i = 0; i < 5; ++i) // every pointer move loads
        ring.load(screen_picture(400, 300), [&] { ++renders; });
    ASSERT_TRUE(wait_until([&] { return renders > 0; }, 3000));
    pump_for(100);
    EXPECT_EQ(renders, 1) << "one upload, one render";
    EXPECT_TRUE(ring.loaded());
    EXPECT_FALSE(ring.upload_failed());
}

TEST_F(GlassRing, AClearDuringAnUploadDropsItsTexture)
{
    platform::GpuFakeFaults slow;
    slow.upload_delay_ms = 150;
    use_fake(slow);
    glass::ring::Ring ring(300, 1);
    int renders = 0;
    ring.load(screen_picture(400, 300), [&] { ++renders; });
    pump_for(30);
    ring.clear();
    pump_for(400);
    EXPECT_EQ(renders, 0);
    EXPECT_FALSE(ring.loaded());
    // The next session loads afresh.
    ring.load(screen_picture(400, 300), [&] { ++renders; });
    EXPECT_TRUE(wait_until([&] { return renders == 1; }, 3000));
}

TEST_F(GlassRing, AFailedUploadIsNotRetriedUntilTheNextSession)
{
    platform::GpuFakeFaults broken;
    broken.upload_fails = true;
    use_fake(broken);
    glass::ring::Ring ring(300, 1);
    int renders = 0;
    ring.load(screen_picture(400, 300), [&] { ++renders; });
    ASSERT_TRUE(wait_until([&] { return renders == 1; }, 3000)) << "the overlay renders again to show its outline";
    EXPECT_TRUE(ring.upload_failed());
    ring.load(screen_picture(400, 300), [&] { ++renders; });
    pump_for(100);
    EXPECT_EQ(renders, 1);
    ring.show(platform::RectF { 50, 50, 100, 100 }, 12);
    EXPECT_FALSE(ring.running()) << "no texture, nothing to show";
    ring.clear();
    EXPECT_FALSE(ring.upload_failed());
}

TEST_F(GlassRing, ShowsTheBandInStripsSettlesAndTheSameTargetStartsNothing)
{
    use_fake();
    glass::ring::Ring ring(300, 1);
    int renders = 0;
    QRegion repainted;
    ring.set_on_frame([&](const QRegion& r) { repainted += r; });
    ring.load(screen_picture(400, 300), [&] { ++renders; });
    ASSERT_TRUE(wait_until([&] { return renders == 1; }, 3000));
    const platform::RectF window { 100, 80, 160, 120 }; // top-left (100, 100) in the 300-point view
    ring.show(window, 12);
    EXPECT_TRUE(ring.running());
    ASSERT_TRUE(wait_until([&] { return !ring.running(); }, 5000)) << "never settled";
    pump_for(50);
    ASSERT_EQ(ring.strips().size(), 4u);
    QRegion covered;
    for (const auto& s : ring.strips()) {
        covered += s.rect;
        EXPECT_EQ(s.image.size(), s.rect.size());
    }
    EXPECT_TRUE(covered.contains(QPoint(150, 99))) << "the halo just outside the top edge";
    EXPECT_TRUE(covered.contains(QPoint(150, 110))) << "the band inside";
    EXPECT_FALSE(covered.contains(QPoint(180, 150))) << "the window's middle is never drawn";
    EXPECT_TRUE(repainted.contains(QPoint(150, 99)));
    // At rest on the window: glass 10 points inside the top edge, nothing 3 outside.
    auto pixel = [&](QPoint p) {
        for (const auto& s : ring.strips())
            if (s.rect.contains(p))
                return s.image.pixel(p - s.rect.topLeft());
        return QRgb(0);
    };
    EXPECT_EQ(qAlpha(pixel({ 180, 110 })), 255);
    EXPECT_EQ(qAlpha(pixel({ 180, 97 })), 0);
    // The same target again: nothing starts.
    ring.show(window, 12);
    EXPECT_FALSE(ring.running());
    // No target: fades out and parks again, with empty strips at the end.
    ring.show(std::nullopt, 12);
    EXPECT_TRUE(ring.running());
    ASSERT_TRUE(wait_until([&] { return !ring.running(); }, 5000));
    ring.clear();
    EXPECT_TRUE(ring.strips().empty());
}

TEST(GlassRingBand, StripsSpanTwoPointsOutsideTo18InsideOnTheScreen)
{
    const auto strips = glass::ring::band_strips({ 100, 100, 200, 150 }, 2, 1000, 800);
    ASSERT_EQ(strips.size(), 4u);
    QRegion band;
    for (const QRect& r : strips)
        band += r;
    EXPECT_TRUE(band.contains(QPoint(150, 96)));  // 2 points out at scale 2
    EXPECT_TRUE(band.contains(QPoint(150, 135))); // 17.5 points in
    EXPECT_FALSE(band.contains(QPoint(150, 140))); // 20 points in
    EXPECT_FALSE(band.contains(QPoint(150, 90)));
    EXPECT_EQ(band.boundingRect(), QRect(95, 95, 210, 160));
    // Off the screen's edge: clipped, never negative.
    for (const QRect& r : glass::ring::band_strips({ -50, -50, 100, 100 }, 1, 400, 300))
        EXPECT_TRUE(QRect(0, 0, 400, 300).contains(r)) << r.x() << "," << r.y();
}

} // namespace
