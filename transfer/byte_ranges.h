// Sets of byte ranges of a resource: what is in the file, what is still missing, and how the
// missing bytes are cut into the ranges of a download.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

// The bytes first..last of a resource, both included.
struct ByteRange {
    std::uint64_t first = 0;
    std::uint64_t last = 0;

    std::uint64_t size() const { return last - first + 1; }
    bool operator==(const ByteRange& other) const {
        return first == other.first && last == other.last;
    }
};

using ByteRanges = std::vector<ByteRange>;

// Ranges in ascending order, merged wherever they touch or overlap.
class ByteRangeSet {
public:
    void add(std::uint64_t first, std::uint64_t last);
    ByteRanges ranges() const;
    std::uint64_t byteCount() const { return bytes_; }

private:
    std::map<std::uint64_t, std::uint64_t> byFirst_;  // first -> last
    std::uint64_t bytes_ = 0;
};

// True when the ranges are ascending, apart (not touching), and all within a resource of
// `length` bytes.
bool rangesFitResource(const ByteRanges& ranges, std::uint64_t length);

// How many bytes of `ranges` (ascending and apart) lie within the first `length` bytes.
std::uint64_t bytesWithin(const ByteRanges& ranges, std::uint64_t length);

// The bytes of a resource of `length` bytes that `present` (which rangesFitResource) lacks,
// cut into at least `count` ranges where there are that many bytes: the missing bytes are
// shared out in equal parts (the last part takes the remainder of the division), and a part
// that spans a present range becomes two ranges.
ByteRanges rangesToFetch(std::uint64_t length, const ByteRanges& present, std::uint64_t count);
