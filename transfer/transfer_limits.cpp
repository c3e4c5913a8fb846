#include "transfer/transfer_limits.h"

TransferLimits transferLimits() {
    return TransferLimits{30, 60, 3000};
}
