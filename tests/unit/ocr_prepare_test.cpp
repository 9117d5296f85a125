// The text recogniser's image preparation on grey pictures built pixel by
// pixel: a window's border columns against a sidebar that holds text, a
// title bar against a tall banner, icons against letters in a bar, the
// upscale against thin strokes, and the words kept against graphics.
#include "capture/ocr_prepare.h"
#include "capture/ocr_choice.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ocr_prepare;

namespace {

QImage page(int w, int h, int grey = 255)
{
    QImage img(w, h, QImage::Format_Grayscale8);
    img.fill(grey);
    return img;
}

void fill(QImage& img, int x, int y, int w, int h, int grey)
{
    for (int row = y; row < y + h; ++row)
        std::fill_n(img.scanLine(row) + x, w, static_cast<uchar>(grey));
}

// Letter-like marks: upright strokes 2 px wide and 10 px tall with a bar
// across their middle, one a line every `step` rows from `x`.
void strokes(QImage& img, int x, int grey, int step = 20)
{
    for (int y = 8; y + 12 < img.height(); y += step) {
        fill(img, x, y, 2, 10, grey);
        fill(img, x + 6, y, 2, 10, grey);
        fill(img, x, y + 4, 8, 2, grey);
    }
}

bool same_pixels(const QImage& a, const QImage& b)
{
    for (int y = 0; y < a.height(); ++y)
        if (!std::equal(a.constScanLine(y), a.constScanLine(y) + a.width(), b.constScanLine(y)))
            return false;
    return true;
}

} // namespace

TEST(OcrPrepare, BorderColumnsGoAndTheTextBesideThemStays)
{
    // 11 px of the desktop's grey, the window's 1 px border, then its page.
    QImage img = page(300, 200);
    fill(img, 0, 0, 11, 200, 136);
    fill(img, 11, 0, 1, 200, 88);
    strokes(img, 14, 0);
    const QImage before = img.copy();
    erase_edge_columns(img, 255);
    for (int y = 0; y < img.height(); ++y) {
        EXPECT_TRUE(std::all_of(img.constScanLine(y), img.constScanLine(y) + 12, [](uchar v) { return v == 255; })) << y;
        EXPECT_TRUE(std::equal(img.constScanLine(y) + 12, img.constScanLine(y) + 300, before.constScanLine(y) + 12)) << y;
    }
}

TEST(OcrPrepare, ASidebarWithLabelsAtTheEdgeIsNoBorder)
{
    // A dark sidebar 80 px wide with light labels, on either edge: labels
    // are few, so every column of it stands apart from the page.
    for (const bool left : { true, false }) {
        QImage img = page(300, 200);
        const int x = left ? 0 : 220;
        fill(img, x, 0, 80, 200, 43);
        strokes(img, x + 10, 224, 100);
        strokes(img, x + 30, 224, 100);
        const QImage before = img.copy();
        erase_edge_columns(img, 255);
        EXPECT_TRUE(same_pixels(img, before)) << (left ? "left" : "right");
    }
}

// A window's side beside the desktop, down fewer rows than most of the
// selection's (wide margins above and below it), is no ink: the lines of
// text beside it stay apart.
TEST(OcrPrepare, AWindowsSideIsNoInkBesideItsLines)
{
    QImage img = page(300, 320, 128);
    fill(img, 0, 100, 250, 120, 255);
    strokes(img, 20, 0);
    fill(img, 0, 0, 300, 100, 128);
    fill(img, 0, 220, 300, 100, 128);
    EXPECT_EQ(ink_runs(ink_rows(img)).size(), 6u);
}

TEST(OcrPrepare, TitleAndMenuBarsAreChromeATallBannerIsNot)
{
    // A title bar's gradient (19 rows) and a menu bar (24 rows) over a page.
    QImage bars = page(400, 200);
    for (int y = 0; y < 19; ++y)
        fill(bars, 0, y, 400, 1, 200 - 2 * y);
    fill(bars, 0, 19, 400, 24, 246);
    strokes(bars, 40, 30);
    EXPECT_EQ(chrome_top(bars, 255), 43);

    // A banner 140 rows tall, its grey drifting a little from row to row.
    QImage banner = page(900, 300);
    for (int y = 0; y < 140; ++y)
        fill(banner, 0, y, 900, 1, 60 + y);
    EXPECT_EQ(chrome_top(banner, 255), 0);

    // A title bar over such a banner: the chrome ends above the banner.
    QImage both = banner.copy();
    fill(both, 0, 0, 900, 19, 220);
    EXPECT_EQ(chrome_top(both, 255), 19);

    // A page that starts on its own grey has no chrome.
    EXPECT_EQ(chrome_top(page(400, 200), 255), 0);

    // On a black desktop: the bars under 60 rows of it, and beside the
    // page where more of a row is desktop than page, no bar at all.
    QImage below = page(600, 400, 0);
    fill(below, 100, 60, 400, 300, 255);
    fill(below, 100, 60, 400, 19, 220);
    strokes(below, 140, 30);
    EXPECT_EQ(chrome_top(below, 255, 0), 79);
    QImage beside = page(900, 70, 0);
    fill(beside, 500, 0, 400, 70, 255);
    strokes(beside, 520, 30);
    EXPECT_EQ(chrome_top(beside, 255, 0), 0);
}

