// flash: painting one moment of a flash with QPainter.
//
// The carrier holds the picture (pulsing, rounding its corners, flying) and
// its shadow; the sheen is a turning conic gradient seen only through a soft
// rim along the picture's edge, so it is painted only in the band the rim
// covers (four strips along the edges), which keeps a 4K flash cheap. Each
// strip keeps every pixel's direction from the picture's centre, so a frame
// of the sheen is a look-up in the gradient's colours turned by the rotation
// rather than an arctangent per pixel; the strips of the last size made are
// kept for the next flash of that size (a run of captures of one screen).
// Main thread (or any one thread that owns the painter).
#pragma once

#include "capture/flash_timeline.h"

#include <QImage>
#include <QRect>
#include <QRegion>
#include <QTransform>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QPainter;

namespace flash {

inline constexpr double SHADOW_RADIUS = 28;   // points of blur
inline constexpr double SHADOW_OFFSET = 10;   // points below the carrier
inline constexpr double SHEEN_BAND = 17;      // half the widest rim stroke, points

struct SheenRim; // the sheen's strips for one size of picture, shared

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
    // What the flash covers at `t` in panel coordinates (points), shadow and
    // sheen included; empty once it has faded out.
    QRectF bounds(double t) const;
    // From the carrier's own coordinates (points, top-left origin) to the panel's.
    QTransform carrier_transform(const Frame& frame) const;

    // A frame of the glass lens to show in place of the picture (its run is
    // the newest one); a null image goes back to the picture.
    void set_lens_frame(QImage frame) { m_lens_frame = std::move(frame); }

private:
    void build_shadow();
    // The shadow, but for `covered` (carrier coordinates), which the picture hides.
    void paint_shadow(QPainter& p, const QRectF& covered) const;
    // The shadow's opaque middle `piece` but for `covered`.
    static void fill_around(QPainter& p, const QRectF& piece, const QRectF& covered);
    // Whether every pixel of the picture is opaque, found on first use.
    bool picture_opaque();
    // What of the carrier (its coordinates, points) the picture covers with
    // opaque pixels in this frame, drawn at `opacity` through `p`: empty
    // unless the picture is opaque and drawn at full opacity.
    QRectF covered_by_picture(const QPainter& p, const Frame& frame, double opacity);
    void paint_picture(QPainter& p, const Frame& frame);
    // The picture halved `level` times (0: itself), made on first use.
    const QImage& picture_level(std::size_t level);

    Plan m_plan;
    QImage m_picture;
    std::vector<QImage> m_levels; // the picture halved once, twice…: what a flight shrinking it draws from
    QImage m_lens_frame;
    QImage m_shadow; // a small blurred mask, stretched when drawn
    QRect m_shadow_core; // the mask's pixels that are all opaque, drawn as a plain fill
    std::optional<bool> m_picture_opaque;
    double m_shadow_pad = 0;
    std::shared_ptr<const SheenRim> m_rim; // the sheen's strips, for the pixel ratio last painted at
    std::array<QImage, 4> m_sheen_frames; // each strip's colours this frame
    std::vector<QRgb> m_sheen_colours; // the gradient's stops, one colour per 1/1024 turn
};

// Frees the halved pictures that finished flashes left for the next one.
// Any thread.
void release_spare_pictures();

// Blurs the alpha of a premultiplied black image in place: three box passes
// of the given radius in pixels each way (close to a Gaussian).
void blur_alpha(QImage& image, int radius);

} // namespace flash
