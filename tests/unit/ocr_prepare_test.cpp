// The text recogniser's image preparation on grey pictures built pixel by
// pixel: a window's border columns against a sidebar that holds text, a
// title bar against a tall banner, icons against letters in a bar, the
// upscale against thin strokes, and the words kept against graphics.
#include "capture/ocr_prepare.h"

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

std::vector<std::string> texts_of(const std::vector<platform::ReadWord>& words)
{
    std::vector<std::pair<std::pair<double, double>, std::string>> placed;
    for (const auto& w : words)
        placed.push_back({ { w.fragment.box.top, w.fragment.box.x0 }, w.fragment.text });
    std::sort(placed.begin(), placed.end());
    std::vector<std::string> out;
    for (const auto& p : placed)
        out.push_back(p.second);
    return out;
}

} // namespace

// Line by line, the plain reading replaces ours where it surely read ink
// ours read as nothing (a word, a first letter); a line only the plain
// reading has joins when it is read, not half-read, however short; the
// plain reading's icon marks and unsure scraps never join a line, and where
// both read the same ink, ours stays.
TEST(OcrPrepare, ThePlainReadingFillsWhatThePreparationLostLineByLine)
{
    using platform::ReadWord;
    const std::vector<ReadWord> prepared = {
        // A first letter lost at the border, the rest read as surely.
        read_word("nforme", 0.04, 0.20, 0.10, 91), read_word("de", 0.22, 0.28, 0.10, 93),
        // Ours reads this line whole; the plain reading lost a word.
        read_word("Envíe", 0.02, 0.18, 0.20, 94), read_word("el", 0.20, 0.25, 0.20, 95),
        read_word("pago", 0.27, 0.40, 0.20, 96),
        // A word lost next to where an icon was painted out.
        read_word("mundo", 0.30, 0.45, 0.40, 92),
    };
    const std::vector<ReadWord> plain = {
        read_word("Informe", 0.01, 0.20, 0.10, 90), read_word("de", 0.22, 0.28, 0.10, 95),
        read_word("el", 0.20, 0.25, 0.20, 90), read_word("pago", 0.27, 0.40, 0.20, 91),
        // A line ours lacks, read with confidence.
        read_word("Total", 0.02, 0.15, 0.30, 91), read_word("1.234,56", 0.17, 0.35, 0.30, 88),
        // The icon read as "ZX" before the line's words, unsure.
        read_word("ZX", 0.01, 0.06, 0.40, 35), read_word("Hola", 0.10, 0.25, 0.40, 93),
        read_word("mundo", 0.30, 0.45, 0.40, 92),
        // A title half-read as marks: left out whole.
        read_word("TTTTEETTTTS", 0.10, 0.40, 0.50, 31), read_word("¡CI", 0.45, 0.50, 0.50, 40),
        read_word("Sala", 0.55, 0.65, 0.50, 64),
        // A title cut through: marks once its unsure half-word goes.
        read_word("a", 0.01, 0.04, 0.70, 75), read_word("ncias", 0.40, 0.48, 0.70, 44),
        read_word("dé", 0.50, 0.53, 0.70, 65),
        // A title only the plain reading holds, its icon read as a letter
        // far to its left.
        read_word("c", 0.01, 0.03, 0.80, 65), read_word("notas", 0.45, 0.52, 0.80, 89),
        // Short lines ours lacks, read surely: a button, a lone number.
        read_word("Sí", 0.02, 0.06, 0.86, 93), read_word("42", 0.02, 0.05, 0.93, 95),
        // A window button over what the preparation painted out, read as a
        // sure "x" at the end of a line the plain reading wins.
        read_word("Región", 0.02, 0.18, 0.60, 95), read_word("Sur", 0.20, 0.30, 0.60, 94),
        read_word("x", 0.90, 0.95, 0.60, 85),
    };
    QImage changed(100, 100, QImage::Format_Grayscale8);
    changed.fill(0);
    fill(changed, 89, 59, 8, 8, 255);
    const auto merged = texts_of(merge_plain(prepared, plain, changed, QSize(100, 100)));
    EXPECT_EQ(merged, (std::vector<std::string> { "Informe", "de", "Envíe", "el", "pago", "Total", "1.234,56", "Hola",
                                                  "mundo", "Región", "Sur", "notas", "Sí", "42" }));
    // Nothing changed where the preparation painted nothing: the "x" is a
    // word there, sure and short.
    changed.fill(0);
    const auto kept = texts_of(merge_plain(prepared, plain, changed, QSize(100, 100)));
    EXPECT_NE(std::find(kept.begin(), kept.end(), "x"), kept.end());
}

// A window's bars read apart: one read without confidence goes whole, one
// read with it stays; the page's words under them stay whatever.
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
        for (const auto& f : keep_words(page, read, {}, true))
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

