// Delivery and the image helpers, without a display (offscreen Qt).
#include "capture/output.h"

#include "base/config.h"
#include "base/publish.h"
#include "base/state.h"
#include "ui/hud.h"
#include "test_util.h"

#include <QClipboard>
#include <QColorSpace>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QMimeData>
#include <QThread>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <thread>


namespace fs = std::filesystem;
using testing_support::TempDir;

namespace {

// --- rasterize and trim ------------------------------------------------------

TEST(Rasterize, PremultipliedBgraPackedRowsAndTheSrgbProfileForImagesWithoutOne)
{
    QImage image(3, 2, QImage::Format_ARGB32); // straight alpha
    image.fill(Qt::transparent);
    image.setPixel(0, 0, qRgba(255, 0, 0, 128));
    image.setPixel(2, 1, qRgba(10, 20, 30, 255));
    const output::Raster r = output::rasterize(image);
    ASSERT_EQ(r.width, 3u);
    ASSERT_EQ(r.height, 2u);
    ASSERT_EQ(r.pixels.size(), 4u * 3 * 2);
    // B, G, R, A with colour premultiplied: 255 × 128 / 255 = 128.
    EXPECT_EQ(std::vector<std::uint8_t>(r.pixels.begin(), r.pixels.begin() + 4), (std::vector<std::uint8_t> { 0, 0, 128, 128 }));
    const std::size_t last = 4 * (1 * 3 + 2);
    EXPECT_EQ(std::vector<std::uint8_t>(r.pixels.begin() + last, r.pixels.begin() + last + 4), (std::vector<std::uint8_t> { 30, 20, 10, 255 }));
    ASSERT_TRUE(r.icc);
    const QByteArray srgb = QColorSpace(QColorSpace::SRgb).iccProfile();
    EXPECT_EQ(*r.icc, std::vector<std::uint8_t>(srgb.begin(), srgb.end()));
}

TEST(Rasterize, PaddedRowsArePackedAndTheImagesOwnProfileIsKept)
{
    QImage image(3, 3, QImage::Format_RGB888); // 9-byte rows padded to 12
    ASSERT_GT(image.bytesPerLine(), 9);
    image.fill(QColor(1, 2, 3));
    image.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
    const output::Raster r = output::rasterize(image);
    ASSERT_EQ(r.pixels.size(), 4u * 9);
    for (std::size_t i = 0; i < r.pixels.size(); i += 4)
        ASSERT_EQ(std::vector<std::uint8_t>(r.pixels.begin() + i, r.pixels.begin() + i + 4), (std::vector<std::uint8_t> { 3, 2, 1, 255 }));
    const QByteArray p3 = QColorSpace(QColorSpace::DisplayP3).iccProfile();
    ASSERT_TRUE(r.icc);
    EXPECT_EQ(*r.icc, std::vector<std::uint8_t>(p3.begin(), p3.end()));
}

TEST(Encode, ReadsPremultipliedPixelsInPlaceWhateverTheirRowStrideAndConvertsTheRest)
{
    // Rows 8 bytes longer than their pixels, the padding not black: the PNG
    // must hold the pixels alone.
    constexpr int W = 5, H = 4, STRIDE = 4 * W + 8;
    std::vector<std::uint8_t> block(std::size_t(STRIDE) * H, 0x77);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            std::uint8_t* p = block.data() + y * STRIDE + 4 * x;
            p[0] = std::uint8_t(10 * x), p[1] = std::uint8_t(40 * y), p[2] = 200, p[3] = 255;
        }
    const QImage padded(block.data(), W, H, STRIDE, QImage::Format_ARGB32_Premultiplied);
    const std::vector<std::uint8_t> png = output::encode(padded, 1.0);
    QImage back = QImage::fromData(png.data(), int(png.size()), "PNG");
    ASSERT_EQ(back.size(), QSize(W, H));
    back = back.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x)
            ASSERT_EQ(back.pixel(x, y), padded.pixel(x, y)) << x << "," << y;

    // Straight alpha is premultiplied on the way; the profile goes along.
    QImage straight(2, 1, QImage::Format_ARGB32);
    straight.setPixel(0, 0, qRgba(255, 0, 0, 128));
    straight.setPixel(1, 0, qRgba(0, 0, 255, 255));
    straight.setColorSpace(QColorSpace(QColorSpace::DisplayP3));
    const std::vector<std::uint8_t> png2 = output::encode(straight, 1.0);
    const QImage back2 = QImage::fromData(png2.data(), int(png2.size()), "PNG");
    ASSERT_EQ(back2.size(), QSize(2, 1));
    EXPECT_EQ(qAlpha(back2.pixel(0, 0)), 128);
    EXPECT_NEAR(qRed(back2.pixel(0, 0)), 255, 1);
    EXPECT_EQ(back2.pixel(1, 0), qRgba(0, 0, 255, 255));
    EXPECT_EQ(back2.colorSpace(), QColorSpace(QColorSpace::DisplayP3));
}

