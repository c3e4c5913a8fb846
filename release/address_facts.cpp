#include "release/address_facts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "release/file_io.h"
#include "support/text_conversion.h"
#include "transfer/http_downloader.h"
#include "transfer/single_requests.h"

namespace {

// A small range from the middle of the file: a server that miscounts offsets shows it there.
constexpr std::uint64_t kProbeRangeBytes = 16;

class ObservedDownloader : public HttpDownloader {
public:
    explicit ObservedDownloader(DownloadObserver& observer) : observer_(observer) {}
    void onProgress(std::uint32_t totalSize, std::uint32_t bytesDone) override {
        observer_.progress(totalSize, bytesDone);
    }

private:
    DownloadObserver& observer_;
};

std::size_t fileSize(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<std::size_t>(status.st_size) : 0;
}

// The log's text after its first `from` bytes, on one line.
std::string readLogTail(const std::string& logPath, std::size_t from) {
    std::string text;
    std::string error;
    if (!readWholeFile(logPath, text, error) || text.size() <= from) {
        return std::string();
    }
    text.erase(0, from);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

}  // namespace

AddressProber::AddressProber(std::string workDirectory, bool download, DownloadObserver& observer)
    : workDirectory_(std::move(workDirectory)), download_(download), observer_(observer) {}

const AddressFacts& AddressProber::factsFor(const std::string& address,
                                            const std::u16string& fileName) {
    const auto found = facts_.find(address);
    if (found != facts_.end()) {
        return found->second;
    }
    AddressFacts& facts = facts_[address];
    facts.head = probeHead(address);
    // getFileSize logs its failed transfers into the diagnostic log in the temporary directory,
    // which is the private one while the tool runs.
    const std::string logPath = workDirectory_ + "/downloader_log.txt";
    const std::size_t logBefore = fileSize(logPath);
    facts.engineLength = getFileSize(address);
    facts.engineLog = readLogTail(logPath, logBefore);
    facts.lengthUsable = facts.head.answered && facts.head.status >= 200 &&
                         facts.head.status <= 299 && facts.engineLength > 0;
    if (facts.lengthUsable) {
        facts.rangeFirst = facts.engineLength / 2;
        facts.rangeLast = std::min(facts.engineLength - 1, facts.rangeFirst + kProbeRangeBytes - 1);
        facts.range = probeRange(address, facts.rangeFirst, facts.rangeLast);
        if (download_) {
            downloadInto(address, fileName, facts);
        }
    }
    return facts;
}

void AddressProber::downloadInto(const std::string& address, const std::u16string& fileName,
                                 AddressFacts& facts) {
    // A directory per download: the engine opens its file without truncating it.
    const std::string directory = workDirectory_ + "/download-" + std::to_string(++downloads_);
    if (::mkdir(directory.c_str(), 0700) != 0) {
        facts.downloadError = "cannot create a directory for the download";
        return;
    }
    const std::string path = directory + "/" + toUtf8(fileName);
    std::u16string widePath;
    fromUtf8(path, widePath);
    observer_.started(toUtf8(fileName), facts.engineLength);
    ObservedDownloader downloader(observer_);
    facts.downloadResult = downloader.download(address, widePath, kCheckSegments);
    observer_.finished();
    if (facts.downloadResult == kDownloadOk) {
        std::string error;
        if (!sha256OfFile(path, facts.downloadSha256, error)) {
            facts.downloadError = "cannot read the downloaded file: " + error;
        }
    }
    std::remove(path.c_str());
    ::rmdir(directory.c_str());
}
