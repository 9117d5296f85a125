#include "capture/overlay_view.h"

#include "capture/glass/glass.h"
#include "capture/glass/ring.h"
#include "capture/modebar.h"
#include "platform/accessibility.h"
#include "platform/panels.h"
#include "platform/raw_input.h"
#include "base/state.h"
#include "base/util.h"
#include "base/util_parallel.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QBackingStore>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <fmt/format.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

using overlay::PointF;
using overlay::RectF;

namespace {

// Marks the view's state as being changed; a change that starts while
// another is running is a broken invariant.
class Busy {
public:
    explicit Busy(bool& flag)
        : m_flag(flag)
    {
        if (m_flag)
            util::fatal("estado de la vista del selector en uso (cambio reentrante)");
        m_flag = true;
    }
    ~Busy() { m_flag = false; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    bool& m_flag;
};

QFont label_font(double pixel_size)
{
    QFont f(QStringLiteral("Inter"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(static_cast<int>(pixel_size));
    return f;
}

QRectF qrect(const RectF& r)
{
    return QRectF(r.x, r.y, r.w, r.h);
}

const QColor& label_background()
{
    static const QColor c = util::rgba(0.08, 0.08, 0.10, 0.82);
    return c;
}

} // namespace

VistropeOverlayWindow::VistropeOverlayWindow(const platform::Screen& screen)
    : QWidget(nullptr)
{
    platform::make_panel(this, platform::OVERLAY_LEVEL, platform::Mouse::Accepts);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setWindowTitle(QStringLiteral("Vistrope selector"));
    if (screen.qt)
        setScreen(screen.qt);
    m_state.scale = screen.scale;
    m_state.frame = screen.frame;
    m_state.display_id = platform::screen_display_id(screen);
    const RectF tl = platform::rect_to_top_left(screen.frame, platform::primary_height());
    setGeometry(static_cast<int>(tl.x), static_cast<int>(tl.y), static_cast<int>(tl.w), static_cast<int>(tl.h));
    setCursor(Qt::CrossCursor);
    m_ring = std::make_unique<glass::ring::Ring>(screen.frame.h, screen.scale);
    m_release = new QTimer(this);
    m_release->setSingleShot(true);
    m_release->setInterval(RELEASE_DELAY_MS);
    connect(m_release, &QTimer::timeout, this, [this] {
        if (!m_on_screen)
            platform::release_blank_backing_store(this);
    });
    // make_panel made the native window: its exposes pass through here.
    if (QWindow* window = windowHandle())
        window->installEventFilter(this);
    // The ring's frames repaint the strips they leave and the ones they bring.
    m_ring->set_on_frame([this](const QRegion& points) { update(points); });
}

overlay::Scene VistropeOverlayWindow::current_scene() const
{
    const auto session = overlay::session();
    const auto config = state::config();
    overlay::SceneInput in;
    in.width = m_state.frame.w;
    in.height = m_state.frame.h;
    in.scale = m_state.scale;
    in.window_mode = session && session->mode == overlay::Mode::Window;
    in.record = session && session->purpose == overlay::Purpose::Record;
    in.has_frozen = !m_state.frozen.isNull();
    in.show_magnifier = config->show_magnifier;
    in.show_crosshair = config->show_crosshair;
    in.pointer = m_state.pointer;
    in.selection = m_state.selection;
    if (m_state.hovered)
        in.hovered_view = overlay::global_to_view(m_state.hovered->rect(), m_state.frame);
    in.ring_enabled = ring_enabled();
    return overlay::scene(in);
}

VistropeOverlayWindow::~VistropeOverlayWindow() = default;

bool VistropeOverlayWindow::ring_enabled() const
{
    const auto session = overlay::session();
    const platform::Accessibility a11y = platform::accessibility();
    return session && session->mode == overlay::Mode::Window && session->purpose != overlay::Purpose::Record
        && m_state.snapshot_requested && !m_state.snapshot_failed && !m_ring->upload_failed() && glass::ready()
        && !a11y.reduced_transparency && !a11y.increased_contrast;
}

void VistropeOverlayWindow::render()
{
    const overlay::Scene next = current_scene();
    // The ring states its target on every render; it animates on its own.
    const bool ring_on = ring_enabled();
    if (ring_on) {
        if (!m_state.frozen.isNull())
            m_ring->load(m_state.frozen, [this] { render(); });
        else
            m_ring->warm();
    }
    m_ring->show(ring_on ? next.highlight : std::nullopt, 12);
    if (m_full_repaint) {
        m_full_repaint = false;
        m_drawn = next;
        update();
        return;
    }
    const double h = view_height();
    for (const RectF& r : overlay::damage(m_drawn, next)) {
        const RectF tl = overlay::flip(r, h);
        const QRectF q = qrect(tl).intersected(QRectF(0, 0, width(), height()));
        if (!q.isEmpty())
            update(q.toAlignedRect());
    }
    m_drawn = next;
}

void VistropeOverlayWindow::reset()
{
    Busy busy(m_busy);
    m_state.drag_start.reset();
    m_state.selection.reset();
    m_state.pointer.reset();
    m_state.hovered.reset();
    m_state.pending_finish.reset();
    m_state.frozen = QImage();
    m_state.background = QImage();
    m_state.snapshot_failed = false;
    m_state.snapshot_requested = false;
    m_bar_press = false;
    m_full_repaint = true;
    m_ring->clear();
}

void overlay::dim_into(const QImage& picture, QImage& target, const QRect& rect, const QRect& hole)
{
    const QRect r = rect & picture.rect() & target.rect();
    if (r.isEmpty() || picture.depth() != 32 || target.depth() != 32)
        return;
    const auto* in = picture.constBits();
    auto* out = target.bits();
    const auto in_stride = static_cast<std::size_t>(picture.bytesPerLine());
    const auto out_stride = static_cast<std::size_t>(target.bytesPerLine());
    const QRect clear = hole & r;
    const auto row = [&](int y) {
        const auto* from = reinterpret_cast<const std::uint32_t*>(in + static_cast<std::size_t>(y) * in_stride) + r.x();
        auto* to = reinterpret_cast<std::uint32_t*>(out + static_cast<std::size_t>(y) * out_stride) + r.x();
        const auto width = static_cast<std::size_t>(r.width());
        if (clear.isEmpty() || y < clear.top() || y > clear.bottom()) {
            overlay::dim_pixels(from, to, width);
            return;
        }
        const auto left = static_cast<std::size_t>(clear.left() - r.left());
        const auto inside = static_cast<std::size_t>(clear.width());
        overlay::dim_pixels(from, to, left);
        std::memcpy(to + left, from + left, inside * 4);
        overlay::dim_pixels(from + left + inside, to + left + inside, width - left - inside);
    };
    // A screenful is split over the workers, at least 64 rows a part; the
    // small rectangles a pointer move repaints are done here.
    const int rows = r.height();
    const std::size_t parts = static_cast<std::size_t>(std::max(1, std::min(static_cast<int>(util::parallelism()), rows / 64)));
    if (parts == 1 || static_cast<std::int64_t>(r.width()) * rows < 256 * 1024) {
        for (int y = r.top(); y <= r.bottom(); ++y)
            row(y);
        return;
    }
    util::parallel_for(static_cast<std::size_t>(rows), { .chunks = parts, .threads = parts }, [&](std::size_t y0, std::size_t y1) {
        for (std::size_t y = y0; y < y1; ++y)
            row(r.top() + static_cast<int>(y));
    });
}

void VistropeOverlayWindow::set_background(const QImage& picture)
{
    m_state.background = picture;
    if (!picture.isNull() && picture.format() != QImage::Format_ARGB32_Premultiplied && picture.format() != QImage::Format_RGB32
        && picture.format() != QImage::Format_ARGB32)
        m_state.background = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

void VistropeOverlayWindow::mode_changed()
{
    {
        Busy busy(m_busy);
        m_state.selection.reset();
        m_state.drag_start.reset();
        const auto session = overlay::session();
        m_state.hovered.reset();
        if (session && session->mode == overlay::Mode::Window && m_state.pointer)
            m_state.hovered = window_under(*m_state.pointer);
    }
    const auto session = overlay::session();
    const bool record = session && session->purpose == overlay::Purpose::Record;
    if (!record && state::config()->freeze_screen && !m_state.snapshot_requested)
        overlay::request_snapshot(*this);
    m_full_repaint = true;
    render();
}

void VistropeOverlayWindow::grab_input(bool key)
{
    // Override-redirect windows get no focus from the window manager: the
    // panel takes the keyboard itself, and the pointer so that clicks never
    // reach the windows underneath.
    grabMouse();
    if (key) {
        setFocus(Qt::OtherFocusReason);
        grabKeyboard();
        m_held_at_grab = platform::keys_down();
        m_held_released.reset();
        m_held_presses_passed = 0;
    }
}

void VistropeOverlayWindow::reveal(bool key)
{
    m_release->stop();
    m_full_repaint = true;
    m_on_screen = true;
    setUpdatesEnabled(true);
    render();
    // The grabs wait for the server to map the panel; they follow the first
    // paint so that the picture is not held up behind them. A panel that is
    // never painted (no expose) goes on after a moment all the same.
    m_first_paint_pending = true;
    m_key = key;
    const std::uint64_t showing = ++m_showings;
    QTimer::singleShot(100, this, [this, showing] { after_first_paint(showing); });
    if (!platform::is_parked(this)) {
        show(); // its showing restacks the panels: this one under the bar
        return;
    }
    // Still mapped: painted now, it comes back on screen with its picture.
    const int paints = m_paints;
    m_unpark_in_paint = true;
    repaint();
    if (std::exchange(m_unpark_in_paint, false)) {
        // Qt would not paint it now: back on screen, its expose paints it.
        platform::restack_panels();
        platform::unpark_panel(this, true);
        return;
    }
    if (m_paints != paints)
        after_first_paint(showing);
}

void VistropeOverlayWindow::after_first_paint(std::uint64_t showing)
{
    // A call meant for an earlier showing (closed and opened again within
    // the moment) would end this one before its picture is on screen.
    if (showing != m_showings || !std::exchange(m_first_paint_pending, false) || !m_on_screen)
        return;
    // The picture is on screen: the opening ends here. Each grab is a round
    // trip, answered only once the server (and the compositor, redrawing
    // the screen for the new panel) gets to it: they wait until the exposes
    // already queued (the bar's) are handled, so its picture is not held up
    // behind them either.
    overlay::panel_shown(*this);
    if (m_key)
        QTimer::singleShot(0, this, [this, showing] {
            if (showing == m_showings && m_on_screen)
                grab_input(true);
        });
}

bool VistropeOverlayWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::Expose || watched != windowHandle())
        return QWidget::eventFilter(watched, event);
    // The whole picture reached the server with the unparking, after it:
    // flushing it all again would only keep the server busy.
    if (std::exchange(m_skip_expose, false))
        return true;
    if (!m_first_paint_pending)
        return QWidget::eventFilter(watched, event);
    // Qt paints the exposed panel and flushes its picture to the server
    // while it handles the expose: handled here, the opening ends right after
    // that flush rather than after everything else already queued.
    const int paints = m_paints;
    m_in_expose = true;
    watched->event(event);
    m_in_expose = false;
    if (m_paints != paints)
        after_first_paint(m_showings);
    return true;
}

void VistropeOverlayWindow::prepare_store()
{
    QBackingStore* store = backingStore();
    if (!store || store->size() == size())
        return;
    m_release->stop();
    store->resize(size());
    // Fresh memory faults page by page where it is first written: here,
    // beside the grab, rather than in the first paint. A screenful of shared
    // memory takes longer to fault in than the grab takes, so the workers
    // touch its pages together.
    auto* image = dynamic_cast<QImage*>(store->paintDevice());
    if (!image || image->isNull())
        return;
    std::uint8_t* bits = image->bits();
    const auto bytes = static_cast<std::size_t>(image->sizeInBytes());
    constexpr std::size_t MIB = std::size_t { 1 } << 20;
    const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(util::parallelism(), bytes / MIB));
    util::parallel_for(bytes, { .chunks = parts, .threads = parts },
        [bits](std::size_t b0, std::size_t b1) { std::memset(bits + b0, 0, b1 - b0); });
}

void VistropeOverlayWindow::conceal()
{
    m_first_paint_pending = false;
    m_skip_expose = false;
    m_unpark_in_paint = false;
    m_on_screen = false;
    releaseKeyboard();
    releaseMouse();
    // Parked, it takes no paints: they would be lost on the shaped-out
    // window and would make its picture memory again.
    if (platform::park_panel(this))
        setUpdatesEnabled(false);
    else
        hide();
    m_release->start();
}

// ---------------------------------------------------------------------------
// Drawing

void VistropeOverlayWindow::paintEvent(QPaintEvent* event)
{
    ++m_paints;
    const overlay::Scene& s = m_drawn;
    const double h = view_height();
    const QRectF bounds(0, 0, width(), height());
    const double sc = m_state.scale;

    // The usual case: the screen as it was, dimmed, with the highlight
    // clear, written straight into the window's picture in one pass. That
    // needs the picture's pixels to be the window's, one to one.
    auto* store = backingStore() ? dynamic_cast<QImage*>(backingStore()->paintDevice()) : nullptr;
    const QImage& picture = m_state.background;
    const bool direct = s.dim_alpha == 0.32 && !picture.isNull() && store && store->size() == picture.size()
        && store->devicePixelRatio() == sc;
    if (direct) {
        const auto device = [sc](const QRectF& r) {
            return QRect(QPoint(static_cast<int>(std::floor(r.left() * sc)), static_cast<int>(std::floor(r.top() * sc))),
                QPoint(static_cast<int>(std::ceil(r.right() * sc)) - 1, static_cast<int>(std::ceil(r.bottom() * sc)) - 1));
        };
        const QRect hole = s.highlight ? device(qrect(overlay::flip(*s.highlight, h)).toAlignedRect()) : QRect();
        for (const QRect& r : event->region())
            overlay::dim_into(picture, *store, device(r), hole);
    }
    QPainter p(this);
    p.setClipRegion(event->region());
    if (!direct) {
        // The screen as it was, or nothing where there is no picture (then
        // the compositor shows what lies underneath), and the dimming laid
        // over it with the highlight as an even-odd hole.
        p.setCompositionMode(QPainter::CompositionMode_Source);
        if (!picture.isNull()) {
            for (const QRect& r : event->region())
                p.drawImage(QRectF(r), picture, QRectF(r.x() * sc, r.y() * sc, r.width() * sc, r.height() * sc));
        } else {
            p.fillRect(event->rect(), Qt::transparent);
        }
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        QPainterPath dim;
        dim.setFillRule(Qt::OddEvenFill);
        dim.addRect(bounds);
        if (s.highlight)
            dim.addRect(qrect(overlay::flip(*s.highlight, h)));
        p.fillPath(dim, QColor(0, 0, 0, static_cast<int>(std::lround(s.dim_alpha * 255))));
    }
    // The glass ring lies between the dimming and the outline.
    for (const glass::ring::Strip& strip : m_ring->strips())
        p.drawImage(QRectF(strip.rect.x() / sc, strip.rect.y() / sc, strip.rect.width() / sc, strip.rect.height() / sc),
            strip.image);
    paint_area(p, s);
    // The parked window comes back with this picture: Qt flushes it right
    // after these requests, in the same write, and reveal() then ends the
    // opening.
    const bool unparked = std::exchange(m_unpark_in_paint, false);
    if (unparked) {
        platform::unpark_panel(this, false);
        platform::restack_panels(); // above other programs' windows, under the bar
        m_skip_expose = true;
    }
    // Once this paint has reached the screen.
    if (m_first_paint_pending && !m_in_expose && !unparked)
        QTimer::singleShot(0, this, [this, showing = m_showings] { after_first_paint(showing); });
}

void VistropeOverlayWindow::paint_area(QPainter& p, const overlay::Scene& s)
{
    const double h = view_height();
    p.setRenderHint(QPainter::Antialiasing);

    if (s.outline) {
        const QRectF r = qrect(overlay::flip(*s.outline, h));
        if (s.outline_blue) {
            QPainterPath path;
            path.addRoundedRect(r, s.outline_radius, s.outline_radius);
            p.fillPath(path, util::rgba(0, 0, 0, 0.01));
            if (s.outline_stroked) {
                p.setPen(QPen(util::rgba(86.0 / 255, 151.0 / 255, 245.0 / 255, 1.0), s.outline_width));
                p.setBrush(Qt::NoBrush);
                p.drawPath(path);
            }
        } else {
            p.setPen(QPen(util::rgba(1, 1, 1, 0.95), s.outline_width));
            p.setBrush(Qt::NoBrush);
            p.drawRect(r);
        }
    }

    if (!s.crosshair.empty()) {
        QPen pen(util::rgba(1, 1, 1, 0.55), 1);
        pen.setDashPattern({ 4, 4 });
        pen.setCapStyle(Qt::FlatCap);
        p.setPen(pen);
        p.setRenderHint(QPainter::Antialiasing, false);
        for (const auto& line : s.crosshair) {
            const PointF a = overlay::flip(line.a, h);
            const PointF b = overlay::flip(line.b, h);
            p.drawLine(QPointF(a.x, a.y - 0.5), QPointF(b.x, b.y - 0.5));
        }
        p.setRenderHint(QPainter::Antialiasing);
    }

    const auto draw_label = [&](const overlay::Label& label, double font_px, double radius) {
        const QRectF r = qrect(overlay::flip(label.frame, h));
        QPainterPath path;
        path.addRoundedRect(r, radius, radius);
        p.fillPath(path, label_background());
        p.setFont(label_font(font_px));
        p.setPen(Qt::white);
        p.drawText(r, Qt::AlignCenter, QString::fromStdString(label.text));
    };
    if (s.size_label)
        draw_label(*s.size_label, 12, 5);

    if (s.magnifier && !m_state.frozen.isNull()) {
        const QRectF frame = qrect(overlay::flip(*s.magnifier, h));
        const RectF src_view = overlay::flip(s.magnifier_source, h);
        const double sc = m_state.scale;
        QPainterPath circle;
        circle.addEllipse(frame);
        p.save();
        p.setClipPath(circle, Qt::IntersectClip);
        p.fillRect(frame, Qt::black);
        // Nearest-neighbour: every screen pixel becomes a crisp block.
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.drawImage(frame, m_state.frozen, QRectF(src_view.x * sc, src_view.y * sc, src_view.w * sc, src_view.h * sc));
        const RectF box = s.centre_box; // magnifier coordinates, bottom-left; square, so the flip is a shift
        p.setPen(QPen(util::rgba(0.2, 0.6, 1.0, 0.95), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(frame.x() + box.x, frame.y() + (128 - box.y - box.h), box.w, box.h));
        p.restore();
        p.setPen(QPen(util::rgba(1, 1, 1, 0.95), 2));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(frame.adjusted(1, 1, -1, -1));
    }
    if (s.coord_label)
        draw_label(*s.coord_label, 10, 4);
}

// ---------------------------------------------------------------------------
// Pointer and keys

PointF VistropeOverlayWindow::view_point(const QPointF& pos) const
{
    // Qt reports the top-left corner of the pixel under the pointer; as a
    // bottom-left point that corner sits at H − y, so a drag from (x0, y0)
    // to (x1, y1) spans exactly the pixels between them.
    return { pos.x(), view_height() - pos.y() };
}

PointF VistropeOverlayWindow::to_global(PointF p) const
{
    return { m_state.frame.x + p.x, m_state.frame.y + p.y };
}

std::optional<overlay::WindowInfo> VistropeOverlayWindow::window_under(PointF p) const
{
    const auto session = overlay::session();
    if (!session)
        return std::nullopt;
    // The pixel's centre, so the top row of a window counts as inside it.
    const PointF g = to_global({ p.x + 0.5 / m_state.scale, p.y - 0.5 / m_state.scale });
    return overlay::window_at(session->windows, g);
}

void VistropeOverlayWindow::pointer_moved(PointF p, bool on_bar)
{
    {
        Busy busy(m_busy);
        if (on_bar) {
            m_state.pointer.reset();
            m_state.hovered.reset();
        } else {
            m_state.pointer = p;
            const auto session = overlay::session();
            m_state.hovered = session && session->mode == overlay::Mode::Window ? window_under(p) : std::nullopt;
        }
    }
    setCursor(on_bar ? Qt::ArrowCursor : Qt::CrossCursor);
    render();
}

void VistropeOverlayWindow::pointer_pressed(PointF p)
{
    Busy busy(m_busy);
    m_state.drag_start = p;
    m_state.pointer = p;
    m_state.selection.reset();
}

void VistropeOverlayWindow::pointer_dragged(PointF p, bool shift)
{
    {
        Busy busy(m_busy);
        if (!m_state.drag_start)
            return;
        const PointF start = *m_state.drag_start;
        m_state.pointer = shift ? overlay::constrain_square(start, p) : p;
        const auto session = overlay::session();
        if (!(session && session->mode == overlay::Mode::Window)) {
            const double w = m_state.frame.w;
            const double h = m_state.frame.h;
            m_state.selection = shift ? overlay::square_selection(start, p, m_state.scale, w, h)
                                      : overlay::drag_selection(start, p, m_state.scale, w, h);
        }
    }
    const auto session = overlay::session();
    if (!(session && session->mode == overlay::Mode::Window))
        modebar::set_visible(false);
    render();
}

void VistropeOverlayWindow::pointer_released(PointF p)
{
    std::optional<RectF> selection;
    std::optional<overlay::WindowInfo> candidate;
    {
        Busy busy(m_busy);
        m_state.drag_start.reset();
        selection = std::exchange(m_state.selection, std::nullopt);
        candidate = m_state.hovered ? m_state.hovered : window_under(p);
    }
    const auto session = overlay::session();
    const bool window_mode = session && session->mode == overlay::Mode::Window;
    if (!window_mode && selection && overlay::is_area_selection(*selection, m_state.scale)) {
        util::log(fmt::format("selector: soltado, área {:.0f},{:.0f} {:.0f}×{:.0f}", selection->x, selection->y, selection->w, selection->h));
        overlay::finish_area(*this, *selection);
    } else if (candidate) {
        overlay::finish_window(*candidate);
    } else {
        render();
    }
    if (overlay::is_open() && !m_state.pending_finish)
        modebar::set_visible(true);
}

void VistropeOverlayWindow::key_pressed(std::uint32_t code, overlay::Held held)
{
    const overlay::KeyEffect effect = overlay::key_effect(code, held);
    switch (effect.action) {
    case overlay::KeyAction::None:
        return;
    case overlay::KeyAction::Choose:
        overlay::choose(effect.choice);
        return;
    case overlay::KeyAction::FinishScreen:
        util::log(fmt::format("selector: tecla {}, pantalla completa", code));
        overlay::finish_area(*this, RectF { 0, 0, m_state.frame.w, m_state.frame.h });
        return;
    case overlay::KeyAction::ToggleMode: {
        auto session = overlay::session();
        if (!session)
            return;
        overlay::toggle_mode();
        mode_changed();
        session = overlay::session();
        if (session)
            modebar::select(static_cast<std::uint8_t>(overlay::bar_choice(session->mode, session->purpose)));
        return;
    }
    case overlay::KeyAction::Cancel:
        overlay::cancel();
        return;
    }
}

void VistropeOverlayWindow::mouseMoveEvent(QMouseEvent* e)
{
    const PointF g = overlay::global_from_qt(e->globalPosition());
    // The pointer grab brings every event here, including those over the
    // mode bar and over the other screens' panels.
    if (!rect().contains(e->position().toPoint()) && !m_state.drag_start) {
        if (VistropeOverlayWindow* other = overlay::panel_at(g); other && other != this) {
            // The pointer went to another screen: that panel takes the
            // pointer and the keyboard, as the panel under the pointer does.
            releaseMouse();
            releaseKeyboard();
            other->grab_input(true);
            other->pointer_moved(other->view_point(other->mapFromGlobal(e->globalPosition())), false);
            pointer_moved({}, true);
            return;
        }
    }
    const bool on_bar = !m_state.drag_start && !m_bar_press && modebar::contains(g.x, g.y);
    if (m_bar_press || on_bar) {
        modebar::pointer_moved(g);
        if (on_bar)
            pointer_moved({}, true);
        return;
    }
    modebar::pointer_left();
    if (e->buttons() & Qt::LeftButton)
        pointer_dragged(view_point(e->position()), e->modifiers() & Qt::ShiftModifier);
    else
        pointer_moved(view_point(e->position()), false);
}

void VistropeOverlayWindow::mousePressEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton)
        return;
    const PointF g = overlay::global_from_qt(e->globalPosition());
    if (modebar::contains(g.x, g.y)) {
        m_bar_press = true;
        modebar::pointer_pressed(g);
        return;
    }
    pointer_pressed(view_point(e->position()));
}

