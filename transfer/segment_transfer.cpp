#include "transfer/segment_transfer.h"

#include <algorithm>
#include <string>
#include <vector>

#include "transfer/answer_headers.h"
#include "transfer/content_range.h"
#include "transfer/curl_easy.h"
#include "transfer/request_limits.h"

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
    std::vector<char> gathered;   // body bytes from `position` on, not yet stored
    std::uint32_t gatheredSince;  // tick count when the first of them arrived
    std::size_t source;           // of the download's sources
    ResourceVersion version;      // the source's version of the resource
    bool otherResource = false;   // the answer names another length or version
    bool wholeAnswer = false;     // the source answered the range with the whole resource
    // The stall watch: body bytes seen, when the last of them came, and whether it gave up.
    curl_off_t seenBytes = 0;
    std::uint32_t lastByteTick = 0;
    std::uint32_t stallMs = 0;
    bool stalled = false;
};

bool refusedForItsForm(const AnswerHeaders& headers, const ResourceVersion& version) {
    return headers.encoded || version.contradictedBy(headers.version);
}

// A ranged answer counts only when it is a 206 of this version that starts where we asked,
// of a resource of the length we are downloading, and whose body is the bytes themselves.
Answer judgeRangedAnswer(RangedTransfer& transfer) {
    DownloadState& download = *transfer.download;
    const AnswerHeaders& headers = transfer.headers;
    if (refusedForItsForm(headers, transfer.version)) {
        transfer.otherResource = !headers.encoded;
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
    transfer.otherResource = code == 206 && !sameLength;
    transfer.wholeAnswer = code == 200;
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
    transfer.gathered.clear();
    return all;
}

std::size_t writeSegment(char* data, std::size_t size, std::size_t count, void* user) {
    RangedTransfer& transfer = *static_cast<RangedTransfer*>(user);
    const std::size_t length = size * count;
    if (transfer.answer == Answer::Unchecked) {
        transfer.answer = judgeRangedAnswer(transfer);
        if (transfer.answer == Answer::Accepted) {
            transfer.download->noteFirstByte(*transfer.task);
        }
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
    // written, never read for long, and never waited for. A request far slower than others
    // ends too, to be asked again.
    const bool stored = storeGathered(transfer);
    if (stored && moreWanted) {
        return transfer.download->shouldRenew(*transfer.task) ? 0 : length;
    }
    // An answer that ends exactly with its last stored byte is left to end by itself, so that
    // its connection can carry the worker's next request.
    return stored && end == transfer.declaredLast + 1 ? length : 0;
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
CurlList ifRangeHeader(const ResourceVersion& version) {
    const std::string& validator = version.ifRange();
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
    std::uint64_t position;  // the resource's offset of the next body byte
    ResourceVersion version;
};

// libcurl's progress function of a ranged request from one of several sources: gives up on a
// request that has received nothing for the stall bound while another source is working.
int watchForStall(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    RangedTransfer& transfer = *static_cast<RangedTransfer*>(user);
    const std::uint32_t now = platform::tickCount();
    if (received != transfer.seenBytes) {
        transfer.seenBytes = received;
        transfer.lastByteTick = now;
        return 0;
    }
    if (now - transfer.lastByteTick >= transfer.stallMs &&
        transfer.download->sources->othersWorking(transfer.source)) {
        transfer.stalled = true;
        return 1;
    }
    return 0;
}

// What the answer said of its source: another resource, or no ranges while others have them.
void judgeSource(DownloadState& download, const RangedTransfer& transfer) {
    DownloadSources& sources = *download.sources;
    if (transfer.wholeAnswer) {
        if (sources.othersLeft(transfer.source)) {
            sources.drop(transfer.source);
        } else {
            sources.ignoresRanges(transfer.source);
            download.rangesIgnored = true;
        }
    } else if (transfer.otherResource && sources.othersLeft(transfer.source)) {
        sources.drop(transfer.source);
    }
}

std::size_t writeWhole(char* data, std::size_t size, std::size_t count, void* user) {
    WholeTransfer& whole = *static_cast<WholeTransfer*>(user);
    DownloadState& download = *whole.download;
    const std::size_t length = size * count;
    if (whole.answer == Answer::Unchecked) {
        whole.answer =
            responseCode(whole.handle) == 200 && !refusedForItsForm(whole.headers, whole.version)
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
    return length;
}

}  // namespace

void fetchSegment(DownloadState& download, SegmentTask& task, std::size_t& source,
                  ConnectionShare* share) {
    DownloadSources& sources = *download.sources;
    sources.beginRun(&task);
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    while (!download.cannotSucceed() && download.beginRequest(task, first, last)) {
        // Where the waits between attempts begin, once they are paced: when everyFailed.
        bool everyFailed = false;
        const std::size_t chosen = sources.choose(&task, source, everyFailed);
        if (chosen == kNoSource) {
            break;
        }
        source = chosen;
        CurlEasy easy;
        if (!sources.ensureChecked(source, download.totalSize) || !(easy = makeCurlEasy())) {
            sources.attemptFailed(&task, source);
            continue;
        }
        download.requestGoesTo(task, source);
        RangedTransfer transfer{
            &download, &task, easy.get(), first, last, AnswerHeaders(), Answer::Unchecked,
            0,         first, false,      {},    0,    source,          sources.version(source)};
        // Made anew for every attempt, so that a retry asks only for the missing bytes.
        const std::string range = rangeText(first, last);
        const CurlList extraHeaders = ifRangeHeader(transfer.version);
        setTransferOptions(easy.get(), sources.url(source), writeSegment, &transfer,
                           transfer.headers, extraHeaders.get());
        attachShare(easy.get(), share);
        curl_easy_setopt(easy.get(), CURLOPT_RANGE, range.c_str());
        if (sources.size() > 1) {
            transfer.stallMs = sourceStallMs();
            transfer.lastByteTick = platform::tickCount();
            curl_easy_setopt(easy.get(), CURLOPT_XFERINFOFUNCTION, watchForStall);
            curl_easy_setopt(easy.get(), CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
            curl_easy_setopt(easy.get(), CURLOPT_NOPROGRESS, 0L);
        }
        curl_easy_perform(easy.get());
        // What arrived before the answer ended or broke off is the resource's all the same.
        storeGathered(transfer);
        judgeSource(download, transfer);
        if (transfer.progressed && !transfer.stalled) {
            sources.attemptProgressed(&task, source);
        } else {
            if (transfer.progressed) {
                sources.attemptProgressed(&task, source);  // its bytes count as served
            }
            sources.attemptFailed(&task, source);
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
        fetchSegment(download, *task, worker.source, worker.share);
        task = download.takeWork(task);
    }
    return 0;
}

void transferWholeResource(DownloadState& download, ConnectionShare* share) {
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        if (download.failed || download.allFinished()) {
            return;
        }
        CurlEasy easy = makeCurlEasy();
        if (!easy) {
            continue;
        }
        const std::size_t source = download.sources->wholeResourceSource();
        WholeTransfer whole{&download,         easy.get(), AnswerHeaders(),
                            Answer::Unchecked, 0,          download.sources->version(source)};
        setTransferOptions(easy.get(), download.sources->url(source), writeWhole, &whole,
                           whole.headers, nullptr);
        attachShare(easy.get(), share);
        const CURLcode code = curl_easy_perform(easy.get());
        if (whole.position > 0) {
            download.sources->attemptProgressed(nullptr, source);
        }
        if (code == CURLE_OK) {
            return;
        }
    }
}
