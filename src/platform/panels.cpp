#include "platform/panels.h"

#include "base/util.h"

#include <QBackingStore>
#include <QBitmap>
#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QVariant>
#include <QtMath>
#include <QWidget>
#include <QWindow>

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

namespace {

struct Entry {
    QPointer<QWidget> widget;
    int level;
};

std::vector<Entry>& registry()
{
    util::require_main_thread("hilo principal");
    static std::vector<Entry> entries;
    return entries;
}

void prune()
{
    auto& r = registry();
    r.erase(std::remove_if(r.begin(), r.end(), [](const Entry& e) { return e.widget.isNull(); }), r.end());
}

// Where a parked panel's window was (a property of its QWindow, so that
// the capture backend, which lists QWindows, can tell it is out of sight).
constexpr const char* PARKED_AT = "vistrope_parked_at";
constexpr const char* PARK_TIMER = "vistrope_park_timer";

xcb_connection_t* x11_connection()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return x11 ? x11->connection() : nullptr;
}

// An atom's number, asked of the server once per name: each asking is a
// round trip, and every card and pin being shown needs six. Main thread
// (the application has one X connection for its whole life).
xcb_atom_t atom(xcb_connection_t* conn, const char* name)
{
    // Held for the process's life, never destroyed.
    static auto& known = *new std::map<std::string, xcb_atom_t, std::less<>>();
    if (const auto it = known.find(std::string_view(name)); it != known.end())
        return it->second;
    auto cookie = xcb_intern_atom(conn, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(xcb_intern_atom_reply(conn, cookie, nullptr), &std::free);
    if (!reply)
        return XCB_ATOM_NONE;
    known.emplace(name, reply->atom);
    return reply->atom;
}

// Puts the panel on every desktop (EWMH _NET_WM_DESKTOP = all) before it maps.
void make_sticky(QWidget* widget)
{
    xcb_connection_t* conn = x11_connection();
    if (!conn)
        return;
    const auto window = static_cast<xcb_window_t>(widget->winId());
    const std::uint32_t all_desktops = 0xFFFFFFFF;
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, window, atom(conn, "_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 32, 1, &all_desktops);
    const xcb_atom_t states[] = { atom(conn, "_NET_WM_STATE_STICKY"), atom(conn, "_NET_WM_STATE_ABOVE"),
        atom(conn, "_NET_WM_STATE_SKIP_TASKBAR"), atom(conn, "_NET_WM_STATE_SKIP_PAGER") };
    xcb_change_property(conn, XCB_PROP_MODE_REPLACE, window, atom(conn, "_NET_WM_STATE"), XCB_ATOM_ATOM, 32, 4, states);
    xcb_flush(conn);
}

// Gives the panel's window an empty input shape (ignores) or the whole
// window back. Qt does the same for WindowTransparentForInput, but only where
// XFixes is present and only when the flag changes; doing it here again on
// every show keeps it right after Qt recreated the native window.
void apply_input_shape(QWidget* widget, bool ignores)
{
    xcb_connection_t* conn = x11_connection();
    if (!conn || !widget->testAttribute(Qt::WA_WState_Created))
        return;
    const auto window = static_cast<xcb_window_t>(widget->winId());
    if (ignores)
        xcb_shape_rectangles(conn, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED, window, 0, 0, 0, nullptr);
    else
        xcb_shape_mask(conn, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, window, 0, 0, XCB_NONE);
    xcb_flush(conn);
}

// Sets the window's bounding shape to `region` (widget coordinates), or
// clears it; not flushed.
void send_bounding(xcb_connection_t* conn, QWidget* widget, const std::optional<QRegion>& region)
{
    const auto window = static_cast<xcb_window_t>(widget->winId());
    if (!region) {
        xcb_shape_mask(conn, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, window, 0, 0, XCB_NONE);
        return;
    }
    const qreal dpr = widget->devicePixelRatioF();
    std::vector<xcb_rectangle_t> rects;
    for (const QRect& r : *region) {
        const int x0 = qFloor(r.left() * dpr), y0 = qFloor(r.top() * dpr);
        const int x1 = qCeil((r.right() + 1) * dpr), y1 = qCeil((r.bottom() + 1) * dpr);
        rects.push_back({ static_cast<std::int16_t>(x0), static_cast<std::int16_t>(y0), static_cast<std::uint16_t>(x1 - x0),
            static_cast<std::uint16_t>(y1 - y0) });
    }
    xcb_shape_rectangles(conn, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED, window, 0, 0,
        static_cast<std::uint32_t>(rects.size()), rects.data());
}

// Keeps the stacking and the input shape right whenever a panel is shown.
class ShowWatcher final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* object, QEvent* event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto* widget = qobject_cast<QWidget*>(object);
                widget && widget->isWindow() && widget->testAttribute(Qt::WA_TransparentForMouseEvents))
                apply_input_shape(widget, true);
            restack_panels();
        }
        return QObject::eventFilter(object, event);
    }
};

} // namespace

