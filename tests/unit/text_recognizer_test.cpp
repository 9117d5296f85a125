// The Tesseract and ZXing recogniser on generated pictures: the cases a
// screen throws at it (dark mode, white text on a coloured button, a QR code
// beside text, several recognitions at once) and its failures.
#include "platform/text_recognizer.h"

#include "ocr_pictures.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPen>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

using platform::Recognition;

namespace {

const std::vector<std::string> LANGS = { "es-ES", "en-US" };

platform::TextRecognizer& recognizer()
{
    static auto r = platform::create_tesseract_recognizer();
    return *r;
}

QFont ui_font(int px)
{
    QFont f("DejaVu Sans");
    f.setPixelSize(px);
    return f;
}

// A page shaded diagonally from one colour to another.
QImage gradient_page(QSize size, QColor from, QColor to)
{
    QImage img(size, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, size.width(), size.height());
    g.setColorAt(0, from);
    g.setColorAt(1, to);
    p.fillRect(img.rect(), g);
    return img;
}

// The words of a recognition joined by single spaces, in its order.
std::string words(const Recognition& r)
{
    std::string out;
    for (const auto& f : r.texts)
        out += (out.empty() ? "" : " ") + f.text;
    return out;
}

} // namespace

TEST(TextRecognizer, ReadsDarkModeText)
{
    QImage img(420, 60, QImage::Format_RGB32);
    img.fill(QColor(28, 28, 30));
    QPainter p(&img);
    p.setFont(ui_font(13));
    p.setPen(QColor(230, 230, 230));
    p.drawText(QPointF(10, 34), "Configuración de pantalla y sonido");
    p.end();
    const auto r = recognizer().recognize(img, LANGS);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(words(*r), "Configuración de pantalla y sonido");
    // Boxes are normalised, top-left origin, and ordered left to right here.
    ASSERT_FALSE(r->texts.empty());
    const auto& first = r->texts.front().box;
    EXPECT_GT(first.x0, 0.0);
    EXPECT_LT(first.x1, 0.5);
    EXPECT_GT(first.top, 0.2);
    EXPECT_LT(first.bottom, 0.8);
}

// Between the parts of its letters (the dot of an "i" and its stem) a
// button's fill leaves thin slivers: they are no lines to erase.
TEST(TextRecognizer, ReadsWhiteTextOnAColouredButton)
{
    for (const char* family : { "DejaVu Sans", "Inter" }) {
        QImage img(460, 60, QImage::Format_RGB32);
        img.fill(QColor(248, 248, 248));
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QFont f(family);
        f.setPixelSize(13);
        p.setFont(f);
        p.setPen(QColor(30, 30, 30));
        p.drawText(QPointF(10, 35), "Cuenta");
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(10, 100, 216));
        p.drawRoundedRect(QRectF(260, 12, 170, 34), 7, 7);
        p.setPen(Qt::white);
        p.drawText(QPointF(276, 35), "Guardar cambios");
        p.end();
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        // The button's frame is no word of its own.
        EXPECT_EQ(words(*r), "Cuenta Guardar cambios") << family;
    }
}

TEST(TextRecognizer, ReadsAQrCodeAndPaintsItOut)
{
    const QImage qr = platform::render_qr_code("HOLA-QR", 4);
    QImage img(qr.width() + 300, qr.height() + 20, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.drawImage(10, 10, qr);
    p.setFont(ui_font(14));
    p.setPen(Qt::black);
    p.drawText(QPointF(qr.width() + 30, img.height() / 2.0), "Escanea aquí");
    p.end();
    const auto r = recognizer().recognize(img, LANGS);
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->codes.size(), 1u);
    EXPECT_EQ(r->codes[0].text, "HOLA-QR");
    const auto& box = r->codes[0].box;
    // The code's box covers the code (within a module or two).
    EXPECT_NEAR(box.x0 * img.width(), 10 + 16, 10);
    EXPECT_NEAR(box.x1 * img.width(), 10 + qr.width() - 16, 10);
    EXPECT_EQ(words(*r), "Escanea aquí");
}