// A 6 × 5 image whose only visible pixel is at (2, 1), and whose transparent
// pixels have every colour byte at 255: a wrong alpha position finds them.
QImage one_visible(QImage::Format format)
{
    QImage image(6, 5, format);
    for (int y = 0; y < 5; ++y) {
        std::uint8_t* row = image.scanLine(y);
        for (int x = 0; x < 6; ++x) {
            std::uint8_t* p = row + 4 * x;
            p[0] = p[1] = p[2] = p[3] = 255;
            p[*output::alpha_offset(format)] = 0;
        }
    }
    std::uint8_t* p = image.scanLine(1) + 4 * 2;
    p[0] = p[1] = p[2] = 0;
    p[*output::alpha_offset(format)] = 255;
    return image;
}

TEST(TrimTransparent, FindsAlphaWhereEachFormatKeepsIt)
{
    for (QImage::Format f : { QImage::Format_ARGB32, QImage::Format_ARGB32_Premultiplied, QImage::Format_RGBA8888,
             QImage::Format_RGBA8888_Premultiplied }) {
        const auto trimmed = output::trim_transparent(one_visible(f));
        ASSERT_TRUE(trimmed) << f;
        EXPECT_EQ(trimmed->size(), QSize(1, 1)) << f;
        EXPECT_EQ(qAlpha(trimmed->pixel(0, 0)), 255) << f;
        EXPECT_EQ(trimmed->format(), f);
    }
}

TEST(TrimTransparent, NothingToCropOrNoAlphaGivesNothing)
{
    QImage opaque(4, 4, QImage::Format_ARGB32_Premultiplied);
    opaque.fill(QColor(0, 0, 0));
    EXPECT_FALSE(output::trim_transparent(opaque));
    QImage clear(4, 4, QImage::Format_ARGB32_Premultiplied);
    clear.fill(Qt::transparent);
    EXPECT_FALSE(output::trim_transparent(clear));
    QImage rgb24(4, 4, QImage::Format_RGB888);
    rgb24.fill(Qt::black);
    EXPECT_FALSE(output::trim_transparent(rgb24));
    // 32-bit pixels whose fourth byte is padding, not alpha.
    QImage padded(4, 4, QImage::Format_RGB32);
    padded.fill(Qt::black);
    EXPECT_FALSE(output::trim_transparent(padded));
    EXPECT_FALSE(output::trim_transparent(QImage()));
}

// --- delivery ----------------------------------------------------------------

void wait_until(const std::function<bool()>& done, int ms = 10000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
}

class Delivery : public ::testing::Test {
protected:
    void SetUp() override
    {
        state::reset_for_tests();
        m_cfg.save_dir = (m_home.path() / "capturas").string();
        m_cfg.after_capture.play_sound = false; // no sound server here
        m_cfg.after_capture.show_quick_access = false;
        output::set_delivered_listener([this](const output::Delivered& d) { m_done[d.id] = d; m_order.push_back(d.id); });
    }
    void TearDown() override
    {
        output::set_delivered_listener(nullptr);
        state::reset_for_tests();
    }
    void apply() { state::set_config(std::make_shared<const config::Config>(m_cfg)); }

    static QImage picture(int w, int h, QColor colour)
    {
        QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
        image.fill(colour);
        return image;
    }

    std::vector<fs::path> files() const
    {
        std::vector<fs::path> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(m_home.path() / "capturas", ec))
            out.push_back(e.path());
        std::sort(out.begin(), out.end());
        return out;
    }

    testing_support::TempHome m_home;
    config::Config m_cfg;
    std::map<std::uint64_t, output::Delivered> m_done;
    std::vector<std::uint64_t> m_order;
};

QByteArray clipboard_png()
{
    const QMimeData* data = QGuiApplication::clipboard()->mimeData();
    return data ? data->data("image/png") : QByteArray();
}