void make_panel(QWidget* widget, int level, Mouse mouse, Focus focus, Shadow shadow)
{
    const bool refuses = focus == Focus::Refuses;
    Qt::WindowFlags flags = Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint;
    if (refuses)
        flags |= Qt::WindowDoesNotAcceptFocus;
    if (shadow == Shadow::None)
        flags |= Qt::NoDropShadowWindowHint;
    // A panel that ignores the mouse is never handed to the window manager
    // either: a managed window gets a frame, and some window managers' frames
    // take clicks and wheel turns whatever the client's input shape says.
    if (level >= OVERLAY_LEVEL || mouse == Mouse::Ignores)
        flags |= Qt::Window | Qt::X11BypassWindowManagerHint | Qt::BypassWindowManagerHint;
    else
        flags |= Qt::Tool;
    widget->setWindowFlags(flags);
    widget->setAttribute(Qt::WA_ShowWithoutActivating, refuses);
    const bool composed = compositor_running(); // a round trip: asked once
    widget->setAttribute(Qt::WA_TranslucentBackground, composed);
    widget->setAttribute(Qt::WA_NoSystemBackground, composed);
    // Window managers never focus notifications; a focusable panel stays a
    // utility window (Qt::Tool), which they do.
    widget->setAttribute(Qt::WA_X11NetWmWindowTypeNotification, level < OVERLAY_LEVEL && refuses);
    set_ignores_mouse(widget, mouse);
    widget->winId(); // create the native window now, so its properties can be set
    apply_input_shape(widget, mouse == Mouse::Ignores);
    if (level < OVERLAY_LEVEL && mouse == Mouse::Accepts)
        make_sticky(widget);
    static ShowWatcher* watcher = new ShowWatcher(qApp);
    widget->installEventFilter(watcher);
    prune();
    registry().push_back({ widget, level });
}

void set_ignores_mouse(QWidget* widget, Mouse mouse)
{
    const bool ignores = mouse == Mouse::Ignores;
    widget->setAttribute(Qt::WA_TransparentForMouseEvents, ignores);
    if (QWindow* w = widget->windowHandle())
        w->setFlag(Qt::WindowTransparentForInput, ignores);
    else
        widget->setWindowFlag(Qt::WindowTransparentForInput, ignores);
    apply_input_shape(widget, ignores);
}

void release_blank_backing_store(QWidget* widget)
{
    if (!widget)
        return;
    if (QBackingStore* store = widget->backingStore(); store && store->size().width() * store->size().height() > 1)
        store->resize(QSize(1, 1));
}

void release_backing_store(QWidget* widget)
{
    if (widget && !widget->isVisible())
        release_blank_backing_store(widget);
}

void restack_panels()
{
    prune();
    std::vector<Entry> visible;
    for (const auto& e : registry())
        if (e.widget->isVisible())
            visible.push_back(e);
    std::stable_sort(visible.begin(), visible.end(), [](const Entry& a, const Entry& b) { return a.level < b.level; });
    for (const auto& e : visible)
        e.widget->raise();
}

std::vector<QWidget*> panels()
{
    prune();
    std::vector<QWidget*> out;
    for (const auto& e : registry())
        out.push_back(e.widget.data());
    return out;
}

int panel_level(const QWidget* widget)
{
    for (const auto& e : registry())
        if (e.widget.data() == widget)
            return e.level;
    return 0;
}

void shape_rounded(QWidget* widget, double radius)
{
    if (compositor_running()) {
        widget->clearMask();
        return;
    }
    // A one-bit picture of the rounded rectangle, pixel for pixel: a polygon
    // approximation of the path leaves stair-stepped corners.
    QBitmap bits(widget->size());
    bits.fill(Qt::color0);
    QPainter p(&bits);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::color1);
    QPainterPath path;
    path.addRoundedRect(QRectF(widget->rect()), radius, radius);
    p.drawPath(path);
    p.end();
    widget->setMask(bits);
}

void set_shape(QWidget* widget, const std::optional<QRegion>& region)
{
    widget->setProperty("vistrope_shape", region ? QVariant::fromValue(*region) : QVariant());
    xcb_connection_t* conn = x11_connection();
    if (!conn)
        return;
    send_bounding(conn, widget, region);
    xcb_flush(conn);
}

