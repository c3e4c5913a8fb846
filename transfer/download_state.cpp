#include "transfer/download_state.h"

#include <algorithm>

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
    task.busy = true;
    ++task.runs;
}

void DownloadState::withdraw(SegmentTask& task) {
    platform::MutexLock lock(mutex_);
    task.busy = false;
    --task.runs;
}

SegmentTask* DownloadState::takeWork(SegmentTask* ended) {
    platform::MutexLock lock(mutex_);
    if (ended != nullptr) {
        ended->busy = false;
    }
    if (cannotSucceed()) {
        return nullptr;
    }
    for (SegmentTask& task : segments_) {
        if (!task.busy && !task.finished() && task.runs < kRunsPerSegment) {
            task.busy = true;
            ++task.runs;
            return &task;
        }
    }
    // Only a worker whose own range came through takes over a part of another: one whose
    // attempts failed would only spread its server's failures to more ranges.
    SegmentTask* largest = (ended == nullptr || ended->finished()) ? segmentToSplit() : nullptr;
    if (largest == nullptr) {
        return nullptr;
    }
    SegmentTask upper;
    upper.rangeStart = upperPartStart(*largest, ended);
    upper.rangeEnd = largest->rangeEnd;
    upper.busy = true;
    upper.runs = 1;
    largest->rangeEnd = upper.rangeStart - 1;
    segments_.push_back(upper);
    return &segments_.back();
}

SegmentTask* DownloadState::segmentToSplit() {
    SegmentTask* largest = nullptr;
    std::uint64_t mostLeft = 2 * kSmallestSplitRange - 1;
    for (SegmentTask& task : segments_) {
        if (task.busy && !task.finished() && task.rangeEnd - task.rangeStart + 1 > mostLeft) {
            mostLeft = task.rangeEnd - task.rangeStart + 1;
            largest = &task;
        }
    }
    return largest;
}

namespace {

// Bytes per millisecond of the range's latest request; negative while too short to tell.
double requestRate(const SegmentTask& task, std::uint64_t upTo, std::uint32_t now) {
    const std::uint32_t elapsed = now - task.requestTick;
    return elapsed < kShortestRateSample ? -1.0
                                         : static_cast<double>(upTo - task.requestFrom) / elapsed;
}

}  // namespace

// Where the taker's part begins: both parts should end together, so the owner keeps the
// share of its own rate in the sum of both rates (the taker's rate judged by the range it has
// just finished). Halves when either rate is unknown.
std::uint64_t DownloadState::upperPartStart(const SegmentTask& owner,
                                            const SegmentTask* ended) const {
    const std::uint64_t left = owner.rangeEnd - owner.rangeStart + 1;
    std::uint64_t keep = left / 2;
    const std::uint32_t now = platform::tickCount();
    const double ownerRate = requestRate(owner, owner.rangeStart, now);
    const double takerRate =
        ended == nullptr ? -1.0 : requestRate(*ended, ended->rangeEnd + 1, now);
    if (ownerRate >= 0.0 && takerRate > 0.0) {
        keep = static_cast<std::uint64_t>(static_cast<double>(left) * ownerRate /
                                          (ownerRate + takerRate));
    }
    keep = std::clamp(keep, kSmallestSplitRange, left - kSmallestSplitRange);
    return owner.rangeStart + keep;
}

bool DownloadState::beginRequest(SegmentTask& task, std::uint64_t& first, std::uint64_t& last) {
    platform::MutexLock lock(mutex_);
    if (task.finished()) {
        return false;  // its last request's rate stays, for the split it may make next
    }
    task.requestFrom = task.rangeStart;
    task.requestTick = platform::tickCount();
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
    }
    const bool written =
        file_.writeAt(offset, data + (offset - position), static_cast<std::size_t>(take));
    platform::MutexLock lock(mutex_);
    if (!written) {
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

bool DownloadState::allFinished() {
    platform::MutexLock lock(mutex_);
    return std::all_of(segments_.begin(), segments_.end(),
                       [](const SegmentTask& task) { return task.finished(); });
}
