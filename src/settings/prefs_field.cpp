// The shortcut field and the counter's stepper of the settings window.
#include "settings/prefs.h"

#include "base/hotkeys.h"
#include "platform/x11/key_positions.h"
#include "settings/widgets.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace prefs {

namespace {

constexpr std::uint32_t DELETE_KEY = 51;
constexpr std::uint32_t FORWARD_DELETE_KEY = 117;
constexpr std::uint32_t SPACE_KEY = 49;
// The clear glyph's column at the field's right end.
constexpr int CLEAR_ZONE = 24;

QFont field_font(QFont::Weight weight)
{
    QFont f = QApplication::font();
    f.setPixelSize(13);
    f.setWeight(weight);
    return f;
}

// The modifiers held so far, waiting for their key: "Ctrl+Alt+…".
std::string held_modifiers(std::uint32_t mask)
{
    return hotkeys::modifiers_text(mask) + "+…";
}

int round_half_away(double v)
{
    return static_cast<int>(std::round(v));
}

} // namespace

std::uint32_t modifiers_of(Qt::KeyboardModifiers modifiers)
{
    std::uint32_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= hotkeys::SHIFT;
    if (modifiers & Qt::AltModifier)
        mask |= hotkeys::OPTION;
    if (modifiers & Qt::ControlModifier)
        mask |= hotkeys::COMMAND;
    if (modifiers & Qt::MetaModifier)
        mask |= hotkeys::CONTROL;
    return mask;
}

std::uint32_t modifier_bit_of_key(int qt_key)
{
    switch (qt_key) {
    case Qt::Key_Shift: return hotkeys::SHIFT;
    case Qt::Key_Alt: return hotkeys::OPTION;
    case Qt::Key_Control: return hotkeys::COMMAND;
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R: return hotkeys::CONTROL;
    default: return 0;
    }
}

std::optional<std::uint32_t> virtual_code_of(const QKeyEvent& event)
{
    // On X11 the native scan code is the X keycode, evdev + 8.
    const quint32 keycode = event.nativeScanCode();
    if (keycode < 8 || keycode > 0xffff)
        return std::nullopt;
    return platform::x11::virtual_code_for_evdev(static_cast<std::uint16_t>(keycode - 8));
}

// --- ShortcutField -------------------------------------------------------------------------

ShortcutField::ShortcutField(std::string id, std::string spec, QWidget* parent)
    : QWidget(parent), m_id(std::move(id)), m_spec(std::move(spec))
{
    setFocusPolicy(Qt::StrongFocus);
    setFixedSize(150, 24);
    setToolTip(QStringLiteral("Haz clic y pulsa la nueva combinación. Esc cancela; Retroceso borra el atajo."));
}

void ShortcutField::set_spec(std::string spec)
{
    if (m_recording)
        return;
    m_spec = std::move(spec);
    update();
}

void ShortcutField::show_recording_look(bool recording, std::uint32_t modifiers)
{
    m_recording = recording;
    m_modifiers = recording ? modifiers : 0;
    update();
}

void ShortcutField::begin()
{
    // Focus first: a field that was recording loses it, cancels and registers
    // the hot keys again, which this one then releases. In a window that is
    // not active no focus event is sent, so such a field is cancelled here.
    if (window())
        setFocus(Qt::OtherFocusReason);
    if (auto u = ui())
        for (const auto& [other, label] : u->shortcut_rows)
            if (other != this && other->recording())
                other->finish(std::nullopt, Focus::Keep);
    m_recording = true;
    m_modifiers = 0;
    unregister_hot_keys();
    set_hint(HINT_RECORDING, false);
    update();
}

void ShortcutField::finish(std::optional<std::string> text, Focus focus)
{
    m_recording = false;
    m_modifiers = 0;
    update();
    if (focus == Focus::GiveUp && hasFocus())
        clearFocus();
    if (text) {
        set_shortcut(m_id, *text);
        return;
    }
    services().apply_config();
    set_hint(HINT_IDLE, false);
    if (auto u = ui())
        refresh_shortcuts(*u);
}

void ShortcutField::handle_key(QKeyEvent* event)
{
    event->accept();
    const auto code = virtual_code_of(*event);
    const std::uint32_t mask = modifiers_of(event->modifiers());
    if (mask == 0 && code) {
        if (*code == DELETE_KEY || *code == FORWARD_DELETE_KEY)
            return finish(std::string(), Focus::GiveUp);
        if (*code == hotkeys::KEY_ESCAPE)
            return finish(std::nullopt, Focus::GiveUp);
    }
    const auto name = code ? hotkeys::key_name(*code) : std::nullopt;
    if (!name) {
        services().beep();
        return set_hint(HINT_BAD_KEY, true);
    }
    if (!hotkeys::usable(mask, *name)) {
        services().beep();
        return set_hint(HINT_NEEDS_MODIFIER, true);
    }
    const std::string text = hotkeys::spec_from(mask, *name);
    if (!hotkeys::parse(text)) {
        services().beep();
        return set_hint(HINT_BAD_COMBINATION, true);
    }
    finish(text, Focus::GiveUp);
}

