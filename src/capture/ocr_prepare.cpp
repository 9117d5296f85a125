// The picture made ready for the recogniser: what the engine reads and
// what sorting out its words needs.
#include "capture/ocr_prepare.h"

#include <QPainter>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace ocr_prepare {

using platform::Fragment;
using platform::NormBox;
using platform::PreparedPage;
using platform::ReadJob;
using platform::ReadWord;

namespace {

// The background of a busy page: a median over this radius, in pixels.
constexpr int BUSY_BACKGROUND_RADIUS = 10;
// On a flattened page, the distance from the local background that is full
// ink: half the grey range. Less, and the antialiased rims of the strokes
// turn solid, bold letters fatten and run together ("nf" read as "mfi").
constexpr int FLAT_FULL_INK = 128;
// Sharp steps along a window border's column: the two ends of a bar that
// crosses it. A column through letters has two for every stroke it meets.
constexpr int MAX_BORDER_STEPS = 2;
// An icon in a bar is at least this tall: taller than the capital letters
// of a bar's title.
constexpr int MIN_ICON_PX = 10;
// An edge running down a column this far without a break is no letter's.
constexpr int MIN_STRUCTURE_PX = 64;

// Floods the 4-connected region from `seed` in a w×h grid: a neighbour
// joins when `free` says so, and is `take`n at once; each pixel of the
// region, the seed first, goes to `visit`. Returns the region's bounding
// box. `stack` is the caller's, reused between calls.
template <class Free, class Take, class Visit>
QRect flood(int w, int h, QPoint seed, std::vector<QPoint>& stack, Free free, Take take, Visit visit)
{
    int left = seed.x(), right = seed.x(), top = seed.y(), bottom = seed.y();
    stack.assign(1, seed);
    take(seed);
    while (!stack.empty()) {
        const QPoint p = stack.back();
        stack.pop_back();
        visit(p);
        left = std::min(left, p.x());
        right = std::max(right, p.x());
        top = std::min(top, p.y());
        bottom = std::max(bottom, p.y());
        for (const QPoint d : { QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1) }) {
            const QPoint q = p + d;
            if (q.x() < 0 || q.y() < 0 || q.x() >= w || q.y() >= h || !free(q))
                continue;
            take(q);
            stack.push_back(q);
        }
    }
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

} // namespace

// Rows of the image that hold ink: rows with a grey-level edge. Counting
// edges rather than dark pixels finds light text on a coloured button as well
// as dark text. Columns with an edge in most rows, or along a stretch taller
// than any letter, are window structure (a border, a divider, a scroll bar's
// side, a window's side beside the desktop in a selection with wide margins
// above and below it) and are left out, or no row would ever be blank.
std::vector<bool> ink_rows(const QImage& grey)
{
    const int w = grey.width();
    const int h = grey.height();
    const auto edge = [](const uchar* row, int x) { return std::abs(row[x] - row[x - 1]) > 48; };
    std::vector<int> per_column(w), run(w), longest(w);
    for (int y = 0; y < h; ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 1; x < w; ++x) {
            const bool e = edge(row, x);
            per_column[x] += e;
            run[x] = e ? run[x] + 1 : 0;
            longest[x] = std::max(longest[x], run[x]);
        }
    }
    std::vector<bool> structure(w);
    for (int x = 1; x < w; ++x)
        structure[x] = per_column[x] * 10 > h * 6 || longest[x] > std::max(MIN_STRUCTURE_PX, h / 3);
    std::vector<bool> ink(h);
    for (int y = 0; y < h; ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 1; x < w && !ink[y]; ++x)
            ink[y] = edge(row, x) && !structure[x];
    }
    return ink;
}

std::vector<Run> ink_runs(const std::vector<bool>& ink)
{
    std::vector<Run> runs;
    for (int y = 0; y < static_cast<int>(ink.size());) {
        if (!ink[y]) {
            ++y;
            continue;
        }
        int end = y;
        while (end < static_cast<int>(ink.size()) && ink[end])
            ++end;
        runs.push_back({ y, end });
        y = end;
    }
    return runs;
}

// The typical text line height among the ink runs (specks, dots, accents and
// rules left out); 0 when there is none.
int line_height(const std::vector<Run>& runs)
{
    std::vector<int> heights;
    for (const Run& r : runs)
        if (r.end - r.begin >= 4)
            heights.push_back(r.end - r.begin);
    if (heights.empty())
        return 0;
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    return heights[heights.size() / 2];
}

// The scale factor for text lines `line` pixels tall: the models read best
// when lines are about `target` pixels tall.
int upscale_for(int line, int target, int max_factor)
{
    // Lines within a fifth of the target read as well as they are: scaling
    // them up only costs time (and measurably adds stray marks).
    if (line <= 0 || line * 5 >= target * 4)
        return 1;
    return std::clamp((target + line - 1) / line, 1, std::max(1, max_factor));
}

// Cuts the rows into at most `count` bands of similar amounts of ink. A cut
// goes through the middle of a blank gap, and only after a run at least half
// a text line tall: the dots and accents above a line are runs of their own,
// a gap or two above their letters, and must stay with them.
std::vector<Run> bands(const std::vector<Run>& runs, Run rows, int count, int min_band, int line_px)
{
    if (runs.empty())
        return {};
    const int height = rows.end;
    int ink_total = 0;
    for (const Run& r : runs)
        ink_total += r.end - r.begin;
    const int per_band = std::max(min_band, (ink_total + count - 1) / count);
    std::vector<Run> out;
    int start = rows.begin;
    int acc = 0;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        acc += runs[i].end - runs[i].begin;
        const bool whole_line = 2 * (runs[i].end - runs[i].begin) >= line_px;
        if (acc >= per_band && whole_line && i + 1 < runs.size()) {
            const int cut = (runs[i].end + runs[i + 1].begin) / 2;
            out.push_back({ start, cut });
            start = cut;
            acc = 0;
        }
    }
    out.push_back({ start, height });
    return out;
}

namespace {

std::array<std::size_t, 256> grey_histogram(const QImage& grey)
{
    std::array<std::size_t, 256> hist {};
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x)
            ++hist[row[x]];
    }
    return hist;
}

// The two most common greys of a picture, each counted with the greys
// within two levels of it.
struct Modes {
    int first = 0, second = 0;
    std::size_t first_n = 0, second_n = 0, pixels = 0;
};

Modes modes_of(const QImage& grey)
{
    auto hist = grey_histogram(grey);
    Modes m;
    m.pixels = static_cast<std::size_t>(grey.width()) * grey.height();
    const auto take = [&](int& mode, std::size_t& n) {
        mode = static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
        for (int v = std::max(0, mode - 2); v <= std::min(255, mode + 2); ++v) {
            n += hist[v];
            hist[v] = 0;
        }
    };
    take(m.first, m.first_n);
    take(m.second, m.second_n);
    return m;
}

// Whether a picture is mostly a dark grey and an eighth of it or more a
// light one: a light window selected with a wide margin of a black desktop,
// or a dark page with much light text, which its letters then tell apart. A
// mostly light picture is a light page, whatever dark buttons and panels
// hold more of its words.
bool split(const Modes& m)
{
    return m.first < 128 && m.second >= 128 && 8 * m.second_n >= m.pixels;
}

} // namespace

// The page's background: the most common grey, but the light one where a
// mostly dark picture holds an eighth or more of it (made dark on light,
// the page is the light side, the dark one the desktop around it).
int page_grey(const QImage& grey)
{
    const Modes m = modes_of(grey);
    return split(m) ? m.second : m.first;
}

int desktop_grey(const QImage& grey)
{
    const Modes m = modes_of(grey);
    return split(m) ? m.first : -1;
}

