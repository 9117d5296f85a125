// The editor's self-check run in process on pictures of awkward shapes: a
// small one at scale 2, where two counter clicks a twentieth of the width
// apart would land on one counter, and a tall narrow one without a stated
// resolution, and a wide strip. Its file names, and the resolution it reads
// from a PNG.
#include "editor/selfcheck.h"

#include "capture/output.h"
#include "editor/model.h"

#include "test_util.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> SUFFIXES = { "window", "spotlight", "background", "window-background", "window-crop",
    "cropped" };

// Stripes and a disc, so that the pixelate and blur regions have work to do.
QImage picture(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(QColor(230, 236, 240));
    QPainter p(&image);
    for (int x = 0; x < w; x += 24)
        p.fillRect(x, 0, 12, h, QColor(70, 120, 200));
    p.setBrush(QColor(240, 180, 40));
    p.drawEllipse(QPoint(w / 3, h / 2), h / 4, h / 4);
    return image;
}

void write_png(const fs::path& path, const QImage& image, double scale)
{
    const std::vector<std::uint8_t> png = output::encode(image, scale);
    testing_support::write_file(path, { reinterpret_cast<const char*>(png.data()), png.size() });
}

QImage read(const fs::path& path) { return QImage(QString::fromStdString(path.string()), "PNG"); }

TEST(EditorSelfCheck, FileNamesFollowTheOutputPath)
{
    EXPECT_EQ(editor::self_check_file("/tmp/x.png", ""), fs::path("/tmp/x.png"));
    std::vector<fs::path> names;
    for (const auto& suffix : SUFFIXES)
        names.push_back(editor::self_check_file("/tmp/x.png", suffix));
    EXPECT_EQ(names, (std::vector<fs::path> { "/tmp/x-window.png", "/tmp/x-spotlight.png", "/tmp/x-background.png",
                         "/tmp/x-window-background.png", "/tmp/x-window-crop.png", "/tmp/x-cropped.png" }));
    // Without an extension the whole name is the stem; only the last
    // extension goes, and a relative name stays relative.
    EXPECT_EQ(editor::self_check_file("/tmp/salida", "window"), fs::path("/tmp/salida-window.png"));
    EXPECT_EQ(editor::self_check_file("a.b.jpeg", "cropped"), fs::path("a.b-cropped.png"));
}

TEST(EditorSelfCheck, ResolutionComesFromThePngPhysicalSize)
{
    const QImage image = picture(40, 20);
    const auto dpi = [&](double scale) {
        const std::vector<std::uint8_t> png = output::encode(image, scale);
        return editor::png_dots_per_inch(png);
    };
    ASSERT_TRUE(dpi(2));
    EXPECT_NEAR(*dpi(2), 144, 0.1);
    EXPECT_FALSE(dpi(0)); // no pHYs written
    EXPECT_EQ(editor::picture_scale(40, dpi(2)), 2);
    EXPECT_EQ(editor::picture_scale(40, dpi(3)), 3);
    EXPECT_EQ(editor::picture_scale(40, dpi(0)), 1);
    EXPECT_EQ(editor::picture_scale(40, 96.0), 1); // 1.33 pixels a point
    EXPECT_EQ(editor::picture_scale(40, 36.0), 1); // never below 1
    // Past 8 pixels a point the file's claim is not believed: a scale of
    // 4000 would make an editor window of 10 × 5 pixels' worth of points.
    EXPECT_EQ(editor::picture_scale(4000, dpi(8)), 8);
    EXPECT_EQ(editor::picture_scale(4000, dpi(9)), 1);
    EXPECT_EQ(editor::picture_scale(4000, dpi(4000)), 1);
    EXPECT_EQ(editor::picture_scale(40, 1e12), 1);

    // A chunk whose length runs past the end, a unit other than the metre,
    // and bytes that are no PNG state nothing.
    std::vector<std::uint8_t> png = output::encode(image, 2);
    EXPECT_FALSE(editor::png_dots_per_inch(std::span(png).first(40)));
    const std::string bytes(png.begin(), png.end());
    const std::size_t at = bytes.find("pHYs");
    ASSERT_NE(at, std::string::npos);
    png[at + 12] = 0;
    EXPECT_FALSE(editor::png_dots_per_inch(png));
    const std::string jpeg = "\xff\xd8\xff\xe0 no PNG at all";
    EXPECT_FALSE(editor::png_dots_per_inch({ reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size() }));
}

struct Case {
    int w, h;
    double scale; // 0: no pHYs
};

TEST(EditorSelfCheck, PassesOnSmallAndNarrowPicturesAndWritesSevenFiles)
{
    testing_support::TempDir dir;
    for (const Case c : { Case { 700, 440, 2 }, Case { 400, 900, 0 }, Case { 1400, 300, 1 } }) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        const fs::path in = dir.path() / "entrada.png";
        const fs::path out = dir.path() / "salida.png";
        write_png(in, picture(c.w, c.h), c.scale);
        const auto checked = editor::debug_render(in.string(), out.string());
        ASSERT_TRUE(checked) << checked.error();

        EXPECT_EQ(read(out).size(), QSize(c.w, c.h));
        for (const auto& suffix : SUFFIXES)
            EXPECT_FALSE(read(editor::self_check_file(out, suffix)).isNull()) << suffix;
        const double m = std::round(editor::model::frame_margin(c.w, c.h, std::max(c.scale, 1.0)));
        EXPECT_EQ(read(editor::self_check_file(out, "background")).size(), QSize(c.w + 2 * int(m), c.h + 2 * int(m)));
        const QSize cropped = read(editor::self_check_file(out, "cropped")).size();
        EXPECT_LT(cropped.width(), c.w);
        EXPECT_LT(cropped.height(), c.h);
    }
}

TEST(EditorSelfCheck, FailsWithTheReasonWhenItCannotReadOrWrite)
{
    testing_support::TempDir dir;
    const fs::path missing = dir.path() / "no-existe.png";
    const auto unread = editor::debug_render(missing.string(), (dir.path() / "x.png").string());
    ASSERT_FALSE(unread);
    EXPECT_EQ(unread.error(), "no pude abrir " + missing.string());
    // Neither a file that is no picture nor a folder opens.
    testing_support::write_file(dir.path() / "texto.png", "no es una imagen");
    for (const fs::path& bad : { dir.path() / "texto.png", dir.path() }) {
        const auto refused = editor::debug_render(bad.string(), (dir.path() / "x.png").string());
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error(), "no pude abrir " + bad.string());
    }
    EXPECT_FALSE(fs::exists(dir.path() / "x.png"));

    // An output folder that is a file: the export's write says so.
    const fs::path in = dir.path() / "entrada.png";
    write_png(in, picture(500, 300), 1);
    const auto unwritten = editor::debug_render(in.string(), (in / "salida.png").string());
    ASSERT_FALSE(unwritten);
    EXPECT_NE(unwritten.error().find("entrada.png/salida.png"), std::string::npos) << unwritten.error();
}

} // namespace