TEST_F(Delivery, EveryResultOffStillEncodesAndKeepsTheLastShot)
{
    m_cfg.after_capture = { false, false, false, false, true };
    apply();
    QGuiApplication::clipboard()->setText("antes");
    const QImage image = picture(30, 20, QColor(0, 128, 255));
    flash::Origin origin;
    origin.rect = { 0, 0, 30, 20 };
    output::deliver({ origin, image, 2.0, output::Kind::Area }, util::Stopwatch("prueba"));
    // The last shot is there before anything is encoded.
    auto shot = state::last_shot();
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->image, image);
    EXPECT_EQ(shot->scale, 2.0);
    wait_until([&] { return m_done.size() == 1; });
    ASSERT_EQ(m_done.size(), 1u);
    const output::Delivered& d = m_done.begin()->second;
    EXPECT_GT(d.png_bytes, 8u);
    EXPECT_FALSE(d.path);
    EXPECT_FALSE(d.copied);
    EXPECT_FALSE(d.card);
    EXPECT_TRUE(d.flash_in_place); // a shot with an origin still flashes
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "antes");
    EXPECT_FALSE(state::last_shot()->file);
}

TEST_F(Delivery, SavesAndCopiesTheSamePngAndTheLastShotLearnsTheFile)
{
    apply();
    output::deliver({ std::nullopt, picture(33, 17, QColor(200, 10, 10)), 1.0, output::Kind::Fullscreen },
        util::Stopwatch("prueba"));
    wait_until([&] { return m_done.size() == 1; });
    ASSERT_EQ(m_done.size(), 1u);
    const output::Delivered& d = m_done.begin()->second;
    ASSERT_TRUE(d.path);
    EXPECT_TRUE(d.copied);
    EXPECT_FALSE(d.flash_in_place);
    const std::string bytes = testing_support::read_file(*d.path);
    EXPECT_EQ(bytes.size(), d.png_bytes);
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    EXPECT_EQ(clipboard_png(), QByteArray::fromStdString(bytes));
    EXPECT_EQ(state::last_shot()->file, d.path);
    EXPECT_TRUE(d.path->filename().string().starts_with("Vistrope "));
    EXPECT_EQ(d.path->extension(), ".png");
    // The PNG decodes back to the capture's pixels.
    QImage back;
    ASSERT_TRUE(back.loadFromData(QByteArray::fromStdString(bytes), "PNG"));
    EXPECT_EQ(back.size(), QSize(33, 17));
    EXPECT_EQ(back.pixel(5, 5), qRgb(200, 10, 10));
}

TEST_F(Delivery, TwoDeliveriesInOneSecondKeepBothFiles)
{
    apply();
    // Both names are claimed at delivery, before either file is written.
    const std::string stem = publish::capture_name_now();
    output::deliver({ std::nullopt, picture(800, 600, QColor(1, 2, 3)), 1.0, output::Kind::Area }, util::Stopwatch("a"));
    output::deliver({ std::nullopt, picture(10, 10, QColor(4, 5, 6)), 1.0, output::Kind::Area }, util::Stopwatch("b"));
    wait_until([&] { return m_done.size() == 2; });
    ASSERT_EQ(m_done.size(), 2u);
    const auto& first = m_done.begin()->second;
    const auto& second = std::next(m_done.begin())->second;
    ASSERT_TRUE(first.path && second.path);
    EXPECT_NE(*first.path, *second.path);
    EXPECT_EQ(files().size(), 2u);
    QImage a, b;
    ASSERT_TRUE(a.load(QString::fromStdString(first.path->string())));
    ASSERT_TRUE(b.load(QString::fromStdString(second.path->string())));
    EXPECT_EQ(a.size(), QSize(800, 600));
    EXPECT_EQ(b.size(), QSize(10, 10));
    if (publish::capture_name_now() == stem) { // both fell in the same second
        EXPECT_EQ(first.path->filename().string(), stem + ".png");
        EXPECT_EQ(second.path->filename().string(), stem + " (2).png");
    }
}

