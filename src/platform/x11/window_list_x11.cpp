// The X11 capture backend's view of the window tree: the atoms it asks by,
// window properties, the root's children and the on-screen windows front to
// back, from _NET_CLIENT_LIST_STACKING when a window manager keeps it, else
// from the root's children.
#include "platform/x11/screen_capture_x11_parts.h"

#include <cstring>
#include <iterator>
#include <unordered_map>

namespace platform::x11 {

void ScreenCaptureX11::intern_atoms()
{
    const char* names[] = { "_NET_CLIENT_LIST_STACKING", "_NET_SUPPORTING_WM_CHECK", "_NET_WM_PID",
        "_NET_WM_WINDOW_TYPE", "_NET_WM_STATE", "_NET_WM_STATE_ABOVE", "_NET_WM_WINDOW_OPACITY", "_NET_WM_NAME",
        "UTF8_STRING", "_XROOTPMAP_ID", "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_WINDOW_TYPE_DOCK",
        "_NET_WM_CM_S0",
        "_NET_WM_WINDOW_TYPE_MENU", "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "_NET_WM_WINDOW_TYPE_POPUP_MENU",
        "_NET_WM_WINDOW_TYPE_TOOLTIP", "_NET_WM_WINDOW_TYPE_NOTIFICATION", "_NET_WM_WINDOW_TYPE_COMBO",
        "_NET_WM_WINDOW_TYPE_DND" };
    constexpr size_t N = std::size(names);
    xcb_intern_atom_cookie_t cookies[N];
    for (size_t i = 0; i < N; ++i)
        cookies[i] = xcb_intern_atom(m_conn, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
    xcb_atom_t atoms[N];
    for (size_t i = 0; i < N; ++i) {
        auto r = own(xcb_intern_atom_reply(m_conn, cookies[i], nullptr));
        atoms[i] = r ? r->atom : XCB_NONE;
    }
    m_atoms.client_list_stacking = atoms[0];
    m_atoms.supporting_wm_check = atoms[1];
    m_atoms.wm_pid = atoms[2];
    m_atoms.wm_type = atoms[3];
    m_atoms.wm_state = atoms[4];
    m_atoms.state_above = atoms[5];
    m_atoms.opacity = atoms[6];
    m_atoms.wm_name = atoms[7];
    m_atoms.utf8 = atoms[8];
    m_atoms.root_pixmap = atoms[9];
    m_atoms.type_desktop = atoms[10];
    m_atoms.type_dock = atoms[11];
    m_atoms.compositor = atoms[12];
    m_atoms.popup_types.assign(atoms + 13, atoms + N);
}

xcb_get_property_cookie_t ScreenCaptureX11::ask(xcb_window_t w, xcb_atom_t prop, xcb_atom_t type, std::uint32_t longs)
{
    return xcb_get_property(m_conn, 0, w, prop, type, 0, longs);
}

std::string ScreenCaptureX11::text(xcb_get_property_cookie_t cookie)
{
    auto r = own(xcb_get_property_reply(m_conn, cookie, nullptr));
    if (!r || r->format != 8)
        return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
        static_cast<size_t>(xcb_get_property_value_length(r.get())));
}

bool ScreenCaptureX11::wm_running()
{
    auto check = values<std::uint32_t>(ask(m_root.root, m_atoms.supporting_wm_check, XCB_ATOM_WINDOW, 1));
    if (check.empty())
        return false;
    // The check window must exist and point at itself (EWMH).
    auto self = values<std::uint32_t>(ask(check[0], m_atoms.supporting_wm_check, XCB_ATOM_WINDOW, 1));
    return !self.empty() && self[0] == check[0];
}

// The root's children, bottom to top, with their places and states.
std::vector<TopLevel> ScreenCaptureX11::top_levels()
{
    std::vector<TopLevel> out;
    auto tree = own(xcb_query_tree_reply(m_conn, xcb_query_tree(m_conn, m_root.root), nullptr));
    if (!tree)
        return out;
    const xcb_window_t* kids = xcb_query_tree_children(tree.get());
    const int n = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_window_attributes_cookie_t> ac(static_cast<size_t>(n));
    std::vector<xcb_get_geometry_cookie_t> gc(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        ac[static_cast<size_t>(i)] = xcb_get_window_attributes(m_conn, kids[i]);
        gc[static_cast<size_t>(i)] = xcb_get_geometry(m_conn, kids[i]);
    }
    out.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        auto a = own(xcb_get_window_attributes_reply(m_conn, ac[static_cast<size_t>(i)], nullptr));
        auto g = own(xcb_get_geometry_reply(m_conn, gc[static_cast<size_t>(i)], nullptr));
        if (!a || !g)
            continue; // gone meanwhile
        TopLevel t;
        t.id = kids[i];
        t.outer = { g->x, g->y, g->width + 2 * g->border_width, g->height + 2 * g->border_width };
        t.depth = g->depth;
        t.viewable = a->map_state == XCB_MAP_STATE_VIEWABLE;
        t.input_output = a->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
        t.override_redirect = a->override_redirect;
        t.border = g->border_width;
        out.push_back(t);
    }
    return out;
}

