// What the X11 capture backend paints under the program's own panels when a
// capture leaves them out, and a window recording's windows over the root
// background: plans read from the window tree, painted from the windows' own
// Composite pixmaps over the desktop's background.
#include "platform/x11/screen_capture_x11_parts.h"

#include "base/util.h"

#include <QPainter>
#include <QRegion>

#include <xcb/composite.h>
#include <xcb/shape.h>

#include <set>

namespace platform::x11 {

namespace {

// A shaped window's shape in the coordinates of a hole being painted.
QRegion shape_in(const TopLevel& t, const PixelRect& hole)
{
    QRegion shape;
    for (const PixelRect& r : *t.shape)
        shape += QRect(t.outer.x + r.x - hole.x, t.outer.y + r.y - hole.y, r.w, r.h);
    return shape;
}

bool fully_clear(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        if (std::any_of(row, row + image.width(), [](QRgb p) { return qAlpha(p) != 0; }))
            return false;
    }
    return true;
}

// Up to this many pixels of holes, every piece is read in one batch.
constexpr std::int64_t SMALL_HOLES_AREA = 512 * 1024;

} // namespace

// Paints over our own panels what lies under them: the desktop's
// background, then every other top-level window's pixmap, bottom to top.
void ScreenCaptureX11::leave_out(QImage& image, const PixelRect& rect, const std::vector<std::uint32_t>& excluded)
{
    const x11::Underlay plan = underlay_without(rect, excluded);
    paint_underlay(image, rect, plan);
}

x11::Underlay ScreenCaptureX11::underlay_without(const PixelRect& rect, const std::vector<std::uint32_t>& excluded)
{
    // A top-level is ours when it is one of our windows, or the window
    // manager's frame around one. A window of ours embedded in another
    // program's (the tray icon inside the tray) leaves that program's
    // window alone.
    const std::vector<xcb_window_t> ids(excluded.begin(), excluded.end());
    const auto managed_list = m_caps.window_manager
        ? values<std::uint32_t>(ask(m_root.root, m_atoms.client_list_stacking, XCB_ATOM_WINDOW, 16384))
        : std::vector<std::uint32_t> {};
    const std::set<xcb_window_t> managed(managed_list.begin(), managed_list.end());
    std::set<xcb_window_t> own_tops;
    const std::vector<xcb_window_t> tops_of = top_levels_of(ids);
    for (size_t i = 0; i < ids.size(); ++i)
        if (tops_of[i] && (tops_of[i] == ids[i] || managed.count(ids[i])))
            own_tops.insert(tops_of[i]);
    x11::Underlay plan;
    if (own_tops.empty())
        return plan;
    const std::vector<TopLevel> tops = top_levels();
    std::vector<TopLevel> ours;
    for (const auto& t : tops)
        if (own_tops.count(t.id) && t.viewable)
            ours.push_back(t);
    // A shaped panel covers only its shape: the outline of a whole-screen
    // recording spans the screen but is a thin frame, and repainting the
    // whole picture under it on every frame costs more than the frame.
    read_shapes(ours);
    for (const auto& t : ours) {
        if (!t.shape) {
            if (const PixelRect hole = intersect(t.outer, rect); hole.w > 0 && hole.h > 0)
                plan.holes.push_back(hole);
            continue;
        }
        for (const PixelRect& r : *t.shape)
            if (const PixelRect hole = intersect({ t.outer.x + r.x, t.outer.y + r.y, r.w, r.h }, rect); hole.w > 0 && hole.h > 0)
                plan.holes.push_back(hole);
    }
    if (plan.holes.empty())
        return plan;
    for (const auto& t : tops)
        if (t.viewable && t.input_output && !own_tops.count(t.id))
            plan.windows.push_back(t);
    read_shapes(plan.windows);
    set_backdrop(plan, tops);
    return plan;
}

