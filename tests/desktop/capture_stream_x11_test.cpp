// The capture stream and its MP4 output against the test session's X server
// and PulseAudio; files are read back with ffprobe and ffmpeg as a user would.
#include "flat_window.h"
#include "qt_wait.h"
#include "platform/capture_stream.h"
#include "platform/media.h"
#include "platform/panels.h"
#include "platform/screen_capture.h"
#include "platform/sound_out.h"
#include "record/recorder_stream.h"
#include "record/video.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QProcess>
#include <QRegion>
#include <QRegularExpression>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>

using testing_support::pump_for;
using testing_support::wait_until;
using Flat = testing_support::FlatWindow;

namespace {

std::int64_t monotonic_ns()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

QByteArray run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        ADD_FAILURE() << program.toStdString() << " did not finish";
        return {};
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        ADD_FAILURE() << program.toStdString() << ": " << p.readAllStandardError().toStdString();
    return p.readAllStandardOutput();
}

// ffprobe's key=value lines for one stream type ("v" or "a"); empty without that stream.
std::map<std::string, std::string> stream_info(const QString& file, const char* type)
{
    std::map<std::string, std::string> info;
    const QByteArray out = run("ffprobe", { "-v", "error", "-select_streams", type, "-show_entries",
        "stream=codec_name,codec_tag_string,width,height,duration,sample_rate,channels,color_space,color_range",
        "-of", "default=nw=1", file });
    for (const QByteArray& line : out.split('\n'))
        if (const int eq = line.indexOf('='); eq > 0)
            info[line.left(eq).toStdString()] = line.mid(eq + 1).trimmed().toStdString();
    return info;
}

// The video packets' times in presentation order.
std::vector<double> frame_times(const QString& file)
{
    std::vector<double> times;
    const QByteArray out = run("ffprobe", { "-v", "error", "-select_streams", "v", "-show_entries", "frame=pts_time",
        "-of", "csv=p=0", file });
    for (const QByteArray& line : out.split('\n'))
        if (!line.trimmed().isEmpty())
            times.push_back(line.trimmed().toDouble());
    return times;
}

// Every frame shrunk to w × h RGB pixels, decoded as the file is tagged (BT.709, limited range).
std::vector<QImage> frames_rgb(const QString& file, int w, int h)
{
    const QByteArray raw = run("ffmpeg", { "-v", "error", "-i", file, "-vf",
        QString("scale=%1:%2:flags=area:in_color_matrix=bt709:in_range=tv:out_range=pc,format=rgb24").arg(w).arg(h),
        "-f", "rawvideo", "-" });
    std::vector<QImage> frames;
    const qsizetype size = qsizetype(w) * h * 3;
    for (qsizetype at = 0; at + size <= raw.size(); at += size)
        frames.push_back(QImage(reinterpret_cast<const uchar*>(raw.constData() + at), w, h, w * 3, QImage::Format_RGB888).copy());
    return frames;
}

bool near(QColor a, QColor b, int tolerance = 12)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance
        && std::abs(a.blue() - b.blue()) <= tolerance;
}

std::string describe(QColor c)
{
    return "(" + std::to_string(c.red()) + ", " + std::to_string(c.green()) + ", " + std::to_string(c.blue()) + ")";
}

// Records the stream's and the output's reports, as the recorder's delegate would forward them.
struct Reports {
    std::mutex mutex;
    std::vector<recorder::Report> list;
    std::optional<std::optional<std::string>> start;
    std::shared_ptr<recorder::RecorderDelegate> delegate = std::make_shared<recorder::RecorderDelegate>(1, [this](recorder::Report r) {
        std::lock_guard lock(mutex);
        list.push_back(std::move(r));
    });
    bool has(recorder::Report::Kind kind)
    {
        std::lock_guard lock(mutex);
        return std::ranges::any_of(list, [&](const auto& r) { return r.kind == kind; });
    }
    bool ended() { return has(recorder::Report::Kind::RecordingFinished) || has(recorder::Report::Kind::RecordingFailed); }
};

class CaptureStreamX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto displays = platform::shareable_displays();
        ASSERT_FALSE(displays.empty());
        m_display = displays.front();
        ASSERT_TRUE(m_dir.isValid());
    }

    QString path(const char* name) const { return m_dir.filePath(name); }

    // Records for `seconds` while `during` runs on the main thread every 20 ms; the file's path.
    QString record(const char* name, platform::ContentFilter filter, const platform::StreamConfiguration& configuration,
        double seconds, platform::VideoCodec codec = platform::VideoCodec::H264, const std::function<void(double)>& during = {},
        const std::function<bool()>& longer = {})
    {
        const QString file = path(name);
        auto stream = platform::create_capture_stream(std::move(filter), configuration, m_reports.delegate);
        if (!stream) {
            ADD_FAILURE() << stream.error();
            return file;
        }
        {
            std::lock_guard lock(m_reports.mutex);
            m_reports.start.reset();
        }
        auto& s = **stream;
        EXPECT_TRUE(s.add_stream_output(m_reports.delegate, platform::StreamOutputType::Screen));
        auto added = s.add_recording_output({ file.toStdString(), codec }, m_reports.delegate);
        EXPECT_TRUE(added) << (added ? "" : added.error());
        {
            std::lock_guard lock(m_reports.mutex);
            m_start_asked_ns = monotonic_ns();
        }
        s.start([this](std::optional<std::string> error) {
            const std::int64_t now = monotonic_ns();
            std::lock_guard lock(m_reports.mutex);
            m_reports.start = error;
            m_first_frame_ns = now;
        });
        EXPECT_TRUE(wait_until([&] { std::lock_guard lock(m_reports.mutex); return m_reports.start.has_value(); }, 20000));
        EXPECT_FALSE(m_reports.start && *m_reports.start) << **m_reports.start;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < seconds * 1000 || (longer && longer() && clock.elapsed() < 60000)) {
            if (during)
                during(clock.elapsed() / 1000.0);
            pump_for(20);
        }
        std::atomic<bool> stopped = false;
        s.stop([&](std::optional<std::string> error) {
            EXPECT_FALSE(error);
            stopped = true;
        });
        // Under load the encoder may be far behind: wait for it generously.
        EXPECT_TRUE(wait_until([&] { return stopped.load() && m_reports.ended(); }, 60000));
        stream->reset();
        return file;
    }

    platform::StreamConfiguration config(QRect area, std::uint32_t fps) const
    {
        recorder::StreamWish wish;
        wish.region = platform::RectF { double(area.x()), double(area.y()), double(area.width()), double(area.height()) };
        wish.size = recorder::pixel_size(area.width(), area.height(), m_display.scale, platform::VideoCodec::H264);
        wish.fps = fps;
        wish.show_cursor = false;
        return recorder::stream_configuration(wish);
    }

    platform::ContentFilter display_filter(std::vector<std::int64_t> left_out = {}, std::vector<std::uint32_t> kept = {}) const
    {
        platform::ContentFilter f;
        f.display = m_display;
        f.excluded_applications = std::move(left_out);
        f.excepted_windows = std::move(kept);
        return f;
    }

    platform::ShareableDisplay m_display;
    QTemporaryDir m_dir;
    Reports m_reports;
    std::int64_t m_first_frame_ns = 0; // CLOCK_MONOTONIC when the start was reported (right after the first grab); with m_reports.mutex
    std::int64_t m_start_asked_ns = 0; // CLOCK_MONOTONIC when the start was asked for; with m_reports.mutex
};

