// platform: system-wide hot keys.
//
// A hot key is a key code (a physical key position, the codes of
// hotkeys::key_table()) with a modifier mask (hotkeys::COMMAND, SHIFT, OPTION,
// CONTROL) that reaches this program whichever window has the keyboard focus.
// Each registration carries an identifier (a tag and a number) that comes
// back with every press, so the caller can tell its hot keys apart without
// keeping codes of its own.
//
// Threads: every function is called on the main thread, and the handler runs
// there too, from the run loop. Errors are human-readable descriptions for
// the log; the caller turns them into its own messages.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace platform {

// The tag in the identifier of every hot key this program registers ("VTRP"
// in ASCII): a press whose identifier carries another is none of ours.
inline constexpr std::uint32_t HOT_KEY_SIGNATURE = 0x56545250;

struct HotKeyId {
    std::uint32_t signature = 0;
    std::uint32_t id = 0;
    bool operator==(const HotKeyId&) const = default;
};

// An opaque reference to one registration; 0 is never a valid reference.
using HotKeyRef = std::uint64_t;

class HotKeys {
public:
    // Called once per physical press of a registered combination (holding the
    // key down does not repeat it), with the identifier given at registration;
    // also while a window of this program holds the keyboard, which then
    // does not see the press.
    using Handler = std::function<void(HotKeyId)>;

    virtual ~HotKeys() = default;

    // Installs the handler that receives every press; a later call replaces
    // it. Fails (and leaves nothing installed) when the display server cannot
    // deliver key events to this process.
    virtual std::expected<void, std::string> install_handler(Handler handler) = 0;

    // Makes the combination a system-wide hot key. Fails when the key code has
    // no key on this keyboard, when another client (or an earlier registration
    // of this object) already holds the combination, or when the display
    // server refuses it; a failed registration leaves nothing behind.
    virtual std::expected<HotKeyRef, std::string> register_hot_key(std::uint32_t key_code, std::uint32_t modifiers,
                                                                    HotKeyId id)
        = 0;

    // Releases one registration; an unknown or already released reference is
    // ignored. After it returns, the combination is free for other clients.
    virtual void unregister_hot_key(HotKeyRef ref) = 0;
};

// The X11 realisation: passive key grabs on the root window of Qt's own xcb
// connection, read through a native event filter. Needs a QGuiApplication;
// without one, or on a non-X11 platform plugin, install_handler fails and so
// nothing registers.
std::unique_ptr<HotKeys> create_x11_hot_keys();

// Takes plain presses (no modifier, any lock key) of `codes` from every
// program for as long as the returned object lives, so the program with the
// keyboard never sees them; `pressed` gets each press's code, inside the key
// filter (post anything heavier to the main queue). Fails as a whole: no grab
// is left behind.
std::expected<std::unique_ptr<HotKeys>, std::string> take_keys(std::unique_ptr<HotKeys> keys,
    std::span<const std::uint32_t> codes, std::function<void(std::uint32_t code)> pressed);

} // namespace platform
