#include "support/manifest_lookup.h"

#include <cstring>

namespace {
constexpr std::size_t kPatternBufferSize = 260;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kByteOrderMarkLength = 3;

// Editors on Windows start UTF-8 files with a byte-order mark; the first entry follows it.
std::size_t textStart(const std::string& text) {
    return text.compare(0, kByteOrderMarkLength, kByteOrderMark) == 0 ? kByteOrderMarkLength : 0;
}

bool startsAnEntry(const std::string& text, std::size_t position) {
    if (position == textStart(text)) {
        return true;
    }
    const char before = text[position - 1];
    return before == '\r' || before == '\n' || before == ' ';
}

}  // namespace

bool getManifestValue(const std::string& text, const char* key, std::string& value) {
    const std::size_t keyLength = std::strlen(key);
    // The pattern buffer holds the key, the "=" and a terminator.
    if (keyLength + 2 > kPatternBufferSize) {
        return false;
    }
    const std::string pattern = std::string(key, keyLength) + "=";
    const char* begin = text.c_str();
    // strstr stops at the first NUL byte: what follows it is never searched.
    const char* hit = std::strstr(begin + textStart(text), pattern.c_str());
    while (hit != nullptr && !startsAnEntry(text, static_cast<std::size_t>(hit - begin))) {
        hit = std::strstr(hit + 1, pattern.c_str());
    }
    if (hit == nullptr) {
        return false;
    }
    value.clear();
    for (std::size_t pos = static_cast<std::size_t>(hit - begin) + pattern.size();
         pos < text.size(); ++pos) {
        const char byte = text[pos];
        if (byte == '\n' || byte == '\r') {
            break;
        }
        value.push_back(byte);
    }
    return true;
}
