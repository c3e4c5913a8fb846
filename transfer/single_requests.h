// One-off requests: the length of a resource, and a whole resource fetched into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr int kRequestAttempts = 5;
// A setup manifest is a short text: an attempt whose body grows beyond this fails.
constexpr std::size_t kMaxInMemoryBody = 1024 * 1024;

// The length the server reports for the resource (HEAD), or 0 when no attempt succeeded or
// the server reported no length. Logs "Failed to call getFileSize():<code>\n" for every
// failed transfer; makes at most five attempts.
std::uint64_t getFileSize(const std::string& url);

// Appends the body of the first successful transfer (and whatever failed attempts delivered
// before it) to `out`; false after five failed attempts. Never empties `out`.
bool getData(const std::string& url, std::string& out);

// Where getData's write function puts the body of one attempt.
struct BodySink {
    std::string* out;
    std::size_t taken;  // bytes this attempt has appended
};

// libcurl write function of getData: appends the block, or refuses it (ending the attempt)
// when the attempt's body would exceed kMaxInMemoryBody.
std::size_t appendToBuffer(char* data, std::size_t size, std::size_t count, void* user);
