// The video module against the scripted media backend: the slot grid, pixel
// reading, the partial file, names, clipboard types, the conversion and export
// jobs, and the command-line tasks.
#include "record/video.h"

#include "base/config.h"
#include "base/files.h"
#include "base/state.h"
#include "platform/fake/media_fake.h"
#include "qt_wait.h"
#include "test_util.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QMimeData>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>

namespace fs = std::filesystem;
using platform::MediaFake;
using testing_support::TempDir;
using testing_support::TempHome;

namespace {

struct Toast {
    std::string symbol, text;
    double seconds = 0;
};

struct Got {
    std::vector<gif::Frame> frames;
    std::uint32_t width = 0, height = 0;
};

class VideoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        video::set_toast_sink([this](std::string_view symbol, std::string_view text, double seconds) {
            m_toasts.push_back({ std::string(symbol), std::string(text), seconds });
        });
    }
    void TearDown() override
    {
        video::set_media(nullptr);
        video::set_toast_sink(nullptr);
        state::reset_for_tests();
    }

    std::shared_ptr<MediaFake> install(MediaFake::Script script)
    {
        auto fake = std::make_shared<MediaFake>(std::move(script));
        video::set_media(fake);
        return fake;
    }

    // Runs decode_frames and collects what reaches the sink.
    std::expected<video::Decoded, std::string> decode(const video::GifSettings& settings, Got& got)
    {
        return video::decode_frames("clip.mp4", settings, [&](gif::Frame f, std::uint32_t w, std::uint32_t h) -> std::expected<void, std::string> {
            got.frames.push_back(std::move(f));
            got.width = w;
            got.height = h;
            return {};
        });
    }

    static std::vector<double> regular(double fps, int count)
    {
        std::vector<double> t;
        for (int k = 0; k < count; ++k)
            t.push_back(k / fps);
        return t;
    }

    static std::vector<int> delays(const Got& got)
    {
        std::vector<int> d;
        for (const auto& f : got.frames)
            d.push_back(f.delay);
        return d;
    }

    // Which scripted sample a frame shows (its index sits in the blue byte).
    static int sample_of(const gif::Frame& f) { return static_cast<int>(f.pixels.at(0) & 0xFF); }

    TempHome m_home;
    std::vector<Toast> m_toasts;
};

MediaFake::Script clip(double duration, std::vector<double> times)
{
    MediaFake::Script s;
    s.probe = platform::MediaProbe { 64, 48, 0, duration, false };
    s.times = std::move(times);
    return s;
}

} // namespace

TEST_F(VideoTest, SlotGridKeepsTheLastSampleOfEachSlotAndConvertsOnlyThose)
{
    auto fake = install(clip(2.0, regular(30, 60)));
    Got got;
    auto r = decode({ std::nullopt, 15, 800 }, got);
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(got.frames.size(), 30u);
    const auto d = delays(got);
    EXPECT_EQ(std::vector<int>(d.begin(), d.begin() + 5), (std::vector<int> { 7, 6, 7, 7, 6 }));
    int total = 0;
    for (int v : d)
        total += v;
    EXPECT_EQ(total, 200);
    // Samples at 1/30 and 2/30 s share slot 1; the later one is used.
    EXPECT_EQ(sample_of(got.frames[0]), 0);
    EXPECT_EQ(sample_of(got.frames[1]), 2);
    EXPECT_EQ(sample_of(got.frames[29]), 58);
    // A replaced sample is never converted: one conversion per frame.
    EXPECT_EQ(fake->conversions(), 30u);
    EXPECT_EQ(got.width, 64u);
    EXPECT_EQ(got.height, 48u);
    EXPECT_GE(r->decode_ms, 0.0);
}

