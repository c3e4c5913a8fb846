#include "transfer/single_requests.h"

#include "support/diagnostic_log.h"
#include "transfer/curl_easy.h"

namespace {

constexpr long kFirstErrorStatus = 400;

std::size_t dropBody(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

}  // namespace

LengthAnswer queryResourceOnce(const std::string& url, long noDataSeconds, ConnectionShare* share) {
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
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, dropBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, readAnswerHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(&headers));
    attachShare(handle, share);
    answer.code = static_cast<int>(curl_easy_perform(handle));
    if (answer.code != CURLE_OK) {
        return answer;
    }
    answer.status = responseCode(handle);
    if (answer.status >= kFirstErrorStatus) {
        return answer;  // the length of an error page is not the resource's
    }
    curl_off_t length = -1;
    curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    // libcurl reports -1 when the server gave no length: that is no length at all.
    answer.info.length = length > 0 ? static_cast<std::uint64_t>(length) : 0;
    answer.info.version = headers.version;
    curl_off_t firstByte = 0;
    curl_easy_getinfo(handle, CURLINFO_STARTTRANSFER_TIME_T, &firstByte);
    answer.info.firstByteMs = static_cast<std::uint32_t>(firstByte / 1000);
    return answer;
}

ResourceInfo queryResource(const std::string& url, ConnectionShare* share) {
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        const LengthAnswer answer = queryResourceOnce(url, 0, share);
        if (answer.code == CURLE_OK) {
            return answer.info;
        }
        // An attempt whose handle could not be made counts, unlogged.
        if (answer.code != kNoHandle) {
            writeLogFormatted("Failed to call getFileSize():%d\n", answer.code);
        }
    }
    return ResourceInfo();
}

std::uint64_t getFileSize(const std::string& url) {
    return queryResource(url).length;
}

bool getData(const std::string& url, std::string& out) {
    // What the caller passed stays in front; what a failed attempt delivered does not: the
    // rest of an answer that broke off would run into the next answer's first line.
    const std::size_t callersText = out.size();
    for (int attempt = 0; attempt < kRequestAttempts; ++attempt) {
        out.resize(callersText);
        CurlEasy easy = makeCurlEasy();
        if (!easy) {
            continue;
        }
        CURL* handle = easy.get();
        BodySink sink{&out, 0, handle};
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_HEADER, 0L);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(&sink));
        setCommonTransferOptions(handle);
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendToBuffer);
        // An error answer without a body never reaches the write function.
        if (curl_easy_perform(handle) == CURLE_OK && responseCode(handle) < kFirstErrorStatus) {
            return true;
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
