// Text recognition with Tesseract (LSTM) and barcode reading with ZXing.
//
// Screens carry small text: at scale 1 a UI label is 11-16 px tall, well
// below the size Tesseract's models were trained on, so images whose text
// lines are short are scaled up first. The image is then cut at blank rows
// into bands that are read in parallel, each by an engine of the pool (a
// Tesseract engine is not shared between threads). Barcodes are read first
// and painted out, so their modules are not mistaken for letters. Patches of
// another background (buttons, badges, selected rows) are read on their
// own, their text made dark on white, because the engine's binarisation
// turns a whole button black; the page is read with them painted out. A busy page (text over a gradient, a photo or a
// grid) is first flattened to ink on white against its local background, and
// long thin lines are painted out on every page: scaled up, blotches of
// background and grid crossings become letter-sized marks.
#include "platform/text_recognizer.h"
#include "platform/media_module.h"

#include "base/util.h"
#include "base/util_parallel.h"

#define ZX_USE_UTF8 1
#include <ZXing/BarcodeFormat.h>
#include <ZXing/BitMatrix.h>
#include <ZXing/MultiFormatWriter.h>
#include <ZXing/ReadBarcode.h>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <QPainter>

#include <dlfcn.h>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

namespace platform {

namespace {

// Bands are not cut thinner than this many scaled pixels of text: below it
// the engine's per-call overhead outweighs the parallel gain.
constexpr int MIN_BAND_PX = 120;
// At most this many pixels after scaling up (a 5K screen at scale 1, twice).
constexpr double MAX_SCALED_PIXELS = 64e6;
// A page whose most common grey covers less than this share is busy.
constexpr double BUSY_PAGE_SHARE = 0.7;
// The background of a busy page: a median over this radius, in pixels.
constexpr int BUSY_BACKGROUND_RADIUS = 10;
// On a flattened page, the distance from the local background that is full
// ink: half the grey range. Less, and the antialiased rims of the strokes
// turn solid, bold letters fatten and run together ("nf" read as "mfi").
constexpr int FLAT_FULL_INK = 128;
// Below this confidence (0..100) a short mark standing alone is no text.
constexpr float STRAY_CONFIDENCE = 60;
// Dark runs this long are lines, not letters' strokes.
constexpr int LONG_LINE_PX = 48;

std::string tessdata_dir()
{
    if (const char* env = std::getenv("TESSDATA_PREFIX"); env && *env)
        return env;
    for (const char* dir : { "/usr/share/tesseract-ocr/5/tessdata", "/usr/share/tesseract-ocr/4.00/tessdata",
                             "/usr/share/tessdata" })
        if (std::error_code ec; std::filesystem::exists(std::filesystem::path(dir) / "eng.traineddata", ec))
            return dir;
    return {};
}

// One Tesseract engine, loaded for one language string.
struct Engine {
    std::unique_ptr<tesseract::TessBaseAPI> api;
    std::string langs;
};

std::expected<std::unique_ptr<Engine>, std::string> load_engine(const std::string& data_dir, const std::string& langs,
                                                                bool single_block)
{
    auto engine = std::make_unique<Engine>();
    engine->api = std::make_unique<tesseract::TessBaseAPI>();
    engine->langs = langs;
    const char* path = data_dir.empty() ? nullptr : data_dir.c_str();
    if (engine->api->Init(path, langs.c_str(), tesseract::OEM_LSTM_ONLY) != 0)
        return std::unexpected(fmt::format("Tesseract no pudo cargar los idiomas {}", langs));
    // One block per band: the layout is done afterwards from the word boxes,
    // and the engine's own page analysis measurably drops words next to
    // graphics (a scroll bar) in window captures.
    engine->api->SetPageSegMode(single_block ? tesseract::PSM_SINGLE_BLOCK : tesseract::PSM_AUTO);
    // Its own debug output would go to standard error on every call.
    engine->api->SetVariable("debug_file", "/dev/null");
    return engine;
}

// A pool of loaded engines. acquire() hands out an idle engine, loads a new
// one while fewer than `max` exist, and otherwise waits for one to come back.
class EnginePool {
public:
    EnginePool(std::string data_dir, int max, bool single_block)
        : m_data_dir(std::move(data_dir)), m_max(max), m_single_block(single_block) { }