TEST_F(VideoTest, GapsSingleSamplesAndRateLimits)
{
    {
        // A one-second gap becomes one frame of 100 hundredths.
        install(clip(1.5, { 0.0, 1.0 }));
        Got got;
        ASSERT_TRUE(decode({ std::nullopt, 15, 800 }, got));
        EXPECT_EQ(delays(got), (std::vector<int> { 100, 53 }));
    }
    {
        // One sample lasts the whole grid.
        install(clip(2.0, { 0.0 }));
        Got got;
        ASSERT_TRUE(decode({ std::nullopt, 15, 800 }, got));
        EXPECT_EQ(delays(got), (std::vector<int> { 200 }));
    }
    {
        // The first sample is held even when its slot lies past the grid.
        install(clip(0.05, { 0.04 }));
        Got got;
        ASSERT_TRUE(decode({ std::nullopt, 1, 800 }, got));
        EXPECT_EQ(delays(got), (std::vector<int> { 100 }));
    }
    {
        // fps 0 counts as 1, fps 100 as 50.
        install(clip(2.0, regular(10, 20)));
        Got got;
        ASSERT_TRUE(decode({ std::nullopt, 0, 800 }, got));
        EXPECT_EQ(delays(got), (std::vector<int> { 100, 100 }));
        install(clip(1.0, regular(100, 100)));
        Got fast;
        ASSERT_TRUE(decode({ std::nullopt, 100, 800 }, fast));
        EXPECT_EQ(fast.frames.size(), 50u);
        EXPECT_EQ(delays(fast).front(), 2);
    }
}

TEST_F(VideoTest, OutputSizeAndRangeReachTheReader)
{
    auto s = clip(10.0, regular(30, 300));
    s.probe->width = 1920;
    s.probe->height = 1080;
    auto fake = install(s);
    Got got;
    ASSERT_TRUE(decode({ std::make_pair(-1.0, 4.0), 15, 800 }, got));
    ASSERT_EQ(fake->opened().size(), 1u);
    const auto opened = fake->opened()[0];
    EXPECT_EQ(opened.width, 800u);
    EXPECT_EQ(opened.height, 450u);
    EXPECT_DOUBLE_EQ(opened.start, 0.0);
    EXPECT_DOUBLE_EQ(opened.length, 4.0);
    EXPECT_EQ(got.frames.size(), 60u);
    // Width 0 keeps the natural size.
    Got natural;
    ASSERT_TRUE(decode({ std::nullopt, 15, 0 }, natural));
    EXPECT_EQ(natural.width, 1920u);
}

