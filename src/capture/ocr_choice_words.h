// ocr_choice (private to capture/ocr_choice.cpp and ocr_choice_words.cpp):
// the rules about what a word reads as, apart from where it lies. The
// characters of a reading (letters, marks, accents, where its words are
// cut) and the rules that let ours read a word otherwise: a number's digits,
// underscores the plain reading lost, a word of the engine's dictionary.
// Only those two files include this.
//
// Text is UTF-8; words are given left to right.
#pragma once

#include "platform/text_recognizer.h"

#include <cstddef>
#include <string>
#include <vector>

namespace ocr_prepare::word_rules {

using platform::ReadWord;

// Letters and digits in a text: ASCII ones, the signs read as part of a
// number ("%", "$", "€"), and any character past Latin-1's symbols
// (accented letters and other scripts).
int letters_in(const std::string& utf8);
// Characters, not bytes.
int chars_in(const std::string& utf8);
bool has_digit(const std::string& text);
// A text's letters and digits (bytes past ASCII kept): marks aside.
std::string letters_only(const std::string& utf8);
// A text without the marks at its ends: what lies between its first and
// its last letter or digit.
std::string inner(const std::string& utf8);
// Latin letters with an accent as their base letter ("Última" as "Ultima").
std::string unaccented(const std::string& text);
// Whether `part` is `whole` with some of its characters left out.
bool left_out_of(const std::string& part, const std::string& whole);

// Words' characters without spaces: what two readings of the same ink are
// compared on.
std::string joined(const std::vector<const ReadWord*>& words);
// The lowest of the words' confidences (100 for none).
float least_sure(const std::vector<const ReadWord*>& words);
// Where words cut their characters: the byte offsets in their text joined
// without spaces at which each word after the first starts.
std::vector<std::size_t> cuts_of(const std::vector<const ReadWord*>& words);

// Whether a text with digits reads as a number: digits in groups joined by
// one separator (".", ",", ":", "/", "-"), signs and units around them, no
// separator at its end but a sentence's, no letter among its digits
// ("1:0/", "39.38/,42" and "2O26" do not).
bool well_formed_number(const std::string& text);

// Whether `ours` is `plain` with characters or accents left out: an
// underscore read as a space, "Ultima" for "Última". Whatever its
// confidence, such a reading holds less than the engine saw.
bool drops_marks(const std::string& ours, const std::string& plain);

// The digit rule: whether ours read the plain reading's number with other
// digits and carries the evidence for them (see SURE_DIGIT and
// UNSURE_DIGIT): then the number the plain reading read with
// confidence does not stand.
bool digits_read_surer(const std::vector<const ReadWord*>& ours, const std::vector<const ReadWord*>& plain);

// The underscore rule: whether ours reads the plain reading's characters
// with underscores among them, which it read as spaces or not at all
// ("ana" "martin@ejemplo.es" for "ana_martin@ejemplo.es"). Not within a
// number: "3_400" for "3" "400" changes its marks.
bool underscores_restored(const std::string& ours, const std::string& plain);

// The dictionary rule: whether ours is one word the engine found in its
// dictionary where the plain reading's one word is not, letter for letter
// as long and dropping none of its accents ("sincronización" for
// "sincronizacién", "está" for "‘esté"), marks around it aside.
bool dictionary_word(const std::vector<const ReadWord*>& ours, const std::vector<const ReadWord*>& plain);

// The dictionary floor: whether the plain reading's one word, found in the
// engine's dictionary, is ours with something ours read more left out, and
// ours is no word of the dictionary: a letter or a mark before it or
// within it ("JNota" for "Nota", a selection's edge read as "|"), an accent
// ("pédido" for "pedido"). What ours reads after the whole word (a
// sentence's marks, "informe.pdf" for "informe") is no such thing.
bool dictionary_word_kept(const std::vector<const ReadWord*>& ours, const std::vector<const ReadWord*>& plain);

} // namespace ocr_prepare::word_rules
