// The FFmpeg media layer on videos the tests make with libav: probing,
// thumbnails, frame reading with ranges, MP4 exports and the reference GIF
// writer; and the video module's conversion and command line on top of it.
#include "platform/media.h"
#include "platform/ffmpeg/media_av.h"
#include "record/video.h"

#include "clip_maker.h"
#include "qt_wait.h"
#include "test_util.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <QBuffer>
#include <QImageReader>
#include <QProcess>

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <thread>
#include <functional>
#include <map>

namespace fs = std::filesystem;
using testing_support::ClipSpec;
using testing_support::clip_level;
using testing_support::make_clip;
using testing_support::TempDir;

namespace {

class MediaFFmpegTest : public ::testing::Test {
protected:
    void SetUp() override { video::set_media(nullptr); }

    fs::path clip(const std::string& name, const ClipSpec& spec)
    {
        const fs::path path = m_dir.path() / name;
        const auto error = make_clip(path, spec);
        EXPECT_FALSE(error) << *error;
        return path;
    }

    // The grey level in the middle of a picture.
    static int level(const QImage& image)
    {
        return qGray(image.pixel(image.width() / 2, image.height() / 2));
    }

    // The levels of the frames decode_frames hands on, and their delays.
    static std::vector<std::pair<int, int>> decoded(const fs::path& path, const video::GifSettings& settings)
    {
        std::vector<std::pair<int, int>> out;
        auto r = video::decode_frames(path, settings, [&](gif::Frame f, std::uint32_t w, std::uint32_t h) -> std::expected<void, std::string> {
            const std::uint32_t word = f.pixels[(h / 2) * w + w / 2];
            out.emplace_back(static_cast<int>(word & 0xFF), f.delay);
            return {};
        });
        EXPECT_TRUE(r) << r.error();
        return out;
    }

    platform::ExportOutcome export_mp4(const fs::path& from, const fs::path& to, platform::Mp4Options options)
    {
        return m_media->export_mp4(from, to, options);
    }

    TempDir m_dir;
    std::unique_ptr<platform::Media> m_media = platform::create_ffmpeg_media();
};

std::string codec_tag(const fs::path& path)
{
    AVFormatContext* f = nullptr;
    if (avformat_open_input(&f, ("file:" + path.string()).c_str(), nullptr, nullptr) < 0)
        return {};
    avformat_find_stream_info(f, nullptr);
    const std::uint32_t tag = f->streams[0]->codecpar->codec_tag;
    avformat_close_input(&f);
    return std::string { char(tag & 0xFF), char((tag >> 8) & 0xFF), char((tag >> 16) & 0xFF), char(tag >> 24) };
}

} // namespace

TEST_F(MediaFFmpegTest, ProbeReadsSizeSoundRotationAndSkipsCoverArt)
{
    ClipSpec spec;
    spec.sine = true;
    spec.rotation = 90;
    spec.sar_num = 3;
    spec.sar_den = 2;
    // A colon in the name would be a protocol without the "file:" prefix.
    const fs::path path = clip("a:b.mp4", spec);
    auto probe = m_media->probe(path);
    ASSERT_TRUE(probe) << probe.error();
    EXPECT_DOUBLE_EQ(probe->width, 96);
    EXPECT_DOUBLE_EQ(probe->height, 48);
    EXPECT_EQ(probe->rotation, 90);
    EXPECT_NEAR(probe->duration, 1.0, 0.05);
    EXPECT_TRUE(probe->has_audio);
    EXPECT_EQ(video::info(path), (video::VideoInfo { 96, 48, probe->duration, true, 90 }));

    ClipSpec song;
    song.video = false;
    song.sine = true;
    song.cover_art = true;
    const fs::path music = clip("song.mp4", song);
    auto none = m_media->probe(music);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error(), "el archivo no tiene video");
    EXPECT_FALSE(video::info(music));
    EXPECT_FALSE(video::info(m_dir.path() / "missing.mp4"));
    EXPECT_FALSE(video::thumbnail(music, 640));
}

