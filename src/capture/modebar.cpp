#include "capture/modebar.h"

#include "capture/overlay.h"
#include "platform/panels.h"
#include "platform/symbols.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWidget>

#include <memory>

namespace modebar {

namespace {

// The label font: the interface font at 11.5 pixels, medium weight.
QFont label_font()
{
    QFont f(QStringLiteral("Inter"));
    f.setStyleHint(QFont::SansSerif);
    f.setWeight(QFont::Medium);
    // QFont's pixel sizes are whole; the point size carries the half pixel
    // at Qt's 96 logical dots per inch.
    f.setPointSizeF(11.5 * 72.0 / 96.0);
    return f;
}

} // namespace

} // namespace modebar

class VistropeModeBarView final : public QWidget {
public:
    static constexpr double CORNER_RADIUS = 18;

    VistropeModeBarView()
        : QWidget(nullptr)
    {
        // One level above the overlay's panels.
        platform::make_panel(this, platform::OVERLAY_LEVEL + 1, platform::Mouse::Accepts, platform::Focus::Refuses, platform::Shadow::Cast);
        setMouseTracking(true);
        setWindowTitle(QStringLiteral("Vistrope barra"));
        const QFontMetricsF metrics(modebar::label_font());
        std::array<double, modebar::COUNT> widths {};
        for (int i = 0; i < modebar::COUNT; ++i)
            widths[static_cast<std::size_t>(i)] = metrics.horizontalAdvance(QString::fromUtf8(modebar::label(modebar::choice_at(i))));
        m_layout = modebar::layout(widths);
        setFixedSize(static_cast<int>(m_layout.width), static_cast<int>(m_layout.height));
        platform::shape_rounded(this, CORNER_RADIUS);
    }

    const modebar::Layout& layout() const { return m_layout; }

    // Bar points with the origin at the bottom-left, from widget coordinates.
    modebar::PointF bar_point(const QPointF& p) const { return { p.x(), m_layout.height - p.y() }; }

    void hover_at(std::optional<int> index)
    {
        if (index == m_hover)
            return;
        m_hover = index;
        update();
    }
    void press_at(modebar::PointF p) { m_pressed = modebar::button_at(m_layout, p); }
    void release_at(modebar::PointF p)
    {
        const auto pressed = std::exchange(m_pressed, std::nullopt);
        if (const auto choice = modebar::released_choice(m_layout, pressed, p))
            overlay::choose(*choice);
    }
    void reset_pointer()
    {
        m_hover.reset();
        m_pressed.reset();
    }

    // Whether the last picture drawn is the bar as it is now.
    bool shows_last_picture() const
    {
        return !m_picture.isNull() && m_picture_look == Look { selected, m_hover }
            && m_picture.devicePixelRatio() == devicePixelRatioF();
    }

