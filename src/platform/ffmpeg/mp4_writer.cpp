// The recording output on FFmpeg: libavformat's MP4 muxer, libx264 or
// libx265, libswscale for BGRA → yuv420p, the native AAC encoder.
//
// The file is a fragmented MP4: an empty index up front, then a fragment
// (its own small index and its samples) at every keyframe and at least every
// quarter of a second. Whatever ends the process, the file holds every
// fragment completed before: a crash, a kill or a full disk loses the last
// second at most, of the picture and of the sound (the ahead track,
// SoundTrack, where the kept one waits for a late input). A file that misses
// its trailer is still reported as failed, never as finished; the recorder
// turns it into a regular MP4 or keeps the fragments that are whole.
#include "platform/ffmpeg/mp4_writer.h"
#include "platform/media_module.h"
#include "platform/ffmpeg/media_av.h"

#include "base/util.h"
#include "base/util_thread.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <fmt/format.h>

#include <sys/prctl.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace platform {

namespace ffmpeg {

namespace {

const char* encoder_name(VideoCodec codec)
{
    return codec == VideoCodec::Hevc ? "libx265" : "libx264";
}

using CodecContext = mav::Encoder;
using mav::Frame;
using mav::Packet;

// libx264 asks for transparent huge pages on its pictures, and the kernel
// then clears two megabytes at each first touch, used or not: at 4K its
// first frames took 150–350 ms instead of 30–70, the frames grabbed meanwhile
// waited in memory, and it held more for good. While a recording's encoder
// is open the process takes none. The setting is the whole process's:
// whatever else runs meanwhile goes without them too, and so do programs
// started meanwhile, for good (a child keeps it across exec). The last
// encoder to close gives them back, unless they were off before the first.
class NoHugePages {
public:
    NoHugePages()
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        if (s.users++ != 0)
            return;
        s.set_by_us = false;
        if (::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0) != 0)
            return; // off already: left so
        if (::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) == 0)
            s.set_by_us = true;
        else if (!std::exchange(s.failure_logged, true))
            util::log(fmt::format("grabación: no pude apartar las páginas enormes: {}", std::strerror(errno)));
    }
    ~NoHugePages()
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        if (--s.users == 0 && s.set_by_us)
            ::prctl(PR_SET_THP_DISABLE, 0, 0, 0, 0);
    }
    NoHugePages(const NoHugePages&) = delete;
    NoHugePages& operator=(const NoHugePages&) = delete;

private:
    struct State {
        std::mutex mutex;
        int users = 0;
        bool set_by_us = false;
        bool failure_logged = false;
    };
    static State& state()
    {
        static State* s = new State; // never destroyed: encoders may close at exit
        return *s;
    }
};

// The options of the video encoder: the fastest preset (the encoder shares
// the machine with what is being recorded) and, for libx265, no chatter on
// standard error.
AVDictionary* video_options(VideoCodec codec)
{
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "ultrafast", 0);
    if (codec == VideoCodec::Hevc)
        av_dict_set(&options, "x265-params", "log-level=error", 0);
    return options;
}

// Opens a video encoder of `codec` for the given size and frame interval.
std::expected<CodecContext, std::string> open_video(VideoCodec codec, int width, int height, AVRational interval, bool global_header,
    int threads, bool sliced)
{
    const AVCodec* encoder = avcodec_find_encoder_by_name(encoder_name(codec));
    if (!encoder)
        return std::unexpected(fmt::format("no encuentro el códec {}", encoder_name(codec)));
    CodecContext ctx(avcodec_alloc_context3(encoder));
    if (!ctx)
        return std::unexpected(std::string("sin memoria para el códec"));
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = interval;
    ctx->framerate = av_inv_q(interval);
    // A keyframe at least every two seconds keeps seeking and trimming quick.
    ctx->gop_size = std::max(1, static_cast<int>(2 * interval.den / std::max(1, interval.num)));
    ctx->color_primaries = AVCOL_PRI_BT709;
    ctx->color_trc = AVCOL_TRC_BT709;
    ctx->colorspace = AVCOL_SPC_BT709;
    ctx->color_range = AVCOL_RANGE_MPEG;
    ctx->thread_count = threads;
    if (sliced)
        ctx->thread_type = FF_THREAD_SLICE;
    if (codec == VideoCodec::Hevc)
        ctx->codec_tag = MKTAG('h', 'v', 'c', '1');
    if (global_header)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = video_options(codec);
    const int rc = avcodec_open2(ctx.get(), encoder, &options);
    av_dict_free(&options);
    if (rc < 0)
        return std::unexpected(fmt::format("{}: {}", encoder_name(codec), mav::error_text(rc)));
    return ctx;
}

} // namespace

