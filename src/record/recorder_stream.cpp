#include "record/recorder_stream.h"

#include "base/util.h"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <utility>

namespace recorder {

CodecLimits codec_limits(platform::VideoCodec codec)
{
    if (codec == platform::VideoCodec::Hevc)
        return { 8192, 35'389'440 }; // 8192 × 4320
    return { 4096, 9'437'184 };      // 4096 × 2304
}

PixelSize pixel_size(double w, double h, double scale, platform::VideoCodec codec)
{
    const CodecLimits limits = codec_limits(codec);
    const double W = w * scale;
    const double H = h * scale;
    const double M = limits.longest_side;
    const double B = limits.pixels;
    // The order of the terms matters: the results must match the rule to the last bit.
    const double k = std::min({ M / W, 1.0, M / H, std::sqrt(B / (W * H)) });
    auto side = [k](double v) {
        const double even = 2 * std::floor(v * k / 2);
        // NaN (a zero area) and anything below 2 give the smallest frame.
        return even >= 2 ? static_cast<std::uint32_t>(even) : 2u;
    };
    return { side(W), side(H) };
}

std::uint32_t frame_rate(std::uint32_t configured, actions::RecordingFormat format)
{
    std::uint32_t f = format == actions::RecordingFormat::Gif ? std::min<std::uint32_t>(configured, 30) : configured;
    return std::clamp<std::uint32_t>(f, 1, 240);
}

platform::FrameInterval frame_interval(std::uint32_t fps)
{
    return { 1, static_cast<std::int32_t>(fps) };
}

platform::VideoCodec effective_codec(bool hevc, const std::vector<platform::VideoCodec>& available)
{
    if (hevc && std::ranges::find(available, platform::VideoCodec::Hevc) != available.end())
        return platform::VideoCodec::Hevc;
    return platform::VideoCodec::H264;
}

platform::RecordingConfiguration recording_configuration(
    const std::string& path, bool hevc, const std::vector<platform::VideoCodec>& available)
{
    return { path, effective_codec(hevc, available) };
}

platform::StreamConfiguration stream_configuration(const StreamWish& wish)
{
    platform::StreamConfiguration c;
    c.source_rect = wish.region;
    c.width = wish.size.width;
    c.height = wish.size.height;
    c.minimum_frame_interval = frame_interval(frame_rate(wish.fps, wish.format));
    // The queue rides out the encoder's hiccups (its threads' slow first
    // frames above all): as many frames as 100 MB of grabbed ones, 4 bytes a
    // pixel, twelve at 1080p but three at 4K, two at least. They wait
    // converted, at 1.5 bytes a pixel: 37 MB at 4K.
    const double frame_bytes = 4.0 * std::max(1u, wish.size.width) * std::max(1u, wish.size.height);
    c.queue_depth = std::clamp(static_cast<int>(100e6 / frame_bytes), 2, 12);
    c.shows_cursor = wish.show_cursor;
    // A GIF has no sound.
    const bool sound = wish.format == actions::RecordingFormat::Video;
    if (wish.system_audio && sound) {
        c.captures_audio = true;
        c.excludes_current_process_audio = true;
        c.sample_rate = 48000;
        c.channel_count = 2;
    }
    c.captures_microphone = wish.microphone && sound;
    return c;
}

FilterChoice choose_filter(const platform::ShareableContent& content, const platform::ShareableDisplay& display,
    std::optional<std::uint32_t> window, std::optional<platform::RectF> region, std::int64_t own_pid,
    std::optional<std::uint32_t> exception)
{
    FilterChoice choice;
    choice.region = region;
    choice.filter.display = display;
    if (window) {
        const auto& windows = content.windows;
        const bool listed = std::ranges::any_of(windows, [&](const auto& w) { return w.window_id == *window; });
        if (listed) {
            choice.filter.kind = platform::ContentFilter::Kind::Windows;
            // The content lists windows front to back; the filter paints bottom first.
            for (auto it = windows.rbegin(); it != windows.rend(); ++it)
                if (it->on_screen && it->layer <= platform::layer::DESKTOP)
                    choice.filter.included_windows.push_back(it->window_id);
            choice.filter.included_windows.push_back(*window);
            if (exception)
                choice.filter.included_windows.push_back(*exception);
            return choice;
        }
        choice.note = "no encontré la ventana a grabar; grabo su región";
    }
    choice.filter.kind = platform::ContentFilter::Kind::Display;
    choice.filter.excluded_applications = { own_pid };
    if (exception)
        choice.filter.excepted_windows = { *exception };
    return choice;
}

std::optional<double> exception_wait(std::uint32_t tries)
{
    if (tries > 3)
        return std::nullopt;
    return (tries + 1) * 0.08;
}

RecorderDelegate::RecorderDelegate(std::uint64_t id, Forward forward)
    : m_id(id)
    , m_forward(std::move(forward))
{
}

void RecorderDelegate::stream_stopped(const std::string& error)
{
    util::log(fmt::format("el stream se detuvo: {}", error));
    m_forward({ Report::Kind::StreamStopped, m_id, error });
}

void RecorderDelegate::sound_unavailable(const std::string& cause)
{
    m_forward({ Report::Kind::SoundUnavailable, m_id, cause });
}

void RecorderDelegate::sound_lost(int input)
{
    m_forward({ Report::Kind::SoundLost, m_id, {}, input });
}

void RecorderDelegate::stream_output(platform::StreamOutputType)
{
    // The recording output writes the file; the samples themselves are not used.
}

void RecorderDelegate::recording_started()
{
    m_forward({ Report::Kind::RecordingStarted, m_id, {} });
}

void RecorderDelegate::recording_failed(const std::string& error)
{
    m_forward({ Report::Kind::RecordingFailed, m_id, error });
}

void RecorderDelegate::recording_finished()
{
    m_forward({ Report::Kind::RecordingFinished, m_id, {} });
}

std::optional<std::string> failure_cause(std::string_view error)
{
    const auto says = [&](int code) { return error.find(util::error_text(code)) != std::string_view::npos; };
    const auto ends_with = [&](int code) {
        const std::string text = util::error_text(code);
        return error == text || error.ends_with(": " + text);
    };
    // The loader's own words (platform/media_module.cpp); its reason, which
    // may be "no existe", is not the folder's.
    if (error.find("no pude cargar el módulo de medios") != std::string_view::npos)
        return "falta el módulo de medios";
    if (says(ENOSPC) || says(EDQUOT))
        return "el disco está lleno";
    if (ends_with(ENOENT) || ends_with(ENOTDIR))
        return "la carpeta no existe";
    if (ends_with(EACCES) || ends_with(EROFS))
        return "no hay permiso para escribir en la carpeta";
    return std::nullopt;
}

std::string with_cause(std::string_view headline, std::string_view error)
{
    const auto cause = failure_cause(error);
    return cause ? fmt::format("{}: {}", headline, *cause) : std::string(headline);
}

std::optional<std::string> error_text(const std::optional<std::string>& error)
{
    if (!error)
        return std::nullopt;
    if (error->empty())
        return std::string("error sin descripción");
    return *error;
}

} // namespace recorder
