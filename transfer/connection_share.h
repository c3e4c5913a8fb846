// What the requests of one worker pass on to its next request: the open connection, the DNS
// answers and the TLS sessions, through libcurl's share interface. A worker whose range is done
// asks for its next part over the connection it already has instead of a new one.
#pragma once

#include <curl/curl.h>

#include "support/platform.h"

// One per worker, used by one thread at a time (the worker's, or the download's thread before
// the worker starts and after it has ended): libcurl does not support a connection cache shared
// by transfers that run at the same time on several threads. libcurl still locks each kind of
// shared data, each with a mutex of its own. Each request keeps its own easy handle.
class ConnectionShare {
public:
    ConnectionShare();
    ~ConnectionShare();  // closes the connections it holds
    ConnectionShare(const ConnectionShare&) = delete;
    ConnectionShare& operator=(const ConnectionShare&) = delete;

    // Lets the request use the share: nothing when it could not be made (the request then
    // opens its own connection, as without a share).
    void attach(CURL* handle);
    bool isValid() const { return share_ != nullptr; }

private:
    static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* user);
    static void unlock(CURL* handle, curl_lock_data data, void* user);
    platform::Mutex* mutexFor(curl_lock_data data);

    CURLSH* share_ = nullptr;
    platform::Mutex shareItself_;
    platform::Mutex connections_;
    platform::Mutex names_;
    platform::Mutex sessions_;
};

// Attaches `share` to the request when there is one.
inline void attachShare(CURL* handle, ConnectionShare* share) {
    if (share != nullptr) {
        share->attach(handle);
    }
}