// The threads of this process, but the main one, that carry the program's own
// name (the main thread's): as top -H shows them, nobody could tell what they do.
std::set<std::string> threads_with_the_programs_name()
{
    const auto comm = [](const std::filesystem::path& file) {
        std::ifstream in(file);
        std::string name;
        std::getline(in, name);
        return name;
    };
    const std::string own = comm("/proc/self/comm");
    const std::string main_tid = std::to_string(::getpid());
    std::set<std::string> found;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        const std::string tid = task.path().filename().string();
        if (tid != main_tid && comm(task.path() / "comm") == own)
            found.insert(tid);
    }
    return found;
}

const std::array<QColor, 4> SEQUENCE { QColor(230, 30, 30), QColor(30, 200, 60), QColor(40, 60, 220), QColor(240, 220, 40) };

} // namespace

TEST_F(CaptureStreamX11, ColoursOfAChangingWindowFollowTheSequenceOnTheFrameGrid)
{
    const QRect area(300, 200, 320, 240);
    Flat window(SEQUENCE[0], area.adjusted(-20, -20, 20, 20));
    ASSERT_TRUE(wait_until([&] { return window.isVisible(); }));
    pump_for(300);
    int shown = 0;
    const double seconds = 3.0;
    const std::uint32_t fps = 30;
    const QString file = record("farbe.mp4", display_filter(), config(area, fps), seconds, platform::VideoCodec::H264, [&](double t) {
        const int step = static_cast<int>(t / 0.25);
        if (step != shown) {
            shown = step;
            window.set_colour(SEQUENCE[static_cast<std::size_t>(step) % SEQUENCE.size()]);
        }
    });
    EXPECT_TRUE(m_reports.has(recorder::Report::Kind::RecordingStarted));
    EXPECT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFinished));

    auto video = stream_info(file, "v");
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["codec_tag_string"], "avc1");
    EXPECT_EQ(video["width"], "320");
    EXPECT_EQ(video["height"], "240");
    EXPECT_EQ(video["color_space"], "bt709");
    EXPECT_EQ(video["color_range"], "tv");
    EXPECT_TRUE(stream_info(file, "a").empty());

    const std::vector<double> times = frame_times(file);
    ASSERT_GT(times.size(), 2u);
    for (std::size_t i = 1; i < times.size(); ++i)
        ASSERT_GT(times[i], times[i - 1]) << "frame " << i;
    // Frames lie on the 1/30 s grid; at least 90 % of the grid's slots are filled.
    const double span = times.back() - times.front();
    for (double t : times)
        EXPECT_NEAR(t * fps, std::round(t * fps), 0.01);
    EXPECT_GE(static_cast<double>(times.size()), 0.9 * (span * fps + 1)) << times.size() << " frames over " << span << " s";
    EXPECT_GE(span, seconds - 0.5);

    // Each frame shows one colour of the sequence, and the colours advance in its order.
    // A frame grabbed while the window repaints may show both colours at the
    // centre; a few such frames are allowed, a colour out of order is not.
    std::size_t at = 0;
    int changes = 0;
    int mixed = 0;
    for (const QImage& frame : frames_rgb(file, 8, 8)) {
        const QColor c = frame.pixelColor(4, 4);
        if (near(c, SEQUENCE[at]))
            continue;
        const std::size_t next = (at + 1) % SEQUENCE.size();
        if (near(c, SEQUENCE[next])) {
            at = next;
            ++changes;
            continue;
        }
        for (std::size_t other = 0; other < SEQUENCE.size(); ++other)
            ASSERT_FALSE(near(c, SEQUENCE[other])) << describe(c) << " after " << describe(SEQUENCE[at]);
        ++mixed;
    }
    EXPECT_GE(changes, 8); // about 12 changes in 3 s
    EXPECT_LE(mixed, 3);
}

TEST_F(CaptureStreamX11, HevcWhenAskedIsTaggedHvc1AtTheConfiguredSize)
{
    const auto codecs = platform::available_video_codecs();
    ASSERT_NE(std::ranges::find(codecs, platform::VideoCodec::H264), codecs.end());
    if (std::ranges::find(codecs, platform::VideoCodec::Hevc) == codecs.end())
        GTEST_SKIP() << "libx265 does not open here";
    const QRect area(100, 100, 333, 201); // odd sizes come out even
    Flat window(SEQUENCE[2], area.adjusted(-10, -10, 10, 10));
    pump_for(300);
    auto configuration = config(area, 30);
    const QString file = record("hevc.mp4", display_filter(), configuration, 1.0, platform::VideoCodec::Hevc);
    auto video = stream_info(file, "v");
    EXPECT_EQ(video["codec_name"], "hevc");
    EXPECT_EQ(video["codec_tag_string"], "hvc1");
    EXPECT_EQ(video["width"], std::to_string(configuration.width));
    EXPECT_EQ(video["height"], std::to_string(configuration.height));
    EXPECT_EQ(configuration.width % 2, 0u);
    const auto frames = frames_rgb(file, 4, 4);
    ASSERT_FALSE(frames.empty());
    EXPECT_TRUE(near(frames.back().pixelColor(2, 2), SEQUENCE[2])) << describe(frames.back().pixelColor(2, 2));
}

namespace {

// The quadrants window of another process, its client window id and where it stands.
struct OtherWindow {
    QProcess process;
    QPoint origin;
    std::uint32_t id = 0;

    bool start(QRect at)
    {
        process.start(VISTROPE_QUADRANTS_WINDOW, { QString::number(at.x()), QString::number(at.y()),
            QString::number(at.width()), QString::number(at.height()) });
        if (!wait_until([&] { return process.canReadLine() || process.state() == QProcess::NotRunning; }, 15000))
            return false;
        const QList<QByteArray> words = process.readLine().trimmed().split(' ');
        if (words.size() != 3 || words[0] != "listo")
            return false;
        origin = QPoint(words[1].toInt(), words[2].toInt());
        auto backend = platform::create_x11_screen_capture();
        if (!backend)
            return false;
        auto list = (*backend)->window_list();
        if (!list)
            return false;
        for (const auto& w : *list)
            if (w.pid == process.processId())
                id = w.window_id;
        return id != 0;
    }
    ~OtherWindow()
    {
        process.kill(); // the child this test started
        process.waitForFinished(5000);
    }
};

const QColor RED(255, 0, 0), GREEN(0, 255, 0), BLUE(0, 0, 255), YELLOW(255, 255, 0), MAGENTA(255, 0, 255);

} // namespace