// The bounding shapes of windows, asked for all at once.
void ScreenCaptureX11::read_shapes(std::vector<TopLevel>& windows)
{
    std::vector<xcb_shape_query_extents_cookie_t> extents;
    extents.reserve(windows.size());
    for (const auto& t : windows)
        extents.push_back(xcb_shape_query_extents(m_conn, t.id));
    std::vector<std::optional<xcb_shape_get_rectangles_cookie_t>> rects(windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i)
        if (auto e = own(xcb_shape_query_extents_reply(m_conn, extents[i], nullptr)); e && e->bounding_shaped)
            rects[i] = xcb_shape_get_rectangles(m_conn, windows[i].id, XCB_SHAPE_SK_BOUNDING);
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (!rects[i])
            continue;
        auto r = own(xcb_shape_get_rectangles_reply(m_conn, *rects[i], nullptr));
        if (!r)
            continue;
        // Shapes are given from the window's origin, inside its border.
        std::vector<PixelRect> shape;
        const xcb_rectangle_t* it = xcb_shape_get_rectangles_rectangles(r.get());
        for (int k = 0; k < xcb_shape_get_rectangles_rectangles_length(r.get()); ++k)
            shape.push_back({ it[k].x + windows[i].border, it[k].y + windows[i].border, it[k].width, it[k].height });
        windows[i].shape = std::move(shape);
    }
}

x11::Underlay ScreenCaptureX11::underlay_of(const PixelRect& rect, const std::vector<std::uint32_t>& windows)
{
    x11::Underlay plan;
    plan.holes = { rect };
    const std::vector<xcb_window_t> tops_of = top_levels_of(std::vector<xcb_window_t>(windows.begin(), windows.end()));
    const std::vector<TopLevel> tops = top_levels();
    set_backdrop(plan, tops);
    for (xcb_window_t id : tops_of)
        for (const auto& t : tops)
            if (id && t.id == id && t.viewable && t.input_output)
                plan.windows.push_back(t);
    read_shapes(plan.windows);
    return plan;
}

std::uint32_t ScreenCaptureX11::wallpaper()
{
    const auto ids = values<std::uint32_t>(ask(m_root.root, m_atoms.root_pixmap, XCB_ATOM_PIXMAP, 1));
    return ids.empty() ? 0 : ids[0];
}

void ScreenCaptureX11::set_backdrop(x11::Underlay& plan, const std::vector<TopLevel>& tops)
{
    plan.wallpaper = wallpaper();
    if (plan.wallpaper)
        return;
    std::vector<TopLevel> standing;
    for (const auto& t : tops)
        if (t.viewable && t.input_output)
            standing.push_back(t);
    // A window cut to its shape covers only that: the keys-and-clicks
    // panel spans the screen but is cut to nothing between clicks.
    read_shapes(standing);
    plan.bare_tile = bare_tile(standing);
}

// A root set to a plain colour (or a pattern) keeps no pixmap to read,
// and a compositor paints a backdrop of its own: either way the screen
// shows it wherever no window stands. A block far enough from every
// window that no shadow reaches it, aligned so that a pattern repeating
// from the root's origin tiles on, stands for the whole desktop.
QImage ScreenCaptureX11::bare_tile(const std::vector<TopLevel>& standing)
{
    constexpr int tile = 16;
    constexpr int margin = 48; // beyond a compositor's window shadows
    constexpr int edge = 16;   // where a clear panel draws its frame (the outline's dashes)
    constexpr int max_looks = 8;
    const bool composed = compositor_running();
    int looks = 0;
    const PixelRect root = root_rect();
    // Two passes: first only blocks well inside every clear window they
    // meet, then any. A clear panel as large as the screen (the outline
    // of a whole-screen recording) draws its frame along the screen's
    // edges, where the scan starts: looking there first would spend
    // every look on its dashes.
    for (const bool inside_first : { true, false })
        for (int y = 0; y + tile <= root.h; y += tile)
            for (int x = 0; x + tile <= root.w; x += tile) {
                const PixelRect reach { x - margin, y - margin, tile + 2 * margin, tile + 2 * margin };
                const auto meets = [&](const PixelRect& r) {
                    const PixelRect overlap = intersect(r, reach);
                    return overlap.w > 0 && overlap.h > 0;
                };
                std::vector<const TopLevel*> clear_there;
                const bool covered = std::ranges::any_of(standing, [&](const TopLevel& t) {
                    if (t.shape)
                        return std::ranges::any_of(*t.shape, [&](const PixelRect& r) {
                            return meets({ t.outer.x + r.x, t.outer.y + r.y, r.w, r.h });
                        });
                    if (!meets(t.outer))
                        return false;
                    if (composed && t.depth == 32) {
                        clear_there.push_back(&t);
                        return false;
                    }
                    return true;
                });
                if (covered)
                    continue;
                const bool off_frames = std::ranges::all_of(clear_there, [&](const TopLevel* t) {
                    const PixelRect inner { t->outer.x + edge, t->outer.y + edge, t->outer.w - 2 * edge, t->outer.h - 2 * edge };
                    return intersect(inner, reach) == reach;
                });
                if (inside_first && !off_frames)
                    continue;
                // With a compositor a window with an alpha channel covers
                // only what it paints: the keys-and-clicks panel spans the
                // screen, clear between clicks. A few looks at such pixels
                // at most; after them such windows cover what they meet.
                const bool clear = std::ranges::all_of(clear_there, [&](const TopLevel* t) {
                    if (looks++ >= max_looks)
                        return false;
                    const PixelRect part = intersect(t->outer, reach);
                    const auto pixels = window_pixels(*t, { part.x - t->outer.x, part.y - t->outer.y, part.w, part.h });
                    return pixels && fully_clear(*pixels);
                });
                if (clear)
                    if (auto block = read_pixels(m_root.root, { x, y, tile, tile }, false))
                        return std::move(*block);
            }
    return {};
}

