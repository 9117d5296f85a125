#include "record/recorder_stream.h"
#include "base/util.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>

using namespace recorder;
using platform::VideoCodec;

namespace {

constexpr PixelSize size_of(std::uint32_t w, std::uint32_t h) { return { w, h }; }

platform::ShareableWindow window(std::uint32_t id, int layer, bool on_screen = true)
{
    platform::ShareableWindow w;
    w.window_id = id;
    w.layer = layer;
    w.on_screen = on_screen;
    w.pid = 900 + id;
    return w;
}

} // namespace

TEST(RecorderSize, WorkedValuesAndLimitsPerCodec)
{
    EXPECT_EQ(pixel_size(1512, 982, 2, VideoCodec::H264), size_of(3024, 1964));
    EXPECT_EQ(pixel_size(5120, 2880, 1, VideoCodec::H264), size_of(4096, 2304));
    EXPECT_EQ(pixel_size(5120, 2880, 1, VideoCodec::Hevc), size_of(5120, 2880));
    // Tiny and odd areas: at least 2 on each side, always even.
    EXPECT_EQ(pixel_size(0.4, 0.4, 2, VideoCodec::H264), size_of(2, 2));
    EXPECT_EQ(pixel_size(1001, 601, 1, VideoCodec::H264), size_of(1000, 600));
    EXPECT_EQ(pixel_size(0, 0, 2, VideoCodec::H264), size_of(2, 2));
    // 4096 / 4237 × 4237 is a hair below 4096 in doubles: the floor takes 2047 pairs.
    EXPECT_EQ(pixel_size(4237, 100, 1, VideoCodec::H264).width, 4094u);
    // A long strip is capped by its longest side, keeping the aspect.
    EXPECT_EQ(pixel_size(10000, 100, 1, VideoCodec::H264), size_of(4096, 40));
    EXPECT_EQ(pixel_size(10000, 100, 1, VideoCodec::Hevc), size_of(8192, 80));
}

TEST(RecorderSize, EverySizeStaysInsideItsCodec)
{
    for (VideoCodec codec : { VideoCodec::H264, VideoCodec::Hevc }) {
        const CodecLimits limits = codec_limits(codec);
        for (double w = 1; w < 12000; w += 737.5)
            for (double h = 1; h < 9000; h += 611.25)
                for (double scale : { 1.0, 1.5, 2.0 }) {
                    const PixelSize s = pixel_size(w, h, scale, codec);
                    ASSERT_EQ(s.width % 2, 0u);
                    ASSERT_EQ(s.height % 2, 0u);
                    ASSERT_LE(s.width, limits.longest_side);
                    ASSERT_LE(s.height, limits.longest_side);
                    ASSERT_LE(double(s.width) * s.height, limits.pixels) << w << "×" << h << "@" << scale;
                    // Never scaled up, never more than a pixel pair below the scaled area inside the limits.
                    ASSERT_LE(s.width, std::max(2.0, w * scale));
                }
    }
}

TEST(RecorderRate, GifCapAndClamp)
{
    using actions::RecordingFormat;
    EXPECT_EQ(frame_rate(0, RecordingFormat::Video), 1u);
    EXPECT_EQ(frame_rate(1000, RecordingFormat::Video), 240u);
    EXPECT_EQ(frame_rate(60, RecordingFormat::Video), 60u);
    EXPECT_EQ(frame_rate(60, RecordingFormat::Gif), 30u);
    EXPECT_EQ(frame_rate(24, RecordingFormat::Gif), 24u);
    EXPECT_EQ(frame_rate(0, RecordingFormat::Gif), 1u);
    EXPECT_EQ(frame_interval(60), (platform::FrameInterval { 1, 60 }));
}

