// glass: the glass ring around the window under the pointer in the overlay.
//
// Each overlay panel owns one ring. The panel states the target on every
// pointer move; the ring animates itself on its own thread
// ("vistrope-ring"), which keeps its GL context and parks while the ring
// is at rest; a session holds the GPU state from its first use to clear(). Only the band is drawn and read back: four strips from 2
// points outside the window's edge to 18 inside, handed to the main thread
// with the session's generation, so a late frame of an earlier session never
// shows. The frozen screen is uploaded once per session, on that thread.
#pragma once

#include "platform/screens.h"

#include <QImage>
#include <QRect>
#include <QRegion>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace glass::ring {

// A strip of the drawn band: where it goes (view pixels, top-left) and its
// premultiplied pixels.
struct Strip {
    QRect rect;
    QImage image;
};

class Ring final {
public:
    // A ring for a view `height` points tall at `scale` pixels per point.
    Ring(double height, double scale);
    ~Ring();
    Ring(const Ring&) = delete;
    Ring& operator=(const Ring&) = delete;

    // Prepares the frozen screen once per session; afterwards `render_again`
    // runs on the main thread (not after a clear in between). Nothing happens
    // before the GPU is ready, while an upload is under way, after a failed
    // upload or with a texture already there. Main thread.
    void load(const QImage& frozen, std::function<void()> render_again);
    // Starts the ring's thread and its context ahead of the first frame. Main thread.
    void warm();
    // What the ring should show: a target in view points (bottom-left
    // origin) with its corner radius, or none to fade out. Main thread.
    void show(std::optional<platform::RectF> target, double corner_radius);
    // Forgets the session: texture, motion, strips. Main thread.
    void clear();

    // Whether the upload of this session failed (the overlay then draws its
    // blue outline). Main thread.
    bool upload_failed() const;
    // Whether the thread is animating (false while parked or absent).
    bool running() const;
    // Whether a texture of this session is there.
    bool loaded() const;

    // The strips to paint now (main thread).
    const std::vector<Strip>& strips() const { return m_strips; }
    // Called on the main thread with the view points to repaint when the
    // strips change (old and new together).
    void set_on_frame(std::function<void(const QRegion&)> on_frame) { m_on_frame = std::move(on_frame); }

    struct Shared;
    // The thread's frame reached the main thread (still this session's).
    void accept_frame(std::uint64_t generation, std::vector<Strip> strips);

private:
    void wake_thread();
    QRegion points(const std::vector<Strip>& strips) const;

    std::shared_ptr<Shared> m_shared;
    double m_height;
    double m_scale;
    std::vector<Strip> m_strips;
    std::function<void(const QRegion&)> m_on_frame;
};

// Every ring's thread lets its context go (the GPU state was given back);
// the next session makes one anew. Any thread.
void drop_contexts();

// The band's strips for a ring rectangle (pixels, top-left) on a w × h
// screen at `scale`: 2 points outside to 18 inside (one more pixel each way
// for the anti-aliased edge), clipped to the screen.
std::vector<QRect> band_strips(const std::array<float, 4>& rect, float scale, int w, int h);

} // namespace glass::ring