    std::uint8_t selected = modebar::NONE;
    double alpha = 1.0;
    bool shown = false; // on screen (a parked bar is mapped, out of sight)
    // Where the next paint brings the parked bar back.
    std::optional<QPoint> unpark_to;
    std::optional<int> hover() const { return m_hover; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        // Its labels and symbols take a few milliseconds to draw, and a
        // session usually opens on the bar the last one showed: the picture
        // is kept and drawn again only when what it shows changes.
        const qreal dpr = devicePixelRatioF();
        const Look look { selected, m_hover };
        if (m_picture.isNull() || m_picture_look != look || m_picture.devicePixelRatio() != dpr) {
            m_picture = QImage((QSizeF(size()) * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
            m_picture.setDevicePixelRatio(dpr);
            m_picture.fill(Qt::transparent);
            QPainter pic(&m_picture);
            draw(pic);
            m_picture_look = look;
        }
        QPainter p(this);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(0, 0, m_picture);
        p.end();
        // Back on screen with this picture: Qt flushes it right after.
        if (const auto to = std::exchange(unpark_to, std::nullopt)) {
            platform::unpark_panel(this, false, *to);
            platform::restack_panels();
        }
    }

    void draw(QPainter& p) const
    {
        p.setRenderHint(QPainter::Antialiasing);
        const double h = m_layout.height;
        // The dark capsule: there is no blur behind windows here, so the
        // bar carries the capsule's own colour.
        QPainterPath capsule;
        capsule.addRoundedRect(QRectF(0.25, 0.25, m_layout.width - 0.5, h - 0.5), CORNER_RADIUS, CORNER_RADIUS);
        p.fillPath(capsule, util::rgba(0.11, 0.11, 0.12, 0.92));
        p.setPen(QPen(util::rgba(1, 1, 1, 0.16), 0.5));
        p.drawPath(capsule);
        p.setPen(Qt::NoPen);
        for (const auto& s : m_layout.separators)
            p.fillRect(platform::panel_rect(s, h), util::rgba(1, 1, 1, 0.14));
        const QFont font = modebar::label_font();
        for (std::size_t i = 0; i < m_layout.buttons.size(); ++i) {
            const auto& b = m_layout.buttons[i];
            const bool is_selected = selected != modebar::NONE && selected == static_cast<std::uint8_t>(b.choice);
            const bool is_hovered = !is_selected && m_hover && *m_hover == static_cast<int>(i);
            if (is_selected || is_hovered) {
                QPainterPath plate;
                plate.addRoundedRect(platform::panel_rect(b.background, h), 11, 11);
                p.fillPath(plate, util::rgba(1, 1, 1, is_selected ? 0.16 : 0.08));
            }
            const QColor tint = util::rgba(1, 1, 1, is_selected ? 1.0 : 0.78);
            platform::symbols::draw(p, modebar::symbol(b.choice), platform::panel_rect(b.icon, h), 17, tint);
            p.setFont(font);
            p.setPen(tint);
            p.drawText(platform::panel_rect(b.label, h), Qt::AlignCenter, QString::fromUtf8(modebar::label(b.choice)));
            p.setPen(Qt::NoPen);
        }
    }

    void mouseMoveEvent(QMouseEvent* e) override
    {
        setCursor(Qt::ArrowCursor);
        hover_at(modebar::button_at(m_layout, bar_point(e->position())));
    }
    void leaveEvent(QEvent*) override { hover_at(std::nullopt); }
    void mousePressEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::LeftButton)
            press_at(bar_point(e->position()));
    }
    void mouseReleaseEvent(QMouseEvent* e) override
    {
        if (e->button() == Qt::LeftButton)
            release_at(bar_point(e->position()));
    }

private:
    struct Look {
        std::uint8_t selected;
        std::optional<int> hover;
        bool operator==(const Look&) const = default;
    };
    modebar::Layout m_layout;
    std::optional<int> m_hover;
    std::optional<int> m_pressed;
    QImage m_picture; // the bar as last drawn
    Look m_picture_look {};
};