TEST(TextRecognizer, QrCodeOnADarkPageStillReads)
{
    const QImage qr = platform::render_qr_code("OSCURO", 4);
    QImage img(qr.width() + 40, qr.height() + 40, QImage::Format_RGB32);
    img.fill(QColor(20, 20, 22));
    QPainter p(&img);
    p.drawImage(20, 20, qr);
    p.end();
    const auto r = recognizer().recognize(img, LANGS);
    ASSERT_TRUE(r) << r.error();
    ASSERT_EQ(r->codes.size(), 1u);
    EXPECT_EQ(r->codes[0].text, "OSCURO");
    EXPECT_TRUE(r->texts.empty()) << words(*r);
}

TEST(TextRecognizer, BlankAndDegenerateImagesGiveNothing)
{
    QImage blank(300, 80, QImage::Format_RGB32);
    blank.fill(Qt::white);
    for (const QImage& img : { blank, QImage(), QImage(1, 1, QImage::Format_ARGB32) }) {
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        EXPECT_TRUE(r->texts.empty());
        EXPECT_TRUE(r->codes.empty());
    }
    // Fully transparent pixels count as white, not as black.
    QImage clear(200, 50, QImage::Format_ARGB32);
    clear.fill(Qt::transparent);
    const auto r = recognizer().recognize(clear, LANGS);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->texts.empty());
}

