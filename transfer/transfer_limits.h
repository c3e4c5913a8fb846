// Bounds that keep a dead or stalled server from holding a transfer for ever.
#pragma once

struct TransferLimits {
    long connectTimeoutSeconds;
    // A transfer that receives no data for this long is aborted (a failed attempt).
    long noDataTimeoutSeconds;
    // A ranged request from one of several sources that receives nothing for this long while
    // another source is working moves to another source; so does a length query that has
    // another source to turn to.
    unsigned sourceStallMs = 3000;
};

// Defined once per executable: the product links transfer_limits.cpp; tests link their own
// definition to shorten the bounds.
TransferLimits transferLimits();
