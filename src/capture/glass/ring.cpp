#include "capture/glass/ring.h"

#include "base/util.h"
#include "base/util_thread.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "capture/glass/glass.h"
#include "capture/glass/math.h"
#include "platform/accessibility.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace glass::ring {

using Clock = std::chrono::steady_clock;

// Shared with the ring's thread. Every section under the lock is short; no
// GL call happens while it is held.
struct Ring::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    Ring* owner = nullptr; // main thread's view; null once the ring is gone

    RingMotion motion;
    std::shared_ptr<platform::GpuTexture> texture;
    std::uint64_t generation = 0;
    int width = 0, height = 0; // the frozen picture, pixels
    Clock::time_point last_frame;
    float scale = 1;
    float radius = 0;
    bool loading = false;
    bool upload_failed = false;
    bool running = false; // animating; parked otherwise
    bool settled = true;
    bool warmed = false;
    bool started = false; // the thread exists
    bool quit = false;
    bool drop = false;    // let the context go (the GPU state was given back)
    bool holding = false; // this session holds the GPU state
    // An upload for the thread to do, with its session and what to call after.
    std::optional<QImage> upload;
    std::uint64_t upload_generation = 0;
    std::function<void()> render_again;
};

namespace {

constexpr auto FRAME = std::chrono::microseconds(16667);

void deliver(const std::shared_ptr<Ring::Shared>& shared, std::uint64_t generation, std::vector<Strip> strips);

struct Registry {
    std::mutex mutex;
    std::vector<std::weak_ptr<Ring::Shared>> rings;
};

Registry& registry()
{
    static Registry* r = new Registry(); // ring threads may outlive statics
    return *r;
}

// Under the ring's lock.
void hold_locked(Ring::Shared& s, bool on)
{
    if (s.holding == on)
        return;
    s.holding = on;
    glass::hold(on);
}

void thread_body(std::shared_ptr<Ring::Shared> s)
{
    std::shared_ptr<platform::Gpu> gpu;
    std::unique_ptr<platform::GpuContext> context;
    auto ensure_context = [&] {
        const auto now = glass::gpu();
        if (now != gpu) {
            context.reset();
            gpu = now;
            if (gpu) {
                if (auto made = gpu->context())
                    context = std::move(*made);
                else
                    util::log("vidrio: sin contexto para el anillo: " + made.error());
            }
        }
        return context.get();
    };
    ensure_context();
    Clock::time_point next = Clock::now();
    for (;;) {
        std::unique_lock lock(s->mutex);
        s->wake.wait(lock, [&] { return s->quit || s->drop || s->upload || s->running; });
        if (std::exchange(s->drop, false) && !s->quit) {
            lock.unlock();
            context.reset();
            gpu.reset();
            continue;
        }
        if (s->quit) {
            // Rings go when their panel goes, which may be while the
            // application tears its GL integration down: the context is left
            // to the process's end rather than destroyed against an unloaded
            // driver.
            (void)context.release();
            // Its programs likewise: this may hold the last reference.
            (void)new std::shared_ptr<platform::Gpu>(std::move(gpu));
            return;
        }
        if (s->upload) {
            QImage picture = std::move(*s->upload);
            s->upload.reset();
            const std::uint64_t generation = s->upload_generation;
            lock.unlock();
            std::shared_ptr<platform::GpuTexture> texture;
            if (platform::GpuContext* c = ensure_context()) {
                auto made = glass::upload(*c, picture);
                if (made)
                    texture = std::move(*made);
                else
                    util::log("vidrio: el anillo no pudo subir la imagen: " + made.error());
            }
            lock.lock();
            if (generation != s->generation)
                continue; // a clear came meanwhile: dropped, nothing rendered
            s->loading = false;
            s->upload_failed = !texture;
            s->texture = std::move(texture);
            util::on_main([weak = std::weak_ptr(s), generation] {
                auto shared = weak.lock();
                if (!shared)
                    return;
                std::function<void()> again;
                {
                    std::lock_guard guard(shared->mutex);
                    if (shared->generation != generation || !shared->owner)
                        return;
                    again = shared->render_again;
                }
                if (again)
                    again();
            });
            continue;
        }
        // One frame.
        const Clock::time_point now = Clock::now();
        const double dt = std::min(std::chrono::duration<double>(now - s->last_frame).count(), RING_MAX_STEP);
        s->last_frame = now;
        ring_advance(s->motion, dt);
        if (!s->texture || s->settled) {
            s->running = false; // parks, keeping the context
            continue;
        }
        if (ring_at_rest(s->motion))
            s->settled = true; // this frame is still drawn
        glass::Ring uniforms;
        std::copy(s->motion.rect.begin(), s->motion.rect.end(), uniforms.rect);
        uniforms.size[0] = static_cast<float>(s->width);
        uniforms.size[1] = static_cast<float>(s->height);
        uniforms.radius = s->radius;
        uniforms.width = static_cast<float>(RING_BAND) * s->scale;
        uniforms.alpha = s->motion.alpha;
        uniforms.scale = s->scale;
        const std::shared_ptr<platform::GpuTexture> texture = s->texture;
        const std::uint64_t generation = s->generation;
        const int w = s->width, h = s->height;
        const Quad rect = s->motion.rect;
        lock.unlock();

        std::vector<Strip> strips;
        platform::GpuContext* c = ensure_context();
        bool ok = c != nullptr;
        if (ok && uniforms.alpha > 0) {
            for (const QRect& r : band_strips(rect, uniforms.scale, w, h)) {
                Strip strip { r, QImage() };
                if (!c->draw(platform::GpuProgram::Ring, *texture, glass::block(uniforms), w, h,
                        platform::GpuRect { r.x(), r.y(), r.width(), r.height() }, strip.image)) {
                    ok = false;
                    break;
                }
                strips.push_back(std::move(strip));
            }
        }
        if (!ok) {
            std::lock_guard guard(s->mutex);
            s->running = false;
            continue;
        }
        deliver(s, generation, std::move(strips));
        // Frames at the display's pace.
        next = std::max(next + FRAME, Clock::now() - FRAME);
        std::this_thread::sleep_until(next);
    }
}

void deliver(const std::shared_ptr<Ring::Shared>& shared, std::uint64_t generation, std::vector<Strip> strips)
{
    util::on_main([weak = std::weak_ptr(shared), generation, strips = std::move(strips)]() mutable {
        auto s = weak.lock();
        if (!s)
            return;
        Ring* owner = nullptr;
        {
            std::lock_guard lock(s->mutex);
            if (s->generation != generation)
                return;
            owner = s->owner;
        }
        if (owner)
            owner->accept_frame(generation, std::move(strips));
    });
}

} // namespace

