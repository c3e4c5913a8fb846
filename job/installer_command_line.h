// The command line that starts the installer silently.
#pragma once

#include <string>

#include "job/run_options.h"

// "<path>" followed by " /VERYSILENT" or " /SILENT", then /DIR="<target directory>" and
// /LANG=<language>. The path is quoted because temporary directories often hold blanks; the
// language is quoted when it holds blanks. The Microsoft C runtime's argument rules and a plain
// quote-toggling parser both read back the same directory and language: quotes in them are
// left out, and trailing backslashes stand after the closing quote ("D:"\).
std::u16string installerCommandLine(const std::u16string& installerPath, const RunOptions& options);
