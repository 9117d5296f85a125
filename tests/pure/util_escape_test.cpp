#include "base/util.h"

#include <gtest/gtest.h>

TEST(UtilEscape, ControlsAndBrokenBytesBecomeHexAndTextStays)
{
    EXPECT_EQ(util::escape_controls("vistrope://capture-area"), "vistrope://capture-area");
    EXPECT_EQ(util::escape_controls("ñandú €😀 \"q\""), "ñandú €😀 \"q\"");
    // Line breaks would forge a log line, ESC and CSI (C1, as U+009B) steer a terminal.
    EXPECT_EQ(util::escape_controls("a\nb\r\x1b[2J\x7f\xc2\x9b"), "a\\x0Ab\\x0D\\x1B[2J\\x7F\\xC2\\x9B");
    EXPECT_EQ(util::escape_controls(std::string("\0\t", 2)), "\\x00\\x09");
    // The backslash is escaped too, so "\x41" in a URL cannot pass for an escape.
    EXPECT_EQ(util::escape_controls("\\x41"), "\\x5Cx41");
    // Bytes that are not UTF-8 (a lone 0x9B is CSI on 8-bit terminals): one escape each.
    EXPECT_EQ(util::escape_controls("\x9b\xff\xc3(\xe2\x82"), "\\x9B\\xFF\\xC3(\\xE2\\x82");
    // Just past the C1 range is ordinary text.
    EXPECT_EQ(util::escape_controls("\xc2\xa0"), "\xc2\xa0");
}

TEST(UtilEscape, Utf8SequenceLengths)
{
    EXPECT_EQ(util::utf8_sequence("a"), 1u);
    EXPECT_EQ(util::utf8_sequence("\xc3\xb1"), 2u);
    EXPECT_EQ(util::utf8_sequence("\xe2\x82\xac"), 3u);
    EXPECT_EQ(util::utf8_sequence("\xf4\x8f\xbf\xbf"), 4u); // U+10FFFF
    for (const char* bad : { "\x80", "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xed\xa0\x80", "\xf0\x80\x80\x80", "\xf4\x90\x80\x80",
             "\xf5\x80\x80\x80", "\xe2\x82", "\xc3" })
        EXPECT_EQ(util::utf8_sequence(bad), 0u) << testing::PrintToString(std::string(bad));
}
