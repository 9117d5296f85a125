// Layout of recognised fragments into plain text.
#include "capture/ocr_layout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using ocr::Found;

namespace {

// A fragment at x0..x1, top..bottom (pixels, top-left origin).
Found frag(std::string text, double x0, double x1, double top, double bottom)
{
    return { std::move(text), x0, x1, top, bottom };
}

std::string text_of(const std::vector<Found>& texts, const std::vector<Found>& codes = {})
{
    return ocr::assemble(texts, codes).text;
}

} // namespace

TEST(OcrLayout, FragmentsComeOutInReadingOrderWhateverTheirInputOrder)
{
    // Two lines of two words each, handed over bottom-right first.
    const std::vector<Found> texts = {
        frag("mundo", 60, 110, 40, 60),
        frag("adiós", 0, 50, 41, 61),
        frag("dos", 60, 90, 1, 20),
        frag("uno", 0, 30, 0, 20),
    };
    EXPECT_EQ(text_of(texts), "uno dos\nadiós mundo");
}

TEST(OcrLayout, EqualTopsSortByLeftEdge)
{
    EXPECT_EQ(text_of({ frag("c", 40, 50, 0, 10), frag("a", 0, 10, 0, 10), frag("b", 20, 30, 0, 10) }), "a b c");
}

TEST(OcrLayout, FragmentJoinsLineWhenOverlapIsAtLeastHalfTheSmallerHeight)
{
    // Line 0..20; a fragment 10..30 overlaps by 10 = half of 20: same line.
    EXPECT_EQ(text_of({ frag("a", 0, 10, 0, 20), frag("b", 20, 30, 10, 30) }), "a b");
    // 10.5..30.5 overlaps by 9.5: a new line (gap is negative, so no blank line).
    EXPECT_EQ(text_of({ frag("a", 0, 10, 0, 20), frag("b", 20, 30, 10.5, 30.5) }), "a\nb");
}

TEST(OcrLayout, SmallerHeightDecidesForShortFragments)
{
    // A short fragment (a comma, 4 px) wholly inside a tall line joins it.
    EXPECT_EQ(text_of({ frag("Hola", 0, 40, 0, 20), frag(",", 41, 44, 14, 18) }), "Hola ,");
}

TEST(OcrLayout, FragmentIsComparedWithTheLastLineOnly)
{
    // F lies wholly within the first line's rows but not the last line's:
    // it starts a third line instead of going back to the first.
    const std::vector<Found> fragments = {
        frag("uno", 0, 30, 0, 20),
        frag("dos", 0, 30, 40, 60),
        frag("F", 40, 60, 2, 18),
    };
    const auto lines = ocr::group_lines(fragments);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2].parts.front().text, "F");
}

TEST(OcrLayout, JoinedFragmentsGrowTheLastLine)
{
    // "b" joins "a" (overlap 10 of 20) and stretches the line to 0..30; "c"
    // (24..44) then overlaps the grown line by 6 < 10 and starts a new line,
    // and "d" overlaps "c"'s line by 19 of 20 and joins it.
    const std::vector<Found> sorted = {
        frag("a", 0, 10, 0, 20),
        frag("b", 20, 30, 10, 30),
        frag("c", 0, 10, 24, 44),
        frag("d", 20, 30, 25, 45),
    };
    const auto lines = ocr::group_lines(sorted);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_DOUBLE_EQ(lines[0].top, 0);
    EXPECT_DOUBLE_EQ(lines[0].bottom, 30);
    EXPECT_EQ(lines[1].parts.size(), 2u);
    EXPECT_DOUBLE_EQ(lines[1].bottom, 45);
}

