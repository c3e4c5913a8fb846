// Transfer bounds for the test build of the downloader that the fault tests run: a stall is
// cut off after two seconds instead of a minute, and a source that stalls beside a working one
// is left after one second instead of three.
#include "transfer/transfer_limits.h"

TransferLimits transferLimits() {
    return TransferLimits{5, 2, 1000};
}
