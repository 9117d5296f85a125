// app: the nine global hot keys of the tray application.
//
// Registration turns the configured shortcut texts into system-wide hot keys
// of the platform layer and routes each press to its callback. The table of
// what is registered belongs to the main thread; every function here runs
// there only (it stops with "hilo principal" otherwise).
#pragma once

#include "app/app.h"
#include "base/actions.h"
#include "base/config.h"
#include "platform/hot_keys.h"

#include <array>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace app {

// One shortcut to register: its text as stored in the settings and what a
// press runs.
struct HotKeyBinding {
    std::string text;
    std::function<void()> callback;
    std::string title = {}; // the action's menu title, named when a later shortcut repeats this one
};

// What the last registration pass left behind.
struct HotKeyTable {
    // One per registered hot key, in registration order.
    std::vector<platform::HotKeyRef> refs;
    // A callback's position is its hot key's identifier (the number that
    // travels with the signature).
    std::vector<std::function<void()>> callbacks;
    // Texts that did not parse or could not be registered in the last pass,
    // exactly as stored; the settings window may show them.
    std::vector<std::string> failed;
    // Whether the press handler is installed on the platform's hot keys.
    bool handler_installed = false;
};

// The shortcut fields that have a hot key are the actions with a shortcut
// (actions::SHORTCUT_ROWS), registered in that order; recording a GIF and the
// self-timer have none.

// Per row of actions::SHORTCUT_ROWS: whether an earlier row already has its
// combination: only the first of them can be registered, so the
// others show no key equivalent in the menu. Texts that do not parse take
// nothing.
std::vector<bool> repeated_shortcuts(const config::Shortcuts& shortcuts);

// The nine bindings of a settings record, in actions::SHORTCUT_ROWS order; each
// callback calls `run` with its field's action.
std::vector<HotKeyBinding> hotkey_bindings(const config::Shortcuts& shortcuts,
                                           std::function<void(AppAction)> run);

// Replaces every registered hot key by the current settings' shortcuts
// (state::config), each press running app::run with its action.
void register_hotkeys();

// The same with explicit bindings: unregisters everything, then, in order,
// skips empty texts (after trimming blanks), records and logs texts that do
// not parse, records and logs a combination an earlier binding of this pass
// holds ("«text» ya la usa «title»"), and registers the rest. A failure never stops the others, and
// identifiers stay equal to the callbacks' positions. Every failure is
// logged and its text added to the failed list.
void register_hotkeys(std::span<const HotKeyBinding> bindings);

// Unregisters every hot key and empties the three lists; the press handler
// stays installed. Used while a shortcut field of the settings records.
void unregister_hotkeys();

// The table as the last pass left it.
const HotKeyTable& hotkey_table();

// Replaces the platform's hot keys (tests pass a fake). Everything registered
// is unregistered first, and the handler counts as not installed again.
// Without a call, the first registration creates the X11 hot keys.
void set_hotkey_backend(std::unique_ptr<platform::HotKeys> backend);

} // namespace app

namespace hotkeys {

// The press handler: acts only on identifiers with this program's signature,
// runs the callback at the identifier's position (when there is one) and
// ignores every other press. The callback may register the hot keys again.
void on_hotkey(platform::HotKeyId id);

} // namespace hotkeys
