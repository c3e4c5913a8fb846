// One-off requests: the length of a resource, and a whole resource fetched into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transfer/answer_headers.h"
#include "transfer/connection_share.h"
#include "transfer/request_limits.h"

// A setup manifest is a short text: an attempt whose body grows beyond this fails.
constexpr std::size_t kMaxInMemoryBody = 1024 * 1024;

// What the length query learnt of a resource.
struct ResourceInfo {
    std::uint64_t length = 0;  // 0: no length
    ResourceVersion version;
    std::uint32_t firstByteMs = 0;  // how long the answer took to begin, connecting included
};

// The length the server reports for the resource (HEAD) and the validators of that version.
// No length when no attempt succeeded, the server reported none or 0, or it answered with an
// error status (that answer ends the query at once). Logs
// "Failed to call getFileSize():<code>\n" for every failed transfer; at most five attempts.
// With a share, the connection stays open in it for the next request.
ResourceInfo queryResource(const std::string& url, ConnectionShare* share = nullptr);

// One attempt of the length query. `code` is libcurl's result (0: an answer came; kNoHandle:
// no handle could be made), `status`
// the answer's status. `noDataSeconds` above 0 ends an attempt that receives nothing for that
// long sooner than the usual bound (a source with others to turn to).
constexpr int kNoHandle = -1;
struct LengthAnswer {
    int code = 0;
    long status = 0;
    ResourceInfo info;  // no length for an error status
};
// With a share, the connection stays open in it for the next request.
LengthAnswer queryResourceOnce(const std::string& url, long noDataSeconds = 0,
                               ConnectionShare* share = nullptr);

// The length part of queryResource.
std::uint64_t getFileSize(const std::string& url);

// Appends the body of the first successful transfer to `out`; false after five failed
// attempts. What a failed attempt delivered is taken out again, and an answer with an error
// status (400 and up) is a failed attempt that appends nothing. What `out` held before the call
// always stays.
bool getData(const std::string& url, std::string& out);

// Where getData's write function puts the body of one attempt.
struct BodySink {
    std::string* out;
    std::size_t taken;  // bytes this attempt has appended
    void* transfer;     // the attempt's libcurl handle, for its status
};

// libcurl write function of getData: appends the block, or refuses it (ending the attempt)
// when the answer has an error status or the attempt's body would exceed kMaxInMemoryBody.
std::size_t appendToBuffer(char* data, std::size_t size, std::size_t count, void* user);
