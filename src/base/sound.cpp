#include "base/sound.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace sound {

namespace {

constexpr float TWO_PI = 6.2831855f;
constexpr float RATE = 44100.0f;

// Adds one gliding tone with a fast attack and exponential decay, starting
// at sample `first` (its local time counts from `first - 1`).
void add_tone(std::vector<float>& samples, int first, float target_hz, float glide_hz, float phase, float decay, float gain)
{
    const int offset = first - 1;
    for (int i = first; i < SAMPLE_COUNT; ++i) {
        const float t = static_cast<float>(i - offset) / RATE;
        const float f = target_hz - glide_hz * std::exp(-t / 0.012f);
        phase += f * TWO_PI / RATE;
        const float envelope = std::min(t / 0.002f, 1.0f) * std::exp(-t / decay) * gain;
        samples[i] += envelope * (std::sin(phase) + 0.05f * std::sin(2.0f * phase));
    }
}

// Writes little-endian fields into a buffer sized in advance. Growing the
// vector field by field instead trips GCC 12's -Wstringop-overflow at -O2 and
// -O3 (a false alarm about the inlined reallocation).
struct Writer {
    std::vector<std::uint8_t>& out;
    std::size_t at = 0;

    void u32(std::uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out[at++] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    void u16(std::uint16_t v)
    {
        out[at++] = static_cast<std::uint8_t>(v);
        out[at++] = static_cast<std::uint8_t>(v >> 8);
    }
    void tag(const char (&t)[5])
    {
        for (int i = 0; i < 4; ++i)
            out[at++] = static_cast<std::uint8_t>(t[i]);
    }
};

} // namespace

std::vector<float> shutter_samples()
{
    std::vector<float> samples(SAMPLE_COUNT, 0.0f);
    add_tone(samples, 1, 1318.5f, 38.5f, 0.1823691f, 0.028f, 1.0f);
    add_tone(samples, 1676, 1975.5f, 55.5f, 0.27355364f, 0.042f, 0.7f);

    const int last = SAMPLE_COUNT - 1;
    for (int i = last - 881; i <= last; ++i)
        samples[i] *= static_cast<float>(last - i) / 882.0f;

    float peak = 0.0f;
    for (float s : samples)
        peak = std::max(peak, std::fabs(s));
    if (peak > 0.0f) {
        const float gain = 0.32f / peak;
        for (float& s : samples)
            s *= gain;
    }
    return samples;
}

std::vector<std::uint8_t> shutter_wav()
{
    const std::vector<float> samples = shutter_samples();
    const auto data_bytes = static_cast<std::uint32_t>(2 * samples.size());
    std::vector<std::uint8_t> out(44 + std::size_t { data_bytes });
    Writer w { out };
    w.tag("RIFF");
    w.u32(36 + data_bytes);
    w.tag("WAVE");
    w.tag("fmt ");
    w.u32(16);
    w.u16(1);
    w.u16(1);
    w.u32(SAMPLE_RATE);
    w.u32(SAMPLE_RATE * 2);
    w.u16(2);
    w.u16(16);
    w.tag("data");
    w.u32(data_bytes);
    for (float s : samples) {
        const float scaled = std::trunc(s * 32767.0f);
        const auto v = static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
        w.u16(static_cast<std::uint16_t>(v));
    }
    return out;
}

} // namespace sound
