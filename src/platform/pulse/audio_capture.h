// platform (PulseAudio, internal): the sound a capture stream records. Only
// src/platform/ includes this.
//
// System sound is the default sink's monitor (it carries every client's
// sound), the microphone is the default source. Samples are float32
// interleaved at the requested rate; each block is placed on the stream's
// timeline by sample counts, anchored at the earliest time the arrivals allow
// (a sample is never taken after it arrives), so the blocks of one input
// follow each other without drift and a real gap stays a gap. Packets that
// come in one go (a backlog) are one block, timed by the last of them.
//
// The stream's latency as the server's timing reports give it is not used:
// for a monitor those reports lag the data by up to a second, and the sound
// placed by them came 0.2–0.5 s early.
//
// The inputs are connected as the picture starts, and the picture never
// waits for them. Asking a monitor for short fragments shortens its sink's
// latency, but a sink that had rendered ahead at a long one (a null sink with
// a player of default buffering: two seconds) keeps what it rendered and
// renders nothing more until that has played out: the monitor is silent
// until then, and its first block is placed where it belongs, after silence
// in the file. A null sink that plays nothing is restarted at once instead
// (its lead is silence). Blocks that come before the timeline's origin is
// known are held and placed once it is (`begin`).
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
};

// Sample positions on the timeline for an input's blocks.
class AudioClock {
public:
    AudioClock(int sample_rate, std::int64_t origin_ns);
    // Where a block goes: its first sample at `at`, and its first `skip`
    // frames left out because they fall on sound of this input already placed.
    struct Placement {
        std::int64_t at;
        std::size_t skip;
    };
    // The place of a block, `frames` long, whose first sample was taken
    // at `latest_ns` at the latest (its arrival less the sound that came
    // with it). Blocks follow on each other by their sample counts. A block that
    // came sooner than the counts allow shows that the earlier ones came late:
    // the timeline moves back to it (past a 2 ms tolerance for the scheduler),
    // and what it repeats of the sound already placed is skipped, never mixed
    // in twice. One that comes more than 50 ms later than the counts say (sound
    // lost on the way) moves the timeline on, leaving a silent gap; so does a
    // stretch of a second whose every block came more than 2 ms late (a
    // sound card slower than the clock), by the least of those delays.
    Placement place(std::int64_t latest_ns, std::size_t frames);
    // The latest time the first of `queued_frames` can have been taken when
    // they had all arrived by `arrival_ns`. A monitor's sound is heard
    // `heard_later_ns` after it arrives (its sink renders ahead of playing);
    // 0 for a source.
    std::int64_t latest_taken(std::int64_t arrival_ns, std::size_t queued_frames, std::int64_t heard_later_ns) const;
    // Whether a block whose first sample was taken at `latest_ns` at the
    // latest would come more than 50 ms later than the counts say (place()
    // would leave a gap before it).
    bool late(std::int64_t latest_ns) const;

private:
    int m_rate;
    std::int64_t m_origin;
    bool m_placed = false;
    std::int64_t m_next = 0;
    std::int64_t m_end = 0;        // the end of the sound placed so far
    std::int64_t m_stretch = 0;    // where the stretch being watched for lateness began
    std::int64_t m_least_late = 0; // the least any block of that stretch came late
};

class AudioCapture {
public:
    // (input 0 system / 1 microphone, position, interleaved samples, frames). The sound server's thread.
    using Samples = std::function<void(int input, std::int64_t at, const float* samples, std::size_t frames)>;
    // Why an input delivers nothing (more): it ended or could not be opened,
    // or there is no sound server at all.
    enum class Loss { Ended, NoServer };
    // An input that will deliver nothing more. The sound server's thread, or inline from start().
    using Gone = std::function<void(int input, Loss why)>;

    // Starts recording the requested inputs; nothing is delivered before
    // begin(). Without a sound server (logged once per process) every
    // requested input is reported gone and none is returned.
    static std::unique_ptr<AudioCapture> start(const AudioRequest& request, Samples samples, Gone gone);
    // The CLOCK_MONOTONIC time of sample position 0. What came before is
    // placed now (sound before the origin is left out by the output); what
    // comes later as it comes. Once; any thread but the sound server's.
    void begin(std::int64_t origin_ns);
    // Stops; no callback runs after it returns.
    ~AudioCapture();

    struct Impl;

private:
    explicit AudioCapture(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

} // namespace platform::pulse
