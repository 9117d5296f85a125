// video: video files after recording: their facts and first frame, copying
// them to the clipboard, GIF conversion with the program's own encoder, MP4
// export, and the --gif / --gif-bench command-line tasks.
//
// Every reading and writing of media goes through platform::Media (FFmpeg,
// or a fake in tests).
#pragma once

#include "codec/gif.h"
#include "ui/hud.h"
#include "base/util.h"

#include <QImage>
#include <QUrl>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

class QMimeData;

namespace platform {
class Media;
class VideoSample;
}

namespace video {

// --- Facts, first frame, clipboard ----------------------------------------------

struct VideoInfo {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    double duration = 0; // seconds
    bool has_audio = false;
    int rotation = 0;    // clockwise degrees a player turns the picture (0, 90, 180, 270)
    bool operator==(const VideoInfo&) const = default;
};

// A file URL for the path (the clipboard's form of a file).
QUrl file_url(const std::filesystem::path& path);

// The facts of the first video stream; nothing when the file has none or
// cannot be read. Blocks; any thread.
std::optional<VideoInfo> info(const std::filesystem::path& path);
// A natural size in pixels: rounded half away from zero, negatives (and NaN) 0.
std::uint64_t round_side(double side);
// A duration as reported: not finite or negative counts as 0.
double clean_duration(double seconds);

// The first frame, as the player turns it, inside max_side × max_side.
// Nothing on failure, with the log line "miniatura de <path>: <error>".
// Blocks; any thread.
std::optional<QImage> thumbnail(const std::filesystem::path& path, double max_side);

// True when the extension is exactly "gif" in any case (".GIF", not ".gifs").
bool has_gif_extension(const std::filesystem::path& path);
// The clipboard contents for a file: its URL (text/uri-list and
// x-special/gnome-copied-files), and for a readable GIF also its bytes as
// image/gif. Caller owns the result. Any thread.
QMimeData* mime_for_file(const std::filesystem::path& path);
// Replaces the clipboard's contents with mime_for_file. Main thread.
void copy_file(const std::filesystem::path& path);

// --- GIF conversion ---------------------------------------------------------------

struct GifSettings {
    std::optional<std::pair<double, double>> range; // seconds in the source; none = all
    std::uint32_t fps = 15;        // slots per second, clamped to 1..50
    std::uint32_t max_width = 800; // 0 = no limit
};

// Whether an export holding `seconds` of picture falls short of the `asked`
// ones past a frame or two of rounding: the source ran out first (a file cut
// short on disk), and the export must say so.
inline bool falls_short(double seconds, double asked)
{
    return seconds + 0.15 < asked;
}

struct GifReport {
    std::uint64_t width = 0, height = 0;
    double seconds = 0; // of the source the frames stand for
    double asked = 0;   // of the range (or the whole video)
    std::uint64_t frames_read = 0;
    std::uint64_t frames_written = 0;
    std::uint64_t bytes = 0;
    double decode_ms = 0;
    double total_ms = 0;
};

// What decode_frames hands on per used sample: a frame of the output size
// (width × height words 0x00RRGGBB, delay in hundredths of a second).
using FrameSink = std::function<std::expected<void, std::string>(gif::Frame frame, std::uint32_t width, std::uint32_t height)>;

struct Decoded {
    std::uint32_t width = 0, height = 0;
    double seconds = 0; // of the range the samples read stand for, up to their last one's slot
    double asked = 0;   // the range's length
    double decode_ms = 0; // waiting for samples plus converting used ones
};

// Pixel buffers the GIF encoder is done with, handed back for later frames:
// a fresh buffer per frame costs a mapping of its own and a page fault every
// 4 KiB. Any thread.
class FrameBuffers {
public:
    void give(std::vector<std::uint32_t> pixels);
    // A buffer given back, or an empty one when none is waiting.
    std::vector<std::uint32_t> take();

private:
    std::mutex m_mutex;
    std::vector<std::vector<std::uint32_t>> m_free;
};

// Reads the video, places its samples on the grid of frame slots and calls
// the sink once per used sample, its pixels in a buffer from `buffers` where
// one is waiting. The first failure (its own or the sink's) stops it.
// Blocks; any thread.
std::expected<Decoded, std::string> decode_frames(const std::filesystem::path& source, const GifSettings& settings,
    const FrameSink& sink, FrameBuffers* buffers = nullptr);

// The sample's pixels as width × height words 0x00RRGGBB (alpha dropped),
// resampled when the picture has another size; nothing when it is unreadable.
// `reuse` is written over when it has the size already.
std::optional<std::vector<std::uint32_t>> pixels_of(platform::VideoSample& sample, std::uint32_t width, std::uint32_t height,
    std::vector<std::uint32_t> reuse = {});
// width × height words turned clockwise by `degrees` (0, 90, 180, 270), as a
// player turns a picture whose file says so: 90 and 270 swap the sides.
std::vector<std::uint32_t> turned(std::vector<std::uint32_t> words, std::uint32_t width, std::uint32_t height, int degrees);

// The partial file a conversion writes: the destination with its extension
// replaced by "gif.part".
std::filesystem::path partial_path(const std::filesystem::path& destination);

// Converts the video into an animated GIF at `destination`, written first to
// the partial file, which the conversion holds under an exclusive lock: a
// second conversion to the same destination fails and touches nothing. Blocks.
std::expected<GifReport, std::string> export_gif(const std::filesystem::path& source, const std::filesystem::path& destination,
    const GifSettings& settings);

// What happens on the main queue before the common handling of make_gif.
struct FromRecording {        // failure: the MP4 moves to the capture folder and gets a card
    std::shared_ptr<void> hold; // the MP4's lock and note, let go once the conversion is done with it
};
struct FromCard { };          // nothing more
struct FromTrim {             // the window gets its export buttons back
    std::function<void()> done;
};
using GifCaller = std::variant<FromRecording, FromCard, FromTrim>;

// The toast "Creando GIF…", the conversion on the background pool, then on the
// main queue the caller's step and the result (toast, clipboard, card). With
// `remove_source`, the source goes as soon as the GIF is in place, on the
// conversion's thread: a program that ends before the main queue runs again
// leaves no source behind for the next launch to take as abandoned.
// Main thread; returns at once.
void make_gif(const std::filesystem::path& source, GifSettings settings, const std::filesystem::path& destination,
    bool remove_source, GifCaller caller);

// A free path for the GIF of a video: beside it (in the capture folder when
// it has no folder), named after its stem; a name counts as taken while its
// partial file exists too. Main thread (reads the settings).
std::filesystem::path gif_path_for(const std::filesystem::path& source);

// --- MP4 export -------------------------------------------------------------------

struct Mp4Export {
    std::optional<std::pair<double, double>> range;
    bool mute = false;
    std::uint8_t resolution = 0; // 0 "Original", 1 "1080p", 2 "720p"
};
// The destination, or the Spanish message.
// A finished MP4 export: the file, the seconds of picture it holds and the
// seconds it was asked for (the range, or the source's length).
struct Mp4Made {
    std::filesystem::path path;
    double seconds = 0;
    double asked = 0;
    // Less than asked, past a frame or two of rounding: the source ran out
    // (a file cut short on disk).
    bool short_of_asked() const { return falls_short(seconds, asked); }
};
using Mp4Done = std::function<void(std::expected<Mp4Made, std::string>)>;

// Exports on the background pool. `done` runs exactly once: before this
// returns when the export cannot be prepared, else later on the main queue.
// Main thread.
void export_mp4(const std::filesystem::path& source, const std::filesystem::path& destination, const Mp4Export& settings,
    Mp4Done done);

// --- Command line -----------------------------------------------------------------

// An unsigned 32-bit decimal: an optional "+", then digits only, no overflow.
std::optional<std::uint32_t> parse_u32(std::string_view text);

// --gif <video> <salida.gif> [fps] [ancho máximo]: the exit status.
int cli_gif(const std::vector<std::string>& args);
// --gif-bench <video> [fps] [ancho máximo]: the exit status.
int cli_gif_bench(const std::vector<std::string>& args);

// The PSNR of a GIF against the frames it was made from, each source frame
// compared with the GIF frame on screen at its start, and the GIF's frame
// count as Qt's reader counts them; nothing when the GIF cannot be read.
std::optional<std::pair<double, std::uint64_t>> gif_psnr(const std::filesystem::path& gif_path,
    const std::vector<gif::Frame>& source);

// --- Seams for tests ------------------------------------------------------------------

// The media backend (FFmpeg unless replaced; null restores it). Not while a
// conversion runs.
void set_media(std::shared_ptr<platform::Media> media);
std::shared_ptr<platform::Media> media();

// Where the toasts go: hud::toast unless replaced (null restores it). Main thread.
using ToastSink = hud::ToastSink;
void set_toast_sink(ToastSink sink);

} // namespace video
