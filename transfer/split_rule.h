// When a range in flight should be cut in two, and when a slow request should be replaced:
// pure functions of what the download has measured, so that they can be judged on their own.
// Rates are bytes per millisecond; times are milliseconds.
#pragma once

#include <cstdint>

// A range is split only when both parts get at least this many bytes.
constexpr std::uint64_t kSmallestSplitRange = 64 * 1024;
// A request's rate is judged only after it has been delivering for this long.
constexpr std::uint32_t kShortestRateSample = 50;
// A request is replaced only after it has been delivering for this long (and for twice the
// time a new request needs to start), so that a server's first burst or a short pause on a
// link is not taken for its pace.
constexpr std::uint32_t kShortestRenewSample = 60;
// A request that has not delivered its first byte is judged late only after twice the time
// new requests needed to start, and never before this many milliseconds.
constexpr std::uint32_t kShortestLateWait = 100;
// ... and only when a new request is expected to be at least this many times as fast.
constexpr double kRenewRateFactor = 2.0;
// The share of the resource that cut requests may waste in one download.
constexpr double kWastedShare = 0.02;

// What one request has shown so far.
struct RequestPace {
    bool delivering = false;         // its first body byte has arrived
    std::uint32_t waitedMs = 0;      // since it was sent, while not yet delivering
    std::uint32_t deliveringMs = 0;  // since its first byte
    double rate = -1.0;              // since its first byte; negative when unknown
};

// The owner's request and what a new request for the upper part of its range can expect.
struct SplitCase {
    std::uint64_t ownerLeft = 0;  // bytes the owner still has to deliver
    RequestPace owner;
    double takerRate = -1.0;  // the new request's expected rate; negative: as the owner's
    // Workers about to take a part of the same range, this one included: the owner's
    // remainder is shared among them, so that all end together.
    int takers = 1;
    double startupMs = 0.0;  // the time a new request needs before its first byte
    // Bytes the download may still throw away: what the server has sent past a cut before
    // the owner's transfer ends there, about the owner's rate times a round trip.
    double wasteAllowance = 0.0;
    // The new request goes to another source than the owner's, at a rate of at least this much
    // (negative: unknown).
    bool takerElsewhere = false;
    double takerLeastRate = -1.0;
};

struct SplitDecision {
    bool split = false;
    std::uint64_t ownerKeeps = 0;  // bytes left to the owner; the new request takes the rest
    double gainMs = 0.0;           // how much sooner the range is expected to be done
};

// Splits only when the new request, started now and counting its time to the first byte, is
// expected to finish its part sooner than the owner would, by at least that starting time,
// and the bytes the cut is expected to waste (the owner's rate times that starting time) fit
// the allowance. The owner keeps the share that lets both parts end together. A request that
// has not been given twice a new request's starting time (and at least kShortestLateWait) to
// deliver its first byte is never judged; one that is late, or has stored nothing since its
// first byte for that long, keeps half. A rate measured for less than kShortestRateSample is
// no rate. When the new request goes to another source, it takes the whole rest (ownerKeeps
// 0) if a new request for all of it would pay as a renewal does (renewPays, whatever the rest's
// size) and end sooner than the split: a source that trickles is never left the smallest part,
// which it would hold long after the others are done.
SplitDecision decideSplit(const SplitCase& splitCase);

// Whether the owner's request should end and its range be asked for again by a new request,
// over a new connection: only when it has been delivering long enough to judge, a new request
// is expected (from the best rate others have shown in this download) to be kRenewRateFactor
// times as fast, and to finish the range sooner than the owner would by at least its own
// starting time, and the bytes it is expected to waste fit the allowance.
bool renewPays(std::uint64_t ownerLeft, const RequestPace& owner, double newRate, double startupMs,
               double wasteAllowance);

// The bytes a request cut now is expected to waste: what its server sends in the time a
// request needs to start (the round trip and the server's own time) at the request's rate.
double expectedWaste(const RequestPace& owner, double startupMs);
