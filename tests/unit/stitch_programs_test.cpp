// The stitcher on frames of real programs, grabbed in the test desktop before
// and after a few wheel clicks and kept small (grey, six levels): numbers at
// the left edge of an xterm's white page, xterm lines of one shape
// ("line 001", "line 002", …), and a mousepad document whose scroll bar is
// the only other change, a few columns wide.
#include "codec/stitch.h"

#include <QImage>
#include <QString>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

QImage fixture(const std::string& name)
{
    QImage image(QString::fromStdString(std::string(VISTROPE_FIXTURES) + "/stitch/" + name + ".png"));
    return image.convertToFormat(QImage::Format_ARGB32); // B, G, R, A in memory
}

stitch::Frame frame_of(const QImage& image)
{
    return { { image.constBits(), std::size_t(image.sizeInBytes()) }, std::uint32_t(image.width()),
        std::uint32_t(image.height()), std::size_t(image.bytesPerLine()) };
}

// Whether row ra of a equals row rb of b in their first `columns` pixels
// (all of them by default).
bool same_row(const QImage& a, int ra, const QImage& b, int rb, int columns = -1)
{
    const int n = columns < 0 ? a.width() : columns;
    return std::memcmp(a.constScanLine(ra), b.constScanLine(rb), std::size_t(n) * 4) == 0;
}

bool plain_row(const QImage& image, int row)
{
    const auto* px = reinterpret_cast<const std::uint32_t*>(image.constScanLine(row));
    for (int x = 1; x < image.width(); ++x)
        if (px[x] != px[0])
            return false;
    return true;
}

// The offset found by looking at every one: the one under which the most rows
// that hold something equal their counterparts in the earlier frame.
int brute_force_offset(const QImage& before, const QImage& after)
{
    int best = 0, best_rows = -1;
    for (int d = 1; d + 16 < after.height(); ++d) {
        int rows = 0;
        for (int r = 0; r + d < after.height(); ++r)
            rows += !plain_row(after, r) && same_row(after, r, before, r + d);
        if (rows > best_rows) {
            best = d;
            best_rows = rows;
        }
    }
    return best;
}

} // namespace

TEST(StitchRealPrograms, SparsePagesJoinAtTheirTrueOffset)
{
    // name, the wheel's motion in rows at least (whole lines of 19 rows in
    // the xterm; mousepad scrolls by pixels)
    const struct {
        const char* name;
        int at_least;
    } cases[] = { { "xterm_numbers", 10 * 19 }, { "xterm_lines", 5 * 19 }, { "mousepad_lines", 100 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QImage a = fixture(std::string(c.name) + "_a");
        const QImage b = fixture(std::string(c.name) + "_b");
        ASSERT_FALSE(a.isNull());
        ASSERT_EQ(a.size(), b.size());
        const int offset = brute_force_offset(a, b);
        ASSERT_GE(offset, c.at_least);

        stitch::Stitcher stitcher(2, 30000);
        EXPECT_EQ(stitcher.push(frame_of(a)).kind, stitch::Step::Kind::First);
        const stitch::Step step = stitcher.push(frame_of(b));
        ASSERT_EQ(step.kind, stitch::Step::Kind::Moved) << stitch::debug_text(step);
        EXPECT_EQ(step.offset, offset);
        // The same frame again is no motion.
        EXPECT_EQ(stitcher.push(frame_of(b)).kind, stitch::Step::Kind::Unchanged);
        EXPECT_EQ(stitcher.unjoined(), 0u);

        // One picture: the first frame above its fixed footer, then what the
        // second revealed, then the footer. Mousepad's scroll bar (its last
        // 20 columns) moved with the page: the picture keeps its first place.
        auto image = std::move(stitcher).finish();
        ASSERT_TRUE(image);
        ASSERT_EQ(int(image->height), a.height() + offset);
        const QImage joined(image->pixels.data(), int(image->width), int(image->height), int(image->width) * 4,
            QImage::Format_ARGB32);
        const int h = a.height();
        int header = 0, footer = 0;
        while (header < h && same_row(a, header, b, header))
            ++header;
        while (footer < h && same_row(a, h - 1 - footer, b, h - 1 - footer))
            ++footer;
        const int columns = a.width() - 20;
        int wrong = 0;
        for (int r = 0; r < h - footer; ++r)
            wrong += !same_row(joined, r, a, r, columns);
        for (int r = header; r < h; ++r)
            wrong += !same_row(joined, joined.height() - h + r, b, r, columns);
        EXPECT_EQ(wrong, 0);
    }
}

TEST(StitchRealPrograms, ACaretIsNoMotionAndAnotherPageIsNoJoin)
{
    const QImage a = fixture("xterm_numbers_a");
    // A caret two pixels wide and one line high blinks beside the last number.
    QImage caret = a.copy();
    for (int y = 40; y < 59; ++y)
        for (int x = 30; x < 32; ++x)
            caret.setPixel(x, y, 0xff000000);
    stitch::Stitcher stitcher(2, 30000);
    stitcher.push(frame_of(a));
    EXPECT_EQ(stitcher.push(frame_of(caret)).kind, stitch::Step::Kind::Unchanged);
    EXPECT_EQ(stitcher.unjoined(), 0u);
    // A page of other lines in the same place cannot be joined, and says so.
    EXPECT_EQ(stitcher.push(frame_of(fixture("xterm_lines_a"))).kind, stitch::Step::Kind::Lost);
    EXPECT_EQ(stitcher.unjoined(), 1u);
    EXPECT_EQ(stitcher.frames(), 1u);
}
