#include "editor/views.h"

#include "base/files.h"
#include "base/util.h"
#include "base/util_queue.h"
#include "capture/output.h"
#include "editor/mod.h"
#include "editor/outputs.h"
#include "editor/toolbar.h"
#include "editor/window.h"

#include <QFontMetricsF>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QStyleHints>

#include <algorithm>
#include <cmath>
#include <utility>

namespace editor {

namespace {

// Backspace is the key that deletes the selection; Delete deletes forward.
constexpr std::pair<int, Key> NAMED_KEYS[] = {
    { Qt::Key_Return, Key::Return },
    { Qt::Key_Enter, Key::Enter },
    { Qt::Key_Backspace, Key::Delete },
    { Qt::Key_Delete, Key::ForwardDelete },
    { Qt::Key_Escape, Key::Escape },
    { Qt::Key_Left, Key::Left },
    { Qt::Key_Right, Key::Right },
    { Qt::Key_Down, Key::Down },
    { Qt::Key_Up, Key::Up },
};

} // namespace

KeyEvent key_event(const QKeyEvent& event)
{
    KeyEvent out;
    const Qt::KeyboardModifiers mods = event.modifiers();
    if (mods & Qt::ShiftModifier)
        out.modifiers |= SHIFT;
    if (mods & Qt::ControlModifier)
        out.modifiers |= COMMAND;
    if (mods & Qt::AltModifier)
        out.modifiers |= OPTION;
    if (mods & Qt::MetaModifier)
        out.modifiers |= CONTROL;
    const int key = event.key();
    for (const auto& [code, named] : NAMED_KEYS)
        if (key == code) {
            out.key = named;
            return out;
        }
    // Qt names a printable key by its unshifted Unicode upper case; Ctrl
    // turns the event's text into a control character, so the key is read.
    if (const char32_t c = char32_t(key); key > 0 && key < Qt::Key_Escape && QChar::isPrint(c))
        out.characters = QString::fromUcs4(&c, 1).toLower().toStdString();
    return out;
}

int ClickCounter::press(QPointF at, qint64 ms)
{
    const QStyleHints* hints = QGuiApplication::styleHints();
    const bool third = m_count == 2 && ms - m_ms <= hints->mouseDoubleClickInterval()
        && (at - m_at).manhattanLength() <= hints->mouseDoubleClickDistance();
    m_count = third ? 3 : 1;
    m_at = at;
    m_ms = ms;
    return m_count;
}

int ClickCounter::double_click(QPointF at, qint64 ms)
{
    m_count = 2;
    m_at = at;
    m_ms = ms;
    return m_count;
}

// ---------------------------------------------------------------------------
// Controller

VistropeEditorController::VistropeEditorController(std::shared_ptr<Editor> editor)
    : m_editor(std::move(editor))
{
}

VistropeEditorController::~VistropeEditorController()
{
    m_editor->attach_window(nullptr);
    if (m_window && QCoreApplication::instance())
        m_window->deleteLater();
}

void VistropeEditorController::window_will_close()
{
    util::on_main([editor = std::weak_ptr<Editor>(m_editor)] {
        util::require_main_thread("cola principal");
        const auto gone = editor.lock();
        std::erase_if(state().editors, [&](const auto& c) { return c->editor() == gone; });
    });
}

void VistropeEditorController::tool_changed(int segment)
{
    m_editor->editing().set_tool(static_cast<model::Tool>(std::clamp(segment, 0, 13)));
}

void VistropeEditorController::color_changed(int segment) { m_editor->editing().set_color(std::max(segment, 0)); }

void VistropeEditorController::size_changed(int segment) { m_editor->editing().set_size(std::clamp(segment, 0, 2)); }

void VistropeEditorController::history_clicked(int segment)
{
    if (segment == 0)
        m_editor->editing().undo();
    else
        m_editor->editing().redo();
}

void VistropeEditorController::background_toggled(bool on) { m_editor->editing().set_background(on); }

void VistropeEditorController::copy_image() { copy(m_editor); }

void VistropeEditorController::save_image() { save(m_editor); }

void VistropeEditorController::save_image_as() { save_as(m_editor); }

// ---------------------------------------------------------------------------
// Stage, clip, image

VistropeEditorStage::VistropeEditorStage(std::weak_ptr<Editor> editor, QWidget* parent)
    : QWidget(parent)
    , m_editor(std::move(editor))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void VistropeEditorStage::paintEvent(QPaintEvent* event)
{
    const auto e = m_editor.lock();
    if (!e)
        return;
    QPainter painter(this);
    draw_stage(*e, painter, QRectF(event->rect()), m_cache, devicePixelRatioF());
}

void VistropeEditorStage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    if (m_overlay)
        m_overlay->setGeometry(rect());
    if (const auto e = m_editor.lock())
        relayout(*e);
}

VistropeEditorClip::VistropeEditorClip(QWidget* parent)
    : QWidget(parent)
{
    setGeometry(0, 0, 1, 1);
}

VistropeEditorImage::VistropeEditorImage(QImage image, QWidget* parent)
    : QWidget(parent)
    , m_image(std::move(image))
{
    setGeometry(0, 0, 1, 1);
    setAttribute(Qt::WA_OpaquePaintEvent, !m_image.hasAlphaChannel());
}