TEST_F(CaptureStreamX11, TheProgramsPanelsAreLeftOutButTheException)
{
    OtherWindow other;
    ASSERT_TRUE(other.start(QRect(500, 300, 400, 300)));
    const QPoint o = other.origin;
    // A toast over the red quadrant, a capsule-sized panel over the yellow one,
    // the keys-and-clicks panel (the exception) over the blue one.
    Flat toast(Qt::white, QRect(o + QPoint(20, 20), QSize(160, 60)), Qt::ToolTip);
    Flat capsule(Qt::black, QRect(o + QPoint(220, 170), QSize(150, 44)));
    Flat keys(MAGENTA, QRect(o + QPoint(30, 180), QSize(120, 80)));
    pump_for(500);

    const QRect area(o, QSize(400, 300));
    const QString file = record("panels.mp4", display_filter({ ::getpid() }, { static_cast<std::uint32_t>(keys.winId()) }),
        config(area, 30), 1.5);
    const auto frames = frames_rgb(file, 400, 300);
    ASSERT_GT(frames.size(), 10u);
    const QImage& frame = frames[frames.size() / 2];
    auto at = [&](int x, int y) { return frame.pixelColor(x, y); };
    EXPECT_TRUE(near(at(100, 50), RED)) << "toast: " << describe(at(100, 50));
    EXPECT_TRUE(near(at(295, 190), YELLOW)) << "capsule: " << describe(at(295, 190));
    EXPECT_TRUE(near(at(90, 220), MAGENTA)) << "exception: " << describe(at(90, 220));
    EXPECT_TRUE(near(at(300, 60), GREEN)) << describe(at(300, 60));
}

// The windows to leave out are looked for again while the recording runs: a
// panel of ours moved from the red quadrant to the green one is still left out
// where it went, and what it uncovered shows again.
TEST_F(CaptureStreamX11, APanelMovedDuringTheRecordingIsLeftOutWhereItWent)
{
    OtherWindow other;
    ASSERT_TRUE(other.start(QRect(500, 300, 400, 300)));
    const QPoint o = other.origin;
    Flat toast(Qt::white, QRect(o + QPoint(20, 20), QSize(160, 60)), Qt::ToolTip);
    pump_for(500);

    const QRect area(o, QSize(400, 300));
    bool moved = false;
    const QString file = record("movido.mp4", display_filter({ ::getpid() }), config(area, 30), 3.0, platform::VideoCodec::H264,
        [&](double at) {
            if (at >= 1.0 && !moved) {
                moved = true;
                toast.move(o + QPoint(220, 20));
            }
        });
    const auto frames = frames_rgb(file, 400, 300);
    ASSERT_GT(frames.size(), 30u);
    for (const QImage* frame : { &frames[2], &frames.back() }) {
        auto at = [&](int x, int y) { return frame->pixelColor(x, y); };
        EXPECT_TRUE(near(at(100, 50), RED)) << (frame == &frames[2] ? "before: " : "after: ") << describe(at(100, 50));
        EXPECT_TRUE(near(at(300, 50), GREEN)) << (frame == &frames[2] ? "before: " : "after: ") << describe(at(300, 50));
    }
}

TEST_F(CaptureStreamX11, AWindowRecordingShowsTheWindowUncovered)
{
    OtherWindow other;
    ASSERT_TRUE(other.start(QRect(200, 200, 400, 300)));
    const QPoint o = other.origin;
    // Something else lies over the window's whole left half.
    Flat cover(MAGENTA, QRect(o - QPoint(10, 10), QSize(210, 320)));
    pump_for(500);

    platform::ContentFilter filter;
    filter.kind = platform::ContentFilter::Kind::Windows;
    filter.display = m_display;
    filter.included_windows = { other.id };
    const QString file = record("window.mp4", filter, config(QRect(o, QSize(400, 300)), 30), 1.2);
    const auto frames = frames_rgb(file, 400, 300);
    ASSERT_GT(frames.size(), 5u);
    const QImage& frame = frames[frames.size() / 2];
    EXPECT_TRUE(near(frame.pixelColor(50, 50), RED)) << describe(frame.pixelColor(50, 50));
    EXPECT_TRUE(near(frame.pixelColor(50, 250), BLUE)) << describe(frame.pixelColor(50, 250));
    EXPECT_TRUE(near(frame.pixelColor(350, 250), YELLOW)) << describe(frame.pixelColor(350, 250));
}

// A shaped window's own pixels keep what it painted before it was cut: the
// recording composes it within its shape only.
TEST_F(CaptureStreamX11, AWindowRecordingCutsAShapedWindowToItsShape)
{
    OtherWindow other;
    ASSERT_TRUE(other.start(QRect(200, 200, 400, 300)));
    const QPoint o = other.origin;
    // Painted whole over the green quadrant, then cut to its left half.
    Flat shaped(MAGENTA, QRect(o + QPoint(250, 40), QSize(100, 100)));
    pump_for(400);
    platform::set_shape(&shaped, QRegion(0, 0, 50, 100));
    pump_for(400);

    platform::ContentFilter filter;
    filter.kind = platform::ContentFilter::Kind::Windows;
    filter.display = m_display;
    filter.included_windows = { other.id, static_cast<std::uint32_t>(shaped.winId()) };
    const QString file = record("shaped.mp4", filter, config(QRect(o, QSize(400, 300)), 30), 1.2);
    const auto frames = frames_rgb(file, 400, 300);
    ASSERT_GT(frames.size(), 5u);
    const QImage& frame = frames[frames.size() / 2];
    EXPECT_TRUE(near(frame.pixelColor(275, 90), MAGENTA)) << describe(frame.pixelColor(275, 90));
    EXPECT_TRUE(near(frame.pixelColor(325, 90), GREEN)) << "cut away: " << describe(frame.pixelColor(325, 90));
}

