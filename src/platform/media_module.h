// platform: the media module, loaded on first use.
//
// The code that needs FFmpeg, libmpv, Tesseract with ZXing and PulseAudio's
// recording is built as a module of its own (vistrope-media.so, beside the program) and
// opened the first time one of them is needed, or in the background a second
// after launch: those libraries and the two hundred others they bring
// number most of the program's, and loading them before main more than
// doubled the time to the tray icon. The public functions of media.h,
// capture_stream.h, video_player.h and text_recognizer.h that the program
// calls (create_ffmpeg_media, create_capture_stream, available_video_codecs,
// create_mpv_player_view, create_tesseract_recognizer) go through its table;
// when it cannot be loaded they fail as each says it fails (an error text, an
// empty view), the reason in the log. The shutter's sound (sound_out.h) is
// not here: it plays through PulseAudio's client, loaded with the program, so
// that a capture at launch sounds with its flash. The module's other
// functions (player_timecode, tesseract_languages, render_qr_code ...) are
// for its own code and for the tests,
// which link the module's code directly: there the table is found linked in
// and nothing is opened.
#pragma once

#include "platform/capture_stream.h"
#include "platform/media.h"
#include "platform/text_recognizer.h"
#include "platform/video_player.h"

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace platform {

// What the module offers. Changing it changes `size`, and a module of another
// build (another version or table) is refused rather than called.
struct MediaModule {
    const char* version = nullptr;
    std::size_t size = 0;
    std::unique_ptr<Media> (*media)() = nullptr;
    std::expected<std::unique_ptr<CaptureStream>, std::string> (*capture_stream)(
        ContentFilter, StreamConfiguration, std::shared_ptr<StreamListener>) = nullptr;
    std::vector<VideoCodec> (*video_codecs)() = nullptr;
    std::unique_ptr<VideoPlayerView> (*player_view)(const std::filesystem::path&, PlayerOptions) = nullptr;
    std::unique_ptr<TextRecognizer> (*recognizer)(TesseractOptions) = nullptr;
};

// The module's table: linked in, or the module opened from the program's
// folder on the first call. Once per process, whichever thread asks first
// (others wait); never closed. The error is the text the log got.
std::expected<const MediaModule*, std::string> media_module();

// Opens the module file at `path` and checks its table (media_module's work;
// tests give it wrong files).
std::expected<const MediaModule*, std::string> load_media_module(const std::filesystem::path& path);

// Whether the file at `path` can be handed to the loader without crashing
// it: a regular file holding a library of this machine's kind whose ELF
// header, program headers, segments and section headers all lie within it
// (read with pread, never mapped). The reason when not. Any thread.
std::expected<void, std::string> check_module_file(const std::filesystem::path& path);

// Where the program looks for the module: beside its executable.
std::filesystem::path media_module_path();

// Loads the module on the background pool, so that the first capture, text
// recognition or recording does not wait for it. Any thread.
void preload_media_module();

// The module's own implementations behind the table.
namespace ffmpeg {
std::unique_ptr<Media> create_media();
std::vector<VideoCodec> available_codecs();
}
namespace x11 {
std::expected<std::unique_ptr<CaptureStream>, std::string> create_capture_stream(
    ContentFilter filter, StreamConfiguration configuration, std::shared_ptr<StreamListener> listener);
}
namespace mpv {
std::unique_ptr<VideoPlayerView> create_player_view(const std::filesystem::path& path, PlayerOptions options);
}
namespace tess {
std::unique_ptr<TextRecognizer> create_recognizer(TesseractOptions options);
}

} // namespace platform

// The module's one exported symbol: its table.
extern "C" const platform::MediaModule* vistrope_media_module();
