// Owning handles and small helpers over libav* shared by the media layer's
// files. Internal to src/platform/ffmpeg.
#pragma once

#include "platform/ahead_sound.h"
#include "platform/media.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <deque>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform::mav {

struct InputDeleter {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct OutputDeleter {
    void operator()(AVFormatContext* c) const
    {
        if (c->pb && !(c->oformat->flags & AVFMT_NOFILE))
            avio_closep(&c->pb);
        avformat_free_context(c);
    }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using Input = std::unique_ptr<AVFormatContext, InputDeleter>;
using Output = std::unique_ptr<AVFormatContext, OutputDeleter>;
using Decoder = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Encoder = std::unique_ptr<AVCodecContext, CodecDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

using platform::AHEAD_SOUND_HANDLER;

std::string error_text(int code);
// "file:" + path: FFmpeg never reads the name as another protocol.
std::string locator(const std::filesystem::path& path);

std::expected<Input, std::string> open_input(const std::filesystem::path& path);
// The first video stream that is not cover art, or -1.
int video_stream(const AVFormatContext* format);
// Clockwise degrees (0, 90, 180, 270) from the stream's display matrix.
int rotation_of(const AVStream* stream);
// A decoder for the stream on `threads` threads; 0: as many as the machine
// has. Each frame thread holds pictures of its own: a single frame (a
// thumbnail) is decoded on one, or a 4K file costs over a hundred megabytes.
std::expected<Decoder, std::string> open_decoder(const AVStream* stream, int threads = 0);
// Seconds to subtract from timestamps so the file starts at 0.
double start_offset(const AVFormatContext* format);
double frame_time(const AVFrame* frame, const AVStream* stream, double offset);
// Seeks to the keyframe at or before `seconds` of the stream (nothing for 0).
void seek_before(AVFormatContext* format, int stream_index, double seconds);

// Decoded frames of one stream, in presentation order.
class FrameSource {
public:
    FrameSource(Input input, Decoder decoder, int stream);
    // The next frame, a null frame at the end, or the decoder's error.
    std::expected<Frame, std::string> next();
    const AVStream* stream() const;
    AVFormatContext* input() const { return m_input.get(); }
    AVCodecContext* decoder() const { return m_decoder.get(); }
    // From now on a picture that nothing refers to is not decoded when a
    // later picture of its slot (in presentation order, before `end`) is
    // among the packets read; times are in seconds less `offset`.
    void skip_replaced(std::function<std::optional<std::uint64_t>(double)> slot_of, double end, double offset);

private:
    std::expected<void, std::string> send_next();
    bool replaced(double t) const;

    Input m_input;
    Decoder m_decoder;
    int m_stream;
    Packet m_packet;
    bool m_flushed = false;
    // Skipping: packets read ahead of the decoder, and the times of the
    // packets read so far that may still share a slot with those.
    std::function<std::optional<std::uint64_t>(double)> m_slot_of;
    double m_skip_end = 0, m_skip_offset = 0;
    std::deque<Packet> m_ahead;
    std::deque<double> m_times;
    bool m_read_all = false;
};
// The first video stream of the file, positioned at the keyframe before `start`.
std::expected<FrameSource, std::string> open_frame_source(const std::filesystem::path& path, double start, int threads = 0);

// swscale into one reused frame (area averaging, as a downscale wants).
// A swscale context that splits each picture over a few threads (the
// conversion of a large frame is as much work as its decoding or encoding).
std::expected<SwsContext*, std::string> threaded_scaler(int src_w, int src_h, AVPixelFormat src_format, int dst_w, int dst_h,
    AVPixelFormat dst_format, int flags);

class Scaler {
public:
    Scaler() = default;
    ~Scaler();
    Scaler(const Scaler&) = delete;
    Scaler& operator=(const Scaler&) = delete;
    bool convert(const AVFrame* frame, int width, int height, AVPixelFormat format);
    const AVFrame* output() const { return m_out.get(); }
    AVFrame* output() { return m_out.get(); }
    // The converted picture, handed over: the next conversion writes a new
    // one, in a buffer that a picture handed over before has given back
    // where there is one (a fresh mapping for every frame costs more page
    // faults than the conversion itself).
    Frame take_output() { return std::move(m_out); }

private:
    struct Key {
        int src_w, src_h, src_format, dst_w, dst_h, dst_format, colorspace, range;
        bool operator==(const Key&) const = default;
    };
    struct PoolDeleter {
        void operator()(AVBufferPool* p) const { av_buffer_pool_uninit(&p); }
    };
    bool new_output(int width, int height, AVPixelFormat format);

    SwsContext* m_context = nullptr;
    Key m_key {};
    Frame m_out;
    // Buffers of the output's size; each goes back to the pool when the
    // last picture holding it is freed, and the pool itself once both it
    // and every buffer are gone.
    std::unique_ptr<AVBufferPool, PoolDeleter> m_pool;
    int m_pool_w = 0, m_pool_h = 0;
    AVPixelFormat m_pool_format = AV_PIX_FMT_NONE;
};

// The MP4 exporter (mp4_export.cpp).
ExportOutcome export_mp4(const std::filesystem::path& source, const std::filesystem::path& destination, const Mp4Options& options);
// What a written file holds (mp4_export.cpp).
std::expected<Written, std::string> measure_written(const std::filesystem::path& path);

} // namespace platform::mav