bool park_panel(QWidget* widget)
{
    xcb_connection_t* conn = x11_connection();
    QWindow* handle = widget->windowHandle();
    if (!conn || !handle || !widget->isVisible())
        return false;
    const auto window = static_cast<xcb_window_t>(widget->winId());
    if (!is_parked(handle)) {
        // Where the server has the window, in its own pixels (the panel is
        // override-redirect: a child of the root, never reframed).
        std::unique_ptr<xcb_get_geometry_reply_t, decltype(&std::free)> g(
            xcb_get_geometry_reply(conn, xcb_get_geometry(conn, window), nullptr), &std::free);
        if (!g)
            return false;
        handle->setProperty(PARKED_AT, QPoint(g->x, g->y));
        // Left of the root's origin: off every screen, whatever its size.
        const std::int32_t away[] = { -static_cast<std::int32_t>(g->width) - 2 * g->border_width - 16, g->y };
        xcb_configure_window(conn, window, XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, away);
    }
    send_bounding(conn, widget, QRegion());
    xcb_flush(conn);
    auto* timer = widget->findChild<QTimer*>(PARK_TIMER, Qt::FindDirectChildrenOnly);
    if (!timer) {
        timer = new QTimer(widget);
        timer->setObjectName(PARK_TIMER);
        timer->setSingleShot(true);
        timer->setInterval(PARKED_MS);
        QObject::connect(timer, &QTimer::timeout, widget, [widget] { unmap_parked(widget); });
    }
    timer->start();
    return true;
}

namespace {

// A panel's own bounding shape: Qt's mask, set_shape's, or none.
std::optional<QRegion> own_shape(const QWidget* widget)
{
    if (!widget->mask().isEmpty())
        return widget->mask();
    return shape_of(widget);
}

// Where the server puts a window of the panel's size whose top-left corner
// Qt places at `at` (global coordinates). Qt keeps every screen's top-left
// corner where the server has it and scales only from there, so a screen
// right of or below another is not at its pixel position times its scale.
// The screen is the one holding the window's centre, as for Qt's own moves.
QPoint server_position(const QWidget* widget, QPoint at)
{
    const QPoint centre = QRect(at, widget->size()).center();
    QScreen* screen = widget->screen();
    if (!screen || !screen->geometry().contains(centre))
        if (QScreen* holding = QGuiApplication::screenAt(centre))
            screen = holding;
    if (!screen)
        return at;
    const QPoint origin = screen->geometry().topLeft();
    const qreal scale = screen->devicePixelRatio();
    return origin + QPoint(qRound((at.x() - origin.x()) * scale), qRound((at.y() - origin.y()) * scale));
}

// Moves a parked panel's window to `to` (Qt's global coordinates) or back
// where it was parked from, and forgets it was parked; not flushed.
void send_back(xcb_connection_t* conn, QWidget* widget, std::optional<QPoint> to)
{
    QWindow* handle = widget->windowHandle();
    if (auto* timer = widget->findChild<QTimer*>(PARK_TIMER, Qt::FindDirectChildrenOnly))
        timer->stop();
    const QPoint p = to ? server_position(widget, *to) : handle->property(PARKED_AT).toPoint();
    handle->setProperty(PARKED_AT, QVariant());
    const std::int32_t back[] = { p.x(), p.y() };
    xcb_configure_window(conn, static_cast<xcb_window_t>(widget->winId()), XCB_CONFIG_WINDOW_X | XCB_CONFIG_WINDOW_Y, back);
}

} // namespace

void unpark_panel(QWidget* widget, bool send_now, std::optional<QPoint> to)
{
    xcb_connection_t* conn = x11_connection();
    if (!conn || !is_parked(widget->windowHandle()))
        return;
    send_back(conn, widget, to);
    send_bounding(conn, widget, own_shape(widget));
    if (send_now)
        xcb_flush(conn);
}

void unmap_parked(QWidget* widget)
{
    xcb_connection_t* conn = x11_connection();
    if (!conn || !widget || !is_parked(widget->windowHandle()))
        return;
    // Its own shape while still mapped off the screen (compositors do not
    // follow the shapes of unmapped windows), then unmapped, then back in
    // its place for its next show().
    send_bounding(conn, widget, own_shape(widget));
    widget->hide();
    send_back(conn, widget, std::nullopt);
    xcb_flush(conn);
}

void unmap_parked_panels()
{
    for (QWidget* widget : panels())
        unmap_parked(widget);
}

bool is_parked(const QWidget* widget)
{
    return is_parked(widget->windowHandle());
}

bool is_parked(const QWindow* window)
{
    return window && window->property(PARKED_AT).isValid();
}

std::optional<QRegion> shape_of(const QWidget* widget)
{
    const QVariant v = widget->property("vistrope_shape");
    if (!v.isValid())
        return std::nullopt;
    return v.value<QRegion>();
}

bool compositor_running()
{
    xcb_connection_t* conn = x11_connection();
    if (!conn)
        return true; // offscreen and other platforms compose by themselves
    // The compositor owns the selection of the default screen (the program
    // runs on one X screen; monitors are RandR outputs of it).
    auto cookie = xcb_get_selection_owner(conn, atom(conn, "_NET_WM_CM_S0"));
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> reply(
        xcb_get_selection_owner_reply(conn, cookie, nullptr), &std::free);
    return reply && reply->owner != XCB_NONE;
}

} // namespace platform
