#include "base/sound.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

int16_t sample_at(const std::vector<std::uint8_t>& wav, size_t i)
{
    return static_cast<int16_t>(wav[44 + 2 * i] | (wav[45 + 2 * i] << 8));
}

std::uint32_t u32_at(const std::vector<std::uint8_t>& wav, size_t at)
{
    return wav[at] | (wav[at + 1] << 8) | (wav[at + 2] << 16) | (static_cast<std::uint32_t>(wav[at + 3]) << 24);
}

} // namespace

TEST(Shutter, WavLayoutAndPeak)
{
    const auto wav = sound::shutter_wav();
    ASSERT_EQ(wav.size(), 22976u);
    EXPECT_EQ(std::memcmp(wav.data(), "RIFF", 4), 0);
    EXPECT_EQ(u32_at(wav, 4), 36u + 2 * 11466);
    EXPECT_EQ(std::memcmp(wav.data() + 8, "WAVEfmt ", 8), 0);
    EXPECT_EQ(u32_at(wav, 16), 16u);
    EXPECT_EQ(u32_at(wav, 24), 44100u);
    EXPECT_EQ(u32_at(wav, 28), 88200u);
    EXPECT_EQ(std::memcmp(wav.data() + 36, "data", 4), 0);
    EXPECT_EQ(u32_at(wav, 40), 2u * 11466);

    EXPECT_EQ(sample_at(wav, 0), 0);
    EXPECT_EQ(sample_at(wav, 11465), 0);
    int peak = 0;
    for (size_t i = 0; i < 11466; ++i)
        peak = std::max(peak, std::abs(static_cast<int>(sample_at(wav, i))));
    EXPECT_EQ(peak, 10485);
}

TEST(Shutter, SamplesShapeAndSecondToneStart)
{
    const auto s = sound::shutter_samples();
    ASSERT_EQ(s.size(), 11466u);
    float peak = 0;
    for (float v : s)
        peak = std::max(peak, std::fabs(v));
    EXPECT_FLOAT_EQ(peak, 0.32f);
    EXPECT_EQ(s[0], 0.0f);
    EXPECT_EQ(s.back(), 0.0f);
    EXPECT_NE(s[1], 0.0f);

    // Tone B adds nothing before sample 1,676: the first tone alone, normalised
    // by the same peak, reproduces the samples before it. Rebuild tone A here.
    std::vector<float> a(11466, 0.0f);
    float phase = 0.1823691f;
    for (int i = 1; i < 11466; ++i) {
        const float t = static_cast<float>(i) / 44100.0f;
        const float f = 1318.5f - 38.5f * std::exp(-t / 0.012f);
        phase += f * 6.2831855f / 44100.0f;
        const float e = std::min(t / 0.002f, 1.0f) * std::exp(-t / 0.028f);
        a[i] = e * (std::sin(phase) + 0.05f * std::sin(2.0f * phase));
    }
    // The ratio between output and tone A is the normalisation gain before 1,676.
    const float gain = s[100] / a[100];
    for (int i = 1; i < 1676; i += 37)
        EXPECT_NEAR(s[i], a[i] * gain, 1e-6f) << i;
    EXPECT_GT(std::fabs(s[1700] - a[1700] * gain), 1e-4f);
}
