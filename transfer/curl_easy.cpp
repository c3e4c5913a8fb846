#include "transfer/curl_easy.h"

#include "transfer/proxy_route.h"
#include "transfer/transfer_limits.h"

void setCommonTransferOptions(CURL* handle) {
    const TransferLimits limits = transferLimits();
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.noDataTimeoutSeconds);
    // Addresses come from a manifest on the network: no other scheme may reach a socket.
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    setProxyOptions(handle);
}

long responseCode(CURL* handle) {
    long code = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
    return code;
}
