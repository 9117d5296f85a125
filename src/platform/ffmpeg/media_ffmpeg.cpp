// The media layer on FFmpeg: libavformat for containers, libavcodec for
// decoding and encoding, libswscale for scaling to BGRA, libavfilter for the
// reference GIF pipeline.
#include "platform/media.h"
#include "platform/media_module.h"

#include "platform/ffmpeg/media_av.h"

#include "base/util.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavfilter/version_major.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <fmt/format.h>

#include <QTransform>

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <mutex>

namespace platform {

namespace mav {

std::string error_text(int code)
{
    // The user reads these: the system's own errors and the common
    // FFmpeg ones in Spanish, the rare rest as FFmpeg words them.
    if (code == AVERROR_INVALIDDATA)
        return "el archivo no es un video válido";
    if (code == AVERROR_DECODER_NOT_FOUND)
        return "no hay decodificador para este video";
    if (code == AVERROR_EOF)
        return "el archivo termina antes de tiempo";
    if (code < 0 && code > -4096)
        return util::error_text(AVUNERROR(code));
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

std::string locator(const std::filesystem::path& path)
{
    return "file:" + path.string();
}

std::expected<Input, std::string> open_input(const std::filesystem::path& path)
{
    AVFormatContext* raw = nullptr;
    const std::string url = locator(path);
    if (int r = avformat_open_input(&raw, url.c_str(), nullptr, nullptr); r < 0)
        return std::unexpected(error_text(r));
    Input input(raw);
    if (int r = avformat_find_stream_info(raw, nullptr); r < 0)
        return std::unexpected(error_text(r));
    return input;
}

int video_stream(const AVFormatContext* format)
{
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* s = format->streams[i];
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC))
            return static_cast<int>(i);
    }
    return -1;
}

