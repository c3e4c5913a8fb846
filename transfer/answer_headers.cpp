#include "transfer/answer_headers.h"

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of a "name: value" line with the given lower-case name, without surrounding blanks.
bool headerValue(const char* line, std::size_t length, const std::string& name,
                 std::string& value) {
    if (length <= name.size() || line[name.size()] != ':') {
        return false;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (lowerAscii(line[i]) != name[i]) {
            return false;
        }
    }
    std::size_t first = name.size() + 1;
    std::size_t end = length;
    while (first < end && isBlank(line[first])) {
        ++first;
    }
    while (end > first && isBlank(line[end - 1])) {
        --end;
    }
    value.assign(line + first, end - first);
    return true;
}

bool equalsCaseless(const std::string& text, const char* lowerWord) {
    std::size_t i = 0;
    for (; lowerWord[i] != '\0'; ++i) {
        if (i >= text.size() || lowerAscii(text[i]) != lowerWord[i]) {
            return false;
        }
    }
    return i == text.size();
}

}  // namespace

bool ResourceVersion::contradictedBy(const ResourceVersion& answer) const {
    if (!etag.empty()) {
        return !answer.etag.empty() && answer.etag != etag;
    }
    if (!lastModified.empty()) {
        return !answer.lastModified.empty() && answer.lastModified != lastModified;
    }
    return false;
}

void AnswerHeaders::read(const char* line, std::size_t length) {
    static const char kStatusLine[] = "HTTP/";
    if (length >= sizeof kStatusLine - 1 &&
        std::string(line, sizeof kStatusLine - 1) == kStatusLine) {
        *this = AnswerHeaders();
        return;
    }
    std::string value;
    if (parseContentRangeHeader(line, length, range)) {
        rangeSeen = true;
    } else if (headerValue(line, length, "content-encoding", value)) {
        encoded = !value.empty() && !equalsCaseless(value, "identity");
    } else if (headerValue(line, length, "etag", value)) {
        // A weak tag does not promise the same bytes: it cannot guard a range.
        version.etag = value.compare(0, 2, "W/") == 0 ? std::string() : value;
    } else if (headerValue(line, length, "last-modified", value)) {
        version.lastModified = value;
    } else if (headerValue(line, length, "retry-after", value)) {
        retryAfter = value;
    } else if (headerValue(line, length, "date", value)) {
        date = value;
    }
}

std::size_t readAnswerHeader(char* data, std::size_t size, std::size_t count, void* user) {
    const std::size_t length = size * count;
    static_cast<AnswerHeaders*>(user)->read(data, length);
    return length;
}
