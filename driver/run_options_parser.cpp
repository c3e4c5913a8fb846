#include "driver/run_options_parser.h"

#include "driver/integer_text.h"

namespace {

// Only a-z change, as the single-byte toupper does without a locale.
std::u16string upperCased(const std::u16string& text) {
    std::u16string upper = text;
    for (char16_t& c : upper) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - u'a' + u'A');
        }
    }
    return upper;
}

bool startsWith(const std::u16string& text, const std::u16string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

RunOptions parseRunOptions(const std::vector<std::u16string>& arguments) {
    RunOptions options;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::u16string& argument = arguments[i];
        const std::u16string upper = upperCased(argument);
        auto valueAfter = [&](const std::u16string& prefix) {
            return argument.substr(prefix.size());
        };
        // Tested in this order, first hit wins.
        if (startsWith(upper, u"/HWND:")) {
            options.hostWindow = static_cast<std::uint32_t>(
                static_cast<std::uint64_t>(wideToInt64(valueAfter(u"/HWND:"))));
        } else if (startsWith(upper, u"/USERMSG:")) {
            options.userMessage = wideToInt32(valueAfter(u"/USERMSG:"));
        } else if (startsWith(upper, u"/URL:")) {
            options.address = valueAfter(u"/URL:");
        } else if (startsWith(upper, u"/PATH:")) {
            options.targetDirectory = valueAfter(u"/PATH:");
        } else if (startsWith(upper, u"/LANG:")) {
            options.language = valueAfter(u"/LANG:");
        } else if (startsWith(upper, u"/SILENT")) {
            options.silent = 1;
        } else if (startsWith(upper, u"/VERYSILENT")) {
            options.verySilent = 1;
        }
    }
    return options;
}

bool hasValidRunOptions(const RunOptions& options) {
    if (options.targetDirectory.empty()) {
        return false;
    }
    if (options.address.empty()) {
        return false;
    }
    return options.silent != options.verySilent;
}
