// Cases for text recognition drawn from a seed: lines of the text people
// select (numbers with separators, dates, times, paths with underscores and
// dots, e-mail addresses, accented capitals at a line's start, short words),
// the fonts, sizes and themes they show in, the selections they drag over
// them, and how a reading of ours is judged against the engine's plain
// reading of the same crop. Shared by the corpus test and bench_ocr's
// corpus mode; the windows themselves are in ocr_scene.h.
#pragma once

#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support::ocr_cases {

// ---- Lines ----------------------------------------------------------------

template <class T, std::size_t N>
const T& pick(std::mt19937& rng, const std::array<T, N>& from)
{
    return from[std::uniform_int_distribution<std::size_t>(0, N - 1)(rng)];
}

inline int between(std::mt19937& rng, int lo, int hi)
{
    return std::uniform_int_distribution<int>(lo, hi)(rng);
}

constexpr std::array<const char*, 10> ACCENTED_STARTS = { "Última", "Él", "Índice", "Ángel", "Órdenes", "Éxito",
                                                          "Área", "Ésta", "Único", "Ámbito" };
constexpr std::array<const char*, 12> CAPITAL_STARTS = { "Informe", "Pedido", "Archivo", "Total", "Copia", "Entrega",
                                                         "Factura", "Revisión", "Nota", "Cliente", "Ventas", "Envío" };
constexpr std::array<const char*, 30> WORDS = {
    "informe", "pedido",  "salió",  "llegó",   "envío",   "revisión", "copia",  "archivo", "ventas", "mañana",
    "después", "según",   "cámara", "está",    "número",  "factura",  "cliente", "pago",   "total",  "entrega",
    "antes",   "viernes", "lunes",  "región",  "almacén", "también",  "carpeta", "guardó", "quedan", "errores",
};
constexpr std::array<const char*, 7> SHORT_WORDS = { "a", "sí", "OK", "y", "o", "el", "de" };
constexpr std::array<const char*, 8> NAMES = { "ana", "luis", "marta", "jose", "ines", "pablo", "sofia", "raul" };
constexpr std::array<const char*, 8> SURNAMES = { "garcia", "lopez", "martin", "ruiz", "diaz", "moreno", "alonso",
                                                  "navarro" };
constexpr std::array<const char*, 6> DOMAINS = { "ejemplo.es", "correo.com", "empresa.org", "mail.es", "tienda.net",
                                                 "uni.edu" };
constexpr std::array<const char*, 8> STEMS = { "informe", "copia", "datos", "notas", "ventas", "factura", "reunion",
                                               "backup" };
constexpr std::array<const char*, 7> EXTENSIONS = { "pdf", "txt", "tar.gz", "csv", "log", "cpp", "json" };
constexpr std::array<const char*, 5> DIRS = { "/home/ana", "/var/log", "~/proyectos", "/tmp", "/srv/datos" };

// One piece of a line: a word, or a run of words that belong together.
inline std::string piece(std::mt19937& rng)
{
    switch (between(rng, 0, 11)) {
    case 0: // thousands and decimals, Spanish style
        return fmt::format("{}.{:03},{:02}", between(rng, 1, 99), between(rng, 0, 999), between(rng, 0, 99));
    case 1: // a size or a share
        return between(rng, 0, 1) ? fmt::format("{},{} MB", between(rng, 1, 99), between(rng, 0, 9))
                                  : fmt::format("{} %", between(rng, 1, 99));
    case 2: // a plain count or reference
        return std::to_string(between(rng, 10, 99999));
    case 3: // a date
        switch (between(rng, 0, 2)) {
        case 0:
            return fmt::format("{:02}/{:02}/{}", between(rng, 1, 28), between(rng, 1, 12), between(rng, 2019, 2031));
        case 1:
            return fmt::format("{}-{:02}-{:02}", between(rng, 2019, 2031), between(rng, 1, 12), between(rng, 1, 28));
        default:
            return fmt::format("{}.{}.{}", between(rng, 1, 28), between(rng, 1, 12), between(rng, 2019, 2031));
        }
    case 4: // a time
        return between(rng, 0, 1) ? fmt::format("{}:{:02}", between(rng, 0, 23), between(rng, 0, 59))
                                  : fmt::format("{:02}:{:02}:{:02}", between(rng, 0, 23), between(rng, 0, 59),
                                                between(rng, 0, 59));
    case 5: { // a file name with underscores and dots
        std::string name = pick(rng, STEMS);
        if (between(rng, 0, 1))
            name += std::string("_") + pick(rng, STEMS);
        if (between(rng, 0, 1))
            name += fmt::format("_v{}", between(rng, 1, 9));
        name += std::string(".") + pick(rng, EXTENSIONS);
        return between(rng, 0, 2) ? name : std::string(pick(rng, DIRS)) + "/" + name;
    }
    case 6: // an e-mail address
        return fmt::format("{}{}{}@{}", pick(rng, NAMES), between(rng, 0, 1) ? "." : "_", pick(rng, SURNAMES),
                           pick(rng, DOMAINS));
    case 7:
    case 8:
        return pick(rng, SHORT_WORDS);
    default:
        return pick(rng, WORDS);
    }
}

