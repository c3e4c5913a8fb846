#include "transfer/download_sources.h"

#include <curl/curl.h>

#include <algorithm>

#include "support/diagnostic_log.h"
#include "transfer/request_limits.h"
#include "transfer/request_trace.h"
#include "transfer/transfer_limits.h"

namespace {

// Answers that say the server is busy or failing for now, not that it lacks the file.
bool passingError(long status) {
    return status == 429 || status >= 500;
}

}  // namespace

std::uint32_t sourceStallMs() {
    return transferLimits().sourceStallMs;
}

long sourceStallSeconds() {
    const long seconds = static_cast<long>((sourceStallMs() + 999) / 1000);
    return seconds > 0 ? seconds : 1;
}

DownloadSources::DownloadSources(const std::vector<std::string>& urls, platform::Mutex* mutex)
    : mutex_(mutex) {
    for (const std::string& url : urls) {
        Source source;
        source.url = url;
        sources_.push_back(source);
    }
}

ResourceVersion DownloadSources::version(std::size_t source) {
    platform::MutexLock lock(mutex_);
    return sources_[source].version;
}

ResourceInfo DownloadSources::queryLength(std::size_t& answered) {
    answered = kNoSource;
    // A round in which every source failed makes the next one wait, as the length query does.
    RetryPacer pacer = lengthQueryPacer();
    for (int round = 0; round < kRequestAttempts && pacer.beforeAttempt(); ++round) {
        std::optional<std::uint32_t> asked;
        bool worthAWait = false;
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            Source& source = sources_[i];
            if (source.standing == Standing::Dropped) {
                continue;
            }
            const bool alone = !othersLeft(i);
            const LengthAnswer answer =
                queryResourceOnce(source.url, alone ? 0 : sourceStallSeconds(), nullptr,
                                  std::max(1u, pacer.msLeft()));
            if (answer.code != CURLE_OK) {
                if (answer.code != kNoHandle) {
                    writeLogFormatted("Failed to call getFileSize():%d\n", answer.code);
                }
                source.failing = true;
                worthAWait = worthAWait || failureWorthAWait(answer.code);
                if (answer.askedMs && (!asked || *answer.askedMs > *asked)) {
                    asked = answer.askedMs;
                }
                continue;
            }
            if (answer.info.length == 0) {
                // Busy now, or without the file: a source with others beside it is passed
                // over for now or for good; the last one's answer is the download's.
                if (alone) {
                    return ResourceInfo();
                }
                if (passingError(answer.status)) {
                    source.failing = true;
                } else {
                    source.standing = Standing::Dropped;
                }
                continue;
            }
            source.standing = Standing::Usable;
            source.version = answer.info.version;
            source.failing = false;
            answered = i;
            return answer.info;
        }
        if (worthAWait) {
            pacer.failed(asked);
        }
    }
    return ResourceInfo();
}

void DownloadSources::answered(std::size_t source, const ResourceVersion& version) {
    platform::MutexLock lock(mutex_);
    sources_[source].standing = Standing::Usable;
    sources_[source].version = version;
}

std::size_t DownloadSources::spread(std::size_t index) {
    platform::MutexLock lock(mutex_);
    std::vector<std::size_t> dealt;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (sources_[i].standing != Standing::Dropped && !sources_[i].failing) {
            dealt.push_back(i);
        }
    }
    return dealt.empty() ? 0 : dealt[index % dealt.size()];
}

void DownloadSources::beginRun(const void* range) {
    platform::MutexLock lock(mutex_);
    RangeAttempts& attempts = ranges_[range];
    attempts.failures.assign(sources_.size(), 0);
    attempts.failedSinceProgress.assign(sources_.size(), false);
}

bool DownloadSources::canTake(const RangeAttempts& attempts, std::size_t source) const {
    return sources_[source].standing != Standing::Dropped &&
           attempts.failures[source] < kRequestAttempts;
}