TEST(TextRecognizer, SeveralRecognitionsAtOnceAgree)
{
    QImage img(520, 200, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setFont(ui_font(12));
    p.setPen(Qt::black);
    for (int i = 0; i < 8; ++i)
        p.drawText(QPointF(10, 20 + i * 22), QString("Línea %1 de la prueba simultánea").arg(i + 1));
    p.end();
    const auto reference = recognizer().recognize(img, LANGS);
    ASSERT_TRUE(reference);
    std::vector<std::string> got(6);
    {
        std::vector<std::jthread> threads;
        for (std::size_t i = 0; i < got.size(); ++i)
            threads.emplace_back([&, i] {
                const auto r = recognizer().recognize(img, LANGS);
                got[i] = r ? words(*r) : "error: " + r.error();
            });
    }
    for (const auto& g : got)
        EXPECT_EQ(g, words(*reference));
    EXPECT_NE(words(*reference).find("Línea 8 de la prueba simultánea"), std::string::npos) << words(*reference);
}

TEST(TextRecognizer, MissingLanguageDataIsAnErrorNotACrash)
{
    platform::TesseractOptions options;
    options.data_dir = "/nonexistent/tessdata";
    auto broken = platform::create_tesseract_recognizer(options);
    EXPECT_TRUE(broken->supported_languages().empty());
    QImage img(200, 40, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setFont(ui_font(14));
    p.setPen(Qt::black);
    p.drawText(QPointF(10, 25), "texto");
    p.end();
    const auto r = broken->recognize(img, LANGS);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().find("spa+eng"), std::string::npos) << r.error();
}

namespace {

const char* GRID_LINE_1 = "Texto blanco sobre el fondo";
const char* GRID_LINE_2 = "Segunda línea de la prueba";

// 1200 × 700: two lines of 28 px white text at the top left, on a diagonal
// gradient crossed by a light grid every 100 pixels (a design tool's canvas).
QImage grid_picture(QColor from, QColor to, QPen grid)
{
    QImage img(1200, 700, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 1200, 700);
    g.setColorAt(0, from);
    g.setColorAt(1, to);
    p.fillRect(img.rect(), g);
    p.setPen(grid);
    for (int x = 100; x < 1200; x += 100)
        p.drawLine(x, 0, x, 699);
    for (int y = 100; y < 700; y += 100)
        p.drawLine(0, y, 1199, y);
    p.setFont(ui_font(28));
    p.setPen(Qt::white);
    const QFontMetrics m(p.font());
    p.drawText(QPointF(12, 2 + m.ascent()), GRID_LINE_1);
    p.drawText(QPointF(12, 35 + m.ascent()), GRID_LINE_2);
    return img;
}

// The recognised words as lines: words whose boxes share most of their height
// go on one line, joined by spaces.
std::vector<std::string> lines_of(const Recognition& r, const QImage& img)
{
    struct L {
        double top, bottom;
        std::vector<std::pair<double, std::string>> words;
    };
    std::vector<L> lines;
    for (const auto& f : r.texts) {
        const double t = f.box.top * img.height(), b = f.box.bottom * img.height();
        auto it = std::find_if(lines.begin(), lines.end(), [&](const L& l) {
            return std::min(l.bottom, b) - std::max(l.top, t) > 0.5 * std::min(l.bottom - l.top, b - t);
        });
        if (it == lines.end())
            it = lines.insert(lines.end(), L { t, b, {} });
        it->words.emplace_back(f.box.x0, f.text);
    }
    std::sort(lines.begin(), lines.end(), [](const L& a, const L& b) { return a.top < b.top; });
    std::vector<std::string> out;
    for (auto& l : lines) {
        std::sort(l.words.begin(), l.words.end());
        std::string s;
        for (const auto& w : l.words)
            s += (s.empty() ? "" : " ") + w.second;
        out.push_back(s);
    }
    return out;
}

} // namespace

// Grid lines and a gradient leave no blank row between the lines of text, and
// their crossings are no letters: every selection from the text's own box to
// the whole picture reads the two lines and nothing else.
TEST(TextRecognizer, ReadsWhiteTextOnAGridAtEverySelectionSize)
{
    const std::vector<std::string> expected = { GRID_LINE_1, GRID_LINE_2 };
    const QImage pictures[] = {
        grid_picture(QColor(24, 60, 120), QColor(120, 40, 110), QPen(Qt::white, 2)),
        grid_picture(Qt::black, Qt::white, QPen(QColor(255, 255, 255, 120), 1)),
    };
    for (const QImage& picture : pictures)
        for (const QSize size : { QSize(470, 70), QSize(700, 450), QSize(1199, 529), QSize(1199, 699) }) {
            const QImage crop = picture.copy(QRect(QPoint(0, 0), size));
            const auto r = recognizer().recognize(crop, LANGS);
            ASSERT_TRUE(r) << r.error();
            EXPECT_EQ(lines_of(*r, crop), expected) << size.width() << "x" << size.height() << ": " << words(*r);
        }
}


namespace {

// A window's capture: a title bar with its three round buttons and no title,
// a document of two lines, and a page number standing alone at the bottom.
QImage window_with_buttons(int px)
{
    QImage img(520, 150, QImage::Format_RGB32);
    img.fill(QColor(250, 250, 250));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(QRect(0, 0, 520, 30), QColor(225, 225, 225));
    p.setPen(Qt::NoPen);
    for (const auto& [x, colour] : { std::pair { 16, QColor(255, 95, 87) }, { 36, QColor(254, 188, 46) },
                                     { 56, QColor(40, 200, 64) } }) {
        p.setBrush(colour);
        p.drawEllipse(QPointF(x, 15), 6, 6);
    }
    p.setFont(ui_font(px));
    p.setPen(QColor(40, 40, 40));
    p.drawText(QPointF(10, 60), "Documento sin nombre guardado");
    p.drawText(QPointF(10, 60 + px * 1.5), "Segunda parte del documento");
    p.drawText(QPointF(250, 135), "12");
    return img;
}

} // namespace

// The title bar is read as a band of its own, and its buttons give no
// marks there, so no text is lost to a filter: the same lines come back with
// and without stray marks dropped. The page number stands alone, and stays.
TEST(TextRecognizer, TitleBarButtonsAreNoText)
{
    platform::TesseractOptions keep;
    keep.drop_strays = false;
    const auto unfiltered = platform::create_tesseract_recognizer(keep);
    const std::vector<std::string> expected = { "Documento sin nombre guardado", "Segunda parte del documento", "12" };
    for (const int px : { 12, 14, 16 }) {
        const QImage img = window_with_buttons(px);
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        EXPECT_EQ(lines_of(*r, img), expected) << px << " px: " << words(*r);
        const auto raw = unfiltered->recognize(img, LANGS);
        ASSERT_TRUE(raw) << raw.error();
        EXPECT_EQ(lines_of(*raw, img), expected) << px << " px: " << words(*raw);
    }
}

// A design tool's faint grid every 20 pixels behind dark text, the same line
// drawn once for each pixel of the grid's step: on one of them each upright
// stroke (the "l", the "b", the "d") lies right on a grid line, and it stays.
// The grid's lines fade in and out along the gradient, and leave nothing.
TEST(TextRecognizer, StrokesOnAFaintGridLineStay)
{
    const char* text = "la rejilla y el degradado se ignoran";
    QImage img = gradient_page(QSize(560, 20 * 28 + 20), QColor(250, 236, 200), QColor(180, 220, 245));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 0, 0, 40), 1));
    for (int x = 20; x < img.width(); x += 20)
        p.drawLine(x, 0, x, img.height() - 1);
    for (int y = 20; y < img.height(); y += 20)
        p.drawLine(0, y, img.width() - 1, y);
    QFont f("DejaVu Sans");
    f.setPixelSize(18);
    p.setFont(f);
    p.setPen(QColor(20, 20, 24));
    for (int shift = 0; shift < 20; ++shift)
        p.drawText(QPointF(10 + shift, 24 + shift * 28), text);
    p.end();
    const auto r = recognizer().recognize(img, LANGS);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(lines_of(*r, img), std::vector<std::string>(20, text)) << words(*r);
}

