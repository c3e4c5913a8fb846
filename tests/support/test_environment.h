// The one platform-specific piece of the tests: the variable that names the temporary directory.
#pragma once

#include <string>

namespace testing_support {

// Reads and sets TMPDIR on POSIX, TMP on Windows (which GetTempPathW reads first).
bool readTemporaryDirectoryVariable(std::u16string& value);
void setTemporaryDirectoryVariable(const std::u16string& value);
void clearTemporaryDirectoryVariable();
// Limits the size of files this process may write (0 lifts the limit); false where the
// platform has no such limit.
bool limitFileSizeForTest(unsigned long long bytes);
// Makes a FIFO at the path; false where the platform has none.
bool makeFifoForTest(const std::u16string& path);
// An environment variable as UTF-8, or empty.
std::string environmentVariable(const char* name);

}  // namespace testing_support