TEST(OcrPrepare, ABarsIconAndButtonsGoItsLettersStay)
{
    QImage img = page(300, 100);
    fill(img, 0, 0, 300, 24, 214);
    // The icon: a filled square with a glyph of its own.
    fill(img, 4, 4, 14, 14, 60);
    fill(img, 8, 7, 6, 3, 230);
    // A close button's cross, 12 px.
    for (int i = 0; i < 12; ++i) {
        fill(img, 270 + i, 6 + i, 2, 1, 50);
        fill(img, 281 - i, 6 + i, 2, 1, 50);
    }
    // An "H" as tall, and an "I": they span their rows or their columns, not both.
    fill(img, 100, 6, 2, 12, 30);
    fill(img, 108, 6, 2, 12, 30);
    fill(img, 100, 11, 10, 2, 30);
    fill(img, 120, 6, 2, 12, 30);
    const QImage before = img.copy();
    erase_bar_icons(img, 24);
    const auto untouched = [&](int x, int y, int w, int h) {
        for (int row = y; row < y + h; ++row)
            if (!std::equal(img.constScanLine(row) + x, img.constScanLine(row) + x + w, before.constScanLine(row) + x))
                return false;
        return true;
    };
    // No ink left: what stays (the icon's glyph, lighter than its square)
    // is within a few grey levels of the bar.
    const auto plain = [&](int x, int y, int w, int h) {
        for (int row = y; row < y + h; ++row)
            if (!std::all_of(img.constScanLine(row) + x, img.constScanLine(row) + x + w,
                             [](uchar v) { return std::abs(v - 214) <= 40; }))
                return false;
        return true;
    };
    EXPECT_TRUE(plain(4, 4, 14, 14));
    EXPECT_TRUE(plain(268, 4, 20, 16));
    EXPECT_TRUE(untouched(96, 4, 30, 16));
}

TEST(OcrPrepare, ScalingUpKeepsTheGapsBetweenThinStrokes)
{
    // Strokes one pixel wide with one-pixel gaps (the slot in a dotted zero,
    // the gaps of an eight): at every factor, each gap stays lighter than
    // the middle grey at its centre, and each stroke darker.
    QImage img = page(21, 9);
    for (int x = 4; x <= 16; x += 2)
        fill(img, x, 2, 1, 5, 0);
    for (int factor = 2; factor <= 4; ++factor) {
        const QImage big = upscaled(img, factor);
        ASSERT_EQ(big.size(), img.size() * factor);
        const uchar* row = big.constScanLine(4 * factor + factor / 2);
        for (int x = 4; x <= 16; ++x) {
            const int centre = x * factor + factor / 2;
            if (x % 2 == 0)
                EXPECT_LT(row[centre], 128) << "stroke " << x << " at " << factor;
            else
                EXPECT_GT(row[centre], 128) << "gap " << x << " at " << factor;
        }
    }
    // Lines within a fifth of the target are not scaled; the factor is capped.
    EXPECT_EQ(upscale_for(30, 32, 4), 1);
    EXPECT_EQ(upscale_for(11, 32, 4), 3);
    EXPECT_EQ(upscale_for(4, 32, 4), 4);
    EXPECT_EQ(upscale_for(0, 32, 4), 1);
}

TEST(OcrPrepare, AShortUnsureWordStaysOnALineAndGoesAlone)
{
    const auto word = [](const char* text, double top, double bottom, float confidence) {
        return platform::ReadWord { { text, { 0.1, 0.2, top, bottom } }, confidence };
    };
    // "ms" beside "37", both unsure, on one line; "A" alone below them; a
    // towering mark read from a scroll bar's thumb.
    const std::vector<platform::ReadWord> words = {
        word("37", 0.10, 0.15, 40), word("ms", 0.10, 0.15, 30), word("A", 0.50, 0.55, 30),
        word("Pedido", 0.30, 0.35, 95), word("I", 0.58, 0.98, 40),
    };
    std::vector<std::string> kept;
    for (const auto& f : drop_graphics(words, true))
        kept.push_back(f.text);
    EXPECT_EQ(kept, (std::vector<std::string> { "37", "ms", "Pedido" }));
    kept.clear();
    for (const auto& f : drop_graphics(words, false))
        kept.push_back(f.text);
    EXPECT_EQ(kept, (std::vector<std::string> { "37", "ms", "A", "Pedido" }));
    // The towering mark goes on its own evidence, whatever the switch.
}

namespace {

platform::ReadWord read_word(const char* text, double x0, double x1, double top, float confidence)
{
    return { { text, { x0, x1, top, top + 0.05 } }, confidence };
}

} // namespace