// A line of at most `max_chars` characters (code points), starting with a
// capital, an accented one on about a third of the lines; no word repeats
// the one before it, so a doubled word in a reading is the reader's.
inline std::string make_line(std::mt19937& rng, int max_chars)
{
    const auto length = [](const std::string& s) {
        return static_cast<int>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    };
    std::string line = between(rng, 0, 2) == 0 ? pick(rng, ACCENTED_STARTS) : pick(rng, CAPITAL_STARTS);
    std::string last = line;
    const int wanted = between(rng, 3, 7);
    for (int i = 0, tries = 0; i < wanted && tries < 30; ++tries) {
        const std::string p = piece(rng);
        if (p == last || length(line) + 1 + length(p) > max_chars)
            continue;
        line += " " + p;
        last = p;
        ++i;
    }
    return line;
}

inline std::vector<std::string> make_lines(std::mt19937& rng, int count, int max_chars)
{
    std::vector<std::string> out;
    while (static_cast<int>(out.size()) < count)
        out.push_back(make_line(rng, max_chars));
    return out;
}

// ---- Fonts ----------------------------------------------------------------

struct Font {
    std::string family; // empty: xterm's bitmap default
    bool mono = false;
};

// Families that are neither sans nor monospace (serif, symbols, icons).
inline bool sans_or_mono(const std::string& family)
{
    static const QRegularExpression other("Serif|Roman|Math|Symbol|Icons|Bookman|C059|P052|Z003|D050000L|Emoji|Palladio|"
                                          "Schoolbook|Palatino|Times");
    return !other.match(QString::fromStdString(family)).hasMatch();
}

// Every monospace and sans family installed that shows Spanish, as
// fontconfig lists them (each family by its first name).
inline std::vector<Font> installed_fonts()
{
    const auto families = [](const QString& pattern) {
        QProcess p;
        p.start("fc-list", { pattern, "family" });
        p.waitForFinished(10000);
        std::set<std::string> out;
        for (const QString& line : QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts))
            out.insert(line.section(',', 0, 0).trimmed().toStdString());
        return out;
    };
    const auto mono = families(":lang=es:spacing=mono");
    std::vector<Font> out;
    for (const std::string& f : families(":lang=es"))
        if (sans_or_mono(f))
            out.push_back({ f, mono.count(f) > 0 });
    return out;
}

// ---- Scenes ---------------------------------------------------------------

enum class Program { Xterm, Mousepad, Zenity, Xmessage, Qt };
constexpr std::array<const char*, 5> PROGRAM_NAMES = { "xterm", "mousepad", "zenity", "xmessage", "qt" };

// The core (server-side) fonts xmessage draws with, by XLFD family and
// weight: the scalable sans and monospace ones, and "fixed", the bitmap
// default of the X clients.
struct CoreFont {
    const char* family;
    const char* weight;
    bool scalable;
    bool mono;
};
constexpr std::array<CoreFont, 6> CORE_FONTS = { { { "helvetica", "medium", true, false },
                                                   { "nimbus sans l", "regular", true, false },
                                                   { "urw gothic l", "book", true, false },
                                                   { "courier", "medium", true, true },
                                                   { "nimbus mono l", "regular", true, true },
                                                   { "fixed", "medium", false, true } } };

struct Scene {
    unsigned seed = 0;
    Program program = Program::Xterm;
    Font font;                 // for xmessage, family names a core font
    int pt = 11;               // 8-16
    bool dark = false;
    std::vector<std::string> lines;
    int x = 0, y = 0;          // where the window goes

