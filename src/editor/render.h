// render: turns an annotated document into pixels.
//
// draw_items draws the annotations of a document into any painter whose
// transform makes one unit one image pixel (y downwards): the overlay view on
// screen and the flattening export alike. export_doc flattens the whole
// document (crop, gradient frame, base picture, annotations) into an
// output::Raster that every output of the editor uses. The module also holds
// the editor's source picture (Base), the cache of processed pixelate and
// blur regions, and the text helpers text editing measures with.
//
// Coordinates are image pixels, top-left origin, y downwards; s is the
// base's scale (pixels per point). Main thread, except that an export of a
// Base and cache nobody else touches may run anywhere.
#pragma once

#include "capture/output.h"
#include "codec/imageops.h"
#include "editor/model.h"
#include "editor/paint.h"

#include <QColor>
#include <QColorSpace>
#include <QColorTransform>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QRectF>
#include <QRegion>
#include <QString>
#include <QTransform>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace editor {
class Editor;
}

namespace render {

// Each pixel of a preview is the mean of a PREVIEW_FACTOR-square box of the
// picture: the blur drawn on screen, which loses far finer detail than that,
// reads it instead of the whole picture.
inline constexpr std::size_t PREVIEW_FACTOR = 4;
imageops::Image preview_of(const output::Raster& raster);

// The editor's source picture.
class Base {
public:
    // `scale` below 0.5 or not a number becomes 0.5. The colour space is the
    // picture's own when valid, else sRGB.
    Base(QImage image, double scale);

    const QImage& image() const { return m_image; }
    std::uint64_t width() const { return m_width; }
    std::uint64_t height() const { return m_height; }
    double scale() const { return m_scale; }
    const QColorSpace& color_space() const { return m_space; }
    // Converts sRGB colours into the base's space; none when it is sRGB.
    const std::optional<QColorTransform>& from_srgb() const { return m_from_srgb; }

    // Hands over pixels rasterised elsewhere (the background preparation),
    // with their preview when it was made there too.
    void set_raster(output::Raster raster, std::optional<imageops::Image> preview = std::nullopt);
    bool has_raster() const { return m_raster != nullptr; }
    // The rasterised pixels, made now when nothing handed them over yet.
    std::shared_ptr<const output::Raster> raster();
    // The picture reduced by PREVIEW_FACTOR (preview_of the raster), made now
    // when nothing handed it over yet.
    std::shared_ptr<const imageops::Image> preview();
    // Whether every pixel is opaque (worked out once).
    bool opaque();

private:
    QImage m_image; // premultiplied ARGB32 or RGB32, ready to draw
    std::uint64_t m_width = 0;
    std::uint64_t m_height = 0;
    double m_scale = 1;
    QColorSpace m_space;
    std::optional<QColorTransform> m_from_srgb;
    std::shared_ptr<const output::Raster> m_raster;
    std::shared_ptr<const imageops::Image> m_preview;
    std::optional<bool> m_opaque;
};

inline constexpr std::uint8_t KIND_PIXELATE = 10;
inline constexpr std::uint8_t KIND_BLUR = 11;

// A processed pixelate or blur region. The last four fields are the key of
// validity: the entry is reused only while all of them match.
struct EffectEntry {
    QRectF draw;  // where the image is drawn
    QImage image; // premultiplied ARGB32, or RGB32 from an opaque picture
    imageops::Rect pixels; // the region in whole pixels
    std::uint8_t kind = 0;
    std::uint8_t size = 0;
    bool reduced = false; // made for the screen at reduced resolution (blur only)
};
using EffectCache = std::unordered_map<std::uint64_t, EffectEntry>;

// The finished pictures of an annotation drawn on screen with its shadow,
// reused while the annotation, the device transform, the shadow unit and the
// layer's rectangle all stay the same: a repaint then composites them
// instead of filling outlines and blurring shadows again.
struct SpriteEntry {
    editor::model::Annotation annotation;
    QTransform transform;
    double unit = 0;
    paint::Sprite sprite;
};
using SpriteCache = std::unordered_map<std::uint64_t, SpriteEntry>;

// What one drawing pass draws with.
struct DrawCtx {
    QPainter* painter = nullptr; // one unit = one image pixel, y downwards
    double scale = 1;            // s
    double unit = 1;             // shadow unit: s in exports, s × zoom on screen
    bool on_screen = false;      // selects the reduced-resolution blur
    const std::optional<QColorTransform>* from_srgb = nullptr;
    // On screen: the annotations' finished pictures, and the device rectangle
    // their layers are cut to instead of the painter's clip (the part of the
    // view the source covers), so that a repaint of a small dirty rectangle
    // makes the same pictures as a whole one.
    SpriteCache* sprites = nullptr;
    std::optional<QRect> layer_within {};

