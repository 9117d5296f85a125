// platform fake: the raw-input monitor in memory, for tests without a display.
//
// Tests press keys and buttons on it; they reach the handlers of a started
// monitor and nothing otherwise. It can refuse the next starts, as a display
// without XInput2 would.
#pragma once

#include "platform/raw_input.h"

namespace platform {

class RawInputFake final : public RawInput {
public:
    std::expected<void, std::string> start(KeyHandler keys, ButtonHandler buttons) override;
    void stop() override;

    void fail_next_starts(int count) { m_failing_starts = count; }

    // Delivers a press as the display would; returns whether a handler got it.
    bool press(const RawKey& key);
    bool press(int code, std::uint32_t modifiers = 0, std::string characters = {});
    bool click(const RawButton& button);

    bool running() const { return m_running; }
    int start_calls() const { return m_start_calls; }

private:
    KeyHandler m_keys;
    ButtonHandler m_buttons;
    bool m_running = false;
    int m_failing_starts = 0;
    int m_start_calls = 0;
};

} // namespace platform