namespace {

// The recording as the recorder seals it, or recovery after a kill: one
// regular MP4 with one sound track, beside it.
QString published(const QString& file)
{
    const QString to = file + ".publicada.mp4";
    const platform::ExportOutcome made = video::media()->export_mp4(file.toStdString(), to.toStdString(), {});
    EXPECT_EQ(made.status, platform::ExportStatus::Completed) << made.error.value_or("");
    return to;
}

// The sound of the recording as published, as mono floats at 48 kHz.
std::vector<float> sound_of(const QString& recording)
{
    const QString file = published(recording);
    const QByteArray raw = run("ffmpeg", { "-v", "error", "-i", file, "-map", "0:a", "-ac", "1", "-ar", "48000", "-f", "f32le", "-" });
    std::vector<float> samples(static_cast<std::size_t>(raw.size()) / sizeof(float));
    std::memcpy(samples.data(), raw.constData(), samples.size() * sizeof(float));
    return samples;
}

// The power of one frequency in the samples (Goertzel).
double power_at(const std::vector<float>& s, std::size_t from, std::size_t count, double hz)
{
    const double w = 2 * M_PI * hz / 48000.0;
    const double k = 2 * std::cos(w);
    double a = 0, b = 0;
    for (std::size_t i = from; i < from + count && i < s.size(); ++i) {
        const double c = s[i] + k * a - b;
        b = a;
        a = c;
    }
    return (a * a + b * b - k * a * b) / double(count * count);
}

// The strongest frequency between 200 and 2000 Hz, in 5 Hz steps.
double loudest(const std::vector<float>& s, std::size_t from, std::size_t count)
{
    double best = 0, best_power = -1;
    for (double hz = 200; hz <= 2000; hz += 5)
        if (const double p = power_at(s, from, count, hz); p > best_power) {
            best_power = p;
            best = hz;
        }
    return best;
}

// A sine of 880 Hz playing into the session's null sink while it lives.
struct Tone {
    QByteArray module;
    Tone() { module = run("pactl", { "load-module", "module-sine", "sink=vistrope_null", "frequency=880" }).trimmed(); }
    ~Tone()
    {
        if (!module.isEmpty())
            run("pactl", { "unload-module", QString::fromLatin1(module) });
    }
};

// A null sink that nobody listens to renders up to 2 s ahead, and a monitor
// that joins hears nothing of that (a sound card's sink starts over at the
// shorter latency): a listener keeps it short, as a sound card's is, so a
// recording's sound starts at once.
struct Listener {
    QProcess parec;
    Listener() { parec.start("parec", { "-d", "vistrope_null.monitor", "--latency-msec=20", "--raw" }); }
    ~Listener()
    {
        parec.kill(); // the child this test started
        parec.waitForFinished();
    }
    bool hears()
    {
        qint64 heard = 0;
        return wait_until([&] { return (heard += parec.readAll().size()) > 0; }, 5000);
    }
};

} // namespace

namespace {

// A second null sink whose monitor is the default source, as a microphone
// that plays what is sent to it; the session's own default source comes back
// after.
struct SecondSinkAsMicrophone {
    QByteArray module;
    QByteArray source_before;
    SecondSinkAsMicrophone()
    {
        source_before = run("pactl", { "get-default-source" }).trimmed();
        module = run("pactl", { "load-module", "module-null-sink", "sink_name=vistrope_micro" }).trimmed();
        run("pactl", { "set-default-source", "vistrope_micro.monitor" });
    }
    ~SecondSinkAsMicrophone()
    {
        run("pactl", { "set-default-source", QString::fromLatin1(source_before) });
        if (!module.isEmpty())
            run("pactl", { "unload-module", QString::fromLatin1(module) });
    }
};

// A file of `seconds` of a sine at `hz` (float32, mono, 48 kHz), for pacat.
QString sine_file(const QString& path, double hz, double seconds)
{
    std::vector<float> s(static_cast<std::size_t>(seconds * 48000));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<float>(0.3 * std::sin(2 * M_PI * hz * double(i) / 48000.0));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        ADD_FAILURE() << "cannot write " << path.toStdString();
    f.write(reinterpret_cast<const char*>(s.data()), qint64(s.size() * sizeof(float)));
    return path;
}

// A client that starts playing a sound file into a sink as a user's player
// does (the server's default latency, unless `latency_ms`), and is ended
// with the test.
struct Player {
    QProcess pacat;
    Player(const QString& sink, const QString& file, int latency_ms = 0)
    {
        QStringList args { "--playback", "--verbose", "-d", sink, "--raw", "--format=float32le", "--rate=48000",
            "--channels=1", file };
        if (latency_ms > 0)
            args << QString("--latency-msec=%1").arg(latency_ms);
        pacat.start("pacat", args);
    }
    // Whether the server has said the stream began playing (on a loaded
    // machine that can be long after the process was started).
    bool playing()
    {
        m_said += pacat.readAllStandardError();
        return m_said.contains("Stream started");
    }
    QByteArray m_said;
    ~Player()
    {
        pacat.kill(); // the child this test started
        pacat.waitForFinished();
    }
};

// Whether a tone of `hz` sounds in the 40 ms of `s` from `from` (a 0.3 sine gives about 0.02, silence 0).
bool sounds(const std::vector<float>& s, std::size_t from, double hz)
{
    return power_at(s, from, 1920, hz) > 2e-3;
}

constexpr double SYSTEM_HZ = 880;
constexpr double MICROPHONE_HZ = 660;

} // namespace

TEST_F(CaptureStreamX11, SystemSoundAndMicrophoneMakeOneAacTrackAsLongAsTheVideo)
{
    // A microphone that delivers in small pieces, as a sound card's does
    // (the session's sine source gives two seconds at a time).
    SecondSinkAsMicrophone microphone;
    ASSERT_FALSE(microphone.module.isEmpty());
    Player voice("vistrope_micro", sine_file(path("440.raw"), 440, 30), 20);
    Listener listener;
    Tone tone;
    ASSERT_FALSE(tone.module.isEmpty());
    ASSERT_TRUE(listener.hears());
    Flat window(SEQUENCE[1], QRect(100, 100, 200, 200));
    pump_for(300);

    struct Case {
        const char* name;
        bool system, microphone;
    };
    for (const Case& c : { Case { "sistema.mp4", true, false }, Case { "micro.mp4", false, true }, Case { "ambos.mp4", true, true } }) {
        SCOPED_TRACE(c.name);
        m_reports.list.clear();
        recorder::StreamWish wish;
        wish.region = platform::RectF { 120, 120, 160, 160 };
        wish.size = { 160, 160 };
        wish.fps = 30;
        wish.system_audio = c.system;
        wish.microphone = c.microphone;
        auto configuration = recorder::stream_configuration(wish);
        const QString recording = record(c.name, display_filter(), configuration, 2.5);
        ASSERT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFinished));
        const QString file = published(recording);

        auto audio = stream_info(file, "a");
        EXPECT_EQ(audio["codec_name"], "aac");
        EXPECT_EQ(audio["sample_rate"], "48000");
        EXPECT_EQ(audio["channels"], "2");
        const double video_s = std::stod(stream_info(file, "v")["duration"]);
        const double audio_s = std::stod(audio["duration"]);
        EXPECT_NEAR(audio_s, video_s, 0.1);
        // Only one sound track, whatever the inputs.
        EXPECT_EQ(run("ffprobe", { "-v", "error", "-select_streams", "a", "-show_entries", "stream=index", "-of", "csv=p=0", file })
                      .trimmed()
                      .split('\n')
                      .size(),
            1);

        const std::vector<float> s = sound_of(file);
        ASSERT_GT(s.size(), 48000u * 2);
        // Past the first half second: inputs take a moment to deliver.
        const std::size_t from = 24000, count = 48000;
        const double p440 = power_at(s, from, count, 440), p880 = power_at(s, from, count, 880), p660 = power_at(s, from, count, 660);
        if (c.system && !c.microphone) {
            EXPECT_NEAR(loudest(s, from, count), 880, 20);
        }
        if (c.microphone && !c.system) {
            EXPECT_NEAR(loudest(s, from, count), 440, 20);
        }
        if (c.system && c.microphone) {
            EXPECT_GT(p440, 100 * p660);
            EXPECT_GT(p880, 100 * p660);
        }
    }
}