    std::string describe() const
    {
        return fmt::format("{} \"{}\" {} pt {}", PROGRAM_NAMES[static_cast<int>(program)],
                           font.family.empty() ? "bitmap" : font.family, pt, dark ? "dark" : "light");
    }
};

// The scene of `seed`: everything about it follows from the seed alone, so
// that a run's seed for one scene replays it.
inline Scene make_scene(unsigned seed, const std::vector<Font>& fonts)
{
    std::mt19937 rng(seed);
    Scene s;
    s.seed = seed;
    s.program = static_cast<Program>(seed % PROGRAM_NAMES.size());
    s.pt = between(rng, 8, 16);
    s.dark = between(rng, 0, 1);
    std::vector<Font> mono, sans;
    for (const Font& f : fonts)
        (f.mono ? mono : sans).push_back(f);
    const auto from = [&](const std::vector<Font>& list) {
        return list.empty() ? Font {} : list[std::uniform_int_distribution<std::size_t>(0, list.size() - 1)(rng)];
    };
    switch (s.program) {
    case Program::Xterm: // a terminal: monospace, or the bitmap default on one scene in three
        s.font = between(rng, 0, 2) == 0 ? Font {} : from(mono);
        break;
    case Program::Mousepad: // an editor: any of them
        s.font = from(between(rng, 0, 1) ? mono : sans);
        break;
    case Program::Xmessage: {
        const CoreFont& core = CORE_FONTS[between(rng, 0, static_cast<int>(CORE_FONTS.size()) - 1)];
        s.font = { core.family, core.mono };
        break;
    }
    default: // dialogs: sans
        s.font = from(sans);
    }
    const int lines = s.program == Program::Zenity || s.program == Program::Xmessage ? between(rng, 1, 3)
                                                                                      : between(rng, 2, 5);
    s.lines = make_lines(rng, lines, 44);
    s.x = between(rng, 80, 400);
    s.y = between(rng, 80, 300);
    return s;
}

// ---- Selections -----------------------------------------------------------

enum class Kind { Tight, Through, Whole };
constexpr std::array<const char*, 3> KIND_NAMES = { "tight", "through", "whole" };

struct Selection {
    Kind kind = Kind::Whole;
    QRect rect;                 // on the screen
    std::vector<int> inside;    // the scene's lines wholly in it
    int cut = -1;               // the line an edge goes through
    int moved_from = -1;        // the selection this one is moved from, by 1-3 px
    std::string label;
};

