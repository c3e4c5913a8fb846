// The support trace's line for one finished request.
#pragma once

#include <curl/curl.h>

#include <cstddef>

// Traces the request that `handle` has just made: what it was (`kind`: "manifest", "length",
// "range", "whole"), its source host, the range asked for (or null), the status, the body bytes,
// the time to the first byte, whether the connection was new or reused, and how it ended, in
// words: `why` when the downloader itself ended it (a refused answer, a stall), else `code`'s
// meaning. Costs nothing while no trace is open.
void traceRequest(CURL* handle, const char* kind, int code, const char* range = nullptr,
                  const char* why = nullptr);

// How a libcurl result reads to support: "connection refused or host unreachable" rather than
// a number alone.
const char* transferEndText(int code);

// What a ranged answer turned out to be, for the words of its line.
struct RangeAnswerFacts {
    bool refused;        // the downloader refused its headers
    bool encoded;        // compressed though no encoding was asked for
    bool wholeAnswer;    // a 200 with the whole file
    bool otherResource;  // another version or length of the file
    bool stalled;        // ended for receiving nothing while another source worked
};
// Null when the answer was accepted and not stalled (the transfer's own result then tells).
const char* rangeEndText(const RangeAnswerFacts& facts);

// A source no range will go to any more, and why.
void traceSourceDropped(std::size_t source, const char* why);

// A source given up for having made no real progress until its deadline.
void traceSourceGivenUp(std::size_t source);

// An answer the downloader could not use, beyond what its request's line says.
void traceAnswerProblem(const char* kind, const char* problem);

// A range's next attempt goes to another source than the one it was meant for (no trace when
// it does not).
void traceFailover(std::size_t from, std::size_t to, bool everyFailed);
