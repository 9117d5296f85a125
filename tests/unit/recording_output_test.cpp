// The MP4 recording output without a display: frames made in memory, the
// file read back with ffprobe.
#include "wait_slack.h"
#include "platform/ahead_sound.h"
#include "platform/ffmpeg/mp4_writer.h"
#include "platform/media.h"
#include "record/fragments.h"
#include "record/recovery.h"
#include "platform/pulse/audio_capture.h"
#include "record/recorder_stream.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/prctl.h>
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <future>
#include <mutex>
#include <span>
#include <thread>

using platform::ffmpeg::RecordingOutput;
using recorder::Report;

namespace {

struct Listener final : platform::RecordingListener {
    std::mutex mutex;
    std::vector<Report> reports;
    std::promise<void> ended;
    std::atomic<bool> over = false;
    void add(Report r)
    {
        std::lock_guard lock(mutex);
        const bool end = r.kind != Report::Kind::RecordingStarted;
        reports.push_back(std::move(r));
        if (end) {
            over = true;
            ended.set_value();
        }
    }
    void recording_started() override { add({ Report::Kind::RecordingStarted, 0, {} }); }
    void recording_failed(const std::string& e) override { add({ Report::Kind::RecordingFailed, 0, e }); }
    void recording_finished() override { add({ Report::Kind::RecordingFinished, 0, {} }); }
    bool wait_end() { return ended.get_future().wait_for(std::chrono::seconds(60)) == std::future_status::ready; }
};

platform::StreamConfiguration configuration(std::uint32_t w, std::uint32_t h, bool audio = false)
{
    platform::StreamConfiguration c;
    c.width = w;
    c.height = h;
    c.minimum_frame_interval = recorder::frame_interval(30);
    c.captures_audio = audio;
    return c;
}

QImage flat(int w, int h, QRgb colour)
{
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(colour);
    return image;
}

// An H.264 recording into `file`, of w × h pixels at 30 frames a second.
std::expected<std::unique_ptr<RecordingOutput>, std::string> open_h264(const QString& file, std::uint32_t w, std::uint32_t h,
    std::shared_ptr<Listener> listener = std::make_shared<Listener>())
{
    return RecordingOutput::open({ file.toStdString(), platform::VideoCodec::H264 }, configuration(w, h), std::move(listener));
}

QString probe(const QString& file, const QString& entries, const char* stream = "v")
{
    QProcess p;
    p.start("ffprobe", { "-v", "error", "-select_streams", stream, "-show_entries", entries, "-of", "csv=p=0", file });
    p.waitForFinished(30000);
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

// The file as the recorder publishes it: one regular MP4 (a recording's two
// sound tracks made one), as `to`.
QString sealed(const QString& file, const QString& to)
{
    const auto outcome = platform::create_ffmpeg_media()->export_mp4(file.toStdString(), to.toStdString(), {});
    EXPECT_EQ(outcome.status, platform::ExportStatus::Completed) << outcome.error.value_or("");
    return to;
}

// The file's sound, mono, at 48 kHz.
std::vector<float> decoded_sound(const QString& file)
{
    QProcess decode;
    decode.start("ffmpeg", { "-v", "error", "-i", file, "-map", "0:a", "-ac", "1", "-f", "f32le", "-" });
    decode.waitForFinished(30000);
    const QByteArray raw = decode.readAllStandardOutput();
    std::vector<float> s(static_cast<std::size_t>(raw.size()) / sizeof(float));
    std::memcpy(s.data(), raw.constData(), s.size() * sizeof(float));
    return s;
}

// What a kill would leave of a file being written: its whole fragments, copied to `to`.
QString whole_fragments(const QString& file, const QString& to)
{
    QFile in(file);
    EXPECT_TRUE(in.open(QIODevice::ReadOnly));
    const QByteArray bytes = in.readAll();
    const auto scan = recorder::scan_fragments(static_cast<std::uint64_t>(bytes.size()), [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at + out.size() > static_cast<std::uint64_t>(bytes.size()))
            return false;
        std::memcpy(out.data(), bytes.constData() + at, out.size());
        return true;
    });
    QFile copy(to);
    EXPECT_TRUE(copy.open(QIODevice::WriteOnly));
    copy.write(bytes.left(static_cast<qsizetype>(scan.whole)));
    return to;
}

} // namespace

