// The command line that starts the installer silently.
#pragma once

#include <string>

#include "job/run_options.h"

// "<path>" followed by " /VERYSILENT" or " /SILENT", then /DIR="<target directory>" and
// /LANG=<language>. The path is quoted because temporary directories often hold blanks.
std::u16string installerCommandLine(const std::u16string& installerPath, const RunOptions& options);
