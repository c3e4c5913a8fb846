// test-installer on Windows: a GUI-subsystem program, so that no console appears, that reads the
// command line exactly as CreateProcessW passed it.
#include <windows.h>
// After windows.h, which they build on.
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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

namespace {

std::string line(const char* name, DWORD error) {
    return std::string(name) + " " + std::to_string(error) + "\n";
}

std::string securityText(PSECURITY_DESCRIPTOR descriptor) {
    LPWSTR text = nullptr;
    if (descriptor == nullptr ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
        return "unreadable";
    }
    const std::string result = utf8(text);
    LocalFree(text);
    return result;
}

std::string userSidText() {
    HANDLE token = nullptr;
    std::string result = "unknown";
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return result;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    LPWSTR text = nullptr;
    if (size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        result = utf8(text);
        LocalFree(text);
    }
    CloseHandle(token);
    return result;
}

// 0 when the call succeeded, else its error.
DWORD outcome(BOOL succeeded) {
    return succeeded ? 0 : GetLastError();
}

}  // namespace

std::string probeOwnFolder(const std::string& scratch) {
    wchar_t own[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, own, MAX_PATH - 1);
    const std::wstring program = own;
    const std::wstring folder = program.substr(0, program.find_last_of(L'\\'));
    std::string record;

    PSECURITY_DESCRIPTOR descriptor = nullptr;
    GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, nullptr, nullptr, &descriptor);
    record += "ACL " + securityText(descriptor) + "\n";
    LocalFree(descriptor);
    record += "USER " + userSidText() + "\n";

    const std::wstring aside = folder + L"-renamed";
    const DWORD renamed = outcome(MoveFileW(folder.c_str(), aside.c_str()));
    if (renamed == 0) {
        MoveFileW(aside.c_str(), folder.c_str());
    }
    record += line("RENAME-FOLDER", renamed);

    const HANDLE writer = CreateFileW(program.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    record += line("WRITE-INSTALLER", writer == INVALID_HANDLE_VALUE ? GetLastError() : 0);
    if (writer != INVALID_HANDLE_VALUE) {
        CloseHandle(writer);
    }

    const std::wstring replacement = wide(scratch) + L"\\replacement.exe";
    writeWholeFile(utf8(replacement.c_str()), "not the installer");
    record +=
        line("REPLACE-INSTALLER",
             outcome(MoveFileExW(replacement.c_str(), program.c_str(), MOVEFILE_REPLACE_EXISTING)));
    DeleteFileW(replacement.c_str());
    record += line("DELETE-INSTALLER", outcome(DeleteFileW(program.c_str())));
    return record;
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
