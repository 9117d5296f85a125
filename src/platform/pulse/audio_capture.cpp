#include "platform/pulse/audio_capture.h"

#include "base/util.h"

#include <pulse/pulseaudio.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <vector>
#include <time.h>

namespace platform::pulse {

AudioClock::AudioClock(int sample_rate, std::int64_t origin_ns)
    : m_rate(sample_rate)
    , m_origin(origin_ns)
{
}

AudioClock::Placement AudioClock::place(std::int64_t latest_ns, std::size_t frames)
{
    const auto by_clock = static_cast<std::int64_t>(std::llround(static_cast<double>(latest_ns - m_origin) * m_rate / 1e9));
    const std::int64_t late = by_clock - m_next;
    const std::int64_t tolerance = m_rate / 500;
    if (!m_placed || late > m_rate / 20 || late < -tolerance) {
        if (!m_placed)
            m_end = by_clock;
        m_placed = true;
        m_next = by_clock;
        m_stretch = m_next;
        m_least_late = INT64_MAX;
    } else {
        m_least_late = std::min(m_least_late, late);
        if (m_next - m_stretch >= m_rate) {
            if (m_least_late > tolerance)
                m_next += m_least_late;
            m_stretch = m_next;
            m_least_late = INT64_MAX;
        }
    }
    const std::int64_t at = m_next;
    m_next += static_cast<std::int64_t>(frames);
    const auto skip = static_cast<std::size_t>(std::clamp<std::int64_t>(m_end - at, 0, static_cast<std::int64_t>(frames)));
    m_end = std::max(m_end, m_next);
    return { at, skip };
}

std::int64_t AudioClock::latest_taken(std::int64_t arrival_ns, std::size_t queued_frames, std::int64_t heard_later_ns) const
{
    return arrival_ns - static_cast<std::int64_t>(std::llround(static_cast<double>(queued_frames) * 1e9 / m_rate)) + heard_later_ns;
}

namespace {

std::int64_t monotonic_ns()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::atomic<bool> g_no_server_logged { false };

// How often a monitor asks again how far ahead its sink plays.
constexpr std::int64_t SINK_QUERY_PERIOD_NS = 250'000'000;
// Sound that comes in one go (a backlog, a stalled client catching up) arrives
// packet by packet, each long after it was taken: packets closer together than
// this are placed as one block, timed by the last of them.
constexpr pa_usec_t QUIET_US = 4'000;
// A backlog comes in a few milliseconds; packets that keep coming this long
// are a sink rendering in small pieces for a client that wants a short
// latency (every half millisecond for 2 ms), not a backlog: the block is
// placed after this long, however it keeps coming.
constexpr std::int64_t MOST_NS_AT_ONCE = 50'000'000;
// Nor does a block grow past this many seconds of sound.
constexpr std::size_t MOST_SECONDS_AT_ONCE = 3;

} // namespace

struct AudioCapture::Impl {
    struct Input {
        Impl* owner = nullptr;
        int index = 0;
        pa_stream* stream = nullptr;
        AudioClock clock { 48000, 0 };
        bool gone = false;
        // A monitor's sink renders ahead of what it plays, and the monitor
        // hears it as it renders: the newest sample delivered is heard this
        // much later (the sink's configured latency).
        bool monitor = false;
        std::int64_t heard_later_ns = -1; // unknown yet: a monitor's blocks wait for it
        pa_operation* sink_query = nullptr;
        std::int64_t last_sink_query = 0;
        std::vector<float> block; // come in one go, not placed yet
        std::int64_t block_began = 0; // when its first packet came
        std::int64_t block_arrival = 0;
        pa_time_event* quiet = nullptr;
    };

    AudioRequest request;
    Samples samples;
    Gone gone;
    pa_threaded_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    Input inputs[2];
    std::string sink;   // the default sink's name
    std::string source; // the default source's name
    bool info_done = false;

