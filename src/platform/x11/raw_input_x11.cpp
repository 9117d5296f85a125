// The raw-input monitor on X11: XInput2 raw key and button presses selected
// on the root window, over an xcb connection of the monitor's own.
//
// Raw events are copies the server sends besides the normal delivery, so the
// key stays with whatever program has it. They carry no modifier state and no
// pointer position: the modifiers come from an xkbcommon state kept in step
// with the server's XKB state notifications on the same connection (so a
// modifier pressed just before a key is already in the state when the key's
// event is read), and a button's position is the pointer's when the event is
// handled.
#include "platform/raw_input.h"

#include "base/hotkeys.h"
#include "platform/screens.h"
#include "platform/x11/key_positions.h"

#include <QGuiApplication>
#include <QSocketNotifier>

#include <xcb/xcb.h>
#include <xcb/xinput.h>
// xcb's XKB header names a field `explicit`, a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <array>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

namespace platform {

namespace {

std::optional<bool> g_trusted_answer;

// The evdev set numbers a key 8 below its X keycode.
constexpr std::uint32_t EVDEV_OFFSET = 8;

std::string utf8_of(xkb_keysym_t sym)
{
    std::array<char, 16> buffer {};
    const int n = xkb_keysym_to_utf8(sym, buffer.data(), buffer.size());
    // n counts the terminating NUL; control keys type nothing printable.
    if (n <= 1 || static_cast<unsigned char>(buffer[0]) < 0x20 || buffer[0] == 0x7f)
        return {};
    return std::string(buffer.data(), static_cast<std::size_t>(n - 1));
}

class RawInputX11 final : public RawInput {
public:
    ~RawInputX11() override { close(); }

    std::expected<void, std::string> start(KeyHandler keys, ButtonHandler buttons) override
    {
        close();
        int screen = 0;
        m_conn = xcb_connect(nullptr, &screen);
        if (xcb_connection_has_error(m_conn)) {
            close();
            return std::unexpected(std::string("sin conexión X11"));
        }
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(m_conn));
        for (int i = 0; i < screen && it.rem; ++i)
            xcb_screen_next(&it);
        m_root = it.data->root;

        if (auto ok = select_raw_events(); !ok) {
            close();
            return ok;
        }
        if (auto ok = setup_keyboard(); !ok) {
            close();
            return ok;
        }
        load_pointer_mapping();
        xcb_flush(m_conn);

        m_keys = std::move(keys);
        m_buttons = std::move(buttons);
        m_running = std::make_shared<bool>(true);
        m_notifier = new QSocketNotifier(xcb_get_file_descriptor(m_conn), QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, m_notifier,
            [this, running = m_running] { if (*running) drain(running); });
        return {};
    }

    void stop() override { close(); }

private:
    std::expected<void, std::string> select_raw_events()
    {
        const xcb_query_extension_reply_t* xi = xcb_get_extension_data(m_conn, &xcb_input_id);
        if (!xi || !xi->present)
            return std::unexpected(std::string("el servidor X no tiene XInput2"));
        m_xi_opcode = xi->major_opcode;
        // Raw events reach the root window of a client that is not grabbing
        // from XInput 2.1 on.
        auto* version = xcb_input_xi_query_version_reply(m_conn, xcb_input_xi_query_version(m_conn, 2, 2), nullptr);
        const bool recent = version && (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 1));
        std::free(version);
        if (!recent)
            return std::unexpected(std::string("el servidor X no tiene XInput 2.1"));

        struct {
            xcb_input_event_mask_t head;
            std::uint32_t mask;
        } selection {};
        // Master devices only: each press arrives once, whichever keyboard or
        // mouse (or XTEST device) made it.
        selection.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
        selection.head.mask_len = 1;
        selection.mask = XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS;
        xcb_generic_error_t* error = xcb_request_check(m_conn,
            xcb_input_xi_select_events_checked(m_conn, m_root, 1, &selection.head));
        if (error) {
            const int code = error->error_code;
            std::free(error);
            return std::unexpected(fmt::format("XInput2 rechazó los eventos crudos (error X {})", code));
        }
        return {};
    }