TEST_F(MediaFFmpegTest, ThumbnailsAreTurnedFittedAndNeverEnlarged)
{
    ClipSpec spec;
    spec.width = 160;
    spec.height = 90;
    spec.rotation = 90;
    const fs::path portrait = clip("portrait.mp4", spec);
    auto big = video::thumbnail(portrait, 640);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), QSize(90, 160));
    EXPECT_NEAR(level(*big), clip_level(0), 3);
    auto small = video::thumbnail(portrait, 64);
    ASSERT_TRUE(small);
    EXPECT_EQ(small->height(), 64);
    EXPECT_EQ(small->width(), 36);
}

TEST_F(MediaFFmpegTest, FramesLandOnTheirSlotsAndRangesStartOnTime)
{
    const fs::path path = clip("steady.mp4", ClipSpec {});
    // 1 s at 30 fps read at 15: samples 0, 2, 4, ... (the later of each pair).
    auto frames = decoded(path, { std::nullopt, 15, 800 });
    ASSERT_EQ(frames.size(), 15u);
    for (int k = 0; k < 15; ++k)
        EXPECT_NEAR(frames[static_cast<size_t>(k)].first, clip_level(2 * k), 3) << k;
    EXPECT_EQ(frames[0].second, 7);

    // From 0.5 s: the frame on screen then comes first.
    auto ranged = decoded(path, { std::make_pair(0.51, 0.8), 30, 800 });
    ASSERT_FALSE(ranged.empty());
    EXPECT_NEAR(ranged[0].first, clip_level(15), 3);
    EXPECT_EQ(ranged.size(), 9u);

    // With unreferenced B-frames the reader leaves some pictures out; the
    // frames used are the same.
    ClipSpec with_b;
    with_b.b_frames = 3;
    const fs::path b_path = clip("b-frames.mp4", with_b);
    EXPECT_EQ(decoded(b_path, { std::nullopt, 15, 800 }), frames);
    EXPECT_EQ(decoded(b_path, { std::make_pair(0.51, 0.8), 30, 800 }), ranged);

    // Variable rate: a one-second pause is one long frame.
    ClipSpec vfr;
    vfr.times = { 0.0, 0.1, 1.1, 1.2 };
    vfr.fps = 10;
    auto paused = decoded(clip("vfr.mp4", vfr), { std::nullopt, 10, 800 });
    ASSERT_EQ(paused.size(), 4u);
    EXPECT_EQ(paused[1].second, 100);
    EXPECT_NEAR(paused[2].first, clip_level(2), 3);
}

TEST_F(MediaFFmpegTest, PicturesAreReadWithTheirOwnColourMatrix)
{
    // Y 81, U 90, V 240 is pure red in BT.601; in BT.709 green comes out near 24.
    ClipSpec spec;
    spec.frames = 3;
    spec.yuv = std::array<int, 3> { 81, 90, 240 };
    const auto green = [&](const fs::path& path) {
        int g = -1;
        auto r = video::decode_frames(path, { std::nullopt, 15, 800 }, [&](gif::Frame f, std::uint32_t, std::uint32_t) -> std::expected<void, std::string> {
            g = static_cast<int>((f.pixels[100] >> 8) & 0xFF);
            return {};
        });
        EXPECT_TRUE(r);
        return g;
    };
    EXPECT_NEAR(green(clip("601.mp4", spec)), 0, 3);
    spec.bt709 = true;
    const fs::path hd = clip("709.mp4", spec);
    EXPECT_NEAR(green(hd), 24, 3);
    auto thumb = m_media->thumbnail(hd, 640);
    ASSERT_TRUE(thumb);
    EXPECT_NEAR(qGreen(thumb->pixel(10, 10)), 24, 3);
}

