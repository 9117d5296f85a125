// The session's windows: the dashed outline around the region, the control
// capsule and the preview strip, and the keys that finish or cancel.
#include "scroll/scroll_session.h"

#include "base/hotkeys.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "platform/screens.h"
#include "platform/panels.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>

#include <fmt/format.h>

#include <array>
#include <expected>
#include <cmath>

namespace scroll {

namespace {

constexpr double CAPSULE_HEIGHT = 36;
constexpr double PREVIEW_WIDTH = 92;

QWidget* make_panel(QWidget* w, const platform::RectF& frame, bool ignores_mouse)
{
    platform::make_panel(w, hud::PANEL_LEVEL, ignores_mouse ? platform::Mouse::Ignores : platform::Mouse::Accepts);
    w->setGeometry(platform::window_rect(frame));
    return w;
}

// The dashed ring, in a window 4 points larger than the region on every side.
class Outline final : public QWidget {
public:
    Outline()
    {
        setAttribute(Qt::WA_TranslucentBackground, true);
    }

protected:
    void showEvent(QShowEvent*) override
    {
        // Without a compositor the window would be opaque: keep only the
        // ring, so the region itself is never covered.
        if (!platform::compositor_running())
            setMask(QRegion(rect()).subtracted(QRegion(rect().adjusted(5, 5, -5, -5))));
    }

    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing, true);
        const QRectF ring(2.5, 2.5, width() - 5.0, height() - 5.0);
        QPen under(QColor::fromRgbF(0, 0, 0, 0.35), 2.5);
        p.setPen(under);
        p.drawRect(ring);
        // Qt counts dashes in pen widths: 6 and 4 points at width 1.5.
        QPen over(QColor::fromRgbF(1, 1, 1, 0.95), 1.5);
        over.setDashPattern({ 6 / 1.5, 4 / 1.5 });
        p.setPen(over);
        p.drawRect(ring);
    }
};

// The preview strip's image.
class PreviewImage final : public QWidget {
public:
    explicit PreviewImage(QWidget* parent)
        : QWidget(parent)
    {
    }
    void set(const QImage& image)
    {
        m_image = image;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::SmoothPixmapTransform, true);
        p.setRenderHint(QPainter::Antialiasing, true);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(rect()), 3, 3);
        p.setClipPath(clip);
        p.drawImage(QRectF(rect()), m_image);
    }

private:
    QImage m_image;
};

const std::array<const char*, 3> BUTTON_TEXTS = { "Auto", "Cancelar", "Listo" };

QFont capsule_font(QFont::Weight weight)
{
    QFont f = QApplication::font();
    f.setPixelSize(13);
    f.setWeight(weight);
    return f;
}

} // namespace

// The capsule's one view: label, separator and buttons, painted and hit-tested here.
class Controls final : public QWidget {
public:
    Controls()
    {
        setObjectName("VistropeScrollControls");
        setMouseTracking(true);
        m_label_font = capsule_font(QFont::Medium);
        const QFontMetricsF label_metrics(m_label_font);
        // Qt has no tabular digits: the label is as wide as its widest text.
        double label_w = 0;
        for (const QString& t : { status_text(888, false), status_text(0, true), status_text(0, false) })
            label_w = std::max(label_w, label_metrics.horizontalAdvance(t));
        m_label_w = std::ceil(label_w);
        m_label_h = std::ceil(label_metrics.height());
        m_separator = QRectF(m_label_w + 26, 9, 1, 18);
        double x = m_label_w + 33;
        for (int i = 0; i < 3; ++i) {
            Button& b = m_buttons[std::size_t(i)];
            b.font = capsule_font(i == 2 ? QFont::DemiBold : QFont::Medium);
            const double w = QFontMetricsF(b.font).horizontalAdvance(BUTTON_TEXTS[std::size_t(i)]);
            b.frame = QRectF(x, 4, std::ceil(w + 24), 28);
            x += b.frame.width() + 4;
        }
        setFixedSize(int(std::ceil(x + 2)), int(CAPSULE_HEIGHT));
    }

    void set_status(const QString& text, bool warn, bool auto_on)
    {
        m_text = text;
        m_warn = warn;
        m_auto_on = auto_on;
        update();
    }

    QRectF button_frame(int i) const { return m_buttons[std::size_t(i)].frame; }
    const QString& text() const { return m_text; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setFont(m_label_font);
        p.setPen(m_warn ? QColor(255, 149, 0) : Qt::white);
        p.drawText(QRectF(16, std::round((CAPSULE_HEIGHT - m_label_h) / 2), m_label_w + 4, m_label_h),
            Qt::AlignLeft | Qt::AlignVCenter, m_text);
        p.fillRect(m_separator, QColor::fromRgbF(1, 1, 1, 0.18));
        for (int i = 0; i < 3; ++i) {
            const Button& b = m_buttons[std::size_t(i)];
            p.setPen(Qt::NoPen);
            p.setBrush(button_colour(i, m_auto_on, m_hover == i, m_pressed == i));
            p.drawRoundedRect(b.frame, 14, 14);
            p.setPen(Qt::white);
            p.setFont(b.font);
            p.drawText(b.frame, Qt::AlignCenter, BUTTON_TEXTS[std::size_t(i)]);
        }
    }

