// platform: floating panels with levels.
//
// The program's floating windows (toast, capsules, flash, cards, pins, the
// selection overlay) are frameless Qt windows placed at a level. Levels at or
// above OVERLAY_LEVEL are override-redirect (no window manager involvement,
// they may grab keyboard and pointer); lower levels are "above" and sticky
// (on every desktop, skipped by taskbars and pagers). A panel made to ignore
// the mouse is override-redirect at any level, with an empty input shape, so
// no window manager frames it and every click and wheel turn reaches what lies
// below, with or without a compositor. The layer keeps the program's own
// panels stacked in level order.
#pragma once

#include <QPoint>
#include <QRegion>

#include <optional>
#include <vector>

class QWidget;
class QWindow;

namespace platform {

inline constexpr int OVERLAY_LEVEL = 1000;

enum class Mouse { Accepts, Ignores };
// Whether the panel can become the key window. Most panels never take the
// keyboard; pinned captures do (a click makes them key), so they get a
// window type the window manager focuses.
enum class Focus { Refuses, Accepts };
// Whether the compositor may cast its drop shadow under the panel.
enum class Shadow { None, Cast };

// Window flags and attributes for a panel at `level`; call before the first
// show. Main thread.
void make_panel(QWidget* widget, int level, Mouse mouse, Focus focus = Focus::Refuses, Shadow shadow = Shadow::None);
// Without a compositor a panel cannot be translucent, so a rounded panel's
// corners would show as black squares: its window is shaped (bounding and
// so input) to the rounded rectangle of its current size. With a compositor
// the shape is cleared. Call after every resize. Main thread.
void shape_rounded(QWidget* widget, double radius);
// Shapes the panel's window to `region` (widget coordinates); an empty
// region leaves nothing of it on screen while it stays mapped, which Qt's
// masks cannot do (an empty mask clears the shape). None clears the shape.
// The window keeps its id and its place in the window lists, and the next
// shape shows it again without a map. Not for widgets shaped with
// QWidget::setMask. Main thread.
void set_shape(QWidget* widget, const std::optional<QRegion>& region);
// Takes a shown panel out of sight while it stays mapped: its window moves
// off the screen, shaped to nothing. Under Composite (a compositor, or the
// screen capture's own redirection) the X server gives every mapped
// top-level window a picture of its size and fills it at each mapping:
// several milliseconds for a screen-sized window. A parked panel keeps its
// picture and comes back with unpark_panel without that cost. The server
// holds that picture meanwhile, so a panel parked PARKED_MS is unmapped
// (unmap_parked). Qt still counts a parked panel as visible. False
// (nothing done) without an X11 connection or when it is not shown. Main
// thread.
bool park_panel(QWidget* widget);
inline constexpr int PARKED_MS = 30000;
// Brings a parked panel back, at `to` (Qt's global coordinates) or where it
// was parked from, with its own shape (its mask, or set_shape's). Unless
// `send_now`, the requests are not flushed: they leave with the panel's
// next picture (call from its paint, before Qt flushes it), so the server
// never shows the window with what it held when it was parked. Nothing for
// a panel not parked. Main thread.
void unpark_panel(QWidget* widget, bool send_now, std::optional<QPoint> to = std::nullopt);
// Unmaps a parked panel (hide()), back in its place and shape for its next
// show(). Nothing for a panel not parked. Main thread.
void unmap_parked(QWidget* widget);
// The same for every parked panel of the program.
void unmap_parked_panels();
// Whether the panel (or its window) is parked (see park_panel).
bool is_parked(const QWidget* widget);
bool is_parked(const QWindow* window);
// The shape set_shape last gave the panel (none: unshaped).
std::optional<QRegion> shape_of(const QWidget* widget);
// Changes whether the panel lets mouse events through (its input shape). A
// panel made to accept the mouse stays managed when it later ignores it: its
// window manager frame may still take events. Main thread.
void set_ignores_mouse(QWidget* widget, Mouse mouse);
// Raises the program's visible panels in level order (lowest first), so a
// higher level is never below a lower one. Main thread.
void restack_panels();

// Gives back a hidden panel's window-sized picture memory (a screenful, tens
// of megabytes at 4K, that a hidden window otherwise keeps for good); the
// next paint after it is shown makes it again. Does nothing while shown.
void release_backing_store(QWidget* widget);
// The same for a shown panel whose last paint left it wholly clear (or cut
// to nothing by its shape): the server keeps what it shows, and its next
// paint makes the picture again and repaints it whole.
void release_blank_backing_store(QWidget* widget);
// The program's panels, in creation order (destroyed ones are gone). Main thread.
std::vector<QWidget*> panels();
// The level a panel was made with; 0 for any other widget.
int panel_level(const QWidget* widget);

// Whether a compositing manager runs (translucent panels need one; without
// it panels fall back to shaped windows). Main thread.
bool compositor_running();

} // namespace platform
