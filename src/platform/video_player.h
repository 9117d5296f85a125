// platform: a video player view that carries its own controls and trimming.
//
// The view plays one file. It shows the picture, and below it controls drawn
// by the program: play/pause, one frame back and forward, the current and
// total timecode and a scrubber. In trimming mode a range bar with two
// handles stands over the timeline with "Recortar" and "Cancelar".
//
// The libmpv backend (platform/mpv/video_player_mpv.cpp) decodes, keeps sound
// and picture in step and seeks; sound goes to PulseAudio, or nowhere when no
// server answers. A fake beside it (platform/fake/video_player_fake.h) lets
// tests script trims.
//
// Every function runs on the main thread. Times are seconds from the start of
// the file; sizes are the widget's logical pixels.
#pragma once

#include <QWidget>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace platform {

enum class TrimOutcome { Confirmed, Cancelled };

class VideoPlayerView : public QWidget {
public:
    using QWidget::QWidget;
    ~VideoPlayerView() override = default;

    // True once the file is loaded (its duration known); false when it
    // could not be opened.
    virtual bool has_current_item() const = 0;
    // The playback position and the file's duration; 0 while unknown.
    virtual double position() const = 0;
    virtual double duration() const = 0;
    virtual bool paused() const = 0;

    // Plays from the position; at the forward end time (or the file's end)
    // playback restarts from the reverse end time (or the start).
    virtual void play() = 0;
    virtual void pause() = 0;
    // One frame forward (+1) or back (-1); pauses first.
    virtual void step_frame(int direction) = 0;
    // An exact seek, clamped to the file.
    virtual void seek(double seconds) = 0;

    // The item's playback end times: playing forward stops at `forward`,
    // and the part before `reverse` is left out. None is the invalid time:
    // the file's own edges.
    virtual std::optional<double> reverse_end() const = 0;
    virtual std::optional<double> forward_end() const = 0;
    virtual void set_end_times(std::optional<double> reverse, std::optional<double> forward) = 0;

    // False until the first frame has been shown, and while a trim is open.
    virtual bool can_begin_trimming() const = 0;
    // Shows the range bar over the current end times. "Recortar" sets the end
    // times to the handles and reports Confirmed; "Cancelar" keeps them and
    // reports Cancelled. `done` runs once, on the main thread, after the bar
    // has gone. Ignored (done never runs) when trimming cannot begin.
    virtual void begin_trimming(std::function<void(TrimOutcome)> done) = 0;
    virtual bool trimming() const = 0;
    // Ends the open trim as its "Recortar" (Confirmed) or "Cancelar" button
    // would: the window's Return and Escape while the bar is open. Nothing
    // when no trim is open.
    virtual void end_trimming(TrimOutcome outcome) = 0;

    // Called on every change of position, pause, duration or trimming
    // state, on the main thread.
    void set_on_change(std::function<void()> on_change) { m_on_change = std::move(on_change); }
    // Called with the playback position each time a new frame has been
    // drawn, on the main thread (for measuring playback).
    void set_on_frame(std::function<void(double)> on_frame) { m_on_frame = std::move(on_frame); }

protected:
    void changed()
    {
        if (m_on_change)
            m_on_change();
    }

    bool wants_frames() const { return bool(m_on_frame); }
    void frame_shown(double position)
    {
        if (m_on_frame)
            m_on_frame(position);
    }

private:
    std::function<void()> m_on_change;
    std::function<void(double)> m_on_frame;
};

struct PlayerOptions {
    bool sound = true; // false: silent playback whatever the sound server says
};

// A libmpv view playing `path`, opened paused on its first frame. The file
// opens in the background: a file that cannot be played leaves an empty view
// whose has_current_item stays false.
std::unique_ptr<VideoPlayerView> create_mpv_player_view(const std::filesystem::path& path, PlayerOptions options = {});

// --- The view's arithmetic, shared with tests ---------------------------------------

// The timecode the controls show: "m:ss.cc" (hundredths, minutes unbounded).
std::string player_timecode(double seconds);

// Where a time sits on a track of `width` pixels for a file of `duration`
// seconds, and back; both clamp to the track.
double time_to_x(double seconds, double duration, double width);
double x_to_time(double x, double duration, double width);

} // namespace platform
