// Deterministic screenshot-like test images for the pixel benchmarks:
// flat panels with borders, lines of glyph-like text, gradients and a
// photo-like area, as premultiplied BGRA (the program's capture format).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace bench {

struct Picture {
    std::string name;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool translucent = false;
    std::vector<std::uint8_t> bgra; // premultiplied, packed rows
};

namespace detail {

struct Canvas {
    std::uint32_t w, h;
    std::vector<std::uint8_t>& px;
    void set(std::uint32_t x, std::uint32_t y, std::uint8_t r, std::uint8_t g, std::uint8_t b)
    {
        std::uint8_t* p = &px[(std::size_t(y) * w + x) * 4];
        p[0] = b, p[1] = g, p[2] = r, p[3] = 255;
    }
    void fill(
        std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1, std::uint8_t r, std::uint8_t g, std::uint8_t b)
    {
        for (std::uint32_t y = y0; y < std::min(y1, h); ++y)
            for (std::uint32_t x = x0; x < std::min(x1, w); ++x)
                set(x, y, r, g, b);
    }
    // Blends a dark "ink" over the pixel with coverage 0..255 (anti-aliased glyph edges).
    void ink(std::uint32_t x, std::uint32_t y, unsigned cover, std::uint8_t r, std::uint8_t g, std::uint8_t b)
    {
        if (x >= w || y >= h)
            return;
        std::uint8_t* p = &px[(std::size_t(y) * w + x) * 4];
        p[0] = static_cast<std::uint8_t>((p[0] * (255 - cover) + b * cover) / 255);
        p[1] = static_cast<std::uint8_t>((p[1] * (255 - cover) + g * cover) / 255);
        p[2] = static_cast<std::uint8_t>((p[2] * (255 - cover) + r * cover) / 255);
    }
};

// Lines of pseudo-glyphs: each glyph a few anti-aliased strokes in a cell.
inline void text_block(Canvas& c, std::mt19937& rng, std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1,
    std::uint32_t em, std::uint8_t ink)
{
    const std::uint32_t line = em * 3 / 2;
    for (std::uint32_t y = y0; y + em <= y1; y += line) {
        std::uint32_t x = x0;
        const std::uint32_t end = x0 + (x1 - x0) * (60 + rng() % 40) / 100;
        while (x + em < end) {
            const unsigned word = 2 + rng() % 8;
            for (unsigned k = 0; k < word && x + em < end; ++k) {
                const std::uint32_t gw = em * (5 + rng() % 4) / 10;
                const unsigned strokes = 2 + rng() % 3;
                for (unsigned s = 0; s < strokes; ++s) {
                    const bool vertical = rng() % 2;
                    const std::uint32_t sx = x + rng() % std::max(1u, gw);
                    const std::uint32_t sy = y + em / 4 + rng() % std::max(1u, em * 3 / 4);
                    const std::uint32_t len = em / 3 + rng() % std::max(1u, em / 2);
                    const std::uint32_t thick = std::max(1u, em / 10);
                    for (std::uint32_t i = 0; i < len; ++i)
                        for (std::uint32_t t = 0; t <= thick; ++t) {
                            const unsigned cover = t == thick ? 90 : 255;
                            if (vertical)
                                c.ink(sx + t, std::min(sy + i, y + em), cover, ink, ink, ink);
                            else
                                c.ink(std::min(sx + i, x + gw), sy + t, cover, ink, ink, ink);
                        }
                }
                x += gw + em / 10;
            }
            x += em / 2;
        }
    }
}

// A zeroed picture of at least 800 × 480 pixels (the generators' layouts
// need that much), named by its size and `what`.
inline Picture blank_picture(std::uint32_t w, std::uint32_t h, const char* what)
{
    Picture pic;
    pic.width = std::max(w, 800u);
    pic.height = std::max(h, 480u);
    pic.name = std::to_string(pic.width) + "x" + std::to_string(pic.height) + what;
    pic.bgra.assign(std::size_t(pic.width) * pic.height * 4, 0);
    return pic;
}

} // namespace detail

