#include <algorithm>
#include <mutex>
#include <vector>

#include "support/platform.h"
#include "tests/network/network_test.h"
#include "transfer/http_downloader.h"

namespace {

using testing_support::LoggedRequest;
using testing_support::loggedRequestDetails;
using testing_support::patternBytes;
using testing_support::readFileBytes;
using testing_support::ScopedTemporaryDirectory;
using testing_support::testServers;

// Remembers the progress and, at every checkpoint, whether the file already holds exactly the
// resource's bytes in every range the checkpoint names. The file is read through the
// download's own handle: on Windows no other open of it succeeds while it is held.
class ResumingDownloader : public HttpDownloader, public DownloadCheckpoint {
public:
    explicit ResumingDownloader(platform::File& file) : file_(file) {}

    void onProgress(std::uint32_t, std::uint32_t done) override { progress.push_back(done); }

    void onCheckpoint(std::uint64_t length, const std::vector<SourceVersion>& sources,
                      const ByteRanges& written) override {
        for (const ByteRange& range : written) {
            std::string bytes(range.size(), '\0');
            if (file_.readAt(range.first, bytes.data(), bytes.size()) !=
                    static_cast<std::int64_t>(bytes.size()) ||
                bytes != patternBytes(range.first, range.size())) {
                checkpointAheadOfFile = true;
            }
        }
        if (checkpoints++ == 0) {
            for (const ByteRange& range : written) {
                firstWrittenBytes += range.size();
            }
        }
        lastLength = length;
        lastVersion = sources.empty() ? ResourceVersion() : sources.front().version;
        lastWritten = written;
    }

    std::vector<std::uint32_t> progress;
    int checkpoints = 0;
    std::uint64_t firstWrittenBytes = 0;
    bool checkpointAheadOfFile = false;
    std::uint64_t lastLength = 0;
    ResourceVersion lastVersion;
    ByteRanges lastWritten;

private:
    platform::File& file_;
};

std::uint64_t bytesSent(const std::vector<LoggedRequest>& requests) {
    std::uint64_t sent = 0;
    for (const LoggedRequest& request : requests) {
        sent += request.sent;
    }
    return sent;
}

// The file as an earlier run left it: the resource's bytes in `present`, garbage elsewhere.
void writeEarlierFile(const std::u16string& path, std::uint64_t length, const ByteRanges& present) {
    std::string bytes(length, '\xEE');
    for (const ByteRange& range : present) {
        bytes.replace(range.first, range.size(), patternBytes(range.first, range.size()));
    }
    testing_support::writeFileBytes(path, bytes);
}

TEST(ResumedDownload, FetchesOnlyWhatIsMissingWhenTheResourceIsTheSame) {
    REQUIRE_TEST_SERVERS();
    constexpr std::uint64_t kLength = 600000;
    const ByteRanges present{{0, 99999}, {200000, 399999}};
    const ResourceVersion v1{"\"v1\"", ""};
    const struct {
        const char* name;
        const char* query;
        std::uint64_t length;  // the length, the validators and the digest of then
        ResourceVersion then;
        bool sameDigest;
        bool fits;
    } cases[] = {
        {"same-etag", "etag=1", kLength, v1, false, true},
        {"other-etag", "etag=1", kLength, {"\"v0\"", ""}, false, false},
        {"no-validator", "", kLength, {}, false, false},
        {"same-digest", "", kLength, {}, true, true},
        {"other-length", "etag=1", kLength + 1, v1, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTemporaryDirectory temp;
        const std::u16string path = temp.file(u"installer.exe");
        writeEarlierFile(path, kLength, present);
        const std::string resource = uniquePath("/res/" + std::to_string(kLength)) + "-" + c.name;
        platform::File file = platform::File::openExclusive(path);
        ResumingDownloader downloader(file);
        DownloadPlan plan;
        const std::string url =
            testServers().faultUrl(resource + (c.query[0] ? "?" : "") + c.query);
        ResumePoint earlier;
        earlier.length = c.length;
        earlier.versions = {{url, c.then}};
        earlier.sameDigest = c.sameDigest;
        earlier.present = present;
        plan.sources = {url};
        plan.segmentCount = 3;
        plan.resume = &earlier;
        plan.checkpoint = &downloader;
        ASSERT_EQ(downloader.download(plan, file), kDownloadOk);
        file.close();
        EXPECT_EQ(readFileBytes(path), patternBytes(0, kLength));
        const std::uint64_t sent = bytesSent(loggedRequestDetails(resource));
        ASSERT_FALSE(downloader.progress.empty());
        if (c.fits) {
            // Progress starts at the bytes already there.
            EXPECT_EQ(sent, kLength - 300000);
            EXPECT_EQ(downloader.progress.front(), 300000u);
        } else {
            // A server may have sent more than was read of a range that was split.
            EXPECT_GE(sent, kLength);
            EXPECT_LT(downloader.progress.front(), 300000u);
        }
        EXPECT_EQ(downloader.progress.back(), kLength);
        EXPECT_TRUE(std::is_sorted(downloader.progress.begin(), downloader.progress.end()));
        EXPECT_GE(downloader.checkpoints, 1);
        EXPECT_FALSE(downloader.checkpointAheadOfFile);
        EXPECT_EQ(downloader.lastWritten, (ByteRanges{{0, kLength - 1}}));
        EXPECT_EQ(downloader.lastLength, kLength);
    }
}

// A slow download is saved while it goes, never naming bytes that are not yet in the file.
TEST(ResumedDownload, CheckpointsFollowTheWrittenBytes) {
    REQUIRE_TEST_SERVERS();
    ScopedTemporaryDirectory temp;
    platform::File file = platform::File::openExclusive(temp.file(u"installer.exe"));
    ResumingDownloader downloader(file);
    DownloadPlan plan;
    // About 1.5 s at 100 KB/s per range.
    const std::string resource = uniquePath("/res/450000");
    plan.sources = {testServers().faultUrl(resource + "?etag=1&slow=100000")};
    plan.segmentCount = 3;
    plan.checkpoint = &downloader;
    EXPECT_EQ(downloader.download(plan, file), kDownloadOk);
    EXPECT_GE(downloader.checkpoints, 3);
    EXPECT_LT(downloader.firstWrittenBytes, 450000u);
    EXPECT_FALSE(downloader.checkpointAheadOfFile);
    EXPECT_EQ(downloader.lastVersion.etag, "\"v1\"");
    EXPECT_EQ(downloader.lastWritten, (ByteRanges{{0, 449999}}));
}

}  // namespace
