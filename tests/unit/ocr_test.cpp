// The ocr module against a fake recogniser (and, for the command line, the
// real one on a generated picture).
#include "capture/ocr.h"
#include "platform/fake/text_recognizer_fake.h"
#include "platform/text_recognizer.h"
#include "test_util.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>

#include <gtest/gtest.h>

using platform::Fragment;
using platform::NormBox;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

struct Toast {
    std::string symbol;
    std::string text;
    double seconds = 0;
};

class OcrTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto fake = std::make_unique<platform::TextRecognizerFake>();
        m_fake = fake.get();
        ocr::set_recognizer(std::move(fake));
        ocr::set_toast_sink([this](std::string_view symbol, std::string_view text, double seconds) {
            m_toasts.push_back({ std::string(symbol), std::string(text), seconds });
        });
        QGuiApplication::clipboard()->setText("previo");
    }
    void TearDown() override
    {
        ocr::set_recognizer(nullptr);
        ocr::set_toast_sink(nullptr);
    }

    platform::TextRecognizerFake* m_fake = nullptr;
    std::vector<Toast> m_toasts;
};

QImage white(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::white);
    return img;
}

std::string clipboard()
{
    return QGuiApplication::clipboard()->text().toStdString();
}

} // namespace

TEST(OcrLanguages, KeepsSpanishAndEnglishInTheirOrder)
{
    EXPECT_EQ(ocr::choose_languages({ "en-US", "fr-FR", "es-ES", "es-MX" }),
              (std::vector<std::string> { "es-MX", "es-ES", "en-US" }));
    EXPECT_EQ(ocr::choose_languages({ "es-ES" }), (std::vector<std::string> { "es-ES" }));
    // Exact tags only: "es" or "en-GB" are not the same languages here.
    EXPECT_EQ(ocr::choose_languages({ "es", "en-GB" }), (std::vector<std::string> { "en-US" }));
    EXPECT_EQ(ocr::choose_languages({}), (std::vector<std::string> { "en-US" }));
}

TEST(OcrLanguages, MapToTesseractCodes)
{
    EXPECT_EQ(platform::tesseract_languages({ "es-MX", "es-ES", "en-US" }), "spa+eng");
    EXPECT_EQ(platform::tesseract_languages({ "es-ES" }), "spa");
    EXPECT_EQ(platform::tesseract_languages({ "en-US" }), "eng");
    EXPECT_EQ(platform::tesseract_languages({ "en-US", "es-MX" }), "eng+spa");
    EXPECT_EQ(platform::tesseract_languages({ "xx" }), "eng");
}

TEST_F(OcrTest, NormalisedBoxesBecomePixelsOfTheImage)
{
    // 400 × 100 image, line 10 px tall. The gap between the words is 0.07 of
    // the width = 28 px > 2.5 × 10: a column gap (read against the height it
    // would be 7 px, a space).
    platform::Recognition r;
    r.texts = { { "Nombre", NormBox { 0.0, 0.2, 0.1, 0.2 } }, { "Valor", NormBox { 0.27, 0.4, 0.1, 0.2 } } };
    m_fake->set_result(r);
    const ocr::Result result = ocr::recognize_sync(white(400, 100));
    EXPECT_EQ(result.text, "Nombre    Valor");
    EXPECT_FALSE(result.has_code);
    EXPECT_EQ(m_fake->last_size(), QSize(400, 100));
    EXPECT_EQ(m_fake->last_languages(), ocr::languages());
}

TEST_F(OcrTest, CodesComeFirstAndHideTheirOwnText)
{
    platform::Recognition r;
    r.codes = { { "WXYZ", NormBox { 0.5, 0.9, 0.1, 0.9 } } };
    r.texts = { { "ruido", NormBox { 0.6, 0.8, 0.4, 0.5 } }, { "Hola", NormBox { 0.0, 0.2, 0.4, 0.5 } } };
    m_fake->set_result(r);
    const ocr::Result result = ocr::recognize_sync(white(200, 200));
    EXPECT_EQ(result.text, "WXYZ\n\nHola");
    EXPECT_TRUE(result.has_code);
}

