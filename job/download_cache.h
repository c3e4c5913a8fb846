// The private download cache in the temporary directory: one folder, held while the run uses
// it, with one entry per installer (its partial file and the record of which bytes it holds),
// so that a download that failed or was cut off goes on where it stopped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "job/download_record.h"
#include "support/platform.h"
#include "transfer/download_plan.h"

extern const char16_t kDownloadCacheFolderName[];

// Entries nobody has touched for this long are removed.
constexpr std::int64_t kStaleCacheEntrySeconds = 7 * 24 * 60 * 60;

class DownloadCache {
public:
    // Opens the cache folder inside `temporaryDirectory`, creating it when missing. A folder
    // that is not this account's own and private, or a link or junction in its place, is
    // never used: then isOpen() is false and the run downloads as if there were no cache.
    explicit DownloadCache(const std::u16string& temporaryDirectory);
    // Lets go of the folder, and removes it when it is empty and no other run holds it: a
    // cache with nothing to resume leaves nothing behind.
    ~DownloadCache();
    DownloadCache(const DownloadCache&) = delete;
    DownloadCache& operator=(const DownloadCache&) = delete;

    bool isOpen() const { return folder_.isOpen(); }
    platform::Directory& folder() { return folder_; }

    // Removes the entries (their files only, never anything else, never through a link) that
    // were last changed `kStaleCacheEntrySeconds` or more before `now` and that no run is
    // using.
    void removeStaleEntries(std::int64_t now);

private:
    platform::Directory folder_;
};

// The entry name of a cache file ("<32 hex digits>.part", ".rec" or ".rec.new"), or nothing
// for a name that no entry has.
std::optional<std::string> cacheEntryOfFile(const std::u16string& fileName);

// One installer's entry, opened exclusively: while a run uses it, no other run can.
class CacheEntry : public DownloadCheckpoint {
public:
    // `digest` is the expected SHA-256 in hexadecimal, or empty; `url` the primary address.
    CacheEntry(platform::Directory& cache, const std::string& digest, const std::string& url);
    CacheEntry(const CacheEntry&) = delete;
    CacheEntry& operator=(const CacheEntry&) = delete;

    // False when the cache has no usable file for it (in use by another run, or not this
    // account's own regular file).
    bool isOpen() const { return file_.isOpen(); }
    platform::File& file() { return file_; }

    // What an earlier run left, or null when there is nothing to go on from.
    const ResumePoint* resumePoint() const { return resume_ ? &*resume_ : nullptr; }

    // Saves the record: written to a new file, flushed, then renamed over the old one, so that
    // the record on disk is always one whole record. A download that no later run could go on
    // from (no validator and no digest) keeps no record.
    void onCheckpoint(std::uint64_t length, const std::vector<SourceVersion>& sources,
                      const ByteRanges& written) override;

    // After a failed download: keeps the entry when a later run can go on from it, else
    // removes it.
    void keepForLater();
    // After a successful download: the record goes first, then the file moves into `folder`
    // under `name` (and stays open in file()); false when it could not be moved.
    bool moveInto(platform::Directory& folder, const std::u16string& name);
    // Removes the record and the partial file.
    void discard();

private:
    void removeRecord();

    platform::Directory& cache_;
    std::string digest_;
    std::string url_;
    std::u16string partName_;
    std::u16string recordName_;
    std::u16string newRecordName_;  // where a record is written before it replaces the old
    platform::File file_;
    std::optional<ResumePoint> resume_;
    bool recordOnDisk_ = false;
};
