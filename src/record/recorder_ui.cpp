#include "record/recorder_ui.h"

#include "ui/hud.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "platform/panels.h"

#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <utility>

namespace recorder {

namespace {

QColor red() { return util::rgba(1.0, 0.27, 0.23, 1.0); }
QColor capsule_fill() { return util::rgba(0.11, 0.11, 0.12, 0.92); }

QRectF q(const platform::RectF& r) { return { r.x, r.y, r.w, r.h }; }

QFont ui_font(double pixels, QFont::Weight weight)
{
    QFont f;
    f.setPixelSize(static_cast<int>(pixels));
    f.setWeight(weight);
    return f;
}

QFont time_font() { return ui_font(13, QFont::DemiBold); }
QFont stop_font() { return ui_font(13, QFont::Medium); }
QFont countdown_font() { return ui_font(64, QFont::Bold); }

// Qt 6.4 cannot ask a font for tabular figures, so every digit gets the cell
// of the widest one and a running clock never shifts sideways.
double digit_cell(const QFontMetricsF& fm)
{
    double cell = 0;
    for (char c = '0'; c <= '9'; ++c)
        cell = std::max(cell, fm.horizontalAdvance(QChar(c)));
    return cell;
}

double tabular_width(const QFont& font, const QString& text)
{
    const QFontMetricsF fm(font);
    const double cell = digit_cell(fm);
    double w = 0;
    for (QChar c : text)
        w += c.isDigit() ? cell : fm.horizontalAdvance(c);
    return w;
}

void draw_tabular(QPainter& p, const QRectF& rect, const QString& text)
{
    const QFontMetricsF fm(p.font());
    const double cell = digit_cell(fm);
    double x = rect.x() + (rect.width() - tabular_width(p.font(), text)) / 2;
    const double base = rect.y() + (rect.height() - fm.height()) / 2 + fm.ascent();
    for (QChar c : text) {
        const double adv = c.isDigit() ? cell : fm.horizontalAdvance(c);
        p.drawText(QPointF(x + (adv - fm.horizontalAdvance(c)) / 2, base), QString(c));
        x += adv;
    }
}

void paint_capsule_look(QPainter& p, const QRectF& rect, double radius)
{
    p.setPen(QPen(util::rgba(1, 1, 1, 0.14), 0.5));
    p.setBrush(capsule_fill());
    p.drawRoundedRect(rect.adjusted(0.25, 0.25, -0.25, -0.25), radius, radius);
}

QIcon stop_icon()
{
    QImage img(64, 64, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(red());
    p.drawEllipse(QRectF(2, 2, 60, 60));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(21, 21, 22, 22), 3, 3);
    return QIcon(QPixmap::fromImage(img));
}

} // namespace

// --- Layout -----------------------------------------------------------------------

CapsuleLayout capsule_layout(double time_w, double time_h, double label_w, double label_h)
{
    CapsuleLayout l;
    const double tw = std::ceil(std::max(time_w, 40.0));
    // The rules are written from the bottom; these rectangles are top-down.
    const double ty = std::round((CAPSULE_HEIGHT - time_h) / 2);
    l.dot = { 14, CAPSULE_HEIGHT - 13 - 10, 10, 10 };
    l.time = { 32, CAPSULE_HEIGHT - ty - time_h, tw + 14, time_h };
    l.separator = { tw + 44, CAPSULE_HEIGHT - 9 - 18, 1, 18 };
    const double bx = tw + 51;
    const double bw = std::ceil(label_w + 41);
    l.button = { bx, CAPSULE_HEIGHT - 4 - 28, bw, 28 };
    l.stop_square = { 12, 28 - 9 - 10, 10, 10 };
    const double ly = std::round((28 - label_h) / 2);
    l.stop_label = { 29, 28 - ly - label_h, std::ceil(label_w), label_h };
    l.width = bx + bw + 4;
    return l;
}

platform::RectF outline_frame(const platform::RectF& area)
{
    return { area.x - 4, area.y - 4, area.w + 8, area.h + 8 };
}

platform::PointF capsule_origin(const platform::RectF& area, const platform::RectF& outline, const platform::RectF& visible,
    double cw, double ch, bool has_region)
{
    if (!has_region)
        return { std::round(area.x + (area.w - cw) / 2), visible.y + 24 };
    const double lo = visible.x + 8;
    const double hi = std::max(visible.x + visible.w - cw - 8, lo);
    const double x = std::clamp(outline.x + outline.w / 2 - cw / 2, lo, hi);
    double y = outline.y - 12 - ch;
    if (y < visible.y + 8) {
        const double above = outline.y + outline.h + 12;
        y = above + ch <= visible.y + visible.h - 8 ? above : std::max(outline.y, visible.y) + 24;
    }
    return { std::round(x), std::round(y) };
}

double button_alpha(bool pressed, bool hovered)
{
    return pressed ? 0.30 : hovered ? 0.22 : 0.12;
}

// --- The capsule's view -----------------------------------------------------------

VistropeRecordControls::VistropeRecordControls()
{
    const QFontMetricsF time_fm(time_font());
    const QFontMetricsF stop_fm(stop_font());
    m_layout = capsule_layout(tabular_width(time_font(), "00:00"), time_fm.height(), stop_fm.horizontalAdvance("Detener"),
        stop_fm.height());
    resize(static_cast<int>(m_layout.width), static_cast<int>(CAPSULE_HEIGHT));
    setMouseTracking(true);
    setAttribute(Qt::WA_TranslucentBackground);
    // The dot fades from 1 to 0.3 and back over 1.8 s.
    m_pulse_timer = new QTimer(this);
    m_pulse_timer->setInterval(33);
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    connect(m_pulse_timer, &QTimer::timeout, this, [this, clock] {
        const double phase = std::fmod(clock->elapsed() / 900.0, 2.0);
        const double k = phase <= 1 ? phase : 2 - phase;
        m_pulse = 1.0 - 0.7 * k;
        update(q(m_layout.dot).toAlignedRect().adjusted(-1, -1, 1, 1));
    });
    m_pulse_timer->start();
}

VistropeRecordControls::~VistropeRecordControls() = default;

void VistropeRecordControls::set_time(const QString& text)
{
    if (text == m_time)
        return;
    m_time = text;
    update();
}

void VistropeRecordControls::set_hovered(bool hovered)
{
    if (hovered == m_hovered)
        return;
    m_hovered = hovered;
    update();
}

bool VistropeRecordControls::on_button(const QPointF& p) const
{
    const QRectF b = q(m_layout.button);
    return p.x() >= b.left() && p.x() <= b.right() && p.y() >= b.top() && p.y() <= b.bottom();
}

void VistropeRecordControls::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    paint_capsule_look(p, QRectF(0, 0, width(), CAPSULE_HEIGHT), 18);
    p.setPen(Qt::NoPen);
    QColor dot = red();
    dot.setAlphaF(static_cast<float>(m_pulse));
    p.setBrush(dot);
    p.drawEllipse(q(m_layout.dot));
    p.setBrush(util::rgba(1, 1, 1, 0.18));
    p.drawRect(q(m_layout.separator));
    // The pulsing dot repaints alone many times a second: the texts are
    // laid out only when their part is repainted.
    const QRect dirty = event->rect();
    const QRectF b = q(m_layout.button);
    if (!dirty.intersects(b.toAlignedRect()) && !dirty.intersects(q(m_layout.time).toAlignedRect()))
        return;
    p.setBrush(util::rgba(1, 1, 1, button_alpha(m_pressed, m_hovered)));
    p.drawRoundedRect(b, 14, 14);
    p.setBrush(red());
    p.drawRoundedRect(q(m_layout.stop_square).translated(b.topLeft()), 2.5, 2.5);
    p.setPen(Qt::white);
    p.setFont(stop_font());
    p.drawText(q(m_layout.stop_label).translated(b.topLeft()), Qt::AlignVCenter | Qt::AlignLeft, "Detener");
    p.setFont(time_font());
    QRectF t = q(m_layout.time);
    t.setWidth(t.width() - 14);
    draw_tabular(p, t, m_time);
}

