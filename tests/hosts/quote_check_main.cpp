// quote-check: the command lines that wizard-host builds on Windows, split back by the rules the
// downloader and the runtime use, must give the arguments they were built from. Runs natively,
// where the Win32 host itself cannot.
#include <cstdio>
#include <string>
#include <vector>

#include "support/text_conversion.h"
#include "support/windows_command_line.h"
#include "tests/hosts/program_entry.h"
#include "tests/hosts/windows_argument_quote.h"

int programMain(const std::vector<platform::WideString>&) {
    const std::vector<std::vector<std::u16string>> cases = {
        {u"C:\\downloader.exe", u"/URL:http://127.0.0.1:8080/m.txt", u"/HWND:123"},
        {u"C:\\Program Files\\d.exe", u"/PATH:C:\\Program Files\\Velmora", u""},
        {u"d.exe", u"a\"b", u"\"", u"\\\"", u"trail\\", u"trail space\\", u"two\\\\"},
        {u"d.exe", u"tab\there", u"x\\\\\"y", u"\\\\server\\share", u"  "},
        {u"d.exe", u"/DIR=\"C:\\x\"", u"/LANG=\u00e9\u4e2d"},
    };
    int failures = 0;
    for (const auto& arguments : cases) {
        const std::u16string line = buildWindowsCommandLine(arguments);
        if (splitWindowsCommandLine(line) != arguments) {
            std::fprintf(stderr, "quote-check: does not split back: %s\n", toUtf8(line).c_str());
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
