#include "tests/hosts/decimal_argument.h"

bool parseDecimalArgument(const std::u16string& text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    std::uint64_t number = 0;
    for (char16_t unit : text) {
        if (unit < u'0' || unit > u'9') {
            return false;
        }
        number = number * 10 + static_cast<std::uint64_t>(unit - u'0');
    }
    if (number > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<std::uint32_t>(number);
    return true;
}
