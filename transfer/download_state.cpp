#include "transfer/download_state.h"

#include <algorithm>

#include "support/run_trace.h"
#include "transfer/transfer_limits.h"

DownloadState::DownloadState(const std::string& url, const ResourceVersion& version,
                             std::uint64_t totalSize, platform::File& file, platform::Mutex* mutex,
                             ProgressReporter reporter, void* reporterContext)
    : url(url),
      version(version),
      totalSize(totalSize),
      file_(file),
      mutex_(mutex),
      reporter_(reporter),
      reporterContext_(reporterContext) {}

SegmentTask& DownloadState::addSegment(std::uint64_t first, std::uint64_t last) {
    platform::MutexLock lock(mutex_);
    SegmentTask task;
    task.rangeStart = first;
    task.rangeEnd = last;
    segments_.push_back(task);
    return segments_.back();
}

void DownloadState::assign(SegmentTask& task) {
    platform::MutexLock lock(mutex_);
    handOut(task);
}

// A range given to a worker counts as asked for from now on: its wait for a first byte starts.
void DownloadState::handOut(SegmentTask& task) {
    task.busy = true;
    ++task.runs;
    task.requestTick = platform::tickCount();
    task.requested = false;
    task.delivering = false;
}

void DownloadState::withdraw(SegmentTask& task) {
    platform::MutexLock lock(mutex_);
    task.busy = false;
    --task.runs;
}

SegmentTask* DownloadState::takeWork(SegmentTask* ended) {
    if (ended != nullptr) {
        platform::MutexLock lock(mutex_);
        ended->busy = false;
    }
    bool waiting = false;
    for (;;) {
        {
            platform::MutexLock lock(mutex_);
            if (waiting) {
                --waitingWorkers_;
            }
            SegmentTask* next = nextWork(ended);
            waiting = next == nullptr && splitMayPayLater(ended);
            if (!waiting) {
                return next;
            }
            ++waitingWorkers_;
        }
        // The connection stays idle meanwhile: a split may pay once the others' paces are
        // known, or when one of them slows down or is late to start.
        platform::sleepMilliseconds(kSplitRecheckMs);
    }
}

SegmentTask* DownloadState::nextWork(const SegmentTask* ended) {
    if (cannotSucceed()) {
        return nullptr;
    }
    for (SegmentTask& task : segments_) {
        if (!task.busy && !task.finished() && task.runs < kRunsPerSegment) {
            handOut(task);
            return &task;
        }
    }
    // Only a worker whose own range came through takes over a part of another: one whose
    // attempts failed would only spread its server's failures to more ranges.
    if (ended != nullptr && !ended->finished()) {
        return nullptr;
    }
    std::uint64_t ownerKeeps = 0;
    SegmentTask* owner = segmentToSplit(ended, ownerKeeps);
    if (owner == nullptr) {
        return nullptr;
    }
    // The taker asks the source its own latest request went to.
    const std::size_t takerSource = ended != nullptr ? ended->source : 0;
    expectedWaste_ += expectedWaste(paceOf(*owner, platform::tickCount()), startupMs(takerSource));
    SegmentTask upper;
    upper.rangeStart = owner->rangeStart + ownerKeeps;
    upper.rangeEnd = owner->rangeEnd;
    upper.source = takerSource;
    handOut(upper);
    TraceLine("split")
        .number("from", static_cast<long long>(owner->rangeStart))
        .number("owner_keeps_to", static_cast<long long>(upper.rangeStart - 1))
        .number("taker_gets_to", static_cast<long long>(upper.rangeEnd))
        .number("taker_source", static_cast<long long>(takerSource));
    owner->rangeEnd = upper.rangeStart - 1;
    segments_.push_back(upper);
    return &segments_.back();
}

bool DownloadState::splitMayPayLater(const SegmentTask* ended) const {
    if (cannotSucceed() || ended == nullptr || !ended->finished()) {
        return false;
    }
    // A range of another source may be taken over whole, however little of it is left.
    return std::any_of(segments_.begin(), segments_.end(), [ended](const SegmentTask& task) {
        return task.busy && !task.finished() &&
               (task.rangeEnd - task.rangeStart + 1 >= 2 * kSmallestSplitRange ||
                task.source != ended->source);
    });
}

