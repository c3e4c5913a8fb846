// Arbitrary manifest text and key through the KEY=value lookup, checked against a direct
// reading of its documented behaviour.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/manifest_lookup.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

// The lookup builds "key=" in a fixed buffer and gives up on longer keys; real keys are short
// names, so the model is only compared below that size.
constexpr std::size_t kLongestModelledKey = 64;

bool referenceLookup(const std::string& text, const std::string& key, std::string& value) {
    const std::string searched = text.substr(0, text.find('\0'));
    const std::string pattern = key + "=";
    const std::size_t first = text.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    std::size_t hit = searched.find(pattern, first);
    while (hit != std::string::npos && hit != first && text[hit - 1] != '\r' &&
           text[hit - 1] != '\n' && text[hit - 1] != ' ') {
        hit = searched.find(pattern, hit + 1);
    }
    if (hit == std::string::npos) {
        return false;
    }
    const std::size_t start = hit + pattern.size();
    const std::size_t end = text.find_first_of("\r\n", start);
    value = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    return true;
}

}  // namespace

// The key runs up to the first NUL byte (it is a C string for the lookup), the text is the
// rest and may hold further NUL bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    if (split == std::string::npos) {
        return 0;
    }
    const std::string key = input.substr(0, split);
    const std::string text = input.substr(split + 1);

    // Derived from the input so that a lookup cannot pass by writing a fixed placeholder.
    const std::string untouched = "\x01untouched:" + std::to_string(size);
    std::string value = untouched;
    const bool found = getManifestValue(text, key.c_str(), value);

    if (!found) {
        FUZZ_CHECK(value == untouched);
    } else {
        FUZZ_CHECK(value.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(text.find(key + "=" + value) != std::string::npos);
    }

    if (key.size() <= kLongestModelledKey) {
        std::string expected = untouched;
        const bool expectedFound = referenceLookup(text, key, expected);
        FUZZ_CHECK(found == expectedFound);
        FUZZ_CHECK(value == expected);
    }

    // Only the first occurrence counts, and a value ends at a line break as it does at the end
    // of the text, so a later line repeating the key cannot change a value already found.
    if (text.find('\0') == std::string::npos) {
        std::string extended = untouched;
        const bool extendedFound =
            getManifestValue(text + "\r\n" + key + "=other", key.c_str(), extended);
        if (found) {
            FUZZ_CHECK(extendedFound && extended == value);
        }
    }
    return 0;
}
