#include "platform/fake/capture_stream_fake.h"

#include <algorithm>

namespace platform {

CaptureStreamFake::CaptureStreamFake(ContentFilter filter, StreamConfiguration configuration,
    std::shared_ptr<StreamListener> listener, CaptureStreamScript script)
    : m_filter(std::move(filter))
    , m_configuration(std::move(configuration))
    , m_listener(std::move(listener))
    , m_script(std::move(script))
    , m_thread([this] { run(); })
{
}

CaptureStreamFake::~CaptureStreamFake()
{
    // As the real stream: going away stops a running stream and finishes its file.
    if (m_started && !m_script.start_error)
        post([this] { finish_file(); });
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_cv.notify_all();
    m_thread.join();
}

std::expected<void, std::string> CaptureStreamFake::add_stream_output(std::shared_ptr<StreamOutput> output, StreamOutputType type)
{
    const int i = static_cast<int>(type);
    if (auto error = stream_output_error(m_configuration, type, i >= 0 && i <= 2 && m_outputs[i]))
        return std::unexpected(*error);
    m_outputs[i] = std::move(output);
    return {};
}

std::expected<void, std::string> CaptureStreamFake::add_recording_output(
    const RecordingConfiguration& configuration, std::shared_ptr<RecordingListener> listener)
{
    if (m_recording)
        return std::unexpected(std::string("la captura ya tiene un archivo de grabación"));
    if (std::ranges::find(m_script.available, configuration.codec) == m_script.available.end())
        return std::unexpected("códec no disponible: " + codec_tag(configuration.codec));
    m_recording = configuration;
    m_recording_listener = std::move(listener);
    return {};
}

void CaptureStreamFake::start(StreamCompletion done)
{
    if (m_started) {
        post([done = std::move(done)] { done(std::string("la captura ya empezó")); });
        return;
    }
    m_started = true;
    if (m_script.start_error) {
        post([done = std::move(done), e = *m_script.start_error] { done(e); });
        return;
    }
    post([this, done = std::move(done)] {
        done(std::nullopt);
        const int count = m_script.pictures.empty() ? m_script.frames : static_cast<int>(m_script.pictures.size());
        for (int i = 0; i < count; ++i) {
            if (m_file_done)
                break;
            if (m_outputs[0] && !m_script.pictures.empty()) {
                const ScriptedFrame& p = m_script.pictures[static_cast<std::size_t>(i)];
                m_outputs[0]->screen_frame({ p.bgra.data(), p.width, p.height, std::size_t(p.width) * 4 });
            }
            if (m_outputs[0])
                m_outputs[0]->stream_output(StreamOutputType::Screen);
            {
                std::lock_guard lock(m_mutex);
                ++m_frames;
            }
            if (m_frames == 1 && m_recording_listener)
                m_recording_listener->recording_started();
            if (m_script.fail_after_frames && m_frames >= *m_script.fail_after_frames && m_recording_listener) {
                m_file_done = true;
                m_recording_listener->recording_failed(m_script.failure);
            }
        }
        if (m_script.stop_error) {
            if (m_listener)
                m_listener->stream_stopped(*m_script.stop_error);
            finish_file();
        }
    });
}

void CaptureStreamFake::stop(StreamCompletion done)
{
    if (!m_started || m_stopped || m_script.start_error) {
        post([done = std::move(done)] { done(std::string("la captura no está en marcha")); });
        return;
    }
    m_stopped = true;
    post([this, done = std::move(done)] {
        done(std::nullopt);
        finish_file();
    });
}

void CaptureStreamFake::finish_file()
{
    if (m_file_done || m_script.never_finish || !m_recording_listener)
        return;
    m_file_done = true;
    m_recording_listener->recording_finished();
}

int CaptureStreamFake::frames_delivered() const
{
    std::lock_guard lock(m_mutex);
    return m_frames;
}

void CaptureStreamFake::post(std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_cv.notify_all();
}

void CaptureStreamFake::drain()
{
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_jobs.empty() && !m_busy; });
}

void CaptureStreamFake::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
        if (m_jobs.empty())
            return;
        auto job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        job();
        lock.lock();
        m_busy = false;
        m_cv.notify_all();
    }
}

std::expected<std::unique_ptr<CaptureStreamFake>, std::string> create_capture_stream_fake(ContentFilter filter,
    StreamConfiguration configuration, std::shared_ptr<StreamListener> listener, CaptureStreamScript script)
{
    if (auto error = configuration_error(configuration))
        return std::unexpected(*error);
    return std::make_unique<CaptureStreamFake>(std::move(filter), std::move(configuration), std::move(listener), std::move(script));
}

} // namespace platform
