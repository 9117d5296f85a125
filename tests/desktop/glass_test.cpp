// The glass shaders on the session's real OpenGL (Mesa), held against the
// same fragment functions run on the CPU.
#include "capture/glass/glass.h"

#include "base/state.h"
#include "base/util.h"
#include "capture/flash.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QImage>
#include <QWidget>
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using testing_support::wait_until;

namespace {

// Smooth colours with some structure: the filtering of both sides agrees on them.
QImage smooth_picture(int w, int h, QImage::Format format = QImage::Format_ARGB32_Premultiplied)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double r = 0.5 + 0.45 * std::sin(x * 0.11 + y * 0.03);
            const double g = 0.5 + 0.45 * std::cos(y * 0.13);
            const double b = 0.5 + 0.45 * std::sin((x + y) * 0.07 + 1);
            image.setPixel(x, y, qRgb(int(r * 255), int(g * 255), int(b * 255)));
        }
    return image.convertToFormat(format);
}

int worst_difference(const QImage& gl, const platform::GpuPixels& tex, platform::GpuProgram program,
    const platform::GpuUniforms& u, int w, int h, int x0 = 0, int y0 = 0)
{
    const auto cpu = glass::cpu_fragment();
    int worst = 0;
    for (int y = 0; y < gl.height(); ++y)
        for (int x = 0; x < gl.width(); ++x) {
            const auto c = cpu(program, tex, u, (x0 + x + 0.5f) / w, (y0 + y + 0.5f) / h);
            const QRgb p = gl.pixel(x, y);
            const int want[4] = { int(std::lround(c[0] * 255)), int(std::lround(c[1] * 255)), int(std::lround(c[2] * 255)),
                int(std::lround(c[3] * 255)) };
            const int got[4] = { qRed(p), qGreen(p), qBlue(p), qAlpha(p) };
            for (int i = 0; i < 4; ++i)
                worst = std::max(worst, std::abs(want[i] - got[i]));
        }
    return worst;
}

class GlassGl : public ::testing::Test {
protected:
    void SetUp() override
    {
        glass::reset_for_tests();
        glass::prepare();
        glass::build();
        ASSERT_TRUE(glass::ready()) << "no OpenGL in the test session";
        auto context = glass::gpu()->context();
        ASSERT_TRUE(context) << context.error();
        m_context = std::move(*context);
    }
    void TearDown() override
    {
        m_context.reset();
        glass::reset_for_tests();
    }
    std::unique_ptr<platform::GpuContext> m_context;
};

TEST_F(GlassGl, LensAndRingMatchTheCpuWithin2Of255)
{
    EXPECT_TRUE(glass::gpu()->software()) << glass::gpu()->renderer();
    for (const auto& [w, h] : { std::pair { 97, 61 }, std::pair { 1, 40 } }) {
        const QImage picture = smooth_picture(w, h);
        const platform::GpuPixels px { reinterpret_cast<const std::uint32_t*>(picture.constBits()), w, h, w };
        auto texture = glass::upload(*m_context, picture);
        ASSERT_TRUE(texture) << texture.error();
        for (const double env : { 0.0, 0.74, -0.3 }) {
            glass::Lens lens = glass::lens_uniforms(w, h, 8, w);
            lens.env = static_cast<float>(env);
            QImage out;
            const auto u = glass::block(lens);
            ASSERT_TRUE(m_context->draw(platform::GpuProgram::Lens, **texture, u, w, h, std::nullopt, out));
            ASSERT_EQ(out.size(), QSize(w, h));
            EXPECT_LE(worst_difference(out, px, platform::GpuProgram::Lens, u, w, h), 2) << w << "×" << h << " env " << env;
        }
        glass::Ring ring;
        ring.rect[0] = 10, ring.rect[1] = 8, ring.rect[2] = std::max(0, w - 20), ring.rect[3] = 30;
        ring.size[0] = static_cast<float>(w), ring.size[1] = static_cast<float>(h);
        ring.radius = 6, ring.width = 18, ring.alpha = 0.8f, ring.scale = 1;
        QImage out;
        const auto u = glass::block(ring);
        ASSERT_TRUE(m_context->draw(platform::GpuProgram::Ring, **texture, u, w, h, std::nullopt, out));
        EXPECT_LE(worst_difference(out, px, platform::GpuProgram::Ring, u, w, h), 2) << w << "×" << h << " ring";
    }
}

