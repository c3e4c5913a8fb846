// Transfer bounds for the test build of the downloader that the fault tests run: a stall is
// cut off after two seconds instead of a minute, and every retry wait and phase deadline is a
// tenth of the product's (the manifest phase ends after 13 s, the length query after 7 s, a
// download without progress after 10 s), and a source that stalls beside a working one is left
// after one second instead of three.
#include "transfer/transfer_limits.h"

TransferLimits transferLimits() {
    TransferLimits limits = scaledTransferLimits(TransferLimits{}, 10, 10);
    limits.connectTimeoutSeconds = 5;
    limits.noDataTimeoutSeconds = 2;
    limits.sourceStallMs = 1000;
    return limits;
}
