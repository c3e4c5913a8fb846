#include "transfer/byte_ranges.h"

#include <algorithm>
#include <iterator>

void ByteRangeSet::add(std::uint64_t first, std::uint64_t last) {
    if (first > last) {
        return;
    }
    // Take in every range that overlaps or touches the new one.
    auto next = byFirst_.upper_bound(first);
    if (next != byFirst_.begin()) {
        auto before = std::prev(next);
        if (before->second + 1 >= first) {
            next = before;
        }
    }
    while (next != byFirst_.end() && (last == UINT64_MAX || next->first <= last + 1)) {
        first = std::min(first, next->first);
        last = std::max(last, next->second);
        bytes_ -= next->second - next->first + 1;
        next = byFirst_.erase(next);
    }
    byFirst_[first] = last;
    bytes_ += last - first + 1;
}

ByteRanges ByteRangeSet::ranges() const {
    ByteRanges out;
    out.reserve(byFirst_.size());
    for (const auto& [first, last] : byFirst_) {
        out.push_back({first, last});
    }
    return out;
}

bool rangesFitResource(const ByteRanges& ranges, std::uint64_t length) {
    std::uint64_t nextFree = 0;
    bool any = false;
    for (const ByteRange& range : ranges) {
        if (range.first > range.last || range.last >= length || (any && range.first <= nextFree)) {
            return false;
        }
        nextFree = range.last + 1;
        any = true;
    }
    return true;
}

namespace {

ByteRanges missingRanges(std::uint64_t length, const ByteRanges& present) {
    ByteRanges missing;
    std::uint64_t from = 0;
    for (const ByteRange& range : present) {
        if (range.first > from) {
            missing.push_back({from, range.first - 1});
        }
        from = range.last + 1;
    }
    if (from < length) {
        missing.push_back({from, length - 1});
    }
    return missing;
}

}  // namespace

ByteRanges rangesToFetch(std::uint64_t length, const ByteRanges& present, std::uint64_t count) {
    const ByteRanges missing = missingRanges(length, present);
    std::uint64_t total = 0;
    for (const ByteRange& range : missing) {
        total += range.size();
    }
    if (total == 0) {
        return {};
    }
    count = std::clamp<std::uint64_t>(count, 1, total);
    const std::uint64_t share = total / count;
    ByteRanges out;
    std::uint64_t shareLeft = share;
    std::uint64_t sharesDone = 0;
    for (const ByteRange& range : missing) {
        std::uint64_t at = range.first;
        while (at <= range.last) {
            const bool lastShare = sharesDone == count - 1;
            const std::uint64_t take =
                lastShare ? range.last - at + 1 : std::min(shareLeft, range.last - at + 1);
            out.push_back({at, at + take - 1});
            at += take;
            shareLeft -= lastShare ? 0 : take;
            if (!lastShare && shareLeft == 0) {
                ++sharesDone;
                shareLeft = share;
            }
        }
    }
    return out;
}

std::uint64_t bytesWithin(const ByteRanges& ranges, std::uint64_t length) {
    std::uint64_t bytes = 0;
    for (const ByteRange& range : ranges) {
        if (range.first < length) {
            bytes += std::min(range.last, length - 1) - range.first + 1;
        }
    }
    return bytes;
}