bool ShortcutField::event(QEvent* event)
{
    if (m_recording) {
        // Ctrl+W, Ctrl+Q and the like would otherwise go to the window's
        // shortcuts; Tab would move the focus before the key reached us.
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept();
            return true;
        }
        if (event->type() == QEvent::KeyPress) {
            keyPressEvent(static_cast<QKeyEvent*>(event));
            return true;
        }
    }
    return QWidget::event(event);
}

void ShortcutField::keyPressEvent(QKeyEvent* event)
{
    if (!m_recording) {
        const auto code = virtual_code_of(*event);
        if (code && (*code == hotkeys::KEY_RETURN || *code == SPACE_KEY) && modifiers_of(event->modifiers()) == 0) {
            event->accept();
            begin();
            return;
        }
        QWidget::keyPressEvent(event);
        return;
    }
    if (const std::uint32_t bit = modifier_bit_of_key(event->key())) {
        // X reports a modifier key's own press with the state before it.
        m_modifiers = modifiers_of(event->modifiers()) | bit;
        event->accept();
        update();
        return;
    }
    handle_key(event);
}

void ShortcutField::keyReleaseEvent(QKeyEvent* event)
{
    if (const std::uint32_t bit = modifier_bit_of_key(event->key()); m_recording && bit) {
        m_modifiers = modifiers_of(event->modifiers()) & ~bit;
        event->accept();
        update();
        return;
    }
    QWidget::keyReleaseEvent(event);
}

void ShortcutField::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    if (m_recording)
        return finish(std::nullopt, Focus::GiveUp); // a second click cancels
    if (!m_spec.empty() && event->position().x() > width() - CLEAR_ZONE)
        return set_shortcut(m_id, "");
    begin();
}

void ShortcutField::focusOutEvent(QFocusEvent* event)
{
    QWidget::focusOutEvent(event);
    // The window going to the background or a menu opening keeps the recording.
    const Qt::FocusReason why = event->reason();
    if (m_recording && why != Qt::ActiveWindowFocusReason && why != Qt::PopupFocusReason)
        finish(std::nullopt, Focus::Keep);
}

QString ShortcutField::text() const
{
    if (!m_recording)
        return m_spec.empty() ? QStringLiteral("Grabar atajo") : QString::fromStdString(hotkeys::display(m_spec));
    if (m_modifiers == 0)
        return QStringLiteral("Teclea el atajo…");
    return QString::fromStdString(held_modifiers(m_modifiers));
}

void ShortcutField::paintEvent(QPaintEvent*)
{
    const widgets::Colors& c = widgets::colors();
    const int w = width();
    const int h = height();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QColor fill = c.accent;
    fill.setAlphaF(0.12f);
    p.setBrush(m_recording ? fill : c.control_background);
    p.setPen(m_recording ? QPen(c.accent, 2) : QPen(c.separator, 1));
    p.drawRoundedRect(QRectF(1, 1, w - 2, h - 2), 6, 6);

    const bool idle_set = !m_recording && !m_spec.empty();
    const QString text = this->text();
    QColor color;
    QFont::Weight weight = QFont::Normal;
    if (!m_recording) {
        color = m_spec.empty() ? c.tertiary : c.label;
        weight = m_spec.empty() ? QFont::Normal : QFont::Medium;
    } else if (m_modifiers == 0) {
        color = c.secondary;
    } else {
        color = c.label;
        weight = QFont::Medium;
    }
    const QFont font = field_font(weight);
    const QFontMetricsF metrics(font);
    const double available = idle_set ? w - 22 : w;
    const double x = round_half_away(std::max((available - metrics.horizontalAdvance(text)) / 2, 6.0));
    const double y = round_half_away((h - metrics.height()) / 2);
    p.setFont(font);
    p.setPen(color);
    p.drawText(QPointF(x, y + metrics.ascent()), text);

    if (idle_set) {
        const QPixmap clear = widgets::symbol("xmark.circle.fill", 13, c.tertiary);
        if (!clear.isNull()) {
            const QSizeF size = clear.deviceIndependentSize();
            p.drawPixmap(QPointF(w - 8 - size.width(), round_half_away((h - size.height()) / 2)), clear);
        }
    }
}

// --- Stepper --------------------------------------------------------------------------------

Stepper::Stepper(int tag, int minimum, int maximum, QWidget* parent)
    : QWidget(parent), m_tag(tag), m_minimum(minimum), m_maximum(maximum), m_value(minimum),
      m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (QToolButton* b : { m_up, m_down }) {
        b->setFixedSize(19, 12);
        b->setFocusPolicy(Qt::NoFocus);
        b->setAutoRepeat(true);
        layout->addWidget(b);
    }
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    QObject::connect(m_up, &QToolButton::clicked, this, [this] { step(1); });
    QObject::connect(m_down, &QToolButton::clicked, this, [this] { step(-1); });
}

void Stepper::set_value(int value)
{
    m_value = std::clamp(value, m_minimum, m_maximum);
}

void Stepper::step(int by)
{
    set_value(m_value + by);
    if (on_step)
        on_step(*this);
}

} // namespace prefs
