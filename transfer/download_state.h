// What the transfers of one download share: the output file, the ranges of the resource still
// to fetch, and the byte count behind the progress reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "support/platform.h"
#include "transfer/answer_headers.h"
#include "transfer/byte_ranges.h"
#include "transfer/download_sources.h"
#include "transfer/retry_schedule.h"
#include "transfer/split_rule.h"

// One range of the download, fetched by one worker's transfers at a time. The download starts
// with one per segment; a split adds one. Read and changed only under the download's mutex.
struct SegmentTask {
    std::uint64_t rangeStart = 0;  // first byte not yet claimed for writing
    std::uint64_t rangeEnd = 0;  // last byte, inclusive; lowered when another worker takes the top
    bool busy = false;           // a worker is fetching it
    int runs = 0;                // runs (of up to five failed attempts each) begun on it
    // Its latest request, for the pace it is fetched at: where and when it began, when its
    // first body byte came, and when its bytes were last stored.
    std::uint64_t requestFrom = 0;
    std::uint32_t requestTick = 0;
    bool requested = false;  // a request has been sent for it since it was handed out
    bool delivering = false;
    std::uint32_t firstByteTick = 0;
    std::uint32_t lastStoreTick = 0;
    bool renewed = false;    // a slow request on it was replaced once already
    std::size_t source = 0;  // the source its latest request went to (of the download's sources)

    bool finished() const { return rangeStart > rangeEnd; }
};

// Runs a range may have: its own and one resumption.
constexpr int kRunsPerSegment = 2;
// How often a worker with nothing to do asks again whether a split pays, while other ranges
// are still being fetched.
constexpr std::uint32_t kSplitRecheckMs = 20;

using ProgressReporter = void (*)(void* context, std::uint64_t totalSize, std::uint64_t bytesDone);

class DownloadState {
public:
    // `mutex` may be null only when a single thread does all the work.
    DownloadState(const std::string& url, const ResourceVersion& version, std::uint64_t totalSize,
                  platform::File& file, platform::Mutex* mutex, ProgressReporter reporter,
                  void* reporterContext);
    DownloadState(const DownloadState&) = delete;
    DownloadState& operator=(const DownloadState&) = delete;

    const std::string url;
    const ResourceVersion version;
    const std::uint64_t totalSize;
    // Where the ranges may be fetched from; null: only `url`, with `version`.
    DownloadSources* sources = nullptr;

    // Before any worker runs: adds the range first..last.
    SegmentTask& addSegment(std::uint64_t first, std::uint64_t last);
    // Gives a range to a worker that is about to start on it; `withdraw` undoes that when the
    // worker could not be started.
    void assign(SegmentTask& task);
    void withdraw(SegmentTask& task);

    // For a worker whose range `ended` (null for none): the next range it fetches, or null when
    // there is nothing left for it. That is a range nobody fetches that still has a run left,
    // else, when the ended range is finished, the upper part of the busy range whose split
    // gains the most by the split rule (decideSplit: the owner's pace, the taker's last pace
    // and the time new requests of this download needed to start), whose owner's transfer
    // then ends at the new boundary; from a range of another source that part may be its whole
    // rest. While no split pays but other ranges are still being
    // fetched, it waits and asks again; null when nothing is left for it.
    SegmentTask* takeWork(SegmentTask* ended);

    // The range's next request waits for its source's turn: until it begins, the range counts
    // as not yet asked for (a wait is no late first byte).
    void awaitRetry(SegmentTask& task);
    // The range's bytes still missing, first..last, for a request that begins now; false when
    // it is finished.
    bool beginRequest(SegmentTask& task, std::uint64_t& first, std::uint64_t& last);
    // The first body byte of the range's request has arrived.
    void noteFirstByte(SegmentTask& task);
    // How long a request of this download to `source` took to its first byte (the length
    // query's too): what a new request there is expected to need before it delivers.
    void noteTimeToFirstByte(std::uint32_t milliseconds, std::size_t source = 0);
    // The range's request goes to `source`, sent now (after that source's own length query,
    // when it needed one).
    void requestGoesTo(SegmentTask& task, std::size_t source);
    // True once when the range's request is so much slower than others of this download that
    // a new request would finish it sooner (renewPays): its transfer should end and ask again.
    bool shouldRenew(SegmentTask& task);

    // Writes the block whose first byte is the resource's byte `position`, as far as the range
    // still misses those bytes, never past `limit` or the range's end. The bytes are claimed
    // under the mutex, written without it, then counted and reported under it. Returns how many
    // bytes of the block, from the range's first missing byte, were written; 0 when the block
    // does not start at that byte or the download can no longer succeed.
    std::uint64_t store(SegmentTask& task, std::uint64_t position, const char* data,
                        std::uint64_t length, std::uint64_t limit);

    // For a body of the whole resource: writes the block's bytes that any range still misses
    // (finished parts are never written twice). Only while no worker runs.
    void storeMissing(std::uint64_t position, const char* data, std::uint64_t length);

    // Before any worker runs: counts bytes an earlier run left in the file as written, and
    // reports them, so that progress starts there.
    void markPresent(const ByteRanges& present);
    // The bytes written so far (a range is added only once its write has returned), and how
    // many times they have grown, so that an unchanged set need not be saved again.
    ByteRanges writtenRanges(std::uint64_t* generation = nullptr);

    std::uint64_t bytesDone();
    bool allFinished();
    bool finished(SegmentTask& task);

    // Set when the file refused a write, or a body was longer than the resource.
    std::atomic<bool> failed{false};
    // Set with `failed` when the write failed for lack of space on the volume.
    std::atomic<bool> diskFull{false};
    // The pace of the retries to one of the download's sources (made on first use).
    SourceBackoff& backoffFor(std::size_t source);
    // Set when a server answered a ranged request with the whole resource.
    std::atomic<bool> rangesIgnored{false};
    // Set when the last source left answered with another version or length of the resource:
    // it has been replaced, and every further request would meet the new one.
    std::atomic<bool> resourceChanged{false};
    bool cannotSucceed() const { return failed || rangesIgnored || resourceChanged; }

private:
    // The range to split for a taker whose last request was on `ended`, and how many of its
    // bytes its owner keeps; null when no split pays.
    SegmentTask* segmentToSplit(const SegmentTask* ended, std::uint64_t& ownerKeeps);
    SegmentTask* nextWork(const SegmentTask* ended);
    bool splitMayPayLater(const SegmentTask* ended) const;
    RequestPace paceOf(const SegmentTask& task, std::uint32_t now) const;
    void handOut(SegmentTask& task);
    double startupMs(std::size_t source) const;
    double wasteAllowance() const;
    int workersDoneSoon(const SegmentTask& owner, std::uint32_t now, double startupMs) const;

    platform::File& file_;
    platform::Mutex* mutex_;
    ProgressReporter reporter_;
    void* reporterContext_;
    std::deque<SegmentTask> segments_;    // a deque: adding a range moves none of the others
    std::deque<SourceBackoff> backoffs_;  // the same for a source
    std::uint64_t bytesDone_ = 0;
    ByteRangeSet written_;
    std::uint64_t writtenGeneration_ = 0;
    // Per source: each source is as far as its own round trips and server make it.
    std::map<std::size_t, std::vector<std::uint32_t>> timesToFirstByte_;
    double expectedWaste_ = 0.0;  // of the cuts made so far
    int waitingWorkers_ = 0;      // in takeWork, for a split that pays
};
