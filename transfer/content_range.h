// The parts of a ranged response that decide whether its bytes may be written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ContentRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    // The resource's complete length after the "/", unless the server sent "*".
    bool completeLengthKnown = false;
    std::uint64_t completeLength = 0;
};

// Parses one raw header line ("Content-Range: bytes 0-999/3000\r\n", name case-insensitive).
// True only for a satisfied byte range with first <= last, followed by "/" and the complete
// length (or "*"); false for any other header, for "bytes */3000" and for malformed values.
bool parseContentRangeHeader(const char* line, std::size_t length, ContentRange& range);

// The Range request text for the inclusive byte range, "first-last".
std::string rangeText(std::uint64_t first, std::uint64_t last);
