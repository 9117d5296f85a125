#include "capture/ocr_layout.h"

#include <algorithm>
#include <bit>
#include <cstdint>

namespace ocr {

namespace {

// Between the parts of a line farther apart than a column gap: spaces, not a
// tab, so that what is pasted holds no control character.
constexpr const char* COLUMN_GAP = "    ";

struct Decoded {
    char32_t cp;
    std::size_t len;
};

// One code point at the start of `s` (not empty). A malformed sequence counts
// as one replacement character of one byte, so every byte is consumed.
Decoded decode(std::string_view s)
{
    const auto b0 = static_cast<unsigned char>(s[0]);
    if (b0 < 0x80)
        return { b0, 1 };
    std::size_t len = 0;
    char32_t cp = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2;
        cp = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3;
        cp = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return { 0xFFFD, 1 };
    }
    if (s.size() < len)
        return { 0xFFFD, 1 };
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(s[i]);
        if ((b & 0xC0) != 0x80)
            return { 0xFFFD, 1 };
        cp = (cp << 6) | (b & 0x3F);
    }
    static constexpr char32_t least[] = { 0, 0, 0x80, 0x800, 0x10000 };
    if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return { 0xFFFD, 1 };
    return { cp, len };
}

bool is_white_space(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680
        || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F
        || c == 0x3000;
}

// A key whose integer order is the IEEE total order of the double (-NaN <
// -inf < ... < -0 < +0 < ... < +inf < +NaN), so sorting never sees an
// inconsistent comparison, whatever the recogniser hands back.
std::int64_t total_key(double v)
{
    const auto bits = std::bit_cast<std::int64_t>(v);
    return bits < 0 ? bits ^ INT64_MAX : bits;
}

