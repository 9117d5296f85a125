// The rules about what a word reads as: its characters, and when ours may
// read a number's digits, underscores or a dictionary word otherwise than
// the plain reading.
#include "capture/ocr_choice.h"
#include "capture/ocr_choice_words.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>

namespace ocr_prepare::word_rules {

namespace {

// The bytes of the UTF-8 character at `i`.
std::size_t char_length(const std::string& utf8, std::size_t i)
{
    std::size_t n = 1;
    while (i + n < utf8.size() && (utf8[i + n] & 0xC0) == 0x80)
        ++n;
    return n;
}

// Whether the character at `i` is a letter or a digit: an ASCII one, or
// any past ASCII but the typographic quotes, dashes and dots
// (U+2000..U+206F).
bool letter_at(const std::string& utf8, std::size_t i)
{
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80)
        return std::isalnum(c) != 0;
    const auto next = i + 1 < utf8.size() ? static_cast<unsigned char>(utf8[i + 1]) : 0;
    return !(c == 0xE2 && (next == 0x80 || next == 0x81));
}

bool digit(const std::string& c)
{
    return c.size() == 1 && c[0] >= '0' && c[0] <= '9';
}

// Each character of a set of words (left to right) with the engine's
// confidence in it; empty when the engine did not tell them apart.
std::vector<std::pair<std::string, float>> characters_of(const std::vector<const ReadWord*>& words)
{
    std::vector<std::pair<std::string, float>> out;
    for (const ReadWord* w : words) {
        const std::string& text = w->fragment.text;
        std::size_t k = 0;
        for (std::size_t i = 0; i < text.size(); ++k) {
            const std::size_t n = char_length(text, i);
            if (k >= w->chars.size())
                return {};
            out.emplace_back(text.substr(i, n), w->chars[k]);
            i += n;
        }
        if (k != w->chars.size())
            return {};
    }
    return out;
}

// Whether an underscore stands between two digits.
bool underscore_in_number(const std::string& text)
{
    const auto digit_at = [&](std::size_t i) { return text[i] >= '0' && text[i] <= '9'; };
    for (std::size_t i = text.find('_', 1); i != std::string::npos && i + 1 < text.size(); i = text.find('_', i + 1))
        if (digit_at(i - 1) && digit_at(i + 1))
            return true;
    return false;
}

} // namespace

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

bool has_digit(const std::string& text)
{
    return text.find_first_of("0123456789") != std::string::npos;
}

std::string letters_only(const std::string& utf8)
{
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t n = char_length(utf8, i);
        if (letter_at(utf8, i))
            out.append(utf8, i, n);
        i += n;
    }
    return out;
}

std::string inner(const std::string& utf8)
{
    std::size_t first = utf8.size(), last = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t n = char_length(utf8, i);
        if (letter_at(utf8, i)) {
            first = std::min(first, i);
            last = i + n;
        }
        i += n;
    }
    return first < last ? utf8.substr(first, last - first) : std::string();
}