// A desktop screenshot: wallpaper gradient, windows with title bars, sidebars,
// text, a toolbar gradient and a photo. With `translucent`, the outside of a
// rounded window with a soft shadow is transparent (a window capture).
// The layout needs at least 800 × 480 pixels.
inline Picture make_screenshot(std::uint32_t w, std::uint32_t h, bool translucent, unsigned seed)
{
    Picture pic = detail::blank_picture(w, h, translucent ? " window, partial alpha" : " screenshot");
    pic.translucent = translucent;
    w = pic.width;
    h = pic.height;
    std::mt19937 rng(seed);
    detail::Canvas c { w, h, pic.bgra };
    const double s = std::max(1.0, w / 1920.0); // device scale
    const auto S = [&](double v) { return static_cast<std::uint32_t>(v * s); };

    // Wallpaper: a diagonal gradient.
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            c.set(x, y, static_cast<std::uint8_t>(30 + 60 * x / w), static_cast<std::uint8_t>(60 + 80 * y / h),
                static_cast<std::uint8_t>(120 + 90 * (x + y) / (w + h)));
    // Menu bar.
    c.fill(0, 0, w, S(28), 236, 236, 236);
    detail::text_block(c, rng, S(10), S(6), w / 2, S(26), S(14), 30);

    // A big editor window with a sidebar and text.
    const std::uint32_t wx0 = S(60), wy0 = S(70), wx1 = w * 2 / 3, wy1 = h - S(60);
    c.fill(wx0, wy0, wx1, wy1, 250, 250, 250);
    for (std::uint32_t y = wy0; y < wy0 + S(36); ++y) // title bar gradient
        for (std::uint32_t x = wx0; x < wx1; ++x) {
            const auto v = static_cast<std::uint8_t>(232 - 24 * (y - wy0) / S(36));
            c.set(x, y, v, v, v);
        }
    c.fill(wx0, wy0 + S(36), wx0 + S(260), wy1, 238, 240, 244); // sidebar
    c.fill(wx0 + S(260), wy0 + S(36), wx0 + S(261), wy1, 200, 200, 205);
    detail::text_block(c, rng, wx0 + S(16), wy0 + S(50), wx0 + S(250), wy1 - S(10), S(13), 60);
    detail::text_block(c, rng, wx0 + S(280), wy0 + S(50), wx1 - S(20), wy1 - S(10), S(15), 20);

    // A second window: toolbar gradient and a photo-like area.
    const std::uint32_t px0 = w * 2 / 3 + S(20), py0 = S(120), px1 = w - S(40), py1 = h * 3 / 4;
    c.fill(px0, py0, px1, py1, 40, 40, 44);
    for (std::uint32_t y = py0; y < py0 + S(44); ++y)
        for (std::uint32_t x = px0; x < px1; ++x)
            c.set(x, y, 58, static_cast<std::uint8_t>(60 + 40 * (x - px0) / (px1 - px0)), 70);
    const std::uint32_t ix0 = px0 + S(16), iy0 = py0 + S(60), ix1 = px1 - S(16), iy1 = py1 - S(80);
    for (std::uint32_t y = iy0; y < iy1; ++y)
        for (std::uint32_t x = ix0; x < ix1; ++x) {
            const double u = double(x - ix0) / S(100), v = double(y - iy0) / S(100);
            const double base = 0.5 + 0.25 * std::sin(u * 1.7 + std::cos(v * 0.9)) + 0.2 * std::sin(v * 2.3 - u * 0.4);
            const int noise = int(rng() % 17) - 8;
            const auto ch = [&](double k, double off) {
                return static_cast<std::uint8_t>(std::clamp(int(255 * (base * k + off)) + noise, 0, 255));
            };
            c.set(x, y, ch(0.9, 0.1), ch(0.7, 0.15), ch(0.5, 0.05));
        }
    detail::text_block(c, rng, px0 + S(16), py1 - S(70), px1 - S(16), py1 - S(8), S(12), 220);
    // A dock of flat icons.
    for (std::uint32_t i = 0; i < 12; ++i) {
        const std::uint32_t x = w / 2 - S(6 * 56) + S(56 * i);
        c.fill(x, h - S(52), x + S(48), h - S(4), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()),
            static_cast<std::uint8_t>(rng()));
    }

    if (translucent) {
        // A window capture: rounded corners and a soft shadow around an
        // opaque window, premultiplied.
        const double margin = S(40), radius = S(12);
        for (std::uint32_t y = 0; y < h; ++y)
            for (std::uint32_t x = 0; x < w; ++x) {
                const double dx = std::max({ margin + radius - x, 0.0, x - (w - 1 - margin - radius) });
                const double dy = std::max({ margin + radius - y, 0.0, y - (h - 1 - margin - radius) });
                const double d = std::sqrt(dx * dx + dy * dy) - radius; // > 0 outside the window
                std::uint8_t* p = &pic.bgra[(std::size_t(y) * w + x) * 4];
                if (d <= 0)
                    continue;
                const double shadow = std::max(0.0, 1.0 - d / margin);
                const auto a = static_cast<std::uint8_t>(std::lround(110 * shadow * shadow));
                p[0] = p[1] = p[2] = 0; // black shadow, premultiplied
                p[3] = a;
            }
    }
    return pic;
}

} // namespace bench
