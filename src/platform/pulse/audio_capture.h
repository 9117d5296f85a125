// platform (PulseAudio, internal): the sound a capture stream records. Only
// src/platform/ includes this.
//
// System sound is the default sink's monitor (it carries every client's
// sound), the microphone is the default source. Samples are float32
// interleaved at the requested rate; each block is placed on the stream's
// timeline by its arrival time less the stream's latency, then by sample
// counts, so the blocks of one input follow each other without drift and a
// real gap stays a gap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace platform::pulse {

struct AudioRequest {
    bool system = false;
    bool microphone = false;
    int sample_rate = 48000;
    int channels = 2;
    std::int64_t origin_ns = 0; // CLOCK_MONOTONIC time of sample position 0
};

// Sample positions on the timeline for an input's blocks.
class AudioClock {
public:
    AudioClock(int sample_rate, std::int64_t origin_ns);
    // The position of a block whose first sample was taken at `taken_ns`
    // (arrival less latency), `frames` long. Blocks follow on each other by
    // their sample counts; only a clock that runs ahead by more than 50 ms
    // (sound lost on the way) moves the next block on, leaving a silent gap,
    // and one that falls behind by more than 200 ms (a source that delivered
    // faster than it recorded) moves it back.
    std::int64_t place(std::int64_t taken_ns, std::size_t frames);

private:
    int m_rate;
    std::int64_t m_origin;
    bool m_placed = false;
    std::int64_t m_next = 0;
};

class AudioCapture {
public:
    // (input 0 system / 1 microphone, position, interleaved samples, frames). The sound server's thread.
    using Samples = std::function<void(int input, std::int64_t at, const float* samples, std::size_t frames)>;
    // An input that will deliver nothing more. The sound server's thread, or inline from start().
    using Gone = std::function<void(int input)>;

    // Starts recording the requested inputs. Without a sound server (logged
    // once per process) every requested input is reported gone and none is returned.
    static std::unique_ptr<AudioCapture> start(const AudioRequest& request, Samples samples, Gone gone);
    // Stops; no callback runs after it returns.
    ~AudioCapture();

    struct Impl;

private:
    explicit AudioCapture(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace platform::pulse
