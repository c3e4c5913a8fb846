// Every bound and wait of the engine's requests, in one place, so that a test build can scale
// the whole schedule down.
#pragma once

#include <cstdint>
#include <initializer_list>

// The waits before the retries of one phase. The wait before retry n is drawn at random from
// [ceiling(n) / 2, ceiling(n)], where ceiling(n) = firstMs * factor^(n-1), at most capMs: it
// grows, and clients that failed together do not come back together.
struct RetrySteps {
    std::uint32_t firstMs;
    std::uint32_t factor;
    std::uint32_t capMs;
};

struct TransferLimits {
    long connectTimeoutSeconds = 30;
    // A transfer that receives no data for this long is aborted (a failed attempt).
    long noDataTimeoutSeconds = 60;

    // The manifest: one sequence over all its fetches' attempts. The first retry comes within
    // 2 s; 24 waits outlast an outage of a minute and more, until the deadline ends the phase.
    RetrySteps manifestRetries{2000, 2, 16000};
    std::uint32_t manifestDeadlineMs = 130000;
    // The length query: four waits of at least 31 s together (an outage of 30 s is outlasted),
    // at most 62 s.
    RetrySteps lengthRetries{2000, 4, 26000};
    std::uint32_t lengthDeadlineMs = 70000;
    // The ranges (and the whole-resource fallback), per server: nine waits of at least 75 s
    // together over a range's two runs. The download ends when the server has made no real
    // progress (64 KiB, or a finished range) for downloadStallDeadlineMs.
    RetrySteps rangeRetries{2000, 2, 24000};
    std::uint32_t downloadStallDeadlineMs = 100000;

    // The most a server's Retry-After may add to a wait (the phase's deadline bounds it too).
    std::uint32_t retryAfterCapMs = 120000;

    // A ranged request from one of several sources that receives nothing for this long while
    // another source is working moves to another source; so does a length query that has
    // another source to turn to.
    unsigned sourceStallMs = 3000;
};

// Defined once per executable: the product links transfer_limits.cpp; tests link their own
// definition to shorten the bounds.
TransferLimits transferLimits();

// `limits` with every retry step divided by stepDivisor and every deadline by deadlineDivisor
// (the connect and no-data bounds, the Retry-After cap and the flush stay).
inline TransferLimits scaledTransferLimits(TransferLimits limits, std::uint32_t stepDivisor,
                                           std::uint32_t deadlineDivisor) {
    for (RetrySteps* steps :
         {&limits.manifestRetries, &limits.lengthRetries, &limits.rangeRetries}) {
        steps->firstMs /= stepDivisor;
        steps->capMs /= stepDivisor;
    }
    limits.manifestDeadlineMs /= deadlineDivisor;
    limits.lengthDeadlineMs /= deadlineDivisor;
    limits.downloadStallDeadlineMs /= deadlineDivisor;
    return limits;
}