int rotation_of(const AVStream* stream)
{
    const auto* matrix = reinterpret_cast<const int32_t*>(av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
    if (!matrix)
        return 0;
    const double ccw = av_display_rotation_get(matrix);
    if (std::isnan(ccw))
        return 0;
    // The matrix turns counter-clockwise; players turn the picture clockwise by its negation.
    int cw = static_cast<int>(std::lround(-ccw / 90.0)) * 90;
    cw %= 360;
    return cw < 0 ? cw + 360 : cw;
}

std::expected<Decoder, std::string> open_decoder(const AVStream* stream, int threads)
{
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (!codec)
        return std::unexpected(std::string("no hay decodificador para el video"));
    Decoder decoder(avcodec_alloc_context3(codec));
    if (!decoder)
        return std::unexpected(error_text(AVERROR(ENOMEM)));
    if (int r = avcodec_parameters_to_context(decoder.get(), stream->codecpar); r < 0)
        return std::unexpected(error_text(r));
    decoder->pkt_timebase = stream->time_base;
    decoder->thread_count = threads;
    decoder->thread_type = threads == 1 ? 0 : FF_THREAD_FRAME | FF_THREAD_SLICE;
    if (int r = avcodec_open2(decoder.get(), codec, nullptr); r < 0)
        return std::unexpected(error_text(r));
    return decoder;
}

double start_offset(const AVFormatContext* format)
{
    // Transport streams start at an arbitrary clock; MP4 starts at 0.
    return format->start_time != AV_NOPTS_VALUE && format->start_time > 0
        ? static_cast<double>(format->start_time) / AV_TIME_BASE
        : 0.0;
}

double frame_time(const AVFrame* frame, const AVStream* stream, double offset)
{
    int64_t ts = frame->best_effort_timestamp;
    if (ts == AV_NOPTS_VALUE)
        ts = frame->pts;
    if (ts == AV_NOPTS_VALUE)
        return 0.0;
    return static_cast<double>(ts) * av_q2d(stream->time_base) - offset;
}

void seek_before(AVFormatContext* format, int stream_index, double seconds)
{
    if (seconds <= 0)
        return;
    const AVStream* stream = format->streams[stream_index];
    const int64_t ts = static_cast<int64_t>(std::floor(seconds / av_q2d(stream->time_base)));
    // A failed seek leaves the file at its start: slower, still correct.
    av_seek_frame(format, stream_index, ts, AVSEEK_FLAG_BACKWARD);
}

// --- FrameSource ------------------------------------------------------------

FrameSource::FrameSource(Input input, Decoder decoder, int stream)
    : m_input(std::move(input))
    , m_decoder(std::move(decoder))
    , m_stream(stream)
    , m_packet(av_packet_alloc())
{
}

std::expected<Frame, std::string> FrameSource::next()
{
    for (;;) {
        Frame frame(av_frame_alloc());
        int r = avcodec_receive_frame(m_decoder.get(), frame.get());
        if (r == 0)
            return frame;
        if (r == AVERROR_EOF)
            return Frame();
        if (r != AVERROR(EAGAIN))
            return std::unexpected(error_text(r));
        if (m_flushed)
            return Frame();
        // The decoder wants input.
        if (auto sent = send_next(); !sent)
            return std::unexpected(sent.error());
    }
}

namespace {
// Packets read ahead of the decoder when skipping: B-frame reordering puts a
// slot's later picture at most a few packets away.
constexpr size_t LOOKAHEAD = 16;
}

void FrameSource::skip_replaced(std::function<std::optional<std::uint64_t>(double)> slot_of, double end, double offset)
{
    m_slot_of = std::move(slot_of);
    m_skip_end = end;
    m_skip_offset = offset;
}

bool FrameSource::replaced(double t) const
{
    const auto slot = m_slot_of(t);
    if (!slot)
        return false;
    return std::any_of(m_times.begin(), m_times.end(),
        [&](double later) { return later > t + 1e-9 && later < m_skip_end - 1e-9 && m_slot_of(later) == slot; });
}

std::expected<void, std::string> FrameSource::send_next()
{
    const auto send = [&](AVPacket* packet) -> std::expected<void, std::string> {
        const int r = avcodec_send_packet(m_decoder.get(), packet);
        if (r < 0 && r != AVERROR(EAGAIN) && r != AVERROR_INVALIDDATA)
            return std::unexpected(error_text(r));
        return {};
    };
    const auto time_of = [&](const AVPacket* packet) {
        return static_cast<double>(packet->pts) * av_q2d(stream()->time_base) - m_skip_offset;
    };
    if (!m_slot_of) {
        for (;;) {
            const int r = av_read_frame(m_input.get(), m_packet.get());
            if (r == AVERROR_EOF) {
                avcodec_send_packet(m_decoder.get(), nullptr);
                m_flushed = true;
                return {};
            }
            if (r < 0)
                return std::unexpected(error_text(r));
            if (m_packet->stream_index != m_stream) {
                av_packet_unref(m_packet.get());
                continue;
            }
            auto sent = send(m_packet.get());
            av_packet_unref(m_packet.get());
            return sent;
        }
    }
    while (!m_read_all && m_ahead.size() < LOOKAHEAD) {
        Packet packet(av_packet_alloc());
        if (!packet)
            return std::unexpected(error_text(AVERROR(ENOMEM)));
        const int r = av_read_frame(m_input.get(), packet.get());
        if (r == AVERROR_EOF) {
            m_read_all = true;
            break;
        }
        if (r < 0)
            return std::unexpected(error_text(r));
        if (packet->stream_index != m_stream)
            continue;
        if (packet->pts != AV_NOPTS_VALUE) {
            m_times.push_back(time_of(packet.get()));
            if (m_times.size() > 2 * LOOKAHEAD)
                m_times.pop_front();
        }
        m_ahead.push_back(std::move(packet));
    }
    if (m_ahead.empty()) {
        avcodec_send_packet(m_decoder.get(), nullptr);
        m_flushed = true;
        return {};
    }
    Packet packet = std::move(m_ahead.front());
    m_ahead.pop_front();
    // Only pictures nothing refers to are left out, so every other picture
    // decodes exactly as before.
    const bool skip = packet->pts != AV_NOPTS_VALUE && replaced(time_of(packet.get()));
    m_decoder->skip_frame = skip ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
    return send(packet.get());
}

const AVStream* FrameSource::stream() const
{
    return m_input->streams[m_stream];
}

std::expected<FrameSource, std::string> open_frame_source(const std::filesystem::path& path, double start, int threads)
{
    auto input = open_input(path);
    if (!input)
        return std::unexpected(input.error());
    const int index = video_stream(input->get());
    if (index < 0)
        return std::unexpected(std::string("el archivo no tiene video"));
    auto decoder = open_decoder((*input)->streams[index], threads);
    if (!decoder)
        return std::unexpected(decoder.error());
    seek_before(input->get(), index, start + start_offset(input->get()));
    return FrameSource(std::move(*input), std::move(*decoder), index);
}

// --- Scaler -----------------------------------------------------------------

std::expected<SwsContext*, std::string> threaded_scaler(int src_w, int src_h, AVPixelFormat src_format, int dst_w, int dst_h,
    AVPixelFormat dst_format, int flags)
{
    SwsContext* context = sws_alloc_context();
    if (!context)
        return std::unexpected(error_text(AVERROR(ENOMEM)));
    av_opt_set_int(context, "srcw", src_w, 0);
    av_opt_set_int(context, "srch", src_h, 0);
    av_opt_set_int(context, "src_format", src_format, 0);
    av_opt_set_int(context, "dstw", dst_w, 0);
    av_opt_set_int(context, "dsth", dst_h, 0);
    av_opt_set_int(context, "dst_format", dst_format, 0);
    av_opt_set_int(context, "sws_flags", flags, 0);
    av_opt_set_int(context, "threads", std::min(4u, util::parallelism()), 0);
    if (int rc = sws_init_context(context, nullptr, nullptr); rc < 0) {
        sws_freeContext(context);
        return std::unexpected(error_text(rc));
    }
    return context;
}

bool Scaler::convert(const AVFrame* frame, int width, int height, AVPixelFormat format)
{
    const Key key { frame->width, frame->height, frame->format, width, height, format, frame->colorspace, frame->color_range };
    if (!m_context || !(key == m_key)) {
        sws_freeContext(m_context);
        m_context = nullptr;
        auto made = threaded_scaler(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), width, height, format, SWS_AREA);
        if (!made)
            return false;
        m_context = *made;
        m_key = key;
        // Pictures say which matrix and range they use (HD recordings: BT.709);
        // swscale would read every one as BT.601, shifting the colours.
        int* inv_table = nullptr;
        int* table = nullptr;
        int src_range = 0, dst_range = 0, brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(m_context, &inv_table, &src_range, &table, &dst_range, &brightness, &contrast, &saturation) >= 0) {
            const int space = frame->colorspace == AVCOL_SPC_UNSPECIFIED || frame->colorspace == AVCOL_SPC_RGB ? SWS_CS_DEFAULT
                                                                                                               : frame->colorspace;
            if (frame->color_range == AVCOL_RANGE_JPEG)
                src_range = 1;
            sws_setColorspaceDetails(m_context, sws_getCoefficients(space), src_range, table, dst_range, brightness, contrast,
                saturation);
        }
    }
    if (!m_out || m_out->width != width || m_out->height != height || m_out->format != format) {
        if (!new_output(width, height, format))
            return false;
    } else if (av_frame_make_writable(m_out.get()) < 0) {
        // An encoder may still hold the last picture; it gets a fresh buffer.
        return false;
    }
    return sws_scale_frame(m_context, m_out.get(), frame) >= 0;
}