TEST(RecordingOutput, AFullQueueDropsInsteadOfWaitingAndTheFileKeepsItsSlots)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("cola.mp4");
    auto listener = std::make_shared<Listener>();
    auto output = RecordingOutput::open({ file.toStdString(), platform::VideoCodec::H264 }, configuration(64, 48), listener);
    ASSERT_TRUE(output) << output.error();
    auto& out = **output;
    // Not started: nothing drains the queue. Until the encoder's first packet
    // it takes twice its depth of six (the encoder starts slowly), so the
    // thirteenth frame on is dropped at once.
    int accepted = 0;
    const auto before = std::chrono::steady_clock::now();
    for (int slot = 0; slot < 20; ++slot)
        accepted += out.push_video({ flat(64, 48, 0xff204080), slot * 2 }); // every other slot: holes
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_EQ(accepted, 12);
    EXPECT_EQ(out.frames_dropped(), 8);
    out.start();
    out.finish();
    EXPECT_FALSE(out.push_video({ flat(64, 48, 0xff204080), 100 })); // finishing: no more frames
    ASSERT_TRUE(listener->wait_end());
    output->reset();
    ASSERT_EQ(listener->reports.size(), 2u);
    EXPECT_EQ(listener->reports[0].kind, Report::Kind::RecordingStarted);
    EXPECT_EQ(listener->reports[1].kind, Report::Kind::RecordingFinished);
    // The frames keep their slots on the 1/30 s grid: 0, 2/30, … 22/30.
    const QStringList times = probe(file, "frame=pts_time").split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(times.size(), 12) << times.join(",").toStdString();
    for (int i = 0; i < 12; ++i)
        EXPECT_NEAR(times[i].toDouble(), i * 2 / 30.0, 1e-3);
    EXPECT_EQ(probe(file, "stream=width,height"), "64,48");
}

// The encoder takes even sizes: a picture one pixel larger loses its last
// column and row, with no resampling to blur fine detail; chroma is the mean
// of each 2 × 2 block, not smeared into the rows around it.
TEST(RecordingOutput, AnOddPictureIsCutNotResampledAndChromaKeepsItsRows)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("impar.mp4");
    auto listener = std::make_shared<Listener>();
    auto output = open_h264(file, 32, 16, listener);
    ASSERT_TRUE(output) << output.error();
    // Top half: one-pixel black and white columns. Bottom half: pairs of red
    // and blue rows. The extra column and row are green.
    QImage picture(33, 17, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < 17; ++y)
        for (int x = 0; x < 33; ++x)
            picture.setPixel(x, y, x == 32 || y == 16 ? 0xff00ff00u : y < 8 ? (x % 2 ? 0xffffffffu : 0xff000000u) : (y / 2) % 2 ? 0xff0000ffu : 0xffff0000u);
    (*output)->start();
    for (int slot = 0; slot < 3; ++slot)
        ASSERT_TRUE((*output)->push_video({ picture, slot }));
    (*output)->finish();
    ASSERT_TRUE(listener->wait_end());
    output->reset();
    EXPECT_EQ(probe(file, "stream=width,height"), "32,16");
    QProcess decode;
    decode.start("ffmpeg", { "-v", "error", "-i", file, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-" });
    ASSERT_TRUE(decode.waitForFinished(30000));
    ASSERT_EQ(decode.exitCode(), 0) << decode.readAllStandardError().toStdString();
    const QByteArray yuv = decode.readAllStandardOutput();
    ASSERT_EQ(yuv.size(), 32 * 16 * 3 / 2);
    const auto at = [&](int offset) { return static_cast<int>(static_cast<unsigned char>(yuv[offset])); };
    int contrast = 0; // between neighbouring columns in the middle of the top half
    for (int y = 2; y < 6; ++y)
        for (int x = 8; x < 24; ++x)
            contrast += std::abs(at(y * 32 + x) - at(y * 32 + x + 1));
    EXPECT_GT(contrast / (4 * 16), 100);
    const int u = 32 * 16, v = u + 16 * 8;
    // Within a few levels of the exact values: the encoder is lossy.
    for (int row = 4; row < 8; ++row)
        for (int x = 2; x < 14; ++x) {
            // Red: U 102, V 240; blue: U 240, V 118 (BT.709, limited range).
            const bool red = row % 2 == 0;
            EXPECT_NEAR(at(u + row * 16 + x), red ? 102 : 240, 8) << row << "," << x;
            EXPECT_NEAR(at(v + row * 16 + x), red ? 240 : 118, 8) << row << "," << x;
        }
}

// libx264's pictures take no huge pages while recordings are open; the last
// one to close gives them back, unless they were off before.
TEST(RecordingOutput, HugePagesAreOffOnlyWhileARecordingIsOpen)
{
    const auto off = [] { return ::prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0); };
    if (off() != 0)
        GTEST_SKIP() << "huge pages are off for this process already";
    QTemporaryDir dir;
    const auto open = [&](const char* name) {
        auto made = open_h264(dir.filePath(name), 64, 48);
        EXPECT_TRUE(made) << made.error();
        return made ? std::move(*made) : nullptr;
    };
    auto first = open("a.mp4");
    EXPECT_EQ(off(), 1);
    auto second = open("b.mp4");
    first.reset();
    EXPECT_EQ(off(), 1);
    second.reset();
    EXPECT_EQ(off(), 0);
    ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    open("c.mp4").reset();
    EXPECT_EQ(off(), 1);
    ::prctl(PR_SET_THP_DISABLE, 0, 0, 0, 0);
}

