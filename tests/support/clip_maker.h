// Short video files made with libav for the media tests: solid grey frames
// whose level names the frame, optional sine sound, rotation, cover art.
#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct ClipSpec {
    int width = 64;
    int height = 48;
    // Frame times in seconds; empty: `frames` frames at `fps`.
    std::vector<double> times;
    int fps = 30;
    int frames = 30;
    bool video = true;
    bool sine = false;          // one AAC track with a 440 Hz tone as long as the video (1 s without video)
    bool cover_art = false;     // a JPEG attached picture
    int rotation = 0;           // clockwise degrees players turn the picture
    int sar_num = 1, sar_den = 1;
    bool hevc = false;          // libx265 instead of libx264
    int b_frames = 0;           // libx264: this many B-frames between references, none of them referred to
    // Every frame one colour, as video-range Y, U, V; tagged BT.709 or untagged.
    std::optional<std::array<int, 3>> yuv;
    bool bt709 = false;
};

// The grey level (Y, full range 0..255) of frame k.
int clip_level(int k);

// Writes an MP4; the error text on failure.
std::optional<std::string> make_clip(const std::filesystem::path& path, const ClipSpec& spec);

} // namespace testing_support
