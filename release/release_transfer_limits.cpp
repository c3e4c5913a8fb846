// The release tool asks what the engine would get, not whether an outage would end in time: its
// checks retry like the product at a tenth of the product's waits and deadlines, so that a
// broken address is reported in seconds.
#include "transfer/transfer_limits.h"

TransferLimits transferLimits() {
    return scaledTransferLimits(TransferLimits{}, 10, 10);
}
