#include "transfer/http_downloader.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "support/platform.h"
#include "support/run_trace.h"
#include "support/trace_text.h"
#include "transfer/connection_share.h"
#include "transfer/download_checkpoints.h"
#include "transfer/download_sources.h"
#include "transfer/download_state.h"
#include "transfer/segment_transfer.h"
#include "transfer/single_requests.h"

namespace {

void reportTo(void* downloader, std::uint64_t totalSize, std::uint64_t bytesDone) {
    const unsigned shift = progressShift(totalSize);
    static_cast<HttpDownloader*>(downloader)
        ->onProgress(static_cast<std::uint32_t>(totalSize >> shift),
                     static_cast<std::uint32_t>(bytesDone >> shift));
}

}  // namespace

unsigned progressShift(std::uint64_t totalSize) {
    unsigned shift = 0;
    while ((totalSize >> shift) > 0xFFFFFFFFull) {
        ++shift;
    }
    return shift;
}

bool hasRoomFor(const platform::File& file, std::uint64_t length, std::uint64_t present) {
    const std::int64_t free = file.volumeFreeSpace();
    const std::uint64_t needed = length > present ? length - present : 0;
    const bool room = free < 0 || static_cast<std::uint64_t>(free) >= needed;
    TraceLine("free space")
        .number("free_bytes", free)
        .number("needed_bytes", static_cast<long long>(needed))
        .text("verdict", free < 0 ? "unknown, download goes on"
                         : room   ? "enough"
                                  : "not enough free space on the disk");
    return room;
}

void HttpDownloader::onProgress(std::uint32_t, std::uint32_t) {}

int HttpDownloader::download(const std::string& url, const std::u16string& path, int segmentCount) {
    return download(std::vector<std::string>{url}, path, segmentCount);
}

int HttpDownloader::download(const std::string& url, platform::File& file, int segmentCount) {
    return download(std::vector<std::string>{url}, file, segmentCount);
}

int HttpDownloader::download(const std::vector<std::string>& urls, const std::u16string& path,
                             int segmentCount) {
    if (urls.empty()) {
        return kDownloadNoLength;
    }
    platform::File file = platform::File::openExclusive(path);
    if (!file.isOpen()) {
        return kDownloadCannotOpen;
    }
    const int result = download(urls, file, segmentCount);
    // A file made for a download that found too little room goes again.
    if (result == kDownloadNoSpace && file.size() == 0) {
        file.close();
        platform::removeFile(path);
    }
    return result;
}

int HttpDownloader::download(const std::vector<std::string>& urls, platform::File& file,
                             int segmentCount) {
    DownloadPlan plan;
    plan.sources = urls;
    plan.segmentCount = segmentCount;
    return download(plan, file);
}

