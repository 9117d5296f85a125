// The Tesseract and ZXing recogniser on generated pictures: the cases a
// screen throws at it (dark mode, white text on a coloured button, a QR code
// beside text, several recognitions at once) and its failures.
#include "platform/text_recognizer.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPen>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

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

// The buttons come back from the engine as a mark or two of low confidence
// ("o" and "0", "e@oe"), on a line of their own: no text. The page number
// stands alone too, but reads with confidence, and stays.
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
        // The picture does hold such marks: without dropping them they are a line.
        const auto raw = unfiltered->recognize(img, LANGS);
        ASSERT_TRUE(raw) << raw.error();
        EXPECT_EQ(lines_of(*raw, img).size(), expected.size() + 1) << px << " px: " << words(*raw);
    }
}

// A design tool's faint grid every 20 pixels behind dark text, the same line
// drawn once for each pixel of the grid's step: on one of them each upright
// stroke (the "l", the "b", the "d") lies right on a grid line, and it stays.
// The grid's lines fade in and out along the gradient, and leave nothing.
TEST(TextRecognizer, StrokesOnAFaintGridLineStay)
{
    const char* text = "la rejilla y el degradado se ignoran";
    QImage img(560, 20 * 28 + 20, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, img.width(), img.height());
    g.setColorAt(0, QColor(250, 236, 200));
    g.setColorAt(1, QColor(180, 220, 245));
    p.fillRect(img.rect(), g);
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
