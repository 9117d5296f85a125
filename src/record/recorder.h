// recorder: the one live screen recording — its countdown, the handshake
// between the countdown and the stream's preparation, the elapsed-time tick,
// the stop with its watchdog, the stream's reports and the delivery of the
// finished file.
//
// Everything here runs on the main thread. Every delayed or forwarded step
// carries the id of the recording it was made for and does nothing when the
// slot holds no recording or another one, so a late watchdog or report is
// harmless. The session reaches timers, the clock, the stream, the controls
// and the delivery through Services, which tests replace.
#pragma once

#include "ui/hud.h"
#include "base/actions.h"
#include "base/util.h"
#include "capture/capture.h"
#include "capture/flash.h"
#include "base/publish.h"
#include "platform/capture_stream.h"
#include "platform/screens.h"
#include "record/recorder_stream.h"
#include "record/recording_file.h"
#include "record/video.h"

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace recorder {

// What the recorder keeps between recordings.
struct State {
    // The id the next recording takes.
    std::uint64_t next_id = 1;
    // How often preparation has waited for the keys-and-clicks panel to be listed.
    std::uint32_t input_tries = 0;
};
// The recorder's state. Main thread only: any other thread stops the program.
State& state();

// What a recording shows while it runs: outline, countdown square, capsule
// and status item. Main thread.
class Controls {
public:
    virtual ~Controls() = default;
    // n > 0: the square shows n (and the outline and the capsule, to cancel,
    // are brought up); 0 hides the square.
    virtual void show_countdown(std::uint32_t n) = 0;
    // The capsule's time and the status item's " text"; a whole-display
    // recording drops its outline from then on. Nothing says "recording"
    // (outline, capsule, status item) before the first call, which comes
    // once the first frame is taken.
    virtual void set_time(const std::string& text) = 0;
    // At a stop: outline and capsule ordered out, status item hidden.
    virtual void hide() = 0;
    // Everything ordered out and the status item removed.
    virtual void close() = 0;
};

// The keys-and-clicks overlay as a recording holds it.
class InputPanel {
public:
    virtual ~InputPanel() = default;
    // The panel's window, which the stream must let through.
    virtual std::optional<std::uint32_t> window_id() const = 0;
    virtual void stop() = 0;
};

// Overlay flags: clicks, keys, every key (not only combinations).
inline constexpr std::uint32_t SHOW_CLICKS = 1u << 0;
inline constexpr std::uint32_t SHOW_KEYS = 1u << 8;
inline constexpr std::uint32_t SHOW_ALL_KEYS = 1u << 16;

using Clock = std::chrono::steady_clock;
using Job = std::function<void()>;
using FlashContinuation = std::function<void(std::optional<flash::Origin>)>;

struct Services {
    // Runs the job on the main queue `seconds` from now.
    std::function<void(double seconds, Job)> after;
    // Runs the job on the main queue soon; callable from any thread.
    std::function<void(Job)> post;
    std::function<Clock::time_point()> now;
    std::function<std::vector<platform::Screen>()> screens;
    std::function<std::expected<std::unique_ptr<platform::CaptureStream>, std::string>(platform::ContentFilter,
        platform::StreamConfiguration, std::shared_ptr<platform::StreamListener>)>
        create_stream;
    std::function<std::vector<platform::VideoCodec>()> codecs;
    std::function<void(std::move_only_function<void(capture::Content, bool)>)> with_content;
    std::function<void(capture::Waiter)> refresh;
    std::function<std::unique_ptr<Controls>(const platform::RectF& area, const platform::RectF& visible, bool has_region)>
        make_controls;
    // Starts the keys-and-clicks overlay (screen frame, global area, flags,
    // scale); none = no overlay is available.
    std::function<std::unique_ptr<InputPanel>(const platform::RectF& screen, const platform::RectF& area,
        std::uint32_t flags, double scale)>
        start_input;
    std::function<bool()> accessibility_trusted;
    // Keeps still captures from holding pictures for later while it lives.
    std::function<std::shared_ptr<void>()> hold_still_pictures;
    hud::ToastSink toast;
    std::function<std::string()> capture_name;
    // Captures the recorded area for the flash: the continuation gets an
    // origin, or none at once when the flash is off; without a continuation
    // the flash plays in place.
    std::function<void(std::uint32_t display, std::optional<platform::RectF> region, double scale, FlashContinuation)>
        snapshot;
    std::function<void(const flash::Origin&)> play_flash;
    std::function<void(const std::filesystem::path&)> copy_file;
    std::function<void(const std::filesystem::path&)> reveal;
    std::function<void(const std::filesystem::path&, std::optional<flash::Origin>)> show_video;
    // `hold` keeps the source's lock and note until the conversion is done with it.
    std::function<void(const std::filesystem::path& source, video::GifSettings, const std::filesystem::path& destination,
        std::shared_ptr<void> hold)>
        make_gif;
    // Makes a recording's temporary ready to publish (recorder::seal) off the
    // main thread and hands the result to `then` there, on the thread that
    // sealed (a rescue on the main thread waits for it).
    std::function<void(const std::filesystem::path& temporary, Ending,
        std::function<void(std::expected<Sealed, SealFailure>)> then)>
        seal;
    // Takes Escape (without modifiers, whatever the lock keys) from every
    // other program until the returned holder goes, running `pressed` on the
    // main queue at each press; null when it cannot be taken.
    std::function<std::shared_ptr<void>(Job pressed)> take_escape;
    // Runs the job on the main queue once what the program just took off
    // the screen (the countdown's square) is gone from it, compositor
    // included.
    std::function<void(Job)> after_screen_settles;
    // Runs `let_go` (a stream's end, which waits for the writer to close the
    // file) off the main thread, then `then` on the main queue.
    std::function<void(Job let_go, Job then)> release;
};
Services& services();
// Restores the real modules (tests).
void reset_services();

// Counts the recordings alive: in the slot, or finishing (their file not
// yet published or given up).
struct Alive {
    Alive();
    ~Alive();
    Alive(const Alive&) = delete;
    Alive& operator=(const Alive&) = delete;
};

// A finishing recording's way from its stream to its name (recorder.cpp).
struct Handoff;

// The one live recording.
struct Session {
    Alive alive;
    std::uint64_t id = 0;
    std::uint32_t display = 0;
    std::optional<platform::RectF> region; // points from the screen's top-left corner
    std::optional<std::uint32_t> window;
    double scale = 1;
    publish::Reserved name;                 // the MP4's name in the capture folder
    std::filesystem::path path;            // the hidden temporary beside it that the output writes
    std::shared_ptr<LiveFile> live;        // the file to publish, locked and noted until it is published
    actions::RecordingFormat format = actions::RecordingFormat::Video;
    bool failed = false;                   // the output failed after the recording began
    std::string failure;                   // and why, as the output said
    std::uint32_t sound_lost = 0;          // sound inputs that ended while recording: SOUND_SYSTEM | SOUND_MICROPHONE
    std::uint64_t sound_lost_at = 0;       // whole seconds into the recording when the first of them ended
    std::uint32_t countdown = 0;
    bool countdown_shown = false;          // its square may still be on the screen: nothing is grabbed yet
    bool start_requested = false;
    bool stopping = false;
    std::optional<Clock::time_point> started_at;
    util::Stopwatch stopwatch { "grabación" };
    std::unique_ptr<Controls> ui;
    std::unique_ptr<InputPanel> overlay;
    std::shared_ptr<void> escape;          // Escape held for the countdown
    std::shared_ptr<void> stills_held;     // still captures keep no idle pictures meanwhile
    std::unique_ptr<platform::CaptureStream> stream;
    std::shared_ptr<RecorderDelegate> delegate;
    // Set on the writer's thread once the output reported the file's end
    // (finished, or failed after the trailer was attempted).
    std::shared_ptr<std::atomic<bool>> file_ended = std::make_shared<std::atomic<bool>>(false);
    // Set with file_ended when that end was a failure, on the writer's thread.
    std::shared_ptr<std::atomic<bool>> writer_failed = std::make_shared<std::atomic<bool>>(false);
    // Once finishing: the stream being let go and the seal, which a rescue
    // takes over where the main queue's jobs left them.
    std::shared_ptr<Handoff> handoff;
};
// The recording in the main thread's slot, or null.
const Session* session();

// Starts a recording of a region (display-local points, top-left origin) or
// of a window on a display, at `scale` pixels per point, as a video or a GIF
// (the format the user chose with the action). Main thread.
void start_inner(std::uint32_t display_id, std::optional<platform::RectF> region, std::optional<std::uint32_t> window,
    double scale, actions::RecordingFormat format = actions::RecordingFormat::Video);

// Whether a recording is in progress. Main thread.
bool running();
// Whether a recording is in progress or still finishing its file (the
// program must not end before that). Any thread.
bool busy();
// Stops the running recording; before the capture start was requested it
// cancels it. Main thread.
void stop();

// Ends a recording at once, its stream stopped and its file closed, without
// delivering it (quitting, once the run loop has ended). Main thread.
void abandon();

// Stops the running recording and publishes what it holds before returning,
// without the event loop, a window or a toast: for a process that is about to
// end at once (its display gone). A recording already finishing is carried
// to its name too: its stream's end and a seal under way are waited for,
// what the main queue had yet to do is done here. Logs what it kept. Main
// thread.
void rescue();

// The internal steps, each for the recording with this id (main thread).
void countdown_step(std::uint64_t id);
void try_start(std::uint64_t id);
void started(std::uint64_t id);
void tick(std::uint64_t id);
bool teardown(std::uint64_t id);
void finish(std::uint64_t id);
// A report of the stream or the recording output, on the main thread.
void report(const Report& report);
// Builds and attaches the stream for recording `id` from shareable content
// (null: none could be had), then tries to start it.
void prepare(std::uint64_t id, capture::Content content, bool refreshed);

// The elapsed time as the capsule shows it: "MM:SS", from an hour on "H:MM:SS".
std::string time_text(std::uint64_t seconds);

// Sound inputs, as Session::sound_lost holds them.
inline constexpr std::uint32_t SOUND_SYSTEM = 1u << 0;
inline constexpr std::uint32_t SOUND_MICROPHONE = 1u << 1;

// The toast of a delivered recording: "Grabación guardada · 00:07", or for
// a file the writer could not complete "Grabación incompleta: <cause> ·
// 00:06" ("Grabación incompleta · 00:06" without one); a sound input that
// ended while recording adds " · sin sonido del sistema desde 00:03" ("sin
// micrófono", "sin sonido" for both).
std::string ending_text(std::uint64_t seconds, bool incomplete, const std::optional<std::string>& cause,
    std::uint32_t sound_lost, std::uint64_t lost_at);
// The global rectangle (bottom-left origin) of a region on a screen; the
// screen's frame without one.
platform::RectF global_area(const platform::RectF& screen_frame, const std::optional<platform::RectF>& region);

} // namespace recorder
