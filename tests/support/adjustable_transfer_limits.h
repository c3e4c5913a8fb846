// Lets a test shorten the transfer bounds of the code under test.
#pragma once

#include "transfer/transfer_limits.h"

// What tests run with unless they set other limits: the product's bounds with the retry waits
// and phase deadlines scaled down.
TransferLimits defaultTestTransferLimits();
void setTransferLimitsForTest(TransferLimits limits);
void restoreDefaultTransferLimits();
