// Building a Windows command line that the runtime splits back into the same arguments.
#pragma once

#include <string>
#include <vector>

// The program path: quoted when it holds a blank. Paths cannot hold quotes, and the runtime
// takes the program name without escapes, so none are added.
std::u16string quoteWindowsProgram(const std::u16string& program);

// Any other argument: left alone when it needs no quotes, else quoted with the backslashes
// before each quote (and before the closing one) doubled and the quotes escaped.
std::u16string quoteWindowsArgument(const std::u16string& argument);

// The program and the arguments, quoted, joined by single spaces.
std::u16string buildWindowsCommandLine(const std::vector<std::u16string>& programAndArguments);
