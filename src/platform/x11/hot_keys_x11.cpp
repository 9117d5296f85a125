// Global hot keys on X11: passive grabs on the root window.
//
// The grabs are made on Qt's own xcb connection, so the key events arrive in
// Qt's event stream; a native event filter picks ours out before Qt sees them.
// Each combination is grabbed four times, with and without Caps Lock and Num
// Lock, because X matches a passive grab's modifiers exactly. The grabs are
// made with owner_events off, so a press is always reported on the root
// window, even while one of our own windows has the focus.
#include "platform/hot_keys.h"

#include "base/hotkeys.h"
#include "platform/x11/key_positions.h"

#include <QAbstractNativeEventFilter>
#include <QByteArray>
#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

#include <array>
#include <cstdlib>
#include <map>
#include <vector>

#include <fmt/format.h>

namespace platform {

namespace {

// Keysyms that identify which of Mod1..Mod5 a modifier key sets.
constexpr xcb_keysym_t KEYSYM_NUM_LOCK = 0xff7f;
constexpr xcb_keysym_t KEYSYM_ALT_L = 0xffe9;
constexpr xcb_keysym_t KEYSYM_ALT_R = 0xffea;
constexpr xcb_keysym_t KEYSYM_SUPER_L = 0xffeb;
constexpr xcb_keysym_t KEYSYM_SUPER_R = 0xffec;

// The modifier bits of a key event's state; the rest are buttons and the XKB group.
constexpr std::uint16_t STATE_MODIFIERS = 0xff;

struct ModifierMasks {
    std::uint16_t alt = XCB_MOD_MASK_1;
    std::uint16_t super = XCB_MOD_MASK_4;
    std::uint16_t num_lock = XCB_MOD_MASK_2;
};

struct Grab {
    xcb_keycode_t keycode = 0;
    std::uint16_t modifiers = 0; // X modifier mask, locks excluded
    std::uint16_t num_lock = 0;  // the Num Lock mask the grab was made with
    HotKeyId id;
    bool held = false;            // pressed and not yet released
    xcb_timestamp_t last_release = 0;
};

class HotKeysX11 final : public HotKeys, public QAbstractNativeEventFilter {
public:
    ~HotKeysX11() override
    {
        // At process exit the application (and its connection) may be gone
        // already; the server drops a client's grabs when it disconnects.
        if (!m_conn || !live())
            return;
        for (const auto& [ref, grab] : m_grabs)
            ungrab(grab);
        xcb_flush(m_conn);
        QCoreApplication::instance()->removeNativeEventFilter(this);
    }

    std::expected<void, std::string> install_handler(Handler handler) override
    {
        if (!m_conn) {
            auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
            xcb_connection_t* conn = x11 ? x11->connection() : nullptr;
            if (!conn || xcb_connection_has_error(conn))
                return std::unexpected(std::string("sin conexión X11"));
            m_conn = conn;
            m_root = default_root(conn);
            QCoreApplication::instance()->installNativeEventFilter(this);
        }
        m_handler = std::move(handler);
        return {};
    }

