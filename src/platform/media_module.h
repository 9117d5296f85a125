// platform: the media modules, loaded on first use.
//
// The code that needs FFmpeg and PulseAudio's recording (vistrope-media.so),
// libmpv (vistrope-player.so) and Tesseract with ZXing (vistrope-text.so) is
// built into modules beside the program, each opened the first time one of
// its functions is needed, or (but the player's) in the background a second
// after launch: those libraries and the two hundred others they bring number
// most of the program's, and loading them before main more than doubled the
// time to the tray icon. Three modules rather than one, so that a use loads only what it
// needs: a `--gif` or a first recording does not wait for libmpv and
// Tesseract (they made a fifth of a short conversion), a first text
// recognition not for FFmpeg and libmpv. The public functions of media.h,
// capture_stream.h, video_player.h and text_recognizer.h that the program
// calls (create_ffmpeg_media, create_capture_stream, available_video_codecs,
// create_mpv_player_view, create_tesseract_recognizer) go through their
// module's table; when it cannot be loaded they fail as each says it fails
// (an error text, an empty view), the reason in the log. The shutter's sound
// (sound_out.h) is not here: it plays through PulseAudio's client, loaded
// with the program, so that a capture at launch sounds with its flash. The
// modules' other functions (player_timecode, tesseract_languages,
// render_qr_code ...) are for their own code and for the tests, which link
// the modules' code directly: there the tables are found linked in and
// nothing is opened.
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

// The modules, each a file beside the program with an entry of its own.
enum class Module { Media, Player, Text };

// What a module offers: each fills the entries of its own code and leaves the
// rest null. Changing it changes `size`, and a module of another build
// (another version or table) is refused rather than called.
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

// A module's table: linked in, or the module opened from the program's
// folder on the first call. Once per process and module, whichever thread
// asks first (others wait); never closed. The error is the text the log got.
std::expected<const MediaModule*, std::string> media_module(Module which = Module::Media);

// Opens the module file at `path` and checks that it is `which` (its entry)
// of this build (its table): media_module's work; tests give it wrong files.
std::expected<const MediaModule*, std::string> load_media_module(const std::filesystem::path& path, Module which = Module::Media);

// Whether the file at `path` can be handed to the loader without crashing
// it: a regular file holding a library of this machine's kind whose ELF
// header, program headers, segments and section headers all lie within it
// (read with pread, never mapped). The reason when not. Any thread.
std::expected<void, std::string> check_module_file(const std::filesystem::path& path);

// Where the program looks for a module: beside its executable.
std::filesystem::path media_module_path(Module which = Module::Media);

// Loads the media and text modules in the background, so that the first
// recording or text recognition does not wait for them; the player's is left
// to the first video. Any thread.
void preload_media_module();

// The modules' own implementations behind the tables.
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

// Each module's one exported symbol: its table.
extern "C" const platform::MediaModule* vistrope_media_module();
extern "C" const platform::MediaModule* vistrope_player_module();
extern "C" const platform::MediaModule* vistrope_text_module();
