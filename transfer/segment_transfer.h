// The ranged transfers of a download, and the whole-resource transfer for servers that ignore
// ranges. They see only the download's shared state.
#pragma once

#include <cstdint>

#include "transfer/download_state.h"

// What a worker thread starts with: the download, and the range it fetches first (null: it
// only takes work from the download).
struct SegmentWorker {
    DownloadState* download = nullptr;
    SegmentTask* first = nullptr;
};

// A worker thread's entry (the argument is a SegmentWorker); the download also runs it on its
// own thread. Fetches its range, then takes further work until none is left.
std::uint32_t segmentWorker(void* worker);

// One run on a range: ranged requests for its missing bytes until it is finished or five
// attempts have failed. An attempt that stored 64 KiB or finished the range is no failure.
// Requests wait for the turn that the download's backoff gives them, and none is made once
// the server's deadline has passed.
void fetchSegment(DownloadState& download, SegmentTask& task);

// For a server that ignores ranges: fetches the whole resource over one connection and writes
// only the bytes that the ranges still miss. Up to five failed attempts, paced like the ranges.
void transferWholeResource(DownloadState& download);
