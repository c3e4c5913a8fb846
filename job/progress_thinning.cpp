#include "job/progress_thinning.h"

bool ProgressThinning::shouldPost(std::uint32_t totalSize, std::uint32_t bytesDone,
                                  std::uint32_t now) {
    const bool first = !posted_ || totalSize != total_;
    if (!first && bytesDone <= done_) {
        return false;  // the host has seen this much already, or more
    }
    const bool last = bytesDone >= totalSize;
    const std::uint32_t step = totalSize / kSteps > 0 ? totalSize / kSteps : 1;
    // Unsigned difference: the tick counter's wrap-around does no harm.
    const std::uint32_t since = now - at_;
    const bool moved =
        (bytesDone - done_ >= step && since >= kIntervalMs) || since >= kLongestSilenceMs;
    if (!first && !last && !moved) {
        return false;
    }
    posted_ = true;
    total_ = totalSize;
    done_ = bytesDone;
    at_ = now;
    return true;
}