// An encoder slower than the grab keeps the queue full: the doubled room of
// its start must still end, or the whole recording holds twice the frames.
TEST(RecordingOutput, TheStartUpRoomEndsEvenWhenTheEncoderNeverCatchesUp)
{
    QTemporaryDir dir;
    auto listener = std::make_shared<Listener>();
    auto output = RecordingOutput::open({ dir.filePath("lento.mp4").toStdString(), platform::VideoCodec::H264 },
        configuration(1280, 720), listener);
    ASSERT_TRUE(output) << output.error();
    auto& out = **output;
    // Noise costs the encoder far more than a push costs here.
    std::vector<QImage> noise;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 4; ++i) {
        QImage image(1280, 720, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < image.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < image.width(); ++x)
                line[x] = 0xff000000u | ((seed = seed * 1664525u + 1013904223u) >> 8);
        }
        noise.push_back(image);
    }
    out.start();
    // Frames accepted and not yet written: waiting (converted or not) and the one in the encoder.
    std::int64_t accepted = 0;
    std::int64_t written_at_start = -1;
    std::int64_t most_held_late = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40) * testing_support::wait_slack();
    for (std::int64_t slot = 0; std::chrono::steady_clock::now() < deadline; ++slot) {
        accepted += out.push_video({ noise[slot % 4], slot });
        if (written_at_start < 0) {
            std::lock_guard lock(listener->mutex);
            if (!listener->reports.empty())
                written_at_start = out.frames_written();
            continue;
        }
        // Well past the start: the room ends two seconds of frames (60) after
        // the first packet at the latest, and the queue is back in it six later.
        const std::int64_t written = out.frames_written();
        if (written < written_at_start + 70)
            continue;
        most_held_late = std::max(most_held_late, accepted - written);
        if (written >= written_at_start + 90)
            break;
    }
    ASSERT_GE(written_at_start, 0) << "no packet in " << 40 * testing_support::wait_slack() << " s";
    ASSERT_GE(out.frames_written(), written_at_start + 90) << "the encoder did not get far enough in " << 40 * testing_support::wait_slack() << " s";
    // Six queued and one being encoded at most, not twelve.
    EXPECT_LE(most_held_late, 7);
    EXPECT_GT(out.frames_dropped(), 0); // the encoder did fall behind
    out.finish();
    ASSERT_TRUE(listener->wait_end());
}

// A picture that cannot be converted fails the recording by itself: both
// threads end without finish(), and the error said is the conversion's.
TEST(RecordingOutput, APictureThatCannotBeConvertedFailsTheRecordingAndEndsBothThreads)
{
    QTemporaryDir dir;
    auto listener = std::make_shared<Listener>();
    auto output = RecordingOutput::open({ dir.filePath("roto.mp4").toStdString(), platform::VideoCodec::H264 },
        configuration(64, 48), listener);
    ASSERT_TRUE(output) << output.error();
    auto& out = **output;
    out.start();
    const auto push = [&](QImage image, std::int64_t slot) {
        for (int i = 0; i < 500 && !listener->over; ++i) {
            if (out.push_video({ image, slot }))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    for (int slot = 0; slot < 5; ++slot)
        ASSERT_TRUE(push(flat(64, 48, 0xff000000u | (slot * 40u << 8)), slot));
    ASSERT_TRUE(push(QImage(), 5));
    ASSERT_TRUE(listener->wait_end());
    EXPECT_FALSE(out.push_video({ flat(64, 48, 0xff204080), 6 }));
    output->reset(); // hangs if a thread did not end
    ASSERT_FALSE(listener->reports.empty());
    EXPECT_EQ(listener->reports.back().kind, Report::Kind::RecordingFailed);
    EXPECT_NE(listener->reports.back().error.find("conversión de color"), std::string::npos) << listener->reports.back().error;
}

// Files of this process may not grow past `bytes` while it lives (writes fail
// with EFBIG instead of raising SIGXFSZ).
struct FileSizeLimit {
    rlimit old {};
    struct sigaction old_action {};
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &old);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &old_action);
        rlimit limited = old;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old);
        sigaction(SIGXFSZ, &old_action, nullptr);
    }
};