TEST_F(OcrTest, RecogniserFailureGivesAnEmptyResultAndTheCaptureSaysSo)
{
    m_fake->set_failure("sin motor");
    const ocr::Result result = ocr::recognize_sync(white(10, 10));
    EXPECT_EQ(result.text, "");
    EXPECT_FALSE(result.has_code);

    // A text capture whose engine cannot run (its module missing) says it
    // could not read, not that there was no text, and leaves the clipboard.
    testing::internal::CaptureStderr();
    ocr::start_text_capture(white(300, 120), 2.0, util::Stopwatch("captura"));
    QElapsedTimer timer;
    timer.start();
    while (m_toasts.empty() && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(m_toasts.size(), 1u);
    EXPECT_EQ(m_toasts[0].symbol, "exclamationmark.triangle");
    EXPECT_EQ(m_toasts[0].text, "No se pudo leer el texto");
    EXPECT_EQ(clipboard(), "previo");
    EXPECT_NE(log.find("el reconocedor falló: sin motor"), std::string::npos) << log;
}

TEST_F(OcrTest, DeliverCopiesTextAndCountsCharacters)
{
    ocr::deliver({ "año\tnuevo", false });
    EXPECT_EQ(clipboard(), "año\tnuevo");
    ASSERT_EQ(m_toasts.size(), 1u);
    EXPECT_EQ(m_toasts[0].symbol, "doc.on.clipboard");
    EXPECT_EQ(m_toasts[0].text, "Texto copiado · 9 caracteres");
    EXPECT_DOUBLE_EQ(m_toasts[0].seconds, 1.2);
}

TEST_F(OcrTest, OneCharacterIsSingular)
{
    ocr::deliver({ "ñ", false });
    EXPECT_EQ(clipboard(), "ñ");
    ASSERT_EQ(m_toasts.size(), 1u);
    EXPECT_EQ(m_toasts[0].text, "Texto copiado · 1 carácter");
}

TEST_F(OcrTest, CodeResultSaysCodeCopied)
{
    ocr::deliver({ "ABCD", true });
    EXPECT_EQ(clipboard(), "ABCD");
    ASSERT_EQ(m_toasts.size(), 1u);
    EXPECT_EQ(m_toasts[0].text, "Código copiado · 4 caracteres");
}

TEST_F(OcrTest, NothingFoundLeavesTheClipboardAlone)
{
    ocr::deliver({ "", false });
    EXPECT_EQ(clipboard(), "previo");
    ASSERT_EQ(m_toasts.size(), 1u);
    EXPECT_EQ(m_toasts[0].symbol, "text.magnifyingglass");
    EXPECT_EQ(m_toasts[0].text, "No encontré texto");
    EXPECT_DOUBLE_EQ(m_toasts[0].seconds, 1.4);
}

TEST_F(OcrTest, DeliverOffTheMainThreadStops)
{
    std::optional<std::string> stop;
    std::thread t([&] { stop = testing_support::fatal_message([] { ocr::deliver({ "x", false }); }); });
    t.join();
    EXPECT_EQ(stop, "hilo principal");
    EXPECT_EQ(clipboard(), "previo");
}

TEST_F(OcrTest, TextCaptureRecognisesInTheBackgroundAndDeliversOnMain)
{
    platform::Recognition r;
    r.texts = { { "Captura", NormBox { 0.1, 0.5, 0.1, 0.3 } } };
    m_fake->set_result(r);
    testing::internal::CaptureStderr();
    ocr::start_text_capture(white(300, 120), 2.0, util::Stopwatch("captura"));
    EXPECT_TRUE(m_toasts.empty()); // nothing inline
    QElapsedTimer timer;
    timer.start();
    while (m_toasts.empty() && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_EQ(m_toasts.size(), 1u);
    EXPECT_EQ(m_toasts[0].text, "Texto copiado · 7 caracteres");
    EXPECT_EQ(clipboard(), "Captura");
    EXPECT_EQ(m_fake->calls(), 1);
    EXPECT_EQ(m_fake->last_size(), QSize(300, 120));

    // The log says what was done, also when nothing was found.
    m_fake->set_result({});
    ocr::start_text_capture(white(300, 120), 2.0, util::Stopwatch("captura"));
    timer.restart();
    while (m_toasts.size() < 2 && timer.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("captura: texto en portapapeles: 7 caracteres (escala 2.0)"), std::string::npos) << log;
    EXPECT_NE(log.find("captura: sin texto; el portapapeles no cambia (escala 2.0)"), std::string::npos) << log;
    EXPECT_EQ(log.find("captura: texto en portapapeles (escala"), std::string::npos) << log;
}

TEST_F(OcrTest, WarmUpLoadsTheEnginesAndRunsOnce)
{
    ocr::warm_up();
    EXPECT_EQ(m_fake->prepares(), 1);
    EXPECT_EQ(m_fake->calls(), 1);
    EXPECT_EQ(m_fake->last_size(), QSize(256, 64));
}

// The engines are given back once the text captures stop, and the next
// capture reads as before (loading them again is the recogniser's).
TEST_F(OcrTest, EnginesAreGivenBackWhenIdle)
{
    ocr::set_engine_idle_seconds(0.05);
    platform::Recognition r;
    r.texts = { { "Hola", NormBox { 0.1, 0.5, 0.1, 0.3 } } };
    m_fake->set_result(r);
    for (int capture = 1; capture <= 2; ++capture) {
        const int released = m_fake->releases();
        ocr::start_text_capture(white(200, 80), 1.0, util::Stopwatch("captura"));
        QElapsedTimer timer;
        timer.start();
        while ((m_toasts.size() < static_cast<std::size_t>(capture) || m_fake->releases() == released)
               && timer.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ASSERT_EQ(m_toasts.size(), static_cast<std::size_t>(capture));
        EXPECT_EQ(m_toasts.back().text, "Texto copiado · 4 caracteres");
        EXPECT_GT(m_fake->releases(), released) << "capture " << capture;
    }
    ocr::set_engine_idle_seconds(-1);
}

// --- the command line -------------------------------------------------------

namespace {

struct CliRun {
    int status;
    std::string out;
    std::string err;
};

CliRun run_cli(const std::optional<std::string>& path)
{
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = ocr::cli(path);
    CliRun run { status, ::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr() };
    return run;
}

} // namespace

TEST_F(OcrTest, CliWithoutPathPrintsUsage)
{
    const CliRun run = run_cli(std::nullopt);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "uso: vistrope --ocr <imagen.png>\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(m_fake->calls(), 0);
}

TEST_F(OcrTest, CliRejectsMissingAndNonPngFiles)
{
    const CliRun missing = run_cli("./no-existe/nada.png");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "no pude leer ./no-existe/nada.png como PNG\n");

    TempDir dir;
    const auto fake_png = dir.path() / "texto.png";
    testing_support::write_file(fake_png, "esto no es un PNG");
    const CliRun garbage = run_cli(fake_png.string());
    EXPECT_EQ(garbage.status, 1);
    EXPECT_EQ(garbage.err, "no pude leer " + fake_png.string() + " como PNG\n");

    // A real picture in another format is not a PNG either.
    const auto jpeg = dir.path() / "foto.png";
    ASSERT_TRUE(white(20, 20).save(QString::fromStdString(jpeg.string()), "JPG"));
    EXPECT_EQ(run_cli(jpeg.string()).status, 1);
    EXPECT_EQ(m_fake->calls(), 0);
}

TEST_F(OcrTest, CliPrintsTextAndHonoursPrewarmAndBench)
{
    TempDir dir;
    const auto png = dir.path() / "a.png";
    ASSERT_TRUE(white(64, 32).save(QString::fromStdString(png.string()), "PNG"));
    platform::Recognition r;
    r.texts = { { "Listo", NormBox { 0.1, 0.5, 0.1, 0.5 } } };
    m_fake->set_result(r);
    {
        ScopedEnv prewarm("VISTROPE_OCR_PREWARM", std::nullopt);
        ScopedEnv bench("VISTROPE_OCR_BENCH", std::nullopt);
        const CliRun run = run_cli(png.string());
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "Listo\n");
        EXPECT_NE(run.err.find("OCR: 5 caracteres (código: false) en "), std::string::npos) << run.err;
        EXPECT_EQ(m_fake->calls(), 1);
        EXPECT_EQ(m_fake->prepares(), 0);
    }
    {
        ScopedEnv prewarm("VISTROPE_OCR_PREWARM", ""); // set, even empty
        ScopedEnv bench("VISTROPE_OCR_BENCH", "1");
        const CliRun run = run_cli(png.string());
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "Listo\n");
        EXPECT_EQ(m_fake->prepares(), 1);
        EXPECT_EQ(m_fake->calls(), 1 + 3); // warm-up, the recognition, the warm repeat
        EXPECT_NE(run.err.find("precalentar: listo en "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("OCR en caliente: listo en "), std::string::npos) << run.err;
    }
}

TEST_F(OcrTest, CliPrintsAnEmptyLineWhenNothingIsFound)
{
    TempDir dir;
    const auto png = dir.path() / "vacio.png";
    ASSERT_TRUE(white(64, 32).save(QString::fromStdString(png.string()), "PNG"));
    const CliRun run = run_cli(png.string());
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "\n");
}

TEST(OcrCliReal, ReadsAGeneratedPictureExactly)
{
    ocr::set_recognizer(nullptr); // the real recogniser
    QImage img(520, 110, QImage::Format_RGB32);
    img.fill(QColor(248, 248, 248));
    {
        QPainter p(&img);
        QFont f("DejaVu Sans");
        f.setPixelSize(15);
        p.setFont(f);
        p.setPen(QColor(30, 30, 30));
        p.drawText(QPointF(14, 30), "Configuración rápida de la cámara");
        p.drawText(QPointF(14, 52), "Añadir una sección nueva");
        p.drawText(QPointF(300, 52), "Guardar");
    }
    TempDir dir;
    const auto png = dir.path() / "texto.png";
    ASSERT_TRUE(img.save(QString::fromStdString(png.string()), "PNG"));
    const CliRun run = run_cli(png.string());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "Configuración rápida de la cámara\nAñadir una sección nueva    Guardar\n");
}
