// Lets a test shorten the transfer bounds of the code under test.
#pragma once

#include "transfer/transfer_limits.h"

void setTransferLimitsForTest(TransferLimits limits);
void restoreDefaultTransferLimits();
