// The window's chrome in a selection: its bars, their icons and buttons,
// its border columns, the desktop around it and a text cursor's block.
// Found here and painted out (or read apart) before the page is read.
#include "capture/ocr_chrome.h"
#include "capture/ocr_flood.h"
#include "capture/ocr_prepare.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>

namespace ocr_prepare {

namespace {

// Sharp steps along a window border's column: the two ends of a bar that
// crosses it. A column through letters has two for every stroke it meets.
constexpr int MAX_BORDER_STEPS = 2;
// An icon in a bar is at least this tall: taller than the capital letters
// of a bar's title.
constexpr int MIN_ICON_PX = 10;

} // namespace

// The rows at the picture's top that are a window's chrome (a title bar, a
// menu bar, a warning bar): rows whose own background, their most common
// grey, is not the page's. 0 when the picture starts on the page. They are
// read as a band of their own: in one block with the page, the engine's
// thresholds and lines follow the bar, and the letters under it change (a
// dotted zero read as an eight). A bar is flat along each row (its grey
// covers a third of the row or more, the rest is its text and icons) and
// short: rows whose grey drifts a little from one to the next are one bar
// (a title bar's gradient), and a band of them taller than a bar is a
// banner or a panel, the page's own text on it. The chrome ends above it.
// The grey of a desktop around the window (`desktop`, -1 when none) is no
// row's background, and rows of it alone above the window come first.
int chrome_top(const QImage& grey, int page, int desktop)
{
    const int w = grey.width();
    const int h = grey.height();
    // A row's background when the row is flat, -1 when it is not, -2 when
    // it is the desktop alone.
    const auto background = [&](int y) {
        std::array<int, 256> hist {};
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < w; ++x)
            ++hist[row[x]];
        int n = w;
        for (int v = std::max(0, desktop - 2); desktop >= 0 && v <= std::min(255, desktop + 2); ++v) {
            n -= static_cast<int>(hist[v]);
            hist[v] = 0;
        }
        if (8 * n < w)
            return -2;
        const int mode = static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
        int near = 0;
        for (int v = std::max(0, mode - 2); v <= std::min(255, mode + 2); ++v)
            near += hist[v];
        return 3 * near >= n ? mode : -1;
    };
    const auto off_page = [&](int bg) { return bg >= 0 && std::abs(bg - page) > 2; };
    // The bars start at the top (after the desktop above the window, and a
    // light rim or two) and go down to the last bar in the top half: bars
    // come in a stack, with lines and slivers of page between them.
    int top = 0;
    while (desktop >= 0 && top < h / 2 && background(top) == -2)
        ++top;
    int first = top;
    while (first < std::min(top + 4, h / 2) && !off_page(background(first)))
        ++first;
    if (first >= std::min(top + 4, h / 2))
        return 0;
    int end = 0;
    int bar = -1; // the first row of the bar being measured
    int previous = -1;
    for (int y = first; y < h / 2; ++y) {
        const int bg = background(y);
        if (!off_page(bg)) {
            if (bar >= 0)
                end = y;
            bar = -1;
            continue;
        }
        if (bar < 0 || std::abs(bg - previous) > 8) {
            if (bar >= 0)
                end = y;
            bar = y;
        }
        previous = bg;
        if (y + 1 - bar > MAX_BAR_PX)
            return end;
    }
    return bar >= 0 ? h / 2 : end;
}

namespace {

// Whether a mark in a box (left, top, bw × bh) is a close button's cross:
// both diagonals inked along nine rows in ten, and nearly all of its pixels
// on them.
bool is_cross(const std::vector<QPoint>& mark, int left, int top, int bw, int bh)
{
    std::vector<bool> ink(static_cast<std::size_t>(bw) * bh);
    for (const QPoint p : mark)
        ink[static_cast<std::size_t>(p.y() - top) * bw + (p.x() - left)] = true;
    const auto diagonal = [&](int y, bool down) {
        const int x = (y * (bw - 1) + (bh - 1) / 2) / std::max(1, bh - 1);
        return down ? x : bw - 1 - x;
    };
    const auto near = [&](int x, int y) {
        for (int dx = -1; dx <= 1; ++dx)
            if (x + dx >= 0 && x + dx < bw && ink[static_cast<std::size_t>(y) * bw + x + dx])
                return true;
        return false;
    };
    int crossed = 0;
    for (int y = 0; y < bh; ++y)
        crossed += near(diagonal(y, true), y) && near(diagonal(y, false), y);
    int on = 0;
    for (const QPoint p : mark) {
        const int y = p.y() - top, x = p.x() - left;
        on += std::abs(x - diagonal(y, true)) <= 2 || std::abs(x - diagonal(y, false)) <= 2;
    }
    return 10 * crossed >= 9 * bh && 10 * on >= 9 * static_cast<int>(mark.size());
}

} // namespace