    std::expected<void, std::string> setup_keyboard()
    {
        if (!xkb_x11_setup_xkb_extension(m_conn, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &m_xkb_event, nullptr))
            return std::unexpected(std::string("el servidor X no tiene XKB"));
        m_device = xkb_x11_get_core_keyboard_device_id(m_conn);
        if (m_device < 0)
            return std::unexpected(std::string("sin teclado XKB"));
        m_context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        if (!m_context || !reload_keymap())
            return std::unexpected(std::string("no pude leer el mapa del teclado"));

        const std::uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY
            | XCB_XKB_EVENT_TYPE_STATE_NOTIFY;
        const std::uint16_t map_parts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS
            | XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS
            | XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
        const std::uint16_t state_parts = XCB_XKB_STATE_PART_MODIFIER_BASE | XCB_XKB_STATE_PART_MODIFIER_LATCH
            | XCB_XKB_STATE_PART_MODIFIER_LOCK | XCB_XKB_STATE_PART_GROUP_BASE | XCB_XKB_STATE_PART_GROUP_LATCH
            | XCB_XKB_STATE_PART_GROUP_LOCK;
        xcb_xkb_select_events_details_t details {};
        details.affectNewKeyboard = XCB_XKB_NKN_DETAIL_KEYCODES;
        details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
        details.affectState = state_parts;
        details.stateDetails = state_parts;
        xcb_generic_error_t* error = xcb_request_check(m_conn,
            xcb_xkb_select_events_aux_checked(m_conn, static_cast<xcb_xkb_device_spec_t>(m_device), events, 0, 0,
                map_parts, map_parts, &details));
        if (error) {
            std::free(error);
            return std::unexpected(std::string("XKB rechazó los avisos del teclado"));
        }
        return {};
    }

    bool reload_keymap()
    {
        xkb_keymap* keymap = xkb_x11_keymap_new_from_device(m_context, m_conn, m_device, XKB_KEYMAP_COMPILE_NO_FLAGS);
        if (!keymap)
            return false;
        xkb_state* state = xkb_x11_state_new_from_device(keymap, m_conn, m_device);
        if (!state) {
            xkb_keymap_unref(keymap);
            return false;
        }
        if (m_state)
            xkb_state_unref(m_state);
        if (m_keymap)
            xkb_keymap_unref(m_keymap);
        m_keymap = keymap;
        m_state = state;
        return true;
    }

    void load_pointer_mapping()
    {
        m_button_map.clear();
        auto* reply = xcb_get_pointer_mapping_reply(m_conn, xcb_get_pointer_mapping(m_conn), nullptr);
        if (!reply)
            return;
        const std::uint8_t* map = xcb_get_pointer_mapping_map(reply);
        m_button_map.assign(map, map + xcb_get_pointer_mapping_map_length(reply));
        std::free(reply);
    }

    void drain(const std::shared_ptr<bool>& running)
    {
        // A handler may stop or even destroy the monitor: `running` outlives
        // it and says so.
        while (*running) {
            xcb_generic_event_t* event = xcb_poll_for_event(m_conn);
            if (!event)
                break;
            handle(event);
            std::free(event);
        }
        if (*running && xcb_connection_has_error(m_conn))
            close(); // the server went away; nothing more will come
    }