// A client that wants a 2 ms latency has the sink render every half
// millisecond, so the monitor's packets never pause: the system sound still
// comes through all the recording, mixed with the microphone.
TEST_F(CaptureStreamX11, SystemSoundKeepsComingWhileAClientPlaysAtAShortLatency)
{
    SecondSinkAsMicrophone microphone;
    ASSERT_FALSE(microphone.module.isEmpty());
    Player voice("vistrope_micro", sine_file(path("440.raw"), 440, 30), 20);
    Listener listener;
    Tone tone;
    ASSERT_FALSE(tone.module.isEmpty());
    ASSERT_TRUE(listener.hears());
    QProcess eager;
    eager.start("pacat", { "--playback", "--latency-msec=2", "/dev/zero" });
    ASSERT_TRUE(eager.waitForStarted());
    const QRegularExpression configured("configured (\\d+) usec");
    EXPECT_TRUE(wait_until([&] {
        const auto m = configured.match(QString::fromUtf8(run("pactl", { "list", "sinks" })));
        return m.hasMatch() && m.captured(1).toInt() < 5000;
    }, 5000)) << "the sink kept a long latency";

    recorder::StreamWish wish;
    wish.region = platform::RectF { 0, 0, 64, 64 };
    wish.size = { 64, 64 };
    wish.fps = 30;
    wish.system_audio = true;
    wish.microphone = true;
    const QString file = record("ansioso.mp4", display_filter(), recorder::stream_configuration(wish), 2.5);
    eager.kill(); // the child this test started
    eager.waitForFinished();
    ASSERT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFinished));
    const std::vector<float> s = sound_of(file);
    ASSERT_GT(s.size(), 48000u * 2);
    // The last half second is left out: the session's microphone may not have delivered it by the stop.
    const std::size_t window = 12000;
    for (std::size_t from = 24000; from + window <= s.size() - 24000; from += window) {
        EXPECT_GT(power_at(s, from, window, 880), 100 * power_at(s, from, window, 660)) << "no system sound at " << from / 48000.0 << " s";
        EXPECT_GT(power_at(s, from, window, 440), 100 * power_at(s, from, window, 660)) << "no microphone at " << from / 48000.0 << " s";
    }
}

TEST_F(CaptureStreamX11, TheProgramPlaysNoSoundOfItsOwnWhileSystemSoundIsRecorded)
{
    const std::vector<std::int16_t> click(4410, 3000);
    ASSERT_TRUE(platform::play_pcm16_blocking(click, 44100, 1)) << "the session's PulseAudio took no sound";
    recorder::StreamWish wish;
    wish.region = platform::RectF { 0, 0, 64, 64 };
    wish.size = { 64, 64 };
    wish.fps = 10;
    wish.system_audio = true;
    bool held = true;
    record("callado.mp4", display_filter(), recorder::stream_configuration(wish), 1.0, platform::VideoCodec::H264,
        [&](double) { held = held && !platform::play_pcm16_blocking(click, 44100, 1); });
    EXPECT_TRUE(held);
    EXPECT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFinished));
    EXPECT_TRUE(platform::play_pcm16_blocking(click, 44100, 1)); // released with the stream
}


// Sound that starts after the recording began is in the file from its start,
// on system sound as on the microphone, wherever the sound server's sinks
// stood when the inputs joined (a null sink renders two seconds ahead of
// itself when nobody asks for less), and never before its start. (Sound
// that starts with the first frame comes once the inputs deliver: the
// picture does not wait for them.)
TEST_F(CaptureStreamX11, SoundStartingAfterTheFirstFrameIsInTheFileFromItsStart)
{
    SecondSinkAsMicrophone microphone;
    ASSERT_FALSE(microphone.module.isEmpty());
    const QString system_tone = sine_file(path("880.raw"), SYSTEM_HZ, 4);
    const QString microphone_tone = sine_file(path("660.raw"), MICROPHONE_HZ, 4);
    for (const double offset : { 0.3, 0.5, 1.0 }) {
        SCOPED_TRACE(testing::Message() << "tones " << offset << " s after the first frame");
        m_reports.list.clear();
        recorder::StreamWish wish;
        wish.region = platform::RectF { 0, 0, 64, 64 };
        wish.size = { 64, 64 };
        wish.fps = 30;
        wish.system_audio = true;
        wish.microphone = true;
        std::optional<Player> players[2];
        // CLOCK_MONOTONIC: when the players were started, and when both had
        // been heard to play (the tones began in between).
        std::int64_t started_ns = 0;
        std::int64_t playing_ns = 0;
        const auto playing = [&] {
            if (!playing_ns && players[0] && players[0]->playing() && players[1]->playing())
                playing_ns = monotonic_ns();
            return playing_ns != 0;
        };
        const QString file = record("tonos.mp4", display_filter(), recorder::stream_configuration(wish), offset + 1.5,
            platform::VideoCodec::H264,
            [&](double) {
                std::lock_guard lock(m_reports.mutex);
                if (!players[0] && monotonic_ns() >= m_first_frame_ns + static_cast<std::int64_t>(offset * 1e9)) {
                    started_ns = monotonic_ns();
                    players[0].emplace("vistrope_null", system_tone);
                    players[1].emplace("vistrope_micro", microphone_tone);
                }
                playing();
            },
            // At least a second of the tones, however late a loaded machine let them begin.
            [&] { return !playing() || monotonic_ns() < playing_ns + 1'000'000'000; });
        ASSERT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFinished));
        ASSERT_TRUE(players[0]);
        ASSERT_TRUE(playing()) << "the players never began";
        const std::vector<float> s = sound_of(file);
        // Samples of the file (its time 0 is the first frame's).
        const auto at = [&](std::int64_t ns) { return static_cast<std::int64_t>(std::llround((ns - m_first_frame_ns) * 48000.0 / 1e9)); };
        const std::int64_t start = at(started_ns);
        const std::int64_t heard_playing = at(playing_ns);
        ASSERT_GT(static_cast<std::int64_t>(s.size()), heard_playing + 48000) << "the sound is shorter than the recording";
        for (const double hz : { SYSTEM_HZ, MICROPHONE_HZ }) {
            // Never more than 40 ms before it was started (sync), always from
            // 0.1 s after the server said it played on.
            std::string heard, early, missing;
            for (std::int64_t from = 0; from + 1920 <= static_cast<std::int64_t>(s.size()) - 960; from += 960) {
                const bool on = sounds(s, static_cast<std::size_t>(from), hz);
                heard += on ? '#' : '.';
                if (on && from + 1920 <= start - 1920)
                    early += fmt::format(" {:.2f}", from / 48000.0);
                if (!on && from >= heard_playing + 4800)
                    missing += fmt::format(" {:.2f}", from / 48000.0);
            }
            EXPECT_TRUE(early.empty()) << hz << " Hz before it was started (at " << start / 48000.0 << " s), at" << early
                                       << " s; 20 ms steps: " << heard;
            EXPECT_TRUE(missing.empty()) << hz << " Hz missing after it played (at " << heard_playing / 48000.0 << " s), at"
                                         << missing << " s; 20 ms steps: " << heard;
        }
    }
}

