// A player view for tests: no decoding; a file "plays" by its duration, and
// the test decides when the first frame is shown and how a trim ends.
#pragma once

#include "platform/video_player.h"

#include <vector>

namespace platform {

class VideoPlayerViewFake final : public VideoPlayerView {
public:
    explicit VideoPlayerViewFake(double duration, bool loaded = true);

    bool has_current_item() const override { return m_loaded; }
    double position() const override { return m_position; }
    double duration() const override { return m_duration; }
    bool paused() const override { return m_paused; }
    void play() override;
    void pause() override;
    void step_frame(int direction) override;
    void seek(double seconds) override;
    std::optional<double> reverse_end() const override { return m_reverse; }
    std::optional<double> forward_end() const override { return m_forward; }
    void set_end_times(std::optional<double> reverse, std::optional<double> forward) override;
    bool can_begin_trimming() const override { return m_first_frame && !m_done; }
    void begin_trimming(std::function<void(TrimOutcome)> done) override;
    bool trimming() const override { return bool(m_done); }
    // Confirms with the handles where set_handles put them (at first the end
    // times, or the file's edges).
    void end_trimming(TrimOutcome outcome) override;
    void set_handles(double start, double end) { m_handles = { start, end }; }

    // The first frame appears (trimming may begin from now on).
    void show_first_frame();
    // Ends the open trim as the range bar would: Confirmed sets the end
    // times to (start, end) first. False when no trim is open.
    bool finish_trim(TrimOutcome outcome, double start = 0, double end = 0);

    // Calls in order: "play", "pause", "step+1", "seek 1.5", "ends", "trim".
    const std::vector<std::string>& calls() const { return m_calls; }

private:
    double m_duration;
    bool m_loaded;
    bool m_first_frame = false;
    bool m_paused = true;
    double m_position = 0;
    std::optional<double> m_reverse, m_forward;
    std::function<void(TrimOutcome)> m_done;
    std::optional<std::pair<double, double>> m_handles;
    std::vector<std::string> m_calls;
};

} // namespace platform
