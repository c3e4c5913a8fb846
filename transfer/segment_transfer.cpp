#include "transfer/segment_transfer.h"

#include <algorithm>
#include <string>
#include <vector>

#include "transfer/answer_headers.h"
#include "transfer/content_range.h"
#include "transfer/curl_easy.h"
#include "transfer/request_limits.h"
#include "transfer/request_trace.h"
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
    std::uint64_t stored = 0;        // bytes of this request in the file
    std::uint64_t progressMark = 0;  // `stored` when the source's backoff last heard of it
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
    transfer.stored += written;
    if (transfer.stored - transfer.progressMark >= kRealProgressBytes) {
        // A long request keeps its server in good standing while it runs.
        transfer.progressMark = transfer.stored;
        transfer.download->backoffFor(transfer.source).progressed();
    }
    transfer.gathered.clear();
    return all;
}

// libcurl's progress function of a ranged request, called at least once a second: bytes that
// have waited gathered are written even while the server sends nothing more; the request ends
// once the download can no longer succeed or its source's deadline has passed, and, with
// several sources, once it has received nothing for the stall bound while another is working.
int watchRangedTransfer(void* user, curl_off_t, curl_off_t received, curl_off_t, curl_off_t) {
    RangedTransfer& transfer = *static_cast<RangedTransfer*>(user);
    DownloadState& download = *transfer.download;
    if (download.cannotSucceed() || download.backoffFor(transfer.source).deadlinePassed()) {
        return 1;
    }
    const std::uint32_t now = platform::tickCount();
    if (!transfer.gathered.empty() && now - transfer.gatheredSince >= kGatheredWriteMs &&
        !storeGathered(transfer)) {
        return 1;  // not all taken: the range ended or was cut
    }
    if (transfer.stallMs == 0) {
        return 0;
    }
    if (received != transfer.seenBytes) {
        transfer.seenBytes = received;
        transfer.lastByteTick = now;
        return 0;
    }
    if (now - transfer.lastByteTick >= transfer.stallMs &&
        download.sources->othersWorking(transfer.source)) {
        transfer.stalled = true;
        return 1;
    }
    return 0;
}

bool rangesCannotSucceed(const DownloadState& download) {
    return download.cannotSucceed();
}

bool wholeCannotSucceed(const DownloadState& download) {
    return download.failed || download.resourceChanged;
}

enum class Turn { Go, Hopeless, SourceGivenUp };

// Sleeps until `source` may be asked again: SourceGivenUp when it may not be asked any more
// (its deadline passed), Hopeless as soon as `hopeless` says the download cannot succeed.
Turn awaitTurn(DownloadState& download, std::size_t source,
               bool (*hopeless)(const DownloadState&)) {
    SourceBackoff& backoff = download.backoffFor(source);
    while (!hopeless(download)) {
        const std::optional<std::uint32_t> wait = backoff.waitBeforeRequest();
        if (!wait) {
            traceSourceGivenUp(source);
            return Turn::SourceGivenUp;
        }
        if (*wait == 0) {
            return Turn::Go;
        }
        platform::sleepMilliseconds(std::min(*wait, kWaitSliceMs));
    }
    return Turn::Hopeless;
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
    std::size_t source = 0;
    std::uint64_t progressMark = 0;  // the download's byte count when its backoff last heard
};

int watchWholeTransfer(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    WholeTransfer& whole = *static_cast<WholeTransfer*>(user);
    return wholeCannotSucceed(*whole.download) ||
                   whole.download->backoffFor(whole.source).deadlinePassed()
               ? 1
               : 0;
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
    } else if (transfer.otherResource) {
        if (sources.othersLeft(transfer.source)) {
            sources.drop(transfer.source);
        } else {
            download.resourceChanged = true;
        }
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
        if (!whole.headers.encoded && whole.version.contradictedBy(whole.headers.version)) {
            download.resourceChanged = true;  // the last source left serves another version now
        }
    }
    if (whole.answer == Answer::Refused || wholeCannotSucceed(download)) {
        return 0;
    }
    if (whole.position + length > download.totalSize) {
        traceAnswerProblem("whole", "answer longer than the file's length");
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
        download.backoffFor(whole.source).progressed();
    }
    return length;
}

}  // namespace

