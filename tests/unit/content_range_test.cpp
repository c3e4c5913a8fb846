#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "transfer/answer_headers.h"
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

AnswerHeaders headersOf(const std::vector<std::string>& lines) {
    AnswerHeaders headers;
    for (const std::string& line : lines) {
        headers.read(line.data(), line.size());
    }
    return headers;
}

TEST(AnswerHeaders, EncodingAndValidators) {
    struct Case {
        std::vector<std::string> lines;
        bool encoded;
        std::string etag;
        std::string lastModified;
    };
    const std::vector<Case> cases = {
        {{"Content-Encoding: gzip\r\n"}, true, "", ""},
        {{"content-encoding:  Identity \r\n"}, false, "", ""},
        {{"Content-Encoding: gzip, identity\r\n"}, true, "", ""},
        {{"ETag: \"abc\"\r\n", "Last-Modified: Tue, 08 Dec 2026 10:00:00 GMT\r\n"},
         false,
         "\"abc\"",
         "Tue, 08 Dec 2026 10:00:00 GMT"},
        // A weak tag promises no identical bytes: it is not kept.
        {{"ETag: W/\"abc\"\r\n"}, false, "", ""},
        // A status line starts the next response and forgets the previous one's headers.
        {{"ETag: \"old\"\r\n", "Content-Encoding: gzip\r\n", "HTTP/1.1 206 Partial\r\n"},
         false,
         "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines.front());
        const AnswerHeaders headers = headersOf(c.lines);
        EXPECT_EQ(headers.encoded, c.encoded);
        EXPECT_EQ(headers.version.etag, c.etag);
        EXPECT_EQ(headers.version.lastModified, c.lastModified);
    }
}

TEST(ResourceVersion, TheValidatorRelieduponDecides) {
    const ResourceVersion tagged{"\"v1\"", "Mon"};
    EXPECT_EQ(tagged.ifRange(), "\"v1\"");
    EXPECT_TRUE(tagged.contradictedBy({"\"v2\"", "Mon"}));
    EXPECT_FALSE(tagged.contradictedBy({"\"v1\"", "Tue"}));  // the tag decides, not the date
    EXPECT_FALSE(tagged.contradictedBy({"", ""}));           // nothing to compare
    const ResourceVersion dated{"", "Mon"};
    EXPECT_EQ(dated.ifRange(), "Mon");
    EXPECT_TRUE(dated.contradictedBy({"\"v1\"", "Tue"}));
    EXPECT_FALSE(dated.contradictedBy({"\"v1\"", "Mon"}));
    const ResourceVersion unknown;
    EXPECT_EQ(unknown.ifRange(), "");
    EXPECT_FALSE(unknown.contradictedBy({"\"v2\"", "Tue"}));
}

}  // namespace
