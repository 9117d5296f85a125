#include "platform/fake/video_player_fake.h"

#include <fmt/format.h>

#include <algorithm>

namespace platform {

VideoPlayerViewFake::VideoPlayerViewFake(double duration, bool loaded)
    : m_duration(duration)
    , m_loaded(loaded)
{
}

void VideoPlayerViewFake::play()
{
    m_calls.push_back("play");
    m_paused = false;
    changed();
}

void VideoPlayerViewFake::pause()
{
    m_calls.push_back("pause");
    m_paused = true;
    changed();
}

void VideoPlayerViewFake::step_frame(int direction)
{
    m_calls.push_back(direction < 0 ? "step-1" : "step+1");
    m_paused = true;
    changed();
}

void VideoPlayerViewFake::seek(double seconds)
{
    m_calls.push_back(fmt::format("seek {}", seconds));
    m_position = std::clamp(seconds, 0.0, m_duration);
    changed();
}

void VideoPlayerViewFake::set_end_times(std::optional<double> reverse, std::optional<double> forward)
{
    m_calls.push_back("ends");
    m_reverse = reverse;
    m_forward = forward;
}

void VideoPlayerViewFake::begin_trimming(std::function<void(TrimOutcome)> done)
{
    if (!can_begin_trimming())
        return;
    m_calls.push_back("trim");
    m_done = std::move(done);
    changed();
}

void VideoPlayerViewFake::show_first_frame()
{
    m_first_frame = true;
    changed();
}

void VideoPlayerViewFake::end_trimming(TrimOutcome outcome)
{
    const auto [start, end] = m_handles.value_or(std::pair(m_reverse.value_or(0.0), m_forward.value_or(m_duration)));
    (void)finish_trim(outcome, start, end);
}

bool VideoPlayerViewFake::finish_trim(TrimOutcome outcome, double start, double end)
{
    if (!m_done)
        return false;
    auto done = std::exchange(m_done, nullptr);
    if (outcome == TrimOutcome::Confirmed) {
        m_reverse = start;
        m_forward = end;
    }
    changed();
    done(outcome);
    return true;
}

} // namespace platform
