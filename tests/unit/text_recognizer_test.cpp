// The Tesseract and ZXing recogniser on generated pictures: the cases a
// screen throws at it (dark mode, white text on a coloured button, a QR code
// beside text, several recognitions at once) and its failures.
#include "platform/text_recognizer.h"

#include <QFont>
#include <QPainter>

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

bool has_word(const Recognition& r, const std::string& word)
{
    return std::any_of(r.texts.begin(), r.texts.end(), [&](const auto& f) { return f.text == word; });
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

TEST(TextRecognizer, ReadsWhiteTextOnAColouredButton)
{
    QImage img(460, 60, QImage::Format_RGB32);
    img.fill(QColor(248, 248, 248));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setFont(ui_font(13));
    p.setPen(QColor(30, 30, 30));
    p.drawText(QPointF(10, 35), "Cuenta");
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(10, 100, 216));
    p.drawRoundedRect(QRectF(280, 12, 150, 34), 7, 7);
    p.setPen(Qt::white);
    p.drawText(QPointF(296, 35), "Guardar cambios");
    p.end();
    const auto r = recognizer().recognize(img, LANGS);
    ASSERT_TRUE(r) << r.error();
    EXPECT_TRUE(has_word(*r, "Cuenta")) << words(*r);
    EXPECT_TRUE(has_word(*r, "Guardar")) << words(*r);
    EXPECT_TRUE(has_word(*r, "cambios")) << words(*r);
    // The button's frame is no word of its own.
    EXPECT_EQ(r->texts.size(), 3u) << words(*r);
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
