// Transfer bounds for the test build of the downloader that the fault tests run: a stall is
// cut off after two seconds instead of a minute.
#include "transfer/transfer_limits.h"

TransferLimits transferLimits() {
    return TransferLimits{5, 2};
}
