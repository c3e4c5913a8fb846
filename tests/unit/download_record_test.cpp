#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "job/abandoned_runs.h"
#include "job/download_cache.h"
#include "job/download_record.h"
#include "transfer/byte_ranges.h"
#include "transfer/download_plan.h"

namespace {

const std::string kDigest(64, 'a');

DownloadRecord sampleRecord() {
    DownloadRecord record;
    record.length = 3000;
    record.digest = kDigest;
    record.sources = {{"http://a/setup.exe", {"\"v1\"", "Tue, 01 Dec 2026 10:00:00 GMT"}},
                      {"http://b/setup.exe", {"", "Wed, 02 Dec 2026 10:00:00 GMT"}}};
    record.present = {{0, 99}, {1000, 1999}, {2999, 2999}};
    return record;
}

TEST(DownloadRecord, ReadsBackWhatItWrites) {
    const DownloadRecord record = sampleRecord();
    const std::optional<DownloadRecord> read = parseDownloadRecord(formatDownloadRecord(record));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->length, record.length);
    EXPECT_EQ(read->digest, record.digest);
    ASSERT_EQ(read->sources.size(), 2u);
    EXPECT_EQ(read->sources[0].url, "http://a/setup.exe");
    EXPECT_EQ(read->sources[0].version.etag, "\"v1\"");
    EXPECT_EQ(read->sources[1].version.lastModified, "Wed, 02 Dec 2026 10:00:00 GMT");
    EXPECT_EQ(read->present, record.present);
}

TEST(DownloadRecord, RefusesAnythingElse) {
    const std::string good = formatDownloadRecord(sampleRecord());
    const auto replaced = [&](const std::string& from, const std::string& to) {
        std::string text = good;
        text.replace(text.find(from), from.size(), to);
        return text;
    };
    const std::string cases[] = {
        "",
        good.substr(0, good.size() - 4),  // no "end"
        good + "have 5 6\n",              // after "end"
        good.substr(0, good.size() - 1),  // last line unfinished
        replaced("downloader-resume 1", "downloader-resume 2"),
        replaced("length 3000", "length 0"),
        replaced("length 3000", "length 03000"),
        replaced("length 3000", "length 99999999999999999999"),
        replaced("length 3000", "length -1"),
        replaced("have 2999 2999", "have 2999 3000"),  // past the end
        replaced("have 1000 1999", "have 1999 1000"),  // backwards
        replaced("have 1000 1999", "have 50 1999"),    // overlaps
        replaced("have 1000 1999", "have 100 1999"),   // touches: not merged
        replaced("have 0 99", "have 0"),
        replaced("digest " + kDigest, "digest " + std::string(64, 'A')),
        replaced("digest " + kDigest, "digest abc"),
        replaced("etag \"v1\"", "etag \"v1\"\x01"),
        replaced("source http://a/setup.exe", "source"),
        replaced("end\n", "unknown 1\nend\n"),
        replaced("length 3000\n", "length 3000\r\n"),
        replaced("source http://a/setup.exe\n", "have 0 1\nsource http://a/setup.exe\n"),
        std::string(kMaxRecordBytes + 1, 'x'),
    };
    for (const std::string& text : cases) {
        EXPECT_FALSE(parseDownloadRecord(text)) << text;
    }
}

TEST(DownloadRecord, NeverWritesALineBreakOfAValue) {
    DownloadRecord record = sampleRecord();
    record.sources[0].version.etag = "\"v1\"\nhave 0 2999";
    EXPECT_EQ(formatDownloadRecord(record), "");
}

TEST(DownloadRecord, EntryNamesComeFromTheDigestElseTheAddress) {
    const std::string name = cacheEntryName(kDigest, "http://a/setup.exe");
    EXPECT_EQ(name.size(), 32u);
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(name, cacheEntryName(std::string(64, 'A'), "http://b/other.exe"));
    EXPECT_NE(cacheEntryName("", "http://a/setup.exe"), cacheEntryName("", "http://b/setup.exe"));
    EXPECT_NE(name, cacheEntryName("", "http://a/setup.exe"));
}

TEST(DownloadRecord, ResumesOnlyTheSameResource) {
    const ResourceVersion v1{"\"v1\"", "Tue, 01 Dec 2026 10:00:00 GMT"};
    const ResourceVersion dateOnly{"", "Tue, 01 Dec 2026 10:00:00 GMT"};
    const ByteRanges some{{0, 99}};
    const struct {
        const char* why;
        std::uint64_t lengthThen;
        ResourceVersion then;
        bool sameDigest;
        ByteRanges present;
        std::uint64_t length;
        ResourceVersion now;
        bool fits;
    } cases[] = {
        {"same ETag", 3000, v1, false, some, 3000, v1, true},
        {"other ETag", 3000, v1, false, some, 3000, {"\"v2\"", v1.lastModified}, false},
        {"ETag gone", 3000, v1, false, some, 3000, dateOnly, false},
        {"same date", 3000, dateOnly, false, some, 3000, dateOnly, true},
        {"other date", 3000, dateOnly, false, some, 3000, {"", "Wed"}, false},
        {"no validator", 3000, {}, false, some, 3000, {}, false},
        {"other length", 3000, v1, false, some, 3001, v1, false},
        {"digest, no validator", 3000, {}, true, some, 3000, {}, true},
        {"digest, other ETag", 3000, v1, true, some, 3000, {"\"v2\"", ""}, true},
        {"digest, other length", 3000, {}, true, some, 2999, {}, false},
        {"nothing present", 3000, v1, true, {}, 3000, v1, false},
        {"range past the end", 3000, v1, true, {{0, 3000}}, 3000, v1, false},
    };
    for (const auto& c : cases) {
        ResumePoint earlier;
        earlier.length = c.lengthThen;
        earlier.versions = {{"http://b/", {}}, {"http://a/", c.then}};
        earlier.sameDigest = c.sameDigest;
        earlier.present = c.present;
        EXPECT_EQ(resumeFits(earlier, c.length, "http://a/", c.now), c.fits) << c.why;
        // Another address's validators say nothing of these bytes; only the digest does.
        EXPECT_EQ(resumeFits(earlier, c.length, "http://c/", c.now), c.fits && c.sameDigest)
            << c.why << ", another address";
    }
}