bool Scaler::new_output(int width, int height, AVPixelFormat format)
{
    // Rows aligned as av_frame_get_buffer aligns them, for swscale's SIMD.
    constexpr int ALIGN = 64;
    m_out = Frame();
    if (!m_pool || m_pool_w != width || m_pool_h != height || m_pool_format != format) {
        const int size = av_image_get_buffer_size(format, width, height, ALIGN);
        if (size <= 0)
            return false;
        m_pool.reset(av_buffer_pool_init(static_cast<size_t>(size), nullptr));
        if (!m_pool)
            return false;
        m_pool_w = width;
        m_pool_h = height;
        m_pool_format = format;
    }
    Frame out(av_frame_alloc());
    if (!out)
        return false;
    out->width = width;
    out->height = height;
    out->format = format;
    out->buf[0] = av_buffer_pool_get(m_pool.get());
    if (!out->buf[0]
        || av_image_fill_arrays(out->data, out->linesize, out->buf[0]->data, format, width, height, ALIGN) < 0)
        return false;
    m_out = std::move(out);
    return true;
}

Scaler::~Scaler()
{
    sws_freeContext(m_context);
}

} // namespace mav

namespace {

using mav::Frame;

// --- Frame reader -------------------------------------------------------------

class SampleFFmpeg final : public VideoSample {
public:
    SampleFFmpeg(Frame frame, double time, std::shared_ptr<mav::Scaler> scaler, int width, int height)
        : m_frame(std::move(frame))
        , m_scaler(std::move(scaler))
        , m_time(time)
        , m_width(width)
        , m_height(height)
    {
    }
    double time() const override { return m_time; }
    std::optional<BgraView> bgra() override
    {
        if (!m_converted) {
            // The reader's one scaler serves every sample; the picture it
            // makes is this sample's own, so a later sample's conversion
            // leaves this view as it was.
            if (!m_scaler->convert(m_frame.get(), m_width, m_height, AV_PIX_FMT_BGRA))
                return std::nullopt;
            m_converted = m_scaler->take_output();
            m_frame = Frame(); // the decoder's picture is not needed any more
        }
        return BgraView { m_converted->data[0], static_cast<size_t>(m_width), static_cast<size_t>(m_height),
            static_cast<size_t>(m_converted->linesize[0]) };
    }

private:
    Frame m_frame;
    std::shared_ptr<mav::Scaler> m_scaler;
    double m_time;
    int m_width, m_height;
    Frame m_converted;
};

class FrameReaderFFmpeg final : public FrameReader {
public:
    FrameReaderFFmpeg(mav::FrameSource source, double start, double length, int width, int height)
        : m_source(std::move(source))
        , m_offset(mav::start_offset(m_source.input()))
        , m_start(start)
        , m_end(start + length)
        , m_width(width)
        , m_height(height)
        , m_scaler(std::make_shared<mav::Scaler>())
    {
    }