namespace {

// Whether the text of a picture split between a dark and a light grey is
// the dark one: letters are small marks of the text's side, apart from each
// other and from the picture's edge, and outnumber the small marks of the
// page's side (the counters of "o" and "e"). A desktop around a window is
// one large mark at the edge, whichever side it falls on, and a code's
// modules are solid squares.
bool dark_text(const QImage& grey, int split)
{
    const int w = grey.width(), h = grey.height();
    const std::size_t small = std::max<std::size_t>(4, static_cast<std::size_t>(w) * h / 100);
    std::vector<bool> seen(static_cast<std::size_t>(w) * h);
    const auto at = [w](QPoint q) { return static_cast<std::size_t>(q.y()) * w + q.x(); };
    const auto dark = [&](QPoint q) { return grey.constScanLine(q.y())[q.x()] < split; };
    std::vector<QPoint> stack;
    std::size_t marks[2] = { 0, 0 }; // light, dark
    for (int y0 = 0; y0 < h; ++y0)
        for (int x0 = 0; x0 < w; ++x0) {
            const QPoint seed(x0, y0);
            if (seen[at(seed)])
                continue;
            const bool side = dark(seed);
            std::size_t area = 0;
            const QRect box = flood(w, h, seed, stack, [&](QPoint q) { return !seen[at(q)] && dark(q) == side; },
                                    [&](QPoint q) { seen[at(q)] = true; }, [&](QPoint) { ++area; });
            // A code's modules are solid squares: no letters.
            const bool module = 10 * area >= 9 * static_cast<std::size_t>(box.width()) * box.height()
                && 4 * box.width() >= 3 * box.height() && 4 * box.height() >= 3 * box.width();
            marks[side] += area <= small && !module && box.left() > 0 && box.top() > 0 && box.right() < w - 1
                && box.bottom() < h - 1;
        }
    return marks[1] >= marks[0];
}

} // namespace

// A grey copy with dark text on a light background: images whose page is
// dark (dark mode) are inverted. The page is the most common grey, but for
// a mostly dark selection that holds an eighth or more of a light grey (a
// light window on a black desktop with a wide margin): then the page is the
// side its text stands on. Transparent pixels count as white.
QImage normalised_grey(const QImage& image)
{
    QImage rgb = image;
    if (image.hasAlphaChannel()) {
        rgb = QImage(image.size(), QImage::Format_RGB32);
        rgb.fill(Qt::white);
        QPainter p(&rgb);
        p.drawImage(0, 0, image);
    }
    QImage grey = rgb.convertToFormat(QImage::Format_Grayscale8);
    const Modes m = modes_of(grey);
    if (split(m) ? !dark_text(grey, (m.first + m.second) / 2) : m.first < 128)
        grey.invertPixels();
    return grey;
}

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

namespace {

// The median of a sliding window of grey values: a histogram and a pointer
// that moves a step or two per update, as the median changes slowly.
class RunningMedian {
public:
    void add(uchar v)
    {
        ++m_hist[v];
        ++m_n;
        m_below += v < m_m;
    }
    void remove(uchar v)
    {
        --m_hist[v];
        --m_n;
        m_below -= v < m_m;
    }
    uchar median()
    {
        const int target = m_n / 2;
        while (m_m > 0 && m_below > target) {
            --m_m;
            m_below -= m_hist[m_m];
        }
        while (m_m < 255 && m_below + m_hist[m_m] <= target) {
            m_below += m_hist[m_m];
            ++m_m;
        }
        return static_cast<uchar>(m_m);
    }

private:
    std::array<int, 256> m_hist {};
    int m_n = 0;
    int m_m = 128;
    int m_below = 0;
};

// A median of radius `r` along rows (or, with `vertical`, along columns).
QImage median_pass(const QImage& src, int r, bool vertical)
{
    const int w = src.width();
    const int h = src.height();
    QImage out(w, h, QImage::Format_Grayscale8);
    const int lines = vertical ? w : h;
    const int len = vertical ? h : w;
    const auto at = [&](const QImage& img, int line, int i) -> uchar {
        return vertical ? img.constScanLine(i)[line] : img.constScanLine(line)[i];
    };
    for (int line = 0; line < lines; ++line) {
        RunningMedian m;
        for (int i = 0; i <= std::min(r, len - 1); ++i)
            m.add(at(src, line, i));
        for (int i = 0; i < len; ++i) {
            const uchar v = m.median();
            if (vertical)
                out.scanLine(i)[line] = v;
            else
                out.scanLine(line)[i] = v;
            if (i + r + 1 < len)
                m.add(at(src, line, i + r + 1));
            if (i - r >= 0)
                m.remove(at(src, line, i - r));
        }
    }
    return out;
}

} // namespace

// A page is mostly its background colours: the share of pixels within a
// few grey levels of the most common one, and of the most common one apart
// from it. A window selected with the desktop around it has two (its page,
// a flat desktop or a black root); a gradient, a photo or a design tool's
// canvas has none.
double page_share(const QImage& grey)
{
    const Modes m = modes_of(grey);
    return static_cast<double>(m.first_n + m.second_n) / static_cast<double>(m.pixels);
}

namespace {

enum class Runs { DownColumns, AlongRows };

// The length of the run of marked pixels through each pixel of a w × h
// image, down its column or along its row (0 where unmarked).
template <typename Mark>
void run_lengths(int w, int h, Runs direction, const Mark& mark, std::vector<int>& out)
{
    const bool columns = direction == Runs::DownColumns;
    const int lines = columns ? w : h;
    const int len = columns ? h : w;
    for (int line = 0; line < lines; ++line) {
        const auto marked = [&](int i) { return columns ? mark(line, i) : mark(i, line); };
        for (int i = 0; i < len;) {
            int end = i;
            while (end < len && marked(end))
                ++end;
            for (int k = i; k < end; ++k)
                out[columns ? static_cast<std::size_t>(k) * w + line : static_cast<std::size_t>(line) * w + k] = end - i;
            i = std::max(end, i + 1);
        }
    }
}

} // namespace

// Paints long thin lines (a grid, rules, frames) over with the page's grey:
// runs of marks (pixels apart from the page, faintly drawn ones too: a line
// that fades in and out of the marks breaks into short runs that stay, and
// scaled up they read as "=" and "|") at least `length` long, no thicker
// across than the lines' most common thickness (3 pixels at most) and not
// much darker than the lines' own ink. Vertical lines go first, then
// horizontal ones, so that where two cross the crossing goes with the second
// (a faint crossing, twice drawn, is darker than either line, but not by
// much). A letter that crosses a line keeps its stroke, which is thicker than
// the line; one whose stroke lies right on a faint line keeps it by its ink;
// a filled area (a button, a sidebar) is thick both ways and stays.
void erase_long_lines(QImage& img, int page, int length)
{
    const int w = img.width();
    const int h = img.height();
    const auto ink = [&](int x, int y) { return std::abs(img.constScanLine(y)[x] - page); };
    const auto faint_mark = [&](int x, int y) { return ink(x, y) > 24; };
    std::vector<int> across(static_cast<std::size_t>(w) * h);
    std::vector<int> along(static_cast<std::size_t>(w) * h);
    for (const bool vertical : { true, false }) {
        run_lengths(w, h, Runs::DownColumns, faint_mark, across);
        run_lengths(w, h, Runs::AlongRows, faint_mark, along);
        const std::vector<int>& run = vertical ? across : along;
        std::vector<int>& thickness = vertical ? along : across;
        const auto on_line = [&](std::size_t i, int max_thickness) {
            return run[i] >= length && thickness[i] >= 1 && thickness[i] <= max_thickness;
        };
        // The lines' own ink, their median distance from the page: letters
        // are drawn solid, a design tool's grid faintly.
        std::array<std::size_t, 256> inks {};
        std::size_t count = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (on_line(static_cast<std::size_t>(y) * w + x, 3)) {
                    ++inks[static_cast<std::size_t>(ink(x, y))];
                    ++count;
                }
        // No thin long run at all: nothing here is a line, and the median
        // below would be no ink of any line.
        if (count == 0)
            continue;
        int line_ink = 0;
        for (std::size_t below = 0; line_ink < 255 && (below += inks[line_ink]) <= count / 2;)
            ++line_ink;
        // Across, only marks of half the lines' ink or more count: beside a
        // letter the page's estimate is off by a little, and that faint rim
        // must not make the line look thicker than it is.
        const int rim = std::max(24, line_ink / 2);
        run_lengths(w, h, vertical ? Runs::AlongRows : Runs::DownColumns,
                    [&](int x, int y) { return ink(x, y) > rim; }, thickness);
        // The lines' own thickness: where a letter's stroke runs along a
        // line the two are thicker together, and that stroke must stay.
        std::array<std::size_t, 4> thick {};
        for (std::size_t i = 0; i < run.size(); ++i)
            if (on_line(i, 3))
                ++thick[static_cast<std::size_t>(thickness[i])];
        const int line = static_cast<int>(std::max_element(thick.begin() + 1, thick.end()) - thick.begin());
        for (int y = 0; y < h; ++y) {
            uchar* row = img.scanLine(y);
            for (int x = 0; x < w; ++x)
                if (on_line(static_cast<std::size_t>(y) * w + x, line) && 2 * ink(x, y) <= 5 * line_ink)
                    row[x] = static_cast<uchar>(page);
        }
    }
}

