// platform: capture streams and the recording output.
//
// A capture stream grabs what a content filter lets through at a steady rate
// and hands the frames (and the sound of the configured audio inputs) to a
// recording output, which encodes and writes an MP4 file by itself: no frame
// passes through the application. Reports come back on the stream's own
// threads through the listener interfaces below; whoever implements them hops
// to the main thread (util::on_main) before touching any state.
//
// Units: source rectangles are display-local points with a top-left origin;
// frame sizes are physical pixels; times are rational seconds (value /
// timescale); sound is float samples at the configured rate.
//
// This header has no Qt and no system headers, so that the recorder's pure
// rules can build its values.
#pragma once

#include "platform/shareable_content.h"

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// A duration of value / timescale seconds (1/60: a frame at 60 per second),
// kept as a fraction so that the file's time base is exact. A stream
// configuration keeps it as given and reads it back unchanged.
struct FrameInterval {
    std::int64_t value = 0;
    std::int32_t timescale = 0;
    bool operator==(const FrameInterval&) const = default;
};

// What the stream sees.
struct ContentFilter {
    enum class Kind {
        // The display minus every window of the excluded processes, except the
        // excepted windows (which stay visible).
        Display,
        // Only the root background and the included windows, painted in the
        // listed order (the first lowest), each from its own pixmap, so a
        // covered window is recorded uncovered.
        Windows,
    };
    Kind kind = Kind::Display;
    ShareableDisplay display;
    std::vector<std::int64_t> excluded_applications; // process ids (Display)
    std::vector<std::uint32_t> excepted_windows;     // window ids (Display)
    std::vector<std::uint32_t> included_windows;     // window ids, bottom to top (Windows)
    bool operator==(const ContentFilter&) const = default;
};

struct StreamConfiguration {
    std::optional<RectF> source_rect; // display-local points, top-left origin; none = the whole display; clipped to it
    std::uint32_t width = 0;          // the frames' pixels (even, at least 2): the source is scaled to this
    std::uint32_t height = 0;
    FrameInterval minimum_frame_interval { 1, 60 }; // the stream's frame period
    int queue_depth = 6;              // frames waiting for the encoder; a full queue drops the new frame
    bool shows_cursor = true;         // the pointer blended in at its hot spot
    bool captures_audio = false;      // system sound (the default sink's monitor)
    bool excludes_current_process_audio = false; // no sound of this program plays while recorded
    int sample_rate = 48000;          // Hz, for both audio inputs
    int channel_count = 2;
    bool captures_microphone = false; // the default source
    bool operator==(const StreamConfiguration&) const = default;
};

// The stream output types, numbered as the recorder logs them.
enum class StreamOutputType : int { Screen = 0, Audio = 1, Microphone = 2 };

enum class VideoCodec { H264, Hevc };
// "avc1" or "hvc1": the codec's tag in the file.
std::string codec_tag(VideoCodec codec);

struct RecordingConfiguration {
    std::string path;             // the MP4 file (created or replaced)
    VideoCodec codec = VideoCodec::H264;
    bool operator==(const RecordingConfiguration&) const = default;
};

// The codecs the recording output can write here: H.264 when libx264 opens,
// HEVC when libx265 opens. Probed once per process (the first call takes a
// few milliseconds); any thread.
std::vector<VideoCodec> available_video_codecs();

// Reports of the stream itself. Called on the stream's threads.
class StreamListener {
public:
    virtual ~StreamListener() = default;
    // The stream stopped by itself (X connection or display gone); no
    // further frames come. The recording output still finishes its file.
    virtual void stream_stopped(const std::string& error) = 0;
    // The sound the configuration asks for cannot be recorded (`cause`, in a
    // few words for the user: "no hay servidor de sonido"); the video goes on
    // without it. At most once per stream.
    virtual void sound_unavailable(const std::string& cause) { (void)cause; }
    // A sound input (0 system sound, 1 microphone) ended while recording
    // (the sound server went away, the device was removed) or could not be
    // opened; the video goes on without it. At most once per input.
    virtual void sound_lost(int input) { (void)input; }
};

// The pixels of one grabbed screen frame, borrowed for the call only: rows of
// 4 × width bytes in the order B, G, R, A (alpha 255), `stride` bytes apart.
struct ScreenFrame {
    const std::uint8_t* data = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::size_t stride = 0;
};

// Receives the stream's samples of one type. Called on the grab or audio thread, once per sample.
class StreamOutput {
public:
    virtual ~StreamOutput() = default;
    virtual void stream_output(StreamOutputType type) = 0;
    // A screen sample's pixels, just before its stream_output(Screen). The
    // grab waits for the call, so a slow receiver costs frames.
    virtual void screen_frame(const ScreenFrame&) { }
};

// Reports of the recording output. Called on its writer thread, each at most
// once, in this order: started, then finished or failed.
class RecordingListener {
public:
    virtual ~RecordingListener() = default;
    // The file's header and its first frame are written.
    virtual void recording_started() = 0;
    // The recording could not go on; the trailer was still attempted. `error` is the library's text.
    virtual void recording_failed(const std::string& error) = 0;
    // The encoders are drained, the trailer written and the file closed: the file is complete.
    virtual void recording_finished() = 0;
};

// The error text of a failed step; none for success.
using StreamCompletion = std::function<void(std::optional<std::string> error)>;

class CaptureStream {
public:
    // Stops capturing, finishes the file (waiting for the writer) and joins the stream's threads.
    virtual ~CaptureStream() = default;

    // The configuration as given. Any thread.
    virtual const StreamConfiguration& configuration() const = 0;

    // Adds a receiver of one sample type. Main thread, before start. Fails for
    // an audio type the configuration does not capture, or a second receiver.
    virtual std::expected<void, std::string> add_stream_output(std::shared_ptr<StreamOutput> output, StreamOutputType type) = 0;

    // Adds the one recording output. Main thread, before start. Fails for a
    // second output or a codec not available.
    virtual std::expected<void, std::string> add_recording_output(const RecordingConfiguration& configuration,
        std::shared_ptr<RecordingListener> listener) = 0;

    // Starts capturing. Main thread, once. `done` runs once on a stream thread
    // when the first frame is grabbed, or with the error that prevented it.
    virtual void start(StreamCompletion done) = 0;

    // Stops capturing. Main thread. `done` runs once on a stream thread when
    // the grabbing has stopped (with an error text when the stream was not
    // running); the recording output then drains and reports the end.
    virtual void stop(StreamCompletion done) = 0;
};

// A stream on the X display; audio through PulseAudio when configured (no
// sound server: the recording is silent, logged once). Main thread. Fails for
// a configuration it cannot honour (odd or zero size, invalid interval, no X display).
std::expected<std::unique_ptr<CaptureStream>, std::string> create_capture_stream(
    ContentFilter filter, StreamConfiguration configuration, std::shared_ptr<StreamListener> listener);

// Checks a configuration as every backend does: the reason it cannot be honoured, or none.
std::optional<std::string> configuration_error(const StreamConfiguration& configuration);
// Checks a stream output as every backend does (`taken`: the type has its receiver already).
std::optional<std::string> stream_output_error(const StreamConfiguration& configuration, StreamOutputType type, bool taken);

} // namespace platform
