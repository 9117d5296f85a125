#include "capture/glass/glass.h"

#include "base/util.h"
#include "base/util_thread.h"
#include "capture/glass/ring.h"
#include "capture/glass/shader.h"
#include "capture/output.h"

#include <QCoreApplication>

#include <array>
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <fmt/format.h>

namespace glass {

namespace {

using Clock = std::chrono::steady_clock;

struct Shared {
    std::mutex mutex;
    bool built = false;
    std::shared_ptr<platform::Gpu> gpu;
    std::optional<std::string> fragment_override;
    GpuFactory factory;
    int holders = 0;        // rings whose session uses the GPU
    std::uint64_t releases = 0;
};

Shared& shared()
{
    static Shared* s = new Shared(); // lives as long as the lens thread may
    return *s;
}

std::atomic<std::uint64_t> g_run { 0 };

// A lens run's time: the steady clock, or one a test holds and moves.
std::mutex g_time_mutex;
std::optional<Clock::time_point> g_held_time;

Clock::time_point now()
{
    std::lock_guard lock(g_time_mutex);
    return g_held_time.value_or(Clock::now());
}

bool time_held()
{
    std::lock_guard lock(g_time_mutex);
    return g_held_time.has_value();
}

std::string fragment_source(const char* entry)
{
    Shared& s = shared();
    std::string body;
    {
        std::lock_guard lock(s.mutex);
        body = s.fragment_override.value_or(FRAGMENT_SOURCE);
    }
    return std::string("#version 330 core\n#define FRAGMENT_MAIN ") + entry + "\n" + body;
}

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(now() - t).count(); }

// Gives the state back when it is still `gpu` and no ring uses it: it is
// built again with the next action. The caller drops its own references.
bool release_if_unused(const std::shared_ptr<platform::Gpu>& gpu)
{
    Shared& s = shared();
    {
        std::lock_guard lock(s.mutex);
        if (s.gpu != gpu || s.holders > 0)
            return false;
        s.gpu.reset();
        s.built = false;
        ++s.releases;
    }
    ring::drop_contexts();
    util::log(fmt::format("vidrio: GL liberado tras {} s sin uso", RELEASE_AFTER.count()));
    return true;
}

// --- The lens thread ----------------------------------------------------------------------

struct Job {
    std::uint64_t run = 0;
    QImage image;
    Lens uniforms;
    PixelSize size;
    Clock::time_point start;
    double duration = 0;
};

struct Slot {
    QImage image;
    std::uint64_t run = 0;
    std::uint64_t seq = 0;
    bool painted = true;
};

void stop_lens_thread();

class LensThread {
public:
    // Queues the run; the thread starts on the first. False when it cannot start.
    bool submit(Job job)
    {
        std::unique_lock lock(m_mutex);
        m_pending = std::move(job);
        m_last = m_pending->size;
        if (!start_locked()) {
            m_pending.reset();
            return false;
        }
        m_wake.notify_all();
        return true;
    }

    // Starts the thread ahead of the first run: it makes its GL context at
    // once, which would otherwise delay the first flash's frames.
    void warm()
    {
        std::unique_lock lock(m_mutex);
        start_locked();
        m_refresh = true;
        m_wake.notify_all();
    }

    QImage newest(std::uint64_t run)
    {
        std::lock_guard lock(m_mutex);
        // Only the newest run is shown; an older one is over even while its
        // thread finishes a frame.
        if (m_finished >= run || run != g_run.load())
            return {};
        Slot* best = nullptr;
        for (Slot& s : m_slots)
            if (!s.painted && s.run == run && (!best || s.seq > best->seq))
                best = &s;
        if (best) {
            // An older unpainted frame is stale once a newer one is shown.
            for (Slot& s : m_slots)
                if (s.run == run && s.seq <= best->seq)
                    s.painted = true;
            m_taken = best->image;
            m_taken_run = run;
            m_wake.notify_all();
        }
        return m_taken_run == run ? m_taken : QImage();
    }

    PixelSize last_size()
    {
        std::lock_guard lock(m_mutex);
        return m_last;
    }

    void wake()
    {
        std::lock_guard lock(m_mutex);
        m_refresh = true;
        m_wake.notify_all();
    }

    // The held clock moved: a run waiting for a slot looks at it again.
    void time_moved()
    {
        std::lock_guard lock(m_mutex);
        m_wake.notify_all();
    }

    // Ends the thread, its GL context given back first, while the windowing
    // system is still there: the application calls it as it closes (its X
    // connection goes right after). Waits for a run in progress, a while at most.
    void stop()
    {
        std::unique_lock lock(m_mutex);
        if (!m_started)
            return;
        m_stopping = true;
        m_wake.notify_all();
        m_ended.wait_for(lock, std::chrono::seconds(2), [this] { return m_stopped; });
    }

private:
    bool start_locked()
    {
        if (m_started)
            return true;
        if (!util::start_detached("vistrope-lens", [this] { loop(); }))
            return false;
        m_started = true;
        qAddPostRoutine(stop_lens_thread);
        return true;
    }