TEST_F(VideoTest, EmptyRangesAndReaderFailuresLeaveNoPartialFile)
{
    TempDir dir;
    const fs::path out = dir.path() / "out.gif";
    install(clip(2.0, regular(30, 60)));
    for (auto range : { std::make_pair(5.0, 3.0), std::make_pair(3.0, 4.0) }) {
        auto r = video::export_gif("clip.mp4", out, { range, 15, 800 });
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error(), "el rango está vacío");
    }
    auto failing = clip(2.0, regular(30, 60));
    failing.fail_after = 10;
    install(failing);
    auto r = video::export_gif("clip.mp4", out, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "falla inyectada");

    auto unreadable = clip(2.0, regular(30, 60));
    unreadable.unreadable = 4;
    install(unreadable);
    r = video::export_gif("clip.mp4", out, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "no pude leer un cuadro");

    auto silent = clip(2.0, {});
    install(silent);
    r = video::export_gif("clip.mp4", out, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "el video no tiene cuadros");

    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(video::partial_path(out)));
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(VideoTest, ExportWritesAGifAndRemovesThePartialFile)
{
    TempDir dir;
    const fs::path out = dir.path() / "out.gif";
    install(clip(1.0, regular(30, 30)));
    // The mask the program started with gives the mode, not one narrowed
    // meanwhile by a library on another thread.
    const mode_t before = ::umask(022);
    files::remember_creation_mask();
    ::umask(077);
    auto r = video::export_gif("clip.mp4", out, { std::nullopt, 10, 800 });
    ::umask(before);
    files::remember_creation_mask();
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(fs::status(out).permissions() & fs::perms::all,
        fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    EXPECT_EQ(r->frames_read, 10u);
    EXPECT_EQ(r->width, 64u);
    EXPECT_EQ(r->bytes, fs::file_size(out));
    EXPECT_FALSE(fs::exists(dir.path() / "out.gif.part"));
    QImageReader reader(QString::fromStdString(out.string()), "gif");
    ASSERT_TRUE(reader.canRead());
    EXPECT_EQ(static_cast<std::uint64_t>(reader.imageCount()), r->frames_written);
    const QImage first = reader.read();
    EXPECT_EQ(first.pixel(3, 3) & 0xFFFFFF, MediaFake::SAMPLE_BASE & 0xFFFFFF);
}

// A video whose file says to turn it (as a phone's does) makes an upright
// GIF, as players show it, by both roads: the conversion the windows use and
// `--gif`. Made by the ffmpeg program, with a red corner to tell the turn.
TEST_F(VideoTest, ARotatedVideosGifIsUprightByBothRoads)
{
    TempDir dir;
    const fs::path plain = dir.path() / "recto.mp4", source = dir.path() / "girado.mp4";
    // The tag is kept only on a copy: an encoding run turns the picture itself.
    for (const QStringList& args : { QStringList { "-f", "lavfi", "-i",
                                         "color=c=blue:s=320x240:d=0.5:r=10,drawbox=x=0:y=0:w=80:h=60:color=red:t=fill",
                                         "-pix_fmt", "yuv420p", QString::fromStdString(plain.string()) },
             QStringList { "-i", QString::fromStdString(plain.string()), "-c", "copy", "-metadata:s:v:0", "rotate=90",
                 QString::fromStdString(source.string()) } }) {
        QProcess make;
        make.start("ffmpeg", QStringList { "-v", "error", "-y" } + args);
        ASSERT_TRUE(make.waitForFinished(30000));
        ASSERT_EQ(make.exitCode(), 0) << make.readAllStandardError().toStdString();
    }
    const auto upright = [](const fs::path& gif) {
        QImageReader reader(QString::fromStdString(gif.string()), "gif");
        const QImage first = reader.read();
        if (first.size() != QSize(240, 320))
            return fmt::format("{}×{}", first.width(), first.height());
        // As ffmpeg's own player turns it: the top-left corner goes to the bottom left.
        const auto red = [&](int x, int y) { return qRed(first.pixel(x, y)) > 200 && qBlue(first.pixel(x, y)) < 60; };
        return red(10, 310) && !red(10, 10) && !red(230, 10) ? std::string("derecho") : std::string("girado mal");
    };
    const fs::path by_window = dir.path() / "ventana.gif";
    auto made = video::export_gif(source, by_window, { std::nullopt, 10, 0 });
    ASSERT_TRUE(made) << made.error();
    EXPECT_EQ(made->width, 240u);
    EXPECT_EQ(made->height, 320u);
    EXPECT_EQ(upright(by_window), "derecho");
    const fs::path by_switch = dir.path() / "orden.gif";
    ASSERT_EQ(video::cli_gif({ source.string(), by_switch.string(), "10", "0" }), 0);
    EXPECT_EQ(upright(by_switch), "derecho");
}

TEST_F(VideoTest, BatchesEncodedWhileDecodingGiveTheSameFile)
{
    // 150 frames span several encoder batches at any thread count up to 37;
    // handing batches to a worker must not change a byte.
    TempDir dir;
    const fs::path out = dir.path() / "out.gif";
    install(clip(10.0, regular(30, 300)));
    Got got;
    ASSERT_TRUE(decode({ std::nullopt, 15, 800 }, got));
    ASSERT_EQ(got.frames.size(), 150u);
    auto direct = gif::encode(got.frames, got.width, got.height, { .palette = {}, .threshold = 3 });
    ASSERT_TRUE(direct);
    auto r = video::export_gif("clip.mp4", out, { std::nullopt, 15, 800 });
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->frames_read, 150u);
    EXPECT_EQ(r->frames_written, direct->counts.frames_written);
    const std::string file = testing_support::read_file(out);
    EXPECT_EQ(std::vector<std::uint8_t>(file.begin(), file.end()), direct->bytes);

    // A reader that fails after several batches went to the worker: the
    // error comes back and the partial file goes.
    auto failing = clip(10.0, regular(30, 300));
    failing.fail_after = 250;
    install(failing);
    fs::remove(out);
    r = video::export_gif("clip.mp4", out, { std::nullopt, 15, 800 });
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "falla inyectada");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST_F(VideoTest, AHeldPartialFileIsLeftToItsHolder)
{
    TempDir dir;
    const fs::path out = dir.path() / "clip.gif";
    const fs::path part = dir.path() / "clip.gif.part";
    testing_support::write_file(part, "first conversion");
    const int fd = ::open(part.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    install(clip(1.0, regular(30, 30)));
    auto r = video::export_gif("clip.mp4", out, {});
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "otra conversión está escribiendo este GIF");
    EXPECT_EQ(testing_support::read_file(part), "first conversion");
    EXPECT_FALSE(fs::exists(out));
    ::close(fd);
    // Once the holder is gone the next conversion takes the file over.
    ASSERT_TRUE(video::export_gif("clip.mp4", out, {}));
    EXPECT_FALSE(fs::exists(part));
    EXPECT_TRUE(fs::exists(out));
}

