// editor::model: what one editor window edits. Plain data and pure geometry
// shared by the pointer handling, the on-screen drawing and the renderer.
//
// Every coordinate here is in image pixels: top-left origin, y downwards.
// Sizes from the per-size tables are in points and are multiplied by the
// image scale (pixels per point) wherever they are used.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace editor::model {

struct Point {
    double x = 0;
    double y = 0;
    bool operator==(const Point&) const = default;
};

struct Size {
    double w = 0;
    double h = 0;
    bool operator==(const Size&) const = default;
};

// An axis-aligned rectangle; contains() includes the edges.
struct Rect {
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
    bool operator==(const Rect&) const = default;

    bool contains(Point p) const { return p.x >= x && p.x <= x + w && p.y >= y && p.y <= y + h; }
    Rect grown(double d) const { return { x - d, y - d, w + 2 * d, h + 2 * d }; }
    // The smallest rectangle holding both.
    Rect united(const Rect& o) const;
    // The rectangle with corners a and b, whichever way round they lie.
    static Rect between(Point a, Point b);
};

// The fourteen tools in toolbar order. An annotation stores the code of the
// tool that made it as its kind (1 to 12).
enum class Tool : std::uint8_t {
    Select = 0,
    Arrow = 1,
    Rectangle = 2,
    FilledRectangle = 3,
    Ellipse = 4,
    Line = 5,
    Text = 6,
    Counter = 7,
    Pencil = 8,
    Highlighter = 9,
    Pixelate = 10,
    Blur = 11,
    Spotlight = 12,
    Crop = 13,
};
inline constexpr int TOOL_COUNT = 14;

// The key letter of a tool ('v' for Select …), lower case.
char tool_letter(Tool tool);
// The toolbar tooltip, e.g. "Flecha (A)".
std::string_view tool_tooltip(Tool tool);
// The tool a key letter selects; none for anything but the fourteen letters.
std::optional<Tool> tool_for_letter(char32_t letter);
// A tool code clamped into 0 to 13 (negative gives Select).
Tool tool_from_code(int code);

// Size index 0 to 2 and the four per-size tables (points).
inline constexpr std::array<std::string_view, 3> SIZE_NAMES { "Delgado", "Mediano", "Grueso" };
inline constexpr std::array<double, 3> STROKE_WIDTHS { 3, 5, 8 };
inline constexpr std::array<double, 3> COUNTER_RADII { 11, 15, 21 };
inline constexpr std::array<double, 3> EFFECT_STRENGTHS { 6, 10, 16 };
inline constexpr std::array<double, 3> TEXT_SIZES { 20, 30, 44 };

// sRGB fractions 0 to 1.
struct Color {
    double r = 0;
    double g = 0;
    double b = 0;
    bool operator==(const Color&) const = default;
};

struct PaletteEntry {
    std::string_view name;
    Color color;
};

inline constexpr std::array<PaletteEntry, 8> PALETTE { {
    { "Rojo", { 255 / 255.0, 59 / 255.0, 48 / 255.0 } },
    { "Naranja", { 255 / 255.0, 149 / 255.0, 0 / 255.0 } },
    { "Amarillo", { 255 / 255.0, 204 / 255.0, 0 / 255.0 } },
    { "Verde", { 52 / 255.0, 199 / 255.0, 89 / 255.0 } },
    { "Azul", { 0 / 255.0, 122 / 255.0, 255 / 255.0 } },
    { "Morado", { 175 / 255.0, 82 / 255.0, 222 / 255.0 } },
    { "Negro", { 28 / 255.0, 28 / 255.0, 30 / 255.0 } },
    { "Blanco", { 255 / 255.0, 255 / 255.0, 255 / 255.0 } },
} };

// The palette index whose colour equals exactly, compared in palette order.
std::optional<int> palette_index(const Color& color);

// Geometries. TwoPoint is kept unnormalised: end may lie left of or above start.
struct TwoPoint {
    Point start;
    Point end;
    bool operator==(const TwoPoint&) const = default;
};

