// Which progress messages are worth posting to the host.
#pragma once

#include <cstdint>

// About a thousand messages a download whatever its size (about one a second when it takes
// longer than a thousand seconds), never more than twenty a second: a host's queue holds a limited
// number (10,000 on Windows) and a host that falls behind loses messages, perhaps the
// download-complete one. A value is posted when it is the first of a download, when it reaches the
// total, when both a thousandth of the total and 50 ms have passed since the last one posted (in
// between the displayed fraction cannot change), or when a second has: on a slow line a thousandth
// of a large file takes minutes, and a host that hears nothing for that long cannot tell a slow
// download from a stuck one. A value of the same total that is not above the last one posted is
// never posted: what the host shows never falls.
class ProgressThinning {
public:
    static constexpr std::uint32_t kSteps = 1000;
    static constexpr std::uint32_t kIntervalMs = 50;
    static constexpr std::uint32_t kLongestSilenceMs = 1000;

    // Called for every block with the tick count (milliseconds, wrapping); true when this value
    // is to be posted, which then counts as the last one posted.
    bool shouldPost(std::uint32_t totalSize, std::uint32_t bytesDone, std::uint32_t now);

private:
    bool posted_ = false;
    std::uint32_t total_ = 0;
    std::uint32_t done_ = 0;
    std::uint32_t at_ = 0;
};
