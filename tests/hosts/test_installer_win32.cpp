// test-installer on Windows: a GUI-subsystem program, so that no console appears, that reads the
// command line exactly as CreateProcessW passed it.
#include <windows.h>

#include <cstdio>
#include <memory>

#include "tests/hosts/test_installer.h"

namespace {

std::string utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return std::string();
    }
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], size, nullptr, nullptr);
    out.pop_back();
    return out;
}

std::wstring wide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 1) {
        return std::wstring();
    }
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], size);
    out.pop_back();
    return out;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool writeWholeFile(const std::string& path, const std::string& content) {
    FilePointer file(_wfopen(wide(path).c_str(), L"wb"));
    if (!file) {
        return false;
    }
    const bool written =
        std::fwrite(content.data(), 1, content.size(), file.get()) == content.size();
    return written && std::fflush(file.get()) == 0;
}

bool readWholeFile(const std::string& path, std::string& content) {
    FilePointer file(_wfopen(wide(path).c_str(), L"rb"));
    if (!file) {
        return false;
    }
    char buffer[256];
    content.clear();
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        content.append(buffer, got);
    }
    return true;
}

void sleepForMilliseconds(std::uint32_t milliseconds) {
    Sleep(milliseconds);
}

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(utf8(argv[i]));
    }
    return runTestInstaller(utf8(GetCommandLineW()), arguments);
}