// The recogniser's lines: a tall box reaching into the line above, or a
// second reading of a word's ink that the recogniser put on a line of its
// own, stays on its own line; a column beside another joins its row.
TEST(OcrLayout, LinesTheRecogniserReadApartStayApartUnlessSideBySide)
{
    const auto on = [](Found f, int line) {
        f.line = line;
        return f;
    };
    // "48" "%" of the second line boxed up into the first (8..33 against
    // 0..18): by the boxes alone the two lines would interleave.
    const std::vector<Found> tall = {
        on(frag("Ámbito", 15, 51, 3, 13), 0),  on(frag("cámara", 57, 108, 2, 18), 0),
        on(frag("85", 114, 133, 0, 13), 0),    on(frag("Área", 15, 35, 17, 33), 1),
        on(frag("48", 40, 53, 8, 33), 1),      on(frag("%", 58, 66, 8, 33), 1),
    };
    EXPECT_EQ(text_of(tall), "Ámbito cámara 85\nÁrea 48 %");
    // The same ink read twice, the second time as a line of its own.
    const std::vector<Found> twice = {
        on(frag("Entrega", 0, 61, 21, 36), 1), on(frag("a", 368, 376, 21, 35), 1),
        on(frag("o", 387, 394, 24, 33), 1),    on(frag("o»", 368, 376, 21, 35), 2),
    };
    EXPECT_EQ(text_of(twice), "Entrega    a o\no»");
    // Two columns the recogniser read as two lines share their row; a
    // fragment of no known line goes by its box as before.
    const std::vector<Found> columns = {
        on(frag("Nombre:", 0, 60, 0, 20), 0), on(frag("Guardar", 400, 470, 2, 21), 5),
        frag("x", 500, 510, 1, 19),
    };
    EXPECT_EQ(text_of(columns), "Nombre:    Guardar x");
}

TEST(OcrLayout, ParagraphGapAddsOneBlankLine)
{
    // Lines 20 px tall: a gap of 24 (= 1.2 × 20) is no paragraph, 24.5 is.
    EXPECT_EQ(text_of({ frag("a", 0, 10, 0, 20), frag("b", 0, 10, 44, 64) }), "a\nb");
    EXPECT_EQ(text_of({ frag("a", 0, 10, 0, 20), frag("b", 0, 10, 44.5, 64.5) }), "a\n\nb");
    // The smaller of the two heights counts: 10 px under a 40 px line needs > 12.
    EXPECT_EQ(text_of({ frag("a", 0, 10, 0, 40), frag("b", 0, 10, 52.5, 62.5) }), "a\n\nb");
    EXPECT_EQ(text_of({ frag("a", 0, 10, 0, 40), frag("b", 0, 10, 51, 61) }), "a\nb");
}

TEST(OcrLayout, WideGapIsFourSpacesNarrowGapOne)
{
    // Line height 10: a gap of exactly 25 is a space, above it a column gap.
    EXPECT_EQ(text_of({ frag("a", 0, 10, 0, 10), frag("b", 35, 45, 0, 10) }), "a b");
    EXPECT_EQ(text_of({ frag("a", 0, 10, 0, 10), frag("b", 35.5, 45, 0, 10) }), "a    b");
    // Columns: each row gets its own gap.
    EXPECT_EQ(text_of({ frag("Archivo", 0, 50, 0, 10), frag("Guardar", 200, 260, 0, 10),
                        frag("Edición", 0, 50, 14, 24), frag("Deshacer", 200, 270, 14, 24) }),
              "Archivo    Guardar\nEdición    Deshacer");
}

TEST(OcrLayout, NoControlCharacterReachesALine)
{
    // A tab, a line break and other control characters inside what the
    // recogniser read become spaces; one made only of them is blank.
    const std::string out = text_of({ frag("x\txterm", 0, 40, 0, 10), frag("a\x01" "b\x7f", 45, 60, 0, 10),
                                      frag("c\u0085d\u2028e", 65, 90, 0, 10), frag("\x02\x1b", 95, 100, 0, 10),
                                      frag("uno\ndos", 0, 40, 14, 24) });
    EXPECT_EQ(out, "x xterm a b c d e\nuno dos");
    for (const unsigned char c : out)
        EXPECT_TRUE(c == '\n' || c >= 0x20) << static_cast<int>(c);
}

TEST(OcrLayout, BarcodePayloadsComeFirstWithABlankLineBeforeText)
{
    const std::vector<Found> codes = { frag("https://a.example", 100, 200, 100, 200), frag("SEGUNDO  ", 300, 350, 0, 50) };
    const std::vector<Found> texts = { frag("Hola", 0, 40, 0, 20), frag("mundo", 0, 40, 30, 50) };
    const ocr::Result r = ocr::assemble(texts, codes);
    EXPECT_EQ(r.text, "https://a.example\nSEGUNDO\n\nHola\nmundo");
    EXPECT_TRUE(r.has_code);
}