TEST_F(VideoTest, PixelsDropAlphaHonourStridesAndResample)
{
    auto padded = clip(1.0, { 0.0 });
    padded.stride_padding = 12;
    auto fake = install(padded);
    auto reader = fake->open_frames("x", 0, 1, 5, 3);
    auto sample = std::move(*(*reader)->next());
    auto words = video::pixels_of(*sample, 5, 3);
    ASSERT_TRUE(words);
    EXPECT_EQ(*words, std::vector<std::uint32_t>(15, MediaFake::SAMPLE_BASE & 0x00FFFFFF));
    // A spent buffer given to fill is written over whole.
    EXPECT_EQ(video::pixels_of(*sample, 5, 3, std::vector<std::uint32_t>(15, 0xFFFFFFFFu)), words);

    auto smaller = clip(1.0, { 0.0 });
    smaller.picture_width = 2;
    smaller.picture_height = 2;
    fake = install(smaller);
    reader = fake->open_frames("x", 0, 1, 4, 4);
    sample = std::move(*(*reader)->next());
    words = video::pixels_of(*sample, 4, 4);
    ASSERT_TRUE(words);
    EXPECT_EQ(words->size(), 16u);
    EXPECT_EQ(words->at(15), MediaFake::SAMPLE_BASE & 0x00FFFFFF);

    // Rows shorter than the width say the picture is unreadable.
    struct Narrow final : platform::VideoSample {
        std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(64);
        double time() const override { return 0; }
        std::optional<platform::BgraView> bgra() override { return platform::BgraView { bytes.data(), 4, 2, 12 }; }
    } narrow;
    EXPECT_FALSE(video::pixels_of(narrow, 4, 2));
}

TEST_F(VideoTest, InfoRoundsAndCleans)
{
    auto s = clip(std::nan(""), {});
    s.probe->width = 1279.5;
    s.probe->height = 719.5;
    s.probe->has_audio = true;
    install(s);
    EXPECT_EQ(video::info("a.mp4"), (video::VideoInfo { 1280, 720, 0.0, true }));
    s.probe->duration = -3;
    s.probe->width = -2;
    install(s);
    EXPECT_EQ(video::info("a.mp4"), (video::VideoInfo { 0, 720, 0.0, true }));
    s.probe.reset();
    install(s);
    EXPECT_FALSE(video::info("a.mp4"));
}