TEST_F(Delivery, AnEarlierCaptureFinishingLateChangesNeitherTheClipboardNorTheLastShot)
{
    apply();
    // The large capture is encoded long after the small one.
    QImage big(3000, 2000, QImage::Format_ARGB32_Premultiplied);
    for (int y = 0; y < big.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(big.scanLine(y));
        for (int x = 0; x < big.width(); ++x)
            row[x] = qRgb((x * 7 + y) & 255, (x ^ y) & 255, (x * y) & 255);
    }
    output::deliver({ std::nullopt, big, 1.0, output::Kind::Area }, util::Stopwatch("grande"));
    const QImage small = picture(8, 8, QColor(9, 9, 9));
    output::deliver({ std::nullopt, small, 1.0, output::Kind::Area }, util::Stopwatch("pequeña"));
    wait_until([&] { return m_done.size() == 2; });
    ASSERT_EQ(m_done.size(), 2u);
    const std::uint64_t big_id = m_done.begin()->first;
    const std::uint64_t small_id = std::next(m_done.begin())->first;
    const output::Delivered& late = m_done.at(big_id);
    const output::Delivered& newer = m_done.at(small_id);
    ASSERT_TRUE(newer.path);
    EXPECT_EQ(clipboard_png(), QByteArray::fromStdString(testing_support::read_file(*newer.path)));
    EXPECT_EQ(state::last_shot()->file, newer.path);
    if (m_order.front() == small_id) { // the usual order: the large one came back last
        EXPECT_FALSE(late.copied);
    }
    EXPECT_TRUE(late.path); // its file is still written
}

TEST_F(Delivery, AFailedWriteIsToldAndStillCopiesAndLeavesTheLastShotWithoutAFile)
{
    // The capture folder names a file.
    testing_support::write_file(m_home.path() / "capturas", "no soy una carpeta");
    apply();
    const unsigned long toasts = hud::toast_generation();
    testing::internal::CaptureStderr();
    output::deliver({ std::nullopt, picture(5, 5, QColor(1, 1, 1)), 1.0, output::Kind::Window }, util::Stopwatch("x"));
    wait_until([&] { return m_done.size() == 1; });
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(m_done.size(), 1u);
    const output::Delivered& d = m_done.begin()->second;
    EXPECT_FALSE(d.path);
    ASSERT_TRUE(d.save_error);
    EXPECT_TRUE(d.copied);
    EXPECT_FALSE(state::last_shot()->file);
    EXPECT_EQ(clipboard_png().size(), static_cast<qsizetype>(d.png_bytes));
    EXPECT_EQ(hud::toast_generation(), toasts + 1) << "the user is told";
    EXPECT_NE(log.find("no pude guardar " + (m_home.path() / "capturas").string()), std::string::npos) << log;
    EXPECT_NE(log.find("listo en portapapeles"), std::string::npos) << log;
    EXPECT_EQ(log.find("disco"), std::string::npos) << "no lap claims a file: " << log;
    EXPECT_EQ(testing_support::read_file(m_home.path() / "capturas"), "no soy una carpeta");
}

TEST_F(Delivery, TheLastLapNamesWhatWasDone)
{
    const auto last_lap = [&](bool copy, bool save) {
        m_cfg.after_capture.copy_to_clipboard = copy;
        m_cfg.after_capture.save = save;
        apply();
        m_done.clear();
        testing::internal::CaptureStderr();
        output::deliver({ std::nullopt, picture(4, 4, QColor(3, 3, 3)), 1.0, output::Kind::Area }, util::Stopwatch("x"));
        wait_until([&] { return m_done.size() == 1; });
        const std::string log = testing::internal::GetCapturedStderr();
        for (const char* lap : { "listo en portapapeles y disco", "listo en portapapeles", "listo en disco", "no guardada" })
            if (log.find(lap) != std::string::npos)
                return std::string(lap);
        return std::string("(ninguno)");
    };
    EXPECT_EQ(last_lap(true, true), "listo en portapapeles y disco");
    EXPECT_EQ(last_lap(true, false), "listo en portapapeles");
    EXPECT_EQ(last_lap(false, true), "listo en disco");
    EXPECT_EQ(last_lap(false, false), "no guardada");
}

TEST_F(Delivery, OffTheMainThreadStops)
{
    apply();
    std::optional<std::string> message;
    std::thread([&] {
        message = testing_support::fatal_message([] {
            output::deliver({ std::nullopt, QImage(1, 1, QImage::Format_ARGB32_Premultiplied), 1.0, output::Kind::Area },
                util::Stopwatch("x"));
        });
    }).join();
    EXPECT_EQ(message, "hilo principal");
}

} // namespace
