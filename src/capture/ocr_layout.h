// ocr: laying recognised fragments out as plain text (the pure half of the
// module; no Qt, so it links into the headless tests).
//
// The recogniser hands back fragments (words or runs of words, and barcode
// payloads) with boxes in image pixels; this file turns them into lines of
// text in reading order: barcode payloads first, a blank line, then the text
// lines, with a blank line where the vertical gap marks a new paragraph and
// four spaces where a horizontal gap marks a new column. No line holds a tab
// or another control character: a recogniser's are made spaces.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace ocr {

// One recognised fragment: its text and its box in image pixels, origin at
// the top-left corner (x0 left, x1 right, top, bottom), and the recogniser's
// text line it was read on (-1 when the recogniser does not tell).
struct Found {
    std::string text;
    double x0 = 0;
    double x1 = 0;
    double top = 0;
    double bottom = 0;
    int line = -1;
};

// The fragments of one text line, in the order they were added. Its top is
// the least top and its bottom the greatest bottom of its fragments.
struct Line {
    std::vector<Found> parts;
    double top = 0;
    double bottom = 0;
    double height() const { return bottom - top; }
    void add(Found fragment);
};

// What one recognition produced: plain text (lines separated by U+000A) and
// whether at least one barcode with a payload was found.
struct Result {
    std::string text;
    bool has_code = false;
};

// Lays out text fragments and barcode fragments (in the recogniser's order)
// as one result. Text fragments that are empty or only whitespace, and those
// whose box centre lies inside or on the border of a barcode's box, are
// dropped; barcodes without a payload are skipped.
Result assemble(const std::vector<Found>& texts, const std::vector<Found>& codes);

// Leaves out what is not text though the recogniser read it as words: a
// fragment taller than twice the median height that reaches over two or
// more lines of the rest (a window's title-bar icon, which would merge
// them); a scrap of at most three letters or digits with no word on its
// row and no other row wholly above it, lying past the columns of the
// other rows by more than twice the median height (the title bar's buttons
// and icon; below other rows it is a dialog's button, and stays); and a
// mark without letters or digits at an end of its row, more than 2.5
// median heights from its row's words (the icon read as "=" or "|"). A
// word on a row with other words is never left out, however short or far
// out. Fewer than three fragments stay whole.
std::vector<Found> drop_non_text(std::vector<Found> fragments);

// A box to group into rows, and the recogniser's line it belongs to (-1
// unknown).
struct RowBox {
    double x0 = 0;
    double x1 = 0;
    double top = 0;
    double bottom = 0;
    int line = -1;
};

// Groups boxes, already sorted by top then x0, into rows (their indices, in
// the order given). Boxes of one recogniser line form one piece; a box of
// no known line is a piece of its own. Each piece, in the order of its
// first box, is compared with the last row only, and joins it when their
// vertical overlap is at least half of the smaller height, unless it lies
// over or under a piece of another known line already in the row (a
// column beside a column joins; a line the recogniser read apart from the
// one it overlaps, a tall box reaching into the line above, stays apart).
std::vector<std::vector<std::size_t>> group_rows(const std::vector<RowBox>& sorted);

// Groups fragments, already sorted by top then x0, into lines by their
// boxes as group_rows does.
std::vector<Line> group_lines(const std::vector<Found>& sorted);

// Unicode scalar values in UTF-8 text (invalid bytes count one each).
std::size_t count_chars(std::string_view utf8);

// Whitespace by the Unicode White_Space property, on UTF-8 text.
std::string_view trim(std::string_view utf8);
std::string_view trim_end(std::string_view utf8);
bool is_blank(std::string_view utf8);

} // namespace ocr
