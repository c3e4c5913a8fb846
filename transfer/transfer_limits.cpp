#include "transfer/transfer_limits.h"

TransferLimits transferLimits() {
    return TransferLimits{};
}
