#include "transfer/proxy_route.h"

#include <map>
#include <string>

#include "support/run_trace.h"
#include "support/trace_text.h"
#include "transfer/curl_handles.h"
#include "transfer/transfer_limits.h"

namespace {

struct Decision {
    bool fromEnvironment;
    platform::ProxyRoute route;
    bool answerWithLogon;
};

// Transfers of one download run on several threads; the first to reach an address decides
// for all of them while the others wait.
platform::Mutex decisionsMutex;
std::map<std::string, Decision> decisions;

// Only a connection is made: nothing is sent to the proxy.
bool proxyAcceptsConnection(const std::string& proxy) {
    CurlEasy easy = makeCurlEasy();
    if (!easy) {
        return false;
    }
    const std::string address =
        proxy.find("://") == std::string::npos ? "http://" + proxy + "/" : proxy + "/";
    CURL* handle = easy.get();
    curl_easy_setopt(handle, CURLOPT_URL, address.c_str());
    curl_easy_setopt(handle, CURLOPT_PROXY, "");  // to the proxy itself
    curl_easy_setopt(handle, CURLOPT_CONNECT_ONLY, 1L);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, transferLimits().connectTimeoutSeconds);
    return curl_easy_perform(handle) == CURLE_OK;
}

void traceDecision(const std::string& url, const platform::ProxyChoice& choice,
                   const Decision& decision) {
    TraceLine line("proxy");
    line.text("host", hostForTrace(url)).text("source", choice.origin);
    if (decision.fromEnvironment) {
        line.text("route", choice.environmentProxy.empty()
                               ? "direct (no proxy variable set)"
                               : "as the variable says: " + proxyForTrace(choice.environmentProxy));
    } else {
        line.text("route",
                  decision.route.isDirect() ? "direct" : proxyForTrace(decision.route.proxy))
            .number("routes_offered", static_cast<long long>(choice.routes.size()))
            .flag("answer_with_logon", decision.answerWithLogon && !decision.route.isDirect());
    }
}

Decision decisionFor(const std::string& url) {
    platform::MutexLock lock(decisionsMutex.isValid() ? &decisionsMutex : nullptr);
    const auto known = decisions.find(url);
    if (known != decisions.end()) {
        return known->second;
    }
    const platform::ProxyChoice choice = platform::proxyFor(url);
    Decision decision{choice.fromEnvironment, platform::ProxyRoute{}, choice.answerWithLogon};
    if (!choice.fromEnvironment && !choice.routes.empty()) {
        decision.route = firstWorkingRoute(choice.routes);
    }
    decisions.emplace(url, decision);
    traceDecision(url, choice, decision);
    return decision;
}

}  // namespace

platform::ProxyRoute firstWorkingRoute(const std::vector<platform::ProxyRoute>& routes) {
    for (std::size_t i = 0; i + 1 < routes.size(); ++i) {
        if (routes[i].isDirect() || proxyAcceptsConnection(routes[i].proxy)) {
            return routes[i];
        }
    }
    return routes.back();
}

void setProxyOptions(CURL* handle) {
    // libcurl gives back the address set with CURLOPT_URL before the transfer runs.
    const char* url = nullptr;
    curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &url);
    const Decision decision = decisionFor(url != nullptr ? url : "");
    if (decision.fromEnvironment) {
        return;
    }
    // Set explicitly, so that no proxy variable of the environment overrides the decision.
    curl_easy_setopt(handle, CURLOPT_PROXY, decision.route.proxy.c_str());
    curl_easy_setopt(handle, CURLOPT_NOPROXY, "");
    if (!decision.route.isDirect() && decision.answerWithLogon) {
        // An empty user name makes libcurl's SSPI use the signed-in user's credentials.
        curl_easy_setopt(handle, CURLOPT_PROXYAUTH, CURLAUTH_NEGOTIATE | CURLAUTH_NTLM);
        curl_easy_setopt(handle, CURLOPT_PROXYUSERPWD, ":");
    }
}
