#include "support/trace_text.h"

#include <algorithm>

namespace {

struct AddressParts {
    std::string scheme;     // with "://", or empty
    std::string authority;  // host and port, user information taken out
    std::string path;       // up to the query or fragment
    bool query = false;
};

AddressParts splitForTrace(const std::string& address) {
    AddressParts parts;
    std::size_t start = 0;
    const std::size_t schemeEnd = address.find("://");
    if (schemeEnd != std::string::npos && address.find_first_of("/?#@") > schemeEnd) {
        start = schemeEnd + 3;
        parts.scheme = address.substr(0, start);
    }
    // User information ends at the last '@' before the path, even where a malformed address has
    // a '?' or '#' inside its password: rather a wrong host in the trace than half a password.
    const std::size_t at = address.rfind('@', address.find('/', start));
    if (at != std::string::npos && at >= start) {
        start = at + 1;
    }
    const std::size_t authorityEnd = std::min(address.find_first_of("/?#", start), address.size());
    parts.authority = address.substr(start, authorityEnd - start);
    const std::size_t pathEnd = std::min(address.find_first_of("?#", authorityEnd), address.size());
    parts.path = address.substr(authorityEnd, pathEnd - authorityEnd);
    parts.query = pathEnd < address.size() && address[pathEnd] == '?';
    return parts;
}

}  // namespace

std::string addressForTrace(const std::string& address) {
    const AddressParts parts = splitForTrace(address);
    return parts.scheme + parts.authority + parts.path + (parts.query ? "?[query removed]" : "");
}

std::string hostForTrace(const std::string& address) {
    return splitForTrace(address).authority;
}

std::string proxyForTrace(const std::string& proxy) {
    // A variable's name stays; its value is an address like any other.
    const std::size_t equals = proxy.find('=');
    const bool named = equals != std::string::npos && proxy.find_first_of(":/@") > equals;
    const std::string name = named ? proxy.substr(0, equals + 1) : std::string();
    const AddressParts parts = splitForTrace(named ? proxy.substr(equals + 1) : proxy);
    return name + parts.scheme + parts.authority;
}