// The choice between the two readings of one line, case by case: the
// plain reading stays unless ours carries clear evidence, and then the
// line is taken whole from one of them.
TEST(OcrChoice, EachLineKeepsThePlainReadingUnlessOursIsClearlyBetter)
{
    using platform::ReadWord;
    // Words laid out from left to right on one line, each with its box.
    // Besides: the engine's confidence in each character, its line, and
    // whether it found the word in its dictionary.
    struct W {
        const char* text;
        double x0, x1;
        float conf;
        std::vector<float> chars = {};
        int line = -1;
        bool dictionary = false;
    };
    const auto line = [](std::initializer_list<W> words) {
        std::vector<ReadWord> out;
        for (const W& w : words) {
            out.push_back(read_word(w.text, w.x0, w.x1, 0.1, w.conf));
            out.back().chars = w.chars;
            out.back().line = w.line;
            out.back().dictionary = w.dictionary;
        }
        return out;
    };
    const auto sure = [](std::size_t n) { return std::vector<float>(n, 99); };
    struct Case {
        const char* what;
        std::vector<ReadWord> ours, plain;
        Pick expected;
    };
    const std::vector<Case> cases = {
        { "the same words: the plain reading", line({ { "Total", .10, .15, 95 }, { "21", .16, .18, 93 } }),
          line({ { "Total", .10, .15, 90 }, { "21", .16, .18, 80 } }), Pick::Plain },
        { "a line the plain reading lacks, read surely", line({ { "Warning:", .10, .18, 91 }, { "root", .20, .24, 82 } }),
          {}, Pick::Ours },
        { "a bar's buttons only ours read", line({ { "-", .80, .81, 87 }, { "ox", .82, .84, 89 } }), {}, Pick::Neither },
        { "a short line only the plain reading read, surely", {}, line({ { "Sí", .02, .06, 93 } }), Pick::Plain },
        { "an icon's marks only the plain reading read", {}, line({ { "ZX", .01, .06, 35 } }), Pick::Neither },
        { "a plain line of junk, ours read",
          line({ { "Guardar", .10, .25, 95 }, { "cambios", .27, .40, 94 } }),
          line({ { "TTTTEETTTTS", .10, .30, 31 }, { "¡CI", .32, .40, 40 } }), Pick::Ours },
        { "a plain line of junk but for a number read with confidence, which ours changed",
          line({ { "órdenes", .01, .16, 93 }, { "65,241,73", .19, .39, 91 }, { "de", .62, .66, 97 } }),
          line({ { "[firmes", .01, .16, 19 }, { "65.241,73", .19, .39, 64 }, { "de", .62, .66, 40 } }), Pick::Plain },
        { "a plain line of junk, its number read unsurely, ours with other marks among the digits",
          line({ { "Copia", .01, .10, 93 }, { "80,006,58", .40, .60, 91 }, { "cámara", .62, .80, 97 } }),
          line({ { "Copia", .01, .10, 40 }, { "80.006,58", .40, .60, 45 }, { "cánara", .62, .80, 40 } }), Pick::Plain },
        { "a plain line of junk but for a date read with confidence, which ours lacks", {},
          line({ { "Esta", .01, .10, 30 }, { "2020-12-25", .30, .50, 80 }, { "paí", .62, .70, 20 } }), Pick::Plain },
        { "a plain line of junk but for a number ours read the same",
          line({ { "órdenes", .01, .16, 93 }, { "65.241,73", .19, .39, 91 }, { "de", .62, .66, 97 } }),
          line({ { "[firmes", .01, .16, 19 }, { "65.241,73", .19, .39, 64 }, { "de", .62, .66, 40 } }), Pick::Ours },
        { "underscores ours read as spaces, however surely",
          line({ { "informe", .10, .17, 96 }, { "final", .18, .23, 96 }, { "v2.pdf", .24, .30, 96 } }),
          line({ { "informe_final_v2.pdf", .10, .30, 80 } }), Pick::Plain },
        { "an accent ours lost", line({ { "Ultima", .10, .16, 96 } }), line({ { "Última", .10, .16, 84 } }),
          Pick::Plain },
        { "a date the plain reading read with confidence, ours surer but not clearly",
          line({ { "09/17/7076", .10, .20, 96, sure(10) } }), line({ { "09/12/2026", .10, .20, 88, sure(10) } }),
          Pick::Plain },
        { "other digits of a number the plain reading read with confidence, ours clearly surer, each surely, "
          "where the plain reading was unsure of its digit",
          line({ { "Total", .01, .08, 96 }, { "5196", .10, .14, 96, sure(4) } }),
          line({ { "Total", .01, .08, 96 }, { "5195", .10, .14, 83, { 99, 99, 99, 72 } } }), Pick::Ours },
        { "other digits, ours clearly surer, each surely, but the plain reading sure of its digit",
          line({ { "Total", .01, .08, 96 }, { "5196", .10, .14, 96, sure(4) } }),
          line({ { "Total", .01, .08, 96 }, { "5195", .10, .14, 83, { 99, 99, 99, 97 } } }), Pick::Plain },
        { "other digits, ours clearly surer but for one digit",
          line({ { "22.140,50", .10, .19, 96, { 99, 99, 89, 98, 99, 99, 99, 99, 99 } } }),
          line({ { "22.160,50", .10, .19, 82, { 99, 99, 99, 70, 99, 99, 99, 99, 99 } } }), Pick::Plain },
        { "other digits, but a digit ours is less sure of than the plain reading",
          line({ { "2460", .10, .14, 96, { 96, 99, 99, 99 } } }),
          line({ { "5460", .10, .14, 75, { 99, 99, 99, 96 } } }), Pick::Plain },
        { "other marks among a number's digits, however surely",
          line({ { "68,021,15", .10, .19, 91, sure(9) } }), line({ { "68.021,15", .10, .19, 65, sure(9) } }),
          Pick::Plain },
        { "other digits where the engine did not tell its characters apart",
          line({ { "5196", .10, .14, 96 } }), line({ { "5195", .10, .14, 83 } }), Pick::Plain },
        { "other digits, and a space within the number ours read and the plain reading did not",
          line({ { "51", .10, .12, 96, sure(2) }, { "96", .125, .14, 96, sure(2) } }),
          line({ { "5195", .10, .14, 83, { 99, 99, 99, 70 } } }), Pick::Plain },
        { "other digits, and a space within the number the plain reading read and ours did not",
          line({ { "3401", .10, .14, 96, sure(4) } }),
          line({ { "3", .10, .11, 83, sure(1) }, { "400", .115, .14, 84, { 99, 99, 70 } } }), Pick::Plain },
        { "a number the plain reading read as no number, ours clearly surer", line({ { "1:07", .10, .14, 95 } }),
          line({ { "1:0/", .10, .14, 79 } }), Pick::Ours },
        { "a letter ours read as a digit, however surely", line({ { "21%", .10, .13, 95 }, { "0", .14, .15, 96 } }),
          line({ { "21%", .10, .13, 95 }, { "o", .14, .15, 70 } }), Pick::Plain },
        { "a digit ours read as a sign, more surely but not clearly",
          line({ { "12", .10, .12, 95 }, { "avisos,", .13, .19, 95 }, { "©", .20, .21, 70 }, { "errores", .22, .29, 95 } }),
          line({ { "12", .10, .12, 93 }, { "avisos,", .13, .19, 92 }, { "0", .20, .21, 62 }, { "errores", .22, .29, 93 } }),
          Pick::Plain },
        { "a first letter ours read clearly better",
          line({ { "Informe", .10, .17, 93 }, { "de", .18, .20, 94 } }),
          line({ { "lnforme", .10, .17, 55 }, { "de", .18, .20, 90 } }), Pick::Ours },
        { "ink the plain reading left out, as surely", line({ { "blanco", .10, .16, 90 }, { "Segunda", .20, .27, 91 } }),
          line({ { "lanco", .11, .16, 90 }, { "Segun", .20, .25, 91 }, { "a", .26, .27, 80 } }), Pick::Ours },
        { "a number ours read whole, less surely", line({ { "12", .48, .50, 80 } }), line({ { "1", .48, .49, 85 } }),
          Pick::Plain },
        { "a word the plain reading cut without a space", line({ { "Segunda", .10, .17, 95 } }),
          line({ { "Segun", .10, .15, 96 }, { "da", .1505, .17, 96 } }), Pick::Ours },
        { "words the plain reading cut at a real space", line({ { "21%", .10, .14, 97 } }),
          line({ { "21", .10, .12, 90 }, { "%", .125, .14, 86 } }), Pick::Plain },
        { "a number and its unit the plain reading read apart, however narrow the space",
          line({ { "85%", .10, .14, 97 } }), line({ { "85", .10, .13, 93 }, { "%", .131, .14, 93 } }), Pick::Plain },
        { "an underscore the plain reading read as a space",
          line({ { "Envío", .01, .06, 96 }, { "ana_martin@ejemplo.es", .35, .83, 91 } }),
          line({ { "Envío", .01, .06, 95 }, { "ana", .35, .42, 93 }, { "martin@ejemplo.es", .42, .83, 91 } }), Pick::Ours },
        { "an underscore the plain reading read as a space, ours less sure",
          line({ { "ana_martin@ejemplo.es", .35, .83, 80 } }),
          line({ { "ana", .35, .42, 93 }, { "martin@ejemplo.es", .42, .83, 91 } }), Pick::Plain },
        { "an underscore ours read within a number the plain reading read with a space",
          line({ { "3_400", .10, .15, 92 } }), line({ { "3", .10, .11, 93 }, { "400", .115, .15, 94 } }),
          Pick::Plain },
        { "a word ours split unsurely at an underscore",
          line({ { "reunion", .05, .15, 26 }, { "_v1.txt", .16, .18, 26 } }), line({ { "reunion_v1.txt", .05, .18, 90 } }),
          Pick::Plain },
        { "two short words read surely, ours joined",
          line({ { "backup.csv", .05, .23, 91 }, { "ao", .23, .248, 97 } }),
          line({ { "backup.csv", .05, .234, 89 }, { "a", .229, .236, 97 }, { "o", .2415, .248, 74 } }), Pick::Plain },
        { "only the marks ours read otherwise, however surely",
          line({ { "copia,pdf", .10, .19, 97 } }), line({ { "copia.pdf", .10, .19, 70 } }), Pick::Plain },
        { "only the marks ours read otherwise, beside a word it read clearly surer",
          line({ { "Ventas", .01, .04, 97 }, { "pablo,morenolejemplo,es", .06, .20, 27 }, { "copia,pdf", .21, .26, 88 } }),
          line({ { "Ventas", .01, .04, 90 }, { "pablo.morenolejenplo.es", .06, .20, 1 }, { "copia.pdf", .21, .26, 71 } }),
          Pick::Plain },
        { "a sentence's full stop ours read clearly surer", line({ { "sonido.", .10, .17, 95 } }),
          line({ { "sonido,", .10, .17, 70 } }), Pick::Ours },
        { "an accent ours lost, beside a word it read clearly surer",
          line({ { "Area", .01, .06, 93 }, { "maria.lopez@correo.es", .08, .40, 90 } }),
          line({ { "Área", .01, .06, 93 }, { "maria.lopezgcorreo.es", .08, .40, 70 } }), Pick::Plain },
        { "a letter more ours read before a word of the dictionary, making none",
          line({ { "JNota", .00, .10, 55 }, { "38,3", .13, .21, 97 } }),
          line({ { "Nota", .00, .10, 4, {}, 0, true }, { "38,3", .13, .21, 97 } }), Pick::Plain },
        { "an accent ours put on a word of the dictionary, making none, as surely",
          line({ { "Copia", .00, .13, 93, {}, 0, true }, { "pédido", .53, .68, 93 } }),
          line({ { "Copia", .00, .13, 95, {}, 0, true }, { "pedido", .53, .68, 93, {}, 0, true } }), Pick::Plain },
        { "a sentence's full stop ours read after a word of the dictionary, as surely",
          line({ { "sonido.", .10, .17, 95 } }), line({ { "sonido", .10, .165, 93, {}, 0, true } }), Pick::Ours },
        { "a file's extension the plain reading left out after a word of the dictionary, as surely",
          line({ { "informe.pdf", .10, .21, 93 } }), line({ { "informe", .10, .17, 93, {}, 0, true } }), Pick::Ours },
        { "an address the plain reading read only the start of, a word of the dictionary, as surely",
          line({ { "ana@ejemplo.es", .10, .30, 92 } }), line({ { "ana", .10, .14, 90, {}, 0, true } }), Pick::Ours },
        { "an accent the plain reading lost", line({ { "Última", .03, .10, 96 } }), line({ { "Ultima", .03, .10, 93 } }),
          Pick::Ours },
        { "a button's label the plain reading read a piece of",
          line({ { "cuenta", .25, .33, 96 }, { "Guardar", .594, .691, 96 }, { "cambios", .70, .80, 96 } }),
          line({ { "cuenta", .25, .33, 96 }, { "jar", .668, .68, 89 }, { "cambios", .70, .80, 96 } }), Pick::Ours },
        { "a letter the plain reading read as an unsure digit", line({ { "Archivo", .013, .061, 96 } }),
          line({ { "Archi", .013, .045, 92 }, { "0", .054, .061, 50 } }), Pick::Ours },
        { "a mark around a word the plain reading read unsurely, ours clearly surer without it",
          line({ { "Guardar", .20, .24, 96 } }), line({ { "(Guardar", .20, .24, 55 } }), Pick::Ours },
        { "a number's sign, unit or currency the plain reading read unsurely, ours clearly surer without it",
          line({ { "Saldo:", .05, .35, 90 }, { "12", .47, .65, 70 } }),
          line({ { "Saldo:", .05, .35, 90 }, { "-12", .45, .65, 55 } }), Pick::Plain },
        { "a number's unit the plain reading read unsurely", line({ { "Carga", .01, .08, 92 }, { "85", .10, .13, 70 } }),
          line({ { "Carga", .01, .08, 92 }, { "85%", .10, .14, 55 } }), Pick::Plain },
        { "a mark ours read as a letter",
          line({ { "marta.martinQuni.edu", .07, .26, 90 } }), line({ { "marta.martin@uni.edu", .07, .26, 93 } }),
          Pick::Plain },
        { "a number ours split at a real space", line({ { "32", .10, .12, 93 }, { "%", .13, .14, 92 } }),
          line({ { "32%", .10, .14, 90 } }), Pick::Ours },
        { "another word, not clearly surer", line({ { "Regién", .10, .16, 85 } }), line({ { "Región", .10, .16, 80 } }),
          Pick::Plain },
        { "a word of the dictionary for one that is none, as long and surer",
          line({ { "sincronización", .10, .30, 96, {}, 0, true } }), line({ { "sincronizacién", .10, .30, 87 } }),
          Pick::Ours },
        { "a word of the dictionary for one that is none, without a quote before it",
          line({ { "está", .038, .115, 96, {}, 0, true }, { "contento", .125, .29, 96, {}, 0, true } }),
          line({ { "\u2018esté", .038, .115, 67 }, { "contento", .125, .29, 96, {}, 0, true } }), Pick::Ours },
        { "a quote the plain reading read unsurely before a word, ours clearly surer without it",
          line({ { "Open", .038, .135, 96, {}, 0, true } }), line({ { "\u2018Open", .038, .132, 77, {}, 0, true } }),
          Pick::Ours },
        { "a word of the dictionary for another, not clearly surer",
          line({ { "las", .10, .13, 96, {}, 0, true } }), line({ { "los", .10, .13, 87, {}, 0, true } }), Pick::Plain },
        { "a word of the dictionary for a path's part, not clearly surer",
          line({ { "notas.cpp", .10, .19, 96, {}, 0, true } }), line({ { "notes.cpp", .10, .19, 87 } }), Pick::Plain },
        { "the same ink read twice by the plain reading, on two of its lines",
          line({ { "la", .125, .132, 96 }, { "rejilla", .136, .160, 96 }, { "el", .173, .181, 96 } }),
          line({ { "la", .125, .132, 88, {}, 6 }, { "rejill", .136, .155, 88, {}, 6 }, { "la", .153, .161, 96, {}, 10 },
                 { "el", .174, .182, 93, {}, 10 } }),
          Pick::Ours },
        { "the same ink read twice, ours lacking a letter of one reading",
          line({ { "la", .125, .132, 96 }, { "rejila", .136, .160, 96 }, { "el", .173, .181, 96 } }),
          line({ { "la", .125, .132, 88, {}, 6 }, { "rejill", .136, .155, 88, {}, 6 }, { "la", .153, .161, 96, {}, 10 },
                 { "el", .174, .182, 93, {}, 10 } }),
          Pick::Plain },
        { "ours lost a word the plain reading read with confidence", line({ { "mundo!", .20, .26, 99 } }),
          line({ { "Hola", .10, .15, 90 }, { "mundo", .20, .25, 92 } }), Pick::Plain },
        { "ours read a word more", line({ { "Total", .10, .15, 95 }, { "21", .16, .18, 93 } }),
          line({ { "Total", .10, .15, 95 } }), Pick::Ours },
        { "words shared out otherwise over the same ink, and a button only ours read",
          line({ { "Preferencias", .03, .20, 97 }, { "de", .21, .25, 96 }, { "la", .255, .28, 96 },
                 { "cuenta", .29, .38, 97 }, { "Guardar", .67, .78, 96 }, { "cambios", .79, .91, 96 } }),
          line({ { "Preferencias", .03, .25, 91 }, { "dela", .257, .275, 66 }, { "cuenta", .29, .38, 66 } }),
          Pick::Ours },
        { "words shared out otherwise, but ours lost a letter of them",
          line({ { "Preferencias", .03, .20, 97 }, { "d", .21, .25, 96 }, { "la", .255, .28, 96 } }),
          line({ { "Preferencias", .03, .25, 91 }, { "dela", .257, .275, 66 } }), Pick::Plain },
        { "a word ours lacks, beside one it read more of",
          line({ { "Guardarlotodo", .10, .30, 96 } }),
          line({ { "Guardar", .10, .30, 60 }, { "casa", .40, .48, 70 } }), Pick::Plain },
        { "a sure number ours changed, beside an unsure one it read better",
          line({ { "y", .05, .06, 95 }, { "3,150,88", .10, .18, 90 }, { "93,170,37", .20, .29, 92 } }),
          line({ { "y", .05, .06, 95 }, { "3.150,88", .10, .18, 88 }, { "85,170,37", .20, .29, 50 } }),
          Pick::Plain },
        { "a line neither read with confidence", line({ { "a", .10, .11, 40 }, { "ncias", .40, .48, 44 } }),
          line({ { "a", .10, .11, 30 }, { "nc", .40, .44, 38 } }), Pick::Neither },
    };
    for (const Case& c : cases)
        EXPECT_EQ(pick_line(c.ours, c.plain, QImage(), QSize(1000, 300)), c.expected) << c.what;
    // A short word of the plain reading over what the preparation painted
    // out (a bar's close button) is chrome ours may lack.
    QImage changed(1000, 300, QImage::Format_Grayscale8);
    changed.fill(0);
    fill(changed, 900, 25, 60, 25, 255);
    const auto ours = line({ { "notas", .45, .50, 90 }, { "nuevas", .51, .57, 92 } });
    const auto plain = line({ { "notas", .45, .50, 89 }, { "x", .90, .95, 85 } });
    EXPECT_EQ(pick_line(ours, plain, QImage(), QSize(1000, 300)), Pick::Plain);
    EXPECT_EQ(pick_line(ours, plain, changed, QSize(1000, 300)), Pick::Ours);
    // A longer one there (a bar's three buttons read as one word) only when
    // read unsurely: read surely, it is text the preparation painted over.
    for (const float confidence : { 70.0f, 90.0f }) {
        const auto buttons = line({ { "notas", .45, .50, 89 }, { "[ajaja]", .90, .95, confidence } });
        EXPECT_EQ(pick_line(ours, buttons, changed, QSize(1000, 300)), confidence < 75 ? Pick::Ours : Pick::Plain)
            << confidence;
    }
}

