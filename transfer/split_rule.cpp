#include "transfer/split_rule.h"

#include <algorithm>

namespace {

bool rateKnown(const RequestPace& pace) {
    return pace.delivering && pace.deliveringMs >= kShortestRateSample && pace.rate >= 0.0;
}

// How much sooner a new request at newRate would end the owner's rest than the owner does;
// negative when it would not pay (renewPays without its smallest range).
double replacementGainMs(std::uint64_t ownerLeft, const RequestPace& owner, double newRate,
                         double startupMs, double wasteAllowance) {
    const double startup = std::max(startupMs, 1.0);
    if (!rateKnown(owner) || newRate <= 0.0 || expectedWaste(owner, startup) > wasteAllowance ||
        owner.deliveringMs < std::max<double>(kShortestRenewSample, 2.0 * startup) ||
        newRate < kRenewRateFactor * owner.rate) {
        return -1.0;
    }
    const double left = static_cast<double>(ownerLeft);
    const double ownerEnd = owner.rate > 0.0 ? left / owner.rate : 1e300;
    const double renewedEnd = startup + left / newRate;
    return ownerEnd - renewedEnd >= startup ? ownerEnd - renewedEnd : -1.0;
}

SplitDecision splitInTwo(const SplitCase& splitCase) {
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
        // The owner and each of the takers end together:
        // kept / ownerRate == startup + (left - kept) / (takers * takerRate).
        const double takers = std::max(splitCase.takers, 1);
        const double kept = (startup * takers * takerRate + static_cast<double>(left)) * ownerRate /
                            (takers * takerRate + ownerRate);
        gain = (static_cast<double>(left) - kept) / ownerRate;
        if (gain < startup || expectedWaste(owner, startup) > splitCase.wasteAllowance) {
            return none;
        }
        // This taker takes its share from the top; the others split what the owner keeps.
        keep = static_cast<double>(left) - (static_cast<double>(left) - kept) / takers;
    } else {
        return none;  // not yet given its chance to start, or too short a time to tell its pace
    }
    const double lowest = static_cast<double>(kSmallestSplitRange);
    const double highest = static_cast<double>(left - kSmallestSplitRange);
    keep = std::clamp(keep, lowest, highest);
    return SplitDecision{true, static_cast<std::uint64_t>(keep), gain};
}

}  // namespace

SplitDecision decideSplit(const SplitCase& splitCase) {
    const SplitDecision split = splitInTwo(splitCase);
    if (!splitCase.takerElsewhere || splitCase.ownerLeft == 0) {
        return split;
    }
    const RequestPace& owner = splitCase.owner;
    const double takeoverGain =
        replacementGainMs(splitCase.ownerLeft, owner, splitCase.takerLeastRate, splitCase.startupMs,
                          splitCase.wasteAllowance);
    // The split ends when the owner has delivered what it keeps.
    const double splitGain =
        split.split && owner.rate > 0.0
            ? static_cast<double>(splitCase.ownerLeft - split.ownerKeeps) / owner.rate
            : 0.0;
    if (takeoverGain > 0.0 && takeoverGain > splitGain) {
        return SplitDecision{true, 0, takeoverGain};
    }
    return split;
}

double expectedWaste(const RequestPace& owner, double startupMs) {
    return owner.rate > 0.0 ? owner.rate * std::max(startupMs, 1.0) : 0.0;
}

bool renewPays(std::uint64_t ownerLeft, const RequestPace& owner, double newRate, double startupMs,
               double wasteAllowance) {
    return ownerLeft >= kSmallestSplitRange &&
           replacementGainMs(ownerLeft, owner, newRate, startupMs, wasteAllowance) >= 0.0;
}