// The points of a stroke. Copies of a document share them until one copy
// changes them: the history holds up to 200 documents, and long strokes are
// most of a document's bytes. The bounding box is kept with the points, so
// hit tests and redraws of long strokes skip the walk over every point.
// Main thread only, like the document.
class StrokePoints {
public:
    StrokePoints() = default;
    StrokePoints(std::initializer_list<Point> points) : StrokePoints(std::vector<Point>(points)) { }
    explicit StrokePoints(std::vector<Point> points);

    const std::vector<Point>& get() const;
    std::size_t size() const { return get().size(); }
    bool empty() const { return get().empty(); }
    const Point& operator[](std::size_t i) const { return get()[i]; }
    const Point& front() const { return get().front(); }
    const Point& back() const { return get().back(); }
    std::vector<Point>::const_iterator begin() const { return get().begin(); }
    std::vector<Point>::const_iterator end() const { return get().end(); }
    // The smallest rectangle holding every point; empty at (0, 0) without points.
    Rect box() const;

    // The points for changing: this copy's own, unshared.
    std::vector<Point>& edit();
    void push_back(Point p);

    bool operator==(const StrokePoints& o) const { return m_data == o.m_data || get() == o.get(); }
    bool operator==(const std::vector<Point>& o) const { return get() == o; }

private:
    struct Data {
        std::vector<Point> points;
        mutable std::optional<Rect> box;
    };
    void unshare();
    std::shared_ptr<Data> m_data;
};

struct Stroke {
    StrokePoints points;
    bool operator==(const Stroke&) const = default;
};

// A committed text: its box's top-left corner, the box as measured at commit
// and the width its lines wrap at.
struct Text {
    std::string text;
    Point origin;
    Size size;
    double wrap_width = 0;
    bool operator==(const Text&) const = default;
};

struct Counter {
    Point center;
    std::uint32_t number = 1;
    bool operator==(const Counter&) const = default;
};

using Geom = std::variant<TwoPoint, Stroke, Text, Counter>;

struct Annotation {
    Geom geom;
    std::uint64_t id = 0;
    Color color;
    std::uint8_t size = 1;
    std::uint8_t kind = 1;
    bool operator==(const Annotation&) const = default;

    // The area the annotation may paint: redraw regions and the selection outline.
    Rect bounds(double scale) const;
    // Resize handles: start and end for arrows and lines, the four corners
    // (top-left, top-right, bottom-right, bottom-left) for other two-point
    // shapes, none for strokes, texts and counters.
    std::vector<Point> handles() const;
    // The line width: the size's stroke width at this scale, four times that
    // for the highlighter.
    double stroke_width(double scale) const;
    // Moves every point of the geometry by (dx, dy).
    void translate(double dx, double dy);
};

// The whole editable document, the unit of undo.
struct Doc {
    std::optional<Rect> crop;
    std::vector<Annotation> annotations; // z-order: later entries on top
    bool background = false;
    bool operator==(const Doc&) const = default;

    // The number for a new counter: one above the largest, 1 without counters.
    std::uint32_t next_counter() const;
    // The top-most annotation under p within tol image pixels.
    std::optional<std::uint64_t> hit(Point p, double tol, double scale) const;
    Annotation* find(std::uint64_t id);
    const Annotation* find(std::uint64_t id) const;
    // Removes the annotation; false when none has that id.
    bool remove(std::uint64_t id);
};

// The filled outline of an arrow from start to its tip at end (seven points),
// empty when the arrow is shorter than half a pixel.
std::vector<Point> arrow_polygon(Point start, Point end, double width);

// Whether Shift makes a square of this kind (rectangles, ellipse, pixelate,
// blur, spotlight, crop) rather than snapping the angle to 45°.
bool square_kind(int kind);

// The end point under the Shift constraint: a square for the square kinds,
// otherwise the same length at the nearest multiple of 45°.
Point constrain(int kind, Point start, Point end);

// The pixel scale the editor works with: below 0.5, or not a number, it is 0.5.
double normalized_scale(double scale);

// The margin of the gradient frame around a source of w × h pixels, in
// pixels: 7 % of the longer side, kept within 20 and 90 points.
double frame_margin(double w, double h, double scale);

} // namespace editor::model