// A word the engine boxed over the lines around it (a tight selection's
// middle line) takes the rows of the words it read on its line, so it
// neither ties the three lines into one nor is left out as an icon.
TEST(OcrChoice, AWordBoxedOverItsNeighboursTakesItsLinesRows)
{
    using platform::ReadWord;
    const auto on = [](ReadWord w, int line) {
        w.line = line;
        return w;
    };
    ReadWord stretched = on(read_word("revisión", 0.40, 0.55, 0.05, 88), 1);
    stretched.fragment.box.bottom = 0.65;
    const std::vector<ReadWord> plain = {
        on(read_word("Cliente", 0.10, 0.25, 0.10, 90), 0), on(read_word("archivo", 0.30, 0.45, 0.10, 91), 0),
        on(read_word("Copia", 0.10, 0.22, 0.30, 92), 1),   on(read_word("28", 0.25, 0.30, 0.30, 93), 1),
        stretched,
        on(read_word("Índice", 0.10, 0.22, 0.50, 90), 2),  on(read_word("65413", 0.25, 0.35, 0.50, 95), 2),
    };
    platform::PreparedPage page;
    page.size = QSize(400, 100);
    const auto words = keep_words(page, {}, plain, true);
    ASSERT_EQ(words.size(), plain.size());
    const auto found = std::find_if(words.begin(), words.end(), [](const auto& f) { return f.text == "revisión"; });
    ASSERT_NE(found, words.end());
    EXPECT_DOUBLE_EQ(found->box.top, 0.30);
    EXPECT_DOUBLE_EQ(found->box.bottom, 0.35);

    // A dialog's icon read as "Q" over two lines, and the engine's boxes of
    // the second line's words stretched over it but one: the choice leaves
    // the icon out, and the words it stretched take that one's rows rather
    // than being left out as icons over both lines.
    const auto at = [&](const char* text, double x0, double x1, double top, double bottom, float confidence, int line) {
        ReadWord w = on(read_word(text, x0, x1, top, confidence), line);
        w.fragment.box.bottom = bottom;
        return w;
    };
    const std::vector<ReadWord> dialog = {
        at("Q", .125, .195, .260, .521, 73, 0),       at("Ventas", .256, .344, .260, .339, 93, 0),
        at("informe.cpp", .352, .604, .260, .339, 80, 0), at("42026", .612, .692, .260, .321, 94, 0),
        at("cámara", .700, .796, .260, .321, 92, 0),  at("el", .804, .826, .260, .321, 96, 0),
        at("Elde", .259, .320, .290, .466, 79, 1),    at("según", .331, .403, .290, .466, 96, 1),
        at("4.685,79", .414, .526, .290, .466, 93, 1), at("12/02/2031", .537, .673, .290, .466, 80, 1),
        at("15:55", .689, .760, .345, .406, 93, 1),   at("0", .778, .786, .290, .466, 89, 1),
        at("OK", .802, .844, .290, .466, 94, 1),      at("Aceptar", .657, .794, .739, .812, 89, 2),
    };
    page.size = QSize(374, 165);
    const auto fitted = keep_words(page, {}, dialog, true);
    EXPECT_EQ(fitted.size(), dialog.size() - 1);
    for (const auto& f : fitted) {
        if (f.line == 1) {
            EXPECT_LE(f.box.bottom - f.box.top, 0.07) << f.text;
        }
    }
}