// A busy page (text over a gradient, a photo or a grid) as dark ink on white:
// each pixel by its distance from the local background, a median over a
// window wider than a letter's stroke, then the long lines erased. Without
// this the engine binarises the background into blotches, and scaled up they
// become letter-sized marks.
QImage flattened(const QImage& grey)
{
    const QImage half = grey.scaled(std::max(1, grey.width() / 2), std::max(1, grey.height() / 2),
                                    Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const int r = BUSY_BACKGROUND_RADIUS / 2;
    const QImage background = median_pass(median_pass(half, r, false), r, true);
    QImage out(grey.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* src = grey.constScanLine(y);
        const uchar* bg = background.constScanLine(std::min(y / 2, background.height() - 1));
        uchar* dst = out.scanLine(y);
        for (int x = 0; x < grey.width(); ++x) {
            const int d = std::abs(src[x] - bg[std::min(x / 2, background.width() - 1)]);
            dst[x] = static_cast<uchar>(255 - std::min(255, d * 255 / FLAT_FULL_INK));
        }
    }
    erase_long_lines(out, 255, LONG_LINE_PX);
    return out;
}

// The image `factor` times larger, smoothly (itself at 1).
QImage upscaled(const QImage& img, int factor)
{
    return factor == 1 ? img
                       : img.scaled(img.width() * factor, img.height() * factor, Qt::IgnoreAspectRatio,
                                    Qt::SmoothTransformation);
}

// Drops "words" read from graphics: a scroll bar's thumb or an icon comes back
// as a letter or two in a box far taller than the text around it (and with
// low confidence; a real heading that tall reads with high confidence).
namespace {

std::vector<ReadWord> drop_graphics_read(std::vector<ReadWord> words, bool drop_strays)
{
    std::vector<double> heights;
    for (const ReadWord& w : words)
        heights.push_back(w.fragment.box.bottom - w.fragment.box.top);
    double median = 0;
    if (!heights.empty()) {
        std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
        median = heights[heights.size() / 2];
    }
    // A mark of a few characters read with low confidence, alone on its
    // line, is graphics too: a terminal's block cursor read as "A", a grid's
    // leftovers. Any other word on the line keeps it, however short and
    // unsure both are ("37 ms", "La red"): length and confidence alone never
    // take a word out of a line of text.
    const auto short_mark = [](const std::string& utf8) {
        // Characters, not bytes: UTF-8 continuation bytes are 10xxxxxx.
        return std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }) <= 4;
    };
    const auto mark = [&](const ReadWord& w) { return w.confidence < STRAY_CONFIDENCE && short_mark(w.fragment.text); };
    const auto alone_on_line = [&](const ReadWord& w) {
        const NormBox& a = w.fragment.box;
        return std::none_of(words.begin(), words.end(), [&](const ReadWord& o) {
            const NormBox& b = o.fragment.box;
            const double overlap = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
            return &o != &w && overlap > 0.5 * std::min(a.bottom - a.top, b.bottom - b.top);
        });
    };
    std::vector<ReadWord> out;
    for (const ReadWord& w : words) {
        const double h = w.fragment.box.bottom - w.fragment.box.top;
        const bool towering = h > 5 * median || (h > 2.5 * median && w.confidence < 50);
        const bool stray = drop_strays && mark(w) && alone_on_line(w);
        if (!towering && !stray)
            out.push_back(w);
    }
    return out;
}

} // namespace

std::vector<Fragment> drop_graphics(std::vector<ReadWord> words, bool drop_strays)
{
    std::vector<Fragment> out;
    for (ReadWord& w : drop_graphics_read(std::move(words), drop_strays))
        out.push_back(std::move(w.fragment));
    return out;
}

namespace {

// Whitens every dark mark connected to the image's border.
void erase_from_border(QImage& img)
{
    const int w = img.width();
    const int h = img.height();
    std::vector<QPoint> stack;
    const auto visit = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= w || y >= h || img.constScanLine(y)[x] >= 160)
            return;
        img.scanLine(y)[x] = 255;
        stack.emplace_back(x, y);
    };
    for (int x = 0; x < w; ++x) {
        visit(x, 0);
        visit(x, h - 1);
    }
    for (int y = 0; y < h; ++y) {
        visit(0, y);
        visit(w - 1, y);
    }
    while (!stack.empty()) {
        const QPoint p = stack.back();
        stack.pop_back();
        visit(p.x() + 1, p.y());
        visit(p.x() - 1, p.y());
        visit(p.x(), p.y() + 1);
        visit(p.x(), p.y() - 1);
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

// A patch's box grown out to its fill's own edges: the half-size box is a
// pixel or two off, and its rim taken off besides cuts into text that fills
// its bar (a warning bar's "y" and "h" reach within a pixel of its edges),
// which would then touch the border and be erased with it. A row or column
// is the patch's while the fill covers half of it; the box never shrinks.
QRect fill_extent(const QImage& grey, QRect box, int fill)
{
    const auto filled = [&](int x0, int y0, int x1, int y1) {
        int n = 0;
        for (int y = y0; y <= y1; ++y) {
            const uchar* row = grey.constScanLine(y);
            for (int x = x0; x <= x1; ++x)
                n += std::abs(row[x] - fill) <= 16;
        }
        return 2 * n >= (x1 - x0 + 1) * (y1 - y0 + 1);
    };
    for (int step = 0; step < 4 && box.top() > 0 && filled(box.left(), box.top() - 1, box.right(), box.top() - 1); ++step)
        box.setTop(box.top() - 1);
    for (int step = 0; step < 4 && box.bottom() < grey.height() - 1
         && filled(box.left(), box.bottom() + 1, box.right(), box.bottom() + 1);
         ++step)
        box.setBottom(box.bottom() + 1);
    for (int step = 0; step < 4 && box.left() > 0 && filled(box.left() - 1, box.top(), box.left() - 1, box.bottom()); ++step)
        box.setLeft(box.left() - 1);
    for (int step = 0; step < 4 && box.right() < grey.width() - 1
         && filled(box.right() + 1, box.top(), box.right() + 1, box.bottom());
         ++step)
        box.setRight(box.right() + 1);
    return box;
}

// A dark patch of a light page: its box in source pixels and the image to
// read, light text on the patch turned dark on white.
struct Patch {
    QRect box;
    QImage image;
    QRect area; // the whole patch, its rim included
};

// Buttons, badges and selected rows: areas whose local background is dark on
// a page whose background is light. Their light text reads badly in the page
// (the engine binarises the whole patch to black), so each is also read on
// its own, inverted. The background is a median over about one text line,
// along rows then along columns (on a half-size copy, for speed): strokes
// are a minority of such a window, and a median keeps a button's edges.
std::vector<Patch> dark_patches(const QImage& grey, int line)
{
    const QImage half = grey.scaled(std::max(1, grey.width() / 2), std::max(1, grey.height() / 2),
                                    Qt::IgnoreAspectRatio, Qt::FastTransformation);
    const int r = std::max(2, line / 4);
    const QImage background = median_pass(median_pass(half, r, false), r, true);
    const int w = background.width();
    const int h = background.height();
    const int page = page_grey(half);
    // "Dark": a background clearly apart from the page's (after the page was
    // made light, a patch of any other shade is darker).
    const auto dark = [&](int x, int y) { return std::abs(background.constScanLine(y)[x] - page) > 40; };
    std::vector<bool> seen(static_cast<std::size_t>(w) * h);
    std::vector<Patch> patches;
    std::vector<QPoint> stack;
    for (int y0 = 0; y0 < h; ++y0) {
        for (int x0 = 0; x0 < w; ++x0) {
            if (seen[y0 * w + x0] || !dark(x0, y0))
                continue;
            // Flood the patch, noting its extent and area.
            int area = 0;
            const auto at = [w](QPoint q) { return static_cast<std::size_t>(q.y()) * w + q.x(); };
            const QRect box = flood(w, h, QPoint(x0, y0), stack,
                [&](QPoint q) { return !seen[at(q)] && dark(q.x(), q.y()); }, [&](QPoint q) { seen[at(q)] = true; },
                [&](QPoint) { ++area; });
            const int left = box.left(), top = box.top();
            // Big enough to hold a line of text, and filled (not a frame).
            const int bw = box.width(), bh = box.height();
            // Rectangles (a rounded corner loses little): the page's own text
            // beside an L-shaped region must not be read as part of it.
            if (2 * bh < line || bw < line || 20 * area < 17 * bw * bh || patches.size() >= 32)
                continue;
            // The box less a rim (the patch's antialiased edge and rounded
            // corners would read as brackets), and its fill: its most common grey.
            QRect clipped = QRect(left * 2 + 2, top * 2 + 2, bw * 2 - 4, bh * 2 - 4).intersected(grey.rect());
            if (clipped.isEmpty())
                continue;
            std::array<int, 256> hist {};
            for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
                const uchar* src = grey.constScanLine(y);
                for (int x = clipped.left(); x <= clipped.right(); ++x)
                    ++hist[src[x]];
            }
            const int fill = static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
            clipped = fill_extent(grey, clipped, fill);
            // Each pixel by its distance from the fill: text of any colour
            // becomes dark on white (96 grey levels or more: full ink).
            QImage img(clipped.size(), QImage::Format_Grayscale8);
            for (int y = 0; y < img.height(); ++y) {
                const uchar* src = grey.constScanLine(clipped.y() + y) + clipped.x();
                uchar* dst = img.scanLine(y);
                for (int x = 0; x < img.width(); ++x)
                    dst[x] = static_cast<uchar>(255 - std::min(255, std::abs(src[x] - fill) * 255 / 96));
            }
            // What touches the box's border is the patch's own edge or the
            // page in its rounded corners, never its text (buttons pad it).
            erase_from_border(img);
            const QRect whole = QRect(left * 2 - 2, top * 2 - 2, bw * 2 + 4, bh * 2 + 4)
                                    .united(clipped.adjusted(-2, -2, 2, 2))
                                    .intersected(grey.rect());
            patches.push_back({ clipped, std::move(img), whole });
        }
    }
    return patches;
}