TEST(OcrLayout, CodesAloneHaveNoTrailingBlankLine)
{
    const ocr::Result r = ocr::assemble({}, { frag("ABCD \n", 0, 10, 0, 10) });
    EXPECT_EQ(r.text, "ABCD");
    EXPECT_TRUE(r.has_code);
}

TEST(OcrLayout, CodeWithoutPayloadIsSkippedAndExcludesNothing)
{
    const ocr::Result r = ocr::assemble({ frag("dentro", 10, 20, 10, 20) }, { frag("", 0, 100, 0, 100) });
    EXPECT_EQ(r.text, "dentro");
    EXPECT_FALSE(r.has_code);
}

TEST(OcrLayout, TextWhoseCentreLiesInACodeBoxIsDropped)
{
    const std::vector<Found> codes = { frag("DATO", 100, 200, 100, 200) };
    // Centre (150, 150): inside. Centre (200, 150): on the border, dropped
    // too. Centre (201, 150): outside, kept, although the box overlaps.
    const ocr::Result r = ocr::assemble(
        { frag("ruido", 140, 160, 140, 160), frag("borde", 190, 210, 140, 160), frag("fuera", 191, 211, 140, 160) },
        codes);
    EXPECT_EQ(r.text, "DATO\n\nfuera");
}

TEST(OcrLayout, WhitespaceIsTrimmedEverywhere)
{
    // Fragments are trimmed at both ends (also Unicode spaces); blank
    // fragments vanish; the whole text loses its trailing whitespace.
    const std::vector<Found> texts = {
        frag("\u00a0 Hola\t", 0, 40, 0, 20),
        frag("   ", 50, 60, 0, 20),
        frag("mundo\u3000", 50, 90, 0, 20),
        frag("\u2028", 0, 10, 100, 120),
    };
    EXPECT_EQ(text_of(texts), "Hola mundo");
    EXPECT_EQ(text_of({}), "");
}

TEST(OcrLayout, NonFiniteBoxesDoNotBreakTheSort)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<Found> texts = {
        frag("b", 0, 10, nan, nan), frag("a", 0, 10, 0, 10), frag("c", nan, 10, 30, 40), frag("d", 0, 10, -nan, 5),
    };
    const std::string out = text_of(texts);
    for (const char* w : { "a", "b", "c", "d" })
        EXPECT_NE(out.find(w), std::string::npos) << out;
}

TEST(OcrLayout, CountsUnicodeScalarValues)
{
    EXPECT_EQ(ocr::count_chars(""), 0u);
    EXPECT_EQ(ocr::count_chars("abc"), 3u);
    EXPECT_EQ(ocr::count_chars("año"), 3u);
    EXPECT_EQ(ocr::count_chars("€ 😀"), 3u);
    EXPECT_EQ(ocr::count_chars("a\nb\tc"), 5u);
    // Malformed bytes count one each: a lone continuation byte, a truncated
    // sequence, an overlong encoding of '/'.
    EXPECT_EQ(ocr::count_chars("\x80"), 1u);
    EXPECT_EQ(ocr::count_chars("\xE2\x82"), 2u);
    EXPECT_EQ(ocr::count_chars("\xC0\xAF"), 2u);
}

TEST(OcrLayout, TrimKnowsUnicodeWhiteSpace)
{
    EXPECT_EQ(ocr::trim("\u0085\u00a0x y\u2003\u202f"), "x y");
    EXPECT_EQ(ocr::trim_end(" x \n\u205f"), " x");
    EXPECT_TRUE(ocr::is_blank("\t\u1680\u3000"));
    EXPECT_FALSE(ocr::is_blank("\u200b")); // zero width space is not White_Space
}

