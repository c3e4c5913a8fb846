#include "transfer/request_trace.h"

#include <string>

#include "support/run_trace.h"
#include "support/trace_text.h"
#include "transfer/curl_easy.h"

const char* transferEndText(int code) {
    switch (code) {
        case CURLE_OK:
            return "complete";
        case CURLE_UNSUPPORTED_PROTOCOL:
            return "scheme not allowed (only http and https)";
        case CURLE_URL_MALFORMAT:
            return "malformed address";
        case CURLE_COULDNT_RESOLVE_PROXY:
            return "proxy name not found (DNS)";
        case CURLE_COULDNT_RESOLVE_HOST:
            return "host name not found (DNS)";
        case CURLE_COULDNT_CONNECT:
            return "connection refused or host unreachable";
        case CURLE_PARTIAL_FILE:
            return "answer ended before its declared length";
        case CURLE_HTTP_RETURNED_ERROR:
            return "server error status";
        case CURLE_WRITE_ERROR:
        case CURLE_ABORTED_BY_CALLBACK:
            // Mostly no fault: the range was cut by a split, asked again, or the download ended.
            return "stopped by the downloader (range done or cut, or the download ended)";
        case CURLE_OPERATION_TIMEDOUT:
            return "timed out (no data within the bound)";
        case CURLE_SSL_CONNECT_ERROR:
            return "TLS handshake failed";
        case CURLE_GOT_NOTHING:
            return "server closed the connection without an answer";
        case CURLE_SEND_ERROR:
            return "connection broken while sending";
        case CURLE_RECV_ERROR:
            return "connection reset or broken while receiving";
#if LIBCURL_VERSION_NUM >= 0x074900
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return "HTTP/2 stream failed";
#endif
#if LIBCURL_VERSION_NUM >= 0x074c00
        case CURLE_PROXY:
            return "proxy refused or failed the tunnel";
#endif
        default:
            return "transfer failed";
    }
}

void traceRequest(CURL* handle, const char* kind, int code, const char* range, const char* why) {
    if (!tracing()) {
        return;
    }
    const char* url = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url);
    curl_off_t bytes = 0;
    curl_easy_getinfo(handle, CURLINFO_SIZE_DOWNLOAD_T, &bytes);
    curl_off_t firstByteUs = 0;
    curl_easy_getinfo(handle, CURLINFO_STARTTRANSFER_TIME_T, &firstByteUs);
    long connects = 0;
    curl_easy_getinfo(handle, CURLINFO_NUM_CONNECTS, &connects);
    const long status = responseCode(handle);
    // A request that never reached a server made no connection and reused none.
    const char* connection = connects > 0 ? "new" : status > 0 ? "reused" : "none";
    TraceLine line("request");
    line.text("kind", kind).text("host", hostForTrace(url != nullptr ? url : ""));
    if (range != nullptr) {
        line.text("range", range);
    }
    line.number("status", status)
        .number("bytes", bytes)
        .number("first_byte_ms", firstByteUs / 1000)
        .text("connection", connection)
        .text("ended", why != nullptr ? why
                       : (code == CURLE_OK || code == CURLE_WRITE_ERROR) && status >= 400
                           ? "error status from the server"
                           : transferEndText(code))
        .number("curl", code);
}

const char* rangeEndText(const RangeAnswerFacts& facts) {
    if (facts.stalled) {
        return "stalled: nothing received while another source worked, the range moves on";
    }
    if (!facts.refused) {
        return nullptr;
    }
    if (facts.encoded) {
        return "answer refused: compressed (Content-Encoding) though no encoding was asked for";
    }
    if (facts.wholeAnswer) {
        return "answer refused: 200 with the whole file, the server ignores ranges";
    }
    if (facts.otherResource) {
        return "answer refused: another version of the file (ETag, Last-Modified or length "
               "changed)";
    }
    return "answer refused: Content-Range missing or not starting where asked";
}

void traceSourceDropped(std::size_t source, const char* why) {
    TraceLine("source")
        .number("number", static_cast<long long>(source))
        .text("verdict", std::string("dropped: ") + why);
}

void traceSourceGivenUp(std::size_t source) {
    TraceLine("source")
        .number("number", static_cast<long long>(source))
        .text("verdict", "given up: no real progress until its deadline");
}

void traceAnswerProblem(const char* kind, const char* problem) {
    TraceLine("answer").text("kind", kind).text("problem", problem);
}

void traceFailover(std::size_t from, std::size_t to, bool everyFailed) {
    if (from == to || to == static_cast<std::size_t>(-1)) {
        return;
    }
    TraceLine("failover")
        .number("from_source", static_cast<long long>(from))
        .number("to_source", static_cast<long long>(to))
        .text("reason", everyFailed ? "every source failed this range: starting the round again"
                                    : "the range's source failed or is failing");
}
