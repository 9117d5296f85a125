#include "cards/pin.h"

#include "cards/quick_access.h"

#include "base/util.h"
#include "base/util_queue.h"
#include "capture/output.h"
#include "editor/mod.h"
#include "platform/panels.h"
#include "platform/screens.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QTimer>
#include <QWheelEvent>
#include <QWindow>

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace pin {

namespace {

constexpr int PIN_LEVEL = 3;       // the floating-window level
constexpr double CORNER_RADIUS = 4;

std::vector<VistropePinPanel*>& list()
{
    util::require_main_thread("hilo principal");
    static std::vector<VistropePinPanel*> panels;
    return panels;
}

void forget(VistropePinPanel* panel)
{
    auto& l = list();
    l.erase(std::remove(l.begin(), l.end(), panel), l.end());
}

QPainterPath rounded(const QRectF& rect)
{
    QPainterPath path;
    path.addRoundedRect(rect, CORNER_RADIUS, CORNER_RADIUS);
    return path;
}

// The character a key press stands for, with Shift applied and any other
// modifier ignored. On X11 the native virtual key is the keysym, which for
// printable ASCII is the character itself; elsewhere (tests on the offscreen
// platform) the text or the Qt key.
std::string key_chars(const QKeyEvent* event)
{
    const quint32 keysym = event->nativeVirtualKey();
    if (keysym >= 0x20 && keysym <= 0x7e)
        return std::string(1, static_cast<char>(keysym));
    const QString text = event->text();
    if (text.size() == 1 && text[0].unicode() >= 0x20 && text[0].unicode() <= 0x7e)
        return text.toStdString();
    const int key = event->key();
    if (key >= Qt::Key_A && key <= Qt::Key_Z) {
        const char c = static_cast<char>('a' + (key - Qt::Key_A));
        return std::string(1, event->modifiers() & Qt::ShiftModifier ? static_cast<char>(c - 'a' + 'A') : c);
    }
    if (key >= 0x20 && key <= 0x7e)
        return std::string(1, static_cast<char>(key));
    return text.toStdString();
}

Key key_of(int qt_key)
{
    switch (qt_key) {
    case Qt::Key_Escape: return Key::Escape;
    case Qt::Key_Left: return Key::Left;
    case Qt::Key_Right: return Key::Right;
    case Qt::Key_Down: return Key::Down;
    case Qt::Key_Up: return Key::Up;
    default: return Key::Other;
    }
}

} // namespace

void keep_cards_above()
{
    // Pins stand below the after-capture cards: the cards go back above the
    // pin. Nothing else is raised (a toast fading out ignores the pointer
    // and must stay as it is).
    for (VistropeQuickCard* card : quick_access::cards())
        if (card->isVisible() && !card->closed())
            card->raise();
}

void pin(QImage image, double scale)
{
    if (image.isNull()) {
        util::log("fijar: no hay imagen que fijar");
        return;
    }
    const std::optional<platform::Screen> screen = platform::screen_of_pointer();
    if (!screen)
        return;
    const Start s = start(image.width(), image.height(), scale, screen->visible_frame);
    std::vector<platform::RectF> earlier;
    for (const VistropePinPanel* other : list())
        earlier.push_back(platform::window_frame(other->geometry()));
    auto* panel = new VistropePinPanel(std::move(image), s.record);
    panel->setGeometry(platform::window_rect(clear_of(s.frame, earlier, screen->visible_frame)));
    panel->show();
    panel->raise();
    panel->activateWindow();
    keep_cards_above();
    panel->view()->setFocus(Qt::OtherFocusReason);
    list().push_back(panel);
}

void unlock_all()
{
    for (VistropePinPanel* panel : list())
        panel->view()->unlock();
}

void close_all()
{
    const std::vector<VistropePinPanel*> closing = std::exchange(list(), {});
    for (VistropePinPanel* panel : closing) {
        panel->hide();
        panel->deleteLater();
    }
}

const std::vector<VistropePinPanel*>& pins()
{
    return list();
}

} // namespace pin

VistropePinPanel::VistropePinPanel(QImage image, const pin::Record& record)
    : m_view(new VistropePinView(std::move(image), record, this))
{
    platform::make_panel(this, pin::PIN_LEVEL, platform::Mouse::Accepts, platform::Focus::Accepts);
    setFocusPolicy(Qt::StrongFocus);
    setFocusProxy(m_view);
}

