// recorder: how much of a fragmented MP4 a player can use. A recording is
// written as an index-less header followed by fragments (a "moof" box with the
// fragment's own index, then the "mdat" box with its samples); a file cut
// short anywhere (a crash, a kill, a full disk) is whole up to the end of its
// last complete fragment. Pure: the bytes are read through a callback.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

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

// A recording with two sound tracks of one mix, the kept one and the one
// written ahead of it (named `ahead_handler`), published as its fragments (a
// full disk left no room for the regular copy that joins them): how to make
// it one track in place, keeping every byte. The ahead sound after the kept
// sound's end goes on in the kept track through a fragment added at the end
// whose index points at the ahead track's own samples (nothing is copied);
// then each box of the ahead track (its part of every fragment, its defaults,
// its header) is renamed "free", which players skip.
struct SoundJoin {
    // To write at the file's end; empty when the kept sound runs as far.
    std::vector<std::uint8_t> appended;
    // Where the type of each box to rename is, in the order to rename them:
    // a file stopped midway still plays both tracks.
    std::vector<std::uint64_t> dropped;
    double kept_end = 0; // seconds
    double ahead_end = 0;
};
// Nothing when the file (`size` bytes, all of them whole boxes) has no such
// pair of tracks or its fragments are not as our writer makes them.
std::optional<SoundJoin> plan_sound_join(std::uint64_t size, const ReadAt& read, std::string_view ahead_handler);

} // namespace recorder