// Over a page, each line comes whole from one reading, in reading order:
// no word of a line twice, no line of either lost.
TEST(OcrChoice, LinesComeWholeFromOneReadingInOrder)
{
    using platform::ReadWord;
    const std::vector<ReadWord> ours = {
        read_word("Informe", 0.10, 0.17, 0.1, 93), read_word("de", 0.18, 0.20, 0.1, 94),
        read_word("Hola", 0.10, 0.15, 0.3, 60), read_word("mund", 0.16, 0.21, 0.3, 61),
        read_word("Aceptar", 0.10, 0.18, 0.5, 92),
    };
    const std::vector<ReadWord> plain = {
        read_word("mundo", 0.16, 0.21, 0.3, 90), read_word("lnforme", 0.10, 0.17, 0.1, 55),
        read_word("de", 0.18, 0.20, 0.1, 90), read_word("Hola", 0.10, 0.15, 0.3, 91),
        read_word("Sí", 0.10, 0.13, 0.7, 93),
    };
    std::string out;
    for (const auto& w : choose_lines(ours, plain, QImage(), QSize(1000, 300)))
        out += (out.empty() ? "" : " ") + w.fragment.text;
    EXPECT_EQ(out, "Informe de Hola mundo Aceptar Sí");
}

// A window's bars read apart: one read without confidence goes whole, one
// read with it stays; the page's line the plain reading holds stays.
TEST(OcrPrepare, ABarReadWithoutConfidenceIsLeftOut)
{
    platform::PreparedPage page;
    page.size = QSize(400, 200);
    page.chrome_rows = 40;
    page.page_jobs = 1;
    const auto run = [&](float title_confidence) {
        std::vector<std::vector<platform::ReadWord>> read = { {
            read_word("Guardar", 0.30, 0.45, 0.02, title_confidence),
            read_word("cambios", 0.47, 0.62, 0.02, title_confidence - 10),
            read_word("Archivo", 0.02, 0.15, 0.12, 90), read_word("Editar", 0.17, 0.28, 0.12, 91),
            read_word("El", 0.02, 0.06, 0.50, 40), read_word("informe", 0.08, 0.22, 0.50, 45),
        } };
        std::vector<std::string> out;
        // The plain reading holds the page's line, not the bars.
        for (const auto& f : keep_words(page, read, { read_word("El", 0.02, 0.06, 0.50, 70),
                                                      read_word("informe", 0.08, 0.22, 0.50, 72) }, true))
            out.push_back(f.text);
        return out;
    };
    EXPECT_EQ(run(40), (std::vector<std::string> { "Archivo", "Editar", "El", "informe" }));
    EXPECT_EQ(run(92), (std::vector<std::string> { "Guardar", "cambios", "Archivo", "Editar", "El", "informe" }));
}