    // An sRGB colour in the space the pixels are in.
    QColor color(double r, double g, double b, double a = 1) const;
};

// Draws the annotations, in four sections: highlighters, pixelate and blur
// regions, spotlights, then every other kind with its shadow. Only
// annotations whose bounds overlap `visible` draw (spotlights always
// count); `skip` is left out (the text being typed).
void draw_items(DrawCtx& ctx, Base& base, EffectCache& cache, std::span<const editor::model::Annotation> items,
    const QRectF& visible, std::optional<std::uint64_t> skip);

// The smoothed path of a stroke: straight to the first midpoint, quadratic
// curves through the midpoints after it; one point becomes a tiny segment so
// that a click still paints a round dot.
void add_smooth_path(QPainterPath& path, std::span<const editor::model::Point> points);

// The gradient of the frame, over the canvas rectangle; nothing is painted
// over `hidden` (device pixels), which the floating picture covers.
void draw_background(DrawCtx& ctx, const QRectF& canvas, const QRegion& hidden = QRegion());

// The floating picture of the frame: shadowed, clipped to the source with
// corners of radius max(0, min(10 s, S.w / 2, S.h / 2)). Draw the picture
// and the annotations through painter(), then end(). The shadow falls once,
// under everything drawn. With `opaque` (a picture without transparency:
// then what is drawn stays opaque) the shadow is cast from the rounded shape
// at once and everything is drawn straight into the context; otherwise a
// transparency layer collects it and casts the shadow at the end.
class Floating {
public:
    Floating(DrawCtx& ctx, const QRectF& source, double scale, bool opaque);
    Floating(const Floating&) = delete;
    Floating& operator=(const Floating&) = delete;
    ~Floating() { end(); }
    QPainter& painter() { return m_layer ? m_layer->painter() : *m_parent; }
    void end();

private:
    QPainter* m_parent;
    std::unique_ptr<paint::Layer> m_layer;
    bool m_ended = false;
};
double floating_radius(const QRectF& source, double scale);
// The device pixels an opaque floating picture surely covers: the source
// inset by its corner radius one way or the other, whole pixels only.
QRegion floating_core(const QPainter& painter, const QRectF& source, double scale);

// Inter bold at a fractional pixel size, unhinted: the annotations' text,
// their measurement and the editor's text field.
QFont text_font(double pixel_size);

// A text laid out as the editor draws it: wrapped at word boundaries (or
// anywhere when a word is too long) at `width_limit`, U+000A a line break.
struct TextShape {
    QPainterPath path; // glyph outlines, top-left of the first line at (0, 0)
    QSizeF size;       // widest line × total line height
};
TextShape shape_text(std::string_view text, const QFont& font, double width_limit);

// The box a text annotation needs (padding included), image pixels: bold
// TEXT_SIZES[size] × scale, lines wrapped at max_width (none when 0).
editor::model::Size measure_text(std::string_view text, int size, double scale, double max_width);

// The frame margin for the document, 0 without the frame.
double margin_for(const Base& base, const editor::model::Doc& doc);
// The source rectangle: the crop, or the whole picture.
QRectF source_rect(const Base& base, const editor::model::Doc& doc);

// Flattens the document into a new raster (its pixels are the painted
// QImage's own bytes). None when the canvas is empty or too large to paint.
std::optional<output::Raster> export_doc(Base& base, const editor::model::Doc& doc, EffectCache& cache);

} // namespace render

namespace editor {

// Commits the text being typed and flattens the editor's document; logs the
// lap "exportado W×H" of an "editor" stopwatch. The scale is the base's.
std::optional<std::pair<output::Raster, double>> export_editor(Editor& editor);

// The PNG bytes of an exported raster, with its profile and the scale.
std::vector<std::uint8_t> encode(const output::Raster& raster, double scale);

} // namespace editor