SegmentTask* DownloadState::segmentToSplit(const SegmentTask* ended, std::uint64_t& ownerKeeps) {
    const std::uint32_t now = platform::tickCount();
    SplitCase splitCase;
    splitCase.startupMs = startupMs(ended != nullptr ? ended->source : 0);
    splitCase.wasteAllowance = wasteAllowance();
    if (ended != nullptr) {
        const RequestPace taker = paceOf(*ended, now);
        splitCase.takerRate = taker.deliveringMs >= kShortestRateSample ? taker.rate : -1.0;
        // A short request's rate is no pace, but what it delivered within the shortest sample
        // is a pace it has at least.
        if (taker.delivering) {
            splitCase.takerLeastRate =
                static_cast<double>(ended->rangeStart - ended->requestFrom) /
                std::max<std::uint32_t>(taker.deliveringMs, kShortestRateSample);
        }
    }
    SegmentTask* best = nullptr;
    double bestGain = 0.0;
    for (SegmentTask& task : segments_) {
        if (!task.busy || task.finished()) {
            continue;
        }
        // The whole rest is taken only from a request that has stored bytes: its range then
        // ends below its first missing byte.
        splitCase.takerElsewhere =
            ended != nullptr && task.source != ended->source && task.rangeStart > task.requestFrom;
        splitCase.ownerLeft = task.rangeEnd - task.rangeStart + 1;
        splitCase.owner = paceOf(task, now);
        splitCase.takers = 1 + waitingWorkers_ + workersDoneSoon(task, now, splitCase.startupMs);
        const SplitDecision decision = decideSplit(splitCase);
        if (decision.split && decision.gainMs > bestGain) {
            bestGain = decision.gainMs;
            ownerKeeps = decision.ownerKeeps;
            best = &task;
        }
    }
    return best;
}

// The pace of the range's latest request: while it runs, up to now; once its range is done,
// up to its last stored bytes.
RequestPace DownloadState::paceOf(const SegmentTask& task, std::uint32_t now) const {
    RequestPace pace;
    pace.delivering = task.delivering;
    if (!task.delivering) {
        // A range whose worker has not sent its request yet has waited for nothing.
        pace.waitedMs = task.requested ? now - task.requestTick : 0;
        return pace;
    }
    const std::uint32_t until = task.finished() ? task.lastStoreTick : now;
    pace.deliveringMs = until - task.firstByteTick;
    if (pace.deliveringMs > 0) {
        pace.rate = static_cast<double>(task.rangeStart - task.requestFrom) / pace.deliveringMs;
    }
    return pace;
}

// Workers other than the owner's whose ranges are done or expected to be done within a recheck
// or a new request's start: they will want a part of the same range in a moment.
int DownloadState::workersDoneSoon(const SegmentTask& owner, std::uint32_t now,
                                   double startupMs) const {
    const double soon = std::max<double>(startupMs, kSplitRecheckMs);
    int count = 0;
    for (const SegmentTask& task : segments_) {
        if (&task == &owner || !task.busy) {
            continue;
        }
        if (task.finished()) {
            ++count;  // its worker is on its way here
            continue;
        }
        const RequestPace pace = paceOf(task, now);
        const double left = static_cast<double>(task.rangeEnd - task.rangeStart + 1);
        if (pace.deliveringMs >= kShortestRateSample && pace.rate > 0.0 &&
            left / pace.rate <= soon) {
            ++count;
        }
    }
    return count;
}

double DownloadState::wasteAllowance() const {
    return std::max(0.0, kWastedShare * static_cast<double>(totalSize) - expectedWaste_);
}

// The median of the times to first byte of the source seen in this download; of all sources'
// while it has none of its own.
double DownloadState::startupMs(std::size_t source) const {
    std::vector<std::uint32_t> times;
    const auto own = timesToFirstByte_.find(source);
    if (own != timesToFirstByte_.end()) {
        times = own->second;
    } else {
        for (const auto& [other, measured] : timesToFirstByte_) {
            times.insert(times.end(), measured.begin(), measured.end());
        }
    }
    if (times.empty()) {
        return 0.0;
    }
    const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
    std::nth_element(times.begin(), middle, times.end());
    return *middle;
}

void DownloadState::noteTimeToFirstByte(std::uint32_t milliseconds, std::size_t source) {
    platform::MutexLock lock(mutex_);
    timesToFirstByte_[source].push_back(milliseconds);
}

void DownloadState::requestGoesTo(SegmentTask& task, std::size_t source) {
    platform::MutexLock lock(mutex_);
    task.source = source;
    task.requestTick = platform::tickCount();
}

void DownloadState::noteFirstByte(SegmentTask& task) {
    platform::MutexLock lock(mutex_);
    if (task.delivering) {
        return;
    }
    task.delivering = true;
    task.firstByteTick = platform::tickCount();
    task.lastStoreTick = task.firstByteTick;
    timesToFirstByte_[task.source].push_back(task.firstByteTick - task.requestTick);
}