// The selections of a scene: tight around 1-4 lines (0-4 px of margin),
// through a line, the whole window with 0-60 px of desktop, each also moved
// by 1-3 px where the move keeps the same lines inside. `boxes` are the
// lines' ink on the screen (none where the line was not found), `frame` the
// window's with its border and title.
inline std::vector<Selection> make_selections(std::mt19937& rng, const std::vector<std::optional<QRect>>& boxes,
                                              const QRect& frame, const QRect& screen, int count)
{
    std::vector<Selection> out;
    std::vector<int> all(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i)
        all[i] = static_cast<int>(i);
    const auto located = [&](int first, int n) {
        for (int i = first; i < first + n; ++i)
            if (i >= static_cast<int>(boxes.size()) || !boxes[i])
                return false;
        return true;
    };
    const auto span = [&](int first, int n) {
        QRect r;
        for (int i = first; i < first + n; ++i)
            r = r.united(*boxes[i]);
        return r;
    };
    for (int i = 0, made = 0; made < count && i < count * 4; ++i) {
        Selection s;
        s.kind = static_cast<Kind>(i % 3);
        const int n = between(rng, 1, std::min<int>(4, static_cast<int>(boxes.size())));
        const int first = between(rng, 0, static_cast<int>(boxes.size()) - n);
        int l = 0, t = 0, r = 0, b = 0;
        if (s.kind == Kind::Whole) {
            l = between(rng, 0, 60), t = between(rng, 0, 60), r = between(rng, 0, 60), b = between(rng, 0, 60);
            s.rect = frame.adjusted(-l, -t, r, b).intersected(screen);
            s.inside = all;
        } else {
            if (!located(first, n))
                continue;
            l = between(rng, 0, 4), t = between(rng, 0, 4), r = between(rng, 0, 4), b = between(rng, 0, 4);
            s.rect = span(first, n).adjusted(-l, -t, r, b);
            for (int k = first; k < first + n; ++k)
                s.inside.push_back(k);
            if (s.kind == Kind::Through) {
                // The top edge through the first line, or the bottom edge
                // through the last, at 30-70 % of its height.
                const bool top = between(rng, 0, 1);
                s.cut = top ? first : first + n - 1;
                const QRect c = *boxes[s.cut];
                const int at = c.top() + c.height() * between(rng, 30, 70) / 100;
                (top ? s.rect.setTop(at) : s.rect.setBottom(at));
                std::erase(s.inside, s.cut);
                t = top ? 0 : t;
                b = top ? b : 0;
            }
        }
        s.label = fmt::format("{}-{}", KIND_NAMES[static_cast<int>(s.kind)], made++);
        out.push_back(s);
        // The same selection moved by 1-3 px, as far as its margins allow
        // (a whole window's border may be crossed: its lines stay inside).
        const bool whole = s.kind == Kind::Whole;
        const int right = whole ? 3 : std::min(3, l), left = whole ? 3 : std::min(3, r);
        const int down = whole ? 3 : std::min(3, t), up = whole ? 3 : std::min(3, b);
        int dx = between(rng, -left, right), dy = between(rng, -up, down);
        if (dx == 0 && dy == 0) {
            if (right > 0)
                dx = between(rng, 1, right);
            else if (down > 0)
                dy = between(rng, 1, down);
            else
                continue;
        }
        Selection moved = s;
        moved.rect = s.rect.translated(dx, dy).intersected(screen);
        moved.moved_from = static_cast<int>(out.size()) - 1;
        moved.label = fmt::format("{}-moved{:+}{:+}", s.label, dx, dy);
        out.push_back(moved);
    }
    return out;
}

// ---- Judging --------------------------------------------------------------

// Levenshtein similarity of two texts, 0..1.
inline double similarity(const QString& a, const QString& b)
{
    std::vector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int up = row[j];
            row[j] = std::min({ row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1]) });
            diagonal = up;
        }
    }
    const int longest = std::max(a.size(), b.size());
    return longest ? 1.0 - double(row[b.size()]) / longest : 1.0;
}

// A word as it is compared: without the punctuation around it ("(3,4" and
// "3,4" are one), inner marks kept (paths, addresses, numbers).
inline std::string core(const std::string& word)
{
    static const std::string around = ",.;:()[]¿?¡!\"'«»";
    std::size_t b = 0, e = word.size();
    while (b < e && around.find(word[b]) != std::string::npos && !(word[b] & 0x80))
        ++b;
    while (e > b && around.find(word[e - 1]) != std::string::npos && !(word[e - 1] & 0x80))
        --e;
    // "¿", "¡", "«" and "»" are two bytes each.
    for (const std::string mark : { "¿", "¡", "«", "»" }) {
        while (word.compare(b, mark.size(), mark) == 0 && b + mark.size() <= e)
            b += mark.size();
        while (e >= b + mark.size() && word.compare(e - mark.size(), mark.size(), mark) == 0)
            e -= mark.size();
    }
    return word.substr(b, e - b);
}

inline std::vector<std::string> words_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        if (const std::string c = core(w); !c.empty())
            out.push_back(c);
    return out;
}

inline std::vector<std::vector<std::string>> lines_of(const std::string& text)
{
    std::vector<std::vector<std::string>> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (auto ws = words_of(line); !ws.empty())
            out.push_back(std::move(ws));
    return out;
}

// A number: digits with their separators (an amount, a date, a time),
// not a name that holds a digit.
inline bool is_number(const std::string& w)
{
    return w.find_first_of("0123456789") != std::string::npos && w.find_first_not_of("0123456789.,:/-%") == std::string::npos;
}

inline std::string lower(std::string w)
{
    for (char& c : w)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return w;
}

// The words of `truth` a reading lacks (a word read twice counts once).
inline std::multiset<std::string> lost_words(const std::vector<std::string>& truth, const std::string& reading)
{
    const auto read = words_of(reading);
    std::multiset<std::string> have(read.begin(), read.end()), lost;
    for (const std::string& w : truth)
        if (const auto it = have.find(w); it != have.end())
            have.erase(it);
        else
            lost.insert(w);
    return lost;
}

