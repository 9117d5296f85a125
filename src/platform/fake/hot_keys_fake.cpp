#include "platform/fake/hot_keys_fake.h"

#include <algorithm>

namespace platform {

std::expected<void, std::string> HotKeysFake::install_handler(Handler handler)
{
    ++m_install_calls;
    if (m_failing_installs > 0) {
        --m_failing_installs;
        return std::unexpected(std::string("-9876"));
    }
    m_handler = std::move(handler);
    return {};
}

std::expected<HotKeyRef, std::string> HotKeysFake::register_hot_key(std::uint32_t key_code, std::uint32_t modifiers,
                                                                    HotKeyId id)
{
    if (m_held.contains({ key_code, modifiers }))
        return std::unexpected(std::string("held by another client"));
    const bool taken = std::ranges::any_of(m_active, [&](const Registration& r) {
        return r.key_code == key_code && r.modifiers == modifiers;
    });
    if (taken)
        return std::unexpected(std::string("already registered"));
    m_active.push_back({ m_next_ref, key_code, modifiers, id });
    return m_next_ref++;
}

void HotKeysFake::unregister_hot_key(HotKeyRef ref)
{
    ++m_unregister_calls;
    std::erase_if(m_active, [ref](const Registration& r) { return r.ref == ref; });
}

bool HotKeysFake::press(std::uint32_t key_code, std::uint32_t modifiers)
{
    const auto it = std::ranges::find_if(m_active, [&](const Registration& r) {
        return r.key_code == key_code && r.modifiers == modifiers;
    });
    if (it == m_active.end() || !m_handler)
        return false;
    const HotKeyId id = it->id; // the handler may replace every registration
    m_handler(id);
    return true;
}

void HotKeysFake::deliver(HotKeyId id)
{
    if (m_handler)
        m_handler(id);
}

} // namespace platform