std::string unaccented(const std::string& text)
{
    // U+00C0..U+00FF are two bytes, 0xC3 and the letter's place past 0x80.
    static const char BASE[] = "AAAAAAACEEEEIIIIDNOOOOOxOUUUUYTsaaaaaaaceeeeiiiidnooooo/ouuuuyty";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c == 0xC3 && next >= 0x80 && next <= 0xBF) {
            out += BASE[next - 0x80];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool left_out_of(const std::string& part, const std::string& whole)
{
    std::size_t i = 0;
    for (const char c : whole)
        if (i < part.size() && part[i] == c)
            ++i;
    return i == part.size() && part.size() < whole.size();
}

std::string joined(const std::vector<const ReadWord*>& words)
{
    std::string out;
    for (const ReadWord* w : words)
        out += w->fragment.text;
    return out;
}

float least_sure(const std::vector<const ReadWord*>& words)
{
    float c = 100;
    for (const ReadWord* w : words)
        c = std::min(c, w->confidence);
    return c;
}

std::vector<std::size_t> cuts_of(const std::vector<const ReadWord*>& words)
{
    std::vector<std::size_t> at;
    std::size_t n = 0;
    for (std::size_t i = 0; i + 1 < words.size(); ++i)
        at.push_back(n += words[i]->fragment.text.size());
    return at;
}

bool well_formed_number(const std::string& text)
{
    const auto digit_char = [](char c) { return c >= '0' && c <= '9'; };
    const auto separator = [](char c) { return std::strchr(".,:/-", c) != nullptr; };
    const std::size_t first = text.find_first_of("0123456789");
    const std::size_t last = text.find_last_of("0123456789");
    for (std::size_t i = first; i < last; ++i) {
        const char c = text[i];
        if (separator(c) && separator(text[i + 1]))
            return false;
        if (!digit_char(c) && !separator(c))
            return false;
    }
    // A full stop or a comma after it ends a sentence or a list.
    if (last + 1 < text.size() && separator(text[last + 1]))
        return last + 2 == text.size() && (text[last + 1] == '.' || text[last + 1] == ',');
    return true;
}

bool drops_marks(const std::string& ours, const std::string& plain)
{
    if (left_out_of(ours, plain))
        return true;
    const std::string a = unaccented(ours), b = unaccented(plain);
    return a.size() < ours.size() ? false : (b.size() < plain.size() && (a == b || left_out_of(a, b)));
}

bool digits_read_surer(const std::vector<const ReadWord*>& ours, const std::vector<const ReadWord*>& plain)
{
    if (ours.empty() || plain.empty() || least_sure(ours) < std::max(SURE_CONFIDENCE, least_sure(plain) + CLEARLY_SURER))
        return false;
    // The same characters but digits, cut into words at the same places: a
    // space within a number is one of its marks.
    const auto q = characters_of(ours), p = characters_of(plain);
    if (q.empty() || q.size() != p.size() || cuts_of(ours) != cuts_of(plain))
        return false;
    bool differs = false;
    for (std::size_t i = 0; i < q.size(); ++i) {
        if (q[i].second < SURE_DIGIT)
            return false;
        if (q[i].first == p[i].first)
            continue;
        if (!digit(q[i].first) || !digit(p[i].first) || p[i].second >= UNSURE_DIGIT)
            return false;
        differs = true;
    }
    return differs;
}

bool underscores_restored(const std::string& ours, const std::string& plain)
{
    std::string bare = ours;
    return std::erase(bare, '_') > 0 && bare == plain && plain.find('_') == std::string::npos
        && !underscore_in_number(ours);
}

bool dictionary_word(const std::vector<const ReadWord*>& ours, const std::vector<const ReadWord*>& plain)
{
    if (ours.size() != 1 || plain.size() != 1 || !ours[0]->dictionary || plain[0]->dictionary)
        return false;
    const std::string theirs = inner(plain[0]->fragment.text), word = inner(ours[0]->fragment.text);
    return !theirs.empty() && letters_only(theirs) == theirs && !has_digit(theirs) && letters_only(word) == word
        && chars_in(word) == chars_in(theirs) && !drops_marks(word, theirs);
}

bool dictionary_word_kept(const std::vector<const ReadWord*>& ours, const std::vector<const ReadWord*>& plain)
{
    if (ours.size() != 1 || plain.size() != 1 || ours[0]->dictionary || !plain[0]->dictionary)
        return false;
    const std::string& word = ours[0]->fragment.text;
    const std::string& theirs = plain[0]->fragment.text;
    const bool more = left_out_of(theirs, word) || (unaccented(word) == unaccented(theirs) && word != theirs);
    // What ours reads after the whole word (a sentence's marks, an
    // extension, the rest of an address) is ink the plain reading left
    // out, judged as such: not this rule's.
    return more && !word.starts_with(theirs);
}

} // namespace ocr_prepare::word_rules
