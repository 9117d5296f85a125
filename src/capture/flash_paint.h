// flash: painting one moment of a flash with QPainter.
//
// The carrier holds the picture (pulsing, rounding its corners, flying) and
// its shadow; the sheen is a turning conic gradient seen only through a soft
// rim along the picture's edge, so it is painted only in the band the rim
// covers (four strips along the edges), which keeps a 4K flash cheap.
// Main thread (or any one thread that owns the painter).
#pragma once

#include "capture/flash_timeline.h"

#include <QImage>
#include <QRegion>
#include <QTransform>

#include <array>
#include <optional>

class QPainter;

namespace flash {

inline constexpr double SHADOW_RADIUS = 28;   // points of blur
inline constexpr double SHADOW_OFFSET = 10;   // points below the carrier
inline constexpr double SHEEN_BAND = 17;      // half the widest rim stroke, points

class Painter final {
public:
    // `image` is the picture (none for a plain flash, which shows no picture).
    Painter(Plan plan, std::optional<QImage> image);

    const Plan& plan() const { return m_plan; }

    // Paints the flash at `t` seconds into `p`, whose coordinates are the
    // panel's in points (top-left origin); `pixel_ratio` sizes the sheen's
    // buffers. With opaque fades (no compositor) the carrier shows at full
    // opacity until its fade ends.
    void paint(QPainter& p, double t, double pixel_ratio, bool opaque_fades);
    // Only the sheen of the picture at `t`, in picture coordinates (points,
    // top-left origin): for measuring it alone.
    void paint_sheen(QPainter& p, const Frame& frame, double pixel_ratio);

    // The carrier's outline at `t` in panel coordinates: the window's shape
    // without a compositor.
    QRegion carrier_region(double t) const;
    // From the carrier's own coordinates (points, top-left origin) to the panel's.
    QTransform carrier_transform(const Frame& frame) const;

    // A frame of the glass lens to show in place of the picture (its run is
    // the newest one); a null image goes back to the picture.
    void set_lens_frame(QImage frame) { m_lens_frame = std::move(frame); }

private:
    struct Strip {
        QRectF rect; // picture coordinates, points
        QImage mask; // the rim's strokes inside `rect`
        QImage scratch;
    };

    void build_shadow();
    void build_sheen(double pixel_ratio);
    void paint_picture(QPainter& p, const Frame& frame);

    Plan m_plan;
    QImage m_picture;
    QImage m_lens_frame;
    QImage m_shadow; // a small blurred mask, stretched when drawn
    double m_shadow_pad = 0;
    std::array<Strip, 4> m_strips;
    double m_sheen_ratio = 0; // the pixel ratio the strips were made for
};

// Blurs the alpha of a premultiplied black image in place: three box passes
// of the given radius in pixels each way (close to a Gaussian).
void blur_alpha(QImage& image, int radius);

} // namespace flash
