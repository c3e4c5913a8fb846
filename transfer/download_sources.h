// The addresses one download may fetch its ranges from, the primary first, and what the
// download learns of each: whether it serves the resource at the download's length, its
// validators, which ranges have failed on it, and whether it is working.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "support/platform.h"
#include "transfer/answer_headers.h"
#include "transfer/single_requests.h"

constexpr std::size_t kNoSource = static_cast<std::size_t>(-1);

class DownloadSources {
public:
    // `mutex` may be null only when a single thread does all the work.
    DownloadSources(const std::vector<std::string>& urls, platform::Mutex* mutex);
    DownloadSources(const DownloadSources&) = delete;
    DownloadSources& operator=(const DownloadSources&) = delete;

    std::size_t size() const { return sources_.size(); }
    const std::string& url(std::size_t source) const { return sources_[source].url; }
    ResourceVersion version(std::size_t source);

    // The length query: one attempt per source in order, primary first, each attempt that has
    // another source to turn to bounded by the stall bound; a source that answers with an
    // error other than a passing one, or without a length, is dropped. Rounds of that, up to
    // the request attempts, until one source gives a length. Logs every failed transfer as
    // the length query does. The answering source is `answered`.
    ResourceInfo queryLength(std::size_t& answered);

    // The single source's length came from the usual length query.
    void answered(std::size_t source, const ResourceVersion& version);

    // The source for the index-th range of the download's start: the ranges are dealt over
    // the sources that answered or are not yet asked, in order, primary first.
    std::size_t spread(std::size_t index);

    // A range begins a run: its attempts on every source count from zero.
    void beginRun(const void* range);
    // The source for the range's next attempt, starting from `preferred`: one in good standing
    // that has attempts left for the range and has not failed since the range last progressed;
    // when every source has failed, the first with attempts left (then `everyFailed` is set,
    // and the waits between attempts begin). kNoSource when no source has attempts left.
    std::size_t choose(const void* range, std::size_t preferred, bool& everyFailed);

    // Before a source's first ranged request: its own length query, unless it gave the
    // download's length. False when it cannot be used now (dropped for another length or an
    // error answer, or the query failed: that attempt counts). A failed transfer is held for
    // logFailedChecks, since this runs on the workers and only the main thread writes the log.
    bool ensureChecked(std::size_t source, std::uint64_t totalSize);
    // On the main thread, once no worker runs: logs the failed transfers of ensureChecked as the
    // length query does, in the order they happened.
    void logFailedChecks();

    void attemptFailed(const void* range, std::size_t source);
    void attemptProgressed(const void* range, std::size_t source);
    // The source serves something else than the download's resource: never used again.
    void drop(std::size_t source);
    // True unless this is the last source in good standing.
    bool othersLeft(std::size_t source);

    // For a request on `source` that has received nothing for the stall bound: true when
    // another source is working (it has served bytes and has not failed since).
    bool othersWorking(std::size_t source);

    // How many sources wrote bytes into the file.
    std::size_t servedCount();
    // Per source: whether asking it again may pay, that is, unless it serves something else
    // or failed without ever serving a byte.
    std::vector<bool> worthAskingAgain();

    // The last source left answered a range with the whole resource: the download falls back
    // to one whole transfer from it.
    void ignoresRanges(std::size_t source);
    std::size_t wholeResourceSource();

private:
    enum class Standing { Unchecked, Usable, Dropped };
    struct Source {
        std::string url;
        Standing standing = Standing::Unchecked;
        ResourceVersion version;
        bool failing = false;  // its latest attempt failed
        bool served = false;
    };
    struct RangeAttempts {
        std::vector<int> failures;              // per source, in the current run
        std::vector<bool> failedSinceProgress;  // per source
    };

    bool canTake(const RangeAttempts& attempts, std::size_t source) const;

    platform::Mutex* mutex_;
    std::vector<Source> sources_;
    std::map<const void*, RangeAttempts> ranges_;
    std::vector<int> failedCheckCodes_;  // libcurl's codes, not yet logged
    std::size_t wholeResourceSource_ = 0;
};

// The stall bound in milliseconds, and its whole seconds (at least 1) for libcurl's bounds.
std::uint32_t sourceStallMs();
long sourceStallSeconds();