TEST_F(MediaFFmpegTest, ExportOriginalCopiesTheRangeFromItsStart)
{
    ClipSpec spec;
    spec.frames = 60;
    spec.sine = true;
    const fs::path path = clip("two.mp4", spec);
    const fs::path out = m_dir.path() / "cut.mp4";
    auto outcome = export_mp4(path, out, { std::make_pair(0.5, 1.5), false, 0 });
    ASSERT_EQ(outcome.status, platform::ExportStatus::Completed) << outcome.error.value_or("");
    auto probe = m_media->probe(out);
    ASSERT_TRUE(probe) << probe.error();
    EXPECT_NEAR(probe->duration, 1.0, 1.0 / 30 + 0.03);
    EXPECT_TRUE(probe->has_audio);
    auto first = m_media->thumbnail(out, 0);
    ASSERT_TRUE(first);
    EXPECT_NEAR(level(*first), clip_level(15), 3);

    // Muted, the rotation stays and every sound goes.
    ClipSpec turned = spec;
    turned.rotation = 270;
    const fs::path rotated = clip("turned.mp4", turned);
    outcome = export_mp4(rotated, m_dir.path() / "mute.mp4", { std::nullopt, true, 0 });
    ASSERT_EQ(outcome.status, platform::ExportStatus::Completed);
    probe = m_media->probe(m_dir.path() / "mute.mp4");
    ASSERT_TRUE(probe);
    EXPECT_FALSE(probe->has_audio);
    EXPECT_EQ(probe->rotation, 270);

    // An empty range fails and leaves nothing behind.
    outcome = export_mp4(path, m_dir.path() / "none.mp4", { std::make_pair(1.5, 0.5), false, 0 });
    EXPECT_EQ(outcome.status, platform::ExportStatus::Failed);
    EXPECT_FALSE(fs::exists(m_dir.path() / "none.mp4"));
}

// The sound tracks an export keeps of a file that is not a recording with
// its ahead sound: a user's two tracks both, and a track marked as ahead
// sound that continues no other (cut out of a recording by another program)
// as the file's sound.
TEST_F(MediaFFmpegTest, ExportKeepsEverySoundTrackThatContinuesNoOther)
{
    ClipSpec spec;
    spec.sine = true;
    const fs::path path = clip("tone.mp4", spec);
    const auto remuxed = [&](const char* name, QStringList args) {
        const fs::path to = m_dir.path() / name;
        QProcess ffmpeg;
        ffmpeg.start("ffmpeg", QStringList { "-v", "error", "-y", "-i", QString::fromStdString(path.string()) } + args
                + QStringList { "-c", "copy", QString::fromStdString(to.string()) });
        EXPECT_TRUE(ffmpeg.waitForFinished(30000));
        EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAllStandardError().toStdString();
        return to;
    };
    const auto sound_tracks = [](const fs::path& file) {
        AVFormatContext* f = nullptr;
        if (avformat_open_input(&f, ("file:" + file.string()).c_str(), nullptr, nullptr) < 0)
            return -1;
        int n = 0;
        for (unsigned i = 0; i < f->nb_streams; ++i)
            n += f->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        avformat_close_input(&f);
        return n;
    };
    const fs::path two = remuxed("two-tracks.mp4", { "-map", "0:v", "-map", "0:a", "-map", "0:a" });
    ASSERT_EQ(sound_tracks(two), 2);
    auto outcome = export_mp4(two, m_dir.path() / "two-out.mp4", {});
    ASSERT_EQ(outcome.status, platform::ExportStatus::Completed) << outcome.error.value_or("");
    EXPECT_EQ(sound_tracks(m_dir.path() / "two-out.mp4"), 2);

    const fs::path alone = remuxed("ahead-alone.mp4",
        { "-map", "0:v", "-map", "0:a", "-metadata:s:a:0", QString("handler_name=%1").arg(platform::mav::AHEAD_SOUND_HANDLER) });
    outcome = export_mp4(alone, m_dir.path() / "alone-out.mp4", {});
    ASSERT_EQ(outcome.status, platform::ExportStatus::Completed) << outcome.error.value_or("");
    EXPECT_EQ(sound_tracks(m_dir.path() / "alone-out.mp4"), 1) << "the only sound track was left out";
}

