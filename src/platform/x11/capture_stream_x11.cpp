// The capture stream on X11.
//
// A grab thread with an X connection of its own reads the stream's rectangle
// at absolute deadlines on CLOCK_MONOTONIC (so lateness never accumulates),
// leaves the program's panels out or composes a window recording's windows
// from their own pixmaps, blends the pointer in, and queues each frame with
// its slot on the frame grid for the recording output. A grab that misses its
// slot loses it (a hole in the file's timestamps) instead of pushing every
// later frame back. Which windows to leave out is read from the window tree
// every quarter of a second, never per frame, on a thread and X connection of
// its own: reading the tree costs more than the grab itself, tens of
// milliseconds on a server busy with a 4K screen.
#include "platform/capture_stream.h"
#include "platform/media_module.h"
#include "platform/ffmpeg/mp4_writer.h"
#include "platform/pulse/audio_capture.h"
#include "platform/sound_out.h"
#include "platform/x11/x11_pixels.h"

#include "base/util.h"
#include "base/util_thread.h"

#include <QPainter>

#include <fmt/format.h>

#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace platform {

namespace {

std::int64_t monotonic_ns()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void sleep_until_ns(std::int64_t deadline)
{
    timespec ts { static_cast<time_t>(deadline / 1'000'000'000), static_cast<long>(deadline % 1'000'000'000) };
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// How often the set of windows to leave out (or to compose) is read again.
constexpr std::int64_t PLAN_PERIOD_NS = 250'000'000;
// How long a stop waits for the sound inputs to deliver up to the last
// frame: a source that delivers in blocks (the sound server's sine source
// gives two seconds at a time) has the end of its sound in the next one. As
// long as the mix waits for an input while recording.
constexpr auto SOUND_TAIL_NS = static_cast<std::int64_t>(ffmpeg::SoundWait::MOST_LATE_SOUND_S * 1e9);

class CaptureStreamX11 final : public CaptureStream {
public:
    CaptureStreamX11(ContentFilter filter, StreamConfiguration configuration, std::shared_ptr<StreamListener> listener,
        std::unique_ptr<x11::PixelSource> source, std::unique_ptr<x11::PixelSource> planner)
        : m_filter(std::move(filter))
        , m_configuration(std::move(configuration))
        , m_listener(std::move(listener))
        , m_source(std::move(source))
        , m_planner(std::move(planner))
    {
        const FrameInterval& i = m_configuration.minimum_frame_interval;
        m_period_ns = std::max<std::int64_t>(1, i.value * 1'000'000'000 / i.timescale);
    }

    ~CaptureStreamX11() override
    {
        m_stop = true;
        m_grab.join();
        m_audio.reset();
        if (m_output)
            m_output->finish();
        m_output.reset(); // waits for the writer to close the file
        for (auto& t : m_helpers)
            t.join();
        // The frames, the encoder's pictures and the queue were freed into
        // the allocator's arenas, which keep them: hundreds of megabytes at
        // rest after a recording. Their free pages go back to the system.
        ::malloc_trim(0);
    }

    const StreamConfiguration& configuration() const override { return m_configuration; }

    std::expected<void, std::string> add_stream_output(std::shared_ptr<StreamOutput> output, StreamOutputType type) override
    {
        const int i = static_cast<int>(type);
        if (auto error = stream_output_error(m_configuration, type, i >= 0 && i <= 2 && m_outputs[i]))
            return std::unexpected(*error);
        m_outputs[i] = std::move(output);
        return {};
    }

    std::expected<void, std::string> add_recording_output(const RecordingConfiguration& configuration,
        std::shared_ptr<RecordingListener> listener) override
    {
        if (m_output)
            return std::unexpected(std::string("la captura ya tiene un archivo de grabación"));
        const auto codecs = ffmpeg::available_codecs();
        if (std::ranges::find(codecs, configuration.codec) == codecs.end())
            return std::unexpected("códec no disponible: " + codec_tag(configuration.codec));
        auto output = ffmpeg::RecordingOutput::open(configuration, m_configuration, std::move(listener));
        if (!output)
            return std::unexpected(output.error());
        m_output = std::move(*output);
        return {};
    }

    void start(StreamCompletion done) override
    {
        if (m_grab.started() || m_stop) {
            later([done = std::move(done)] { done(std::string("la captura ya empezó")); });
            return;
        }
        if (m_output)
            m_output->start();
        auto started = std::make_shared<StreamCompletion>(std::move(done));
        m_grab = util::Thread::start("vistrope-grab", [this, started] { run(std::move(*started)); });
        if (!m_grab.started()) {
            if (m_output)
                m_output->finish();
            later([started] { (*started)(std::string("no pude iniciar la captura: el sistema no da más hilos")); });
        }
    }

    void stop(StreamCompletion done) override
    {
        std::lock_guard lock(m_stop_mutex);
        if (!m_grab.started() || m_grab_ended || m_stop) {
            later([done = std::move(done)] { done(std::string("la captura no está en marcha")); });
            return;
        }
        m_stop_done = std::move(done);
        m_stop = true;
    }

private:
    // Runs `job` on a thread of its own (completions never run inline, but
    // for a system that refuses that thread too).
    void later(std::function<void()> job)
    {
        auto shared = std::make_shared<std::function<void()>>(std::move(job));
        if (util::Thread t = util::Thread::start("vistrope-done", [shared] { (*shared)(); }); t.started())
            m_helpers.push_back(std::move(t));
        else
            (*shared)();
    }

    // --- the grab thread ----------------------------------------------------

    void run(StreamCompletion started)
    {
        // The system's sound is everyone's: while it is recorded, the program keeps quiet.
        const bool hold = m_output && m_configuration.captures_audio && m_configuration.excludes_current_process_audio;
        if (hold)
            hold_own_sounds();
        std::int64_t slot = 0;
        std::int64_t next_plan = 0;
        PixelRect rect;
        x11::Underlay plan;
        std::optional<std::string> stopped_by;
        std::int64_t missed = 0;
        std::int64_t grabbed = 0;
        std::int64_t last_slot = -1;
        // Plans after the first come from a thread of their own, on a
        // connection of their own: reading the window tree takes several
        // round trips, tens of milliseconds on a server busy with a 4K
        // screen, and the grab must not wait for them.
        std::mutex planned_mutex;
        std::condition_variable planned_cv;
        bool planning_done = false;                                 // with planned_mutex
        std::optional<std::pair<PixelRect, x11::Underlay>> planned; // with planned_mutex
        std::int64_t plans = 0;                                     // these three too
        std::int64_t plan_ns = 0;
        std::int64_t slowest_plan_ns = 0;
        const auto count_plan = [&](std::int64_t took) {
            std::lock_guard lock(planned_mutex);
            ++plans;
            plan_ns += took;
            slowest_plan_ns = std::max(slowest_plan_ns, took);
        };
        const auto replan = [&] {
            const std::int64_t now = monotonic_ns();
            rect = m_source->clip(m_filter.display, m_configuration.source_rect);
            plan = make_plan(*m_source, rect);
            next_plan = now + PLAN_PERIOD_NS;
            count_plan(monotonic_ns() - now);
        };
        // The picture starts when the user asked, never held for the sound: a
        // monitor may stay silent for up to two seconds after it connects
        // (see pulse/audio_capture.h), and its sound is placed by its own
        // times when it comes, after silence. Reaching the sound server is
        // done on a thread of its own, beside the first plan and pictures.
        util::Thread audio_starter = util::Thread::start("vistrope-audio", [this] { start_audio(); });
        if (!audio_starter.started())
            start_audio();
        // The first plan, and the two pictures the grab alternates between,
        // are made before the clock starts: at 4K each takes longer than a
        // frame, and the first slots would be lost to them.
        replan();
        if (m_filter.kind != ContentFilter::Kind::Windows && rect.w > 0 && rect.h > 0) {
            const auto first = m_source->read_root(rect);
            if (first)
                (void)m_source->read_root(rect); // made while the first is held, so a second one
        }
        const std::int64_t t0 = monotonic_ns();
        {
            std::lock_guard lock(m_audio_mutex);
            m_origin = t0;
            if (m_audio)
                m_audio->begin(t0);
        }
        // Refused a thread, the grab makes its own plans, as without a second connection.
        util::Thread planner;
        if (m_planner)
            planner = util::Thread::start("vistrope-plan", [&] {
                std::unique_lock lock(planned_mutex);
                while (!planned_cv.wait_for(lock, std::chrono::nanoseconds(PLAN_PERIOD_NS), [&] { return planning_done; })) {
                    lock.unlock();
                    const std::int64_t now = monotonic_ns();
                    const PixelRect r = m_planner->clip(m_filter.display, m_configuration.source_rect);
                    x11::Underlay p = make_plan(*m_planner, r);
                    count_plan(monotonic_ns() - now);
                    lock.lock();
                    planned.emplace(r, std::move(p));
                }
            });
        while (!m_stop) {
            sleep_until_ns(t0 + slot * m_period_ns);
            if (m_stop)
                break;
            // A frame after a failed grab waits for its plan; other plans
            // are made after a frame (below).
            if (next_plan == 0)
                replan();
            const std::int64_t grab_start = monotonic_ns();
            auto frame = grab(rect, plan);
            m_grab_ns += monotonic_ns() - grab_start;
            if (!frame) {
                if (started) {
                    // The first grab decides whether the stream starts at all.
                    std::exchange(started, nullptr)(frame.error());
                    break;
                }
                if (m_source->broken() || rect.w <= 0 || rect.h <= 0) {
                    stopped_by = frame.error();
                    break;
                }
                next_plan = 0; // the display may have changed: look again
            } else {
                ++grabbed;
                if (started)
                    std::exchange(started, nullptr)(std::nullopt);
                if (m_outputs[0]) {
                    const QImage& image = *frame;
                    m_outputs[0]->screen_frame({ image.constBits(), static_cast<std::uint32_t>(image.width()),
                        static_cast<std::uint32_t>(image.height()), static_cast<std::size_t>(image.bytesPerLine()) });
                }
                if (m_output)
                    m_output->push_video({ std::move(*frame), slot });
                last_slot = slot;
                if (m_outputs[0])
                    m_outputs[0]->stream_output(StreamOutputType::Screen);
                if (planner.started()) {
                    std::lock_guard lock(planned_mutex);
                    if (planned) {
                        rect = planned->first;
                        plan = std::move(planned->second);
                        planned.reset();
                    }
                } else if (monotonic_ns() >= next_plan) {
                    // Made in the time left after this frame, not before the
                    // next one's grab, where it would push that grab past its slot.
                    replan();
                }
            }
            // The next slot whose time has not passed yet, or the current one
            // when we are late within it: a missed slot stays a hole.
            const std::int64_t next = std::max(slot + 1, (monotonic_ns() - t0) / m_period_ns);
            missed += next - slot - 1;
            slot = next;
        }
        if (planner.started()) {
            {
                std::lock_guard lock(planned_mutex);
                planning_done = true;
            }
            planned_cv.notify_all();
            planner.join();
        }
        const auto per_frame = [grabbed](std::int64_t ns) { return grabbed ? double(ns) / double(grabbed) / 1e6 : 0.0; };
        util::log(fmt::format("grabación: {} cuadros capturados en {} turnos; {} turnos perdidos al capturar, {} cuadros sin lugar en la cola; "
                              "por cuadro {:.2f} ms (lectura {:.2f}, ventanas propias {:.2f}, puntero {:.2f}); "
                              "{} planes de ventanas de {:.2f} ms, el más lento {:.2f} ms",
            grabbed, slot, missed, m_output ? m_output->frames_dropped() : 0, per_frame(m_grab_ns), per_frame(m_read_ns),
            per_frame(m_paint_ns), per_frame(m_cursor_ns), plans, plans ? double(plan_ns) / double(plans) / 1e6 : 0.0,
            double(slowest_plan_ns) / 1e6));
        if (started) // stopped before the first grab
            started(std::string("la captura se detuvo antes de empezar"));
        audio_starter.join();
        // A stop keeps the sound up to the last frame: what the inputs have
        // not delivered yet is waited for.
        if (m_output && m_audio && !stopped_by && last_slot >= 0) {
            const std::int64_t began = monotonic_ns();
            if (!m_output->wait_for_sound(last_slot + 1, began + SOUND_TAIL_NS))
                util::log("grabación: el sonido no llegó hasta el último cuadro; el final queda mudo");
            else if (monotonic_ns() - began > 100'000'000)
                util::log(fmt::format("grabación: esperé {} ms el final del sonido", (monotonic_ns() - began) / 1'000'000));
        }
        m_audio.reset();
        if (hold)
            release_own_sounds();
        if (stopped_by) {
            m_stop = true;
            if (m_listener)
                m_listener->stream_stopped(*stopped_by);
        }
        StreamCompletion stop_done;
        {
            std::lock_guard lock(m_stop_mutex);
            m_grab_ended = true;
            stop_done = std::move(m_stop_done);
        }
        if (stop_done)
            stop_done(std::nullopt);
        if (m_output)
            m_output->finish();
    }

    x11::Underlay make_plan(x11::PixelSource& source, const PixelRect& rect)
    {
        if (rect.w <= 0 || rect.h <= 0)
            return {};
        if (m_filter.kind == ContentFilter::Kind::Windows)
            return source.plan_windows(rect, m_filter.included_windows);
        if (m_filter.excluded_applications.empty())
            return {};
        auto windows = source.window_list();
        if (!windows)
            return {};
        const std::set<std::int64_t> pids(m_filter.excluded_applications.begin(), m_filter.excluded_applications.end());
        const std::set<std::uint32_t> kept(m_filter.excepted_windows.begin(), m_filter.excepted_windows.end());
        std::vector<std::uint32_t> left_out;
        for (const auto& w : *windows)
            if (w.on_screen && pids.count(w.pid) && !kept.count(w.window_id))
                left_out.push_back(w.window_id);
        return source.plan_leave_out(rect, left_out);
    }

    std::expected<QImage, std::string> grab(const PixelRect& rect, const x11::Underlay& plan)
    {
        if (rect.w <= 0 || rect.h <= 0)
            return std::unexpected(std::string("la región no toca la pantalla"));
        QImage image;
        if (m_filter.kind == ContentFilter::Kind::Windows) {
            image = QImage(rect.w, rect.h, QImage::Format_ARGB32_Premultiplied);
            if (image.isNull())
                return std::unexpected(fmt::format("sin memoria para un cuadro de {}×{}", rect.w, rect.h));
            image.fill(0xff000000u);
        } else {
            // The pointer is asked for first: its answer comes with the grab's.
            if (m_configuration.shows_cursor)
                m_source->ask_cursor();
            const std::int64_t t = monotonic_ns();
            auto root = m_source->read_root(rect);
            m_read_ns += monotonic_ns() - t;
            if (!root)
                return std::unexpected(root.error());
            image = std::move(*root);
        }
        if (!plan.holes.empty()) {
            const std::int64_t t = monotonic_ns();
            m_source->paint(image, rect, plan);
            m_paint_ns += monotonic_ns() - t;
        }
        if (m_configuration.shows_cursor) {
            const std::int64_t t = monotonic_ns();
            if (auto cursor = m_source->cursor()) {
                QPainter painter(&image);
                painter.drawImage(cursor->x - rect.x, cursor->y - rect.y, cursor->image);
            }
            m_cursor_ns += monotonic_ns() - t;
        }
        return image;
    }

    // The grab thread's helper: connects the sound inputs, which place nothing until the origin is set.
    void start_audio()
    {
        const auto made = [this](std::unique_ptr<pulse::AudioCapture> audio) {
            {
                std::lock_guard lock(m_audio_mutex);
                m_audio = std::move(audio);
                if (m_audio && m_origin)
                    m_audio->begin(*m_origin);
            }
        };
        if (!m_output || !(m_configuration.captures_audio || m_configuration.captures_microphone))
            return made(nullptr);
        pulse::AudioRequest request;
        request.system = m_configuration.captures_audio;
        request.microphone = m_configuration.captures_microphone;
        request.sample_rate = m_configuration.sample_rate;
        request.channels = m_configuration.channel_count;
        ffmpeg::RecordingOutput* output = m_output.get();
        std::shared_ptr<StreamOutput> outputs[2] = { m_outputs[1], m_outputs[2] };
        made(pulse::AudioCapture::start(request,
            [output, outputs](int input, std::int64_t at, const float* samples, std::size_t frames) {
                output->push_audio(input, at, samples, frames);
                if (outputs[input])
                    outputs[input]->stream_output(input == 0 ? StreamOutputType::Audio : StreamOutputType::Microphone);
            },
            [output, listener = m_listener, told = std::make_shared<std::atomic<bool>>(false)](int input, pulse::AudioCapture::Loss why) {
                output->audio_input_gone(input);
                if (why == pulse::AudioCapture::Loss::NoServer && listener && !told->exchange(true))
                    listener->sound_unavailable("no hay servidor de sonido");
                else if (why == pulse::AudioCapture::Loss::Ended && listener)
                    listener->sound_lost(input);
            }));
    }

    const ContentFilter m_filter;
    const StreamConfiguration m_configuration;
    const std::shared_ptr<StreamListener> m_listener;
    std::unique_ptr<x11::PixelSource> m_source; // the grab thread's alone once started
    std::unique_ptr<x11::PixelSource> m_planner; // the planning thread's; none: the grab thread plans
    std::int64_t m_period_ns = 0;
    // Where the grab thread's time goes, for the closing log line.
    std::int64_t m_grab_ns = 0;
    std::int64_t m_read_ns = 0;
    std::int64_t m_paint_ns = 0;
    std::int64_t m_cursor_ns = 0;
    std::shared_ptr<StreamOutput> m_outputs[3];
    std::unique_ptr<ffmpeg::RecordingOutput> m_output;
    // The sound, made by the audio starter; the grab thread reads it once made.
    std::mutex m_audio_mutex;
    std::unique_ptr<pulse::AudioCapture> m_audio; // with m_audio_mutex until the starter is joined
    std::optional<std::int64_t> m_origin;         // with m_audio_mutex: the first frame's slot time
    std::atomic<bool> m_stop { false };
    std::mutex m_stop_mutex;
    StreamCompletion m_stop_done; // with m_stop_mutex
    bool m_grab_ended = false;    // with m_stop_mutex
    util::Thread m_grab;
    std::vector<util::Thread> m_helpers;
};

} // namespace

std::expected<std::unique_ptr<CaptureStream>, std::string> x11::create_capture_stream(
    ContentFilter filter, StreamConfiguration configuration, std::shared_ptr<StreamListener> listener)
{
    if (auto error = configuration_error(configuration))
        return std::unexpected(*error);
    // Idle segments kept for the next grabs, up to 64 MB of them and two at
    // least. A segment comes back once its frame is converted, right after
    // the grab, so one is being grabbed and one converted; at 4K a segment
    // is 33 MB, and keeping one per queue place held 230 MB for the whole
    // recording. A burst past them makes new ones.
    const std::size_t frame_bytes = std::size_t { configuration.width } * configuration.height * 4;
    const std::size_t keep = std::clamp<std::size_t>(64'000'000 / std::max<std::size_t>(1, frame_bytes), 2,
        static_cast<std::size_t>(configuration.queue_depth) + 2);
    auto source = x11::create_pixel_source(keep);
    if (!source)
        return std::unexpected(source.error());
    // The planning thread's connection; without one the grab thread plans.
    auto planner = x11::create_pixel_source(1);
    if (!planner)
        util::log(fmt::format("grabación: sin conexión para los planes de ventanas ({})", planner.error()));
    return std::make_unique<CaptureStreamX11>(std::move(filter), std::move(configuration), std::move(listener), std::move(*source),
        planner ? std::move(*planner) : nullptr);
}

} // namespace platform
