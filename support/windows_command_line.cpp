#include "support/windows_command_line.h"

namespace {

bool isBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// Reads the program name at pos; returns the position after it.
std::size_t readProgramName(const std::u16string& line, std::size_t pos, std::u16string& name) {
    if (pos < line.size() && line[pos] == u'"') {
        ++pos;
        while (pos < line.size() && line[pos] != u'"') {
            name.push_back(line[pos++]);
        }
        if (pos < line.size()) {
            ++pos;  // the closing quote
        }
        return pos;
    }
    while (pos < line.size() && !isBlank(line[pos])) {
        name.push_back(line[pos++]);
    }
    return pos;
}

std::size_t readArgument(const std::u16string& line, std::size_t pos, std::u16string& argument) {
    bool quoted = false;
    while (pos < line.size()) {
        const char16_t c = line[pos];
        if (!quoted && isBlank(c)) {
            break;
        }
        if (c == u'\\') {
            std::size_t backslashes = 0;
            while (pos < line.size() && line[pos] == u'\\') {
                ++backslashes;
                ++pos;
            }
            if (pos < line.size() && line[pos] == u'"') {
                argument.append(backslashes / 2, u'\\');
                if (backslashes % 2 == 1) {
                    argument.push_back(u'"');
                    ++pos;
                }
                // With an even count the quote is handled by the next round.
            } else {
                argument.append(backslashes, u'\\');
            }
            continue;
        }
        if (c == u'"') {
            if (quoted && pos + 1 < line.size() && line[pos + 1] == u'"') {
                argument.push_back(u'"');
                pos += 2;
                continue;
            }
            quoted = !quoted;
            ++pos;
            continue;
        }
        argument.push_back(c);
        ++pos;
    }
    return pos;
}

}  // namespace

std::vector<std::u16string> splitWindowsCommandLine(const std::u16string& line) {
    std::vector<std::u16string> arguments;
    std::size_t pos = 0;
    while (pos < line.size() && isBlank(line[pos])) {
        ++pos;
    }
    if (pos >= line.size()) {
        return arguments;
    }
    std::u16string program;
    pos = readProgramName(line, pos, program);
    arguments.push_back(program);
    while (true) {
        while (pos < line.size() && isBlank(line[pos])) {
            ++pos;
        }
        if (pos >= line.size()) {
            break;
        }
        std::u16string argument;
        pos = readArgument(line, pos, argument);
        arguments.push_back(argument);
    }
    return arguments;
}
