// pin: captures pinned as floating panels.
//
// A pin floats above ordinary windows on every desktop until it is closed.
// It moves with a drag, zooms with the wheel, a pinch or keys, turns
// translucent with a digit, can be locked so clicks pass through it, and
// copies, saves or opens its image in the editor. Main thread only.
#pragma once

#include "cards/pin_geometry.h"

#include <QImage>
#include <QPixmap>
#include <QPoint>
#include <QWidget>

#include <optional>
#include <vector>

class VistropePinView;

// The pin's window: a floating panel at the floating-window level whose only
// content is its view.
class VistropePinPanel final : public QWidget {
public:
    VistropePinPanel(QImage image, const pin::Record& record);
    VistropePinView* view() const { return m_view; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    // The window manager raises a pin it activates over the cards too: they
    // go back above it.
    void changeEvent(QEvent* event) override;

private:
    VistropePinView* m_view;
};

// Draws the pinned image and takes the pin's input.
class VistropePinView final : public QWidget {
public:
    VistropePinView(QImage image, const pin::Record& record, VistropePinPanel* panel);

    const pin::Record& record() const { return m_record; }
    const QImage& image() const { return m_image; }
    bool locked() const { return m_locked; }

    // Applies a zoom within the pin's bounds, about the panel's centre.
    void set_zoom(double zoom);
    void copy();
    void save();
    void annotate();
    void lock();
    void unlock();
    // Hides the panel at once and deletes it later (safe from its own handlers).
    void close_pin();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool event(QEvent* event) override;

private:
    void make_key();
    void set_opacity(double opacity);

    QImage m_image;
    pin::Record m_record;
    VistropePinPanel* m_panel;
    bool m_locked = false;
    // The finished pin at the view's device pixels, while zoom <= 1, and the
    // size of the one being made in the background after a zoom step.
    QPixmap m_cache;
    QSize m_pending;
    static QImage finished(const QImage& image, QSize device, qreal dpr);
    // A move in progress: where the press was and where the panel stood.
    std::optional<QPoint> m_press;
    QPoint m_panel_at_press;
};

namespace pin {

// Pins an image (scale in pixels per point) as a floating panel centred on
// the screen under the pointer. A null image makes no pin. Main thread.
void pin(QImage image, double scale);
// Puts the cards back above the pins after a pin was raised and activated.
void keep_cards_above();
// Every pinned capture accepts mouse events again. Main thread.
void unlock_all();
// Closes every pinned capture. Main thread.
void close_all();
// The open pins, oldest first. Main thread.
const std::vector<VistropePinPanel*>& pins();

} // namespace pin
