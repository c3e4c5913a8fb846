#include "tests/support/adjustable_transfer_limits.h"

#include <mutex>

namespace {

std::mutex guard;
TransferLimits current = defaultTestTransferLimits();

}  // namespace

TransferLimits defaultTestTransferLimits() {
    // Retries a hundred times sooner than the product, deadlines ten times sooner: a test of
    // five failed attempts takes well under a second, and a healthy download under load still
    // never meets a deadline.
    return scaledTransferLimits(TransferLimits{}, 100, 10);
}

TransferLimits transferLimits() {
    std::lock_guard<std::mutex> lock(guard);
    return current;
}

void setTransferLimitsForTest(TransferLimits limits) {
    std::lock_guard<std::mutex> lock(guard);
    current = limits;
}

void restoreDefaultTransferLimits() {
    setTransferLimitsForTest(defaultTestTransferLimits());
}