TEST(RecordingOutput, AFileThatCannotBeFinishedIsReportedFailedNeverFinished)
{
    QTemporaryDir dir;
    auto listener = std::make_shared<Listener>();
    auto output = RecordingOutput::open({ dir.filePath("lleno.mp4").toStdString(), platform::VideoCodec::H264 },
        configuration(320, 240), listener);
    ASSERT_TRUE(output) << output.error();
    // The disk fills up after the header: neither the frames nor the index fit.
    FileSizeLimit limit(64 * 1024);
    (*output)->start();
    for (int slot = 0; slot < 60 && !listener->over; ++slot) {
        QImage noise(320, 240, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < 240; ++y)
            for (int x = 0; x < 320; ++x)
                noise.setPixel(x, y, 0xff000000u | static_cast<QRgb>((x * 7919u + y * 104729u + slot * 15485863u) * 2654435761u >> 8));
        // A failed output takes no more frames.
        while (!listener->over && !(*output)->push_video({ noise, slot }))
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    (*output)->finish();
    ASSERT_TRUE(listener->wait_end());
    output->reset();
    std::lock_guard lock(listener->mutex);
    ASSERT_FALSE(listener->reports.empty());
    EXPECT_EQ(listener->reports.back().kind, Report::Kind::RecordingFailed);
    EXPECT_FALSE(listener->reports.back().error.empty());
    EXPECT_TRUE(std::ranges::none_of(listener->reports, [](const auto& r) { return r.kind == Report::Kind::RecordingFinished; }));
}

TEST(RecordingOutput, RefusesWhatItCannotWriteAndReportsAnEmptyRecordingAsFailed)
{
    QTemporaryDir dir;
    auto missing = RecordingOutput::open({ dir.filePath("no/such/dir.mp4").toStdString(), platform::VideoCodec::H264 },
        configuration(64, 48), nullptr);
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.error().find("no pude crear"), std::string::npos) << missing.error();
    EXPECT_FALSE(RecordingOutput::open({ dir.filePath("a.mp4").toStdString(), platform::VideoCodec::H264 }, configuration(63, 48), nullptr));

    auto listener = std::make_shared<Listener>();
    auto empty = RecordingOutput::open({ dir.filePath("vacio.mp4").toStdString(), platform::VideoCodec::H264 },
        configuration(64, 48, true), listener);
    ASSERT_TRUE(empty) << empty.error();
    (*empty)->start();
    (*empty)->finish();
    ASSERT_TRUE(listener->wait_end());
    ASSERT_EQ(listener->reports.size(), 1u);
    EXPECT_EQ(listener->reports[0].kind, Report::Kind::RecordingFailed);
    EXPECT_EQ(listener->reports[0].error, "no se grabó ningún cuadro");
    empty->reset();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("vacio.mp4"))); // nothing to play: not left behind

    // An output dropped before it ever started leaves nothing either.
    ASSERT_TRUE(RecordingOutput::open({ dir.filePath("nunca.mp4").toStdString(), platform::VideoCodec::H264 },
        configuration(64, 48), nullptr));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("nunca.mp4")));
}

// A 1 kHz tone at amplitude 0.25, stereo, for sample positions [at, at + n):
// both inputs play it in phase, so where they overlap the mix doubles it.
std::vector<float> tone(std::int64_t at, std::size_t n)
{
    std::vector<float> s(n * 2);
    for (std::size_t i = 0; i < n; ++i)
        s[2 * i] = s[2 * i + 1] = 0.25f * static_cast<float>(std::sin(2 * M_PI * 1000.0 * double(at + std::int64_t(i)) / 48000.0));
    return s;
}

double rms(const std::vector<float>& s, double from, double to)
{
    double sum = 0;
    const auto a = static_cast<std::size_t>(from * 48000), b = std::min(s.size(), static_cast<std::size_t>(to * 48000));
    for (std::size_t i = a; i < b; ++i)
        sum += double(s[i]) * s[i];
    return b > a ? std::sqrt(sum / double(b - a)) : -1;
}

TEST(RecordingOutput, SoundFromTwoInputsIsMixedOnTheTimelineWithSilentGaps)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("mezcla.mp4");
    auto c = configuration(64, 48, true);
    c.captures_microphone = true;
    auto listener = std::make_shared<Listener>();
    auto output = RecordingOutput::open({ file.toStdString(), platform::VideoCodec::H264 }, c, listener);
    ASSERT_TRUE(output) << output.error();
    auto& out = **output;
    out.start();
    // One second of video. System sound for 0–0.6 s; the microphone for
    // 0.5–0.6 s and 0.9–1.0 s, the later block arriving first; between them nothing.
    auto push = [&](int input, std::int64_t at, std::size_t n) { out.push_audio(input, at, tone(at, n).data(), n); };
    for (int i = 0; i < 6; ++i)
        push(0, i * 4800, 4800);
    push(1, 43200, 4800);
    push(1, 24000, 4800);
    push(0, -4800, 4800); // before the start: dropped
    for (int slot = 0; slot < 30; ++slot)
        while (!out.push_video({ flat(64, 48, 0xff808080), slot }))
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    out.audio_input_gone(1);
    out.audio_input_gone(0);
    out.finish();
    ASSERT_TRUE(listener->wait_end());
    output->reset();
    EXPECT_EQ(listener->reports.back().kind, Report::Kind::RecordingFinished);
    const QString published = sealed(file, dir.filePath("publicada.mp4"));
    EXPECT_NEAR(probe(published, "stream=duration", "a").toDouble(), probe(published, "stream=duration", "v").toDouble(), 0.1);
    EXPECT_EQ(probe(published, "stream=codec_name,sample_rate,channels", "a"), "aac,48000,2"); // one track

    const std::vector<float> s = decoded_sound(published);
    // The level of one input (the downmix's scale is ffmpeg's business).
    const double one = rms(s, 0.05, 0.45);
    EXPECT_GT(one, 0.1);
    EXPECT_NEAR(rms(s, 0.52, 0.58), 2 * one, 0.1 * one); // both, in phase: each in its right place
    EXPECT_LT(rms(s, 0.63, 0.87), 0.01);                 // the gap is silent
    EXPECT_NEAR(rms(s, 0.92, 0.98), one, 0.1 * one);     // the block that came first, at its place
}