    int size() const { return m_max; }

    std::expected<std::unique_ptr<Engine>, std::string> acquire(const std::string& langs)
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            auto it = std::find_if(m_idle.begin(), m_idle.end(), [&](const auto& e) { return e->langs == langs; });
            if (it != m_idle.end()) {
                auto engine = std::move(*it);
                m_idle.erase(it);
                return engine;
            }
            if (m_loaded < m_max || !m_idle.empty()) {
                // An idle engine for other languages is dropped and replaced.
                if (m_loaded >= m_max)
                    m_idle.erase(m_idle.begin());
                else
                    ++m_loaded;
                lock.unlock();
                auto engine = load_engine(m_data_dir, langs, m_single_block);
                if (!engine) {
                    lock.lock();
                    --m_loaded;
                    m_cv.notify_one();
                }
                return engine;
            }
            m_cv.wait(lock);
        }
    }

    void release(std::unique_ptr<Engine> engine)
    {
        {
            std::lock_guard lock(m_mutex);
            m_idle.push_back(std::move(engine));
        }
        m_cv.notify_one();
    }

private:
    std::string m_data_dir;
    int m_max;
    bool m_single_block;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::unique_ptr<Engine>> m_idle;
    int m_loaded = 0;
};

// Rows of the image that hold ink: rows with a grey-level edge. Counting
// edges rather than dark pixels finds light text on a coloured button as well
// as dark text. Columns with an edge in most rows are window structure (a
// border, a divider, a scroll bar's side) and are left out, or no row would
// ever be blank.
std::vector<bool> ink_rows(const QImage& grey)
{
    const int w = grey.width();
    const int h = grey.height();
    const auto edge = [](const uchar* row, int x) { return std::abs(row[x] - row[x - 1]) > 48; };
    std::vector<int> per_column(w);
    for (int y = 0; y < h; ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 1; x < w; ++x)
            per_column[x] += edge(row, x);
    }
    std::vector<bool> structure(w);
    for (int x = 1; x < w; ++x)
        structure[x] = per_column[x] * 10 > h * 6;
    std::vector<bool> ink(h);
    for (int y = 0; y < h; ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 1; x < w && !ink[y]; ++x)
            ink[y] = edge(row, x) && !structure[x];
    }
    return ink;
}

struct Run {
    int begin;
    int end; // exclusive
};

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

// The page's background: the most common grey value.
int most_common_grey(const QImage& grey)
{
    const auto hist = grey_histogram(grey);
    return static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
}

// A grey copy with dark text on a light background: images whose mean is
// dark (dark mode) are inverted. Transparent pixels count as white.
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
    if (most_common_grey(grey) < 128)
        grey.invertPixels();
    return grey;
}

// The rows at the picture's top that are a window's chrome (a title bar, a
// menu bar, a warning bar): rows whose own background, their most common
// grey, is not the page's. 0 when the picture starts on the page. They are
// read as a band of their own: in one block with the page, the engine's
// thresholds and lines follow the bar, and the letters under it change (a
// dotted zero read as an eight).
int chrome_top(const QImage& grey, int page)
{
    const int w = grey.width();
    const int h = grey.height();
    const auto off_page = [&](int y) {
        std::array<int, 256> hist {};
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < w; ++x)
            ++hist[row[x]];
        const int background = static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
        return std::abs(background - page) > 2;
    };
    // The bars start at the top (a light rim or two may come first) and go
    // down to the last such row in the top half: bars come in a stack, with
    // lines and slivers of page between them.
    int first = 0;
    while (first < std::min(4, h / 2) && !off_page(first))
        ++first;
    if (first >= std::min(4, h / 2))
        return 0;
    int end = first + 1;
    for (int y = end; y < h / 2; ++y)
        if (off_page(y))
            end = y + 1;
    return end;
}