    void use_last_of_each_slot(std::function<std::optional<std::uint64_t>(double)> slot_of) override
    {
        m_source.skip_replaced(std::move(slot_of), m_end, m_offset);
    }

    std::expected<std::unique_ptr<VideoSample>, std::string> next() override
    {
        while (!m_done) {
            auto frame = m_source.next();
            if (!frame)
                return std::unexpected(frame.error());
            if (!*frame) {
                m_done = true;
                break;
            }
            const double t = mav::frame_time(frame->get(), m_source.stream(), m_offset);
            if (t < m_start - 1e-9) {
                // The frame on screen when the range starts is the last one before it.
                m_before = std::move(*frame);
                m_before_time = t;
                continue;
            }
            if (t >= m_end - 1e-9) {
                m_done = true;
                break;
            }
            if (m_before && t > m_start + 1e-6)
                m_queue.push_back(take_before());
            m_before = Frame();
            m_queue.push_back(make(std::move(*frame), t));
            break;
        }
        if (m_done && m_before)
            m_queue.push_back(take_before());
        if (m_queue.empty())
            return std::unique_ptr<VideoSample>();
        auto sample = std::move(m_queue.front());
        m_queue.pop_front();
        return sample;
    }

private:
    std::unique_ptr<VideoSample> make(Frame frame, double t)
    {
        return std::make_unique<SampleFFmpeg>(std::move(frame), t, m_scaler, m_width, m_height);
    }
    std::unique_ptr<VideoSample> take_before()
    {
        return make(std::move(m_before), m_before_time);
    }

    mav::FrameSource m_source;
    double m_offset, m_start, m_end;
    int m_width, m_height;
    std::shared_ptr<mav::Scaler> m_scaler;
    Frame m_before;
    double m_before_time = 0;
    std::deque<std::unique_ptr<VideoSample>> m_queue;
    bool m_done = false;
};

// --- Reference GIF writer -----------------------------------------------------

// libavfilter serves only this writer (the comparison of `--gif-bench` and the
// tests): it is opened on the first call rather than linked, since it and what
// it brings cost every other use of the module (a `--gif`, a recording) about
// 25 ms of loading. Never closed.
struct Filters {
    decltype(&avfilter_graph_alloc) graph_alloc;
    decltype(&avfilter_graph_free) graph_free;
    decltype(&avfilter_get_by_name) get_by_name;
    decltype(&avfilter_graph_create_filter) create_filter;
    decltype(&avfilter_inout_alloc) inout_alloc;
    decltype(&avfilter_inout_free) inout_free;
    decltype(&avfilter_graph_parse_ptr) parse_ptr;
    decltype(&avfilter_graph_config) config;
    decltype(&av_buffersrc_add_frame) add_frame;
    decltype(&av_buffersink_get_frame) get_frame;
};

std::expected<const Filters*, std::string> load_filters()
{
    static const auto* loaded = [] {
        using Result = std::expected<const Filters*, std::string>;
        const std::string name = fmt::format("libavfilter.so.{}", LIBAVFILTER_VERSION_MAJOR);
        void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL);
        if (!handle) {
            const char* error = dlerror();
            return new Result(std::unexpected(fmt::format("no pude cargar {}: {}", name, error ? error : "dlopen falló")));
        }
        auto* f = new Filters {};
        bool all = true;
        const auto bind = [&](auto& slot, const char* symbol) {
            slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, symbol));
            all = all && slot;
        };
        bind(f->graph_alloc, "avfilter_graph_alloc");
        bind(f->graph_free, "avfilter_graph_free");
        bind(f->get_by_name, "avfilter_get_by_name");
        bind(f->create_filter, "avfilter_graph_create_filter");
        bind(f->inout_alloc, "avfilter_inout_alloc");
        bind(f->inout_free, "avfilter_inout_free");
        bind(f->parse_ptr, "avfilter_graph_parse_ptr");
        bind(f->config, "avfilter_graph_config");
        bind(f->add_frame, "av_buffersrc_add_frame");
        bind(f->get_frame, "av_buffersink_get_frame");
        if (!all)
            return new Result(std::unexpected(fmt::format("{} no tiene las funciones de filtros que el programa usa", name)));
        return new Result(f);
    }();
    return *loaded;
}

