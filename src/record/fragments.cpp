#include "record/fragments.h"

#include <array>
#include <string_view>

namespace recorder {

namespace {

std::uint64_t big_endian(const std::uint8_t* p, int n)
{
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = v << 8 | p[i];
    return v;
}

} // namespace

FragmentScan scan_fragments(std::uint64_t size, const ReadAt& read)
{
    FragmentScan scan;
    std::uint64_t at = 0;
    bool in_fragment = false; // a moof whose mdat has not come yet
    while (size - at >= 8) {
        std::array<std::uint8_t, 16> head {};
        if (!read(at, std::span(head).first(8)))
            break;
        std::uint64_t box = big_endian(head.data(), 4);
        std::uint64_t header = 8;
        if (box == 1) {
            if (size - at < 16 || !read(at + 8, std::span(head).subspan(8, 8)))
                break;
            box = big_endian(head.data() + 8, 8);
            header = 16;
        }
        if (box < header || box > size - at)
            break; // 0 ("to the end"), too small, or cut short
        const std::string_view type(reinterpret_cast<const char*>(head.data() + 4), 4);
        at += box;
        if (type == "moov") {
            scan.header = true;
            scan.whole = at;
        } else if (type == "moof") {
            in_fragment = true;
        } else if (type == "mdat") {
            if (in_fragment)
                ++scan.fragments;
            else
                scan.regular = true;
            in_fragment = false;
            scan.whole = at;
        } else if (!in_fragment) {
            scan.whole = at; // ftyp, free, the random-access index at the end
        }
    }
    return scan;
}

} // namespace recorder
