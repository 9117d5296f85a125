// platform: a GPU to draw the glass effects with, off the main thread.
//
// OpenGL 3.3 core through Qt on Mesa (its software renderer, llvmpipe, where
// there is no GPU). Programs are compiled from source when a Gpu is made;
// they and the share context go with its last reference (contexts and
// textures hold one), on whichever thread drops it. Each drawing
// thread takes a context of its own, current on that thread for its whole
// life, sharing the programs and textures. Drawing renders into an offscreen
// framebuffer and reads the pixels back, so the result is a plain image the
// main thread paints. Sizes and rectangles are pixels, top-left origin.
#pragma once

#include <QImage>

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class GpuProgram { Lens, Ring };

// Premultiplied BGRA pixels in QImage's ARGB32 layout, rows top first.
struct GpuPixels {
    const std::uint32_t* pixels = nullptr;
    int w = 0;
    int h = 0;
    int stride = 0; // pixels per row
};

// A picture uploaded to the GPU; usable from every context of its Gpu.
class GpuTexture {
public:
    virtual ~GpuTexture() = default;
    virtual int width() const = 0;
    virtual int height() const = 0;
};

// The 64-byte uniform block, as floats.
using GpuUniforms = std::array<float, 16>;

// A fragment function at a pixel's centre uv (0..1, top-left origin) as the
// shader runs it, on the CPU (the fake draws with one).
using GpuFragment = std::function<std::array<float, 4>(GpuProgram, const GpuPixels&, const GpuUniforms&, float, float)>;

struct GpuRect {
    int x = 0, y = 0, w = 0, h = 0;
};

// One thread's context. Only the thread that made it may use or destroy it.
class GpuContext {
public:
    virtual ~GpuContext() = default;
    // Copies the pixels into a new texture. Fails with a message (out of
    // memory, a size beyond the GPU's limit).
    virtual std::expected<std::shared_ptr<GpuTexture>, std::string> upload(const GpuPixels& pixels) = 0;
    // Runs `program` over a w × h target reading `texture`, then reads the
    // pixels back into `out` (premultiplied ARGB32, rows top first): the
    // whole target, or only `region` of it (then `out` is the region's size
    // and nothing outside it is drawn). `out` is reused when its size fits.
    virtual std::expected<void, std::string> draw(GpuProgram program, const GpuTexture& texture,
        const GpuUniforms& uniforms, int w, int h, const std::optional<GpuRect>& region, QImage& out)
        = 0;
};

// The compiled programs. Any thread; shared; the last reference may go on any thread.
class Gpu {
public:
    virtual ~Gpu() = default;
    // GL_RENDERER, e.g. "llvmpipe (LLVM 15.0.6, 256 bits)".
    virtual std::string renderer() const = 0;
    // Whether it draws on the CPU (llvmpipe, softpipe): frames are smaller then.
    virtual bool software() const = 0;
    // A context for the calling thread, current on it from now on.
    virtual std::expected<std::unique_ptr<GpuContext>, std::string> context() = 0;
};

// Whether a GL_RENDERER names one of Mesa's software renderers (llvmpipe,
// softpipe, swrast): drawing there costs the CPU what a GPU would do.
bool software_renderer(std::string_view renderer);

// GL_RENDERER as a short-lived child of this program reads it: the driver
// is loaded there, not here, so a software renderer's compiler (llvmpipe
// maps some sixty megabytes) never stays in this process. None when the
// program's executable is not `vistrope-app` (tests: ask in process), or the
// child could make no OpenGL 3.3 context or failed. Blocks for the child
// (a few tenths of a second; killed after ten seconds): not the main thread.
std::optional<std::string> probe_renderer();
// The child's side: with exactly the argument PROBE_ARGUMENT, prints
// GL_RENDERER on one line and answers the exit status (0, or 1 without a
// context); none for any other arguments. main calls it before anything else.
inline constexpr const char* PROBE_ARGUMENT = "--gl-renderer-probe";
std::optional<int> run_probe_if_asked(int argc, char** argv);

// Makes the offscreen surface every context draws on. The first call loads
// the GL driver (tens of milliseconds). Main thread; false without OpenGL.
bool prepare_gpu_surface();

// Why there is no GPU: none usable (no surface, no OpenGL 3.3 context), or
// programs that did not compile or link (the message is the compiler's log).
struct GpuFailure {
    enum class Kind { NoGpu, Compile } kind = Kind::NoGpu;
    std::string message;
};

// Compiles the programs (vertex source, then one fragment source per
// program, lens first). Any thread, after prepare_gpu_surface.
struct GpuSources {
    std::string vertex;
    std::string lens;
    std::string ring;
};
std::expected<std::shared_ptr<Gpu>, GpuFailure> create_gpu_gl(const GpuSources& sources);

} // namespace platform
