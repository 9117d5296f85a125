#include "platform/pulse/audio_capture.h"

#include "base/util.h"

#include <pulse/pulseaudio.h>

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>
#include <string_view>
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

bool AudioClock::late(std::int64_t latest_ns) const
{
    const auto by_clock = static_cast<std::int64_t>(std::llround(static_cast<double>(latest_ns - m_origin) * m_rate / 1e9));
    return m_placed && by_clock - m_next > m_rate / 20;
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
// A long block is a burst that the server sends in pieces (the sine source
// gives two seconds in three), and on a busy machine the pieces reach us tens
// of milliseconds apart: placed apart, the first looked late by the rest of
// the burst and left a gap of a second. A block waits for the rest of its
// burst an eighth of its length (100 ms at most) after each piece, and keeps
// growing for a quarter of its length.
constexpr std::int64_t MOST_BURST_QUIET_NS = 100'000'000;
// A block that would come late by the counts may be the first piece of a
// backlog whose rest is still on its way (our thread was held up between
// pieces): placed alone it would leave a gap, and the rest, coming sooner
// than the counts, would be cut. It waits this long for more, each later
// piece up to a quiet of LATE_QUIET_NS; then it is placed, a real gap (sound
// lost, a sink suspended) as a gap.
constexpr std::int64_t LATE_WAIT_NS = 100'000'000;
constexpr pa_usec_t LATE_QUIET_US = 30'000;
// Nor does a block grow past this many seconds of sound.
constexpr std::size_t MOST_SECONDS_AT_ONCE = 3;
// A monitor that has delivered nothing this long after it connected may be
// waiting for its sink's lead to play out (see audio_capture.h); a sound
// card's monitor delivers within a few tens of milliseconds.
constexpr pa_usec_t LEAD_CHECK_US = 150'000;
// Blocks held until the timeline's origin is known: the newest this many
// seconds of each input (the picture waits a few seconds at most).
constexpr std::size_t MOST_SECONDS_HELD = 5;

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
        std::int64_t late_since = 0; // when the block was found late and set to wait for more; 0: not waiting
        pa_time_event* quiet = nullptr;
        // Blocks that came before they could be placed (no origin yet, or a
        // monitor's sink latency unknown yet), oldest first.
        struct Held {
            std::int64_t arrival;
            std::vector<float> samples;
        };
        std::vector<Held> held;
        std::size_t held_values = 0;
        bool reading = false; // delivered sound, or gone
        pa_time_event* lead_check = nullptr;
        pa_operation* lead_query = nullptr;
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
    bool begun = false; // the origin is known (with the loop's lock)

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
            if (in.lead_check) {
                pa_threaded_mainloop_get_api(loop)->time_free(in.lead_check);
                in.lead_check = nullptr;
            }
            if (in.lead_query) {
                pa_operation_cancel(in.lead_query);
                pa_operation_unref(in.lead_query);
                in.lead_query = nullptr;
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
        in.reading = true;
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
        if (state == PA_STREAM_READY) {
            in->owner->query_sink(*in, monotonic_ns());
            if (!in->lead_check)
                in->lead_check = pa_context_rttime_new(in->owner->context, pa_rtclock_now() + LEAD_CHECK_US, &on_lead_check, in);
        }
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
            in->owner->place_held(*in);
            return;
        }
        if (eol < 0 && in->heard_later_ns < 0) {
            in->heard_later_ns = 0; // no answer: the sound a little early rather than none
            in->owner->place_held(*in);
        }
        if (in->sink_query) {
            pa_operation_unref(in->sink_query);
            in->sink_query = nullptr;
        }
    }

    // A null sink renders ahead by its latency, two seconds when nobody asks
    // for less, and keeps that lead when a monitor asks for less: the monitor
    // stays silent until it has played out, and sound started meanwhile is
    // queued behind it. When such a sink plays nothing, what it rendered
    // ahead is silence: suspending and resuming it drops that, and it starts
    // over at the monitor's short latency. A sink that plays something, or
    // is a sound card (which starts over by itself), is left alone: its
    // monitor's sound comes when it comes, placed by its own times.
    static void on_lead_check(pa_mainloop_api* api, pa_time_event* e, const struct timeval*, void* data)
    {
        auto* in = static_cast<Input*>(data);
        api->time_free(e);
        in->lead_check = nullptr;
        if (in->reading || in->gone || in->lead_query || !in->stream)
            return;
        if (const char* device = pa_stream_get_device_name(in->stream))
            in->lead_query = pa_context_get_source_info_by_name(in->owner->context, device, &on_lead_source, in);
    }

    static void on_lead_source(pa_context* c, const pa_source_info* info, int eol, void* data)
    {
        auto* in = static_cast<Input*>(data);
        if (!info || eol)
            return; // the end of the list: the operation is released where it was made
        pa_operation* next = nullptr;
        if (info->monitor_of_sink != PA_INVALID_INDEX)
            next = pa_context_get_sink_info_by_index(c, info->monitor_of_sink, &on_lead_sink, in);
        // This operation ends with this answer; the next one takes its place.
        if (in->lead_query)
            pa_operation_unref(in->lead_query);
        in->lead_query = next;
    }

    static void on_lead_sink(pa_context* c, const pa_sink_info* info, int eol, void* data)
    {
        auto* in = static_cast<Input*>(data);
        if (in->lead_query && (eol || !info)) {
            pa_operation_unref(in->lead_query);
            in->lead_query = nullptr;
        }
        if (!info || eol || in->reading)
            return;
        if (info->state != PA_SINK_IDLE || !info->driver || !std::string_view(info->driver).starts_with("module-null-sink"))
            return;
        util::log(fmt::format("grabación: el receptor {} iba adelantado en silencio; lo reinicio", info->name ? info->name : "?"));
        if (pa_operation* o = pa_context_suspend_sink_by_index(c, info->index, 1, nullptr, nullptr))
            pa_operation_unref(o);
        if (pa_operation* o = pa_context_suspend_sink_by_index(c, info->index, 0, nullptr, nullptr))
            pa_operation_unref(o);
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
        const auto block_ns = static_cast<std::int64_t>(
            static_cast<double>(in->block.size() / channels) * 1e9 / static_cast<double>(self.request.sample_rate));
        const bool full = in->block.size() >= MOST_SECONDS_AT_ONCE * static_cast<std::size_t>(self.request.sample_rate) * channels;
        const bool long_enough = in->late_since ? in->block_arrival - in->late_since >= LATE_WAIT_NS
                                                : in->block_arrival - in->block_began >= std::max(MOST_NS_AT_ONCE, block_ns / 4);
        if (full || long_enough) {
            self.place_block(*in, true);
            return;
        }
        pa_usec_t quiet_us = std::max<pa_usec_t>(QUIET_US, static_cast<pa_usec_t>(std::min(block_ns / 8, MOST_BURST_QUIET_NS) / 1000));
        if (in->late_since)
            quiet_us = std::max(quiet_us, LATE_QUIET_US);
        const pa_usec_t when = pa_rtclock_now() + quiet_us;
        if (in->quiet)
            pa_context_rttime_restart(self.context, in->quiet, when);
        else
            in->quiet = pa_context_rttime_new(self.context, when, &on_quiet, in);
    }

    static void on_quiet(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* data)
    {
        auto* in = static_cast<Input*>(data);
        in->owner->place_block(*in, in->late_since != 0);
    }

    // Whether the input's blocks can be placed: the origin is known and, for
    // a monitor, its sink's latency (a round trip after the start).
    bool placeable(const Input& in) const { return begun && (!in.monitor || in.heard_later_ns >= 0); }

    void place(Input& in, std::int64_t arrival, const float* values, std::size_t frames)
    {
        const auto channels = static_cast<std::size_t>(request.channels);
        const auto [at, skip] = in.clock.place(in.clock.latest_taken(arrival, frames, in.heard_later_ns), frames);
        if (skip < frames)
            samples(in.index, at + static_cast<std::int64_t>(skip), values + skip * channels, frames - skip);
    }

    // Places what was held, in the order it came, once it can be.
    void place_held(Input& in)
    {
        if (!placeable(in))
            return;
        const auto channels = static_cast<std::size_t>(request.channels);
        for (const Input::Held& h : in.held)
            place(in, h.arrival, h.samples.data(), h.samples.size() / channels);
        in.held.clear();
        in.held_values = 0;
    }

    // `now`: without waiting for more first, even when it looks late.
    void place_block(Input& in, bool now = false)
    {
        const auto channels = static_cast<std::size_t>(request.channels);
        const std::size_t frames = in.block.size() / channels;
        if (frames == 0)
            return;
        in.reading = true;
        if (placeable(in)) {
            place_held(in);
            if (!now && in.clock.late(in.clock.latest_taken(in.block_arrival, frames, in.heard_later_ns))) {
                in.late_since = in.block_arrival;
                const pa_usec_t when = pa_rtclock_now() + static_cast<pa_usec_t>(LATE_WAIT_NS / 1000);
                if (in.quiet)
                    pa_context_rttime_restart(context, in.quiet, when);
                else
                    in.quiet = pa_context_rttime_new(context, when, &on_quiet, &in);
                return;
            }
            in.late_since = 0;
            place(in, in.block_arrival, in.block.data(), frames);
            in.block.clear();
            return;
        }
        in.held_values += in.block.size();
        in.held.push_back({ in.block_arrival, std::move(in.block) });
        in.block = {};
        const std::size_t most = MOST_SECONDS_HELD * static_cast<std::size_t>(request.sample_rate) * channels;
        while (in.held.size() > 1 && in.held_values > most) {
            in.held_values -= in.held.front().samples.size();
            in.held.erase(in.held.begin());
        }
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
        impl->inputs[i].clock = AudioClock(request.sample_rate, 0);
        impl->inputs[i].gone = !(i == 0 ? request.system : request.microphone);
        impl->inputs[i].reading = impl->inputs[i].gone;
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
    for (int i : lost) {
        impl->inputs[i].gone = true;
        impl->inputs[i].reading = true;
    }
    pa_threaded_mainloop_unlock(impl->loop);
    for (int i : lost) {
        util::log(fmt::format("grabación: no pude abrir la entrada de sonido {}", i));
        impl->gone(i, Loss::Ended);
    }
    return std::unique_ptr<AudioCapture>(new AudioCapture(std::move(impl)));
}

void AudioCapture::begin(std::int64_t origin_ns)
{
    Impl& self = *m_impl;
    pa_threaded_mainloop_lock(self.loop);
    if (!self.begun) {
        self.begun = true;
        for (Impl::Input& in : self.inputs) {
            in.clock = AudioClock(self.request.sample_rate, origin_ns);
            self.place_held(in);
        }
    }
    pa_threaded_mainloop_unlock(self.loop);
}

} // namespace platform::pulse
