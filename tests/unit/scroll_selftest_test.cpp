// The parts of the scrolling-capture self-test that need no display.
#include "test_util.h"

#include "capture/output.h"
#include "scroll/scroll_test.h"

#include <QImage>

#include <gtest/gtest.h>

#include <fstream>

namespace {

void write(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

} // namespace

TEST(ScrollSelfTest, TheDocumentIsFixedAndWhole)
{
    const std::string doc = scroll::test_document();
    EXPECT_EQ(doc, scroll::test_document());
    EXPECT_TRUE(doc.starts_with("<html><head><meta charset=\"utf-8\"></head>"));
    EXPECT_TRUE(doc.ends_with("<p><b>FIN DEL DOCUMENTO</b></p></body></html>\n"));
    // 240 lines in 8 sections, a rule every 17 lines.
    auto count = [&](std::string_view what) {
        std::size_t n = 0;
        for (std::size_t at = doc.find(what); at != std::string::npos; at = doc.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("<p style=\"color: "), 240u);
    EXPECT_EQ(count("<h2>Sección "), 8u);
    EXPECT_EQ(count("<hr>"), 14u);
    EXPECT_NE(doc.find("<b>Línea 001</b> — "), std::string::npos);
    EXPECT_NE(doc.find("<b>Línea 240</b> — "), std::string::npos);
    EXPECT_NE(doc.find("<h2>Sección 8</h2>"), std::string::npos);
    EXPECT_EQ(doc.find("<h2>Sección 9</h2>"), std::string::npos);
}

TEST(ScrollSelfTest, HeightComesFromTheHeaderAndOnlyNewFilesCount)
{
    const testing_support::TempDir tmp;
    const std::filesystem::path& dir = tmp.path();
    QImage image(3, 1234, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::red);
    write(dir / "Vistrope viejo.png", output::encode(image, 1.0));
    EXPECT_EQ(scroll::png_height(dir / "Vistrope viejo.png"), 1234u);
    write(dir / "corto.png", { 0x89, 'P', 'N', 'G' });
    EXPECT_FALSE(scroll::png_height(dir / "corto.png"));
    write(dir / "falso.png", std::vector<std::uint8_t>(40, 'x'));
    EXPECT_FALSE(scroll::png_height(dir / "falso.png"));
    EXPECT_FALSE(scroll::png_height(dir / "no-existe.png"));

    // An earlier run's capture is no answer; neither is another name.
    const std::set<std::string> before = scroll::capture_names(dir);
    EXPECT_EQ(before, std::set<std::string> { "Vistrope viejo.png" });
    EXPECT_FALSE(scroll::new_capture(dir, before));
    write(dir / "capsula.png", { 1 });
    write(dir / "Vistrope nuevo.jpg", { 1 });
    EXPECT_FALSE(scroll::new_capture(dir, before));
    write(dir / "Vistrope nuevo.png", { 1 });
    EXPECT_EQ(scroll::new_capture(dir, before), dir / "Vistrope nuevo.png");
}
