#include "transfer/content_range.h"

#include <cstdio>

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads decimal digits at pos; false when there are none or the value overflows.
bool readNumber(const char* text, std::size_t length, std::size_t& pos, std::uint64_t& value) {
    const std::size_t start = pos;
    value = 0;
    while (pos < length && isDigit(text[pos])) {
        const std::uint64_t digit = static_cast<std::uint64_t>(text[pos] - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return false;
        }
        value = value * 10 + digit;
        ++pos;
    }
    return pos > start;
}

void skipBlanks(const char* text, std::size_t length, std::size_t& pos) {
    while (pos < length && (text[pos] == ' ' || text[pos] == '\t')) {
        ++pos;
    }
}

bool consumeCaseless(const char* text, std::size_t length, std::size_t& pos, const char* word) {
    std::size_t i = pos;
    for (; *word != '\0'; ++word, ++i) {
        if (i >= length || lowerAscii(text[i]) != *word) {
            return false;
        }
    }
    pos = i;
    return true;
}

}  // namespace

bool parseContentRangeHeader(const char* line, std::size_t length, ContentRange& range) {
    std::size_t pos = 0;
    if (!consumeCaseless(line, length, pos, "content-range:")) {
        return false;
    }
    skipBlanks(line, length, pos);
    if (!consumeCaseless(line, length, pos, "bytes")) {
        return false;
    }
    skipBlanks(line, length, pos);
    ContentRange parsed;
    if (!readNumber(line, length, pos, parsed.first)) {
        return false;
    }
    if (pos >= length || line[pos] != '-') {
        return false;
    }
    ++pos;
    if (!readNumber(line, length, pos, parsed.last) || parsed.first > parsed.last) {
        return false;
    }
    if (pos >= length || line[pos] != '/') {
        return false;
    }
    ++pos;
    if (pos < length && line[pos] == '*') {
        ++pos;
    } else if (readNumber(line, length, pos, parsed.completeLength)) {
        parsed.completeLengthKnown = true;
        if (parsed.last >= parsed.completeLength) {
            return false;
        }
    } else {
        return false;
    }
    skipBlanks(line, length, pos);
    while (pos < length && (line[pos] == '\r' || line[pos] == '\n')) {
        ++pos;
    }
    if (pos != length) {
        return false;
    }
    range = parsed;
    return true;
}

std::string rangeText(std::uint64_t first, std::uint64_t last) {
    char buffer[64] = {};
    std::snprintf(buffer, sizeof buffer, "%llu-%llu", static_cast<unsigned long long>(first),
                  static_cast<unsigned long long>(last));
    return buffer;
}