// A terminal's block cursor, solid or hollow, is painted out; letters of
// the same height stay: a bold "I", an "O" with rounded corners, strokes.
TEST(OcrPrepare, ATextCursorBlockIsNoCharacter)
{
    QImage img = page(200, 40);
    strokes(img, 10, 0);
    fill(img, 40, 8, 3, 16, 0);  // a bold I
    fill(img, 60, 8, 9, 16, 0);  // the solid cursor
    fill(img, 80, 8, 9, 2, 0);   // the hollow one: four sides
    fill(img, 80, 22, 9, 2, 0);
    fill(img, 80, 8, 2, 16, 0);
    fill(img, 87, 8, 2, 16, 0);
    fill(img, 101, 8, 7, 2, 0);  // an O: its corners open
    fill(img, 101, 22, 7, 2, 0);
    fill(img, 100, 10, 2, 12, 0);
    fill(img, 107, 10, 2, 12, 0);
    const QImage before = img.copy();
    erase_blocks(img, 255, 16);
    const auto inked = [&](const QImage& im, int x, int y, int w, int h) {
        int n = 0;
        for (int row = y; row < y + h; ++row)
            for (int col = x; col < x + w; ++col)
                n += im.constScanLine(row)[col] < 128;
        return n;
    };
    EXPECT_EQ(inked(img, 60, 8, 9, 16), 0);
    EXPECT_EQ(inked(img, 80, 8, 9, 16), 0);
    EXPECT_EQ(inked(img, 0, 0, 50, 40), inked(before, 0, 0, 50, 40));
    EXPECT_EQ(inked(img, 99, 0, 20, 40), inked(before, 99, 0, 20, 40));
}

