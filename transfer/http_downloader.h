// Downloads one resource into one file over several simultaneous ranged transfers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

struct SegmentTask;

// Results of HttpDownloader::download.
constexpr int kDownloadOk = 0;
constexpr int kDownloadCannotOpen = -1;
constexpr int kDownloadNoLength = -2;
constexpr int kDownloadIncomplete = -4;

constexpr int kMaxSegments = 64;

class HttpDownloader {
public:
    HttpDownloader() = default;
    virtual ~HttpDownloader() = default;
    HttpDownloader(const HttpDownloader&) = delete;
    HttpDownloader& operator=(const HttpDownloader&) = delete;

    // Downloads `url` into the file at `path` over `segmentCount` ranges (1 to 64), one worker
    // thread each; returns one of the kDownload* results. The file is opened exclusively,
    // never truncated first, and cut to the resource's length when it was longer.
    int download(const std::string& url, const std::u16string& path, int segmentCount);

    // Called once per block written, after the counters have advanced, with the download's
    // mutex held: calls never overlap, totalSize stays the same and bytesDone never falls.
    // Both values are scaled down together for resources of 4 GiB and more.
    virtual void onProgress(std::uint32_t totalSize, std::uint32_t bytesDone);

    // Everything below is the download in progress, shared with the segment transfers.
    std::vector<SegmentTask*> segments;
    std::uint64_t totalSize = 0;
    std::uint64_t bytesDone = 0;
    // Set when a server answered a ranged request with the whole resource.
    std::atomic<bool> rangesIgnored{false};
    // Set when the file refused a write, or a server sent more than the resource: the
    // download can no longer produce the resource.
    std::atomic<bool> failed{false};

    // Reports the counters through onProgress, scaled to 32 bits.
    void reportProgress();
};

// How many bits both progress values are shifted right so that the length fits 32 bits.
unsigned progressShift(std::uint64_t totalSize);
