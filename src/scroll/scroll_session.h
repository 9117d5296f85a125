// scroll: what the session's files share: the live session, its engine and
// its windows. Main thread, except the engine (under its mutex).
#pragma once

#include "scroll/scroll.h"

#include "codec/stitch.h"
#include "scroll/frame_relay.h"

#include <QPointer>
#include <QWidget>

#include <chrono>
#include <mutex>

class QObject;

namespace scroll {

using Clock = std::chrono::steady_clock;

// Shared by the main thread, the stream's thread, the relay's thread and the
// final stitch job. The stream's listener hands every frame to the relay; the
// relay's thread pushes it into the stitcher under the mutex.
struct Engine {
    Engine(std::uint64_t session_id, std::uint32_t preview_width);

    const std::uint64_t id; // the session's
    std::mutex mutex;
    stitch::Preview preview;
    // Signed on the relay's thread alone: it has a core to itself, and
    // spawning helpers for every frame costs more than it saves on a busy machine.
    std::optional<stitch::Stitcher> stitcher { std::in_place, std::uint8_t(2), std::uint32_t(30'000), 1u };
    std::uint64_t frames = 0;
    double total_ms = 0;
    double worst_ms = 0;
    std::uint32_t lost_streak = 0;
    bool failed = false; // a push ran out of memory: nothing more goes in
    std::vector<float> push_ms; // each frame's push

    std::mutex listener_mutex; // the listener never waits for a push
    std::vector<float> listener_ms; // with listener_mutex: each frame's time in the listener

    // Last: its thread uses the members above until it ends. Four frames,
    // and more while they fit in 64 MB (a dozen of a 1280 × 970 region).
    FrameRelay relay;
};

// Pushes one frame into the engine's stitcher and reports it to the main
// thread. The relay's thread.
void stitch_frame(Engine& engine, const stitch::Frame& frame);

class Controls;

// The windows of a session (scroll_ui.cpp). Deleting it closes them.
struct Ui {
    std::unique_ptr<QWidget> outline;
    std::unique_ptr<QWidget> capsule;   // the panel; its content is `controls`
    Controls* controls = nullptr;
    std::unique_ptr<QWidget> preview;   // none without room beside the outline
    QWidget* preview_image = nullptr;
};

struct Session {
    std::uint64_t id = 0;
    Clock::time_point last_progress;
    std::optional<util::Stopwatch> stopwatch;
    std::shared_ptr<Engine> engine;
    Ui ui;
    std::unique_ptr<platform::HotKeys> grabs; // Return, keypad Enter, Escape: ours alone
    std::unique_ptr<platform::RawInput> keys;  // the fallback where the grab was refused
    std::unique_ptr<QObject> local_keys; // the application event filter
    platform::RectF region;      // display-local points, top-left origin
    platform::RectF screen_rect; // global points, bottom-left origin
    double scale = 1;
    std::unique_ptr<platform::CaptureStream> stream;
    std::uint64_t frames = 0;
    double step = 24;
    std::uint32_t display_id = 0;
    bool slow = false;
    bool auto_scroll = false;
    // Which tick chain is the current one: switching off and on again within
    // a tick would otherwise leave the old chain running beside the new.
    std::uint64_t auto_chain = 0;
    // What one wheel click moves in the program at hand, in frame pixels,
    // measured on the joins of automatic scrolling's first tick (0: not yet).
    double click_pixels = 0;
    struct Measuring {
        int clicks = 0;       // what the first tick posted
        double pixels = 0;    // what its joins moved
        bool joined = false;  // a join came
        int ticks = 0;        // ticks since the first
        int quiet_ticks = 0;  // ticks since the last join
    };
    std::optional<Measuring> measuring;
    // Ticks since a scroll was posted that no stitched frame has answered
    // (none: answered). The next step waits a few ticks for the answer, so a
    // capture that falls behind never sees several steps at once (with too
    // little overlap left to join them); a program that let a click go by is
    // asked again after them.
    std::optional<int> unanswered;
};

// The live session, or null. Main thread.
Session* live();
// The live session when its id is `id`, or null.
Session* live(std::uint64_t id);

// scroll_ui.cpp
Ui build_ui(const platform::RectF& screen_rect, const platform::RectF& visible);
void refresh_ui(std::uint64_t id);
void show_preview(Session& session, const QImage& image);
void hide_ui(Ui& ui);
// The keys that finish or cancel: grabbed from every program for the
// session (raw presses where the grab is refused), and the program's own.
void install_keys(Session& session);

// scroll_auto.cpp: what a frame report means to automatic scrolling (the
// measure of a click, the back-off after a lost frame, whether the content
// still moves).
void auto_report(Session& session, const stitch::Step& step, std::uint32_t lost_streak);

} // namespace scroll