// The muxer writes into memory; the buffer is freed however writing ends.
struct DynamicOutput {
    AVFormatContext* format = nullptr;
    ~DynamicOutput()
    {
        if (!format)
            return;
        if (format->pb) {
            uint8_t* bytes = nullptr;
            avio_close_dyn_buf(format->pb, &bytes);
            av_free(bytes);
        }
        avformat_free_context(format);
    }
};

std::expected<std::vector<uint8_t>, std::string> write_gif_ffmpeg(std::span<const GifFrameView> frames, uint32_t width,
    uint32_t height)
{
    if (frames.empty())
        return std::unexpected(std::string("no hay cuadros"));
    const auto filters = load_filters();
    if (!filters)
        return std::unexpected(filters.error());
    const Filters& fx = **filters;
    const auto graph_free = [&fx](AVFilterGraph* g) { fx.graph_free(&g); };
    std::unique_ptr<AVFilterGraph, decltype(graph_free)> graph(fx.graph_alloc(), graph_free);
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    const std::string args = fmt::format("video_size={}x{}:pix_fmt={}:time_base=1/100:pixel_aspect=1/1", width, height,
        static_cast<int>(AV_PIX_FMT_BGR0));
    if (!graph)
        return std::unexpected(mav::error_text(AVERROR(ENOMEM)));
    if (int r = fx.create_filter(&source, fx.get_by_name("buffer"), "in", args.c_str(), nullptr, graph.get()); r < 0)
        return std::unexpected(mav::error_text(r));
    if (int r = fx.create_filter(&sink, fx.get_by_name("buffersink"), "out", nullptr, nullptr, graph.get()); r < 0)
        return std::unexpected(mav::error_text(r));
    AVFilterInOut* outputs = fx.inout_alloc();
    AVFilterInOut* inputs = fx.inout_alloc();
    if (!outputs || !inputs) {
        fx.inout_free(&inputs);
        fx.inout_free(&outputs);
        return std::unexpected(mav::error_text(AVERROR(ENOMEM)));
    }
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    int r = fx.parse_ptr(graph.get(), "split[a][b];[a]palettegen[p];[b][p]paletteuse", &inputs, &outputs, nullptr);
    fx.inout_free(&inputs);
    fx.inout_free(&outputs);
    if (r < 0 || (r = fx.config(graph.get(), nullptr)) < 0)
        return std::unexpected(mav::error_text(r));

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_GIF);
    if (!codec)
        return std::unexpected(std::string("no hay codificador GIF"));
    mav::Encoder encoder(avcodec_alloc_context3(codec));
    encoder->width = static_cast<int>(width);
    encoder->height = static_cast<int>(height);
    encoder->pix_fmt = AV_PIX_FMT_PAL8;
    encoder->time_base = AVRational { 1, 100 };
    if ((r = avcodec_open2(encoder.get(), codec, nullptr)) < 0)
        return std::unexpected(mav::error_text(r));

    DynamicOutput output;
    if ((r = avformat_alloc_output_context2(&output.format, nullptr, "gif", nullptr)) < 0)
        return std::unexpected(mav::error_text(r));
    AVFormatContext* raw = output.format;
    AVStream* stream = avformat_new_stream(raw, nullptr);
    if (!stream)
        return std::unexpected(mav::error_text(AVERROR(ENOMEM)));
    avcodec_parameters_from_context(stream->codecpar, encoder.get());
    stream->time_base = encoder->time_base;
    if ((r = avio_open_dyn_buf(&raw->pb)) < 0)
        return std::unexpected(mav::error_text(r));
    AVDictionary* options = nullptr;
    av_dict_set(&options, "loop", "-1", 0);
    // The muxer times each frame by the next one's start; the last gets its own.
    av_dict_set(&options, "final_delay", std::to_string(frames.back().delay).c_str(), 0);
    r = avformat_write_header(raw, &options);
    av_dict_free(&options);
    if (r < 0)
        return std::unexpected(mav::error_text(r));

    std::vector<int64_t> starts;
    int64_t clock = 0;
    for (const auto& f : frames) {
        starts.push_back(clock);
        clock += f.delay;
    }
    mav::Packet packet(av_packet_alloc());
    auto drain_encoder = [&]() -> int {
        for (;;) {
            int e = avcodec_receive_packet(encoder.get(), packet.get());
            if (e == AVERROR(EAGAIN) || e == AVERROR_EOF)
                return 0;
            if (e < 0)
                return e;
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            packet->stream_index = 0;
            if ((e = av_interleaved_write_frame(raw, packet.get())) < 0)
                return e;
        }
    };
    size_t delivered = 0;
    auto drain_graph = [&]() -> int {
        for (;;) {
            Frame filtered(av_frame_alloc());
            int e = fx.get_frame(sink, filtered.get());
            if (e == AVERROR(EAGAIN) || e == AVERROR_EOF)
                return 0;
            if (e < 0)
                return e;
            const size_t k = std::min(delivered++, frames.size() - 1);
            filtered->pts = starts[k];
            if ((e = avcodec_send_frame(encoder.get(), filtered.get())) < 0)
                return e;
            if ((e = drain_encoder()) < 0)
                return e;
        }
    };
    for (size_t k = 0; k < frames.size(); ++k) {
        Frame in(av_frame_alloc());
        in->width = static_cast<int>(width);
        in->height = static_cast<int>(height);
        in->format = AV_PIX_FMT_BGR0;
        in->pts = starts[k];
        if ((r = av_frame_get_buffer(in.get(), 0)) < 0)
            return std::unexpected(mav::error_text(r));
        for (uint32_t y = 0; y < height; ++y)
            std::memcpy(in->data[0] + static_cast<size_t>(y) * in->linesize[0], frames[k].pixels.data() + static_cast<size_t>(y) * width,
                static_cast<size_t>(width) * 4);
        if ((r = fx.add_frame(source, in.get())) < 0 || (r = drain_graph()) < 0)
            return std::unexpected(mav::error_text(r));
    }
    if ((r = fx.add_frame(source, nullptr)) < 0 || (r = drain_graph()) < 0)
        return std::unexpected(mav::error_text(r));
    if ((r = avcodec_send_frame(encoder.get(), nullptr)) < 0 || (r = drain_encoder()) < 0)
        return std::unexpected(mav::error_text(r));
    if ((r = av_write_trailer(raw)) < 0)
        return std::unexpected(mav::error_text(r));
    uint8_t* bytes = nullptr;
    const int size = avio_close_dyn_buf(raw->pb, &bytes);
    raw->pb = nullptr;
    std::vector<uint8_t> file(bytes, bytes + std::max(size, 0));
    av_free(bytes);
    return file;
}

