#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>

#include "support/platform.h"
#include "support/text_conversion.h"
#include "tests/support/test_environment.h"

namespace testing_support {

bool readTemporaryDirectoryVariable(std::u16string& value) {
    const char* current = std::getenv("TMPDIR");
    return current != nullptr && fromUtf8(current, value);
}

void setTemporaryDirectoryVariable(const std::u16string& value) {
    setenv("TMPDIR", platform::pathToNative(value).c_str(), 1);
}

void clearTemporaryDirectoryVariable() {
    unsetenv("TMPDIR");
}

bool limitFileSizeForTest(unsigned long long bytes) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = bytes == 0 ? limit.rlim_max : static_cast<rlim_t>(bytes);
    return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

bool makeFifoForTest(const std::u16string& path) {
    return mkfifo(platform::pathToNative(path).c_str(), 0600) == 0;
}

std::string environmentVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace testing_support