// Where both readings read the same ink: the plain one's accent or first
// letter counts at about the same confidence, a word ours ran together over
// a real space is split as the plain reading split it, a word split without
// a space stays whole, ours stays where the two only differ by whims, and
// a number ours read whole and surely stays whole.
TEST(OcrPrepare, TwoReadingsOfTheSameInkKeepTheOneWithMoreOfIt)
{
    using platform::ReadWord;
    const QImage none;
    const QSize size(1000, 300);
    const auto merged = [&](std::vector<ReadWord> ours, std::vector<ReadWord> plain) {
        std::string out;
        for (const auto& t : texts_of(merge_plain(std::move(ours), std::move(plain), none, size)))
            out += (out.empty() ? "" : " ") + t;
        return out;
    };
    // Boxes 15 px tall (0.05 of 300): a space is 5 px or more.
    EXPECT_EQ(merged({ read_word("Region", 0.10, 0.16, 0.1, 96) }, { read_word("Región", 0.10, 0.16, 0.1, 96) }),
              "Región");
    EXPECT_EQ(merged({ read_word("‘otal", 0.10, 0.15, 0.1, 89) }, { read_word("Total", 0.10, 0.15, 0.1, 83) }), "Total");
    EXPECT_EQ(merged({ read_word("21%", 0.10, 0.14, 0.1, 52) },
                     { read_word("21", 0.10, 0.12, 0.1, 90), read_word("%", 0.125, 0.14, 0.1, 86) }),
              "21 %");
    EXPECT_EQ(merged({ read_word("Segunda", 0.10, 0.17, 0.1, 95) },
                     { read_word("Segun", 0.10, 0.15, 0.1, 96), read_word("da", 0.1505, 0.17, 0.1, 96) }),
              "Segunda");
    EXPECT_EQ(merged({ read_word("Buscar", 0.10, 0.16, 0.1, 96) }, { read_word("Busca", 0.10, 0.155, 0.1, 96) }),
              "Buscar");
    EXPECT_EQ(merged({ read_word("línea", 0.10, 0.15, 0.1, 96) }, { read_word("linea", 0.10, 0.15, 0.1, 76) }), "línea");
    // A number ours read whole, more surely than the plain reading's part.
    EXPECT_EQ(merged({ read_word("12", 0.48, 0.50, 0.1, 97) }, { read_word("1", 0.48, 0.50, 0.1, 85) }), "12");
    EXPECT_EQ(merged({ read_word("12", 0.48, 0.50, 0.1, 80) }, { read_word("1", 0.48, 0.50, 0.1, 85) }), "1");
    // The same word read by both: the surer reading's box, not ours
    // stretched over a cursor below it (which then joined the line).
    auto taller = [](platform::ReadWord w, double by) {
        w.fragment.box.bottom += by;
        return w;
    };
    EXPECT_EQ(merged({ taller(read_word("Envíe", 0.02, 0.07, 0.1, 69), 0.12), read_word("el", 0.08, 0.10, 0.1, 95),
                       read_word("D", 0.02, 0.03, 0.2, 85) },
                     { read_word("Envíe", 0.02, 0.07, 0.1, 95), read_word("el", 0.08, 0.10, 0.1, 95) }),
              "Envíe el");
    // But not the plain reading's box stretched over the lines around it.
    const auto tall_plain = merge_plain({ read_word("using", 0.10, 0.15, 0.10, 96) },
                                        { taller(read_word("using", 0.10, 0.15, 0.05, 97), 0.1) }, none, size);
    ASSERT_EQ(tall_plain.size(), 1u);
    EXPECT_EQ(tall_plain[0].fragment.box.top, 0.10);
    // A rule across the picture read as a "2" is no word of the title.
    EXPECT_EQ(merged({ read_word("2", 0.0, 0.9, 0.1, 23), read_word("Guardar", 0.30, 0.38, 0.1, 95),
                       read_word("cambios", 0.39, 0.47, 0.1, 95) },
                     { read_word("‘Guardar", 0.30, 0.38, 0.1, 71), read_word("cambios.", 0.39, 0.47, 0.1, 64) }),
              "Guardar cambios");
    // A dash and "mm" are lower than their line, not wider than their
    // letters: both readings keep them.
    auto low = [](platform::ReadWord w, double top, double bottom) {
        w.fragment.box.top = top;
        w.fragment.box.bottom = bottom;
        return w;
    };
    const std::vector<ReadWord> dash_and_mm = { read_word("12", 0.10, 0.12, 0.1, 96),
                                                low(read_word("-", 0.13, 0.14, 0.1, 93), 0.125, 0.13),
                                                low(read_word("mm", 0.15, 0.19, 0.1, 96), 0.13, 0.15) };
    EXPECT_EQ(merged(dash_and_mm, dash_and_mm), "12 - mm");
    EXPECT_EQ(merged({ dash_and_mm[0] }, dash_and_mm), "12 mm");
    // An accent ours read from a bar the selection cut at the picture's top
    // is none.
    EXPECT_EQ(merged({ read_word("Nórte", 0.24, 0.28, 0.0, 93) }, { read_word("Norte", 0.24, 0.28, 0.013, 97) }),
              "Norte");
    // The plain reading's words overlapping on one letter ("rejill" "la")
    // cover no ink ours left out.
    EXPECT_EQ(merged({ read_word("rejilla", 0.262, 0.309, 0.1, 96) },
                     { read_word("rejill", 0.262, 0.298, 0.1, 88), read_word("la", 0.295, 0.311, 0.1, 97) }),
              "rejilla");
    // A title ours read only the ends of, more surely.
    EXPECT_EQ(merged({ read_word("n", 0.45, 0.456, 0.1, 90), read_word("s", 0.494, 0.50, 0.1, 83) },
                     { read_word("notas", 0.45, 0.50, 0.1, 74) }),
              "notas");
    // A title bar's icon and buttons only ours read, far from the title,
    // go; a number only ours read a space from its word stays.
    EXPECT_EQ(merged({ read_word("x", 0.01, 0.03, 0.1, 92), read_word("notas", 0.45, 0.50, 0.1, 89),
                       read_word("[=|", 0.88, 0.91, 0.1, 71), read_word("El", 0.915, 0.94, 0.1, 80),
                       read_word("[x]", 0.945, 0.97, 0.1, 85) },
                     { read_word("notas", 0.45, 0.50, 0.1, 85) }),
              "notas");
    EXPECT_EQ(merged({ read_word("Total", 0.10, 0.15, 0.1, 95), read_word("21", 0.16, 0.18, 0.1, 93) },
                     { read_word("Total", 0.10, 0.15, 0.1, 95) }),
              "Total 21");
    // A lowercase "a" only ours read, a monospaced space (wider than the
    // letter is tall) before the line's next word, is a word.
    auto lower = [](platform::ReadWord w) {
        w.fragment.box.bottom -= 0.015;
        return w;
    };
    EXPECT_EQ(merged({ lower(read_word("a", 0.100, 0.107, 0.1, 97)), read_word("las", 0.119, 0.141, 0.1, 96) },
                     { read_word("las", 0.119, 0.141, 0.1, 96) }),
              "a las");
    // A title bar's icon, read unsurely in a box as tall as two lines, goes
    // wherever either reading put it; a sure "y" boxed as tall stays.
    auto tall = [](platform::ReadWord w) {
        w.fragment.box.bottom += 0.1;
        return w;
    };
    EXPECT_EQ(merged({ read_word("Mousepad", 0.40, 0.48, 0.1, 93) },
                     { tall(read_word("al", 0.01, 0.03, 0.1, 64)), read_word("Mousepad", 0.40, 0.48, 0.1, 93) }),
              "Mousepad");
    EXPECT_EQ(merged({ read_word("pagar", 0.10, 0.15, 0.1, 95), tall(read_word("y", 0.155, 0.165, 0.1, 90)) },
                     { read_word("pagar", 0.10, 0.15, 0.1, 95) }),
              "pagar y");
}

