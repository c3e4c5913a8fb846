// Ownership of libcurl handles and the options every request shares.
#pragma once

#include <curl/curl.h>

#include <memory>

struct CurlEasyCleanup {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;

inline CurlEasy makeCurlEasy() {
    return CurlEasy(curl_easy_init());
}

struct CurlListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlList = std::unique_ptr<curl_slist, CurlListFree>;

// TLS without certificate or host-name checks, no overall time limit, the connect and
// no-data bounds of transferLimits(), only http and https (redirects included), and the proxy
// that the system names for the address: call it after CURLOPT_URL.
void setCommonTransferOptions(CURL* handle);

// The status of the answer in progress or received (0 before any).
long responseCode(CURL* handle);

// libcurl's process-wide state, set up once on the main thread before any request and before
// any worker thread exists.
class CurlGlobal {
public:
    CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {}
    ~CurlGlobal() {
        if (ok_) {
            curl_global_cleanup();
        }
    }
    CurlGlobal(const CurlGlobal&) = delete;
    CurlGlobal& operator=(const CurlGlobal&) = delete;

private:
    bool ok_;
};
