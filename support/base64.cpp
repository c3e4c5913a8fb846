#include "support/base64.h"

#include <sodium.h>

std::string base64Encode(const unsigned char* bytes, std::size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminator
    return text;
}

bool base64Decode(const std::string& text, const char* ignore, std::vector<unsigned char>& bytes) {
    std::vector<unsigned char> decoded(text.size() / 4 * 3 + 3);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(decoded.data(), decoded.size(), text.data(), text.size(), ignore, &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size()) {
        return false;
    }
    decoded.resize(length);
    bytes.swap(decoded);
    return true;
}
