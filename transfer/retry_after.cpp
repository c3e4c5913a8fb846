#include "transfer/retry_after.h"

#include <curl/curl.h>

#include <algorithm>

namespace {

// Beyond any cap a wait gets: longer values are read as this.
constexpr std::uint64_t kLongestSeconds = 24 * 60 * 60;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::optional<std::uint32_t> retryAfterMs(const std::string& value, const std::string& date,
                                          std::time_t now) {
    if (value.empty()) {
        return std::nullopt;
    }
    if (std::all_of(value.begin(), value.end(), isDigit)) {
        std::uint64_t seconds = 0;
        for (char c : value) {
            seconds = std::min(seconds * 10 + static_cast<std::uint64_t>(c - '0'), kLongestSeconds);
        }
        return static_cast<std::uint32_t>(seconds * 1000);
    }
    // An HTTP date in any of the three forms HTTP allows; libcurl reads them all.
    const std::time_t until = curl_getdate(value.c_str(), nullptr);
    if (until == static_cast<std::time_t>(-1)) {
        return std::nullopt;
    }
    std::time_t reference = date.empty() ? -1 : curl_getdate(date.c_str(), nullptr);
    if (reference == static_cast<std::time_t>(-1)) {
        reference = now;
    }
    if (until <= reference) {
        return std::nullopt;
    }
    const std::uint64_t seconds =
        std::min(static_cast<std::uint64_t>(until - reference), kLongestSeconds);
    return static_cast<std::uint32_t>(seconds * 1000);
}

std::optional<std::uint32_t> askedWaitMs(long status, const AnswerHeaders& headers) {
    if (status != 503 && status != 429) {
        return std::nullopt;
    }
    return retryAfterMs(headers.retryAfter, headers.date, std::time(nullptr));
}
