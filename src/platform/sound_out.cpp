#include "platform/sound_out.h"

#include "base/util_thread.h"

#include <pulse/error.h>
#include <pulse/simple.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace platform {

namespace {

std::uint32_t le32(const std::uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint16_t le16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

class SoundPlayerPulse final : public SoundPlayer {
public:
    SoundPlayerPulse(std::vector<std::int16_t> samples, std::uint32_t rate, std::uint16_t channels)
        : m_samples(std::move(samples))
        , m_rate(rate)
        , m_channels(channels)
    {
    }

    void play() override
    {
        // A new play stops the one in progress and starts from the beginning.
        const unsigned long generation = ++m_generation;
        {
            std::lock_guard lock(m_mutex);
            ++m_playing;
        }
        const auto ended = [this] {
            std::lock_guard lock(m_mutex);
            --m_playing;
            m_idle.notify_all();
        };
        // Without a thread the sound is skipped: playing it here would hold the
        // caller (the main thread) for its length.
        if (!util::start_detached("vistrope-sound", [this, generation, ended] {
                play_pcm16(m_samples, m_rate, m_channels, [this, generation] { return m_generation.load() != generation; });
                ended();
            }))
            ended();
    }

    void wait_idle() override
    {
        std::unique_lock lock(m_mutex);
        m_idle.wait(lock, [this] { return m_playing == 0; });
    }

    ~SoundPlayerPulse() override { wait_idle(); }

private:
    std::vector<std::int16_t> m_samples;
    std::uint32_t m_rate;
    std::uint16_t m_channels;
    std::mutex m_mutex;
    std::condition_variable m_idle;
    int m_playing = 0;
    std::atomic<unsigned long> m_generation { 0 };
};

} // namespace

bool play_pcm16_blocking(std::span<const std::int16_t> samples, std::uint32_t rate, std::uint16_t channels)
{
    return play_pcm16(samples, rate, channels, [] { return false; });
}

namespace {
std::atomic<int> g_own_sounds_held { 0 };
}

void hold_own_sounds()
{
    ++g_own_sounds_held;
}

void release_own_sounds()
{
    --g_own_sounds_held;
}

bool play_pcm16(std::span<const std::int16_t> samples, std::uint32_t rate, std::uint16_t channels,
    const std::function<bool()>& stopped)
{
    // A recording of the system's sound would hear our own.
    if (g_own_sounds_held.load() > 0)
        return false;
    pa_sample_spec spec {};
    spec.format = PA_SAMPLE_S16LE;
    spec.rate = rate;
    spec.channels = static_cast<std::uint8_t>(channels);
    int error = 0;
    // A short target buffer: the server asks for sound in small portions, so
    // a newer play can stop this one within a few milliseconds.
    pa_buffer_attr attr {};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(50'000, &spec));
    attr.prebuf = static_cast<std::uint32_t>(-1);
    attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(-1);
    pa_simple* s = pa_simple_new(nullptr, "Vistrope", PA_STREAM_PLAYBACK, nullptr, "obturador", &spec, nullptr, &attr, &error);
    if (!s)
        return false;
    // Written in slices of about 10 ms, so a newer play can cut this one short.
    const size_t slice = std::max<size_t>(1, rate / 100) * channels;
    bool ok = true;
    for (size_t at = 0; ok && at < samples.size(); at += slice) {
        if (stopped()) {
            pa_simple_flush(s, &error);
            pa_simple_free(s);
            return true;
        }
        const auto part = samples.subspan(at, std::min(slice, samples.size() - at));
        ok = pa_simple_write(s, part.data(), part.size_bytes(), &error) >= 0;
    }
    // The server takes the whole sound at once and plays it from its buffer:
    // wait for as long as the sound lasts, ready to cut it short.
    const auto until = std::chrono::steady_clock::now()
        + std::chrono::microseconds(static_cast<long long>(samples.size() / channels) * 1'000'000 / rate);
    while (ok && std::chrono::steady_clock::now() < until) {
        if (stopped()) {
            pa_simple_flush(s, &error);
            pa_simple_free(s);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ok = ok && pa_simple_drain(s, &error) >= 0;
    pa_simple_free(s);
    return ok;
}

std::unique_ptr<SoundPlayer> create_sound(std::span<const std::uint8_t> wav)
{
    if (wav.size() < 44 || std::memcmp(wav.data(), "RIFF", 4) != 0 || std::memcmp(wav.data() + 8, "WAVE", 4) != 0
        || std::memcmp(wav.data() + 12, "fmt ", 4) != 0 || std::memcmp(wav.data() + 36, "data", 4) != 0)
        return nullptr;
    const std::uint16_t format = le16(wav.data() + 20);
    const std::uint16_t channels = le16(wav.data() + 22);
    const std::uint32_t rate = le32(wav.data() + 24);
    const std::uint16_t bits = le16(wav.data() + 34);
    const std::uint32_t bytes = le32(wav.data() + 40);
    if (format != 1 || bits != 16 || channels == 0 || channels > 2 || rate == 0 || bytes > wav.size() - 44)
        return nullptr;
    std::vector<std::int16_t> samples(bytes / 2);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::int16_t>(le16(wav.data() + 44 + 2 * i));
    return std::make_unique<SoundPlayerPulse>(std::move(samples), rate, channels);
}

} // namespace platform
