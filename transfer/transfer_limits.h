// Bounds that keep a dead or stalled server from holding a transfer for ever.
#pragma once

struct TransferLimits {
    long connectTimeoutSeconds;
    // A transfer that receives no data for this long is aborted (a failed attempt).
    long noDataTimeoutSeconds;
};

// Defined once per executable: the product links transfer_limits.cpp; tests link their own
// definition to shorten the bounds.
TransferLimits transferLimits();
