// Arbitrary argument vectors through the command-line option parser, checked against a model
// written from the documented rules.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "driver/integer_text.h"
#include "driver/run_options_parser.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

bool sameOptions(const RunOptions& a, const RunOptions& b) {
    return a.hostWindow == b.hostWindow && a.userMessage == b.userMessage &&
           a.address == b.address && a.targetDirectory == b.targetDirectory &&
           a.language == b.language && a.silent == b.silent && a.verySilent == b.verySilent;
}

bool isCrtBlank(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// Compares digit strings instead of accumulating, so that the clamping is decided by a method
// unrelated to the one under test.
template <typename Int>
Int referenceInteger(const std::u16string& text) {
    std::size_t pos = 0;
    while (pos < text.size() && isCrtBlank(text[pos])) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
        negative = text[pos] == u'-';
        ++pos;
    }
    std::string digits;
    for (; pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9'; ++pos) {
        if (digits.empty() && text[pos] == u'0') {
            continue;
        }
        digits.push_back(static_cast<char>(text[pos]));
    }
    using Unsigned = std::make_unsigned_t<Int>;
    const Unsigned limitValue = negative ? Unsigned(std::numeric_limits<Int>::max()) + 1u
                                         : Unsigned(std::numeric_limits<Int>::max());
    const std::string limit = std::to_string(limitValue);
    const bool clamped =
        digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit);
    if (clamped) {
        return negative ? std::numeric_limits<Int>::min() : std::numeric_limits<Int>::max();
    }
    Unsigned magnitude = 0;
    for (char digit : digits) {
        magnitude = magnitude * 10u + static_cast<Unsigned>(digit - '0');
    }
    if (negative) {
        return magnitude == limitValue ? std::numeric_limits<Int>::min()
                                       : static_cast<Int>(-static_cast<Int>(magnitude));
    }
    return static_cast<Int>(magnitude);
}

// Option names are upper case ASCII; only a-z of the argument may differ from them.
bool hasOptionPrefix(const std::u16string& argument, const char* name) {
    std::size_t i = 0;
    for (; name[i] != '\0'; ++i) {
        if (i >= argument.size() ||
            fuzz::asciiUpper(argument[i]) != static_cast<char16_t>(name[i])) {
            return false;
        }
    }
    return true;
}

RunOptions referenceOptions(const std::vector<std::u16string>& arguments) {
    RunOptions options;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::u16string& a = arguments[i];
        if (hasOptionPrefix(a, "/HWND:")) {
            options.hostWindow = static_cast<std::uint32_t>(
                static_cast<std::uint64_t>(referenceInteger<std::int64_t>(a.substr(6))));
        } else if (hasOptionPrefix(a, "/USERMSG:")) {
            options.userMessage = referenceInteger<std::int32_t>(a.substr(9));
        } else if (hasOptionPrefix(a, "/URL:")) {
            options.address = a.substr(5);
        } else if (hasOptionPrefix(a, "/PATH:")) {
            options.targetDirectory = a.substr(6);
        } else if (hasOptionPrefix(a, "/LANG:")) {
            options.language = a.substr(6);
        } else if (hasOptionPrefix(a, "/SILENT")) {
            options.silent = 1;
        } else if (hasOptionPrefix(a, "/VERYSILENT")) {
            options.verySilent = 1;
        }
    }
    return options;
}

// Changes the case of everything up to and including the first ':' (the whole argument when
// there is none): that covers any option name and never touches a value.
std::vector<std::u16string> withNamesRecased(std::vector<std::u16string> arguments, bool upper) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        for (char16_t& c : arguments[i]) {
            const char16_t original = c;
            c = upper ? fuzz::asciiUpper(c) : fuzz::asciiLower(c);
            if (original == u':') {
                break;
            }
        }
    }
    return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::u16string> arguments = fuzz::readArguments(data, size, {u""});
    const RunOptions parsed = parseRunOptions(arguments);

    FUZZ_CHECK(sameOptions(parsed, referenceOptions(arguments)));
    FUZZ_CHECK(sameOptions(parsed, parseRunOptions(arguments)));

    const bool valid = !parsed.targetDirectory.empty() && !parsed.address.empty() &&
                       ((parsed.silent != 0) != (parsed.verySilent != 0));
    FUZZ_CHECK(hasValidRunOptions(parsed) == valid);

    for (const std::u16string& argument : arguments) {
        FUZZ_CHECK(wideToInt64(argument) == referenceInteger<std::int64_t>(argument));
        FUZZ_CHECK(wideToInt32(argument) == referenceInteger<std::int32_t>(argument));
    }

    FUZZ_CHECK(sameOptions(parsed, parseRunOptions(withNamesRecased(arguments, true))));
    FUZZ_CHECK(sameOptions(parsed, parseRunOptions(withNamesRecased(arguments, false))));

    // The program path is never read as an option.
    std::vector<std::u16string> otherProgram = arguments;
    otherProgram[0] = arguments.size() > 1 ? arguments[1] : u"/URL:x";
    FUZZ_CHECK(sameOptions(parsed, parseRunOptions(otherProgram)));

    // The last value wins and the flags stay set, so replaying the arguments changes nothing.
    std::vector<std::u16string> twice = arguments;
    twice.insert(twice.end(), arguments.begin() + 1, arguments.end());
    FUZZ_CHECK(sameOptions(parsed, parseRunOptions(twice)));

    // Options are recognised at position 0 only.
    std::vector<std::u16string> shifted = arguments;
    for (std::size_t i = 1; i < shifted.size(); ++i) {
        shifted[i].insert(0, 1, u' ');
    }
    FUZZ_CHECK(sameOptions(RunOptions{}, parseRunOptions(shifted)));
    return 0;
}