TEST_F(MediaFFmpegTest, ExportDownscalesAndKeepsHevcTagged)
{
    ClipSpec wide;
    wide.width = 1280;
    wide.height = 800;
    wide.frames = 6;
    const fs::path path = clip("wide.mp4", wide);
    auto outcome = export_mp4(path, m_dir.path() / "720.mp4", { std::nullopt, false, 2 });
    ASSERT_EQ(outcome.status, platform::ExportStatus::Completed) << outcome.error.value_or("");
    auto probe = m_media->probe(m_dir.path() / "720.mp4");
    ASSERT_TRUE(probe);
    EXPECT_DOUBLE_EQ(probe->width, 1152);
    EXPECT_DOUBLE_EQ(probe->height, 720);
    EXPECT_NEAR(probe->duration, 6.0 / 30, 0.001);
    // Never enlarged: 1080p of the same stays 1280 × 800.
    EXPECT_EQ(platform::export_size(1280, 800, 1), std::make_pair(1280, 800));
    EXPECT_EQ(platform::export_size(1921, 1081, 0), std::make_pair(1921, 1081));
    EXPECT_EQ(platform::export_size(3840, 1600, 1), std::make_pair(1920, 800));
    EXPECT_EQ(platform::export_size(641, 481, 2), std::make_pair(640, 480));

    ClipSpec hevc;
    hevc.hevc = true;
    hevc.frames = 10;
    const fs::path h = clip("h.mp4", hevc);
    outcome = export_mp4(h, m_dir.path() / "h-copy.mp4", { std::nullopt, false, 0 });
    ASSERT_EQ(outcome.status, platform::ExportStatus::Completed) << outcome.error.value_or("");
    EXPECT_EQ(codec_tag(m_dir.path() / "h-copy.mp4"), "hvc1");
}

// The export job reports on the main queue what it checked it wrote: the
// seconds of picture against those asked; a one-frame video keeps its frame.
TEST_F(MediaFFmpegTest, ExportJobReportsOnTheMainQueueWhatItWrote)
{
    const auto job = [&](const fs::path& source, const char* name, video::Mp4Export settings) {
        std::optional<std::expected<video::Mp4Made, std::string>> result;
        video::export_mp4(source, m_dir.path() / name, settings, [&](std::expected<video::Mp4Made, std::string> r) { result = std::move(r); });
        EXPECT_FALSE(result);
        EXPECT_TRUE(testing_support::wait_until([&] { return result.has_value(); }, 20000));
        return result.value_or(std::unexpected(std::string("sin respuesta")));
    };
    const fs::path path = clip("job.mp4", ClipSpec {});
    auto whole = job(path, "job-out.mp4", {});
    ASSERT_TRUE(whole) << whole.error();
    EXPECT_TRUE(video::info(whole->path));
    EXPECT_NEAR(whole->asked, 1.0, 0.01);
    EXPECT_NEAR(whole->seconds, 1.0, 0.05);
    EXPECT_FALSE(whole->short_of_asked());

    ClipSpec one;
    one.frames = 1;
    for (std::uint8_t resolution : { 0, 2 }) {
        SCOPED_TRACE(testing::Message() << "resolution " << int(resolution));
        auto single = job(clip("uno.mp4", one), resolution ? "uno-720.mp4" : "uno-copia.mp4", { std::nullopt, false, resolution });
        ASSERT_TRUE(single) << single.error();
        EXPECT_FALSE(single->short_of_asked()) << single->seconds << " of " << single->asked;
        // A player shows its frame.
        QProcess count;
        count.start("ffprobe", { "-v", "error", "-count_frames", "-select_streams", "v", "-show_entries", "stream=nb_read_frames", "-of",
            "csv=p=0", QString::fromStdString(single->path.string()) });
        ASSERT_TRUE(count.waitForFinished(30000));
        EXPECT_EQ(count.readAllStandardOutput().trimmed(), "1");
    }
}

