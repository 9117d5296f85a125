// ocr_prepare: the picture made ready for the text recogniser, our own
// reading of it. The engine also reads the picture as it stands (the plain
// reading, the base of every result); capture/ocr_choice.h chooses between
// the two line by line, and capture/ocr_chrome.h finds a window's chrome.
// Plain image work on QImage, no engine: the recogniser
// (platform/text_recognizer.h) calls it through the PagePreparation table
// that the shell installs at launch.
//
// Screens carry small text: at scale 1 a UI label is 11-16 px tall, well
// below the size the engine's models were trained on, so images whose text
// lines are short are scaled up first. The image is then cut at blank rows
// into bands that are read in parallel. Patches of another background
// (buttons, badges, selected rows) are read on their own, their text made
// dark on white, because the engine's binarisation turns a whole button
// black; the page is read with them painted out. A busy page (text over a
// gradient, a photo or a grid) is first flattened to ink on white against
// its local background, and long thin lines are painted out on every page:
// scaled up, blotches of background and grid crossings become letter-sized
// marks. A window's chrome is read apart from its page (the bars at the top)
// or painted out (the border columns at the sides, the bars' icons).
#pragma once

#include "capture/ocr_chrome.h"
#include "platform/text_recognizer.h"

#include <QImage>

#include <array>
#include <cstddef>
#include <expected>
#include <string>
#include <vector>

namespace ocr_prepare {

// Bands are not cut thinner than this many scaled pixels of text: below it
// the engine's per-call overhead outweighs the parallel gain.
constexpr int MIN_BAND_PX = 120;
// At most this many pixels after scaling up (a 5K screen at scale 1, twice).
constexpr double MAX_SCALED_PIXELS = 64e6;
// A page whose most common grey covers less than this share is busy.
constexpr double BUSY_PAGE_SHARE = 0.7;
// Dark runs this long are lines, not letters' strokes.
constexpr int LONG_LINE_PX = 48;

struct Run {
    int begin;
    int end; // exclusive
};

// A grey copy with dark text on a light background: images whose page is
// dark (dark mode) are inverted. Transparent pixels count as white.
QImage normalised_grey(const QImage& image);
// The page's background in such a copy: its most common grey, or the light
// one where a mostly dark picture holds an eighth or more of it.
int page_grey(const QImage& grey);
// The dark grey around the page in such a picture (a desktop around a
// window), -1 where there is none.
int desktop_grey(const QImage& grey);
// The share of pixels within a few grey levels of the two most common ones.
double page_share(const QImage& grey);

// Rows of the image that hold ink, and their runs.
std::vector<bool> ink_rows(const QImage& grey);
std::vector<Run> ink_runs(const std::vector<bool>& ink);
// The typical text line height among the ink runs; 0 when there is none.
int line_height(const std::vector<Run>& runs);
// The scale factor for text lines `line` pixels tall.
int upscale_for(int line, int target, int max_factor);
// The image `factor` times larger, smoothly (itself at 1).
QImage upscaled(const QImage& img, int factor);
// A grey image with a clean border of BORDER_PX pixels of `grey` around it:
// the engine reads letters that touch a picture's edge worse (a tight
// selection of a terminal's lines), as its models were trained on pages
// with margins.
constexpr int BORDER_PX = 12;
QImage bordered(const QImage& img, int grey);
// The rows cut into at most `count` bands of similar amounts of ink.
std::vector<Run> bands(const std::vector<Run>& runs, Run rows, int count, int min_band, int line_px);

// Paints long thin lines (a grid, rules, frames) with the page's grey.
void erase_long_lines(QImage& img, int page, int length);
// A busy page as dark ink on white against its local background.
QImage flattened(const QImage& grey);

// The picture's text painted out where barcodes were read.
void paint_out(QImage& grey, const std::vector<platform::Fragment>& codes);
// The page cut into what the engines read: chrome read apart or painted
// out, a busy page flattened, patches taken out, scaled up, in bands for
// `engines` engines. Fails when the scaled copy finds no memory.
std::expected<platform::PreparedPage, std::string> prepare_page(QImage grey, const platform::TesseractOptions& options,
                                                                int engines);
// A patch (its number among the patches) as the page showed it, to read
// when its own reading gives nothing.
platform::ReadJob as_shown(const platform::PreparedPage& page, std::size_t patch);
// The table the recogniser calls.
platform::PagePreparation preparation();

} // namespace ocr_prepare
