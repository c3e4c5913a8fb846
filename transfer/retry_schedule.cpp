#include "transfer/retry_schedule.h"

#include <algorithm>
#include <chrono>
#include <random>

#include "support/run_trace.h"

std::uint32_t retryCeilingMs(const RetrySteps& steps, int retry) {
    std::uint64_t ceiling = steps.firstMs;
    for (int i = 1; i < retry && ceiling < steps.capMs; ++i) {
        ceiling *= std::max<std::uint32_t>(steps.factor, 1);
    }
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ceiling, steps.capMs));
}

std::uint32_t retryWaitMs(const RetrySteps& steps, int retry, double unit) {
    const std::uint32_t ceiling = retryCeilingMs(steps, retry);
    const std::uint32_t floor = ceiling / 2;
    const double clamped = std::clamp(unit, 0.0, 1.0);
    return floor + static_cast<std::uint32_t>(clamped * (ceiling - floor));
}

std::uint32_t boundedWaitMs(std::uint32_t drawnMs, std::optional<std::uint32_t> askedMs,
                            std::uint32_t askedCapMs, std::uint32_t msLeft) {
    std::uint32_t wait = drawnMs;
    if (askedMs) {
        wait = std::max(wait, std::min(*askedMs, askedCapMs));
    }
    return std::min(wait, msLeft);
}

double randomUnit() {
    static platform::Mutex guard;  // the Windows build has no std::mutex
    static std::mt19937_64 generator = [] {
        // std::random_device may be a fixed sequence on some runtimes: the clocks and an
        // address that moves with every start make the seed differ between processes anyway.
        std::random_device device;
        const int onTheStack = 0;
        std::seed_seq seed{
            static_cast<std::uint64_t>(device()),
            static_cast<std::uint64_t>(
                std::chrono::high_resolution_clock::now().time_since_epoch().count()),
            static_cast<std::uint64_t>(platform::tickCount()),
            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&onTheStack))};
        return std::mt19937_64(seed);
    }();
    platform::MutexLock lock(&guard);
    return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

std::uint32_t PhaseDeadline::msLeft() const {
    const std::uint32_t elapsed = platform::tickCount() - start_;
    return elapsed >= length_ ? 0 : length_ - elapsed;
}

namespace {

// Why a retry waits as long as it does, in the support trace.
void traceRetryWait(const char* phase, long long source, int retry, std::uint32_t drawnMs,
                    std::optional<std::uint32_t> askedMs, std::uint32_t waitMs) {
    TraceLine line("retry wait");
    line.text("phase", phase);
    if (source >= 0) {
        line.number("source", source);
    }
    line.number("retry", retry).number("wait_ms", waitMs);
    if (askedMs) {
        line.number("retry_after_ms", *askedMs);
    }
    line.text("reason", askedMs && *askedMs > drawnMs && waitMs > drawnMs
                            ? "the server's Retry-After"
                        : waitMs < drawnMs ? "backoff step, cut at the phase's deadline"
                                           : "backoff step");
}

}  // namespace

RetryPacer::RetryPacer(const RetrySteps& steps, std::uint32_t deadlineMs,
                       std::uint32_t retryAfterCapMs, const char* phase)
    : steps_(steps), deadline_(deadlineMs), askedCapMs_(retryAfterCapMs), phase_(phase) {}

bool RetryPacer::beforeAttempt() {
    if (waitPending_) {
        waitPending_ = false;
        const std::uint32_t waited = platform::tickCount() - waitFrom_;
        if (waited < waitMs_) {
            platform::sleepMilliseconds(std::min(waitMs_ - waited, deadline_.msLeft()));
        }
    }
    if (deadline_.passed()) {
        TraceLine("deadline")
            .text("phase", phase_)
            .text("verdict", "phase deadline passed, no more attempts");
        return false;
    }
    return true;
}

void RetryPacer::failed(std::optional<std::uint32_t> askedMs) {
    ++retries_;
    const std::uint32_t drawn = retryWaitMs(steps_, retries_, randomUnit());
    waitMs_ = boundedWaitMs(drawn, askedMs, askedCapMs_, deadline_.msLeft());
    waitFrom_ = platform::tickCount();
    waitPending_ = true;
    traceRetryWait(phase_, -1, retries_, drawn, askedMs, waitMs_);
}

SourceBackoff::SourceBackoff(const RetrySteps& steps, std::uint32_t stallDeadlineMs,
                             std::uint32_t retryAfterCapMs, std::size_t source)
    : steps_(steps), deadline_(stallDeadlineMs), askedCapMs_(retryAfterCapMs), source_(source) {}

std::optional<std::uint32_t> SourceBackoff::waitBeforeRequest() {
    platform::MutexLock lock(&mutex_);
    if (deadline_.passed()) {
        return std::nullopt;
    }
    const std::uint32_t waited = platform::tickCount() - waitFrom_;
    return waited < waitMs_ ? waitMs_ - waited : 0;
}

void SourceBackoff::progressed() {
    platform::MutexLock lock(&mutex_);
    retries_ = 0;
    waitMs_ = 0;
    deadline_.restart();
}

void SourceBackoff::failed(std::optional<std::uint32_t> askedMs) {
    platform::MutexLock lock(&mutex_);
    const std::uint32_t now = platform::tickCount();
    const std::uint32_t waited = now - waitFrom_;
    if (waited < waitMs_) {
        // Another request's failure began this wait: this one joins it.
        const std::uint32_t left = waitMs_ - waited;
        const std::uint32_t asked = boundedWaitMs(0, askedMs, askedCapMs_, deadline_.msLeft());
        if (asked > left) {
            waitFrom_ = now;
            waitMs_ = asked;
        }
        return;
    }
    ++retries_;
    waitFrom_ = now;
    const std::uint32_t drawn = retryWaitMs(steps_, retries_, randomUnit());
    waitMs_ = boundedWaitMs(drawn, askedMs, askedCapMs_, deadline_.msLeft());
    traceRetryWait("download", static_cast<long long>(source_), retries_, drawn, askedMs, waitMs_);
}

bool SourceBackoff::deadlinePassed() {
    platform::MutexLock lock(&mutex_);
    return deadline_.passed();
}
