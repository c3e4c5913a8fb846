#include "transfer/segment_transfer.h"

#include <algorithm>

#include "transfer/curl_easy.h"
#include "transfer/http_downloader.h"
#include "transfer/single_requests.h"

namespace {

using Answer = SegmentTask::Answer;

long responseCode(CURL* transfer) {
    long code = 0;
    curl_easy_getinfo(transfer, CURLINFO_RESPONSE_CODE, &code);
    return code;
}

// A ranged answer counts only when it is a 206 that starts where we asked, of a resource of
// the length we are downloading.
Answer judgeRangedAnswer(SegmentTask& task) {
    const long code = responseCode(task.transfer);
    const ContentRange& range = task.headerRange;
    const bool sameResource =
        !range.completeLengthKnown || range.completeLength == task.owner->totalSize;
    if (code == 206 && task.headerRangeSeen && range.first == task.requestedStart && sameResource) {
        return Answer::Accepted;
    }
    if (code == 200) {
        task.owner->rangesIgnored = true;
    }
    return Answer::Refused;
}

void setSegmentTransferOptions(CURL* handle, const std::string& url, curl_write_callback write,
                               void* user) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, user);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    setCommonTransferOptions(handle);
}

// Writes a block at its offset; a failed or short write marks the whole download failed and
// is not counted.
bool writeCounted(HttpDownloader& owner, platform::File& file, std::uint64_t offset,
                  const char* data, std::uint64_t length) {
    if (length == 0) {
        return true;
    }
    if (!file.writeAt(offset, data, static_cast<std::size_t>(length))) {
        owner.failed = true;
        return false;
    }
    owner.bytesDone += length;
    return true;
}

bool downloadCannotSucceed(const HttpDownloader& owner) {
    return owner.failed || owner.rangesIgnored;
}

struct WholeResourceTransfer {
    HttpDownloader* owner;
    platform::Mutex* mutex;
    platform::File* file;
    CURL* transfer;
    std::uint64_t position;  // offset in the resource of the next body byte
    Answer answer;
};

std::size_t writeWholeResource(char* data, std::size_t size, std::size_t count, void* user) {
    auto& whole = *static_cast<WholeResourceTransfer*>(user);
    const std::size_t length = size * count;
    if (whole.answer == Answer::Unchecked) {
        whole.answer = responseCode(whole.transfer) == 200 ? Answer::Accepted : Answer::Refused;
    }
    if (whole.answer == Answer::Refused) {
        return 0;
    }
    HttpDownloader& owner = *whole.owner;
    platform::MutexLock lock(whole.mutex);
    if (owner.failed) {
        return 0;
    }
    const std::uint64_t blockStart = whole.position;
    const std::uint64_t blockEnd = blockStart + length;  // exclusive
    if (blockEnd > owner.totalSize) {
        owner.failed = true;  // the body is longer than the resource it claims to be
        return 0;
    }
    // Only the bytes still missing are written; finished parts are never written twice.
    for (SegmentTask* task : owner.segments) {
        if (task->finished() || task->rangeStart < blockStart || task->rangeStart >= blockEnd) {
            continue;
        }
        const std::uint64_t end = std::min(blockEnd, task->rangeEnd + 1);
        const std::uint64_t take = end - task->rangeStart;
        if (!writeCounted(owner, *whole.file, task->rangeStart,
                          data + (task->rangeStart - blockStart), take)) {
            return 0;
        }
        task->rangeStart += take;
    }
    whole.position = blockEnd;
    owner.reportProgress();
    return length;
}

bool allSegmentsFinished(const HttpDownloader& owner) {
    return std::all_of(owner.segments.begin(), owner.segments.end(),
                       [](const SegmentTask* task) { return task->finished(); });
}

}  // namespace

std::size_t writeSegment(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    if (user == nullptr) {
        return length;
    }
    SegmentTask& task = *static_cast<SegmentTask*>(user);
    if (task.answer == Answer::Unchecked) {
        task.answer = judgeRangedAnswer(task);
    }
    if (task.answer == Answer::Refused) {
        return 0;
    }
    HttpDownloader& owner = *task.owner;
    platform::MutexLock lock(task.mutex);
    if (owner.failed) {
        return 0;
    }
    // Bytes beyond the segment's own range are dropped, never written over a neighbour.
    const std::uint64_t room = task.finished() ? 0 : task.rangeEnd - task.rangeStart + 1;
    const std::uint64_t take = std::min<std::uint64_t>(length, room);
    if (!writeCounted(owner, *task.file, task.rangeStart, data, take)) {
        return 0;
    }
    task.rangeStart += take;
    owner.reportProgress();
    return length;
}

std::size_t readSegmentHeader(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    SegmentTask& task = *static_cast<SegmentTask*>(user);
    static const char kStatusLine[] = "HTTP/";
    if (length >= sizeof kStatusLine - 1 &&
        std::equal(kStatusLine, kStatusLine + sizeof kStatusLine - 1, data)) {
        task.headerRangeSeen = false;  // a new response begins
    } else if (parseContentRangeHeader(data, length, task.headerRange)) {
        task.headerRangeSeen = true;
    }
    return length;
}

std::uint32_t segmentWorker(void* argument) {
    SegmentTask& task = *static_cast<SegmentTask*>(argument);
    int attempts = 0;
    CURLcode result = CURLE_OK;
    do {
        if (task.finished() || downloadCannotSucceed(*task.owner)) {
            break;
        }
        CurlEasy easy = makeCurlEasy();
        if (!easy) {
            ++attempts;
            continue;
        }
        // Made anew for every attempt, so that a retry asks only for the missing bytes.
        const std::string range = rangeText(task.rangeStart, task.rangeEnd);
        task.transfer = easy.get();
        task.requestedStart = task.rangeStart;
        task.headerRangeSeen = false;
        task.answer = Answer::Unchecked;
        setSegmentTransferOptions(easy.get(), task.url, writeSegment, &task);
        curl_easy_setopt(easy.get(), CURLOPT_RANGE, range.c_str());
        curl_easy_setopt(easy.get(), CURLOPT_HEADERFUNCTION, readSegmentHeader);
        curl_easy_setopt(easy.get(), CURLOPT_HEADERDATA, &task);
        result = curl_easy_perform(easy.get());
        task.transfer = nullptr;
        ++attempts;
    } while (result != CURLE_OK && attempts < kRequestAttempts);
    return static_cast<std::uint32_t>(result);
}

void transferWholeResource(HttpDownloader& owner, const std::string& url, platform::Mutex* mutex,
                           platform::File* file) {
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        if (owner.failed || allSegmentsFinished(owner)) {
            return;
        }
        CurlEasy easy = makeCurlEasy();
        if (!easy) {
            continue;
        }
        WholeResourceTransfer whole{&owner, mutex, file, easy.get(), 0, Answer::Unchecked};
        setSegmentTransferOptions(easy.get(), url, writeWholeResource, &whole);
        if (curl_easy_perform(easy.get()) == CURLE_OK) {
            return;
        }
    }
}
