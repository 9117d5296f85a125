// The lens run against the fake GPU: its thread, its two frame slots and how
// the flash shows its frames.
#include "capture/glass/glass.h"

#include "base/config.h"
#include "base/state.h"
#include "capture/flash.h"
#include "platform/accessibility.h"
#include "platform/fake/gpu_fake.h"

#include "qt_wait.h"

#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>

namespace {

using testing_support::pump_for;
using testing_support::wait_until;

QImage flat(int w, int h, QRgb colour)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// Shows the texture as it is, so a frame tells which picture it came from.
std::array<float, 4> passthrough(platform::GpuProgram, const platform::GpuPixels& px, const platform::GpuUniforms&, float u, float v)
{
    const int x = std::min(px.w - 1, static_cast<int>(u * px.w)), y = std::min(px.h - 1, static_cast<int>(v * px.h));
    const std::uint32_t p = px.pixels[static_cast<std::size_t>(y) * px.stride + x];
    return { ((p >> 16) & 0xff) / 255.0f, ((p >> 8) & 0xff) / 255.0f, (p & 0xff) / 255.0f, 1 };
}

std::shared_ptr<platform::Gpu> fake(platform::GpuFakeFaults faults = {}, platform::GpuFragment fragment = passthrough)
{
    auto gpu = platform::create_gpu_fake(std::move(fragment), faults);
    EXPECT_TRUE(gpu);
    return gpu ? *gpu : nullptr;
}

bool all(const QImage& image, QRgb colour)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != colour)
                return false;
    return true;
}

class GlassLens : public ::testing::Test {
protected:
    void SetUp() override { glass::reset_for_tests(); }
    void TearDown() override
    {
        glass::hold_lens_time_for_tests(std::nullopt);
        glass::reset_for_tests();
        glass::set_factory_for_tests(nullptr);
    }
};

TEST_F(GlassLens, DeclinesBeforeTheGpuIsReady)
{
    const auto before = glass::lens::current_run();
    EXPECT_EQ(glass::lens::play(0, 0.4, flat(40, 30, qRgb(1, 2, 3)), { 0, 0, 40, 30 }), std::nullopt);
    EXPECT_EQ(glass::lens::current_run(), before);
    EXPECT_FALSE(glass::ready());
}

TEST_F(GlassLens, FramesOfTheNewestRunOnlyAndAnOlderRunsLateFrameIsDropped)
{
    platform::GpuFakeFaults slow;
    slow.draw_delay_ms = 60;
    glass::set_gpu_for_tests(fake(slow));
    // The runs' clock stands still until the test moves it: however slowly
    // a loaded machine draws, no run comes late or ends meanwhile.
    glass::hold_lens_time_for_tests(0);
    const auto first = glass::lens::play(0, 0.7, flat(40, 30, qRgb(255, 0, 0)), { 0, 0, 40, 30 });
    ASSERT_TRUE(first);
    EXPECT_EQ(glass::lens::current_run(), *first);
    ASSERT_SOON(!glass::lens::newest_frame(*first).isNull());
    EXPECT_TRUE(all(glass::lens::newest_frame(*first), qRgb(255, 0, 0)));
    EXPECT_EQ(glass::lens::newest_frame(*first).size(), QSize(40, 30));
    // A second run while the first is drawing a frame: that frame arrives late and is dropped.
    const auto second = glass::lens::play(0, 0.7, flat(40, 30, qRgb(0, 0, 255)), { 0, 0, 40, 30 });
    ASSERT_TRUE(second);
    EXPECT_GT(*second, *first);
    int frames = 0;
    EXPECT_TRUE(testing_support::soon(
        [&] {
            const QImage f = glass::lens::newest_frame(*second);
            if (!f.isNull()) {
                ++frames;
                EXPECT_TRUE(all(f, qRgb(0, 0, 255))) << "a frame of the older run reached the newer one";
            }
            EXPECT_TRUE(glass::lens::newest_frame(*first).isNull()) << "the older run still hands out frames";
            return frames >= 3;
        },
        "three looks at the newer run, each finding its frame"));
    // Just before its end the run still draws; past it, no frame: the flash shows its picture.
    glass::hold_lens_time_for_tests(0.69);
    EXPECT_SOON(!glass::lens::newest_frame(*second).isNull());
    glass::hold_lens_time_for_tests(0.71);
    EXPECT_SOON(glass::lens::newest_frame(*second).isNull());
}

TEST_F(GlassLens, ALateTextureDrawsNothingAndAFailedUploadEndsQuietly)
{
    platform::GpuFakeFaults late;
    late.upload_delay_ms = 200; // past the 0.12 s a run may wait for its texture
    glass::set_gpu_for_tests(fake(late));
    const auto run = glass::lens::play(0, 0.4, flat(40, 30, qRgb(9, 9, 9)), { 0, 0, 40, 30 });
    ASSERT_TRUE(run);
    pump_for(800);
    EXPECT_TRUE(glass::lens::newest_frame(*run).isNull());

    platform::GpuFakeFaults broken;
    broken.upload_fails = true;
    glass::set_gpu_for_tests(fake(broken));
    const auto again = glass::lens::play(0, 0.4, flat(40, 30, qRgb(9, 9, 9)), { 0, 0, 40, 30 });
    ASSERT_TRUE(again);
    pump_for(500);
    EXPECT_TRUE(glass::lens::newest_frame(*again).isNull());
}

