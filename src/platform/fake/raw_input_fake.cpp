#include "platform/fake/raw_input_fake.h"

namespace platform {

std::expected<void, std::string> RawInputFake::start(KeyHandler keys, ButtonHandler buttons)
{
    ++m_start_calls;
    if (m_failing_starts > 0) {
        --m_failing_starts;
        return std::unexpected(std::string("el servidor X no tiene XInput2"));
    }
    m_keys = std::move(keys);
    m_buttons = std::move(buttons);
    m_running = true;
    return {};
}

void RawInputFake::stop()
{
    m_running = false;
    m_keys = nullptr;
    m_buttons = nullptr;
}

bool RawInputFake::press(const RawKey& key)
{
    if (!m_running || !m_keys)
        return false;
    // A copy: the handler may stop the monitor, which drops it.
    KeyHandler handler = m_keys;
    handler(key);
    return true;
}

bool RawInputFake::press(int code, std::uint32_t modifiers, std::string characters)
{
    RawKey key;
    key.code = code;
    key.modifiers = modifiers;
    key.unmodified_characters = characters;
    key.characters = std::move(characters);
    return press(key);
}

bool RawInputFake::click(const RawButton& button)
{
    if (!m_running || !m_buttons)
        return false;
    ButtonHandler handler = m_buttons;
    handler(button);
    return true;
}

} // namespace platform
