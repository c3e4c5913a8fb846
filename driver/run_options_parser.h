// The command line, parsed into the options of one run and checked.
#pragma once

#include <string>
#include <vector>

#include "job/run_options.h"

// Reads every argument after the program path. Matching is case-insensitive for a-z and by
// prefix at position 0; values keep their case; a repeated option takes the last value.
// Arguments that match no option are ignored.
RunOptions parseRunOptions(const std::vector<std::u16string>& arguments);

// A non-empty target directory and address, and exactly one of the two silence flags.
bool hasValidRunOptions(const RunOptions& options);