// Paints the chrome at the picture's left and right edges in the page's
// grey: the desktop beside a window, its border, a scroll bar's trough.
// Such a column stands apart from the page from top to bottom (nine pixels
// in ten); no letter fills a column of a picture taller than a long line.
// Left as it is, the engine joins the first letters of the lines to it and
// reads them as one tall mark. What is painted is the chrome's pixels only:
// the scan stops at the first column that has page in it.
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
    int left = 0;
    while (left < w / 3 && solid(left))
        ++left;
    int right = w;
    while (right > w - w / 3 && solid(right - 1))
        --right;
    if (left == 0 && right == w)
        return;
    for (int y = 0; y < h; ++y) {
        uchar* row = grey.scanLine(y);
        std::fill(row, row + left, static_cast<uchar>(page));
        std::fill(row + right, row + w, static_cast<uchar>(page));
    }
}

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

// A page is mostly its background colour: the share of pixels within a few
// grey levels of the most common one. A gradient, a photo or a design tool's
// canvas has no such colour.
double page_share(const QImage& grey)
{
    const auto hist = grey_histogram(grey);
    const int mode = static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
    std::size_t near = 0;
    for (int v = std::max(0, mode - 2); v <= std::min(255, mode + 2); ++v)
        near += hist[v];
    return static_cast<double>(near) / (static_cast<double>(grey.width()) * grey.height());
}

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

NormBox norm_box(double l, double t, double r, double b, double w, double h)
{
    return { l / w, r / w, t / h, b / h };
}

std::vector<Fragment> read_codes(const QImage& grey)
{
    ZXing::DecodeHints hints;
    hints.setFormats(ZXing::BarcodeFormat::QRCode | ZXing::BarcodeFormat::MicroQRCode | ZXing::BarcodeFormat::Aztec
                     | ZXing::BarcodeFormat::DataMatrix);
    hints.setTryHarder(true);
    const ZXing::ImageView view(grey.constBits(), grey.width(), grey.height(), ZXing::ImageFormat::Lum,
                                static_cast<int>(grey.bytesPerLine()));
    std::vector<Fragment> codes;
    for (const ZXing::Result& r : ZXing::ReadBarcodes(view, hints)) {
        if (!r.isValid())
            continue;
        const auto& pos = r.position();
        double l = pos[0].x, rt = pos[0].x, t = pos[0].y, b = pos[0].y;
        for (const auto& p : pos) {
            l = std::min<double>(l, p.x);
            rt = std::max<double>(rt, p.x);
            t = std::min<double>(t, p.y);
            b = std::max<double>(b, p.y);
        }
        codes.push_back({ r.text(), norm_box(l, t, rt + 1, b + 1, grey.width(), grey.height()) });
    }
    return codes;
}

// Reads the words of one band (rows [band.begin, band.end) of the scaled
// image) and appends them with boxes normalised to the whole scaled image.
struct Word {
    Fragment fragment;
    float confidence; // 0..100
};

// Drops "words" read from graphics: a scroll bar's thumb or an icon comes back
// as a letter or two in a box far taller than the text around it (and with
// low confidence; a real heading that tall reads with high confidence).
std::vector<Fragment> drop_graphics(std::vector<Word> words, bool drop_strays)
{
    std::vector<double> heights;
    for (const Word& w : words)
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
    const auto mark = [&](const Word& w) { return w.confidence < STRAY_CONFIDENCE && short_mark(w.fragment.text); };
    const auto alone_on_line = [&](const Word& w) {
        const NormBox& a = w.fragment.box;
        return std::none_of(words.begin(), words.end(), [&](const Word& o) {
            const NormBox& b = o.fragment.box;
            const double overlap = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
            return &o != &w && overlap > 0.5 * std::min(a.bottom - a.top, b.bottom - b.top);
        });
    };
    std::vector<Fragment> out;
    for (const Word& w : words) {
        const double h = w.fragment.box.bottom - w.fragment.box.top;
        const bool towering = h > 5 * median || (h > 2.5 * median && w.confidence < 50);
        const bool stray = drop_strays && mark(w) && alone_on_line(w);
        if (!towering && !stray)
            out.push_back(w.fragment);
    }
    return out;
}

