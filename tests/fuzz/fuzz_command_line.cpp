// Arbitrary command lines through the Windows argument splitter, and its agreement with the
// usual way of quoting arguments for that splitter.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "support/windows_command_line.h"
#include "tests/fuzz/fuzz_input.h"

namespace {

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// The quoting that CreateProcess callers use for runtime-parsed arguments: quotes get a
// backslash, backslashes double only where they precede a quote (including the closing one).
std::u16string quoted(const std::u16string& argument, bool always) {
    if (!always && !argument.empty() &&
        argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
        return argument;
    }
    std::u16string out = u"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < argument.size() && argument[i] == u'\\') {
            ++backslashes;
            ++i;
        }
        if (i == argument.size()) {
            out.append(backslashes * 2, u'\\');
            break;
        }
        if (argument[i] == u'"') {
            out.append(backslashes * 2 + 1, u'\\');
        } else {
            out.append(backslashes, u'\\');
        }
        out.push_back(argument[i]);
    }
    out.push_back(u'"');
    return out;
}

std::u16string joined(const std::u16string& program, const std::vector<std::u16string>& arguments,
                      bool always) {
    std::u16string line = program;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        line += u' ';
        line += quoted(arguments[i], always);
    }
    return line;
}

// The documented rules as a character-at-a-time machine that holds backslashes back until it
// knows what follows them.
std::vector<std::u16string> referenceSplit(const std::u16string& line) {
    std::vector<std::u16string> arguments;
    std::size_t i = 0;
    const std::size_t n = line.size();
    while (i < n && isBlank(line[i])) {
        ++i;
    }
    if (i == n) {
        return arguments;
    }
    std::u16string program;
    if (line[i] == u'"') {
        for (++i; i < n && line[i] != u'"'; ++i) {
            program.push_back(line[i]);
        }
        i += i < n ? 1 : 0;
    } else {
        for (; i < n && !isBlank(line[i]); ++i) {
            program.push_back(line[i]);
        }
    }
    arguments.push_back(program);
    while (true) {
        while (i < n && isBlank(line[i])) {
            ++i;
        }
        if (i == n) {
            return arguments;
        }
        std::u16string argument;
        bool inQuotes = false;
        std::size_t pending = 0;
        for (; i < n; ++i) {
            const char16_t c = line[i];
            if (c == u'\\') {
                ++pending;
                continue;
            }
            if (c == u'"') {
                argument.append(pending / 2, u'\\');
                const bool escaped = pending % 2 == 1;
                pending = 0;
                if (escaped) {
                    argument.push_back(u'"');
                } else if (inQuotes && i + 1 < n && line[i + 1] == u'"') {
                    argument.push_back(u'"');
                    ++i;
                } else {
                    inQuotes = !inQuotes;
                }
                continue;
            }
            argument.append(pending, u'\\');
            pending = 0;
            if (!inQuotes && isBlank(c)) {
                break;
            }
            argument.push_back(c);
        }
        argument.append(pending, u'\\');
        arguments.push_back(argument);
    }
}

bool sameAfterProgram(const std::vector<std::u16string>& a, const std::vector<std::u16string>& b) {
    return a.size() == b.size() && std::equal(a.begin() + 1, a.end(), b.begin() + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::u16string line = fuzz::readUnits(data, size);
    const std::vector<std::u16string> arguments = splitWindowsCommandLine(line);

    bool onlyBlanks = true;
    for (char16_t c : line) {
        onlyBlanks &= isBlank(c);
    }
    FUZZ_CHECK(arguments.empty() == onlyBlanks);
    FUZZ_CHECK(arguments == referenceSplit(line));

    // Any argument vector survives quoting and splitting, not only those the splitter made.
    const std::vector<std::u16string> chosen = fuzz::readArguments(data, size, {u"setup.exe", u""});
    for (bool always : {false, true}) {
        const std::vector<std::u16string> again =
            splitWindowsCommandLine(joined(chosen[0], chosen, always));
        FUZZ_CHECK(again == chosen);
    }

    if (arguments.empty()) {
        return 0;
    }
    FUZZ_CHECK(splitWindowsCommandLine(line) == arguments);

    for (bool always : {false, true}) {
        const std::vector<std::u16string> again =
            splitWindowsCommandLine(joined(u"setup.exe", arguments, always));
        FUZZ_CHECK(sameAfterProgram(again, arguments));
        FUZZ_CHECK(again[0] == u"setup.exe");
    }

    // A quoted program name is taken verbatim, blanks included, up to the next quote.
    if (arguments[0].find(u'"') == std::u16string::npos) {
        const std::u16string program = u"\"" + arguments[0] + u"\"";
        const std::vector<std::u16string> again =
            splitWindowsCommandLine(joined(program, arguments, false));
        FUZZ_CHECK(again == arguments);
    }
    return 0;
}