    ~Impl()
    {
        if (!loop)
            return;
        pa_threaded_mainloop_lock(loop);
        for (Input& in : inputs) {
            if (in.quiet) {
                pa_threaded_mainloop_get_api(loop)->time_free(in.quiet);
                in.quiet = nullptr;
            }
            if (in.sink_query) {
                pa_operation_cancel(in.sink_query);
                pa_operation_unref(in.sink_query);
                in.sink_query = nullptr;
            }
            if (in.stream) {
                pa_stream_set_read_callback(in.stream, nullptr, nullptr);
                pa_stream_set_state_callback(in.stream, nullptr, nullptr);
                pa_stream_disconnect(in.stream);
                pa_stream_unref(in.stream);
                in.stream = nullptr;
            }
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        pa_threaded_mainloop_unlock(loop);
        pa_threaded_mainloop_stop(loop);
        pa_threaded_mainloop_free(loop);
    }

    void lose(Input& in)
    {
        if (in.gone)
            return;
        in.gone = true;
        gone(in.index, AudioCapture::Loss::Ended);
    }

    static void on_context_state(pa_context*, void* self)
    {
        pa_threaded_mainloop_signal(static_cast<Impl*>(self)->loop, 0);
    }

    static void on_server_info(pa_context*, const pa_server_info* info, void* data)
    {
        auto* self = static_cast<Impl*>(data);
        if (info) {
            self->sink = info->default_sink_name ? info->default_sink_name : "";
            self->source = info->default_source_name ? info->default_source_name : "";
        }
        self->info_done = true;
        pa_threaded_mainloop_signal(self->loop, 0);
    }

    static void on_stream_state(pa_stream* s, void* data)
    {
        auto* in = static_cast<Input*>(data);
        const pa_stream_state_t state = pa_stream_get_state(s);
        if (state == PA_STREAM_READY)
            in->owner->query_sink(*in, monotonic_ns());
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            util::log(fmt::format("grabación: la entrada de sonido {} se cortó: {}", in->index,
                pa_strerror(pa_context_errno(in->owner->context))));
            in->owner->lose(*in);
        }
    }

    static void on_sink_info(pa_context*, const pa_sink_info* info, int eol, void* data)
    {
        auto* in = static_cast<Input*>(data);
        if (info && !eol) {
            const pa_usec_t ahead = info->configured_latency ? info->configured_latency : info->latency;
            in->heard_later_ns = static_cast<std::int64_t>(ahead) * 1000;
            return;
        }
        if (eol < 0 && in->heard_later_ns < 0)
            in->heard_later_ns = 0; // no answer: the sound a little early rather than none
        if (in->sink_query) {
            pa_operation_unref(in->sink_query);
            in->sink_query = nullptr;
        }
    }

    // Asks the monitor's sink for its latency now and then: another client
    // that wants it shorter changes it.
    void query_sink(Input& in, std::int64_t now)
    {
        if (!in.monitor || in.sink_query || (in.heard_later_ns >= 0 && now - in.last_sink_query < SINK_QUERY_PERIOD_NS))
            return;
        in.last_sink_query = now;
        in.sink_query = pa_context_get_sink_info_by_name(context, sink.c_str(), &on_sink_info, &in);
    }

    static void on_read(pa_stream* s, size_t, void* data)
    {
        auto* in = static_cast<Input*>(data);
        Impl& self = *in->owner;
        const auto channels = static_cast<std::size_t>(self.request.channels);
        const std::size_t frame_bytes = sizeof(float) * channels;
        const std::int64_t now = monotonic_ns();
        self.query_sink(*in, now);
        if (in->block.empty())
            in->block_began = now;
        for (;;) {
            const void* bytes = nullptr;
            size_t n = 0;
            if (pa_stream_readable_size(s) == 0 || pa_stream_peek(s, &bytes, &n) < 0 || n == 0)
                break;
            const std::size_t values = n / frame_bytes * channels;
            // A hole (no data) keeps its place on the timeline, silent.
            if (bytes)
                in->block.insert(in->block.end(), static_cast<const float*>(bytes), static_cast<const float*>(bytes) + values);
            else
                in->block.resize(in->block.size() + values, 0.0f);
            pa_stream_drop(s);
        }
        // Everything read so far had arrived by now.
        in->block_arrival = monotonic_ns();
        if (in->block_arrival - in->block_began >= MOST_NS_AT_ONCE
            || in->block.size() >= MOST_SECONDS_AT_ONCE * static_cast<std::size_t>(self.request.sample_rate) * channels) {
            self.place_block(*in);
            return;
        }
        const pa_usec_t when = pa_rtclock_now() + QUIET_US;
        if (in->quiet)
            pa_context_rttime_restart(self.context, in->quiet, when);
        else
            in->quiet = pa_context_rttime_new(self.context, when, &on_quiet, in);
    }

    static void on_quiet(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data)
    {
        auto* in = static_cast<Input*>(data);
        in->owner->place_block(*in);
    }

    void place_block(Input& in)
    {
        const std::size_t frames = in.block.size() / static_cast<std::size_t>(request.channels);
        if (frames == 0)
            return;
        // A monitor's block cannot be placed until its sink's latency is known (a round trip after the start).
        if (!in.monitor || in.heard_later_ns >= 0) {
            const auto [at, skip] = in.clock.place(in.clock.latest_taken(in.block_arrival, frames, in.heard_later_ns), frames);
            if (skip < frames)
                samples(in.index, at + static_cast<std::int64_t>(skip), in.block.data() + skip * static_cast<std::size_t>(request.channels),
                    frames - skip);
        }
        in.block.clear();
    }