    void loop()
    {
        std::shared_ptr<platform::Gpu> gpu;
        std::unique_ptr<platform::GpuContext> context;
        // The context follows the state (tests replace it).
        auto make = [&] {
            context.reset();
            if (!gpu)
                return;
            auto made = gpu->context();
            if (made)
                context = std::move(*made);
            else
                util::log("vidrio: sin contexto para la lente: " + made.error());
        };
        // A context that could not be made is tried again with the next job.
        auto refresh = [&] {
            std::shared_ptr<platform::Gpu> now = glass::gpu();
            if (now == gpu && (context || !gpu))
                return;
            gpu = now;
            make();
        };
        // Since the last run or build: a GPU unused this long is given back.
        Clock::time_point idle_since = Clock::now();
        for (;;) {
            refresh();
            Job job;
            {
                std::unique_lock lock(m_mutex);
                const auto woken = [this] { return m_pending.has_value() || m_refresh || m_stopping; };
                if (gpu)
                    m_wake.wait_until(lock, idle_since + RELEASE_AFTER, woken);
                else
                    m_wake.wait(lock, woken);
                if (m_stopping) {
                    context.reset();
                    gpu.reset();
                    m_stopped = true;
                    m_ended.notify_all();
                    return;
                }
                if (std::exchange(m_refresh, false))
                    idle_since = Clock::now();
                if (!m_pending) {
                    lock.unlock();
                    if (gpu && Clock::now() >= idle_since + RELEASE_AFTER) {
                        if (release_if_unused(gpu)) {
                            context.reset();
                            gpu.reset(); // the programs go with the last holder
                        }
                        idle_since = Clock::now();
                    }
                    continue;
                }
                job = std::move(*m_pending);
                m_pending.reset();
            }
            refresh();
            if (context) {
                run(*context, job);
                // The driver keeps what the last draw read (a screenful)
                // until the context draws again: a fresh context, made now
                // while nothing waits for it, lets it go.
                make();
            }
            finish(job.run);
            idle_since = Clock::now();
        }
    }

    void run(platform::GpuContext& context, Job& job)
    {
        auto texture = upload(context, job.image);
        job.image = QImage();
        if (!texture)
            return;
        // A late animation is skipped, not shown late.
        if (seconds_since(job.start) > LENS_LATE)
            return;
        const Clock::time_point ready = now();
        const Clock::time_point end = ready + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(job.duration));
        QImage buffer;
        for (;;) {
            const double elapsed = seconds_since(ready);
            if (elapsed >= job.duration || g_run.load() != job.run)
                return;
            job.uniforms.env = static_cast<float>(envelope(elapsed / LENS_PERIOD));
            if (!context.draw(platform::GpuProgram::Lens, **texture, block(job.uniforms), job.size.w, job.size.h, std::nullopt, buffer))
                return;
            if (!put(buffer, job.run, end))
                return;
        }
    }

    // Waits for a painted slot and hands the frame over; false when the run
    // was replaced or its time ran out meanwhile.
    bool put(QImage& frame, std::uint64_t run, Clock::time_point end)
    {
        std::unique_lock lock(m_mutex);
        auto free_slot = [this] {
            Slot* best = nullptr;
            for (Slot& s : m_slots)
                if (s.painted && (!best || s.seq < best->seq))
                    best = &s;
            return best;
        };
        auto stop = [&] { return g_run.load() != run || m_pending.has_value(); };
        if (time_held()) {
            // A held clock ends the run only when the test moves it past the
            // end (or lets go of it).
            m_wake.wait(lock, [&] { return free_slot() != nullptr || stop() || m_stopping || !time_held() || now() >= end; });
            if (stop() || m_stopping || !time_held() || now() >= end)
                return false;
        } else if (!m_wake.wait_until(lock, end, [&] { return free_slot() != nullptr || stop(); }) || stop()) {
            return false;
        }
        Slot* slot = free_slot();
        std::swap(slot->image, frame);
        slot->run = run;
        slot->seq = ++m_seq;
        slot->painted = false;
        return true;
    }

    void finish(std::uint64_t run)
    {
        std::lock_guard lock(m_mutex);
        m_finished = std::max(m_finished, run);
        // The run's pictures go with it (screen-sized at 4K, held for good otherwise).
        for (Slot& s : m_slots)
            if (s.run <= run) {
                s.painted = true;
                s.image = QImage();
            }
        if (m_taken_run <= run) {
            m_taken = QImage();
            m_taken_run = 0;
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::optional<Job> m_pending;
    bool m_refresh = false; // a new state to take up (a build)
    bool m_started = false;
    bool m_stopping = false;
    bool m_stopped = false;
    std::condition_variable m_ended;
    std::array<Slot, 2> m_slots;
    std::uint64_t m_seq = 0;
    std::uint64_t m_finished = 0;
    QImage m_taken;
    std::uint64_t m_taken_run = 0;
    PixelSize m_last;
};

LensThread& lens_thread()
{
    static LensThread* t = new LensThread(); // its thread ends with the application
    return *t;
}

void stop_lens_thread() { lens_thread().stop(); }

} // namespace

bool ready() { return gpu() != nullptr; }

void hold(bool on)
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    s.holders += on ? 1 : -1;
}

