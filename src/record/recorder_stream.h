// recorder: the rules that turn a recording into a capture stream — what the
// stream sees, its pixel size and frame rate, the recording output's codec —
// and the delegate through which the stream reports back. Pure: no Qt, no
// system headers; recorder::prepare applies them on the main thread.
#pragma once

#include "base/actions.h"
#include "platform/capture_stream.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace recorder {

// A codec's limits: the longest side and the pixel count of a frame.
struct CodecLimits {
    double longest_side = 0;
    double pixels = 0;
};
CodecLimits codec_limits(platform::VideoCodec codec);

struct PixelSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool operator==(const PixelSize&) const = default;
};

// The stream's pixel size for an area of w × h points at `scale` pixels per
// point, inside the limits of `codec` (the codec the file is really written
// with): scaled down evenly until it fits, each side even and at least 2.
PixelSize pixel_size(double w, double h, double scale, platform::VideoCodec codec);

// Frames per second for the configured rate: a GIF recording at most 30,
// then 1…240.
std::uint32_t frame_rate(std::uint32_t configured, actions::RecordingFormat format);
// 1/f seconds as a valid frame interval.
platform::FrameInterval frame_interval(std::uint32_t fps);

// The codec the file is written with: HEVC when wanted and available, else H.264.
platform::VideoCodec effective_codec(bool hevc, const std::vector<platform::VideoCodec>& available);
// An MP4 recording output for `path` with the effective codec.
platform::RecordingConfiguration recording_configuration(
    const std::string& path, bool hevc, const std::vector<platform::VideoCodec>& available);

// What a recording asks of the stream, from its settings.
struct StreamWish {
    std::optional<platform::RectF> region; // display-local points, top-left origin
    PixelSize size;
    std::uint32_t fps = 60;                // recording.fps as configured
    actions::RecordingFormat format = actions::RecordingFormat::Video;
    bool show_cursor = true;
    bool system_audio = false;
    bool microphone = false;
};
platform::StreamConfiguration stream_configuration(const StreamWish& wish);

// The content filter for a recording, chosen from a content snapshot.
struct FilterChoice {
    platform::ContentFilter filter;
    // The area to record: the recording's region, which for a window that
    // is gone is its region of the display.
    std::optional<platform::RectF> region;
    // Why the choice differs from what was asked; empty when it does not.
    std::string note;
};
// `display`: the recorded display as the content lists it; `window`: the
// picked window, if any; `own_pid`: this process; `exception`: the
// keys-and-clicks panel when it is listed.
FilterChoice choose_filter(const platform::ShareableContent& content, const platform::ShareableDisplay& display,
    std::optional<std::uint32_t> window, std::optional<platform::RectF> region, std::int64_t own_pid,
    std::optional<std::uint32_t> exception);

// How long to wait before looking for the keys-and-clicks panel again after
// `tries` earlier waits: 0.08, 0.16, 0.24, 0.32 s; none once four waits
// found nothing (record without it).
std::optional<double> exception_wait(std::uint32_t tries);

// The delegate's class name, as the debug check prints it.
inline constexpr const char* DELEGATE_CLASS = "VistropeRecorderDelegate";

// What the delegate forwards, with the recording id it was made for.
struct Report {
    enum class Kind { StreamStopped, RecordingStarted, RecordingFailed, RecordingFinished, SoundUnavailable, SoundLost };
    Kind kind = Kind::StreamStopped;
    std::uint64_t id = 0;
    std::string error; // StreamStopped, RecordingFailed; the cause for SoundUnavailable
    int input = 0;     // SoundLost: 0 system sound, 1 microphone
    bool operator==(const Report&) const = default;
};

// Receives the stream's and the recording output's reports on their threads
// and forwards each, with its id, to `forward` (which hops to the main
// thread). Samples are ignored. The id never changes after creation.
class RecorderDelegate final : public platform::StreamListener,
                               public platform::StreamOutput,
                               public platform::RecordingListener {
public:
    using Forward = std::function<void(Report)>;
    RecorderDelegate(std::uint64_t id, Forward forward);

    std::uint64_t id() const { return m_id; }
    const char* class_name() const { return DELEGATE_CLASS; }

    void stream_stopped(const std::string& error) override;
    void sound_unavailable(const std::string& cause) override;
    void sound_lost(int input) override;
    void stream_output(platform::StreamOutputType type) override;
    void recording_started() override;
    void recording_failed(const std::string& error) override;
    void recording_finished() override;

private:
    const std::uint64_t m_id;
    const Forward m_forward;
};

// What a failure's toast says of its cause, in a few words, read from the
// error text the file system, the writer or the media module's loader gave:
// "el disco está lleno", "la carpeta no existe", "no hay permiso para
// escribir en la carpeta", "falta el módulo de medios"; none when the text
// names nothing the user can act on.
std::optional<std::string> failure_cause(std::string_view error);
// `headline` with the cause when there is one: "No se pudo grabar: el disco
// está lleno", else "No se pudo grabar".
std::string with_cause(std::string_view headline, std::string_view error);

// The text of a platform error; none for no error. An error without a
// description still reads as an error.
std::optional<std::string> error_text(const std::optional<std::string>& error);

} // namespace recorder
