// platform (FFmpeg, internal): the recording output behind a capture stream.
// Only src/platform/ includes this.
//
// Frames and sound are queued by the stream's threads; a converter thread of
// the output's own turns each grabbed picture into the encoder's format as it
// comes (the grab's memory goes back at once: a third of the bytes wait) and
// a writer thread encodes them: H.264 (libx264) or HEVC (libx265, tagged hvc1)
// in yuv420p, BT.709 limited range, and where the stream records sound two
// AAC tracks of the same mix, waited for differently (SoundTrack), in an MP4
// file. Video times are slots on the stream's frame
// grid (slot × interval seconds after the stream's start); sound positions are
// sample counts on the same timeline.
//
// What a recording costs, and why (measured at 4K; each reason sits beside
// its code in mp4_writer.cpp):
// - the queue holds as many frames as 100 MB of grabbed ones (sized in
//   record/recorder_stream.cpp), twice that until the encoder's first packet,
//   since its first frames are slow; a full queue drops the frame;
// - the encoder gets as many frame threads as the pixel rate needs, four at
//   most; above four megapixels libx265 takes two and libx264 slices each
//   frame among four threads instead (a frame thread holds ~40 MB of pictures);
// - no transparent huge pages while an encoder is open: clearing 2 MB at each
//   first touch made libx264's first frames take 150–350 ms instead of 30–70;
// - BGRA → yuv420p uses swscale's area filter with full chroma input: half
//   the CPU of its default road for RGB (14 ms a frame instead of 25);
// - a picture one pixel wider or taller than the encoder's even size loses
//   that column or row rather than being resampled;
// - packets go straight to the muxer, a fragment at every keyframe and at
//   least every quarter of a second, flushed at once: a kill loses a second
//   at most, of the picture and of the sound.
#pragma once

#include "base/util_thread.h"
#include "platform/capture_stream.h"

#include <QImage>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace platform::ffmpeg {

struct VideoFrame {
    QImage image;          // premultiplied ARGB, opaque; scaled to the configured size on the converter thread
    std::int64_t slot = 0; // increasing, with holes where frames were dropped
};

// How far the sound mix may fall behind the picture waiting for one input.
// An input's sound comes in arrivals: a fragment of tens of milliseconds from
// most sources, or seconds at a time from a source that renders in bursts
// (the sound server's sine source gives two seconds at once, whatever
// fragment is asked for). Each arrival tells how far behind the picture the
// input was: the picture grabbed when it came less where its sound begins
// (before the first frame, its own length). The mix waits for the input as
// long as the longest of its last few arrivals needed and a margin, never
// less than LATE_SOUND_S nor longer than MOST_LATE_SOUND_S: an input silent
// longer than that is late, not bursty; the mix goes on with silence in its
// place. An input not heard from yet may bring a burst: it is waited for the
// longest while the picture is that young, then no longer than the least (a
// microphone that stays silent must not hold the sound back the whole
// recording). Positions are sample counts.
class SoundWait {
public:
    static constexpr double LATE_SOUND_S = 0.3;
    static constexpr double MARGIN_S = 0.2;
    static constexpr double MOST_LATE_SOUND_S = 2.5;
    static constexpr int ARRIVALS = 8; // the last this many arrivals set the wait

    explicit SoundWait(int rate);
    // `frames` samples from position `at` came when the picture had been
    // grabbed up to position `picture` (negative: no frame yet).
    void arrived(std::int64_t at, std::int64_t frames, std::int64_t picture);
    // In samples, with the picture grabbed up to position `picture`.
    std::int64_t wait(std::int64_t picture) const;

private:
    std::int64_t m_least;
    std::int64_t m_margin;
    std::int64_t m_most;
    std::int64_t m_needs[ARRIVALS] = {};
    int m_heard = 0; // arrivals so far, counted up to ARRIVALS
    int m_next = 0;  // where the next arrival's need goes
};

// The file's sound tracks, each the mix of every input. The kept track waits
// for each input as its rhythm needs (SoundWait) and is what a finished
// recording keeps. Where two inputs are mixed, one late input would hold the
// other's sound back in it by up to a burst: the ahead track waits
// SoundWait::LATE_SOUND_S at most, and stands in for the kept track's missing
// end in what a kill or a full disk leaves. Sealing and recovery make them
// one track again: the export, or in place where a full disk left no room
// for it (recorder::plan_sound_join).
enum class SoundTrack { Kept = 0, Ahead = 1 };
std::vector<SoundTrack> sound_tracks(const StreamConfiguration& stream);

