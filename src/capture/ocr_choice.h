// ocr_choice: what the engine read, sorted out, and the choice between its
// two readings of a picture.
//
// The plain reading (the picture as it stands, as the engine's command line
// reads it) is the base of every result. Our reading of the prepared page
// (capture/ocr_prepare.h) replaces it one line at a time, and only where it
// carries clear evidence: the plain line reads only as junk or is missing,
// or ours reads every word the plain line read and is clearly surer of
// each it reads otherwise, dropping none of its characters or accents and
// changing no number read with confidence (but for digits the plain reading
// read unsurely and ours surely, the engine clearly surer of the whole). A line keeps one
// reading, never words of both, so nothing is doubled; a line either
// reading saw with confidence is never dropped. Rules about marks that are
// not words (an icon, a towering thumb, a stray speck) live in
// drop_graphics and nowhere else.
#pragma once

#include "platform/text_recognizer.h"

#include <QImage>
#include <QSize>

#include <string>
#include <vector>

namespace ocr_prepare {

// Confidences are the engine's, 0..100, per word.
// A word is read with confidence from this on.
constexpr float STRAY_CONFIDENCE = 60;
// Read surely from this on.
constexpr float SURE_CONFIDENCE = 75;
// A line whose words read below this on average is junk (an icon's marks,
// a picture's grain), whatever one of them scored.
constexpr float MARK_CONFIDENCE = 50;
// Ours replaces a word of the plain reading only when at least this much
// surer of what it read there.
constexpr float CLEARLY_SURER = 10;
// Ours that holds all of the plain reading's characters and more (ink the
// plain reading left out) stands unless the engine was this much less sure
// of it: two readings of the same word differ by a point or two by chance.
// A number gets no such slack: a digit more is a changed number.
constexpr float SAME_SURENESS = 5;
// A word of the plain reading this much over what the preparation painted
// out or read apart (a bar's button, an icon), and this short or read
// unsurely ("[ajaja]" for a bar's three buttons), is chrome: ours may lack
// it.
constexpr double PAINTED_SHARE = 0.2;
constexpr int PAINTED_MAX_CHARS = 3;
// Ours that reads more characters where the plain reading's words cover
// less than this share of its words' width read ink the plain reading
// left unread.
constexpr double UNREAD_SHARE = 0.5;
// A number both readings read with the same digits but some, every other
// character the same: ours stands where the engine was CLEARLY_SURER of it,
// read it surely, was at least this sure of each of its characters, and
// the plain reading read each digit where they differ below UNSURE_DIGIT
// ("5196" for the plain "5195", its "5" read unsurely).
constexpr float SURE_DIGIT = 95;
// A digit the plain reading read from this on stands against any other:
// the engine reads a wrong digit of small text as surely as a right one
// (an "8" at 100 at 9 pt), so only its doubt is evidence.
constexpr float UNSURE_DIGIT = 90;
static_assert(UNSURE_DIGIT < SURE_DIGIT);
// A word this short read below MARK_CONFIDENCE is a speck: ours may lack it.
constexpr int SPECK_MAX_CHARS = 2;

// Which reading a line keeps.
enum class Pick { Plain, Ours, Neither };

// The choice for one line (the words of each reading on it, boxes
// normalised to a picture of `size`; `changed` is where the preparation
// painted, may be null).
Pick pick_line(const std::vector<platform::ReadWord>& ours, const std::vector<platform::ReadWord>& plain,
               const QImage& changed, QSize size);

// The two readings aligned line by line by position (each reading's rows as
// ocr::group_rows makes them; rows of the two that overlap are one line),
// each line taken whole from the reading pick_line chooses; in reading order.
std::vector<platform::ReadWord> choose_lines(std::vector<platform::ReadWord> ours, std::vector<platform::ReadWord> plain,
                                             const QImage& changed, QSize size);

// Drops "words" read from graphics (towering marks; short unsure marks
// alone on their line when `drop_strays`).
std::vector<platform::Fragment> drop_graphics(std::vector<platform::ReadWord> words, bool drop_strays);

// What the jobs read (one list a job, in the page's order), sorted out: the
// page's words over a patch go, the patches' words join, graphics drop, a
// bar read without confidence goes whole; then choose_lines with `plain`,
// and a word the engine boxed over the lines around it takes its line's
// rows, before the choice and again after it (an icon it left out no
// longer hides how tall the line's ordinary words are).
std::vector<platform::Fragment> keep_words(const platform::PreparedPage& page,
                                           std::vector<std::vector<platform::ReadWord>> read,
                                           std::vector<platform::ReadWord> plain, bool drop_strays);

} // namespace ocr_prepare
