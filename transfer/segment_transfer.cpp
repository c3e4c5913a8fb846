#include "transfer/segment_transfer.h"

#include <algorithm>
#include <string>
#include <vector>

#include "transfer/answer_headers.h"
#include "transfer/content_range.h"
#include "transfer/curl_easy.h"
#include "transfer/request_limits.h"
#include "transfer/retry_after.h"

namespace {

// libcurl's default of 16 KiB costs a receive call per 16 KiB; larger blocks cost memory per
// connection only.
constexpr long kReceiveBufferBytes = 256 * 1024;

// libcurl hands a body over in blocks of at most 16 KiB. Workers that write every block to
// the one file meet on the file's lock in the kernel each time (three writers cost a third more
// system time than one): a transfer gathers blocks that follow each other and writes them
// together.
constexpr std::size_t kGatheredWriteBytes = 256 * 1024;
// On a slow link, gathered bytes are written at least this often, so that progress and the
// rates that splits are judged by follow what has arrived.
constexpr std::uint32_t kGatheredWriteMs = 50;

// A request made real progress when it stored this many bytes (or finished its range): less
// is a failed attempt, so that a server that sends a byte and breaks off is not asked for ever.
constexpr std::uint64_t kRealProgressBytes = 64 * 1024;
// A wait between retries is cut into slices this long, so that a download that can no longer
// succeed (a full disk) ends at once.
constexpr std::uint32_t kWaitSliceMs = 50;

enum class Answer { Unchecked, Accepted, Refused };

// One ranged request and what its answer has delivered.
struct RangedTransfer {
    DownloadState* download;
    SegmentTask* task;
    CURL* handle;
    std::uint64_t requestedFirst;
    std::uint64_t requestedLast;
    AnswerHeaders headers;
    Answer answer;
    std::uint64_t declaredLast;  // the last byte the answer's Content-Range promises
    std::uint64_t position;      // the resource's offset of the first byte not yet stored
    bool progressed;
    std::vector<char> gathered;      // body bytes from `position` on, not yet stored
    std::uint32_t gatheredSince;     // tick count when the first of them arrived
    std::uint64_t stored = 0;        // bytes of this request in the file
    std::uint64_t progressMark = 0;  // `stored` when the server's backoff last heard of it
};

bool refusedForItsForm(const AnswerHeaders& headers, const DownloadState& download) {
    return headers.encoded || download.version.contradictedBy(headers.version);
}

// A ranged answer counts only when it is a 206 of this version that starts where we asked,
// of a resource of the length we are downloading, and whose body is the bytes themselves.
Answer judgeRangedAnswer(RangedTransfer& transfer) {
    DownloadState& download = *transfer.download;
    const AnswerHeaders& headers = transfer.headers;
    if (refusedForItsForm(headers, download)) {
        return Answer::Refused;
    }
    const long code = responseCode(transfer.handle);
    const ContentRange& range = headers.range;
    const bool sameLength =
        !range.completeLengthKnown || range.completeLength == download.totalSize;
    if (code == 206 && headers.rangeSeen && range.first == transfer.requestedFirst && sameLength) {
        transfer.declaredLast = range.last;
        return Answer::Accepted;
    }
    if (code == 200) {
        download.rangesIgnored = true;
    }
    return Answer::Refused;
}

// Stores what the transfer has gathered; false when the range did not take all of it (it
// ended, was cut by a split, or the download can no longer succeed).
bool storeGathered(RangedTransfer& transfer) {
    if (transfer.gathered.empty()) {
        return true;
    }
    const std::uint64_t written =
        transfer.download->store(*transfer.task, transfer.position, transfer.gathered.data(),
                                 transfer.gathered.size(), transfer.declaredLast);
    const bool all = written == transfer.gathered.size();
    transfer.position += written;
    transfer.progressed = transfer.progressed || written > 0;
    transfer.stored += written;
    if (transfer.stored - transfer.progressMark >= kRealProgressBytes) {
        // A long request keeps its server in good standing while it runs.
        transfer.progressMark = transfer.stored;
        transfer.download->backoff.progressed();
    }
    transfer.gathered.clear();
    return all;
}

// libcurl's progress function of a ranged request, called at least once a second: bytes that
// have waited gathered are written even while the server sends nothing more, and the request
// ends once the download can no longer succeed or its server's deadline has passed.
int watchRangedTransfer(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    RangedTransfer& transfer = *static_cast<RangedTransfer*>(user);
    DownloadState& download = *transfer.download;
    if (download.cannotSucceed() || download.backoff.deadlinePassed()) {
        return 1;
    }
    if (!transfer.gathered.empty() &&
        platform::tickCount() - transfer.gatheredSince >= kGatheredWriteMs) {
        return storeGathered(transfer) ? 0 : 1;  // not all taken: the range ended or was cut
    }
    return 0;
}

bool rangesCannotSucceed(const DownloadState& download) {
    return download.cannotSucceed();
}

bool wholeCannotSucceed(const DownloadState& download) {
    return download.failed;
}

// Sleeps until the download's server may be asked again; false when it may not be asked any
// more (its deadline passed) or `hopeless` says the download can no longer succeed.
bool awaitTurn(DownloadState& download, bool (*hopeless)(const DownloadState&)) {
    while (!hopeless(download)) {
        const std::optional<std::uint32_t> wait = download.backoff.waitBeforeRequest();
        if (!wait) {
            return false;
        }
        if (*wait == 0) {
            return true;
        }
        platform::sleepMilliseconds(std::min(*wait, kWaitSliceMs));
    }
    return false;
}

void watchTransfer(CURL* handle, curl_xferinfo_callback watch, void* user) {
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, watch);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, user);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