    bool connect_input(Input& in, const std::string& device, const char* name)
    {
        pa_sample_spec spec {};
        spec.format = PA_SAMPLE_FLOAT32LE;
        spec.rate = static_cast<std::uint32_t>(request.sample_rate);
        spec.channels = static_cast<std::uint8_t>(request.channels);
        in.stream = pa_stream_new(context, name, &spec, nullptr);
        if (!in.stream)
            return false;
        pa_stream_set_state_callback(in.stream, &on_stream_state, &in);
        pa_stream_set_read_callback(in.stream, &on_read, &in);
        // Small fragments: the server's default delivered nothing for a long
        // time here, and the latency we subtract grows with the fragment.
        pa_buffer_attr attr {};
        attr.maxlength = static_cast<std::uint32_t>(-1);
        attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(20'000, &spec));
        attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
        const auto flags = PA_STREAM_ADJUST_LATENCY;
        return pa_stream_connect_record(in.stream, device.empty() ? nullptr : device.c_str(), &attr, flags) == 0;
    }
};

AudioCapture::AudioCapture(std::unique_ptr<Impl> impl)
    : m_impl(std::move(impl))
{
}

AudioCapture::~AudioCapture() = default;

std::unique_ptr<AudioCapture> AudioCapture::start(const AudioRequest& request, Samples samples, Gone gone)
{
    if (!request.system && !request.microphone)
        return nullptr;
    auto impl = std::make_unique<Impl>();
    impl->request = request;
    impl->samples = std::move(samples);
    impl->gone = std::move(gone);
    for (int i = 0; i < 2; ++i) {
        impl->inputs[i].owner = impl.get();
        impl->inputs[i].index = i;
        impl->inputs[i].clock = AudioClock(request.sample_rate, request.origin_ns);
        impl->inputs[i].gone = !(i == 0 ? request.system : request.microphone);
        impl->inputs[i].monitor = i == 0;
        impl->inputs[i].heard_later_ns = i == 0 ? -1 : 0;
    }
    auto give_up = [&](const std::string& why) -> std::unique_ptr<AudioCapture> {
        if (!g_no_server_logged.exchange(true))
            util::log("grabación: sin servidor de sonido (" + why + "); el video sale mudo");
        Gone lost = impl->gone;
        const bool wanted[2] = { request.system, request.microphone };
        impl.reset(); // stops the loop before anyone hears of it
        for (int i = 0; i < 2; ++i)
            if (wanted[i])
                lost(i, Loss::NoServer);
        return nullptr;
    };
    impl->loop = pa_threaded_mainloop_new();
    if (!impl->loop)
        return give_up("sin bucle");
    impl->context = pa_context_new(pa_threaded_mainloop_get_api(impl->loop), "Vistrope");
    if (!impl->context)
        return give_up("sin contexto");
    pa_context_set_state_callback(impl->context, &Impl::on_context_state, impl.get());
    if (pa_context_connect(impl->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
        return give_up(pa_strerror(pa_context_errno(impl->context)));
    if (pa_threaded_mainloop_start(impl->loop) < 0)
        return give_up("el bucle no arrancó");
    pa_threaded_mainloop_lock(impl->loop);
    for (;;) {
        const pa_context_state_t state = pa_context_get_state(impl->context);
        if (state == PA_CONTEXT_READY)
            break;
        if (!PA_CONTEXT_IS_GOOD(state)) {
            const std::string why = pa_strerror(pa_context_errno(impl->context));
            pa_threaded_mainloop_unlock(impl->loop);
            return give_up(why);
        }
        pa_threaded_mainloop_wait(impl->loop);
    }
    if (pa_operation* op = pa_context_get_server_info(impl->context, &Impl::on_server_info, impl.get())) {
        while (!impl->info_done && pa_operation_get_state(op) == PA_OPERATION_RUNNING)
            pa_threaded_mainloop_wait(impl->loop);
        pa_operation_unref(op);
    }
    std::vector<int> lost;
    if (request.system && (impl->sink.empty() || !impl->connect_input(impl->inputs[0], impl->sink + ".monitor", "sonido del sistema")))
        lost.push_back(0);
    if (request.microphone && !impl->connect_input(impl->inputs[1], impl->source, "micrófono"))
        lost.push_back(1);
    for (int i : lost)
        impl->inputs[i].gone = true;
    pa_threaded_mainloop_unlock(impl->loop);
    for (int i : lost) {
        util::log(fmt::format("grabación: no pude abrir la entrada de sonido {}", i));
        impl->gone(i, Loss::Ended);
    }
    return std::unique_ptr<AudioCapture>(new AudioCapture(std::move(impl)));
}

} // namespace platform::pulse