// The libav side of the output: the muxer, the encoders, the pixel converter.
class Encoder {
public:
    static std::expected<std::unique_ptr<Encoder>, std::string> open(const RecordingConfiguration& recording, const StreamConfiguration& stream)
    {
        std::unique_ptr<Encoder> e(new Encoder);
        e->m_path = recording.path;
        int rc = avformat_alloc_output_context2(&e->m_format, nullptr, "mp4", recording.path.c_str());
        if (rc < 0 || !e->m_format)
            return std::unexpected(fmt::format("MP4: {}", mav::error_text(rc)));
        const bool global_header = e->m_format->oformat->flags & AVFMT_GLOBALHEADER;
        const AVRational interval { static_cast<int>(stream.minimum_frame_interval.value), stream.minimum_frame_interval.timescale };
        // Frame threads: as many as the pixel rate needs (four carry 1080p at
        // 60 frames per second with room to spare), four at most: each thread
        // is slow on its first frame, and a long pipeline of slow first frames
        // overflows the queue at every start. Each also holds pictures of its
        // own, about 40 MB at 4K, so above four megapixels H.264 splits each
        // frame among four threads instead: at 4K that holds 40 MB less than
        // two frame threads, spends less CPU and encodes a frame sooner.
        const double pixel_rate = double(stream.width) * stream.height * interval.den / std::max(1, interval.num);
        const bool large = double(stream.width) * stream.height > 4e6;
        const bool sliced = large && recording.codec == VideoCodec::H264;
        const unsigned most = large && !sliced ? 2u : 4u;
        const int threads = std::clamp(static_cast<int>(std::ceil(4 * pixel_rate / (1920.0 * 1080 * 60))), 1,
            static_cast<int>(std::min(most, util::parallelism())));
        auto video = open_video(recording.codec, static_cast<int>(stream.width), static_cast<int>(stream.height), interval,
            global_header, threads, sliced);
        if (!video)
            return std::unexpected(video.error());
        e->m_video = std::move(*video);
        e->m_video_stream = avformat_new_stream(e->m_format, nullptr);
        if (!e->m_video_stream)
            return std::unexpected(std::string("sin memoria para la pista de video"));
        avcodec_parameters_from_context(e->m_video_stream->codecpar, e->m_video.get());
        e->m_video_stream->time_base = e->m_video->time_base;
        if (recording.codec == VideoCodec::Hevc)
            e->m_video_stream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');

        // The ahead track only where two inputs are mixed: one input alone
        // holds nothing else back.
        for (const SoundTrack track : sound_tracks(stream))
            if (auto ok = e->open_audio(e->m_sound[static_cast<int>(track)], stream.sample_rate, stream.channel_count, global_header,
                    track == SoundTrack::Ahead);
                !ok)
                return std::unexpected(ok.error());
        rc = avio_open(&e->m_format->pb, mav::locator(recording.path).c_str(), AVIO_FLAG_WRITE);
        if (rc < 0)
            return std::unexpected(fmt::format("no pude crear {}: {}", util::escape_controls(recording.path), mav::error_text(rc)));
        // Every packet goes to the file at once (no bytes of a finished
        // fragment wait in a buffer for the next one).
        e->m_format->flush_packets = 1;
        AVDictionary* muxer = nullptr;
        av_dict_set(&muxer, "movflags", "+frag_keyframe+empty_moov+default_base_moof", 0);
        // Microseconds: a kill loses a quarter of a second and the way to the
        // muxer of the picture, and of the sound as much again as the ahead
        // track (SoundTrack) may stand behind it: 0.3 s.
        av_dict_set(&muxer, "frag_duration", "250000", 0);
        rc = avformat_write_header(e->m_format, &muxer);
        av_dict_free(&muxer);
        if (rc < 0) {
            // The file is ours (just created) and holds nothing worth keeping.
            avio_closep(&e->m_format->pb);
            std::remove(recording.path.c_str());
            return std::unexpected(fmt::format("cabecera MP4: {}", mav::error_text(rc)));
        }
        e->m_header_written = true;
        e->m_packet.reset(av_packet_alloc());
        return e;
    }

    ~Encoder()
    {
        if (m_header_written && !m_closed)
            (void)close(); // a file at least as complete as it can be
        sws_freeContext(m_sws);
        if (m_format) {
            if (m_format->pb)
                avio_closep(&m_format->pb);
            avformat_free_context(m_format);
        }
    }