// With a player of the server's default buffering already playing (its sink
// then renders two seconds ahead, and the monitor stays silent until that
// has played out), the picture starts as at a silent start, at once; the
// player's sound is in the file when it comes, at its place, and the file's
// sound runs to its picture's end. Over several moments into the playing.
TEST_F(CaptureStreamX11, ThePictureStartsAtOnceWhileAPlayerOfDefaultBufferingPlays)
{
    recorder::StreamWish wish;
    wish.region = platform::RectF { 0, 0, 64, 64 };
    wish.size = { 64, 64 };
    wish.fps = 30;
    wish.system_audio = true;
    wish.microphone = true; // the session's sine source: late, in blocks of two seconds
    const auto start_delay = [&] {
        std::lock_guard lock(m_reports.mutex);
        return double(m_first_frame_ns - m_start_asked_ns) / 1e9;
    };
    record("callada.mp4", display_filter(), recorder::stream_configuration(wish), 1.0);
    ASSERT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFinished));
    const double silent = start_delay();
    const QString tone = sine_file(path("880.raw"), SYSTEM_HZ, 30);
    for (const double into : { 0.0, 0.7, 1.6 }) {
        SCOPED_TRACE(testing::Message() << into << " s into the playing");
        m_reports.list.clear();
        Player player("vistrope_null", tone);
        ASSERT_TRUE(wait_until([] { return run("pactl", { "list", "short", "sinks" }).contains("RUNNING"); }, 5000));
        pump_for(static_cast<int>(into * 1000));
        const QString file = record("con_reproductor.mp4", display_filter(), recorder::stream_configuration(wish), 3.0);
        ASSERT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFinished));
        const double delay = start_delay();
        std::printf("arranque: %.3f s en silencio, %.3f s con reproductor (%.1f s después de empezar)\n", silent, delay, into);
        EXPECT_LE(delay, 0.5);
        EXPECT_LE(delay, silent + 0.1);
        const std::vector<float> s = sound_of(file);
        const double video_s = std::stod(stream_info(file, "v")["duration"]);
        EXPECT_GE(double(s.size()) / 48000.0, video_s - 0.1) << "the sound ends before the picture";
        // The player's sound came (late, after the sink's lead) and is in the file's last second.
        ASSERT_GT(s.size(), 48000u * 2);
        EXPECT_TRUE(sounds(s, s.size() - 48000, SYSTEM_HZ)) << "the player's sound is not in the file";
    }
}

// Says on stdout when each kind of sample last reached the recording
// ("llegó <kind> <ns>"), at most every 50 ms a kind: what a kill may lose is
// reckoned from what had reached the program, which a loaded machine delays.
struct Arrivals : platform::StreamOutput {
    std::mutex mutex;
    std::int64_t said[3] = {};
    void stream_output(platform::StreamOutputType type) override
    {
        const int kind = static_cast<int>(type);
        const std::int64_t now = monotonic_ns();
        std::lock_guard lock(mutex);
        if (now - said[kind] < 50'000'000)
            return;
        said[kind] = now;
        std::printf("llegó %d %lld\n", kind, static_cast<long long>(now));
        std::fflush(stdout);
    }
};

// A recording that records while a test looks on, until the test kills it
// (run as a child process by the next test; skipped otherwise).
TEST_F(CaptureStreamX11, DISABLED_RecordsUntilKilled)
{
    const QByteArray to = qgetenv("VISTROPE_TEST_RECORD_TO");
    if (to.isEmpty())
        GTEST_SKIP() << "only as the child of AKillLosesAtMostASecondOfSoundAndOfPicture";
    recorder::StreamWish wish;
    wish.region = platform::RectF { 0, 0, 64, 64 };
    wish.size = { 64, 64 };
    wish.fps = 30;
    wish.system_audio = true;
    wish.microphone = true;
    auto stream = platform::create_capture_stream(display_filter(), recorder::stream_configuration(wish), m_reports.delegate);
    ASSERT_TRUE(stream) << stream.error();
    ASSERT_TRUE((*stream)->add_recording_output({ QString::fromLocal8Bit(to).toStdString(), platform::VideoCodec::H264 }, m_reports.delegate));
    const auto arrivals = std::make_shared<Arrivals>();
    for (const auto kind : { platform::StreamOutputType::Screen, platform::StreamOutputType::Audio, platform::StreamOutputType::Microphone })
        ASSERT_TRUE((*stream)->add_stream_output(arrivals, kind));
    (*stream)->start([](std::optional<std::string> error) {
        // The parent reads this line: the first frame's time.
        std::printf("primer cuadro %lld %s\n", static_cast<long long>(monotonic_ns()), error ? error->c_str() : "");
        std::fflush(stdout);
    });
    pump_for(60000);
    ADD_FAILURE() << "not killed";
}

