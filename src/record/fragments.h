// recorder: how much of a fragmented MP4 a player can use. A recording is
// written as an index-less header followed by fragments (a "moof" box with the
// fragment's own index, then the "mdat" box with its samples); a file cut
// short anywhere (a crash, a kill, a full disk) is whole up to the end of its
// last complete fragment. Pure: the bytes are read through a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace recorder {

struct FragmentScan {
    // Bytes from the start that make a whole file: the end of the last
    // complete fragment (or of the last complete box of a regular MP4).
    std::uint64_t whole = 0;
    std::uint32_t fragments = 0; // complete moof + mdat pairs
    bool header = false;         // a complete "moov" box
    bool regular = false;        // a complete "mdat" outside fragments (an MP4 with its index at the end)
    // Whether a player can show anything of it.
    bool playable() const { return header && (fragments > 0 || regular); }
};

// Reads `out.size()` bytes at `offset`; false when they cannot be read.
using ReadAt = std::function<bool(std::uint64_t offset, std::span<std::uint8_t> out)>;

// Walks the top-level boxes of a file of `size` bytes: a box that runs past
// the end, declares a size below its header or "to the end of the file" (a
// writer that never came back to fill it in) ends the walk.
FragmentScan scan_fragments(std::uint64_t size, const ReadAt& read);

} // namespace recorder
