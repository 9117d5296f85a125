// The fake GPU: draws with the fragment function it is given, on the CPU,
// one pixel centre at a time, and fails where the test asks it to.
#include "platform/fake/gpu_fake.h"

#include <chrono>
#include <thread>
#include <vector>

namespace platform {

namespace {

class TextureFake final : public GpuTexture {
public:
    TextureFake(const GpuPixels& px)
        : m_w(px.w)
        , m_h(px.h)
    {
        m_pixels.resize(static_cast<std::size_t>(px.w) * static_cast<std::size_t>(px.h));
        for (int y = 0; y < px.h; ++y)
            std::copy_n(px.pixels + static_cast<std::size_t>(y) * px.stride, px.w, m_pixels.begin() + static_cast<std::ptrdiff_t>(y) * px.w);
    }
    int width() const override { return m_w; }
    int height() const override { return m_h; }
    GpuPixels pixels() const { return { m_pixels.data(), m_w, m_h, m_w }; }

private:
    int m_w, m_h;
    std::vector<std::uint32_t> m_pixels;
};

std::uint32_t to_byte(float v)
{
    v = v < 0 ? 0 : v > 1 ? 1 : v;
    return static_cast<std::uint32_t>(v * 255 + 0.5f);
}

class ContextFake final : public GpuContext {
public:
    ContextFake(GpuFragment fragment, GpuFakeFaults faults)
        : m_fragment(std::move(fragment))
        , m_faults(faults)
    {
    }

    std::expected<std::shared_ptr<GpuTexture>, std::string> upload(const GpuPixels& px) override
    {
        if (m_faults.upload_delay_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_faults.upload_delay_ms));
        if (m_faults.upload_fails || !px.pixels || px.w <= 0 || px.h <= 0)
            return std::unexpected(std::string("no se pudo subir la textura"));
        return std::make_shared<TextureFake>(px);
    }

    std::expected<void, std::string> draw(GpuProgram program, const GpuTexture& texture, const GpuUniforms& uniforms,
        int w, int h, const std::optional<GpuRect>& region, QImage& out) override
    {
        if (m_faults.draw_delay_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(m_faults.draw_delay_ms));
        if (m_faults.draw_fails)
            return std::unexpected(std::string("el dibujo falló"));
        const GpuRect r = region.value_or(GpuRect { 0, 0, w, h });
        if (w <= 0 || h <= 0 || r.w <= 0 || r.h <= 0 || r.x < 0 || r.y < 0 || r.x + r.w > w || r.y + r.h > h)
            return std::unexpected(std::string("región fuera del destino"));
        if (out.width() != r.w || out.height() != r.h || out.format() != QImage::Format_ARGB32_Premultiplied)
            out = QImage(r.w, r.h, QImage::Format_ARGB32_Premultiplied);
        const GpuPixels tex = static_cast<const TextureFake&>(texture).pixels();
        for (int y = 0; y < r.h; ++y) {
            auto* row = reinterpret_cast<std::uint32_t*>(out.scanLine(y));
            for (int x = 0; x < r.w; ++x) {
                const float u = (static_cast<float>(r.x + x) + 0.5f) / static_cast<float>(w);
                const float v = (static_cast<float>(r.y + y) + 0.5f) / static_cast<float>(h);
                const auto c = m_fragment(program, tex, uniforms, u, v);
                row[x] = (to_byte(c[3]) << 24) | (to_byte(c[0]) << 16) | (to_byte(c[1]) << 8) | to_byte(c[2]);
            }
        }
        return {};
    }

private:
    GpuFragment m_fragment;
    GpuFakeFaults m_faults;
};

class GpuFake final : public Gpu {
public:
    GpuFake(GpuFragment fragment, GpuFakeFaults faults)
        : m_fragment(std::move(fragment))
        , m_faults(faults)
    {
    }
    std::string renderer() const override { return m_faults.software ? "fake llvmpipe" : "fake"; }
    bool software() const override { return m_faults.software; }
    std::expected<std::unique_ptr<GpuContext>, std::string> context() override
    {
        return std::make_unique<ContextFake>(m_fragment, m_faults);
    }

private:
    GpuFragment m_fragment;
    GpuFakeFaults m_faults;
};

} // namespace

std::expected<std::shared_ptr<Gpu>, GpuFailure> create_gpu_fake(GpuFragment fragment, const GpuFakeFaults& faults)
{
    if (faults.compile_fails)
        return std::unexpected(GpuFailure { GpuFailure::Kind::Compile, "0:1(1): error: syntax error (falso)" });
    return std::make_shared<GpuFake>(std::move(fragment), faults);
}

} // namespace platform