// How long the mix waits for an input, from what its arrivals needed.
TEST(SoundWait, AnInputIsWaitedForAsLongAsItsArrivalsNeedWithinBounds)
{
    using platform::ffmpeg::SoundWait;
    const std::int64_t s = 48000, ms = 48;
    // Not heard from yet: it may bring a burst, waited for the longest; once
    // the picture has run past that, it holds nobody back more than the least.
    SoundWait fragments(48000);
    EXPECT_EQ(fragments.wait(0), 2500 * ms);
    EXPECT_EQ(fragments.wait(2500 * ms), 2500 * ms);
    EXPECT_EQ(fragments.wait(2501 * ms), 300 * ms);
    // 20 ms fragments, each coming 30 ms after the picture passed its first
    // sample: waited for the least, as long as ever.
    for (std::int64_t k = 0; k < 20; ++k)
        fragments.arrived(k * 20 * ms, 20 * ms, (k * 20 + 30) * ms);
    EXPECT_EQ(fragments.wait(10 * s), 300 * ms);

    // Two seconds at a time: the block held before the first frame tells by
    // its length, the next by how far behind the picture it began.
    SoundWait bursts(48000);
    bursts.arrived(-2 * s, 2 * s, -1);
    EXPECT_EQ(bursts.wait(10 * s), 2200 * ms);
    bursts.arrived(0, 2 * s, 2100 * ms);
    EXPECT_EQ(bursts.wait(10 * s), 2300 * ms);
    // A stall of four seconds is lateness, not rhythm: never waited for past the bound.
    bursts.arrived(2 * s, 2 * s, 6 * s);
    EXPECT_EQ(bursts.wait(10 * s), 2500 * ms);
    // Fragments from then on: the stall and the bursts are forgotten after a few arrivals.
    for (std::int64_t k = 0; k < SoundWait::ARRIVALS; ++k) {
        EXPECT_EQ(bursts.wait(10 * s), 2500 * ms) << k;
        bursts.arrived(4 * s + k * 20 * ms, 20 * ms, 4 * s + (k * 20 + 30) * ms);
    }
    EXPECT_EQ(bursts.wait(10 * s), 300 * ms);
}

