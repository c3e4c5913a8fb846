#include "transfer/http_downloader.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>

#include "support/platform.h"
#include "tests/network/curl_init_failures.h"
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

// Records every hook call and notices calls that overlap; with a watched log, also the log's
// length at every call, that is, while the workers run.
class RecordingDownloader : public HttpDownloader {
public:
    void onProgress(std::uint32_t total, std::uint32_t done) override {
        if (inside_.exchange(true)) {
            overlapped = true;
        }
        calls.push_back({total, done});
        if (!watchedLog.empty()) {
            logLengths.push_back(readFileBytes(watchedLog).size());
        }
        inside_ = false;
    }

    std::vector<ProgressCall> calls;
    std::atomic<bool> overlapped{false};
    std::u16string watchedLog;
    std::vector<std::size_t> logLengths;

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

TEST_F(Download, HandlesThatCannotBeMadeCountAsFailedAttempts) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/3000");
    // The length query gets its handle; the range's first two attempts do not.
    failCurlInits(1, 2);
    const int result = download(path, 1);
    failCurlInits(0, 0);
    EXPECT_EQ(result, kDownloadOk);
    EXPECT_EQ(rangedRequests(path), std::vector<std::string>{"GET bytes=0-2999"});
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 3000));
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

using testing_support::LoggedRequest;
using testing_support::loggedRequestDetails;

std::vector<LoggedRequest> gets(const std::vector<LoggedRequest>& requests) {
    std::vector<LoggedRequest> out;
    std::copy_if(requests.begin(), requests.end(), std::back_inserter(out),
                 [](const LoggedRequest& request) { return request.method == "GET"; });
    return out;
}

bool startsAreDistinct(const std::vector<LoggedRequest>& requests) {
    std::vector<std::uint64_t> starts;
    for (const LoggedRequest& request : requests) {
        starts.push_back(request.first);
    }
    std::sort(starts.begin(), starts.end());
    return std::adjacent_find(starts.begin(), starts.end()) == starts.end();
}

// True when every byte of the file is the resource's byte at its offset or was never written.
bool onlyResourceBytes(const std::string& written) {
    const std::string expected = patternBytes(0, written.size());
    for (std::size_t i = 0; i < written.size(); ++i) {
        if (written[i] != expected[i] && written[i] != '\0') {
            return false;
        }
    }
    return true;
}

// Servers that answer wrongly or unkindly: what the download returns, whether the file ends
// up whole, and what was asked of the server.
struct ServerBehaviour {
    const char* name;
    std::uint64_t size;
    const char* query;
    int result;
    bool whole;  // else the file holds nothing but resource bytes and zeros
    std::function<void(const std::vector<LoggedRequest>&)> checkRequests;
};

TEST_F(Download, ServerBehaviours) {
    REQUIRE_TEST_SERVERS();
    const std::vector<ServerBehaviour> behaviours = {
        // The length of an error page is no length: no ranged request follows.
        {"error-status-for-the-length", 3000, "status=404", kDownloadNoLength, false,
         [](const std::vector<LoggedRequest>& requests) {
             ASSERT_EQ(requests.size(), 1u);
             EXPECT_EQ(requests[0].method, "HEAD");
         }},
        // Content-Range declares 100 bytes, the body is the whole range with filler after
        // them: only the declared bytes are written, and each range is asked again for the
        // rest without using up its attempts.
        {"declared-end-shorter-than-the-body", 3000, "short_declared=100", kDownloadOk, true,
         [](const std::vector<LoggedRequest>& requests) {
             EXPECT_EQ(gets(requests).size(), 30u);
             EXPECT_TRUE(startsAreDistinct(gets(requests)));
         }},
        // A server that answers at most 64 KiB per request.
        {"ranges-capped-at-64KiB", 600000, "range_cap=65536", kDownloadOk, true,
         // At least four requests per range (more when a range done early takes over part of
         // another), none asking twice.
         [](const std::vector<LoggedRequest>& requests) {
             EXPECT_GE(gets(requests).size(), 12u);
             EXPECT_TRUE(startsAreDistinct(gets(requests)));
         }},
        {"unasked-gzip", 3000, "gzip=1", kDownloadIncomplete, false, nullptr},
        // Two ranges of version 1, then version 2 with the same length: never mixed.
        {"version-change-between-ranges", 300000, "etag=1&version_after=2", kDownloadIncomplete,
         false,
         [](const std::vector<LoggedRequest>& requests) {
             for (const LoggedRequest& request : gets(requests)) {
                 EXPECT_EQ(request.ifRange, "\"v1\"");
             }
         }},
        // A correct 206 that goes on and on after its range.
        {"endless-surplus", 3000, "endless=1", kDownloadOk, true,
         [](const std::vector<LoggedRequest>& requests) {
             for (const LoggedRequest& request : gets(requests)) {
                 EXPECT_LT(request.sent, 64u * 1024 * 1024);
             }
         }},
    };
    for (const ServerBehaviour& behaviour : behaviours) {
        SCOPED_TRACE(behaviour.name);
        RecordingDownloader fresh;
        const std::string path =
            uniquePath("/res/" + std::to_string(behaviour.size)) + "/" + behaviour.name;
        const int result =
            fresh.download(testServers().faultUrl(path + "?" + behaviour.query), output, 3);
        EXPECT_EQ(result, behaviour.result);
        const std::string written = readFileBytes(output);
        if (behaviour.whole) {
            EXPECT_EQ(written, patternBytes(0, behaviour.size));
        } else {
            EXPECT_TRUE(onlyResourceBytes(written));
        }
        if (!fresh.calls.empty()) {
            fresh.expectProgressContract(static_cast<std::uint32_t>(behaviour.size),
                                         result == kDownloadOk);
        }
        if (behaviour.checkRequests) {
            behaviour.checkRequests(loggedRequestDetails(path));
        }
        platform::removeFile(output);
    }
}

