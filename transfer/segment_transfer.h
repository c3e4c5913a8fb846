// The ranged transfers of a download, and the whole-resource transfer for servers that ignore
// ranges. They see only the download's shared state.
#pragma once

#include <cstdint>

#include "transfer/connection_share.h"
#include "transfer/download_state.h"

// What a worker thread starts with: the download, the range it fetches first (null: it only
// takes work from the download), and the share its requests pass their connection on through
// (null: none).
struct SegmentWorker {
    DownloadState* download = nullptr;
    SegmentTask* first = nullptr;
    std::size_t source = 0;  // the source it fetches from (of the download's sources)
    ConnectionShare* share = nullptr;
};

// A worker thread's entry (the argument is a SegmentWorker); the download also runs it on its
// own thread. Fetches its range, then takes further work until none is left.
std::uint32_t segmentWorker(void* worker);

// One run on a range: ranged requests for its missing bytes until it is finished or five
// attempts have failed on every source. An attempt that wrote bytes is no failure. A failed
// attempt moves the range to another source at once, as does a request that has received
// nothing for the stall bound while another source is working; `source` is where the run
// starts and, afterwards, where it ended.
// Its requests go through `share` (null: none).
void fetchSegment(DownloadState& download, SegmentTask& task, std::size_t& source,
                  ConnectionShare* share);

// For a server that ignores ranges: fetches the whole resource over one connection and writes
// only the bytes that the ranges still miss. Up to five attempts.
void transferWholeResource(DownloadState& download, ConnectionShare* share);
