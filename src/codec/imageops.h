// imageops: pixel operations on raw 4-byte-per-pixel images.
//
// Opaque bounds (trimming window captures), crop, integer-factor box
// downscale (pixelate, scrolling preview) and a three-pass box blur that
// approximates a Gaussian (the editor's blur). The four bytes of a pixel are
// treated alike, whatever their order; only opaque_bounds is told where alpha
// is. Large images are split over scoped worker threads; the result never
// depends on the number of threads.
//
// Pure module: standard library and threads only. Callable from any thread.
// A view whose data is shorter than its rows need, or whose stride is below
// 4 × width, is a broken precondition and stops the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace imageops {

// A rectangle in pixels, top-left origin.
struct Rect {
    std::size_t x = 0;
    std::size_t y = 0;
    std::size_t w = 0;
    std::size_t h = 0;

    // The rectangle cut to a width × height image; one wholly outside becomes
    // empty at the image's edge.
    Rect clamp(std::size_t width, std::size_t height) const;

    bool operator==(const Rect&) const = default;
};

// A read-only image: row y, column x starts at byte y × stride + 4 × x.
struct View {
    std::span<const std::uint8_t> data;
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t stride = 0; // at least 4 × width
};

// A writable image, laid out as View.
struct MutableView {
    std::span<std::uint8_t> data;
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t stride = 0;
};

// An owned image of packed rows (stride 4 × width).
struct Image {
    std::vector<std::uint8_t> pixels;
    std::size_t width = 0;
    std::size_t height = 0;
};

// The smallest rectangle holding every pixel whose alpha byte (at
// `alpha_offset`, 0 to 3, within each pixel) is at least `min_alpha` (a
// `min_alpha` of 0 counts as 1: not wholly transparent); nothing when none is.
std::optional<Rect> opaque_bounds(const View& view, std::size_t alpha_offset, std::uint8_t min_alpha = 1);

// The packed bytes of `rect` clamped to the view (4 × w' × h' bytes).
std::vector<std::uint8_t> crop(const View& view, Rect rect);

// ⌈width / f⌉ × ⌈height / f⌉ pixels, each the rounded mean of its f × f box
// (smaller boxes at the right and bottom edges are averaged over the pixels
// they hold). A factor of 0 counts as 1 and gives a packed copy.
Image downscale(const View& view, std::size_t factor);
// The same into `out`, reusing its storage: a caller downscaling a picture
// of one size again and again (a live preview) writes over the last result
// instead of clearing a new one first. `out` must not hold the view's pixels.
void downscale(const View& view, std::size_t factor, Image& out);

// Blurs the view in place: three horizontal then three vertical box passes of
// radius min(radius, 1000), edges repeating the nearest pixel. Radius 0
// leaves the view unchanged.
void blur(const MutableView& view, std::size_t radius);

} // namespace imageops
