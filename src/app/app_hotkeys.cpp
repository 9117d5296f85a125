#include "app/app_hotkeys.h"

#include "base/hotkeys.h"
#include "base/state.h"
#include "base/util.h"

#include <fmt/format.h>

#include <algorithm>

namespace app {

namespace {

struct Store {
    HotKeyTable table;
    std::unique_ptr<platform::HotKeys> backend;
};

Store& store()
{
    util::require_main_thread("hilo principal");
    static auto* instance = new Store(); // the backend is released by app::release_services
    return *instance;
}

platform::HotKeys& backend(Store& s)
{
    if (!s.backend)
        s.backend = platform::create_x11_hot_keys();
    return *s.backend;
}

bool blank(std::string_view s)
{
    return s.find_first_not_of(" \t\n\r\v\f") == std::string_view::npos;
}

} // namespace

std::vector<HotKeyBinding> hotkey_bindings(const config::Shortcuts& shortcuts, std::function<void(AppAction)> run)
{
    std::vector<HotKeyBinding> out;
    out.reserve(actions::SHORTCUT_COUNT);
    for (const actions::ActionRow* r : actions::SHORTCUT_ROWS)
        out.push_back({ shortcuts.*r->shortcut, [run, action = r->action] { run(action); }, std::string(r->title) });
    return out;
}

std::vector<bool> repeated_shortcuts(const config::Shortcuts& shortcuts)
{
    std::vector<bool> out;
    std::vector<hotkeys::Shortcut> seen;
    for (const actions::ActionRow* r : actions::SHORTCUT_ROWS) {
        const auto parsed = hotkeys::parse(shortcuts.*r->shortcut);
        const bool repeated = parsed && std::find(seen.begin(), seen.end(), *parsed) != seen.end();
        if (parsed && !repeated)
            seen.push_back(*parsed);
        out.push_back(repeated);
    }
    return out;
}

void register_hotkeys()
{
    const auto config = state::config();
    const auto bindings = hotkey_bindings(config->shortcuts, [](AppAction action) { run(action); });
    register_hotkeys(bindings);
}

void register_hotkeys(std::span<const HotKeyBinding> bindings)
{
    unregister_hotkeys();
    Store& s = store();
    platform::HotKeys& keys = backend(s);
    HotKeyTable& t = s.table;
    // What this pass registered, with whose it is. The platform would refuse
    // a repeat too, but blame another application for it.
    std::vector<std::pair<hotkeys::Shortcut, std::string>> held;

    for (const HotKeyBinding& b : bindings) {
        if (blank(b.text))
            continue;
        const auto parsed = hotkeys::parse(b.text);
        if (!parsed) {
            t.failed.push_back(b.text);
            util::log(parsed.error());
            continue;
        }
        if (const auto it = std::find_if(held.begin(), held.end(), [&](const auto& h) { return h.first == *parsed; });
            it != held.end()) {
            t.failed.push_back(b.text);
            util::log(fmt::format("«{}» ya la usa «{}»", b.text, it->second));
            continue;
        }
        if (!t.handler_installed) {
            auto installed = keys.install_handler([](platform::HotKeyId id) { hotkeys::on_hotkey(id); });
            if (!installed) {
                // Tried again for the next shortcut; this one stays unregistered.
                t.failed.push_back(b.text);
                util::log(fmt::format("no pude instalar el receptor de atajos globales ({})", installed.error()));
                continue;
            }
            t.handler_installed = true;
        }
        const platform::HotKeyId id{ platform::HOT_KEY_SIGNATURE, static_cast<std::uint32_t>(t.callbacks.size()) };
        auto ref = keys.register_hot_key(parsed->key_code, parsed->modifiers, id);
        if (!ref) {
            t.failed.push_back(b.text);
            util::log(fmt::format("«{}» no está disponible (¿lo usa otra app?)", b.text));
            continue;
        }
        t.refs.push_back(*ref);
        t.callbacks.push_back(b.callback);
        held.emplace_back(*parsed, b.title);
    }
}

void unregister_hotkeys()
{
    Store& s = store();
    if (s.backend)
        for (platform::HotKeyRef ref : s.table.refs)
            s.backend->unregister_hot_key(ref);
    s.table.refs.clear();
    s.table.callbacks.clear();
    s.table.failed.clear();
}

const HotKeyTable& hotkey_table()
{
    return store().table;
}

void set_hotkey_backend(std::unique_ptr<platform::HotKeys> backend)
{
    unregister_hotkeys();
    Store& s = store();
    s.backend = std::move(backend);
    s.table.handler_installed = false;
}

} // namespace app

namespace hotkeys {

void on_hotkey(platform::HotKeyId id)
{
    if (id.signature != platform::HOT_KEY_SIGNATURE)
        return;
    std::function<void()> callback;
    {
        const app::HotKeyTable& t = app::hotkey_table();
        if (id.id >= t.callbacks.size())
            return;
        // A copy: the callback may register the hot keys again, which
        // replaces the list it lives in.
        callback = t.callbacks[id.id];
    }
    if (callback)
        callback();
}

} // namespace hotkeys
