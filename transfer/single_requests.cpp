#include "transfer/single_requests.h"

#include <algorithm>

#include "support/diagnostic_log.h"
#include "support/run_trace.h"
#include "transfer/curl_easy.h"
#include "transfer/request_trace.h"
#include "transfer/retry_after.h"
#include "transfer/transfer_limits.h"

namespace {

constexpr long kFirstRedirectStatus = 300;
constexpr long kFirstErrorStatus = 400;
constexpr long kFirstServerErrorStatus = 500;
constexpr long kTooManyRequests = 429;

std::size_t dropBody(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// An answer that says the server cannot serve now, not that the resource is not there.
bool isPassingTrouble(long status) {
    return status >= kFirstServerErrorStatus || status == kTooManyRequests;
}

// Failures that no wait can mend: the address or this build, not the network.
bool isLocalFailure(CURLcode code) {
    return code == CURLE_UNSUPPORTED_PROTOCOL || code == CURLE_URL_MALFORMAT ||
           code == CURLE_NOT_BUILT_IN;
}

// An attempt may not run past the phase's deadline (0 would mean no limit at all).
void limitToPhase(CURL* handle, const RetryPacer& pacer) {
    curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, std::max(1L, static_cast<long>(pacer.msLeft())));
}

}  // namespace

RetryPacer lengthQueryPacer() {
    const TransferLimits limits = transferLimits();
    return RetryPacer(limits.lengthRetries, limits.lengthDeadlineMs, limits.retryAfterCapMs,
                      "length query");
}

RetryPacer manifestPacer() {
    const TransferLimits limits = transferLimits();
    return RetryPacer(limits.manifestRetries, limits.manifestDeadlineMs, limits.retryAfterCapMs,
                      "manifest");
}

LengthAnswer queryResourceOnce(const std::string& url, long noDataSeconds, ConnectionShare* share,
                               std::uint32_t timeoutMs) {
    LengthAnswer answer;
    CurlEasy easy = makeCurlEasy();
    if (!easy) {
        answer.code = kNoHandle;
        return answer;
    }
    AnswerHeaders headers;
    CURL* handle = easy.get();
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_HEADER, 1L);
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    setCommonTransferOptions(handle);
    if (noDataSeconds > 0) {
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, noDataSeconds);
    }
    if (timeoutMs > 0) {
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    }
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, dropBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, readAnswerHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(&headers));
    attachShare(handle, share);
    answer.code = static_cast<int>(curl_easy_perform(handle));
    answer.status = responseCode(handle);
    traceRequest(handle, "length", answer.code);
    answer.askedMs = askedWaitMs(answer.status, headers);
    if (answer.code == CURLE_OK && isPassingTrouble(answer.status)) {
        answer.code = CURLE_HTTP_RETURNED_ERROR;  // what libcurl itself says of an error status
    }
    // Redirections are not followed: the length of their page, like an error page's, is not
    // the resource's.
    if (answer.code != CURLE_OK || answer.status >= kFirstRedirectStatus) {
        return answer;
    }
    curl_off_t length = -1;
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    TraceLine("length")
        .number("length", length)
        .text("validator", headers.version.ifRange())
        .text("verdict", length > 0    ? "usable"
                         : length == 0 ? "no usable length: Content-Length is 0"
                                       : "no usable length: the answer has no Content-Length");
    // libcurl reports -1 when the server gave no length: that is no length at all.
    answer.info.length = length > 0 ? static_cast<std::uint64_t>(length) : 0;
    answer.info.version = headers.version;
    curl_off_t firstByte = 0;
    curl_easy_getinfo(handle, CURLINFO_STARTTRANSFER_TIME_T, &firstByte);
    answer.info.firstByteMs = static_cast<std::uint32_t>(firstByte / 1000);
    return answer;
}

bool failureWorthAWait(int code) {
    return code == kNoHandle || !isLocalFailure(static_cast<CURLcode>(code));
}

ResourceInfo queryResource(const std::string& url, ConnectionShare* share) {
    RetryPacer pacer = lengthQueryPacer();
    for (int attempt = 0; attempt < kRequestAttempts && pacer.beforeAttempt(); ++attempt) {
        // An attempt may not run past the phase's deadline (0 would mean no limit at all).
        const LengthAnswer answer =
            queryResourceOnce(url, 0, share, std::max<std::uint32_t>(1, pacer.msLeft()));
        if (answer.code == CURLE_OK) {
            return answer.info;
        }
        // An attempt whose handle could not be made counts, unlogged.
        if (answer.code != kNoHandle) {
            writeLogFormatted("Failed to call getFileSize():%d\n", answer.code);
        }
        if (failureWorthAWait(answer.code)) {
            pacer.failed(answer.askedMs);
        }
    }
    return ResourceInfo();
}

std::uint64_t getFileSize(const std::string& url) {
    return queryResource(url).length;
}

bool getData(const std::string& url, std::string& out) {
    RetryPacer pacer = manifestPacer();
    return getData(url, out, pacer);
}

bool getData(const std::string& url, std::string& out, RetryPacer& pacer) {
    // What the caller passed stays in front; what a failed attempt delivered does not: the
    // rest of an answer that broke off would run into the next answer's first line.
    const std::size_t callersText = out.size();
    for (int attempt = 0; attempt < kRequestAttempts && pacer.beforeAttempt(); ++attempt) {
        out.resize(callersText);
        CurlEasy easy = makeCurlEasy();
        if (!easy) {
            pacer.failed();
            continue;
        }
        CURL* handle = easy.get();
        BodySink sink{&out, 0, handle};
        AnswerHeaders headers;
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_HEADER, 0L);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(&sink));
        setCommonTransferOptions(handle);
        limitToPhase(handle, pacer);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendToBuffer);
        curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, readAnswerHeader);
        curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(&headers));
        // An error answer without a body never reaches the write function.
        const CURLcode code = curl_easy_perform(handle);
        const long status = responseCode(handle);
        traceRequest(handle, "manifest", code, nullptr,
                     code == CURLE_WRITE_ERROR && status < kFirstErrorStatus
                         ? "answer over 1 MiB: not a setup manifest"
                         : nullptr);
        if (code == CURLE_OK && status < kFirstErrorStatus) {
            return true;
        }
        if (!isLocalFailure(code)) {
            pacer.failed(askedWaitMs(status, headers));
        }
    }
    out.resize(callersText);
    return false;
}

std::size_t appendToBuffer(char* data, std::size_t size, std::size_t count, void* user) {
    auto* sink = static_cast<BodySink*>(user);
    const std::size_t length = size * count;
    if (length > kMaxInMemoryBody - sink->taken ||
        responseCode(static_cast<CURL*>(sink->transfer)) >= kFirstErrorStatus) {
        return 0;  // libcurl ends the transfer with a write error
    }
    sink->out->append(data, length);
    sink->taken += length;
    return length;
}