std::uint64_t releases()
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    return s.releases;
}

std::shared_ptr<platform::Gpu> gpu()
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    return s.gpu;
}

void prepare()
{
    util::require_main_thread("hilo principal");
    platform::prepare_gpu_surface();
}

void build()
{
    Shared& s = shared();
    GpuFactory factory;
    {
        std::lock_guard lock(s.mutex);
        if (s.built)
            return;
        s.built = true;
        factory = s.factory;
    }
    const platform::GpuSources sources { VERTEX_SOURCE, fragment_source("lens_main"), fragment_source("ring_main") };
    auto made = factory ? factory(sources) : platform::create_gpu_gl(sources);
    if (!made) {
        if (made.error().kind == platform::GpuFailure::Kind::Compile)
            util::log("vidrio: el shader no compiló: " + made.error().message);
        return;
    }
    util::log("vidrio: listo en " + (*made)->renderer());
    {
        std::lock_guard lock(s.mutex);
        s.gpu = std::move(*made);
    }
    lens_thread().warm();
}

std::expected<std::shared_ptr<platform::GpuTexture>, std::string> upload(platform::GpuContext& context, const QImage& image)
{
    if (image.isNull())
        return std::unexpected(std::string("sin imagen"));
    const QImage::Format f = image.format();
    if (f == QImage::Format_ARGB32 || f == QImage::Format_ARGB32_Premultiplied || f == QImage::Format_RGB32) {
        return context.upload({ reinterpret_cast<const std::uint32_t*>(image.constBits()), image.width(), image.height(),
            static_cast<int>(image.bytesPerLine() / 4) });
    }
    const output::Raster raster = output::rasterize(image);
    if (raster.pixels.empty())
        return std::unexpected(std::string("no se pudo rasterizar la imagen"));
    const int w = static_cast<int>(raster.width);
    return context.upload({ reinterpret_cast<const std::uint32_t*>(raster.pixels.data()), w, static_cast<int>(raster.height), w });
}

platform::GpuUniforms block(const Lens& lens)
{
    platform::GpuUniforms out {};
    std::memcpy(out.data(), &lens, sizeof lens);
    return out;
}

platform::GpuUniforms block(const Ring& ring)
{
    platform::GpuUniforms out {};
    std::memcpy(out.data(), &ring, sizeof ring);
    return out;
}

platform::GpuFragment cpu_fragment()
{
    return [](platform::GpuProgram program, const platform::GpuPixels& px, const platform::GpuUniforms& u, float x, float y) {
        const Texels tex { px.pixels, px.w, px.h, px.stride };
        if (program == platform::GpuProgram::Lens) {
            std::array<float, 8> first;
            std::copy_n(u.begin(), first.size(), first.begin());
            return lens_pixel(tex, std::bit_cast<Lens>(first), x, y);
        }
        return ring_pixel(tex, std::bit_cast<Ring>(u), x, y);
    };
}

namespace lens {

std::optional<std::uint64_t> play(double corner_radius, double duration, const QImage& image, const platform::RectF& frame)
{
    util::require_main_thread("hilo principal");
    const std::shared_ptr<platform::Gpu> g = gpu();
    if (!g || image.isNull())
        return std::nullopt;
    const std::uint64_t run = ++g_run;
    Job job;
    job.run = run;
    job.image = image;
    job.uniforms = lens_uniforms(image.width(), image.height(), corner_radius, frame.w);
    job.size = drawable_size(image.width(), image.height(), g->software());
    job.start = now();
    job.duration = std::min(duration, LENS_MAX_DURATION);
    if (!lens_thread().submit(std::move(job)))
        return std::nullopt;
    return run;
}

std::uint64_t current_run() { return g_run.load(); }

QImage newest_frame(std::uint64_t run) { return lens_thread().newest(run); }

PixelSize last_drawable() { return lens_thread().last_size(); }

} // namespace lens

void set_gpu_for_tests(std::shared_ptr<platform::Gpu> gpu)
{
    {
        Shared& s = shared();
        std::lock_guard lock(s.mutex);
        s.gpu = std::move(gpu);
        s.built = true;
    }
    ++g_run;
    lens_thread().wake();
}

void hold_lens_time_for_tests(std::optional<double> seconds)
{
    {
        std::lock_guard lock(g_time_mutex);
        if (!seconds) {
            g_held_time.reset();
        } else {
            static const Clock::time_point origin = Clock::now();
            g_held_time = origin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*seconds));
        }
    }
    lens_thread().time_moved();
}

void set_fragment_source_for_tests(std::optional<std::string> source)
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    s.fragment_override = std::move(source);
}

void set_factory_for_tests(GpuFactory factory)
{
    Shared& s = shared();
    std::lock_guard lock(s.mutex);
    s.factory = std::move(factory);
}

void reset_for_tests()
{
    {
        Shared& s = shared();
        std::lock_guard lock(s.mutex);
        s.gpu.reset();
        s.built = false;
    }
    ++g_run;
    lens_thread().wake();
}

} // namespace glass