TEST(OcrLayout, TitleBarIconsAndButtonsAreNoText)
{
    // A terminal selected with its title bar: the icon at the left is a tall
    // "word" spanning both text lines, the buttons at the right stand alone
    // past the text's columns.
    const std::vector<Found> window = {
        frag("fio", 2, 30, 0, 60),
        frag("Terminal", 300, 380, 4, 20),
        frag("——", 900, 960, 6, 18),
        frag("Hola", 40, 90, 30, 46), frag("mundo", 98, 170, 30, 46), frag("desde", 178, 240, 30, 46), frag("Vistrope", 248, 340, 30, 46),
        frag("Segunda", 40, 130, 52, 68), frag("línea", 138, 190, 52, 68), frag("de", 198, 222, 52, 68), frag("prueba", 230, 310, 52, 68),
        frag("12345", 318, 380, 52, 68),
    };
    EXPECT_EQ(text_of(window), "Terminal\nHola mundo desde Vistrope\nSegunda línea de prueba 12345");
    // The icon read as marks of the title's height, far left of the title.
    std::vector<Found> marks = window;
    marks[0] = frag("= |", 6, 28, 4, 20);
    EXPECT_EQ(text_of(marks), "Terminal\nHola mundo desde Vistrope\nSegunda línea de prueba 12345");
    // A dash between words, and one close to a word, are text.
    EXPECT_EQ(text_of({ frag("Nombre", 10, 80, 0, 16), frag("—", 200, 216, 0, 16), frag("Fecha", 400, 460, 0, 16),
                  frag("C", 10, 20, 20, 36), frag("- D", 30, 60, 20, 36), frag("E", 10, 20, 40, 56) }),
        "Nombre    —    Fecha\nC - D\nE");
    // Lines of ordinary words, and a word alone in its own column close by, stay.
    const std::vector<Found> plain = {
        frag("Total:", 10, 60, 0, 16), frag("12", 70, 90, 0, 16),
        frag("Uno", 10, 40, 20, 36), frag("dos", 50, 80, 20, 36),
        frag("E.", 100, 116, 40, 56),
    };
    EXPECT_EQ(text_of(plain), "Total: 12\nUno dos\nE.");
    // A word whose box is loose, tall over its own line only, is a word.
    EXPECT_EQ(text_of({ frag("Preferencias", 14, 122, 16, 26), frag("de", 126, 138, 0, 36), frag("cuenta", 142, 180, 16, 26),
                  frag("Última", 14, 51, 40, 50), frag("hace", 56, 90, 40, 50) }),
        "Preferencias de cuenta\nÚltima hace");
}

TEST(OcrLayout, ShortWordsAtTheEndsOfTheWidestLineStay)
{
    // A heading wider than the lines under it ends in a short word, and a
    // number's unit ends the widest body line: both lie far past the other
    // rows' columns, on rows with other words, and stay. A short word at
    // the start of a line that begins left of the rest stays too.
    const std::vector<Found> page = {
        frag("Configuración", 10, 150, 0, 16), frag("avanzada", 158, 240, 0, 16), frag("de", 248, 270, 0, 16),
        frag("red", 420, 452, 0, 16),
        frag("La", 10, 30, 30, 46), frag("prueba", 38, 100, 30, 46), frag("tardó", 108, 160, 30, 46),
        frag("37", 168, 190, 30, 46), frag("ms", 300, 330, 30, 46),
        frag("Va", 10, 30, 60, 76), frag("bien", 38, 80, 60, 76),
        frag("y", -200, -190, 90, 106), frag("Pedido", 10, 70, 90, 106), frag("7781", 78, 120, 90, 106),
    };
    EXPECT_EQ(text_of(page),
        "Configuración avanzada de    red\nLa prueba tardó 37    ms\nVa bien\ny    Pedido 7781");
    // Alone on the first row past the columns, a scrap is a title bar's
    // button; alone on a row under the text, a dialog's ("No").
    std::vector<Found> buttons = page;
    buttons.push_back(frag("x", 900, 912, -30, -14));
    EXPECT_EQ(text_of(buttons), text_of(page));
    std::vector<Found> dialog = page;
    dialog.push_back(frag("No", 900, 924, 120, 136));
    EXPECT_EQ(text_of(dialog), text_of(page) + "\nNo");
}

TEST(OcrLayout, AFarColumnOnOneLineOrOnEveryLineStaysText)
{
    EXPECT_EQ(text_of({ frag("Total:", 10, 60, 0, 16), frag("12", 400, 420, 0, 16) }), "Total:    12");
    EXPECT_EQ(text_of({ frag("Uno", 10, 40, 0, 16), frag("1", 400, 410, 0, 16), frag("Dos", 10, 40, 20, 36),
                  frag("2", 400, 410, 20, 36) }),
        "Uno    1\nDos    2");
}