TEST_F(MediaFFmpegTest, ReferenceGifHasEveryFrameAndNoLoopBlock)
{
    std::vector<std::uint32_t> red(20 * 10, 0xFF0000), blue(20 * 10, 0x0000FF);
    const std::vector<platform::GifFrameView> frames { { red, 10 }, { blue, 25 }, { red, 5 } };
    auto bytes = m_media->write_gif(frames, 20, 10);
    ASSERT_TRUE(bytes) << bytes.error();
    EXPECT_EQ(gif::frame_delays(*bytes), (std::vector<std::uint16_t> { 10, 25, 5 }));
    const std::string text(bytes->begin(), bytes->end());
    EXPECT_EQ(text.find("NETSCAPE2.0"), std::string::npos);
    QByteArray data(reinterpret_cast<const char*>(bytes->data()), static_cast<qsizetype>(bytes->size()));
    QBuffer buffer(&data);
    QImageReader reader(&buffer, "gif");
    EXPECT_EQ(reader.imageCount(), 3);
    EXPECT_EQ(reader.read().pixel(4, 4) & 0xFFFFFF, 0xFF0000u);
}

TEST_F(MediaFFmpegTest, CommandLineConvertsARealVideo)
{
    ClipSpec spec;
    spec.width = 96;
    spec.height = 64;
    const fs::path path = clip("cli.mp4", spec);
    const fs::path out = m_dir.path() / "cli.gif";
    testing::internal::CaptureStdout();
    EXPECT_EQ(video::cli_gif({ path.string(), out.string(), "+10", "48" }), 0);
    const std::string line = testing::internal::GetCapturedStdout();
    EXPECT_EQ(line.rfind("GIF 48×32: 10 cuadros leídos, ", 0), 0u) << line;
    QImageReader reader(QString::fromStdString(out.string()), "gif");
    EXPECT_GE(reader.imageCount(), 1);
    EXPECT_FALSE(fs::exists(m_dir.path() / "cli.gif.part"));
    const std::string first = testing_support::read_file(out);

    // Again, over the same file, while other conversions load the machine:
    // the same bytes, and the replacement is said.
    std::vector<std::thread> load;
    for (int i = 0; i < 3; ++i)
        load.emplace_back([&, i] {
            const fs::path other = m_dir.path() / fmt::format("carga-{}.gif", i);
            (void)video::export_gif(path, other, { std::nullopt, 10, 48 });
        });
    testing::internal::CaptureStdout();
    EXPECT_EQ(video::cli_gif({ path.string(), out.string(), "10", "48" }), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout().rfind(fmt::format("reemplacé {}\n", out.string()), 0), 0u);
    for (auto& t : load)
        t.join();
    EXPECT_EQ(testing_support::read_file(out), first);

    // Refused, and the video untouched: the output is the video (by another
    // name too), or a folder; errors name the file, in Spanish.
    const std::string video_bytes = testing_support::read_file(path);
    fs::create_hard_link(path, m_dir.path() / "otro nombre.mp4");
    fs::create_directory(m_dir.path() / "carpeta.gif");
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        { { path.string(), path.string() }, fmt::format("error: la salida {} es el mismo archivo que el video\n", path.string()) },
        { { path.string(), (m_dir.path() / "otro nombre.mp4").string() },
            fmt::format("error: la salida {} es el mismo archivo que el video\n", (m_dir.path() / "otro nombre.mp4").string()) },
        { { path.string(), (m_dir.path() / "carpeta.gif").string() },
            fmt::format("error: {} es una carpeta; la salida tiene que ser un archivo\n", (m_dir.path() / "carpeta.gif").string()) },
        { { (m_dir.path() / "falta.mp4").string(), out.string() },
            fmt::format("error: no pude leer {}: no existe\n", (m_dir.path() / "falta.mp4").string()) },
        { { path.string(), (m_dir.path() / "falta" / "x.gif").string() },
            fmt::format("error: no pude escribir {}: no existe\n", (m_dir.path() / "falta" / "x.gif").string()) },
    };
    for (const auto& [args, message] : refused) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(video::cli_gif(args), 1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), message);
    }
    EXPECT_EQ(testing_support::read_file(path), video_bytes);
    EXPECT_TRUE(fs::is_directory(m_dir.path() / "carpeta.gif"));
}

