#include <gtest/gtest.h>

#include <cstring>

#include "transfer/content_range.h"
#include "transfer/http_downloader.h"

namespace {

bool parse(const char* line, ContentRange& range) {
    return parseContentRangeHeader(line, std::strlen(line), range);
}

TEST(ContentRange, ParsesSatisfiedRanges) {
    ContentRange range;
    ASSERT_TRUE(parse("Content-Range: bytes 1000-1999/3000\r\n", range));
    EXPECT_EQ(range.first, 1000u);
    EXPECT_EQ(range.last, 1999u);
    EXPECT_TRUE(range.completeLengthKnown);
    EXPECT_EQ(range.completeLength, 3000u);
    ASSERT_TRUE(parse("content-range:bytes 0-0/*\r\n", range));
    EXPECT_EQ(range.first, 0u);
    EXPECT_FALSE(range.completeLengthKnown);
    ASSERT_TRUE(parse("CONTENT-RANGE: bytes 4294967296-6442450943/6442450944\r\n", range));
    EXPECT_EQ(range.first, 4294967296u);
}

TEST(ContentRange, RejectsEverythingElse) {
    ContentRange range;
    EXPECT_FALSE(parse("Content-Range: bytes */3000\r\n", range));
    EXPECT_FALSE(parse("Content-Range: bytes 5-4/3000\r\n", range));
    EXPECT_FALSE(parse("Content-Range: items 0-4/30\r\n", range));
    EXPECT_FALSE(parse("Content-Range: bytes 0-4\r\n", range));
    EXPECT_FALSE(parse("Content-Length: 3000\r\n", range));
    EXPECT_FALSE(parse("Content-Range: bytes 99999999999999999999-1/2\r\n", range));
    EXPECT_FALSE(parse("Content-Range", range));
    EXPECT_FALSE(parse("Content-Range: bytes 0-999/10\r\n", range));
    EXPECT_FALSE(parse("Content-Range: bytes 0-1/garbage\r\n", range));
    EXPECT_FALSE(parse("Content-Range: bytes 0-1/\r\n", range));
}

TEST(RangeText, SixtyFourBitNumbers) {
    EXPECT_EQ(rangeText(0, 999), "0-999");
    EXPECT_EQ(rangeText(2000, 3000), "2000-3000");
    EXPECT_EQ(rangeText(2147483648u, 4294967295u), "2147483648-4294967295");
    EXPECT_EQ(rangeText(4294967296u, 6442450943u), "4294967296-6442450943");
}

TEST(ProgressScale, FitsTheLengthIntoThirtyTwoBits) {
    EXPECT_EQ(progressShift(3000), 0u);
    EXPECT_EQ(progressShift(0xFFFFFFFFull), 0u);
    EXPECT_EQ(progressShift(0x100000000ull), 1u);
    EXPECT_EQ(progressShift(6442450944ull), 1u);
    EXPECT_EQ(progressShift(0xFFFFFFFFFFull), 8u);
}

}  // namespace
