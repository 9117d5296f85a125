#include "ui/status_icon.h"
#include "platform/symbols.h"

#include <QPainter>
#include <QRawFont>
#include <gtest/gtest.h>

using namespace platform;

namespace {

// Pixels whose alpha is above half.
int opaque_pixels(const QImage& image)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += qAlpha(image.pixel(x, y)) > 128;
    return n;
}

} // namespace

TEST(Symbols, EveryNameHasAGlyphInTheInstalledFont)
{
    const auto f = symbols::font(24);
    ASSERT_TRUE(f.has_value()) << "fonts-material-design-icons-iconfont is not installed";
    const QRawFont raw = QRawFont::fromFont(*f);
    ASSERT_TRUE(raw.isValid());
    for (auto name : symbols::names()) {
        const auto code = symbols::glyph(name);
        ASSERT_TRUE(code.has_value()) << name;
        EXPECT_TRUE(raw.supportsCharacter(static_cast<uint>(*code))) << name;
        // A drawn glyph leaves a visible shape, in the requested tint.
        const QImage image = symbols::image(name, 24, QColor(255, 0, 0), 2.0);
        ASSERT_FALSE(image.isNull()) << name;
        EXPECT_EQ(image.width(), 48);
        EXPECT_GT(opaque_pixels(image), 20) << name;
    }
}

TEST(Symbols, TintAndUnknownNames)
{
    const QImage image = symbols::image("viewfinder", 17, QColor(0, 255, 0), 1.0);
    ASSERT_FALSE(image.isNull());
    bool saw_green = false;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            if (qAlpha(p) > 0) {
                EXPECT_EQ(qRed(p), 0);
                EXPECT_EQ(qBlue(p), 0);
                saw_green |= qAlpha(p) > 200 && qGreen(p) > 200;
            }
        }
    EXPECT_TRUE(saw_green);

    EXPECT_FALSE(symbols::glyph("no.such.symbol").has_value());
    EXPECT_TRUE(symbols::image("no.such.symbol", 17, Qt::white).isNull());
    QImage canvas(10, 10, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    QPainter p(&canvas);
    EXPECT_FALSE(symbols::draw(p, "no.such.symbol", QRectF(0, 0, 10, 10), 10, Qt::white));
}

TEST(AppIcon, TheStarIsOpaqueWhiteWhereTheStatusIconHasAHole)
{
    const QColor accent(10, 132, 255);
    const QImage app = ui::app_icon(4, accent);
    const QImage tray = ui::status_icon(4, accent);
    // The star's middle: white in the app icon, a hole in the tray's template.
    EXPECT_EQ(app.pixelColor(36, 36), QColor(Qt::white));
    EXPECT_EQ(qAlpha(tray.pixel(36, 36)), 0);
    // The outline keeps its tint, and outside it both stay transparent.
    EXPECT_EQ(app.pixelColor(12, 40), accent);
    EXPECT_EQ(qAlpha(app.pixel(70, 2)), 0);
}