// A table whose header row is shaded a little darker than the page, with
// no rule anywhere: the header's letters lie on a long faint run along
// their rows, but their bars are letters, not lines.
TEST(TextRecognizer, LettersOnAShadedRowKeepTheirBars)
{
    QImage img(520, 200, QImage::Format_RGB32);
    img.fill(QColor(250, 250, 250));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(QRect(0, 10, 520, 36), QColor(222, 222, 222));
    p.setFont(ui_font(15));
    p.setPen(QColor(30, 30, 30));
    p.drawText(QPointF(12, 33), "EFE 4 - 1 = 3 TEF FE");
    p.drawText(QPointF(12, 80), "Martes pagado sin cambios");
    p.end();
    const auto r = recognizer().recognize(img, LANGS);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(lines_of(*r, img), (std::vector<std::string> { "EFE 4 - 1 = 3 TEF FE", "Martes pagado sin cambios" }))
        << words(*r);
}

namespace {

// A terminal's page (monospace, black on white, three pixels from its
// border) beside what lies left of the window: `beside` pixels of the
// desktop's grey or of a black root, the window's dark border, and, with
// `title_bar`, a light title bar with an icon and buttons over it.
QImage terminal_crop(int beside, QColor outside, bool title_bar, const std::vector<std::string>& lines)
{
    QFont mono("DejaVu Sans Mono");
    mono.setPixelSize(14);
    const QFontMetrics m(mono);
    const int bar = title_bar ? 19 : 0;
    QImage img(beside + 420, bar + 30 + static_cast<int>(lines.size()) * m.height(), QImage::Format_RGB32);
    img.fill(outside);
    QPainter p(&img);
    p.fillRect(QRect(beside, 0, img.width() - beside, img.height()), Qt::white);
    if (title_bar) {
        p.fillRect(QRect(beside + 1, 1, img.width() - beside - 2, bar - 1), QColor(242, 240, 238));
        p.fillRect(QRect(beside + 4, 3, 14, 14), QColor(230, 80, 40));
        for (int i = 0; i < 3; ++i)
            p.drawRect(QRect(img.width() - 16 - i * 16, 4, 11, 11));
        p.setPen(QColor(88, 90, 93));
        p.drawLine(beside, 0, img.width(), 0);
    }
    p.setPen(QColor(88, 90, 93));
    p.drawLine(beside, 0, beside, img.height());
    p.setFont(mono);
    p.setPen(Qt::black);
    for (std::size_t i = 0; i < lines.size(); ++i)
        p.drawText(QPointF(beside + 3, bar + 3 + m.ascent() + static_cast<int>(i) * m.height()), QString::fromStdString(lines[i]));
    return img;
}

} // namespace