class Encoder; // the libav side, in mp4_writer.cpp
struct Converted; // a picture in the encoder's format and its slot, in mp4_writer.cpp
struct ConvertedDeleter {
    void operator()(Converted* c) const;
};
using ConvertedPtr = std::unique_ptr<Converted, ConvertedDeleter>;

class RecordingOutput {
public:
    // Opens the encoders and the file and writes its header; an error text
    // when a codec does not open or the file cannot be created. Main thread.
    static std::expected<std::unique_ptr<RecordingOutput>, std::string> open(
        const RecordingConfiguration& recording, const StreamConfiguration& stream, std::shared_ptr<RecordingListener> listener);
    // Finishes the file (as finish()) and waits for the writer.
    ~RecordingOutput();

    // Starts the converter and writer threads. Once. When the system refuses
    // either, the output fails at once and reports it (here, without a writer).
    void start();

    // Queues a frame; false (the frame dropped) when the queue is full (the
    // frames waiting for the encoder, converted or not) or the output has
    // failed or is finishing. Never blocks. Grab thread.
    bool push_video(VideoFrame frame);

    // Adds samples (interleaved, the stream's channel count) of one input
    // (0 system sound, 1 microphone) at sample position `at`; inputs are
    // mixed. Positions before the stream's start are dropped, and so are
    // those the mix has gone past: it waits for a late input only as long as
    // its rhythm needs (SoundWait), then goes on with silence in its place. Audio threads.
    void push_audio(int input, std::int64_t at, const float* samples, std::size_t frames);
    // An input that will deliver nothing (more): the mix no longer waits for it. Any thread.
    void audio_input_gone(int input);
    // Waits until every live input has delivered sound up to the start of
    // grid slot `slot` (the end of the frame before it), or until `deadline_ns`
    // (CLOCK_MONOTONIC); false when one had not. Any thread but the audio threads.
    bool wait_for_sound(std::int64_t slot, std::int64_t deadline_ns);

    // No more frames: the writer drains the queue, flushes the encoders,
    // writes the trailer and reports the end (finished or failed). Returns at
    // once; any thread; later calls do nothing.
    void finish();

    std::int64_t frames_written() const { return m_written.load(); }
    std::int64_t frames_dropped() const { return m_dropped.load(); }

private:
    RecordingOutput(std::unique_ptr<Encoder> encoder, const StreamConfiguration& stream, std::shared_ptr<RecordingListener> listener);
    void run();
    void convert_loop();
    void fail(std::string error); // with m_mutex; the first error is the one reported
    std::size_t waiting() const; // with m_mutex
    // Moves the mixed sound that every live input has reached, or that
    // waited long enough (everything, at the end), to the encoder, for each
    // sound track.
    bool drain_audio(bool everything, std::int64_t video_end);

    std::unique_ptr<Encoder> m_encoder;
    const std::shared_ptr<RecordingListener> m_listener;
    const std::size_t m_depth;
    const int m_channels;
    const bool m_audio;
    int m_rate = 48000;
    FrameInterval m_interval;

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<VideoFrame> m_queue;      // grabbed, for the converter
    std::size_t m_converting = 0;        // the one the converter holds
    std::deque<ConvertedPtr> m_ready;    // converted, for the encoder
    std::vector<ConvertedPtr> m_spare;   // pictures the encoder is done with, for the converter to reuse
    bool m_converted_all = false;        // finishing, and the converter has emptied m_queue
    bool m_finishing = false;
    bool m_failed = false;
    std::string m_error;
    util::Thread m_thread;    // the writer, "vistrope-writer"
    util::Thread m_converter; // "vistrope-conv", joined by the writer before it closes the file
    std::atomic<std::int64_t> m_written { 0 };
    std::atomic<std::int64_t> m_dropped { 0 };
    std::atomic<bool> m_warm { false }; // the encoder has given its first packet

    // The sound mixes, by SoundTrack: samples from `base` on; and how far each input has come.
    struct Mix {
        std::vector<float> samples;
        std::int64_t base = 0;
    };
    std::mutex m_audio_mutex;
    Mix m_mix[2];
    const std::vector<SoundTrack> m_tracks; // those the file has
    std::int64_t m_input_end[2] = { 0, 0 };
    bool m_input_live[2] = { false, false };
    SoundWait m_input_wait[2] { SoundWait(48000), SoundWait(48000) };
    std::atomic<std::int64_t> m_picture { -1 }; // the sample position the grabbed frames have reached; -1: none yet
    std::condition_variable m_audio_cv; // an input came further or went
};

} // namespace platform::ffmpeg
