#include "support/proxy_settings.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> proxies(const std::string& list, const std::string& url) {
    std::vector<std::string> names;
    for (const platform::ProxyRoute& route : proxyRoutesFor(list, splitAddress(url))) {
        names.push_back(route.isDirect() ? "DIRECT" : route.proxy);
    }
    return names;
}

TEST(ProxySettings, AddressParts) {
    struct Case {
        const char* url;
        const char* scheme;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"http://Files.Example.COM/setup.exe", "http", "files.example.com", "80"},
        {"HTTPS://files.example.com:8443/a?b#c", "https", "files.example.com", "8443"},
        {"https://user:pw@host/x", "https", "host", "443"},
        {"http://[::1]:8080/x", "http", "::1", "8080"},
        {"http://[::1]/x", "http", "::1", "80"},
        {"no address", "", "", ""},
    };
    for (const Case& c : cases) {
        const AddressParts parts = splitAddress(c.url);
        EXPECT_EQ(parts.scheme, c.scheme) << c.url;
        EXPECT_EQ(parts.host, c.host) << c.url;
        EXPECT_EQ(parts.port, c.port) << c.url;
    }
}

TEST(ProxySettings, ProxiesNamedForTheScheme) {
    struct Case {
        const char* list;
        const char* url;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"proxy:3128", "https://h/", {"proxy:3128"}},
        {"http=a:1;https=b:2", "http://h/", {"a:1"}},
        {"HTTP=a:1; https=b:2", "https://h/", {"b:2"}},
        {"ftp=c:3;socks=d:4", "http://h/", {}},
        // A configuration script's answer: every proxy in order, and DIRECT where it says so.
        {"a:1;b:2 c:3", "http://h/", {"a:1", "b:2", "c:3"}},
        {"a:1;DIRECT", "http://h/", {"a:1", "DIRECT"}},
        // No port: the port of the kind of proxy, as WinHTTP assumes.
        {"proxy", "http://h/", {"proxy:80"}},
        {"https://secure", "http://h/", {"https://secure:443"}},
        {"http://a:1/", "http://h/", {"http://a:1"}},
        {"[fd00::1]", "http://h/", {"[fd00::1]:80"}},
        {"socks://s:1080;;", "http://h/", {}},
        {"", "http://h/", {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(proxies(c.list, c.url), c.expected) << c.list << " for " << c.url;
    }
}

TEST(ProxySettings, BypassList) {
    struct Case {
        const char* list;
        const char* url;
        bool bypassed;
    };
    const Case cases[] = {
        {"<local>", "http://intranet/x", true},
        {"<LOCAL>", "http://files.example.com/x", false},
        {"<local>", "http://[::1]/x", false},
        {"*.example.com", "http://files.EXAMPLE.com/x", true},
        {"*.example.com", "http://example.com/x", false},
        {"10.*;192.168.*", "http://192.168.1.7/x", true},
        {"10.*, 192.168.*", "http://10.0.0.1/x", true},
        {"files.example.com:8080", "http://files.example.com:8080/x", true},
        {"files.example.com:8080", "http://files.example.com/x", false},
        {"https://*.example.com", "https://a.example.com/x", true},
        {"https://*.example.com", "http://a.example.com/x", false},
        {"f*s*.ex*le.c*", "http://files.example.com/x", true},
        {"", "http://intranet/x", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bypassesProxy(c.list, splitAddress(c.url)), c.bypassed)
            << c.list << " for " << c.url;
    }
}

// Where proxies are answered with the Windows logon, the libcurl of the build must be able to:
// through SSPI, with Negotiate and NTLM.
TEST(ProxySettings, LogonAnswersNeedSspiInLibcurl) {
    const platform::ProxyChoice choice = platform::proxyFor("http://127.0.0.1/");
    if (!choice.answerWithLogon) {
        EXPECT_TRUE(choice.fromEnvironment);
        return;
    }
    const int features = curl_version_info(CURLVERSION_NOW)->features;
    EXPECT_NE(features & CURL_VERSION_SSPI, 0);
    EXPECT_NE(features & CURL_VERSION_SPNEGO, 0);
    EXPECT_NE(features & CURL_VERSION_NTLM, 0);
}

}  // namespace