bool ScreenCaptureX11::compositor_running()
{
    auto owner = own(xcb_get_selection_owner_reply(m_conn, xcb_get_selection_owner(m_conn, m_atoms.compositor), nullptr));
    return owner && owner->owner != XCB_NONE;
}

void ScreenCaptureX11::paint_underlay(QImage& image, const PixelRect& rect, const x11::Underlay& plan)
{
    if (plan.holes.empty())
        return;
    if (!m_caps.composite) {
        if (!m_no_composite_logged.exchange(true))
            util::log("captura: sin Composite no puedo dejar fuera las ventanas propias");
        return;
    }
    std::int64_t area = 0;
    for (const PixelRect& hole : plan.holes)
        area += std::int64_t { hole.w } * hole.h;
    if (area <= SMALL_HOLES_AREA) {
        paint_small_holes(image, rect, plan);
        return;
    }
    for (const PixelRect& hole : plan.holes) {
        QImage patch(hole.w, hole.h, QImage::Format_ARGB32_Premultiplied);
        patch.fill(0xff000000u);
        QPainter painter(&patch);
        if (plan.wallpaper) {
            if (auto bg = read_pixels(plan.wallpaper, hole, false))
                painter.drawImage(0, 0, *bg);
        } else if (!plan.bare_tile.isNull()) {
            painter.setBrushOrigin(-hole.x, -hole.y);
            painter.fillRect(patch.rect(), QBrush(plan.bare_tile));
        }
        for (const auto& t : plan.windows) {
            const PixelRect part = intersect(t.outer, hole);
            if (part.w <= 0 || part.h <= 0)
                continue;
            auto pixels = window_pixels(t, { part.x - t.outer.x, part.y - t.outer.y, part.w, part.h });
            if (!pixels)
                continue;
            if (t.shape) {
                painter.setClipRegion(shape_in(t, hole));
            }
            painter.drawImage(part.x - hole.x, part.y - hole.y, *pixels);
            painter.setClipping(false);
        }
        painter.end();
        QPainter onto(&image);
        onto.setCompositionMode(QPainter::CompositionMode_Source);
        onto.drawImage(hole.x - rect.x, hole.y - rect.y, patch);
    }
}

