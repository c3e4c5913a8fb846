#include "driver/integer_text.h"

#include <limits>

namespace {

bool isBlank(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// Reads the magnitude saturating at `limit`; `negative` tells the sign.
template <typename Int>
Int parseClamped(const std::u16string& text) {
    std::size_t pos = 0;
    while (pos < text.size() && isBlank(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        negative = text[pos] == u'-';
        ++pos;
    }
    using Unsigned = std::make_unsigned_t<Int>;
    const Unsigned limit = negative ? Unsigned(std::numeric_limits<Int>::max()) + 1u
                                    : Unsigned(std::numeric_limits<Int>::max());
    Unsigned magnitude = 0;
    bool overflow = false;
    for (; pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9'; ++pos) {
        const Unsigned digit = static_cast<Unsigned>(text[pos] - u'0');
        if (overflow || magnitude > (limit - digit) / 10u) {
            overflow = true;
            continue;
        }
        magnitude = magnitude * 10u + digit;
    }
    if (overflow) {
        return negative ? std::numeric_limits<Int>::min() : std::numeric_limits<Int>::max();
    }
    if (negative) {
        // Two's complement negation of the magnitude, which may be |min|.
        return static_cast<Int>(Unsigned(0) - magnitude);
    }
    return static_cast<Int>(magnitude);
}

}  // namespace

std::int64_t wideToInt64(const std::u16string& text) {
    return parseClamped<std::int64_t>(text);
}

std::int32_t wideToInt32(const std::u16string& text) {
    return parseClamped<std::int32_t>(text);
}