// The first word of every line stays beside a window's border and the
// desktop or black root left of it (the engine joined it to them and read a
// tall mark), and under a title bar no letter or digit changes (in one block
// with the bar, "línea" lost its accent). A black root wider than the page
// is no dark page and no bar.
TEST(TextRecognizer, WordsBesideAWindowsChromeStayAsTheyAre)
{
    const std::vector<std::string> lines = { "Región Norte: pedido 7781 en camino", "Segunda línea de prueba 12345",
                                             "Pedido 7781 sale el 2024-0917 a las 9" };
    for (const auto& [beside, outside, bar] : { std::tuple { 11, QColor(136, 136, 136), false },
                                                { 40, QColor(0, 0, 0), false }, { 480, QColor(0, 0, 0), false },
                                                { 0, QColor(136, 136, 136), true } }) {
        const QImage img = terminal_crop(beside, outside, bar, lines);
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        std::vector<std::string> got = lines_of(*r, img);
        // The title bar's own marks are the bar's; the page's lines follow it.
        if (bar && got.size() > lines.size())
            got.erase(got.begin(), got.end() - static_cast<long>(lines.size()));
        EXPECT_EQ(got, lines) << beside << " px beside, bar " << bar << ": " << words(*r);
    }
}

// A dark settings panel: a label, a blue button to its right and grey
// secondary text under them. Read in one piece with the button, the page
// ran "de la" together, lost the note's accents and read the button's edge
// as a bracket.
TEST(TextRecognizer, TextBesideAButtonOnADarkPanelStaysAsItIs)
{
    for (const int scale : { 1, 2 }) {
        QImage img(544 * scale, 104 * scale, QImage::Format_RGB32);
        img.fill(QColor(30, 30, 32));
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QFont f("Inter");
        f.setPixelSize(16 * scale);
        f.setHintingPreference(QFont::PreferNoHinting);
        const QFontMetrics m(f);
        p.setFont(f);
        p.setPen(QColor(235, 235, 235));
        p.drawText(QPointF(16 * scale, 16 * scale + m.ascent()), "Preferencias de la cuenta");
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(10, 100, 216));
        p.drawRoundedRect(QRectF(352 * scale, 9.6 * scale, m.horizontalAdvance("Guardar cambios") + 25.6 * scale,
                                 30.4 * scale),
                          6 * scale, 6 * scale);
        p.setPen(Qt::white);
        p.drawText(QPointF(364.8 * scale, 16 * scale + m.ascent()), "Guardar cambios");
        p.setPen(QColor(152, 152, 157));
        p.drawText(QPointF(16 * scale, 42.4 * scale + m.ascent()), "Última sincronización hace 5 minutos");
        p.end();
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        const std::vector<std::string> expected = { "Preferencias de la cuenta Guardar cambios",
                                                    "Última sincronización hace 5 minutos" };
        EXPECT_EQ(lines_of(*r, img), expected) << "scale " << scale << ": " << words(*r);
    }
}

// A bold heading and a line on a plain gradient: the page is flattened
// against its local background, and the strokes' antialiased rims keep
// their shade (made solid, "Configuración" read as "Comfiigunación").
TEST(TextRecognizer, ABoldHeadingOnAGradientKeepsItsLetters)
{
    for (const int px : { 12, 14, 16 }) {
        QImage img = gradient_page(QSize(520, 110), QColor(236, 242, 250), QColor(170, 196, 232));
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QFont heading("Inter");
        heading.setPixelSize(px + 6);
        heading.setBold(true);
        p.setFont(heading);
        p.setPen(QColor(20, 30, 50));
        p.drawText(QPointF(14, 14 + QFontMetrics(heading).ascent()), "Configuración avanzada de red");
        QFont f("Inter");
        f.setPixelSize(px);
        p.setFont(f);
        p.drawText(QPointF(14, 58 + QFontMetrics(f).ascent()), "La prueba tardó 37 ms");
        p.end();
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        EXPECT_EQ(words(*r), "Configuración avanzada de red La prueba tardó 37 ms") << px << " px";
    }
}