void VistropeEditorImage::paintEvent(QPaintEvent* event)
{
    const double dpr = devicePixelRatioF();
    const QSize wanted(std::max(1, int(std::lround(width() * dpr))), std::max(1, int(std::lround(height() * dpr))));
    if (m_scaled.size() != wanted || m_scaled.devicePixelRatio() != dpr) {
        // Crop tool in and out, undo and redo of a crop: the view goes back
        // and forth between two sizes, so the last copy is kept as well.
        std::swap(m_scaled, m_previous);
        if (m_scaled.size() != wanted || m_scaled.devicePixelRatio() != dpr) {
            m_scaled = m_image.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            m_scaled.setDevicePixelRatio(dpr);
        }
    }
    // The painter is clipped to the dirty area: only that part is copied.
    QPainter painter(this);
    painter.setClipRect(event->rect());
    painter.drawImage(QPointF(0, 0), m_scaled);
}

// ---------------------------------------------------------------------------
// Overlay

VistropeEditorOverlay::VistropeEditorOverlay(std::weak_ptr<Editor> editor, QWidget* parent)
    : QWidget(parent)
    , m_editor(std::move(editor))
{
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::CrossCursor);
}

bool VistropeEditorOverlay::event(QEvent* event)
{
    if (event->type() == QEvent::ShortcutOverride) {
        const auto* w = dynamic_cast<const EditorWindow*>(window());
        if (w && !m_editor.expired() && w->takes_key_equivalent(static_cast<QKeyEvent&>(*event))) {
            event->accept();
            return true;
        }
    }
    return QWidget::event(event);
}

void VistropeEditorOverlay::paintEvent(QPaintEvent* event)
{
    const auto e = m_editor.lock();
    if (!e)
        return;
    QPainter painter(this);
    draw_overlay(*e, painter, QRectF(event->rect()), devicePixelRatioF());
}

void VistropeEditorOverlay::press(QMouseEvent* event, int clicks)
{
    const auto e = m_editor.lock();
    if (!e || event->button() != Qt::LeftButton)
        return;
    m_pressed = true;
    const QPointF at = event->position();
    e->editing().mouse_down(event->modifiers() & Qt::ShiftModifier, clicks, { at.x(), at.y() });
}

void VistropeEditorOverlay::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        press(event, m_clicks.press(event->position(), event->timestamp()));
}

void VistropeEditorOverlay::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        press(event, m_clicks.double_click(event->position(), event->timestamp()));
}

void VistropeEditorOverlay::mouseMoveEvent(QMouseEvent* event)
{
    const auto e = m_editor.lock();
    if (!e || !m_pressed || !(event->buttons() & Qt::LeftButton))
        return;
    const QPointF at = event->position();
    e->editing().mouse_dragged(event->modifiers() & Qt::ShiftModifier, { at.x(), at.y() });
}

void VistropeEditorOverlay::mouseReleaseEvent(QMouseEvent* event)
{
    const auto e = m_editor.lock();
    if (!e || event->button() != Qt::LeftButton || !m_pressed)
        return;
    m_pressed = false;
    e->editing().mouse_up();
}

void VistropeEditorOverlay::keyPressEvent(QKeyEvent* event)
{
    const auto e = m_editor.lock();
    if (e) {
        if (auto* w = dynamic_cast<EditorWindow*>(window()); w && w->key_equivalent(*event))
            return;
        if (e->editing().key_down(key_event(*event)))
            return;
    }
    QWidget::keyPressEvent(event);
}

// ---------------------------------------------------------------------------

void relayout(Editor& editor) { editor.editing().relayout(); }

std::expected<void, std::string> snapshot(Editor& editor, const std::filesystem::path& path)
{
    auto* window = dynamic_cast<EditorWindow*>(editor.window());
    if (!window)
        return {};
    const QPixmap picture = window->grab();
    const std::vector<std::uint8_t> png = output::encode(picture.toImage(), picture.devicePixelRatio());
    if (auto written = files::replace(path, { reinterpret_cast<const char*>(png.data()), png.size() }); !written)
        return std::unexpected(written.error());
    util::log("escrito " + path.string());
    return {};
}

VistropeEditorDrag::VistropeEditorDrag(std::weak_ptr<Editor> editor, std::optional<QImage> icon)
    : m_editor(std::move(editor))
    , m_icon(std::move(icon))
{
    setFocusPolicy(Qt::NoFocus);
    setToolTip(QStringLiteral("Arrastra la imagen anotada a otra app"));
    setAccessibleName(QStringLiteral("Arrastrar"));
    resize(98, 26);
}

void VistropeEditorDrag::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF b = rect();
    QColor fill = palette().color(QPalette::WindowText);
    fill.setAlphaF(0.1f);
    p.setPen(palette().color(QPalette::Mid));
    p.setBrush(fill);
    p.drawRoundedRect(b.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    QFont f = font();
    f.setPixelSize(13);
    p.setFont(f);
    const QString text = QStringLiteral("Arrastrar");
    const QSizeF t = QFontMetricsF(f).size(Qt::TextSingleLine, text);
    const double iw = m_icon ? 18 : 0;
    const double x = std::round((b.width() - (iw + t.width())) / 2);
    if (m_icon)
        p.drawImage(QRectF(x, (b.height() - 15) / 2, 15, 15), *m_icon);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRectF(x + iw, std::round((b.height() - t.height()) / 2), t.width() + 1, t.height()), text);
}

void VistropeEditorDrag::mousePressEvent(QMouseEvent* event)
{
    m_started = false;
    event->accept();
}

void VistropeEditorDrag::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    if (m_started || !(event->buttons() & Qt::LeftButton))
        return;
    m_started = true;
    if (const auto e = m_editor.lock())
        drag_out(e, this);
}

} // namespace editor
