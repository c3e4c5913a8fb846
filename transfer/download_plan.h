// What a download is asked to do beyond its address: the ranges an earlier run left in the
// file, and who is told, as the download goes, which bytes are safely in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "transfer/answer_headers.h"
#include "transfer/byte_ranges.h"

// One address of a resource, with the validators it named.
struct SourceVersion {
    std::string url;
    ResourceVersion version;
};

// What an earlier run of the same download left in the file.
struct ResumePoint {
    std::uint64_t length = 0;             // the resource's length then
    std::vector<SourceVersion> versions;  // what each address named then
    bool sameDigest = false;  // the bytes were fetched for the digest the caller expects now
    ByteRanges present;       // the bytes in the file, ascending and apart

    // The validators `url` named then; none when it was not among the addresses.
    ResourceVersion versionOf(const std::string& url) const;
};

// True when the bytes of `earlier` belong to the resource that the length query of `url` has
// just described: the same length, and the same strong ETag (else the same Last-Modified date)
// as that address named then, or the digest that will check the whole file. Neither: the
// bytes cannot be trusted to fit.
bool resumeFits(const ResumePoint& earlier, std::uint64_t length, const std::string& url,
                const ResourceVersion& now);

// Hears which bytes are on disk, so that a later run can go on from there.
class DownloadCheckpoint {
public:
    virtual ~DownloadCheckpoint() = default;
    // Called every kCheckpointIntervalMs to kCheckpointLongestIntervalMs while bytes are being
    // written, and once when the download ends, never two at once. `written` are the bytes of the
    // resource (of this length, as `sources` name it) that are in the file, already flushed to the
    // disk.
    virtual void onCheckpoint(std::uint64_t length, const std::vector<SourceVersion>& sources,
                              const ByteRanges& written) = 0;
};

// A kill loses what was written since the last checkpoint, so they come often; on a disk where
// one takes long they are spaced out, never beyond the longest interval.
constexpr std::uint32_t kCheckpointIntervalMs = 100;
constexpr std::uint32_t kCheckpointLongestIntervalMs = 1000;

struct DownloadPlan {
    std::vector<std::string> sources;  // the addresses of the same file, the primary first
    int segmentCount = 1;
    const ResumePoint* resume = nullptr;       // null: start from nothing
    DownloadCheckpoint* checkpoint = nullptr;  // null: nobody is told
};
