// ocr_prepare: the picture made ready for the text recogniser, and what it
// read sorted out afterwards. Plain image work on QImage, no engine: the
// recogniser (platform/text_recognizer.h) calls it through the
// PagePreparation table that the shell installs at launch.
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
// A bar of a window's chrome (a title, menu or warning bar) is at most this
// many pixels tall; a taller band off the page's grey is a banner or a panel.
constexpr int MAX_BAR_PX = 40;

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
// The rows cut into at most `count` bands of similar amounts of ink.
std::vector<Run> bands(const std::vector<Run>& runs, Run rows, int count, int min_band, int line_px);

// The rows at the picture's top that are a window's bars; 0 when none.
// `desktop` is the grey of a desktop around the window, -1 when none.
int chrome_top(const QImage& grey, int page, int desktop = -1);
// Paints out the icons and buttons of the bars in rows [0, rows).
void erase_bar_icons(QImage& grey, int rows);
// Paints the border columns at the picture's left and right edges.
void erase_edge_columns(QImage& grey, int page);
// Paints long thin lines (a grid, rules, frames) with the page's grey.
void erase_long_lines(QImage& img, int page, int length);
// Paints out text-cursor blocks (solid or framed, about a line tall) for
// text lines `line` pixels tall.
void erase_blocks(QImage& grey, int page, int line);
// A busy page as dark ink on white against its local background.
QImage flattened(const QImage& grey);

// Drops "words" read from graphics (towering marks, short unsure marks alone
// on their line when `drop_strays`).
std::vector<platform::Fragment> drop_graphics(std::vector<platform::ReadWord> words, bool drop_strays);

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
// What the jobs read (one list a job, in the page's order), sorted out: the
// page's words over a patch go, the patches' words join, graphics drop, a
// bar read without confidence goes whole, and a word the engine boxed
// over the lines around it takes its line's rows. Then, where the page was
// changed, merge_plain with `plain` (the engine's reading of the picture as
// it stands, which may be empty).
std::vector<platform::Fragment> keep_words(const platform::PreparedPage& page,
                                           std::vector<std::vector<platform::ReadWord>> read,
                                           std::vector<platform::ReadWord> plain, bool drop_strays);
// The prepared reading and the plain one (boxes normalised to a picture of
// `size` pixels), their lines aligned by position. Within a line both read,
// the words of each over the same ink are weighed together, and ours stay
// only where they hold all the plain reading holds there and are not less
// sure of it: a number or a digit on either side, characters ours lacks,
// words cut apart at a real space go to the plain reading; a word only one
// reading read stays (ours' short unsure marks aside). So a line never
// holds fewer of the plain reading's words, nor a number of it changed. A
// row neither read with confidence goes. A plain line ours lacks joins when
// most of its words are read with confidence (letters or digits,
// STRAY_CONFIDENCE or more); a line of ours the plain reading holds nothing
// of stays only on the same terms and with two words of three letters or
// more read surely, or where the plain reading read the same letters over
// the same ink, however unsurely. A word wider than its letters could be
// on a line of its height (a rule read as "2") is no word in either. The
// plain reading's marks where ours read nothing (no letter, below
// MARK_CONFIDENCE, short or unsure over what the preparation painted out:
// `changed`, may be null) never join a line.
std::vector<platform::ReadWord> merge_plain(std::vector<platform::ReadWord> prepared, std::vector<platform::ReadWord> plain,
                                            const QImage& changed, QSize size);
// Below this confidence (0..100) a word is not read with confidence.
constexpr float STRAY_CONFIDENCE = 60;
// Read surely from this confidence.
constexpr float SURE_CONFIDENCE = 75;
// Below this, a word of the plain reading where ours read nothing is an
// icon's marks.
constexpr float MARK_CONFIDENCE = 50;

// The table the recogniser calls.
platform::PagePreparation preparation();

} // namespace ocr_prepare