TEST(RecorderConfiguration, GifRecordsNoSoundAtThirtyFrames)
{
    StreamWish wish;
    wish.region = platform::RectF { 10, 20, 300, 200 };
    wish.size = { 600, 400 };
    wish.fps = 60;
    wish.system_audio = true;
    wish.microphone = true;
    wish.show_cursor = false;

    platform::StreamConfiguration video = stream_configuration(wish);
    EXPECT_EQ(video.source_rect, wish.region);
    EXPECT_EQ(video.width, 600u);
    EXPECT_EQ(video.height, 400u);
    EXPECT_EQ(video.minimum_frame_interval.timescale, 60);
    EXPECT_EQ(video.queue_depth, 12);
    EXPECT_FALSE(video.shows_cursor);
    EXPECT_TRUE(video.captures_audio);
    EXPECT_TRUE(video.excludes_current_process_audio);
    EXPECT_EQ(video.sample_rate, 48000);
    EXPECT_EQ(video.channel_count, 2);
    EXPECT_TRUE(video.captures_microphone);

    // A 4K frame is 33 MB: the queue holds three, not six.
    wish.size = { 3840, 2160 };
    EXPECT_EQ(stream_configuration(wish).queue_depth, 3);
    wish.size = { 600, 400 };

    wish.format = actions::RecordingFormat::Gif;
    platform::StreamConfiguration gif = stream_configuration(wish);
    EXPECT_EQ(gif.minimum_frame_interval, frame_interval(30));
    EXPECT_FALSE(gif.captures_audio);
    EXPECT_FALSE(gif.captures_microphone);
}

TEST(RecorderCodec, HevcOnlyWhenAvailableAndItsLimitsFollow)
{
    const std::vector<VideoCodec> both = { VideoCodec::H264, VideoCodec::Hevc };
    const std::vector<VideoCodec> h264 = { VideoCodec::H264 };
    EXPECT_EQ(recording_configuration("/tmp/a.mp4", true, both),
        (platform::RecordingConfiguration { "/tmp/a.mp4", VideoCodec::Hevc }));
    EXPECT_EQ(recording_configuration("/tmp/a.mp4", true, h264).codec, VideoCodec::H264);
    EXPECT_EQ(recording_configuration("/tmp/a.mp4", false, both).codec, VideoCodec::H264);
    EXPECT_EQ(effective_codec(true, {}), VideoCodec::H264);
    // HEVC wanted but missing: an H.264 file must not get HEVC's sizes.
    EXPECT_EQ(pixel_size(5120, 2880, 1, effective_codec(true, h264)), size_of(4096, 2304));
}

TEST(RecorderFilter, DisplayLeavesTheProgramOutButItsException)
{
    platform::ShareableContent content;
    content.windows = { window(5, platform::layer::NORMAL) };
    platform::ShareableDisplay display;
    display.display_id = 3;
    const platform::RectF region { 1, 2, 3, 4 };

    FilterChoice plain = choose_filter(content, display, std::nullopt, region, 4242, std::nullopt);
    EXPECT_EQ(plain.filter.kind, platform::ContentFilter::Kind::Display);
    EXPECT_EQ(plain.filter.display.display_id, 3u);
    EXPECT_EQ(plain.filter.excluded_applications, std::vector<std::int64_t> { 4242 });
    EXPECT_TRUE(plain.filter.excepted_windows.empty());
    EXPECT_EQ(plain.region, region);
    EXPECT_TRUE(plain.note.empty());

    FilterChoice excepted = choose_filter(content, display, std::nullopt, std::nullopt, 4242, 77u);
    EXPECT_EQ(excepted.filter.excepted_windows, std::vector<std::uint32_t> { 77 });
    EXPECT_FALSE(excepted.region);
}

TEST(RecorderFilter, WindowIncludesDesktopThenWindowThenException)
{
    platform::ShareableContent content; // front to back
    content.windows = { window(10, platform::layer::POPUP), window(20, platform::layer::NORMAL),
        window(30, platform::layer::DESKTOP), window(31, platform::layer::DESKTOP, false),
        window(32, platform::layer::DESKTOP - 5) };
    const platform::RectF frame { 50, 60, 200, 100 };

    FilterChoice found = choose_filter(content, {}, 20u, frame, 4242, 10u);
    EXPECT_EQ(found.filter.kind, platform::ContentFilter::Kind::Windows);
    EXPECT_EQ(found.filter.included_windows, (std::vector<std::uint32_t> { 32, 30, 20, 10 }));
    EXPECT_EQ(found.region, frame);
    EXPECT_TRUE(found.note.empty());

    // Gone: its region of the display, the program left out as usual.
    FilterChoice gone = choose_filter(content, {}, 99u, frame, 4242, std::nullopt);
    EXPECT_EQ(gone.filter.kind, platform::ContentFilter::Kind::Display);
    EXPECT_EQ(gone.region, frame);
    EXPECT_EQ(gone.filter.excluded_applications, std::vector<std::int64_t> { 4242 });
    EXPECT_EQ(gone.note, "no encontré la ventana a grabar; grabo su región");
}

