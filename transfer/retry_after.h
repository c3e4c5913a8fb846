// A server's Retry-After: how long it asks a client to wait before asking again.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "transfer/answer_headers.h"

// The wait that a Retry-After value asks for, in milliseconds: delta-seconds, or an HTTP date
// read against the answer's Date (`date`; when it has none or a malformed one, against `now`).
// Nothing for a malformed value or a date that is not in the future.
std::optional<std::uint32_t> retryAfterMs(const std::string& value, const std::string& date,
                                          std::time_t now);

// What an answer with `status` and `headers` asks for: only a 503 or a 429 is heeded.
std::optional<std::uint32_t> askedWaitMs(long status, const AnswerHeaders& headers);