bool centre_in(const Fragment& f, const QRect& box, double w, double h)
{
    const double cx = (f.box.x0 + f.box.x1) / 2 * w;
    const double cy = (f.box.top + f.box.bottom) / 2 * h;
    return cx >= box.left() && cx <= box.right() + 1 && cy >= box.top() && cy <= box.bottom() + 1;
}

} // namespace

void paint_out(QImage& grey, const std::vector<Fragment>& codes)
{
    // The codes' boxes in the page's colour, with their quiet zone: four
    // modules, at most a fifth of the side of the smallest code.
    QPainter p(&grey);
    const int page = page_grey(grey);
    for (const Fragment& c : codes) {
        const double w = (c.box.x1 - c.box.x0) * grey.width();
        const double h = (c.box.bottom - c.box.top) * grey.height();
        const double m = 0.2 * std::max(w, h) + 2;
        p.fillRect(QRectF(c.box.x0 * grey.width() - m, c.box.top * grey.height() - m, w + 2 * m, h + 2 * m),
                   QColor(page, page, page));
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

namespace {

// Where `after` differs from `before` (255), or a null image when nowhere.
QImage changed_pixels(const QImage& before, const QImage& after)
{
    QImage mask(before.size(), QImage::Format_Grayscale8);
    if (mask.isNull())
        return {};
    bool any = false;
    for (int y = 0; y < before.height(); ++y) {
        const uchar* a = before.constScanLine(y);
        const uchar* b = after.constScanLine(y);
        uchar* m = mask.scanLine(y);
        for (int x = 0; x < before.width(); ++x) {
            m[x] = a[x] != b[x] ? 255 : 0;
            any = any || a[x] != b[x];
        }
    }
    return any ? mask : QImage();
}

} // namespace

std::expected<PreparedPage, std::string> prepare_page(QImage grey, const platform::TesseractOptions& options, int engines)
{
    PreparedPage out;
    out.size = grey.size();
    // The picture as it came, to tell where the preparation changed it.
    const QImage before = grey.copy();
    // Patches are areas of another background on a plain page; a busy
    // page has no plain background to stand apart from.
    bool read_patches = options.read_patches;
    // Patches are read as they are: the slivers of a button's fill
    // between its letters' parts (the dot of an "i" and its stem) are
    // thin and long enough to pass for lines.
    QImage with_lines;
    // Rows of window chrome at the top (title, menu and warning bars):
    // the page is what lies under them, and only the page may be busy. A
    // window selected with its bars is no busy page, and flattening it
    // against its local background merges strokes (a dotted zero
    // becomes an eight).
    const int desktop = desktop_grey(grey);
    int chrome_rows = chrome_top(grey, page_grey(grey), desktop);
    if (desktop >= 0)
        paint_desktop(grey, desktop, page_grey(grey));
    const bool busy = page_share(grey.copy(0, chrome_rows, grey.width(), grey.height() - chrome_rows)) < BUSY_PAGE_SHARE;
    if (busy) {
        grey = flattened(grey);
        read_patches = false;
        chrome_rows = 0;
    } else {
        erase_bar_icons(grey, chrome_rows);
        erase_edge_columns(grey, page_grey(grey));
        if (read_patches)
            with_lines = grey.copy();
        erase_long_lines(grey, page_grey(grey), LONG_LINE_PX);
        erase_blocks(grey, page_grey(grey), line_height(ink_runs(ink_rows(grey))));
    }
    out.chrome_rows = chrome_rows;
    // What the preparation painted over; patches, read on their own, are
    // not (their words come back). Known before a page left with no ink
    // returns: all it showed may have been painted out.
    out.changed = changed_pixels(before, grey);
    // Flattening changes every pixel's grey but paints nothing out: the
    // page is changed, and no word of it lies over what was painted.
    if (busy && !out.changed.isNull())
        out.changed.fill(0);
    std::vector<Run> runs = ink_runs(ink_rows(grey));
    if (runs.empty())
        return out;
    const int line = line_height(runs);
    // Each patch is read on its own, and the page is read without it: in
    // the page the engine's thresholds follow the patch's fill, and the
    // text beside it changes (two words run together, accents lost, the
    // patch's edge read as a bracket). What the page had there is kept
    // aside for a patch that reads as nothing.
    std::vector<Patch> patches;
    QImage& unpainted = out.unpainted;
    if (read_patches)
        patches = dark_patches(with_lines, line);
    if (!patches.empty()) {
        unpainted = grey.copy();
        const int page = page_grey(grey);
        for (const Patch& p : patches)
            for (int y = p.area.top(); y <= p.area.bottom(); ++y)
                std::fill_n(grey.scanLine(y) + p.area.left(), p.area.width(), static_cast<uchar>(page));
        runs = ink_runs(ink_rows(grey));
    }
    // Bars read apart and patches read on their own change what the engine
    // sees beside them (its thresholds, its lines) though nothing there
    // was painted out.
    if (out.changed.isNull() && (chrome_rows > 0 || !patches.empty())) {
        out.changed = QImage(grey.size(), QImage::Format_Grayscale8);
        out.changed.fill(0);
    }
    int& factor = out.factor;
    factor = upscale_for(line, options.target_line_px, options.max_upscale);
    // A very large selection of small text is scaled up less rather than
    // held four times over in memory.
    while (factor > 1 && static_cast<double>(grey.width()) * grey.height() * factor * factor > MAX_SCALED_PIXELS)
        --factor;
    out.scaled = upscaled(grey, factor);
    const QImage& scaled = out.scaled;
    if (scaled.isNull())
        return std::unexpected(std::string("no hay memoria para ampliar la imagen"));
    std::vector<Run> scaled_runs;
    for (const Run& r : runs)
        scaled_runs.push_back({ r.begin * factor, r.end * factor });

    // The page in bands, then each dark patch on its own.
    std::vector<ReadJob>& jobs = out.jobs;
    // The chrome at the top in bands of its own, the page in others.
    const int chrome = chrome_rows * factor;
    std::vector<Run> chrome_runs, page_runs;
    for (const Run& r : scaled_runs)
        (r.begin < chrome ? chrome_runs : page_runs).push_back(r);
    std::vector<Run> page_bands = bands(chrome_runs, { 0, chrome }, engines, MIN_BAND_PX, line * factor);
    for (const Run& band : bands(page_runs, { chrome, scaled.height() }, engines, MIN_BAND_PX, line * factor))
        page_bands.push_back(band);
    for (const Run& band : page_bands)
        jobs.push_back({ QImage(scaled.constScanLine(band.begin), scaled.width(), band.end - band.begin,
                                scaled.bytesPerLine(), QImage::Format_Grayscale8),
                         0, static_cast<double>(band.begin) / factor, static_cast<double>(factor) });
    out.page_jobs = jobs.size();
    for (const Patch& p : patches) {
        out.patch_boxes.push_back(p.box);
        out.patch_areas.push_back(p.area);
        jobs.push_back({ upscaled(p.image, factor), static_cast<double>(p.box.x()), static_cast<double>(p.box.y()),
                         static_cast<double>(factor) });
    }
    return out;
}

ReadJob as_shown(const PreparedPage& page, std::size_t patch)
{
    const QRect& a = page.patch_areas[patch];
    return { upscaled(page.unpainted.copy(a), page.factor), static_cast<double>(a.x()), static_cast<double>(a.y()),
             static_cast<double>(page.factor) };
}

namespace {

// Letters and digits in UTF-8 text: ASCII ones, and any character past
// Latin-1's symbols (accented letters and other scripts).
int letters_in(const std::string& utf8)
{
    int n = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (std::isalnum(c) || c == '%' || c == '$')
            ++n;
        else if (c == 0xE2 && utf8.compare(i, 3, "\u20ac") == 0) // the euro sign
            ++n;
        else if (c == 0xC3 || (c >= 0xC4 && c < 0xE2)) // U+00C0..U+1FFF lead bytes
            ++n;
    }
    return n;
}

int chars_in(const std::string& utf8)
{
    return static_cast<int>(std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

bool confident(const ReadWord& w)
{
    return w.confidence >= STRAY_CONFIDENCE && letters_in(w.fragment.text) > 0;
}

// The words in lines: sorted by top, each joining the last line when they
// share half the smaller height (as the layout groups them).
struct Row {
    double top = 0;
    double bottom = 0;
    std::vector<std::size_t> words;
};

std::vector<Row> rows_of(const std::vector<ReadWord>& words)
{
    std::vector<std::size_t> order(words.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const NormBox& x = words[a].fragment.box;
        const NormBox& y = words[b].fragment.box;
        return x.top != y.top ? x.top < y.top : x.x0 < y.x0;
    });
    std::vector<Row> rows;
    for (const std::size_t i : order) {
        const NormBox& b = words[i].fragment.box;
        if (!rows.empty()) {
            Row& last = rows.back();
            const double overlap = std::min(last.bottom, b.bottom) - std::max(last.top, b.top);
            if (overlap >= 0.5 * std::min(last.bottom - last.top, b.bottom - b.top)) {
                last.top = std::min(last.top, b.top);
                last.bottom = std::max(last.bottom, b.bottom);
                last.words.push_back(i);
                continue;
            }
        }
        rows.push_back({ b.top, b.bottom, { i } });
    }
    return rows;
}

bool same_line(const Row& a, const Row& b)
{
    const double overlap = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
    return overlap >= 0.5 * std::min(a.bottom - a.top, b.bottom - b.top);
}

// How a set of words reads: those read with confidence, the words with a
// letter or digit, and their mean confidence.
struct Reading {
    int confident = 0;
    int words = 0;
    double mean = 0;
};

Reading reading_of(const std::vector<const ReadWord*>& words)
{
    Reading r;
    double sum = 0;
    for (const ReadWord* w : words) {
        if (letters_in(w->fragment.text) == 0)
            continue;
        ++r.words;
        r.confident += confident(*w);
        sum += w->confidence;
    }
    r.mean = r.words ? sum / r.words : 0;
    return r;
}

// The share of a word's box that the preparation changed.
double changed_share(const ReadWord& w, const QImage& changed)
{
    if (changed.isNull())
        return 0;
    const NormBox& b = w.fragment.box;
    const QRect box = QRect(QPoint(static_cast<int>(b.x0 * changed.width()), static_cast<int>(b.top * changed.height())),
                            QPoint(static_cast<int>(b.x1 * changed.width()) - 1,
                                   static_cast<int>(b.bottom * changed.height()) - 1))
                          .intersected(changed.rect());
    if (box.isEmpty())
        return 0;
    int n = 0;
    for (int y = box.top(); y <= box.bottom(); ++y) {
        const uchar* row = changed.constScanLine(y);
        for (int x = box.left(); x <= box.right(); ++x)
            n += row[x] != 0;
    }
    return static_cast<double>(n) / (static_cast<double>(box.width()) * box.height());
}

// A word's letters and digits, lower case (bytes past ASCII kept): what
// two readings of one word are compared on, stray marks aside.
std::string letters_of(const std::string& utf8)
{
    std::string out;
    for (const char c : utf8)
        if (std::isalnum(static_cast<unsigned char>(c)) || (c & 0x80))
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    // A quote or an inverted mark read at a word's start ("‘", "¡") is no
    // letter: their UTF-8 bytes are past ASCII, so they go by name.
    for (const char* mark : { "\u2018", "\u2019", "\u201c", "\u201d", "\u00a1", "\u00bf", "\u00ab", "\u00bb" })
        for (std::size_t at; (at = out.find(mark)) != std::string::npos;)
            out.erase(at, std::strlen(mark));
    return out;
}

// Latin letters with an accent (two bytes, lead 0xC3) as their base
// letter, and how many a text holds.
std::string unaccented(const std::string& letters)
{
    // U+00E0..U+00FF after 0xC3: the second byte minus 0xA0.
    static const char BASE[] = "aaaaaaaceeeeiiiidnooooo/ouuuuyty";
    std::string out;
    for (std::size_t i = 0; i < letters.size(); ++i) {
        const auto c = static_cast<unsigned char>(letters[i]);
        const auto next = i + 1 < letters.size() ? static_cast<unsigned char>(letters[i + 1]) : 0;
        if (c == 0xC3 && next >= 0xA0 && next <= 0xBF) {
            out += BASE[next - 0xA0];
            ++i;
        } else {
            out += letters[i];
        }
    }
    return out;
}

int accents(const std::string& letters)
{
    return static_cast<int>(letters.size() - unaccented(letters).size());
}

bool has_digit(const std::string& text)
{
    return text.find_first_of("0123456789") != std::string::npos;
}

// Whether `part` is `whole` with some of its characters left out.
bool left_out_of(const std::string& part, const std::string& whole)
{
    std::size_t i = 0;
    for (const char c : whole)
        if (i < part.size() && part[i] == c)
            ++i;
    return i == part.size() && part.size() < whole.size();
}

// The items of two lists (`a` and `b` of them) that `touch` ties together,
// directly or through others, grouped: each group with the indices it
// holds of the first list and of the second, groups in the order of their
// first item.
struct Group {
    std::vector<std::size_t> first;
    std::vector<std::size_t> second;
};

template<typename Touch>
std::vector<Group> groups_of(std::size_t a, std::size_t b, Touch touch)
{
    std::vector<std::size_t> parent(a + b);
    for (std::size_t i = 0; i < parent.size(); ++i)
        parent[i] = i;
    const auto find = [&](std::size_t i) {
        while (parent[i] != i)
            i = parent[i] = parent[parent[i]];
        return i;
    };
    for (std::size_t i = 0; i < a; ++i)
        for (std::size_t j = 0; j < b; ++j)
            if (touch(i, j))
                parent[find(i)] = find(a + j);
    std::vector<Group> groups;
    std::vector<std::size_t> group_of(parent.size(), parent.size());
    for (std::size_t i = 0; i < parent.size(); ++i) {
        std::size_t& g = group_of[find(i)];
        if (g == parent.size()) {
            g = groups.size();
            groups.emplace_back();
        }
        if (i < a)
            groups[g].first.push_back(i);
        else
            groups[g].second.push_back(i - a);
    }
    return groups;
}

// Two readings of one stretch of a line, ours and the plain one: the words
// of each that cover the same ink.
struct Stretch {
    std::vector<const ReadWord*> ours;
    std::vector<const ReadWord*> plain;
    bool line_end = false; // ours holds the line's first or last word
};

// How much surer the plain reading must be to take a word ours read whole
// and it read with letters missing, within a line.
constexpr double CLEARLY_SURER = 5;

bool same_ink(const NormBox& a, const NormBox& b)
{
    const double across = std::min(a.x1, b.x1) - std::max(a.x0, b.x0);
    const double down = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
    return across > 0.3 * std::min(a.x1 - a.x0, b.x1 - b.x0)
        && down >= 0.5 * std::min(a.bottom - a.top, b.bottom - b.top);
}

// Which reading of a stretch both read stays. The plain one is what the
// engine reads of the picture as it stands, so ours stays only where it
// holds everything the plain one does and is not less sure of it:
// - the same words: the surer one's, whose boxes are the truer, unless
//   the plain one's are far taller;
// - a number, or a digit on either side ("0" for "o"): the plain one's,
//   unless the two agree or ours holds all of it and more, as surely
//   ("12" where the plain one read "1");
// - ours lacks characters the plain one has on ink ours left out
//   ("nforme"), read as a mark ("‘otal"), or read at least as surely:
//   the plain one's; ours has more, its own when it is as sure
//   ("Buscar"), not at the picture's edge (a border read as "l");
// - the same characters cut into words differently: the plain one's where
//   its words stand apart by a real space (a third of their height:
//   "21 %"), ours where they run together ("Segun" "da");
// - the same letters but for stray marks ("¡Pedido"): the shorter; but
//   for accents: the one with more ("más"), unless ours' more reach up
//   to the picture's top edge ("Nórte" from a bar the selection cut);
// - else ("Regién", "Región"): the surer, the plain one's at equal
//   confidence unless ours holds more letters.
bool plain_reads_better(const Stretch& s, QSize size)
{
    // One reading of the stretch: its letters, its text, its least sure
    // word and the ink it spans.
    struct Side {
        std::string letters, text;
        double conf = 100, from = 1, to = 0, ink = 0, top = 1, height = 0;
    };
    const auto side_of = [](const std::vector<const ReadWord*>& words) {
        Side out;
        for (const ReadWord* w : words) {
            out.letters += letters_of(w->fragment.text);
            out.text += w->fragment.text;
            out.conf = std::min<double>(out.conf, w->confidence);
            out.from = std::min(out.from, w->fragment.box.x0);
            out.top = std::min(out.top, w->fragment.box.top);
            out.height = std::max(out.height, w->fragment.box.bottom - w->fragment.box.top);
            // The ink its words cover, overlaps counted once (the words
            // come from left to right).
            out.ink += std::max(0.0, w->fragment.box.x1 - std::max(w->fragment.box.x0, out.to));
            out.to = std::max(out.to, w->fragment.box.x1);
        }
        return out;
    };
    const Side o = side_of(s.ours), pl = side_of(s.plain);
    const std::string &ours = o.letters, &plain = pl.letters, &ours_text = o.text, &plain_text = pl.text;
    const double ours_conf = o.conf, plain_conf = pl.conf;
    const double ours_from = o.from, ours_to = o.to, plain_from = pl.from, plain_to = pl.to;
    // The same words: the surer reading's, whose box is the truer (ours
    // may have stretched a word's box over a cursor below it), but not a
    // box half as tall again as ours (the plain reading's "using" boxed
    // over the lines around it), which the layout would take for an icon.
    if (ours_text == plain_text && s.ours.size() == s.plain.size())
        return plain_conf > ours_conf && pl.height <= 1.5 * o.height;
    // Ours' more at the picture's edge is its border read as a letter.
    const bool at_edge = ours_from * size.width() < 1 || ours_to * size.width() > size.width() - 1;
    if (has_digit(ours_text) || has_digit(plain_text))
        return !left_out_of(plain, ours) || at_edge || ours_conf < plain_conf;
    if (ours == plain && ours_text == plain_text) {
        // Cut differently: a real space between the plain words, read at
        // least as surely ("líne a" against "línea" is not).
        bool apart = s.plain.size() > s.ours.size() && plain_conf >= ours_conf;
        for (std::size_t i = 1; apart && i < s.plain.size(); ++i) {
            const NormBox& a = s.plain[i]->fragment.box;
            apart = (a.x0 - s.plain[i - 1]->fragment.box.x1) * size.width() >= (a.bottom - a.top) * size.height() / 3;
        }
        return apart;
    }
    if (left_out_of(ours, plain)) {
        // Ink ours left out (a letter's width, a third of the height: at
        // an end, "nforme", or between its words, "n" "s" for "notas"), a
        // letter ours read as a mark ("‘otal"), or the same ink read at
        // least as surely.
        const NormBox& b = s.plain.front()->fragment.box;
        const double wider = std::max((plain_to - plain_from) - (ours_to - ours_from), pl.ink - o.ink) * size.width();
        return wider >= (b.bottom - b.top) * size.height() / 3 || chars_in(ours_text) >= chars_in(plain_text)
            || plain_conf >= ours_conf;
    }
    // At a line's end ours' more is a border or a cursor beside the word
    // ("ly"), unless ours is surer; within a line the letters the plain
    // reading lost ("nea" against "línea") are ink too, and ours stays
    // unless the plain reading is clearly surer.
    if (left_out_of(plain, ours))
        return at_edge || (s.line_end ? ours_conf < plain_conf : ours_conf + CLEARLY_SURER < plain_conf);
    if (ours == plain)
        return chars_in(plain_text) <= chars_in(ours_text);
    // An accent is ink too: the reading with more of them ("más", "mas"),
    // but for ours' where its word reaches up to the picture's top edge
    // above the plain one's: a bar cut by the selection ("Nórte").
    if (unaccented(ours) == unaccented(plain) && accents(ours) != accents(plain))
        return accents(plain) > accents(ours) || (o.top * size.height() < 3 && o.top < pl.top);
    if (chars_in(ours) > chars_in(plain) && ours_conf >= plain_conf)
        return false;
    return plain_conf >= ours_conf;
}

// The words of a line both readings read: grouped into stretches of the
// same ink, each settled by plain_reads_better; a word only one reading
// holds stays (the plain one's that ours lost, ours that the plain one
// missed).
std::vector<const ReadWord*> settle(const std::vector<const ReadWord*>& ours, const std::vector<const ReadWord*>& plain,
                                    QSize size)
{
    double line_from = 1, line_to = 0;
    for (const ReadWord* w : ours) {
        line_from = std::min(line_from, w->fragment.box.x0);
        line_to = std::max(line_to, w->fragment.box.x1);
    }
    std::vector<const ReadWord*> kept;
    for (const Group& g : groups_of(ours.size(), plain.size(), [&](std::size_t i, std::size_t j) {
             return same_ink(ours[i]->fragment.box, plain[j]->fragment.box);
         })) {
        Stretch s;
        for (const std::size_t i : g.first)
            s.ours.push_back(ours[i]);
        for (const std::size_t j : g.second)
            s.plain.push_back(plain[j]);
        const auto by_x = [](const ReadWord* a, const ReadWord* b) { return a->fragment.box.x0 < b->fragment.box.x0; };
        std::sort(s.ours.begin(), s.ours.end(), by_x);
        std::sort(s.plain.begin(), s.plain.end(), by_x);
        s.line_end = !s.ours.empty()
            && (s.ours.front()->fragment.box.x0 <= line_from || s.ours.back()->fragment.box.x1 >= line_to);
        if (s.plain.empty()) {
            // Ink only ours read: a short mark it is unsure of is a
            // button's or an icon's, where the plain reading saw no text.
            for (const ReadWord* w : s.ours)
                if (w->confidence >= STRAY_CONFIDENCE || (chars_in(w->fragment.text) > 3 && w->confidence >= MARK_CONFIDENCE))
                    kept.push_back(w);
            continue;
        }
        if (s.ours.empty()) {
            // Ink only the plain reading read, unless ours read the same
            // word beside it (its box a little apart).
            for (const ReadWord* w : s.plain) {
                const NormBox& a = w->fragment.box;
                const double height = (a.bottom - a.top) * size.height();
                const bool read_here = std::any_of(ours.begin(), ours.end(), [&](const ReadWord* o) {
                    const NormBox& b = o->fragment.box;
                    return o->fragment.text == w->fragment.text
                        && std::max(b.x0 - a.x1, a.x0 - b.x1) * size.width() < 0.5 * height
                        && std::min(a.bottom, b.bottom) > std::max(a.top, b.top);
                });
                if (!read_here)
                    kept.push_back(w);
            }
            continue;
        }
        for (const ReadWord* w : plain_reads_better(s, size) ? s.plain : s.ours)
            kept.push_back(w);
    }
    return kept;
}

// A box far wider than its letters (a rule across the picture read as
// "2") spans ink that is not its own: no word. Letters are about as wide
// as the line they stand on is tall (`line`, normalised), whatever their
// own box: a dash, "..." or "mm" is far lower than it is wide, and a word.
bool wider_than_its_letters(const ReadWord& w, double line, QSize size)
{
    const NormBox& a = w.fragment.box;
    const double height = std::max(a.bottom - a.top, line) * size.height();
    return (a.x1 - a.x0) * size.width() > (chars_in(w.fragment.text) + 1) * height;
}

// The height of a line's letters: the middle one of its words' that hold
// a letter or digit (0 without one).
double line_height(const std::vector<const ReadWord*>& ours, const std::vector<const ReadWord*>& plain)
{
    std::vector<double> heights;
    for (const auto* words : { &ours, &plain })
        for (const ReadWord* w : *words)
            if (letters_in(w->fragment.text) > 0)
                heights.push_back(w->fragment.box.bottom - w->fragment.box.top);
    if (heights.empty())
        return 0;
    const auto mid = heights.begin() + static_cast<std::ptrdiff_t>(heights.size() / 2);
    std::nth_element(heights.begin(), mid, heights.end());
    return *mid;
}

// Drops the marks at either end of a line (`line`, any order; left sorted
// from left to right) that `allowed` lets go, each a letter or two
// or a bracketed one ("E)", "5", "[x]", "[=|"), set off from the line's
// words by more than their height and its own: an icon or a bar's buttons
// beside the text. The run of them at an end goes from the one nearest the
// text that stands apart; one word at least stays.
template<typename Allow>
void drop_end_marks(std::vector<const ReadWord*>& line, QSize size, Allow allowed)
{
    if (line.size() < 2)
        return;
    std::sort(line.begin(), line.end(),
              [](const ReadWord* x, const ReadWord* y) { return x->fragment.box.x0 < y->fragment.box.x0; });
    const auto mark = [&](const ReadWord* o) {
        const int chars = chars_in(o->fragment.text);
        return (chars <= 2 || (chars == 3 && letters_in(o->fragment.text) <= 1)) && allowed(o);
    };
    // Apart: more than the height of the mark or of the line's words,
    // whichever is taller, from the word beside it (a lowercase "a" is
    // shorter than a space is wide).
    std::vector<double> heights;
    for (const ReadWord* w : line)
        heights.push_back(w->fragment.box.bottom - w->fragment.box.top);
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    const double line_height = heights[heights.size() / 2];
    const auto apart = [&](const ReadWord* o, const ReadWord* next) {
        const NormBox& b = o->fragment.box;
        const double gap = std::max(next->fragment.box.x0 - b.x1, b.x0 - next->fragment.box.x1) * size.width();
        return gap > std::max(b.bottom - b.top, line_height) * size.height();
    };
    std::size_t end = line.size();
    while (end > 1 && mark(line[end - 1]))
        --end;
    for (std::size_t i = end; i < line.size(); ++i)
        if (apart(line[i], line[i - 1])) {
            line.resize(i);
            break;
        }
    std::size_t begin = 0;
    while (begin + 1 < line.size() && mark(line[begin]))
        ++begin;
    for (std::size_t i = begin; i-- > 0;)
        if (apart(line[i], line[i + 1])) {
            line.erase(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(i) + 1);
            break;
        }
}

} // namespace

std::vector<ReadWord> merge_plain(std::vector<ReadWord> prepared, std::vector<ReadWord> plain, const QImage& changed,
                                  QSize size)
{
    const std::vector<Row> ours = rows_of(prepared);
    const std::vector<Row> theirs = rows_of(plain);
    // Lines of the two readings that overlap form one group.
    std::vector<ReadWord> merged;
    for (const Group& g : groups_of(ours.size(), theirs.size(),
                                    [&](std::size_t i, std::size_t j) { return same_line(ours[i], theirs[j]); })) {
        std::vector<const ReadWord*> q, p;
        for (const std::size_t i : g.first)
            for (const std::size_t w : ours[i].words)
                q.push_back(&prepared[w]);
        for (const std::size_t j : g.second)
            for (const std::size_t w : theirs[j].words)
                p.push_back(&plain[w]);
        const double letter_height = line_height(q, p);
        std::erase_if(q, [&](const ReadWord* w) { return wider_than_its_letters(*w, letter_height, size); });
        // Whether the plain line is read, not half-read: judged on all of
        // its words, before the unsure ones go.
        const Reading whole = reading_of(p);
        const std::vector<const ReadWord*> read_plainly = p;
        // Whether every word of it was read surely: a short line ("Sí", "OK
        // 3", a lone number) has no long word to vouch for it.
        const bool sure = whole.words > 0 && std::all_of(p.begin(), p.end(), [](const ReadWord* w) {
            return letters_in(w->fragment.text) == 0 || w->confidence >= SURE_CONFIDENCE;
        });
        // The plain words that are no text, where ours read nothing beside
        // them: a short mark over what the preparation painted out (a window
        // button, an icon, a text cursor), or unsure marks (an icon's "ZX";
        // a title's unsure "de" stays).
        std::erase_if(p, [&](const ReadWord* w) {
            const NormBox& a = w->fragment.box;
            const bool under = std::any_of(q.begin(), q.end(), [&](const ReadWord* o) {
                const NormBox& b = o->fragment.box;
                return std::min(a.x1, b.x1) > std::max(a.x0, b.x0)
                    && std::min(a.bottom, b.bottom) - std::max(a.top, b.top)
                    >= 0.5 * std::min(a.bottom - a.top, b.bottom - b.top);
            });
            // No word: a blank box over a row or a stray mark, and a box
            // far wider than its letters.
            if (letters_in(w->fragment.text) == 0 || wider_than_its_letters(*w, letter_height, size))
                return true;
            if (under)
                return false;
            const double painted = changed_share(*w, changed);
            if (painted >= 0.2 && (chars_in(w->fragment.text) <= 3 || w->confidence < SURE_CONFIDENCE))
                return true;
            return w->confidence < MARK_CONFIDENCE
                || (w->confidence < STRAY_CONFIDENCE && (letters_in(w->fragment.text) < 2 || painted >= 0.2));
        });
        // A line the plain reading holds nothing of is text only when ours
        // read two words of three letters or more surely, and most of it
        // with confidence: marks of a picture, an icon, a bar's buttons
        // ("- ox"), a title half-read ("re erenc' s envio") or a border ours
        // made letter-sized are left out, not pasted half-read.
        const auto text_alone = [](const std::vector<const ReadWord*>& line) {
            const auto words = std::count_if(line.begin(), line.end(), [](const ReadWord* w) {
                return w->confidence >= SURE_CONFIDENCE && letters_in(w->fragment.text) >= 3;
            });
            const Reading r = reading_of(line);
            return words >= 2 && 2 * r.confident >= r.words;
        };
        if (whole.words == 0 && !q.empty() && !text_alone(q))
            continue;
        if (q.empty()) {
            // A line ours lacks joins when it is read, not half-read (a
            // title read as "Ll =: de anlos Fui" is not), and holds a word
            // once its marks went (a title cut through, read as "a ncias
            // dé", holds none) or was read surely throughout.
            const bool word = std::any_of(p.begin(), p.end(), [](const ReadWord* w) {
                return confident(*w) && letters_in(w->fragment.text) >= 3;
            });
            if ((word || sure) && 2 * whole.confident >= whole.words && whole.mean >= MARK_CONFIDENCE) {
                // Its unsure marks set off from its words (a title bar's
                // icon read as "c") are no more part of it than ours are.
                drop_end_marks(p, size, [](const ReadWord* w) { return w->confidence < SURE_CONFIDENCE; });
                for (const ReadWord* w : p)
                    merged.push_back(*w);
            }
            continue;
        }
        std::vector<const ReadWord*> kept = settle(q, p, size);
        // Marks of ours at an end of the line that the plain reading saw
        // nothing of, set off from the line's words (a dialog's icon, a title
        // bar's buttons read as "[=| El [x]"): never joined to the line.
        if (!p.empty())
            drop_end_marks(kept, size, [&](const ReadWord* o) {
                const NormBox& b = o->fragment.box;
                return std::none_of(p.begin(), p.end(), [&](const ReadWord* w) {
                    return std::min(b.x1, w->fragment.box.x1) > std::max(b.x0, w->fragment.box.x0);
                });
            });
        // A line neither reading could read with confidence (a title bar
        // behind its icon and buttons, marks of a picture) is left out,
        // not pasted half-read: judged row by row, as the lines come out,
        // and a row the plain reading read nothing on as a line alone.
        std::vector<ReadWord> words;
        for (const ReadWord* w : kept)
            words.push_back(*w);
        for (const Row& row : rows_of(words)) {
            std::vector<const ReadWord*> line;
            for (const std::size_t i : row.words)
                line.push_back(&words[i]);
            if (const Reading r = reading_of(line); r.words > 0 && 2 * r.confident < r.words)
                continue;
            // Seen by the plain reading: a word it kept on the row, or one
            // it read unsurely as the same letters over the same ink ("OK"
            // read at 24 where ours read "OK 3" surely; not "COR" for a
            // bar's buttons ours read as "- ox").
            const bool seen = std::any_of(p.begin(), p.end(), [&](const ReadWord* w) {
                return same_line(row, Row { w->fragment.box.top, w->fragment.box.bottom, {} });
            }) || std::any_of(line.begin(), line.end(), [&](const ReadWord* o) {
                return std::any_of(read_plainly.begin(), read_plainly.end(), [&](const ReadWord* w) {
                    return same_ink(o->fragment.box, w->fragment.box) && !letters_of(o->fragment.text).empty()
                        && letters_of(o->fragment.text) == letters_of(w->fragment.text);
                });
            });
            if (!seen && !text_alone(line))
                continue;
            for (const ReadWord* w : line)
                merged.push_back(*w);
        }
    }
    // In reading order: line by line, each from left to right.
    std::vector<ReadWord> out;
    for (Row& row : rows_of(merged)) {
        std::stable_sort(row.words.begin(), row.words.end(), [&](std::size_t a, std::size_t b) {
            return merged[a].fragment.box.x0 < merged[b].fragment.box.x0;
        });
        std::size_t from = 0, to = row.words.size();
        if (to >= 2) {
            // A letter or two at an end of the line, read unsurely in a box
            // twice as tall as the line's other words and set apart from them
            // by more than twice their height, is an icon (a title bar's,
            // read as "al" or "má" by either reading), not a word. A sure
            // "€" or "y" the engine boxed tall stays.
            std::vector<double> heights;
            for (const std::size_t i : row.words)
                heights.push_back(merged[i].fragment.box.bottom - merged[i].fragment.box.top);
            const auto mid = heights.begin() + static_cast<std::ptrdiff_t>((heights.size() - 1) / 2);
            std::nth_element(heights.begin(), mid, heights.end());
            const double line = *mid;
            const auto icon = [&](std::size_t i, std::size_t next) {
                const NormBox& a = merged[i].fragment.box;
                const NormBox& b = merged[next].fragment.box;
                const double gap = std::max(b.x0 - a.x1, a.x0 - b.x1) * size.width();
                return chars_in(merged[i].fragment.text) <= 2 && merged[i].confidence < SURE_CONFIDENCE
                    && a.bottom - a.top >= 2 * line && gap > 2 * line * size.height();
            };
            if (icon(row.words[0], row.words[1]))
                from = 1;
            if (to - from >= 2 && icon(row.words[to - 1], row.words[to - 2]))
                --to;
        }
        for (std::size_t k = from; k < to; ++k)
            out.push_back(std::move(merged[row.words[k]]));
    }
    return out;
}

namespace {

// A short word read surely whose box the engine stretched over the lines
// around it (a "€" or a "y" at a line's end boxed three lines tall) takes
// the rows of the nearest ordinary word beside it: left so, the layout
// takes it for an icon that spans lines and leaves it out.
void fit_tall_boxes(std::vector<ReadWord>& words, QSize size)
{
    std::vector<double> heights;
    for (const ReadWord& w : words)
        heights.push_back(w.fragment.box.bottom - w.fragment.box.top);
    if (heights.size() < 3)
        return;
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    const double median = heights[heights.size() / 2];
    for (ReadWord& w : words) {
        NormBox& a = w.fragment.box;
        if (a.bottom - a.top <= 2 * median || w.confidence < SURE_CONFIDENCE || chars_in(w.fragment.text) > 3)
            continue;
        const ReadWord* nearest = nullptr;
        double best = 3 * median * size.height();
        for (const ReadWord& o : words) {
            const NormBox& b = o.fragment.box;
            const double centre = (b.top + b.bottom) / 2;
            if (&o == &w || b.bottom - b.top > 1.5 * median || centre < a.top || centre > a.bottom)
                continue;
            const double gap = std::max(b.x0 - a.x1, a.x0 - b.x1) * size.width();
            if (gap < best) {
                best = gap;
                nearest = &o;
            }
        }
        if (nearest) {
            a.top = nearest->fragment.box.top;
            a.bottom = nearest->fragment.box.bottom;
        }
    }
}

} // namespace

std::vector<Fragment> keep_words(const PreparedPage& page, std::vector<std::vector<ReadWord>> read,
                                 std::vector<ReadWord> plain, bool drop_strays)
{
    const double w = page.size.width(), h = page.size.height();
    // What the page reading made of a patch's leftovers goes.
    std::vector<ReadWord> words;
    for (std::size_t j = 0; j < page.page_jobs && j < read.size(); ++j)
        for (ReadWord& word : read[j]) {
            bool covered = false;
            for (std::size_t i = 0; i < page.patch_boxes.size() && !covered; ++i)
                covered = centre_in(word.fragment, page.patch_boxes[i], w, h);
            if (!covered)
                words.push_back(std::move(word));
        }
    for (std::size_t j = page.page_jobs; j < read.size(); ++j)
        for (ReadWord& word : read[j])
            words.push_back(std::move(word));
    words = drop_graphics_read(std::move(words), drop_strays);
    // A window's bar whose text the engine could not read with confidence
    // is left out whole ("Guardar cambios" half-read as marks), not pasted
    // half-read.
    if (page.chrome_rows > 0) {
        const double bars = static_cast<double>(page.chrome_rows) / h;
        std::vector<bool> drop(words.size());
        for (const Row& row : rows_of(words)) {
            if ((row.top + row.bottom) / 2 >= bars)
                continue;
            std::vector<const ReadWord*> line;
            for (const std::size_t i : row.words)
                line.push_back(&words[i]);
            if (const Reading r = reading_of(line); 2 * r.confident < r.words || r.words == 0)
                for (const std::size_t i : row.words)
                    drop[i] = true;
        }
        std::vector<ReadWord> kept;
        for (std::size_t i = 0; i < words.size(); ++i)
            if (!drop[i])
                kept.push_back(std::move(words[i]));
        words = std::move(kept);
    }
    // The plain reading was taken wherever the page was changed, and
    // counts even when it read nothing at all.
    if (!page.changed.isNull() || !plain.empty())
        words = merge_plain(std::move(words), drop_graphics_read(std::move(plain), true), page.changed, page.size);
    fit_tall_boxes(words, page.size);
    std::vector<Fragment> out;
    for (ReadWord& w : words)
        out.push_back(std::move(w.fragment));
    return out;
}

platform::PagePreparation preparation()
{
    return {
        .grey = &normalised_grey,
        .paint_out = &paint_out,
        .page = &prepare_page,
        .as_shown = &as_shown,
        .words = &keep_words,
    };
}

} // namespace ocr_prepare