    // Converts a grabbed picture to the encoder's size and format into
    // `into`, reused when the encoder is done with it, else made anew.
    // Converter thread only.
    std::expected<void, std::string> convert(const QImage& image, Frame& into)
    {
        // The encoder takes even sizes: a picture one pixel wider or taller
        // loses its last column or row, never resampled (17 columns made 16
        // blur every one of them).
        const auto used = [](int have, int want) { return have == want + 1 ? want : have; };
        const int width = used(image.width(), m_video->width);
        const int height = used(image.height(), m_video->height);
        if (!m_sws || width != m_sws_width || height != m_sws_height)
            if (auto ok = make_converter(width, height); !ok)
                return ok;
        Frame src(av_frame_alloc());
        if (!src)
            return std::unexpected(std::string("sin memoria para un cuadro"));
        src->format = AV_PIX_FMT_BGRA;
        src->width = width;
        src->height = height;
        src->data[0] = const_cast<std::uint8_t*>(image.constBits());
        src->linesize[0] = static_cast<int>(image.bytesPerLine());
        // The picture as a buffer that frees nothing (the image outlives the
        // call): a frame without one is copied whole before it is converted.
        src->buf[0] = av_buffer_create(src->data[0], static_cast<std::size_t>(image.sizeInBytes()), [](void*, std::uint8_t*) {},
            nullptr, AV_BUFFER_FLAG_READONLY);
        if (!src->buf[0])
            return std::unexpected(std::string("sin memoria para un cuadro"));
        // A picture the encoder still refers to is not written over.
        if (into && !av_frame_is_writable(into.get()))
            into.reset();
        if (!into) {
            into.reset(av_frame_alloc());
            if (!into)
                return std::unexpected(std::string("sin memoria para un cuadro"));
            into->format = AV_PIX_FMT_YUV420P;
            into->width = m_video->width;
            into->height = m_video->height;
            if (int rc = av_frame_get_buffer(into.get(), 0); rc < 0) {
                into.reset();
                return std::unexpected(mav::error_text(rc));
            }
        }
        const auto t0 = std::chrono::steady_clock::now();
        if (int rc = sws_scale_frame(m_sws, into.get(), src.get()); rc < 0)
            return std::unexpected(fmt::format("conversión de color: {}", mav::error_text(rc)));
        m_convert += std::chrono::steady_clock::now() - t0;
        ++m_converted;
        into->color_primaries = AVCOL_PRI_BT709;
        into->color_trc = AVCOL_TRC_BT709;
        into->colorspace = AVCOL_SPC_BT709;
        into->color_range = AVCOL_RANGE_MPEG;
        return {};
    }

    // Encodes one converted picture at grid slot `slot`. Writer thread only.
    std::expected<void, std::string> video(AVFrame* picture, std::int64_t slot)
    {
        if (slot <= m_last_slot)
            return {}; // the grid never goes back; a late duplicate is dropped
        picture->pts = slot;
        m_last_slot = slot;
        const auto t0 = std::chrono::steady_clock::now();
        auto sent = send(m_video.get(), m_video_stream, picture);
        const auto took = std::chrono::steady_clock::now() - t0;
        m_encode += took;
        m_slowest = std::max(m_slowest, took);
        ++m_frames;
        return sent;
    }

    // Encodes sound that follows on what came before on one sound track
    // (interleaved floats).
    std::expected<void, std::string> audio(SoundTrack track, const float* samples, std::size_t frames)
    {
        Sound& sound = m_sound[static_cast<int>(track)];
        if (!sound.codec)
            return {};
        const int channels = sound.codec->ch_layout.nb_channels;
        for (std::size_t i = 0; i < frames; ++i)
            for (int c = 0; c < channels; ++c)
                sound.pending[static_cast<std::size_t>(c)].push_back(samples[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)]);
        return encode_audio(sound, false);
    }

    // Flushes the encoders, writes the trailer and closes the file.
    std::expected<void, std::string> close()
    {
        m_closed = true;
        std::string error;
        if (auto ok = send(m_video.get(), m_video_stream, nullptr); !ok)
            error = ok.error();
        for (Sound& sound : m_sound) {
            if (!sound.codec)
                continue;
            if (auto ok = encode_audio(sound, true); !ok && error.empty())
                error = ok.error();
            if (auto ok = send(sound.codec.get(), sound.stream, nullptr); !ok && error.empty())
                error = ok.error();
        }
        if (int rc = av_write_trailer(m_format); rc < 0 && error.empty())
            error = fmt::format("índice MP4: {}", mav::error_text(rc));
        if (int rc = avio_closep(&m_format->pb); rc < 0 && error.empty())
            error = fmt::format("al cerrar {}: {}", util::escape_controls(m_path), mav::error_text(rc));
        if (m_frames > 0)
            util::log(fmt::format("codificación: {} cuadros; por cuadro {:.2f} ms de conversión de color y {:.2f} ms del códec, "
                                  "el más lento en el códec {:.1f} ms",
                m_frames, std::chrono::duration<double, std::milli>(m_convert).count() / double(std::max<std::int64_t>(1, m_converted)),
                std::chrono::duration<double, std::milli>(m_encode).count() / double(m_frames),
                std::chrono::duration<double, std::milli>(m_slowest).count()));
        // A file without a single frame plays nothing: it goes, as after a failed header.
        if (m_packets == 0)
            std::remove(m_path.c_str());
        if (!error.empty())
            return std::unexpected(error);
        return {};
    }

    bool packet_written() const { return m_packets > 0; }

