// Synthetic wheel scrolling through XTEST on Qt's own connection.
#include "platform/raw_input.h"

#include "base/util_queue.h"
#include "platform/screens.h"

#include <QGuiApplication>
#include <QScreen>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace platform {

namespace {

constexpr std::uint8_t BUTTON_WHEEL_UP = 4;
constexpr std::uint8_t BUTTON_WHEEL_DOWN = 5;

} // namespace

int wheel_clicks(double delta)
{
    // A wheel click scrolls as far as the program under the pointer decides,
    // so a delta is only ever a number of whole clicks, at least one.
    return std::max(1, int(std::lround(std::abs(delta) / WHEEL_CLICK_POINTS)));
}

void post_wheel(const RectF& rect, double delta)
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* conn = x11 ? x11->connection() : nullptr;
    if (!conn || xcb_connection_has_error(conn) || !xcb_get_extension_data(conn, &xcb_test_id)->present)
        return;
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn)).data->root;
    const QScreen* primary = QGuiApplication::primaryScreen();
    const double ratio = primary ? primary->devicePixelRatio() : 1.0;
    const auto x = static_cast<std::int16_t>(std::lround((rect.x + rect.w / 2) * ratio));
    const auto y = static_cast<std::int16_t>(std::lround((platform::primary_height() - rect.y - rect.h / 2) * ratio));

    auto* pointer = xcb_query_pointer_reply(conn, xcb_query_pointer(conn, root), nullptr);
    const int clicks = wheel_clicks(delta);
    const std::uint8_t button = delta < 0 ? BUTTON_WHEEL_DOWN : BUTTON_WHEEL_UP;
    xcb_test_fake_input(conn, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, x, y, 0);
    for (int i = 0; i < clicks; ++i) {
        xcb_test_fake_input(conn, XCB_BUTTON_PRESS, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
        xcb_test_fake_input(conn, XCB_BUTTON_RELEASE, button, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    if (pointer)
        xcb_test_fake_input(conn, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, root, pointer->root_x, pointer->root_y, 0);
    std::free(pointer);
    xcb_flush(conn);
}

} // namespace platform