TEST_F(VideoTest, ClipboardTypesFollowTheExtensionAndTheFile)
{
    TempDir dir;
    const fs::path upper = dir.path() / "clip.GIF";
    testing_support::write_file(upper, "GIF89a-bytes");
    testing_support::write_file(dir.path() / "clip.mp4", "mp4");
    testing_support::write_file(dir.path() / "clip.gifs", "GIF89a");
    const auto check = [](const fs::path& path, bool gif_bytes) {
        std::unique_ptr<QMimeData> data(video::mime_for_file(path));
        ASSERT_EQ(data->urls().size(), 1) << path;
        EXPECT_EQ(data->urls()[0].toLocalFile().toStdString(), path.string());
        EXPECT_TRUE(data->data("x-special/gnome-copied-files").startsWith("copy\nfile://"));
        EXPECT_EQ(data->hasFormat("image/gif"), gif_bytes) << path;
    };
    check(upper, true);
    check(dir.path() / "clip.mp4", false);
    check(dir.path() / "missing.gif", false);
    check(dir.path() / "clip.gifs", false);
    std::unique_ptr<QMimeData> data(video::mime_for_file(upper));
    EXPECT_EQ(data->data("image/gif"), QByteArray("GIF89a-bytes"));
}

TEST_F(VideoTest, GifPathsSkipTakenNamesAndHeldPartialFiles)
{
    TempDir dir;
    const fs::path source = dir.path() / "clip.mp4";
    EXPECT_EQ(video::gif_path_for(source), dir.path() / "clip.gif");
    testing_support::write_file(dir.path() / "clip.gif", "x");
    EXPECT_EQ(video::gif_path_for(source), dir.path() / "clip (2).gif");
    testing_support::write_file(dir.path() / "clip (2).gif.part", "x");
    EXPECT_EQ(video::gif_path_for(source), dir.path() / "clip (3).gif");
    // Without a folder the GIF goes to the capture folder.
    EXPECT_EQ(video::gif_path_for("clip.mp4"), m_home.path() / "Desktop" / "clip.gif");
    // A folder that cannot be looked up gives its first name (the writing
    // fails later, with a message) instead of searching for ever.
    const fs::path long_dir = dir.path() / std::string(300, 'a');
    EXPECT_EQ(video::gif_path_for(long_dir / "clip.mp4"), long_dir / "clip.gif");
}

TEST_F(VideoTest, MakeGifFromTheCardToastsCopiesAndKeepsTheSource)
{
    TempDir dir;
    const fs::path source = dir.path() / "clip.mp4";
    testing_support::write_file(source, "video");
    const fs::path out = dir.path() / "clip.gif";
    install(clip(1.0, regular(30, 30)));
    video::make_gif(source, { std::nullopt, 15, 800 }, out, false, video::FromCard {});
    ASSERT_EQ(m_toasts.size(), 1u);
    EXPECT_EQ(m_toasts[0].text, "Creando GIF…");
    EXPECT_EQ(m_toasts[0].symbol, "photo.stack");
    EXPECT_DOUBLE_EQ(m_toasts[0].seconds, 120);
    ASSERT_TRUE(testing_support::wait_until([&] { return m_toasts.size() == 2; }, 20000));
    EXPECT_EQ(m_toasts[1].symbol, "checkmark.circle");
    EXPECT_EQ(m_toasts[1].text, fmt::format("GIF listo · {:.1f} MB", static_cast<double>(fs::file_size(out)) / 1e6));
    EXPECT_TRUE(fs::exists(source));
    const QMimeData* copied = QGuiApplication::clipboard()->mimeData();
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->data("image/gif").size(), static_cast<qsizetype>(fs::file_size(out)));
}

// A video whose pictures end long before its length (cut short on disk):
// the GIF is made of what there is, and says how much of the range it holds.
TEST_F(VideoTest, AGifOfAVideoThatRunsOutSaysWhatItKept)
{
    TempDir dir;
    const fs::path source = dir.path() / "corto.mp4";
    testing_support::write_file(source, "video");
    install(clip(2.0, regular(30, 6)));
    video::make_gif(source, { std::nullopt, 10, 800 }, dir.path() / "corto.gif", false, video::FromCard {});
    ASSERT_TRUE(testing_support::wait_until([&] { return m_toasts.size() == 2; }, 20000));
    EXPECT_EQ(m_toasts[1].symbol, "exclamationmark.triangle");
    EXPECT_EQ(m_toasts[1].text, fmt::format("GIF incompleto · 0.3 de 2.0 s · {:.1f} MB", static_cast<double>(fs::file_size(dir.path() / "corto.gif")) / 1e6));
}