// A microphone that delivers two seconds at a time (as the sound server's
// sine source does), each block when the picture has reached its last sample,
// beside system sound that comes every 20 ms: every block is kept, the mix
// waiting for it as long as its rhythm needs. When the microphone stalls the
// mix goes on after that wait with silence in its place, and what the
// microphone brings later for the stretch passed is dropped, the rest placed;
// a stop waits until both inputs reach the last frame. What a kill during the
// stall leaves has sound up to its picture all the same: the kept mix up to
// where it stands, then the sound written ahead.
TEST(RecordingOutput, AnInputDeliveringInBurstsKeepsItsSoundAndOneThatStallsIsPassed)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("bloques.mp4");
    auto c = configuration(64, 48, true);
    c.captures_microphone = true;
    auto listener = std::make_shared<Listener>();
    auto output = RecordingOutput::open({ file.toStdString(), platform::VideoCodec::H264 }, c, listener);
    ASSERT_TRUE(output) << output.error();
    auto& out = **output;
    out.start();
    auto push = [&](int input, std::int64_t at, std::size_t n) { out.push_audio(input, at, tone(at, n).data(), n); };
    auto now_ns = [] { return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count(); };
    // Runs the picture and the system sound up to `seconds`, until the writer has taken every frame.
    std::int64_t slot = 0, system = 0;
    auto run_to = [&](double seconds) {
        for (; slot < std::llround(seconds * 30); ++slot) {
            for (; system < (slot + 1) * 1600; system += 960)
                push(0, system, 960);
            while (!out.push_video({ flat(64, 48, 0xff808080), slot }))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30) * testing_support::wait_slack();
        while (out.frames_written() < slot && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(out.frames_written(), slot) << "the writer did not take the frames up to " << seconds << " s";
    };
    push(1, -96000, 96000); // the block that came as the input joined, before the first frame
    run_to(2.0);
    push(1, 0, 96000);
    run_to(4.0);
    push(1, 96000, 96000);
    // Then nothing for three seconds: the mix goes on 2.2 s behind the picture.
    run_to(7.0);
    const QString killed = whole_fragments(file, dir.filePath("matada.mp4"));
    // The microphone has not reached the last frame's end: a stop waits for it.
    EXPECT_FALSE(out.wait_for_sound(slot, now_ns() + 50'000'000));
    push(1, 192000, 144000); // 4–7 s, caught up: placed from where the mix stands, 4.8 s
    EXPECT_TRUE(out.wait_for_sound(slot, now_ns() + 10'000'000'000LL));
    out.finish();
    ASSERT_TRUE(listener->wait_end());
    output->reset();
    ASSERT_EQ(listener->reports.back().kind, Report::Kind::RecordingFinished);

    const std::vector<float> s = decoded_sound(sealed(file, dir.filePath("publicada.mp4")));
    ASSERT_GT(s.size(), 48000u * 69 / 10);
    // The system sound alone where the microphone was passed; both in phase
    // (twice the level) wherever its blocks were kept.
    const double one = rms(s, 4.05, 4.7);
    EXPECT_GT(one, 0.1);
    for (int k = 0; k < 69; ++k) {
        const double at = 0.05 + 0.1 * k;
        if (k < 39 || k > 47) { // 3.95–4.85 s: where the stall began and the mix passed it
            EXPECT_NEAR(rms(s, at, at + 0.1), 2 * one, 0.1 * one) << "at " << at << " s";
        }
    }

    // Killed at 7 s: whole fragments reach 6.5 s of picture at least (one
    // each quarter of a second); the sound as far, both inputs up to where the kept
    // mix stood (4 s at least), the system sound alone after it. So too the
    // same fragments published as they are (a full disk), their two sound
    // tracks made one in place: one track, whatever plays it.
    const QString recovered = sealed(killed, dir.filePath("recuperada.mp4"));
    const QString joined = dir.filePath("sin-espacio.mp4");
    ASSERT_TRUE(QFile::copy(killed, joined));
    ASSERT_EQ(probe(joined, "stream=index", "a").split('\n').size(), 2);
    {
        auto held = recorder::hold_file(joined.toStdString());
        ASSERT_TRUE(held) << held.error();
        recorder::join_sound_in_place(*held);
    }
    EXPECT_EQ(probe(joined, "stream=index", "a").split('\n').size(), 1);
    for (const QString& file : { recovered, joined }) {
        SCOPED_TRACE(file.toStdString());
        const double picture = probe(file, "stream=duration", "v").toDouble();
        const std::vector<float> k = decoded_sound(file);
        std::printf("matada a los 7 s: video %.2f s, sonido %.2f s\n", picture, double(k.size()) / 48000);
        EXPECT_GE(picture, 6.4);
        EXPECT_GE(double(k.size()) / 48000, picture - 0.5);
        for (double at = 0.05; at < 3.9; at += 0.1)
            EXPECT_NEAR(rms(k, at, at + 0.1), 2 * one, 0.1 * one) << "killed, at " << at << " s";
        for (double at = 4.9; at + 0.1 < picture - 0.5; at += 0.1)
            EXPECT_NEAR(rms(k, at, at + 0.1), one, 0.1 * one) << "killed, at " << at << " s";
    }
    // Every frame and every sound packet of it decodes.
    QProcess decode;
    decode.start("ffmpeg", { "-v", "error", "-i", joined, "-f", "null", "-" });
    ASSERT_TRUE(decode.waitForFinished(30000));
    EXPECT_EQ(decode.exitCode(), 0);
    EXPECT_EQ(decode.readAllStandardError().toStdString(), "");
}

TEST(AudioClock, BlocksFollowByCountsFromThePromptestBlockAndOnlyALostStretchLeavesAGap)
{
    const std::int64_t origin = 5'000'000'000;
    const std::int64_t ms = 1'000'000;
    platform::pulse::AudioClock clock(48000, origin);
    // Blocks of 20 ms taken from 100 ms on; the first one reached us 30 ms late.
    EXPECT_EQ(clock.place(origin + 130 * ms, 960).at, 6240);
    // The next came at once: the first was late, the timeline moves back to it.
    EXPECT_EQ(clock.place(origin + 120 * ms, 960).at, 5760);
    // A millisecond either way is the scheduler's: counts win.
    EXPECT_EQ(clock.place(origin + 141 * ms, 960).at, 6720);
    EXPECT_EQ(clock.place(origin + 159 * ms, 960).at, 7680);
    // 200 ms lost on the way: more than 50 ms later than the counts say, a gap follows
    // (the reader asks first, and waits a moment for the rest of a backlog).
    EXPECT_FALSE(clock.late(origin + 229 * ms));
    EXPECT_TRUE(clock.late(origin + 380 * ms));
    EXPECT_EQ(clock.place(origin + 380 * ms, 960).at, 18240);
    EXPECT_EQ(clock.place(origin + 401 * ms, 960).at, 19200);
    // Before the origin: negative positions (the output drops them).
    platform::pulse::AudioClock early(48000, origin);
    EXPECT_FALSE(early.late(origin + 10'000 * ms)); // nothing placed yet: no counts to be late by
    EXPECT_EQ(early.place(origin - 20 * ms, 960).at, -960);
}

// A monitor as the sound server drives it: the sink renders 20 ms ahead of
// playing, every 20 ms, and the monitor delivers each render as it is made,
// now and then late (and what comes after a late one waits behind it); the
// client reads whatever has come in pieces of its own. Once one delivery has
// come promptly every piece lands where it is heard, within the clock's 2 ms
// tolerance, and later late deliveries do not move it.
TEST(AudioClock, AMonitorsSoundLandsWhereItIsHeard)
{
    const int rate = 48000;
    const std::int64_t ms = 1'000'000;
    const std::int64_t origin = 7'000'000'000;
    const std::int64_t ahead = 20 * ms;
    const std::int64_t heard0 = origin + 50 * ms; // when sample 0 is heard
    const std::int64_t render = 960;              // samples per render: the 20 ms ahead
    const std::int64_t delays[] = { 40, 1, 3, 0, 2, 7, 0, 1, 25, 0 }; // ms from a render to its delivery
    const int renders = 100;
    auto heard = [&](std::int64_t n) { return heard0 + n * 1'000'000'000 / rate; };

    std::vector<std::int64_t> delivered_at(renders);
    for (int k = 0; k < renders; ++k)
        delivered_at[k] = std::max(k ? delivered_at[k - 1] : 0, heard(k * render) + delays[k % 10] * ms);

    platform::pulse::AudioClock clock(rate, origin);
    std::int64_t read = 0;
    int next = 0, checked = 0;
    while (next < renders) {
        const std::int64_t now = delivered_at[next];
        while (next < renders && delivered_at[next] <= now)
            ++next;
        const std::int64_t delivered = next * render;
        while (read < delivered) {
            const std::int64_t frames = std::min<std::int64_t>(333, delivered - read);
            const std::int64_t at = clock.place(clock.latest_taken(now, static_cast<std::size_t>(delivered - read), ahead),
                static_cast<std::size_t>(frames))
                                        .at;
            if (read >= 3 * render) { // render 3 is the first that comes at once
                EXPECT_NEAR(at, (heard(read) - origin) * rate / 1'000'000'000, rate / 500) << "sample " << read;
                ++checked;
            }
            read += frames;
        }
    }
    EXPECT_GT(checked, 250);
}

// A sound card whose clock runs 0.1 % fast or slow against the monotonic
// clock, for a minute of 20 ms blocks that reach us up to 12 ms late: the
// sound stays within a few milliseconds of when it was taken, its small
// corrections are short gaps or short skips, and no sample is mixed in twice.
TEST(AudioClock, ACardOffTheClockStaysInStepWithoutRepeatingSound)
{
    const std::int64_t ms = 1'000'000;
    const std::int64_t origin = 3'000'000'000;
    const std::int64_t jitter[] = { 0, 1, 3, 0, 2, 7, 0, 1, 12, 0 }; // ms
    for (const double off : { -0.001, 0.0, 0.001 }) {
        SCOPED_TRACE(off);
        const double card_rate = 48000 * (1 + off);
        platform::pulse::AudioClock clock(48000, origin);
        std::int64_t end = 0, worst_gap = 0, worst_off = 0;
        for (int k = 0; k < 3000; ++k) {
            const auto taken = origin + 100 * ms + static_cast<std::int64_t>(k * 960 / card_rate * 1e9);
            const auto arrival = taken + static_cast<std::int64_t>(960 / card_rate * 1e9) + jitter[k % 10] * ms;
            const auto [at, skip] = clock.place(clock.latest_taken(arrival, 960, 0), 960);
            if (k > 0) {
                if (skip < 960) {
                    EXPECT_GE(at + static_cast<std::int64_t>(skip), end) << "block " << k;
                    worst_gap = std::max(worst_gap, at + static_cast<std::int64_t>(skip) - end);
                }
                worst_off = std::max(worst_off, std::abs(at - (taken - origin) * 48 / ms));
            }
            end = std::max(end, at + 960);
        }
        EXPECT_LE(worst_off, 5 * 48) << "samples off where they were taken";
        EXPECT_LE(worst_gap, 5 * 48) << "samples of silence at once";
    }
}

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes num(std::uint64_t v, int n)
{
    Bytes b;
    for (int i = n - 1; i >= 0; --i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}

Bytes text(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

Bytes box(const char* type, std::initializer_list<Bytes> parts)
{
    Bytes b = num(8, 4);
    b.insert(b.end(), type, type + 4);
    for (const Bytes& p : parts)
        b.insert(b.end(), p.begin(), p.end());
    const Bytes size = num(b.size(), 4);
    std::copy(size.begin(), size.end(), b.begin());
    return b;
}

Bytes sound_trak(std::uint32_t id, std::string_view handler)
{
    return box("trak", { box("tkhd", { num(0, 4), num(0, 4), num(0, 4), num(id, 4) }),
        box("mdia", { box("mdhd", { num(0, 4), num(0, 4), num(0, 4), num(1000, 4) }),
            box("hdlr", { num(0, 4), num(0, 4), text("soun"), Bytes(12, 0), text(handler), num(0, 1) }) }) });
}

// A track fragment of `samples` four-byte samples of 10 ms from 0 s, each of
// its trun's fields given as is.
Bytes sound_traf(std::uint32_t id, Bytes base, std::uint32_t run_flags, std::uint32_t samples, std::int32_t offset)
{
    Bytes run = num(run_flags, 4);
    const Bytes count = num(samples, 4);
    run.insert(run.end(), count.begin(), count.end());
    if (run_flags & 0x1) {
        const Bytes o = num(static_cast<std::uint32_t>(offset), 4);
        run.insert(run.end(), o.begin(), o.end());
    }
    for (std::uint32_t i = 0; run_flags & 0x200 && i < samples; ++i)
        run.insert(run.end(), { 0, 0, 0, 4 });
    return box("traf", { box("tfhd", { num(base.empty() ? 0x020000 : 0x000001, 4), num(id, 4), base }),
        box("tfdt", { num(0x01000000, 4), num(0, 8) }), box("trun", { run }) });
}

std::optional<recorder::SoundJoin> join_of(const Bytes& file)
{
    return recorder::plan_sound_join(file.size(), [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at > file.size() || out.size() > file.size() - at)
            return false;
        std::memcpy(out.data(), file.data() + at, out.size());
        return true;
    }, platform::AHEAD_SOUND_HANDLER);
}

} // namespace

TEST(Fragments, TheSoundJoinTakesOnlyRunsThatLieInTheFile)
{
    const Bytes header = box("moov", { sound_trak(1, "SoundHandler"), sound_trak(2, platform::AHEAD_SOUND_HANDLER),
        box("mvex", { box("trex", { num(0, 4), num(1, 4), num(1, 4), num(10, 4), num(4, 4) }),
            box("trex", { num(0, 4), num(2, 4), num(1, 4), num(10, 4), num(4, 4) }) }) });
    // A fragment of two kept samples and four ahead ones, after them in its
    // data box; the ahead run starts where the fragment says, or at `ahead_base`.
    const auto made = [&](Bytes ahead_base, std::uint32_t kept_count, std::uint32_t kept_flags) {
        const auto moof = [&](std::int32_t data) {
            return box("moof", { box("mfhd", { num(0, 4), num(1, 4) }), sound_traf(1, {}, kept_flags, kept_count, data),
                sound_traf(2, ahead_base, ahead_base.empty() ? 0x201 : 0x200, 4, data + 8) });
        };
        Bytes f = header;
        const Bytes fragment = moof(static_cast<std::int32_t>(moof(0).size()) + 8);
        const Bytes data = box("mdat", { Bytes(24, 0) });
        f.insert(f.end(), fragment.begin(), fragment.end());
        f.insert(f.end(), data.begin(), data.end());
        return f;
    };

    // As the writer makes it: the ahead sound from 20 ms on goes on in the kept track.
    const auto join = join_of(made({}, 2, 0x201));
    ASSERT_TRUE(join);
    EXPECT_DOUBLE_EQ(join->kept_end, 0.02);
    EXPECT_DOUBLE_EQ(join->ahead_end, 0.04);
    EXPECT_FALSE(join->appended.empty());
    EXPECT_EQ(join->dropped.size(), 3u);

    // Damage: ahead samples said to lie at the end of the 64-bit range (their
    // ends wrap round to the file's start), and a kept run of four billion
    // samples in a file of a few hundred bytes. Neither track is touched.
    EXPECT_FALSE(join_of(made(num(~std::uint64_t(0) - 11, 8), 2, 0x201)));
    EXPECT_FALSE(join_of(made({}, 0xffffffffu, 0x001)));
}
