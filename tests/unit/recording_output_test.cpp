// The MP4 recording output without a display: frames made in memory, the
// file read back with ffprobe.
#include "platform/ffmpeg/mp4_writer.h"
#include "platform/pulse/audio_capture.h"
#include "record/recorder_stream.h"

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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
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
    ASSERT_GE(written_at_start, 0) << "no packet in 40 s";
    ASSERT_GE(out.frames_written(), written_at_start + 90) << "the encoder did not get far enough in 40 s";
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
    EXPECT_NEAR(probe(file, "stream=duration", "a").toDouble(), probe(file, "stream=duration", "v").toDouble(), 0.1);
    EXPECT_EQ(probe(file, "stream=codec_name,sample_rate,channels", "a"), "aac,48000,2");

    QProcess decode;
    decode.start("ffmpeg", { "-v", "error", "-i", file, "-map", "0:a", "-ac", "1", "-f", "f32le", "-" });
    ASSERT_TRUE(decode.waitForFinished(30000));
    const QByteArray raw = decode.readAllStandardOutput();
    std::vector<float> s(static_cast<std::size_t>(raw.size()) / sizeof(float));
    std::memcpy(s.data(), raw.constData(), s.size() * sizeof(float));
    // The level of one input (the downmix's scale is ffmpeg's business).
    const double one = rms(s, 0.05, 0.45);
    EXPECT_GT(one, 0.1);
    EXPECT_NEAR(rms(s, 0.52, 0.58), 2 * one, 0.1 * one); // both, in phase: each in its right place
    EXPECT_LT(rms(s, 0.63, 0.87), 0.01);                 // the gap is silent
    EXPECT_NEAR(rms(s, 0.92, 0.98), one, 0.1 * one);     // the block that came first, at its place
}

// A microphone that delivers two seconds at a time (as the sound server's
// sine source does), each block when its last sample is taken, beside system
// sound that comes every 20 ms: the mix waits for the late input only a
// moment, so the file's sound (what a kill keeps) stays within 0.3 s of its
// picture; what the microphone brings for a stretch the mix has passed is
// dropped, the rest placed; a stop waits until both inputs reach the last frame.
TEST(RecordingOutput, ALateInputHoldsTheMixOnlyAMomentAndAStopWaitsForItsLastBlock)
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
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (out.frames_written() < slot && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(out.frames_written(), slot) << "the writer did not take the frames up to " << seconds << " s";
    };
    // Sound and picture in the file as it stands, as a kill would leave it:
    // what is in its closed fragments.
    auto in_file = [&](const char* stream) {
        QProcess p;
        p.start("ffprobe", { "-v", "error", "-select_streams", stream, "-show_entries", "packet=pts_time,duration_time", "-of", "csv=p=0", file });
        p.waitForFinished(30000);
        double end = 0;
        for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts)) {
            const QStringList f = line.split(',');
            if (f.size() == 2)
                end = std::max(end, f[0].toDouble() + f[1].toDouble());
        }
        return end;
    };
    push(1, -96000, 96000); // the block that came as the input joined, before the first frame
    run_to(2.4);
    // The microphone is two seconds behind; the system sound is in the file
    // anyway, a fragment at most behind the picture.
    const auto fragments = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (in_file("a") < 1.5 && std::chrono::steady_clock::now() < fragments)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(in_file("a"), 1.5) << "the late microphone held the system sound back";
    EXPECT_GE(in_file("a"), in_file("v") - 0.5);
    push(1, 0, 96000); // 0–2 s: the mix has passed it, dropped
    run_to(4.0);
    // The microphone has not reached the last frame's end: a stop waits for it.
    EXPECT_FALSE(out.wait_for_sound(slot, now_ns() + 50'000'000));
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        push(1, 96000, 96000); // 2–4 s: placed from where the mix stands, 3.7 s
    });
    EXPECT_TRUE(out.wait_for_sound(slot, now_ns() + 10'000'000'000LL));
    late.join();
    out.finish();
    ASSERT_TRUE(listener->wait_end());
    output->reset();
    ASSERT_EQ(listener->reports.back().kind, Report::Kind::RecordingFinished);

    QProcess decode;
    decode.start("ffmpeg", { "-v", "error", "-i", file, "-map", "0:a", "-ac", "1", "-f", "f32le", "-" });
    ASSERT_TRUE(decode.waitForFinished(30000));
    const QByteArray raw = decode.readAllStandardOutput();
    std::vector<float> s(static_cast<std::size_t>(raw.size()) / sizeof(float));
    std::memcpy(s.data(), raw.constData(), s.size() * sizeof(float));
    ASSERT_GT(s.size(), 48000u * 39 / 10);
    // The system sound alone up to where the mix stood when the microphone's
    // last block came, then both inputs in phase: twice the level.
    const double one = rms(s, 0.05, 3.6);
    EXPECT_GT(one, 0.1);
    for (double at = 0.05; at + 0.1 <= 3.6; at += 0.1)
        EXPECT_NEAR(rms(s, at, at + 0.1), one, 0.1 * one) << "at " << at << " s";
    EXPECT_NEAR(rms(s, 3.75, 3.95), 2 * one, 0.1 * one);
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
