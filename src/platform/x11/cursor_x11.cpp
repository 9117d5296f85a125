#include "platform/cursor.h"

#include <QGuiApplication>

#include <X11/Xcursor/Xcursor.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>
#include <memory>

namespace platform {

namespace {

struct Shape {
    int width = 0, height = 0, xhot = 0, yhot = 0;
    bool operator==(const Shape&) const = default;
};

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

// The toolkit's names for its cross cursor, tried in this order in the theme.
constexpr const char* CROSS_NAMES[] = { "crosshair", "cross" };
// The core cursor font's crosshair and its mask (X11/cursorfont.h: XC_crosshair).
constexpr std::uint16_t CORE_CROSSHAIR_MASK = 34 + 1;

std::optional<Shape> theme_cross(Display* display)
{
    const char* theme = XcursorGetTheme(display);
    const int size = XcursorGetDefaultSize(display);
    for (const char* name : CROSS_NAMES)
        if (XcursorImage* image = XcursorLibraryLoadImage(name, theme, size)) {
            const Shape shape{ static_cast<int>(image->width), static_cast<int>(image->height),
                               static_cast<int>(image->xhot), static_cast<int>(image->yhot) };
            XcursorImageDestroy(image);
            return shape;
        }
    return std::nullopt;
}

// A glyph cursor takes the mask glyph's box; its hot spot is the glyph's origin.
std::optional<Shape> core_cross(xcb_connection_t* conn)
{
    const xcb_font_t font = xcb_generate_id(conn);
    xcb_open_font(conn, font, 6, "cursor");
    Reply<xcb_query_font_reply_t> reply(xcb_query_font_reply(conn, xcb_query_font(conn, font), nullptr), &std::free);
    xcb_close_font(conn, font);
    // The server's font may start past the glyph; the index must not go below 0.
    if (!reply || reply->min_char_or_byte2 > CORE_CROSSHAIR_MASK
        || xcb_query_font_char_infos_length(reply.get()) <= CORE_CROSSHAIR_MASK - reply->min_char_or_byte2)
        return std::nullopt;
    const xcb_charinfo_t& c = xcb_query_font_char_infos(reply.get())[CORE_CROSSHAIR_MASK - reply->min_char_or_byte2];
    return Shape{ c.right_side_bearing - c.left_side_bearing, c.ascent + c.descent, -c.left_side_bearing, c.ascent };
}

} // namespace

std::optional<bool> crosshair_cursor_shown()
{
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return std::nullopt;
    xcb_connection_t* conn = x11->connection();
    Reply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(conn, xcb_xfixes_query_version(conn, 4, 0), nullptr), &std::free);
    if (!version)
        return std::nullopt;
    Reply<xcb_xfixes_get_cursor_image_reply_t> image(
        xcb_xfixes_get_cursor_image_reply(conn, xcb_xfixes_get_cursor_image(conn), nullptr), &std::free);
    if (!image)
        return std::nullopt;
    const Shape current{ image->width, image->height, image->xhot, image->yhot };
    std::optional<Shape> cross = x11->display() ? theme_cross(x11->display()) : std::nullopt;
    if (!cross)
        cross = core_cross(conn);
    return cross && *cross == current;
}

} // namespace platform
