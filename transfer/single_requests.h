// One-off requests: the length of a resource, and a whole resource fetched into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "transfer/answer_headers.h"
#include "transfer/connection_share.h"
#include "transfer/request_limits.h"
#include "transfer/retry_schedule.h"

// A setup manifest is a short text: an attempt whose body grows beyond this fails.
constexpr std::size_t kMaxInMemoryBody = 1024 * 1024;

// What the length query learnt of a resource.
struct ResourceInfo {
    std::uint64_t length = 0;  // 0: no length
    ResourceVersion version;
    std::uint32_t firstByteMs = 0;  // how long the answer took to begin, connecting included
};

// The length the server reports for the resource (HEAD) and the validators of that version.
// No length when no attempt succeeded, the server reported none or 0, or it answered with a
// redirection or an error status other than 5xx and 429 (that answer ends the query at once). A 5xx
// or 429 is a failed attempt, logged with libcurl's code for an error status (22). Logs "Failed to
// call getFileSize():<code>\n" for every failed attempt; at most five attempts, paced by the length
// query's steps (and a 503's or 429's Retry-After), none begun and none running past the phase's
// deadline. With a share, the connection stays open in it for the next request.
ResourceInfo queryResource(const std::string& url, ConnectionShare* share = nullptr);

// One attempt of the length query. `code` is libcurl's result (0: an answer came; kNoHandle:
// no handle could be made; 22, CURLE_HTTP_RETURNED_ERROR, for a 5xx or 429 answer), `status`
// the answer's status. `noDataSeconds` above 0 ends an attempt that receives nothing for that
// long sooner than the usual bound (a source with others to turn to); `timeoutMs` above 0
// ends it then (a phase's deadline).
constexpr int kNoHandle = -1;
struct LengthAnswer {
    int code = 0;
    long status = 0;
    ResourceInfo info;                     // no length for an error status
    std::optional<std::uint32_t> askedMs;  // what a 503's or 429's Retry-After asks
};
// With a share, the connection stays open in it for the next request.
LengthAnswer queryResourceOnce(const std::string& url, long noDataSeconds = 0,
                               ConnectionShare* share = nullptr, std::uint32_t timeoutMs = 0);

// Whether a failed attempt with this code is worth a wait before the next: not when no wait
// can mend it (a scheme that is not allowed, a malformed address).
bool failureWorthAWait(int code);

// The length part of queryResource.
std::uint64_t getFileSize(const std::string& url);

// Appends the body of the first successful transfer to `out`; false after five failed
// attempts. What a failed attempt delivered is taken out again, and an answer with an error
// status (400 and up) is a failed attempt that appends nothing. What `out` held before the call
// always stays. Every failed attempt makes the next one wait for the pacer's next step (and a
// 503's or 429's Retry-After); once the pacer's deadline has passed no attempt is begun, and
// none runs past it. The first form paces with the manifest's steps of its own.
bool getData(const std::string& url, std::string& out);
bool getData(const std::string& url, std::string& out, RetryPacer& pacer);

// Pacers for one phase, with the steps and deadline of transferLimits().
RetryPacer lengthQueryPacer();
RetryPacer manifestPacer();

// Where getData's write function puts the body of one attempt.
struct BodySink {
    std::string* out;
    std::size_t taken;  // bytes this attempt has appended
    void* transfer;     // the attempt's libcurl handle, for its status
};

// libcurl write function of getData: appends the block, or refuses it (ending the attempt)
// when the answer has an error status or the attempt's body would exceed kMaxInMemoryBody.
std::size_t appendToBuffer(char* data, std::size_t size, std::size_t count, void* user);
