// platform: a scripted capture stream for tests.
//
// It grabs nothing: once started it "delivers" a number of screen frames to
// its screen output and reports to its listeners as a real stream would, on a
// thread of its own (never inline), and it can be told to refuse to start,
// to fail after some frames, to stop by itself with an error, or to never
// report the end of the file. drain() waits until every report is out.
#pragma once

#include "platform/capture_stream.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace platform {

// One screen frame the fake hands to its screen output: packed BGRA rows.
struct ScriptedFrame {
    std::vector<std::uint8_t> bgra;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

struct CaptureStreamScript {
    std::optional<std::string> start_error = std::nullopt;   // start's completion fails with this
    int frames = 3;                           // frames delivered after the start
    std::vector<ScriptedFrame> pictures = {}; // when given: these frames' pixels, one frame each (`frames` is ignored)
    std::optional<int> fail_after_frames = std::nullopt;     // the recording output fails after this many frames
    std::string failure = "disco lleno";      // its error text
    std::optional<std::string> stop_error = std::nullopt;    // the stream stops by itself after the frames
    bool never_finish = false;                // the recording output never reports the end
    std::vector<VideoCodec> available = { VideoCodec::H264 };
};

class CaptureStreamFake final : public CaptureStream {
public:
    CaptureStreamFake(ContentFilter filter, StreamConfiguration configuration, std::shared_ptr<StreamListener> listener,
        CaptureStreamScript script);
    ~CaptureStreamFake() override;

    const StreamConfiguration& configuration() const override { return m_configuration; }
    std::expected<void, std::string> add_stream_output(std::shared_ptr<StreamOutput> output, StreamOutputType type) override;
    std::expected<void, std::string> add_recording_output(const RecordingConfiguration& configuration,
        std::shared_ptr<RecordingListener> listener) override;
    void start(StreamCompletion done) override;
    void stop(StreamCompletion done) override;

    // Blocks until every queued report has been delivered. Any thread but the fake's.
    void drain();

    // What the stream was made with, for tests to check.
    const ContentFilter& filter() const { return m_filter; }
    const std::optional<RecordingConfiguration>& recording() const { return m_recording; }
    int frames_delivered() const;

private:
    void post(std::function<void()> job);
    void run();
    void finish_file(); // on the fake's thread

    const ContentFilter m_filter;
    const StreamConfiguration m_configuration;
    const std::shared_ptr<StreamListener> m_listener;
    const CaptureStreamScript m_script;
    std::shared_ptr<StreamOutput> m_outputs[3];
    std::shared_ptr<RecordingListener> m_recording_listener;
    std::optional<RecordingConfiguration> m_recording;
    bool m_started = false; // main thread
    bool m_stopped = false;

    // The fake's thread and what it alone touches.
    int m_frames = 0;
    bool m_file_done = false;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_jobs;
    bool m_busy = false;
    bool m_quit = false;
    std::thread m_thread;
};

// A fake stream through the same checks as the real one.
std::expected<std::unique_ptr<CaptureStreamFake>, std::string> create_capture_stream_fake(ContentFilter filter,
    StreamConfiguration configuration, std::shared_ptr<StreamListener> listener, CaptureStreamScript script = {});

} // namespace platform
