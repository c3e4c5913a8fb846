// When a failed request is tried again: growing, jittered waits per phase, a server's
// Retry-After, and the deadline that ends a phase.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "support/platform.h"
#include "transfer/transfer_limits.h"

// The ceiling of the wait before retry `retry` (1 for the first): firstMs * factor^(retry-1),
// at most capMs.
std::uint32_t retryCeilingMs(const RetrySteps& steps, int retry);

// The wait before retry `retry` for a random `unit` in [0, 1): from half the ceiling (unit 0)
// up to the ceiling.
std::uint32_t retryWaitMs(const RetrySteps& steps, int retry, double unit);

// The wait to keep: the drawn one, or what the server asked when that is longer (at most
// askedCapMs), and never more than the msLeft until the phase's deadline.
std::uint32_t boundedWaitMs(std::uint32_t drawnMs, std::optional<std::uint32_t> askedMs,
                            std::uint32_t askedCapMs, std::uint32_t msLeft);

// A number in [0, 1) from a generator seeded differently in every process (thread-safe).
double randomUnit();

// A span of time that starts when it is made (or restarted).
class PhaseDeadline {
public:
    explicit PhaseDeadline(std::uint32_t lengthMs)
        : start_(platform::tickCount()), length_(lengthMs) {}
    void restart() { start_ = platform::tickCount(); }
    // Milliseconds until it passes; 0 once it has.
    std::uint32_t msLeft() const;
    bool passed() const { return msLeft() == 0; }

private:
    std::uint32_t start_;
    std::uint32_t length_;
};

// The attempts of one phase on one thread (the manifest's fetches, the length query): one
// sequence of waits, under one deadline.
class RetryPacer {
public:
    // `phase` names the phase in the support trace.
    RetryPacer(const RetrySteps& steps, std::uint32_t deadlineMs, std::uint32_t retryAfterCapMs,
               const char* phase = "request");

    // Sleeps out the wait that the last failure began; false (and no attempt may be made) once
    // the phase's deadline has passed.
    bool beforeAttempt();
    // The attempt failed: the next one waits for the next step, or for what the server asked
    // (`askedMs`, from a Retry-After) when that is longer.
    void failed(std::optional<std::uint32_t> askedMs = std::nullopt);
    // Milliseconds left for the phase (an attempt may take at most that long).
    std::uint32_t msLeft() const { return deadline_.msLeft(); }

private:
    RetrySteps steps_;
    PhaseDeadline deadline_;
    std::uint32_t askedCapMs_;
    const char* phase_;
    int retries_ = 0;
    bool waitPending_ = false;
    std::uint32_t waitFrom_ = 0;
    std::uint32_t waitMs_ = 0;
};

// The retries of the requests to one server during a download, shared by every worker that
// uses it: failures that come together share one wait, so a server in trouble is not asked
// once per connection, and the steps grow until a request makes real progress again. The
// server is given up once it has made no real progress for the stall deadline. Thread-safe.
class SourceBackoff {
public:
    // `source` is the server's number among the download's sources, for the support trace.
    SourceBackoff(const RetrySteps& steps, std::uint32_t stallDeadlineMs,
                  std::uint32_t retryAfterCapMs, std::size_t source = 0);
    SourceBackoff(const SourceBackoff&) = delete;
    SourceBackoff& operator=(const SourceBackoff&) = delete;

    // How long a request must still wait (0: it may go now); nothing once the deadline has
    // passed (no request may go any more).
    std::optional<std::uint32_t> waitBeforeRequest();
    // A request made real progress: no wait, the steps start over, the deadline counts anew.
    void progressed();
    // A request failed: the next step's wait begins, unless another request's failure has
    // begun one that still runs (then that one holds, lengthened to what `askedMs` asks).
    void failed(std::optional<std::uint32_t> askedMs = std::nullopt);
    bool deadlinePassed();

private:
    platform::Mutex mutex_;
    RetrySteps steps_;
    PhaseDeadline deadline_;
    std::uint32_t askedCapMs_;
    std::size_t source_;
    int retries_ = 0;
    std::uint32_t waitFrom_ = 0;
    std::uint32_t waitMs_ = 0;
};
