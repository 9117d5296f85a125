#include "platform/fake/capture_stream_fake.h"
#include "record/recorder_stream.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using platform::CaptureStreamScript;
using recorder::Report;

namespace {

// Collects the delegate's reports and the completions, as the main thread would receive them.
struct Collector {
    std::mutex mutex;
    std::vector<Report> reports;
    std::vector<std::optional<std::string>> starts;
    std::vector<std::optional<std::string>> stops;
    std::thread::id caller = std::this_thread::get_id();
    bool off_thread = true;

    std::shared_ptr<recorder::RecorderDelegate> delegate(std::uint64_t id)
    {
        return std::make_shared<recorder::RecorderDelegate>(id, [this](Report r) {
            std::lock_guard lock(mutex);
            off_thread = off_thread && std::this_thread::get_id() != caller;
            reports.push_back(std::move(r));
        });
    }
    platform::StreamCompletion on_start()
    {
        return [this](std::optional<std::string> e) {
            std::lock_guard lock(mutex);
            starts.push_back(recorder::error_text(e));
        };
    }
    platform::StreamCompletion on_stop()
    {
        return [this](std::optional<std::string> e) {
            std::lock_guard lock(mutex);
            stops.push_back(recorder::error_text(e));
        };
    }
    std::vector<Report::Kind> kinds()
    {
        std::lock_guard lock(mutex);
        std::vector<Report::Kind> k;
        for (const auto& r : reports)
            k.push_back(r.kind);
        return k;
    }
};

platform::StreamConfiguration configuration()
{
    platform::StreamConfiguration c;
    c.width = 640;
    c.height = 400;
    return c;
}

// A stream with the delegate as stream listener, screen output and recording listener.
std::unique_ptr<platform::CaptureStreamFake> make(Collector& c, CaptureStreamScript script, std::uint64_t id = 7)
{
    auto delegate = c.delegate(id);
    auto stream = platform::create_capture_stream_fake({}, configuration(), delegate, std::move(script));
    EXPECT_TRUE(stream.has_value());
    EXPECT_TRUE((*stream)->add_stream_output(delegate, platform::StreamOutputType::Screen));
    EXPECT_TRUE((*stream)->add_recording_output({ "/tmp/x.mp4", platform::VideoCodec::H264 }, delegate));
    return std::move(*stream);
}

using K = Report::Kind;

} // namespace

TEST(CaptureStreamFake, ANormalRecordingReportsStartThenFinishOffTheCallersThread)
{
    Collector c;
    auto stream = make(c, {});
    stream->start(c.on_start());
    stream->drain();
    EXPECT_EQ(c.kinds(), std::vector<K> { K::RecordingStarted });
    EXPECT_EQ(stream->frames_delivered(), 3);
    stream->stop(c.on_stop());
    stream->stop(c.on_stop()); // a second stop is refused, the file is finished once
    stream->drain();
    EXPECT_EQ(c.kinds(), (std::vector<K> { K::RecordingStarted, K::RecordingFinished }));
    EXPECT_EQ(c.reports.back().id, 7u);
    EXPECT_EQ(c.starts, std::vector<std::optional<std::string>> { std::nullopt });
    ASSERT_EQ(c.stops.size(), 2u);
    EXPECT_FALSE(c.stops[0]);
    EXPECT_EQ(c.stops[1], "la captura no está en marcha");
    EXPECT_TRUE(c.off_thread);
}

TEST(CaptureStreamFake, DroppingARunningStreamFinishesItsFileOnce)
{
    Collector c;
    auto stream = make(c, {});
    stream->start(c.on_start());
    stream->drain();
    stream.reset();
    EXPECT_EQ(c.kinds(), (std::vector<K> { K::RecordingStarted, K::RecordingFinished }));

    // Stopped first: the file was finished then, not again.
    Collector stopped;
    stream = make(stopped, {});
    stream->start(stopped.on_start());
    stream->stop(stopped.on_stop());
    stream.reset();
    EXPECT_EQ(stopped.kinds(), (std::vector<K> { K::RecordingStarted, K::RecordingFinished }));

    // Never started: there is no file to speak of.
    Collector idle;
    make(idle, {}).reset();
    EXPECT_TRUE(idle.kinds().empty());
}

