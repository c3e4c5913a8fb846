// The texts in which Windows gives its proxy settings (Internet Options, WinHTTP and
// configuration-script answers), read the same way on every platform so that they can be
// tested anywhere.
#pragma once

#include <string>
#include <vector>

#include "support/platform.h"

// The parts of an absolute address that the proxy settings look at.
struct AddressParts {
    std::string scheme;  // lower case, e.g. "https"
    std::string host;    // lower case, without the brackets of an IPv6 literal
    std::string port;    // as written, else the scheme's default ("80", "443")
};

// Splits "scheme://[user@]host[:port][/...]"; a text without "://" gives empty parts.
AddressParts splitAddress(const std::string& url);

// The routes that a proxy list names for the address's scheme, in order. Entries are
// separated by ';' or blanks and read "[scheme=][http://|https://]host[:port]": an entry for
// another scheme, or for a kind of proxy other than HTTP, is skipped; "DIRECT" is a direct
// route. Empty when the list names nothing for the scheme.
std::vector<platform::ProxyRoute> proxyRoutesFor(const std::string& list,
                                                 const AddressParts& address);

// True when the bypass list sends the address straight to its server. Entries are separated by
// ';', ',' or blanks. "<local>" matches every host name without a dot; any other entry is a
// pattern with '*' wildcards, optionally starting with a scheme ("https://*.example.com"),
// compared without regard to case with the host and with "host:port".
bool bypassesProxy(const std::string& list, const AddressParts& address);
