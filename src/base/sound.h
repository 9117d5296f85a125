// sound: the shutter chime, synthesised in memory as a WAV file.
#pragma once

#include <cstdint>
#include <vector>

namespace sound {

inline constexpr int SAMPLE_RATE = 44100;
inline constexpr int SAMPLE_COUNT = 11466; // 0.26 s

// The chime's samples, normalised so the loudest is exactly 0.32.
std::vector<float> shutter_samples();
// The samples as a 16-bit mono PCM WAV file (44-byte header + 2 bytes a sample).
std::vector<std::uint8_t> shutter_wav();

} // namespace sound
