// Arbitrary header lines through the Content-Range parser, and arbitrary bounds through the
// Range request text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_input.h"
#include "transfer/content_range.h"

namespace {

bool parse(const std::string& line, ContentRange& range) {
    // An exact-size heap copy, so that AddressSanitizer sees any read past `length`.
    std::vector<char> exact(line.begin(), line.end());
    return parseContentRangeHeader(exact.data(), exact.size(), range);
}

std::string toDecimal(std::uint64_t value) {
    return std::to_string(value);
}

// Strict "A-B" with canonical decimal numbers; the values are compared against what went in.
bool readRangeText(const std::string& text, std::uint64_t& first, std::uint64_t& last) {
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 >= text.size()) {
        return false;
    }
    const std::string a = text.substr(0, dash);
    const std::string b = text.substr(dash + 1);
    for (const std::string* part : {&a, &b}) {
        if (part->find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        if (part->size() > 1 && (*part)[0] == '0') {
            return false;
        }
    }
    first = std::stoull(a);
    last = std::stoull(b);
    return toDecimal(first) == a && toDecimal(last) == b;
}

bool startsWithNameCaseless(const std::string& line) {
    static const char kName[] = "content-range:";
    const std::size_t length = sizeof kName - 1;
    if (line.size() < length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kName[i]) {
            return false;
        }
    }
    return true;
}

std::string withoutLeadingZeros(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool startsNumber = i == 0 || text[i - 1] < '0' || text[i - 1] > '9';
        if (startsNumber && text[i] == '0') {
            std::size_t end = i;
            while (end < text.size() && text[end] == '0') {
                ++end;
            }
            const bool moreDigits = end < text.size() && text[end] >= '0' && text[end] <= '9';
            out.push_back(moreDigits ? text[end] : '0');
            i = moreDigits ? end : end - 1;
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

void checkLine(const std::string& line) {
    ContentRange range;
    range.first = 7;
    range.last = 3;
    const bool ok = parse(line, range);
    if (!ok) {
        return;
    }
    FUZZ_CHECK(range.first <= range.last);
    FUZZ_CHECK(startsWithNameCaseless(line));
    FUZZ_CHECK(line.find('/') != std::string::npos);
    // The parser does not invent values: both appear in the line, leading zeros aside.
    const std::string pair = toDecimal(range.first) + "-" + toDecimal(range.last) + "/";
    FUZZ_CHECK(withoutLeadingZeros(line).find(pair) != std::string::npos);

    // A known complete length always lies beyond the last byte.
    FUZZ_CHECK(!range.completeLengthKnown || range.last < range.completeLength);

    for (const char* total : {"/*", "/18446744073709551615", "/0"}) {
        ContentRange again;
        const std::string rebuilt = "Content-Range: bytes " + toDecimal(range.first) + "-" +
                                    toDecimal(range.last) + total + "\r\n";
        const bool fits = total[1] == '*' || range.last < std::stoull(total + 1);
        FUZZ_CHECK(parse(rebuilt, again) == fits);
        if (fits) {
            FUZZ_CHECK(again.first == range.first && again.last == range.last);
        }
    }

    std::uint64_t first = 0;
    std::uint64_t last = 0;
    FUZZ_CHECK(readRangeText(rangeText(range.first, range.last), first, last));
    FUZZ_CHECK(first == range.first && last == range.last);

    // The header name is case-insensitive.
    std::string recased = line;
    for (std::size_t i = 0; i < 14; ++i) {
        char& c = recased[i];
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    ContentRange fromRecased;
    FUZZ_CHECK(parse(recased, fromRecased));
    FUZZ_CHECK(fromRecased.first == range.first && fromRecased.last == range.last);
}

void checkBounds(std::uint64_t a, std::uint64_t b) {
    const std::string text = rangeText(a, b);
    std::uint64_t first = 0;
    std::uint64_t last = 0;
    FUZZ_CHECK(readRangeText(text, first, last));
    FUZZ_CHECK(first == a && last == b);

    ContentRange range;
    const bool ok = parse("content-range: bytes " + text + "/*", range);
    FUZZ_CHECK(ok == (a <= b));
    if (ok) {
        FUZZ_CHECK(range.first == a && range.last == b);
    }
}

std::uint64_t readWord(const std::uint8_t* data) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) {
        value = (value << 8) | data[i];
    }
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    checkLine(line);
    if (size >= 16) {
        const std::uint64_t a = readWord(data);
        const std::uint64_t b = readWord(data + 8);
        checkBounds(a, b);
        checkBounds(a, a);
        checkBounds(a % 1000000, b % 1000000);
    }
    return 0;
}