    std::expected<HotKeyRef, std::string> register_hot_key(std::uint32_t key_code, std::uint32_t modifiers,
                                                            HotKeyId id) override
    {
        if (!m_conn || !live())
            return std::unexpected(std::string("sin conexión X11"));
        const auto evdev = x11::evdev_key(key_code);
        if (!evdev)
            return std::unexpected(fmt::format("el código {} no tiene tecla", key_code));
        const std::uint32_t keycode = x11::x_keycode_from_evdev(*evdev);
        const xcb_setup_t* setup = xcb_get_setup(m_conn);
        if (keycode < setup->min_keycode || keycode > setup->max_keycode)
            return std::unexpected(fmt::format("el teclado no tiene la tecla {}", keycode));

        m_masks = modifier_masks();
        Grab grab;
        grab.keycode = static_cast<xcb_keycode_t>(keycode);
        grab.modifiers = x_modifiers(modifiers);
        grab.num_lock = m_masks.num_lock;
        grab.id = id;
        for (const auto& [ref, g] : m_grabs)
            if (g.keycode == grab.keycode && g.modifiers == grab.modifiers)
                return std::unexpected(std::string("ya registrada"));

        // Send every variant, then check each: a combination another client
        // holds answers BadAccess, and then none of it may stay behind.
        std::vector<xcb_void_cookie_t> cookies;
        for (std::uint16_t lock : lock_variants(grab.num_lock))
            cookies.push_back(xcb_grab_key_checked(m_conn, 0, m_root, grab.modifiers | lock, grab.keycode,
                                                   XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::string failure;
        for (xcb_void_cookie_t cookie : cookies) {
            if (xcb_generic_error_t* error = xcb_request_check(m_conn, cookie)) {
                if (failure.empty())
                    failure = error->error_code == XCB_ACCESS ? "otro cliente la tiene"
                                                              : fmt::format("error X {}", int(error->error_code));
                std::free(error);
            }
        }
        if (!failure.empty()) {
            ungrab(grab);
            xcb_flush(m_conn);
            return std::unexpected(failure);
        }
        const HotKeyRef ref = m_next_ref++;
        m_grabs.emplace(ref, grab);
        return ref;
    }

    void unregister_hot_key(HotKeyRef ref) override
    {
        const auto it = m_grabs.find(ref);
        if (it == m_grabs.end())
            return;
        if (m_conn && live()) {
            ungrab(it->second);
            // The caller may hand the combination to someone else at once.
            xcb_aux_sync();
        }
        m_grabs.erase(it);
    }

    bool nativeEventFilter(const QByteArray& type, void* message, qintptr*) override
    {
        if (type != "xcb_generic_event_t" || m_grabs.empty())
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        const std::uint8_t kind = event->response_type & 0x7f;
        if (kind != XCB_KEY_PRESS && kind != XCB_KEY_RELEASE)
            return false;
        const auto* key = static_cast<const xcb_key_press_event_t*>(message);

        // A release ends the press wherever it is reported: a window that
        // grabbed the keyboard while the key was down (the selection overlay
        // does) receives it instead of the root. Only the root's are ours to eat.
        if (kind == XCB_KEY_RELEASE) {
            bool ours = false;
            for (auto& [ref, grab] : m_grabs)
                if (grab.keycode == key->detail && grab.held) {
                    grab.held = false;
                    grab.last_release = key->time;
                    ours = true;
                }
            return ours && key->event == m_root;
        }
        // A press is ours wherever it is reported: while one of this
        // program's windows holds the keyboard (the selection overlay does),
        // the server hands it the combination instead of the root's grab,
        // and the shortcut must still run rather than reach that window.
        for (auto& [ref, grab] : m_grabs) {
            const int state = key->state & STATE_MODIFIERS & ~(XCB_MOD_MASK_LOCK | grab.num_lock);
            if (grab.keycode != key->detail || grab.modifiers != state)
                continue;
            // One action per physical press. With detectable auto-repeat the
            // repeats are presses without releases; without it, each repeat
            // is a release and a press that carry the same time.
            const bool repeat = grab.held || (grab.last_release != 0 && grab.last_release == key->time);
            grab.held = true;
            if (!repeat && m_handler) {
                // Copies: the handler may replace every registration.
                const HotKeyId id = grab.id;
                const Handler handler = m_handler;
                handler(id);
            }
            return true;
        }
        return false;
    }

private:
    bool live() const
    {
        auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        return x11 && x11->connection() == m_conn && !xcb_connection_has_error(m_conn);
    }

    void xcb_aux_sync()
    {
        std::free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
    }

    static xcb_window_t default_root(xcb_connection_t* conn)
    {
        // Qt opened the connection on $DISPLAY's screen; xcb_connect tells
        // which one that is when asked the same way.
        int screen = 0;
        if (const char* display = std::getenv("DISPLAY")) {
            char* host = nullptr;
            int number = 0;
            if (xcb_parse_display(display, &host, &number, &screen) == 0)
                screen = 0;
            std::free(host);
        }
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn));
        for (int i = 0; i < screen && it.rem > 1; ++i)
            xcb_screen_next(&it);
        return it.data->root;
    }

