// ocr_chrome: a window's chrome in a selection, found in a grey copy (dark
// text on light, capture/ocr_prepare.h) and painted out or set apart before
// the page is read. A bar's title read in one block with the page moves
// the engine's thresholds and lines (a dotted zero read as an eight); a
// border column beside the first letters of the lines joins them into one
// tall mark; a bar's buttons and icons read as letters. What is painted
// is only the chrome's pixels: rules that tell chrome from text (a button
// stands apart from any word by more than twice its height, a border is
// flat along its length) live here and nowhere else.
#pragma once

#include <QImage>

namespace ocr_prepare {

// A bar of a window's chrome (a title, menu or warning bar) is at most this
// many pixels tall; a taller band off the page's grey is a banner or a panel.
constexpr int MAX_BAR_PX = 40;

// The rows at the picture's top that are a window's bars; 0 when none.
// `desktop` is the grey of a desktop around the window, -1 when none.
int chrome_top(const QImage& grey, int page, int desktop = -1);
// Paints out the icons and buttons of the bars in rows [0, rows).
void erase_bar_icons(QImage& grey, int rows);
// Paints the border columns at the picture's left and right edges.
void erase_edge_columns(QImage& grey, int page);
// Paints the flat `desktop` grey that reaches the picture's edge in the
// page's grey, unless letters stand on it (a dark panel's labels).
void paint_desktop(QImage& grey, int desktop, int page);
// Paints out text-cursor blocks (solid or framed, about a line tall) for
// text lines `line` pixels tall.
void erase_blocks(QImage& grey, int page, int line);

} // namespace ocr_prepare
