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

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put_tag(std::vector<std::uint8_t>& out, const char* tag)
{
    out.insert(out.end(), tag, tag + 4);
}

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
    std::vector<std::uint8_t> out;
    out.reserve(44 + data_bytes);
    put_tag(out, "RIFF");
    put_u32(out, 36 + data_bytes);
    put_tag(out, "WAVE");
    put_tag(out, "fmt ");
    put_u32(out, 16);
    put_u16(out, 1);
    put_u16(out, 1);
    put_u32(out, SAMPLE_RATE);
    put_u32(out, SAMPLE_RATE * 2);
    put_u16(out, 2);
    put_u16(out, 16);
    put_tag(out, "data");
    put_u32(out, data_bytes);
    for (float s : samples) {
        const float scaled = std::trunc(s * 32767.0f);
        const auto v = static_cast<std::int16_t>(std::clamp(scaled, -32768.0f, 32767.0f));
        put_u16(out, static_cast<std::uint16_t>(v));
    }
    return out;
}

} // namespace sound
