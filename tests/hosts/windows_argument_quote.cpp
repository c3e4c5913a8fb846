#include "tests/hosts/windows_argument_quote.h"

std::u16string quoteWindowsProgram(const std::u16string& program) {
    if (!program.empty() && program.find_first_of(u" \t") == std::u16string::npos) {
        return program;
    }
    return u"\"" + program + u"\"";
}

std::u16string quoteWindowsArgument(const std::u16string& argument) {
    if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string::npos) {
        return argument;
    }
    std::u16string quoted = u"\"";
    std::size_t backslashes = 0;
    for (char16_t unit : argument) {
        if (unit == u'\\') {
            ++backslashes;
            continue;
        }
        if (unit == u'"') {
            quoted.append(backslashes * 2 + 1, u'\\');
        } else {
            quoted.append(backslashes, u'\\');
        }
        backslashes = 0;
        quoted.push_back(unit);
    }
    quoted.append(backslashes * 2, u'\\');
    quoted.push_back(u'"');
    return quoted;
}

std::u16string buildWindowsCommandLine(const std::vector<std::u16string>& programAndArguments) {
    std::u16string line;
    for (std::size_t i = 0; i < programAndArguments.size(); ++i) {
        if (i == 0) {
            line = quoteWindowsProgram(programAndArguments[0]);
        } else {
            line += u' ';
            line += quoteWindowsArgument(programAndArguments[i]);
        }
    }
    return line;
}
