#include "tests/support/adjustable_transfer_limits.h"

#include "support/platform.h"

namespace {

platform::Mutex guard;  // the Windows build has no std::mutex (win32 threads)
TransferLimits current = defaultTestTransferLimits();

}  // namespace

TransferLimits defaultTestTransferLimits() {
    // Retries a hundred times sooner than the product, deadlines ten times sooner: a test of
    // five failed attempts takes well under a second, and a healthy download under load still
    // never meets a deadline.
    return scaledTransferLimits(TransferLimits{}, 100, 10);
}

TransferLimits transferLimits() {
    platform::MutexLock lock(&guard);
    return current;
}

void setTransferLimitsForTest(TransferLimits limits) {
    platform::MutexLock lock(&guard);
    current = limits;
}

void restoreDefaultTransferLimits() {
    setTransferLimitsForTest(defaultTestTransferLimits());
}