struct Verdict {
    std::size_t ours_lost = 0, plain_lost = 0;
    std::vector<std::string> lines_missing;  // lines the plain reading read that ours lacks
    std::vector<std::string> doubled;         // words ours repeats where the text and the plain reading do not
    std::vector<std::string> numbers_changed; // numbers the plain reading reads right and ours does not
    std::multiset<std::string> ours_lost_words;
};

// Judges ours against the plain reading of one crop. `inside` are the text
// lines wholly in the crop; `vocabulary` every word of the window's text.
inline Verdict judge(const std::string& ours, const std::string& plain, const std::vector<std::string>& inside,
                     const std::set<std::string>& vocabulary)
{
    Verdict v;
    std::vector<std::string> truth;
    for (const std::string& line : inside)
        for (const std::string& w : words_of(line))
            truth.push_back(w);
    v.ours_lost_words = lost_words(truth, ours);
    v.ours_lost = v.ours_lost_words.size();
    const auto plain_lost = lost_words(truth, plain);
    v.plain_lost = plain_lost.size();
    // Numbers: read right by the plain reading, lost by ours.
    std::multiset<std::string> theirs = plain_lost;
    for (const std::string& w : v.ours_lost_words)
        if (is_number(w)) {
            if (const auto it = theirs.find(w); it != theirs.end())
                theirs.erase(it);
            else
                v.numbers_changed.push_back(w);
        }
    // A line the plain reading read: two words or more of the window's
    // text ("a a" read off a cut line is none), at least half of its words. Ours must hold a line with half of
    // those words.
    const auto ours_lines = lines_of(ours);
    for (const auto& line : lines_of(plain)) {
        std::vector<std::string> known;
        for (const std::string& w : line)
            if (vocabulary.count(w))
                known.push_back(w);
        const bool worded = std::any_of(known.begin(), known.end(), [](const std::string& w) { return w.size() >= 3; });
        if (known.size() < 2 || known.size() * 2 < line.size() || !worded)
            continue;
        std::string text;
        for (const std::string& w : line)
            text += (text.empty() ? "" : " ") + w;
        const bool kept = std::any_of(ours_lines.begin(), ours_lines.end(), [&](const std::vector<std::string>& o) {
            std::multiset<std::string> have;
            std::string joined;
            for (const std::string& w : o) {
                have.insert(lower(w));
                joined += (joined.empty() ? "" : " ") + w;
            }
            std::size_t shared = 0;
            for (const std::string& w : known)
                if (const auto it = have.find(lower(w)); it != have.end()) {
                    have.erase(it);
                    ++shared;
                }
            return shared * 2 >= known.size()
                || similarity(QString::fromStdString(text).toLower(), QString::fromStdString(joined).toLower()) >= 0.6;
        });
        if (!kept)
            v.lines_missing.push_back(text);
    }
    // Doubled words: a word of the text right after itself in ours and not
    // in the text nor the plain reading (marks read off a cut line, "A A", are no words).
    std::set<std::string> known;
    for (const std::string& w : vocabulary)
        known.insert(lower(w));
    const auto pairs = [&](const std::string& text) {
        std::set<std::string> out;
        for (const auto& line : lines_of(text))
            for (std::size_t i = 1; i < line.size(); ++i)
                if (lower(line[i]) == lower(line[i - 1]) && known.count(lower(line[i])))
                    out.insert(lower(line[i]));
        return out;
    };
    // A line may hold a word twice itself ("Archivo archivo").
    std::string text;
    for (const std::string& line : inside)
        text += line + "\n";
    const auto ours_pairs = pairs(ours), plain_pairs = pairs(plain), text_pairs = pairs(text);
    for (const std::string& w : ours_pairs)
        if (!plain_pairs.count(w) && !text_pairs.count(w))
            v.doubled.push_back(w);
    return v;
}

// The words of the text one reading has and the other lacks: what a move
// of the selection changed.
inline std::vector<std::string> words_changed(const std::multiset<std::string>& lost_a,
                                              const std::multiset<std::string>& lost_b)
{
    std::vector<std::string> diff;
    std::set_symmetric_difference(lost_a.begin(), lost_a.end(), lost_b.begin(), lost_b.end(), std::back_inserter(diff));
    return diff;
}

} // namespace testing_support::ocr_cases
