// Splitting a command line into arguments the way Windows programs do.
#pragma once

#include <string>
#include <vector>

// The first argument is the program name: quoted up to the next quote, else up to the first
// blank, with no escapes. The others follow the runtime's rules: blanks separate arguments
// outside quotes; 2n backslashes before a quote give n backslashes and the quote toggles
// quoting, 2n+1 give n backslashes and a literal quote; "" inside quotes is a literal quote;
// other backslashes are literal.
std::vector<std::u16string> splitWindowsCommandLine(const std::u16string& line);
