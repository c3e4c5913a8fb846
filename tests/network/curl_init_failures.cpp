#include "tests/network/curl_init_failures.h"

#include <curl/curl.h>

#include <atomic>

namespace {

std::atomic<int> callsToSkip{0};
std::atomic<int> callsToFail{0};

}  // namespace

void failCurlInits(int skip, int fail) {
    callsToSkip = skip;
    callsToFail = fail;
}

extern "C" CURL* __real_curl_easy_init();

extern "C" CURL* __wrap_curl_easy_init() {
    if (callsToSkip.fetch_sub(1) > 0) {
        return __real_curl_easy_init();
    }
    if (callsToFail.fetch_sub(1) > 0) {
        return nullptr;
    }
    return __real_curl_easy_init();
}
