// The self-check's readings of its environment variables.
#include "record/recorder_check.h"

#include <gtest/gtest.h>

using recorder::parse_numbers;
using recorder::parse_u32;

TEST(RecorderCheck, CountdownValuesReadAsUnsigned32BitDecimals)
{
    EXPECT_EQ(parse_u32("abc"), std::nullopt);
    EXPECT_EQ(parse_u32("+3"), 3u);
    EXPECT_EQ(parse_u32("25"), 25u);
    EXPECT_EQ(parse_u32("-1"), std::nullopt);
    EXPECT_EQ(parse_u32("4294967295"), 4294967295u);
    EXPECT_EQ(parse_u32("4294967296"), std::nullopt);
    EXPECT_EQ(parse_u32(""), std::nullopt);
    EXPECT_EQ(parse_u32("+"), std::nullopt);
    EXPECT_EQ(parse_u32("++3"), std::nullopt);
    EXPECT_EQ(parse_u32("3 "), std::nullopt);
}

TEST(RecorderCheck, PointsKeepOnlyThePiecesThatAreNumbers)
{
    EXPECT_EQ(parse_numbers(" 10.5 , 20"), (std::vector<double> { 10.5, 20 }));
    EXPECT_EQ(parse_numbers("x,7,,nan,3"), (std::vector<double> { 7, 3 }));
    EXPECT_TRUE(parse_numbers("").empty());
    EXPECT_EQ(parse_numbers("42"), (std::vector<double> { 42 }));
}
