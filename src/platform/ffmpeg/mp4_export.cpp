// The MP4 export: packets copied ("Original"), or decoded, fitted and encoded
// with libx264 ("1080p", "720p"); audio copied unless muted; the rotation
// matrix carried over; the moov atom moved to the front.
#include "platform/ffmpeg/media_av.h"

extern "C" {
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace platform::mav {

namespace {

// The encoder's speed and quality for the downscaled exports.
constexpr const char* X264_PRESET = "veryfast";
constexpr const char* X264_CRF = "20";

ExportOutcome failed(std::string text)
{
    return { ExportStatus::Failed, std::move(text) };
}

int64_t to_ts(double seconds, AVRational tb)
{
    return static_cast<int64_t>(std::llround(seconds / av_q2d(tb)));
}

void copy_rotation(const AVStream* from, AVStream* to)
{
    size_t size = 0;
    const uint8_t* matrix = av_stream_get_side_data(from, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!matrix)
        return;
    if (uint8_t* copy = av_stream_new_side_data(to, AV_PKT_DATA_DISPLAYMATRIX, size))
        std::memcpy(copy, matrix, size);
}

class Export {
public:
    Export(const std::filesystem::path& source, const std::filesystem::path& destination, const Mp4Options& options)
        : m_source(source)
        , m_destination(destination)
        , m_options(options)
    {
    }

    ExportOutcome run()
    {
        auto result = run_inner();
        if (!result) {
            // Nobody wants half a file: the output goes with the failure.
            m_output.reset();
            std::error_code ec;
            if (m_opened)
                std::filesystem::remove(m_destination, ec);
            return failed(result.error());
        }
        return { ExportStatus::Completed, std::nullopt };
    }

private:
    struct Track {
        int out = -1;          // output stream index, -1 when left out
        bool video = false;
        bool done = false;
        bool ahead = false;    // a recording's ahead sound, copied into the other sound track after its end
    };

    std::expected<void, std::string> run_inner()
    {
        auto input = open_input(m_source);
        if (!input)
            return std::unexpected(input.error());
        m_input = std::move(*input);
        m_video = video_stream(m_input.get());
        if (m_video < 0)
            return std::unexpected(std::string("el archivo no tiene video"));
        m_offset = start_offset(m_input.get());
        if (m_options.range) {
            m_start = std::max(m_options.range->first, 0.0);
            m_end = m_options.range->second;
            if (!(m_end > m_start))
                return std::unexpected(std::string("el rango está vacío"));
        }
        m_encode = m_options.resolution != 0;

        AVFormatContext* raw = nullptr;
        const std::string url = locator(m_destination);
        if (int r = avformat_alloc_output_context2(&raw, nullptr, "mp4", url.c_str()); r < 0)
            return std::unexpected(error_text(r));
        m_output.reset(raw);
        if (auto r = add_streams(); !r)
            return r;
        if (int r = avio_open(&raw->pb, url.c_str(), AVIO_FLAG_WRITE); r < 0)
            return std::unexpected(error_text(r));
        m_opened = true;
        AVDictionary* muxer = nullptr;
        av_dict_set(&muxer, "movflags", "+faststart", 0);
        int r = avformat_write_header(raw, &muxer);
        av_dict_free(&muxer);
        if (r < 0)
            return std::unexpected(error_text(r));

        seek_before(m_input.get(), m_video, m_start + m_offset);
        if (auto copied = pump(); !copied)
            return copied;
        if (m_encode) {
            if (auto flushed = decode_packet(nullptr); !flushed)
                return flushed;
            if (auto last = flush_before(); !last)
                return last;
            if (int e = avcodec_send_frame(m_encoder.get(), nullptr); e < 0)
                return std::unexpected(error_text(e));
            if (auto drained = drain_encoder(); !drained)
                return drained;
        }
        if (int e = av_write_trailer(raw); e < 0)
            return std::unexpected(error_text(e));
        return {};
    }

    std::expected<void, std::string> add_streams()
    {
        m_tracks.assign(m_input->nb_streams, Track {});
        int ahead = -1;
        for (unsigned i = 0; i < m_input->nb_streams; ++i) {
            const AVStream* in = m_input->streams[i];
            const bool video = static_cast<int>(i) == m_video;
            const bool audio = in->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
            if (!video && !(audio && !m_options.mute))
                continue;
            if (audio && continues_other_sound(i)) {
                ahead = static_cast<int>(i);
                continue;
            }
            if (audio && m_kept < 0)
                m_kept = static_cast<int>(i);
            AVStream* out = avformat_new_stream(m_output.get(), nullptr);
            if (!out)
                return std::unexpected(error_text(AVERROR(ENOMEM)));
            m_tracks[i] = { out->index, video, false };
            if (video && m_encode) {
                if (auto r = open_encoder(in, out); !r)
                    return r;
            } else {
                if (int r = avcodec_parameters_copy(out->codecpar, in->codecpar); r < 0)
                    return std::unexpected(error_text(r));
                out->codecpar->codec_tag = 0;
                // Players on other systems want HEVC tagged 'hvc1' (parameter sets in the sample entry).
                if (out->codecpar->codec_id == AV_CODEC_ID_HEVC)
                    out->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
                out->time_base = in->time_base;
            }
            if (video)
                copy_rotation(in, out);
        }
        // A recording's ahead sound goes on where its kept sound ends (the
        // kept track waits longer for late inputs, so what a kill or a full
        // disk left of it may end before the picture).
        if (ahead >= 0 && m_kept >= 0) {
            auto end = sound_end(m_kept);
            if (!end)
                return std::unexpected(end.error());
            m_ahead_from = av_rescale_q(*end, m_input->streams[m_kept]->time_base, m_input->streams[ahead]->time_base);
            m_tracks[ahead] = { m_tracks[m_kept].out, false, false, true };
        }
        return {};
    }

    static bool is_ahead_sound(const AVStream* stream)
    {
        const AVDictionaryEntry* handler = av_dict_get(stream->metadata, "handler_name", nullptr, 0);
        return handler && std::strcmp(handler->value, AHEAD_SOUND_HANDLER) == 0;
    }

    // Whether stream `index` is a recording's ahead sound beside a sound
    // track it continues. Marked so but alone (a file another program cut
    // from such a recording), it is the file's sound like any other.
    bool continues_other_sound(unsigned index) const
    {
        if (!is_ahead_sound(m_input->streams[index]))
            return false;
        for (unsigned i = 0; i < m_input->nb_streams; ++i) {
            const AVStream* other = m_input->streams[i];
            if (i != index && other->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && !is_ahead_sound(other))
                return true;
        }
        return false;
    }

    // Where the sound of stream `index` ends (its last packet's end), read
    // from a second opening of the source that reads that stream alone.
    std::expected<int64_t, std::string> sound_end(int index) const
    {
        auto input = open_input(m_source);
        if (!input)
            return std::unexpected(input.error());
        for (unsigned i = 0; i < (*input)->nb_streams; ++i)
            (*input)->streams[i]->discard = static_cast<int>(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        Packet packet(av_packet_alloc());
        if (!packet)
            return std::unexpected(error_text(AVERROR(ENOMEM)));
        int64_t end = std::numeric_limits<int64_t>::min();
        while (av_read_frame(input->get(), packet.get()) >= 0) {
            if (packet->stream_index == index && packet->pts != AV_NOPTS_VALUE)
                end = std::max(end, packet->pts + std::max<int64_t>(packet->duration, 0));
            av_packet_unref(packet.get());
        }
        return end;
    }

    std::expected<void, std::string> open_encoder(const AVStream* in, AVStream* out)
    {
        auto decoder = open_decoder(in);
        if (!decoder)
            return std::unexpected(decoder.error());
        m_decoder = std::move(*decoder);
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            return std::unexpected(std::string("no hay codificador H.264"));
        m_encoder.reset(avcodec_alloc_context3(codec));
        const auto [w, h] = export_size(in->codecpar->width, in->codecpar->height, m_options.resolution);
        m_encoder->width = w;
        m_encoder->height = h;
        m_encoder->pix_fmt = AV_PIX_FMT_YUV420P;
        m_encoder->time_base = in->time_base;
        m_encoder->framerate = av_guess_frame_rate(m_input.get(), const_cast<AVStream*>(in), nullptr);
        m_encoder->sample_aspect_ratio = in->codecpar->sample_aspect_ratio;
        m_encoder->thread_count = 0;
        if (m_output->oformat->flags & AVFMT_GLOBALHEADER)
            m_encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(m_encoder->priv_data, "preset", X264_PRESET, 0);
        av_opt_set(m_encoder->priv_data, "crf", X264_CRF, 0);
        if (int r = avcodec_open2(m_encoder.get(), codec, nullptr); r < 0)
            return std::unexpected(error_text(r));
        if (int r = avcodec_parameters_from_context(out->codecpar, m_encoder.get()); r < 0)
            return std::unexpected(error_text(r));
        out->time_base = m_encoder->time_base;
        if (m_encoder->framerate.num > 0 && m_encoder->framerate.den > 0)
            m_frame_ticks = av_rescale_q(1, av_inv_q(m_encoder->framerate), m_encoder->time_base);
        out->sample_aspect_ratio = m_encoder->sample_aspect_ratio;
        m_packet.reset(av_packet_alloc());
        return {};
    }

    bool all_done() const
    {
        for (const Track& t : m_tracks)
            if (t.out >= 0 && !t.done && !t.ahead)
                return false;
        return true;
    }

    std::expected<void, std::string> pump()
    {
        Packet packet(av_packet_alloc());
        for (;;) {
            int r = av_read_frame(m_input.get(), packet.get());
            if (r == AVERROR_EOF)
                return write_ahead();
            if (r < 0)
                return std::unexpected(error_text(r));
            // Transport streams and FLV may add a stream after the header was
            // read: it was not planned for and is left out.
            if (packet->stream_index < 0 || static_cast<size_t>(packet->stream_index) >= m_tracks.size()) {
                av_packet_unref(packet.get());
                continue;
            }
            Track& track = m_tracks[packet->stream_index];
            if (track.ahead) {
                if (track.out >= 0 && packet->pts != AV_NOPTS_VALUE && packet->pts >= m_ahead_from) {
                    Packet held(av_packet_clone(packet.get()));
                    if (!held)
                        return std::unexpected(error_text(AVERROR(ENOMEM)));
                    m_ahead.push_back(std::move(held));
                }
            } else if (track.out >= 0 && !track.done) {
                auto handled = track.video && m_encode ? decode_packet(packet.get()) : copy_packet(packet.get(), track);
                if (!handled)
                    return handled;
            }
            av_packet_unref(packet.get());
            if (all_done())
                return write_ahead();
        }
    }

    // The ahead sound's packets after the kept sound's end, held until the
    // kept sound's last one was written: the file may hold them before it.
    std::expected<void, std::string> write_ahead()
    {
        for (Packet& packet : m_ahead)
            if (auto copied = copy_packet(packet.get(), m_tracks[packet->stream_index]); !copied)
                return copied;
        m_ahead.clear();
        return {};
    }

    std::expected<void, std::string> copy_packet(AVPacket* packet, Track& track)
    {
        const AVStream* in = m_input->streams[packet->stream_index];
        const AVStream* out = m_output->streams[track.out];
        const int64_t start = to_ts(m_start + m_offset, in->time_base);
        const int64_t end = std::isfinite(m_end) ? to_ts(m_end + m_offset, in->time_base) : std::numeric_limits<int64_t>::max();
        const int64_t dts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
        if (dts != AV_NOPTS_VALUE && dts >= end) {
            track.done = true;
            return {};
        }
        if (!track.video) {
            // Sound before the start is not needed to decode what follows.
            const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : dts;
            if (pts != AV_NOPTS_VALUE && pts + packet->duration <= start)
                return {};
        }
        // Video from the keyframe before the start keeps negative times; the
        // muxer's edit list makes playback begin at the start.
        if (packet->pts != AV_NOPTS_VALUE)
            packet->pts -= start;
        if (packet->dts != AV_NOPTS_VALUE)
            packet->dts -= start;
        av_packet_rescale_ts(packet, in->time_base, out->time_base);
        packet->stream_index = track.out;
        packet->pos = -1;
        if (int r = av_interleaved_write_frame(m_output.get(), packet); r < 0)
            return std::unexpected(error_text(r));
        return {};
    }

    std::expected<void, std::string> decode_packet(const AVPacket* packet)
    {
        int r = avcodec_send_packet(m_decoder.get(), packet);
        if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_INVALIDDATA && r != AVERROR_EOF)
            return std::unexpected(error_text(r));
        Track& track = m_tracks[m_video];
        const AVStream* in = m_input->streams[m_video];
        for (;;) {
            Frame frame(av_frame_alloc());
            r = avcodec_receive_frame(m_decoder.get(), frame.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return {};
            if (r < 0)
                return std::unexpected(error_text(r));
            if (track.done)
                continue;
            const double t = frame_time(frame.get(), in, m_offset);
            if (t < m_start - 1e-9) {
                m_before = std::move(frame);
                continue;
            }
            if (t >= m_end - 1e-9) {
                track.done = true;
                continue;
            }
            if (m_before && t > m_start + 1e-6) {
                // The frame on screen at the start opens the export.
                if (auto e = encode(m_before.get(), m_start); !e)
                    return e;
            }
            m_before.reset();
            if (auto e = encode(frame.get(), t); !e)
                return e;
        }
    }

    std::expected<void, std::string> flush_before()
    {
        if (!m_before)
            return {};
        Frame last = std::move(m_before);
        return encode(last.get(), m_start);
    }

    std::expected<void, std::string> encode(const AVFrame* frame, double t)
    {
        if (!m_scaler.convert(frame, m_encoder->width, m_encoder->height, AV_PIX_FMT_YUV420P))
            return std::unexpected(std::string("no pude convertir un cuadro"));
        AVFrame* scaled = m_scaler.output();
        scaled->pts = to_ts(t - m_start, m_encoder->time_base);
        scaled->pict_type = AV_PICTURE_TYPE_NONE;
        if (int r = avcodec_send_frame(m_encoder.get(), scaled); r < 0)
            return std::unexpected(error_text(r));
        return drain_encoder();
    }

    std::expected<void, std::string> drain_encoder()
    {
        AVStream* out = m_output->streams[m_tracks[m_video].out];
        for (;;) {
            int r = avcodec_receive_packet(m_encoder.get(), m_packet.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return {};
            if (r < 0)
                return std::unexpected(error_text(r));
            // The last frame's length ends the track; the encoder leaves it unset.
            if (m_packet->duration == 0)
                m_packet->duration = m_frame_ticks;
            av_packet_rescale_ts(m_packet.get(), m_encoder->time_base, out->time_base);
            m_packet->stream_index = out->index;
            if (r = av_interleaved_write_frame(m_output.get(), m_packet.get()); r < 0)
                return std::unexpected(error_text(r));
        }
    }

    std::filesystem::path m_source, m_destination;
    Mp4Options m_options;
    Input m_input;
    Output m_output;
    Decoder m_decoder;
    Encoder m_encoder;
    Packet m_packet;
    Scaler m_scaler;
    Frame m_before;
    std::vector<Track> m_tracks;
    int m_video = -1;
    int m_kept = -1;            // the sound track that a recording's ahead sound continues
    int64_t m_ahead_from = 0;   // where the ahead sound is taken from, in its time base
    std::vector<Packet> m_ahead;
    int64_t m_frame_ticks = 0;
    double m_offset = 0;
    double m_start = 0;
    double m_end = std::numeric_limits<double>::infinity();
    bool m_encode = false;
    bool m_opened = false;
};

} // namespace

std::expected<Written, std::string> measure_written(const std::filesystem::path& path)
{
    auto input = open_input(path);
    if (!input)
        return std::unexpected(input.error());
    const int index = video_stream(input->get());
    Written written;
    if (index < 0)
        return written;
    const AVStream* stream = (*input)->streams[index];
    Packet packet(av_packet_alloc());
    if (!packet)
        return std::unexpected(error_text(AVERROR(ENOMEM)));
    // A player shows nothing before the first keyframe.
    bool keyed = false;
    std::int64_t first = AV_NOPTS_VALUE, end = AV_NOPTS_VALUE;
    while (av_read_frame(input->get(), packet.get()) >= 0) {
        if (packet->stream_index == index && (keyed || (packet->flags & AV_PKT_FLAG_KEY))) {
            keyed = true;
            ++written.frames;
            if (packet->pts != AV_NOPTS_VALUE) {
                first = first == AV_NOPTS_VALUE ? packet->pts : std::min(first, packet->pts);
                end = std::max(end, packet->pts + std::max<std::int64_t>(packet->duration, 0));
            }
        }
        av_packet_unref(packet.get());
    }
    if (first != AV_NOPTS_VALUE)
        written.seconds = static_cast<double>(end - first) * av_q2d(stream->time_base);
    return written;
}

ExportOutcome export_mp4(const std::filesystem::path& source, const std::filesystem::path& destination, const Mp4Options& options)
{
    return Export(source, destination, options).run();
}

} // namespace platform::mav
