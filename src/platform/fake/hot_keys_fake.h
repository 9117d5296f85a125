// platform fake: hot keys in memory, for tests without a display.
//
// Records every registration and release, can refuse the handler's install a
// number of times and refuse chosen combinations (as if another program held
// them), and turns press(code, mask) into a call of the installed handler.
#pragma once

#include "platform/hot_keys.h"

#include <set>
#include <utility>
#include <vector>

namespace platform {

class HotKeysFake final : public HotKeys {
public:
    struct Registration {
        HotKeyRef ref = 0;
        std::uint32_t key_code = 0;
        std::uint32_t modifiers = 0;
        HotKeyId id;
    };

    std::expected<void, std::string> install_handler(Handler handler) override;
    std::expected<HotKeyRef, std::string> register_hot_key(std::uint32_t key_code, std::uint32_t modifiers,
                                                            HotKeyId id) override;
    void unregister_hot_key(HotKeyRef ref) override;

    // Fault injection.
    void fail_next_installs(int count) { m_failing_installs = count; }
    void hold_elsewhere(std::uint32_t key_code, std::uint32_t modifiers) { m_held.insert({ key_code, modifiers }); }

    // Presses a combination: the handler gets its identifier when it is
    // registered; returns false (and calls nothing) otherwise.
    bool press(std::uint32_t key_code, std::uint32_t modifiers);
    // Delivers an arbitrary identifier to the handler, as a foreign hot key would.
    void deliver(HotKeyId id);

    // What is registered now, in registration order.
    const std::vector<Registration>& active() const { return m_active; }
    int install_calls() const { return m_install_calls; }
    int unregister_calls() const { return m_unregister_calls; }
    bool handler_installed() const { return static_cast<bool>(m_handler); }

private:
    Handler m_handler;
    std::vector<Registration> m_active;
    std::set<std::pair<std::uint32_t, std::uint32_t>> m_held;
    HotKeyRef m_next_ref = 1;
    int m_failing_installs = 0;
    int m_install_calls = 0;
    int m_unregister_calls = 0;
};

} // namespace platform
