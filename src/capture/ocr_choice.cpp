// What the engine read, sorted out, and the line-by-line choice between
// the plain reading and ours.
#include "capture/ocr_choice.h"
#include "capture/ocr_choice_words.h"
#include "capture/ocr_layout.h"

#include <QRect>

#include <algorithm>
#include <string>
#include <utility>

namespace ocr_prepare {

using platform::Fragment;
using platform::NormBox;
using platform::PreparedPage;
using platform::ReadWord;
using namespace word_rules;

namespace {

bool confident(const ReadWord& w)
{
    return w.confidence >= STRAY_CONFIDENCE && letters_in(w.fragment.text) > 0;
}

// The words in lines, as the layout groups them (ocr::group_rows): the
// engine's lines stay whole, and a line joins the row beside it when they
// share half the smaller height.
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
    std::vector<ocr::RowBox> boxes;
    for (const std::size_t i : order) {
        const NormBox& b = words[i].fragment.box;
        boxes.push_back({ b.x0, b.x1, b.top, b.bottom, words[i].line });
    }
    std::vector<Row> rows;
    for (const auto& grouped : ocr::group_rows(boxes)) {
        Row row { 1, 0, {} };
        for (const std::size_t k : grouped) {
            const NormBox& b = words[order[k]].fragment.box;
            row.top = std::min(row.top, b.top);
            row.bottom = std::max(row.bottom, b.bottom);
            row.words.push_back(order[k]);
        }
        rows.push_back(std::move(row));
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
// Besides: whether a word of two letters or more (or a number) is read
// with confidence, and one of three or more (or a number) surely.
struct Reading {
    int confident = 0;
    int words = 0;
    double mean = 0;
    bool a_word = false;
    bool a_sure_word = false;
};

Reading reading_of(const std::vector<const ReadWord*>& words)
{
    Reading r;
    double sum = 0;
    for (const ReadWord* w : words) {
        const int letters = letters_in(w->fragment.text);
        if (letters == 0)
            continue;
        ++r.words;
        r.confident += confident(*w);
        sum += w->confidence;
        const bool number = has_digit(w->fragment.text);
        r.a_word = r.a_word || (w->confidence >= STRAY_CONFIDENCE && (letters >= 2 || number));
        r.a_sure_word = r.a_sure_word || (w->confidence >= SURE_CONFIDENCE && (letters >= 3 || number));
    }
    r.mean = r.words ? sum / r.words : 0;
    return r;
}

Reading reading_of(const std::vector<ReadWord>& words)
{
    std::vector<const ReadWord*> all;
    for (const ReadWord& w : words)
        all.push_back(&w);
    return reading_of(all);
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
bool same_ink(const NormBox& a, const NormBox& b)
{
    const double across = std::min(a.x1, b.x1) - std::max(a.x0, b.x0);
    const double down = std::min(a.bottom, b.bottom) - std::max(a.top, b.top);
    return across > 0.3 * std::min(a.x1 - a.x0, b.x1 - b.x0)
        && down >= 0.5 * std::min(a.bottom - a.top, b.bottom - b.top);
}

// Drops "words" read from graphics: a scroll bar's thumb or an icon comes back
// as a letter or two in a box far taller than the text around it (and with
// low confidence; a real heading that tall reads with high confidence).
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
    for (ReadWord& w : drop_graphics_read(std::move(words), drop_strays)) {
        w.fragment.line = w.line;
        out.push_back(std::move(w.fragment));
    }
    return out;
}

namespace {

// A line read with confidence: its lettered words read, on average, above
// junk, and one of them (two letters or more, or a number) read with
// confidence. An icon read as "ZX", a picture's grain read as "Ll =:" are
// not.
bool seen(const std::vector<ReadWord>& line)
{
    const Reading r = reading_of(line);
    return r.a_word && r.mean >= MARK_CONFIDENCE;
}

// A line only ours read, where the plain reading saw nothing at all: the
// preparation found it (a button's light text, small text scaled up), or
// made it (a border or a bar's button read as letters). It stays with a
// word of three letters or more, or a number, read surely, and most of its
// words read with confidence.
bool seen_alone(const std::vector<ReadWord>& line)
{
    const Reading r = reading_of(line);
    return r.a_sure_word && 2 * r.confident >= r.words && seen(line);
}

// Whether a word stands apart from the one before it by a real space: a
// third of its height at least.
bool real_space(const ReadWord& before, const ReadWord& word, QSize size)
{
    const NormBox& a = word.fragment.box;
    const double height = (a.bottom - a.top) * size.height();
    return (a.x0 - before.fragment.box.x1) * size.width() >= height / 3;
}

// The share of the width of one set of words (left to right) that the
// boxes of another cover.
double covered_share(const std::vector<const ReadWord*>& by, const std::vector<const ReadWord*>& of)
{
    double width = 0, covered = 0;
    for (const ReadWord* w : of) {
        const NormBox& a = w->fragment.box;
        width += a.x1 - a.x0;
        // The parts of `by` over it, merged left to right.
        std::vector<std::pair<double, double>> spans;
        for (const ReadWord* b : by)
            if (const double l = std::max(a.x0, b->fragment.box.x0), r = std::min(a.x1, b->fragment.box.x1); r > l)
                spans.emplace_back(l, r);
        std::sort(spans.begin(), spans.end());
        double reach = a.x0;
        for (const auto& [l, r] : spans) {
            covered += std::max(0.0, r - std::max(l, reach));
            reach = std::max(reach, r);
        }
    }
    return width > 0 ? covered / width : 1;
}

// Whether words (left to right) of two of the engine's lines lie over one
// another: the same ink read twice.
bool read_twice(const std::vector<const ReadWord*>& words)
{
    for (std::size_t i = 0; i + 1 < words.size(); ++i)
        for (std::size_t j = i + 1; j < words.size(); ++j)
            if (words[i]->line >= 0 && words[j]->line >= 0 && words[i]->line != words[j]->line
                && std::min(words[i]->fragment.box.x1, words[j]->fragment.box.x1)
                    > std::max(words[i]->fragment.box.x0, words[j]->fragment.box.x0))
                return true;
    return false;
}

// Whether ours, on a line both readings read with confidence, carries the
// evidence to replace the plain line: stretch by stretch of the same ink,
// it covers every word the plain one read (but specks, and chrome the
// preparation painted out), and where it reads the ink otherwise it is
// not less sure when it holds all the plain reading's characters and more,
// else clearly surer, holding as many characters, dropping none of the
// plain reading's characters or accents and changing no number read with
// confidence unless that reads as no number and ours does; it makes no
// number of letters nor letters of a number; and somewhere it reads more
// or better.
// The verdict on one stretch of a line: ours loses what the plain
// reading read there, reads it the same, or reads it better.
enum class Stretch { Worse, Same, Better };

Stretch judge_stretch(std::vector<const ReadWord*> q, std::vector<const ReadWord*> p, const QImage& changed, QSize size)
{
    const auto by_x = [](const ReadWord* a, const ReadWord* b) { return a->fragment.box.x0 < b->fragment.box.x0; };
    std::sort(q.begin(), q.end(), by_x);
    std::sort(p.begin(), p.end(), by_x);
    if (p.empty())
        return std::any_of(q.begin(), q.end(), [](const ReadWord* w) { return confident(*w); }) ? Stretch::Better
                                                                                               : Stretch::Same;
    if (q.empty()) {
        // Any word the plain reading read is lost with it, however
        // unsure (it is what the command line would paste), but a speck
        // and chrome the preparation painted out.
        const bool lost = std::any_of(p.begin(), p.end(), [&](const ReadWord* w) {
            const int chars = chars_in(w->fragment.text);
            const bool chrome = changed_share(*w, changed) >= PAINTED_SHARE
                && (chars <= PAINTED_MAX_CHARS || w->confidence < SURE_CONFIDENCE);
            const bool speck = w->confidence < MARK_CONFIDENCE && chars <= SPECK_MAX_CHARS;
            return letters_in(w->fragment.text) > 0 && !chrome && !speck;
        });
        if (lost)
            return Stretch::Worse;
        // Chrome the preparation painted out, which ours rightly lacks.
        return std::any_of(p.begin(), p.end(), [](const ReadWord* w) { return letters_in(w->fragment.text) > 0; })
            ? Stretch::Better
            : Stretch::Same;
    }
    const std::string ours_text = joined(q), plain_text = joined(p);
    if (ours_text == plain_text) {
        // The same characters, cut into words the same way or otherwise:
        // each cut that one reading makes and the other does not is
        // judged alone.
        const std::vector<std::size_t> ours_cuts = cuts_of(q), plain_cuts = cuts_of(p);
        if (ours_cuts == plain_cuts)
            return Stretch::Same;
        // A cut only ours makes stands at a real space, where the engine
        // was as sure of both pieces as of the word the plain reading
        // read whole ("32" "%"; not "reunion" "_v1.txt" read unsurely).
        for (std::size_t k = 0; k < ours_cuts.size(); ++k) {
            if (std::find(plain_cuts.begin(), plain_cuts.end(), ours_cuts[k]) != plain_cuts.end())
                continue;
            if (!real_space(*q[k], *q[k + 1], size)
                || std::min(q[k]->confidence, q[k + 1]->confidence) < least_sure(p) - SAME_SURENESS)
                return Stretch::Worse;
        }
        // A cut only the plain reading makes goes where it is no real space
        // between letters ("Segun" "da"), or where a grid behind the
        // letters opened a gap and the engine was unsure of a piece and
        // surer of the whole; a number is never joined to what the plain
        // reading read apart ("85" "%" is not "85%", however narrow the
        // font's space), nor are two words it read with confidence ("a" "o").
        for (std::size_t k = 0; k < plain_cuts.size(); ++k) {
            if (std::find(ours_cuts.begin(), ours_cuts.end(), plain_cuts[k]) != ours_cuts.end())
                continue;
            const ReadWord& a = *p[k];
            const ReadWord& b = *p[k + 1];
            if (has_digit(a.fragment.text) || has_digit(b.fragment.text))
                return Stretch::Worse;
            const float piece = std::min(a.confidence, b.confidence);
            if (real_space(a, b, size) && (piece >= STRAY_CONFIDENCE || least_sure(q) < piece))
                return Stretch::Worse;
        }
        return Stretch::Better;
    }
    const float plain_conf = least_sure(p), ours_conf = least_sure(q);
    // The same ink read twice by the plain reading, on two of its lines
    // ("rejill" and "la" over the "rejilla" ours read): each of its words
    // a part of ours, ours stands unless less sure.
    if (!has_digit(ours_text) && !has_digit(plain_text) && read_twice(p)
        && std::all_of(p.begin(), p.end(), [&](const ReadWord* w) {
               const std::string letters = letters_only(w->fragment.text);
               return !letters.empty() && letters_only(ours_text).find(letters) != std::string::npos;
           }))
        return ours_conf < plain_conf - SAME_SURENESS ? Stretch::Worse : Stretch::Better;
    // No number made of letters, nor letters of a number; but a digit the
    // plain reading read without confidence beside letters ("Archi" "0"
    // for "Archivo") is no number.
    const bool unsure_digits = std::all_of(p.begin(), p.end(), [](const ReadWord* w) {
        return !has_digit(w->fragment.text) || w->confidence < STRAY_CONFIDENCE;
    });
    if (has_digit(ours_text) ? !has_digit(plain_text) : has_digit(plain_text) && !unsure_digits)
        return Stretch::Worse;
    // A word of the engine's dictionary the plain reading read stands
    // against ours that is none and reads more on it (the dictionary
    // floor).
    if (dictionary_word_kept(q, p))
        return Stretch::Worse;
    // The plain reading's letters with their accents ("Última" for
    // "Ultima"): ours, unless less sure.
    if (!has_digit(ours_text) && unaccented(ours_text) == unaccented(plain_text) && unaccented(plain_text) == plain_text
        && ours_text != plain_text)
        return ours_conf < plain_conf - SAME_SURENESS ? Stretch::Worse : Stretch::Better;
    // Ink the plain reading left unread: its words cover less than
    // UNREAD_SHARE of ours, which reads more characters there, as surely
    // ("Guardar" where it read "jar" of a button's label).
    if (!has_digit(plain_text) && covered_share(p, q) < UNREAD_SHARE && chars_in(ours_text) > chars_in(plain_text))
        return ours_conf < plain_conf - SAME_SURENESS ? Stretch::Worse : Stretch::Better;
    // The plain reading's characters with the underscores it read as
    // spaces or not at all (the underscore rule): ours, unless less sure.
    if (underscores_restored(ours_text, plain_text))
        return ours_conf < plain_conf - SAME_SURENESS ? Stretch::Worse : Stretch::Better;
    // The same letters and digits with other marks among them
    // ("copia,pdf" for "copia.pdf", "informe final" for "informe_final"):
    // the plain reading's marks in a path, an address or a number stand,
    // however sure ours is. A sentence's marks around them go by sureness.
    if (letters_only(ours_text) == letters_only(plain_text) && inner(ours_text) != inner(plain_text))
        return Stretch::Worse;
    // All the plain reading's characters (or letters) and more (ink it
    // left out: "lanco" for "blanco", "Segun a" for "Segunda", "de:"
    // for "desde", "1" for "12"): ours, unless less sure. More: a mark
    // read as a letter ("@" as "Q") is no ink left out.
    if (left_out_of(plain_text, ours_text)
        || (left_out_of(letters_only(plain_text), letters_only(ours_text)) && chars_in(ours_text) > chars_in(plain_text)))
        return ours_conf < plain_conf - (has_digit(ours_text) ? 0 : SAME_SURENESS) ? Stretch::Worse : Stretch::Better;
    // Cut into words otherwise, or read otherwise: ours must be clearly
    // surer, and hold as many characters (what the preparation loses
    // is characters: an underscore, an accent, a letter at an edge),
    // but for marks around the same word of letters (a button's rim read
    // as "("): around a number they are its sign, its unit or its currency.
    const bool marks_around = !has_digit(plain_text) && inner(ours_text) == inner(plain_text);
    // A word of the engine's dictionary for one that is none, as long (the
    // dictionary rule), needs less: ours surer by SAME_SURENESS, marks
    // around it aside. A number's other digits stand only by the digit rule.
    const bool dictionary = dictionary_word(q, p);
    if (ours_conf < plain_conf + (dictionary ? SAME_SURENESS : CLEARLY_SURER)
        || (!marks_around && !dictionary
            && (drops_marks(ours_text, plain_text) || chars_in(ours_text) < chars_in(plain_text)))
        || (has_digit(plain_text) && plain_conf >= STRAY_CONFIDENCE
            && (well_formed_number(plain_text) || !well_formed_number(ours_text)) && !digits_read_surer(q, p)))
        return Stretch::Worse;
    return Stretch::Better;
}

bool ours_is_better(const std::vector<ReadWord>& ours, const std::vector<ReadWord>& plain, const QImage& changed,
                    QSize size)
{
    // The stretches of the same ink, left to right.
    std::vector<Group> stretches = groups_of(ours.size(), plain.size(), [&](std::size_t i, std::size_t j) {
        return same_ink(ours[i].fragment.box, plain[j].fragment.box);
    });
    const auto left = [&](const Group& g) {
        double x = 1;
        for (const std::size_t i : g.first)
            x = std::min(x, ours[i].fragment.box.x0);
        for (const std::size_t j : g.second)
            x = std::min(x, plain[j].fragment.box.x0);
        return x;
    };
    std::stable_sort(stretches.begin(), stretches.end(), [&](const Group& a, const Group& b) { return left(a) < left(b); });
    const auto words = [&](const std::vector<const Group*>& gs) {
        std::pair<std::vector<const ReadWord*>, std::vector<const ReadWord*>> out;
        for (const Group* g : gs) {
            for (const std::size_t i : g->first)
                out.first.push_back(&ours[i]);
            for (const std::size_t j : g->second)
                out.second.push_back(&plain[j]);
        }
        return out;
    };
    const auto judge = [&](const std::vector<const Group*>& gs) {
        auto [q, p] = words(gs);
        return judge_stretch(std::move(q), std::move(p), changed, size);
    };
    // Only words of letters both readings read are judged again together:
    // a number is judged on its own, never with a neighbour's sureness or
    // characters, and so is a word one reading alone read (a word ours
    // lacks must not pass on a neighbour's extra characters).
    const auto letters_only_stretch = [&](const Group& g) {
        auto [q, p] = words({ &g });
        return !q.empty() && !p.empty()
            && std::none_of(q.begin(), q.end(), [](const ReadWord* w) { return has_digit(w->fragment.text); })
            && std::none_of(p.begin(), p.end(), [](const ReadWord* w) { return has_digit(w->fragment.text); });
    };
    int gains = 0;
    for (std::size_t k = 0; k < stretches.size(); ++k) {
        Stretch verdict = judge({ &stretches[k] });
        // The two readings may share a word's ink out otherwise than by
        // its words ("Preferencias" "dela" for "Preferencias de" "la"):
        // a stretch of letters that fails is judged again with the one
        // before it, and with the one after it, as one. One cut into the
        // same words as the plain reading, each of the same letters but
        // for their accents, failed on its marks or accents ("copia,pdf",
        // "Area" for "Área"), not on how the ink was shared out: it is not
        // judged again, where a surer neighbour would carry it ("línea"
        // for "líne" "a" is).
        const auto same_letters = [&](const Group& g) {
            auto [q, p] = words({ &g });
            return std::ranges::equal(q, p, [](const ReadWord* a, const ReadWord* b) {
                return unaccented(letters_only(a->fragment.text)) == unaccented(letters_only(b->fragment.text));
            });
        };
        const bool again = verdict == Stretch::Worse && letters_only_stretch(stretches[k]) && !same_letters(stretches[k]);
        if (again && k > 0 && letters_only_stretch(stretches[k - 1])
            && judge({ &stretches[k - 1], &stretches[k] }) != Stretch::Worse)
            verdict = Stretch::Same;
        if (again && verdict == Stretch::Worse && k + 1 < stretches.size() && letters_only_stretch(stretches[k + 1])) {
            verdict = judge({ &stretches[k], &stretches[k + 1] });
            ++k;
        }
        if (verdict == Stretch::Worse)
            return false;
        gains += verdict == Stretch::Better;
    }
    return gains > 0;
}

std::vector<ReadWord> words_of(const std::vector<ReadWord>& all, const std::vector<Row>& rows,
                               const std::vector<std::size_t>& picked)
{
    std::vector<ReadWord> out;
    for (const std::size_t r : picked)
        for (const std::size_t i : rows[r].words)
            out.push_back(all[i]);
    return out;
}

// A letter or two at an end of a line, read unsurely in a box twice as
// tall as the line's other words and set apart from them by more than
// twice their height, is an icon (a title bar's, read as "al" or "má"),
// not a word. A sure "€" or "y" the engine boxed as tall stays.
void drop_end_icons(std::vector<ReadWord>& line, QSize size)
{
    if (line.size() < 2)
        return;
    std::vector<double> heights;
    for (const ReadWord& w : line)
        heights.push_back(w.fragment.box.bottom - w.fragment.box.top);
    const auto mid = heights.begin() + static_cast<std::ptrdiff_t>((heights.size() - 1) / 2);
    std::nth_element(heights.begin(), mid, heights.end());
    const double height = *mid;
    const auto icon = [&](const ReadWord& w, const ReadWord& next) {
        const NormBox& a = w.fragment.box;
        const NormBox& b = next.fragment.box;
        const double gap = std::max(b.x0 - a.x1, a.x0 - b.x1) * size.width();
        return chars_in(w.fragment.text) <= 2 && w.confidence < SURE_CONFIDENCE && a.bottom - a.top >= 2 * height
            && gap > 2 * height * size.height();
    };
    if (icon(line[0], line[1]))
        line.erase(line.begin());
    if (line.size() >= 2 && icon(line.back(), line[line.size() - 2]))
        line.pop_back();
}

// Whether ours reads otherwise, or lacks, a number the plain reading read
// as a number, with confidence or with the very digits ours read: even on
// a line the plain reading read as junk, that number is the floor
// ("65.241,73" is not "65,241,73", nor is it nothing).
bool changes_sure_number(const std::vector<ReadWord>& ours, const std::vector<ReadWord>& plain)
{
    return std::any_of(plain.begin(), plain.end(), [&](const ReadWord& number) {
        const std::string& text = number.fragment.text;
        if (!has_digit(text) || !well_formed_number(text))
            return false;
        std::vector<const ReadWord*> over;
        for (const ReadWord& w : ours)
            if (same_ink(w.fragment.box, number.fragment.box))
                over.push_back(&w);
        std::sort(over.begin(), over.end(),
                  [](const ReadWord* a, const ReadWord* b) { return a->fragment.box.x0 < b->fragment.box.x0; });
        const std::string read = joined(over);
        return read != text && (number.confidence >= STRAY_CONFIDENCE || letters_only(read) == letters_only(text))
            && !digits_read_surer(over, { &number });
    });
}

} // namespace

Pick pick_line(const std::vector<ReadWord>& ours, const std::vector<ReadWord>& plain, const QImage& changed, QSize size)
{
    if (plain.empty())
        return seen_alone(ours) ? Pick::Ours : Pick::Neither;
    const bool plain_seen = seen(plain);
    const bool numbers_kept = !changes_sure_number(ours, plain);
    if (ours.empty() || !seen(ours))
        return plain_seen || !numbers_kept ? Pick::Plain : Pick::Neither;
    if (!plain_seen)
        return numbers_kept ? Pick::Ours : Pick::Plain;
    return ours_is_better(ours, plain, changed, size) ? Pick::Ours : Pick::Plain;
}

std::vector<ReadWord> choose_lines(std::vector<ReadWord> ours, std::vector<ReadWord> plain, const QImage& changed,
                                   QSize size)
{
    const std::vector<Row> q = rows_of(ours);
    const std::vector<Row> p = rows_of(plain);
    std::vector<ReadWord> chosen;
    // Lines of the two readings that overlap are one line (the plain
    // reading may hold as one what ours cut in two, and the other way).
    for (const Group& g : groups_of(q.size(), p.size(), [&](std::size_t i, std::size_t j) { return same_line(q[i], p[j]); })) {
        std::vector<ReadWord> line_ours = words_of(ours, q, g.first);
        std::vector<ReadWord> line_plain = words_of(plain, p, g.second);
        const Pick pick = pick_line(line_ours, line_plain, changed, size);
        if (pick == Pick::Neither)
            continue;
        for (ReadWord& w : pick == Pick::Ours ? line_ours : line_plain)
            chosen.push_back(std::move(w));
    }
    // In reading order: line by line, each from left to right.
    std::vector<ReadWord> out;
    for (Row& row : rows_of(chosen)) {
        std::vector<ReadWord> line;
        for (const std::size_t i : row.words)
            line.push_back(std::move(chosen[i]));
        std::stable_sort(line.begin(), line.end(),
                         [](const ReadWord& a, const ReadWord& b) { return a.fragment.box.x0 < b.fragment.box.x0; });
        drop_end_icons(line, size);
        for (ReadWord& w : line)
            out.push_back(std::move(w));
    }
    return out;
}

namespace {

bool centre_in(const Fragment& f, const QRect& box, double w, double h)
{
    const double cx = (f.box.x0 + f.box.x1) / 2 * w;
    const double cy = (f.box.top + f.box.bottom) / 2 * h;
    return cx >= box.left() && cx <= box.right() + 1 && cy >= box.top() && cy <= box.bottom() + 1;
}

// A word whose box the engine stretched over the lines around it (a "€"
// or a "y" at a line's end boxed three lines tall, a word of a tight
// selection's middle line boxed over its neighbours) takes the rows of the
// ordinary words the engine read on its line, or else of the nearest
// ordinary word beside it if it is short and sure: left so, it ties lines
// together and the layout takes it for an icon that spans lines.
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
        if (a.bottom - a.top <= 2 * median)
            continue;
        std::vector<double> tops, bottoms;
        for (const ReadWord& o : words)
            if (&o != &w && w.line >= 0 && o.line == w.line && o.fragment.box.bottom - o.fragment.box.top <= 1.5 * median) {
                tops.push_back(o.fragment.box.top);
                bottoms.push_back(o.fragment.box.bottom);
            }
        if (!tops.empty()) {
            std::nth_element(tops.begin(), tops.begin() + tops.size() / 2, tops.end());
            std::nth_element(bottoms.begin(), bottoms.begin() + bottoms.size() / 2, bottoms.end());
            a.top = tops[tops.size() / 2];
            a.bottom = bottoms[bottoms.size() / 2];
            continue;
        }
        if (w.confidence < STRAY_CONFIDENCE || chars_in(w.fragment.text) > 3)
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
    // A word of nothing but spaces (the engine reads a rule so) is none.
    const auto blank = [](const ReadWord& w) {
        return w.fragment.text.find_first_not_of(" \t\n") == std::string::npos;
    };
    std::erase_if(words, blank);
    std::erase_if(plain, blank);
    // The plain reading's marks over a patch ours read apart (a button's
    // rounded edges read as "|" or "_") are its rim, no text.
    std::erase_if(plain, [&](const ReadWord& word) {
        return letters_in(word.fragment.text) == 0
            && std::any_of(page.patch_areas.begin(), page.patch_areas.end(),
                           [&](const QRect& area) { return centre_in(word.fragment, area, w, h); });
    });
    // Boxes stretched over the lines around them are fitted first: they
    // would tie those lines into one, or be taken for graphics.
    fit_tall_boxes(words, page.size);
    fit_tall_boxes(plain, page.size);
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
    // The plain reading is the base: ours replaces it line by line.
    plain = drop_graphics_read(std::move(plain), true);
    words = choose_lines(std::move(words), std::move(plain), page.changed, page.size);
    // Again over what was chosen: an icon the choice left out ("Q" boxed
    // over two lines) no longer hides the boxes the engine stretched over
    // it, which the layout would take for icons.
    fit_tall_boxes(words, page.size);
    std::vector<Fragment> out;
    for (ReadWord& w : words) {
        w.fragment.line = w.line;
        out.push_back(std::move(w.fragment));
    }
    return out;
}
} // namespace ocr_prepare