namespace {

// Every word of `lines` that the recognition lacks (a word read twice must
// be there twice).
std::vector<std::string> missing_words(const Recognition& r, const std::vector<std::string>& lines)
{
    std::multiset<std::string> read;
    for (const auto& f : r.texts) {
        std::istringstream in(f.text);
        for (std::string w; in >> w;)
            read.insert(w);
    }
    std::vector<std::string> missing;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        for (std::string w; in >> w;) {
            if (const auto it = read.find(w); it != read.end())
                read.erase(it);
            else
                missing.push_back(w);
        }
    }
    return missing;
}

} // namespace

// A dark sidebar at the picture's left edge, its light labels one a line,
// beside a white page: the sidebar stands apart from the page from top to
// bottom like a window's border, but it holds text, and its labels keep
// their first letters ("Archivos" was read "rchivos"). A panel wider than
// the page is no desktop around it either: its labels are not painted over.
TEST(TextRecognizer, ADarkSidebarAtTheEdgeKeepsItsLabelsWhole)
{
    const std::vector<std::string> side = { "Archivos", "Buscar", "Proyecto", "Pedido 7781", "Ajustes" };
    const std::vector<std::string> body = { "Resumen de la semana", "El envío sale el martes 14",
                                            "Quedan 3 cajas en el almacén" };
    for (const int panel : { 200, 520 }) {
        QImage img(panel + 760, 320, QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillRect(QRect(0, 0, panel, 320), QColor(0x2b, 0x2b, 0x2b));
        p.setFont(ui_font(16));
        p.setPen(QColor(0xe0, 0xe0, 0xe0));
        for (std::size_t i = 0; i < side.size(); ++i)
            p.drawText(QPointF(14, 40 + 56 * static_cast<int>(i)), QString::fromStdString(side[i]));
        p.setPen(QColor(30, 30, 30));
        for (std::size_t i = 0; i < body.size(); ++i)
            p.drawText(QPointF(panel + 40, 40 + 56 * static_cast<int>(i)), QString::fromStdString(body[i]));
        p.end();
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        std::vector<std::string> all = side;
        all.insert(all.end(), body.begin(), body.end());
        EXPECT_EQ(missing_words(*r, all), std::vector<std::string> {}) << panel << " px panel: " << words(*r);
    }
}

// A banner 140 px tall at the top, a vertical blue gradient with white
// headings, over a white page: its rows are flat and off the page's grey
// like a title bar's, but no bar is that tall, and its lines are the
// page's text, read as such.
TEST(TextRecognizer, ATallGradientBannerIsNoTitleBar)
{
    const std::vector<std::string> banner = { "Configuración avanzada de red", "Puerta de enlace 192.168.1.1" };
    const std::vector<std::string> body = { "Guarde los cambios antes de salir", "La prueba tardó 37 ms" };
    for (const auto& [from, to] : { std::pair { QColor(40, 90, 180), QColor(90, 150, 230) },
                                    { QColor(120, 170, 235), QColor(30, 80, 170) },
                                    { QColor(150, 190, 240), QColor(100, 150, 220) } }) {
        QImage img(900, 300, QImage::Format_RGB32);
        img.fill(Qt::white);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient g(0, 0, 0, 140);
        g.setColorAt(0, from);
        g.setColorAt(1, to);
        p.fillRect(QRect(0, 0, 900, 140), g);
        p.setFont(ui_font(20));
        p.setPen(Qt::white);
        for (std::size_t i = 0; i < banner.size(); ++i)
            p.drawText(QPointF(24, 50 + 50 * static_cast<int>(i)), QString::fromStdString(banner[i]));
        p.setFont(ui_font(15));
        p.setPen(QColor(30, 30, 30));
        for (std::size_t i = 0; i < body.size(); ++i)
            p.drawText(QPointF(24, 190 + 40 * static_cast<int>(i)), QString::fromStdString(body[i]));
        p.end();
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        std::vector<std::string> all = banner;
        all.insert(all.end(), body.begin(), body.end());
        EXPECT_EQ(missing_words(*r, all), std::vector<std::string> {}) << from.name().toStdString() << ": " << words(*r);
    }
}

// A terminal selected with its title bar: the program's icon (a dark square
// with a glyph of its own), the title, and the minimise, maximise and close
// buttons drawn as strokes. The bar reads as its title alone: an icon's or
// a button's shape is no letter ("Terminal — x" was read).
TEST(TextRecognizer, ATitleBarsIconAndButtonsReadAsNothing)
{
    const std::vector<std::string> body = { "Hola mundo desde Vistrope", "Segunda línea de prueba 12345" };
    // The window alone, and with a grey or a black desktop around it (more
    // above it than a bar is tall; the black one covers more of the
    // picture than the window's page, of the other side of mid-grey).
    for (const auto& [px, margin, desktop] :
         { std::tuple { 12, 0, 128 }, { 14, 0, 128 }, { 16, 0, 128 }, { 14, 50, 128 }, { 14, 50, 0 } }) {
        const int w = 520, bar = 28, h = bar + 24 + static_cast<int>(body.size()) * px * 2 + 16;
        QImage img(w + 2 * margin, h + 2 * margin, QImage::Format_RGB32);
        img.fill(QColor(desktop, desktop, desktop));
        QPainter p(&img);
        p.translate(margin, margin);
        p.fillRect(QRect(0, 0, w, h), Qt::white);
        p.setRenderHint(QPainter::Antialiasing);
        testing_support::draw_title_bar(p, w, bar, "Terminal");
        p.setPen(QPen(QColor(150, 150, 150), 1));
        p.drawRect(QRectF(0.5, 0.5, w - 1, h - 1));
        QFont mono("DejaVu Sans Mono");
        mono.setPixelSize(px);
        p.setFont(mono);
        p.setPen(QColor(28, 28, 30));
        for (std::size_t i = 0; i < body.size(); ++i)
            p.drawText(QPointF(12, bar + 12 + QFontMetrics(mono).ascent() + 1.5 * px * static_cast<int>(i)),
                       QString::fromStdString(body[i]));
        p.end();
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        std::vector<std::string> got = lines_of(*r, img);
        // Over the desktop the engine may not read the title at all, as its
        // command line does not.
        if (margin && !got.empty() && got.front() != "Terminal")
            got.insert(got.begin(), "Terminal");
        std::vector<std::string> expected = { "Terminal" };
        expected.insert(expected.end(), body.begin(), body.end());
        EXPECT_EQ(got, expected) << px << " px, margin " << margin << " of grey " << desktop << ": " << words(*r);
    }
}

// A warning bar whose text fills it (mousepad's, under its title and menu
// bars): its letters reach within a pixel of its edges, and every word
// keeps its "y", "g" and "h", on whichever row the bar starts.
TEST(TextRecognizer, TextThatFillsItsBarKeepsItsLetters)
{
    const std::string warning = "Warning: you are using the root account. You may harm your system.";
    for (const int top : { 40, 41 }) {
        QImage img(640, top + 90, QImage::Format_RGB32);
        img.fill(QColor(0xf6, 0xf5, 0xf4));
        QPainter p(&img);
        testing_support::draw_title_bar(p, img.width(), 24, "pedido.txt - Mousepad");
        p.fillRect(QRect(6, top, img.width() - 12, 17), QColor(0xb4, 0x25, 0x4b));
        QFont font = ui_font(12);
        p.setFont(font);
        p.setPen(Qt::white);
        const QFontMetrics m(font);
        p.drawText(QPointF((img.width() - m.horizontalAdvance(QString::fromStdString(warning))) / 2.0, top + 13),
                   QString::fromStdString(warning));
        p.setPen(Qt::black);
        p.setFont(QFont("DejaVu Sans Mono"));
        p.drawText(QPointF(8, top + 45), "Pedido 4512 del 08/12/2026");
        p.end();
        const auto r = recognizer().recognize(img, LANGS);
        ASSERT_TRUE(r) << r.error();
        EXPECT_EQ(missing_words(*r, { warning }), std::vector<std::string> {}) << "bar at row " << top << ": " << words(*r);
    }
}