// Whether UTF-8 text holds a letter or a digit (not only punctuation,
// dashes, bars, arrows or box drawing).
std::size_t letters_and_digits(std::string_view s)
{
    std::size_t n = 0;
    while (!s.empty()) {
        const Decoded d = decode(s);
        s.remove_prefix(d.len);
        const char32_t c = d.cp;
        n += (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')
            || (c >= 0xC0 && c < 0x2000 && c != 0xD7 && c != 0xF7) || (c >= 0x3040 && c != 0xFFFD);
    }
    return n;
}

// Control characters (C0, DEL, C1) and line or paragraph separators,
// which a recogniser may hand back inside a word.
bool is_control(char32_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// A fragment's text with every control character (a tab, a line break
// inside a word) made a space: a line reaches the clipboard as one line of
// printable text.
std::string printable(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    while (!s.empty()) {
        const Decoded d = decode(s);
        if (is_control(d.cp))
            out += ' ';
        else
            out.append(s.substr(0, d.len));
        s.remove_prefix(d.len);
    }
    return out;
}

bool centre_inside(const Found& f, const Found& box)
{
    const double cx = (f.x0 + f.x1) / 2;
    const double cy = (f.top + f.bottom) / 2;
    return cx >= box.x0 && cx <= box.x1 && cy >= box.top && cy <= box.bottom;
}

} // namespace

void Line::add(Found fragment)
{
    if (parts.empty()) {
        top = fragment.top;
        bottom = fragment.bottom;
    } else {
        top = std::min(top, fragment.top);
        bottom = std::max(bottom, fragment.bottom);
    }
    parts.push_back(std::move(fragment));
}

std::size_t count_chars(std::string_view s)
{
    std::size_t n = 0;
    while (!s.empty()) {
        s.remove_prefix(decode(s).len);
        ++n;
    }
    return n;
}

std::string_view trim_end(std::string_view s)
{
    std::size_t end = 0; // just past the last code point that is not whitespace
    std::size_t at = 0;
    while (at < s.size()) {
        const Decoded d = decode(s.substr(at));
        at += d.len;
        if (!is_white_space(d.cp))
            end = at;
    }
    return s.substr(0, end);
}

std::string_view trim(std::string_view s)
{
    while (!s.empty()) {
        const Decoded d = decode(s);
        if (!is_white_space(d.cp))
            break;
        s.remove_prefix(d.len);
    }
    return trim_end(s);
}

bool is_blank(std::string_view s)
{
    return trim(s).empty();
}

std::vector<Found> drop_non_text(std::vector<Found> fragments)
{
    if (fragments.size() < 3)
        return fragments;
    std::vector<double> heights;
    for (const Found& f : fragments)
        heights.push_back(f.bottom - f.top);
    std::nth_element(heights.begin(), heights.begin() + heights.size() / 2, heights.end());
    const double median = heights[heights.size() / 2];
    if (!(median > 0))
        return fragments;
    // A tall "word" is dropped when it reaches over two or more lines of the
    // ordinary text (an icon that would merge them); one over a single line
    // is a word with a loose box, and grouping handles it.
    const auto tall = [&](const Found& f) { return f.bottom - f.top > 2 * median; };
    std::vector<Found> ordinary;
    for (const Found& f : fragments)
        if (!tall(f))
            ordinary.push_back(f);
    std::stable_sort(ordinary.begin(), ordinary.end(), [](const Found& a, const Found& b) {
        return total_key(a.top) != total_key(b.top) ? total_key(a.top) < total_key(b.top) : total_key(a.x0) < total_key(b.x0);
    });
    const std::vector<Line> rows = group_lines(ordinary);
    std::erase_if(fragments, [&](const Found& f) {
        if (!tall(f))
            return false;
        const auto spans = std::count_if(rows.begin(), rows.end(), [&](const Line& row) {
            return std::min(f.bottom, row.bottom) - std::max(f.top, row.top) > 0.5 * median;
        });
        return spans >= 2;
    });

    // The columns of the text, for one fragment: the span of the fragments
    // on the other rows. A title bar's buttons lie past it; a row alone (one
    // line of text) has nothing to be measured against and stays whole.
    const auto same_row = [&](const Found& f, const Found& g) {
        return std::min(f.bottom, g.bottom) - std::max(f.top, g.top) > 0.5 * median;
    };
    std::vector<bool> outside(fragments.size(), false);
    for (std::size_t i = 0; i < fragments.size(); ++i) {
        const Found& f = fragments[i];
        double left = 0, right = 0;
        bool any = false, nothing_above = true;
        for (const Found& g : fragments) {
            if (&g == &f || same_row(f, g))
                continue;
            left = any ? std::min(left, g.x0) : g.x0;
            right = any ? std::max(right, g.x1) : g.x1;
            any = true;
            nothing_above = nothing_above && g.bottom > f.top;
        }
        // What lies beside it on its own row: a fragment between two others
        // is part of the text whatever it reads.
        bool left_of = false, right_of = false, close = false, words_on_row = false;
        for (const Found& g : fragments) {
            if (&g == &f || !same_row(f, g))
                continue;
            const bool word = letters_and_digits(g.text) > 0;
            // Only a word makes a mark its neighbour: "=" beside "|" is one icon.
            close = close || (std::max(g.x0 - f.x1, f.x0 - g.x1) < 2.5 * median && word);
            words_on_row = words_on_row || word;
            left_of = left_of || g.x1 <= f.x0;
            right_of = right_of || g.x0 >= f.x1;
        }
        const std::size_t letters = letters_and_digits(f.text);
        // Scraps of up to three letters ("x", "XxX") alone on their row with
        // no other row wholly above them, past the columns of the others: a
        // title bar's buttons and icon. On a row with other words a short one
        // is a word ("red", "ms" at a line's end), a longer one out there is
        // a column of its own, and one on a row below others is a dialog's
        // button ("No").
        outside[i] = any && nothing_above && !words_on_row && letters <= 3
            && (f.x0 > right + 2 * median || f.x1 < left - 2 * median);
        // Marks without a letter or digit at an end of a row, more than a
        // tab's width from its words: an icon or a button read as "=", "|"
        // or "—". Near a word or alone in a row they stay.
        outside[i] = outside[i] || (letters == 0 && !close && left_of != right_of);
    }
    std::vector<Found> kept;
    for (std::size_t i = 0; i < fragments.size(); ++i)
        if (!outside[i])
            kept.push_back(std::move(fragments[i]));
    return kept;
}

std::vector<std::vector<std::size_t>> group_rows(const std::vector<RowBox>& sorted)
{
    // The pieces: a known line's boxes together, each other box alone; in
    // the order of their first box.
    struct Piece {
        std::vector<std::size_t> boxes;
        double x0, x1, top, bottom;
        int line;
    };
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const RowBox& b = sorted[i];
        const auto same = b.line < 0 ? pieces.end()
                                     : std::find_if(pieces.begin(), pieces.end(), [&](const Piece& p) { return p.line == b.line; });
        if (same == pieces.end()) {
            pieces.push_back({ { i }, b.x0, b.x1, b.top, b.bottom, b.line });
            continue;
        }
        same->boxes.push_back(i);
        same->x0 = std::min(same->x0, b.x0);
        same->x1 = std::max(same->x1, b.x1);
        same->top = std::min(same->top, b.top);
        same->bottom = std::max(same->bottom, b.bottom);
    }
    struct Row {
        std::vector<std::size_t> boxes;
        std::vector<const Piece*> lines; // the known lines in it
        double top, bottom;
    };
    std::vector<Row> rows;
    for (const Piece& p : pieces) {
        if (!rows.empty()) {
            Row& last = rows.back();
            const double overlap = std::min(last.bottom, p.bottom) - std::max(last.top, p.top);
            const double smaller = std::min(last.bottom - last.top, p.bottom - p.top);
            const bool stacked = p.line >= 0 && std::any_of(last.lines.begin(), last.lines.end(), [&](const Piece* q) {
                return std::min(q->x1, p.x1) > std::max(q->x0, p.x0);
            });
            if (!(overlap < 0.5 * smaller) && !stacked) {
                last.boxes.insert(last.boxes.end(), p.boxes.begin(), p.boxes.end());
                if (p.line >= 0)
                    last.lines.push_back(&p);
                last.top = std::min(last.top, p.top);
                last.bottom = std::max(last.bottom, p.bottom);
                continue;
            }
        }
        rows.push_back({ p.boxes, {}, p.top, p.bottom });
        if (p.line >= 0)
            rows.back().lines.push_back(&p);
    }
    std::vector<std::vector<std::size_t>> out;
    for (Row& r : rows) {
        std::sort(r.boxes.begin(), r.boxes.end());
        out.push_back(std::move(r.boxes));
    }
    return out;
}