// Paints out the icons and buttons of the chrome's bars (rows [0, rows)):
// marks apart from their row's background, about square, as tall as a
// bar's capital letters or taller, whose shape is a box: they span their
// box's width along most of its rows and its height along most of its
// columns (a filled square with a glyph of its own, a button's frame). A
// close button's cross (square) and a minimise button's flat rule go as
// well. Shape alone does not tell a button from a letter: at 14 px an "H",
// a "0" or a "D" spans its box both ways, a narrow "H" lies along both
// diagonals of its box, and an em dash is a flat rule. What tells them
// apart is what stands beside them: a letter or a dash has its words within
// a space's width, a button stands apart from any text by more than twice
// its own height. So a mark goes only when nothing but other such marks
// lies that close on either side. An icon's shape, read, is a letter or a bracket
// that no bar holds.
void erase_bar_icons(QImage& grey, int rows)
{
    const int w = grey.width();
    rows = std::min(rows, grey.height());
    if (rows <= 0)
        return;
    std::vector<int> row_bg(rows);
    for (int y = 0; y < rows; ++y) {
        std::array<int, 256> hist {};
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < w; ++x)
            ++hist[row[x]];
        row_bg[y] = static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
    }
    const auto ink = [&](int x, int y) { return std::abs(grey.constScanLine(y)[x] - row_bg[y]) > 40; };
    // Every mark's number at its pixels (-1: background); the marks shaped
    // like a button, and the bars' structure: a border or the desktop beside
    // the window runs down the picture's edge or every row of the bars, a
    // rule across most of them.
    std::vector<int> label(static_cast<std::size_t>(w) * rows, -1);
    std::vector<bool> shaped, structure;
    std::vector<QRect> boxes;
    struct Button {
        int mark;
        QRect box;
        std::vector<QPoint> pixels;
    };
    std::vector<Button> buttons;
    std::vector<QPoint> stack, mark;
    for (int y0 = 0; y0 < rows; ++y0)
        for (int x0 = 0; x0 < w; ++x0) {
            if (label[static_cast<std::size_t>(y0) * w + x0] >= 0 || !ink(x0, y0))
                continue;
            const int id = static_cast<int>(shaped.size());
            shaped.push_back(false);
            structure.push_back(false);
            mark.clear();
            const auto at = [w](QPoint q) { return static_cast<std::size_t>(q.y()) * w + q.x(); };
            const QRect box = flood(w, rows, QPoint(x0, y0), stack,
                [&](QPoint q) { return label[at(q)] < 0 && ink(q.x(), q.y()); },
                [&](QPoint q) { label[at(q)] = id; }, [&](QPoint p) { mark.push_back(p); });
            const int left = box.left(), top = box.top(), right = box.right();
            const int bw = box.width(), bh = box.height();
            structure[id] = bh >= rows - 2 || 2 * bw > w || left == 0 || right == w - 1;
            boxes.emplace_back(left, top, bw, bh);
            const auto button = [&] {
                shaped[id] = true;
                buttons.push_back({ id, QRect(left, top, bw, bh), mark });
            };
            // A minimise button's rule: flat and as wide as an icon.
            if (bh <= 3 && bw >= MIN_ICON_PX && bw <= MAX_BAR_PX) {
                button();
                continue;
            }
            if (bh < MIN_ICON_PX || bh > MAX_BAR_PX || 2 * bw < bh || bw > 2 * bh)
                continue;
            // A close button's cross is square; an "X" or an "H" is taller than wide.
            if (std::abs(bw - bh) <= std::max(1, bh / 8) && is_cross(mark, left, top, bw, bh)) {
                button();
                continue;
            }
            std::vector<int> row_lo(bh, bw), row_hi(bh, -1), col_lo(bw, bh), col_hi(bw, -1);
            for (const QPoint p : mark) {
                const int x = p.x() - left, y = p.y() - top;
                row_lo[y] = std::min(row_lo[y], x);
                row_hi[y] = std::max(row_hi[y], x);
                col_lo[x] = std::min(col_lo[x], y);
                col_hi[x] = std::max(col_hi[x], y);
            }
            int full_rows = 0, full_cols = 0;
            for (int y = 0; y < bh; ++y)
                full_rows += 5 * (row_hi[y] - row_lo[y] + 1) >= 4 * bw;
            for (int x = 0; x < bw; ++x)
                full_cols += 5 * (col_hi[x] - col_lo[x] + 1) >= 4 * bh;
            if (5 * full_rows >= 4 * bh && 5 * full_cols >= 4 * bw)
                button();
        }
    // What lies within a button's box (its glyph, its fill) is no text beside
    // the next button.
    std::vector<bool> inside(shaped.size());
    for (std::size_t id = 0; id < inside.size(); ++id)
        for (const Button& b : buttons)
            inside[id] = inside[id] || (b.mark != static_cast<int>(id) && b.box.contains(boxes[id]));
    // Text beside a mark: another mark, not itself shaped like a button,
    // within twice the mark's height (an icon's at least: a monospaced
    // space is wider than a digit is tall) to its left or right, in its rows
    // (a flat mark's: an icon's height above or below them too, as a dash
    // sits at the middle of its words' letters), and at least half the
    // mark's height: a program's icon may stand close to the title, but
    // twice as tall as its letters. A mark beside text is text, and so on
    // along a word ("Do" beside "c"): buttons stand beside buttons only.
    const auto text_beside = [&](const QRect& box) {
        const int gap = 2 * std::max(box.height(), MIN_ICON_PX);
        const int reach = box.height() <= 3 ? MIN_ICON_PX : 0;
        const int y0 = std::max(0, box.top() - reach), y1 = std::min(rows - 1, box.bottom() + reach);
        for (int y = y0; y <= y1; ++y)
            for (const auto& [from, to] : { std::pair { std::max(0, box.left() - gap), box.left() - 1 },
                     std::pair { box.right() + 1, std::min(w - 1, box.right() + gap) } })
                for (int x = from; x <= to; ++x)
                    if (const int id = label[static_cast<std::size_t>(y) * w + x];
                        id >= 0 && !shaped[id] && !structure[id] && !inside[id] && 2 * boxes[id].height() >= box.height())
                        return true;
        return false;
    };
    for (bool grew = true; grew;) {
        grew = false;
        for (const Button& b : buttons)
            if (shaped[b.mark] && text_beside(b.box)) {
                shaped[b.mark] = false;
                grew = true;
            }
    }
    for (const Button& b : buttons) {
        if (!shaped[b.mark])
            continue;
        for (const QPoint p : b.pixels)
            grey.scanLine(p.y())[p.x()] = static_cast<uchar>(row_bg[p.y()]);
    }
}