    void handle(const xcb_generic_event_t* event)
    {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_GE_GENERIC) {
            const auto* ge = reinterpret_cast<const xcb_ge_generic_event_t*>(event);
            if (ge->extension != m_xi_opcode)
                return;
            if (ge->event_type == XCB_INPUT_RAW_KEY_PRESS)
                key_press(reinterpret_cast<const xcb_input_raw_key_press_event_t*>(event)->detail);
            else if (ge->event_type == XCB_INPUT_RAW_BUTTON_PRESS)
                button_press(reinterpret_cast<const xcb_input_raw_button_press_event_t*>(event)->detail);
        } else if (type == m_xkb_event) {
            xkb_event(event);
        } else if (type == XCB_MAPPING_NOTIFY) {
            load_pointer_mapping();
        }
    }

    void xkb_event(const xcb_generic_event_t* event)
    {
        // Every XKB event shares one event code; the second byte tells them apart.
        const std::uint8_t xkb_type = reinterpret_cast<const std::uint8_t*>(event)[1];
        if (xkb_type == XCB_XKB_STATE_NOTIFY) {
            const auto* s = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event);
            if (m_state)
                xkb_state_update_mask(m_state, s->baseMods, s->latchedMods, s->lockedMods,
                    static_cast<xkb_layout_index_t>(s->baseGroup), static_cast<xkb_layout_index_t>(s->latchedGroup),
                    s->lockedGroup);
        } else if (xkb_type == XCB_XKB_NEW_KEYBOARD_NOTIFY || xkb_type == XCB_XKB_MAP_NOTIFY) {
            reload_keymap();
        }
    }

    void key_press(std::uint32_t keycode)
    {
        if (!m_keys || !m_state)
            return;
        RawKey key;
        if (keycode >= EVDEV_OFFSET)
            if (auto code = x11::virtual_code_for_evdev(static_cast<std::uint16_t>(keycode - EVDEV_OFFSET)))
                key.code = static_cast<int>(*code);
        auto active = [&](const char* name) {
            return xkb_state_mod_name_is_active(m_state, name, XKB_STATE_MODS_EFFECTIVE) > 0;
        };
        if (active(XKB_MOD_NAME_CTRL))
            key.modifiers |= hotkeys::COMMAND;
        if (active(XKB_MOD_NAME_SHIFT))
            key.modifiers |= hotkeys::SHIFT;
        if (active(XKB_MOD_NAME_ALT))
            key.modifiers |= hotkeys::OPTION;
        if (active(XKB_MOD_NAME_LOGO))
            key.modifiers |= hotkeys::CONTROL;
        key.characters = utf8_of(xkb_state_key_get_one_sym(m_state, keycode));
        const xkb_keysym_t* syms = nullptr;
        const xkb_layout_index_t layout = xkb_state_key_get_layout(m_state, keycode);
        if (layout != XKB_LAYOUT_INVALID && xkb_keymap_key_get_syms_by_level(m_keymap, keycode, layout, 0, &syms) == 1)
            key.unmodified_characters = utf8_of(syms[0]);
        // A copy runs: a handler that stops the monitor drops m_keys, and
        // with it the very function being called.
        const KeyHandler handler = m_keys;
        handler(key);
    }

    void button_press(std::uint32_t physical)
    {
        if (!m_buttons)
            return;
        RawButton button;
        button.button = physical >= 1 && physical <= m_button_map.size() ? m_button_map[physical - 1]
                                                                         : static_cast<int>(physical);
        if (button.button == 0)
            return; // a button the mapping turned off
        const PointF at = pointer_location();
        button.x = at.x;
        button.y = at.y;
        const ButtonHandler handler = m_buttons;
        handler(button);
    }

    void close()
    {
        if (m_running)
            *m_running = false;
        m_running.reset();
        if (m_notifier) {
            // It may be the one emitting right now.
            m_notifier->setEnabled(false);
            m_notifier->deleteLater();
        }
        m_notifier = nullptr;
        m_keys = nullptr;
        m_buttons = nullptr;
        if (m_state)
            xkb_state_unref(m_state);
        if (m_keymap)
            xkb_keymap_unref(m_keymap);
        if (m_context)
            xkb_context_unref(m_context);
        m_state = nullptr;
        m_keymap = nullptr;
        m_context = nullptr;
        if (m_conn)
            xcb_disconnect(m_conn); // the server forgets the selections with the client
        m_conn = nullptr;
    }

    xcb_connection_t* m_conn = nullptr;
    xcb_window_t m_root = 0;
    std::uint8_t m_xi_opcode = 0;
    std::uint8_t m_xkb_event = 0;
    std::int32_t m_device = -1;
    xkb_context* m_context = nullptr;
    xkb_keymap* m_keymap = nullptr;
    xkb_state* m_state = nullptr;
    std::vector<std::uint8_t> m_button_map;
    QSocketNotifier* m_notifier = nullptr;
    std::shared_ptr<bool> m_running;
    KeyHandler m_keys;
    ButtonHandler m_buttons;
};

bool display_has_raw_input()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* conn = x11 ? x11->connection() : nullptr;
    if (!conn || xcb_connection_has_error(conn))
        return false;
    const xcb_query_extension_reply_t* xi = xcb_get_extension_data(conn, &xcb_input_id);
    const xcb_query_extension_reply_t* test = xcb_get_extension_data(conn, &xcb_test_id);
    return xi && xi->present && test && test->present;
}

} // namespace

std::unique_ptr<RawInput> create_raw_input()
{
    return std::make_unique<RawInputX11>();
}

bool accessibility_trusted()
{
    if (g_trusted_answer)
        return *g_trusted_answer;
    // The extensions of a running server do not come and go.
    static const bool present = display_has_raw_input();
    return present;
}

std::bitset<256> keys_down()
{
    std::bitset<256> down;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* conn = x11 ? x11->connection() : nullptr;
    if (!conn || xcb_connection_has_error(conn))
        return down;
    xcb_query_keymap_reply_t* reply = xcb_query_keymap_reply(conn, xcb_query_keymap(conn), nullptr);
    if (!reply)
        return down;
    // Bit k of the 32 bytes is keycode k.
    for (std::size_t k = 0; k < down.size(); ++k)
        down[k] = (reply->keys[k / 8] >> (k % 8)) & 1u;
    std::free(reply);
    return down;
}

void set_accessibility_trusted_for_tests(std::optional<bool> answer)
{
    g_trusted_answer = answer;
}

} // namespace platform