void VistropePinPanel::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // The window manager raises the pin it activates over the cards too.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        pin::keep_cards_above();
}

void VistropePinPanel::resizeEvent(QResizeEvent* event)
{
    m_view->setGeometry(rect());
    // Without a compositor the panel cannot be transparent: cut it to its
    // rounded shape instead.
    if (!platform::compositor_running())
        setMask(QRegion(pin::rounded(QRectF(rect())).toFillPolygon().toPolygon()));
    QWidget::resizeEvent(event);
}

VistropePinView::VistropePinView(QImage image, const pin::Record& record, VistropePinPanel* panel)
    : QWidget(panel)
    , m_image(std::move(image))
    , m_record(record)
    , m_panel(panel)
{
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_AcceptTouchEvents, false);
    setMouseTracking(false);
}

void VistropePinView::set_zoom(double zoom)
{
    zoom = pin::clamp_zoom(m_record, zoom);
    m_record.zoom = zoom;
    if (!m_panel->windowHandle())
        return;
    const platform::RectF frame = pin::zoomed_frame(m_record, platform::window_frame(m_panel->geometry()), zoom);
    m_panel->setGeometry(platform::window_rect(frame));
}

void VistropePinView::copy()
{
    output::copy_png(output::encode(m_image, m_record.scale));
}

void VistropePinView::save()
{
    const auto saved = output::save_image(m_image, m_record.scale);
    if (saved)
        util::log("guardada en " + saved->string());
    else
        util::log("no pude guardar: " + saved.error());
}

void VistropePinView::annotate()
{
    editor::open(m_image, m_record.scale);
    close_pin();
}

void VistropePinView::lock()
{
    m_locked = true;
    m_press.reset();
    platform::set_ignores_mouse(m_panel, platform::Mouse::Ignores);
}

void VistropePinView::unlock()
{
    m_locked = false;
    platform::set_ignores_mouse(m_panel, platform::Mouse::Accepts);
}

void VistropePinView::close_pin()
{
    pin::forget(m_panel);
    m_panel->hide();
    m_panel->deleteLater();
}

void VistropePinView::make_key()
{
    m_panel->show();
    m_panel->raise();
    m_panel->activateWindow();
    pin::keep_cards_above();
    setFocus(Qt::MouseFocusReason);
}

void VistropePinView::set_opacity(double opacity)
{
    if (!platform::compositor_running()) {
        static bool said = false;
        if (!said)
            util::log("fijar: sin compositor la transparencia de las capturas fijadas no se ve");
        said = true;
    }
    m_panel->setWindowOpacity(opacity);
}

