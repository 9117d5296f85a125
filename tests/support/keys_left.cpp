// Each desktop test starts with no key held on the display. A key an earlier
// test left down (its xdotool stopped between the press and the release on a
// loaded machine) goes on repeating into whatever window takes the keyboard
// next, a test of its own in another process included.
#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

void release_held_keys()
{
    xcb_connection_t* conn = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(conn)) {
        xcb_disconnect(conn);
        return;
    }
    if (auto* keymap = xcb_query_keymap_reply(conn, xcb_query_keymap(conn), nullptr)) {
        // Bit k of the 32 bytes is keycode k; 0–7 are no keys.
        for (int k = 8; k < 256; ++k)
            if ((keymap->keys[k / 8] >> (k % 8)) & 1) {
                std::fprintf(stderr, "[test] key %d was still held from before: released\n", k);
                xcb_test_fake_input(conn, XCB_KEY_RELEASE, static_cast<std::uint8_t>(k), XCB_CURRENT_TIME,
                                    XCB_NONE, 0, 0, 0);
            }
        std::free(keymap);
    }
    // The releases reach the server before the test's first request.
    std::free(xcb_get_input_focus_reply(conn, xcb_get_input_focus(conn), nullptr));
    xcb_disconnect(conn);
}

class NoKeyLeftHeld final : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { release_held_keys(); }
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new NoKeyLeftHeld);
    return true;
}();

} // namespace