std::vector<QRect> band_strips(const std::array<float, 4>& rect, float scale, int w, int h)
{
    const double out = RING_OUTSIDE * scale + 1, in = RING_BAND * scale + 1;
    const double x0 = std::floor(rect[0] - out), y0 = std::floor(rect[1] - out);
    const double x1 = std::ceil(rect[0] + rect[2] + out), y1 = std::ceil(rect[1] + rect[3] + out);
    const double t = std::ceil(out + in);
    const double tx = std::min(t, std::floor((x1 - x0) / 2)), ty = std::min(t, std::floor((y1 - y0) / 2));
    const QRect screen(0, 0, w, h);
    std::vector<QRect> strips;
    auto add = [&](double x, double y, double sw, double sh) {
        const QRect r = QRect(static_cast<int>(x), static_cast<int>(y), static_cast<int>(sw), static_cast<int>(sh)).intersected(screen);
        if (!r.isEmpty())
            strips.push_back(r);
    };
    add(x0, y0, x1 - x0, ty);
    add(x0, y1 - ty, x1 - x0, ty);
    add(x0, y0 + ty, tx, y1 - y0 - 2 * ty);
    add(x1 - tx, y0 + ty, tx, y1 - y0 - 2 * ty);
    return strips;
}

Ring::Ring(double height, double scale)
    : m_shared(std::make_shared<Shared>())
    , m_height(height)
    , m_scale(scale)
{
    m_shared->owner = this;
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.rings, [](const std::weak_ptr<Shared>& w) { return w.expired(); });
    r.rings.push_back(m_shared);
}

Ring::~Ring()
{
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->owner = nullptr;
        m_shared->quit = true;
        hold_locked(*m_shared, false);
    }
    // The thread holds the shared state and ends at its next wake; it is
    // never joined, so that a frame in flight does not hold the main thread.
    m_shared->wake.notify_all();
}

