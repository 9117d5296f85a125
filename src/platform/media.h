// platform: reading, scaling, exporting and writing video and GIF files.
//
// The FFmpeg backend (platform/ffmpeg/media_ffmpeg.cpp) reads every format
// libavformat knows. Paths reach FFmpeg as "file:" + path, so a name such as
// "a:b.mp4" is never read as a protocol. Times are seconds; sizes are pixels.
#pragma once

#include <QImage>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// The facts of a video file.
struct MediaProbe {
    // The first video stream that is not an attached picture (cover art):
    // its coded size with the sample aspect ratio applied to the width,
    // before any rotation. Fractional when the ratio makes it so.
    double width = 0;
    double height = 0;
    // Clockwise quarter turns the player applies (0, 90, 180 or 270 degrees),
    // from the stream's display matrix.
    int rotation = 0;
    // The container's duration; NaN when it does not say.
    double duration = 0;
    bool has_audio = false;
};

// A decoded picture in 32-bit B, G, R, A bytes (the fourth byte undefined),
// rows top to bottom, `stride` bytes apart. Valid while its sample lives.
struct BgraView {
    const std::uint8_t* data = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t stride = 0;
};

// One decoded frame. Holding it holds the decoder's picture, unconverted.
class VideoSample {
public:
    virtual ~VideoSample() = default;
    // Presentation time in seconds from the start of the file.
    virtual double time() const = 0;
    // Converts to BGRA at the reader's output size on first call; nothing when
    // the picture cannot be converted.
    virtual std::optional<BgraView> bgra() = 0;
};

// Decoded frames of one video stream, in presentation order. One thread at a
// time (the one reading).
class FrameReader {
public:
    virtual ~FrameReader() = default;
    // The next sample, null at the end, or the decoder's error text (any
    // error but "try again" and the end of the file).
    virtual std::expected<std::unique_ptr<VideoSample>, std::string> next() = 0;
    // Tells the reader which slot of the caller's grid a sample time falls in
    // (times as next() gives them; none: off the grid, always wanted) and
    // that of several samples in one slot only the last is used: the reader
    // may then leave a sample undecoded when a later one of its slot is on
    // its way and no other picture refers to it. Call before the first
    // next(); a reader may ignore it.
    virtual void use_last_of_each_slot(std::function<std::optional<std::uint64_t>(double)> slot_of) { (void)slot_of; }
};

// The MP4 export's choices.
struct Mp4Options {
    std::optional<std::pair<double, double>> range; // seconds in the source
    bool mute = false;                              // leave out every audio stream
    std::uint8_t resolution = 0;                    // 0 packets copied, 1 fit 1920×1080, 2 fit 1280×720
};

// How an export ended, as numbers the user may see ("estado 4").
enum class ExportStatus : int { Completed = 3, Failed = 4 };
struct ExportOutcome {
    ExportStatus status = ExportStatus::Failed;
    std::optional<std::string> error; // the library's text, when it gave one
};

// What a written video holds: the frames a player can show (from the first
// keyframe on) and the time they span, in seconds.
struct Written {
    std::int64_t frames = 0;
    double seconds = 0;
};

// One frame for the reference GIF writer: 0x00RRGGBB words, delay in 1/100 s.
struct GifFrameView {
    std::span<const std::uint32_t> pixels;
    std::uint16_t delay = 0;
};

class Media {
public:
    virtual ~Media() = default;

    // The facts of the file; "el archivo no tiene video" when it has no video
    // stream, the library's text when it cannot be opened. Blocks; any thread.
    virtual std::expected<MediaProbe, std::string> probe(const std::filesystem::path& path) = 0;

    // A reader of the first video stream from `start` for `length` seconds
    // (the frame on screen at `start` comes first), scaling every converted
    // sample to width × height. Decoding uses every core. Blocks; any thread.
    virtual std::expected<std::unique_ptr<FrameReader>, std::string> open_frames(
        const std::filesystem::path& path, double start, double length, std::uint32_t width, std::uint32_t height) = 0;

    // The first frame within 0.5 s, rotated as the player shows it and fitted
    // inside max_side × max_side (never enlarged). Blocks; any thread.
    virtual std::expected<QImage, std::string> thumbnail(const std::filesystem::path& path, double max_side) = 0;

    // Writes an MP4 (moov first) to `destination`: packets copied for
    // resolution 0 (a range starts at the keyframe before its start and the
    // muxer's edit list hides the lead-in), else decoded, fitted and encoded
    // with libx264; audio is copied unless muted; rotation is kept. Blocks;
    // call it on a background thread.
    virtual ExportOutcome export_mp4(const std::filesystem::path& source, const std::filesystem::path& destination,
        const Mp4Options& options) = 0;

    // What the file's first video stream holds, read from its packets (no
    // decoding): for an export to check what it wrote. Blocks; any thread.
    virtual std::expected<Written, std::string> measure(const std::filesystem::path& path) = 0;

    // The library's own GIF path (palette generation and mapping over all
    // frames, then its GIF encoder and muxer, no loop block): the file's
    // bytes. Blocks; any thread.
    virtual std::expected<std::vector<std::uint8_t>, std::string> write_gif(std::span<const GifFrameView> frames,
        std::uint32_t width, std::uint32_t height) = 0;
};

std::unique_ptr<Media> create_ffmpeg_media();

// The output size for "1080p" (1) and "720p" (2): inside 1920×1080 or
// 1280×720, aspect kept, even sides, never enlarged; resolution 0 keeps it.
std::pair<int, int> export_size(int width, int height, std::uint8_t resolution);

} // namespace platform
