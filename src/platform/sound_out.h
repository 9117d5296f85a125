// platform: sound from memory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

namespace platform {

// A sound held in memory, played through PulseAudio. With no sound server
// there is no sound, silently.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    // Starts playing the sound from its beginning and returns at once; a play
    // still in progress stops. Any thread.
    virtual void play() = 0;
    // Waits until every sound started so far has finished (tests). Any thread.
    virtual void wait_idle() = 0;
};

// Parses a 16-bit PCM WAV file (the shape the program synthesises). Returns
// null when the bytes are not such a file. PulseAudio's client is loaded with
// the program, not with the media module: plays start at once, from the
// first capture after launch on.
std::unique_ptr<SoundPlayer> create_sound(std::span<const std::uint8_t> wav);

// Plays raw 16-bit samples once and waits (true when a server took them).
bool play_pcm16_blocking(std::span<const std::int16_t> samples, std::uint32_t rate, std::uint16_t channels);
// The same, stopping early (the stream flushed) once `stopped` answers true.
bool play_pcm16(std::span<const std::int16_t> samples, std::uint32_t rate, std::uint16_t channels,
    const std::function<bool()>& stopped);

// While held (a recording takes the system's sound), the program plays none
// of its own sounds: plays return false at once. Holds nest. Any thread.
void hold_own_sounds();
void release_own_sounds();

} // namespace platform
