#include "support/proxy_settings.h"

#include <cctype>

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool isSeparator(char c, const char* separators) {
    for (const char* s = separators; *s != '\0'; ++s) {
        if (c == *s) {
            return true;
        }
    }
    return false;
}

std::vector<std::string> splitEntries(const std::string& list, const char* separators) {
    std::vector<std::string> entries;
    std::string entry;
    for (char c : list) {
        if (isSeparator(c, separators)) {
            if (!entry.empty()) {
                entries.push_back(entry);
            }
            entry.clear();
        } else {
            entry += c;
        }
    }
    if (!entry.empty()) {
        entries.push_back(entry);
    }
    return entries;
}

// Removes a leading "scheme://" and returns the scheme in lower case ("" when there is none).
std::string takeScheme(std::string& entry) {
    const std::size_t mark = entry.find("://");
    if (mark == std::string::npos) {
        return std::string();
    }
    const std::string scheme = lowerCase(entry.substr(0, mark));
    entry.erase(0, mark + 3);
    return scheme;
}

// '*' stands for any run of characters, including none. On a mismatch only the last star
// takes one more character, which keeps the work linear in practice whatever the pattern.
bool wildcardMatch(const std::string& pattern, const std::string& text) {
    std::size_t p = 0;
    std::size_t t = 0;
    std::size_t star = std::string::npos;
    std::size_t resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace

AddressParts splitAddress(const std::string& url) {
    AddressParts parts;
    const std::size_t mark = url.find("://");
    if (mark == std::string::npos) {
        return parts;
    }
    parts.scheme = lowerCase(url.substr(0, mark));
    std::string authority = url.substr(mark + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        authority.erase(0, at + 1);
    }
    std::size_t portMark = authority.rfind(':');
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        parts.host =
            authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        portMark = (close != std::string::npos && close + 1 < authority.size() &&
                    authority[close + 1] == ':')
                       ? close + 1
                       : std::string::npos;
    } else {
        parts.host = authority.substr(0, portMark);
    }
    parts.host = lowerCase(parts.host);
    if (portMark != std::string::npos && portMark + 1 < authority.size()) {
        parts.port = authority.substr(portMark + 1);
    } else {
        parts.port = parts.scheme == "https" ? "443" : "80";
    }
    return parts;
}

std::vector<platform::ProxyRoute> proxyRoutesFor(const std::string& list,
                                                 const AddressParts& address) {
    std::vector<platform::ProxyRoute> routes;
    for (std::string entry : splitEntries(list, "; \t\r\n")) {
        const std::size_t equals = entry.find('=');
        if (equals != std::string::npos) {
            if (lowerCase(entry.substr(0, equals)) != address.scheme) {
                continue;
            }
            entry.erase(0, equals + 1);
        }
        if (lowerCase(entry) == "direct") {
            routes.push_back(platform::ProxyRoute{});
            continue;
        }
        const std::string kind = takeScheme(entry);
        entry = entry.substr(0, entry.find('/'));
        if (entry.empty() || !(kind.empty() || kind == "http" || kind == "https")) {
            continue;
        }
        // A proxy named without a port listens on the port of its kind, as WinHTTP assumes
        // (libcurl alone would take 1080).
        const std::size_t colon = entry.rfind(':');
        const std::size_t bracket = entry.rfind(']');
        if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) {
            entry += kind == "https" ? ":443" : ":80";
        }
        routes.push_back(platform::ProxyRoute{kind.empty() ? entry : kind + "://" + entry});
    }
    return routes;
}

bool bypassesProxy(const std::string& list, const AddressParts& address) {
    const std::string hostAndPort = address.host + ":" + address.port;
    for (std::string entry : splitEntries(list, ";, \t\r\n")) {
        if (lowerCase(entry) == "<local>") {
            if (address.host.find_first_of(".:") == std::string::npos) {
                return true;
            }
            continue;
        }
        const std::string scheme = takeScheme(entry);
        if (!scheme.empty() && scheme != address.scheme) {
            continue;
        }
        const std::string pattern = lowerCase(entry);
        if (wildcardMatch(pattern, address.host) || wildcardMatch(pattern, hostAndPort)) {
            return true;
        }
    }
    return false;
}
