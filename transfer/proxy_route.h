// The proxy of every transfer: the user's system decides how an address is reached, once per
// address and run, never once per block.
#pragma once

#include <curl/curl.h>

#include <vector>

#include "support/platform.h"

// Sets CURLOPT_PROXY, CURLOPT_NOPROXY and the proxy authentication for a transfer whose
// CURLOPT_URL is already set. Where the system leaves proxies to the environment (http_proxy,
// https_proxy, no_proxy) nothing is set, so that libcurl reads it.
void setProxyOptions(CURL* handle);

// The route to use out of routes to try in order: the first that is direct or whose proxy
// accepts a connection within the connect bound; the last one when none does, so that the
// transfer fails as a transfer to that proxy fails. `routes` must not be empty.
platform::ProxyRoute firstWorkingRoute(const std::vector<platform::ProxyRoute>& routes);