void VistropeRecordControls::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (on_button(event->position())) {
        m_pressed = true;
        update();
        return;
    }
    // The window manager's move when it offers one, else by hand.
    if (window()->windowHandle() && window()->windowHandle()->startSystemMove())
        return;
    m_drag = event->globalPosition().toPoint() - window()->pos();
}

void VistropeRecordControls::mouseMoveEvent(QMouseEvent* event)
{
    if (m_drag) {
        window()->move(event->globalPosition().toPoint() - *m_drag);
        return;
    }
    set_hovered(on_button(event->position()));
}

void VistropeRecordControls::mouseReleaseEvent(QMouseEvent* event)
{
    m_drag.reset();
    const bool was = std::exchange(m_pressed, false);
    update();
    if (was && on_button(event->position()))
        recorder::stop();
}

void VistropeRecordControls::leaveEvent(QEvent*)
{
    set_hovered(false);
}

// --- The outline ------------------------------------------------------------------

class OutlineView final : public QWidget {
public:
    explicit OutlineView(bool ring)
        : m_ring(ring)
    {
        setAttribute(Qt::WA_TranslucentBackground);
    }

    void set_count(std::uint32_t n)
    {
        m_count = n;
        reshape();
        update();
    }
    std::uint32_t count() const { return m_count; }

    QRectF square() const { return { (width() - 120) / 2.0, (height() - 120) / 2.0, 120, 120 }; }