int HttpDownloader::download(const DownloadPlan& plan, platform::File& file) {
    const std::vector<std::string>& urls = plan.sources;
    sourcesThatServed_ = 0;
    worthAskingAgain_.assign(urls.size(), true);
    resumedLatest_ = false;
    if (urls.empty()) {
        return kDownloadNoLength;
    }
    if (!file.isOpen()) {
        return kDownloadCannotOpen;
    }
    const std::size_t workerCount =
        static_cast<std::size_t>(std::clamp(plan.segmentCount, 1, kMaxSegments));
    // One per worker; the length query's connection goes on to the first range.
    std::vector<std::unique_ptr<ConnectionShare>> shares;
    for (std::size_t i = 0; i < workerCount; ++i) {
        shares.push_back(std::make_unique<ConnectionShare>());
    }
    platform::Mutex mutex;
    // Without a mutex the ranges cannot share the file safely: they all run on this thread.
    platform::Mutex* shared = mutex.isValid() ? &mutex : nullptr;
    DownloadSources sources(urls, shared);
    for (std::size_t i = 0; i < urls.size() && tracing(); ++i) {
        TraceLine("source")
            .number("number", static_cast<long long>(i))
            .text("address", addressForTrace(urls[i]));
    }
    std::size_t answered = 0;
    ResourceInfo resource;
    if (urls.size() == 1) {
        resource = queryResource(urls.front(), shares[0].get());
        sources.answered(0, resource.version);
    } else {
        resource = sources.queryLength(answered);
    }
    const std::uint64_t length = resource.length;
    if (length == 0) {
        TraceLine("download")
            .number("result", kDownloadNoLength)
            .text(
                "cause",
                "no usable length from any source (refused, error status, no Content-Length or 0)");
        return kDownloadNoLength;
    }
    TraceLine("download")
        .number("length", static_cast<long long>(length))
        .number("length_from_source", static_cast<long long>(answered))
        .number("segments", static_cast<long long>(workerCount));
    const bool resuming = plan.resume != nullptr &&
                          resumeFits(*plan.resume, length, urls[answered], resource.version);
    if (plan.resume != nullptr) {
        TraceLine("cache").text(
            "decision", resuming ? "resuming the earlier run's bytes"
                                 : "earlier bytes are of another version or length: started over");
    }
    const ByteRanges present = resuming ? plan.resume->present : ByteRanges();
    resumedLatest_ = resuming;
    DownloadState state(urls[answered], resource.version, length, file, shared, reportTo, this);
    state.sources = &sources;
    CheckpointTimer checkpoints(state, file, plan.checkpoint);
    if (plan.resume != nullptr && !resuming) {
        // The earlier bytes belong to another resource: forgotten before any is overwritten,
        // and before too little room can end the download, which must not leave them to be
        // offered again.
        checkpoints.forget();
    }
    // Said before any body is asked for: a full disk is no network failure. Bytes already in
    // the file need no new room, whether they stay or this resource's bytes overwrite them.
    if (!hasRoomFor(file, length,
                    plan.resume != nullptr ? bytesWithin(plan.resume->present, length) : 0)) {
        TraceLine("download")
            .number("result", kDownloadNoSpace)
            .text("cause", "not enough free space");
        return kDownloadNoSpace;
    }
    state.noteTimeToFirstByte(resource.firstByteMs, answered);
    // An older, longer file at the path must not leave its tail behind the new resource.
    const std::int64_t existing = file.size();
    if (existing < 0 || (static_cast<std::uint64_t>(existing) > length && !file.resize(length))) {
        state.failed = true;
    }
    state.markPresent(present);

    // The missing bytes in equal shares, one worker each (never more ranges than bytes);
    // further ranges are taken up by workers that are done with theirs.
    const ByteRanges ranges = rangesToFetch(length, present, workerCount);
    const std::size_t count = std::min(ranges.size(), workerCount);
    std::vector<SegmentWorker> workers(count);
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        SegmentTask& task = state.addSegment(ranges[i].first, ranges[i].last);
        if (i < count) {
            workers[i].download = &state;
            workers[i].share = shares[i].get();
            workers[i].source = sources.spread(i);
            workers[i].first = &task;
        }
    }
    std::vector<platform::Thread> threads(count);
    std::vector<platform::Thread*> started;
    const bool threaded = shared != nullptr && !state.failed;
    // Every range is its worker's before any worker runs: one that is done early must not
    // take a range whose own worker is still being started.
    for (std::size_t i = 0; i < count && threaded; ++i) {
        state.assign(*workers[i].first);
    }
    for (std::size_t i = 0; i < count && threaded; ++i) {
        threads[i] = platform::Thread::createSuspended(segmentWorker, &workers[i]);
        if (threads[i].isValid() && threads[i].resume()) {
            started.push_back(&threads[i]);
        } else {
            state.withdraw(*workers[i].first);  // never ran: another worker takes its range
            threads[i].close();
        }
    }
    if (threaded) {
        checkpoints.start();
    }
    platform::Thread::waitForAll(started);
    threads.clear();

    // Whatever no thread could take (a thread that did not start, or no mutex) runs here.
    SegmentWorker rest{&state, nullptr, sources.spread(0), shares[0].get()};
    segmentWorker(&rest);
    if (state.rangesIgnored && !state.failed && !state.resourceChanged) {
        transferWholeResource(state, shares[0].get());
    }
    checkpoints.finish();
    sources.logFailedChecks();
    sourcesThatServed_ = sources.servedCount();
    worthAskingAgain_ = sources.worthAskingAgain();
    const int result = state.diskFull ? kDownloadNoSpace
                       : (!state.failed && !state.resourceChanged && state.bytesDone() == length)
                           ? kDownloadOk
                           : kDownloadIncomplete;
    TraceLine("download")
        .number("result", result)
        .number("bytes", static_cast<long long>(state.bytesDone()))
        .number("of", static_cast<long long>(length))
        .number("sources_served", static_cast<long long>(sourcesThatServed_))
        .text("cause",
              result == kDownloadOk   ? "complete"
              : state.diskFull        ? "disk full"
              : state.resourceChanged ? "another version of the file: it changed on the server"
              : state.failed
                  ? "a write failed or an answer was not the file's"
                  : "incomplete: the servers stopped delivering before every range was in");
    return result;
}
