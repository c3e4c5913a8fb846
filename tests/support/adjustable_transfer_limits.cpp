#include "tests/support/adjustable_transfer_limits.h"

#include <atomic>

namespace {
const TransferLimits kDefaults{30, 60};
std::atomic<long> connectTimeout{kDefaults.connectTimeoutSeconds};
std::atomic<long> noDataTimeout{kDefaults.noDataTimeoutSeconds};
}  // namespace

TransferLimits transferLimits() {
    return TransferLimits{connectTimeout, noDataTimeout};
}

void setTransferLimitsForTest(TransferLimits limits) {
    connectTimeout = limits.connectTimeoutSeconds;
    noDataTimeout = limits.noDataTimeoutSeconds;
}

void restoreDefaultTransferLimits() {
    setTransferLimitsForTest(kDefaults);
}
