// The options every request shares.
#pragma once

#include <curl/curl.h>

#include "transfer/curl_handles.h"

// TLS without certificate or host-name checks, no overall time limit, the connect and
// no-data bounds of transferLimits(), only http and https (redirects included), and the proxy
// that the system names for the address: call it after CURLOPT_URL.
void setCommonTransferOptions(CURL* handle);

// The status of the answer in progress or received (0 before any).
long responseCode(CURL* handle);