// One piece of work for an engine: an image (a view into a larger one or an
// image of its own) and how its pixels map back to the source image:
// source = pixel / scale + origin.
struct Job {
    QImage image;
    double origin_x = 0;
    double origin_y = 0;
    double scale = 1;
};

// The library parallelises inside one engine with OpenMP; with several
// engines running at once that oversubscribes the cores and its threads spin
// (five times slower here). Its loops ask for a fixed thread count, so only
// making every parallel region of this thread inactive keeps each job on its
// own thread. The OpenMP runtime is the library's, not linked by us: it is
// reached where the library loaded it, and nothing is done without it.
void keep_library_on_this_thread()
{
    using SetInt = void (*)(int);
    static const std::pair<SetInt, SetInt> set = [] {
        void* omp = dlopen("libgomp.so.1", RTLD_NOW | RTLD_NOLOAD);
        if (!omp)
            return std::pair<SetInt, SetInt> {};
        return std::pair { reinterpret_cast<SetInt>(dlsym(omp, "omp_set_max_active_levels")),
                           reinterpret_cast<SetInt>(dlsym(omp, "omp_set_num_threads")) };
    }();
    if (set.first)
        set.first(0);
    if (set.second)
        set.second(1);
}

std::expected<std::vector<Word>, std::string> read_job(EnginePool& pool, const std::string& langs, const Job& job,
                                                       double source_w, double source_h)
{
    keep_library_on_this_thread();
    auto engine = pool.acquire(langs);
    if (!engine)
        return std::unexpected(engine.error());
    tesseract::TessBaseAPI& api = *(*engine)->api;
    api.SetImage(job.image.constBits(), job.image.width(), job.image.height(), 1,
                 static_cast<int>(job.image.bytesPerLine()));
    api.SetSourceResolution(300);
    std::vector<Word> words;
    if (api.Recognize(nullptr) != 0) {
        // A failed recognition is an error, not a picture without text.
        api.Clear();
        pool.release(std::move(*engine));
        return std::unexpected(std::string("Tesseract no pudo reconocer la imagen"));
    }
    {
        std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
        if (it && !it->Empty(tesseract::RIL_WORD)) {
            do {
                std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
                int l = 0, t = 0, r = 0, b = 0;
                if (!text || !it->BoundingBox(tesseract::RIL_WORD, &l, &t, &r, &b))
                    continue;
                const auto sx = [&](int v) { return v / job.scale + job.origin_x; };
                const auto sy = [&](int v) { return v / job.scale + job.origin_y; };
                words.push_back({ { text.get(), norm_box(sx(l), sy(t), sx(r), sy(b), source_w, source_h) },
                                  it->Confidence(tesseract::RIL_WORD) });
            } while (it->Next(tesseract::RIL_WORD));
        }
    }
    api.Clear();
    pool.release(std::move(*engine));
    return words;
}

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
    const int page = most_common_grey(half);
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
            int left = x0, right = x0, top = y0, bottom = y0, area = 0;
            stack.assign(1, QPoint(x0, y0));
            seen[y0 * w + x0] = true;
            while (!stack.empty()) {
                const QPoint p = stack.back();
                stack.pop_back();
                ++area;
                left = std::min(left, p.x());
                right = std::max(right, p.x());
                top = std::min(top, p.y());
                bottom = std::max(bottom, p.y());
                for (const QPoint d : { QPoint(1, 0), QPoint(-1, 0), QPoint(0, 1), QPoint(0, -1) }) {
                    const QPoint q = p + d;
                    if (q.x() < 0 || q.y() < 0 || q.x() >= w || q.y() >= h || seen[q.y() * w + q.x()] || !dark(q.x(), q.y()))
                        continue;
                    seen[q.y() * w + q.x()] = true;
                    stack.push_back(q);
                }
            }
            // Big enough to hold a line of text, and filled (not a frame).
            const int bw = right - left + 1, bh = bottom - top + 1;
            // Rectangles (a rounded corner loses little): the page's own text
            // beside an L-shaped region must not be read as part of it.
            if (2 * bh < line || bw < line || 20 * area < 17 * bw * bh || patches.size() >= 32)
                continue;
            // The box less a rim (the patch's antialiased edge and rounded
            // corners would read as brackets), and its fill: its most common grey.
            const QRect clipped = QRect(left * 2 + 2, top * 2 + 2, bw * 2 - 4, bh * 2 - 4).intersected(grey.rect());
            if (clipped.isEmpty())
                continue;
            std::array<int, 256> hist {};
            for (int y = clipped.top(); y <= clipped.bottom(); ++y) {
                const uchar* src = grey.constScanLine(y);
                for (int x = clipped.left(); x <= clipped.right(); ++x)
                    ++hist[src[x]];
            }
            const int fill = static_cast<int>(std::max_element(hist.begin(), hist.end()) - hist.begin());
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
            const QRect whole = QRect(left * 2 - 2, top * 2 - 2, bw * 2 + 4, bh * 2 + 4).intersected(grey.rect());
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

