// overlay: one panel of the selection overlay: a frameless, override-redirect
// window covering one screen, its drawing, its pointer and its keys.
//
// The panel sits above everything the window manager stacks (the overlay's
// level), takes no focus from the window manager and instead grabs the
// keyboard and the pointer while it is open. Main thread only.
#pragma once

#include "capture/overlay.h"

#include <QWidget>

#include <array>
#include <bitset>
#include <memory>

#include <optional>

namespace glass::ring {
class Ring;
}

namespace overlay {

// What one panel knows about its screen and the session's pointer.
struct ViewState {
    std::optional<PointF> drag_start;   // view coordinates, bottom-left origin
    std::optional<RectF> selection;
    std::optional<PointF> pointer;
    std::optional<WindowInfo> hovered;  // global coordinates
    std::optional<RectF> pending_finish; // a finish waiting for the frozen image
    double scale = 1.0;                 // pixels per point
    RectF frame;                        // the screen, global points
    QImage background;                  // the screen as it was before the panel appeared
    QImage frozen;                      // the frozen image (null: none)
    std::uint32_t display_id = 0;
    bool snapshot_failed = false;
    bool snapshot_requested = false;
};

// A global position in Qt's terms (top-left) as global bottom-left points,
// using the same edge convention as the panels' own points.
PointF global_from_qt(const QPointF& pos);
// The panel whose screen holds the global point, or null.
VistropeOverlayWindow* panel_at(PointF global);
// A panel's first paint of a session reached the screen: the key panel's
// ends the opening (mode bar, log line).
void panel_shown(VistropeOverlayWindow& view);
// How long the last opening took until its key panel was on screen (ms).
double last_open_ms();
// Space: toggles the open session between area and window (not while
// scrolling). The caller refreshes its view.
void toggle_mode();
// Writes `picture` dimmed (the panels' backdrop) into `target` over `rect`,
// undimmed inside `hole`; the same pixels in both, 32 bits each, either may
// be a view with padded rows. A screenful's rows are split over worker
// threads.
void dim_into(const QImage& picture, QImage& target, const QRect& rect, const QRect& hole);

} // namespace overlay

class VistropeOverlayWindow final : public QWidget {
public:
    explicit VistropeOverlayWindow(const platform::Screen& screen);
    ~VistropeOverlayWindow() override;

    overlay::ViewState& state() { return m_state; }
    const overlay::ViewState& state() const { return m_state; }
    double view_height() const { return m_state.frame.h; }

    // Redraws what changed since the last render (the whole panel after a reset).
    void render();
    // Takes the picture of the screen shown under the panel (null: none).
    void set_background(const QImage& picture);
    // Forgets the selection, the pointer, the pictures and both snapshot flags.
    void reset();
    // Applies a changed mode or purpose.
    void mode_changed();
    // Maps the panel over its screen; with `key`, it takes the keyboard.
    void reveal(bool key);
    // Takes the panel off the screen and lets go of keyboard and pointer.
    // The window stays mapped out of sight for a while (platform::
    // park_panel), so that an opening meanwhile skips the X server's making
    // of a screen-sized window picture. Its window-sized picture memory in
    // this process is given back RELEASE_DELAY_MS later if it is still
    // hidden: making it again costs an opening more than the grab and a
    // repaint together, and hot-key openings often come in runs.
    void conceal();
    static constexpr int RELEASE_DELAY_MS = 5000;
    // Between reveal() and conceal(): the panel is on its screen. A parked
    // panel is still mapped (isVisible()) while it is off the screen.
    bool on_screen() const { return m_on_screen; }
    // Makes the window-sized picture memory given back after an idle spell
    // again, its pages touched, so that the first paint finds it ready.
    // Nothing when it is there or the panel was never shown. Main thread.
    void prepare_store();

    // How many times the panel has painted (the benchmark waits for a paint).
    int paints() const { return m_paints; }

    // The scene the panel shows now (for tests and the benchmark).
    overlay::Scene current_scene() const;
    // The glass ring around the hovered window (tests).
    glass::ring::Ring& ring() { return *m_ring; }
    // Whether the glass ring draws the hovered window's edge now.
    bool ring_enabled() const;
    // Presses of keys that were already down when the panel last took the
    // keyboard, passed over as their repeats (tests).
    int held_presses_passed() const { return m_held_presses_passed; }

    // The pointer handlers in view coordinates (bottom-left); the Qt events
    // call these, and so do the self-checks.
    void pointer_moved(overlay::PointF p, bool on_bar);
    void pointer_pressed(overlay::PointF p);
    void pointer_dragged(overlay::PointF p, bool shift);
    void pointer_released(overlay::PointF p);
    void key_pressed(std::uint32_t x_keycode, overlay::Held held = overlay::Held::Plain);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    overlay::PointF view_point(const QPointF& widget_pos) const;
    overlay::PointF to_global(overlay::PointF p) const;
    std::optional<overlay::WindowInfo> window_under(overlay::PointF view_point) const;
    void paint_area(class QPainter& p, const overlay::Scene& s);
    void grab_input(bool key);
    // The first paint of showing number `showing` reached the server.
    void after_first_paint(std::uint64_t showing);

    overlay::ViewState m_state;
    overlay::Scene m_drawn;           // what the screen shows now
    bool m_full_repaint = true;
    bool m_busy = false;              // a handler is changing the state
    bool m_bar_press = false;         // the press went to the mode bar
    int m_paints = 0;
    bool m_first_paint_pending = false; // grabs and the session's bar wait for the first paint
    bool m_key = false;                 // this panel takes the keyboard
    // Keys held when the panel took the keyboard: their repeats reach the
    // panel as fresh presses (it never saw the first), and a key that opened
    // the selector (a menu's Return, a shortcut's digit) must not act in it.
    std::bitset<256> m_held_at_grab;
    std::bitset<256> m_held_released;             // of those, the ones with a release since (a repeat's or the last)
    std::array<std::uint64_t, 256> m_held_released_at {}; // when (server time)
    int m_held_presses_passed = 0;
    std::uint64_t m_showings = 0;       // how many times reveal() has mapped the panel
    bool m_in_expose = false;           // Qt is handling the panel's expose
    class QTimer* m_release = nullptr; // gives the hidden panel's picture memory back
    bool m_on_screen = false;
    bool m_unpark_in_paint = false;    // the next paint brings the parked panel back
    bool m_skip_expose = false;        // the picture went out with the unparking: its expose needs no flush
    std::unique_ptr<glass::ring::Ring> m_ring;
};
