#include "tests/hosts/program_entry.h"

// Built with -municode, so that the runtime splits the UTF-16 command line itself and no
// argument goes through the ANSI code page.
int wmain(int argc, wchar_t** argv) {
    std::vector<platform::WideString> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(reinterpret_cast<const char16_t*>(argv[i]));
    }
    return programMain(arguments);
}
