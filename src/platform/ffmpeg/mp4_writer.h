// platform (FFmpeg, internal): the recording output behind a capture stream.
// Only src/platform/ includes this.
//
// Frames and sound are queued by the stream's threads; a converter thread of
// the output's own turns each grabbed picture into the encoder's format as it
// comes (the grab's memory goes back at once: a third of the bytes wait) and
// a writer thread encodes them: H.264 (libx264) or HEVC (libx265, tagged hvc1)
// in yuv420p, BT.709 limited range, and one AAC track where the stream
// records sound, in an MP4 file. Video times are slots on the stream's frame
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
//   least every half second, flushed at once: a kill loses a second at most.
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
    // those the mix has gone past: it waits for a late input only a moment
    // (0.3 s behind the picture), then goes on with silence in its place. Audio threads.
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
    // Moves the mixed sound that every live input has reached (everything, at the end) to the encoder.
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

    // The sound mix: samples from m_mix_base on, and how far each input has come.
    std::mutex m_audio_mutex;
    std::vector<float> m_mix;
    std::int64_t m_mix_base = 0;
    std::int64_t m_input_end[2] = { 0, 0 };
    bool m_input_live[2] = { false, false };
    std::condition_variable m_audio_cv; // an input came further or went
};

} // namespace platform::ffmpeg
