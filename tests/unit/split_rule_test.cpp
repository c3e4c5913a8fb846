#include "transfer/split_rule.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr double kMiBPerSecond = 1024.0 * 1024.0 / 1000.0;  // in bytes per millisecond

RequestPace delivering(double mibPerSecond, std::uint32_t forMs = 500) {
    RequestPace pace;
    pace.delivering = true;
    pace.deliveringMs = forMs;
    pace.rate = mibPerSecond * kMiBPerSecond;
    return pace;
}

RequestPace waiting(std::uint32_t forMs) {
    RequestPace pace;
    pace.waitedMs = forMs;
    return pace;
}

TEST(SplitRule, SplitsOnlyWhenTheNewRequestFinishesItsPartSooner) {
    const struct {
        const char* name;
        std::uint64_t ownerLeft;
        RequestPace owner;
        double takerMiBPerSecond;  // 0: unknown
        double startupMs;
        double allowanceMiB;  // bytes cuts may still waste
        bool split;
        double keptFrom, keptTo;  // the owner's share of what is left, when split
        int takers = 1;           // workers about to take a part, this one included
    } cases[] = {
        // A far server at full speed: the owner is done within the new request's start.
        {"fast-owner-far-server", 3 * kMiB, delivering(100), 100, 100, 1, false, 0, 0},
        {"owner-done-in-3-startups", 30 * kMiB / 10, delivering(30), 30, 100, 1, false, 0, 0},
        // At 30 MiB/s with 10 MiB left the owner needs a third of a second: worth it.
        {"capped-far-owner-much-left", 10 * kMiB, delivering(30), 30, 100, 4, true, 0.5, 0.7},
        // ... unless the cut would throw away more than the download may still waste: at
        // 30 MiB/s, what the server sends in 100 ms.
        {"capped-far-cut-wastes-too-much", 10 * kMiB, delivering(30), 30, 100, 2, false, 0, 0},
        {"slow-owner-far-server", 10 * kMiB, delivering(1), 30, 100, 0.2, true, 0.01, 0.1},
        // One slow connection on a near server: the slow owner keeps its share of the sum.
        {"slow-owner-fast-taker", 12 * kMiB, delivering(2), 8, 2, 1, true, 0.19, 0.21},
        {"equal-rates-halve", 12 * kMiB, delivering(8), 8, 1, 1, true, 0.49, 0.51},
        // Two workers free at once: this one takes a third, the owner keeps two for the other.
        {"two-takers-take-thirds", 12 * kMiB, delivering(8), 8, 1, 1, true, 0.66, 0.67, 2},
        {"slow-owner-two-takers", 12 * kMiB, delivering(2), 8, 2, 1, true, 0.55, 0.56, 2},
        {"taker-rate-unknown", 12 * kMiB, delivering(8), 0, 1, 1, true, 0.49, 0.51},
        // Not yet delivering, within twice the time new requests needed to start: never judged.
        {"waiting-within-its-chance", 30 * kMiB, waiting(150), 30, 100, 1, false, 0, 0},
        {"waiting-on-a-near-server", 30 * kMiB, waiting(50), 30, 1, 1, false, 0, 0},
        {"late-on-a-near-server", 30 * kMiB, waiting(kShortestLateWait), 30, 1, 1, true, 0.5, 0.5},
        // Late to start: the owner keeps half, in case it begins at once.
        {"late-to-start", 30 * kMiB, waiting(250), 30, 100, 1, true, 0.5, 0.5},
        // Delivering, but for too short a time to tell its pace.
        {"pace-not-known-yet", 30 * kMiB, delivering(1, 10), 30, 1, 1, false, 0, 0},
        // Too little left for two parts of 64 KiB.
        {"too-small-to-split", 2 * kSmallestSplitRange - 1, delivering(0.1), 100, 1, 1, false, 0,
         0},
        // Nothing stored since its first byte: kept half, as a late one.
        {"stalled-owner", 4 * kMiB, delivering(0), 8, 1, 1, true, 0.5, 0.5},
        {"stalled-within-two-startups", 4 * kMiB, delivering(0, 150), 8, 100, 1, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SplitCase splitCase;
        splitCase.ownerLeft = c.ownerLeft;
        splitCase.owner = c.owner;
        splitCase.takerRate = c.takerMiBPerSecond > 0 ? c.takerMiBPerSecond * kMiBPerSecond : -1.0;
        splitCase.startupMs = c.startupMs;
        splitCase.wasteAllowance = c.allowanceMiB * kMiB;
        splitCase.takers = c.takers;
        const SplitDecision decision = decideSplit(splitCase);
        EXPECT_EQ(decision.split, c.split);
        if (!decision.split) {
            EXPECT_EQ(decision.ownerKeeps, c.ownerLeft);
            continue;
        }
        EXPECT_GE(decision.ownerKeeps, kSmallestSplitRange);
        EXPECT_LE(decision.ownerKeeps, c.ownerLeft - kSmallestSplitRange);
        const double kept = static_cast<double>(decision.ownerKeeps) / c.ownerLeft;
        EXPECT_GE(kept, c.keptFrom);
        EXPECT_LE(kept, c.keptTo);
        EXPECT_GE(decision.gainMs, c.startupMs);
    }
}

TEST(SplitRule, TakesTheWholeRestOnlyOfAFarSlowerRequestOfAnotherSource) {
    const double kKiBPerSecondInMiB = 1.0 / 1024;
    const struct {
        const char* name;
        std::uint64_t ownerLeft;
        RequestPace owner;
        double takerMiBPerSecond;  // the taker's rate, and the least it has shown
        bool elsewhere;            // the taker asks another source than the owner's
        bool split;
        bool whole;  // the taker takes all that is left
    } cases[] = {
        // A trickle's last 80 KiB: too little to split, taken whole from another source only.
        {"trickle-tail", 80 * 1024, delivering(kKiBPerSecondInMiB), 50, true, true, true},
        {"trickle-tail-same-source", 80 * 1024, delivering(kKiBPerSecondInMiB), 50, false, false,
         false},
        // Rather than leave it the smallest part, which it would hold for a minute.
        {"trickle-much-left", 1 * kMiB, delivering(kKiBPerSecondInMiB), 50, true, true, true},
        {"trickle-judged-too-early", 1 * kMiB, delivering(kKiBPerSecondInMiB, 40), 50, true, false,
         false},
        // Both working: sharing the rest ends sooner than a new request for all of it.
        {"comparable-rates", 12 * kMiB, delivering(8), 10, true, true, false},
        {"twice-as-fast", 12 * kMiB, delivering(4), 9, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SplitCase splitCase;
        splitCase.ownerLeft = c.ownerLeft;
        splitCase.owner = c.owner;
        splitCase.takerRate = c.takerMiBPerSecond * kMiBPerSecond;
        splitCase.takerLeastRate = splitCase.takerRate;
        splitCase.takerElsewhere = c.elsewhere;
        splitCase.startupMs = 2;
        splitCase.wasteAllowance = kMiB;
        const SplitDecision decision = decideSplit(splitCase);
        EXPECT_EQ(decision.split, c.split);
        EXPECT_EQ(decision.split && decision.ownerKeeps == 0, c.whole);
    }
}

TEST(SplitRule, RenewsOnlyARequestFarSlowerThanOthersOnceItsPaceIsKnown) {
    const struct {
        const char* name;
        std::uint64_t ownerLeft;
        RequestPace owner;
        double newMiBPerSecond;  // the best pace others have shown; 0: none known
        double startupMs;
        bool renew;
        double allowanceMiB = 1;
    } cases[] = {
        {"quarter-speed-much-left", 15 * kMiB, delivering(2, 300), 8, 2, true},
        {"nothing-known-of-others", 15 * kMiB, delivering(2, 300), 0, 2, false},
        {"less-than-twice-as-fast", 15 * kMiB, delivering(5, 300), 8, 2, false},
        {"judged-too-early", 15 * kMiB, delivering(2, 40), 8, 2, false},
        // A far server: judged only after twice the time a request needs to start, and only
        // when the new request would win by more than its start.
        {"far-not-yet-two-startups", 15 * kMiB, delivering(2, 300), 8, 200, false},
        {"far-after-two-startups", 15 * kMiB, delivering(2, 450), 8, 200, true},
        {"little-left", 40 * 1024, delivering(2, 300), 8, 2, false},
        {"fast-owner-little-left", 1 * kMiB, delivering(40, 300), 200, 100, false},
        {"not-delivering", 15 * kMiB, waiting(5000), 8, 2, false},
        {"would-waste-too-much", 15 * kMiB, delivering(2, 300), 8, 100, false, 0.1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const double newRate = c.newMiBPerSecond > 0 ? c.newMiBPerSecond * kMiBPerSecond : -1.0;
        EXPECT_EQ(renewPays(c.ownerLeft, c.owner, newRate, c.startupMs, c.allowanceMiB * kMiB),
                  c.renew);
    }
}

}  // namespace