// SIGKILL at a random moment: the fragmented file, made one regular MP4 as
// recovery makes it, holds the picture and the sound of both inputs up to a
// second before the last that had reached the program at most, and its sound ends with its picture. In the
// last rounds the microphone is the session's sine source, which delivers two
// seconds at a time: the mix that keeps its blocks stands up to a block behind
// the picture, and the system sound the kill would lose with it comes from
// the sound written ahead.
TEST_F(CaptureStreamX11, AKillLosesAtMostASecondOfSoundAndOfPicture)
{
    std::optional<SecondSinkAsMicrophone> microphone;
    microphone.emplace();
    ASSERT_FALSE(microphone->module.isEmpty());
    const QString system_tone = sine_file(path("880.raw"), SYSTEM_HZ, 60);
    const QString microphone_tone = sine_file(path("660.raw"), MICROPHONE_HZ, 60);
    std::mt19937 random(55);
    for (int round = 0; round < 5; ++round) {
        const bool bursts = round >= 2;
        if (bursts)
            microphone.reset(); // the default source is the session's sine source again
        // Players of each round's own: a loaded machine makes the rounds
        // together longer than any one sound.
        Player system_player("vistrope_null", system_tone);
        std::optional<Player> microphone_player;
        if (!bursts)
            microphone_player.emplace("vistrope_micro", microphone_tone);
        ASSERT_TRUE(wait_until([&] { return system_player.playing() && (!microphone_player || microphone_player->playing()); }, 20000));
        const QString file = path(fmt::format("matada{}.mp4", round + 1).c_str());
        QProcess child;
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert("VISTROPE_TEST_RECORD_TO", file);
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
            { "--gtest_also_run_disabled_tests", "--gtest_filter=CaptureStreamX11.DISABLED_RecordsUntilKilled" });
        std::int64_t first_frame_ns = 0;
        QByteArray out;
        ASSERT_TRUE(wait_until([&] {
            child.waitForReadyRead(20);
            out += child.readAllStandardOutput();
            const int at = out.indexOf("primer cuadro ");
            if (at < 0 || out.indexOf('\n', at) < 0)
                return false;
            first_frame_ns = out.mid(at + 14, out.indexOf('\n', at) - at - 14).trimmed().toLongLong();
            return true;
        }, 20000)) << "the child never said it records: " << out.toStdString() << child.readAllStandardError().toStdString();
        const double wait_s = std::uniform_real_distribution<double>(2.5, 5.0)(random);
        while (monotonic_ns() < first_frame_ns + static_cast<std::int64_t>(wait_s * 1e9)) {
            pump_for(5);
            out += child.readAllStandardOutput(); // the pipe never fills, never holds the child back
        }
        const std::int64_t killed_ns = monotonic_ns();
        ::kill(static_cast<pid_t>(child.processId()), SIGKILL); // the child this test started
        ASSERT_TRUE(child.waitForFinished(10000));
        out += child.readAllStandardOutput();
        const double recorded = double(killed_ns - first_frame_ns) / 1e9;
        // Seconds into the recording at which each kind last reached the program.
        double reached[3] = {};
        for (const QByteArray& line : out.split('\n'))
            if (const QList<QByteArray> w = line.split(' '); w.size() == 3 && w[0] == "llegó")
                reached[std::clamp(w[1].toInt(), 0, 2)] = double(w[2].toLongLong() - first_frame_ns) / 1e9;
        SCOPED_TRACE(testing::Message() << "killed " << recorded << " s after the first frame; the last picture had reached it at "
                                        << reached[0] << " s, the system sound at " << reached[1] << " s, the microphone at " << reached[2] << " s");

        const QString kept = published(file);
        ASSERT_FALSE(HasFailure());
        const std::vector<double> times = frame_times(kept);
        ASSERT_FALSE(times.empty()) << "no picture in the killed file";
        ASSERT_TRUE(reached[0] > 0 && reached[1] > 0 && reached[2] > 0) << "a kind of sample never reached the program";
        EXPECT_GT(times.back() + 1.0 / 30, reached[0] - 1.0) << "the picture lost more than a second";
        // The sound: the last 40 ms stretch where each tone still sounds.
        QProcess decode;
        decode.start("ffmpeg", { "-v", "quiet", "-i", kept, "-map", "0:a", "-ac", "1", "-ar", "48000", "-f", "f32le", "-" });
        ASSERT_TRUE(decode.waitForFinished(60000));
        const QByteArray raw = decode.readAllStandardOutput();
        std::vector<float> s(static_cast<std::size_t>(raw.size()) / sizeof(float));
        std::memcpy(s.data(), raw.constData(), s.size() * sizeof(float));
        std::string lost = fmt::format("killed {:.2f} s after the first frame; lost: picture {:.2f} s", recorded,
            recorded - times.back() - 1.0 / 30);
        for (const int input : { 1, 2 }) {
            const double hz = input == 1 ? SYSTEM_HZ : MICROPHONE_HZ;
            if (bursts && hz == MICROPHONE_HZ)
                continue; // the sine source's own sound is what it has delivered
            double last = 0;
            for (std::size_t from = 0; from + 1920 <= s.size(); from += 960)
                if (sounds(s, from, hz))
                    last = double(from + 1920) / 48000.0;
            EXPECT_GT(last, reached[input] - 1.0) << hz << " Hz: the sound lost more than a second";
            lost += fmt::format(", {} Hz {:.2f} s", hz, recorded - last);
        }
        const double sound_end = double(s.size()) / 48000.0;
        EXPECT_GT(sound_end, times.back() + 1.0 / 30 - 0.5) << "the sound ends more than half a second before the picture";
        std::printf("%s; the sound ends %.2f s before the picture\n", lost.c_str(), times.back() + 1.0 / 30 - sound_end);
    }
}

TEST_F(CaptureStreamX11, ARegionOffTheDisplayFailsToStartAndTheOutputReportsFailure)
{
    auto configuration = config(QRect(0, 0, 64, 64), 30);
    configuration.source_rect = platform::RectF { m_display.frame.w + 500, 10, 64, 64 };
    auto stream = platform::create_capture_stream(display_filter(), configuration, m_reports.delegate);
    ASSERT_TRUE(stream) << stream.error();
    ASSERT_TRUE((*stream)->add_recording_output({ path("fuera.mp4").toStdString(), platform::VideoCodec::H264 }, m_reports.delegate));
    (*stream)->start([this](std::optional<std::string> error) {
        std::lock_guard lock(m_reports.mutex);
        m_reports.start = error;
    });
    ASSERT_TRUE(wait_until([&] { std::lock_guard lock(m_reports.mutex); return m_reports.start.has_value(); }, 20000));
    EXPECT_EQ(*m_reports.start, "la región no toca la pantalla");
    ASSERT_TRUE(wait_until([&] { return m_reports.ended(); }, 20000));
    EXPECT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFailed));
    EXPECT_FALSE(m_reports.has(recorder::Report::Kind::RecordingFinished));
    EXPECT_FALSE(m_reports.has(recorder::Report::Kind::RecordingStarted));
    EXPECT_FALSE(QFileInfo::exists(path("fuera.mp4"))); // no frame, no file
}

TEST_F(CaptureStreamX11, AStopRightAfterTheStartAnswersBothAndEndsTheFileOnce)
{
    for (int round = 0; round < 5; ++round) {
        Reports reports;
        auto stream = platform::create_capture_stream(display_filter(), config(QRect(0, 0, 64, 64), 60), reports.delegate);
        ASSERT_TRUE(stream) << stream.error();
        ASSERT_TRUE((*stream)->add_recording_output({ path("corta.mp4").toStdString(), platform::VideoCodec::H264 }, reports.delegate));
        std::atomic<int> starts = 0, stops = 0;
        (*stream)->start([&](std::optional<std::string>) { ++starts; });
        (*stream)->stop([&](std::optional<std::string> e) {
            EXPECT_FALSE(e);
            ++stops;
        });
        ASSERT_TRUE(wait_until([&] { return starts == 1 && stops == 1 && reports.ended(); }, 20000)) << "round " << round;
        stream->reset();
        EXPECT_EQ(starts, 1);
        EXPECT_EQ(stops, 1);
        // Finished when a frame made it into the file, failed when none did; never both.
        EXPECT_NE(reports.has(recorder::Report::Kind::RecordingFinished), reports.has(recorder::Report::Kind::RecordingFailed));
    }
}