class TextRecognizerTesseract final : public TextRecognizer {
public:
    explicit TextRecognizerTesseract(TesseractOptions options)
        : m_options(std::move(options))
        , m_data_dir(m_options.data_dir.empty() ? tessdata_dir() : m_options.data_dir)
        , m_pool(m_data_dir, m_options.engines > 0 ? m_options.engines
                                                   : static_cast<int>(std::clamp(util::parallelism(), 1u, 4u)),
                 m_options.single_block)
    {
    }

    std::vector<std::string> supported_languages() override
    {
        std::vector<std::string> tags;
        const auto has = [&](const char* code) {
            std::error_code ec;
            return std::filesystem::exists(std::filesystem::path(m_data_dir) / fmt::format("{}.traineddata", code), ec);
        };
        if (has("spa")) {
            tags.push_back("es-MX");
            tags.push_back("es-ES");
        }
        if (has("eng"))
            tags.push_back("en-US");
        return tags;
    }

    void prepare(const std::vector<std::string>& languages) override
    {
        const std::string langs = tesseract_languages(languages);
        std::vector<std::unique_ptr<Engine>> loaded;
        const auto engines = static_cast<std::size_t>(m_pool.size());
        std::mutex mutex;
        util::parallel_for(engines, { .chunks = engines, .threads = engines }, [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i) {
                auto engine = m_pool.acquire(langs);
                std::lock_guard lock(mutex);
                if (engine)
                    loaded.push_back(std::move(*engine));
                else
                    util::log(engine.error());
            }
        });
        for (auto& engine : loaded)
            m_pool.release(std::move(engine));
    }

    std::expected<Recognition, std::string> recognize(const QImage& image,
                                                      const std::vector<std::string>& languages) override
    {
        Recognition out;
        if (image.isNull() || image.width() < 1 || image.height() < 1)
            return out;
        QImage grey = normalised_grey(image);
        out.codes = read_codes(grey);
        if (out.codes.empty()) {
            // Codes print dark on light whatever the page around them: a code
            // on a dark page reads only in the other polarity (and a
            // light-on-dark code on a light page likewise).
            QImage other = grey;
            other.invertPixels();
            out.codes = read_codes(other);
        }
        if (!out.codes.empty()) {
            // Paint the codes out in the page's colour, with their quiet zone:
            // four modules, at most a fifth of the side of the smallest code.
            QPainter p(&grey);
            const int page = most_common_grey(grey);
            for (const Fragment& c : out.codes) {
                const double w = (c.box.x1 - c.box.x0) * grey.width();
                const double h = (c.box.bottom - c.box.top) * grey.height();
                const double m = 0.2 * std::max(w, h) + 2;
                p.fillRect(QRectF(c.box.x0 * grey.width() - m, c.box.top * grey.height() - m, w + 2 * m, h + 2 * m),
                           QColor(page, page, page));
            }
        }
        // Patches are areas of another background on a plain page; a busy
        // page has no plain background to stand apart from.
        bool read_patches = m_options.read_patches;
        // Patches are read as they are: the slivers of a button's fill
        // between its letters' parts (the dot of an "i" and its stem) are
        // thin and long enough to pass for lines.
        QImage with_lines;
        // Rows of window chrome at the top (title, menu and warning bars):
        // the page is what lies under them, and only the page may be busy. A
        // window selected with its bars is no busy page, and flattening it
        // against its local background merges strokes (a dotted zero
        // becomes an eight).
        int chrome_rows = chrome_top(grey, most_common_grey(grey));
        if (page_share(grey.copy(0, chrome_rows, grey.width(), grey.height() - chrome_rows)) < BUSY_PAGE_SHARE) {
            grey = flattened(grey);
            read_patches = false;
            chrome_rows = 0;
        } else {
            erase_edge_columns(grey, most_common_grey(grey));
            if (read_patches)
                with_lines = grey.copy();
            erase_long_lines(grey, most_common_grey(grey), LONG_LINE_PX);
        }
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
        QImage unpainted;
        if (read_patches)
            patches = dark_patches(with_lines, line);
        if (!patches.empty()) {
            unpainted = grey.copy();
            const int page = most_common_grey(grey);
            for (const Patch& p : patches)
                for (int y = p.area.top(); y <= p.area.bottom(); ++y)
                    std::fill_n(grey.scanLine(y) + p.area.left(), p.area.width(), static_cast<uchar>(page));
            runs = ink_runs(ink_rows(grey));
        }
        int factor = upscale_for(line, m_options.target_line_px, m_options.max_upscale);
        // A very large selection of small text is scaled up less rather than
        // held four times over in memory.
        while (factor > 1 && static_cast<double>(grey.width()) * grey.height() * factor * factor > MAX_SCALED_PIXELS)
            --factor;
        const QImage scaled = upscaled(grey, factor);
        if (scaled.isNull())
            return std::unexpected(std::string("no hay memoria para ampliar la imagen"));
        std::vector<Run> scaled_runs;
        for (const Run& r : runs)
            scaled_runs.push_back({ r.begin * factor, r.end * factor });

        // The page in bands, then each dark patch on its own.
        std::vector<Job> jobs;
        // The chrome at the top in bands of its own, the page in others.
        const int chrome = chrome_rows * factor;
        std::vector<Run> chrome_runs, page_runs;
        for (const Run& r : scaled_runs)
            (r.begin < chrome ? chrome_runs : page_runs).push_back(r);
        std::vector<Run> page_bands = bands(chrome_runs, { 0, chrome }, m_pool.size(), MIN_BAND_PX, line * factor);
        for (const Run& band : bands(page_runs, { chrome, scaled.height() }, m_pool.size(), MIN_BAND_PX, line * factor))
            page_bands.push_back(band);
        for (const Run& band : page_bands)
            jobs.push_back({ QImage(scaled.constScanLine(band.begin), scaled.width(), band.end - band.begin,
                                    scaled.bytesPerLine(), QImage::Format_Grayscale8),
                             0, static_cast<double>(band.begin) / factor, static_cast<double>(factor) });
        const std::size_t page_jobs = jobs.size();
        for (const Patch& p : patches) {
            jobs.push_back({ upscaled(p.image, factor), static_cast<double>(p.box.x()), static_cast<double>(p.box.y()),
                             static_cast<double>(factor) });
        }

        const std::string langs = tesseract_languages(languages);
        const double w = grey.width(), h = grey.height();
        std::vector<std::expected<std::vector<Word>, std::string>> results(jobs.size());
        // As many threads as engines, each taking the next job.
        const std::size_t workers = std::min<std::size_t>(jobs.size(), m_pool.size());
        util::parallel_for(jobs.size(), { .chunks = jobs.size(), .threads = workers }, [&](std::size_t from, std::size_t to) {
            for (std::size_t i = from; i < to; ++i)
                results[i] = read_job(m_pool, langs, jobs[i], w, h);
        });
        for (const auto& r : results)
            if (!r)
                return std::unexpected(r.error());
        // A patch that reads as nothing is read as the page showed it.
        for (std::size_t i = 0; i < patches.size(); ++i) {
            if (!results[page_jobs + i]->empty())
                continue;
            const QRect& a = patches[i].area;
            const Job job { upscaled(unpainted.copy(a), factor), static_cast<double>(a.x()),
                            static_cast<double>(a.y()), static_cast<double>(factor) };
            auto words = read_job(m_pool, langs, job, w, h);
            if (!words)
                return std::unexpected(words.error());
            results[page_jobs + i] = std::move(words);
        }

        // What the page reading made of a patch's leftovers goes.
        std::vector<Word> words;
        for (std::size_t j = 0; j < page_jobs; ++j)
            for (Word& word : *results[j]) {
                bool covered = false;
                for (std::size_t i = 0; i < patches.size() && !covered; ++i)
                    covered = centre_in(word.fragment, patches[i].box, w, h);
                if (!covered)
                    words.push_back(std::move(word));
            }
        for (std::size_t i = 0; i < patches.size(); ++i)
            for (Word& word : *results[page_jobs + i])
                words.push_back(std::move(word));
        out.texts = drop_graphics(std::move(words), m_options.drop_strays);
        return out;
    }