// Small holes (a panel's frame cut to a few strips, the capsule) come in
// many pieces, one per window each meets: reading them one by one costs
// two round trips to the server a piece, more than the frame's own grab
// on a busy server. Here every piece is asked for at once and the replies
// are read after: one round trip for the lot.
void ScreenCaptureX11::paint_small_holes(QImage& image, const PixelRect& rect, const x11::Underlay& plan)
{
    struct Piece {
        std::size_t hole;
        std::size_t window;
        PixelRect part; // root pixels
        xcb_get_image_cookie_t cookie;
    };
    std::vector<xcb_pixmap_t> pixmaps(plan.windows.size(), XCB_NONE);
    std::vector<xcb_void_cookie_t> named(plan.windows.size());
    std::vector<std::optional<xcb_get_image_cookie_t>> backdrops(plan.holes.size());
    std::vector<Piece> pieces;
    for (std::size_t h = 0; h < plan.holes.size(); ++h) {
        const PixelRect& hole = plan.holes[h];
        if (plan.wallpaper)
            backdrops[h] = xcb_get_image(m_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, plan.wallpaper, static_cast<std::int16_t>(hole.x),
                static_cast<std::int16_t>(hole.y), static_cast<std::uint16_t>(hole.w), static_cast<std::uint16_t>(hole.h), ~0u);
        for (std::size_t w = 0; w < plan.windows.size(); ++w) {
            const TopLevel& t = plan.windows[w];
            const PixelRect part = intersect(t.outer, hole);
            if (part.w <= 0 || part.h <= 0)
                continue;
            if (pixmaps[w] == XCB_NONE) {
                pixmaps[w] = xcb_generate_id(m_conn);
                named[w] = xcb_composite_name_window_pixmap_checked(m_conn, t.id, pixmaps[w]);
            }
            pieces.push_back({ h, w, part,
                xcb_get_image(m_conn, XCB_IMAGE_FORMAT_Z_PIXMAP, pixmaps[w], static_cast<std::int16_t>(part.x - t.outer.x),
                    static_cast<std::int16_t>(part.y - t.outer.y), static_cast<std::uint16_t>(part.w),
                    static_cast<std::uint16_t>(part.h), ~0u) });
        }
    }
    // A reply as an image; none for a window gone meanwhile (its piece is skipped).
    auto take = [this](xcb_get_image_cookie_t cookie, const PixelRect& r, bool has_alpha) -> std::optional<QImage> {
        xcb_generic_error_t* e = nullptr;
        auto reply = own(xcb_get_image_reply(m_conn, cookie, &e));
        std::free(e);
        if (!reply || static_cast<std::size_t>(xcb_get_image_data_length(reply.get())) < std::size_t(r.w) * std::size_t(r.h) * 4)
            return std::nullopt;
        QImage pixels(r.w, r.h, QImage::Format_ARGB32_Premultiplied);
        if (pixels.isNull())
            return std::nullopt;
        copy_pixels(xcb_get_image_data(reply.get()), std::size_t(r.w) * 4, pixels, has_alpha || reply->depth == 32);
        return pixels;
    };
    std::size_t next = 0;
    QPainter onto(&image);
    onto.setCompositionMode(QPainter::CompositionMode_Source);
    for (std::size_t h = 0; h < plan.holes.size(); ++h) {
        const PixelRect& hole = plan.holes[h];
        QImage patch(hole.w, hole.h, QImage::Format_ARGB32_Premultiplied);
        patch.fill(0xff000000u);
        QPainter painter(&patch);
        if (backdrops[h]) {
            if (auto bg = take(*backdrops[h], { 0, 0, hole.w, hole.h }, false))
                painter.drawImage(0, 0, *bg);
        } else if (!plan.bare_tile.isNull()) {
            painter.setBrushOrigin(-hole.x, -hole.y);
            painter.fillRect(patch.rect(), QBrush(plan.bare_tile));
        }
        for (; next < pieces.size() && pieces[next].hole == h; ++next) {
            const Piece& piece = pieces[next];
            const TopLevel& t = plan.windows[piece.window];
            auto pixels = take(piece.cookie, piece.part, t.depth == 32);
            if (!pixels)
                continue;
            if (t.shape) {
                painter.setClipRegion(shape_in(t, hole));
            }
            painter.drawImage(piece.part.x - hole.x, piece.part.y - hole.y, *pixels);
            painter.setClipping(false);
        }
        painter.end();
        onto.drawImage(hole.x - rect.x, hole.y - rect.y, patch);
    }
    // Every reply is in: the names' outcomes are known without a round trip.
    for (std::size_t w = 0; w < pixmaps.size(); ++w)
        if (pixmaps[w] != XCB_NONE)
            if (auto err = own(xcb_request_check(m_conn, named[w])); !err)
                xcb_free_pixmap(m_conn, pixmaps[w]);
}

} // namespace platform::x11
