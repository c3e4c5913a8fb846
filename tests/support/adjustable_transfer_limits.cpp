#include "tests/support/adjustable_transfer_limits.h"

#include <atomic>

namespace {
const TransferLimits kDefaults{30, 60, 3000};
std::atomic<long> connectTimeout{kDefaults.connectTimeoutSeconds};
std::atomic<long> noDataTimeout{kDefaults.noDataTimeoutSeconds};
std::atomic<unsigned> sourceStall{kDefaults.sourceStallMs};
}  // namespace

TransferLimits transferLimits() {
    return TransferLimits{connectTimeout, noDataTimeout, sourceStall};
}

void setTransferLimitsForTest(TransferLimits limits) {
    connectTimeout = limits.connectTimeoutSeconds;
    noDataTimeout = limits.noDataTimeoutSeconds;
    sourceStall = limits.sourceStallMs;
}

void restoreDefaultTransferLimits() {
    setTransferLimitsForTest(kDefaults);
}