private:
    TesseractOptions m_options;
    std::string m_data_dir;
    EnginePool m_pool;
};

} // namespace

std::string tesseract_languages(const std::vector<std::string>& locale_tags)
{
    std::vector<std::string> codes;
    for (const std::string& tag : locale_tags) {
        std::string code;
        if (tag == "es-MX" || tag == "es-ES")
            code = "spa";
        else if (tag == "en-US")
            code = "eng";
        if (!code.empty() && std::find(codes.begin(), codes.end(), code) == codes.end())
            codes.push_back(code);
    }
    if (codes.empty())
        return "eng";
    std::string out = codes[0];
    for (std::size_t i = 1; i < codes.size(); ++i)
        out += "+" + codes[i];
    return out;
}

std::unique_ptr<TextRecognizer> tess::create_recognizer(TesseractOptions options)
{
    return std::make_unique<TextRecognizerTesseract>(std::move(options));
}

QImage render_qr_code(std::string_view payload, int module_px)
{
    ZXing::MultiFormatWriter writer(ZXing::BarcodeFormat::QRCode);
    writer.setMargin(0);
    const ZXing::BitMatrix matrix = writer.encode(std::string(payload), 0, 0);
    const int quiet = 4;
    const int side = (matrix.width() + 2 * quiet) * module_px;
    QImage img(side, side, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    for (int y = 0; y < matrix.height(); ++y)
        for (int x = 0; x < matrix.width(); ++x)
            if (matrix.get(x, y))
                p.fillRect((x + quiet) * module_px, (y + quiet) * module_px, module_px, module_px, Qt::black);
    return img;
}

} // namespace platform
