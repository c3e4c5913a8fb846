#include "job/download_cache.h"

#include <algorithm>
#include <map>
#include <vector>

#include "support/path_join.h"
#include "support/run_trace.h"
#include "support/text_conversion.h"

const char16_t kDownloadCacheFolderName[] = u"downloader-cache";

namespace {

constexpr char16_t kPartSuffix[] = u".part";
constexpr char16_t kRecordSuffix[] = u".rec";
constexpr char16_t kNewRecordSuffix[] = u".rec.new";
constexpr std::size_t kEntryNameLength = 32;

std::u16string widened(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// Reads a whole small file of the folder; nothing when it is missing, not this account's own
// regular file, or too long to be a record.
std::optional<std::string> readSmallFile(platform::Directory& folder, const std::u16string& name) {
    platform::HeldFile held = folder.openHeld(name);
    if (!held.isOpen()) {
        return std::nullopt;
    }
    std::string text;
    char buffer[16 * 1024];
    while (text.size() <= kMaxRecordBytes) {
        const std::int64_t got = held.read(buffer, sizeof buffer);
        if (got < 0) {
            return std::nullopt;
        }
        if (got == 0) {
            return text;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return std::nullopt;
}

}  // namespace

DownloadCache::DownloadCache(const std::u16string& temporaryDirectory) {
    if (temporaryDirectory.empty()) {
        return;
    }
    const std::u16string path = joinPath(temporaryDirectory, kDownloadCacheFolderName);
    folder_ = platform::Directory::openExistingShared(path);
    if (!folder_.isOpen()) {
        folder_ = platform::Directory::createShared(path);
    }
    if (!folder_.isOpen()) {
        folder_ = platform::Directory::openExistingShared(path);  // another run made it meanwhile
    }
}

DownloadCache::~DownloadCache() {
    if (!isOpen()) {
        return;
    }
    const std::u16string path = folder_.path();
    folder_.close();
    // Held alone, as only a folder that nobody else holds can be: removed only when empty.
    platform::Directory alone = platform::Directory::openExistingPrivate(path);
    alone.removeSelf();
}

std::optional<std::string> cacheEntryOfFile(const std::u16string& fileName) {
    if (fileName.size() <= kEntryNameLength) {
        return std::nullopt;
    }
    const std::u16string suffix = fileName.substr(kEntryNameLength);
    if (suffix != kPartSuffix && suffix != kRecordSuffix && suffix != kNewRecordSuffix) {
        return std::nullopt;
    }
    std::string name;
    for (std::size_t i = 0; i < kEntryNameLength; ++i) {
        const char16_t c = fileName[i];
        if (!((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f'))) {
            return std::nullopt;
        }
        name.push_back(static_cast<char>(c));
    }
    return name;
}

void DownloadCache::removeStaleEntries(std::int64_t now) {
    if (!isOpen()) {
        return;
    }
    // Each entry's files, and when the latest of them last changed.
    std::map<std::string, std::vector<std::u16string>> files;
    std::map<std::string, std::int64_t> latest;
    for (const platform::FolderEntry& entry : platform::listFolder(folder_.path())) {
        const std::optional<std::string> name = cacheEntryOfFile(entry.name);
        if (entry.kind != platform::FolderEntry::Kind::File || !name) {
            continue;
        }
        files[*name].push_back(entry.name);
        latest[*name] = std::max(latest[*name], entry.modified);
    }
    for (const auto& [name, names] : files) {
        if (now - latest[name] < kStaleCacheEntrySeconds) {
            continue;
        }
        // A run that is using the entry holds its partial file.
        bool inUse = false;
        platform::File part = folder_.openFile(widened(name) + kPartSuffix,
                                               platform::FileOpening::OpenExisting, &inUse);
        if (inUse) {
            continue;
        }
        part.close();
        TraceLine("cache").text("decision", "stale entry removed: untouched for 7 days");
        for (const std::u16string& file : names) {
            folder_.removeFile(file);
        }
    }
}

CacheEntry::CacheEntry(platform::Directory& cache, const std::string& digest,
                       const std::string& url)
    : cache_(cache), digest_(digest), url_(url) {
    const std::u16string name = widened(cacheEntryName(digest, url));
    partName_ = name + kPartSuffix;
    recordName_ = name + kRecordSuffix;
    newRecordName_ = name + kNewRecordSuffix;
    file_ = cache_.openFile(partName_, platform::FileOpening::OpenOrCreate);
    if (!file_.isOpen()) {
        return;
    }
    // Holding the partial file makes the entry this run's: a new record beside it is what a
    // run killed while saving one left, and would otherwise outlive the entry.
    cache_.removeFile(newRecordName_);
    const std::optional<std::string> text = readSmallFile(cache_, recordName_);
    const std::optional<DownloadRecord> record =
        text ? parseDownloadRecord(*text) : std::optional<DownloadRecord>();
    recordOnDisk_ = text.has_value();
    // A record never outlives its file on purpose, but a file that lacks what the record
    // claims must not be trusted either.
    const std::int64_t size = file_.size();
    if (record && recordCanResume(*record) && size >= 0 &&
        static_cast<std::uint64_t>(size) > record->present.back().last) {
        resume_ = resumePointFor(*record, digest_);
    } else {
        // Bytes that nothing can go on from would only take room that the download may need.
        file_.resize(0);
    }
}

void CacheEntry::onCheckpoint(std::uint64_t length, const std::vector<SourceVersion>& sources,
                              const ByteRanges& written) {
    DownloadRecord record;
    record.length = length;
    record.digest = digest_;
    record.sources = sources;
    record.present = written;
    const std::string text = recordCanResume(record) ? formatDownloadRecord(record) : "";
    if (text.empty()) {
        removeRecord();
        return;
    }
    platform::File next = cache_.openFile(newRecordName_, platform::FileOpening::OpenOrCreate);
    if (next.isOpen() && next.resize(0) && next.writeAt(0, text.data(), text.size()) &&
        next.syncData() && cache_.moveFile(next, newRecordName_, cache_, recordName_)) {
        recordOnDisk_ = true;
        return;
    }
    // Whatever the old record said may no longer be true of the file.
    next.close();
    cache_.removeFile(newRecordName_);
    removeRecord();
}

void CacheEntry::removeRecord() {
    if (recordOnDisk_) {
        cache_.removeFile(recordName_);
        recordOnDisk_ = false;
    }
}

void CacheEntry::keepForLater() {
    if (!recordOnDisk_) {
        discard();
    }
}

bool CacheEntry::moveInto(platform::Directory& folder, const std::u16string& name) {
    removeRecord();
    return file_.isOpen() && cache_.moveFile(file_, partName_, folder, name);
}

void CacheEntry::discard() {
    removeRecord();
    file_.close();
    cache_.removeFile(partName_);
}