// --- Thumbnail ---------------------------------------------------------------

std::expected<QImage, std::string> thumbnail_ffmpeg(const std::filesystem::path& path, double max_side)
{
    auto source = mav::open_frame_source(path, 0, 1);
    if (!source)
        return std::unexpected(source.error());
    const double offset = mav::start_offset(source->input());
    auto frame = source->next();
    if (!frame)
        return std::unexpected(frame.error());
    if (!*frame)
        return std::unexpected(std::string("el video no tiene cuadros"));
    if (mav::frame_time(frame->get(), source->stream(), offset) > 0.5 + 1e-9)
        return std::unexpected(std::string("no hay cuadro en el primer medio segundo"));

    const AVStream* stream = source->stream();
    const AVRational sar = av_guess_sample_aspect_ratio(source->input(), const_cast<AVStream*>(stream), frame->get());
    double w = (*frame)->width * (sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0);
    double h = (*frame)->height;
    const int rotation = mav::rotation_of(stream);
    const bool sideways = rotation == 90 || rotation == 270;
    // Fit the picture as shown (after turning) into the square, never enlarging.
    const double shown_w = sideways ? h : w, shown_h = sideways ? w : h;
    const double scale = max_side > 0 ? std::min({ 1.0, max_side / shown_w, max_side / shown_h }) : 1.0;
    const int out_w = std::max(1, static_cast<int>(std::lround(w * scale)));
    const int out_h = std::max(1, static_cast<int>(std::lround(h * scale)));

    mav::Scaler scaler;
    if (!scaler.convert(frame->get(), out_w, out_h, AV_PIX_FMT_BGRA))
        return std::unexpected(std::string("no pude convertir el cuadro"));
    const AVFrame* out = scaler.output();
    QImage image(out->data[0], out_w, out_h, out->linesize[0], QImage::Format_RGB32);
    QImage owned = image.copy();
    if (rotation != 0)
        owned = owned.transformed(QTransform().rotate(rotation));
    return owned;
}

