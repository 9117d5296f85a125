#include "platform/screens.h"

#include <QCursor>
#include <QGuiApplication>
#include <QRect>
#include <QRectF>
#include <QScreen>

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <string_view>

namespace platform {

bool display_reachable()
{
    if (const char* plugin = std::getenv("QT_QPA_PLATFORM"); plugin && *plugin && std::string_view(plugin) != "xcb")
        return true;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    xcb_connection_t* conn = xcb_connect(nullptr, nullptr);
    const bool ok = conn && !xcb_connection_has_error(conn);
    xcb_disconnect(conn);
    return ok;
}

std::vector<Screen> screens_from_geometry(const std::vector<QtScreenGeometry>& geometry)
{
    std::vector<Screen> out;
    if (geometry.empty())
        return out;
    const double primary_height = geometry.front().geometry.h;
    out.reserve(geometry.size());
    for (size_t i = 0; i < geometry.size(); ++i) {
        const auto& g = geometry[i];
        Screen s;
        s.display_id = static_cast<std::uint32_t>(i + 1);
        s.frame = rect_from_top_left(g.geometry, primary_height);
        s.visible_frame = rect_from_top_left(g.available, primary_height);
        s.scale = g.scale;
        s.name = g.name;
        out.push_back(std::move(s));
    }
    return out;
}

PointF point_from_top_left(double x, double y, double primary_height)
{
    return { x, primary_height - y - 1.0 };
}

RectF rect_from_top_left(const RectF& r, double primary_height)
{
    return { r.x, primary_height - (r.y + r.h), r.w, r.h };
}

RectF rect_to_top_left(const RectF& r, double primary_height)
{
    // The flip is its own inverse.
    return rect_from_top_left(r, primary_height);
}

RectF rect_from_display(const RectF& f, const RectF& region)
{
    return { f.x + region.x, f.y + f.h - region.y - region.h, region.w, region.h };
}

RectF rect_to_display(const RectF& f, const RectF& global)
{
    return { global.x - f.x, f.y + f.h - (global.y + global.h), global.w, global.h };
}

namespace {

// RandR output ids by output name, read from the X server. Empty off X11.
std::map<std::string, std::uint32_t> randr_outputs()
{
    std::map<std::string, std::uint32_t> ids;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11)
        return ids;
    // The offscreen platform answers the X11 interface without a connection.
    xcb_connection_t* conn = x11->connection();
    if (!conn || QGuiApplication::platformName() != QLatin1String("xcb"))
        return ids;
    // A request of an extension the server lacks ends the connection.
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(conn, &xcb_randr_id);
    if (!randr || !randr->present)
        return ids;
    const xcb_setup_t* setup = xcb_get_setup(conn);
    for (auto it = xcb_setup_roots_iterator(setup); it.rem; xcb_screen_next(&it)) {
        auto cookie = xcb_randr_get_screen_resources_current(conn, it.data->root);
        std::unique_ptr<xcb_randr_get_screen_resources_current_reply_t, decltype(&std::free)> res(
            xcb_randr_get_screen_resources_current_reply(conn, cookie, nullptr), &std::free);
        if (!res)
            continue;
        const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
        const int n = xcb_randr_get_screen_resources_current_outputs_length(res.get());
        for (int i = 0; i < n; ++i) {
            auto oc = xcb_randr_get_output_info(conn, outputs[i], res->config_timestamp);
            std::unique_ptr<xcb_randr_get_output_info_reply_t, decltype(&std::free)> info(
                xcb_randr_get_output_info_reply(conn, oc, nullptr), &std::free);
            if (!info)
                continue;
            const auto* name = reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get()));
            ids.emplace(std::string(name, static_cast<size_t>(xcb_randr_get_output_info_name_length(info.get()))), outputs[i]);
        }
    }
    return ids;
}

std::uint32_t randr_id(const std::string& name)
{
    static std::map<std::string, std::uint32_t> cache;
    auto it = cache.find(name);
    if (it == cache.end()) {
        cache = randr_outputs();
        it = cache.find(name);
    }
    return it == cache.end() ? 0 : it->second;
}

RectF to_rect(const QRect& r)
{
    return { static_cast<double>(r.x()), static_cast<double>(r.y()), static_cast<double>(r.width()), static_cast<double>(r.height()) };
}

} // namespace

std::vector<Screen> screens()
{
    std::vector<QtScreenGeometry> geometry;
    QList<QScreen*> list = QGuiApplication::screens();
    if (QScreen* primary = QGuiApplication::primaryScreen()) {
        list.removeAll(primary);
        list.prepend(primary);
    }
    for (QScreen* s : list)
        geometry.push_back({ to_rect(s->geometry()), to_rect(s->availableGeometry()), s->devicePixelRatio(), s->name().toStdString() });
    std::vector<Screen> out = screens_from_geometry(geometry);
    for (size_t i = 0; i < out.size(); ++i) {
        out[i].qt = list[static_cast<qsizetype>(i)];
        if (const std::uint32_t id = randr_id(out[i].name))
            out[i].display_id = id;
    }
    return out;
}

PointF pointer_location()
{
    const QPoint p = QCursor::pos();
    const QScreen* primary = QGuiApplication::primaryScreen();
    const double h = primary ? primary->geometry().height() : 0.0;
    return point_from_top_left(p.x(), p.y(), h);
}

double primary_height()
{
    const auto all = screens();
    return all.empty() ? 0.0 : all.front().frame.h;
}

std::optional<Screen> screen_for_point(double x, double y)
{
    for (const auto& screen : screens())
        if (screen.frame.contains(x, y))
            return screen;
    return std::nullopt;
}

std::optional<Screen> screen_of_pointer()
{
    const PointF pointer = pointer_location();
    if (auto screen = screen_for_point(pointer.x, pointer.y))
        return screen;
    const auto all = screens();
    if (all.empty())
        return std::nullopt;
    return all.front();
}

QRect window_rect(const RectF& frame)
{
    const RectF r = rect_to_top_left(frame, primary_height());
    return QRect(static_cast<int>(std::lround(r.x)), static_cast<int>(std::lround(r.y)), static_cast<int>(std::lround(r.w)),
        static_cast<int>(std::lround(r.h)));
}

QRectF panel_rect(const RectF& rect, double height)
{
    const RectF r = rect_to_top_left(rect, height);
    return QRectF(r.x, r.y, r.w, r.h);
}

RectF window_frame(const QRect& rect)
{
    return rect_from_top_left({ double(rect.x()), double(rect.y()), double(rect.width()), double(rect.height()) },
        primary_height());
}

std::uint32_t screen_display_id(const Screen& screen)
{
    return screen.display_id;
}

} // namespace platform