// An output that is no plain file is never replaced: a pipe and a device
// get the GIF written into them, a pipe nobody reads and a socket are
// refused, a link is followed to its file and one that ends nowhere is
// refused. What stood there is still there, of the same kind.
TEST_F(MediaFFmpegTest, CommandLineNeverReplacesAPipeADeviceOrASocket)
{
    ClipSpec spec;
    spec.width = 96;
    spec.height = 64;
    const std::string video = clip("salidas.mp4", spec).string();
    const auto kind = [](const fs::path& p) { return fs::symlink_status(p).type(); };
    const auto convert = [&](const fs::path& out, std::string* err = nullptr) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int status = video::cli_gif({ video, out.string(), "10", "48" });
        (void)testing::internal::GetCapturedStdout();
        const std::string said = testing::internal::GetCapturedStderr();
        if (err)
            *err = said;
        return status;
    };

    // A pipe with a reader: it gets a whole GIF.
    const fs::path fifo = m_dir.path() / "tubo.gif";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    std::string piped;
    std::thread drain([&] {
        for (;;) {
            pollfd p { reader, POLLIN, 0 };
            if (::poll(&p, 1, 60'000) <= 0)
                return;
            char chunk[4096];
            const ssize_t n = ::read(reader, chunk, sizeof chunk);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                return;
            if (n > 0)
                piped.append(chunk, static_cast<size_t>(n));
        }
    });
    std::string err;
    EXPECT_EQ(convert(fifo, &err), 0) << err;
    drain.join();
    ::close(reader);
    EXPECT_EQ(kind(fifo), fs::file_type::fifo);
    EXPECT_EQ(piped.rfind("GIF89a", 0), 0u) << piped.size() << " bytes";
    // No reader: refused at once, never waited for.
    EXPECT_EQ(convert(fifo, &err), 1);
    EXPECT_EQ(err, fmt::format("error: nadie lee de la tubería {}\n", fifo.string()));
    EXPECT_EQ(kind(fifo), fs::file_type::fifo);

    // A character device: a node of /dev/null's where this test may make
    // one, else /dev/null itself.
    fs::path device = m_dir.path() / "nulo";
    if (::mknod(device.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) != 0)
        device = "/dev/null";
    EXPECT_EQ(convert(device, &err), 0) << err;
    EXPECT_EQ(kind(device), fs::file_type::character);

    // A socket: refused.
    const fs::path socket = m_dir.path() / "enchufe.gif";
    const int listening = testing_support::bind_socket(socket);
    ASSERT_GE(listening, 0);
    EXPECT_EQ(convert(socket, &err), 1);
    EXPECT_EQ(err, fmt::format("error: {} es un socket; no escribo en él\n", socket.string()));
    EXPECT_EQ(kind(socket), fs::file_type::socket);
    ::close(listening);

    // A link: followed, and it stays a link; one into nothing is refused.
    fs::create_directory(m_dir.path() / "lejos");
    testing_support::write_file(m_dir.path() / "lejos/real.gif", "viejo");
    const fs::path link = m_dir.path() / "enlace.gif";
    fs::create_symlink("lejos/real.gif", link);
    EXPECT_EQ(convert(link, &err), 0) << err;
    EXPECT_EQ(kind(link), fs::file_type::symlink);
    EXPECT_EQ(testing_support::read_file(m_dir.path() / "lejos/real.gif").rfind("GIF89a", 0), 0u);
    const fs::path dangling = m_dir.path() / "roto.gif";
    fs::create_symlink("no-existe.gif", dangling);
    EXPECT_EQ(convert(dangling, &err), 1);
    EXPECT_EQ(err, fmt::format("error: {} es un enlace a {}, que no existe; no lo reemplazo\n", dangling.string(),
        (m_dir.path() / "no-existe.gif").string()));
    EXPECT_EQ(kind(dangling), fs::file_type::symlink);
    EXPECT_FALSE(fs::exists(m_dir.path() / "no-existe.gif"));
    // Nothing hidden left beside any of them.
    for (const auto& entry : fs::directory_iterator(m_dir.path()))
        EXPECT_NE(entry.path().filename().string().front(), '.') << entry.path();
}

TEST_F(MediaFFmpegTest, EachSampleKeepsItsOwnPictureWhileItLives)
{
    ClipSpec spec;
    spec.frames = 6;
    const fs::path path = clip("levels.mp4", spec);
    auto reader = m_media->open_frames(path, 0, 1, 64, 48);
    ASSERT_TRUE(reader) << reader.error();
    std::vector<std::unique_ptr<platform::VideoSample>> samples;
    for (int k = 0; k < 3; ++k) {
        auto next = (*reader)->next();
        ASSERT_TRUE(next && *next);
        samples.push_back(std::move(*next));
    }
    const auto middle = [](const platform::BgraView& v) { return int(v.data[(v.height / 2) * v.stride + (v.width / 2) * 4]); };
    // Every view taken first, then read: a view must not turn into the
    // picture of a sample converted after it.
    std::vector<platform::BgraView> views;
    for (auto& s : samples) {
        const auto view = s->bgra();
        ASSERT_TRUE(view);
        views.push_back(*view);
    }
    for (std::size_t k = 0; k < samples.size(); ++k) {
        EXPECT_NEAR(middle(views[k]), clip_level(int(k)), 3) << "frame " << k;
        EXPECT_NEAR(middle(*samples[k]->bgra()), clip_level(int(k)), 3) << "frame " << k << ", asked again";
    }
}

TEST_F(MediaFFmpegTest, PicturesNobodyUsesAreLeftUndecoded)
{
    // 2 s at 30 fps, three unreferenced B-frames after each reference, read on
    // a 15 fps grid: the reader may leave out a B-frame that a later picture of
    // its slot follows, but the last picture of every slot comes through
    // exactly as a full decode gives it.
    ClipSpec spec;
    spec.frames = 60;
    spec.b_frames = 3;
    const fs::path path = clip("b-frames.mp4", spec);
    const auto on_grid = [](double t) -> std::optional<std::uint64_t> {
        const double s = std::ceil(t * 15 - 0.000001);
        return s > 0 ? static_cast<std::uint64_t>(s) : 0;
    };
    struct Read {
        size_t samples = 0;
        std::map<std::uint64_t, std::pair<double, std::vector<std::uint8_t>>> last;  // slot → time, picture
    };
    const auto read = [&](double length, std::function<std::optional<std::uint64_t>(double)> hint) {
        Read out;
        auto reader = m_media->open_frames(path, 0, length, 64, 48);
        EXPECT_TRUE(reader) << reader.error();
        if (!reader)
            return out;
        if (hint)
            (*reader)->use_last_of_each_slot(hint);
        for (;;) {
            auto next = (*reader)->next();
            EXPECT_TRUE(next) << next.error();
            if (!next || !*next)
                break;
            const auto view = (*next)->bgra();
            EXPECT_TRUE(view);
            if (!view)
                break;
            ++out.samples;
            std::vector<std::uint8_t> picture;
            for (size_t y = 0; y < view->height; ++y)
                picture.insert(picture.end(), view->data + y * view->stride, view->data + y * view->stride + view->width * 4);
            out.last[*on_grid((*next)->time())] = { (*next)->time(), std::move(picture) };
        }
        return out;
    };
    const Read full = read(2.0, nullptr);
    const Read hinted = read(2.0, on_grid);
    EXPECT_EQ(full.samples, 60u);
    EXPECT_EQ(full.last.size(), 31u);
    EXPECT_LT(hinted.samples, full.samples);
    EXPECT_TRUE(hinted.last == full.last);
    // A range that ends inside a slot: the slot's later picture never comes
    // (frame 44 at 1.4667 s), so its B-frame 43 is what the slot shows.
    const Read cut = read(1.45, nullptr);
    EXPECT_EQ(cut.samples, 44u);
    EXPECT_TRUE(read(1.45, on_grid).last == cut.last);
    // Samples off the grid are always wanted.
    EXPECT_EQ(read(2.0, [](double) { return std::optional<std::uint64_t>(); }).samples, 60u);
}
