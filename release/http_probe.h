// Single requests that look at what the downloader's engine does not report: the status, the
// ETag and the Content-Range of an answer. Same TLS settings as the engine (no certificate
// checks), no redirections followed.
#pragma once

#include <cstdint>
#include <string>

#include "transfer/content_range.h"

struct ProbeAnswer {
    bool answered = false;  // a status line arrived
    std::string error;      // libcurl's reason when nothing usable arrived
    long status = 0;
    bool lengthKnown = false;
    std::uint64_t length = 0;  // Content-Length
    std::string etag;          // as sent, quotes included; empty when absent
    bool contentRangeSent = false;
    bool contentRangeValid = false;  // parsed by the engine's own parser
    std::string contentRangeText;    // the header's value, for messages
    ContentRange contentRange;
    std::uint64_t bodyBytes = 0;
};

// HEAD.
ProbeAnswer probeHead(const std::string& url);

// GET with "Range: bytes=first-last". Reads at most a little more than the range asks for, so
// that a server ignoring the range does not send its whole file.
ProbeAnswer probeRange(const std::string& url, std::uint64_t first, std::uint64_t last);
