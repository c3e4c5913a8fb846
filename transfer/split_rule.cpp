#include "transfer/split_rule.h"

#include <algorithm>

namespace {

bool rateKnown(const RequestPace& pace) {
    return pace.delivering && pace.deliveringMs >= kShortestRateSample && pace.rate >= 0.0;
}

}  // namespace

SplitDecision decideSplit(const SplitCase& splitCase) {
    const std::uint64_t left = splitCase.ownerLeft;
    const double startup = std::max(splitCase.startupMs, 1.0);
    const RequestPace& owner = splitCase.owner;
    SplitDecision none{false, left, 0.0};
    if (left < 2 * kSmallestSplitRange) {
        return none;
    }
    double keep = 0.0;
    double gain = 0.0;
    const double lateAfter = std::max<double>(kShortestLateWait, 2.0 * startup);
    const bool late = !owner.delivering && owner.waitedMs >= lateAfter;
    const bool stalled = rateKnown(owner) && owner.rate <= 0.0 && owner.deliveringMs >= lateAfter;
    if (late || stalled) {
        keep = static_cast<double>(left) / 2.0;
        gain = startup;  // its end is unknown: whatever the new request brings is a gain
    } else if (rateKnown(owner) && owner.rate > 0.0) {
        const double ownerRate = owner.rate;
        const double takerRate = splitCase.takerRate > 0.0 ? splitCase.takerRate : ownerRate;
        // Both parts end together: keep / ownerRate == startup + (left - keep) / takerRate.
        keep =
            (startup * takerRate + static_cast<double>(left)) * ownerRate / (ownerRate + takerRate);
        gain = (static_cast<double>(left) - keep) / ownerRate;
        if (gain < startup || expectedWaste(owner, startup) > splitCase.wasteAllowance) {
            return none;
        }
    } else {
        return none;  // not yet given its chance to start, or too short a time to tell its pace
    }
    const double lowest = static_cast<double>(kSmallestSplitRange);
    const double highest = static_cast<double>(left - kSmallestSplitRange);
    keep = std::clamp(keep, lowest, highest);
    return SplitDecision{true, static_cast<std::uint64_t>(keep), gain};
}

double expectedWaste(const RequestPace& owner, double startupMs) {
    return owner.rate > 0.0 ? owner.rate * std::max(startupMs, 1.0) : 0.0;
}

bool renewPays(std::uint64_t ownerLeft, const RequestPace& owner, double newRate, double startupMs,
               double wasteAllowance) {
    const double startup = std::max(startupMs, 1.0);
    if (!rateKnown(owner) || newRate <= 0.0 || ownerLeft < kSmallestSplitRange ||
        expectedWaste(owner, startup) > wasteAllowance ||
        owner.deliveringMs < std::max<double>(kShortestRenewSample, 2.0 * startup) ||
        newRate < kRenewRateFactor * owner.rate) {
        return false;
    }
    const double left = static_cast<double>(ownerLeft);
    const double ownerEnd = owner.rate > 0.0 ? left / owner.rate : 1e300;
    const double renewedEnd = startup + left / newRate;
    return ownerEnd - renewedEnd >= startup;
}