TEST_F(GlassLens, SoftwareRenderersDrawSmallerFrames)
{
    platform::GpuFakeFaults hardware;
    hardware.software = false;
    glass::set_gpu_for_tests(fake(hardware, [](auto, auto&, auto&, float, float) { return std::array<float, 4> { 0, 0, 0, 1 }; }));
    ASSERT_TRUE(glass::lens::play(0, 0.05, flat(2400, 1000, 0), { 0, 0, 1200, 500 }));
    EXPECT_EQ(glass::lens::last_drawable(), (glass::PixelSize { 2400, 1000 }));
    glass::set_gpu_for_tests(fake({}, [](auto, auto&, auto&, float, float) { return std::array<float, 4> { 0, 0, 0, 1 }; }));
    ASSERT_TRUE(glass::lens::play(0, 0.05, flat(2400, 1000, 0), { 0, 0, 1200, 500 }));
    EXPECT_EQ(glass::lens::last_drawable(), (glass::PixelSize { 2191, 913 }));
}

TEST_F(GlassLens, ACompileFailureIsLoggedAndFlashesFallBackToTheSheen)
{
    platform::GpuFakeFaults broken;
    broken.compile_fails = true;
    glass::set_factory_for_tests([broken](const platform::GpuSources& sources) {
        EXPECT_NE(sources.lens.find("lens_main"), std::string::npos);
        EXPECT_NE(sources.ring.find("ring_main"), std::string::npos);
        return platform::create_gpu_fake(passthrough, broken);
    });
    ::testing::internal::CaptureStderr();
    glass::build();
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("vidrio: el shader no compiló: 0:1(1): error"), std::string::npos) << log;
    EXPECT_FALSE(glass::ready());
    glass::build(); // once only: no second attempt, no second line
}

class FlashLens : public GlassLens {
protected:
    void SetUp() override
    {
        GlassLens::SetUp();
        state::reset_for_tests();
        auto c = std::make_shared<config::Config>();
        c->after_capture.flash = true;
        state::set_config(std::move(c));
        platform::set_accessibility({});
        flash::prewarm();
    }
    void TearDown() override
    {
        flash::hold_time_for_tests(std::nullopt);
        wait_until([] { return !flash::panel()->isVisible(); }, 2000);
        state::reset_for_tests();
        GlassLens::TearDown();
    }
};

TEST_F(FlashLens, TheFlashPaintsLensFramesInPlaceOfThePictureAndSkipsTheSheen)
{
    // Every lens frame is magenta: where it shows, the lens is painted.
    glass::set_gpu_for_tests(fake({}, [](auto, auto&, auto&, float, float) { return std::array<float, 4> { 1, 0, 1, 1 }; }));
    // Both clocks stand still: the flash where its picture shows whole, the
    // lens before its end, however long a loaded machine takes to draw.
    constexpr double SHOWN = 0.1;
    flash::hold_time_for_tests(SHOWN);
    glass::hold_lens_time_for_tests(0);
    flash::Origin origin;
    origin.rect = { 100, 100, 200, 120 };
    origin.image = flat(200, 120, qRgb(50, 60, 70));
    flash::play(origin, std::nullopt);
    auto plan = flash::current_plan();
    ASSERT_TRUE(plan);
    EXPECT_TRUE(plan->input().lens);
    EXPECT_FALSE(plan->sheen());
    ASSERT_EQ(plan->at(SHOWN).carrier_opacity, 1.0);
    const QPoint centre(48 + 100, 48 + 60);
    QRgb p = 0;
    EXPECT_TRUE(testing_support::soon(
        [&] {
            p = flash::panel()->grab().toImage().pixel(centre);
            EXPECT_TRUE(p == qRgb(255, 0, 255) || p == qRgb(50, 60, 70)) << "neither the lens nor the picture: " << std::hex << p;
            return p == qRgb(255, 0, 255);
        },
        "a lens frame painted in place of the picture"))
        << "the centre shows " << std::hex << p;
    // The flash closes when its time says so, not before.
    EXPECT_TRUE(flash::panel()->isVisible());
    flash::hold_time_for_tests(flash::CLOSE_AFTER);
    EXPECT_FALSE(flash::panel()->isVisible());
}

TEST_F(FlashLens, WithoutTheGpuOrWithReduceMotionThereIsNoLens)
{
    flash::Origin origin;
    origin.rect = { 100, 100, 200, 120 };
    origin.image = flat(200, 120, qRgb(50, 60, 70));
    const auto runs = glass::lens::current_run();
    flash::play(origin, std::nullopt);
    EXPECT_TRUE(flash::current_plan()->sheen());
    glass::set_gpu_for_tests(fake());
    platform::set_accessibility({ true, false, false });
    flash::play(origin, std::nullopt);
    EXPECT_TRUE(flash::current_plan()->sheen());
    EXPECT_EQ(glass::lens::current_run(), runs + 1) << "only set_gpu_for_tests moved the counter";
    platform::set_accessibility({});
}

} // namespace
