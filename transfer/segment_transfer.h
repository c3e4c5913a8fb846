// One segment of a download: its range, its worker and the write path of its transfers.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/platform.h"
#include "transfer/content_range.h"

class HttpDownloader;

struct SegmentTask {
    HttpDownloader* owner = nullptr;
    platform::File* file = nullptr;  // the download's one output file
    platform::Thread thread;
    std::uint64_t rangeStart = 0;  // first byte not yet written
    std::uint64_t rangeEnd = 0;    // last byte of the range, inclusive
    platform::Mutex* mutex = nullptr;
    std::string url;

    // The attempt in progress: what it asked for and what the server answered.
    CURL* transfer = nullptr;
    std::uint64_t requestedStart = 0;
    bool headerRangeSeen = false;
    ContentRange headerRange;
    enum class Answer { Unchecked, Accepted, Refused } answer = Answer::Unchecked;

    bool finished() const { return rangeStart > rangeEnd; }
};

// A worker thread's entry; the download also runs it directly for unfinished ranges. Makes up
// to five attempts, each asking for the bytes still missing; returns the last libcurl code.
std::uint32_t segmentWorker(void* task);

// libcurl write function of the segment transfers. With a null user it accepts and drops the
// block (the length query uses it that way). Otherwise it writes the block at the segment's
// position, but only once the answer is a 206 whose Content-Range starts at the requested byte,
// and never beyond the segment's range.
std::size_t writeSegment(char* data, std::size_t size, std::size_t count, void* user);

// libcurl header function of the segment transfers: notes the Content-Range.
std::size_t readSegmentHeader(char* data, std::size_t size, std::size_t count, void* user);

// For a server that ignores ranges: fetches the whole resource over one connection and writes
// only the bytes that the segments still miss. Up to five attempts.
void transferWholeResource(HttpDownloader& owner, const std::string& url, platform::Mutex* mutex,
                           platform::File* file);