// A picture whose only ink the preparation paints out (a rule) leaves no
// page to read, and is still read as it stands.
TEST(OcrPrepare, APagePaintedBareIsReadAsItStands)
{
    QImage img = page(300, 60);
    fill(img, 20, 30, 240, 2, 0);
    const auto prepared = prepare_page(img, {}, 1);
    ASSERT_TRUE(prepared.has_value()) << prepared.error();
    EXPECT_TRUE(prepared->jobs.empty());
    EXPECT_FALSE(prepared->changed.isNull());
}

// A window on a flat desktop or a black root has two backgrounds and is no
// busy page; a gradient has none.
TEST(OcrPrepare, AWindowOnAFlatDesktopIsNoBusyPage)
{
    QImage img = page(200, 100, 128);
    fill(img, 60, 0, 140, 100, 255);
    strokes(img, 70, 0);
    EXPECT_GE(page_share(img), BUSY_PAGE_SHARE);
    QImage gradient(200, 100, QImage::Format_Grayscale8);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x)
            gradient.scanLine(y)[x] = static_cast<uchar>(40 + x);
    EXPECT_LT(page_share(gradient), BUSY_PAGE_SHARE);
}

// A window selected with more of a black desktop around it than its page
// reads as its page, dark text on light, the desktop apart; a light page
// whose dark button holds more words than it stays a light page.
TEST(OcrPrepare, AWideDesktopOfTheOtherShadeDoesNotTurnThePage)
{
    const auto letters = [](QImage& img, int x0, int x1, int y0, int y1, int grey) {
        for (int y = y0; y < y1; y += 20)
            for (int x = x0; x < x1; x += 12) {
                fill(img, x, y, 2, 10, grey);
                fill(img, x + 6, y, 2, 10, grey);
                fill(img, x, y + 4, 8, 2, grey);
            }
    };
    QImage window = page(400, 120, 0);
    fill(window, 230, 5, 160, 110, 255);
    letters(window, 240, 380, 20, 100, 0);
    const QImage grey = normalised_grey(window.convertToFormat(QImage::Format_RGB32));
    EXPECT_EQ(grey.pixel(234, 60) & 0xff, 255u);
    EXPECT_EQ(grey.pixel(10, 60) & 0xff, 0u);
    EXPECT_EQ(page_grey(grey), 255);
    EXPECT_EQ(desktop_grey(grey), 0);

    QImage button = page(400, 120, 248);
    fill(button, 200, 20, 190, 80, 40);
    letters(button, 10, 60, 40, 60, 30);
    letters(button, 210, 380, 30, 90, 255);
    const QImage light = normalised_grey(button.convertToFormat(QImage::Format_RGB32));
    EXPECT_EQ(light.pixel(5, 5) & 0xff, 248u);
    EXPECT_EQ(page_grey(light), 248);
    EXPECT_EQ(desktop_grey(light), -1);

    // A dark page beside a code on white: the code's square modules are no
    // dark letters, and the page is the dark side.
    QImage code = page(400, 120, 30);
    fill(code, 10, 10, 100, 100, 255);
    for (int y = 14; y < 104; y += 6)
        for (int x = 14 + (y / 6) % 2 * 3; x < 104; x += 6)
            fill(code, x, y, 3, 3, 0);
    letters(code, 140, 380, 20, 100, 230);
    EXPECT_EQ(normalised_grey(code.convertToFormat(QImage::Format_RGB32)).pixel(300, 5) & 0xff, 225u);

    // A page of its own, light or dark, is the most common grey as before.
    QImage dark = page(200, 100, 20);
    strokes(dark, 30, 230);
    EXPECT_EQ(page_grey(normalised_grey(dark.convertToFormat(QImage::Format_RGB32))), 235);
}
