// The picture made ready for the recogniser: what the engine reads and
// what sorting out its words needs.
#include "capture/ocr_prepare.h"
#include "capture/ocr_choice.h"
#include "capture/ocr_flood.h"

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
// An edge running down a column this far without a break is no letter's.
constexpr int MIN_STRUCTURE_PX = 64;


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
    const int page = page_grey(grey);
    const double border = static_cast<double>(BORDER_PX) / factor;
    for (const Run& band : page_bands) {
        QImage framed = bordered(QImage(scaled.constScanLine(band.begin), scaled.width(), band.end - band.begin,
                                        scaled.bytesPerLine(), QImage::Format_Grayscale8),
                                 page);
        if (framed.isNull())
            return std::unexpected(std::string("no hay memoria para ampliar la imagen"));
        jobs.push_back({ std::move(framed), -border, static_cast<double>(band.begin) / factor - border,
                         static_cast<double>(factor) });
    }
    out.page_jobs = jobs.size();
    for (const Patch& p : patches) {
        out.patch_boxes.push_back(p.box);
        out.patch_areas.push_back(p.area);
        // A patch keeps its own edges: it is a bar or a button whose text
        // fills it to within a pixel, and a white frame beside its first
        // and last letters reads as strokes ("Waming" for "Warning").
        jobs.push_back({ upscaled(p.image, factor), static_cast<double>(p.box.x()), static_cast<double>(p.box.y()),
                         static_cast<double>(factor) });
    }
    return out;
}

ReadJob as_shown(const PreparedPage& page, std::size_t patch)
{
    const QRect& a = page.patch_areas[patch];
    const double border = static_cast<double>(BORDER_PX) / page.factor;
    return { bordered(upscaled(page.unpainted.copy(a), page.factor), page_grey(page.unpainted)), a.x() - border,
             a.y() - border, static_cast<double>(page.factor) };
}

QImage bordered(const QImage& source, int grey)
{
    const QImage img = source.format() == QImage::Format_Grayscale8 ? source
                                                                     : source.convertToFormat(QImage::Format_Grayscale8);
    QImage out(img.width() + 2 * BORDER_PX, img.height() + 2 * BORDER_PX, QImage::Format_Grayscale8);
    if (out.isNull())
        return out;
    out.fill(QColor(grey, grey, grey));
    for (int y = 0; y < img.height(); ++y)
        std::memcpy(out.scanLine(y + BORDER_PX) + BORDER_PX, img.constScanLine(y), static_cast<std::size_t>(img.width()));
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