TEST(CaptureStreamFake, FaultsReachTheirListeners)
{
    {
        Collector c;
        auto stream = make(c, { .start_error = "sin pantalla" });
        stream->start(c.on_start());
        stream->stop(c.on_stop());
        stream->drain();
        EXPECT_EQ(c.starts, std::vector<std::optional<std::string>> { "sin pantalla" });
        EXPECT_TRUE(c.kinds().empty());
        EXPECT_EQ(stream->frames_delivered(), 0);
    }
    {
        Collector c;
        auto stream = make(c, { .frames = 5, .fail_after_frames = 2 });
        stream->start(c.on_start());
        stream->drain();
        stream->stop(c.on_stop());
        stream->drain();
        // After the failure no frames are written and no end is reported.
        EXPECT_EQ(c.kinds(), (std::vector<K> { K::RecordingStarted, K::RecordingFailed }));
        EXPECT_EQ(c.reports[1].error, "disco lleno");
        EXPECT_EQ(stream->frames_delivered(), 2);
    }
    {
        Collector c;
        auto stream = make(c, { .stop_error = "la pantalla X se cerró" });
        stream->start(c.on_start());
        stream->drain();
        EXPECT_EQ(c.kinds(), (std::vector<K> { K::RecordingStarted, K::StreamStopped, K::RecordingFinished }));
        EXPECT_EQ(c.reports[1].error, "la pantalla X se cerró");
    }
    {
        Collector c;
        auto stream = make(c, { .never_finish = true });
        stream->start(c.on_start());
        stream->stop(c.on_stop());
        stream->drain();
        EXPECT_EQ(c.kinds(), std::vector<K> { K::RecordingStarted });
        EXPECT_EQ(c.stops.size(), 1u);
    }
}

TEST(CaptureStreamFake, RefusesWhatItCannotHonour)
{
    auto odd = configuration();
    odd.width = 641;
    EXPECT_FALSE(platform::create_capture_stream_fake({}, odd, nullptr));
    // An interval is a positive fraction of a second: neither part may be zero or negative.
    for (const platform::FrameInterval interval : { platform::FrameInterval { 0, 60 }, platform::FrameInterval { 1, 0 },
             platform::FrameInterval { -1, 60 }, platform::FrameInterval { 1, -60 }, platform::FrameInterval {} }) {
        auto invalid = configuration();
        invalid.minimum_frame_interval = interval;
        EXPECT_FALSE(platform::create_capture_stream_fake({}, invalid, nullptr)) << interval.value << "/" << interval.timescale;
    }
    auto empty = configuration();
    empty.source_rect = platform::RectF { 5, 5, 0, 10 };
    EXPECT_FALSE(platform::create_capture_stream_fake({}, empty, nullptr));

    auto stream = platform::create_capture_stream_fake({}, configuration(), nullptr);
    ASSERT_TRUE(stream);
    auto& s = **stream;
    EXPECT_EQ(s.configuration().minimum_frame_interval, (platform::FrameInterval { 1, 60 }));
    auto delegate = std::make_shared<recorder::RecorderDelegate>(1, [](Report) {});
    // No sound configured: audio outputs are refused, the screen is accepted once.
    EXPECT_FALSE(s.add_stream_output(delegate, platform::StreamOutputType::Audio));
    EXPECT_FALSE(s.add_stream_output(delegate, platform::StreamOutputType::Microphone));
    EXPECT_TRUE(s.add_stream_output(delegate, platform::StreamOutputType::Screen));
    EXPECT_FALSE(s.add_stream_output(delegate, platform::StreamOutputType::Screen));
    // HEVC is not available in the default script; a second output is refused.
    EXPECT_FALSE(s.add_recording_output({ "/tmp/x.mp4", platform::VideoCodec::Hevc }, delegate));
    EXPECT_TRUE(s.add_recording_output({ "/tmp/x.mp4", platform::VideoCodec::H264 }, delegate));
    EXPECT_FALSE(s.add_recording_output({ "/tmp/y.mp4", platform::VideoCodec::H264 }, delegate));
    EXPECT_EQ(s.recording()->path, "/tmp/x.mp4");
}