// Paints the chrome at the picture's left and right edges in the page's
// grey: the desktop beside a window, its border, a scroll bar's trough.
// Such a column stands apart from the page from top to bottom (nine pixels
// in ten) and is flat along its length: at most a bar's two ends cross it.
// Left as it is, the engine joins the first letters of the lines to it and
// reads them as one tall mark. A sidebar or a dark panel at the edge stands
// apart from the page as well, but it is wide and holds text: when any
// column of the run from the edge has ink in it (steps along its length, a
// letter's strokes), the run is a panel and none of it is painted. What is
// painted is the chrome's pixels only: the scan stops at the first column
// that has page in it.
void erase_edge_columns(QImage& grey, int page)
{
    const int w = grey.width();
    const int h = grey.height();
    if (h < LONG_LINE_PX)
        return;
    const auto solid = [&](int x) {
        int apart = 0;
        for (int y = 0; y < h; ++y)
            apart += std::abs(grey.constScanLine(y)[x] - page) > 40;
        return apart * 10 >= h * 9;
    };
    const auto flat = [&](int x) {
        int steps = 0;
        for (int y = 1; y < h && steps <= MAX_BORDER_STEPS; ++y)
            steps += std::abs(grey.constScanLine(y)[x] - grey.constScanLine(y - 1)[x]) > 40;
        return steps <= MAX_BORDER_STEPS;
    };
    int left = 0;
    bool left_flat = true;
    while (left < w / 3 && solid(left))
        left_flat = flat(left++) && left_flat;
    int right = w;
    bool right_flat = true;
    while (right > w - w / 3 && solid(right - 1))
        right_flat = flat(--right) && right_flat;
    if (!left_flat)
        left = 0;
    if (!right_flat)
        right = w;
    if (left == 0 && right == w)
        return;
    for (int y = 0; y < h; ++y) {
        uchar* row = grey.scanLine(y);
        std::fill(row, row + left, static_cast<uchar>(page));
        std::fill(row + right, row + w, static_cast<uchar>(page));
    }
}

