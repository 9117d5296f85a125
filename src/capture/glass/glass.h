// glass: the shared GPU state of the glass effects and the lens run.
//
// The state is built on the background pool with the first action
// (flash::prepare_glass); until it is ready, and when it failed, every glass
// request declines and the flash shows its sheen instead. Unused for
// RELEASE_AFTER (no lens run, no ring session), the GL contexts and
// programs are given back, and the next action builds them again. A lens run uploads the picture and draws the
// wobbling lens frame by frame on the one thread "vistrope-lens", whose GL
// context shares the programs; frames reach the flash through two slots
// tagged with the run, and a newer run makes an older one stop at its next
// frame.
#pragma once

#include "capture/glass/math.h"
#include "platform/gpu.h"
#include "platform/screens.h"

#include <QImage>

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace glass {

inline constexpr std::chrono::seconds RELEASE_AFTER { 4 };

// Whether the state was built and holds a GPU. Any thread.
bool ready();
// A ring session starts (true) or ends (false) using the GPU: while any
// does, nothing is given back. Any thread.
void hold(bool on);
// How many times the state was given back (logged as "vidrio: GL liberado").
std::uint64_t releases();
// The GPU; null until ready. Any thread.
std::shared_ptr<platform::Gpu> gpu();

// Makes the offscreen surface the GL contexts draw on (loads the driver on
// the first call). Main thread.
void prepare();
// Builds the state: the GL programs from the embedded source. Logs
// "vidrio: el shader no compiló: " and the compiler's words when they fail.
// Any thread; calls after the first do nothing until the state is given back.
void build();

// Uploads a picture: 32-bit pictures as they are, others rasterized first.
std::expected<std::shared_ptr<platform::GpuTexture>, std::string> upload(platform::GpuContext& context, const QImage& image);

// The uniform blocks as the shader reads them.
platform::GpuUniforms block(const Lens& lens);
platform::GpuUniforms block(const Ring& ring);
// The fragment functions on the CPU, for the fake GPU.
platform::GpuFragment cpu_fragment();

namespace lens {

// Starts a lens run over a picture shown at `frame` (points) with corner
// radius `corner_radius` points, for `duration` seconds (at most 0.7). Answers
// the run's id, or none when the GPU is not ready or the thread cannot start.
// Main thread.
std::optional<std::uint64_t> play(double corner_radius, double duration, const QImage& image, const platform::RectF& frame);

// The newest run's id (every play increments it). Any thread.
std::uint64_t current_run();

// The newest frame of run `run` not yet painted, or the last one painted when
// none is newer; null before its first frame and once the run is over.
// Taking a frame frees its slot for the next. Main thread.
QImage newest_frame(std::uint64_t run);

// The drawable size of the newest run (tests).
PixelSize last_drawable();

} // namespace lens

// --- Tests ----------------------------------------------------------------------------

// Replaces the state: a fake GPU, or null for "not ready". Stops any run.
void set_gpu_for_tests(std::shared_ptr<platform::Gpu> gpu);
// Holds a lens run's clock at `seconds` (any fixed origin; later calls move
// it): a run drawing under a held clock neither comes late nor ends until
// the clock passes its end. None: the steady clock again.
void hold_lens_time_for_tests(std::optional<double> seconds);
// The fragment source build() compiles instead of the embedded one (none: the embedded).
void set_fragment_source_for_tests(std::optional<std::string> source);
// What build() makes the GPU with (null: OpenGL).
using GpuFactory = std::function<std::expected<std::shared_ptr<platform::Gpu>, platform::GpuFailure>(const platform::GpuSources&)>;
void set_factory_for_tests(GpuFactory factory);
// Forgets the state so that build() runs again.
void reset_for_tests();

} // namespace glass
