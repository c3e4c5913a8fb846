// The command line, parsed into the options of one run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RunOptions {
    std::uint32_t hostWindow = 0;
    std::int32_t userMessage = 1024;  // WM_USER
    std::u16string address;
    std::u16string targetDirectory;
    std::u16string language;
    std::int32_t silent = 0;
    std::int32_t verySilent = 0;
};

// Reads every argument after the program path. Matching is case-insensitive for a-z and by
// prefix at position 0; values keep their case; a repeated option takes the last value.
// Arguments that match no option are ignored.
RunOptions parseRunOptions(const std::vector<std::u16string>& arguments);

// A non-empty target directory and address, and exactly one of the two silence flags.
bool hasValidRunOptions(const RunOptions& options);