void VistropeOverlayWindow::mouseReleaseEvent(QMouseEvent* e)
{
    if (e->button() != Qt::LeftButton)
        return;
    if (std::exchange(m_bar_press, false)) {
        modebar::pointer_released(overlay::global_from_qt(e->globalPosition()));
        return;
    }
    pointer_released(view_point(e->position()));
}

void VistropeOverlayWindow::keyPressEvent(QKeyEvent* e)
{
    if (const quint32 code = e->nativeScanCode(); code < m_held_at_grab.size() && m_held_at_grab.test(code)) {
        // The server repeats a held key as a release and a press of the
        // same time; a press at another time than the key's last release
        // is the key pressed anew, however late either reached the panel.
        if (!m_held_released.test(code) || m_held_released_at[code] == e->timestamp()) {
            ++m_held_presses_passed;
            return;
        }
        m_held_at_grab.reset(code);
    } else if (e->isAutoRepeat()) {
        return;
    }
    const bool chord = e->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    key_pressed(e->nativeScanCode(), chord ? overlay::Held::Chord : overlay::Held::Plain);
}

void VistropeOverlayWindow::keyReleaseEvent(QKeyEvent* e)
{
    // A repeat is a release and a press; the toolkit marks the pair as a
    // repeat only when both have arrived together, which a loaded machine
    // does not promise, and the server's key map tells only how the key
    // stands when it is asked. The release's time tells which press is its
    // repeat.
    const quint32 code = e->nativeScanCode();
    if (code >= m_held_at_grab.size() || !m_held_at_grab.test(code))
        return;
    m_held_released.set(code);
    m_held_released_at[code] = e->timestamp();
}

void VistropeOverlayWindow::leaveEvent(QEvent*)
{
    {
        Busy busy(m_busy);
        m_state.pointer.reset();
    }
    render();
}

void VistropeOverlayWindow::enterEvent(QEnterEvent*)
{
    setCursor(Qt::CrossCursor);
}