private:
    struct Sound {
        CodecContext codec;
        AVStream* stream = nullptr;
        std::vector<std::vector<float>> pending; // planar sound waiting for a full AAC frame
        std::int64_t samples = 0;
    };

    Encoder() = default;

    // One AAC track of `sound`; the ahead track is marked by its handler
    // name and is nobody's default.
    std::expected<void, std::string> open_audio(Sound& sound, int rate, int channels, bool global_header, bool ahead)
    {
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!aac)
            return std::unexpected(std::string("no encuentro el códec AAC"));
        sound.codec.reset(avcodec_alloc_context3(aac));
        if (!sound.codec)
            return std::unexpected(std::string("sin memoria para el códec AAC"));
        sound.codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
        sound.codec->sample_rate = rate;
        av_channel_layout_default(&sound.codec->ch_layout, channels);
        sound.codec->bit_rate = 160'000;
        sound.codec->time_base = { 1, rate };
        if (global_header)
            sound.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (int rc = avcodec_open2(sound.codec.get(), aac, nullptr); rc < 0)
            return std::unexpected(fmt::format("AAC: {}", mav::error_text(rc)));
        sound.stream = avformat_new_stream(m_format, nullptr);
        if (!sound.stream)
            return std::unexpected(std::string("sin memoria para la pista de sonido"));
        avcodec_parameters_from_context(sound.stream->codecpar, sound.codec.get());
        sound.stream->time_base = sound.codec->time_base;
        sound.stream->disposition = ahead ? 0 : AV_DISPOSITION_DEFAULT;
        if (ahead)
            av_dict_set(&sound.stream->metadata, "handler_name", mav::AHEAD_SOUND_HANDLER, 0);
        sound.pending.resize(static_cast<std::size_t>(channels));
        return {};
    }

    std::expected<void, std::string> make_converter(int width, int height)
    {
        sws_freeContext(m_sws);
        m_sws = nullptr;
        // Chroma from every pixel, then averaged over the pixels each sample
        // covers (a 2 × 2 block when nothing is scaled): on x86 half the CPU
        // of swscale's default road for RGB, which halves each row in plain
        // C before filtering (at 4K, 14 ms a frame instead of 25), and closer
        // to the block's true mean colour.
        auto made = mav::threaded_scaler(width, height, AV_PIX_FMT_BGRA, m_video->width, m_video->height, AV_PIX_FMT_YUV420P,
            SWS_AREA | SWS_FULL_CHR_H_INP);
        if (!made)
            return std::unexpected(fmt::format("conversión de color: {}", made.error()));
        m_sws = *made;
        // Full-range RGB in, BT.709 limited range out, as the stream is tagged.
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(m_sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
        m_sws_width = width;
        m_sws_height = height;
        return {};
    }

    std::expected<void, std::string> encode_audio(Sound& sound, bool last)
    {
        auto& pending = sound.pending;
        const std::size_t frame_size = sound.codec->frame_size > 0 ? static_cast<std::size_t>(sound.codec->frame_size) : 1024;
        while (!pending.empty() && (pending[0].size() >= frame_size || (last && !pending[0].empty()))) {
            const std::size_t n = std::min(frame_size, pending[0].size());
            Frame f(av_frame_alloc());
            if (!f)
                return std::unexpected(std::string("sin memoria para el sonido"));
            f->format = AV_SAMPLE_FMT_FLTP;
            f->sample_rate = sound.codec->sample_rate;
            av_channel_layout_copy(&f->ch_layout, &sound.codec->ch_layout);
            f->nb_samples = static_cast<int>(n);
            if (int rc = av_frame_get_buffer(f.get(), 0); rc < 0)
                return std::unexpected(mav::error_text(rc));
            for (std::size_t c = 0; c < pending.size(); ++c) {
                std::memcpy(f->data[c], pending[c].data(), n * sizeof(float));
                pending[c].erase(pending[c].begin(), pending[c].begin() + static_cast<std::ptrdiff_t>(n));
            }
            f->pts = sound.samples;
            sound.samples += static_cast<std::int64_t>(n);
            if (auto ok = send(sound.codec.get(), sound.stream, f.get()); !ok)
                return ok;
        }
        return {};
    }

    // Sends a frame (none: drain) and writes every packet that comes out.
    std::expected<void, std::string> send(AVCodecContext* ctx, AVStream* stream, AVFrame* frame)
    {
        int rc = avcodec_send_frame(ctx, frame);
        if (rc < 0 && !(frame == nullptr && rc == AVERROR_EOF))
            return std::unexpected(fmt::format("codificador: {}", mav::error_text(rc)));
        for (;;) {
            rc = avcodec_receive_packet(ctx, m_packet.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return {};
            if (rc < 0)
                return std::unexpected(fmt::format("codificador: {}", mav::error_text(rc)));
            // A frame lasts one slot of the grid unless the encoder says
            // otherwise: each fragment then ends where the next begins.
            if (stream == m_video_stream && m_packet->duration == 0)
                m_packet->duration = 1;
            av_packet_rescale_ts(m_packet.get(), ctx->time_base, stream->time_base);
            m_packet->stream_index = stream->index;
            // Straight to the muxer, not through its interleaving queue: that
            // queue holds the picture's packets until the sound's reach them,
            // and the sound waits a moment for its slowest input;
            // the fragments came that much later. Each track is indexed in
            // its fragment on its own, so their order in the file is free.
            rc = av_write_frame(m_format, m_packet.get());
            av_packet_unref(m_packet.get());
            // What the muxer wrote goes to the file now, however few bytes a
            // still picture makes.
            if (rc >= 0 && m_format->pb) {
                avio_flush(m_format->pb);
                rc = m_format->pb->error;
            }
            if (rc < 0)
                return std::unexpected(fmt::format("al escribir {}: {}", util::escape_controls(m_path), mav::error_text(rc)));
            if (stream == m_video_stream)
                ++m_packets;
        }
    }

    NoHugePages m_no_huge_pages; // first: outlives the encoders' memory
    std::string m_path;
    AVFormatContext* m_format = nullptr;
    CodecContext m_video;
    Sound m_sound[2]; // by SoundTrack; without sound, none opened
    AVStream* m_video_stream = nullptr;
    Packet m_packet;
    SwsContext* m_sws = nullptr; // the converter thread's
    int m_sws_width = 0;
    int m_sws_height = 0;
    std::int64_t m_last_slot = -1;
    std::int64_t m_packets = 0; // of the picture
    // Where the time goes, for the closing log line: the converter's (read
    // once it has ended) and the writer's.
    std::chrono::steady_clock::duration m_convert {};
    std::int64_t m_converted = 0;
    std::chrono::steady_clock::duration m_encode {};
    std::chrono::steady_clock::duration m_slowest {};
    std::int64_t m_frames = 0;
    bool m_header_written = false;
    bool m_closed = false;
};

// --- the output -------------------------------------------------------------

// The sound tracks a stream's recording writes: the kept one for any sound,
// the ahead one too where two inputs are mixed.
std::vector<SoundTrack> sound_tracks(const StreamConfiguration& stream)
{
    if (stream.captures_audio && stream.captures_microphone)
        return { SoundTrack::Kept, SoundTrack::Ahead };
    if (stream.captures_audio || stream.captures_microphone)
        return { SoundTrack::Kept };
    return {};
}

// The sample position of a grid slot's start.
static std::int64_t slot_samples(std::int64_t slot, const FrameInterval& interval, int rate)
{
    return static_cast<std::int64_t>(static_cast<long double>(slot) * interval.value * rate / interval.timescale);
}

struct Converted {
    Frame picture;
    std::int64_t slot = 0;
};

void ConvertedDeleter::operator()(Converted* c) const
{
    delete c;
}

std::expected<std::unique_ptr<RecordingOutput>, std::string> RecordingOutput::open(
    const RecordingConfiguration& recording, const StreamConfiguration& stream, std::shared_ptr<RecordingListener> listener)
{
    if (auto error = configuration_error(stream))
        return std::unexpected(*error);
    // The encoder's frame and lookahead threads start here and keep this name.
    auto encoder = [&] {
        util::ThreadName named("vistrope-encode");
        return Encoder::open(recording, stream);
    }();
    if (!encoder)
        return std::unexpected(encoder.error());
    return std::unique_ptr<RecordingOutput>(new RecordingOutput(std::move(*encoder), stream, std::move(listener)));
}

RecordingOutput::RecordingOutput(std::unique_ptr<Encoder> encoder, const StreamConfiguration& stream,
    std::shared_ptr<RecordingListener> listener)
    : m_encoder(std::move(encoder))
    , m_listener(std::move(listener))
    , m_depth(static_cast<std::size_t>(stream.queue_depth))
    , m_channels(stream.channel_count)
    , m_audio(stream.captures_audio || stream.captures_microphone)
    , m_tracks(sound_tracks(stream))
{
    m_input_live[0] = stream.captures_audio;
    m_input_live[1] = stream.captures_microphone;
    m_rate = stream.sample_rate;
    m_interval = stream.minimum_frame_interval;
    m_input_wait[0] = m_input_wait[1] = SoundWait(m_rate);
}

RecordingOutput::~RecordingOutput()
{
    finish();
    m_thread.join();
    m_converter.join(); // the writer joins it; only a writer that never ran leaves it
}

void RecordingOutput::fail(std::string error)
{
    if (!m_failed)
        m_error = std::move(error);
    m_failed = true;
}

void RecordingOutput::start()
{
    if (m_thread.started() || m_converter.started())
        return;
    m_converter = util::Thread::start("vistrope-conv", [this] { convert_loop(); });
    if (!m_converter.started()) {
        std::lock_guard lock(m_mutex);
        fail("no pude iniciar la grabación: el sistema no da más hilos");
    }
    m_thread = util::Thread::start("vistrope-writer", [this] { run(); });
    if (!m_thread.started()) {
        {
            std::lock_guard lock(m_mutex);
            fail("no pude iniciar la grabación: el sistema no da más hilos");
        }
        run(); // failed: it only closes the file and reports, here
    }
}

std::size_t RecordingOutput::waiting() const
{
    return m_queue.size() + m_converting + m_ready.size();
}

bool RecordingOutput::push_video(VideoFrame frame)
{
    // Where the picture stands for the sound's arrivals, dropped frame or not.
    const std::int64_t picture = slot_samples(frame.slot + 1, m_interval, m_rate);
    for (std::int64_t seen = m_picture.load(); seen < picture && !m_picture.compare_exchange_weak(seen, picture);) { }
    {
        std::lock_guard lock(m_mutex);
        // The encoder's first frames are slow (about 100 ms each for the
        // first three at 1080p, one per frame thread starting): until it has
        // given its first packet the queue takes twice as many, or every
        // recording would lose a few frames at its start.
        const std::size_t room = m_warm.load() ? m_depth : 2 * m_depth;
        if (m_finishing || m_failed || waiting() >= room) {
            ++m_dropped;
            return false;
        }
        m_queue.push_back(std::move(frame));
    }
    m_cv.notify_all();
    return true;
}

void RecordingOutput::push_audio(int input, std::int64_t at, const float* samples, std::size_t frames)
{
    if (!m_audio || input < 0 || input > 1 || frames == 0)
        return;
    const auto ch = static_cast<std::size_t>(m_channels);
    std::lock_guard lock(m_audio_mutex);
    // A position far ahead means a clock jump, not sound: ignore it rather than fill memory with silence.
    if (at - m_mix[0].base > 60 * std::int64_t { m_rate })
        return;
    // The input has come this far (which a stop waits for), even with sound
    // a mix has gone past.
    m_input_end[input] = std::max(m_input_end[input], at + static_cast<std::int64_t>(frames));
    m_input_wait[input].arrived(at, static_cast<std::int64_t>(frames), m_picture.load());
    m_audio_cv.notify_all();
    for (const SoundTrack track : m_tracks) {
        Mix& mix = m_mix[static_cast<int>(track)];
        // Sound the mix has gone past is dropped.
        const std::int64_t from = std::max(at, mix.base);
        const std::int64_t end = at + static_cast<std::int64_t>(frames);
        if (end <= from)
            continue;
        const float* in = samples + static_cast<std::size_t>(from - at) * ch;
        const auto offset = static_cast<std::size_t>(from - mix.base) * ch;
        const auto values = static_cast<std::size_t>(end - from) * ch;
        if (mix.samples.size() < offset + values)
            mix.samples.resize(offset + values, 0.0f);
        for (std::size_t i = 0; i < values; ++i)
            mix.samples[offset + i] += in[i];
    }
}

void RecordingOutput::audio_input_gone(int input)
{
    if (input < 0 || input > 1)
        return;
    std::lock_guard lock(m_audio_mutex);
    m_input_live[input] = false;
    m_audio_cv.notify_all();
}

void RecordingOutput::finish()
{
    {
        std::lock_guard lock(m_mutex);
        m_finishing = true;
    }
    m_cv.notify_all();
}

SoundWait::SoundWait(int rate)
    : m_least(static_cast<std::int64_t>(LATE_SOUND_S * rate))
    , m_margin(static_cast<std::int64_t>(MARGIN_S * rate))
    , m_most(static_cast<std::int64_t>(MOST_LATE_SOUND_S * rate))
{
}

void SoundWait::arrived(std::int64_t at, std::int64_t frames, std::int64_t picture)
{
    const std::int64_t need = picture < 0 ? frames : std::max(frames, picture - at);
    m_needs[m_next] = std::min(need, m_most);
    m_next = (m_next + 1) % ARRIVALS;
    m_heard = std::min(m_heard + 1, ARRIVALS);
}

std::int64_t SoundWait::wait(std::int64_t picture) const
{
    if (m_heard == 0)
        return picture <= m_most ? m_most : m_least;
    const std::int64_t longest = *std::max_element(std::begin(m_needs), std::begin(m_needs) + m_heard);
    return std::clamp(longest + m_margin, m_least, m_most);
}

bool RecordingOutput::wait_for_sound(std::int64_t slot, std::int64_t deadline_ns)
{
    if (!m_audio)
        return true;
    const std::int64_t until = slot_samples(slot, m_interval, m_rate);
    const auto now_ns = [] {
        timespec ts {};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
    };
    std::unique_lock lock(m_audio_mutex);
    for (;;) {
        if (!(m_input_live[0] && m_input_end[0] < until) && !(m_input_live[1] && m_input_end[1] < until))
            return true;
        const std::int64_t left = deadline_ns - now_ns();
        if (left <= 0)
            return false;
        m_audio_cv.wait_for(lock, std::chrono::nanoseconds(std::min<std::int64_t>(left, 20'000'000)));
    }
}

bool RecordingOutput::drain_audio(bool everything, std::int64_t video_end)
{
    if (!m_audio)
        return true;
    for (const SoundTrack track : m_tracks) {
        std::vector<float> out;
        std::size_t frames = 0;
        {
            std::lock_guard lock(m_audio_mutex);
            Mix& mix = m_mix[static_cast<int>(track)];
            const auto ch = static_cast<std::size_t>(m_channels);
            std::int64_t until = video_end;
            if (!everything) {
                // What every live input has reached, so that a late input's
                // samples still find their place; but an input is waited for
                // only so far behind the picture: then the mix goes on with
                // silence in its place, and what it brings later for that
                // stretch is dropped from this track. The kept track waits as
                // long as each input's rhythm needs (SoundWait), so a source
                // that delivers in bursts keeps every burst, and stands up to
                // a burst behind the picture; the ahead track waits
                // LATE_SOUND_S at most, so what a kill or a full disk leaves
                // has sound up to a fraction of a second before its picture
                // whatever an input does (recovery and sealing take the kept
                // track and the ahead track after its end). Never past the
                // picture: the sound after it waits for the next frames or is
                // cut at the end.
                for (int i = 0; i < 2; ++i) {
                    if (!m_input_live[i])
                        continue;
                    const std::int64_t wait = track == SoundTrack::Kept ? m_input_wait[i].wait(video_end)
                                                                         : static_cast<std::int64_t>(SoundWait::LATE_SOUND_S * m_rate);
                    until = std::min(until, std::max(m_input_end[i], video_end - wait));
                }
            }
            if (until <= mix.base)
                continue;
            frames = static_cast<std::size_t>(until - mix.base);
            const std::size_t take = std::min(mix.samples.size(), frames * ch);
            out.assign(mix.samples.begin(), mix.samples.begin() + static_cast<std::ptrdiff_t>(take));
            out.resize(frames * ch, 0.0f); // gaps are silent
            mix.samples.erase(mix.samples.begin(), mix.samples.begin() + static_cast<std::ptrdiff_t>(take));
            mix.base = until;
        }
        auto ok = m_encoder->audio(track, out.data(), frames);
        if (!ok) {
            std::lock_guard lock(m_mutex);
            fail(ok.error());
            return false;
        }
    }
    return true;
}

void RecordingOutput::convert_loop()
{
    for (;;) {
        std::optional<VideoFrame> frame;
        ConvertedPtr out;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_failed || m_finishing || !m_queue.empty(); });
            if (m_failed || m_queue.empty())
                break; // failed, or finishing with nothing left
            frame = std::move(m_queue.front());
            m_queue.pop_front();
            ++m_converting;
            if (!m_spare.empty()) {
                out = std::move(m_spare.back());
                m_spare.pop_back();
            }
        }
        if (!out)
            out.reset(new (std::nothrow) Converted);
        if (!out) {
            std::lock_guard lock(m_mutex);
            --m_converting;
            fail("sin memoria para un cuadro");
            break;
        }
        out->slot = frame->slot;
        auto ok = m_encoder->convert(frame->image, out->picture);
        frame.reset(); // the grab's memory goes back at once
        {
            std::lock_guard lock(m_mutex);
            --m_converting;
            if (ok) {
                m_ready.push_back(std::move(out));
            } else {
                fail(ok.error());
            }
        }
        m_cv.notify_all();
        if (!ok)
            break;
    }
    {
        std::lock_guard lock(m_mutex);
        m_converted_all = true;
    }
    m_cv.notify_all();
}

