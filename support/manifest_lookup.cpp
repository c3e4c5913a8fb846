#include "support/manifest_lookup.h"

#include <cstring>

namespace {
constexpr std::size_t kPatternBufferSize = 260;
}

bool getManifestValue(const std::string& text, const char* key, std::string& value) {
    const std::size_t keyLength = std::strlen(key);
    // The pattern buffer holds the key, the "=" and a terminator.
    if (keyLength + 2 > kPatternBufferSize) {
        return false;
    }
    const std::string pattern = std::string(key, keyLength) + "=";
    const char* begin = text.c_str();
    const char* hit = std::strstr(begin, pattern.c_str());
    if (hit == nullptr) {
        return false;
    }
    const std::size_t start = static_cast<std::size_t>(hit - begin);
    if (start > 0) {
        const char before = text[start - 1];
        if (before != '\r' && before != '\n' && before != ' ') {
            return false;
        }
    }
    value.clear();
    for (std::size_t pos = start + pattern.size(); pos < text.size(); ++pos) {
        const char byte = text[pos];
        if (byte == '\n' || byte == '\r') {
            break;
        }
        value.push_back(byte);
    }
    return true;
}