// The child of the root that holds `w` (w itself for a top-level); 0 when gone.
xcb_window_t ScreenCaptureX11::top_level_of(xcb_window_t w)
{
    for (int depth = 0; depth < 64; ++depth) {
        auto tree = own(xcb_query_tree_reply(m_conn, xcb_query_tree(m_conn, w), nullptr));
        if (!tree)
            return 0;
        if (tree->parent == m_root.root || tree->parent == XCB_NONE)
            return w == m_root.root ? 0 : w;
        w = tree->parent;
    }
    return 0;
}

// top_level_of for many windows at once, one round trip per level of
// nesting instead of one per window and level.
std::vector<xcb_window_t> ScreenCaptureX11::top_levels_of(const std::vector<xcb_window_t>& windows)
{
    std::vector<xcb_window_t> top(windows.size(), 0);
    std::vector<xcb_window_t> at = windows;
    std::vector<size_t> open(windows.size());
    for (size_t i = 0; i < open.size(); ++i)
        open[i] = i;
    for (int depth = 0; depth < 64 && !open.empty(); ++depth) {
        std::vector<xcb_query_tree_cookie_t> cookies;
        cookies.reserve(open.size());
        for (size_t i : open)
            cookies.push_back(xcb_query_tree(m_conn, at[i]));
        std::vector<size_t> still;
        for (size_t k = 0; k < open.size(); ++k) {
            const size_t i = open[k];
            auto tree = own(xcb_query_tree_reply(m_conn, cookies[k], nullptr));
            if (!tree)
                continue; // gone
            if (tree->parent == m_root.root || tree->parent == XCB_NONE)
                top[i] = at[i] == m_root.root ? 0 : at[i];
            else {
                at[i] = tree->parent;
                still.push_back(i);
            }
        }
        open.swap(still);
    }
    return top;
}

RectF ScreenCaptureX11::to_points(const PixelRect& r) const
{
    std::lock_guard lock(m_geometry_mutex);
    const RectF top_left { r.x / m_ratio, r.y / m_ratio, r.w / m_ratio, r.h / m_ratio };
    return rect_from_top_left(top_left, m_primary_height);
}