TEST_F(CaptureStreamX11, ThePointerIsBlendedInAtItsHotSpotOnlyWhenAsked)
{
    const QRect area(400, 300, 200, 200);
    Flat window(Qt::white, area);
    pump_for(300);
    run("xdotool", { "mousemove", QString::number(area.x() + 100), QString::number(area.y() + 100) });
    pump_for(300);
    // The darkest pixel right below and beside the pointer's tip, and far from it.
    auto darkest = [](const QImage& frame, QRect box) {
        int dark = 255;
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x)
                dark = std::min(dark, qGray(frame.pixel(x, y)));
        return dark;
    };
    for (bool cursor : { true, false }) {
        SCOPED_TRACE(cursor ? "with pointer" : "without pointer");
        auto configuration = config(area, 10);
        configuration.shows_cursor = cursor;
        const QString file = record(cursor ? "puntero.mp4" : "sin_puntero.mp4", display_filter(), configuration, 0.8);
        const auto frames = frames_rgb(file, 200, 200);
        ASSERT_FALSE(frames.empty());
        const QImage& last = frames.back();
        EXPECT_GT(darkest(last, QRect(0, 0, 60, 60)), 200); // away from the pointer: white
        if (cursor)
            EXPECT_LT(darkest(last, QRect(100, 100, 12, 12)), 100);
        else
            EXPECT_GT(darkest(last, QRect(100, 100, 12, 12)), 200);
    }
}

// A desktop of one colour keeps no picture to read: what stands for it under
// a panel left out is read from the bare desktop, which a full-screen panel
// of ours (the keys-and-clicks one, shaped to nothing between clicks) does
// not cover.
TEST_F(CaptureStreamX11, UnderALeftOutPanelThePlainDesktopShowsWithTheKeysPanelUp)
{
    const QColor desk(40, 110, 180);
    run("xsetroot", { "-solid", desk.name() });
    Flat keys(MAGENTA, QRect(QPoint(0, 0), QGuiApplication::primaryScreen()->size()));
    platform::set_shape(&keys, QRegion());
    Flat capsule(Qt::black, QRect(300, 300, 150, 44));
    pump_for(500);

    const QString file = record("desk.mp4", display_filter({ ::getpid() }, { static_cast<std::uint32_t>(keys.winId()) }),
        config(QRect(250, 250, 250, 150), 30), 1.2);
    run("xsetroot", { "-solid", "black" });
    const auto frames = frames_rgb(file, 250, 150);
    ASSERT_GT(frames.size(), 5u);
    const QImage& frame = frames[frames.size() / 2];
    // A compositor paints a backdrop of its own over the root's colour.
    const QColor shown = frame.pixelColor(20, 20);
    if (!platform::compositor_running()) {
        EXPECT_TRUE(near(shown, desk)) << "desktop: " << describe(shown);
    }
    EXPECT_FALSE(near(shown, Qt::black)) << "desktop: " << describe(shown);
    EXPECT_TRUE(near(frame.pixelColor(125, 72), shown)) << "under the panel: " << describe(frame.pixelColor(125, 72));
}

// With a compositor the keys-and-clicks panel is not cut but clear: it
// covers the desktop no more than when cut to nothing.
TEST_F(CaptureStreamX11, UnderALeftOutPanelTheDesktopShowsThroughAClearKeysPanel)
{
    if (!platform::compositor_running())
        GTEST_SKIP() << "a clear panel needs a compositor";
    QWidget keys(nullptr, Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    keys.setAttribute(Qt::WA_TranslucentBackground);
    keys.setGeometry(QRect(QPoint(0, 0), QGuiApplication::primaryScreen()->size()));
    keys.show();
    Flat capsule(Qt::black, QRect(300, 300, 150, 44));
    pump_for(500);

    const QString file = record("clear.mp4", display_filter({ ::getpid() }, { static_cast<std::uint32_t>(keys.winId()) }),
        config(QRect(250, 250, 250, 150), 30), 1.2);
    const auto frames = frames_rgb(file, 250, 150);
    ASSERT_GT(frames.size(), 5u);
    const QImage& frame = frames[frames.size() / 2];
    const QColor shown = frame.pixelColor(20, 20);
    EXPECT_FALSE(near(shown, Qt::black)) << "desktop: " << describe(shown);
    EXPECT_TRUE(near(frame.pixelColor(125, 72), shown)) << "under the panel: " << describe(frame.pixelColor(125, 72));
}

// Every thread a capture and a recording with sound run on carries a name of
// its own, those the encoder and the sound server's client start included.
TEST_F(CaptureStreamX11, DuringACaptureAndARecordingWithSoundOnlyTheMainThreadCarriesTheProgramsName)
{
    EXPECT_EQ(threads_with_the_programs_name(), std::set<std::string> {}) << "before anything started";

    auto capture = platform::create_x11_screen_capture();
    ASSERT_TRUE(capture) << capture.error();
    std::mutex mutex;
    std::optional<std::set<std::string>> during_grab;
    platform::DisplayGrab grab;
    grab.display = m_display;
    grab.region = platform::RectF { 0, 0, 64, 64 };
    (*capture)->grab_display(grab, [&](platform::ImageResult image) {
        EXPECT_TRUE(image) << (image ? "" : image.error());
        std::lock_guard lock(mutex);
        during_grab = threads_with_the_programs_name();
    });
    ASSERT_TRUE(wait_until([&] { std::lock_guard lock(mutex); return during_grab.has_value(); }, 20000)) << "the grab never answered";
    EXPECT_EQ(*during_grab, std::set<std::string> {}) << "during a still capture";

    Listener listener;
    Tone tone;
    ASSERT_FALSE(tone.module.isEmpty());
    recorder::StreamWish wish;
    // Large and quick enough that the encoder gets frame threads of its own.
    wish.region = platform::RectF { 0, 0, 1280, 720 };
    wish.size = { 1280, 720 };
    wish.fps = 60;
    wish.system_audio = true;
    wish.microphone = true;
    std::set<std::string> seen;
    int looks = 0;
    record("nombres.mp4", display_filter(), recorder::stream_configuration(wish), 1.5, platform::VideoCodec::H264, [&](double) {
        ++looks;
        seen.merge(threads_with_the_programs_name());
    });
    EXPECT_TRUE(m_reports.has(recorder::Report::Kind::RecordingFinished));
    EXPECT_GT(looks, 0);
    EXPECT_EQ(seen, std::set<std::string> {}) << "during a recording with sound (thread ids)";
}