// A recording's MP4 goes as soon as its GIF is in place, on the conversion's
// thread: a program whose event loop has already ended (a logout's SIGTERM)
// leaves nothing behind for the next launch to recover.
TEST_F(VideoTest, ARecordingsVideoGoesOnceItsGifIsInPlaceWithoutTheMainQueue)
{
    TempDir tmp;
    const fs::path source = tmp.path() / ".Vistrope 2026-01-05 a las 09.03.07.mp4.aB3dE9";
    testing_support::write_file(source, "video");
    install(clip(1.0, regular(30, 30)));
    video::make_gif(source, {}, tmp.path() / "g.gif", true, video::FromRecording {});
    // Polled without turning the event loop, so the completion cannot run.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20) * testing_support::wait_slack();
    while (fs::exists(source) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(testing_support::read_file(tmp.path() / "g.gif").substr(0, 6), "GIF89a");
    EXPECT_EQ(m_toasts.size(), 1u);
    ASSERT_TRUE(testing_support::wait_until([&] { return m_toasts.size() == 2; }, 20000));
    EXPECT_EQ(m_toasts[1].symbol, "checkmark.circle");
}

TEST_F(VideoTest, AFailedRecordingConversionPublishesTheHiddenVideoBesideIt)
{
    TempDir tmp;
    // A recording's MP4 waits for its conversion hidden in the capture folder.
    const fs::path source = tmp.path() / ".Vistrope 2026-01-05 a las 09.03.07.mp4.aB3dE9";
    testing_support::write_file(source, "video");
    auto s = clip(2.0, regular(30, 60));
    s.fail_after = 3;
    install(s);
    video::make_gif(source, {}, tmp.path() / "g.gif", true, video::FromRecording {});
    ASSERT_TRUE(testing_support::wait_until([&] { return m_toasts.size() == 2; }, 20000));
    EXPECT_EQ(m_toasts[1].text, "No se pudo crear el GIF");
    EXPECT_EQ(m_toasts[1].symbol, "exclamationmark.triangle");
    EXPECT_FALSE(fs::exists(source));
    EXPECT_EQ(testing_support::read_file(tmp.path() / "Vistrope 2026-01-05 a las 09.03.07.mp4"), "video");

    // The trim window gets its buttons back whatever the outcome.
    bool done = false;
    video::make_gif(source, {}, tmp.path() / "g.gif", false, video::FromTrim { [&] { done = true; } });
    EXPECT_TRUE(testing_support::wait_until([&] { return done; }, 20000));
}

TEST_F(VideoTest, Mp4ExportCompletesOnceSynchronouslyWhenItCannotStart)
{
    TempDir dir;
    const fs::path source = dir.path() / "clip.mp4";
    testing_support::write_file(source, "video");
    auto fake = install(clip(2.0, {}));
    std::vector<std::string> results;
    const auto record = [&](std::expected<video::Mp4Made, std::string> r) { results.push_back(r ? r->path.string() : "error: " + r.error()); };

    video::export_mp4(source, source, {}, record);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], "error: no se pudo preparar la exportación");
    EXPECT_EQ(testing_support::read_file(source), "video");

    video::export_mp4(source, dir.path() / "o.mp4", { std::make_pair(5.0, 3.0), false, 0 }, record);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1], "error: el rango está vacío");
    EXPECT_TRUE(fake->exports().empty());

    // Later, on the main queue: the destination, or "estado" without a text.
    testing_support::write_file(dir.path() / "o.mp4", "old");
    video::export_mp4(source, dir.path() / "o.mp4", { std::make_pair(1.0, 2.0), true, 2 }, record);
    EXPECT_EQ(results.size(), 2u);
    EXPECT_FALSE(fs::exists(dir.path() / "o.mp4")); // replaced
    ASSERT_TRUE(testing_support::wait_until([&] { return results.size() == 3; }));
    EXPECT_EQ(results[2], (dir.path() / "o.mp4").string());
    ASSERT_EQ(fake->exports().size(), 1u);
    EXPECT_TRUE(fake->exports()[0].second.mute);
    EXPECT_EQ(fake->exports()[0].second.resolution, 2);

    auto failing = clip(2.0, {});
    failing.export_outcome = { platform::ExportStatus::Failed, std::nullopt };
    install(failing);
    video::export_mp4(source, dir.path() / "p.mp4", {}, record);
    ASSERT_TRUE(testing_support::wait_until([&] { return results.size() == 4; }));
    EXPECT_EQ(results[3], "error: estado 4");
    testing_support::pump_for(50);
    EXPECT_EQ(results.size(), 4u);
}