    void mousePressEvent(QMouseEvent* e) override
    {
        m_pressed = button_at(e->position());
        if (m_pressed < 0)
            m_drag = e->globalPosition().toPoint() - window()->pos(); // the panel moves by hand
        update();
    }

    void mouseMoveEvent(QMouseEvent* e) override
    {
        if (m_drag && (e->buttons() & Qt::LeftButton)) {
            window()->move(e->globalPosition().toPoint() - *m_drag);
            return;
        }
        const int hover = button_at(e->position());
        if (hover != m_hover) {
            m_hover = hover;
            update();
        }
    }

    void mouseReleaseEvent(QMouseEvent* e) override
    {
        const int pressed = std::exchange(m_pressed, -1);
        m_drag.reset();
        update();
        if (pressed < 0 || button_at(e->position()) != pressed)
            return; // released elsewhere
        // The next turn: the action may close this very window.
        util::after(0, [pressed] {
            if (pressed == 0)
                toggle_auto();
            else if (pressed == 1)
                cancel();
            else
                finish();
        });
    }

    void leaveEvent(QEvent*) override
    {
        m_hover = -1;
        update();
    }

private:
    struct Button {
        QRectF frame;
        QFont font;
    };

    int button_at(QPointF at) const
    {
        for (int i = 0; i < 3; ++i) {
            const QRectF& f = m_buttons[std::size_t(i)].frame;
            // Edges count as inside.
            if (at.x() >= f.left() && at.x() <= f.right() && at.y() >= f.top() && at.y() <= f.bottom())
                return i;
        }
        return -1;
    }

    QFont m_label_font;
    double m_label_w = 0;
    double m_label_h = 0;
    QRectF m_separator;
    std::array<Button, 3> m_buttons;
    QString m_text;
    bool m_warn = false;
    bool m_auto_on = false;
    int m_hover = -1;
    int m_pressed = -1;
    std::optional<QPoint> m_drag;
};

namespace {

// Return, Enter and Escape typed into the program's own windows: swallowed.
class LocalKeys final : public QObject {
public:
    explicit LocalKeys(std::uint64_t id)
        : m_id(id)
    {
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
            return false;
        const int key = static_cast<QKeyEvent*>(event)->key();
        const bool done = key == Qt::Key_Return || key == Qt::Key_Enter;
        if (!done && key != Qt::Key_Escape)
            return false;
        if (event->type() == QEvent::KeyPress && live(m_id))
            util::on_main(done ? finish : cancel);
        return true;
    }

private:
    std::uint64_t m_id;
};

} // namespace

platform::RectF outline_rect(const platform::RectF& r)
{
    return { r.x - 4, r.y - 4, r.w + 8, r.h + 8 };
}

platform::PointF capsule_origin(const platform::RectF& o, const platform::RectF& v, double w)
{
    const double h = CAPSULE_HEIGHT;
    const double lo = v.x + 8;
    const double hi = std::max(v.x + v.w - w - 8, lo);
    const double x = std::clamp(o.x + o.w / 2 - w / 2, lo, hi);
    double y;
    if (o.y - 12 - h >= v.y + 8)
        y = o.y - 12 - h; // below
    else if (o.y + o.h + 12 + h <= v.y + v.h - 8)
        y = o.y + o.h + 12; // above
    else
        y = std::max(o.y, v.y) + 24; // inside, near the bottom
    return { std::round(x), std::round(y) };
}

std::optional<platform::RectF> preview_rect(const platform::RectF& o, const platform::RectF& v)
{
    const double ph = std::clamp(o.h, 120.0, 420.0);
    double x = o.x + o.w + 10;
    if (x + PREVIEW_WIDTH > v.x + v.w - 8) {
        x = o.x - 102;
        if (x < v.x + 8)
            return std::nullopt;
    }
    return platform::RectF { x, std::max(o.y + o.h - ph, v.y + 8), PREVIEW_WIDTH, ph };
}

platform::RectF preview_fit(double w, double h, double pw, double ph)
{
    const double k = std::min((pw - 12) / w, (ph - 12) / h);
    const double fw = std::max(k * w, 1.0);
    const double fh = std::max(k * h, 1.0);
    // Bottom-left within the panel; top-left for Qt below.
    return { std::round((pw - fw) / 2), ph - 6 - fh, fw, fh };
}

QString status_text(std::uint64_t frames, bool slow)
{
    if (slow)
        return QStringLiteral("Desplázate más despacio");
    if (frames >= 2)
        return QStringLiteral("Desplázate… · %1 capturas").arg(frames);
    return QStringLiteral("Desplázate para capturar");
}