namespace modebar {

namespace {

std::unique_ptr<VistropeModeBarView>& bar_slot()
{
    util::require_main_thread("hilo principal");
    static auto* bar = new std::unique_ptr<VistropeModeBarView>(); // destroyed by release(), before the application object
    return *bar;
}

VistropeModeBarView* bar()
{
    return bar_slot().get();
}

// The bar's global bottom-left frame from its widget geometry.
RectF global_frame(const VistropeModeBarView& view)
{
    const QRect g = view.geometry();
    const double ph = platform::primary_height();
    return platform::rect_from_top_left({ static_cast<double>(g.x()), static_cast<double>(g.y()),
                                            static_cast<double>(g.width()), static_cast<double>(g.height()) },
        ph);
}

PointF to_bar(const VistropeModeBarView& view, PointF global)
{
    const RectF f = global_frame(view);
    return { global.x - f.x, global.y - f.y };
}

} // namespace

void prewarm()
{
    auto& slot = bar_slot();
    if (slot)
        return;
    slot = std::make_unique<VistropeModeBarView>();
    // Lay out and draw once, off screen, so a session only moves and shows it.
    slot->move(-20000, -20000);
    slot->ensurePolished();
    slot->grab();
}

void show(Choice choice, PointF mouse)
{
    prewarm();
    VistropeModeBarView* view = bar();
    view->setUpdatesEnabled(true);
    view->selected = static_cast<std::uint8_t>(choice);
    view->reset_pointer();
    view->update();
    const auto screen = platform::screen_for_point(mouse.x, mouse.y);
    if (!screen)
        return;
    const PointF origin = origin_on(screen->visible_frame, view->layout().width);
    const RectF top_left = platform::rect_to_top_left({ origin.x, origin.y, view->layout().width, view->layout().height },
        platform::primary_height());
    const QPoint target(static_cast<int>(top_left.x), static_cast<int>(top_left.y));
    if (view->pos() != target)
        view->move(target); // a parked bar moves there still out of sight
    view->alpha = 1.0;
    view->setWindowOpacity(1.0);
    view->shown = true;
    if (!platform::is_parked(view)) {
        view->show();
        view->raise();
        return;
    }
    // Mapped already: no round trips. The window still holds the picture it
    // was parked with; when that is what the bar shows now, it only comes
    // back (where there is no Composite, its expose repaints it).
    if (view->shows_last_picture()) {
        platform::restack_panels();
        platform::unpark_panel(view, true, target);
        return;
    }
    // Else it comes back with its new picture (Qt first waits for the
    // server to have taken the last one).
    view->unpark_to = target;
    view->repaint();
    if (const auto to = std::exchange(view->unpark_to, std::nullopt)) {
        // Qt would not paint it now: back on screen, its expose paints it.
        platform::restack_panels();
        platform::unpark_panel(view, true, *to);
    }
}

void hide()
{
    if (VistropeModeBarView* view = bar()) {
        view->reset_pointer();
        view->shown = false;
        view->unpark_to.reset();
        // Parked, it takes no paints: the shaped-out window would not show
        // them, and it must come back showing what it last drew.
        if (platform::park_panel(view))
            view->setUpdatesEnabled(false);
        else
            view->hide();
    }
}

void set_visible(bool visible)
{
    VistropeModeBarView* view = bar();
    if (!view || !view->shown)
        return;
    view->alpha = visible ? 1.0 : 0.0;
    view->setWindowOpacity(view->alpha);
}

bool contains(double x, double y)
{
    VistropeModeBarView* view = bar();
    if (!view || !view->shown || !(view->alpha > 0))
        return false;
    return global_frame(*view).contains(x, y);
}

void select(std::uint8_t choice)
{
    if (VistropeModeBarView* view = bar()) {
        view->selected = choice;
        view->update();
    }
}

void pointer_moved(PointF global)
{
    if (VistropeModeBarView* view = bar())
        view->hover_at(button_at(view->layout(), to_bar(*view, global)));
}

void pointer_pressed(PointF global)
{
    if (VistropeModeBarView* view = bar())
        view->press_at(to_bar(*view, global));
}

void pointer_released(PointF global)
{
    if (VistropeModeBarView* view = bar())
        view->release_at(to_bar(*view, global));
}

void pointer_left()
{
    if (VistropeModeBarView* view = bar())
        view->hover_at(std::nullopt);
}

void debug_hover(Choice choice)
{
    VistropeModeBarView* view = bar();
    if (!view)
        return;
    std::optional<int> index;
    for (std::size_t i = 0; i < view->layout().buttons.size(); ++i)
        if (view->layout().buttons[i].choice == choice)
            index = static_cast<int>(i);
    view->hover_at(index);
}

void debug_click(Choice choice)
{
    VistropeModeBarView* view = bar();
    if (!view)
        return;
    for (const auto& b : view->layout().buttons) {
        if (b.choice != choice)
            continue;
        const PointF centre { b.frame.x + b.frame.w / 2, b.frame.y + b.frame.h / 2 };
        view->press_at(centre);
        view->release_at(centre);
        return;
    }
}

std::optional<RectF> frame()
{
    VistropeModeBarView* view = bar();
    if (!view || !view->shown)
        return std::nullopt;
    return global_frame(*view);
}

const Layout* current_layout()
{
    VistropeModeBarView* view = bar();
    return view ? &view->layout() : nullptr;
}

std::uint8_t selected()
{
    VistropeModeBarView* view = bar();
    return view ? view->selected : NONE;
}

std::optional<int> hovered()
{
    VistropeModeBarView* view = bar();
    return view ? view->hover() : std::nullopt;
}

double alpha()
{
    VistropeModeBarView* view = bar();
    return view ? view->alpha : 0.0;
}

void release()
{
    bar_slot().reset();
}

} // namespace modebar
