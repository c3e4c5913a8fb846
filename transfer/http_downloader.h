// Downloads one resource into one file over several simultaneous ranged transfers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/platform.h"
#include "transfer/download_plan.h"

// Results of HttpDownloader::download.
constexpr int kDownloadOk = 0;
constexpr int kDownloadCannotOpen = -1;
constexpr int kDownloadNoLength = -2;
constexpr int kDownloadIncomplete = -4;
// The volume of the file has not enough free space for the resource, or a write found it full.
constexpr int kDownloadNoSpace = -6;

constexpr int kMaxSegments = 64;

class HttpDownloader {
public:
    HttpDownloader() = default;
    virtual ~HttpDownloader() = default;
    HttpDownloader(const HttpDownloader&) = delete;
    HttpDownloader& operator=(const HttpDownloader&) = delete;

    // Downloads `url` into the file at `path`, cut into `segmentCount` ranges (1 to 64) with
    // at most that many connections at once; returns one of the kDownload* results. A worker
    // whose range is done takes over the upper part of a busy range when that pays (see
    // split_rule.h), over the connection it already has, so one slow connection does not hold
    // the others idle and a distant server is not asked again for nothing. The file is opened
    // exclusively, never truncated first, and cut to the resource's length when it was longer.
    int download(const std::string& url, const std::u16string& path, int segmentCount);
    // The same from several addresses of the same file, the primary first. The length comes
    // from the first source that gives one (a source that gives another is never used); the
    // ranges are dealt over the sources, and a range whose attempt fails, or that receives
    // nothing for the stall bound while another source is working, moves to another source at
    // once; a range that trickles from one source is taken over whole by a worker of a faster
    // one. When the last source left answers with another version of the file, the download
    // ends at once. With one source this is download(url, path, segmentCount).
    int download(const std::vector<std::string>& sources, const std::u16string& path,
                 int segmentCount);
    // Both of the above into a file the caller has already opened (read-write; see
    // platform::Directory), which stays open.
    int download(const std::string& url, platform::File& file, int segmentCount);
    int download(const std::vector<std::string>& sources, platform::File& file, int segmentCount);
    // The same as planned. With a resume point that fits the resource (resumeFits), only the
    // missing bytes are fetched and the progress starts at those already present; otherwise
    // every byte is. The plan's checkpoint hears which bytes are on disk while the download
    // goes and when it ends.
    int download(const DownloadPlan& plan, platform::File& file);

    // How many sources wrote bytes into the file in the latest download, and, per source, whether
    // it may be worth asking again (it neither served something else nor failed without
    // serving a byte).
    std::size_t sourcesThatServed() const { return sourcesThatServed_; }
    const std::vector<bool>& sourcesWorthAskingAgain() const { return worthAskingAgain_; }
    // True when the latest download went on from the bytes of its plan's resume point instead
    // of fetching every byte; known as soon as the length is, whether or not a checkpoint was
    // ever saved.
    bool resumedLatest() const { return resumedLatest_; }

    // Called once per block written, after the block is in the file and the count has
    // advanced, with the download's mutex held: calls never overlap, totalSize stays the same,
    // bytesDone never falls, and a successful download's last call has bytesDone == totalSize.
    // Both values are scaled down together for resources of 4 GiB and more.
    virtual void onProgress(std::uint32_t totalSize, std::uint32_t bytesDone);

private:
    std::size_t sourcesThatServed_ = 0;
    std::vector<bool> worthAskingAgain_;
    bool resumedLatest_ = false;
};

// False when the volume that holds `file` has less free space than the `length` of the
// resource minus the `present` bytes of it already in the file; true when the free space cannot
// be told.
bool hasRoomFor(const platform::File& file, std::uint64_t length, std::uint64_t present);

// How many bits both progress values are shifted right so that the length fits 32 bits.
unsigned progressShift(std::uint64_t totalSize);