std::size_t writeSegment(char* data, std::size_t size, std::size_t count, void* user) {
    RangedTransfer& transfer = *static_cast<RangedTransfer*>(user);
    const std::size_t length = size * count;
    if (transfer.answer == Answer::Unchecked) {
        transfer.answer = judgeRangedAnswer(transfer);
    }
    if (transfer.answer == Answer::Refused) {
        return 0;
    }
    if (transfer.gathered.capacity() == 0) {
        transfer.gathered.reserve(kGatheredWriteBytes);
    }
    if (transfer.gathered.empty()) {
        transfer.gatheredSince = platform::tickCount();
    }
    transfer.gathered.insert(transfer.gathered.end(), data, data + length);
    const std::uint64_t lastWanted = std::min(transfer.declaredLast, transfer.requestedLast);
    const std::uint64_t end = transfer.position + transfer.gathered.size();  // exclusive
    const bool moreWanted = end <= lastWanted;
    if (moreWanted && transfer.gathered.size() < kGatheredWriteBytes &&
        platform::tickCount() - transfer.gatheredSince < kGatheredWriteMs) {
        return length;
    }
    // Once the answer has delivered what was wanted of it, the transfer ends: bytes past the
    // range (which a split may have shortened) or past what the answer declared are never
    // written, never read for long, and never waited for.
    return storeGathered(transfer) && moreWanted ? length : 0;
}

void setTransferOptions(CURL* handle, const std::string& url, curl_write_callback write, void* user,
                        AnswerHeaders& headers, curl_slist* extraHeaders) {
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, user);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    setCommonTransferOptions(handle);
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, readAnswerHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(&headers));
    if (extraHeaders != nullptr) {
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, extraHeaders);
    }
}

// Asks for ranges of the version the length query saw, when the server named one.
CurlList ifRangeHeader(const DownloadState& download) {
    const std::string& validator = download.version.ifRange();
    if (validator.empty()) {
        return CurlList();
    }
    return CurlList(curl_slist_append(nullptr, ("If-Range: " + validator).c_str()));
}

struct WholeTransfer {
    DownloadState* download;
    CURL* handle;
    AnswerHeaders headers;
    Answer answer;
    std::uint64_t position;          // the resource's offset of the next body byte
    std::uint64_t progressMark = 0;  // the download's byte count when its backoff last heard
};