void Ring::wake_thread()
{
    // Under the lock; the thread is started once and then only woken.
    if (!m_shared->started) {
        // Refused (logged once): the ring stays off.
        if (!util::start_detached("vistrope-ring", [s = m_shared] { thread_body(s); })) {
            m_shared->running = false;
            return;
        }
        m_shared->started = true;
    }
    m_shared->wake.notify_all();
}

void Ring::load(const QImage& frozen, std::function<void()> render_again)
{
    util::require_main_thread("hilo principal");
    if (!glass::ready() || frozen.isNull())
        return;
    std::lock_guard lock(m_shared->mutex);
    // Only the call that marks the state loading queues an upload: the
    // overlay calls this on every pointer move.
    if (m_shared->loading || m_shared->upload_failed || m_shared->texture)
        return;
    hold_locked(*m_shared, true);
    m_shared->loading = true;
    m_shared->width = frozen.width();
    m_shared->height = frozen.height();
    m_shared->scale = static_cast<float>(m_scale);
    m_shared->upload = frozen;
    m_shared->upload_generation = m_shared->generation;
    m_shared->render_again = std::move(render_again);
    wake_thread();
}

void Ring::warm()
{
    util::require_main_thread("hilo principal");
    if (!glass::ready())
        return;
    std::lock_guard lock(m_shared->mutex);
    hold_locked(*m_shared, true);
    if (m_shared->warmed)
        return;
    m_shared->warmed = true;
    wake_thread();
}

void drop_contexts()
{
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    for (const std::weak_ptr<Ring::Shared>& w : r.rings)
        if (auto s = w.lock()) {
            std::lock_guard guard(s->mutex);
            if (!s->started)
                continue;
            s->drop = true;
            s->wake.notify_all();
        }
}

void Ring::show(std::optional<platform::RectF> target, double corner_radius)
{
    util::require_main_thread("hilo principal");
    std::optional<Quad> px;
    if (target) {
        const double s = m_scale;
        px = Quad { static_cast<float>(target->x * s), static_cast<float>((m_height - target->y - target->h) * s),
            static_cast<float>(target->w * s), static_cast<float>(target->h * s) };
    }
    const bool reduce_motion = platform::accessibility().reduce_motion;
    std::lock_guard lock(m_shared->mutex);
    if (!m_shared->texture)
        return;
    m_shared->radius = static_cast<float>(corner_radius * m_scale);
    if (ring_aim(m_shared->motion, px, reduce_motion, static_cast<float>(RING_GROW * m_scale)))
        m_shared->settled = false;
    if (!m_shared->running && !m_shared->settled) {
        m_shared->running = true;
        m_shared->last_frame = Clock::now();
        wake_thread();
    }
}

void Ring::clear()
{
    util::require_main_thread("hilo principal");
    {
        std::lock_guard lock(m_shared->mutex);
        Shared& s = *m_shared;
        s.texture.reset();
        s.motion = {};
        s.width = s.height = 0;
        s.scale = 0;
        s.radius = 0;
        s.loading = s.upload_failed = false;
        s.upload.reset();
        s.render_again = nullptr;
        s.settled = true;
        ++s.generation;
        hold_locked(s, false);
    }
    const QRegion old = points(m_strips);
    m_strips.clear();
    if (m_on_frame && !old.isEmpty())
        m_on_frame(old);
}

bool Ring::upload_failed() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->upload_failed;
}

bool Ring::running() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->running;
}

bool Ring::loaded() const
{
    std::lock_guard lock(m_shared->mutex);
    return m_shared->texture != nullptr;
}

QRegion Ring::points(const std::vector<Strip>& strips) const
{
    QRegion region;
    for (const Strip& s : strips) {
        const QRectF r(s.rect.x() / m_scale, s.rect.y() / m_scale, s.rect.width() / m_scale, s.rect.height() / m_scale);
        region += r.toAlignedRect();
    }
    return region;
}

void Ring::accept_frame(std::uint64_t, std::vector<Strip> strips)
{
    const QRegion dirty = points(m_strips) + points(strips);
    m_strips = std::move(strips);
    if (m_on_frame && !dirty.isEmpty())
        m_on_frame(dirty);
}

} // namespace glass::ring