QColor button_colour(int index, bool auto_on, bool hovered, bool pressed)
{
    const double b = pressed ? 0.18 : hovered ? 0.10 : 0.0;
    if (index == 2)
        return QColor::fromRgbF(0.04f, 0.48f, 1.0f, float(0.85 + std::min(b, 0.15)));
    if (index == 0 && auto_on)
        return QColor::fromRgbF(0.04f, 0.48f, 1.0f, float(0.45 + b));
    return QColor::fromRgbF(1, 1, 1, float(0.12 + b));
}

Ui build_ui(const platform::RectF& screen_rect, const platform::RectF& visible)
{
    Ui ui;
    const platform::RectF o = outline_rect(screen_rect);
    ui.outline.reset(make_panel(new Outline, o, true));
    ui.outline->show();

    auto* controls = new Controls;
    const platform::PointF at = capsule_origin(o, visible, controls->width());
    ui.capsule.reset(make_panel(new QWidget, { at.x, at.y, double(controls->width()), CAPSULE_HEIGHT }, false));
    hud::style_capsule(ui.capsule.get(), 18);
    controls->setParent(ui.capsule.get());
    controls->move(0, 0);
    ui.controls = controls;
    ui.capsule->show();

    if (auto r = preview_rect(o, visible)) {
        ui.preview.reset(make_panel(new QWidget, *r, true));
        hud::style_capsule(ui.preview.get(), 10);
        ui.preview_image = new PreviewImage(ui.preview.get());
        ui.preview_image->hide();
        // Shown with the first image.
    }
    platform::restack_panels();
    return ui;
}

void refresh_ui(std::uint64_t id)
{
    Session* s = live(id);
    if (!s || !s->ui.controls)
        return;
    s->ui.controls->set_status(status_text(s->frames, s->slow), s->slow, s->auto_scroll);
}

void show_preview(Session& s, const QImage& image)
{
    QWidget* panel = s.ui.preview.get();
    // preview_fit counts y from the bottom.
    const QRectF f = platform::panel_rect(preview_fit(image.width(), image.height(), panel->width(), panel->height()),
        panel->height());
    static_cast<PreviewImage*>(s.ui.preview_image)->set(image);
    s.ui.preview_image->setGeometry(int(std::lround(f.x())), int(std::lround(f.y())), int(std::lround(f.width())),
        int(std::lround(f.height())));
    s.ui.preview_image->show();
    if (!panel->isVisible()) {
        panel->show();
        platform::restack_panels();
    }
}

void hide_ui(Ui& ui)
{
    for (QWidget* w : { ui.outline.get(), ui.capsule.get(), ui.preview.get() })
        if (w)
            w->hide();
}

namespace {

// Grabs Return, keypad Enter and Escape (without modifiers, with every lock
// key combination) from every program for the session: the program that has
// the keyboard never sees them, so a Return that finishes the capture does not
// also land in its document. Fails as a whole: no grab is left behind.
std::expected<std::unique_ptr<platform::HotKeys>, std::string> grab_keys(std::uint64_t id)
{
    const std::uint32_t codes[] = { hotkeys::KEY_RETURN, hotkeys::KEY_KEYPAD_ENTER, hotkeys::KEY_ESCAPE };
    return platform::take_keys(services().create_hot_keys(), codes, [id](std::uint32_t code) {
        if (!live(id))
            return;
        if (code == hotkeys::KEY_ESCAPE)
            util::on_main(cancel);
        else
            util::on_main(finish);
    });
}

} // namespace

void install_keys(Session& s)
{
    const std::uint64_t id = s.id;
    s.local_keys = std::make_unique<LocalKeys>(id);
    qApp->installEventFilter(s.local_keys.get());
    auto grabs = grab_keys(id);
    if (grabs) {
        s.grabs = std::move(*grabs);
        return;
    }
    // Raw presses reach us too, but they do not keep the key from the
    // program that has the keyboard.
    util::log("desplazamiento: no pude tomar Intro y Escape (" + grabs.error() + "); las leo sin quitarlas");
    s.keys = services().create_raw_input();
    auto started = s.keys->start(
        [id](const platform::RawKey& key) {
            // Keys typed into our own windows come through the local filter.
            if (!live(id) || services().own_window_focused())
                return;
            if (key.code == hotkeys::KEY_RETURN || key.code == hotkeys::KEY_KEYPAD_ENTER)
                util::on_main(finish);
            else if (key.code == hotkeys::KEY_ESCAPE)
                util::on_main(cancel);
        },
        nullptr);
    if (!started) {
        util::log("desplazamiento: sin teclas globales: " + started.error());
        s.keys.reset();
    }
}

// Tests reach the capsule through these.
QWidget* capsule_controls()
{
    Session* s = live();
    return s ? s->ui.controls : nullptr;
}

QRectF capsule_button(int index)
{
    Session* s = live();
    return s && s->ui.controls ? s->ui.controls->button_frame(index) : QRectF();
}

QString capsule_text()
{
    Session* s = live();
    return s && s->ui.controls ? s->ui.controls->text() : QString();
}

} // namespace scroll