TEST(VideoCli, NumbersAreUnsigned32BitDecimals)
{
    EXPECT_EQ(video::parse_u32("15"), 15u);
    EXPECT_EQ(video::parse_u32("+15"), 15u);
    EXPECT_EQ(video::parse_u32("4294967295"), 4294967295u);
    EXPECT_FALSE(video::parse_u32("4294967296"));
    EXPECT_FALSE(video::parse_u32("abc"));
    EXPECT_FALSE(video::parse_u32("-1"));
    EXPECT_FALSE(video::parse_u32("+"));
    EXPECT_FALSE(video::parse_u32(""));
    EXPECT_FALSE(video::parse_u32(" 5"));
}

TEST_F(VideoTest, CliGifUsageDefaultsAndItsLine)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(video::cli_gif({ "clip.mp4" }), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "uso: vistrope --gif <video> <salida.gif> [fps] [ancho máximo]\n");

    TempDir dir;
    const std::string video = (dir.path() / "clip.mp4").string(); // the fake reads it; it only has to be there
    testing_support::write_file(video, "");
    auto s = clip(1.0, regular(30, 30));
    s.probe->width = 1920;
    s.probe->height = 1080;
    auto fake = install(s);
    testing::internal::CaptureStdout();
    EXPECT_EQ(video::cli_gif({ video, (dir.path() / "a.gif").string() }), 0);
    const std::string line = testing::internal::GetCapturedStdout();
    EXPECT_EQ(line.rfind("GIF 800×450: 15 cuadros leídos, ", 0), 0u) << line;
    EXPECT_NE(line.find(" según Qt), "), std::string::npos);
    EXPECT_EQ(line.find('?'), std::string::npos) << line;

    // The numbers: one not readable keeps its default, an fps outside 1..50
    // is made at the nearest end, a width of 0 is no limit, words after the
    // width are left; each such word is named on standard error, and the
    // conversion goes on. The 1-second clip gives one frame per slot.
    struct Case {
        std::vector<std::string> numbers;
        std::string line;   // the report's beginning
        std::string notice; // standard error
    };
    const Case cases[] = {
        { { "abc" }, "GIF 800×450: 15 cuadros leídos, ", "aviso: fps «abc» no es un número entero: convierto a 15 fps\n" },
        { { "2.5" }, "GIF 800×450: 15 cuadros leídos, ", "aviso: fps «2.5» no es un número entero: convierto a 15 fps\n" },
        { { "-3", "-5" }, "GIF 800×450: 15 cuadros leídos, ",
            "aviso: fps «-3» no es un número entero: convierto a 15 fps\n"
            "aviso: ancho máximo «-5» no es un número entero: uso 800\n" },
        { { "99999999999" }, "GIF 800×450: 15 cuadros leídos, ", "aviso: fps «99999999999» no es un número entero: convierto a 15 fps\n" },
        { { "0" }, "GIF 800×450: 1 cuadros leídos, ", "aviso: fps 0 fuera de 1 a 50: convierto a 1 fps\n" },
        { { "+100000" }, "GIF 800×450: 30 cuadros leídos, " /* every sample of the 30 fps clip */, "aviso: fps +100000 fuera de 1 a 50: convierto a 50 fps\n" },
        { { "10", "0" }, "GIF 1920×1080: 10 cuadros leídos, ", "" },
        { { "10", "ancho" }, "GIF 800×450: 10 cuadros leídos, ", "aviso: ancho máximo «ancho» no es un número entero: uso 800\n" },
        { { "10", "15" }, "GIF 15×8: 10 cuadros leídos, ", "" },
        { { "1", "16" }, "GIF 16×9: 1 cuadros leídos, ", "" },
        { { "10", "100", "extra" }, "GIF 100×56: 10 cuadros leídos, ", "aviso: sobra «extra»: después del ancho máximo no va nada; no lo uso\n" },
    };
    for (const Case& c : cases) {
        const fs::path out = dir.path() / "b.gif";
        std::vector<std::string> args { video, out.string() };
        args.insert(args.end(), c.numbers.begin(), c.numbers.end());
        testing::internal::CaptureStderr();
        testing::internal::CaptureStdout();
        EXPECT_EQ(video::cli_gif(args), 0) << c.numbers[0];
        const std::string report = testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.notice);
        EXPECT_NE(report.find(c.line), std::string::npos) << report;
        EXPECT_TRUE(fs::exists(out));
        fs::remove(out);
    }

    install(clip(1.0, {}));
    testing::internal::CaptureStderr();
    EXPECT_EQ(video::cli_gif({ video, (dir.path() / "c.gif").string() }), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
        fmt::format("error: no pude convertir {} en {}: el video no tiene cuadros\n", video, (dir.path() / "c.gif").string()));

    testing::internal::CaptureStderr();
    EXPECT_EQ(video::cli_gif_bench({}), 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "uso: vistrope --gif-bench <video> [fps] [ancho máximo]\n");
}

