// The long page of known pixels the scrolling-capture tests and benchmark
// scroll through: a fixed header, a viewport over the page, a fixed footer.
// Every pixel is a function of its place, so a stitched capture can be
// compared byte for byte with what the whole page should be.
#pragma once

#include <cstdint>
#include <vector>

namespace testing_support {

struct ScrollPage {
    std::uint32_t width = 400;
    std::uint32_t header = 40;
    std::uint32_t viewport = 300;
    std::uint32_t footer = 30;
    std::uint32_t rows = 2000; // the page behind the viewport
    std::uint32_t step = 60;   // rows one wheel click scrolls

    std::uint32_t window_height() const { return header + viewport + footer; }
};

// One pixel as 0xAARRGGBB (alpha 255). `band` 0 header, 1 page, 2 footer.
inline std::uint32_t scroll_page_pixel(int band, std::uint32_t x, std::uint32_t y)
{
    std::uint64_t v = (std::uint64_t(band) << 40) ^ (std::uint64_t(y) << 20) ^ x;
    v ^= v >> 33;
    v *= 0xff51afd7ed558ccdull;
    v ^= v >> 33;
    v *= 0xc4ceb9fe1a85ec53ull;
    v ^= v >> 33;
    return 0xff000000u | std::uint32_t(v & 0xffffff);
}

// Header, whole page and footer: what a capture of everything should give,
// as BGRA bytes row after row.
inline std::vector<std::uint8_t> scroll_page_whole(const ScrollPage& p)
{
    std::vector<std::uint8_t> out;
    out.reserve(std::size_t(p.width) * (p.header + p.rows + p.footer) * 4);
    auto band = [&](int b, std::uint32_t rows) {
        for (std::uint32_t y = 0; y < rows; ++y)
            for (std::uint32_t x = 0; x < p.width; ++x) {
                const std::uint32_t c = scroll_page_pixel(b, x, y);
                out.insert(out.end(), { std::uint8_t(c), std::uint8_t(c >> 8), std::uint8_t(c >> 16), 255 });
            }
    };
    band(0, p.header);
    band(1, p.rows);
    band(2, p.footer);
    return out;
}

} // namespace testing_support