TEST(RecorderFilter, ExceptionWaitsGrowThenGiveUpAtTheFifthMiss)
{
    double total = 0;
    std::uint32_t tries = 0;
    std::vector<double> waits;
    while (auto wait = exception_wait(tries)) {
        waits.push_back(*wait);
        total += *wait;
        ++tries;
    }
    ASSERT_EQ(waits.size(), 4u);
    EXPECT_DOUBLE_EQ(waits[0], 0.08);
    EXPECT_DOUBLE_EQ(waits[1], 0.16);
    EXPECT_DOUBLE_EQ(waits[2], 0.24);
    EXPECT_DOUBLE_EQ(waits[3], 0.32);
    EXPECT_NEAR(total, 0.8, 1e-12);
    EXPECT_FALSE(exception_wait(100));
}

TEST(RecorderDelegate, ForwardsEveryReportWithItsId)
{
    std::vector<Report> reports;
    RecorderDelegate delegate(7, [&](Report r) { reports.push_back(std::move(r)); });
    EXPECT_STREQ(delegate.class_name(), "VistropeRecorderDelegate");
    EXPECT_EQ(delegate.id(), 7u);

    delegate.stream_output(platform::StreamOutputType::Screen); // samples are not forwarded
    delegate.recording_started();
    delegate.recording_failed("disco lleno");
    delegate.stream_stopped("pantalla perdida");
    delegate.sound_unavailable("no hay servidor de sonido");
    delegate.recording_finished();
    const std::vector<Report> expected = {
        { Report::Kind::RecordingStarted, 7, "" },
        { Report::Kind::RecordingFailed, 7, "disco lleno" },
        { Report::Kind::StreamStopped, 7, "pantalla perdida" },
        { Report::Kind::SoundUnavailable, 7, "no hay servidor de sonido" },
        { Report::Kind::RecordingFinished, 7, "" },
    };
    EXPECT_EQ(reports, expected);
}

TEST(RecorderDelegate, ErrorTextNeverReadsAsSuccess)
{
    EXPECT_FALSE(error_text(std::nullopt));
    EXPECT_EQ(error_text(std::string("sin permiso")), "sin permiso");
    EXPECT_EQ(error_text(std::string()), "error sin descripción");
}

// Toasts name a cause only where the error text says one: the writer's and
// the file system's words for a full disk, a folder that is gone, one that
// cannot be written, and the loader's for a missing media module (whose own
// "no existe" is not the folder's).
TEST(RecorderFailure, ToastsNameTheCauseTheErrorSays)
{
    const std::string disk = util::error_text(ENOSPC);
    EXPECT_EQ(with_cause("No se pudo grabar", "al escribir /a/.b.mp4.x: " + disk), "No se pudo grabar: el disco está lleno");
    EXPECT_EQ(with_cause("No se pudo grabar", util::error_text(EDQUOT)), "No se pudo grabar: el disco está lleno");
    EXPECT_EQ(with_cause("No se pudo grabar", util::error_text(ENOENT)), "No se pudo grabar: la carpeta no existe");
    EXPECT_EQ(with_cause("No se pudo grabar", "no pude crear /x/y: " + util::error_text(ENOTDIR)),
        "No se pudo grabar: la carpeta no existe");
    EXPECT_EQ(with_cause("No se pudo guardar la grabación", util::error_text(EACCES)),
        "No se pudo guardar la grabación: no hay permiso para escribir en la carpeta");
    EXPECT_EQ(with_cause("No se pudo grabar", "no pude preparar la captura: no pude cargar el módulo de medios (/p/vistrope-media.so): "
        + util::error_text(ENOENT)), "No se pudo grabar: falta el módulo de medios");
    // Words that only contain a cause's text in passing, or none at all.
    EXPECT_EQ(with_cause("No se pudo grabar", "libx264: el códec no existe todavía"), "No se pudo grabar");
    EXPECT_EQ(with_cause("No se pudo grabar", "no encontré la pantalla 3"), "No se pudo grabar");
    EXPECT_EQ(with_cause("No se pudo grabar", ""), "No se pudo grabar");
}
