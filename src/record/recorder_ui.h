// recorder: what a recording shows — the outline of the recorded area with
// its countdown square, the capsule with the elapsed time and "Detener", and
// a status item that stops the recording. The layout rules are plain
// functions; the widgets follow them. Main thread.
#pragma once

#include "platform/screens.h"
#include "record/recorder.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <string>

class QSystemTrayIcon;
class QTimer;

namespace recorder {

// --- Layout, in points ------------------------------------------------------------

inline constexpr double CAPSULE_HEIGHT = 36;

// The capsule's parts, from the fitting sizes of "00:00" and "Detener";
// rectangles in the capsule's top-left coordinates.
struct CapsuleLayout {
    platform::RectF dot;
    platform::RectF time;
    platform::RectF separator;
    platform::RectF button;
    platform::RectF stop_square; // within the button
    platform::RectF stop_label;  // within the button
    double width = 0;
};
CapsuleLayout capsule_layout(double time_w, double time_h, double label_w, double label_h);

// Where the capsule goes (global points, bottom-left origin) for the outline
// around the area, the screen's visible frame and the capsule's size.
platform::PointF capsule_origin(const platform::RectF& area, const platform::RectF& outline, const platform::RectF& visible,
    double cw, double ch, bool has_region);

// The outline panel's frame: the area grown by 4 points on every side.
platform::RectF outline_frame(const platform::RectF& area);

// The button's white alpha: pressed, else hovered, else resting.
double button_alpha(bool pressed, bool hovered);

// --- Widgets ----------------------------------------------------------------------

// The capsule's view: stops on a press and release on the button; a press
// anywhere else drags the capsule.
class VistropeRecordControls final : public QWidget {
public:
    VistropeRecordControls();
    ~VistropeRecordControls() override;

    void set_time(const QString& text);
    QString time() const { return m_time; }
    void set_hovered(bool hovered);
    bool hovered() const { return m_hovered; }
    bool pressed() const { return m_pressed; }
    const CapsuleLayout& layout() const { return m_layout; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    bool on_button(const QPointF& p) const;

    CapsuleLayout m_layout;
    QString m_time = "00:00";
    bool m_hovered = false;
    bool m_pressed = false;
    std::optional<QPoint> m_drag; // the press's offset in the panel, dragged by hand
    double m_pulse = 1.0;
    QTimer* m_pulse_timer = nullptr;
};

// The outline panel and its countdown square.
class OutlineView;

class Ui final : public Controls {
public:
    static std::unique_ptr<Ui> create(const platform::RectF& area, const platform::RectF& visible, bool has_region);
    ~Ui() override;

    void show_countdown(std::uint32_t n) override;
    void set_time(const std::string& text) override;
    void hide() override;
    void close() override;

    QWidget* outline() const;
    QWidget* capsule() const { return m_capsule; }
    VistropeRecordControls* controls() const { return m_controls; }
    QSystemTrayIcon* status_item() const { return m_status; }
    // Presses the status item as a click would.
    void click_status_item();

private:
    Ui() = default;

    QPointer<OutlineView> m_outline;
    QPointer<QWidget> m_capsule;
    VistropeRecordControls* m_controls = nullptr;
    QSystemTrayIcon* m_status = nullptr;
    bool m_has_region = false;
    bool m_announced = false; // the recording's first time was shown
};

} // namespace recorder