bool DownloadState::shouldRenew(SegmentTask& task) {
    platform::MutexLock lock(mutex_);
    if (task.renewed || task.finished()) {
        return false;
    }
    const std::uint32_t now = platform::tickCount();
    double bestOther = -1.0;
    // A new request goes to the same source: only that source's paces tell what it can do.
    for (const SegmentTask& other : segments_) {
        if (&other == &task || other.source != task.source) {
            continue;
        }
        const RequestPace pace = paceOf(other, now);
        if (pace.deliveringMs >= kShortestRenewSample) {
            bestOther = std::max(bestOther, pace.rate);
        }
    }
    const RequestPace pace = paceOf(task, now);
    const double startup = startupMs(task.source);
    if (!renewPays(task.rangeEnd - task.rangeStart + 1, pace, bestOther, startup,
                   wasteAllowance())) {
        return false;
    }
    expectedWaste_ += expectedWaste(pace, startup);
    task.renewed = true;
    TraceLine("renew")
        .number("from", static_cast<long long>(task.rangeStart))
        .number("source", static_cast<long long>(task.source))
        .text("reason", "request far slower than the others: asked again");
    return true;
}

void DownloadState::awaitRetry(SegmentTask& task) {
    platform::MutexLock lock(mutex_);
    task.requested = false;
    task.delivering = false;
}

bool DownloadState::beginRequest(SegmentTask& task, std::uint64_t& first, std::uint64_t& last) {
    platform::MutexLock lock(mutex_);
    if (task.finished()) {
        return false;  // its last request's rate stays, for the split it may make next
    }
    task.requestFrom = task.rangeStart;
    task.requestTick = platform::tickCount();
    task.requested = true;
    task.delivering = false;
    first = task.rangeStart;
    last = task.rangeEnd;
    return true;
}

std::uint64_t DownloadState::store(SegmentTask& task, std::uint64_t position, const char* data,
                                   std::uint64_t length, std::uint64_t limit) {
    std::uint64_t offset = 0;
    std::uint64_t take = 0;
    {
        platform::MutexLock lock(mutex_);
        if (failed || task.finished() || task.rangeStart < position ||
            task.rangeStart - position >= length) {
            return 0;
        }
        offset = task.rangeStart;
        const std::uint64_t last = std::min(task.rangeEnd, limit);
        if (offset > last) {
            return 0;
        }
        take = std::min(position + length - offset, last - offset + 1);
        task.rangeStart += take;  // claimed: a split now cuts above these bytes
        task.lastStoreTick = platform::tickCount();
    }
    bool noSpace = false;
    const bool written =
        file_.writeAt(offset, data + (offset - position), static_cast<std::size_t>(take), &noSpace);
    platform::MutexLock lock(mutex_);
    if (!written) {
        TraceLine("write")
            .number("offset", static_cast<long long>(offset))
            .text("problem", noSpace ? "disk full" : "write to the file failed");
        diskFull = diskFull || noSpace;
        failed = true;
        return 0;
    }
    bytesDone_ += take;
    written_.add(offset, offset + take - 1);
    ++writtenGeneration_;
    reporter_(reporterContext_, totalSize, bytesDone_);
    return take;
}

void DownloadState::storeMissing(std::uint64_t position, const char* data, std::uint64_t length) {
    std::vector<SegmentTask*> tasks;
    {
        platform::MutexLock lock(mutex_);
        for (SegmentTask& task : segments_) {
            tasks.push_back(&task);
        }
    }
    for (SegmentTask* task : tasks) {
        store(*task, position, data, length, totalSize - 1);
    }
}

void DownloadState::markPresent(const ByteRanges& present) {
    platform::MutexLock lock(mutex_);
    for (const ByteRange& range : present) {
        written_.add(range.first, range.last);
    }
    bytesDone_ = written_.byteCount();
    if (bytesDone_ > 0) {
        reporter_(reporterContext_, totalSize, bytesDone_);
    }
}

ByteRanges DownloadState::writtenRanges(std::uint64_t* generation) {
    platform::MutexLock lock(mutex_);
    if (generation != nullptr) {
        *generation = writtenGeneration_;
    }
    return written_.ranges();
}

std::uint64_t DownloadState::bytesDone() {
    platform::MutexLock lock(mutex_);
    return bytesDone_;
}

SourceBackoff& DownloadState::backoffFor(std::size_t source) {
    platform::MutexLock lock(mutex_);
    while (backoffs_.size() <= source) {
        // A source's deadline counts from its first request.
        const TransferLimits limits = transferLimits();
        backoffs_.emplace_back(limits.rangeRetries, limits.downloadStallDeadlineMs,
                               limits.retryAfterCapMs, backoffs_.size());
    }
    return backoffs_[source];
}

bool DownloadState::finished(SegmentTask& task) {
    platform::MutexLock lock(mutex_);
    return task.finished();
}

bool DownloadState::allFinished() {
    platform::MutexLock lock(mutex_);
    return std::all_of(segments_.begin(), segments_.end(),
                       [](const SegmentTask& task) { return task.finished(); });
}