namespace pin {
namespace {

// The image in the pin's rounded shape with its thin border, at a size in
// points, drawn by `draw_image` into the painter's clip.
void paint_pin(QPainter& p, const QSizeF& size, const std::function<void(QPainter&, const QRectF&)>& draw_image)
{
    const QRectF bounds(QPointF(0, 0), size);
    p.setRenderHint(QPainter::Antialiasing);
    p.save();
    p.setClipPath(rounded(bounds), Qt::IntersectClip);
    draw_image(p, bounds);
    p.restore();
    p.setPen(QPen(util::rgba(0.5, 0.5, 0.5, 0.35), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(rounded(bounds.adjusted(0.5, 0.5, -0.5, -0.5)));
}

} // namespace
} // namespace pin

QImage VistropePinView::finished(const QImage& image, QSize device, qreal dpr)
{
    // The smoothly scaled image is the finished pin itself: only its four
    // corners are cut (cleared by how much of each pixel lies outside the
    // rounded shape) and its border drawn. Clipping the whole image to the
    // rounded path instead would blend every pixel through a mask, and a
    // second full-size copy would cost as much again.
    QImage out = image.scaled(device, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (out.format() != QImage::Format_ARGB32_Premultiplied)
        out.convertTo(QImage::Format_ARGB32_Premultiplied);
    out.setDevicePixelRatio(dpr);
    const QSizeF size = QSizeF(device) / dpr;
    const QRectF bounds(QPointF(0, 0), size);
    QPainter p(&out);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    const double r = pin::CORNER_RADIUS + 1;
    for (const QPointF& at : { bounds.topLeft(), QPointF(size.width() - r, 0), QPointF(0, size.height() - r),
             QPointF(size.width() - r, size.height() - r) }) {
        QPainterPath outside;
        outside.addRect(QRectF(at, QSizeF(r, r)));
        p.drawPath(outside.subtracted(pin::rounded(bounds)));
    }
    // The border: its rounded corners drawn, its straight edges blended into
    // the outermost pixels directly (a painter's one-pixel column costs a
    // call per row, half a millisecond down a 4K pin's sides).
    const QColor border = util::rgba(0.5, 0.5, 0.5, 0.35);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setPen(QPen(border, 1));
    p.setBrush(Qt::NoBrush);
    const QRectF e = bounds.adjusted(0.5, 0.5, -0.5, -0.5);
    const double d = 2 * pin::CORNER_RADIUS;
    // Each arc is kept to its corner's square (k device pixels a side), where
    // the straight edges begin: its ends would otherwise blend a pixel twice.
    const int t = std::max(1, int(std::lround(dpr)));
    const int k = int(std::lround((pin::CORNER_RADIUS + 0.5) * dpr));
    const double side = k / dpr;
    const auto arc = [&](double x, double y, double clip_x, double clip_y, int start) {
        p.setClipRect(QRectF(clip_x, clip_y, side, side));
        p.drawArc(QRectF(x, y, d, d), start * 16, 90 * 16);
    };
    arc(e.left(), e.top(), 0, 0, 90);
    arc(e.right() - d, e.top(), size.width() - side, 0, 0);
    arc(e.left(), e.bottom() - d, 0, size.height() - side, 180);
    arc(e.right() - d, e.bottom() - d, size.width() - side, size.height() - side, 270);
    p.end();
    const QRgb colour = qPremultiply(border.rgba());
    const unsigned keep = 255 - qAlpha(colour);
    const auto blend = [&](int x0, int y0, int x1, int y1) {
        for (int y = std::max(y0, 0); y < std::min(y1, out.height()); ++y) {
            auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
            for (int x = std::max(x0, 0); x < std::min(x1, out.width()); ++x) {
                const QRgb v = row[x];
                const auto mix = [&](int shift) { return ((colour >> shift) & 0xff) + (((v >> shift) & 0xff) * keep + 127) / 255; };
                row[x] = (mix(24) << 24) | (mix(16) << 16) | (mix(8) << 8) | mix(0);
            }
        }
    };
    const int w = out.width(), h = out.height();
    blend(k, 0, w - k, t);
    blend(k, h - t, w - k, h);
    blend(0, k, t, h - k);
    blend(w - t, k, w, h - k);
    return out;
}

void VistropePinView::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    p.setClipRegion(event->region());
    if (m_record.zoom > 1) {
        // Above 100 % a kept copy would grow with the zoom's square (a 4K
        // capture at 4× is over half a gigabyte); draw the exposed part only.
        m_cache = QPixmap();
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        pin::paint_pin(p, size(), [&](QPainter& q, const QRectF& bounds) { q.drawImage(bounds, m_image); });
        return;
    }
    // At or below 100 % the finished pin (the image scaled smoothly to the
    // view's device pixels, rounded, bordered) is kept, and a repaint is one
    // blit.
    const qreal dpr = devicePixelRatioF();
    const QSize device(std::lround(width() * dpr), std::lround(height() * dpr));
    // The kept copy holds the corners' transparency itself: copy, don't blend.
    p.setCompositionMode(QPainter::CompositionMode_Source);
    if (m_cache.size() == device) {
        p.drawPixmap(0, 0, m_cache);
        return;
    }
    if (m_cache.isNull()) {
        m_cache = QPixmap::fromImage(finished(m_image, device, dpr));
        p.drawPixmap(0, 0, m_cache);
        return;
    }
    // A zoom step: the old copy stretched (nearest pixels: a bilinear pass
    // over a 4K pin costs a frame) stands in while the smooth one for the
    // new size is made on the background pool.
    p.drawPixmap(QRectF(rect()), m_cache, QRectF(m_cache.rect()));
    if (m_pending == device)
        return;
    m_pending = device;
    // The smooth pass starts once this frame has gone to the screen: started
    // now, its threads would take the cores the frame still needs. A step
    // that came before it started makes it for the newest size only.
    QPointer<VistropePinView> self(this);
    QTimer::singleShot(0, this, [self, device, dpr] {
        if (!self || self->m_pending != device)
            return;
        util::in_background([self, image = self->m_image, device, dpr] {
            QImage done = finished(image, device, dpr);
            util::on_main([self, done = std::move(done), device]() mutable {
                if (!self || self->m_pending != device)
                    return;
                self->m_pending = QSize();
                if (self->m_record.zoom > 1)
                    return;
                self->m_cache = QPixmap::fromImage(std::move(done));
                self->update();
            });
        });
    });
}

void VistropePinView::mousePressEvent(QMouseEvent* event)
{
    make_key();
    if (event->button() != Qt::LeftButton)
        return;
    // The pin follows the pointer's deltas while the button is down. The
    // window manager's own move (_NET_WM_MOVERESIZE) is not used: it starts
    // from wherever the pointer is when the manager reads the request, so
    // the pin lags the pointer, and a quick click whose release arrives
    // first leaves the manager moving the pin until the next click.
    m_press = event->globalPosition().toPoint();
    m_panel_at_press = m_panel->pos();
}

void VistropePinView::mouseMoveEvent(QMouseEvent* event)
{
    if (m_press)
        m_panel->move(m_panel_at_press + (event->globalPosition().toPoint() - *m_press));
}

void VistropePinView::mouseReleaseEvent(QMouseEvent*)
{
    m_press.reset();
}

void VistropePinView::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        close_pin();
}

void VistropePinView::wheelEvent(QWheelEvent* event)
{
    const QPoint pixels = event->pixelDelta();
    const double zoom = pixels.isNull() ? pin::wheel_zoom(m_record.zoom, event->angleDelta().y() / 120.0, pin::Wheel::Notches)
                                        : pin::wheel_zoom(m_record.zoom, pixels.y(), pin::Wheel::Precise);
    set_zoom(zoom);
    event->accept();
}

bool VistropePinView::event(QEvent* event)
{
    if (event->type() == QEvent::NativeGesture) {
        const auto* gesture = static_cast<QNativeGestureEvent*>(event);
        if (gesture->gestureType() == Qt::ZoomNativeGesture) {
            set_zoom(m_record.zoom * (1 + gesture->value()));
            return true;
        }
    }
    return QWidget::event(event);
}

void VistropePinView::keyPressEvent(QKeyEvent* event)
{
    pin::KeyPress press;
    press.key = pin::key_of(event->key());
    press.chars = pin::key_chars(event);
    press.shift = event->modifiers() & Qt::ShiftModifier;
    press.command = event->modifiers() & Qt::ControlModifier;
    const pin::KeyResult r = pin::key_action(press);
    switch (r.action) {
    case pin::KeyAction::None: QWidget::keyPressEvent(event); return;
    case pin::KeyAction::Close: close_pin(); break;
    case pin::KeyAction::Copy: copy(); break;
    case pin::KeyAction::Save: save(); break;
    case pin::KeyAction::Annotate: annotate(); break;
    case pin::KeyAction::Move:
        // Up is towards the top of the screen: smaller y in Qt's terms.
        m_panel->move(m_panel->pos() + QPoint(static_cast<int>(r.dx), static_cast<int>(-r.dy)));
        break;
    case pin::KeyAction::ZoomIn: set_zoom(m_record.zoom * pin::KEY_ZOOM); break;
    case pin::KeyAction::ZoomOut: set_zoom(m_record.zoom / pin::KEY_ZOOM); break;
    case pin::KeyAction::Opacity: set_opacity(r.opacity); break;
    }
    event->accept();
}

void VistropePinView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu;
    menu.addAction(QStringLiteral("Copiar"), this, [this] { copy(); });
    menu.addAction(QStringLiteral("Guardar"), this, [this] { save(); });
    menu.addAction(QStringLiteral("Anotar"), this, [this] { annotate(); });
    menu.addSeparator();
    menu.addAction(QStringLiteral("Tamaño real"), this, [this] { set_zoom(1.0); });
    menu.addAction(QStringLiteral("Bloquear (los clics pasan a través)"), this, [this] { lock(); });
    menu.addSeparator();
    menu.addAction(QStringLiteral("Cerrar"), this, [this] { close_pin(); });
    menu.addAction(QStringLiteral("Cerrar todas"), this, [] { pin::close_all(); });
    menu.exec(event->globalPos());
    event->accept();
}