TEST_F(Download, SlowRangeIsSplitAmongTheOtherConnections) {
    REQUIRE_TEST_SERVERS();
    const std::uint64_t size = 3 * 1024 * 1024;
    const std::string path = uniquePath("/res/" + std::to_string(size));
    // The third range comes at 128 KiB/s, the others as fast as the server can.
    EXPECT_EQ(download(path + "?slow=131072&slow_start=" + std::to_string(2 * size / 3)),
              kDownloadOk);
    EXPECT_EQ(readFileBytes(output), patternBytes(0, size));
    downloader.expectProgressContract(static_cast<std::uint32_t>(size), true);
    const std::vector<LoggedRequest> ranged = gets(loggedRequestDetails(path));
    EXPECT_GT(ranged.size(), 3u);  // split
    EXPECT_TRUE(startsAreDistinct(ranged));
    for (const LoggedRequest& request : ranged) {
        EXPECT_LE(request.open, 3u) << request.range;
    }
}

TEST_F(Download, FailedRangesResumeInParallel) {
    REQUIRE_TEST_SERVERS();
    const std::string path = uniquePath("/res/300000");
    // Every range's first five requests are reset; the resumed ones are slow enough to meet.
    EXPECT_EQ(download(path + "?drop=0:5,100000:5,200000:5&slow=200000"), kDownloadOk);
    EXPECT_EQ(readFileBytes(output), patternBytes(0, 300000));
    const std::vector<LoggedRequest> ranged = gets(loggedRequestDetails(path));
    ASSERT_EQ(ranged.size(), 18u);
    std::uint64_t mostOpen = 0;
    for (std::size_t i = 15; i < ranged.size(); ++i) {
        mostOpen = std::max(mostOpen, ranged[i].open);
    }
    EXPECT_GE(mostOpen, 2u);
}

TEST_F(Download, BodyShorterThanItsLengthIsIncomplete) {
    REQUIRE_TEST_SERVERS();
    EXPECT_EQ(download(uniquePath("/res/3000") + "?short=10"), kDownloadIncomplete);
    downloader.expectProgressContract(3000, false);
}

// Bytes that arrived are in the file and reported while the server goes silent, not only when
// it speaks again or the no-data bound ends the request.
TEST_F(Download, BytesBeforeASilenceAreReportedDuringIt) {
    REQUIRE_TEST_SERVERS();
    struct TimedDownloader : RecordingDownloader {
        void onProgress(std::uint32_t total, std::uint32_t done) override {
            RecordingDownloader::onProgress(total, done);
            if (done >= 100000 && reachedAt == 0) {
                reachedAt = platform::tickCount();
            }
        }
        std::uint32_t reachedAt = 0;
    } timed;
    // Every answer sends 100,000 bytes and then nothing for 3 s: the second one finishes.
    const std::string path = uniquePath("/res/200000") + "?stall=3&stall_after=100000";
    const std::uint32_t start = platform::tickCount();
    EXPECT_EQ(timed.download(testServers().faultUrl(path), output, 1), kDownloadOk);
    ASSERT_NE(timed.reachedAt, 0u);
    // Well before the first silence ends.
    EXPECT_LT(timed.reachedAt - start, 2000u);
}

// Too little room is told before any body is asked for; the file made for it goes again.
TEST_F(Download, TooLittleFreeSpaceIsNoSpace) {
    REQUIRE_TEST_SERVERS();
    {
        platform::File file = platform::File::openExclusive(output);
        ASSERT_TRUE(file.isOpen());
        EXPECT_GT(file.volumeFreeSpace(), 0);
        EXPECT_TRUE(hasRoomFor(file, 1000, 0));
        const std::uint64_t beyond = static_cast<std::uint64_t>(file.volumeFreeSpace()) + 1000;
        EXPECT_FALSE(hasRoomFor(file, beyond, 0));
        EXPECT_TRUE(hasRoomFor(file, beyond, 2000));  // what is already there counts
    }
    platform::removeFile(output);
    // A resource larger than any volume of this machine (2^50 bytes) is never asked for.
    const std::string path = uniquePath("/res/1125899906842624");
    EXPECT_EQ(download(path), kDownloadNoSpace);
    EXPECT_EQ(loggedRequests(path), std::vector<std::string>{"HEAD"});
    EXPECT_FALSE(testing_support::fileExists(output));
    EXPECT_TRUE(downloader.calls.empty());
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
    TransferLimits limits = defaultTestTransferLimits();
    limits.noDataTimeoutSeconds = 1;
    limits.downloadStallDeadlineMs = 60000;  // the bound, not the deadline, ends each attempt
    setTransferLimitsForTest(limits);
    const std::string path = uniquePath("/res/3000");
    // One segment keeps it short: five attempts in the worker, five in the second pass, each
    // ended by the bound instead of the server's two-minute silence.
    const int result = download(path + "?stall=120", 1);
    restoreDefaultTransferLimits();
    EXPECT_EQ(result, kDownloadIncomplete);
    EXPECT_EQ(rangedRequests(path).size(), 10u);
}

