// The options of one run, as the command line gave them; the job keeps a copy.
#pragma once

#include <cstdint>
#include <string>

struct RunOptions {
    std::uint32_t hostWindow = 0;
    std::int32_t userMessage = 1024;  // WM_USER
    std::u16string address;
    std::u16string targetDirectory;
    std::u16string language;
    std::int32_t silent = 0;
    std::int32_t verySilent = 0;
};