void fetchSegment(DownloadState& download, SegmentTask& task, std::size_t& source,
                  ConnectionShare* share) {
    DownloadSources& sources = *download.sources;
    sources.beginRun(&task);
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    while (!download.cannotSucceed() && !download.finished(task)) {
        // Where the waits between attempts begin, once they are paced: when everyFailed.
        bool everyFailed = false;
        const std::size_t chosen = sources.choose(&task, source, everyFailed);
        if (chosen == kNoSource) {
            break;
        }
        traceFailover(source, chosen, everyFailed);
        source = chosen;
        download.awaitRetry(task);
        const Turn turn = awaitTurn(download, source, rangesCannotSucceed);
        if (turn == Turn::SourceGivenUp && sources.othersLeft(source)) {
            sources.drop(source);  // no real progress from it for its deadline
            continue;
        }
        // Asked for only now: the range may have been cut while this worker waited.
        if (turn != Turn::Go || !download.beginRequest(task, first, last)) {
            break;
        }
        CurlEasy easy;
        if (!sources.ensureChecked(source, download.totalSize) || !(easy = makeCurlEasy())) {
            sources.attemptFailed(&task, source);
            download.backoffFor(source).failed();
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
        }
        watchTransfer(easy.get(), watchRangedTransfer, &transfer);
        const CURLcode code = curl_easy_perform(easy.get());
        traceRequest(
            easy.get(), "range", code, range.c_str(),
            rangeEndText({transfer.answer == Answer::Refused, transfer.headers.encoded,
                          transfer.wholeAnswer, transfer.otherResource, transfer.stalled}));
        // What arrived before the answer ended or broke off is the resource's all the same.
        storeGathered(transfer);
        judgeSource(download, transfer);
        // Real progress: 64 KiB, or the range finished. A byte and a reset is a failed attempt.
        if ((transfer.stored >= kRealProgressBytes || download.finished(task)) &&
            !transfer.stalled) {
            sources.attemptProgressed(&task, source);
            download.backoffFor(source).progressed();
        } else {
            if (transfer.progressed) {
                sources.attemptProgressed(&task, source);  // its bytes count as served
            }
            sources.attemptFailed(&task, source);
            // A request that the download ended (the whole resource or another version came
            // as an answer) tells nothing of its server: the request that follows such an
            // answer, the whole resource's, must not wait for a retry step.
            if (!download.cannotSucceed()) {
                download.backoffFor(source).failed(
                    askedWaitMs(responseCode(easy.get()), transfer.headers));
            }
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
    int failures = 0;
    while (failures < kRequestAttempts) {
        const std::size_t source = download.sources->wholeResourceSource();
        if (download.failed || download.allFinished() ||
            awaitTurn(download, source, wholeCannotSucceed) != Turn::Go) {
            return;
        }
        CurlEasy easy = makeCurlEasy();
        if (!easy) {
            ++failures;
            download.backoffFor(source).failed();
            continue;
        }
        const std::uint64_t before = download.bytesDone();
        WholeTransfer whole{&download,
                            easy.get(),
                            AnswerHeaders(),
                            Answer::Unchecked,
                            0,
                            download.sources->version(source),
                            source,
                            before};
        setTransferOptions(easy.get(), download.sources->url(source), writeWhole, &whole,
                           whole.headers, nullptr);
        watchTransfer(easy.get(), watchWholeTransfer, &whole);
        attachShare(easy.get(), share);
        const CURLcode code = curl_easy_perform(easy.get());
        traceRequest(easy.get(), "whole", code, nullptr,
                     whole.answer == Answer::Refused ? "answer refused: not a 200 of this version"
                                                     : nullptr);
        if (whole.position > 0) {
            download.sources->attemptProgressed(nullptr, source);
        }
        if (code == CURLE_OK || wholeCannotSucceed(download)) {
            return;
        }
        // Bytes it wrote anew count as progress, not those it had to pass over.
        if (download.bytesDone() - before < kRealProgressBytes && !download.allFinished()) {
            ++failures;
            download.backoffFor(source).failed(
                askedWaitMs(responseCode(easy.get()), whole.headers));
        }
    }
}
