#include "clip_maker.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <cstring>
#include <memory>

namespace testing_support {

namespace {

std::string text(int code)
{
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buf, sizeof buf);
    return buf;
}

struct Ctx {
    AVCodecContext* c = nullptr;
    ~Ctx() { avcodec_free_context(&c); }
};

int drain(AVFormatContext* fmt, AVCodecContext* enc, AVStream* st, int64_t duration = 0)
{
    AVPacket* pkt = av_packet_alloc();
    int r;
    while ((r = avcodec_receive_packet(enc, pkt)) == 0) {
        // The last frame's length makes the file's duration.
        if (pkt->duration == 0)
            pkt->duration = duration;
        av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
        pkt->stream_index = st->index;
        if ((r = av_interleaved_write_frame(fmt, pkt)) < 0)
            break;
    }
    av_packet_free(&pkt);
    return r == AVERROR(EAGAIN) || r == AVERROR_EOF ? 0 : r;
}

} // namespace

int clip_level(int k)
{
    return 20 + (k * 37) % 200;
}

std::optional<std::string> make_clip(const std::filesystem::path& path, const ClipSpec& spec)
{
    std::vector<double> times = spec.times;
    if (times.empty() && spec.video)
        for (int k = 0; k < spec.frames; ++k)
            times.push_back(static_cast<double>(k) / spec.fps);
    const double length = times.empty() ? 1.0 : times.back() + 1.0 / spec.fps;

    AVFormatContext* fmt = nullptr;
    const std::string url = "file:" + path.string();
    if (int r = avformat_alloc_output_context2(&fmt, nullptr, "mp4", url.c_str()); r < 0)
        return text(r);
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> guard(fmt, [](AVFormatContext* f) {
        if (f->pb)
            avio_closep(&f->pb);
        avformat_free_context(f);
    });

    Ctx video, audio;
    AVStream* vst = nullptr;
    AVStream* ast = nullptr;
    AVStream* pic = nullptr;
    if (spec.video) {
        const AVCodec* codec = avcodec_find_encoder_by_name(spec.hevc ? "libx265" : "libx264");
        if (!codec)
            return std::string("no encoder");
        video.c = avcodec_alloc_context3(codec);
        video.c->width = spec.width;
        video.c->height = spec.height;
        video.c->pix_fmt = AV_PIX_FMT_YUV420P;
        video.c->time_base = spec.times.empty() ? AVRational { 1, spec.fps } : AVRational { 1, 1000 };
        video.c->sample_aspect_ratio = AVRational { spec.sar_num, spec.sar_den };
        video.c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (spec.bt709) {
            video.c->colorspace = AVCOL_SPC_BT709;
            video.c->color_primaries = AVCOL_PRI_BT709;
            video.c->color_trc = AVCOL_TRC_BT709;
        }
        av_opt_set(video.c->priv_data, "preset", "ultrafast", 0);
        if (spec.hevc)
            av_opt_set(video.c->priv_data, "x265-params", "log-level=none", 0);
        if (spec.b_frames > 0 && !spec.hevc) {
            video.c->max_b_frames = spec.b_frames;
            av_opt_set(video.c->priv_data, "x264-params", "b-pyramid=none:b-adapt=0", 0);
        }
        if (int r = avcodec_open2(video.c, codec, nullptr); r < 0)
            return text(r);
        vst = avformat_new_stream(fmt, nullptr);
        avcodec_parameters_from_context(vst->codecpar, video.c);
        vst->time_base = video.c->time_base;
        vst->sample_aspect_ratio = video.c->sample_aspect_ratio;
        if (spec.hevc)
            vst->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
        if (spec.rotation) {
            auto* m = reinterpret_cast<int32_t*>(av_stream_new_side_data(vst, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
            // Written this way, the demuxer reads back the matrix that players turn
            // clockwise by `rotation` (as a phone's portrait video reads).
            av_display_rotation_set(m, spec.rotation);
        }
    }
    if (spec.sine) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        audio.c = avcodec_alloc_context3(codec);
        audio.c->sample_rate = 44100;
        audio.c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&audio.c->ch_layout, 1);
        audio.c->time_base = AVRational { 1, 44100 };
        audio.c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (int r = avcodec_open2(audio.c, codec, nullptr); r < 0)
            return text(r);
        ast = avformat_new_stream(fmt, nullptr);
        avcodec_parameters_from_context(ast->codecpar, audio.c);
        ast->time_base = audio.c->time_base;
    }
    AVPacket* art = nullptr;
    if (spec.cover_art) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        Ctx jpeg;
        jpeg.c = avcodec_alloc_context3(codec);
        jpeg.c->width = 32;
        jpeg.c->height = 32;
        jpeg.c->pix_fmt = AV_PIX_FMT_YUVJ420P;
        jpeg.c->time_base = AVRational { 1, 25 };
        if (int r = avcodec_open2(jpeg.c, codec, nullptr); r < 0)
            return text(r);
        AVFrame* f = av_frame_alloc();
        f->width = 32;
        f->height = 32;
        f->format = AV_PIX_FMT_YUVJ420P;
        av_frame_get_buffer(f, 0);
        av_frame_make_writable(f);
        for (int p = 0; p < 3; ++p)
            for (int y = 0; y < (p ? 16 : 32); ++y)
                std::memset(f->data[p] + y * f->linesize[p], p ? 128 : 200, p ? 16 : 32);
        art = av_packet_alloc();
        avcodec_send_frame(jpeg.c, f);
        avcodec_send_frame(jpeg.c, nullptr);
        avcodec_receive_packet(jpeg.c, art);
        av_frame_free(&f);
        pic = avformat_new_stream(fmt, nullptr);
        avcodec_parameters_from_context(pic->codecpar, jpeg.c);
        pic->disposition |= AV_DISPOSITION_ATTACHED_PIC;
        pic->time_base = AVRational { 1, 90000 };
    }

    if (int r = avio_open(&fmt->pb, url.c_str(), AVIO_FLAG_WRITE); r < 0)
        return text(r);
    if (int r = avformat_write_header(fmt, nullptr); r < 0)
        return text(r);
    if (art) {
        art->stream_index = pic->index;
        art->flags |= AV_PKT_FLAG_KEY;
        art->pts = art->dts = 0;
        av_interleaved_write_frame(fmt, art);
        av_packet_free(&art);
    }

    if (spec.video) {
        const int64_t frame_ticks = std::llround(1.0 / spec.fps / av_q2d(video.c->time_base));
        AVFrame* f = av_frame_alloc();
        f->width = spec.width;
        f->height = spec.height;
        f->format = AV_PIX_FMT_YUV420P;
        av_frame_get_buffer(f, 0);
        for (size_t k = 0; k < times.size(); ++k) {
            av_frame_make_writable(f);
            // Video range luma for the full-range level.
            const int y_level = spec.yuv ? (*spec.yuv)[0] : 16 + (clip_level(static_cast<int>(k)) * 219 + 127) / 255;
            for (int y = 0; y < spec.height; ++y)
                std::memset(f->data[0] + y * f->linesize[0], y_level, spec.width);
            for (int p = 1; p < 3; ++p)
                for (int y = 0; y < (spec.height + 1) / 2; ++y)
                    std::memset(f->data[p] + y * f->linesize[p], spec.yuv ? (*spec.yuv)[p] : 128, (spec.width + 1) / 2);
            f->pts = std::llround(times[k] / av_q2d(video.c->time_base));
            if (int r = avcodec_send_frame(video.c, f); r < 0)
                return text(r);
            if (int r = drain(fmt, video.c, vst, frame_ticks); r < 0)
                return text(r);
        }
        av_frame_free(&f);
        avcodec_send_frame(video.c, nullptr);
        if (int r = drain(fmt, video.c, vst, frame_ticks); r < 0)
            return text(r);
    }
    if (spec.sine) {
        const int total = static_cast<int>(length * 44100);
        AVFrame* f = av_frame_alloc();
        f->nb_samples = audio.c->frame_size;
        f->format = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_copy(&f->ch_layout, &audio.c->ch_layout);
        f->sample_rate = 44100;
        av_frame_get_buffer(f, 0);
        for (int start = 0; start < total; start += audio.c->frame_size) {
            av_frame_make_writable(f);
            auto* s = reinterpret_cast<float*>(f->data[0]);
            for (int i = 0; i < audio.c->frame_size; ++i)
                s[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 440 * (start + i) / 44100.0));
            f->pts = start;
            avcodec_send_frame(audio.c, f);
            if (int r = drain(fmt, audio.c, ast); r < 0)
                return text(r);
        }
        av_frame_free(&f);
        avcodec_send_frame(audio.c, nullptr);
        if (int r = drain(fmt, audio.c, ast); r < 0)
            return text(r);
    }
    if (int r = av_write_trailer(fmt); r < 0)
        return text(r);
    return std::nullopt;
}

} // namespace testing_support