class MediaFFmpeg final : public Media {
public:
    std::expected<MediaProbe, std::string> probe(const std::filesystem::path& path) override
    {
        auto input = mav::open_input(path);
        if (!input)
            return std::unexpected(input.error());
        const AVFormatContext* format = input->get();
        const int index = mav::video_stream(format);
        if (index < 0)
            return std::unexpected(std::string("el archivo no tiene video"));
        AVStream* stream = format->streams[index];
        MediaProbe probe;
        const AVRational sar = av_guess_sample_aspect_ratio(input->get(), stream, nullptr);
        probe.width = stream->codecpar->width * (sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0);
        probe.height = stream->codecpar->height;
        probe.rotation = mav::rotation_of(stream);
        if (format->duration != AV_NOPTS_VALUE)
            probe.duration = static_cast<double>(format->duration) / AV_TIME_BASE;
        else if (stream->duration != AV_NOPTS_VALUE)
            probe.duration = static_cast<double>(stream->duration) * av_q2d(stream->time_base);
        else
            probe.duration = std::nan("");
        for (unsigned i = 0; i < format->nb_streams; ++i)
            probe.has_audio = probe.has_audio || format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        return probe;
    }

    std::expected<std::unique_ptr<FrameReader>, std::string> open_frames(const std::filesystem::path& path, double start,
        double length, uint32_t width, uint32_t height) override
    {
        if (width == 0 || height == 0 || width > 65535 || height > 65535)
            return std::unexpected(std::string("tamaño de salida inválido"));
        auto source = mav::open_frame_source(path, start);
        if (!source)
            return std::unexpected(source.error());
        return std::unique_ptr<FrameReader>(
            new FrameReaderFFmpeg(std::move(*source), start, length, static_cast<int>(width), static_cast<int>(height)));
    }

    std::expected<QImage, std::string> thumbnail(const std::filesystem::path& path, double max_side) override
    {
        return thumbnail_ffmpeg(path, max_side);
    }

    ExportOutcome export_mp4(const std::filesystem::path& source, const std::filesystem::path& destination,
        const Mp4Options& options) override
    {
        return mav::export_mp4(source, destination, options);
    }

    std::expected<Written, std::string> measure(const std::filesystem::path& path) override
    {
        return mav::measure_written(path);
    }

    std::expected<std::vector<uint8_t>, std::string> write_gif(std::span<const GifFrameView> frames, uint32_t width,
        uint32_t height) override
    {
        return write_gif_ffmpeg(frames, width, height);
    }
};

} // namespace

std::unique_ptr<Media> ffmpeg::create_media()
{
    // Failures come back as values; the libraries' chatter (palette
    // statistics, codec notes) would only fill standard error.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
    return std::make_unique<MediaFFmpeg>();
}

std::pair<int, int> export_size(int width, int height, std::uint8_t resolution)
{
    const auto even = [](int v) { return std::max(2, v - v % 2); };
    if (resolution == 0 || width <= 0 || height <= 0)
        return { width, height };
    const double box_w = resolution == 1 ? 1920 : 1280, box_h = resolution == 1 ? 1080 : 720;
    const double scale = std::min({ 1.0, box_w / width, box_h / height });
    return { even(static_cast<int>(std::lround(width * scale))), even(static_cast<int>(std::lround(height * scale))) };
}

} // namespace platform