// Alternate sources of one resource: where the bytes came from, and what each was asked.
struct SourcesCase {
    const char* name;
    std::string primaryQuery;   // faults of the primary; "DEAD" for a port that refuses
    std::string mirrorQuery;    // faults of the mirror
    std::uint64_t mirrorSize;   // the resource the mirror serves
    std::uint64_t primaryGets;  // ranged requests the primary must have had at least
    std::uint64_t mirrorGets;   // ... and the mirror
    bool mirrorUnused;          // the mirror gets no ranged request at all
    std::size_t served;         // sources whose bytes are in the file
    std::string log;            // the log the download wrote
};

TEST_F(Download, AlternateSources) {
    REQUIRE_TEST_SERVERS();
    const std::uint64_t size = 600000;
    const std::string failed = "Failed to call getFileSize():";
    const std::vector<SourcesCase> cases = {
        {"both-healthy", "slow=1000000", "slow=1000000", size, 1, 1, false, 2, ""},
        {"primary-refuses", "DEAD", "", size, 0, 3, false, 1, failed + "7\n"},
        {"primary-answers-503", "status=503", "", size, 0, 3, false, 1, failed + "22\n"},
        {"primary-never-answers", "hang=60", "", size, 0, 3, false, 1, failed + "28\n"},
        {"primary-stalls-its-ranges", "stall=60", "", size, 0, 3, false, 1, ""},
        {"mirror-of-another-length", "", "", size + 1, 3, 0, true, 1, ""},
        {"mirror-answers-503", "", "status=503", size, 3, 0, true, 1, failed + "22\n"},
        // The mirror's own length query fails on a worker while the primary's ranges arrive
        // for a second more: the failure is logged once the workers have ended.
        {"mirror-never-answers", "slow=150000", "hang=60", size, 3, 0, true, 1, failed + "28\n"},
    };
    // The stall bound, shortened: a stalled source is left after half a second.
    setTransferLimitsForTest(TransferLimits{30, 60, 500});
    for (const SourcesCase& row : cases) {
        SCOPED_TRACE(row.name);
        RecordingDownloader fresh;
        fresh.watchedLog = logPathIn(temp.path());
        const std::string primary = uniquePath("/res/" + std::to_string(size)) + "/" + row.name;
        const std::string mirror =
            uniquePath("/res/" + std::to_string(row.mirrorSize)) + "/" + row.name + "-mirror";
        const std::string primaryUrl =
            row.primaryQuery == "DEAD"
                ? "http://127.0.0.1:" + std::to_string(testing_support::deadLoopbackPort()) +
                      "/setup.exe"
                : testServers().faultUrl(primary + "?" + row.primaryQuery);
        const int result = fresh.download(
            {primaryUrl, testServers().faultUrl(mirror + "?" + row.mirrorQuery)}, output, 3);
        EXPECT_EQ(result, kDownloadOk);
        EXPECT_EQ(readFileBytes(output), patternBytes(0, size));
        fresh.expectProgressContract(static_cast<std::uint32_t>(size), true);
        EXPECT_EQ(fresh.sourcesThatServed(), row.served);
        // Only the main thread writes the log: never while a block is being stored.
        EXPECT_EQ(logText(temp), row.log);
        EXPECT_TRUE(std::all_of(fresh.logLengths.begin(), fresh.logLengths.end(),
                                [&](std::size_t length) { return length == fresh.logLengths[0]; }));
        platform::removeFile(fresh.watchedLog);
        const std::vector<LoggedRequest> primaryGets = gets(loggedRequestDetails(primary));
        const std::vector<LoggedRequest> mirrorGets = gets(loggedRequestDetails(mirror));
        EXPECT_GE(primaryGets.size(), row.primaryGets);
        EXPECT_GE(mirrorGets.size(), row.mirrorGets);
        if (row.mirrorUnused) {
            EXPECT_TRUE(mirrorGets.empty());
        }
        // At most three connections in all.
        for (const std::vector<LoggedRequest>* requests : {&primaryGets, &mirrorGets}) {
            for (const LoggedRequest& request : *requests) {
                EXPECT_LE(request.open, 3u);
            }
        }
        platform::removeFile(output);
    }
    restoreDefaultTransferLimits();
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