    // The panel's shape keeps only the ring and the square: without a
    // compositor it would otherwise paint over the region, and with one the
    // recording would still have to repaint everything under the panel on
    // every frame to leave it out (a whole-screen outline spans the screen).
    void reshape()
    {
        QRegion shape;
        if (m_ring)
            shape = QRegion(rect()).subtracted(QRegion(rect().adjusted(5, 5, -5, -5)));
        if (m_count > 0) {
            QPainterPath rounded;
            rounded.addRoundedRect(square(), 26, 26);
            shape = shape.united(QRegion(rounded.toFillPolygon().toPolygon()));
        }
        if (shape.isEmpty())
            shape = QRegion(0, 0, 1, 1);
        window()->setMask(shape);
    }

protected:
    void resizeEvent(QResizeEvent*) override { reshape(); }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        if (m_ring) {
            const QRectF path(2.5, 2.5, width() - 5, height() - 5);
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(util::rgba(0, 0, 0, 0.35), 2.5));
            p.drawRect(path);
            QPen dash(util::rgba(1, 1, 1, 0.95), 1.5);
            dash.setDashPattern({ 6 / 1.5, 4 / 1.5 });
            p.setPen(dash);
            p.drawRect(path);
        }
        if (m_count > 0) {
            paint_capsule_look(p, square(), 26);
            p.setPen(Qt::white);
            p.setFont(countdown_font());
            draw_tabular(p, square(), QString::number(m_count));
        }
    }

private:
    bool m_ring;
    std::uint32_t m_count = 0;
};

// --- Ui ---------------------------------------------------------------------------

std::unique_ptr<Ui> Ui::create(const platform::RectF& area, const platform::RectF& visible, bool has_region)
{
    std::unique_ptr<Ui> ui(new Ui());
    ui->m_has_region = has_region;
    const platform::RectF frame = outline_frame(area);
    QWidget* shell = hud::panel(frame, true);
    // The panel's own widget is the outline: replace the plain one hud made.
    auto* outline = new OutlineView(has_region);
    outline->setParent(shell);
    outline->setGeometry(0, 0, shell->width(), shell->height());
    ui->m_outline = outline;
    outline->reshape();

    ui->m_controls = new VistropeRecordControls();
    const double cw = ui->m_controls->width();
    const platform::PointF at = capsule_origin(area, frame, visible, cw, CAPSULE_HEIGHT, has_region);
    QWidget* capsule = hud::panel({ at.x, at.y, cw, CAPSULE_HEIGHT }, false);
    ui->m_controls->setParent(capsule);
    ui->m_controls->move(0, 0);
    if (!platform::compositor_running()) {
        QPainterPath shape;
        shape.addRoundedRect(QRectF(0, 0, cw, CAPSULE_HEIGHT), 18, 18);
        capsule->setMask(QRegion(shape.toFillPolygon().toPolygon()));
    }
    ui->m_capsule = capsule;

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        ui->m_status = new QSystemTrayIcon(stop_icon());
        ui->m_status->setToolTip(" 00:00");
        QObject::connect(ui->m_status, &QSystemTrayIcon::activated, [](QSystemTrayIcon::ActivationReason) { recorder::stop(); });
    } else {
        util::log("grabación: no hay bandeja del sistema; la grabación sigue sin su icono");
    }
    return ui;
}

Ui::~Ui()
{
    close();
    // A press on the capsule or the status item may be what ends the
    // recording: the widgets go once their event is handled.
    if (m_outline)
        m_outline->window()->deleteLater();
    if (m_capsule)
        m_capsule->deleteLater();
    if (m_status)
        m_status->deleteLater();
}

QWidget* Ui::outline() const
{
    return m_outline ? m_outline->window() : nullptr;
}

void Ui::show_countdown(std::uint32_t n)
{
    if (!m_outline)
        return;
    m_outline->set_count(n);
    QWidget* shell = m_outline->window();
    if (n > 0) {
        // A countdown says itself that nothing is recorded yet; its capsule
        // is there to cancel it.
        shell->show();
        shell->raise();
        if (m_capsule)
            m_capsule->show();
        platform::restack_panels();
    } else if (!m_has_region) {
        shell->hide();
        platform::release_backing_store(shell); // a screenful, unused until the end
    }
}

void Ui::set_time(const std::string& text)
{
    // The first time comes with the first frame: only then do the outline,
    // the capsule and the status item say that the area is being recorded
    // (a countdown has shown the first two, with its number).
    if (!std::exchange(m_announced, true)) {
        if (m_has_region && m_outline)
            m_outline->window()->show();
        if (m_capsule)
            m_capsule->show();
        platform::restack_panels();
        if (m_status)
            m_status->show();
    }
    if (m_controls)
        m_controls->set_time(QString::fromStdString(text));
    // Trays show no text beside an icon; the title goes to the tooltip.
    if (m_status)
        m_status->setToolTip(QString::fromStdString(" " + text));
    if (!m_has_region && m_outline) {
        m_outline->window()->hide();
        platform::release_backing_store(m_outline->window());
    }
}

void Ui::hide()
{
    if (m_outline)
        m_outline->window()->hide();
    if (m_capsule)
        m_capsule->hide();
    if (m_status)
        m_status->hide();
}

void Ui::close()
{
    hide();
}

void Ui::click_status_item()
{
    if (m_status)
        m_status->activated(QSystemTrayIcon::Trigger);
    else
        recorder::stop();
}

} // namespace recorder
