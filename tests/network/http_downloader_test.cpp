#include "transfer/http_downloader.h"

#include <atomic>

#include "support/platform.h"
#include "tests/network/network_test.h"
#include "tests/support/adjustable_transfer_limits.h"
#include "tests/support/test_environment.h"

namespace {

using testing_support::fileExists;
using testing_support::loggedRequests;
using testing_support::patternBytes;
using testing_support::readFileBytes;
using testing_support::ScopedTemporaryDirectory;
using testing_support::testServers;

struct ProgressCall {
    std::uint32_t total;
    std::uint32_t done;
};

// Records every hook call and notices calls that overlap.
class RecordingDownloader : public HttpDownloader {
public:
    void onProgress(std::uint32_t total, std::uint32_t done) override {
        if (inside_.exchange(true)) {
            overlapped = true;
        }
        calls.push_back({total, done});
        inside_ = false;
    }

    std::vector<ProgressCall> calls;
    std::atomic<bool> overlapped{false};

    // The hook's promises: constant total, a count that never falls, and the end at the total
    // when the download succeeded.
    void expectProgressContract(std::uint32_t expectedTotal, bool succeeded) const {
        EXPECT_FALSE(overlapped);
        ASSERT_FALSE(calls.empty());
        std::uint32_t previous = 0;
        for (const ProgressCall& call : calls) {
            EXPECT_EQ(call.total, expectedTotal);
            EXPECT_GE(call.done, previous);
            previous = call.done;
        }
        if (succeeded) {
            EXPECT_EQ(calls.back().done, expectedTotal);
        }
    }

private:
    std::atomic<bool> inside_{false};
};

std::vector<std::string> rangedRequests(const std::string& path) {
    std::vector<std::string> ranges;
    for (const std::string& request : loggedRequests(path)) {
        if (request != "HEAD") {
            ranges.push_back(request);
        }
    }
    return sorted(ranges);
}

class Download : public ::testing::Test {
protected:
    int download(const std::string& pathAndQuery, int segments = 3) {
        return downloader.download(testServers().faultUrl(pathAndQuery), output, segments);
    }

    ScopedTemporaryDirectory temp;
    std::u16string output = temp.file(u"installer.exe");
    RecordingDownloader downloader;
};

TEST_F(Download, ThreeEqualRanges) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3000");
    EXPECT_EQ(download(path), kDownloadOk);
    EXPECT_EQ(rangedRequests(path),
              (std::vector<std::string>{"GET bytes=0-999", "GET bytes=1000-1999",
                                        "GET bytes=2000-2999"}));
    EXPECT_EQ(loggedRequests(path).front(), "HEAD");
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 3000));
    downloader.expectProgressContract(3000, true);
    EXPECT_TRUE(downloader.segments.empty());
}

TEST_F(Download, LastRangeTakesTheRemainder) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3001");
    EXPECT_EQ(download(path), kDownloadOk);
    EXPECT_EQ(rangedRequests(path).back(), "GET bytes=2000-3000");
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 3001));
}

TEST_F(Download, OneSegmentIsOneRange) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3000");
    EXPECT_EQ(download(path, 1), kDownloadOk);
    EXPECT_EQ(rangedRequests(path), std::vector<std::string>{"GET bytes=0-2999"});
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 3000));
}

TEST_F(Download, FewerBytesThanSegmentsUsesFewerSegments) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/2");
    EXPECT_EQ(download(path), kDownloadOk);
    EXPECT_EQ(rangedRequests(path), (std::vector<std::string>{"GET bytes=0-0", "GET bytes=1-1"}));
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 2));
}

TEST_F(Download, BrokenTransferResumesAtTheFirstMissingByte) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3000");
    EXPECT_EQ(download(path + "?cut=0:400:1"), kDownloadOk);
    const std::vector<std::string> ranges = rangedRequests(path);
    EXPECT_NE(std::find(ranges.begin(), ranges.end(), "GET bytes=400-999"), ranges.end());
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 3000));
    downloader.expectProgressContract(3000, true);
}

TEST_F(Download, SecondPassFetchesTheLastMissingByte) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3000");
    // The first attempt stops one byte short; the worker's four retries are refused; the
    // second pass on the calling thread then asks for that one byte.
    EXPECT_EQ(download(path + "?cut=0:999:1&drop=999:4"), kDownloadOk);
    const std::vector<std::string> ranges = rangedRequests(path);
    EXPECT_EQ(std::count(ranges.begin(), ranges.end(), "GET bytes=999-999"), 5);
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 3000));
    downloader.expectProgressContract(3000, true);
}

TEST_F(Download, MissingDirectoryMakesNoRequest) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3000");
    const std::u16string nowhere =
        temp.path() + u"missing" + platform::pathSeparator() + u"installer.exe";
    EXPECT_EQ(downloader.download(testServers().faultUrl(path), nowhere, 3), kDownloadCannotOpen);
    EXPECT_TRUE(loggedRequests(path).empty());
}

TEST_F(Download, FailedLengthQueryLeavesAClosedFile) {
    const std::string dead =
        "http://127.0.0.1:" + std::to_string(testing_support::deadLoopbackPort()) + "/s.exe";
    EXPECT_EQ(downloader.download(dead, output, 3), kDownloadNoLength);
    EXPECT_TRUE(downloader.calls.empty());
    EXPECT_TRUE(platform::removeFile(output));
}

