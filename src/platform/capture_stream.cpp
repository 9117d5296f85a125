#include "platform/capture_stream.h"

#include <fmt/format.h>

namespace platform {

std::string codec_tag(VideoCodec codec)
{
    return codec == VideoCodec::Hevc ? "hvc1" : "avc1";
}

std::optional<std::string> configuration_error(const StreamConfiguration& c)
{
    if (c.width < 2 || c.height < 2 || c.width % 2 || c.height % 2)
        return fmt::format("tamaño de cuadro no admitido: {}×{}", c.width, c.height);
    const FrameInterval& i = c.minimum_frame_interval;
    if (i.value <= 0 || i.timescale <= 0)
        return fmt::format("intervalo de cuadro no válido: {}/{}", i.value, i.timescale);
    if (c.queue_depth < 1)
        return std::string("la cola de cuadros necesita al menos un lugar");
    if ((c.captures_audio || c.captures_microphone) && (c.sample_rate <= 0 || c.channel_count < 1 || c.channel_count > 2))
        return fmt::format("sonido no admitido: {} Hz, {} canales", c.sample_rate, c.channel_count);
    if (c.source_rect && (c.source_rect->w <= 0 || c.source_rect->h <= 0))
        return std::string("la región a grabar está vacía");
    return std::nullopt;
}

std::optional<std::string> stream_output_error(const StreamConfiguration& c, StreamOutputType type, bool taken)
{
    const int i = static_cast<int>(type);
    if (i < 0 || i > 2)
        return fmt::format("tipo de salida desconocido: {}", i);
    if ((type == StreamOutputType::Audio && !c.captures_audio) || (type == StreamOutputType::Microphone && !c.captures_microphone))
        return std::string("la captura no incluye ese sonido");
    if (taken)
        return std::string("ya hay una salida de ese tipo");
    return std::nullopt;
}

} // namespace platform