    static std::vector<std::uint16_t> lock_variants(std::uint16_t num_lock)
    {
        std::vector<std::uint16_t> v = { 0, XCB_MOD_MASK_LOCK };
        if (num_lock) {
            v.push_back(num_lock);
            v.push_back(static_cast<std::uint16_t>(XCB_MOD_MASK_LOCK | num_lock));
        }
        return v;
    }

    void ungrab(const Grab& grab)
    {
        for (std::uint16_t lock : lock_variants(grab.num_lock))
            xcb_ungrab_key(m_conn, grab.keycode, m_root, grab.modifiers | lock);
    }

    // The desktop's usual mapping of the program's modifiers: command is
    // Ctrl, option is Alt, control is Super, shift is Shift.
    std::uint16_t x_modifiers(std::uint32_t modifiers) const
    {
        std::uint16_t x = 0;
        if (modifiers & hotkeys::COMMAND)
            x |= XCB_MOD_MASK_CONTROL;
        if (modifiers & hotkeys::OPTION)
            x |= m_masks.alt;
        if (modifiers & hotkeys::CONTROL)
            x |= m_masks.super;
        if (modifiers & hotkeys::SHIFT)
            x |= XCB_MOD_MASK_SHIFT;
        return x;
    }

    // Which of Mod1..Mod5 carry Alt, Super and Num Lock in the server's
    // current modifier map; the common assignment where a key is missing.
    ModifierMasks modifier_masks() const
    {
        ModifierMasks found{ 0, 0, 0 };
        xcb_get_modifier_mapping_reply_t* reply
            = xcb_get_modifier_mapping_reply(m_conn, xcb_get_modifier_mapping(m_conn), nullptr);
        xcb_key_symbols_t* symbols = xcb_key_symbols_alloc(m_conn);
        if (reply && symbols) {
            const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply);
            const int per = reply->keycodes_per_modifier;
            for (int mod = 3; mod < 8; ++mod) { // Mod1 .. Mod5
                const auto mask = static_cast<std::uint16_t>(1u << mod);
                for (int i = 0; i < per; ++i) {
                    const xcb_keycode_t code = codes[mod * per + i];
                    if (code == 0)
                        continue;
                    for (int col = 0; col < 4; ++col) {
                        const xcb_keysym_t sym = xcb_key_symbols_get_keysym(symbols, code, col);
                        if ((sym == KEYSYM_ALT_L || sym == KEYSYM_ALT_R) && !found.alt)
                            found.alt = mask;
                        else if ((sym == KEYSYM_SUPER_L || sym == KEYSYM_SUPER_R) && !found.super)
                            found.super = mask;
                        else if (sym == KEYSYM_NUM_LOCK && !found.num_lock)
                            found.num_lock = mask;
                    }
                }
            }
        }
        if (symbols)
            xcb_key_symbols_free(symbols);
        std::free(reply);
        const ModifierMasks fallback;
        if (!found.alt)
            found.alt = fallback.alt;
        if (!found.super)
            found.super = fallback.super;
        if (!found.num_lock)
            found.num_lock = fallback.num_lock;
        return found;
    }

    xcb_connection_t* m_conn = nullptr;
    xcb_window_t m_root = 0;
    Handler m_handler;
    ModifierMasks m_masks;
    std::map<HotKeyRef, Grab> m_grabs;
    HotKeyRef m_next_ref = 1;
};

} // namespace

std::unique_ptr<HotKeys> create_x11_hot_keys()
{
    return std::make_unique<HotKeysX11>();
}

} // namespace platform