TEST_F(Download, LongerExistingFileIsCutToTheResource) {
    REQUIRE_TEST_SERVERS();
    testing_support::writeFileBytes(output, std::string(5000, 'x'));
    EXPECT_EQ(download(uniquePath("/res/3000")), kDownloadOk);
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 3000));
}

TEST_F(Download, ServerIgnoringRangesFallsBackToOneWholeTransfer) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/100000");
    EXPECT_EQ(download(path + "?ignore_range=1"), kDownloadOk);
    const std::vector<std::string> requests = loggedRequests(path);
    EXPECT_NE(std::find(requests.begin(), requests.end(), "GET"), requests.end());
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 100000));
    downloader.expectProgressContract(100000, true);
}

TEST_F(Download, WholeBodyLongerThanTheLengthFails) {
    REQUIRE_TEST_SERVERS();
    EXPECT_EQ(download(uniquePath("/res/3000") + "?ignore_range=1&over=50"), kDownloadIncomplete);
    EXPECT_LE(readFileBytes(output).size(), 3000u);
}

TEST_F(Download, WrongContentRangeIsNeverWritten) {
    REQUIRE_TEST_SERVERS();
    EXPECT_EQ(download(uniquePath("/res/3000") + "?wrong_range=1"), kDownloadIncomplete);
    EXPECT_EQ(readFileBytes(output), "");
}

TEST_F(Download, ErrorPagesAreNeverWritten) {
    REQUIRE_TEST_SERVERS();
    EXPECT_EQ(download(uniquePath("/res/3000") + "?status=404"), kDownloadIncomplete);
    EXPECT_EQ(readFileBytes(output), "");
}

TEST_F(Download, BodyShorterThanItsLengthIsIncomplete) {
    REQUIRE_TEST_SERVERS();
    EXPECT_EQ(download(uniquePath("/res/3000") + "?short=10"), kDownloadIncomplete);
    downloader.expectProgressContract(3000, false);
}

TEST_F(Download, FailedWriteEndsTheDownloadAsIncomplete) {
    REQUIRE_TEST_SERVERS();
    if (!testing_support::limitFileSizeForTest(2000)) {
        GTEST_SKIP() << "no per-process file size limit on this platform";
    }
    const int result = download(uniquePath("/res/3000"));
    testing_support::limitFileSizeForTest(0);
    EXPECT_EQ(result, kDownloadIncomplete);
    // Only whole, successful writes were counted (whichever segment hit the limit first, the
    // others may have written nothing at all).
    for (const ProgressCall& call : downloader.calls) {
        EXPECT_LE(call.done, 2000u);
    }
    // What the file holds is the resource's bytes or bytes never written.
    const std::string written = readFileBytes(output);
    const std::string expected = patternBytes(0, written.size());
    ASSERT_LE(written.size(), 2000u);
    for (std::size_t i = 0; i < written.size(); ++i) {
        ASSERT_TRUE(written[i] == expected[i] || written[i] == '\0') << "byte " << i;
    }
}

TEST_F(Download, StalledSegmentIsAbortedByTheNoDataBound) {
    REQUIRE_TEST_SERVERS();
    setTransferLimitsForTest(TransferLimits{30, 1});
    const std::string path = uniquePath("/res/3000");
    // One segment keeps it short: five attempts in the worker, five in the second pass, each
    // ended by the bound instead of the server's two-minute silence.
    const int result = download(path + "?stall=120", 1);
    restoreDefaultTransferLimits();
    EXPECT_EQ(result, kDownloadIncomplete);
    EXPECT_EQ(rangedRequests(path).size(), 10u);
}

TEST_F(Download, RangesBeyondFourGibibytesArePrintedWhole) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/6442450944");
    // Every ranged request is refused, so nothing is transferred: only the range texts matter.
    EXPECT_EQ(download(path + "?drop=*:1000"), kDownloadIncomplete);
    const std::vector<std::string> ranges = rangedRequests(path);
    EXPECT_NE(std::find(ranges.begin(), ranges.end(), "GET bytes=0-2147483647"), ranges.end());
    EXPECT_NE(std::find(ranges.begin(), ranges.end(), "GET bytes=2147483648-4294967295"),
              ranges.end());
    EXPECT_NE(std::find(ranges.begin(), ranges.end(), "GET bytes=4294967296-6442450943"),
              ranges.end());
}

TEST_F(Download, NginxOverHttpAndHttps) {
    REQUIRE_TEST_SERVERS();
    const std::string content = patternBytes(12345, 200000);
    testing_support::writeFileBytes(
        testing_support::widen(testServers().filesDirectory + "/engine.bin"), content);
    for (bool https : {false, true}) {
        RecordingDownloader fresh;
        EXPECT_EQ(fresh.download(testServers().nginxUrl("/engine.bin", https), output, 3),
                  kDownloadOk);
        EXPECT_EQ(readFileBytes(output), content);
        fresh.expectProgressContract(200000, true);
    }
}

}  // namespace