// Paints the desktop around a window (the flat `desktop` grey that reaches
// the picture's edge) in the page's grey, unless letters stand on it: light
// marks that it alone encloses, as a dark panel's labels are. Left as it is,
// a black desktop wider than the window turns the page into a block beside
// larger ones, and the engine reads little of it.
void paint_desktop(QImage& grey, int desktop, int page)
{
    const int w = grey.width(), h = grey.height();
    const auto at = [w](QPoint q) { return static_cast<std::size_t>(q.y()) * w + q.x(); };
    const auto on_desktop = [&](QPoint q) { return std::abs(grey.constScanLine(q.y())[q.x()] - desktop) <= 2; };
    // 1: the desktop, flooded from the picture's edge; 2: any other pixel
    // once flooded.
    std::vector<uchar> region(static_cast<std::size_t>(w) * h);
    std::vector<QPoint> stack;
    const auto edge = [&](QPoint q) { return q.x() == 0 || q.y() == 0 || q.x() == w - 1 || q.y() == h - 1; };
    std::size_t desktop_px = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const QPoint q(x, y);
            if (edge(q) && !region[at(q)] && on_desktop(q))
                flood(w, h, q, stack, [&](QPoint n) { return !region[at(n)] && on_desktop(n); },
                      [&](QPoint n) { region[at(n)] = 1; }, [&](QPoint) { ++desktop_px; });
        }
    // A desktop is an eighth of the picture at least; less of that grey at
    // the edge is the text's own, cut by the selection.
    if (8 * desktop_px < static_cast<std::size_t>(w) * h)
        return;
    const std::size_t small = std::max<std::size_t>(4, static_cast<std::size_t>(w) * h / 100);
    int letters = 0;
    for (int y = 0; y < h && letters < 3; ++y)
        for (int x = 0; x < w && letters < 3; ++x) {
            const QPoint q(x, y);
            if (region[at(q)] || on_desktop(q))
                continue;
            bool enclosed = true;
            std::size_t area = 0;
            flood(w, h, q, stack, [&](QPoint n) { return !region[at(n)] && !on_desktop(n); },
                  [&](QPoint n) { region[at(n)] = 2; },
                  [&](QPoint v) {
                      ++area;
                      enclosed = enclosed && !edge(v);
                      for (const QPoint d : { QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1) }) {
                          const QPoint n = v + d;
                          if (n.x() >= 0 && n.y() >= 0 && n.x() < w && n.y() < h && on_desktop(n) && region[at(n)] != 1)
                              enclosed = false;
                      }
                  });
            letters += enclosed && area <= small;
        }
    if (letters >= 3)
        return;
    for (int y = 0; y < h; ++y) {
        uchar* row = grey.scanLine(y);
        for (int x = 0; x < w; ++x)
            if (region[static_cast<std::size_t>(y) * w + x] == 1)
                row[x] = static_cast<uchar>(page);
    }
}

// Paints out text-cursor blocks: a mark about a text line tall and at least
// half as wide as a letter, either solid (nine pixels in ten of its box
// inked) or a frame (its four sides inked along nine tenths of their
// length and nothing inside). No letter is either: a bold "I" is narrow,
// "O" and "0" round their corners. A cursor read as a letter ("|", "i")
// would otherwise land on a line of its own or at a line's end.
void erase_blocks(QImage& grey, int page, int line)
{
    const int w = grey.width();
    const int h = grey.height();
    if (line <= 0)
        return;
    const auto dark = [&](QPoint p) { return std::abs(grey.constScanLine(p.y())[p.x()] - page) > 96; };
    std::vector<bool> seen(static_cast<std::size_t>(w) * h);
    const auto at = [w](QPoint q) { return static_cast<std::size_t>(q.y()) * w + q.x(); };
    std::vector<QPoint> stack, mark;
    for (int y0 = 0; y0 < h; ++y0)
        for (int x0 = 0; x0 < w; ++x0) {
            const QPoint seed(x0, y0);
            if (seen[at(seed)] || !dark(seed))
                continue;
            mark.clear();
            const QRect box = flood(w, h, seed, stack, [&](QPoint q) { return !seen[at(q)] && dark(q); },
                                    [&](QPoint q) { seen[at(q)] = true; }, [&](QPoint q) { mark.push_back(q); });
            const int bw = box.width(), bh = box.height();
            if (5 * bh < 3 * line || 5 * bh > 8 * line || 5 * bw < 2 * bh || 4 * bw > 5 * bh)
                continue;
            const auto count = static_cast<int>(mark.size());
            bool block = 10 * count >= 9 * bw * bh;
            if (!block) {
                // A frame: the sides' pixels only, and the sides nearly whole.
                std::vector<int> rows(bh), cols(bw);
                int on_sides = 0;
                for (const QPoint q : mark) {
                    const int x = q.x() - box.left(), y = q.y() - box.top();
                    ++rows[y];
                    ++cols[x];
                    on_sides += x < 3 || y < 3 || x >= bw - 3 || y >= bh - 3;
                }
                block = on_sides == count && 10 * rows.front() >= 9 * bw && 10 * rows.back() >= 9 * bw
                    && 10 * cols.front() >= 9 * bh && 10 * cols.back() >= 9 * bh;
            }
            if (block)
                for (const QPoint q : mark)
                    grey.scanLine(q.y())[q.x()] = static_cast<uchar>(page);
        }
}

} // namespace ocr_prepare