TEST(VideoPsnr, IdenticalFramesAndZeroDelaysReachTheCeiling)
{
    TempDir dir;
    const auto frame = [](std::uint32_t colour, std::uint16_t delay) { return gif::Frame { std::vector<std::uint32_t>(12 * 8, colour), delay }; };
    const std::vector<gif::Frame> source { frame(0x102030, 10), frame(0xA0B0C0, 1), frame(0x000000, 0) };
    auto encoded = gif::encode(source, 12, 8, {});
    ASSERT_TRUE(encoded);
    testing_support::write_file(dir.path() / "same.gif",
        std::string_view(reinterpret_cast<const char*>(encoded->bytes.data()), encoded->bytes.size()));
    const double ceiling = 10 * std::log10(65025 / 0.000000001);
    auto psnr = video::gif_psnr(dir.path() / "same.gif", source);
    ASSERT_TRUE(psnr);
    EXPECT_NEAR(psnr->first, ceiling, 1e-9);
    EXPECT_NEAR(psnr->first, 138.1, 0.05);
    EXPECT_EQ(psnr->second, 3u);

    // The stored delays count, 0 and 1 hundredths included (Qt shows both as 10).
    EXPECT_EQ(gif::frame_delays(encoded->bytes), (std::vector<std::uint16_t> { 10, 1, 0 }));
    auto cut = encoded->bytes;
    cut.resize(cut.size() - 6);
    EXPECT_FALSE(gif::frame_delays(cut));

    // Against other frames the error shows; with every delay 0 nothing is compared.
    const std::vector<gif::Frame> other { frame(0x112030, 10), frame(0xA0B0C0, 1), frame(0, 0) };
    psnr = video::gif_psnr(dir.path() / "same.gif", other);
    ASSERT_TRUE(psnr);
    EXPECT_NEAR(psnr->first, 10 * std::log10(65025 / (1.0 / 6)), 1e-6);
    auto zero = gif::encode({ frame(0x102030, 0), frame(0xFFFFFF, 0) }, 12, 8, {});
    ASSERT_TRUE(zero);
    testing_support::write_file(dir.path() / "zero.gif", std::string_view(reinterpret_cast<const char*>(zero->bytes.data()), zero->bytes.size()));
    psnr = video::gif_psnr(dir.path() / "zero.gif", other);
    ASSERT_TRUE(psnr);
    EXPECT_NEAR(psnr->first, ceiling, 1e-9);
    EXPECT_FALSE(video::gif_psnr(dir.path() / "missing.gif", other));
}