int watchWholeTransfer(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    DownloadState& download = *static_cast<WholeTransfer*>(user)->download;
    return download.failed || download.backoff.deadlinePassed() ? 1 : 0;
}

std::size_t writeWhole(char* data, std::size_t size, std::size_t count, void* user) {
    WholeTransfer& whole = *static_cast<WholeTransfer*>(user);
    DownloadState& download = *whole.download;
    const std::size_t length = size * count;
    if (whole.answer == Answer::Unchecked) {
        whole.answer =
            responseCode(whole.handle) == 200 && !refusedForItsForm(whole.headers, download)
                ? Answer::Accepted
                : Answer::Refused;
    }
    if (whole.answer == Answer::Refused || download.failed) {
        return 0;
    }
    if (whole.position + length > download.totalSize) {
        download.failed = true;  // the body is longer than the resource it claims to be
        return 0;
    }
    download.storeMissing(whole.position, data, length);
    if (download.failed) {
        return 0;
    }
    whole.position += length;
    const std::uint64_t done = download.bytesDone();
    if (done - whole.progressMark >= kRealProgressBytes) {
        whole.progressMark = done;
        download.backoff.progressed();
    }
    return length;
}

}  // namespace

void fetchSegment(DownloadState& download, SegmentTask& task) {
    int failures = 0;
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    while (failures < kRequestAttempts && awaitTurn(download, rangesCannotSucceed) &&
           download.beginRequest(task, first, last)) {
        CurlEasy easy = makeCurlEasy();
        if (!easy) {
            ++failures;
            download.backoff.failed();
            continue;
        }
        RangedTransfer transfer{&download,         &task, easy.get(), first, last, AnswerHeaders(),
                                Answer::Unchecked, 0,     first,      false, {},   0};
        // Made anew for every attempt, so that a retry asks only for the missing bytes.
        const std::string range = rangeText(first, last);
        const CurlList extraHeaders = ifRangeHeader(download);
        setTransferOptions(easy.get(), download.url, writeSegment, &transfer, transfer.headers,
                           extraHeaders.get());
        curl_easy_setopt(easy.get(), CURLOPT_RANGE, range.c_str());
        watchTransfer(easy.get(), watchRangedTransfer, &transfer);
        curl_easy_perform(easy.get());
        // What arrived before the answer ended or broke off is the resource's all the same.
        storeGathered(transfer);
        if (transfer.stored >= kRealProgressBytes || download.finished(task)) {
            download.backoff.progressed();
        } else {
            ++failures;
            download.backoff.failed(askedWaitMs(responseCode(easy.get()), transfer.headers));
        }
    }
}

std::uint32_t segmentWorker(void* argument) {
    SegmentWorker& worker = *static_cast<SegmentWorker*>(argument);
    DownloadState& download = *worker.download;
    SegmentTask* task = worker.first;
    if (task == nullptr) {
        task = download.takeWork(nullptr);
    }
    while (task != nullptr) {
        fetchSegment(download, *task);
        task = download.takeWork(task);
    }
    return 0;
}

void transferWholeResource(DownloadState& download) {
    int failures = 0;
    while (failures < kRequestAttempts) {
        if (download.failed || download.allFinished() || !awaitTurn(download, wholeCannotSucceed)) {
            return;
        }
        CurlEasy easy = makeCurlEasy();
        if (!easy) {
            ++failures;
            download.backoff.failed();
            continue;
        }
        const std::uint64_t before = download.bytesDone();
        WholeTransfer whole{&download, easy.get(), AnswerHeaders(), Answer::Unchecked, 0, before};
        setTransferOptions(easy.get(), download.url, writeWhole, &whole, whole.headers, nullptr);
        watchTransfer(easy.get(), watchWholeTransfer, &whole);
        if (curl_easy_perform(easy.get()) == CURLE_OK) {
            return;
        }
        // Bytes it wrote anew count as progress, not those it had to pass over.
        if (download.bytesDone() - before < kRealProgressBytes && !download.allFinished()) {
            ++failures;
            download.backoff.failed(askedWaitMs(responseCode(easy.get()), whole.headers));
        }
    }
}