void RecordingOutput::run()
{
    bool reported_start = false;
    std::int64_t last_slot = -1;
    std::size_t since_first_packet = 0; // frames written since, while the room is doubled
    const std::size_t start_room_frames = std::max<std::size_t>(2 * m_depth,
        static_cast<std::size_t>(2 * std::int64_t { m_interval.timescale } / std::max<std::int64_t>(1, m_interval.value)));
    for (;;) {
        ConvertedPtr frame;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait_for(lock, std::chrono::milliseconds(40), [this] { return m_converted_all || m_failed || !m_ready.empty(); });
            if (m_failed)
                break;
            if (!m_ready.empty()) {
                frame = std::move(m_ready.front());
                m_ready.pop_front();
            } else if (m_converted_all) {
                break;
            }
        }
        if (frame) {
            const std::int64_t slot = frame->slot;
            auto ok = m_encoder->video(frame->picture.get(), slot);
            {
                // The picture back to the converter; two spare are enough
                // while the encoder keeps up, the rest go.
                std::lock_guard lock(m_mutex);
                if (m_spare.size() < 2)
                    m_spare.push_back(std::move(frame));
            }
            frame.reset();
            if (!ok) {
                std::lock_guard lock(m_mutex);
                fail(ok.error());
                break;
            }
            last_slot = std::max(last_slot, slot);
            ++m_written;
            // Warm once it has given a packet and worked the queue back down
            // (cutting the room while it still holds more would drop frames),
            // or two seconds of frames after that packet at the latest: an
            // encoder that cannot keep up never gets there, and the extra room
            // would hold twice the frames' memory to the end.
            if (!m_warm.load() && m_encoder->packet_written()) {
                ++since_first_packet;
                std::lock_guard lock(m_mutex);
                if (waiting() < m_depth || since_first_packet >= start_room_frames)
                    m_warm = true;
            }
            if (!reported_start && m_encoder->packet_written()) {
                reported_start = true;
                if (m_listener)
                    m_listener->recording_started();
            }
        }
        if (!drain_audio(false, slot_samples(last_slot + 1, m_interval, m_rate)))
            break;
    }
    // The converter stops at a failure, or has already emptied its queue.
    m_cv.notify_all();
    m_converter.join();
    // The end: what is left of the sound up to the video's end, then the
    // encoders' tails and the index, even after a failure.
    bool failed;
    std::string error;
    {
        std::lock_guard lock(m_mutex);
        failed = m_failed;
        error = m_error;
        m_queue.clear();
        m_ready.clear();
        m_spare.clear();
    }
    if (!failed)
        drain_audio(true, slot_samples(last_slot + 1, m_interval, m_rate));
    auto closed = m_encoder->close();
    {
        std::lock_guard lock(m_mutex);
        failed = m_failed;
        error = m_error;
    }
    if (!failed && !closed) {
        failed = true;
        error = closed.error();
    }
    if (!failed && m_written.load() == 0) {
        failed = true;
        error = "no se grabó ningún cuadro";
    }
    if (!failed && !reported_start && m_encoder->packet_written()) {
        reported_start = true;
        if (m_listener)
            m_listener->recording_started();
    }
    if (!m_listener)
        return;
    if (failed)
        m_listener->recording_failed(error);
    else
        m_listener->recording_finished();
}

} // namespace ffmpeg

std::vector<VideoCodec> ffmpeg::available_codecs()
{
    static const std::vector<VideoCodec> codecs = [] {
        std::vector<VideoCodec> found;
        const int level = av_log_get_level();
        av_log_set_level(AV_LOG_QUIET);
        for (VideoCodec codec : { VideoCodec::H264, VideoCodec::Hevc })
            if (ffmpeg::open_video(codec, 64, 64, { 1, 30 }, true, 1, false))
                found.push_back(codec);
        av_log_set_level(level);
        return found;
    }();
    return codecs;
}

} // namespace platform