std::vector<Line> group_lines(const std::vector<Found>& sorted)
{
    std::vector<RowBox> boxes;
    boxes.reserve(sorted.size());
    for (const Found& f : sorted)
        boxes.push_back({ f.x0, f.x1, f.top, f.bottom, f.line });
    std::vector<Line> lines;
    for (const auto& row : group_rows(boxes)) {
        Line line;
        for (const std::size_t i : row)
            line.add(sorted[i]);
        lines.push_back(std::move(line));
    }
    return lines;
}

Result assemble(const std::vector<Found>& texts, const std::vector<Found>& codes)
{
    std::vector<const Found*> kept_codes;
    for (const Found& c : codes)
        if (!c.text.empty())
            kept_codes.push_back(&c);

    std::vector<Found> kept;
    for (const Found& t : texts) {
        Found clean = t;
        clean.text = printable(t.text);
        if (is_blank(clean.text))
            continue;
        const bool in_code = std::any_of(kept_codes.begin(), kept_codes.end(),
                                         [&](const Found* c) { return centre_inside(clean, *c); });
        if (!in_code)
            kept.push_back(std::move(clean));
    }
    kept = drop_non_text(std::move(kept));
    std::stable_sort(kept.begin(), kept.end(), [](const Found& a, const Found& b) {
        const auto ta = total_key(a.top), tb = total_key(b.top);
        if (ta != tb)
            return ta < tb;
        return total_key(a.x0) < total_key(b.x0);
    });
    std::vector<Line> lines = group_lines(kept);

    Result result;
    result.has_code = !kept_codes.empty();
    std::string& out = result.text;
    for (const Found* c : kept_codes) {
        out += trim_end(c->text);
        out += '\n';
    }
    if (!kept_codes.empty() && !lines.empty())
        out += '\n';

    const Line* previous = nullptr;
    for (Line& line : lines) {
        std::stable_sort(line.parts.begin(), line.parts.end(),
                         [](const Found& a, const Found& b) { return total_key(a.x0) < total_key(b.x0); });
        if (previous && std::min(line.height(), previous->height()) * 1.2 < line.top - previous->bottom)
            out += '\n';
        out += trim(line.parts.front().text);
        for (std::size_t i = 1; i < line.parts.size(); ++i) {
            const double gap = line.parts[i].x0 - line.parts[i - 1].x1;
            out += gap > 2.5 * line.height() ? COLUMN_GAP : " ";
            out += trim(line.parts[i].text);
        }
        out += '\n';
        previous = &line;
    }
    out.resize(trim_end(out).size());
    return result;
}

} // namespace ocr