TEST(DownloadRecord, ResumePointTakesTheValidatorsOfEachAddressAndTheDigest) {
    const DownloadRecord record = sampleRecord();
    const ResumePoint a = resumePointFor(record, std::string(64, 'A'));
    EXPECT_TRUE(a.sameDigest);
    EXPECT_EQ(a.versionOf("http://a/setup.exe").etag, "\"v1\"");
    EXPECT_EQ(a.versionOf("http://b/setup.exe").lastModified, "Wed, 02 Dec 2026 10:00:00 GMT");
    EXPECT_TRUE(a.versionOf("http://c/setup.exe").ifRange().empty());
    EXPECT_FALSE(resumePointFor(record, "").sameDigest);
    EXPECT_TRUE(recordCanResume(record));
    DownloadRecord bare = record;
    bare.digest.clear();
    bare.sources = {{"http://a/setup.exe", {}}};
    EXPECT_FALSE(recordCanResume(bare));
}

// Clean-up touches only the names that runs make.
TEST(DownloadRecord, OnlyTheNamesOfRunsAreCleanedUp) {
    const std::u16string hex = u"0123456789abcdef0123456789abcdef";
    const struct {
        std::u16string name;
        bool workingFolder;
        const char* entry;  // null: no cache entry's file
    } cases[] = {
        {u"downloader-" + hex, true, nullptr},
        {u"downloader-" + hex + u"0", false, nullptr},
        {u"downloader-0123456789ABCDEF0123456789abcdef", false, nullptr},
        {u"downloader-cache", false, nullptr},
        {u"downloader_log.txt", false, nullptr},
        {u"Downloader-" + hex, false, nullptr},
        {hex + u".part", false, "0123456789abcdef0123456789abcdef"},
        {hex + u".rec", false, "0123456789abcdef0123456789abcdef"},
        {hex + u".rec.new", false, "0123456789abcdef0123456789abcdef"},
        {hex + u".exe", false, nullptr},
        {hex, false, nullptr},
        {u"x" + hex.substr(1) + u".part", false, nullptr},
        {hex + u".part.lnk", false, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isWorkingFolderName(c.name), c.workingFolder);
        const std::optional<std::string> entry = cacheEntryOfFile(c.name);
        EXPECT_EQ(entry.has_value(), c.entry != nullptr);
        if (entry && c.entry) {
            EXPECT_EQ(*entry, c.entry);
        }
    }
}

TEST(ByteRanges, SetsMergeWhatTouches) {
    ByteRangeSet set;
    set.add(10, 19);
    set.add(30, 39);
    set.add(20, 29);  // joins both
    set.add(50, 59);
    set.add(45, 52);
    set.add(0, 0);
    EXPECT_EQ(set.ranges(), (ByteRanges{{0, 0}, {10, 39}, {45, 59}}));
    EXPECT_EQ(set.byteCount(), 1u + 30u + 15u);
    set.add(0, 100);
    EXPECT_EQ(set.ranges(), (ByteRanges{{0, 100}}));
    EXPECT_EQ(set.byteCount(), 101u);
}

TEST(ByteRanges, MissingBytesAreSharedOutEqually) {
    const struct {
        std::uint64_t length;
        ByteRanges present;
        std::uint64_t count;
        ByteRanges expected;
    } cases[] = {
        {3000, {}, 3, {{0, 999}, {1000, 1999}, {2000, 2999}}},
        {3001, {}, 3, {{0, 999}, {1000, 1999}, {2000, 3000}}},
        {2, {}, 3, {{0, 0}, {1, 1}}},
        {3000, {{0, 2999}}, 3, {}},
        {3000, {{0, 1499}}, 3, {{1500, 1999}, {2000, 2499}, {2500, 2999}}},
        // The missing bytes in two holes: a share that spans the present range is cut in two.
        {3000, {{500, 1999}}, 3, {{0, 499}, {2000, 2499}, {2500, 2999}}},
        {3000, {{400, 1999}}, 3, {{0, 399}, {2000, 2065}, {2066, 2531}, {2532, 2999}}},
        {10, {{1, 8}}, 3, {{0, 0}, {9, 9}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rangesToFetch(c.length, c.present, c.count), c.expected) << c.length;
    }
}

}  // namespace