TEST_F(GlassGl, RegionsReadBackTheirOwnRowsAndOtherFormatsAreRasterized)
{
    const int w = 120, h = 90;
    // A 24-bit picture goes through the rasterizer: the same pixels as 32-bit.
    const QImage picture = smooth_picture(w, h);
    auto direct = glass::upload(*m_context, picture);
    auto rasterized = glass::upload(*m_context, picture.convertToFormat(QImage::Format_RGB888));
    ASSERT_TRUE(direct && rasterized);
    glass::Ring ring;
    ring.rect[0] = 20, ring.rect[1] = 15, ring.rect[2] = 80, ring.rect[3] = 60;
    ring.size[0] = w, ring.size[1] = h;
    ring.radius = 12, ring.width = 18, ring.alpha = 1, ring.scale = 1;
    const auto u = glass::block(ring);
    QImage full, strip, again;
    ASSERT_TRUE(m_context->draw(platform::GpuProgram::Ring, **direct, u, w, h, std::nullopt, full));
    ASSERT_TRUE(m_context->draw(platform::GpuProgram::Ring, **rasterized, u, w, h, std::nullopt, again));
    EXPECT_EQ(full, again);
    // The top band only: the same pixels as those rows of the whole pass (top-left rows, not flipped).
    ASSERT_TRUE(m_context->draw(platform::GpuProgram::Ring, **direct, u, w, h, platform::GpuRect { 15, 10, 90, 25 }, strip));
    ASSERT_EQ(strip.size(), QSize(90, 25));
    EXPECT_EQ(strip, full.copy(15, 10, 90, 25));
    // Inside the window past the band and far outside: transparent.
    EXPECT_EQ(qAlpha(full.pixel(60, 45)), 0);
    EXPECT_EQ(qAlpha(full.pixel(3, 3)), 0);
    EXPECT_GT(qAlpha(full.pixel(60, 16)), 200);
    // An impossible region fails cleanly.
    EXPECT_FALSE(m_context->draw(platform::GpuProgram::Ring, **direct, u, w, h, platform::GpuRect { 100, 80, 40, 40 }, strip));
}

TEST(GlassGlBroken, ABrokenShaderIsLoggedAndLeavesTheGlassUnready)
{
    glass::reset_for_tests();
    ::testing::internal::CaptureStderr();
    glass::set_fragment_source_for_tests(std::string("this is not GLSL"));
    glass::prepare();
    glass::build();
    glass::set_fragment_source_for_tests(std::nullopt);
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(glass::ready());
    EXPECT_NE(log.find("vidrio: el shader no compiló: "), std::string::npos) << log;
    EXPECT_EQ(glass::lens::play(0, 0.4, smooth_picture(40, 40), { 0, 0, 40, 40 }), std::nullopt);
    // A flash then shows its sheen.
    testing_support::TempHome home;
    state::reset_for_tests();
    flash::Origin origin;
    origin.rect = { 300, 300, 200, 150 };
    origin.image = smooth_picture(200, 150);
    flash::play(origin, std::nullopt);
    ASSERT_TRUE(flash::current_plan());
    EXPECT_TRUE(flash::current_plan()->sheen());
    EXPECT_FALSE(flash::current_plan()->input().lens);
    wait_until([] { return !flash::panel()->isVisible(); }, 2000);
    state::reset_for_tests();
    glass::reset_for_tests();
}

} // namespace
