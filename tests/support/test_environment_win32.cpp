#include <windows.h>

#include <cstdlib>

#include "tests/support/test_environment.h"

namespace testing_support {

bool readTemporaryDirectoryVariable(std::u16string& value) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(L"TMP", buffer, 32768);
    if (length == 0 || length >= 32768) {
        return false;
    }
    value.assign(reinterpret_cast<const char16_t*>(buffer), length);
    return true;
}

void setTemporaryDirectoryVariable(const std::u16string& value) {
    SetEnvironmentVariableW(L"TMP", reinterpret_cast<const wchar_t*>(value.c_str()));
}

void clearTemporaryDirectoryVariable() {
    SetEnvironmentVariableW(L"TMP", nullptr);
}

bool limitFileSizeForTest(unsigned long long) {
    return false;
}

bool makeFifoForTest(const std::u16string&) {
    return false;
}

std::string environmentVariable(const char* name) {
    char buffer[32768];
    const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return (length == 0 || length >= sizeof buffer) ? std::string() : std::string(buffer, length);
}

}  // namespace testing_support
