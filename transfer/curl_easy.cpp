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
    setProxyOptions(handle);
}