std::size_t DownloadSources::choose(const void* range, std::size_t preferred, bool& everyFailed) {
    platform::MutexLock lock(mutex_);
    everyFailed = false;
    RangeAttempts& attempts = ranges_[range];
    if (attempts.failures.size() != sources_.size()) {
        attempts.failures.assign(sources_.size(), 0);
        attempts.failedSinceProgress.assign(sources_.size(), false);
    }
    const std::size_t count = sources_.size();
    const std::size_t start = preferred < count ? preferred : 0;
    // First a source that is working, then one that has merely not failed this range.
    for (const bool avoidFailing : {true, false}) {
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t i = (start + k) % count;
            if (canTake(attempts, i) && !attempts.failedSinceProgress[i] &&
                !(avoidFailing && sources_[i].failing)) {
                return i;
            }
        }
    }
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t i = (start + k) % count;
        if (canTake(attempts, i)) {
            everyFailed = count > 1;
            attempts.failedSinceProgress.assign(count, false);
            return i;
        }
    }
    return kNoSource;
}

bool DownloadSources::ensureChecked(std::size_t index, std::uint64_t totalSize) {
    std::string url;
    {
        platform::MutexLock lock(mutex_);
        if (sources_[index].standing != Standing::Unchecked) {
            return sources_[index].standing == Standing::Usable;
        }
        url = sources_[index].url;
    }
    const LengthAnswer answer = queryResourceOnce(url, sourceStallSeconds());
    platform::MutexLock lock(mutex_);
    if (answer.code != CURLE_OK && answer.code != kNoHandle) {
        failedCheckCodes_.push_back(answer.code);
    }
    Source& source = sources_[index];
    if (answer.code != CURLE_OK || passingError(answer.status)) {
        return false;
    }
    if (answer.info.length != totalSize) {
        traceSourceDropped(index, "serves another length, or none");
        source.standing = Standing::Dropped;  // another file, or none
        return false;
    }
    if (source.standing == Standing::Unchecked) {
        source.standing = Standing::Usable;
        source.version = answer.info.version;
    }
    return source.standing == Standing::Usable;
}

void DownloadSources::logFailedChecks() {
    std::vector<int> codes;
    {
        platform::MutexLock lock(mutex_);
        codes.swap(failedCheckCodes_);
    }
    for (const int code : codes) {
        writeLogFormatted("Failed to call getFileSize():%d\n", code);
    }
}

void DownloadSources::attemptFailed(const void* range, std::size_t source) {
    platform::MutexLock lock(mutex_);
    RangeAttempts& attempts = ranges_[range];
    if (attempts.failures.size() == sources_.size()) {
        ++attempts.failures[source];
        attempts.failedSinceProgress[source] = true;
    }
    sources_[source].failing = true;
}

void DownloadSources::attemptProgressed(const void* range, std::size_t source) {
    platform::MutexLock lock(mutex_);
    RangeAttempts& attempts = ranges_[range];
    if (attempts.failedSinceProgress.size() == sources_.size()) {
        attempts.failedSinceProgress.assign(sources_.size(), false);
    }
    sources_[source].failing = false;
    sources_[source].served = true;
}

void DownloadSources::drop(std::size_t source) {
    traceSourceDropped(source, "another file, no ranges, or no progress");
    platform::MutexLock lock(mutex_);
    sources_[source].standing = Standing::Dropped;
}

bool DownloadSources::othersLeft(std::size_t source) {
    platform::MutexLock lock(mutex_);
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (i != source && sources_[i].standing != Standing::Dropped) {
            return true;
        }
    }
    return false;
}

bool DownloadSources::othersWorking(std::size_t source) {
    platform::MutexLock lock(mutex_);
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        if (i != source && sources_[i].standing == Standing::Usable && sources_[i].served &&
            !sources_[i].failing) {
            return true;
        }
    }
    return false;
}

std::size_t DownloadSources::servedCount() {
    platform::MutexLock lock(mutex_);
    std::size_t count = 0;
    for (const Source& source : sources_) {
        count += source.served ? 1 : 0;
    }
    return count;
}

std::vector<bool> DownloadSources::worthAskingAgain() {
    platform::MutexLock lock(mutex_);
    std::vector<bool> worth;
    for (const Source& source : sources_) {
        worth.push_back(source.standing != Standing::Dropped && (source.served || !source.failing));
    }
    return worth;
}

void DownloadSources::ignoresRanges(std::size_t source) {
    platform::MutexLock lock(mutex_);
    wholeResourceSource_ = source;
}

std::size_t DownloadSources::wholeResourceSource() {
    platform::MutexLock lock(mutex_);
    return wholeResourceSource_;
}
