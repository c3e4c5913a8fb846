#include "job/installer_command_line.h"

namespace {

// Installers split their command line either by the Microsoft C runtime's rules, where
// backslashes before a quote escape it, or by a plain parser where every quote toggles quoting.
// No quote inside a value survives both, so quotes are left out (no path holds one); and the
// value's trailing backslashes go after its closing quote, where both read them literally:
// D:\ becomes "D:"\ and not "D:\", which the runtime reads as an escaped quote.
std::u16string quotedForBothParsers(const std::u16string& value) {
    std::u16string text;
    for (char16_t c : value) {
        if (c != u'"') {
            text.push_back(c);
        }
    }
    const std::size_t trailingBackslashes = text.size() - (text.find_last_not_of(u'\\') + 1);
    const std::size_t end = text.size() - trailingBackslashes;
    return u"\"" + text.substr(0, end) + u"\"" + text.substr(end);
}

}  // namespace

std::u16string installerCommandLine(const std::u16string& installerPath,
                                    const RunOptions& options) {
    std::u16string line = u"\"" + installerPath + u"\"";
    if (options.verySilent) {
        line += u" /VERYSILENT";
    } else if (options.silent) {
        line += u" /SILENT";
    }
    line += u" /DIR=";
    line += quotedForBothParsers(options.targetDirectory);
    line += u" /LANG=";
    const bool languageNeedsQuotes =
        options.language.find_first_of(u" \t\"") != std::u16string::npos;
    line += languageNeedsQuotes ? quotedForBothParsers(options.language) : options.language;
    return line;
}
