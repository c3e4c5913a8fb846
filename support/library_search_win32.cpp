// The Win32 restriction of the library search path. Only kernel32 functions that Windows XP
// SP3 has are imported; the later ones are looked up at run time.
#include <windows.h>

#include <string>

#include "support/library_search.h"

namespace platform {
namespace {

// The delay-loaded imports of the executable (cmake/windows.cmake), then the libraries that
// WinHTTP, Schannel, WinTrust, the certificate and the socket library load by name during a
// run, some of them through delay-loaded imports of their own (dbghelp: the image hashing
// library that WinTrust uses imports it under Wine). Some do not exist on every Windows: a
// missing one is skipped.
const wchar_t* const laterLibraries[] = {
    L"winhttp.dll",  L"crypt32.dll",  L"ws2_32.dll",  L"wintrust.dll",
    L"secur32.dll",  L"schannel.dll", L"dnsapi.dll",  L"iphlpapi.dll",
    L"dhcpcsvc.dll", L"netapi32.dll", L"version.dll", L"jsproxy.dll",
    L"cryptnet.dll", L"mssip32.dll",  L"dbghelp.dll", nullptr,
};

template <typename Function>
Function kernelFunction(const char* name) {
    // Through void(*)() because GCC warns about a direct cast between unrelated function types.
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

std::wstring systemFolder() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::wstring();
    }
    return std::wstring(buffer, length);
}

}  // namespace

const wchar_t* const* libraryNamesLoadedLater() {
    return laterLibraries;
}

bool loadLaterLibrariesFromSystemFolder() {
    const std::wstring folder = systemFolder();
    if (folder.empty()) {
        return false;
    }
    bool allLoaded = true;
    for (const wchar_t* const* name = laterLibraries; *name != nullptr; ++name) {
        const std::wstring path = folder + L"\\" + *name;
        // With a full path, the altered search takes the library's own imports from its
        // folder, the system folder, before the program's. The module stays loaded for the
        // whole run, so a later load by name finds it instead of searching.
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
            continue;
        }
        if (LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH) == nullptr) {
            allLoaded = false;
        }
    }
    return allLoaded;
}

bool restrictLibrarySearch() {
    // An empty directory takes the current directory out of the search (Windows XP SP1 on).
    using SetDllDirectoryFunction = BOOL(WINAPI*)(LPCWSTR);
    const auto setDllDirectory = kernelFunction<SetDllDirectoryFunction>("SetDllDirectoryW");
    if (setDllDirectory != nullptr) {
        setDllDirectory(L"");
    }
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
    const auto setDefaultDllDirectories =
        kernelFunction<SetDefaultDllDirectoriesFunction>("SetDefaultDllDirectories");
    const bool restricted = setDefaultDllDirectories != nullptr &&
                            setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
    // Loaded now even where the search is restricted: a loader that resolves a system
    // library's delay-loaded import without the process's search flags (Wine's does) then finds
    // the library already loaded instead of searching the program's folder.
    loadLaterLibrariesFromSystemFolder();
    return restricted;
}

}  // namespace platform
