#include "release/http_probe.h"

#include <curl/curl.h>

#include <cctype>

#include "transfer/curl_handles.h"

namespace {

constexpr long kConnectTimeoutSeconds = 15;
// A probe that receives nothing for this long fails.
constexpr long kLowSpeedSeconds = 30;
constexpr std::uint64_t kExtraBodyBytes = 64 * 1024;

struct Collector {
    ProbeAnswer* answer;
    std::uint64_t bodyLimit;
};

bool startsWithName(const std::string& line, const char* name) {
    std::size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (i >= line.size() || std::tolower(static_cast<unsigned char>(line[i])) !=
                                    static_cast<unsigned char>(name[i])) {
            return false;
        }
    }
    return true;
}

std::string headerValue(const std::string& line, std::size_t nameLength) {
    std::size_t begin = nameLength;
    std::size_t end = line.size();
    while (begin < end && (line[begin] == ' ' || line[begin] == '\t')) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(line[end - 1]))) {
        --end;
    }
    return line.substr(begin, end - begin);
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* collector = static_cast<Collector*>(user);
    ProbeAnswer& answer = *collector->answer;
    const std::size_t length = size * count;
    const std::string line(data, length);
    if (line.compare(0, 5, "HTTP/") == 0) {
        // A new answer (an interim 100 Continue, say) replaces what an earlier one sent.
        answer.etag.clear();
        answer.contentRangeSent = false;
        answer.contentRangeValid = false;
    } else if (startsWithName(line, "etag:")) {
        answer.etag = headerValue(line, 5);
    } else if (startsWithName(line, "content-range:")) {
        answer.contentRangeSent = true;
        answer.contentRangeText = headerValue(line, 14);
        answer.contentRangeValid = parseContentRangeHeader(data, length, answer.contentRange);
    }
    return length;
}

std::size_t countBody(char*, std::size_t size, std::size_t count, void* user) {
    auto* collector = static_cast<Collector*>(user);
    const std::size_t length = size * count;
    collector->answer->bodyBytes += length;
    // Returning less than given ends the transfer: the probe has seen enough.
    return collector->answer->bodyBytes > collector->bodyLimit ? 0 : length;
}

ProbeAnswer perform(const std::string& url, bool head, const std::string& range,
                    std::uint64_t bodyLimit) {
    ProbeAnswer answer;
    const CurlEasy easy = makeCurlEasy();
    if (!easy) {
        answer.error = "libcurl could not create a request";
        return answer;
    }
    CURL* handle = easy.get();
    Collector collector{&answer, bodyLimit};
    char errorText[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, kLowSpeedSeconds);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &collector);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, countBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &collector);
    if (head) {
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    }
    if (!range.empty()) {
        curl_easy_setopt(handle, CURLOPT_RANGE, range.c_str());
    }
    const CURLcode code = curl_easy_perform(handle);
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &answer.status);
    answer.answered = answer.status > 0;
    curl_off_t length = -1;
    if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length >= 0) {
        answer.lengthKnown = true;
        answer.length = static_cast<std::uint64_t>(length);
    }
    const bool cutShortOnPurpose = code == CURLE_WRITE_ERROR && answer.bodyBytes > bodyLimit;
    if (code != CURLE_OK && !cutShortOnPurpose) {
        answer.error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
        if (!answer.error.empty() && answer.error.back() == '\n') {
            answer.error.pop_back();
        }
        answer.answered = answer.answered && code == CURLE_PARTIAL_FILE;
    }
    return answer;
}

}  // namespace

ProbeAnswer probeHead(const std::string& url) {
    return perform(url, true, std::string(), 0);
}

ProbeAnswer probeRange(const std::string& url, std::uint64_t first, std::uint64_t last) {
    return perform(url, false, rangeText(first, last), last - first + 1 + kExtraBodyBytes);
}