std::expected<std::vector<ShareableWindow>, std::string> ScreenCaptureX11::list_windows()
{
    const std::vector<TopLevel> tops = top_levels();
    if (tops.empty())
        return std::unexpected(std::string("no pude leer las ventanas de la pantalla"));
    std::unordered_map<xcb_window_t, const TopLevel*> by_id;
    for (const auto& t : tops)
        by_id.emplace(t.id, &t);

    struct Entry {
        xcb_window_t client;
        const TopLevel* top;
    };
    std::vector<Entry> entries; // front to back
    auto stacking = m_caps.window_manager
        ? values<std::uint32_t>(ask(m_root.root, m_atoms.client_list_stacking, XCB_ATOM_WINDOW, 16384))
        : std::vector<std::uint32_t> {};
    if (!stacking.empty()) {
        // Override-redirect windows (menus, tooltips, our own panels) are
        // not managed; they stand above every managed window.
        for (auto it = tops.rbegin(); it != tops.rend(); ++it)
            if (it->override_redirect && it->input_output && it->viewable)
                entries.push_back({ it->id, &*it });
        const std::vector<xcb_window_t> clients(stacking.rbegin(), stacking.rend());
        const std::vector<xcb_window_t> frames = top_levels_of(clients);
        for (size_t i = 0; i < clients.size(); ++i) {
            const auto found = by_id.find(frames[i]);
            if (found != by_id.end())
                entries.push_back({ clients[i], found->second });
        }
    } else {
        for (auto it = tops.rbegin(); it != tops.rend(); ++it)
            if (it->input_output)
                entries.push_back({ it->id, &*it });
    }

    struct Cookies {
        xcb_get_property_cookie_t pid, type, state, opacity, frame_opacity, name, old_name;
        xcb_get_window_attributes_cookie_t attrs;
    };
    std::vector<Cookies> cookies;
    cookies.reserve(entries.size());
    for (const auto& e : entries)
        cookies.push_back({ ask(e.client, m_atoms.wm_pid, XCB_ATOM_CARDINAL, 1),
            ask(e.client, m_atoms.wm_type, XCB_ATOM_ATOM), ask(e.client, m_atoms.wm_state, XCB_ATOM_ATOM),
            ask(e.client, m_atoms.opacity, XCB_ATOM_CARDINAL, 1),
            ask(e.top->id, m_atoms.opacity, XCB_ATOM_CARDINAL, 1), ask(e.client, m_atoms.wm_name, m_atoms.utf8, 256),
            ask(e.client, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 256), xcb_get_window_attributes(m_conn, e.client) });

    std::vector<ShareableWindow> out;
    out.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        const Cookies& c = cookies[i];
        ShareableWindow w;
        w.window_id = e.client;
        w.frame = to_points(e.top->outer);
        const auto pid = values<std::uint32_t>(c.pid);
        w.pid = pid.empty() ? 0 : pid[0];
        const auto types = values<std::uint32_t>(c.type);
        const auto states = values<std::uint32_t>(c.state);
        w.layer = e.top->override_redirect ? layer::POPUP : layer_of(types, states);
        auto op = values<std::uint32_t>(c.opacity);
        if (op.empty())
            op = values<std::uint32_t>(c.frame_opacity);
        w.opacity = op.empty() ? 1.0 : op[0] / 4294967295.0;
        auto attrs = own(xcb_get_window_attributes_reply(m_conn, c.attrs, nullptr));
        w.on_screen = attrs && attrs->map_state == XCB_MAP_STATE_VIEWABLE && e.top->viewable;
        w.title = text(c.name);
        std::string old = text(c.old_name);
        if (w.title.empty())
            w.title = std::move(old);
        if (!attrs)
            continue; // destroyed while we were asking
        out.push_back(std::move(w));
    }
    return out;
}

int ScreenCaptureX11::layer_of(const std::vector<std::uint32_t>& types, const std::vector<std::uint32_t>& states) const
{
    for (std::uint32_t t : types) {
        if (t == m_atoms.type_desktop)
            return layer::DESKTOP;
        if (t == m_atoms.type_dock)
            return layer::DOCK;
        if (std::find(m_atoms.popup_types.begin(), m_atoms.popup_types.end(), t) != m_atoms.popup_types.end())
            return layer::POPUP;
    }
    if (std::find(states.begin(), states.end(), m_atoms.state_above) != states.end())
        return layer::FLOATING;
    return layer::NORMAL;
}

} // namespace platform::x11
