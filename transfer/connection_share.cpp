#include "transfer/connection_share.h"

ConnectionShare::ConnectionShare() {
    if (!shareItself_.isValid() || !connections_.isValid() || !names_.isValid() ||
        !sessions_.isValid()) {
        return;
    }
    CURLSH* share = curl_share_init();
    if (share == nullptr) {
        return;
    }
    const bool locked =
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, &ConnectionShare::lock) == CURLSHE_OK &&
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, &ConnectionShare::unlock) == CURLSHE_OK &&
        curl_share_setopt(share, CURLSHOPT_USERDATA, static_cast<void*>(this)) == CURLSHE_OK;
    // The connections are what matters; DNS answers and TLS sessions are shared where the
    // library was built with them.
    if (!locked ||
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT) != CURLSHE_OK) {
        curl_share_cleanup(share);
        return;
    }
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    share_ = share;
}

ConnectionShare::~ConnectionShare() {
    if (share_ != nullptr) {
        curl_share_cleanup(share_);
    }
}

void ConnectionShare::attach(CURL* handle) {
    if (share_ != nullptr) {
        curl_easy_setopt(handle, CURLOPT_SHARE, share_);
    }
}

platform::Mutex* ConnectionShare::mutexFor(curl_lock_data data) {
    switch (data) {
        case CURL_LOCK_DATA_CONNECT:
            return &connections_;
        case CURL_LOCK_DATA_DNS:
            return &names_;
        case CURL_LOCK_DATA_SSL_SESSION:
            return &sessions_;
        default:
            return &shareItself_;
    }
}

void ConnectionShare::lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<ConnectionShare*>(user)->mutexFor(data)->lock();
}

void ConnectionShare::unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<ConnectionShare*>(user)->mutexFor(data)->unlock();
}
