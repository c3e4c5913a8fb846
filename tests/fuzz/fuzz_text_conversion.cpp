// Arbitrary bytes through the strict UTF-8 decoder and arbitrary UTF-16 through the encoder.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/text_conversion.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

// Well-formedness by the table of valid byte ranges per lead byte, a different method from
// decoding and then checking the value, so that both cannot share a mistake.
bool isWellFormedUtf8(const std::string& text) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto b0 = static_cast<unsigned char>(text[pos]);
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (b0 <= 0x7F) {
            length = 1;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 == 0xE0) {
            length = 3;
            low = 0xA0;
        } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
            length = 3;
        } else if (b0 == 0xED) {
            length = 3;
            high = 0x9F;
        } else if (b0 == 0xF0) {
            length = 4;
            low = 0x90;
        } else if (b0 >= 0xF1 && b0 <= 0xF3) {
            length = 4;
        } else if (b0 == 0xF4) {
            length = 4;
            high = 0x8F;
        } else {
            return false;
        }
        if (text.size() - pos < length) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            const auto b = static_cast<unsigned char>(text[pos + i]);
            const unsigned char min = i == 1 ? low : 0x80;
            const unsigned char max = i == 1 ? high : 0xBF;
            if (b < min || b > max) {
                return false;
            }
        }
        pos += length;
    }
    return true;
}

// Standard UTF-8 of well-formed UTF-16: a surrogate pair becomes one four-byte sequence.
// Unpaired surrogates are encoded as three bytes, as toUtf8 does.
std::string encodeCodePoints(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool hasUnpairedSurrogate(const std::u16string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
            text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
        } else if (text[i] >= 0xD800 && text[i] <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

void checkDecoding(const std::string& bytes) {
    const std::u16string untouched = u"\x1untouched";
    std::u16string decoded = untouched;
    const bool ok = fromUtf8(bytes, decoded);
    FUZZ_CHECK(ok == isWellFormedUtf8(bytes));
    if (!ok) {
        FUZZ_CHECK(decoded == untouched);
        return;
    }
    FUZZ_CHECK(!hasUnpairedSurrogate(decoded));
    FUZZ_CHECK(encodeCodePoints(decoded) == bytes);
    FUZZ_CHECK(toUtf8(decoded) == bytes);
}

void checkEncoding(const std::u16string& units) {
    const std::string encoded = toUtf8(units);
    FUZZ_CHECK(encoded == encodeCodePoints(units));
    std::u16string decoded = u"\x1untouched";
    const bool ok = fromUtf8(encoded, decoded);
    FUZZ_CHECK(ok == !hasUnpairedSurrogate(units));
    if (ok) {
        FUZZ_CHECK(decoded == units);
    }
}

}  // namespace

// The same bytes are read twice: as UTF-8 for the decoder and as little-endian UTF-16 units
// for the encoder, so that every input exercises both directions.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    checkDecoding(std::string(reinterpret_cast<const char*>(data), size));

    std::u16string units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    }
    checkEncoding(units);
    checkEncoding(fuzz::readUnits(data, size));
    return 0;
}