// What the plain reading holds, ours never reads worse, whatever its
// confidence: a number or a letter read as a digit goes back to the plain
// reading's, a first letter cut off or a border read as one comes back;
// ours' unsure marks where the plain reading saw nothing go, and a line
// the plain reading lacks stays only when it holds two words read surely.
TEST(OcrPrepare, OursNeverHoldsLessOfALineThanThePlainReading)
{
    using platform::ReadWord;
    const QSize size(1000, 300);
    const std::vector<ReadWord> ours = {
        read_word("nforme", 0.11, 0.17, 0.1, 97), read_word("2626-12-68", 0.20, 0.30, 0.1, 96),
        read_word("0", 0.32, 0.33, 0.1, 83), read_word("sox", 0.60, 0.63, 0.1, 28),
        read_word("ly", 0.09, 0.12, 0.2, 95), read_word("llame", 0.13, 0.18, 0.2, 96),
        // Lines the plain reading has nothing of: a bar's buttons, a warning.
        read_word("-", 0.80, 0.81, 0.3, 87), read_word("ox", 0.82, 0.84, 0.3, 89),
        read_word("Warning:", 0.10, 0.18, 0.4, 91), read_word("root", 0.20, 0.24, 0.4, 82),
        // A short line the plain reading read only unsurely, as the same letters.
        read_word("OK", 0.10, 0.12, 0.6, 78), read_word("3", 0.13, 0.14, 0.6, 78),
    };
    const std::vector<ReadWord> plain = {
        read_word("Informe", 0.10, 0.17, 0.1, 71), read_word("2026-12-08", 0.20, 0.30, 0.1, 95),
        read_word("o", 0.32, 0.33, 0.1, 8), read_word("y", 0.11, 0.12, 0.2, 97),
        read_word("llame", 0.13, 0.18, 0.2, 74), read_word("OK", 0.10, 0.12, 0.6, 24),
    };
    std::string out;
    for (const auto& t : texts_of(merge_plain(ours, plain, QImage(), size)))
        out += (out.empty() ? "" : " ") + t;
    EXPECT_EQ(out, "Informe 2026-12-08 o y llame Warning: root OK 3");
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
